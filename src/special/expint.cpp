#include "special/expint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace velmora::special {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMaxFinite = 1.7976931348623157e308;  // largest finite float64

// Ei: relative size of the last term at which a series stops.
constexpr double kEiSeriesTol = 1e-15;
constexpr int kEiNegativeSeriesTerms = 25;   // -1 <= x < 0
constexpr int kEiPositiveSeriesTerms = 100;  // 0 < x <= 40
constexpr int kEiAsymptoticTerms = 20;       // x > 40
constexpr double kEiAsymptoticFrom = 40.0;

// E_n: above this argument e^{-x} underflows and E_n(x) is returned as 0.
constexpr double kEnUnderflow = 709.782712893384;
constexpr double kEnTol = 1.1102230246251565e-16;   // 2^-53
constexpr double kEnBig = 1.4411518807585587e17;    // 2^57
constexpr double kEnBigInv = 6.938893903907228e-18;  // 2^-57

// E_1(X) for 0 < X <= 1 by its power series (DLMF 6.6.2):
//   E_1(X) = -gamma - ln X - sum_{k>=1} (-X)^k / (k k!)
//          = (-gamma - ln X) + X s,   s = 1 + r_1 + r_2 + ...,   r_k = -r_{k-1} k X / (k+1)^2.
double e1_series(double big_x) {
  double s = 1.0;
  double r = 1.0;
  for (int k = 1; k <= kEiNegativeSeriesTerms; ++k) {
    r = (((-r) * k) * big_x) / ((k + 1) * (k + 1));
    s = s + r;
    if (std::fabs(r) <= std::fabs(s) * kEiSeriesTol) break;
  }
  return ((-kEulerGamma) - std::log(big_x)) + big_x * s;
}

// E_1(X) for X > 1 by the continued fraction (DLMF 6.9.1), evaluated from the tail:
//
//                       1     1     1     2     2     3     3
//   E_1 = exp(-X) * ----- ----- ----- ----- ----- ----- ----- ...
//                   X +   1 +   X +   1 +   X +   1 +   X +
//
// folded into t_k = k / (k / (X + t_{k+1}) + 1) with m levels, m = trunc(-80 / x) + 20 taken
// as a 32-bit integer (x = -X; m is 20 for x = -inf and at most 99 for x < -1).
double e1_continued_fraction(double x) {
  const double big_x = -x;
  const auto m = static_cast<std::int32_t>(std::trunc(-80.0 / x)) + 20;
  double t = 0.0;
  for (std::int32_t k = m; k >= 1; --k) t = k / (k / (big_x + t) + 1.0);
  return (1.0 / (big_x + t)) * std::exp(-big_x);
}

// 1 / Gamma(n) = 1 / (n-1)!, exactly 1 for n = 1 and n = 2.
double inverse_gamma_of_order(std::int32_t n) {
  double factorial = 1.0;
  for (std::int32_t i = 2; i < n; ++i) factorial *= i;
  return 1.0 / factorial;
}

}  // namespace

double exponential_integral_ei(double x) {
  if (x == 0.0) return -kInf;  // both signs of zero
  if (x < 0.0) {
    // Ei(x) = -E_1(-x).
    if (x >= -1.0) return -e1_series(-x);
    return -e1_continued_fraction(x);
  }
  if (x > 0.0 && x <= kEiAsymptoticFrom) {
    // Ei(x) = gamma + ln x + sum_{k>=1} x^k / (k k!)  (DLMF 6.6.1), as
    // (ln x + gamma) + x s with s = 1 + r_1 + ...,  r_k = r_{k-1} k x / (k+1)^2.
    double s = 1.0;
    double r = 1.0;
    for (int k = 1; k <= kEiPositiveSeriesTerms; ++k) {
      r = ((r * k) * x) / ((k + 1) * (k + 1));
      s = s + r;
      if (std::fabs(r / s) <= kEiSeriesTol) break;
    }
    return (std::log(x) + kEulerGamma) + s * x;
  }
  // x > 40, and NaN, which propagates through the series below.
  if (x > kMaxFinite) return kInf;
  // Ei(x) ~ (e^x / x) sum_{k>=0} k! / x^k  (DLMF 6.12.2), exactly 20 terms after the first.
  double s = 1.0;
  double r = 1.0;
  for (int k = 1; k <= kEiAsymptoticTerms; ++k) {
    r = (r * k) / x;
    s = s + r;
  }
  return (std::exp(x) / x) * s;
}

double exponential_integral_en(std::int32_t n, double x) {
  if (n < 1) return kNaN;
  if (std::isnan(x) || x < 0.0) return kNaN;
  if (x > kEnUnderflow) return 0.0;  // +inf included
  if (x == 0.0) {
    if (n == 1) return kInf;
    return 1.0 / (n - 1);
  }

  if (x <= 1.0) {
    // Power series (DLMF 8.19.8):
    //   E_n(x) = (-x)^{n-1} / (n-1)! (psi(n) - ln x) - sum_{j>=0, j != n-1} (-x)^j / ((j-n+1) j!)
    // with psi(n) = -gamma + sum_{i=1}^{n-1} 1/i.  The j = 0 term is S's start 1/(1-n) (none for
    // n = 1); the term with p = j + 1 - n = 0 is skipped.
    double psi = (-kEulerGamma) - std::log(x);
    for (std::int32_t i = 1; i <= n - 1; ++i) psi = psi + 1.0 / i;
    double sum = n == 1 ? 0.0 : 1.0 / (1 - n);
    double y = 1.0;
    double p = 1.0 - n;
    double j = 0.0;
    double rel = 1.0;
    do {
      j = j + 1.0;
      y = y * ((-x) / j);
      p = p + 1.0;
      if (p != 0.0) sum = sum + y / p;
      rel = sum != 0.0 ? std::fabs(y / sum) : 1.0;  // keep going while the sum is still 0
    } while (rel > kEnTol);
    return (std::pow(-x, n - 1) * psi) * inverse_gamma_of_order(n) - sum;
  }

  // Continued fraction (DLMF 8.19.17)
  //
  //                     1     n     1    n+1    2    n+2    3
  //   E_n = exp(-x) * ----- ----- ----- ----- ----- ----- ----- ...
  //                   x +   1 +   x +   1 +   x +   1 +   x +
  //
  // by the forward recurrence of its convergents P/Q: even levels k multiply by (x, k/2), odd
  // levels by (1, n + (k-1)/2).  P and Q are scaled by 2^-57 when |P| exceeds 2^57, which
  // changes no convergent.
  std::int32_t k = 1;
  double p2 = 1.0;
  double q2 = x;
  double p1 = 1.0;
  double q1 = n + x;
  double a = 1.0 / q1;
  double t = 1.0;
  do {
    k = k + 1;
    double u;
    double v;
    if (k % 2 != 0) {
      u = 1.0;
      v = n + (k - 1) / 2;
    } else {
      u = x;
      v = k / 2;
    }
    const double p = p1 * u + p2 * v;
    const double q = q1 * u + q2 * v;
    if (q != 0.0) {
      const double r = p / q;
      t = std::fabs((a - r) / r);
      a = r;
    } else {
      t = 1.0;
    }
    p2 = p1;
    p1 = p;
    q2 = q1;
    q1 = q;
    if (std::fabs(p) > kEnBig) {
      p2 = p2 * kEnBigInv;
      p1 = p1 * kEnBigInv;
      q2 = q2 * kEnBigInv;
      q1 = q1 * kEnBigInv;
    }
  } while (t > kEnTol);
  return std::exp(-x) * a;
}

namespace {

// Points per group of the evaluations at many points.
constexpr std::size_t kLanes = 8;

// E_1(-x[j]) for a group of x[j] < -1, each exactly as e1_continued_fraction: every lane runs its
// own levels k = m_j .. 1, the lanes share the level counter (a lane waits until k reaches its
// m_j, its t staying 0 meanwhile).
std::array<double, kLanes> e1_continued_fraction_lanes(const std::array<double, kLanes>& x) {
  std::array<double, kLanes> big_x{}, t{}, out{};
  std::array<std::int32_t, kLanes> m{};
  std::int32_t top = 0;
  for (std::size_t j = 0; j < kLanes; ++j) {
    big_x[j] = -x[j];
    m[j] = static_cast<std::int32_t>(std::trunc(-80.0 / x[j])) + 20;
    top = std::max(top, m[j]);
  }
  for (std::int32_t k = top; k >= 1; --k) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      if (k <= m[j]) t[j] = k / (k / (big_x[j] + t[j]) + 1.0);
    }
  }
  for (std::size_t j = 0; j < kLanes; ++j) {
    out[j] = (1.0 / (big_x[j] + t[j])) * std::exp(-big_x[j]);
  }
  return out;
}

// Evaluates f at every point, sending the points for which `grouped` holds through `lanes` a
// group of kLanes at a time (a last, partial group is filled up with its first point) and the
// others through `single`.
template <class Grouped, class Lanes, class Single>
void evaluate_many(std::span<const double> x, std::span<double> out, Grouped&& grouped,
                   Lanes&& lanes, Single&& single) {
  const std::size_t count = std::min(x.size(), out.size());
  std::array<double, kLanes> args{};
  std::array<std::size_t, kLanes> where{};
  std::size_t filled = 0;
  auto flush = [&] {
    for (std::size_t j = filled; j < kLanes; ++j) args[j] = args[0];
    const std::array<double, kLanes> values = lanes(args);
    for (std::size_t j = 0; j < filled; ++j) out[where[j]] = values[j];
    filled = 0;
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (!grouped(x[i])) {
      out[i] = single(x[i]);
      continue;
    }
    args[filled] = x[i];
    where[filled] = i;
    if (++filled == kLanes) flush();
  }
  if (filled > 0) flush();
}

}  // namespace

void exponential_integral_ei_many(std::span<const double> x, std::span<double> out) {
  evaluate_many(
      x, out, [](double v) { return v < -1.0; },
      [](const std::array<double, kLanes>& v) {
        std::array<double, kLanes> e1 = e1_continued_fraction_lanes(v);
        for (double& e : e1) e = -e;
        return e1;
      },
      [](double v) { return exponential_integral_ei(v); });
}

void exponential_integral_en_many(std::int32_t n, std::span<const double> x,
                                  std::span<double> out) {
  // The continued fraction of E_n keeps its divisions off the chain that carries from one step
  // to the next, so one point at a time already keeps the divider busy.
  const std::size_t count = std::min(x.size(), out.size());
  for (std::size_t i = 0; i < count; ++i) out[i] = exponential_integral_en(n, x[i]);
}

}  // namespace velmora::special