// The regularized incomplete gamma functions against SciPy's gammainc and gammaincc on both
// sides of the switch between series and continued fraction, small tails included; and the
// dispersion test's p-value on both sides of phi = 1.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/engine.hpp"
#include "special/chi_square.hpp"

namespace {

namespace sp = velmora::special;

struct Case {
  double a, x, p, q;
};

TEST(ChiSquare, IncompleteGammaAgreesWithReferenceValues) {
  const Case cases[] = {
      {0.5, 0.1, 0.34527915398142317, 0.6547208460185768},
      {3.0, 2.0, 0.32332358381693654, 0.6766764161830634},
      {50.0, 40.0, 0.07033506665939494, 0.9296649333406051},
      {50.0, 65.0, 0.9764876021901913, 0.02351239780980871},
      {1000.0, 1100.0, 0.9989406767460701, 0.0010593232539299773},
      {1000.0, 900.0, 0.0005499022657117818, 0.9994500977342882},
      {2.5, 30.0, 0.9999999999878454, 1.2154569777183007e-11},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(sp::gamma_p(c.a, c.x), c.p, 1e-11 * c.p) << c.a << " " << c.x;
    EXPECT_NEAR(sp::gamma_q(c.a, c.x), c.q, 1e-11 * c.q) << c.a << " " << c.x;
  }
  EXPECT_EQ(sp::gamma_p(2.0, 0.0), 0.0);
  EXPECT_EQ(sp::gamma_q(2.0, std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_TRUE(std::isnan(sp::gamma_p(0.0, 1.0)));
  EXPECT_TRUE(std::isnan(sp::gamma_q(1.0, -1.0)));
}

TEST(ChiSquare, DispersionTestOnBothSidesOfOne) {
  // 400 channels of 10 000 expected counts, residuals of +-k standard deviations: chi2 = 400 k^2.
  const std::size_t n = 400;
  std::vector<double> mu(n, 1e4), counts(n);
  auto test = [&](double k, std::size_t free) {
    for (std::size_t i = 0; i < n; ++i) counts[i] = mu[i] + (i % 2 == 0 ? k : -k) * 100.0;
    return velmora::engine::dispersion_test(counts, mu, free);
  };
  const auto one = test(1.0, 0);
  EXPECT_NEAR(one[0], 1.0, 1e-12);
  EXPECT_GT(one[1], 0.9);
  EXPECT_EQ(one[2], 400.0);
  // phi = 1.25 and 0.75 with 400 degrees of freedom are far in either tail; 1.1 is not.
  EXPECT_LT(test(std::sqrt(1.25), 0)[1], 1e-3);
  EXPECT_LT(test(std::sqrt(0.75), 0)[1], 1e-3);
  EXPECT_GT(test(std::sqrt(1.1), 0)[1], 0.1);
  // Without degrees of freedom, no dispersion.
  EXPECT_TRUE(std::isnan(test(1.0, n)[0]));
}

}  // namespace
