// Brent root finder: stopping rules, tie rules, failure kinds, evaluation counts, and roots
// against SciPy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "optim/brentq.hpp"

namespace {

using velmora::brentq;
using velmora::RootError;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RootCase {
  const char* name;
  double (*f)(double);
  double lo, hi;
  double scipy_root;
  int max_evals_1e8, max_evals_1e10;
};

// scipy_root: scipy.optimize.brentq(f, lo, hi) with its default xtol=2e-12, rtol=8.9e-16
// (SciPy 1.17.1, python3 on the build machine), printed with repr().  The evaluation caps are
// the counts this finder needs; a slower search fails the test.
const RootCase kRootCases[] = {
    {"cubic", [](double t) { return t * t * t - 2 * t - 5; }, 2, 3, 2.094551481542327, 12, 12},
    {"cos", [](double t) { return std::cos(t) - t; }, 0, 1, 0.7390851332151559, 10, 12},
    {"exp", [](double t) { return std::exp(t) - 2; }, 0, 2, 0.6931471805599452, 14, 16},
    {"square", [](double t) { return t * t - 2; }, 0, 2, 1.4142135623731364, 14, 14},
    {"atan", [](double t) { return std::atan(t - 0.7) * 5; }, -3, 10, 0.7000000000000001, 16, 16},
    {"sin", [](double t) { return std::sin(t); }, 3, 4, 3.141592653589793, 8, 10},
    {"line_reversed", [](double t) { return 4 * t - 1; }, 1, -1, 0.25, 4, 4},
    {"exp_neg", [](double t) { return std::exp(-t) - t; }, 0, 1, 0.5671432904097838, 10, 10},
    {"sqrt_kink", [](double t) { return std::copysign(std::sqrt(std::fabs(t - 0.7)), t - 0.7); },
     0, 2, 0.6999999999997094, 38, 50},
    {"hyperbola", [](double t) { return 1 / t - 3; }, 0.1, 1, 0.3333333333333333, 18, 20},
    {"log", [](double t) { return std::log(t) - 1; }, 1, 5, 2.7182818284590824, 12, 14},
    {"pow10", [](double t) { return std::pow(t, 10) - 1; }, 0, 1.3, 0.9999999999998475, 28, 30},
};

TEST(Brentq, AgreesWithScipyWithinDeltaAndEvaluationCap) {
  for (const auto& c : kRootCases) {
    for (const double delta : {1e-8, 1e-10}) {
      const auto r = brentq(c.f, c.lo, c.hi, delta);
      ASSERT_TRUE(r.ok()) << c.name;
      EXPECT_NEAR(r.root, c.scipy_root, delta) << c.name << " delta " << delta;
      EXPECT_LE(r.evaluations, delta == 1e-8 ? c.max_evals_1e8 : c.max_evals_1e10) << c.name;
      EXPECT_EQ(r.evaluations, 2 + 2 * r.iterations) << c.name;
    }
  }
}

double identity(double t) { return t; }

// Jumps from -1 to +1 at r = kHundredthsOfR / 100: |f| never falls below a tolerance under 1,
// so only the bracket width can stop the search, and every pair of ends ties in |f|.
template <int kHundredthsOfR>
double step(double t) {
  return t < kHundredthsOfR / 100.0 ? -1.0 : 1.0;
}

// Exact outcomes of the iteration.  identity with delta 3 returns a at once: a is the end with
// the larger |f|, and on a tie a = hi (lo becomes b).  step<25> ends with a=0.25, b=0, c=0.5 and
// returns c; without the swap on ties it would return 0.  The last three rows each depend on one
// safeguard (dropping it changes the root or the count); their values come from a line-by-line
// Python transcription of the iteration in double arithmetic, the first checked by hand: secant
// to -0.5, bisection to 0.75 because the interpolated point lies outside, interpolation to
// 0.8339, then |a - b| < 0.1 returns c = 0.75.
TEST(Brentq, Trajectories) {
  struct Case {
    const char* what;
    double (*f)(double);
    double lo, hi, delta, root;
    int evaluations;
  } cases[] = {
      {"tie: lo becomes b", identity, -1, 1, 3, 1, 2},
      {"tie, reversed bracket", identity, 1, -1, 3, -1, 2},
      {"|f(hi)| larger", identity, -1, 2, 3, 2, 2},
      {"|f(lo)| larger", identity, -2, 1, 3, -2, 2},
      {"zero at lo", identity, 0, 1, 1e-8, 0, 2},
      {"zero at hi", identity, -1, 0, 1e-8, 0, 2},
      {"lo == hi at a zero", identity, 0, 0, 1e-8, 0, 2},
      {"tie swap after update", step<25>, 0, 1, 0.3, 0.5, 6},
      {"point outside (3a+b)/4..b", [](double t) { return ((-1 * t + 3) * t + 2) * t - 3; }, -1,
       2, 0.1, 0.75, 8},
      {"slow step after interpolation", [](double t) { return (t - 1) * (t - 1) * (t - 1); }, 0,
       3, 1e-2, 1.2031071277143495, 12},
      {"tiny step after interpolation", [](double t) { return ((3 * t - 3) * t + 2) * t + 1; }, 2,
       -1, 0.1, -0.33237635084299905, 10},
  };
  for (const auto& c : cases) {
    const auto r = brentq(c.f, c.lo, c.hi, c.delta);
    ASSERT_TRUE(r.ok()) << c.what;
    EXPECT_EQ(r.root, c.root) << c.what;
    EXPECT_EQ(r.evaluations, c.evaluations) << c.what;
  }
}

// Hand trace of step<30> with delta 0.2 (a, b after each iteration):
//   start a=1, b=0;  it 1: s=0.5 (bisection), f(s)>0 so a=0.5, re-evaluate f(0); tie swap ->
//   a=0, b=0.5;  it 2: s=0.25, a=0.25, re-evaluate f(0.5); swap -> a=0.5, b=0.25;
//   it 3: s=0.375, a=0.375, re-evaluate f(0.25); swap -> a=0.25, b=0.375, c=0.25;
//   |a - b| = 0.125 < 0.2: returns c = 0.25, not b = 0.375.
TEST(Brentq, ShrunkBracketReturnsPreviousBAndEvaluatesTheKeptEnd) {
  std::vector<double> calls;
  const auto r = brentq(
      [&](double t) {
        calls.push_back(t);
        return step<30>(t);
      },
      0.0, 1.0, 0.2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.root, 0.25);
  EXPECT_EQ(calls, (std::vector<double>{0, 1, 0.5, 0, 0.25, 0.5, 0.375, 0.25}));
}

// Zero tolerance: no stopping test can pass.  NaN everywhere: a NaN product is not "no
// bracket", and NaN fails every stopping test.
TEST(Brentq, FailureKinds) {
  constexpr int kAllIterations = 2 + 2 * velmora::kBrentqMaxIterations;  // evaluations
  struct Case {
    const char* what;
    double (*f)(double);
    double lo, hi, delta;
    RootError error;
    int evaluations;
  } cases[] = {
      {"same sign", [](double t) { return t * t + 1; }, -1, 1, 1e-8, RootError::kNoBracketing, 2},
      {"lo == hi off a zero", identity, 0.5, 0.5, 1e-8, RootError::kNoBracketing, 2},
      {"delta 0", step<30>, 0, 1, 0.0, RootError::kNoConvergency, kAllIterations},
      {"NaN", [](double) { return kNaN; }, 0, 1, 1e-8, RootError::kNoConvergency, kAllIterations},
  };
  for (const auto& c : cases) {
    const auto r = brentq(c.f, c.lo, c.hi, c.delta);
    EXPECT_EQ(r.error, c.error) << c.what;
    EXPECT_EQ(r.evaluations, c.evaluations) << c.what;
  }
  EXPECT_EQ(velmora::root_error_name(RootError::kNoConvergency), "NoConvergency");
  EXPECT_EQ(velmora::root_error_name(RootError::kNoBracketing), "NoBracketing");
  EXPECT_EQ(velmora::root_error_name(RootError::kZeroDerivative), "ZeroDerivative");
}

}  // namespace
