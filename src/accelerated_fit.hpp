// A mixture fit driven to its optimum in far fewer EM iterations than the plain loop, and the
// observed information from which its standard errors follow.
//
// The fit repeats the core's own EM iteration (run_em with one iteration) and
//   - extrapolates it by SQUAREM (Varadhan & Roland 2008, "Simple and globally convergent
//     methods for accelerating the convergence of any EM algorithm", Scand. J. Statist. 35,
//     335-353; scheme S3 with the adaptive step length and the monotone safeguard of their
//     SQUAREM package);
//   - near the optimum takes Newton steps on the observed information of the binned
//     likelihood (each halved until the likelihood rises), which removes the slow directions
//     EM crawls along when peaks overlap;
//   - ends at a point that one more EM iteration changes by less than tol in relative
//     log-likelihood, which is the plain loop's own stopping rule.
// A start that already lies near the optimum (the fit of a neighbouring spectrum of a map) is
// polished by Newton steps before any of this, which leaves the EM iterations little to do.
// The likelihood is the core's: sum_i c_i log m(x_i), m = sum_j pi_j f_j, the f_j the peak
// densities of the core and the background columns.
//
// Everything runs on the calling thread's view of the worker pool and stops at the core's
// checkpoints like any other fit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "background.hpp"
#include "em_engine.hpp"

namespace velmora::accelerated {

enum class Shape : std::uint8_t {
  gaussian = 0,        // x0, sigma
  lorentzian = 1,      // x0, gamma
  pseudo_voigt = 2,    // x0, gamma, eta
  voigt = 3,           // x0, sigma, gamma
  doniach_sunjic = 4,  // x0, gamma, alpha
  tsdc = 5,            // ea, tp (tau0 follows from them and the heating rate)
};
inline constexpr std::uint8_t kShapeCount = 6;
inline constexpr std::size_t kMaxParams = 3;

// Parameters per component of a shape.
std::size_t parameter_count(Shape shape);

// One spectrum and its model.
struct Model {
  Shape shape = Shape::gaussian;
  std::span<const double> u;       // the grid
  std::span<const double> counts;  // counts at the grid points
  BasisList basis;                 // background columns on the grid; empty for none
  double lo = 0.0;                 // the window; centres (and TSDC peak temperatures) stay in it
  double hi = 0.0;
  // (lo, hi) of every parameter, infinite where the shape has no bounds for it; the core's
  // component updates take them where they have bounds.
  std::array<double, 2 * kMaxParams> bounds{};
  bool full_optimisation = false;  // pseudo-Voigt component update
  double beta = 1.0;               // TSDC heating rate
  std::array<Flags, kMaxParams> fixed;
};

// Parameter p of component k is params[p][k]; pi holds the peaks' weights, then the
// background columns'.
struct State {
  std::array<std::vector<double>, kMaxParams> params;
  std::vector<double> pi;
};

struct Outcome {
  double log_likelihood = 0.0;
  std::uint64_t n_iter = 0;  // EM iterations of the core
  bool converged = false;
};

// Fits `model` from `state`, which ends as the fitted point; at most max_iter EM iterations.
Outcome fit(const Model& model, State& state, double tol, std::uint64_t max_iter);

// Score and observed information of the multinomial likelihood over the free parameters
// (free[p][k]: parameter p of peak k; peaks without weight have none) and the mixing weights,
// parametrised to sum to one by leaving out the largest weight (the first of equal ones).
// The matrix is size x size, row-major: the free shape parameters peak by peak in parameter
// order, then the weights but the largest in order.  Derivatives of the densities are central
// differences of the core's profile functions.
struct Information {
  std::size_t size = 0;
  std::vector<double> score;
  std::vector<double> matrix;
};
Information information(const Model& model, const State& state,
                        const std::array<Flags, kMaxParams>& free);

}  // namespace velmora::accelerated
