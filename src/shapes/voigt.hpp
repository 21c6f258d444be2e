// Voigt peaks: the window-normalised Voigt density as both fitting layers form it, and its
// derivatives in closed form for the package's engine.  The mixture is em/voigt_em.hpp.
//
// Component k has a centre x0, the standard deviation sigma of its normal factor and the half
// width at half maximum gamma of its Cauchy factor.  Its density on the window
// [x_min, x_max] is the Voigt density divided by the Voigt mass of the window,
//
//   f(x) = V(x - x0; sigma, gamma) / M,   M = max(voigt_window_mass(x0, sigma, gamma,
//                                                                    x_min, x_max), 1e-300)
//
// (special/voigt_profile.hpp; a NaN mass also takes the floor).  M depends only on the
// parameters and the window, so it is computed once per parameter set, never per grid point.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "shapes/registry.hpp"

namespace velmora::voigt {

inline constexpr double kMassFloor = 1e-300;  // smallest window mass divided by
// Grid points per task of a pass over the grid.  A point costs one Faddeeva evaluation (about
// 0.1 us), so a block outweighs the cost of scheduling it many times over, and a grid of a
// few thousand points still gives every worker something to do.
inline constexpr std::size_t kGrain = 512;

// max(voigt_window_mass(x0, sigma, gamma, x_min, x_max), 1e-300); NaN gives 1e-300.
double floored_window_mass(double x0, double sigma, double gamma, double x_min, double x_max);

// The density of one component at every grid value, as the mixture fit forms it.
std::vector<double> voigt_predict(std::span<const double> x, double x0, double sigma,
                                  double gamma, double x_min, double x_max);

// The full width at half maximum of a Voigt peak (both widths positive), from the root of its
// half-maximum condition.
double voigt_fwhm(double sigma, double gamma);

// The Lorentzian half width that gives a Voigt peak of Gaussian sigma the full width `fwhm`;
// NaN where none does (fwhm not above the Gaussian part's own, 2.3548 sigma).
double gamma_from_fwhm(double fwhm, double sigma);

// The registry entry "voigt": parameters (x0, sigma, gamma) in internal units; the
// density is voigt_predict's, the profile the Voigt density before the division by the
// window mass.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::voigt
