// E-step and mixing-weight update of the EM iteration, shared by every peak shape.
//
// The intensities act as observation counts per grid point, so the log-likelihood is that of
// a weighted (binned) sample: LL = sum_i I_i ln(m_i + 1e-200) with the mixture density
// m_i = sum_j pi_j f_j(x_i).  The responsibilities are gamma_ji = f_j(x_i) pi_j / (m_i + 1e-20).
// The mixing weights are the Dirichlet maximum-a-posteriori estimate, clipped at zero.
//
// Every sum runs in increasing index from 0.0, so results agree to the last bit with a plain
// sequential evaluation; per-point work may run on the worker pool because every point's
// values are independent of the others.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace velmora {

// M columns of N doubles each, stored one column after another.  Column j of the density
// matrix holds the density of mixture column j at every grid point.
class ColumnMatrix {
 public:
  ColumnMatrix(std::size_t columns, std::size_t rows)
      : columns_(columns), rows_(rows), data_(columns * rows, 0.0) {}

  std::size_t columns() const { return columns_; }
  std::size_t rows() const { return rows_; }
  std::span<double> column(std::size_t j) { return {data_.data() + j * rows_, rows_}; }
  std::span<const double> column(std::size_t j) const {
    return {data_.data() + j * rows_, rows_};
  }

 private:
  std::size_t columns_;
  std::size_t rows_;
  std::vector<double> data_;
};

// Floor added to the mixture density in the denominator of a responsibility.
inline constexpr double kResponsibilityFloor = 1e-20;
// Floor added to the mixture density inside the logarithm of the likelihood.
inline constexpr double kLikelihoodFloor = 1e-200;

// Computes the mixture density (first W entries of `mixture`), the responsibilities of the
// first P = len(pi) columns at the first W = len(intensity) points, and returns the
// log-likelihood.  `scratch`, when it has at least W entries, lets the logarithms run on the
// pool before they are summed in order; without it they are computed on the calling thread.
// Throws InternalError when P exceeds the number of columns or W the number of points.
double e_step(std::span<const double> intensity, const ColumnMatrix& density,
              std::span<const double> pi, std::span<double> mixture, ColumnMatrix& resp,
              std::span<double> scratch = {});

// Effective count of one mixture column: sum_i I_i gamma_ji over the points both cover.
double effective_count(std::span<const double> intensity, std::span<const double> resp_column);

// Replaces pi by the clipped Dirichlet MAP estimate from the effective counts n_k of the
// first len(pi) columns (see update_mixing_weights).
void mixing_weights_from_counts(std::span<double> pi, std::span<const double> counts,
                                std::span<const double> dirichlet_alpha);

// Replaces pi by the clipped Dirichlet MAP estimate from the responsibilities:
// v_k = (n_k + alpha_k) - 1, q_k = v_k / sum v, w_k = max(q_k, 0) (NaN -> 0), pi_k = w_k / sum w.
// Throws InternalError when dirichlet_alpha or the responsibility matrix is shorter than pi.
void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const ColumnMatrix& resp, std::span<const double> dirichlet_alpha);

}  // namespace velmora
