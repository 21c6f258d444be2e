// Root finding for the full widths at half maximum of the shapes without a closed form (Voigt,
// Doniach-Sunjic, TSDC): the half-maximum crossings of a profile and the width parameter that
// gives a peak a requested full width.  Both work in a scaled variable t (the quantity over a
// scale of its own size), so that Brent's absolute tolerance is one of a few ulp of the result
// whatever its units.
#pragma once

#include <cmath>
#include <limits>

#include "optim/brentq.hpp"

namespace velmora::shapes {

// Tolerance of the scaled root finds: a few ulp of a number near 1.
inline constexpr double kScaledTolerance = 4.0 * std::numeric_limits<double>::epsilon();
// Most doublings (or halvings) of a bracket's end.
inline constexpr int kMaxBracketSteps = 200;

// The offset d > 0 from the maximum at which the profile falls to half its maximum, on the
// side where `below(d)` = profile / maximum - 1/2 is evaluated (a decreasing function of d,
// positive at 0): a bracket [t, 2t] of d / scale found by doubling or halving from 1, then
// Brent's method.  `limit` (> 0) caps d (a temperature axis ends at 0): a bracket that reaches
// it ends there.  NaN when no crossing is found.
template <class F>
double half_crossing(F&& below, double scale, double limit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (!(scale > 0.0) || !std::isfinite(scale)) return nan;
  auto g = [&](double t) { return below(t * scale); };
  const double t_cap = limit / scale * (1.0 - kScaledTolerance);
  double lo = 1.0 < t_cap ? 1.0 : 0.5 * t_cap;
  double hi = lo;
  double g_hi = g(hi);
  int steps = 0;
  if (g_hi > 0.0) {  // push outward until the profile is below half
    while (g_hi > 0.0) {
      if (steps++ >= kMaxBracketSteps || hi >= t_cap) return nan;
      lo = hi;
      hi = hi * 2.0 < t_cap ? hi * 2.0 : t_cap;
      g_hi = g(hi);
    }
  } else {  // pull inward until it is above
    double g_lo = g_hi;
    while (!(g_lo > 0.0)) {
      if (steps++ >= kMaxBracketSteps) return nan;
      hi = lo;
      lo = lo * 0.5;
      g_lo = g(lo);
    }
  }
  if (!std::isfinite(g_hi)) return nan;
  const BrentqResult root = brentq(g, lo, hi, kScaledTolerance);
  return root.ok() ? root.root * scale : nan;
}

// The value w > 0 at which `excess(w)` = (full width at w) / (requested width) - 1 is zero,
// for a full width monotone in w: a bracket [guess t, guess 2t] (or halved) of w / guess in
// the direction the sign says, then Brent's method.  NaN when none is found.
template <class F>
double solve_width(F&& excess, double guess, bool increasing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (!(guess > 0.0) || !std::isfinite(guess)) return nan;
  auto g = [&](double t) { return excess(t * guess); };
  double a = 1.0;
  double g_a = g(a);
  if (std::isnan(g_a)) return nan;
  if (g_a == 0.0) return guess;
  // Too wide: a smaller w when the width increases with w, a larger one otherwise.
  const double factor = (g_a > 0.0) == increasing ? 0.5 : 2.0;
  double b = a;
  double g_b = g_a;
  for (int steps = 0; (g_b > 0.0) == (g_a > 0.0); ++steps) {
    if (steps >= kMaxBracketSteps) return nan;
    a = b;
    b = b * factor;
    g_b = g(b);
    if (std::isnan(g_b)) return nan;
    if (g_b == 0.0) return b * guess;
  }
  const BrentqResult root = brentq(g, a, b, kScaledTolerance);
  return root.ok() ? root.root * guess : nan;
}

}  // namespace velmora::shapes
