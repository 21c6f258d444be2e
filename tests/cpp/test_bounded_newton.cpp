// The bounded Newton maximiser and the dense algebra under it: convergence to the maximum
// inside the box and on its faces, the stopping rule on the Newton decrement, the statuses,
// the number of evaluations it spends, and the covariance of a singular information.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "optim/bounded_newton.hpp"
#include "optim/dense.hpp"

namespace {

using velmora::optim::BoundedNewtonSettings;
using velmora::optim::BoundedNewtonStatus;
using velmora::optim::Derivatives;
using velmora::optim::maximise;
using velmora::optim::Objective;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A function given as least-squares residuals r(theta): f = -sum r^2 / 2, whose expected
// information is the Gauss-Newton matrix J^T J and whose observed information adds
// sum r_k d2 r_k.  Residuals and their derivatives are given in closed form.
class Residuals : public Objective {
 public:
  using Fn = std::function<void(const std::vector<double>&, std::vector<double>& r,
                                std::vector<double>& jac, std::vector<double>& second)>;
  Residuals(std::size_t n, std::size_t m, Fn fn) : n_(n), m_(m), fn_(std::move(fn)) {}

  double value(std::span<const double> theta) override {
    ++values;
    std::vector<double> r, j, s;
    fn_({theta.begin(), theta.end()}, r, j, s);
    double f = 0.0;
    for (const double v : r) f -= 0.5 * v * v;
    return f;
  }
  void derivatives(std::span<const double> theta, Derivatives& d) override {
    ++derivs;
    last_.assign(theta.begin(), theta.end());
    std::vector<double> r, j, s;
    fn_(last_, r, j, s);
    d.value = 0.0;
    for (const double v : r) d.value -= 0.5 * v * v;
    d.score.assign(n_, 0.0);
    d.expected.assign(n_ * n_, 0.0);
    for (std::size_t k = 0; k < m_; ++k) {
      for (std::size_t a = 0; a < n_; ++a) {
        d.score[a] -= r[k] * j[k * n_ + a];
        for (std::size_t b = 0; b < n_; ++b) d.expected[a * n_ + b] += j[k * n_ + a] * j[k * n_ + b];
      }
    }
    d.has_observed = false;
    second_ = s;
    residual_ = r;
  }
  void observed(Derivatives& d) override {
    d.observed = d.expected;
    for (std::size_t k = 0; k < m_; ++k) {
      for (std::size_t a = 0; a < n_ * n_; ++a) d.observed[a] += residual_[k] * second_[k * n_ * n_ + a];
    }
    d.has_observed = true;
  }

  int values = 0, derivs = 0;

 private:
  std::size_t n_, m_;
  Fn fn_;
  std::vector<double> last_, residual_, second_;
};

// f = -((x - 3)^2 + 4 (y + 1)^2 + 2 (x - 3)(y + 1)) / 2: a tilted quadratic, maximum (3, -1).
Residuals quadratic() {
  return Residuals(2, 2, [](const std::vector<double>& t, std::vector<double>& r,
                            std::vector<double>& j, std::vector<double>& s) {
    // (x-3)^2 + 2(x-3)(y+1) + 4(y+1)^2 = (x - 3 + (y+1))^2 + 3 (y+1)^2
    const double sq3 = std::sqrt(3.0);
    r = {t[0] - 3.0 + t[1] + 1.0, sq3 * (t[1] + 1.0)};
    j = {1.0, 1.0, 0.0, sq3};
    s.assign(8, 0.0);
  });
}

// Rosenbrock's valley as residuals 10 (y - x^2) and 1 - x: maximum 0 at (1, 1).
Residuals rosenbrock() {
  return Residuals(2, 2, [](const std::vector<double>& t, std::vector<double>& r,
                            std::vector<double>& j, std::vector<double>& s) {
    r = {10.0 * (t[1] - t[0] * t[0]), 1.0 - t[0]};
    j = {-20.0 * t[0], 10.0, -1.0, 0.0};
    s = {-20.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  });
}

TEST(BoundedNewton, ReachesAnInteriorMaximumInFewSteps) {
  Residuals f = quadratic();
  std::vector<double> theta{-10.0, 7.0};
  const std::vector<double> lo{-kInf, -kInf}, hi{kInf, kInf};
  Derivatives d;
  BoundedNewtonSettings s;
  s.tolerance = 1e-24;
  const auto r = maximise(f, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
  // To within what a predicted gain of 1e-13 (the rounding floor) leaves: sqrt(2e-13).
  EXPECT_NEAR(theta[0], 3.0, 1e-6);
  EXPECT_NEAR(theta[1], -1.0, 1e-6);
  EXPECT_TRUE(r.observed);
  // A quadratic 13 scales away: the trust region (radius 1 at first, doubling after every
  // step the model predicts well, each step damped into it) lets it cover the distance in a
  // few steps.
  EXPECT_LE(r.iterations, 10u);
  EXPECT_LE(f.values + f.derivs, 24);
}

TEST(BoundedNewton, StopsOnTheFaceOfTheBoxWithTheScorePushingOutward) {
  Residuals f = quadratic();
  std::vector<double> theta{0.0, 0.0};
  // y may not go below 0: the maximum on the box is where x maximises at y = 0: x = 3 - 1 = 2.
  const std::vector<double> lo{-kInf, 0.0}, hi{kInf, 5.0};
  Derivatives d;
  BoundedNewtonSettings s;
  s.tolerance = 1e-24;
  const auto r = maximise(f, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
  EXPECT_EQ(theta[1], 0.0);  // exactly on the bound, never past it
  EXPECT_NEAR(theta[0], 2.0, 1e-6);
  EXPECT_LT(d.score[1], 0.0);  // the score pushes against the bound
  EXPECT_NEAR(d.score[0], 0.0, 1e-6);
}

TEST(BoundedNewton, FollowsACurvedValleyWithoutLeavingTheBox) {
  Residuals f = rosenbrock();
  std::vector<double> theta{-1.2, 1.0};
  const std::vector<double> lo{-1.5, -0.5}, hi{1.5, 2.0};
  Derivatives d;
  BoundedNewtonSettings s;
  s.tolerance = 1e-14;
  s.max_iterations = 200;
  const auto r = maximise(f, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
  EXPECT_NEAR(theta[0], 1.0, 1e-6);
  EXPECT_NEAR(theta[1], 1.0, 1e-6);
  EXPECT_LE(r.iterations, 40u);
}

TEST(BoundedNewton, ReportsItsBudgetAndAStartWithoutAValue) {
  Residuals f = rosenbrock();
  std::vector<double> theta{-1.2, 1.0};
  const std::vector<double> lo{-kInf, -kInf}, hi{kInf, kInf};
  Derivatives d;
  BoundedNewtonSettings s;
  s.tolerance = 1e-14;
  s.max_iterations = 2;
  auto r = maximise(f, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::max_iterations);
  EXPECT_EQ(r.iterations, 2u);

  Residuals nan_start(1, 1, [](const std::vector<double>& t, std::vector<double>& r,
                               std::vector<double>& j, std::vector<double>& s2) {
    r = {std::log(t[0])};
    j = {1.0 / t[0]};
    s2 = {-1.0 / (t[0] * t[0])};
  });
  std::vector<double> one{-1.0};
  const std::vector<double> l1{-kInf}, h1{kInf};
  r = maximise(nan_start, one, l1, h1, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::not_finite);
}

TEST(BoundedNewton, AParameterWithoutInformationStaysWhereItIs) {
  // f depends on x alone; y carries no information and must not move (nor stall the fit).
  Residuals f(2, 1, [](const std::vector<double>& t, std::vector<double>& r,
                       std::vector<double>& j, std::vector<double>& s) {
    r = {t[0] - 2.0};
    j = {1.0, 0.0};
    s.assign(4, 0.0);
  });
  std::vector<double> theta{0.0, 0.7};
  const std::vector<double> lo{-kInf, -kInf}, hi{kInf, kInf};
  Derivatives d;
  BoundedNewtonSettings s;
  s.tolerance = 1e-24;
  const auto r = maximise(f, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
  EXPECT_NEAR(theta[0], 2.0, 1e-6);
  EXPECT_EQ(theta[1], 0.7);
}

// The tilted quadratic with its value rounded down to steps of 1e-4: smooth derivatives, but
// within 1e-4 of the maximum no step raises the value any more.
class Quantised : public Objective {
 public:
  double value(std::span<const double> theta) override { return round(inner.value(theta)); }
  void derivatives(std::span<const double> theta, Derivatives& d) override {
    inner.derivatives(theta, d);
    d.value = round(d.value);
  }
  void observed(Derivatives& d) override { inner.observed(d); }

 private:
  static double round(double v) { return std::floor(v * 1e4) / 1e4; }
  Residuals inner = quadratic();
};

TEST(BoundedNewton, AStallCountsAsConvergedOnlyWithinTheStallGain) {
  const std::vector<double> lo{-kInf, -kInf}, hi{kInf, kInf};
  BoundedNewtonSettings s;
  s.tolerance = 1e-24;
  Derivatives d;

  Quantised strict;
  std::vector<double> theta{-10.0, 7.0};
  auto r = maximise(strict, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::stalled);
  EXPECT_GT(r.decrement, 0.0);

  Quantised lenient;
  s.stall_gain = 1e-3;
  theta = {-10.0, 7.0};
  r = maximise(lenient, theta, lo, hi, s, d);
  EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
  EXPECT_LE(r.decrement, 1e-3);
  // A predicted gain of 1e-3 leaves the point within sqrt(2e-3) of the maximum in the metric
  // of the information (whose smallest eigenvalue here is above 0.3).
  EXPECT_NEAR(theta[0], 3.0, 0.1);
  EXPECT_NEAR(theta[1], -1.0, 0.1);
}

// f = -(x - 10)^2 / 2 on a box whose upper bound 5 lies on the way to the maximum; records
// every point whose value is asked for (the trial points of the steps).
class Recorded : public Objective {
 public:
  double value(std::span<const double> theta) override {
    trials.push_back(theta[0]);
    return -0.5 * (theta[0] - 10.0) * (theta[0] - 10.0);
  }
  void derivatives(std::span<const double> theta, Derivatives& d) override {
    d.value = -0.5 * (theta[0] - 10.0) * (theta[0] - 10.0);
    d.score = {10.0 - theta[0]};
    d.expected = {1.0};
    d.has_observed = false;
  }
  void observed(Derivatives& d) override {
    d.observed = {1.0};
    d.has_observed = true;
  }
  std::vector<double> trials;
};

TEST(BoundedNewton, FarFromTheMaximumAStepAcrossABoundStopsShortOfIt) {
  // The first step (predicted gain 18, far above one unit: a damped Fisher step of about 6)
  // would end near 10.  From 4, a bound 1 away -- more than a tenth of the step -- is not yet
  // reached: the trial point goes nine tenths of the way, to 4.9.  From 4.95 the bound lies
  // within a tenth of the step's length: the parameter has arrived, the trial point is 5.
  for (const auto& [start, first_trial] : {std::pair{4.0, 4.9}, std::pair{4.95, 5.0}}) {
    Recorded f;
    std::vector<double> theta{start};
    const std::vector<double> lo{0.0}, hi{5.0};
    Derivatives d;
    BoundedNewtonSettings s;
    s.radius = 100.0;  // the trust region does not cut the step
    const auto r = maximise(f, theta, lo, hi, s, d);
    ASSERT_FALSE(f.trials.empty());
    EXPECT_NEAR(f.trials[0], first_trial, 1e-12) << "from " << start;
    EXPECT_EQ(r.status, BoundedNewtonStatus::converged);
    EXPECT_EQ(theta[0], 5.0);  // in the end on the bound, never past it
  }
}

TEST(Dense, CholeskyRefusesWhatIsNotPositiveDefinite) {
  std::vector<double> a{4.0, 2.0, 2.0, 1.0};  // singular
  EXPECT_FALSE(velmora::dense::cholesky(a, 2));
  std::vector<double> nan{1.0, 0.0, 0.0, std::nan("")};
  EXPECT_FALSE(velmora::dense::cholesky(nan, 2));
  std::vector<double> b{4.0, 2.0, 2.0, 3.0};
  ASSERT_TRUE(velmora::dense::cholesky(b, 2));
  std::vector<double> x{2.0, 1.0};
  velmora::dense::cholesky_solve(b, 2, x);  // [4 2; 2 3] x = [2 1]  ->  x = [0.5, 0]
  EXPECT_NEAR(x[0], 0.5, 1e-15);
  EXPECT_NEAR(x[1], 0.0, 1e-15);
}

TEST(Dense, JacobiEigenvaluesOfAKnownMatrix) {
  // [2 1 0; 1 2 1; 0 1 2]: eigenvalues 2 - sqrt 2, 2, 2 + sqrt 2.
  std::vector<double> values, vectors;
  velmora::dense::symmetric_eigen({2, 1, 0, 1, 2, 1, 0, 1, 2}, 3, values, vectors);
  EXPECT_NEAR(values[0], 2.0 - std::sqrt(2.0), 1e-14);
  EXPECT_NEAR(values[1], 2.0, 1e-14);
  EXPECT_NEAR(values[2], 2.0 + std::sqrt(2.0), 1e-14);
  // The weakest direction is (1, -sqrt 2, 1) / 2 up to sign.
  EXPECT_NEAR(std::fabs(vectors[0 * 3 + 0]), 0.5, 1e-12);
  EXPECT_NEAR(std::fabs(vectors[1 * 3 + 0]), std::sqrt(0.5), 1e-12);
}

TEST(Dense, CovarianceHoldsBoundParametersAndLeavesOutUndeterminedOnes) {
  // Three parameters: the first two perfectly correlated (only their sum is determined), the
  // third on a bound.  The second is "preferred" for leaving out.
  const std::vector<double> info{1.0, 1.0, 0.0, 1.0, 1.0, 0.0, 0.0, 0.0, 4.0};
  std::vector<bool> excluded{false, false, true}, preferred{false, true, false}, undetermined;
  const std::vector<double> cov = velmora::dense::covariance(info, 3, excluded, preferred,
                                                             undetermined);
  // The second is left out; the first moves along the same flat direction, so neither is
  // determined (the first's variance given the second, 1, would be its error were the second
  // known).
  EXPECT_TRUE(undetermined[0]);
  EXPECT_TRUE(undetermined[1]);
  EXPECT_FALSE(undetermined[2]);
  EXPECT_TRUE(std::isnan(cov[0]));
  EXPECT_TRUE(std::isnan(cov[1 * 3 + 1]));
  EXPECT_EQ(cov[2 * 3 + 2], 0.0);  // held on its bound
  // A combination that touches an undetermined parameter is undetermined; one that does not
  // is not.
  EXPECT_TRUE(std::isnan(velmora::dense::propagate(cov, 3, std::vector<double>{2.0, 0.0, 5.0})));
  EXPECT_EQ(velmora::dense::propagate(cov, 3, std::vector<double>{0.0, 0.0, 5.0}), 0.0);
  // Without the bound, the third parameter's error stands beside the undetermined pair.
  const std::vector<double> free_cov = velmora::dense::covariance(
      info, 3, std::vector<bool>(3, false), preferred, undetermined);
  EXPECT_FALSE(undetermined[2]);
  EXPECT_NEAR(velmora::dense::propagate(free_cov, 3, std::vector<double>{0.0, 0.0, 4.0}), 2.0,
              1e-15);
}

TEST(Dense, EveryCountAlongADirectionTheDataDoNotFixIsUndetermined) {
  // Two areas with the same column (two peaks at one place with one width) and a background
  // count: only the two areas' sum is determined.  Neither area is, though leaving one out
  // would make the matrix regular; the background count is.
  const std::vector<double> info{2.0, 2.0, 1.0, 2.0, 2.0, 1.0, 1.0, 1.0, 3.0};
  const std::vector<bool> excluded(3, false), preferred(3, false);
  std::vector<bool> undetermined;
  const std::vector<double> cov = velmora::dense::covariance(info, 3, excluded, preferred,
                                                             undetermined);
  EXPECT_TRUE(undetermined[0]);
  EXPECT_TRUE(undetermined[1]);
  EXPECT_FALSE(undetermined[2]);
  // The background count's variance allows for the areas' sum: 2 / (2 * 3 - 1).
  EXPECT_NEAR(cov[2 * 3 + 2], 0.4, 1e-15);
  // A weak but regular pair keeps both.
  const std::vector<double> weak{2.0, 1.999, 1.999, 2.0};
  const std::vector<double> cov2 = velmora::dense::covariance(weak, 2, std::vector<bool>(2, false),
                                                              std::vector<bool>(2, false),
                                                              undetermined);
  EXPECT_FALSE(undetermined[0] || undetermined[1]);
  EXPECT_TRUE(std::isfinite(cov2[0]) && cov2[0] > 100.0);
}

}  // namespace
