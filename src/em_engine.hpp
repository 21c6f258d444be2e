// The EM driver shared by every mixture fit.
//
// A fit alternates: Dirichlet MAP mixing weights from the last responsibilities, a weighted
// update of every peak component, the triangular-background slope (bg_type 3), fresh
// densities, and an E-step giving the new responsibilities and log-likelihood.  It stops when
// |relative change of the log-likelihood| < r_eps (strictly), or after max_iter iterations.
//
// A peak shape plugs in through PeakShape: the density of each component on the grid, and the
// update of one component from its weights w_i = I_i * gamma_ki.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "background.hpp"
#include "em_gamma_ll.hpp"

namespace velmora {

// New parameter values of one component (two-parameter shapes use the first two entries).
using ComponentParams = std::array<double, 3>;

// Per-component fix flags; entry k set holds that parameter of component k at its value.
using Flags = std::vector<std::uint8_t>;

class PeakShape {
 public:
  virtual ~PeakShape() = default;

  // K, the number of peak components (the length of the shape's first parameter vector).
  virtual std::size_t num_components() const = 0;

  // Writes the density of every component k at every grid value into column k, using the
  // current parameters.  Components are independent; the shape chooses how to use the pool.
  virtual void fill_densities(std::span<const double> x, ColumnMatrix& density) const = 0;

  // New parameters of component k from its weights w (w[i] = I_i * gamma_ki for the points
  // that have an intensity).  Reads only shared inputs and component k's own state, so the
  // driver may run the components concurrently.
  virtual ComponentParams update_component(std::size_t k, std::span<const double> w,
                                           std::span<const double> x) const = 0;

  // Updates the components first..last-1 into results[first..last-1].  The results must equal
  // those of update_component; a shape overrides this to share its passes over the grid
  // between several components (independent sums interleaved in one loop run faster than one
  // after another, and each keeps its own order).  Used when shares_update_passes() is true.
  virtual void update_components(std::size_t first, std::size_t last,
                                 const std::vector<std::vector<double>>& weights,
                                 std::span<const double> x,
                                 std::span<ComponentParams> results) const {
    for (std::size_t k = first; k < last; ++k) results[k] = update_component(k, weights[k], x);
  }

  // True when the driver should hand each worker one contiguous range of components through
  // update_components instead of one component at a time.
  virtual bool shares_update_passes() const { return false; }

  // Stores the result of update_component for component k.
  virtual void set_component(std::size_t k, const ComponentParams& params) = 0;

  // True when the components must be updated one after another, each stored at once.
  virtual bool updates_in_sequence() const { return false; }
};

struct EmSettings {
  std::uint64_t max_iter = 0;
  double r_eps = 0.0;
  double window_lo = 0.0;  // x_min (t_min)
  double window_hi = 0.0;  // x_max (t_max)
  std::uint8_t bg_type = 0;
  double s_tri = 0.0;
  BasisList basis;
};

struct EmResult {
  std::uint64_t n_iter = 0;
  std::vector<double> ll_history;   // LL of the start, then after each iteration
  std::vector<double> rel_history;  // 0.0, then (LL_i - LL_{i-1}) / |LL_{i-1}|
  double s_tri = 0.0;               // final triangular slope
};

// Runs the EM fit.  The shape's parameters and `pi` are updated in place and hold the values
// of the last completed iteration.  Throws InternalError on a violated length rule.
EmResult run_em(std::span<const double> x, std::span<const double> intensity, PeakShape& shape,
                std::span<double> pi, std::span<const double> dirichlet_alpha,
                const EmSettings& settings);

}  // namespace velmora
