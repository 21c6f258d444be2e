// The Voigt mixture's M-step and densities (voigt_em.hpp).
#include "em/voigt_em.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "em/peak_fit.hpp"
#include "errors.hpp"
#include "special/voigt_profile.hpp"
#include "worker_pool.hpp"

namespace velmora::voigt {
namespace {

// The objective of the M-step, f(v) = -LV(full(v)) with the forward-difference gradient
//
//   g_i = -(LV(full(v + 1e-7 e_i)) - LV(full(v))) / 1e-7,   i = 0 .. n-1,
//
// the values minimise_from_passes (peak_fit.hpp) is given for the other shapes, with the n + 1
// log-likelihood passes of a call evaluated together on the pool:
//   1. one parallel loop over every pass: the two distribution values of its window mass
//      (one task each) and its Voigt densities at the grid points (in blocks);
//   2. the floored mass of every pass, on the calling thread;
//   3. one parallel loop over every pass and block: the terms w_i log(f(x_i) + 1e-200);
//   4. the sum of every pass's terms in index order from 0.0, on the calling thread.
// Each term is formed exactly as in a sequential evaluation and each sum runs in index order,
// so the result does not depend on the number of workers.  Buffers live as long as the fit.
class PooledObjective {
 public:
  PooledObjective(const peak_fit::FreeParameters<3>& free, std::span<const double> x,
                  std::span<const double> w, double x_min, double x_max)
      : free_(free),
        x_(x),
        w_(w),
        x_min_(x_min),
        x_max_(x_max),
        n_(std::min(x.size(), w.size())),
        passes_(free.size() + 1),
        terms_(passes_ * n_),
        params_(passes_),
        cdf_(2 * passes_) {}

  LbfgsbEvaluation operator()(std::span<const double> v) {
    // Pass 0 at v, pass i + 1 at v with kFdStep added to entry i (not projected into the box).
    std::array<double, 3> shifted{};
    std::copy(v.begin(), v.end(), shifted.begin());
    const std::span<const double> point(shifted.data(), v.size());
    params_[0] = free_.full(point);
    for (std::size_t i = 0; i < v.size(); ++i) {
      shifted[i] = v[i] + kFdStep;
      params_[i + 1] = free_.full(point);
      shifted[i] = v[i];
    }

    const std::size_t blocks = (n_ + kGrain - 1) / kGrain;
    const std::size_t tasks_per_pass = 2 + blocks;
    pool::for_each_index(passes_ * tasks_per_pass, [&](std::size_t task) {
      const std::size_t pass = task / tasks_per_pass;
      const std::size_t part = task % tasks_per_pass;
      const auto [x0, sigma, gamma] = params_[pass];
      if (part < 2) {
        cdf_[2 * pass + part] =
            special::voigt_cdf(part == 0 ? x_max_ : x_min_, x0, sigma, gamma);
        return;
      }
      double* density = terms_.data() + pass * n_;
      const std::size_t end = std::min(n_, (part - 2) * kGrain + kGrain);
      for (std::size_t i = (part - 2) * kGrain; i < end; ++i) {
        density[i] = special::voigt_density(x_[i] - x0, sigma, gamma);
      }
    });

    // voigt_window_mass (upper end minus lower end), floored as floored_window_mass does.
    std::array<double, 4> mass{};
    for (std::size_t pass = 0; pass < passes_; ++pass) {
      const double raw = cdf_[2 * pass] - cdf_[2 * pass + 1];
      mass[pass] = raw > kMassFloor ? raw : kMassFloor;
    }

    pool::for_each_index(passes_ * blocks, [&](std::size_t task) {
      const std::size_t pass = task / blocks;
      double* term = terms_.data() + pass * n_;
      const std::size_t end = std::min(n_, (task % blocks) * kGrain + kGrain);
      for (std::size_t i = (task % blocks) * kGrain; i < end; ++i) {
        term[i] = w_[i] * std::log(term[i] / mass[pass] + kLogGuard);
      }
    });

    std::array<double, 4> ll{};
    for (std::size_t pass = 0; pass < passes_; ++pass) {
      const double* term = terms_.data() + pass * n_;
      double sum = 0.0;
      for (std::size_t i = 0; i < n_; ++i) sum += term[i];
      ll[pass] = sum;
    }

    LbfgsbEvaluation e{-ll[0], std::vector<double>(v.size())};
    for (std::size_t i = 0; i < v.size(); ++i) e.gradient[i] = -(ll[i + 1] - ll[0]) / kFdStep;
    return e;
  }

 private:
  const peak_fit::FreeParameters<3>& free_;
  std::span<const double> x_;
  std::span<const double> w_;
  double x_min_;
  double x_max_;
  std::size_t n_;                                // points with a grid value and a weight
  std::size_t passes_;                           // 1 + number of free parameters
  std::vector<double> terms_;                    // per pass: densities, then terms
  std::vector<std::array<double, 3>> params_;    // per pass: (x0, sigma, gamma)
  std::vector<double> cdf_;                      // per pass: cdf(x_max), cdf(x_min)
};

}  // namespace

std::array<double, 3> voigt_fit(std::span<const double> x, std::span<const double> w,
                                std::array<double, 3> params, std::array<bool, 3> fixed,
                                const VoigtBounds& bounds) {
  if (w.empty() || (fixed[0] && fixed[1] && fixed[2])) return params;
  if (peak_fit::total_weight(w) == 0.0) return params;  // a NaN total does not stop

  peak_fit::FreeParameters<3> free(params, fixed);
  free.bound(0, params[0], bounds.x_min, bounds.x_max);
  free.bound(1, params[1], bounds.sigma_min, bounds.sigma_max);
  free.bound(2, params[2], bounds.gamma_min, bounds.gamma_max);

  // A reversed box leaves the component unchanged (the minimiser refuses it).  Otherwise a NaN
  // bound of a free width could never clamp the fitted value: report it as the clamp failure
  // now, sigma before gamma, since the minimiser would refuse a NaN bound as well.
  if (!free.has_reversed_box()) {
    if (!fixed[1]) peak_fit::check_clamp_pair(bounds.sigma_min, bounds.sigma_max);
    if (!fixed[2]) peak_fit::check_clamp_pair(bounds.gamma_min, bounds.gamma_max);
  }

  PooledObjective objective(free, x, w, bounds.x_min, bounds.x_max);
  const LbfgsbResult result =
      lbfgsb_minimize([&objective](std::span<const double> v) { return objective(v); },
                      free.start(), free.lower(), free.upper());
  if (!result.ok()) return params;

  const std::array<double, 3> fitted = free.full(result.point);
  std::array<double, 3> out = params;
  out[0] = fitted[0];  // a free centre is not clamped
  if (!fixed[1]) out[1] = peak_fit::clamp_checked(fitted[1], bounds.sigma_min, bounds.sigma_max);
  if (!fixed[2]) out[2] = peak_fit::clamp_checked(fitted[2], bounds.gamma_min, bounds.gamma_max);
  return out;
}

void VoigtShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  const std::size_t k_count = num_components();
  // The window mass of every component first (one task each), then the rows in blocks.
  std::vector<double> mass(k_count);
  pool::for_each_index(k_count, [&](std::size_t k) {
    const auto [x0, sigma, gamma] = values(k);
    mass[k] = floored_window_mass(x0, sigma, gamma, settings().x_min, settings().x_max);
  });
  const std::size_t n = x.size();
  const std::size_t blocks = (n + kGrain - 1) / kGrain;
  pool::for_each_index(k_count * blocks, [&](std::size_t task) {
    const std::size_t k = task / blocks;
    const std::size_t begin = (task % blocks) * kGrain;
    const std::size_t end = std::min(n, begin + kGrain);
    const auto [x0, sigma, gamma] = values(k);
    const std::span<double> row = density.column(k);
    for (std::size_t j = begin; j < end; ++j) {
      row[j] = special::voigt_density(x[j] - x0, sigma, gamma) / mass[k];
    }
  });
}

ComponentParams VoigtShape::update_component(std::size_t k, std::span<const double> w,
                                             std::span<const double> x) const {
  const std::array<double, 3> params = values(k);
  const std::array<bool, 3> flags = fixed(k);
  return voigt_fit(x, w, params, flags, settings());
}

}  // namespace velmora::voigt
