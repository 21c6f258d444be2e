// The Doniach-Sunjic weighted single-peak fit and mixture (doniach_sunjic_em.hpp).
#include "em/doniach_sunjic_em.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "em/peak_fit.hpp"
#include "errors.hpp"
#include "worker_pool.hpp"

namespace velmora::doniach_sunjic {
namespace {

// Log-likelihood of the profile q with trapezoid sum t: all-zero density when |t| < 1e-300.
double log_likelihood_of(std::span<const double> q, double t, std::span<const double> w,
                         std::span<double> terms) {
  if (std::fabs(t) < kZeroNorm) return peak_fit::zero_density_log_likelihood(q.size(), w);
  return peak_fit::weighted_log_likelihood(q, t, w, terms);
}

}  // namespace

double ds_log_likelihood(std::span<const double> x, std::span<const double> w, double x0,
                         double gamma, double alpha) {
  std::vector<double> q(x.size());
  std::vector<double> terms(x.size());
  const double t = ds_profile(x, q, x0, gamma, alpha);
  return log_likelihood_of(q, t, w, terms);
}

void ds_fit(std::span<const double> x, std::span<const double> w, double& x0, double& gamma,
            double& alpha, const DsBounds& bounds, bool fix_x0, bool fix_gamma, bool fix_alpha) {
  if ((fix_x0 && fix_gamma && fix_alpha) || w.empty()) return;
  const double total = peak_fit::total_weight(w);
  if (total < peak_fit::kEmptyWeight) return;  // a NaN total does not take this exit

  peak_fit::FreeParameters<3> params({x0, gamma, alpha}, {fix_x0, fix_gamma, fix_alpha});
  params.bound(0, x0, bounds.x_min, bounds.x_max);
  params.bound(1, gamma, bounds.gamma_min, bounds.gamma_max);
  params.bound(2, alpha, bounds.alpha_min, bounds.alpha_max);

  // A reversed bound pair ends the fit silently (the minimiser refuses it).  Otherwise a NaN
  // bound of a clamped parameter could never be read back: report it as the clamp failure
  // (gamma before alpha).  The minimiser also refuses NaN bounds, so this is checked first.
  if (!params.has_reversed_box()) {
    if (!fix_gamma) peak_fit::check_clamp_pair(bounds.gamma_min, bounds.gamma_max);
    if (!fix_alpha) peak_fit::check_clamp_pair(bounds.alpha_min, bounds.alpha_max);
  }

  const LbfgsbResult result =
      peak_fit::minimise_on_grid(params, x, w, [](const std::array<double, 3>& p) {
        return DsKernel(p[0], p[1], p[2]);
      });
  if (!result.ok()) return;

  const std::array<double, 3> fitted = params.full(result.point);
  const double new_gamma =
      fix_gamma ? gamma : peak_fit::clamp_checked(fitted[1], bounds.gamma_min, bounds.gamma_max);
  const double new_alpha =
      fix_alpha ? alpha : peak_fit::clamp_checked(fitted[2], bounds.alpha_min, bounds.alpha_max);
  x0 = fitted[0];  // the fixed value when x0 is fixed; a free centre is not clamped
  gamma = new_gamma;
  alpha = new_alpha;
}

void DsShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  pool::for_each_index(num_components(), [&](std::size_t k) {
    const auto [x0, gamma, alpha] = values(k);
    ds_pdf(x, density.column(k), x0, gamma, alpha);
  });
}

ComponentParams DsShape::update_component(std::size_t k, std::span<const double> w,
                                          std::span<const double> x) const {
  auto [x0, gamma, alpha] = values(k);
  const auto [fix_x0, fix_gamma, fix_alpha] = fixed(k);
  ds_fit(x, w, x0, gamma, alpha, settings(), fix_x0, fix_gamma, fix_alpha);
  return {x0, gamma, alpha};
}

}  // namespace velmora::doniach_sunjic
