#include "special/voigt_profile.hpp"

#include <cerf.h>

#include <cmath>
#include <limits>

namespace velmora::special {
namespace {

// sum_i V(offset(u_i)) W_i / ((1 - t_i)(1 - t_i)) over the nodes in increasing order, where
// u_i = t_i / (1 - t_i) maps [0, 1) onto [0, inf).
template <class Offset>
double half_line_integral(Offset&& offset, double sigma, double gamma) {
  double sum = 0.0;
  for (std::size_t i = 0; i < kVoigtQuadratureSize; ++i) {
    const double t = kVoigtNodes[i];
    const double u = t / (1.0 - t);
    const double jacobian = 1.0 / ((1.0 - t) * (1.0 - t));
    sum += voigt_density(offset(u), sigma, gamma) * kVoigtWeights[i] * jacobian;
  }
  return sum;
}

}  // namespace

double voigt_density(double x, double sigma, double gamma) {
  if (sigma != 0.0 && gamma != 0.0) {
    // Re w(z), z = (x + i gamma) / (sigma sqrt 2); libcerf's re_w_of_z gives the same bits as
    // the real part of its complex w_of_z.
    const double re = (x / sigma) * kInvSqrt2;
    const double im = (gamma / sigma) * kInvSqrt2;
    return re_w_of_z(re, im) / sigma / kSqrt2Pi;
  }
  if (sigma != 0.0) {
    // Normal density.
    const double r = x / sigma;
    return kInvSqrt2Pi / sigma * std::exp(-r * r * 0.5);
  }
  if (gamma != 0.0) {
    // Cauchy density.
    return (gamma / kPi) / (gamma * gamma + x * x);
  }
  // Point mass at the centre.
  if (std::isnan(x)) return x;
  return x != 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
}

double voigt_cdf(double b, double x0, double sigma, double gamma) {
  if (x0 >= b) {
    // b left of (or at) the centre: the mass of (-inf, b].
    return half_line_integral([&](double u) { return b - u - x0; }, sigma, gamma);
  }
  // b right of the centre (or a NaN argument): one minus the mass of [b, inf).
  const double upper = half_line_integral([&](double u) { return u + b - x0; }, sigma, gamma);
  return 1.0 - upper;
}

double voigt_window_mass(double x0, double sigma, double gamma, double x_min, double x_max) {
  const double upper = voigt_cdf(x_max, x0, sigma, gamma);
  const double lower = voigt_cdf(x_min, x0, sigma, gamma);
  return upper - lower;
}

}  // namespace velmora::special
