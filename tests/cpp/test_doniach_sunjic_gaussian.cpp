// The Doniach-Sunjic line broadened by a Gaussian: its profile against a direct convolution of
// the Doniach-Sunjic line with the Gaussian by adaptive quadrature, against the Voigt line at
// alpha = 0 and the Doniach-Sunjic line at sigma = 0; its window mass against an adaptive
// integral of the profile; its full width both ways, and held.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <string>
#include <vector>

#include "shapes/doniach_sunjic.hpp"
#include "shapes/doniach_sunjic_gaussian.hpp"
#include "shapes/peak_quantities.hpp"
#include "shapes/registry.hpp"

namespace {

namespace sh = velmora::shapes;
namespace dsg = velmora::doniach_sunjic_gaussian;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kRadius = 8.5;  // the disc |z| < R inside which the shape uses its quadrature

std::size_t code_of(const char* name) {
  for (std::size_t c = 0; c < sh::all_shapes().size(); ++c) {
    if (std::string(sh::all_shapes()[c]->name) == name) return c;
  }
  return sh::kNoPrimary;
}

// Gauss-Kronrod (7, 15) on [a, b]: the Kronrod sum, and its difference from the Gauss sum.
template <class F>
std::pair<double, double> kronrod(const F& f, double a, double b) {
  static constexpr std::array<double, 8> xk{
      0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
      0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
      0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
      0.207784955007898467600689403773245, 0.0};
  static constexpr std::array<double, 8> wk{
      0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
      0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
      0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
      0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
  static constexpr std::array<double, 4> wg{
      0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
      0.381830050505118944950369775488975, 0.417959183673469387755102040816327};
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  double k = wk[7] * f(mid), g = wg[3] * f(mid);
  for (std::size_t i = 0; i < 7; ++i) {
    const double pair = f(mid - half * xk[i]) + f(mid + half * xk[i]);
    k += wk[i] * pair;
    if (i % 2 == 1) g += wg[i / 2] * pair;
  }
  return {k * half, std::fabs(k - g) * half};
}

// Globally adaptive quadrature of f over [a, b]: the interval of largest error estimate is
// halved until the estimates add up to 1e-15 of the integral, or after 2000 halvings.
template <class F>
double adaptive(const F& f, double a, double b) {
  struct Piece {
    double a, b, value, error;
  };
  std::vector<Piece> pieces;
  const auto [v, e] = kronrod(f, a, b);
  pieces.push_back({a, b, v, e});
  for (int split = 0; split < 2000; ++split) {
    double total = 0.0, error = 0.0;
    std::size_t worst = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      total += pieces[i].value;
      error += pieces[i].error;
      if (pieces[i].error > pieces[worst].error) worst = i;
    }
    if (error <= 1e-15 * std::fabs(total)) break;
    const Piece p = pieces[worst];
    const double mid = 0.5 * (p.a + p.b);
    const auto [lv, le] = kronrod(f, p.a, mid);
    const auto [rv, re] = kronrod(f, mid, p.b);
    pieces[worst] = {p.a, mid, lv, le};
    pieces.push_back({mid, p.b, rv, re});
  }
  double total = 0.0;
  for (const Piece& p : pieces) total += p.value;
  return total;
}

// The Doniach-Sunjic line convolved with the Gaussian, directly: int q(d - s) g_sigma(s) ds
// over |s| < 40 sigma, split where the line peaks so that a narrow line is not missed.
double direct_convolution(double d, double gamma, double alpha, double sigma) {
  const velmora::doniach_sunjic::DsKernel ds(0.0, gamma, alpha);
  auto integrand = [&](double s) {
    const std::array<double, 1> at{d - s};
    std::array<double, 1> q{};
    ds.fill(at, q, 0, 1);
    return q[0] * std::exp(-0.5 * (s / sigma) * (s / sigma)) /
           (sigma * std::sqrt(2.0 * std::numbers::pi));
  };
  const double angle = std::numbers::pi / (2.0 - alpha);
  const double summit = d - gamma * std::cos(angle) / std::sin(angle);  // where q(d - s) peaks
  std::vector<double> cuts{-40.0 * sigma, 40.0 * sigma};
  for (const double c : {summit - 10.0 * gamma, summit, summit + 10.0 * gamma}) {
    if (std::fabs(c) < 40.0 * sigma) cuts.push_back(c);
  }
  std::sort(cuts.begin(), cuts.end());
  double sum = 0.0;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    sum += adaptive(integrand, cuts[i], cuts[i + 1]);
  }
  return sum;
}

// The profile against the direct convolution, relative to its largest value, at offsets across
// the line, on both sides of the edge of the disc where the method changes, and in the far
// tails (the window's other edge seen from a peak at one edge): a line far wider than its
// Gaussian part, one far narrower, and a strongly asymmetric one.
TEST(DoniachSunjicGaussian, AgreesWithADirectConvolution) {
  struct Case {
    double gamma, alpha, sigma;
  };
  for (const Case& c : {Case{1.0, 0.3, 0.01}, Case{1.0, 0.3, 100.0}, Case{1.0, 0.45, 1.7},
                        Case{0.8, 0.45, 0.2}, Case{2.0, 0.05, 6.0}}) {
    const dsg::DsgKernel kernel(c.gamma, c.alpha, c.sigma);
    const double width = c.gamma + c.sigma;
    std::vector<double> offsets;
    for (int k = -24; k <= 24; ++k) offsets.push_back(0.5 * width * k);
    if (c.gamma < kRadius * c.sigma) {
      const double edge = c.sigma * std::sqrt(kRadius * kRadius - (c.gamma / c.sigma) *
                                                                      (c.gamma / c.sigma));
      for (const double f : {0.999, 1.001}) {
        offsets.push_back(f * edge);
        offsets.push_back(-f * edge);
      }
    }
    for (const double far : {-300.0, -40.0, 40.0, 300.0}) offsets.push_back(far * width);
    double top = 0.0, worst = 0.0, worst_at = 0.0;
    std::vector<double> expected;
    for (const double d : offsets) {
      expected.push_back(direct_convolution(d, c.gamma, c.alpha, c.sigma));
      top = std::max(top, expected.back());
    }
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      const double error = std::fabs(kernel.value(offsets[i]) - expected[i]) / top;
      if (error > worst) {
        worst = error;
        worst_at = offsets[i];
      }
    }
    EXPECT_LT(worst, 1e-12) << c.gamma << " " << c.alpha << " " << c.sigma << " at " << worst_at;
  }
}

// At alpha = 0 the line is the Voigt line: the two densities on one window, for a nearly
// Lorentzian, a balanced and a nearly Gaussian line, centred and near the window's edge.
// At sigma = 0 it is the Doniach-Sunjic line to the bit, and close to it for small sigma.
TEST(DoniachSunjicGaussian, IsTheVoigtAtNoAsymmetryAndTheDoniachSunjicAtNoGaussian) {
  std::vector<double> x(401);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = -200.0 + static_cast<double>(i);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  const sh::ShapeEntry& voigt = sh::shape(code_of("voigt"));
  const sh::ShapeEntry& ds = sh::shape(code_of("doniach_sunjic"));
  const sh::ShapeEntry& shape = sh::shape(code_of("doniach_sunjic_gaussian"));
  std::vector<double> got(x.size()), expected(x.size());
  // The largest difference over the largest value, of the densities scaled to agree at their
  // largest value (the Voigt's own window mass is a quadrature, to about 1e-9 here).
  auto worst_of_peak = [&] {
    const std::size_t top = static_cast<std::size_t>(
        std::max_element(expected.begin(), expected.end()) - expected.begin());
    const double scale = got[top] / expected[top];
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      worst = std::max(worst, std::fabs(got[i] - scale * expected[i]) / got[top]);
    }
    return worst;
  };
  for (const double centre : {3.3, 195.0}) {
    for (const auto& [gamma, sigma] : {std::pair{5.0, 0.05}, {3.0, 3.0}, {0.04, 4.0}}) {
      const double p[4] = {centre, gamma, 0.0, sigma};
      const double q[3] = {centre, sigma, gamma};
      shape.density(x, p, ctx, got);
      voigt.density(x, q, ctx, expected);
      EXPECT_LT(worst_of_peak(), 1e-12) << centre << " " << gamma << " " << sigma;
    }
  }
  for (const double alpha : {0.0, 0.2, 0.45}) {
    const double q[3] = {-12.0, 4.0, alpha};
    ds.density(x, q, ctx, expected);
    const double none[4] = {-12.0, 4.0, alpha, 0.0};
    shape.density(x, none, ctx, got);
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_EQ(got[i], expected[i]) << alpha << " at " << x[i];
    }
    const double little[4] = {-12.0, 4.0, alpha, 1e-6};
    shape.density(x, little, ctx, got);
    EXPECT_LT(worst_of_peak(), 1e-12) << alpha;
  }
}

// The window mass against an adaptive integral of the profile, with the window's edges inside
// the quadrature's disc and outside it, the peak inside the window, at its edge and beyond it,
// for a line without a Lorentzian part too; the density then integrates to 1 over the window.
TEST(DoniachSunjicGaussian, WindowMassIsTheIntegralOfTheProfile) {
  struct Case {
    double x0, gamma, alpha, sigma;
  };
  const double lo = -100.0, hi = 100.0;
  for (const Case& c : {Case{0.0, 2.0, 0.3, 3.0}, Case{96.0, 1.0, 0.45, 4.0},
                        Case{-97.0, 0.02, 0.45, 2.0}, Case{130.0, 2.0, 0.2, 5.0},
                        Case{-20.0, 0.0, 0.3, 1.5}, Case{10.0, 3.0, 0.45, 0.03},
                        Case{5.0, 0.5, 0.0, 30.0}}) {
    const dsg::DsgKernel kernel(c.gamma, c.alpha, c.sigma);
    auto profile = [&](double x) { return kernel.value(x - c.x0); };
    // Cut where the profile changes fast, so that the tolerance is met everywhere.
    std::vector<double> cuts{lo, hi};
    for (const double k : {-10.0, -1.0, 0.0, 1.0, 10.0}) {
      const double at = c.x0 + k * (c.gamma + c.sigma);
      if (at > lo && at < hi) cuts.push_back(at);
    }
    std::sort(cuts.begin(), cuts.end());
    double expected = 0.0;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      expected += adaptive(profile, cuts[i], cuts[i + 1]);
    }
    const double mass = kernel.integral(lo - c.x0, hi - c.x0);
    EXPECT_NEAR(mass / expected, 1.0, 1e-12) << c.x0 << " " << c.gamma << " " << c.sigma;
    EXPECT_EQ(kernel.integral(hi - c.x0, lo - c.x0), -mass);
  }
}

// The full width: the gamma it gives back is the gamma it came from; the report's reading of
// the profile (its own search) is the same width; and a peak held at a width narrower than its
// Gaussian part allows is the line of gamma = 0 with sigma narrowed, on both sides of that edge.
TEST(DoniachSunjicGaussian, FullWidthBothWaysAndHeld) {
  std::vector<double> x(401);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = -200.0 + static_cast<double>(i);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  const std::size_t code = code_of("doniach_sunjic_gaussian");
  const std::size_t variant = sh::fwhm_variant_code(code);
  auto read_width = [&](std::size_t c, const std::array<double, 4>& p) {
    std::vector<double> density(x.size());
    sh::shape(c).density(x, p.data(), ctx, density);
    return sh::peak_quantities(sh::shape(c), p.data(), ctx, x, density).fwhm;
  };
  struct Case {
    double gamma, alpha, sigma;
  };
  for (const Case& c : {Case{3.0, 0.3, 0.05}, Case{3.0, 0.45, 3.0}, Case{0.05, 0.2, 4.0},
                        Case{8.0, 0.0, 2.0}}) {
    const double fwhm = dsg::dsg_fwhm(c.gamma, c.alpha, c.sigma);
    double sigma = c.sigma;
    EXPECT_NEAR(dsg::gamma_from_fwhm(fwhm, c.alpha, sigma) / c.gamma, 1.0, 1e-12) << c.gamma;
    EXPECT_EQ(sigma, c.sigma);
    EXPECT_NEAR(read_width(code, {-7.0, c.gamma, c.alpha, c.sigma}) / fwhm, 1.0, 1e-12);
    EXPECT_NEAR(read_width(variant, {-7.0, fwhm, c.alpha, c.sigma}) / fwhm, 1.0, 1e-12);
  }
  // At sigma = 0 the Doniach-Sunjic width.
  EXPECT_NEAR(dsg::dsg_fwhm(2.0, 0.3, 0.0) / (2.0 * velmora::doniach_sunjic::ds_unit_fwhm(0.3)),
              1.0, 1e-13);
  const double alpha = 0.3, fwhm = 6.0;
  const double widest = fwhm / dsg::dsg_fwhm(0.0, alpha, 1.0);
  for (const double share : {1.002, 0.998}) {
    double sigma = share * widest;
    const double gamma = dsg::gamma_from_fwhm(fwhm, alpha, sigma);
    if (share > 1.0) {
      EXPECT_EQ(gamma, 0.0);
      EXPECT_EQ(sigma, widest);
    } else {
      EXPECT_GT(gamma, 0.0);
      EXPECT_LT(gamma, 0.05 * fwhm);
      EXPECT_EQ(sigma, share * widest);
    }
    EXPECT_NEAR(read_width(variant, {10.0, fwhm, alpha, share * widest}) / fwhm, 1.0, 1e-12)
        << share;
  }
}

// Parameters outside the shape give NaN, never a crash or a hang.
TEST(DoniachSunjicGaussian, BadParametersGiveNaN) {
  for (const auto& [gamma, alpha, sigma] :
       {std::array{-1.0, 0.3, 1.0}, {1.0, 1.0, 1.0}, {1.0, 0.3, -1.0}, {kNaN, 0.3, 1.0},
        {1.0, kNaN, 1.0}, {1.0, 0.3, std::numeric_limits<double>::infinity()}}) {
    const dsg::DsgKernel kernel(gamma, alpha, sigma);
    EXPECT_TRUE(std::isnan(kernel.value(0.5))) << gamma << " " << alpha << " " << sigma;
    EXPECT_TRUE(std::isnan(kernel.integral(-5.0, 5.0)));
  }
  for (const auto& [fwhm, alpha, sigma] :
       {std::array{-3.0, 0.3, 1.0}, {kNaN, 0.3, 1.0}, {3.0, 1.0, 1.0}, {3.0, 0.3, -1.0},
        {3.0, kNaN, 1.0}, {3.0, 0.3, kNaN}}) {
    double s = sigma;
    EXPECT_TRUE(std::isnan(dsg::gamma_from_fwhm(fwhm, alpha, s))) << fwhm << " " << alpha;
  }
  EXPECT_TRUE(std::isnan(dsg::DsgKernel(1.0, 0.3, 1.0).value(kNaN)));
}

}  // namespace
