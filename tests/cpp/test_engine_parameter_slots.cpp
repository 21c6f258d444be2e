// The engine with a shape of five parameters, as many as the registry holds room for: its score
// and observed information, formed from the densities shifted in every parameter slot, against
// differences of its own log-likelihood; and its report when the shape gives its derivatives
// itself (every shifted density then comes from them) against the report when it does not.
// A table of the engine sized or filled for fewer slots would read another parameter's
// shifted density, or none, for the last ones.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "engine/engine.hpp"
#include "shapes/registry.hpp"

namespace {

namespace sh = velmora::shapes;
namespace en = velmora::engine;

static_assert(sh::kMaxShapeParams >= 5, "the registry holds room for shapes of five parameters");

// A peak with a satellite, each of its five parameters with its own part: a normal line of
// centre p0 and width p1, and p2 times one at p0 + p3 of width p1 p4,
//   f(u) = g((u - p0) / p1) / p1 + p2 g((u - p0 - p3) / (p1 p4)) / (p1 p4),  g(z) = exp(-z^2 / 2).
void density(std::span<const double> x, const double* p, const sh::ShapeContext&,
             std::span<double> out) {
  const double satellite = p[1] * p[4];
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double z = (x[i] - p[0]) / p[1];
    const double y = (x[i] - p[0] - p[3]) / satellite;
    out[i] = std::exp(-0.5 * z * z) / p[1] + p[2] * std::exp(-0.5 * y * y) / satellite;
  }
}

void start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = fwhm;
  p[2] = p[3] = p[4] = 0.0;
}

// The derivatives of `density` as a shape gives them in closed form (here by central
// differences of steps far below the engine's own, accurate to about 1e-9).
bool derivatives(std::span<const double> x, const double* p, const sh::ShapeContext& ctx,
                 std::span<double> first, std::span<double> second) {
  constexpr std::size_t k = 5;
  constexpr double h = 1e-5;
  const std::size_t n = x.size();
  std::vector<double> f0(n), fa(n), fb(n), fab(n), fba(n);
  density(x, p, ctx, f0);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) {
      std::vector<double> q(p, p + k);
      const auto at = [&](double da, double db, std::vector<double>& out) {
        q.assign(p, p + k);
        q[a] += da;
        q[b] += db;
        density(x, q.data(), ctx, out);
      };
      at(h, h, fa);
      at(h, -h, fb);
      at(-h, h, fab);
      at(-h, -h, fba);
      for (std::size_t i = 0; i < n; ++i) {
        second[(a * k + b) * n + i] = (fa[i] - fb[i] - fab[i] + fba[i]) / (4.0 * h * h);
      }
    }
    std::vector<double> q(p, p + k);
    q[a] = p[a] + h;
    density(x, q.data(), ctx, fa);
    q[a] = p[a] - h;
    density(x, q.data(), ctx, fb);
    for (std::size_t i = 0; i < n; ++i) first[a * n + i] = (fa[i] - fb[i]) / (2.0 * h);
  }
  return true;
}

constexpr sh::ParamInfo plain(const char* name) {
  return {.name = name,
          .kind = sh::Kind::plain,
          .natural_lo = -sh::kUnbounded,
          .natural_hi = sh::kUnbounded,
          .default_rule = sh::DefaultRule::absolute,
          .default_lo = -1.0,
          .default_hi = 1.0,
          .step_rule = sh::StepRule::absolute,
          .step = sh::kShapeStep,
          .description = "a test parameter"};
}

constexpr sh::ShapeEntry kShape{
    .name = "test_many_parameters",
    .params = {sh::kFramedCentre, sh::framed_width("s", 1.0, "width"), plain("share"),
               plain("offset"), plain("ratio")},
    .density = density,
    .profile = density,
    .start = start};
static_assert(kShape.params.size() == 5);

constexpr sh::ShapeEntry kShapeWithDerivatives{.name = "test_many_parameters_derivatives",
                                               .params = kShape.params,
                                               .density = density,
                                               .profile = density,
                                               .start = start,
                                               .derivatives = derivatives};

// A model of one peak of `shape` with every parameter free (its five shape parameters, then
// its area) on 121 channels of unit width.
en::Model model(const sh::ShapeEntry& shape = kShape) {
  en::Model m;
  for (int i = -60; i <= 60; ++i) m.u.push_back(static_cast<double>(i));
  m.widths.assign(m.u.size(), 1.0);
  m.x_min = -60.0;
  m.x_max = 60.0;
  m.peaks.push_back({&shape, 1.0, 0});
  const std::size_t n_params = shape.params.size() + 1;
  m.first_background = n_params;
  for (std::size_t e = 0; e < n_params; ++e) {
    m.roles.push_back(en::Role::free);
    m.slots.push_back(e);
    m.values.push_back(0.0);
    m.scale.push_back(1.0);
    m.offset.push_back(0.0);
    m.lower.push_back(-std::numeric_limits<double>::infinity());
    m.upper.push_back(std::numeric_limits<double>::infinity());
  }
  return m;
}

// Counts expected at one point of the model, rounded; the points below are away from it, where
// the score is far from zero.
std::vector<double> counts(const en::Model& m) {
  const std::vector<double> truth{1.5, 3.0, 0.4, 10.0, 1.5, 20000.0};
  std::vector<double> f(m.n_points()), out(m.n_points());
  density(m.u, truth.data(), {}, f);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::round(truth[5] * f[i]);
  return out;
}
const std::vector<double> kTheta{2.0, 3.3, 0.3, 9.5, 1.3, 18000.0};

TEST(EngineParameterSlots, ScoreAndInformationOfAShapeOfFiveParametersAgreeWithDifferences) {
  const en::Model m = model();
  const std::vector<double> counts = ::counts(m);
  const std::vector<double>& theta = kTheta;

  const en::Report r = en::report(m, counts, theta, {});
  const std::size_t n = theta.size();
  ASSERT_EQ(r.score.size(), n);
  // Central differences of the log-likelihood and of the score, with steps of twice the
  // engine's own (1e-4 of a width or of a plain parameter).
  const std::vector<double> h{2e-4, 2e-4, 2e-4, 2e-4, 2e-4, 0.1};
  for (std::size_t a = 0; a < n; ++a) {
    std::vector<double> up = theta, down = theta;
    up[a] += h[a];
    down[a] -= h[a];
    const double slope =
        (en::log_likelihood(m, counts, up) - en::log_likelihood(m, counts, down)) / (2.0 * h[a]);
    EXPECT_NEAR(r.score[a], slope, 1e-5 * std::fabs(slope) + 1e-6) << "slot " << a;
    const std::vector<double> s_up = en::report(m, counts, up, {}).score;
    const std::vector<double> s_down = en::report(m, counts, down, {}).score;
    for (std::size_t b = 0; b < n; ++b) {
      // The observed information is minus the Hessian.
      const double curvature = -(s_up[b] - s_down[b]) / (2.0 * h[a]);
      const double scale = std::sqrt(std::fabs(r.information[a * n + a] * r.information[b * n + b]));
      EXPECT_NEAR(r.information[a * n + b], curvature, 1e-4 * scale) << "slots " << a << ", " << b;
    }
  }
}

TEST(EngineParameterSlots, AReportFromClosedFormDerivativesAgreesWithOneFromDifferences) {
  const en::Model differenced = model(kShape);
  const en::Model closed_form = model(kShapeWithDerivatives);
  const std::vector<double> counts = ::counts(differenced);
  // At the fitted point, where the information is positive definite and every error finite.
  std::vector<double> theta = kTheta;
  ASSERT_TRUE(en::fit(differenced, counts, theta, {}).converged());
  en::ReportOptions options;
  options.quantities = true;
  const en::Report d = en::report(differenced, counts, theta, options);
  const en::Report c = en::report(closed_form, counts, theta, options);
  const std::size_t n = theta.size();
  for (std::size_t a = 0; a < n; ++a) {
    EXPECT_NEAR(c.stderr_params[a], d.stderr_params[a], 1e-4 * d.stderr_params[a]) << "slot " << a;
  }
  // Height and width, and their errors through the densities shifted in every slot.
  ASSERT_EQ(c.fwhm.size(), 1u);
  EXPECT_NEAR(c.height[0], d.height[0], 1e-9 * d.height[0]);
  EXPECT_NEAR(c.fwhm[0], d.fwhm[0], 1e-9 * d.fwhm[0]);
  EXPECT_NEAR(c.height_stderr[0], d.height_stderr[0], 1e-4 * d.height_stderr[0]);
  EXPECT_NEAR(c.fwhm_stderr[0], d.fwhm_stderr[0], 1e-4 * d.fwhm_stderr[0]);
}

}  // namespace
