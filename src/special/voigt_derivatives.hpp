// The fitting engine's Voigt density, its window mass, and their derivatives in the peak's
// parameters (x0, sigma, gamma), in closed form from the Faddeeva function (faddeeva.hpp: no
// shared state, so that fits on several threads scale; the values agree with the published
// Voigt profile to about 1e-13 of the peak).
//
// With z = (x - x0 + i gamma) / (sigma sqrt 2), k = 1 / (sigma sqrt 2), c = 1 / (sigma sqrt(2 pi))
// and V = c Re w(z), the derivatives of w follow from w' = -2 z w + 2i / sqrt(pi) (DLMF 7.10)
// and w'' = -2 w - 2 z w':
//
//   dV/dx0 = -c k Re w'                 d2V/dx0^2      =  c k^2 Re w''
//   dV/dgamma = -c k Im w'              d2V/dgamma^2   = -c k^2 Re w''
//   dV/dsigma = -(c / sigma) Re q0      d2V/dx0 dgamma =  c k^2 Im w''
//                                       d2V/dsigma^2   =  (c / sigma^2) Re(2 w + 4 z w' + z^2 w'')
//   q0 = w + z w',  q1 = 2 w' + z w''   d2V/dx0 dsigma =  (c k / sigma) Re q1
//                                       d2V/dsigma dgamma = (c k / sigma) Im q1
//
// The window mass is differentiated through the same quadrature that forms it (voigt_cdf's
// nodes, weights and branches), so its derivatives are those of the mass the density divides
// by, not of the exact integral.
#pragma once

#include <array>

namespace velmora::special {

// The density (entry 0), its three first derivatives in (x0, sigma, gamma) (entries 1-3) and
// its six second derivatives (x0 x0, x0 sigma, x0 gamma, sigma sigma, sigma gamma,
// gamma gamma; entries 4-9) at offset x from the centre.  sigma > 0 and gamma >= 0.
using VoigtJet = std::array<double, 10>;
VoigtJet voigt_jet(double x, double sigma, double gamma);

// The density c Re w(z) at offset x from the centre (sigma > 0, gamma > 0), and its mass over
// [x_min, x_max] by voigt_window_mass's quadrature and branches.
double voigt_value(double x, double sigma, double gamma);
double voigt_window_mass_value(double x0, double sigma, double gamma, double x_min,
                               double x_max);

// The derivatives of voigt_window_mass_value.
VoigtJet voigt_window_mass_jet(double x0, double sigma, double gamma, double x_min,
                               double x_max);

}  // namespace velmora::special
