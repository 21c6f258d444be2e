// The Voigt profile: the convolution of a centred normal density (standard deviation sigma)
// with a centred Cauchy density (half width at half maximum gamma), and its probability mass
// on a window.
//
// Density (DLMF 7.19.4, with the Faddeeva function w(z) = exp(-z^2) erfc(-i z), DLMF 7.2.3):
//
//   V(x; sigma, gamma) = Re w(z) / (sigma sqrt(2 pi)),   z = (x + i gamma) / (sigma sqrt 2),
//
// with w(z) from libcerf (relative accuracy about one machine epsilon).  The limits sigma = 0
// (Cauchy) and gamma = 0 (normal) are evaluated by their own closed forms, decided by exact
// comparisons with zero (a NaN width counts as non-zero):
//
//   sigma != 0, gamma != 0   Re w(z) / sigma / sqrt(2 pi),
//                            z = (x / sigma) / sqrt 2 + i (gamma / sigma) / sqrt 2
//   sigma != 0, gamma == 0   (1 / sqrt(2 pi)) / sigma * exp(-(x / sigma)(x / sigma) / 2)
//   sigma == 0, gamma != 0   (gamma / pi) / (gamma gamma + x x)
//   sigma == 0, gamma == 0   point mass: +inf at x == 0, 0 elsewhere, NaN for a NaN x
//
// Distribution function: the density integrated over the half-line on the far side of b from
// the centre, so that the integrand decays away from b, with u = t / (1 - t),
// du = dt / (1 - t)^2, and the 100-point Gauss-Legendre rule on [0, 1]:
//
//   x0 >= b:  P(X < b) =     sum_i V(b - u_i - x0) W_i / ((1 - t_i)(1 - t_i))
//   x0 <  b:  P(X < b) = 1 - sum_i V(u_i + b - x0) W_i / ((1 - t_i)(1 - t_i))
//
// The sums run over the nodes in increasing order from 0.0, each term formed as
// density * weight * (1 / ((1 - t)(1 - t))).  The substitution maps a Cauchy tail onto a smooth
// function of t, but its scale is fixed at one unit of x: against 30-digit values the result
// is accurate to a few ulp while |b - x0| stays below about 50 units and the widths between
// about 0.01 and a few units; it loses accuracy when |b - x0| is far larger (about 4e-8 gamma
// at 1e3 units, where the integrand rises within 1/|b - x0| of t = 1 and the last node at
// 1 - 1.4e-4 no longer resolves it) and for widths of ten units or more (about 1e-10).
//
// Pure and reentrant: no state, no errors; NaN arguments give NaN results (except where the
// exact-zero tests above decide first).
#pragma once

#include <array>
#include <cstddef>

#include "special/gauss_legendre_100.hpp"

namespace velmora::special {

inline constexpr double kInvSqrt2 = 0.7071067811865476;     // 1/sqrt(2)
inline constexpr double kSqrt2Pi = 2.5066282746310002;      // sqrt(2 pi)
inline constexpr double kInvSqrt2Pi = 0.3989422804014327;   // 1/sqrt(2 pi)
inline constexpr double kPi = 3.141592653589793;            // pi

// Nodes t_i and weights W_i of the quadrature used by voigt_cdf (see gauss_legendre_100.hpp).
inline constexpr std::size_t kVoigtQuadratureSize = 100;
inline constexpr const std::array<double, kVoigtQuadratureSize>& kVoigtNodes =
    detail::kGaussLegendreNodes01;
inline constexpr const std::array<double, kVoigtQuadratureSize>& kVoigtWeights =
    detail::kGaussLegendreWeights01;

// The Voigt density at offset x from the centre.
double voigt_density(double x, double sigma, double gamma);

// P(X < b) for a Voigt variable X centred at x0.  b == x0 takes the left-tail branch (about
// 0.5).
double voigt_cdf(double b, double x0, double sigma, double gamma);

// voigt_cdf(x_max, ...) - voigt_cdf(x_min, ...), the upper end evaluated first.  Not clipped
// and not floored: a window far out in a tail may give 0 or a slightly negative value after
// cancellation, an inverted window a negative one.  Callers floor it before dividing by it.
double voigt_window_mass(double x0, double sigma, double gamma, double x_min, double x_max);

}  // namespace velmora::special
