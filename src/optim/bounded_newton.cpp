#include "optim/bounded_newton.hpp"

#include <algorithm>
#include <cmath>

#include "optim/dense.hpp"
#include "stop.hpp"

namespace velmora::optim {
namespace {

// Damping: the first value, the smallest non-zero one (below it the step is Newton's own), the
// largest before a point counts as stalled, and the factors of its changes.
constexpr double kLambdaStart = 1e-3;
constexpr double kLambdaMin = 1e-9;
constexpr double kLambdaFloor = 1e-6;  // lambda after a refusal from zero
constexpr double kLambdaMax = 1e16;
constexpr double kShrink = 1.0 / 3.0;
constexpr double kGrowPoor = 2.0;
constexpr double kGrowRefused = 4.0;
// Agreement of actual and predicted gain above which lambda shrinks, below which it grows.
constexpr double kGoodAgreement = 0.75;
constexpr double kPoorAgreement = 0.25;
// Ridge (times the diagonal) that makes a singular expected information solvable.
constexpr double kRidge = 1e-10;
// Gain (relative to the function's magnitude) below which rounding of the function's own sums
// hides any rise: a smaller tolerance cannot be met, so it counts as met there.
constexpr double kRoundingGain = 1e-13;

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

void project(std::span<double> theta, std::span<const double> lower,
             std::span<const double> upper) {
  for (std::size_t a = 0; a < theta.size(); ++a) {
    theta[a] = std::min(std::max(theta[a], lower[a]), upper[a]);
  }
}

// The rows and columns `free` of the n x n matrix m.
std::vector<double> restrict_to(const std::vector<double>& m, std::size_t n,
                                const std::vector<std::size_t>& free) {
  const std::size_t k = free.size();
  std::vector<double> out(k * k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) out[i * k + j] = m[free[i] * n + free[j]];
  }
  return out;
}

}  // namespace

BoundedNewtonResult maximise(Objective& f, std::span<double> theta, std::span<const double> lower,
                             std::span<const double> upper, const BoundedNewtonSettings& settings,
                             Derivatives& d) {
  const std::size_t n = theta.size();
  BoundedNewtonResult result;
  project(theta, lower, upper);
  f.derivatives(theta, d);
  ++result.derivatives;
  if (!std::isfinite(d.value) || !all_finite(d.score) || !all_finite(d.expected)) {
    result.status = BoundedNewtonStatus::not_finite;
    result.value = d.value;
    return result;
  }
  bool near = settings.start_near;
  if (near) f.observed(d);
  double lambda = kLambdaStart;
  std::vector<double> trial(n);

  for (;;) {
    checkpoint();
    // The free parameters: not held on a bound by their score, and with information.
    std::vector<std::size_t> free;
    for (std::size_t a = 0; a < n; ++a) {
      const bool at_lower = theta[a] <= lower[a];
      const bool at_upper = theta[a] >= upper[a];
      if (at_lower && at_upper) continue;
      if (at_lower && d.score[a] <= 0.0) continue;
      if (at_upper && d.score[a] >= 0.0) continue;
      if (!(d.expected[a * n + a] > 0.0)) continue;
      free.push_back(a);
    }
    const std::size_t m = free.size();
    const double tolerance =
        std::max(settings.tolerance * std::max(1.0, std::fabs(d.value + settings.value_offset)),
                 kRoundingGain * std::max(1.0, std::fabs(d.value)));
    result.value = d.value;
    if (m == 0) {
      result.decrement = 0.0;
      result.observed = d.has_observed;
      result.status = BoundedNewtonStatus::converged;
      break;
    }
    std::vector<double> g(m);
    for (std::size_t i = 0; i < m; ++i) g[i] = d.score[free[i]];

    // The curvature of the quadratic model: the observed information where it is positive
    // definite on the free parameters, otherwise the expected one.
    std::vector<double> model_matrix;
    std::vector<double> factor;
    bool use_observed = false;
    if (d.has_observed && all_finite(d.observed)) {
      model_matrix = restrict_to(d.observed, n, free);
      factor = model_matrix;
      use_observed = dense::cholesky(factor, m);
    }
    if (!use_observed) {
      model_matrix = restrict_to(d.expected, n, free);
      factor = model_matrix;
      if (!dense::cholesky(factor, m)) {
        for (std::size_t i = 0; i < m; ++i) model_matrix[i * m + i] *= 1.0 + kRidge;
        factor = model_matrix;
        if (!dense::cholesky(factor, m)) {
          result.status = BoundedNewtonStatus::stalled;
          break;
        }
      }
    }
    std::vector<double> newton = g;
    dense::cholesky_solve(factor, m, newton);
    double decrement = 0.0;
    for (std::size_t i = 0; i < m; ++i) decrement += g[i] * newton[i];
    decrement *= 0.5;
    result.decrement = decrement;
    result.observed = use_observed;

    if (!near && decrement <= settings.near_gain * static_cast<double>(m)) {
      near = true;
      f.observed(d);
      continue;  // decide again at the same point, with the observed information
    }
    if (decrement <= tolerance) {
      result.status = BoundedNewtonStatus::converged;
      break;
    }
    if (result.iterations >= settings.max_iterations) {
      result.status = BoundedNewtonStatus::max_iterations;
      break;
    }

    // Damped steps until one raises the function.
    bool accepted = false;
    double accepted_value = 0.0;
    while (lambda <= kLambdaMax) {
      std::vector<double> damped = model_matrix;
      for (std::size_t i = 0; i < m; ++i) damped[i * m + i] += lambda * model_matrix[i * m + i];
      if (!dense::cholesky(damped, m)) {
        lambda = std::max(lambda * 10.0, kLambdaFloor);
        continue;
      }
      std::vector<double> step = g;
      dense::cholesky_solve(damped, m, step);
      std::copy(theta.begin(), theta.end(), trial.begin());
      for (std::size_t i = 0; i < m; ++i) trial[free[i]] += step[i];
      project(trial, lower, upper);
      // Gain the quadratic model predicts for the projected step s.
      std::vector<double> s(m);
      double linear = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        s[i] = trial[free[i]] - theta[free[i]];
        linear += g[i] * s[i];
      }
      double quadratic = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < m; ++j) row += model_matrix[i * m + j] * s[j];
        quadratic += s[i] * row;
      }
      const double predicted = linear - 0.5 * quadratic;
      if (!(predicted > 0.0)) {
        lambda = std::max(lambda * kGrowRefused, kLambdaFloor);
        continue;
      }
      checkpoint();
      const double v = f.value(trial);
      ++result.values;
      if (v > d.value) {
        const double agreement = (v - d.value) / predicted;
        if (agreement > kGoodAgreement) {
          lambda *= kShrink;
          if (lambda < kLambdaMin) lambda = 0.0;
        } else if (agreement < kPoorAgreement) {
          lambda = std::max(lambda * kGrowPoor, kLambdaFloor);
        }
        accepted = true;
        accepted_value = v;
        break;
      }
      lambda = std::max(lambda * kGrowRefused, kLambdaFloor);
    }
    if (!accepted) {
      result.status = BoundedNewtonStatus::stalled;
      break;
    }
    std::copy(trial.begin(), trial.end(), theta.begin());
    ++result.iterations;
    f.derivatives(theta, d);
    ++result.derivatives;
    if (!std::isfinite(d.value) || !all_finite(d.score) || !all_finite(d.expected)) {
      result.status = BoundedNewtonStatus::not_finite;
      result.value = accepted_value;
      break;
    }
    if (near) f.observed(d);
  }
  return result;
}

}  // namespace velmora::optim
