// The Voigt mixture (run_voigt_em_loop): the M-step of a component by L-BFGS-B on its
// weighted log-likelihood; the density is shapes/voigt.hpp.
//
// The M-step of a component maximises its weighted log-likelihood
//
//   LV(x0, sigma, gamma) = sum_{i < min(N, len w)} w_i log(f(x_i) + 1e-200)
//
// (summed in index order from 0.0) over the free ones of x0 in [x_min, x_max], sigma in
// [sigma_min, sigma_max] and gamma in [gamma_min, gamma_max], in that order, from the current
// values, with L-BFGS-B and the forward-difference gradient of step 1e-7 (peak_fit.hpp).  Every
// evaluation of LV recomputes M for its own parameters.  On success x0 takes the solution
// unclamped, then sigma and then gamma are clamped into their bounds; a NaN bound of a free
// width is reported as InternalError "min > max, or either was NaN. min = ..., max = ...",
// sigma's before gamma's.  A reversed box (the minimiser refuses it) leaves the component
// unchanged, as do empty weights, a zero total weight and three set flags.
//
// Work on the pool: the components' densities and M-steps run in parallel.  Inside an M-step
// every objective call evaluates its 1 + n passes of LV (the point and its n forward shifts)
// together, spreading their Faddeeva evaluations (the two ends of each window mass and blocks
// of grid points) and then their logarithms over the pool, and sums each pass's terms in index
// order on the calling thread, so no result depends on the number of workers.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/voigt.hpp"

namespace velmora::voigt {

inline constexpr double kLogGuard = 1e-200;   // added to a density inside the logarithm

struct VoigtBounds {
  double x_min = 0.0;  // the window, and the centre's bounds
  double x_max = 0.0;
  double sigma_min = 0.0;
  double sigma_max = 0.0;
  double gamma_min = 0.0;
  double gamma_max = 0.0;
};

// The M-step of one component: returns the new (x0, sigma, gamma).  Throws InternalError for
// a NaN bound of a free width (see above).
std::array<double, 3> voigt_fit(std::span<const double> x, std::span<const double> w,
                                std::array<double, 3> params, std::array<bool, 3> fixed,
                                const VoigtBounds& bounds);

class VoigtShape final : public ComponentShape<3, VoigtBounds> {
 public:
  VoigtShape(std::vector<double> x0, std::vector<double> sigma, std::vector<double> gamma,
             Flags fix_x0, Flags fix_sigma, Flags fix_gamma, const VoigtBounds& bounds)
      : ComponentShape({std::move(x0), std::move(sigma), std::move(gamma)},
                       {std::move(fix_x0), std::move(fix_sigma), std::move(fix_gamma)}, bounds,
                       {{"sigma_v", "gamma_v"}, {"fix_x0", "fix_sigma", "fix_gamma"}}) {}

  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
};

}  // namespace velmora::voigt
