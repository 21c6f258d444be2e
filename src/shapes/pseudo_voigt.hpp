// Pseudo-Voigt peaks: the profile as both fitting layers form it.  The two single-peak fits
// (conditional maximisation and the full optimisation) and the mixture are
// em/pseudo_voigt_em.hpp.
//
// A peak has a centre x0, a full width at half maximum gamma shared by both parts, and the
// weight eta of its Gaussian part.  With d = x - x0, sigma = gamma / (2 sqrt(2 ln 2)) and the
// Lorentzian half width g = gamma / 2,
//
//   N(x) = exp(d/sigma * (-0.5) * d/sigma) / (sqrt(2 pi) sigma)      untruncated normal
//   L(x) = g / ((d^2 + g^2) pi)                                      untruncated Cauchy
//   Z    = max((atan((x_max - x0)/g) - atan((x_min - x0)/g)) / pi, 1e-300)
//   P(x) = eta N(x) + ((1 - eta) / Z) L(x)
//
// so only the Lorentzian part is normalised on the window [x_min, x_max] (a NaN mass takes
// the floor).  P is the component density of the mixture and the output of the prediction.
// Products written without parentheses are evaluated left to right, squares as d * d.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "shapes/registry.hpp"

namespace velmora::pseudo_voigt {

inline constexpr double kFwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2): FWHM / sigma
inline constexpr double kSqrt2Pi = 2.5066282746310002;       // sqrt(2 pi)
inline constexpr double kPi = 3.141592653589793;             // pi
inline constexpr double kInvPi = 0.3183098861837907;         // 1/pi
inline constexpr double kMassFloor = 1e-300;    // floor of the Lorentzian window mass Z
// Grid points per density task on the pool.
inline constexpr std::size_t kDensityGrain = 8192;

// The parameter-dependent constants of one peak, computed once per parameter set.
struct PvPeak {
  double x0;
  double sigma;  // gamma / 2.3548200450309493
  double g;      // 0.5 * gamma
  double z;      // window mass of the Lorentzian part, floored at 1e-300

  PvPeak(double x0, double gamma, double x_min, double x_max);

  // N(x): the untruncated normal density.
  double normal(double x) const {
    const double d = x - x0;
    return std::exp(d / sigma * (-0.5) * d / sigma) / (kSqrt2Pi * sigma);
  }
  // L(x): the untruncated Cauchy density (not divided by z).
  double lorentz(double x) const {
    const double d = x - x0;
    return g / ((d * d + g * g) * kPi);
  }
  // P(x) = eta N(x) + ((1 - eta) / z) L(x).
  double profile(double x, double eta) const {
    return eta * normal(x) + (1.0 - eta) / z * lorentz(x);
  }
};

// Z = max((atan((x_max - x0)/g) - atan((x_min - x0)/g)) * (1/pi), 1e-300); NaN gives 1e-300.
double window_mass(double x0, double g, double x_min, double x_max);

// P at one grid value.
double pv_profile(double x, double x0, double gamma, double eta, double x_min, double x_max);

// P at every element of x (a new vector of len(x) values).
std::vector<double> pseudo_voigt_predict(std::span<const double> x, double x0, double gamma,
                                         double eta, double x_min, double x_max);

// The registry entry "pseudo_voigt": parameters (x0, gamma, eta) in internal units, gamma the
// half width at half maximum of both parts (half the gamma above); the density is P divided by
// its window mass eta Z_N + (1 - eta), Z_N that of the normal part, and so is the profile.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::pseudo_voigt
