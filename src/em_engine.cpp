#include "em_engine.hpp"

#include <algorithm>
#include <cmath>

#include "worker_pool.hpp"

namespace velmora {
namespace {

// w[i] = I_i * gamma_i for the points that have both an intensity and a grid value.
std::vector<double> column_weights(std::span<const double> intensity,
                                   std::span<const double> resp_column) {
  const std::size_t n = std::min(intensity.size(), resp_column.size());
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = intensity[i] * resp_column[i];
  return w;
}

void update_components(std::span<const double> x, std::span<const double> intensity,
                       PeakShape& shape, const ColumnMatrix& resp) {
  const std::size_t k_count = shape.num_components();
  if (shape.updates_in_sequence()) {
    for (std::size_t k = 0; k < k_count; ++k) {
      const auto w = column_weights(intensity, resp.column(k));
      shape.set_component(k, shape.update_component(k, w, x));
    }
    return;
  }
  // Every update sees the parameters as they were at the start of the iteration; the results
  // are stored in component order once all are done.
  std::vector<ComponentParams> results(k_count);
  const PeakShape& reader = shape;
  pool::for_each_index(k_count, [&](std::size_t k) {
    const auto w = column_weights(intensity, resp.column(k));
    results[k] = reader.update_component(k, w, x);
  });
  for (std::size_t k = 0; k < k_count; ++k) shape.set_component(k, results[k]);
}

}  // namespace

EmResult run_em(std::span<const double> x, std::span<const double> intensity, PeakShape& shape,
                std::span<double> pi, std::span<const double> dirichlet_alpha,
                const EmSettings& settings) {
  const std::size_t n_grid = x.size();
  const std::size_t k_count = shape.num_components();
  const std::size_t m_count = k_count + background_columns(settings.bg_type, settings.basis);

  ColumnMatrix density(m_count, n_grid);
  ColumnMatrix resp(m_count, n_grid);
  std::vector<double> mixture(n_grid, 0.0);
  // Lets the E-step take its logarithms on the pool; reused by every iteration.
  std::vector<double> log_terms(pool::size() > 1 ? n_grid : 0);

  EmResult result;
  result.s_tri = settings.s_tri;

  auto refresh = [&] {
    shape.fill_densities(x, density);
    fill_background(density, k_count, settings.bg_type, x, settings.window_lo,
                    settings.window_hi, result.s_tri, settings.basis);
    return e_step(intensity, density, pi, mixture, resp, log_terms);
  };

  double ll_prev = refresh();
  result.ll_history.push_back(ll_prev);
  result.rel_history.push_back(0.0);

  while (result.n_iter < settings.max_iter) {
    update_mixing_weights(pi, intensity, resp, dirichlet_alpha);
    update_components(x, intensity, shape, resp);
    if (settings.bg_type == static_cast<std::uint8_t>(BackgroundKind::kTriangular)) {
      const auto v = column_weights(intensity, resp.column(k_count));
      result.s_tri = update_triangle_slope(x, v, settings.window_lo, settings.window_hi);
    }
    const double ll = refresh();
    const double rel = (ll - ll_prev) / std::fabs(ll_prev);
    result.ll_history.push_back(ll);
    result.rel_history.push_back(rel);
    ++result.n_iter;
    // Strict test on the magnitude: a NaN or infinite change never stops the fit.
    if (settings.r_eps > std::fabs(rel)) break;
    ll_prev = ll;
  }
  return result;
}

}  // namespace velmora
