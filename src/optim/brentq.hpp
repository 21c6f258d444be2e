// Bracketing root finder: Brent's method.
//
// Finds a zero of a continuous scalar function f inside a bracket [lo, hi] across which f
// changes sign.  Each step tries inverse quadratic interpolation through the last three points
// (or the secant step when two of their function values coincide) and falls back to bisection
// whenever one of five safeguards says the trial point is poor.  Reference: R. P. Brent,
// "Algorithms for Minimization without Derivatives", Prentice-Hall 1973, ch. 4; the safeguard
// set is the one of the widely used "Brent-Dekker with flag" formulation.
//
// This variant differs from the textbook loop in three ways that callers rely on:
//   - every iteration evaluates f twice: at the trial point and afresh at the end it keeps;
//   - when the bracket has shrunk below delta it returns c, the value b held before the last
//     update, not the current b;
//   - all three stopping tests and two of the safeguards share the one tolerance delta.
// The operation order of every formula below is fixed so that roots agree to the last bit
// with a plain sequential evaluation.
//
// A NaN from f never stops the search by itself: it takes the "false" side of every comparison
// and usually ends in NoConvergency (or a NaN root).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "stop.hpp"

namespace velmora {

// Iteration limit of brentq, the same for every caller.  One iteration costs two evaluations.
inline constexpr int kBrentqMaxIterations = 100;

// Ways brentq can fail.  ZeroDerivative is never produced by brentq; it belongs to the same
// enumeration so that every root-finder failure has one printed name.
enum class RootError : std::uint8_t {
  kNoConvergency,   // kBrentqMaxIterations iterations ran without meeting a stopping test
  kNoBracketing,    // f(lo) * f(hi) > 0
  kZeroDerivative,  // reserved for derivative-based finders
};

// Printed name of a failure: "NoConvergency", "NoBracketing" or "ZeroDerivative".  Callers that
// report a failure build "brentq failed: " + this name.
std::string_view root_error_name(RootError error);

struct BrentqResult {
  double root = std::numeric_limits<double>::quiet_NaN();  // meaningful only when ok()
  std::optional<RootError> error;                          // empty on success
  int iterations = 0;   // completed iterations (each evaluates f twice)
  int evaluations = 0;  // calls of f, always 2 + 2 * iterations
  bool ok() const { return !error.has_value(); }
};

// Finds a root of f in the bracket between lo and hi (lo need not be below hi).  delta is the
// tolerance of the three stopping tests: |f(a)| < delta, |f(b)| < delta, |a - b| < delta.
// f is called on the calling thread, once per evaluation counted in the result; it may be
// expensive (for instance a parallel sum over the data).
template <class F>
  requires std::is_invocable_r_v<double, F&, double>
BrentqResult brentq(F&& f, double lo, double hi, double delta) {
  BrentqResult result;
  auto eval = [&](double t) -> double {
    ++result.evaluations;
    return static_cast<double>(f(t));
  };

  const double f_lo = eval(lo);
  const double f_hi = eval(hi);

  // b is the end with the smaller |f|; on a tie (or NaN) lo becomes b.
  double a = hi, fa = f_hi, b = lo, fb = f_lo;
  if (std::fabs(f_lo) > std::fabs(f_hi)) {
    a = lo;
    fa = f_lo;
    b = hi;
    fb = f_hi;
  }

  // A zero or NaN product does not stop here: an exact zero at an end is found by the first
  // stopping test, a NaN flows into the iteration.
  if (f_lo * f_hi > 0.0) {
    result.error = RootError::kNoBracketing;
    return result;
  }

  // c: the previous b (fc its value); d: the b before that; m: the last step was a bisection.
  double c = a, fc = fa, d = a;
  bool m = true;

  for (int iter = 0; iter < kBrentqMaxIterations; ++iter) {
    checkpoint();  // a call that is being stopped unwinds here (stop.hpp)
    // Stopping tests, in this order.
    if (std::fabs(fa) < delta) {
      result.root = a;
      return result;
    }
    if (std::fabs(fb) < delta) {
      result.root = b;
      return result;
    }
    if (std::fabs(a - b) < delta) {
      result.root = c;
      return result;
    }

    // Trial point.
    double s;
    if (fa != fc && fb != fc) {
      // Inverse quadratic interpolation through (a, fa), (b, fb), (c, fc):
      //   s = a fb fc / ((fa-fc)(fa-fb)) + b fa fc / ((fb-fc)(fb-fa)) + c fa fb / ((fc-fb)(fc-fa))
      const double t_a = ((fb * a) * fc) / ((fa - fc) * (fa - fb));
      const double t_b = ((fa * b) * fc) / ((fb - fc) * (fb - fa));
      const double t_c = ((fa * c) * fb) / ((fc - fb) * (fc - fa));
      s = (t_b + t_a) + t_c;
    } else {
      // Secant through (a, fa) and (b, fb).
      s = b - ((b - a) * fb) / (fb - fa);
    }

    // Safeguards: bisect when s is not between (3a + b)/4 and b, when it would not halve the
    // step before last, or when the last steps are already below the tolerance.
    const bool outside = ((a * 3.0 + b) * (-0.25) + s) * (s - b) > 0.0;
    const bool slow_after_bisection = m && std::fabs(s - b) >= std::fabs(b - c) * 0.5;
    const bool slow_after_interpolation = !m && std::fabs(s - b) >= std::fabs(c - d) * 0.5;
    const bool tiny_after_bisection = m && std::fabs(b - c) < delta;
    const bool tiny_after_interpolation = !m && std::fabs(c - d) < delta;
    if (outside || slow_after_bisection || slow_after_interpolation || tiny_after_bisection ||
        tiny_after_interpolation) {
      s = (b + a) * 0.5;
      m = true;
    } else {
      m = false;
    }

    const double fs = eval(s);
    d = c;
    c = b;
    fc = fb;

    // Keep the sign change: s replaces b when f changes sign between a and s, otherwise a
    // (also for a NaN product).  The end that stays is evaluated afresh.
    if (fa * fs < 0.0) {
      b = s;
      fb = fs;
      fa = eval(a);
    } else {
      a = s;
      fa = fs;
      fb = eval(b);
    }

    // b becomes the end with the smaller |f|; ties and NaN swap.
    if (!(std::fabs(fa) > std::fabs(fb))) {
      std::swap(a, b);
      std::swap(fa, fb);
    }
    ++result.iterations;
  }
  // The point produced by the last iteration is not tested.
  result.error = RootError::kNoConvergency;
  return result;
}

}  // namespace velmora
