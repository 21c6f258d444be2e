// What the engine reports of a fitted point (engine.hpp's Report): the covariance of theta and
// every parameter's standard error, the background's counts with their covariance, the shapes'
// own quantities, the curves, and each peak's height and width, all with their errors through
// the covariance.
#pragma once

#include <span>

#include "engine/engine.hpp"
#include "engine/evaluator.hpp"
#include "optim/bounded_newton.hpp"

namespace velmora::engine {

// The report at theta from an evaluator whose last derivatives call was at theta (`d` its
// result, the observed information still to be completed).
Report report_from(Evaluator& evaluator, const Model& m, std::span<const double> theta,
                   optim::Derivatives& d, const ReportOptions& options);

}  // namespace velmora::engine
