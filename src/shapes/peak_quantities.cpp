// The height and full width at half maximum of one peak (peak_quantities.hpp).
//
// peak_quantities works on the shape's profile f at single points, a few hundred evaluations
// whatever the grid's length (the grid itself is only scanned):
//   1. Maximum.  The grid point i of largest finite |density| is the first estimate and its
//      grid neighbours bracket the maximum.  A side without a neighbour (an end of the grid)
//      is bracketed by offsets h, 2h, 4h, ... outward from grid[i], h the local grid spacing,
//      for as long as f keeps rising; when it rose, the last three points bracket the maximum.
//      Golden-section search narrows the bracket to a few ulp of its ends; the largest f seen
//      is f_max, at x_max.
//   2. Height.  top = (density[j] / f(grid[j])) * f_max, j the grid point nearest x_max (the
//      first of two equally near).  The ratio carries the density's sign: a density of negative
//      sign (a TSDC peak on a descending grid) gives a negative top.
//   3. Width.  On each side f is evaluated at x_max +- h/2, h, 2h, ... until it is no more than
//      f_max / 2; the last point above and the first point not above bracket the crossing, and
//      bisection narrows it to adjacent doubles.  fwhm = right crossing - left crossing.
// A shape that gives its maximum and full width in closed form (ShapeEntry::summit) skips steps
// 1 and 3: the height is then formed as in step 2 at its maximum.
// A search ends without result at an abscissa that is not finite (for the temperatures of an
// unframed shape: not positive), at a profile value that is not finite, or after 60 doublings;
// the quantity it serves is then NaN.  A density without a finite non-zero value, or fewer
// than one grid point, gives NaN for both.  With fewer than two distinct grid values around
// grid[i], h is one unit of the axis (one grid step of a framed shape).
//
// Everything runs on the calling thread in a fixed order, so equal arguments give equal
// results.
#include "shapes/peak_quantities.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velmora::shapes {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// Fraction of a bracket at which golden-section search places its inner points, (3 - sqrt 5)/2.
constexpr double kGoldenFraction = 0.3819660112501051;
// Golden-section search stops when its bracket is narrower than this many ulp of its ends and of
// its first width (about 75 steps), or after kMaxGoldenSteps.
constexpr double kGoldenTolerance = 4.0 * kEpsilon;
constexpr std::size_t kMaxGoldenSteps = 200;
// Outward searches give up after this many doublings of their offset.
constexpr std::size_t kMaxDoublings = 60;
// Bisection stops at adjacent doubles, or after this many halvings.
constexpr std::size_t kMaxBisections = 200;
// The local grid spacing when the grid gives none (one point, or repeated values).
constexpr double kFallbackSpacing = 1.0;

enum class SearchStatus : std::uint8_t {
  found = 0,
  rose = 1,     // a bracket of the maximum found beyond the starting point
  stopped = 2,  // a non-finite abscissa or profile value, or too many doublings
};

struct Search {
  SearchStatus status = SearchStatus::stopped;
  double lo = kNaN;  // for a bracket: its two ends; for a crossing: the crossing in `lo`
  double hi = kNaN;
};

// One peak's profile at single points, with the largest value it has returned.
class PointProfile {
 public:
  PointProfile(const ShapeEntry& shape, const double* p, const ShapeContext& ctx)
      : shape_(shape), p_(p), ctx_(ctx) {}

  double operator()(double x) {
    double value = kNaN;
    shape_.profile(std::span<const double>(&x, 1), p_, ctx_, std::span<double>(&value, 1));
    if (value > best_value_) {  // a NaN never becomes the best; the first of equal values stays
      best_value_ = value;
      best_x_ = x;
    }
    return value;
  }

  // Whether the profile can be evaluated at x: a finite abscissa, and a positive temperature
  // for the unframed (TSDC) shape.
  bool usable(double x) const { return std::isfinite(x) && (shape_.framed || x > 0.0); }

  double best_value() const { return best_value_; }
  double best_x() const { return best_x_; }

 private:
  const ShapeEntry& shape_;
  const double* p_;
  const ShapeContext& ctx_;
  double best_value_ = -std::numeric_limits<double>::infinity();
  double best_x_ = kNaN;
};

// The grid point of largest finite |density|, or m when there is none (or it is zero).
std::size_t largest_point(std::span<const double> density, std::size_t m) {
  std::size_t at = m;
  double largest = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double v = std::fabs(density[i]);
    if (std::isfinite(v) && v > largest) {
      largest = v;
      at = i;
    }
  }
  return at;
}

// The mean spacing of the grid values beside point i, or kFallbackSpacing when it is not a
// positive finite number.
double local_spacing(std::span<const double> grid, std::size_t i, std::size_t m) {
  if (m < 2) return kFallbackSpacing;
  const std::size_t lo = i > 0 ? i - 1 : 0;
  const std::size_t hi = i + 1 < m ? i + 1 : m - 1;
  const double h = std::fabs(grid[hi] - grid[lo]) / static_cast<double>(hi - lo);
  return std::isfinite(h) && h > 0.0 ? h : kFallbackSpacing;
}

// The side (-1 or +1) of a grid neighbour of x, 0 for an equal or non-finite neighbour.
int side_of(double neighbour, double x) {
  if (!std::isfinite(neighbour)) return 0;
  if (neighbour < x) return -1;
  if (neighbour > x) return 1;
  return 0;
}

// Walks outward from the point (x, fx) in direction s by offsets h, 2h, 4h, ... until f stops
// rising.  `behind` bounds the maximum on the other side of x.  When f fell at once the bracket
// is (behind, first probe); when it rose first, the maximum lies between the point before the
// last rise and the probe where f fell.
Search bracket_outward(PointProfile& f, double x, double fx, int s, double h, double behind) {
  double previous_x = x;
  double previous_f = fx;
  double offset = h;
  for (std::size_t k = 0; k <= kMaxDoublings; ++k, offset *= 2.0) {
    const double probe = x + s * offset;
    if (!f.usable(probe)) return {};
    const double value = f(probe);
    if (!std::isfinite(value)) return {};
    if (!(value > previous_f)) {
      return {k == 0 ? SearchStatus::found : SearchStatus::rose, behind, probe};
    }
    behind = previous_x;
    previous_x = probe;
    previous_f = value;
  }
  return {};
}

// Golden-section search for the maximum of f on [lo, hi]; the result is f's running best.
void golden_section(PointProfile& f, double lo, double hi) {
  double a = lo;
  double b = hi;
  const double first_width = b - a;
  double c = a + kGoldenFraction * (b - a);
  double d = b - kGoldenFraction * (b - a);
  double fc = f(c);
  double fd = f(d);
  for (std::size_t step = 0; step < kMaxGoldenSteps; ++step) {
    if (!(b - a > kGoldenTolerance * (std::fabs(a) + std::fabs(b) + first_width))) break;
    if (fc >= fd || std::isnan(fd)) {  // the maximum is in [a, d]; a NaN never draws it near
      b = d;
      d = c;
      fd = fc;
      c = a + kGoldenFraction * (b - a);
      fc = f(c);
    } else {  // in [c, b]
      a = c;
      c = d;
      fc = fd;
      d = b - kGoldenFraction * (b - a);
      fd = f(d);
    }
  }
}

// The half-maximum crossing on side s of the maximum at x_max: offsets h/2, h, 2h, ... until f
// is no more than `level`, then bisection between the last point above and that point.
Search crossing(PointProfile& f, double x_max, int s, double half_step, double level) {
  double inner = x_max;
  double outer = kNaN;
  double offset = half_step;
  for (std::size_t k = 0; k <= kMaxDoublings; ++k, offset *= 2.0) {
    const double probe = x_max + s * offset;
    if (!f.usable(probe)) return {};
    const double value = f(probe);
    if (!std::isfinite(value)) return {};
    if (!(value > level)) {
      outer = probe;
      break;
    }
    inner = probe;
  }
  if (std::isnan(outer)) return {};  // the level was not reached within the doublings
  for (std::size_t k = 0; k < kMaxBisections; ++k) {
    const double mid = inner + 0.5 * (outer - inner);
    if (mid == inner || mid == outer) break;
    // A NaN inside the bracket counts as below the level: the peak has ended there.
    if (f(mid) > level) {
      inner = mid;
    } else {
      outer = mid;
    }
  }
  return {SearchStatus::found, inner + 0.5 * (outer - inner), kNaN};
}

// The grid point nearest x (the first of equally near ones), or m when none is finite.
std::size_t nearest_point(std::span<const double> grid, std::size_t m, double x) {
  std::size_t at = m;
  double nearest = std::numeric_limits<double>::infinity();
  for (std::size_t j = 0; j < m; ++j) {
    const double distance = std::fabs(grid[j] - x);
    if (distance < nearest) {
      nearest = distance;
      at = j;
    }
  }
  return at;
}

// The density's value at the maximum x_max of the profile (f_max there): the profile scaled by
// the density's ratio to it at the grid point nearest x_max; NaN where that ratio is not finite.
double top_at(PointProfile& f, std::span<const double> grid, std::span<const double> density,
              std::size_t m, double x_max, double f_max) {
  const std::size_t j = nearest_point(grid, m, x_max);
  if (j >= m) return kNaN;
  const double fj = f(grid[j]);
  const double scale = density[j] / fj;
  return std::isfinite(scale) && fj != 0.0 ? scale * f_max : kNaN;
}

}  // namespace

PeakQuantities peak_quantities(const ShapeEntry& shape, const double* p, const ShapeContext& ctx,
                               std::span<const double> grid, std::span<const double> density) {
  const PeakQuantities undetermined{kNaN, kNaN};
  const std::size_t m = grid.size() < density.size() ? grid.size() : density.size();
  const std::size_t i = largest_point(density, m);
  if (i == m) return undetermined;

  PointProfile f(shape, p, ctx);
  if (shape.summit != nullptr) {
    double summit[2];
    shape.summit(p, ctx, summit);
    if (!f.usable(summit[0])) return undetermined;
    const double f_max = f(summit[0]);
    if (!std::isfinite(f_max) || !(f_max > 0.0)) return undetermined;
    return {top_at(f, grid, density, m, summit[0], f_max),
            std::isfinite(summit[1]) && summit[1] > 0.0 ? summit[1] : kNaN};
  }
  const double h = local_spacing(grid, i, m);
  const double xi = grid[i];
  const double fi = f(xi);
  if (!f.usable(xi) || !std::isfinite(fi)) return undetermined;

  // The grid neighbours' sides of grid[i] (index 0: below, 1: above).
  std::array<double, 2> bound{kNaN, kNaN};
  for (const std::size_t j : {i - 1, i + 1}) {
    if (j >= m) continue;  // i - 1 wraps around at i = 0
    const int s = side_of(grid[j], xi);
    if (s != 0) bound[s > 0 ? 1 : 0] = grid[j];
  }
  for (const int s : {-1, 1}) {
    const std::size_t here = s > 0 ? 1 : 0;
    if (!std::isnan(bound[here])) continue;
    const double behind = std::isnan(bound[1 - here]) ? xi : bound[1 - here];
    const Search found = bracket_outward(f, xi, fi, s, h, behind);
    if (found.status == SearchStatus::stopped) return undetermined;
    bound[here] = found.hi;
    if (found.status == SearchStatus::rose) {  // the maximum is beyond grid[i] on this side
      bound[1 - here] = found.lo;
      break;
    }
  }
  golden_section(f, bound[0] < bound[1] ? bound[0] : bound[1],
                 bound[0] < bound[1] ? bound[1] : bound[0]);

  const double f_max = f.best_value();
  const double x_max = f.best_x();
  if (!std::isfinite(f_max) || !(f_max > 0.0)) return undetermined;

  PeakQuantities out{top_at(f, grid, density, m, x_max, f_max), kNaN};

  const double level = 0.5 * f_max;
  const Search left = crossing(f, x_max, -1, 0.5 * h, level);
  const Search right = crossing(f, x_max, 1, 0.5 * h, level);
  if (left.status == SearchStatus::found && right.status == SearchStatus::found) {
    out.fwhm = right.lo - left.lo;
  }
  return out;
}

}  // namespace velmora::shapes
