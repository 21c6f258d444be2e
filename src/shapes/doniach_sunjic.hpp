// Doniach-Sunjic peaks: the asymmetric line shape of core-level photoemission from metals,
// normalised over the grid, its weighted log-likelihood, the bounded single-peak fit and the
// mixture shape.
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
//
// The fit maximises sum_i w_i log(p_i + 1e-200) over the free ones of (x0, gamma, alpha) in
// their boxes with L-BFGS-B (peak_fit.hpp), starting from the values passed in.  It writes
// nothing to any output.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/registry.hpp"

namespace velmora::doniach_sunjic {

inline constexpr double kPi = 3.141592653589793;  // pi
inline constexpr double kZeroNorm = 1e-300;       // below this |T| the density is all zero

// Bounds of the three parameters; only the centre's window plays no part in the density.
struct DsBounds {
  double x_min, x_max;
  double gamma_min, gamma_max;
  double alpha_min, alpha_max;
};

// The profile at one parameter set (the kernel of peak_fit::minimise_on_grid):
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

// sum_{i < min(len x, len w)} w_i log(p_i + 1e-200), in index order.
double ds_log_likelihood(std::span<const double> x, std::span<const double> w, double x0,
                         double gamma, double alpha);

// The weighted maximum-likelihood fit of one peak; updates the free ones of x0, gamma, alpha
// in place.  Changes nothing when all three are fixed, w is empty, its total is below 1e-300,
// or the minimiser refuses the box (a reversed bound pair of a free parameter, a NaN bound of
// a free x0).  After a successful minimisation a free x0 takes the fitted value (not clamped)
// and a free gamma or alpha the fitted value clamped into its bounds.
// Throws InternalError (the clamp's message) when a free gamma or alpha has a NaN bound and no
// reversed pair ends the fit first.
void ds_fit(std::span<const double> x, std::span<const double> w, double& x0, double& gamma,
            double& alpha, const DsBounds& bounds, bool fix_x0, bool fix_gamma, bool fix_alpha);

// The registry entry "doniach_sunjic" (code 4): parameters (x0, gamma, alpha) in internal
// units; the density is ds_pdf's, the profile the kernel's q (the density times T).
const shapes::ShapeEntry& registry_entry();

// The Doniach-Sunjic mixture: component k has x0[k], gamma[k], alpha[k]; every update is a
// ds_fit on the component's weights, started from its current values.
class DsShape final : public ComponentShape<3, DsBounds> {
 public:
  DsShape(std::vector<double> x0, std::vector<double> gamma, std::vector<double> alpha,
          Flags fix_x0, Flags fix_gamma, Flags fix_alpha, const DsBounds& bounds)
      : ComponentShape({std::move(x0), std::move(gamma), std::move(alpha)},
                       {std::move(fix_x0), std::move(fix_gamma), std::move(fix_alpha)}, bounds,
                       {{"gamma_ds", "alpha"}, {"fix_x0", "fix_gamma", "fix_alpha"}}) {}

  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
};

}  // namespace velmora::doniach_sunjic
