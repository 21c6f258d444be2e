#include "special/voigt_derivatives.hpp"

#include <complex>

#include "special/faddeeva.hpp"
#include "special/voigt_profile.hpp"

namespace velmora::special {
namespace {

constexpr double kTwoOverSqrtPi = 1.1283791670955126;  // 2 / sqrt(pi)
constexpr double kInvSqrtPi = 0.5641895835477563;      // 1 / sqrt(pi)

// |z|^2 as re^2 + im^2: std::abs and std::norm go through hypot (overflow-safe, and several
// times the cost of w itself in the series below), which magnitudes of order 1e-3 to 1e3 do not
// need.
double magnitude2(std::complex<double> z) { return z.real() * z.real() + z.imag() * z.imag(); }

// w, w', w'' and the combinations the sigma derivatives take: q0 = w + z w',
// q1 = 2 w' + z w'', r = 2 w + 4 z w' + z^2 w''.
struct Faddeeva {
  std::complex<double> w, w1, w2, q0, q1, r;
};

// Beyond this |z| the recurrences lose |z|^2 (w'), |z|^4 (q0, w'') and |z|^6 (r) in relative
// accuracy to cancellation (r to 1e-7 at |z| = 20), so the asymptotic series takes over.
constexpr double kSeriesFrom = kFaddeevaSeriesFrom;
constexpr std::size_t kSeriesTerms = 40;

// In the upper half plane, for large |z|,
//   w(z) = (i / sqrt pi) sum_n a_n z^-(2n+1),   a_0 = 1, a_(n+1) = a_n (2n + 1) / 2,
// whose exponentially small remainder is below rounding from |z| = 8 on.  Differentiated term
// by term, the leading terms of q0, q1 and r cancel exactly and are left out:
//   w'  = sum -(2n+1) a_n z^-(2n+2)        w''= sum (2n+1)(2n+2) a_n z^-(2n+3)
//   q0  = sum -2n a_n z^-(2n+1)            q1 = sum 2n(2n+1) a_n z^-(2n+2)
//   r   = sum 2n(2n-1) a_n z^-(2n+1)       (each times i / sqrt pi)
Faddeeva faddeeva_series(std::complex<double> z) {
  const std::complex<double> inv = 1.0 / z;
  const std::complex<double> inv2 = inv * inv;
  Faddeeva f{};
  std::complex<double> power = inv;  // a_n z^-(2n+1)
  for (std::size_t i = 0; i < kSeriesTerms; ++i) {
    const double n = static_cast<double>(i);
    f.w += power;
    f.w1 += -(2.0 * n + 1.0) * power * inv;
    f.w2 += (2.0 * n + 1.0) * (2.0 * n + 2.0) * power * inv2;
    f.q0 += -2.0 * n * power;
    f.q1 += 2.0 * n * (2.0 * n + 1.0) * power * inv;
    f.r += 2.0 * n * (2.0 * n - 1.0) * power;
    if (magnitude2(power) < 1e-36 * magnitude2(f.w)) break;  // |power| < 1e-18 |w|
    power *= inv2 * ((2.0 * n + 1.0) / 2.0);
  }
  const std::complex<double> scale(0.0, kInvSqrtPi);
  return {scale * f.w, scale * f.w1, scale * f.w2, scale * f.q0, scale * f.q1, scale * f.r};
}

Faddeeva faddeeva_jet(std::complex<double> z) {
  if (magnitude2(z) >= kSeriesFrom * kSeriesFrom) return faddeeva_series(z);
  const std::complex<double> w = faddeeva_w(z);
  const std::complex<double> w1 = -2.0 * z * w + std::complex<double>(0.0, kTwoOverSqrtPi);
  const std::complex<double> w2 = -2.0 * w - 2.0 * z * w1;
  return {w, w1, w2, w + z * w1, 2.0 * w1 + z * w2, 2.0 * w + 4.0 * z * w1 + z * z * w2};
}

// sum_i term(offset(u_i)) W_i / ((1 - t_i)(1 - t_i)), the quadrature of voigt_cdf applied to
// every entry of the term (the density alone, or its jet).
template <class Term, class Offset>
Term half_line(Offset&& offset, Term (*term_at)(double, double, double), double sigma,
               double gamma) {
  Term sum{};
  for (std::size_t i = 0; i < kVoigtQuadratureSize; ++i) {
    const double t = kVoigtNodes[i];
    const double u = t / (1.0 - t);
    const double jacobian = 1.0 / ((1.0 - t) * (1.0 - t));
    const Term term = term_at(offset(u), sigma, gamma);
    for (std::size_t e = 0; e < sum.size(); ++e) sum[e] += term[e] * kVoigtWeights[i] * jacobian;
  }
  return sum;
}

// voigt_cdf(b, ...) (and its derivatives), branch for branch.
template <class Term>
Term cdf_of(Term (*term_at)(double, double, double), double b, double x0, double sigma,
            double gamma) {
  if (x0 >= b) return half_line([&](double u) { return b - u - x0; }, term_at, sigma, gamma);
  Term upper = half_line([&](double u) { return u + b - x0; }, term_at, sigma, gamma);
  upper[0] = 1.0 - upper[0];
  for (std::size_t e = 1; e < upper.size(); ++e) upper[e] = -upper[e];
  return upper;
}

std::array<double, 1> density_term(double x, double sigma, double gamma) {
  return {voigt_value(x, sigma, gamma)};
}

}  // namespace

VoigtJet voigt_jet(double x, double sigma, double gamma) {
  const double k = kInvSqrt2 / sigma;
  const double c = kInvSqrt2Pi / sigma;
  const std::complex<double> z(x * k, gamma * k);
  const Faddeeva f = faddeeva_jet(z);
  const double ck = c * k;
  const double ckk = ck * k;
  const double cks = ck / sigma;
  return {c * f.w.real(),
          -ck * f.w1.real(),
          -(c / sigma) * f.q0.real(),
          -ck * f.w1.imag(),
          ckk * f.w2.real(),
          cks * f.q1.real(),
          ckk * f.w2.imag(),
          (c / (sigma * sigma)) * f.r.real(),
          cks * f.q1.imag(),
          -ckk * f.w2.real()};
}

double voigt_value(double x, double sigma, double gamma) {
  const double k = kInvSqrt2 / sigma;
  return kInvSqrt2Pi / sigma * faddeeva_w(std::complex<double>(x * k, gamma * k)).real();
}

double voigt_window_mass_value(double x0, double sigma, double gamma, double x_min,
                               double x_max) {
  return cdf_of(density_term, x_max, x0, sigma, gamma)[0] -
         cdf_of(density_term, x_min, x0, sigma, gamma)[0];
}

VoigtJet voigt_window_mass_jet(double x0, double sigma, double gamma, double x_min,
                               double x_max) {
  const VoigtJet upper = cdf_of(voigt_jet, x_max, x0, sigma, gamma);
  const VoigtJet lower = cdf_of(voigt_jet, x_min, x0, sigma, gamma);
  VoigtJet mass;
  for (std::size_t e = 0; e < mass.size(); ++e) mass[e] = upper[e] - lower[e];
  return mass;
}

}  // namespace velmora::special
