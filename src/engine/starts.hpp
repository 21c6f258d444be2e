// Starting values read from a spectrum, in the core: the rule the velmora package applies to
// the window's counts of a spectrum before its fit (velmora/guess.py, Grid.read_starts), so
// that a block of spectra is started and fitted in one call without the interpreter.
//
// The rule.  The window's counts are smoothed by a Gaussian of 1.5 grid steps (ends padded with
// their values); a straight baseline through the low counts at both ends (the 20th percentile
// of the first and last twentieth of the points, three at least) is taken off, leaving the
// residual.  Peaks whose position is known -- given, or tied to values known -- are read
// first, in each spectrum the one standing highest above what is left first; then the others
// are picked greedily, tallest first; last, the tied ones whose position follows from peaks
// only guessed.  A peak read at a position takes the residual's height there and its full width
// at half maximum from the half-height crossings on both sides (at least two grid steps, at
// most half the window; a width given as a start takes its place where the peak's values
// are formed); a Gaussian of that height and width is then taken off the residual.  A
// peak placed where nothing is left starts with a tenth of the signal there and the width of
// the signal's bump.  The shape's parameters follow from the position and width by its start
// rule (shapes/registry.hpp), clamped into the peak's own bounds; the area is the counts of the
// Gaussian.  The background's coefficients start from the share of the counts under the
// baseline (spread over the columns), or for the Shirley step from the window's ends.  Guessed
// values of free parameters are moved inside their bounds; the ties are evaluated last.
//
// Every sum, mean and percentile is formed as NumPy forms it (pairwise sums of eight
// accumulators, the percentile's linear interpolation from the nearer end), so the starts are
// the package's to the bit: but for the Gaussians taken off the residual, whose exponentials
// NumPy forms with its own vectorised exp on some processors (a last-digit difference that
// moves a later peak's start by as much, never the optimum its fit reaches).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/engine.hpp"
#include "shapes/registry.hpp"

namespace velmora::engine {

// How the background's coefficients start.
enum class BackgroundStart : std::uint8_t {
  spread = 0,   // the share of the counts under the baseline, spread over the columns; the
                // shares of the terms that follow the peaks at zero
  shirley = 1,  // a constant and the Shirley step's share, from the window's ends
};

// Most parameters of one peak: its shape's and its area.
inline constexpr std::size_t kMaxPeakParams = shapes::kMaxShapeParams + 1;

struct StartPeak {
  // The position it is read at (units of x), NaN where it is picked or tied.
  double position = std::numeric_limits<double>::quiet_NaN();
  // The full width at half maximum it starts from (units of x), NaN where read from the data.
  double fwhm = std::numeric_limits<double>::quiet_NaN();
  bool position_tied = false;
  // Per parameter (the shape's, then the area): read from the data (no value given, not tied),
  // and the bounds the value read is clamped into (the peak's own, +-inf where none).
  std::array<bool, kMaxPeakParams> read{};
  std::array<double, kMaxPeakParams> lo{};
  std::array<double, kMaxPeakParams> hi{};
};

// The start rule of one model on one grid.
struct StartRule {
  std::vector<double> x;  // the window's grid, increasing (units of x)
  double step = 1.0;      // its median step (units of x)
  double window_lo = 0.0, window_hi = 0.0;  // the window (units of x)
  std::vector<StartPeak> peaks;             // one per peak of the model, in order
  BackgroundStart background = BackgroundStart::spread;
  bool kinetic = false;  // Shirley: the step rises towards smaller x
  // Every parameter's given value (internal units), NaN where read from the data or tied.
  std::vector<double> given;
};

// Checks a rule against the model it starts (lengths, one peak per peak, a grid of the model's
// length, finite positions and bounds where given); throws std::invalid_argument naming what
// does not hold.
void check_start_rule(const StartRule& rule, const Model& m);

// The start of one spectrum (its window's counts, one per grid point, with counts): theta and
// every parameter (internal units, the ties evaluated).  Returns false where the start cannot
// be fitted from: a free parameter without a finite start, a fixed value read that is not
// finite, a tie that leaves its parameter's range or puts a centre outside the window.
bool read_start(const StartRule& rule, const Model& m, std::span<const double> counts,
                std::span<double> theta, std::span<double> values);

// Every sum of NumPy's float64 reductions: pairwise, eight accumulators in blocks of up to 128.
double numpy_sum(const double* a, std::size_t n);

// Counts smoothed by a Gaussian of `width` grid steps, ends padded with their values, the
// kernel's taps summed one after another (velmora.guess.smooth).
std::vector<double> smooth(std::span<const double> counts, double width);

}  // namespace velmora::engine
