// The weighted maximum-likelihood fit of one peak, shared by the mixture fits whose component
// update has no closed form (Lorentzian, Doniach-Sunjic, pseudo-Voigt, Voigt and TSDC).
//
// A spectrum is a binned sample: grid values x_i with weights w_i (intensities, or intensities
// times responsibilities inside a mixture).  A shape supplies a profile q(x; theta) on the grid;
// the density is the profile normalised by its trapezoid sum over the grid
// (shapes/grid_passes.hpp),
//
//   p_i = q_i / T,   T = sum_{j=0}^{N-2} (x_{j+1} - x_j) ((q_j + q_{j+1}) / 2),
//
// and the fit maximises the weighted log-likelihood
//
//   LL(theta) = sum_{i < min(N, len w)} w_i log(p_i + 1e-200)
//
// (the 1e-200 guard keeps a zero density finite) by minimising f = -LL over a box with
// L-BFGS-B (optim/lbfgsb.hpp), gradients by forward differences with the absolute step kFdStep.
//
// What this unit fixes, and every shape follows:
//   - sums run in increasing index from 0.0, so a sequential evaluation agrees to the last bit;
//   - the minimiser sees only the free parameters, in the shape's parameter order, without
//     gaps; a fixed parameter keeps the value the caller gave and is never expressed as equal
//     bounds;
//   - the objective evaluates the shape's log-likelihood through buffers allocated once per
//     fit, one set per pass of an objective call (the only allocation per call is the n-entry
//     gradient the minimiser's interface returns);
//   - the n + 1 passes of one call (the point and its forward-difference shifts) run side by
//     side on the worker pool, on long grids cut into blocks, while every trapezoid sum and
//     likelihood sum stays one sequential sum, so the result is the same for any pool size;
//   - a fitted value is read back through a clamp whose bound pair is checked (clamp_checked).
//
// What stays with each shape: the profile formula, how T is floored or tested, the starting
// values and bounds, the early returns, and which read-back values are clamped.
//
// A fit in outline (lorentzian_em.cpp and doniach_sunjic_em.cpp are complete examples):
//
//   if (all fixed || w.empty() || total_weight(w) < kEmptyWeight) return;   // nothing changes
//   FreeParameters<N> params(values, fixed);
//   params.bound(j, start_j, lower_j, upper_j);              // each parameter, in shape order
//   const LbfgsbResult r = minimise_on_grid(params, x, w, [&](const std::array<double, N>& p) {
//     return ShapeKernel(p...);                              // q_i and the shape's own T rule
//   });
//   if (!r.ok()) return;                                     // a refused box changes nothing
//   ... params.full(r.point), read back with the shape's own clamps ...
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "optim/lbfgsb.hpp"
#include "shapes/grid_passes.hpp"
#include "worker_pool.hpp"

namespace velmora::peak_fit {

inline constexpr double kLogGuard = 1e-200;     // added to a density inside the logarithm
inline constexpr double kEmptyWeight = 1e-300;  // below this total weight a fit changes nothing

// Sum of every weight, in index order (the total weight W of a fit's early-return test).
double total_weight(std::span<const double> w);

// sum_{i < min(len q, len w)} w_i * log(q_i / t + 1e-200), in index order: the weighted
// log-likelihood of the profile q divided by its normaliser t.  The division is made point by
// point, exactly as q_i / t, so no normalised copy is needed.  `terms`, when it has an entry
// per summed point, lets the products w_i log(...) be formed on the pool before they are
// summed in order; without it everything runs on the calling thread.
double weighted_log_likelihood(std::span<const double> q, double t, std::span<const double> w,
                               std::span<double> terms = {});

// sum_{i < min(n, len w)} w_i * log(0 + 1e-200): the log-likelihood of a density that is zero
// at every grid point.
double zero_density_log_likelihood(std::size_t n, std::span<const double> w);

// The value clamped into [lo, hi] (first raised to lo, then lowered to hi; a NaN value stays
// NaN).  Throws InternalError "min > max, or either was NaN. min = <lo>, max = <hi>" when
// hi < lo or either bound is NaN.
double clamp_checked(double value, double lo, double hi);

// Throws the InternalError of clamp_checked when [lo, hi] cannot clamp a value.
void check_clamp_pair(double lo, double hi);

// The profile and log-term buffers of one fit: one pair per pass of an objective call.
class PassBuffers {
 public:
  PassBuffers(std::size_t passes, std::size_t points, std::size_t summed)
      : points_(points), summed_(summed), q_(passes * points_), terms_(passes * summed_) {}
  std::span<double> q(std::size_t pass) { return {q_.data() + pass * points_, points_}; }
  std::span<double> terms(std::size_t pass) { return {terms_.data() + pass * summed_, summed_}; }

 private:
  std::size_t points_, summed_;
  std::vector<double> q_, terms_;
};

// The free-parameter vector of a shape with N parameters.
//
// Built from the full parameter set and the fix flags; the free parameters occupy the
// minimiser's vector in shape order.  Each free parameter gets a start and a box with bound().
template <std::size_t N>
class FreeParameters {
 public:
  using Params = std::array<double, N>;

  FreeParameters(const Params& values, const std::array<bool, N>& fixed) : values_(values) {
    for (std::size_t j = 0; j < N; ++j) slot_[j] = fixed[j] ? N : count_++;
  }

  // Number of free parameters (the length of the minimiser's vector).
  std::size_t size() const { return count_; }
  bool is_free(std::size_t j) const { return slot_[j] < N; }

  // Start and bounds of parameter j; ignored when j is fixed.
  void bound(std::size_t j, double start, double lower, double upper) {
    if (!is_free(j)) return;
    start_[slot_[j]] = start;
    lower_[slot_[j]] = lower;
    upper_[slot_[j]] = upper;
  }

  // True when a free parameter has lower > upper (a box the minimiser refuses; NaN bounds do
  // not count here).
  bool has_reversed_box() const {
    for (std::size_t i = 0; i < count_; ++i) {
      if (lower_[i] > upper_[i]) return true;
    }
    return false;
  }

  // The full parameter set at a point v of the free parameters: the entries of v are consumed
  // in shape order, the fixed parameters keep the values given at construction.
  Params full(std::span<const double> v) const {
    Params p = values_;
    for (std::size_t j = 0; j < N; ++j) {
      if (is_free(j)) p[j] = v[slot_[j]];
    }
    return p;
  }

  std::span<const double> start() const { return {start_.data(), count_}; }
  std::span<const double> lower() const { return {lower_.data(), count_}; }
  std::span<const double> upper() const { return {upper_.data(), count_}; }

 private:
  Params values_;
  std::array<std::size_t, N> slot_{};  // position in the free vector, N when fixed
  std::size_t count_ = 0;
  Params start_{}, lower_{}, upper_{};
};

// Grid length from which the n + 1 passes of one objective call run on the pool side by side.
// Below it a pass takes a few microseconds, about what handing it to a worker costs.
inline constexpr std::size_t kParallelPassPoints = 256;
// Grid length from which the passes are also cut into blocks of kPassBlock points, so that
// both threads stay busy when the passes do not divide evenly among them.
inline constexpr std::size_t kBlockedPassPoints = 2048;
inline constexpr std::size_t kPassBlock = 1024;

// Minimises f(v) = -LL(full(v)) over the free parameters' box with the default
// LbfgsbSettings and the forward-difference gradient of the minimiser's contract.
// passes(sets, ll) fills ll[j], j = 0 .. n, with the log-likelihoods of the full parameter sets
// of pass 0 (at v) and pass i + 1 (at v with kFdStep added to entry i, not projected into the
// box); then
//   f = -ll[0],   g_i = -(ll[i + 1] - ll[0]) / kFdStep.
template <std::size_t N, class Passes>
LbfgsbResult minimise_from_passes(const FreeParameters<N>& params, Passes&& passes) {
  const std::size_t n = params.size();
  const LbfgsbObjective objective = [&](std::span<const double> v) {
    std::array<std::array<double, N>, N + 1> sets{};
    for (std::size_t j = 0; j <= n; ++j) {
      std::array<double, N> point{};
      std::copy(v.begin(), v.end(), point.begin());
      if (j > 0) point[j - 1] = v[j - 1] + kFdStep;
      sets[j] = params.full(std::span<const double>(point.data(), n));
    }
    std::array<double, N + 1> ll{};
    passes(std::span<const std::array<double, N>>(sets.data(), n + 1),
           std::span<double>(ll.data(), n + 1));
    LbfgsbEvaluation e{-ll[0], std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) e.gradient[i] = -(ll[i + 1] - ll[0]) / kFdStep;
    return e;
  };
  return lbfgsb_minimize(objective, params.start(), params.lower(), params.upper());
}

// A shape's profile at one parameter set, for minimise_on_grid.  Kernel is default
// constructible and has
//   void fill(x, q, begin, end) const     q_i for i in [begin, end), each on its own;
//   double normaliser(x, q) const         T from the whole profile (the shape's floor rule);
//   bool zero_density(double t) const     true when the density is taken as zero everywhere.
// The log-likelihood of a pass is then
//   zero_density(T) ? sum_{i<m} w_i log(0 + 1e-200) : sum_{i<m} w_i log(q_i / T + 1e-200),
// m = min(len x, len w), summed in index order from 0.0.
template <class Kernel>
double kernel_log_likelihood(const Kernel& kernel, std::span<const double> x,
                             std::span<const double> w, std::span<double> q) {
  kernel.fill(x, q, 0, x.size());
  const double t = kernel.normaliser(x, q);
  if (kernel.zero_density(t)) return zero_density_log_likelihood(x.size(), w);
  return weighted_log_likelihood(q, t, w);
}

// minimise_from_passes for a shape given by its kernel (make_kernel maps a full parameter set
// to a Kernel).  From kParallelPassPoints grid points on, the passes run side by side on the
// pool, each as kernel_log_likelihood; from kBlockedPassPoints on they run in four steps on
// the pool: every pass's profile block by block, every pass's normaliser, every pass's terms
// w_i log(q_i / T + 1e-200) block by block, every pass's sum of its terms in index order.
// Each value is formed as in kernel_log_likelihood, so the results do not change.
template <std::size_t N, class MakeKernel>
LbfgsbResult minimise_on_grid(const FreeParameters<N>& params, std::span<const double> x,
                              std::span<const double> w, MakeKernel&& make_kernel) {
  using Kernel = decltype(make_kernel(std::declval<const std::array<double, N>&>()));
  const std::size_t points = x.size();
  const std::size_t m = std::min(points, w.size());
  PassBuffers buffers(params.size() + 1, points, points >= kBlockedPassPoints ? m : 0);
  return minimise_from_passes(params, [&](std::span<const std::array<double, N>> sets,
                                          std::span<double> ll) {
    const std::size_t passes = sets.size();
    std::array<Kernel, N + 1> kernels{};
    for (std::size_t j = 0; j < passes; ++j) kernels[j] = make_kernel(sets[j]);
    if (points < kBlockedPassPoints) {
      const auto pass = [&](std::size_t j) {
        ll[j] = kernel_log_likelihood(kernels[j], x, w, buffers.q(j));
      };
      if (points >= kParallelPassPoints) {
        pool::for_each_index(passes, pass);
      } else {
        for (std::size_t j = 0; j < passes; ++j) pass(j);
      }
      return;
    }
    const std::size_t blocks = (points + kPassBlock - 1) / kPassBlock;
    pool::for_each_index(passes * blocks, [&](std::size_t task) {
      const std::size_t j = task / blocks, begin = (task % blocks) * kPassBlock;
      kernels[j].fill(x, buffers.q(j), begin, std::min(points, begin + kPassBlock));
    });
    std::array<double, N + 1> t{};
    pool::for_each_index(passes, [&](std::size_t j) {
      t[j] = kernels[j].normaliser(x, buffers.q(j));
    });
    const double zero_term = std::log(0.0 + kLogGuard);
    const std::size_t term_blocks = (m + kPassBlock - 1) / kPassBlock;
    pool::for_each_index(passes * term_blocks, [&](std::size_t task) {
      const std::size_t j = task / term_blocks, begin = (task % term_blocks) * kPassBlock;
      const std::size_t end = std::min(m, begin + kPassBlock);
      const std::span<const double> q = buffers.q(j);
      const std::span<double> terms = buffers.terms(j);
      if (kernels[j].zero_density(t[j])) {
        for (std::size_t i = begin; i < end; ++i) terms[i] = w[i] * zero_term;
      } else {
        for (std::size_t i = begin; i < end; ++i) {
          terms[i] = w[i] * std::log(q[i] / t[j] + kLogGuard);
        }
      }
    });
    pool::for_each_index(passes, [&](std::size_t j) {
      const std::span<const double> terms = buffers.terms(j);
      double sum = 0.0;
      for (std::size_t i = 0; i < m; ++i) sum += terms[i];
      ll[j] = sum;
    });
  });
}

}  // namespace velmora::peak_fit
