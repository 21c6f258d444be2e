// The evaluations of Ei and E_n at many points give the single-point values bit for bit, for
// every branch, the special values and partial groups.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "special/expint.hpp"

namespace {

namespace sp = velmora::special;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Points of every branch of both functions, mixed so that groups hold points of several
// branches and of very different continued-fraction lengths.
std::vector<double> mixed_points(std::size_t count) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> exponent(-5.0, 2.9);
  std::bernoulli_distribution negative(0.6);
  std::vector<double> x{0.0, -0.0, kInf, -kInf, kNaN, -1.0, std::nextafter(-1.0, -2.0), 1.0,
                        std::nextafter(1.0, 2.0), 40.0, 709.782712893384, 710.0, -1e308};
  while (x.size() < count) {
    const double v = std::pow(10.0, exponent(rng));
    x.push_back(negative(rng) ? -v : v);
  }
  return x;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

TEST(ExponentialIntegralMany, EqualsSinglePointValues) {
  const std::vector<double> all = mixed_points(1000);
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{9},
                            all.size()}) {
    const std::vector<double> x(all.begin(), all.begin() + count);
    std::vector<double> ei(count + 2, 123.0), e1(count, 0.0), e2(count, 0.0);
    sp::exponential_integral_ei_many(x, ei);
    sp::exponential_integral_en_many(1, x, e1);
    sp::exponential_integral_en_many(2, x, e2);
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(same_bits(ei[i], sp::exponential_integral_ei(x[i]))) << x[i];
      ASSERT_TRUE(same_bits(e1[i], sp::exponential_integral_en(1, x[i]))) << x[i];
      ASSERT_TRUE(same_bits(e2[i], sp::exponential_integral_en(2, x[i]))) << x[i];
    }
    EXPECT_EQ(ei[count], 123.0);  // nothing written past the points
  }
}

}  // namespace
