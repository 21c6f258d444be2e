// Maximisation of a log-likelihood over a box by Newton steps on its information, with
// Levenberg-Marquardt damping and an active set.
//
// The function supplies its value, its score (gradient) and two curvature matrices: the
// expected (Fisher) information, always positive semi-definite, and, on request, the observed
// information (minus the Hessian), which gives Newton's quadratic convergence near the
// optimum.  Each iteration
//   1. takes as active the parameters that sit on a bound their score pushes against, and
//      those without information (a zero diagonal); the others are free;
//   2. far from the optimum, solves (C + lambda diag C) d = g over the free parameters, C the
//      complete-data information of the function's EM formulation when it supplies one (the
//      EM gradient algorithm: locally EM, which keeps overlapping peaks from trading their
//      counts wholesale), else the expected information F (Fisher scoring; both are positive
//      semi-definite, so d is an ascent direction; every second EM step is extrapolated along
//      EM's path by SQUAREM); once the Fisher-scoring step predicts a gain of less than about
//      one unit of log-likelihood per free parameter, the observed
//      information H replaces them whenever it is positive definite on the free parameters
//      (Newton's method, damped the same way);
//   3. keeps the step inside a trust region measured in each parameter's own scale (the
//      function supplies the scales: a peak's width for its centre, a width or an area for
//      itself), so that no parameter moves by more than `radius` of its scale at once; far
//      from the optimum a step that would cross a bound goes nine tenths of the way to it
//      instead (so that an area or a width is not zeroed by one bad step from a poor start),
//      near the optimum it is projected onto the box;
//   4. compares the actual gain with the gain the quadratic model predicts (Moré 1978, "The
//      Levenberg-Marquardt algorithm: implementation and theory"; Nocedal & Wright, Numerical
//      Optimization, ch. 4): a step is taken only when the function rises; lambda and the
//      radius relax after good agreement and tighten after poor agreement or a refused step.
// It stops when the predicted gain of the full Newton step on the free parameters (half the
// Newton decrement, g^T H^-1 g / 2) is at most the tolerance: the function itself, not the
// size of a step, says that the maximum has been reached.  Parameters on their bounds with
// the score pushing outward are then at a maximum of the box (the projected score vanishes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::optim {

struct Derivatives {
  double value = 0.0;
  std::vector<double> score;     // n
  std::vector<double> expected;  // n x n, row-major
  // Optional (Objective::complete): the complete-data information of an EM formulation
  // (n x n), which far from the optimum replaces the expected information (the EM gradient
  // algorithm).
  std::vector<double> complete;
  std::vector<double> observed;  // n x n once has_observed
  bool has_observed = false;
};

// The function to maximise.
class Objective {
 public:
  virtual ~Objective() = default;
  // The value at theta; NaN or -inf where it is not defined.
  virtual double value(std::span<const double> theta) = 0;
  // Value, score and expected information at theta (has_observed false).
  virtual void derivatives(std::span<const double> theta, Derivatives& out) = 0;
  // Completes `out` (from the last derivatives call, at its theta) with the observed
  // information.
  virtual void observed(Derivatives& out) = 0;
  // Completes `out` likewise with the complete-data information of an EM formulation, where
  // the function has one (out.complete stays empty otherwise).
  virtual void complete(Derivatives& out) { (void)out; }
  // Whether theta is a point the function accepts (value() is -inf at the others); the moves
  // onto bounds, which are not compared with the value before they are taken, look at it.
  virtual bool admissible(std::span<const double> theta) {
    (void)theta;
    return true;
  }
  // The scale of every parameter at theta (positive): the trust region bounds each step
  // relative to it.  Default: 1 for every parameter.
  virtual void scales(std::span<const double> theta, std::span<double> out) {
    (void)theta;
    for (double& s : out) s = 1.0;
  }
};

struct BoundedNewtonSettings {
  // Stop when half the Newton decrement is at most
  //   tolerance * max(1, |value + value_offset|)
  // (a relative tolerance on the log-likelihood; value_offset adds the constant the
  // objective leaves out), and never below 1e-13 max(1, |value|), where rounding of the
  // function itself hides any further rise.  Default 1e-9, valid range (0, 1).
  double tolerance = 1e-9;
  double value_offset = 0.0;
  // Predicted gain below which a point where no step raises the function any further counts
  // as converged all the same (what is left is within the function's own rounding, or its
  // non-smooth corners).  Zero: never.
  double stall_gain = 0.0;
  // Iterations (accepted steps) at most.
  std::uint64_t max_iterations = 1000;
  // Predicted gain per free parameter below which the observed information is used.
  double near_gain = 1.0;
  // Start with the observed information (a start expected to lie near the optimum).
  bool start_near = false;
  // First trust radius, in units of the parameters' scales; it grows to at most max_radius.
  double radius = 1.0;
  double max_radius = 1e3;
  // Far from the optimum, the share of the distance to a bound that a step may cover.
  double boundary_fraction = 0.9;
};

enum class BoundedNewtonStatus : std::uint8_t {
  converged = 0,       // half the Newton decrement is within the tolerance (or within
                       // stall_gain where no step raises the function any further)
  max_iterations = 1,  // the iteration budget ran out first
  stalled = 2,         // no step raises the function (rounding, or derivatives that disagree
                       // with the function), though the decrement is not yet small
  not_finite = 3,      // the value or the derivatives at the start are not finite
};

struct BoundedNewtonResult {
  BoundedNewtonStatus status = BoundedNewtonStatus::converged;
  std::uint64_t iterations = 0;   // accepted steps
  std::uint64_t values = 0;       // calls of value()
  std::uint64_t derivatives = 0;  // calls of derivatives()
  double value = 0.0;             // at the returned theta
  double decrement = 0.0;         // half the Newton decrement at the returned theta
  bool observed = false;          // the decrement is that of the observed information
};

// Maximises `f` over lower <= theta <= upper from `theta` (projected onto the box first),
// which ends at the point returned.  `derivatives` holds the derivatives at that point on
// return (observed information included when the result says so).
BoundedNewtonResult maximise(Objective& f, std::span<double> theta, std::span<const double> lower,
                             std::span<const double> upper, const BoundedNewtonSettings& settings,
                             Derivatives& derivatives);

}  // namespace velmora::optim
