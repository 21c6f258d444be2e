// Lorentzian (Cauchy) peaks: the window-truncated, grid-normalised density as both fitting
// layers form it.
//
// A peak has a centre x0 and a full width at half maximum gamma (half width g = gamma / 2).
// Its profile on the grid is the Cauchy density scaled to the window [x_min, x_max],
//
//   q_i = gamma / (((x_i - x0)^2 + g^2) D),   D = pi Z,
//   Z   = max(atan((x_max - x0) / g) / pi - atan((x_min - x0) / g) / pi, 1e-300),
//
// i.e. 2 / (pi g) times the Cauchy kernel, divided by the kernel's mass Z on the window, and the
// density is p_i = q_i / T with T = max(trapezoid sum of q over the grid, 1e-300) (T = 1e-300
// for fewer than two points; a NaN Z or T also takes the floor).  While T exceeds the floor the
// factor 2 / D cancels and p is the Cauchy profile with trapezoid integral 1 over the grid.
// The weighted single-peak fit and the mixture are em/lorentzian_em.hpp.
#pragma once

#include <cstddef>
#include <span>

#include "shapes/registry.hpp"

namespace velmora::lorentzian {

inline constexpr double kInvPi = 0.3183098861837907;  // 1/pi
inline constexpr double kPi = 3.141592653589793;      // pi
inline constexpr double kFloor = 1e-300;              // floor of the window mass and of T

// The profile at one parameter set (also the kernel of the single-peak fit, em/peak_fit.hpp):
// the window mass and the constants of q are formed once, q_i point by point.
struct LorentzianKernel {
  double x0 = 0.0, gamma = 0.0, g2 = 0.0, d_norm = 0.0;
  LorentzianKernel() = default;
  LorentzianKernel(double x0, double gamma, double x_min, double x_max);
  // q_i for i in [begin, end).
  void fill(std::span<const double> x, std::span<double> q, std::size_t begin,
            std::size_t end) const;
  // max(trapezoid sum of q, 1e-300); 1e-300 for fewer than two points or a NaN sum.
  double normaliser(std::span<const double> x, std::span<const double> q) const;
  bool zero_density(double) const { return false; }
};

// Writes the profile q (unnormalised, see above) at every grid value into q[0..len x) and
// returns the floored trapezoid normaliser T.  q must have at least len(x) entries.
double lorentzian_profile(std::span<const double> x, std::span<double> q, double x0,
                          double gamma, double x_min, double x_max);

// Writes the density p_i = q_i / T at every grid value into p (at least len(x) entries) and
// returns T.
double lorentzian_pdf(std::span<const double> x, std::span<double> p, double x0, double gamma,
                      double x_min, double x_max);

// The registry entry "lorentzian": parameters (x0, gamma) in internal units, gamma the half
// width at half maximum (half the gamma above); the density is the Cauchy density divided by
// its window mass (not by T), and so is the profile.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::lorentzian
