// Bounded minimisation with L-BFGS-B, the one minimiser of every single-component fit.
//
// Minimises a smooth objective f(v) over a box lower <= v <= upper with the limited-memory
// BFGS method for simple bounds: a generalised Cauchy point along the projected steepest
// descent path, subspace minimisation over the free variables, and a line search along the
// resulting direction.  Reference: R. H. Byrd, P. Lu, J. Nocedal, C. Zhu, "A limited memory
// algorithm for bound constrained optimization", SIAM J. Sci. Comput. 16 (1995) 1190-1208;
// J. L. Morales, J. Nocedal, "Remark on Algorithm 778", ACM TOMS 38 (2011) 7:1-7:4.
//
// The iteration itself is the authors' Fortran code (L-BFGS-B 3.0, driven through its
// reverse-communication entry).  Around it this unit fixes what every caller sees:
//   - the checks of the problem, the projection of the start into the box and the first
//     evaluation happen here, before the library runs; a start whose projected gradient is
//     already small returns at once with 0 iterations;
//   - a side of a variable is unbounded only when its bound is exactly -inf (lower) or +inf
//     (upper); any finite value, however large, is enforced;
//   - there is no test on the relative decrease of f, so a run ends by the projected-gradient
//     test (converged), by the iteration limit, or by a line search that cannot make progress:
//     one whose trials change f by rounding only (three in a row within 1e-13 of |f|, with a
//     predicted change as small) has failed; where the library stops on a step that did not
//     lower f, or a search fails while the gradient is still a true slope, the run goes on
//     from fresh memory (lbfgsb.cpp tells how);
//   - the objective is taken to be a pure function of the point: a point the line search asks
//     for again is answered from the last few evaluations instead of a new call;
//   - nothing is written to any stream;
//   - a call that is being stopped (stop.hpp) unwinds with Stopped before its next evaluation.
//
// The line search of the library accepts a step s along d when
//   f(x + s d) <= f(x) + 1e-3 s g.d   and   |g(x + s d).d| <= 0.9 |g.d|
// (so every accepted step also satisfies the weaker 1e-4 decrease condition), tries at most 20
// steps (fewer when they are rounding, above), and restarts once from a fresh memory before it
// gives up.
//
// Thread safety: every call owns its work arrays and the library keeps no other state, so
// calls on different threads run independently and give the same results as one after
// another.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

namespace velmora {

// How a successful run ended.
enum class LbfgsbStatus {
  converged,           // infinity norm of the projected gradient <= pgtol
  iteration_limit,     // max_iterations iterations performed; the point is the current one
  line_search_failed,  // no further decrease found; the point is the last accepted one
};

struct LbfgsbSettings {
  // Number of correction pairs (s, y) kept by the limited-memory matrix.
  // Default 10; valid 1 to 1000 (the library recommends 3 to 20).
  std::size_t m = 10;

  // Iterations (accepted steps) after which the run stops with iteration_limit.  The objective
  // is called at most 100 times this number per run.  Default 10000; any value, 0 returns the
  // projected start (converged if it already meets pgtol, iteration_limit otherwise).
  std::size_t max_iterations = 10000;

  // Convergence threshold on the infinity norm of the projected gradient.
  // Default 1e-5; valid: any number >= 0 (+inf included), not NaN.
  double pgtol = 1e-5;
};

// Objective value and gradient at one point.
struct LbfgsbEvaluation {
  double value = 0.0;
  std::vector<double> gradient;  // must have one entry per variable
};

// Maps a point v (one entry per variable) to f(v) and its gradient.
using LbfgsbObjective = std::function<LbfgsbEvaluation(std::span<const double> v)>;

// Outcome of lbfgsb_minimize: a result, or an error message instead of one.
struct LbfgsbResult {
  std::vector<double> point;  // final point, inside the box
  double value = std::numeric_limits<double>::quiet_NaN();  // f(point)
  LbfgsbStatus status = LbfgsbStatus::converged;
  std::size_t iterations = 0;   // accepted steps
  std::size_t evaluations = 0;  // objective calls, the first evaluation included (points
                                // answered from memory are not counted)
  // Empty on success.  Otherwise one of the messages below, and the fields above are
  // meaningless.
  //   "length mismatch between x and bounds"  start, lower, upper of different lengths
  //   "lower > upper for some index"          a reversed bound pair
  //   "bound is NaN for some index"           a lower or upper bound is NaN
  //   "lower bound is +inf or upper bound is -inf for some index"
  //                                           the box holds no finite value
  //   "gradient length mismatch"              the first gradient does not have n entries
  //   "projgr failed"                         a later gradient does not have n entries
  //   "m must be between 1 and 1000"          settings.m out of range
  //   "pgtol must be a non-negative number"   settings.pgtol negative or NaN
  //   "too many variables (at most 100000)"   start longer than the library can index
  //   "L-BFGS-B rejected its input"           the library reported an input error
  //   "L-BFGS-B stopped for an unknown reason"
  //                                           the library ended in a state it does not document
  std::string_view error;
  bool ok() const { return error.empty(); }
};

// Minimises objective over the box [lower, upper] from start (projected into the box first).
// The objective is called synchronously on the calling thread; an exception it throws passes
// through unchanged (the work arrays are released).  The three vectors must have equal
// lengths; an empty problem converges at once with one evaluation.
LbfgsbResult lbfgsb_minimize(const LbfgsbObjective& objective, std::span<const double> start,
                             std::span<const double> lower, std::span<const double> upper,
                             const LbfgsbSettings& settings = {});

// Absolute forward-difference step of the finite-difference gradients.
inline constexpr double kFdStep = 1e-7;

// Forward-difference gradient of f = -loglik at v, given loglik_v = loglik(v) (computed once
// by the caller and shared with f).  For i = 0 .. n-1 in order: copy v, add fd_step to entry
// i of the copy (not projected into any box, so at a bound the copy may lie outside it), and
//   g_i = -(loglik(copy) - loglik_v) / fd_step.
// One gradient costs n evaluations of loglik, called with a std::span<const double>.
template <class LogLik>
std::vector<double> forward_difference_gradient(LogLik&& loglik, std::span<const double> v,
                                                double loglik_v, double fd_step = kFdStep) {
  std::vector<double> g(v.size());
  std::vector<double> shifted(v.begin(), v.end());
  for (std::size_t i = 0; i < v.size(); ++i) {
    shifted[i] = v[i] + fd_step;
    const double loglik_shifted = loglik(std::span<const double>(shifted));
    g[i] = -(loglik_shifted - loglik_v) / fd_step;
    shifted[i] = v[i];
  }
  return g;
}

}  // namespace velmora
