// Doniach-Sunjic peaks: the asymmetric line shape of core-level photoemission from metals,
// normalised over the grid, as both fitting layers form it.  The bounded single-peak fit and
// the mixture are em/doniach_sunjic_em.hpp.
//
// A peak has a centre x0, a width gamma (the half width at half maximum of the underlying
// Lorentzian, used as it is) and an asymmetry index alpha (0: symmetric Lorentzian).
// Reference: S. Doniach, M. Sunjic, J. Phys. C 3 (1970) 285:
//
//          cos(pi alpha / 2 + (1 - alpha) atan(d / gamma))
//   q(d) = -----------------------------------------------,   d = x - x0,
//                  (d^2 + gamma^2)^((1 - alpha) / 2)
//
// evaluated as phi = (pi alpha) / 2, a = 1 - alpha, e = a / 2, and per point
// q_i = cos(atan(d / gamma) a + phi) / pow(d d + gamma gamma, e).  The density is
// p_i = q_i / T with T the trapezoid sum of q over the grid (0 for fewer than two points);
// there is no floor: when |T| < 1e-300 the density is 0 everywhere, otherwise the division is by
// the signed T (a NaN T gives NaN densities).  The window does not truncate the density; it
// only bounds the centre in the fit.
#pragma once

#include <cstddef>
#include <span>

#include "shapes/registry.hpp"

namespace velmora::doniach_sunjic {

inline constexpr double kPi = 3.141592653589793;  // pi
inline constexpr double kZeroNorm = 1e-300;       // below this |T| the density is all zero

// The profile at one parameter set (also the kernel of the single-peak fit, em/peak_fit.hpp):
//   q_i = cos(atan((x_i - x0) / gamma) (1 - alpha) + pi alpha / 2)
//         / ((x_i - x0)^2 + gamma^2)^((1 - alpha) / 2).
struct DsKernel {
  double x0 = 0.0, gamma = 0.0, phi = 0.0, a = 0.0, e = 0.0, g2 = 0.0;
  DsKernel() = default;
  DsKernel(double x0, double gamma, double alpha);
  // q_i for i in [begin, end).
  void fill(std::span<const double> x, std::span<double> q, std::size_t begin,
            std::size_t end) const;
  // The trapezoid sum of q (0 for fewer than two points).
  double normaliser(std::span<const double> x, std::span<const double> q) const;
  // Below 1e-300 in magnitude the density is taken as zero everywhere.
  bool zero_density(double t) const;
};

// Writes the profile q at every grid value into q[0..len x) and returns its trapezoid sum T.
double ds_profile(std::span<const double> x, std::span<double> q, double x0, double gamma,
                  double alpha);

// Writes the density at every grid value into p (at least len(x) entries) and returns T.
double ds_pdf(std::span<const double> x, std::span<double> p, double x0, double gamma,
              double alpha);

// The integral of q over [x_min, x_max], in closed form (a complex power's antiderivative).
double ds_window_mass(double x0, double gamma, double alpha, double x_min, double x_max);

// The full width at half maximum of the profile of half width gamma = 1 (the full width of any
// peak is gamma times this), from the roots of its half-maximum condition.
double ds_unit_fwhm(double alpha);

// The registry entry "doniach_sunjic": parameters (x0, gamma, alpha) in internal
// units; the density is the kernel's q divided by its window mass (not by T), and so is the
// profile.
// The asymmetry alpha as a registry parameter (in [0, 1), by default at most 0.6), and the
// slight asymmetry a start gives: shared by the shapes built on this line.
inline constexpr double kStartAlpha = 0.05;
inline constexpr shapes::ParamInfo kAlphaParam{.name = "alpha",
                                               .kind = shapes::Kind::plain,
                                               .natural_lo = 0.0,
                                               .natural_hi = 1.0,
                                               .hi_open = true,
                                               .default_rule = shapes::DefaultRule::absolute,
                                               .default_lo = 0.0,
                                               .default_hi = 0.6,
                                               .step_rule = shapes::StepRule::absolute,
                                               .step = shapes::kShapeStep,
                                               .description = "asymmetry"};

const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::doniach_sunjic
