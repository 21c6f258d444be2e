// Background columns (every code, window ends, NaN and tiny-normaliser fallbacks, spline copy and
// its length rule) and the triangular slope fit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "em/background.hpp"
#include "errors.hpp"

namespace {

using velmora::BasisList;
using velmora::ColumnMatrix;

constexpr double kSentinel = 9.0;  // marks entries fill_background must not touch
constexpr std::size_t kK = 1;      // one peak column in front of the background

ColumnMatrix sentinel_matrix(std::size_t columns, std::size_t rows) {
  ColumnMatrix m(columns, rows);
  for (std::size_t j = 0; j < columns; ++j) {
    for (double& v : m.column(j)) v = kSentinel;
  }
  return m;
}

std::vector<double> to_vector(std::span<const double> s) { return {s.begin(), s.end()}; }

struct ColumnCase {
  const char* what;
  std::uint8_t code;
  double lo, hi, s;
  std::vector<double> x, expected;
};

const ColumnCase kColumnCases[] = {
    {"uniform, ends included", 1, 0, 4, 0, {-1, 0, 2, 4, 4.5}, {0, 0.25, 0.25, 0.25, 0}},
    {"uniform, lo == hi", 1, 3, 3, 0, {2, 3, 4}, {0, 0, 0}},
    {"uniform, hi < lo", 1, 4, 0, 0, {0, 2, 4}, {0, 0, 0}},
    {"sqrt, g = 2/3", 2, 0, 1, 0, {-0.5, 0, 0.25, 1, 1.5}, {0, 0, 0.75, 1.5, 0}},
    {"sqrt, lo < 0 gives NaN g -> 1", 2, -1, 1, 0, {-1, -0.25, 0.25, 1, 2}, {0, 0, 0.5, 1, 0}},
    {"sqrt, g = 0 -> 1", 2, 2, 2, 0, {2}, {std::sqrt(2.0)}},
    {"sqrt, |g| < 1e-300 -> 1", 2, 0, 1e-201, 0, {1e-201}, {std::sqrt(1e-201)}},
    {"triangular s = 0 is uniform", 3, 0, 4, 0, {-1, 0, 2, 4, 4.5}, {0, 0.25, 0.25, 0.25, 0}},
    {"triangular s = 0.5", 3, 0, 2, 0.5, {-1, 0, 1, 2, 3}, {0, 0.25, 0.5, 0.75, 0}},
    {"triangular s = -2 cut at 0", 3, 0, 2, -2, {0, 1, 1.5, 1.75, 2}, {1.5, 0.5, 0, 0, 0}},
    {"triangular D = 0, NaN -> 0", 3, 1, 1, 0.5, {1}, {0}},
    {"code 7 zero column", 7, 0, 1, 0, {0, 0.5, 1}, {0, 0, 0}},
    {"code 255 zero column", 255, 0, 1, 0, {0, 0.5, 1}, {0, 0, 0}},
};

TEST(FillBackground, ColumnValuesPerCode) {
  for (const auto& c : kColumnCases) {
    auto m = sentinel_matrix(kK + 1, c.x.size());
    velmora::fill_background(m, kK, c.code, c.x, c.lo, c.hi, c.s, {});
    const auto col = m.column(kK);
    for (std::size_t i = 0; i < c.x.size(); ++i) {
      EXPECT_DOUBLE_EQ(col[i], c.expected[i]) << c.what << " at x = " << c.x[i];
    }
    EXPECT_EQ(to_vector(m.column(0)), std::vector<double>(c.x.size(), kSentinel)) << c.what;
  }
}

TEST(FillBackground, SplineColumnsAreCopies) {
  const std::vector<double> x{0, 1, 2, 3};
  const BasisList basis{{1, -2, 3, 1e300}, {0.5, 0, -0.5, 7}};
  ASSERT_EQ(velmora::background_columns(4, basis), 2u);
  auto m = sentinel_matrix(kK + 2, x.size());
  velmora::fill_background(m, kK, 4, x, 0, 3, 0, basis);
  EXPECT_EQ(to_vector(m.column(kK)), basis[0]);
  EXPECT_EQ(to_vector(m.column(kK + 1)), basis[1]);
  EXPECT_EQ(to_vector(m.column(0)), std::vector<double>(4, kSentinel));

  // Code 0, and code 4 without basis vectors, write nothing.
  for (const std::uint8_t code : {0, 4}) {
    auto untouched = sentinel_matrix(kK + 1, x.size());
    velmora::fill_background(untouched, kK, code, x, 0, 3, 0, {});
    EXPECT_EQ(to_vector(untouched.column(kK)), std::vector<double>(4, kSentinel));
  }
}

TEST(FillBackground, LengthRulesThrowBeforeWriting) {
  const std::vector<double> x{0, 1, 2, 3};
  auto m = sentinel_matrix(kK + 2, x.size());
  try {
    velmora::fill_background(m, kK, 4, x, 0, 3, 0, BasisList{{1, 2, 3, 4}, {1, 2, 3}});
    FAIL() << "no exception";
  } catch (const velmora::InternalError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("basis vector 1 has 3 values"), std::string::npos) << what;
    EXPECT_NE(what.find("grid has 4"), std::string::npos) << what;
  }
  EXPECT_EQ(to_vector(m.column(kK)), std::vector<double>(4, kSentinel));

  // A matrix without room for the background column, or with fewer rows than grid values.
  auto narrow = sentinel_matrix(kK, x.size());
  EXPECT_THROW(velmora::fill_background(narrow, kK, 1, x, 0, 3, 0, {}), velmora::InternalError);
  auto short_rows = sentinel_matrix(kK + 1, x.size() - 1);
  EXPECT_THROW(velmora::fill_background(short_rows, kK, 1, x, 0, 3, 0, {}),
               velmora::InternalError);
}

// Grid of 10001 points over [0, 10] with weights equal to the triangular density of slope s.
struct SlopeSample {
  std::vector<double> x, v;
};
SlopeSample triangular_sample(double s) {
  SlopeSample out;
  for (int i = 0; i <= 10000; ++i) {
    const double xi = i * 1e-3;
    out.x.push_back(xi);
    out.v.push_back(std::fmax((1 - s) / 10 + 2 * s / 100 * xi, 0.0));
  }
  return out;
}

TEST(UpdateTriangleSlope, RecoversSlopeSlightlyAbove) {
  for (const double s : {0.1, 0.4, 0.8}) {
    const auto d = triangular_sample(s);
    const double fitted = velmora::update_triangle_slope(d.x, d.v, 0, 10);
    EXPECT_GT(fitted, s);
    EXPECT_LT(fitted, s + 0.01) << "true slope " << s;
  }
}

TEST(UpdateTriangleSlope, EndsWithoutARoot) {
  // Falling background: both end scores negative, the uniform end.
  const auto falling = triangular_sample(-0.5);
  EXPECT_EQ(velmora::update_triangle_slope(falling.x, falling.v, 0, 10), 0.0);
  // Slope 1: the maximum lies above the interval, both end scores positive.
  const auto steep = triangular_sample(1.0);
  EXPECT_EQ(velmora::update_triangle_slope(steep.x, steep.v, 0, 10), 0.99999);
  // All weights zero, or no grid value in the window: both scores 0, brentq's tie rule returns
  // the upper end at once.
  const std::vector<double> x{1, 2, 3}, zeros{0, 0, 0}, ones{1, 1, 1};
  EXPECT_EQ(velmora::update_triangle_slope(x, zeros, 0, 4), 0.99999);
  EXPECT_EQ(velmora::update_triangle_slope(x, ones, 5, 6), 0.99999);
  // A NaN weight makes both scores NaN: no search, the NaN score(0) takes the upper end.
  const std::vector<double> with_nan{1, std::numeric_limits<double>::quiet_NaN(), 1};
  EXPECT_EQ(velmora::update_triangle_slope(x, with_nan, 0, 4), 0.99999);
}

TEST(UpdateTriangleSlope, OnlyPointsWithAWeightCount) {
  auto d = triangular_sample(0.4);
  const std::vector<double> x_head(d.x.begin(), d.x.begin() + 6000);
  const std::vector<double> v_head(d.v.begin(), d.v.begin() + 6000);
  EXPECT_EQ(velmora::update_triangle_slope(d.x, v_head, 0, 10),
            velmora::update_triangle_slope(x_head, v_head, 0, 10));
  EXPECT_EQ(velmora::update_triangle_slope(x_head, d.v, 0, 10),
            velmora::update_triangle_slope(x_head, v_head, 0, 10));
}

}  // namespace
