// The registry of peak shapes: everything the package's engine and the velmora package need
// to know about a shape, in one table.
//
// A shape supplies its parameter table (names, kinds, natural ranges, default bounds,
// difference steps), its density on a grid exactly as its mixture fit forms the column of a
// component, its profile at arbitrary points, its starting values from a position and a full
// width at half maximum, and the quantities particular to it (the TSDC pre-exponential time).
// The engine, the uncertainty code, the report and the guesser derive everything else: the
// height and FWHM of a peak (peak_quantities.hpp) are read off the density itself.
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
inline constexpr std::size_t kMaxExtras = 1;

enum class Kind : std::uint8_t {
  location = 0,  // a position on the axis: moves and scales with x (centres, peak temperatures)
  width = 1,     // a width: scales with x
  plain = 2,     // unchanged by the axis unit (eta, alpha, activation energy)
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

// The `extras` of a shape without derived quantities of its own.
void no_extras(const double* p, const ShapeContext& ctx, double* out);

// One shape.  Entries are written with designated initializers; the shape's code is its
// position in the list of registry.cpp.
struct ShapeEntry {
  const char* name = nullptr;
  bool framed = true;         // fitted in internal coordinates (every shape but TSDC)
  bool heating_rate = false;  // its density takes a thermogram's heating rate (ShapeContext::beta)
  FixedList<ParamInfo, kMaxShapeParams> params{};
  FixedList<const char*, kMaxExtras> extra_names{};  // the shape's own derived quantities

  // The density of one peak with parameters p[0 .. params.size()) at every grid value,
  // exactly as the shape's mixture fit forms its component column (window mass, grid
  // normalisation and floors included); out has the grid's length.  May use the worker pool.
  void (*density)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                  std::span<double> out) = nullptr;
  // The profile at arbitrary points: the density up to one factor common to every point (the
  // grid normaliser of the shapes normalised over their grid is left out).  Runs on the
  // calling thread.
  void (*profile)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                  std::span<double> out) = nullptr;
  // Starting parameters of a peak at `position` whose full width at half maximum is `fwhm`
  // (same units as the parameters), written to p[0 .. params.size()).
  void (*start)(double position, double fwhm, double* p) = nullptr;
  // The shape's own derived quantities (extra_names) of parameters p, written to out.
  void (*extras)(const double* p, const ShapeContext& ctx, double* out) = no_extras;
  // The first and second derivatives of `density` in the parameters, in closed form, or
  // nullptr (the engine then takes central differences of `density`): d/dp_a at
  // first[a * n + i] and d2/dp_a dp_b at second[(a * params.size() + b) * n + i], both
  // triangles, n the grid's length.  Returns false where it cannot give them (a degenerate
  // width, a window mass at its floor); the engine then takes differences.  May use the
  // worker pool.
  bool (*derivatives)(std::span<const double> x, const double* p, const ShapeContext& ctx,
                      std::span<double> first, std::span<double> second) = nullptr;
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

// Throws InternalError unless a density or profile output has the grid's length.
void require_grid_length(std::size_t grid, std::size_t out, const char* shape_name);

// Every shape, in the order of their codes (code i is entry i).
std::span<const ShapeEntry* const> all_shapes();

// The shape with `code`; throws std::invalid_argument naming the code when there is none.
const ShapeEntry& shape(std::size_t code);

// Position of the parameter that sets a peak's place on the axis (its first `location`
// parameter).
std::size_t location_index(const ShapeEntry& shape);

}  // namespace velmora::shapes
