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

// Jumps from -1 to +1 at 0.3: |f| never falls below a tolerance under 1, so only the bracket
// width can stop the search.
double step_at_0_3(double t) { return t < 0.3 ? -1.0 : 1.0; }

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

// With a tolerance wider than both |f| values the first stopping test returns a at once, which
// shows the ordering: a is the end with the larger |f|; on a tie a = hi and lo becomes b.
TEST(Brentq, EndOrderingAndTies) {
  struct Case {
    double lo, hi, expected;
  } cases[] = {{-1, 1, 1}, {1, -1, -1}, {-1, 2, 2}, {-2, 1, -2}};
  for (const auto& c : cases) {
    const auto r = brentq([](double t) { return t; }, c.lo, c.hi, 3.0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.root, c.expected) << c.lo << ", " << c.hi;
    EXPECT_EQ(r.iterations, 0);
  }
}

TEST(Brentq, ExactZeroAtAnEndOrDegenerateBracket) {
  const auto id = [](double t) { return t; };
  struct Case {
    double lo, hi;
  } zero_ends[] = {{0, 1}, {1, 0}, {-1, 0}, {0, -1}, {0, 0}};
  for (const auto& c : zero_ends) {
    const auto r = brentq(id, c.lo, c.hi, 1e-8);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.root, 0.0);
    EXPECT_EQ(r.evaluations, 2);
  }
  const auto r = brentq(id, 0.5, 0.5, 1e-8);
  EXPECT_EQ(r.error, RootError::kNoBracketing);
}

// Hand trace of the step function with delta 0.2 (a, b after each iteration):
//   start a=1, b=0;  it 1: s=0.5 (bisection), f(s)>0 so a=0.5, re-evaluate f(0); swap -> a=0, b=0.5
//   it 2: s=0.25, a=0.25, re-evaluate f(0.5); swap -> a=0.5, b=0.25
//   it 3: s=0.375, a=0.375, re-evaluate f(0.25); swap -> a=0.25, b=0.375, c=0.25
//   |a - b| = 0.125 < 0.2: returns c = 0.25, not b = 0.375.
TEST(Brentq, ShrunkBracketReturnsPreviousBAndTwoEvaluationsPerIteration) {
  std::vector<double> calls;
  const auto r = brentq(
      [&](double t) {
        calls.push_back(t);
        return step_at_0_3(t);
      },
      0.0, 1.0, 0.2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.root, 0.25);
  EXPECT_EQ(r.iterations, 3);
  EXPECT_EQ(calls, (std::vector<double>{0, 1, 0.5, 0, 0.25, 0.5, 0.375, 0.25}));
}

TEST(Brentq, FailureKinds) {
  const auto no_bracket = brentq([](double t) { return t * t + 1; }, -1, 1, 1e-8);
  EXPECT_EQ(no_bracket.error, RootError::kNoBracketing);
  EXPECT_EQ(no_bracket.evaluations, 2);

  // Zero tolerance: no stopping test can pass.  NaN everywhere: the NaN product does not count
  // as "no bracket", and NaN fails every stopping test.
  for (const auto& r : {brentq(step_at_0_3, 0, 1, 0.0),
                        brentq([](double) { return kNaN; }, 0, 1, 1e-8)}) {
    EXPECT_EQ(r.error, RootError::kNoConvergency);
    EXPECT_EQ(r.iterations, velmora::kBrentqMaxIterations);
    EXPECT_EQ(r.evaluations, 2 + 2 * velmora::kBrentqMaxIterations);
  }
}

TEST(Brentq, PrintedErrorNames) {
  EXPECT_EQ(velmora::root_error_name(RootError::kNoConvergency), "NoConvergency");
  EXPECT_EQ(velmora::root_error_name(RootError::kNoBracketing), "NoBracketing");
  EXPECT_EQ(velmora::root_error_name(RootError::kZeroDerivative), "ZeroDerivative");
}

}  // namespace
