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
#include <utility>
#include <vector>

#include "em/background.hpp"
#include "em/em_gamma_ll.hpp"
#include "errors.hpp"

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

// Names of a shape's parameter vectors and fix lists as the length errors print them.  The
// first parameter (the centre) sets K, so it is never short and needs no name.
template <std::size_t N>
struct ComponentNames {
  std::array<const char*, N - 1> params;  // parameters 1 .. N-1
  std::array<const char*, N> flags;
};

// The state of a shape with N parameters per component: one vector per parameter (component
// k's value at index k), one fix list per parameter, and the shape's own settings (window,
// bounds, switches).  The vectors after the first and the fix lists may be longer than K; an
// entry a component needs but does not have is an InternalError naming the vector.
template <std::size_t N, class Settings>
class ComponentShape : public PeakShape {
 public:
  ComponentShape(std::array<std::vector<double>, N> params, std::array<Flags, N> fixed,
                 const Settings& settings, const ComponentNames<N>& names)
      : params_(std::move(params)), fixed_(std::move(fixed)), settings_(settings), names_(names) {}

  std::size_t num_components() const override { return params_[0].size(); }

  void set_component(std::size_t k, const ComponentParams& params) override {
    for (std::size_t j = 0; j < N; ++j) params_[j][k] = params[j];
  }

  // Parameter j of every component.
  const std::vector<double>& parameter(std::size_t j) const { return params_[j]; }

 protected:
  // Component k's parameters, in order (vectors checked from the second on).
  std::array<double, N> values(std::size_t k) const {
    std::array<double, N> v{};
    v[0] = params_[0][k];
    for (std::size_t j = 1; j < N; ++j) {
      v[j] = checked_at<double>(params_[j], k, names_.params[j - 1]);
    }
    return v;
  }

  // Component k's fix flags, in parameter order.
  std::array<bool, N> fixed(std::size_t k) const {
    std::array<bool, N> f{};
    for (std::size_t j = 0; j < N; ++j) {
      f[j] = checked_at<std::uint8_t>(fixed_[j], k, names_.flags[j]) != 0;
    }
    return f;
  }

  const Settings& settings() const { return settings_; }

 private:
  std::array<std::vector<double>, N> params_;
  std::array<Flags, N> fixed_;
  Settings settings_;
  ComponentNames<N> names_;
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
