#include "optim/bounded_newton.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <numeric>

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
constexpr double kLambdaCut = 1e4;  // beyond this a step too long for the region is cut
constexpr double kShrink = 1.0 / 3.0;
constexpr double kGrowPoor = 2.0;
constexpr double kGrowRefused = 4.0;
// Agreement of actual and predicted gain above which lambda shrinks, below which it grows.
constexpr double kGoodAgreement = 0.75;
constexpr double kPoorAgreement = 0.25;
// Multiples of the expected information's diagonal tried in turn to make the observed
// information positive definite.
constexpr std::array<double, 6> kObservedDamping{0.0, 1e-6, 1e-4, 1e-2, 1e-1, 1.0};
// Information (the expected one, times the square of the parameter's scale) below which a
// parameter does not move: the function would change by less than this over its whole scale.
constexpr double kNoInformation = 1e-12;
// Distance from a bound, in units of the parameter's scale, within which a step ends on it:
// far below any resolution the data have.
constexpr double kBoundSnap = 1e-6;
// Distance from a bound, in units of the parameter's scale, within which a parameter whose
// score pushes against the bound is held on it.
constexpr double kNearBound = 1e-3;
// Share of a step's length within which a bound it crosses counts as reached.
constexpr double kArrival = 0.1;
// EM crawls when its last kCrawlSteps steps together gained less than kCrawlShare of the gain a
// Newton step predicts.
constexpr std::size_t kCrawlSteps = 5;
constexpr double kCrawlShare = 0.1;
// SQUAREM's longest extrapolation at first, and its growth after it was used in full.
constexpr double kSquaremStart = 1.0;
constexpr double kSquaremGrow = 4.0;
// The trust radius shrinks to this share of a refused step's reach; below kRadiusMin no step
// is left to try.
constexpr double kShrinkRefused = 0.25;
constexpr double kRadiusMin = 1e-12;
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
  double radius = settings.radius;
  std::vector<double> trial(n), scale(n);
  // SQUAREM: the start of the last accepted EM step (while the one before it was one too),
  // and the longest extrapolation allowed.
  std::vector<double> em_start;
  double em_value = 0.0;
  double step_max = kSquaremStart;
  std::deque<double> em_gains;  // the gains of the last EM steps

  for (;;) {
    checkpoint();
    // The free parameters: not held on a bound by their score, and with information -- a
    // parameter along which the function would change by less than kNoInformation over a
    // move of its whole scale (the shape of a peak whose area has all but vanished) is left
    // where it is.
    f.scales(theta, scale);
    // A parameter close to a bound its score pushes against (within kNearBound of its scale,
    // Bertsekas's epsilon-active set) is held there too, and the next step puts it on the
    // bound: left free, its step would be cut short at the bound while the others moved as if
    // it went on, and no step would rise.
    std::vector<std::size_t> free;
    std::vector<std::pair<std::size_t, double>> onto;  // parameters the next step puts on a bound
    for (std::size_t a = 0; a < n; ++a) {
      const double near_bound = kNearBound * scale[a];
      const bool at_lower = theta[a] - lower[a] <= near_bound;
      const bool at_upper = upper[a] - theta[a] <= near_bound;
      if (at_lower && at_upper) continue;
      if (at_lower && d.score[a] <= 0.0) {
        if (theta[a] != lower[a]) onto.emplace_back(a, lower[a]);
        continue;
      }
      if (at_upper && d.score[a] >= 0.0) {
        if (theta[a] != upper[a]) onto.emplace_back(a, upper[a]);
        continue;
      }
      if (!(d.expected[a * n + a] * scale[a] * scale[a] > kNoInformation)) continue;
      free.push_back(a);
    }
    const std::size_t m = free.size();
    const double tolerance =
        std::max(settings.tolerance * std::max(1.0, std::fabs(d.value + settings.value_offset)),
                 kRoundingGain * std::max(1.0, std::fabs(d.value)));
    result.value = d.value;
    // Puts the parameters held near a bound onto it and evaluates there; false when the
    // function is not finite there (nothing is moved then).
    auto settle = [&]() {
      std::copy(theta.begin(), theta.end(), trial.begin());
      for (const auto& [a, bound] : onto) trial[a] = bound;
      if (!f.admissible(trial)) return false;
      Derivatives settled;
      f.derivatives(trial, settled);
      ++result.derivatives;
      if (!std::isfinite(settled.value) || !all_finite(settled.score)) return false;
      std::copy(trial.begin(), trial.end(), theta.begin());
      d = std::move(settled);
      if (near) f.observed(d);
      return true;
    };
    if (m == 0 && !onto.empty() && settle()) continue;
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
      // Where the observed information is not positive definite (a flat or saddle direction,
      // such as a peak drifting where there is no signal) it is damped by the smallest
      // multiple of the expected information's diagonal that makes it so: it keeps the
      // curvature the data have instead of trading it for the expected one.
      const std::vector<double> observed = restrict_to(d.observed, n, free);
      for (const double damping : kObservedDamping) {
        model_matrix = observed;
        for (std::size_t i = 0; i < m; ++i) {
          model_matrix[i * m + i] += damping * d.expected[free[i] * n + free[i]];
        }
        factor = model_matrix;
        if (dense::cholesky(factor, m)) {
          use_observed = true;
          break;
        }
      }
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

    // EM has done its part once Newton is close (the predicted gain is about one unit per
    // free parameter), or once it crawls: its last few steps together gained less than a
    // tenth of what a Newton step predicts (weak or overlapping terms whose counts EM trades
    // only slowly, even with SQUAREM).
    const bool crawling = em_gains.size() == kCrawlSteps &&
                          std::accumulate(em_gains.begin(), em_gains.end(), 0.0) <
                              kCrawlShare * decrement;
    if (!near && (decrement <= settings.near_gain * static_cast<double>(m) || crawling)) {
      near = true;
      f.observed(d);
      continue;  // decide again at the same point, with the observed information
    }
    if (decrement <= tolerance) {
      // Converged: parameters held near a bound end on it.
      if (!onto.empty() && settle()) continue;
      result.status = BoundedNewtonStatus::converged;
      break;
    }

    if (result.iterations >= settings.max_iterations) {
      result.status = BoundedNewtonStatus::max_iterations;
      break;
    }

    // Far from the optimum the steps follow the complete-data information where there is one.
    bool em_step = false;
    if (!near && d.complete.empty()) f.complete(d);
    if (!near && !d.complete.empty()) {
      std::vector<double> complete = restrict_to(d.complete, n, free);
      std::vector<double> trial_factor = complete;
      if (all_finite(complete) && dense::cholesky(trial_factor, m)) {
        model_matrix = complete;
        em_step = true;
      }
    }
    // theta + factor * step over the free parameters, into `out`: near the optimum projected
    // onto the box, far from it at most boundary_fraction of the way to a bound.
    auto form_trial = [&](const std::vector<double>& step, double factor,
                          std::vector<double>& out) {
      std::copy(theta.begin(), theta.end(), out.begin());
      for (std::size_t i = 0; i < m; ++i) {
        const std::size_t a = free[i];
        double t = theta[a] + factor * step[i];
        // Far from the optimum a step that crosses a bound stops short of it, unless the
        // bound is close beside the step's length (then the step ends on it: the parameter
        // has arrived).
        if (t < lower[a]) {
          const double room = theta[a] - lower[a];
          const bool arrived = near || room <= kArrival * (theta[a] - t);
          t = arrived ? lower[a] : theta[a] - settings.boundary_fraction * room;
        } else if (t > upper[a]) {
          const double room = upper[a] - theta[a];
          const bool arrived = near || room <= kArrival * (t - theta[a]);
          t = arrived ? upper[a] : theta[a] + settings.boundary_fraction * room;
        }
        // Within rounding of a bound is on it: a parameter a hair's breadth inside would count
        // as free, and its outward score would stall every step.
        const double snap = kBoundSnap * scale[a];
        if (t - lower[a] <= snap) t = lower[a];
        if (upper[a] - t <= snap) t = upper[a];
        out[a] = t;
      }
      for (const auto& [a, bound] : onto) out[a] = bound;
    };
    // Damped steps inside the trust region until one raises the function.
    bool accepted = false;
    double accepted_value = 0.0;
    // `lambda` follows how well the model predicts; `mu` is the damping of this step, raised
    // above lambda only to bring a step into the region (which says nothing about the model,
    // so it is not carried to the next step).
    double mu = lambda;
    while (mu <= kLambdaMax && radius >= kRadiusMin) {
      std::vector<double> damped = model_matrix;
      for (std::size_t i = 0; i < m; ++i) damped[i * m + i] += mu * model_matrix[i * m + i];
      if (!dense::cholesky(damped, m)) {
        lambda = std::max(lambda * 10.0, kLambdaFloor);
        mu = std::max(mu * 10.0, lambda);
        continue;
      }
      std::vector<double> step = g;
      dense::cholesky_solve(damped, m, step);
      // The trust region: no parameter moves by more than `radius` of its scale.  A step that
      // reaches further is damped more (Levenberg-Marquardt's own way into the region, which
      // turns it towards the scaled gradient: a step along a nearly flat direction of the
      // model, cut to length, would gain nothing); only a step that stays too long under
      // heavy damping is cut to length.
      double reach = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        reach = std::max(reach, std::fabs(step[i]) / scale[free[i]]);
      }
      if (reach > radius && mu < kLambdaCut) {
        mu = std::max(mu * kGrowRefused, kLambdaFloor);
        continue;
      }
      if (reach > radius) {
        for (double& v : step) v *= radius / reach;
        reach = radius;
      }
      form_trial(step, 1.0, trial);
      // Gain the quadratic model predicts for the step s actually taken (the moves onto
      // bounds count to first order).
      std::vector<double> s(m);
      double linear = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        s[i] = trial[free[i]] - theta[free[i]];
        linear += g[i] * s[i];
      }
      for (const auto& [a, bound] : onto) linear += d.score[a] * (bound - theta[a]);
      double quadratic = 0.0;
      for (std::size_t i = 0; i < m; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < m; ++j) row += model_matrix[i * m + j] * s[j];
        quadratic += s[i] * row;
      }
      const double predicted = linear - 0.5 * quadratic;
      if (!(predicted > 0.0)) {
        lambda = std::max(lambda * kGrowRefused, kLambdaFloor);
        mu = std::max(mu, lambda);
        radius = kShrinkRefused * reach;
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
          radius = std::min(settings.max_radius, std::max(radius, 2.0 * reach));
        } else if (agreement < kPoorAgreement) {
          lambda = std::max(lambda * kGrowPoor, kLambdaFloor);
          radius = 0.5 * reach;
        }
        accepted = true;
        accepted_value = v;
        break;
      }
      lambda = std::max(lambda * kGrowRefused, kLambdaFloor);
      mu = std::max(mu, lambda);
      radius = kShrinkRefused * reach;
    }
    if (!accepted) {
      if (result.decrement <= settings.stall_gain) {
        if (!onto.empty() && settle()) continue;
        result.status = BoundedNewtonStatus::converged;
        break;
      }
      result.status = BoundedNewtonStatus::stalled;
      break;
    }
    // SQUAREM (Varadhan & Roland 2008, "Simple and globally convergent methods for
    // accelerating the convergence of any EM algorithm", Scand. J. Statist. 35, 335-353,
    // scheme S3): two successive EM steps theta0 -> theta1 -> theta2 give r = theta1 - theta0
    // and v = theta2 - theta1 - r, and theta0 - 2 a r + a^2 v with a = -|r| / |v| (norms in
    // the parameters' scales, a at most -1) leaps along EM's own path, which keeps EM's
    // choice of where the peaks go but not its crawl where overlapping terms share counts.
    // The leap is taken when it rises above theta2, else theta2 stands.
    if (em_step) {
      em_gains.push_back(accepted_value - d.value);
      if (em_gains.size() > kCrawlSteps) em_gains.pop_front();
    }
    if (em_step && !em_start.empty()) {
      std::vector<double> leap(n);
      double rr = 0.0, vv = 0.0;
      for (std::size_t a = 0; a < n; ++a) {
        const double r = (theta[a] - em_start[a]) / scale[a];
        const double v = (trial[a] - theta[a]) / scale[a] - r;
        rr += r * r;
        vv += v * v;
      }
      if (vv > 0.0 && std::isfinite(rr) && std::isfinite(vv)) {
        const double alpha = -std::min(step_max, std::max(1.0, std::sqrt(rr / vv)));
        for (std::size_t a = 0; a < n; ++a) {
          const double r = theta[a] - em_start[a];
          const double v = trial[a] - theta[a] - r;
          double t = em_start[a] - 2.0 * alpha * r + alpha * alpha * v;
          // Within the box, at most boundary_fraction of the way from theta2 to a bound.
          if (t < lower[a]) t = trial[a] - settings.boundary_fraction * (trial[a] - lower[a]);
          if (t > upper[a]) t = trial[a] + settings.boundary_fraction * (upper[a] - trial[a]);
          if (t - lower[a] <= kBoundSnap * scale[a]) t = lower[a];
          if (upper[a] - t <= kBoundSnap * scale[a]) t = upper[a];
          leap[a] = t;
        }
        checkpoint();
        const double w = f.value(leap);
        ++result.values;
        if (w >= accepted_value) {  // at a = -1 the leap is theta2 itself
          accepted_value = w;
          std::swap(trial, leap);
          if (-alpha == step_max) step_max *= kSquaremGrow;
        } else if (-alpha == step_max) {
          step_max = std::max(kSquaremStart, step_max / kSquaremGrow);
        }
      }
      em_start.clear();  // a leap, taken or not, starts a new pair of EM steps
    } else if (em_step) {
      em_start.assign(theta.begin(), theta.end());
      em_value = d.value;
    } else {
      em_start.clear();
    }
    (void)em_value;
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
