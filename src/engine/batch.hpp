// The fits of many spectra of one model in one call: each spectrum's start given or read from
// its own counts (starts.hpp), its fit, and its report, one after another along paths of warm
// starts, without the interpreter.  The velmora package hands a block of spectra to one call
// (velmora_core._engine_spectra) and packs the rows it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/engine.hpp"
#include "engine/starts.hpp"

namespace velmora::engine {

// The outcome of a spectrum, as the call reports it (the FitStatus codes, then its own).
inline constexpr double kSkipped = 5.0;     // flagged not to be fitted
inline constexpr double kNoStart = 6.0;     // no start given and none can be read: the call
                                            // ends there, the spectra after it left unfitted
inline constexpr double kStartUnusable = 7.0;  // the start read cannot be fitted from (a free
                                               // parameter without a finite start, a tie out
                                               // of its range)

struct SpectraInput {
  std::span<const double> counts;  // the spectra's window counts, one after another
  std::size_t spectra = 0;
  // One start for every spectrum (n_theta values), or one per spectrum (NaN rows: none given).
  std::span<const double> theta;
  std::span<const std::uint8_t> skip;   // per spectrum: not to be fitted
  std::span<const std::uint8_t> fresh;  // per spectrum: a new path starts here (empty: none)
  bool warm = false;  // each spectrum of a path from the fit before it
  // The fit the first spectrum goes on from when warm (theta; empty: none).
  std::span<const double> previous;
};

// One table of results: `width` numbers per spectrum, NaN for spectra without a fit.
struct SpectraTable {
  const char* name;
  std::size_t width;
  std::vector<double> data;
};

// Fits the spectra: theta, outcome (log-likelihood, iterations, status, decrement, passes over
// the data), params, stderr, extras, extras_stderr, background_counts, background_covariance,
// at_bound, undetermined, height, height_stderr, fwhm, fwhm_stderr, dispersion (phi, its
// p-value and degrees of freedom: Report).
//
// A spectrum flagged in `skip` is not fitted (kSkipped).  Otherwise it starts, when warm, from
// the last fit of its path that left finite values (or `previous`, before the first); else
// from its given start; else from the start `rule` reads from its counts (none: kNoStart, and
// the call ends there).  A model whose fixed values are left to the data (fixed parameters
// without a given value in the rule) fits a spectrum whose start was read with those values
// as read, and every spectrum warm-started from it with the same.  A fit that fails is
// reported and the next one goes on; Stopped passes through.
std::vector<SpectraTable> fit_spectra(const Model& m, const StartRule* rule,
                                      const SpectraInput& in, const FitSettings& settings);

}  // namespace velmora::engine
