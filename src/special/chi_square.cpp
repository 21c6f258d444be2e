// The regularized incomplete gamma functions (chi_square.hpp).
#include "special/chi_square.hpp"

#include <cmath>
#include <limits>

namespace velmora::special {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = 1e-16;
constexpr int kMaxTerms = 100000;

// log Gamma(a), a > 0 (lgamma_r: lgamma writes the global signgam).
double log_gamma(double a) {
  int sign = 0;
  return ::lgamma_r(a, &sign);
}

// P(a, x) by its series, x < a + 1.
double series_p(double a, double x) {
  double term = 1.0 / a;
  double sum = term;
  double ap = a;
  for (int k = 0; k < kMaxTerms; ++k) {
    ap += 1.0;
    term *= x / ap;
    sum += term;
    if (std::fabs(term) < std::fabs(sum) * kEps) break;
  }
  return sum * std::exp(-x + a * std::log(x) - log_gamma(a));
}

// Q(a, x) by its continued fraction, x >= a + 1.
double fraction_q(double a, double x) {
  constexpr double tiny = 1e-300;
  double b = x + 1.0 - a;
  double c = 1.0 / tiny;
  double d = 1.0 / b;
  double h = d;
  for (int i = 1; i < kMaxTerms; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < kEps) break;
  }
  return std::exp(-x + a * std::log(x) - log_gamma(a)) * h;
}

bool bad(double a, double x) { return !(a > 0.0) || !(x >= 0.0); }

}  // namespace

double gamma_p(double a, double x) {
  if (bad(a, x)) return kNaN;
  if (x == 0.0) return 0.0;
  if (std::isinf(x)) return 1.0;
  return x < a + 1.0 ? series_p(a, x) : 1.0 - fraction_q(a, x);
}

double gamma_q(double a, double x) {
  if (bad(a, x)) return kNaN;
  if (x == 0.0) return 1.0;
  if (std::isinf(x)) return 0.0;
  return x < a + 1.0 ? 1.0 - series_p(a, x) : fraction_q(a, x);
}

}  // namespace velmora::special
