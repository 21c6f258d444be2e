// Voigt profile: the density against SciPy from the Gaussian to the Cauchy limit and at its
// exact special cases, libcerf's two entry points, the quadrature table, the distribution
// function's branches, and the window mass against analytic and high-precision values.  Voigt
// mixture shape: its pooled densities and M-step objective against sequential evaluations.
#include <gtest/gtest.h>

#include <cerf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "em/peak_fit.hpp"
#include "special/voigt_profile.hpp"
#include "em/voigt_em.hpp"

namespace {

namespace vs = velmora::special;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = std::numeric_limits<double>::epsilon();

// |got - expected| / |expected|; 0 when both are equal (infinities included), inf when only
// one is NaN or infinite.
double relative_error(double got, double expected) {
  if (got == expected || (std::isnan(got) && std::isnan(expected))) return 0.0;
  if (!std::isfinite(got) || !std::isfinite(expected)) return kInf;
  return std::fabs(got - expected) / std::fabs(expected);
}

struct DensityCase {
  double x, sigma, gamma, expected;
};

// scipy.special.voigt_profile(x, sigma, gamma) from SciPy 1.17.1, for each (sigma, gamma) pair
// at the offsets x = r * max(sigma, gamma), r in (0, -1.7, 4, 40, 1000).  The pairs run from
// the Gaussian end (gamma / sigma = 1e-300) to the Cauchy end (sigma / gamma = 1e-300).
const DensityCase kScipyDensities[] = {
    {0.0, 1.0, 1e-300, 0.3989422804014327},
    {-1.7, 1.0, 1e-300, 0.09404907737688693},
    {4.0, 1.0, 1e-300, 0.00013383022576488512},
    {40.0, 1.0, 1e-300, 1.993178690771194e-304},
    {1000.0, 1.0, 1e-300, 3.1831084111822405e-307},
    {0.0, 1.0, 1e-12, 0.3989422804011144},
    {-1.7, 1.0, 1e-12, 0.09404907737695647},
    {4.0, 1.0, 1e-12, 0.0001338302257908545},
    {40.0, 1.0, 1e-12, 1.993178690771194e-16},
    {1000.0, 1.0, 1e-12, 3.18310841118224e-19},
    {0.0, 2.5, 1e-06, 0.15957686123100404},
    {-4.25, 2.5, 1e-06, 0.037619642077712546},
    {10.0, 2.5, 1e-06, 5.353624540515311e-05},
    {100.0, 2.5, 1e-06, 3.18908590523391e-11},
    {2500.0, 2.5, 1e-06, 5.092973457891584e-14},
    {0.0, 1.0, 0.001, 0.3986241698803355},
    {-1.7, 1.0, 0.001, 0.0941185320764701},
    {4.0, 1.0, 0.001, 0.00015979858921951918},
    {40.0, 1.0, 0.001, 1.9931786895199736e-07},
    {1000.0, 1.0, 0.001, 3.183108411179057e-10},
    {0.0, 0.7, 0.1, 0.5103578773967758},
    {-1.19, 0.7, 0.1, 0.1461701691377007},
    {2.8, 0.7, 0.1, 0.005448954136200411},
    {28.0, 0.7, 0.1, 4.067659502009312e-05},
    {700.0, 0.7, 0.1, 6.496139482082429e-08},
    {0.0, 1.0, 1.0, 0.20870928052036772},
    {-1.7, 1.0, 1.0, 0.11168061015002403},
    {4.0, 1.0, 1.0, 0.02281363525870713},
    {40.0, 1.0, 1.0, 0.00019919282570993426},
    {1000.0, 1.0, 1.0, 3.18310522805473e-07},
    {0.0, 0.3, 3.0, 0.10507260423952511},
    {-5.1, 0.3, 3.0, 0.02741465223698316},
    {12.0, 0.3, 3.0, 0.006251545851853819},
    {120.0, 0.3, 3.0, 6.62743797594694e-05},
    {3000.0, 0.3, 3.0, 1.0610319247449593e-07},
    {0.0, 1.0, 1000.0, 0.0003183095678748594},
    {-1700.0, 1.0, 1000.0, 8.182777571347613e-05},
    {4000.0, 1.0, 1000.0, 1.8724113997086075e-05},
    {40000.0, 1.0, 1000.0, 1.9881941710165659e-07},
    {1000000.0, 1.0, 1000.0, 3.1830956787517764e-10},
    {0.0, 1e-06, 1.0, 0.31830988618347233},
    {-1.7, 1e-06, 1.0, 0.08182773423751982},
    {4.0, 1e-06, 1.0, 0.018724110951990728},
    {40.0, 1e-06, 1.0, 0.00019881941672941327},
    {1000.0, 1e-06, 1.0, 3.183095678742228e-07},
    {0.0, 1e-12, 2.0, 0.15915494309189535},
    {-3.4, 1e-12, 2.0, 0.040913867118739164},
    {8.0, 1e-12, 2.0, 0.009362055475993843},
    {80.0, 1e-12, 2.0, 9.940970836470665e-05},
    {2000.0, 1e-12, 2.0, 1.591547839371114e-07},
    {0.0, 1e-300, 1.0, 0.31830988618379075},
    {-1.7, 1e-300, 1.0, 0.08182773423747834},
    {4.0, 1e-300, 1.0, 0.018724110951987692},
    {40.0, 1e-300, 1.0, 0.00019881941672941327},
    {1000.0, 1e-300, 1.0, 3.183095678742227e-07},
    {0.0, 0.004, 0.002, 69.73886759732359},
    {-0.0068, 0.004, 0.002, 28.034895173976928},
    {0.016, 0.004, 0.002, 3.1311884954218048},
    {0.16, 0.004, 0.002, 0.024910824185308454},
    {4.0, 0.004, 0.002, 3.9788845192497064e-05},
    {0.0, 250.0, 40.0, 0.0014108605945374485},
    {-425.0, 250.0, 40.0, 0.00041243490218343087},
    {1000.0, 250.0, 40.0, 1.700269010896105e-05},
    {10000.0, 250.0, 40.0, 1.2756138624252802e-07},
    {250000.0, 250.0, 40.0, 2.0371893310042212e-10},
};

TEST(VoigtDensity, AgreesWithScipyFromGaussianToCauchyLimit) {
  for (const DensityCase& c : kScipyDensities) {
    EXPECT_LE(relative_error(vs::voigt_density(c.x, c.sigma, c.gamma), c.expected), 1e-13)
        << "x=" << c.x << " sigma=" << c.sigma << " gamma=" << c.gamma;
  }
}

TEST(VoigtDensity, ExactZeroWidthsUseTheClosedForms) {
  // scipy.special.voigt_profile(0.7, 1.3, 0) and (0.7, 0, 2.0), SciPy 1.17.1.
  EXPECT_LE(relative_error(vs::voigt_density(0.7, 1.3, 0.0), 0.2654647509564369), 1e-15);
  EXPECT_LE(relative_error(vs::voigt_density(0.7, 0.0, 2.0), 0.14178614083910498), 1e-15);
  for (const double x : {0.0, 0.7, -2.3, 40.0, 1e200}) {
    const double r = x / 1.3;
    EXPECT_EQ(vs::voigt_density(x, 1.3, 0.0), 0.3989422804014327 / 1.3 * std::exp(-r * r * 0.5));
    EXPECT_EQ(vs::voigt_density(x, 0.0, 2.0), (2.0 / 3.141592653589793) / (2.0 * 2.0 + x * x));
  }
}

TEST(VoigtDensity, BothWidthsZeroIsAPointMass) {
  EXPECT_EQ(vs::voigt_density(0.0, 0.0, 0.0), kInf);
  EXPECT_EQ(vs::voigt_density(-0.0, 0.0, 0.0), kInf);
  for (const double x : {1e-300, -2.0, kInf, -kInf}) EXPECT_EQ(vs::voigt_density(x, 0.0, 0.0), 0.0);
  EXPECT_TRUE(std::isnan(vs::voigt_density(kNaN, 0.0, 0.0)));
}

TEST(VoigtDensity, NanWidthCountsAsNonZero) {
  // A NaN width never selects a closed form that ignores it.
  for (const auto& [sigma, gamma] : {std::pair{kNaN, 0.0}, {0.0, kNaN}, {kNaN, 1.0}, {1.0, kNaN}}) {
    EXPECT_TRUE(std::isnan(vs::voigt_density(0.5, sigma, gamma))) << sigma << " " << gamma;
  }
}

TEST(Faddeeva, RealPartEntryPointGivesTheBitsOfTheComplexFunction) {
  for (int i = -600; i <= 600; ++i) {
    const double x = i * 0.1 + 0.003;
    for (const double y : {1e-12, 1e-4, 0.07, 0.7071067811865476, 1.0, 5.2, 30.0, 1e4, 1e150}) {
      double _Complex z;
      __real__ z = x;
      __imag__ z = y;
      EXPECT_EQ(re_w_of_z(x, y), __real__ w_of_z(z)) << x << " " << y;
    }
  }
}

TEST(QuadratureTable, IsTheHundredPointGaussLegendreRuleOnTheUnitInterval) {
  double sum = 0.0;
  for (std::size_t i = 0; i < vs::kVoigtQuadratureSize; ++i) {
    sum += vs::kVoigtWeights[i];
    EXPECT_GT(vs::kVoigtWeights[i], 0.0);
    EXPECT_GT(vs::kVoigtNodes[i], i == 0 ? 0.0 : vs::kVoigtNodes[i - 1]);
  }
  EXPECT_LT(vs::kVoigtNodes.back(), 1.0);
  EXPECT_NEAR(sum, 1.0, 4 * kEps);
  // sum_i W_i P_k(2 t_i - 1) = int_0^1 P_k(2t - 1) dt = [k == 0] for every Legendre polynomial
  // of degree k < 200; degree 200 is the first the rule cannot integrate.
  for (int k = 0; k <= 200; ++k) {
    double q = 0.0;
    for (std::size_t i = 0; i < vs::kVoigtQuadratureSize; ++i) {
      const double s = 2.0 * vs::kVoigtNodes[i] - 1.0;
      double p_prev = 1.0, p = s;
      for (int j = 1; j < k; ++j) {
        const double next = ((2 * j + 1) * s * p - j * p_prev) / (j + 1);
        p_prev = p;
        p = next;
      }
      q += vs::kVoigtWeights[i] * (k == 0 ? 1.0 : p);
    }
    if (k < 200) {
      EXPECT_NEAR(q, k == 0 ? 1.0 : 0.0, 1e-15) << "degree " << k;
    } else {
      EXPECT_GT(std::fabs(q), 1e-2) << "degree 200 integrated exactly: not a 100-point rule";
    }
  }
}

// P(X < b) as a sum over the half-line on the far side of b, in the documented order.
double reference_cdf(double b, double x0, double sigma, double gamma) {
  const bool left = x0 >= b;
  double sum = 0.0;
  for (std::size_t i = 0; i < vs::kVoigtQuadratureSize; ++i) {
    const double t = vs::kVoigtNodes[i];
    const double u = t / (1.0 - t);
    const double d = left ? vs::voigt_density(b - u - x0, sigma, gamma)
                          : vs::voigt_density(u + b - x0, sigma, gamma);
    sum += d * vs::kVoigtWeights[i] * (1.0 / ((1.0 - t) * (1.0 - t)));
  }
  return left ? sum : 1.0 - sum;
}

TEST(VoigtCdf, SumsTheFarHalfLineInOrderAndTakesTheLeftBranchAtTheCentre) {
  for (const double b : {-3.0, 1.25, 1.25 + 1e-15, 2.0, 9.5}) {
    EXPECT_EQ(vs::voigt_cdf(b, 1.25, 0.8, 0.35), reference_cdf(b, 1.25, 0.8, 0.35)) << b;
  }
  const double at_centre = vs::voigt_cdf(1.25, 1.25, 1.0, 1.0);
  EXPECT_NEAR(at_centre, 0.5, 2 * kEps);
}

TEST(VoigtCdf, MatchesTheNormalAndCauchyDistributionFunctions) {
  for (const double b : {-40.0, -4.0, -0.3, 0.0, 0.9, 6.0, 45.0}) {
    const double d = b - 0.6;
    const double normal = 0.5 * std::erfc(-d / (1.7 * std::sqrt(2.0)));
    const double cauchy = 0.5 + std::atan(d / 0.9) / std::numbers::pi;
    EXPECT_NEAR(vs::voigt_cdf(b, 0.6, 1.7, 0.0), normal, 4e-16) << b;
    EXPECT_NEAR(vs::voigt_cdf(b, 0.6, 0.0, 0.9), cauchy, 4e-16) << b;
  }
}

struct MassCase {
  double x0, sigma, gamma, x_min, x_max, expected;
};

// The mass of the window from mpmath (30 digits): the normal expectation of the Cauchy mass,
// quad(npdf(z) * (atan((x_max - x0 - sigma z) / gamma) - atan((x_min - x0 - sigma z) / gamma))
// / pi), split at z = (x_min - x0) / sigma, (x_max - x0) / sigma, -8, 0 and 8.
const MassCase kMpmathMasses[] = {
    {0.0, 1.0, 1.0, -5.0, 5.0, 0.86901587356539430432},
    {2.0, 0.7, 0.2, -3.0, 4.5, 0.95871337107744914956},
    {10.0, 0.05, 0.3, 9.0, 12.0, 0.85960258568205973399},
    {-1.0, 3.0, 0.5, 0.5, 2.0, 0.13673157631637412354},
    {0.0, 1.5, 0.01, -40.0, 40.0, 0.99984062029770289801},
};

TEST(VoigtWindowMass, MatchesHighPrecisionValues) {
  for (const MassCase& c : kMpmathMasses) {
    EXPECT_NEAR(vs::voigt_window_mass(c.x0, c.sigma, c.gamma, c.x_min, c.x_max), c.expected,
                4 * kEps)
        << c.x0 << " " << c.sigma << " " << c.gamma;
  }
}

TEST(VoigtWindowMass, WideWindowHoldsAllTheMass) {
  // A window of half width L misses the Cauchy tail mass 2 gamma / (pi L), so gamma is kept
  // small enough that the whole miss is below 1e-10.
  for (const auto& [sigma, gamma] :
       {std::pair{1.0, 0.0}, {1.0, 1e-9}, {0.2, 1e-12}, {3.0, 1e-10}}) {
    EXPECT_NEAR(vs::voigt_window_mass(3.7, sigma, gamma, 3.7 - 60.0, 3.7 + 60.0), 1.0, 1e-10)
        << sigma << " " << gamma;
  }
}

TEST(VoigtWindowMass, TendsToTheNormalAndCauchyMassesInTheLimits) {
  const double x0 = 0.4, lo = -1.1, hi = 2.3, s = 1.0, g = 1.0;
  const double root2 = std::sqrt(2.0);
  const double normal =
      0.5 * std::erfc(-(hi - x0) / (s * root2)) - 0.5 * std::erfc(-(lo - x0) / (s * root2));
  const double cauchy = (std::atan((hi - x0) / g) - std::atan((lo - x0) / g)) / std::numbers::pi;
  // The mass departs from the normal one linearly in gamma (slope about -0.45 here) and from
  // the Cauchy one quadratically in sigma (about -0.074 sigma^2).
  for (const double e : {1e-2, 1e-4, 1e-8, 1e-12}) {
    EXPECT_NEAR(vs::voigt_window_mass(x0, s, e, lo, hi), normal, e + 4 * kEps) << e;
    EXPECT_NEAR(vs::voigt_window_mass(x0, e, g, lo, hi), cauchy, e * e + 4 * kEps) << e;
  }
  EXPECT_NEAR(vs::voigt_window_mass(x0, s, 0.0, lo, hi), normal, 4 * kEps);
  EXPECT_NEAR(vs::voigt_window_mass(x0, 0.0, g, lo, hi), cauchy, 4 * kEps);
}

TEST(VoigtWindowMass, IsNeitherClippedNorFloored) {
  const double mass = vs::voigt_window_mass(0.3, 0.9, 0.4, -2.0, 1.5);
  EXPECT_EQ(vs::voigt_window_mass(0.3, 0.9, 0.4, 1.5, -2.0), -mass);  // inverted window
  // Far in a normal tail both ends have distribution value 1: the mass cancels to 0.
  EXPECT_EQ(vs::voigt_window_mass(0.0, 1.0, 0.0, 40.0, 41.0), 0.0);
  // Far in a Cauchy tail a small value remains, computed as a difference of two numbers near 1.
  const double tail = vs::voigt_window_mass(0.0, 0.0, 1.0, 1e3, 1e3 + 1.0);
  EXPECT_NEAR(tail, 1.0 / (std::numbers::pi * 1e3 * 1e3), 1e-9);
}

TEST(VoigtProfile, NanArgumentsGiveNan) {
  EXPECT_TRUE(std::isnan(vs::voigt_density(kNaN, 1.0, 1.0)));
  EXPECT_TRUE(std::isnan(vs::voigt_cdf(kNaN, 0.0, 1.0, 1.0)));
  EXPECT_TRUE(std::isnan(vs::voigt_cdf(0.0, kNaN, 1.0, 1.0)));
  EXPECT_TRUE(std::isnan(vs::voigt_window_mass(0.0, 1.0, kNaN, -1.0, 1.0)));
  EXPECT_TRUE(std::isnan(vs::voigt_window_mass(0.0, 1.0, 1.0, kNaN, 1.0)));
}

// A grid of 1500 points (three blocks of the pooled loops) with smooth counts of two peaks.
struct Sample {
  std::vector<double> x, w;
  Sample() {
    for (int i = 0; i < 1500; ++i) {
      x.push_back(-5.0 + i * 0.02);
      w.push_back(std::round(4e3 * vs::voigt_density(x.back() - 3.0, 0.6, 0.4) +
                             2e3 * vs::voigt_density(x.back() - 12.0, 0.3, 0.9)) + 1.0);
    }
  }
};

TEST(VoigtShape, DensitiesAreTheProfileOverTheFlooredWindowMass) {
  const Sample s;
  const velmora::voigt::VoigtBounds bounds{-5.0, 25.0, 0.05, 5.0, 0.05, 5.0};
  // The third component is a normal peak far outside the window: its mass is exactly 0.
  const std::vector<double> x0{3.0, 12.0, 5e3}, sigma{0.6, 0.3, 1.0}, gamma{0.4, 0.9, 0.0};
  const velmora::Flags none(3, 0);
  const velmora::voigt::VoigtShape shape(x0, sigma, gamma, none, none, none, bounds);
  velmora::ColumnMatrix density(3, s.x.size());
  shape.fill_densities(s.x, density);
  for (std::size_t k = 0; k < 3; ++k) {
    double mass = vs::voigt_window_mass(x0[k], sigma[k], gamma[k], bounds.x_min, bounds.x_max);
    if (!(mass > 1e-300)) mass = 1e-300;
    for (std::size_t j = 0; j < s.x.size(); ++j) {
      ASSERT_EQ(density.column(k)[j], vs::voigt_density(s.x[j] - x0[k], sigma[k], gamma[k]) / mass)
          << k << " " << j;
    }
  }
}

TEST(VoigtFit, PooledObjectiveGivesTheFitOfTheSequentialLogLikelihood) {
  const Sample s;
  const velmora::voigt::VoigtBounds bounds{-5.0, 25.0, 0.05, 0.5, 0.05, 5.0};  // sigma_max active
  const std::vector<double> w(s.w.begin(), s.w.end() - 7);  // fewer weights than grid points
  // LV summed point by point in index order, the window mass computed once per call.
  const auto sequential = [&](const std::array<double, 3>& p) {
    double mass = vs::voigt_window_mass(p[0], p[1], p[2], bounds.x_min, bounds.x_max);
    if (!(mass > 1e-300)) mass = 1e-300;
    double ll = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      ll += w[i] * std::log(vs::voigt_density(s.x[i] - p[0], p[1], p[2]) / mass + 1e-200);
    }
    return ll;
  };
  for (const std::array<bool, 3> fixed :
       {std::array{false, false, false}, {true, false, false}, {false, true, true}}) {
    const std::array<double, 3> start{2.6, 0.8, 0.7};
    velmora::peak_fit::FreeParameters<3> free(start, fixed);
    free.bound(0, start[0], bounds.x_min, bounds.x_max);
    free.bound(1, start[1], bounds.sigma_min, bounds.sigma_max);
    free.bound(2, start[2], bounds.gamma_min, bounds.gamma_max);
    const auto result = velmora::peak_fit::minimise_from_passes(
        free, [&](std::span<const std::array<double, 3>> sets, std::span<double> ll) {
          for (std::size_t j = 0; j < sets.size(); ++j) ll[j] = sequential(sets[j]);
        });
    ASSERT_TRUE(result.ok());
    std::array<double, 3> expected = free.full(result.point);
    if (!fixed[1]) expected[1] = std::clamp(expected[1], bounds.sigma_min, bounds.sigma_max);
    if (!fixed[2]) expected[2] = std::clamp(expected[2], bounds.gamma_min, bounds.gamma_max);
    EXPECT_EQ(velmora::voigt::voigt_fit(s.x, w, start, fixed, bounds), expected);
  }
}

}  // namespace
