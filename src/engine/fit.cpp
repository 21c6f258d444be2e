// The engine's fit of one spectrum: the bounded Newton maximiser (optim/bounded_newton.hpp) on
// the evaluator's likelihood, and the report at the point it ends at (engine.hpp).
#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/engine.hpp"
#include "engine/evaluator.hpp"
#include "engine/report.hpp"

namespace velmora::engine {
namespace {

bool finite_all(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// Log-likelihood gain below which a fit that no step improves any further has converged all
// the same: the Newton step left is sqrt(2 * 1e-3) = 0.045 standard errors long (in the metric
// of the information), far below anything the data resolve.
constexpr double kStallGain = 1e-3;

FitOutcome fit_with(Evaluator& evaluator, const Model& m, std::span<double> theta,
                    const FitSettings& settings, optim::Derivatives& d) {
  optim::BoundedNewtonSettings s;
  s.tolerance = settings.tolerance;
  s.value_offset = evaluator.constant();
  s.stall_gain = kStallGain;
  s.max_iterations = settings.max_iterations;
  s.start_near = settings.start_near;
  evaluator.set_central_corners(false);
  const optim::BoundedNewtonResult r = optim::maximise(evaluator, theta, m.lower, m.upper, s, d);
  evaluator.set_central_corners(true);
  FitOutcome out;
  out.iterations = r.iterations;
  out.evaluations = evaluator.passes();
  out.decrement = r.decrement;
  out.log_likelihood = r.value + evaluator.constant();
  switch (r.status) {
    case optim::BoundedNewtonStatus::converged: out.status = FitStatus::converged; break;
    case optim::BoundedNewtonStatus::max_iterations: out.status = FitStatus::max_iterations; break;
    case optim::BoundedNewtonStatus::stalled: out.status = FitStatus::stalled; break;
    case optim::BoundedNewtonStatus::not_finite: out.status = FitStatus::not_finite; break;
  }
  // A fit never reports success with values that are not finite.
  if (out.status == FitStatus::converged) {
    const Mapped mapped = map_parameters(m, theta, false);
    if (!std::isfinite(out.log_likelihood) || !finite_all(theta) || !finite_all(mapped.p)) {
      out.status = FitStatus::not_finite;
    }
  }
  return out;
}

}  // namespace

FitOutcome fit(const Model& m, std::span<const double> counts, std::span<double> theta,
               const FitSettings& settings) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  return fit_with(evaluator, m, theta, settings, d);
}

std::pair<FitOutcome, Report> fit_and_report(const Model& m, std::span<const double> counts,
                                             std::span<double> theta,
                                             const FitSettings& settings,
                                             const ReportOptions& options) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  FitOutcome outcome = fit_with(evaluator, m, theta, settings, d);
  // The evaluator's state is that of the returned point unless the start gave no finite
  // likelihood (nothing was evaluated beyond it then, and the report starts afresh).
  if (d.score.size() != m.n_theta() || outcome.status == FitStatus::not_finite) {
    d = optim::Derivatives{};
    evaluator.derivatives(theta, d);
  }
  d.has_observed = false;  // the fit's information has one-sided mixed terms
  Report r = report_from(evaluator, m, theta, d, options);
  return {outcome, std::move(r)};
}

double log_likelihood(const Model& m, std::span<const double> counts,
                      std::span<const double> theta) {
  Evaluator evaluator(m, counts);
  return evaluator.value(theta) + evaluator.constant();
}

}  // namespace velmora::engine
