// Doniach-Sunjic lines broadened by a Gaussian: the asymmetric core-level line of a metal
// (doniach_sunjic.hpp) convolved with a Gaussian instrument function of standard deviation
// sigma.  The method and its accuracy are described in doniach_sunjic_gaussian.cpp.
//
// A peak has a centre x0, the Lorentzian half width at half maximum gamma, the asymmetry
// index alpha (0: a Voigt line) and the Gaussian's standard deviation sigma, with the
// Doniach-Sunjic conventions: the profile is
//
//   Q(d) = integral G_sigma(s) q(d - s) ds,   d = x - x0,
//   q(d) = Re[exp(-i pi alpha / 2) (gamma + i d)^-(1 - alpha)]
//        = cos(pi alpha / 2 + (1 - alpha) atan(d / gamma)) / (d^2 + gamma^2)^((1 - alpha) / 2),
//
// whose tail (for alpha > 0) lies on the side of negative d.  At sigma = 0 it is the
// Doniach-Sunjic profile to the bit; at alpha = 0 it is pi times the Voigt density.
#pragma once

#include <array>
#include <cstddef>

#include "shapes/registry.hpp"

namespace velmora::doniach_sunjic_gaussian {

// The profile of one parameter set at arbitrary offsets from the centre, and its integral over
// an interval.  Construction prepares what every point shares (a few dozen exponentials), so
// one kernel serves a whole grid.
class DsgKernel {
 public:
  // Nodes of the fixed quadrature near the centre and the Taylor terms that precede them.
  static constexpr std::size_t kNodes = 56;
  static constexpr std::size_t kTaylorTerms = 36;
  static constexpr std::size_t kSeriesTerms = 64;

  DsgKernel(double gamma, double alpha, double sigma);

  // Q(d).  NaN for parameters outside gamma >= 0, sigma >= 0, alpha < 1.
  double value(double d) const;
  // The integral of Q over [d1, d2] (negative when d2 < d1).
  double integral(double d1, double d2) const;
  // Whether the kernel is the one of these parameters (never for NaN ones).
  bool is_for(double gamma, double alpha, double sigma) const {
    return gamma == gamma_ && alpha == alpha_ && sigma == sigma_;
  }

 private:
  double series_value(double d) const;
  double near_value(double d) const;
  // The series part of an antiderivative of Q beyond the Doniach-Sunjic one, at d.
  double series_tail(double d) const;
  double near_integral(double d1, double d2) const;

  double gamma_, alpha_, sigma_;
  bool valid_ = false;
  bool near_ = false;           // some offsets lie inside the quadrature's disc
  double near_reach_ = 0.0;     // |d| below which they do (on the line through gamma)
  double a_ = 0.0, e_ = 0.0, phi_ = 0.0, g2_ = 0.0;  // the Doniach-Sunjic kernel's constants
  double cos_phi_ = 0.0, sin_phi_ = 0.0;
  double x_ = 0.0;              // gamma / sigma
  double near_scale_ = 0.0;     // sigma^(alpha - 1) / Gamma(1 - alpha)
  double mass_scale_ = 0.0;     // sigma^alpha / Gamma(1 - alpha)
  std::array<double, kSeriesTerms> c_{};      // the asymptotic series' coefficients
  std::array<double, kSeriesTerms> c_mass_{};  // and those of its antiderivative
  std::array<double, kNodes> weight_{};        // the quadrature's weights times the damping
  std::array<double, kNodes / 2> pair_sum_{};  // their sums and differences over node pairs
  std::array<double, kNodes / 2> pair_difference_{};
  std::array<double, kTaylorTerms> taylor_{};  // the Taylor terms' integrals
  std::array<double, kTaylorTerms> taylor_mass_{};
};

// The full width at half maximum of the profile, from its maximum (Brent's search) and
// the roots of its half-maximum condition.
double dsg_fwhm(double gamma, double alpha, double sigma);

// The gamma at which the peak with asymmetry alpha and Gaussian part sigma has the full width
// `fwhm`; NaN where none does.  A Gaussian part too wide for any gamma (the line of gamma = 0
// already at least as wide) is narrowed in place to the widest that can, and gamma is 0.
double gamma_from_fwhm(double fwhm, double alpha, double& sigma);

// The registry entry "doniach_sunjic_gaussian": parameters (x0, gamma, alpha, sigma) in
// internal units; the density is Q over its window mass.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::doniach_sunjic_gaussian
