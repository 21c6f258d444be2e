// The Doniach-Sunjic weighted single-peak fit (doniach_sunjic_mle) and mixture
// (run_ds_em_loop); the density is shapes/doniach_sunjic.hpp.
//
// The fit maximises sum_i w_i log(p_i + 1e-200) over the free ones of (x0, gamma, alpha) in
// their boxes with L-BFGS-B (peak_fit.hpp), starting from the values passed in.  It writes
// nothing to any output.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/doniach_sunjic.hpp"

namespace velmora::doniach_sunjic {

// Bounds of the three parameters; only the centre's window plays no part in the density.
struct DsBounds {
  double x_min, x_max;
  double gamma_min, gamma_max;
  double alpha_min, alpha_max;
};

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
