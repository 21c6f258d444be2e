#include "em/em_gamma_ll.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "errors.hpp"
#include "worker_pool.hpp"

namespace velmora {
namespace {

// Grid points per task for the per-point passes: large enough that scheduling costs nothing
// next to the logarithms, small enough to split a spectrum of a few 10^4 points.
constexpr std::size_t kPointGrain = 8192;

}  // namespace

double e_step(std::span<const double> intensity, const ColumnMatrix& density,
              std::span<const double> pi, std::span<double> mixture, ColumnMatrix& resp,
              std::span<double> scratch) {
  const std::size_t n_points = intensity.size();
  const std::size_t n_used = pi.size();
  if (n_used > density.columns() || n_used > resp.columns()) {
    throw InternalError("pi has " + std::to_string(n_used) + " entries but the mixture has only " +
                        std::to_string(density.columns()) +
                        " columns (one per peak plus the background columns)");
  }
  if (n_points > mixture.size() || n_points > density.rows() || n_points > resp.rows()) {
    throw InternalError("intensity has " + std::to_string(n_points) +
                        " entries but the grid has only " + std::to_string(mixture.size()) +
                        " points");
  }
  if (n_points == 0) return 0.0;

  const bool logs_in_pool = scratch.size() >= n_points;
  pool::for_each_block(n_points, kPointGrain, [&](std::size_t begin, std::size_t end) {
    double* m = mixture.data();
    if (n_used == 0) {
      std::fill(m + begin, m + end, 0.0);
    } else {
      // Mixture density: for each point, sum over columns in increasing j from 0.0.  The
      // column-wise loop keeps that order for every point.
      const double* d0 = density.column(0).data();
      for (std::size_t i = begin; i < end; ++i) m[i] = 0.0 + pi[0] * d0[i];
      for (std::size_t j = 1; j < n_used; ++j) {
        const double p = pi[j];
        const double* d = density.column(j).data();
        for (std::size_t i = begin; i < end; ++i) m[i] = m[i] + p * d[i];
      }
      for (std::size_t j = 0; j < n_used; ++j) {
        const double p = pi[j];
        const double* d = density.column(j).data();
        double* r = resp.column(j).data();
        for (std::size_t i = begin; i < end; ++i) r[i] = d[i] * p / (m[i] + kResponsibilityFloor);
      }
    }
    if (logs_in_pool) {
      for (std::size_t i = begin; i < end; ++i) {
        scratch[i] = intensity[i] * std::log(m[i] + kLikelihoodFloor);
      }
    }
  });

  double ll = 0.0;
  if (logs_in_pool) {
    for (std::size_t i = 0; i < n_points; ++i) ll += scratch[i];
  } else {
    for (std::size_t i = 0; i < n_points; ++i) {
      ll += intensity[i] * std::log(mixture[i] + kLikelihoodFloor);
    }
  }
  return ll;
}

double effective_count(std::span<const double> intensity, std::span<const double> resp_column) {
  const std::size_t n = std::min(intensity.size(), resp_column.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += intensity[i] * resp_column[i];
  return sum;
}

namespace {

void require_concentrations(std::size_t n_used, std::span<const double> dirichlet_alpha) {
  if (dirichlet_alpha.size() < n_used) {
    throw InternalError("dirichlet_alpha has " + std::to_string(dirichlet_alpha.size()) +
                        " entries but pi has " + std::to_string(n_used) +
                        "; every mixing weight needs a concentration");
  }
}

}  // namespace

void mixing_weights_from_counts(std::span<double> pi, std::span<const double> counts,
                                std::span<const double> dirichlet_alpha) {
  const std::size_t n_used = pi.size();
  if (n_used == 0) return;
  require_concentrations(n_used, dirichlet_alpha);
  std::vector<double> v(n_used);
  for (std::size_t k = 0; k < n_used; ++k) v[k] = (counts[k] + dirichlet_alpha[k]) - 1.0;
  double s = 0.0;
  for (std::size_t k = 0; k < n_used; ++k) s += v[k];
  for (std::size_t k = 0; k < n_used; ++k) {
    const double q = v[k] / s;
    v[k] = q > 0.0 ? q : 0.0;  // a NaN ratio fails the test and becomes 0
  }
  double t = 0.0;
  for (std::size_t k = 0; k < n_used; ++k) t += v[k];
  for (std::size_t k = 0; k < n_used; ++k) pi[k] = v[k] / t;
}

void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const ColumnMatrix& resp, std::span<const double> dirichlet_alpha) {
  const std::size_t n_used = pi.size();
  if (n_used == 0) return;
  require_concentrations(n_used, dirichlet_alpha);
  if (resp.columns() < n_used) {
    throw InternalError("pi has " + std::to_string(n_used) + " entries but the mixture has only " +
                        std::to_string(resp.columns()) + " columns");
  }
  // Each count is a sequential sum of its own, so the columns can be counted in parallel.
  std::vector<double> counts(n_used);
  pool::for_each_index(n_used, [&](std::size_t k) {
    counts[k] = effective_count(intensity, resp.column(k));
  });
  mixing_weights_from_counts(pi, counts, dirichlet_alpha);
}

}  // namespace velmora
