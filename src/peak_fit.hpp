// The weighted maximum-likelihood fit of one peak, shared by the shapes whose component update
// has no closed form (Lorentzian, Doniach-Sunjic, and later pseudo-Voigt, Voigt and TSDC).
//
// A spectrum is a binned sample: grid values x_i with weights w_i (intensities, or intensities
// times responsibilities inside a mixture).  A shape supplies a profile q(x; theta) on the grid;
// the density is the profile normalised by its trapezoid sum over the grid,
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
//   - the objective evaluates the shape's log-likelihood through buffers the shape allocates
//     once per fit, one set per pass of an objective call (the only allocation per call is the
//     n-entry gradient the minimiser's interface returns);
//   - on long grids the per-point work (the profile, the logarithms) is split into blocks of
//     kPointsPerTask points on the worker pool, while the trapezoid sum and the likelihood sum
//     stay sequential, so the result is the same for any pool size;
//   - a fitted value is read back through a clamp whose bound pair is checked (clamp_checked).
//
// What stays with each shape: the profile formula, how T is floored or tested, the starting
// values and bounds, the early returns, and which read-back values are clamped.
//
// A fit in outline (lorentzian.cpp and doniach_sunjic.cpp are complete examples):
//
//   if (all fixed || w.empty() || total_weight(w) < kEmptyWeight) return;   // nothing changes
//   FreeParameters<N> params(values, fixed);
//   params.bound(j, start_j, lower_j, upper_j);              // each parameter, in shape order
//   PassBuffers buf(params.size() + 1, x.size(), ...);        // once per fit
//   auto loglik = [&](const std::array<double, N>& p, std::size_t pass) {
//     const double t = shape_profile(x, buf.q(pass), p...);  // q_i and the shape's own T rule
//     return weighted_log_likelihood(buf.q(pass), t, w, buf.terms(pass));
//   };
//   const LbfgsbResult r = minimise_negative_loglik(params, x.size(), loglik);
//   if (!r.ok()) return;                                     // a refused box changes nothing
//   ... params.full(r.point), read back with the shape's own clamps ...
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "optim/lbfgsb.hpp"
#include "worker_pool.hpp"

namespace velmora::peak_fit {

inline constexpr double kLogGuard = 1e-200;     // added to a density inside the logarithm
inline constexpr double kEmptyWeight = 1e-300;  // below this total weight a fit changes nothing

// Grid points per pool task in the per-point passes.  A grid of at most this many points is
// evaluated on the calling thread; longer ones are split so that every block carries tens of
// microseconds of work, well above the cost of handing it to a worker.
inline constexpr std::size_t kPointsPerTask = 4096;

// Runs body(begin, end) over consecutive blocks of [0, n) on the pool, as few blocks of at most
// kPointsPerTask points as possible, of nearly equal length (on the calling thread when
// n <= kPointsPerTask).  The body must write only entries of its own block.
template <class Body>
void for_each_point_block(std::size_t n, Body&& body) {
  const std::size_t blocks = (n + kPointsPerTask - 1) / kPointsPerTask;
  if (blocks == 0) return;
  pool::for_each_block(n, (n + blocks - 1) / blocks, std::forward<Body>(body));
}

// Trapezoid sum sum_{j=0}^{n-2} (x_{j+1} - x_j) * ((q_j + q_{j+1}) * 0.5) over the first
// n = min(len x, len q) points, in index order; 0.0 when n < 2.
double trapezoid_sum(std::span<const double> x, std::span<const double> q);

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

// The profile and log-term buffers of one fit: one pair per pass of an objective call.  The
// term buffers exist only for grids long enough to split the logarithms over the pool.
class PassBuffers {
 public:
  PassBuffers(std::size_t passes, std::size_t points, std::size_t summed)
      : points_(points),
        summed_(points > kPointsPerTask ? summed : 0),
        q_(passes * points_),
        terms_(passes * summed_) {}
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

// Minimises f(v) = -loglik(full(v)) over the free parameters' box with the default
// LbfgsbSettings.  `loglik(p, pass)` maps a full parameter set (std::array<double, N>) to the
// weighted log-likelihood; `pass` (0 .. n) names the buffers the call may use, so that the
// n + 1 passes of one objective call can run at the same time.  `points` is the grid length.
//
// The gradient is the forward difference of the minimiser's contract
// (forward_difference_gradient): pass 0 at v, pass i + 1 at v' = v with v'_i = v_i + kFdStep
// (not projected into the box), and
//   g_i = -(loglik(full(v')) - loglik(full(v))) / kFdStep.
// Each pass is one sequential evaluation, so running them side by side on the pool (grids of
// kParallelPassPoints or more) gives the values of running them one after another.
template <std::size_t N, class LogLik>
LbfgsbResult minimise_negative_loglik(const FreeParameters<N>& params, std::size_t points,
                                      LogLik&& loglik) {
  const std::size_t n = params.size();
  const LbfgsbObjective objective = [&](std::span<const double> v) {
    std::array<double, N + 1> ll{};
    const auto pass = [&](std::size_t j) {
      std::array<double, N> point{};
      std::copy(v.begin(), v.end(), point.begin());
      if (j > 0) point[j - 1] = v[j - 1] + kFdStep;
      ll[j] = loglik(params.full(std::span<const double>(point.data(), n)), j);
    };
    if (points >= kParallelPassPoints) {
      pool::for_each_index(n + 1, pass);
    } else {
      for (std::size_t j = 0; j <= n; ++j) pass(j);
    }
    LbfgsbEvaluation e{-ll[0], std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) e.gradient[i] = -(ll[i + 1] - ll[0]) / kFdStep;
    return e;
  };
  return lbfgsb_minimize(objective, params.start(), params.lower(), params.upper());
}

}  // namespace velmora::peak_fit
