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

// Weight vectors w_j = I * gamma_j of the first `count` mixture columns, each with its sum
// n_j (the column's effective count, the same sum update_mixing_weights forms).
struct ColumnWeights {
  std::vector<std::vector<double>> weights;
  std::vector<double> counts;
};

ColumnWeights all_column_weights(std::span<const double> intensity, const ColumnMatrix& resp,
                                 std::size_t count) {
  ColumnWeights out{std::vector<std::vector<double>>(count), std::vector<double>(count)};
  pool::for_each_index(count, [&](std::size_t j) {
    out.weights[j] = column_weights(intensity, resp.column(j));
    double sum = 0.0;
    for (double w : out.weights[j]) sum += w;
    out.counts[j] = sum;
  });
  return out;
}

void update_components(std::span<const double> x, PeakShape& shape,
                       const std::vector<std::vector<double>>& weights) {
  const std::size_t k_count = shape.num_components();
  if (shape.updates_in_sequence()) {
    for (std::size_t k = 0; k < k_count; ++k) {
      shape.set_component(k, shape.update_component(k, weights[k], x));
    }
    return;
  }
  // Every update sees the parameters as they were at the start of the iteration; the results
  // are stored in component order once all are done.
  std::vector<ComponentParams> results(k_count);
  const PeakShape& reader = shape;
  pool::for_each_index(k_count, [&](std::size_t k) {
    results[k] = reader.update_component(k, weights[k], x);
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

  const bool triangular =
      settings.bg_type == static_cast<std::uint8_t>(BackgroundKind::kTriangular);
  // Columns whose weight vectors an iteration needs: the peaks, and the triangular background.
  const std::size_t updated = k_count + (triangular ? 1 : 0);

  double ll_prev = refresh();
  result.ll_history.push_back(ll_prev);
  result.rel_history.push_back(0.0);

  while (result.n_iter < settings.max_iter) {
    // The weights of every column that is counted or updated, formed once: the mixing
    // weights use their sums, the components and the triangular slope the vectors.
    const ColumnWeights cw = all_column_weights(intensity, resp, std::max(pi.size(), updated));
    mixing_weights_from_counts(pi, std::span<const double>(cw.counts).first(pi.size()),
                               dirichlet_alpha);
    update_components(x, shape, cw.weights);
    if (triangular) {
      result.s_tri =
          update_triangle_slope(x, cw.weights[k_count], settings.window_lo, settings.window_hi);
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
