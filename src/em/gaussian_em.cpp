// The Gaussian mixture's densities and closed-form component updates (gaussian_em.hpp).
#include "em/gaussian_em.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"
#include "worker_pool.hpp"

namespace velmora::gaussian {

std::array<double, 2> weighted_update(std::span<const double> w, std::span<const double> x,
                                      double mu, double sigma, bool fix_mu, bool fix_sigma) {
  const std::size_t n = w.size();
  if ((fix_mu && fix_sigma) || n == 0) return {mu, sigma};
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += w[i];
  if (total < kEmptyWeight) return {mu, sigma};  // a NaN total does not take this exit
  const double f = total + kWeightOffset;
  const std::size_t m = std::min(n, x.size());

  double new_mu = mu;
  if (!fix_mu) {
    double sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) sum += x[i] * w[i];
    new_mu = sum / f;
  }
  double new_sigma = sigma;
  if (!fix_sigma) {
    double sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      const double d = x[i] - new_mu;
      sum += w[i] * d * d;
    }
    const double v = sum / f;
    new_sigma = v > 0.0 ? std::max(std::sqrt(v), kSigmaFloor) : kSigmaFloor;
  }
  return {new_mu, new_sigma};
}

void GaussianShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  const std::size_t k_count = std::min(mu_.size(), sigma_.size());
  const std::size_t n = x.size();
  const std::size_t blocks = (n + kDensityGrain - 1) / kDensityGrain;
  pool::for_each_index(k_count * blocks, k_count * n, [&](std::size_t task) {
    const std::size_t k = task / blocks;
    const std::size_t begin = (task % blocks) * kDensityGrain;
    const std::size_t end = std::min(n, begin + kDensityGrain);
    fill_density(mu_[k], sigma_[k], x, density.column(k), begin, end);
  });
}

ComponentParams GaussianShape::update_component(std::size_t k, std::span<const double> w,
                                                std::span<const double> x) const {
  const double sigma = checked_at<double>(sigma_, k, "sigma");
  const bool fix_mu = checked_at<std::uint8_t>(fix_mu_, k, "fix_mu") != 0;
  const bool fix_sigma = checked_at<std::uint8_t>(fix_sigma_, k, "fix_sigma") != 0;
  const auto [mu, s] = weighted_update(w, x, mu_[k], sigma, fix_mu, fix_sigma);
  return {mu, s, 0.0};
}

namespace {

// The update of G components at once.  Each of the sums below keeps its own increasing-index
// order; they are only interleaved, so every result equals that of weighted_update.
template <std::size_t G>
void update_group(std::span<const double> x, const double* const* w, std::size_t n,
                  const double* mu, const double* sigma, const bool* fix_mu,
                  const bool* fix_sigma, ComponentParams* out) {
  double total[G], sum_xw[G];
  for (std::size_t g = 0; g < G; ++g) total[g] = sum_xw[g] = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < G; ++g) {
      total[g] += w[g][i];
      sum_xw[g] += xi * w[g][i];
    }
  }
  double new_mu[G], sum_sq[G];
  bool update[G];
  for (std::size_t g = 0; g < G; ++g) {
    update[g] = !(fix_mu[g] && fix_sigma[g]) && n > 0 && !(total[g] < kEmptyWeight);
    new_mu[g] = update[g] && !fix_mu[g] ? sum_xw[g] / (total[g] + kWeightOffset) : mu[g];
    sum_sq[g] = 0.0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < G; ++g) {
      const double d = xi - new_mu[g];
      sum_sq[g] += w[g][i] * d * d;
    }
  }
  for (std::size_t g = 0; g < G; ++g) {
    double new_sigma = sigma[g];
    if (update[g] && !fix_sigma[g]) {
      const double v = sum_sq[g] / (total[g] + kWeightOffset);
      new_sigma = v > 0.0 ? std::max(std::sqrt(v), kSigmaFloor) : kSigmaFloor;
    }
    out[g] = {update[g] ? new_mu[g] : mu[g], update[g] ? new_sigma : sigma[g], 0.0};
  }
}

}  // namespace

void GaussianShape::update_components(std::size_t first, std::size_t last,
                                      const std::vector<std::vector<double>>& weights,
                                      std::span<const double> x,
                                      std::span<ComponentParams> results) const {
  constexpr std::size_t kGroup = 4;
  for (std::size_t k = first; k < last; k += kGroup) {
    const std::size_t g_count = std::min(kGroup, last - k);
    const double* w[kGroup];
    double mu[kGroup], sigma[kGroup];
    bool fix_mu[kGroup], fix_sigma[kGroup];
    std::size_t n = x.size();
    for (std::size_t g = 0; g < g_count; ++g) {
      sigma[g] = checked_at<double>(sigma_, k + g, "sigma");
      fix_mu[g] = checked_at<std::uint8_t>(fix_mu_, k + g, "fix_mu") != 0;
      fix_sigma[g] = checked_at<std::uint8_t>(fix_sigma_, k + g, "fix_sigma") != 0;
      mu[g] = mu_[k + g];
      w[g] = weights[k + g].data();
      n = std::min(n, weights[k + g].size());
    }
    ComponentParams* out = results.data() + k;
    switch (g_count) {
      case 4: update_group<4>(x, w, n, mu, sigma, fix_mu, fix_sigma, out); break;
      case 3: update_group<3>(x, w, n, mu, sigma, fix_mu, fix_sigma, out); break;
      case 2: update_group<2>(x, w, n, mu, sigma, fix_mu, fix_sigma, out); break;
      default: update_group<1>(x, w, n, mu, sigma, fix_mu, fix_sigma, out); break;
    }
  }
}

void GaussianShape::set_component(std::size_t k, const ComponentParams& params) {
  mu_[k] = params[0];
  sigma_[k] = params[1];
}

}  // namespace velmora::gaussian
