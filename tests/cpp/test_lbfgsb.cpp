// Bounded minimiser: problem checks, start handling, bounds, every way a run ends, agreement
// with SciPy, finite-difference gradients and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "optim/lbfgsb.hpp"

namespace {

using velmora::forward_difference_gradient;
using velmora::lbfgsb_minimize;
using velmora::LbfgsbEvaluation;
using velmora::LbfgsbResult;
using velmora::LbfgsbSettings;
using velmora::LbfgsbStatus;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

LbfgsbEvaluation rosenbrock(std::span<const double> v) {
  const double a = v[0], b = v[1];
  return {100.0 * (b - a * a) * (b - a * a) + (1.0 - a) * (1.0 - a),
          {-400.0 * a * (b - a * a) - 2.0 * (1.0 - a), 200.0 * (b - a * a)}};
}

// sum_i (i+1) d_i^2 + 0.1 d_i^4 with d = v - c.
LbfgsbEvaluation quartic(std::span<const double> v, const Vec& c, double offset = 0.0) {
  LbfgsbEvaluation e{offset, Vec(v.size())};
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = v[i] - c[i], k = static_cast<double>(i + 1);
    e.value += k * d * d + 0.1 * d * d * d * d;
    e.gradient[i] = 2.0 * k * d + 0.4 * d * d * d;
  }
  return e;
}

// Weighted Cauchy log-likelihood on 201 grid points of [-10, 10]; `seed` varies the weights.
double cauchy_loglik(std::span<const double> v, int seed) {
  double s = 0.0;
  for (int i = 0; i < 201; ++i) {
    const double x = -10.0 + 0.1 * i;
    const double w = (3 + (i * 7 + seed) % 11) / (1.0 + ((x - 1.5) / 0.8) * ((x - 1.5) / 0.8));
    const double d = x - v[0];
    s += w * std::log(v[1] / (std::numbers::pi * (d * d + v[1] * v[1])));
  }
  return s;
}

LbfgsbEvaluation cauchy_objective(std::span<const double> v, int seed) {
  auto ll = [seed](std::span<const double> p) { return cauchy_loglik(p, seed); };
  const double l = ll(v);
  return {-l, forward_difference_gradient(ll, v, l)};
}

void expect_same(const LbfgsbResult& a, const LbfgsbResult& b) {
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.point, b.point);  // bit for bit
  EXPECT_EQ(a.value, b.value);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(a.evaluations, b.evaluations);
}

TEST(LbfgsbErrors, EachMessage) {
  const Vec one{1.0};
  auto fine = [](std::span<const double> v) { return LbfgsbEvaluation{v[0] * v[0], {2 * v[0]}}; };
  auto msg = [&](auto objective, const Vec& lo, const Vec& hi, const LbfgsbSettings& s = {}) {
    return std::string(lbfgsb_minimize(objective, one, lo, hi, s).error);
  };
  EXPECT_EQ(msg(fine, {}, {2.0}), "length mismatch between x and bounds");
  EXPECT_EQ(msg(fine, {0.0}, {}), "length mismatch between x and bounds");
  EXPECT_EQ(msg(fine, {3.0}, {2.0}), "lower > upper for some index");
  EXPECT_EQ(msg(fine, {kNaN}, {2.0}), "bound is NaN for some index");
  EXPECT_EQ(msg(fine, {0.0}, {kNaN}), "bound is NaN for some index");
  EXPECT_EQ(msg(fine, {kInf}, {kInf}), "lower bound is +inf or upper bound is -inf for some index");
  EXPECT_EQ(msg(fine, {-kInf}, {-kInf}),
            "lower bound is +inf or upper bound is -inf for some index");
  EXPECT_EQ(msg([](std::span<const double>) { return LbfgsbEvaluation{0.0, {1.0, 2.0}}; },
                {-5.0}, {5.0}),
            "gradient length mismatch");
  int calls = 0;  // right length at the start, wrong length afterwards
  auto shrinking = [&](std::span<const double> v) {
    return LbfgsbEvaluation{v[0] * v[0], ++calls == 1 ? Vec{2 * v[0]} : Vec{}};
  };
  EXPECT_EQ(msg(shrinking, {-5.0}, {5.0}), "projgr failed");
  EXPECT_EQ(msg(fine, {-5.0}, {5.0}, {.m = 0}), "m must be between 1 and 1000");
  EXPECT_EQ(msg(fine, {-5.0}, {5.0}, {.m = 1001}), "m must be between 1 and 1000");
  EXPECT_EQ(msg(fine, {-5.0}, {5.0}, {.pgtol = -1e-5}), "pgtol must be a non-negative number");
  EXPECT_EQ(msg(fine, {-5.0}, {5.0}, {.pgtol = kNaN}), "pgtol must be a non-negative number");
  EXPECT_TRUE(lbfgsb_minimize(fine, one, Vec{-5.0}, Vec{5.0}).ok());
}

TEST(LbfgsbStart, ProjectedIntoTheBoxAndEvaluatedOnce) {
  std::vector<Vec> seen;
  auto objective = [&](std::span<const double> v) {
    seen.emplace_back(v.begin(), v.end());
    return rosenbrock(v);
  };
  const LbfgsbResult r = lbfgsb_minimize(objective, Vec{-3.0, 9.0}, Vec{-2.0, -2.0}, Vec{2.0, 2.0});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(seen.front(), (Vec{-2.0, 2.0}));
  EXPECT_EQ(std::count(seen.begin(), seen.end(), seen.front()), 1);  // library's first request
  EXPECT_EQ(r.evaluations, seen.size());
  EXPECT_EQ(r.status, LbfgsbStatus::converged);
  EXPECT_NEAR(r.point[0], 1.0, 1e-5);
}

TEST(LbfgsbStart, SmallProjectedGradientReturnsAtOnce) {
  int calls = 0;
  auto uphill = [&](std::span<const double> v) {
    ++calls;
    return LbfgsbEvaluation{3.0 * v[0], {3.0}};
  };
  LbfgsbResult r = lbfgsb_minimize(uphill, Vec{-7.0}, Vec{0.5}, Vec{kInf});
  EXPECT_EQ(r.point, Vec{0.5});
  EXPECT_EQ(r.value, 1.5);
  EXPECT_EQ(r.status, LbfgsbStatus::converged);
  EXPECT_EQ(r.iterations, 0u);
  EXPECT_EQ(r.evaluations, 1u);
  EXPECT_EQ(calls, 1);

  // An empty problem, and max_iterations 0, never reach the library.
  r = lbfgsb_minimize([](std::span<const double>) { return LbfgsbEvaluation{2.0, {}}; }, Vec{},
                      Vec{}, Vec{});
  EXPECT_TRUE(r.ok() && r.status == LbfgsbStatus::converged && r.point.empty());
  r = lbfgsb_minimize(rosenbrock, Vec{-1.2, 1.0}, Vec{-5, -5}, Vec{5, 5}, {.max_iterations = 0});
  EXPECT_EQ(r.status, LbfgsbStatus::iteration_limit);
  EXPECT_EQ(r.point, (Vec{-1.2, 1.0}));
}

TEST(LbfgsbBounds, OnlyInfinitiesAreAbsent) {
  // Minimum at 2e25, outside the box [-1e25, 1e25]: the run ends on the upper bound.
  auto far = [](std::span<const double> v) {
    return LbfgsbEvaluation{(v[0] - 2e25) * (v[0] - 2e25), {2.0 * (v[0] - 2e25)}};
  };
  const LbfgsbResult on_bound = lbfgsb_minimize(far, Vec{0.0}, Vec{-1e25}, Vec{1e25});
  EXPECT_EQ(on_bound.status, LbfgsbStatus::converged);
  EXPECT_EQ(on_bound.point, Vec{1e25});
  // A finite upper bound binds; a huge one does not disturb the interior minimum.
  auto q = [](std::span<const double> v) {
    return LbfgsbEvaluation{(v[0] - 1e5) * (v[0] - 1e5), {2.0 * (v[0] - 1e5)}};
  };
  EXPECT_EQ(lbfgsb_minimize(q, Vec{0.0}, Vec{-1e300}, Vec{1e3}).point, Vec{1e3});
  EXPECT_NEAR(lbfgsb_minimize(q, Vec{0.0}, Vec{-kInf}, Vec{1e300}).point[0], 1e5, 1e-5);
  // Unbounded below and above: a linear objective runs into the iteration limit.
  const LbfgsbResult r = lbfgsb_minimize(
      [](std::span<const double> v) { return LbfgsbEvaluation{-v[0], {-1.0}}; }, Vec{0.0},
      Vec{-kInf}, Vec{kInf}, {.max_iterations = 20});
  EXPECT_EQ(r.status, LbfgsbStatus::iteration_limit);
  EXPECT_EQ(r.iterations, 20u);
  EXPECT_GT(r.point[0], 1e10);
}

// The unlimited run converges after k iterations; a limit of k still reports convergence,
// a limit of k - 1 stops at the current point with iteration_limit.
TEST(LbfgsbStatuses, ConvergenceIsToldFromTheIterationLimit) {
  const Vec start{-1.2, 1.0}, lo{-100.0, -100.0}, hi{100.0, 100.0};
  const LbfgsbResult full = lbfgsb_minimize(rosenbrock, start, lo, hi);
  ASSERT_EQ(full.status, LbfgsbStatus::converged);
  const std::size_t k = full.iterations;
  expect_same(lbfgsb_minimize(rosenbrock, start, lo, hi, {.max_iterations = k}), full);
  const LbfgsbResult cut = lbfgsb_minimize(rosenbrock, start, lo, hi, {.max_iterations = k - 1});
  EXPECT_EQ(cut.status, LbfgsbStatus::iteration_limit);
  EXPECT_EQ(cut.iterations, k - 1);
  EXPECT_EQ(cut.value, rosenbrock(cut.point).value);
  EXPECT_GT(cut.value, full.value);
}

// The first point evaluated with v[0] >= 1 reports an uphill gradient of the right size (so
// the curvature test accepts it as usual), every later one a steep one: the search from there
// fails, and its trials stay well apart from its start.
TEST(LbfgsbStatuses, FailedLineSearchReturnsTheLastAcceptedPoint) {
  std::vector<std::pair<Vec, double>> seen;
  std::size_t first_lie = 0;
  auto liar = [&](std::span<const double> v) {
    const double a = v[0] - 3.0, b = v[1] - 1.0;
    double scale = 1.0;
    if (v[0] >= 1.0) {
      if (first_lie == 0) first_lie = seen.size();
      scale = first_lie == seen.size() ? -1.0 : 1000.0;
    }
    seen.push_back({Vec(v.begin(), v.end()), a * a + 10.0 * b * b});
    return LbfgsbEvaluation{seen.back().second, {scale * 2.0 * a, scale * 20.0 * b}};
  };
  const LbfgsbResult r = lbfgsb_minimize(liar, Vec{-5.0, 5.0}, Vec{-kInf, -kInf}, Vec{kInf, kInf});
  ASSERT_EQ(r.status, LbfgsbStatus::line_search_failed);
  ASSERT_GT(first_lie, 0u);
  EXPECT_EQ(r.evaluations, seen.size());
  // The point where the failed search started, with its own value; not the last trial.
  EXPECT_EQ(r.point, seen[first_lie].first);
  EXPECT_EQ(r.value, seen[first_lie].second);
  EXPECT_NE(seen.back().first, r.point);
  for (std::size_t i = first_lie + 1; i < seen.size(); ++i) EXPECT_GT(seen[i].second, r.value);
}

// With a large constant offset the finite-difference gradient is noise near the minimum and an
// accepted step stops lowering f.  The library calls that "convergence" even with factr = 0;
// the projected gradient is not small, so the search goes on from fresh memory and ends only
// by a genuine convergence or a failed line search, never by that test.
// Near the minimum the line search asks again for points it has tried; those are answered
// from memory, so no point reaches the objective twice within eight calls.
TEST(LbfgsbStatuses, StepWithoutDecreaseIsNotConvergence) {
  const Vec c{5.1, 6.1, 7.1};
  std::vector<Vec> calls;
  auto ll = [&](std::span<const double> v) { return -quartic(v, c, 1e8).value; };
  auto objective = [&](std::span<const double> v) {
    calls.emplace_back(v.begin(), v.end());
    const double l = ll(v);
    return LbfgsbEvaluation{-l, forward_difference_gradient(ll, v, l)};
  };
  const LbfgsbResult r = lbfgsb_minimize(objective, Vec{0, 0, 0}, Vec(3, -kInf), Vec(3, kInf));
  ASSERT_TRUE(r.ok());
  EXPECT_NE(r.status, LbfgsbStatus::iteration_limit);
  EXPECT_EQ(r.value, -ll(r.point));
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(r.point[i], c[i], 0.05);
  EXPECT_EQ(r.evaluations, calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    for (std::size_t j = i + 1; j < std::min(calls.size(), i + 8); ++j) {
      EXPECT_NE(calls[i], calls[j]) << i << " " << j;
    }
  }
}

// f is NaN beyond v[0] = 0.5: such trials are rejected and the search backs off to the edge;
// the reference code alone would accept them and call a NaN point converged.
TEST(LbfgsbStatuses, NonFiniteTrialsAreRejected) {
  auto walled = [](std::span<const double> v) {
    const double a = v[0] - 3.0, b = v[1] - 1.0;
    return LbfgsbEvaluation{v[0] > 0.5 ? kNaN : a * a + b * b, {2.0 * a, 2.0 * b}};
  };
  const Vec lo{-kInf, -kInf}, hi{kInf, kInf};
  LbfgsbResult r = lbfgsb_minimize(walled, Vec{-1.2, 1.0}, lo, hi);
  EXPECT_EQ(r.status, LbfgsbStatus::line_search_failed);
  EXPECT_TRUE(std::isfinite(r.value));
  EXPECT_LE(r.point[0], 0.5);
  EXPECT_NEAR(r.point[0], 0.5, 1e-6);
  // No search starts from a NaN value.
  r = lbfgsb_minimize(walled, Vec{2.0, 0.0}, lo, hi);
  EXPECT_EQ(r.status, LbfgsbStatus::line_search_failed);
  EXPECT_EQ(r.point, (Vec{2.0, 0.0}));
  EXPECT_EQ(r.evaluations, 1u);
}

// Expected optima from SciPy 1.17.1: scipy.optimize.minimize(fun, x0, jac=True,
// method="L-BFGS-B", bounds=..., options=dict(maxcor=10, maxiter=10000, gtol=1e-5, ftol=0.0,
// maxfun=10**7)), with the same objectives written in NumPy (the Cauchy one with the same
// forward-difference gradient, step 1e-7).
TEST(LbfgsbScipy, SameOptimum) {
  struct Case {
    const char* name;
    velmora::LbfgsbObjective objective;
    Vec start, lower, upper, x, tol;
    double f;
  };
  const Vec c{-1.0, 2.0, 3.0};
  const std::vector<Case> cases{
      {"rosenbrock, wide box", rosenbrock, {-1.2, 1.0}, {-100, -100}, {100, 100},
       {0.9999999995347231, 0.9999999975211418}, {1e-8, 1e-8}, 2.3994112595063434e-16},
      {"rosenbrock, active bound", rosenbrock, {-1.2, 1.0}, {-2.0, 1.5}, {0.5, 3.0},
       {-1.2210262420670972, 1.5}, {1e-7, 0.0}, 4.941229317989185},
      {"quartic, half-open and free", [&](std::span<const double> v) { return quartic(v, c); },
       {5.0, -5.0, 0.0}, {0.0, -kInf, -kInf}, {kInf, 1.0, kInf},
       {0.0, 1.0, 3.000000773795524}, {0.0, 0.0, 1e-6}, 3.2000000000017965},
      {"cauchy fit", [](std::span<const double> v) { return cauchy_objective(v, 0); },
       {0.0, 3.0}, {-10.0, 0.1}, {10.0, 2000.0},
       {1.4919746252161599, 0.7089497947939426}, {1e-6, 1e-6}, 380.54791948910486},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const LbfgsbResult r = lbfgsb_minimize(k.objective, k.start, k.lower, k.upper);
    ASSERT_EQ(r.status, LbfgsbStatus::converged);
    for (std::size_t i = 0; i < k.x.size(); ++i) EXPECT_NEAR(r.point[i], k.x[i], k.tol[i]);
    EXPECT_NEAR(r.value, k.f, 1e-10 * std::max(1.0, std::fabs(k.f)));
  }
}

TEST(ForwardDifference, StepOrderAndAccuracy) {
  // loglik = sin(v0) + 2 sin(v1) + 3 sin(v2) + v0 v1.
  std::vector<Vec> calls;
  auto ll = [&](std::span<const double> v) {
    calls.emplace_back(v.begin(), v.end());
    return std::sin(v[0]) + 2.0 * std::sin(v[1]) + 3.0 * std::sin(v[2]) + v[0] * v[1];
  };
  const Vec v{0.3, -1.1, 2.0};
  const double l = ll(v);
  calls.clear();
  const Vec g = forward_difference_gradient(ll, v, l);
  ASSERT_EQ(calls.size(), 3u);  // loglik(v) is not recomputed
  for (std::size_t i = 0; i < 3; ++i) {
    Vec shifted = v;
    shifted[i] = v[i] + velmora::kFdStep;  // absolute step, no projection
    EXPECT_EQ(calls[i], shifted);
  }
  EXPECT_EQ(g[1], -(ll(calls[1]) - l) / 1e-7);
  const Vec analytic{-(std::cos(0.3) - 1.1), -(2.0 * std::cos(-1.1) + 0.3), -3.0 * std::cos(2.0)};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(g[i], analytic[i], 1e-6);
}

// Runs on several threads at once give the results of one run after another, bit for bit.
TEST(LbfgsbConcurrency, ParallelRunsMatchSequential) {
  constexpr int kProblems = 48;
  auto solve = [](int p) {
    return lbfgsb_minimize([p](std::span<const double> v) { return cauchy_objective(v, p); },
                           Vec{-2.0 + 0.1 * p, 3.0}, Vec{-10.0, 0.1}, Vec{10.0, 2000.0});
  };
  std::vector<LbfgsbResult> sequential;
  for (int p = 0; p < kProblems; ++p) sequential.push_back(solve(p));

  constexpr int kThreads = 8;
  std::vector<std::vector<LbfgsbResult>> parallel(kThreads, std::vector<LbfgsbResult>(kProblems));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int j = 0; j < kProblems; ++j) {
        const int p = (j + 6 * t) % kProblems;  // each thread starts elsewhere
        parallel[t][p] = solve(p);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int p = 0; p < kProblems; ++p) expect_same(parallel[t][p], sequential[p]);
  }
}

}  // namespace
