#include "em/em_engine.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "stop.hpp"
#include "worker_pool.hpp"

namespace velmora {
namespace {

// Weight vectors w_j = I * gamma_j of the first `count` mixture columns, each with its sum
// n_j (the column's effective count, the same sum update_mixing_weights forms).
struct ColumnWeights {
  std::vector<std::vector<double>> weights;
  std::vector<double> counts;
};

// Columns a worker handles together: their sums are independent chains of additions, so
// interleaving a few of them in one loop hides the latency of each addition.
constexpr std::size_t kInterleave = 4;

template <std::size_t G>
void weigh_columns(std::span<const double> intensity, const ColumnMatrix& resp, std::size_t first,
                   ColumnWeights& out) {
  const std::size_t n = std::min(intensity.size(), resp.rows());
  const double* r[G];
  double* w[G];
  double sum[G];
  for (std::size_t g = 0; g < G; ++g) {
    out.weights[first + g].resize(n);
    w[g] = out.weights[first + g].data();
    r[g] = resp.column(first + g).data();
    sum[g] = 0.0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double weight = intensity[i];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < G; ++g) {
      const double v = weight * r[g][i];
      w[g][i] = v;
      sum[g] += v;
    }
  }
  for (std::size_t g = 0; g < G; ++g) out.counts[first + g] = sum[g];
}

// The contiguous share of `count` items that part `part` of `parts` takes.
std::pair<std::size_t, std::size_t> share(std::size_t count, std::size_t parts, std::size_t part) {
  return {count * part / parts, count * (part + 1) / parts};
}

ColumnWeights all_column_weights(std::span<const double> intensity, const ColumnMatrix& resp,
                                 std::size_t count) {
  ColumnWeights out{std::vector<std::vector<double>>(count), std::vector<double>(count)};
  const std::size_t parts = std::min(count, pool::size());
  pool::for_each_index(parts, count * resp.rows(), [&](std::size_t part) {
    auto [j, end] = share(count, parts, part);
    for (; j < end; j += std::min(kInterleave, end - j)) {
      switch (std::min(kInterleave, end - j)) {
        case 4: weigh_columns<4>(intensity, resp, j, out); break;
        case 3: weigh_columns<3>(intensity, resp, j, out); break;
        case 2: weigh_columns<2>(intensity, resp, j, out); break;
        default: weigh_columns<1>(intensity, resp, j, out); break;
      }
    }
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
  if (shape.shares_update_passes()) {
    const std::size_t parts = std::min(k_count, pool::size());
    pool::for_each_index(parts, k_count * x.size(), [&](std::size_t part) {
      const auto [first, last] = share(k_count, parts, part);
      reader.update_components(first, last, weights, x, results);
    });
  } else {
    pool::for_each_index(k_count, [&](std::size_t k) {
      results[k] = reader.update_component(k, weights[k], x);
    });
  }
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
    checkpoint();
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
