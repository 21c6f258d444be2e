// The registry of peak shapes: everything the package's engine and the velmora package need
// to know about a shape, in one table.
//
// A shape supplies its parameter table (names, kinds, natural ranges, default bounds,
// difference steps), its density on a grid, its profile at arbitrary points, its starting
// values from a position and a full width at half maximum, the share of the whole line that
// falls in the window, the inverse that gives its primary width from a full width at half
// maximum, and the quantities particular to it (the TSDC pre-exponential time).  The engine,
// the uncertainty code, the report and the guesser derive everything else: the height and FWHM
// of a peak (peak_quantities.hpp) are read off the density itself.
//
// One meaning for every name, whatever the shape:
//   - the density integrates to 1 over the fitting window [x_min, x_max] (a thermogram's
//     temperature range), so a peak's `area` is its expected counts inside the window (up to
//     the channel sum); the whole line's area, where finite, is the derived `area_total`;
//   - `gamma` is the half width at half maximum of the Lorentzian part of a shape;
//   - `fwhm` can stand in for the primary width (fwhm_variants.hpp): each shape with one has a
//     second entry whose parameter in that place is the full width at half maximum.
// The mixture fits (em/) keep their own conventions (a Lorentzian's full width, a Gaussian
// column normalised on the whole line, densities normalised over the grid): the entries call
// the shapes' shared kernels and convert at their boundary.
//
// Adding a shape means one file of its own (its density, profile, start rule and, when it has
// them, derivatives, and its entry, filled by field name) and one line in the list of
// registry.cpp, whose position is the shape's code.  The velmora package reads the table
// through velmora_core._shapes() and needs no change.
//
// Units.  Every shape but TSDC is fitted in internal coordinates u = (x - centre) / step (the
// window's centre and the median grid step), so a parameter of kind `location` is a position
// in grid steps from the window's centre, a `width` a number of grid steps, and a `plain`
// parameter is the same in both.  TSDC peaks are fitted on the temperature axis as it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "fixed_list.hpp"

namespace velmora::shapes {

// Most parameters a shape may have, and most derived quantities of its own (beside height and
// FWHM).  Every table of the engine holds this many slots per peak; a shape fills the first
// ones.
inline constexpr std::size_t kMaxShapeParams = 5;
inline constexpr std::size_t kMaxExtras = 3;

// No primary width (a shape whose FWHM no single parameter sets).
inline constexpr std::size_t kNoPrimary = static_cast<std::size_t>(-1);

enum class Kind : std::uint8_t {
  location = 0,  // a position on the axis: moves and scales with x (centres, peak temperatures)
  width = 1,     // a width: scales with x
  plain = 2,     // unchanged by the axis unit (eta, alpha, activation energy)
  count = 3,     // counts (derived quantities only: a whole-line area)
};

// Default bounds of a parameter when the caller gives none.
enum class DefaultRule : std::uint8_t {
  window = 0,    // the fitting window [x_min, x_max]
  grid = 1,      // [default_lo grid steps, default_hi window widths]
  absolute = 2,  // [default_lo, default_hi] as they stand
};

// Central-difference step of a parameter in the engine's derivatives.
enum class StepRule : std::uint8_t {
  relative = 0,    // h = step |value|
  absolute = 1,    // h = step
  peak_width = 2,  // h = step * the largest width parameter of the peak (1 when it has none)
};

struct ParamInfo {
  const char* name = nullptr;
  Kind kind = Kind::plain;
  // The natural range (internal units for widths, which only scale): values outside it are
  // not peaks of this shape.  An open end excludes its value.
  double natural_lo = 0.0;
  double natural_hi = 0.0;
  bool lo_open = false;
  bool hi_open = false;
  DefaultRule default_rule = DefaultRule::absolute;
  double default_lo = 0.0;
  double default_hi = 0.0;
  StepRule step_rule = StepRule::relative;
  double step = 0.0;
  const char* description = nullptr;  // a few words for documentation and reports
};

// What a density needs beside the grid and the parameters.
struct ShapeContext {
  double x_min = 0.0;  // the fitting window (internal units)
  double x_max = 0.0;
  double beta = 1.0;   // TSDC heating rate
};

// A derived quantity of a shape.  One that is `per_area` is reported as the peak's area times
// the value `extras` gives (the whole-line area: area / window share).
struct ExtraInfo {
  const char* name = nullptr;
  Kind kind = Kind::plain;
  bool per_area = false;
  const char* description = nullptr;
};

// The whole-line area of a peak: its area divided by the share of the line inside the window
// (NaN where the whole line has no finite area).
inline constexpr ExtraInfo kAreaTotal{.name = "area_total",
                                      .kind = Kind::count,
                                      .per_area = true,
                                      .description = "whole-line area (counts)"};

// One shape.  Entries are written with designated initializers; the shape's code is its
// position in the list of registry.cpp.
struct ShapeEntry {
  const char* name = nullptr;
  bool framed = true;         // fitted in internal coordinates (every shape but TSDC)
  bool heating_rate = false;  // its density takes a thermogram's heating rate (ShapeContext::beta)
  FixedList<ParamInfo, kMaxShapeParams> params{};
  FixedList<ExtraInfo, kMaxExtras> extra_quantities{};  // the shape's own derived quantities

  // The density of one peak with parameters p[0 .. params.size()) at every grid value,
  // normalised to integrate to 1 over the window [ctx.x_min, ctx.x_max] (the window mass
  // floored at 1e-300); out has the grid's length.  May use the worker pool.
  void (*density)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                  std::span<double> out) = nullptr;
  // The profile at arbitrary points: the density up to one factor common to every point.  Runs
  // on the calling thread.
  void (*profile)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                  std::span<double> out) = nullptr;
  // Where the profile is largest (out[0]) and its full width at half maximum (out[1]) in
  // closed form, or nullptr: they are then read off the profile (peak_quantities.hpp).
  void (*summit)(const double* p, const ShapeContext& ctx, double* out) = nullptr;
  // Starting parameters of a peak at `position` whose full width at half maximum is `fwhm`
  // (same units as the parameters), written to p[0 .. params.size()).
  void (*start)(double position, double fwhm, double* p) = nullptr;
  // The shape's own derived quantities (extra_quantities) of parameters p, written to out (a
  // per_area one without the area's factor).
  void (*extras)(const double* p, const ShapeContext& ctx, double* out) = nullptr;
  // `extras` with their first derivatives in the parameters, d out[x] / d p[a] at
  // gradient[x * params.size() + a], in closed form; or nullptr, or false where it cannot give
  // them: the engine then takes central differences of `extras` for their standard errors.
  bool (*extras_derivatives)(const double* p, const ShapeContext& ctx, double* out,
                             double* gradient) = nullptr;
  // The first and second derivatives of `density` in the parameters, in closed form, or
  // nullptr (the engine then takes central differences of `density`): d/dp_a at
  // first[a * n + i] and d2/dp_a dp_b at second[(a * params.size() + b) * n + i], both
  // triangles, n the grid's length.  Returns false where it cannot give them (a degenerate
  // width, a window mass at its floor); the engine then takes differences.  May use the
  // worker pool.
  bool (*derivatives)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                      std::span<double> first, std::span<double> second) = nullptr;

  // The primary width: the parameter a full width at half maximum stands in for (kNoPrimary
  // for none), and its value that gives the peak with the other parameters of p (p[primary]
  // is ignored) the full width `fwhm`, or NaN where no value does.  Exact to rounding (closed
  // forms, or roots of the profile's half-maximum condition).  Where another width of p is
  // too large for any primary width to give `fwhm` (a Voigt's Gaussian part alone wider than
  // it), the function narrows that width in p to the largest that can, so that the peak
  // always has the full width asked for.
  std::size_t primary = kNoPrimary;
  double (*primary_from_fwhm)(double fwhm, double* p, const ShapeContext& ctx) = nullptr;
  // For a shape's fwhm variant (fwhm_variants.hpp): the code of the shape it stands for;
  // kNoPrimary for the shapes themselves.
  std::size_t fwhm_of = kNoPrimary;
};

// Pieces the shapes' own tables share, so that each value is written once.
//
// The default widths of a framed shape run from a peak whose full width at half maximum is
// half a grid step (narrower peaks fall between the grid points and leave no trace on them) to
// one whose full width is the window's (a wider one cannot be told from the background).
inline constexpr double kNarrowestFwhm = 0.5;  // grid steps
inline constexpr double kWidestFwhm = 1.0;     // window widths
inline constexpr double kWidthStep = 1e-4;     // relative difference step of a width
inline constexpr double kShapeStep = 1e-4;     // absolute step of a share or an asymmetry
inline constexpr double kCentreStep = 1e-4;    // step of a centre, in the peak's widest width
inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// The centre x0 of a framed shape: anywhere on the axis, by default inside the window.
inline constexpr ParamInfo kFramedCentre{.name = "x0",
                                         .kind = Kind::location,
                                         .natural_lo = -kUnbounded,
                                         .natural_hi = kUnbounded,
                                         .default_rule = DefaultRule::window,
                                         .step_rule = StepRule::peak_width,
                                         .step = kCentreStep,
                                         .description = "centre"};

// A width of a framed shape that is `per_fwhm` times the full width at half maximum of its
// part of the peak (1 for a full width, 0.5 for a half width, 1 / 2.3548... for a Gaussian
// standard deviation): positive, by default between the widths of kNarrowestFwhm grid steps
// and kWidestFwhm window widths, differentiated with a relative step.
constexpr ParamInfo framed_width(const char* name, double per_fwhm, const char* description) {
  return {.name = name,
          .kind = Kind::width,
          .natural_lo = 0.0,
          .natural_hi = kUnbounded,
          .lo_open = true,
          .default_rule = DefaultRule::grid,
          .default_lo = kNarrowestFwhm * per_fwhm,
          .default_hi = kWidestFwhm * per_fwhm,
          .step_rule = StepRule::relative,
          .step = kWidthStep,
          .description = description};
}

// The share of a line inside [ctx.x_min, ctx.x_max] as the window mass `mass` of a density
// normalised on the whole line: max(mass, 1e-300), a NaN mass taking the floor.
inline constexpr double kMassFloor = 1e-300;
double floored_mass(double mass);

// The window mass of a normal density of centre mu and standard deviation sigma, from the
// complementary error function on the side where neither tail cancels.
double normal_window_mass(double mu, double sigma, double x_min, double x_max);

// Throws InternalError unless a density or profile output has the grid's length.
void require_grid_length(std::size_t grid, std::size_t out, const char* shape_name);

// Every shape, in the order of their codes (code i is entry i): the shapes, then their fwhm
// variants (fwhm_variants.hpp).
std::span<const ShapeEntry* const> all_shapes();

// The code of the fwhm variant of the shape with `code` (kNoPrimary for a shape without a
// primary width, or a variant itself).
std::size_t fwhm_variant_code(std::size_t code);

// The shape with `code`; throws std::invalid_argument naming the code when there is none.
const ShapeEntry& shape(std::size_t code);

// Position of the parameter that sets a peak's place on the axis (its first `location`
// parameter).
std::size_t location_index(const ShapeEntry& shape);

}  // namespace velmora::shapes
