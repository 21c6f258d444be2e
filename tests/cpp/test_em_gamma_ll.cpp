// E-step and mixing-weight update on hand-made matrices with known answers.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "em/em_gamma_ll.hpp"
#include "errors.hpp"

using velmora::ColumnMatrix;

namespace {

ColumnMatrix matrix(const std::vector<std::vector<double>>& columns) {
  ColumnMatrix m(columns.size(), columns.empty() ? 0 : columns[0].size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    for (std::size_t i = 0; i < columns[j].size(); ++i) m.column(j)[i] = columns[j][i];
  }
  return m;
}

// Responsibility matrix whose column sums, weighted by unit intensities, are `counts`.
std::vector<double> weights_after(const std::vector<double>& counts,
                                  const std::vector<double>& alpha) {
  ColumnMatrix resp(counts.size(), 1);
  for (std::size_t j = 0; j < counts.size(); ++j) resp.column(j)[0] = counts[j];
  std::vector<double> pi(counts.size(), 0.5);
  const std::vector<double> intensity{1.0};
  velmora::update_mixing_weights(pi, intensity, resp, alpha);
  return pi;
}

}  // namespace

TEST(EStep, SingleUnitColumnGivesZeroLikelihood) {
  const auto density = matrix({{1.0, 1.0, 1.0}});
  ColumnMatrix resp(1, 3);
  std::vector<double> mixture(3), pi{1.0}, intensity{2.0, 3.0, 4.0};
  EXPECT_EQ(velmora::e_step(intensity, density, pi, mixture, resp), 0.0);
  for (double r : resp.column(0)) EXPECT_EQ(r, 1.0);  // 1 / (1 + 1e-20) rounds to 1
}

TEST(EStep, PointWithoutDensityContributesTheFloor) {
  const auto density = matrix({{0.0, 0.5}, {0.0, 0.25}});
  ColumnMatrix resp(2, 2);
  std::vector<double> mixture(2), pi{0.5, 0.5}, intensity{3.0, 0.0};
  const double ll = velmora::e_step(intensity, density, pi, mixture, resp);
  EXPECT_EQ(ll, 3.0 * std::log(1e-200));
  EXPECT_EQ(resp.column(0)[0], 0.0);
  EXPECT_EQ(resp.column(1)[0], 0.0);
  EXPECT_EQ(mixture[1], 0.375);
  EXPECT_EQ(resp.column(0)[1], 0.25 / (0.375 + 1e-20));
}

TEST(EStep, ShortInputsAndLengthRules) {
  const auto density = matrix({{0.5, 0.5, 0.5}, {0.1, 0.1, 0.1}});
  ColumnMatrix resp(2, 3);
  std::vector<double> mixture(3);
  // pi shorter than the columns: the second column stays out and keeps zero responsibilities.
  std::vector<double> one{1.0}, intensity{1.0, 1.0};
  EXPECT_EQ(velmora::e_step(intensity, density, one, mixture, resp), 2.0 * std::log(0.5 + 1e-200));
  EXPECT_EQ(resp.column(1)[0], 0.0);
  EXPECT_EQ(resp.column(0)[2], 0.0);  // points beyond the intensities are not written
  std::vector<double> empty;
  EXPECT_EQ(velmora::e_step(empty, density, one, mixture, resp), 0.0);

  std::vector<double> three{0.2, 0.3, 0.5}, long_intensity(4, 1.0);
  EXPECT_THROW(velmora::e_step(intensity, density, three, mixture, resp), velmora::InternalError);
  EXPECT_THROW(velmora::e_step(long_intensity, density, one, mixture, resp),
               velmora::InternalError);
}

TEST(MixingWeights, DirichletMapWithClipping) {
  EXPECT_EQ(weights_after({3.0, 1.0}, {1.0, 1.0}), (std::vector<double>{0.75, 0.25}));
  // v = (-0.5, 3.5), S = 3, q = (-1/6, 7/6) clipped to (0, 7/6): pi = (0, 1).
  EXPECT_EQ(weights_after({0.0, 4.0}, {0.5, 0.5}), (std::vector<double>{0.0, 1.0}));
  // Every v is 0: every q is NaN and becomes 0, T = 0, so every weight is NaN.
  for (double w : weights_after({0.0, 0.0}, {1.0, 1.0})) EXPECT_TRUE(std::isnan(w));
  // A zero count with a prior above one still gets weight.
  const auto w = weights_after({0.0, 2.0}, {3.0, 1.0});
  EXPECT_DOUBLE_EQ(w[0], 0.5);
}

TEST(MixingWeights, ConcentrationsMustCoverPi) {
  ColumnMatrix resp(2, 1);
  std::vector<double> pi{0.5, 0.5}, intensity{1.0}, alpha{1.0};
  EXPECT_THROW(velmora::update_mixing_weights(pi, intensity, resp, alpha), velmora::InternalError);
  EXPECT_EQ(pi, (std::vector<double>{0.5, 0.5}));
  std::vector<double> none;
  velmora::update_mixing_weights(none, intensity, resp, alpha);  // nothing to do
}
