// The shape registry: every entry's density against its shape's own prediction and mixture
// column (the same profile, normalised on the window), the profile against the density, the
// table's invariants, lookup by code, the fwhm variants, and peak_quantities against closed
// forms and brute-force searches on fine grids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "em/doniach_sunjic_em.hpp"
#include "em/em_gamma_ll.hpp"
#include "em/gaussian_em.hpp"
#include "em/lorentzian_em.hpp"
#include "em/pseudo_voigt_em.hpp"
#include "em/tsdc_em.hpp"
#include "em/voigt_em.hpp"
#include "shapes/doniach_sunjic.hpp"
#include "shapes/peak_quantities.hpp"
#include "shapes/tsdc.hpp"
#include "shapes/registry.hpp"
#include "special/voigt_profile.hpp"

namespace {

namespace sh = velmora::shapes;
using velmora::ColumnMatrix;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum Code : std::size_t { kGaussian, kLorentzian, kPseudoVoigt, kVoigt, kDoniachSunjic, kTsdc };

// lo, lo + step, ... for n points.
std::vector<double> grid(double lo, double step, std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = lo + step * static_cast<double>(i);
  return x;
}

// Equal bit patterns (so that -0.0 and 0.0 differ and equal NaNs agree).
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& expected,
                      const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  std::size_t differing = 0;
  std::size_t first = got.size();
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!same_bits(got[i], expected[i])) {
      if (differing++ == 0) first = i;
    }
  }
  EXPECT_EQ(differing, 0u) << what << ": first at " << first << ", " << got[first] << " vs "
                           << expected[first];
}

std::vector<double> registry_density(std::size_t code, const std::vector<double>& x,
                                     const std::vector<double>& p, const sh::ShapeContext& ctx) {
  std::vector<double> out(x.size(), kNaN);
  sh::shape(code).density(x, p.data(), ctx, out);
  return out;
}

std::vector<double> registry_profile(std::size_t code, const std::vector<double>& x,
                                     const std::vector<double>& p, const sh::ShapeContext& ctx) {
  std::vector<double> out(x.size(), kNaN);
  sh::shape(code).profile(x, p.data(), ctx, out);
  return out;
}

sh::PeakQuantities quantities(std::size_t code, const std::vector<double>& p,
                              const std::vector<double>& x, const sh::ShapeContext& ctx) {
  const std::vector<double> density = registry_density(code, x, p, ctx);
  return sh::peak_quantities(sh::shape(code), p.data(), ctx, x, density);
}

double relative(double got, double expected) { return std::fabs(got / expected - 1.0); }

// Column 0 of a one-component mixture shape.
std::vector<double> mixture_column(const velmora::PeakShape& shape, const std::vector<double>& x) {
  ColumnMatrix density(1, x.size());
  shape.fill_densities(x, density);
  const auto column = density.column(0);
  return {column.begin(), column.end()};
}

// What each shape's own code gives for one peak: its prediction (or pdf) and its mixture
// column.  p is the registry's parameter vector.
struct ShapeOutputs {
  std::vector<double> predicted;
  std::vector<double> column;
};

ShapeOutputs shape_outputs(std::size_t code, const std::vector<double>& x,
                           const std::vector<double>& p, const sh::ShapeContext& ctx) {
  const velmora::Flags free{0};
  ShapeOutputs out;
  out.predicted.assign(x.size(), kNaN);
  switch (code) {
    case kGaussian:
      out.predicted = velmora::gaussian::gaussian_predict(x, p[0], p[1]);
      out.column = mixture_column(velmora::gaussian::GaussianShape({p[0]}, {p[1]}, free, free), x);
      break;
    // The mixture fits' gamma of these two is the full width.
    case kLorentzian:
      velmora::lorentzian::lorentzian_pdf(x, out.predicted, p[0], 2.0 * p[1], ctx.x_min,
                                          ctx.x_max);
      out.column = mixture_column(velmora::lorentzian::LorentzianShape(
                                      {p[0]}, {2.0 * p[1]}, free, free, ctx.x_min, ctx.x_max,
                                      false),
                                  x);
      break;
    case kPseudoVoigt: {
      out.predicted = velmora::pseudo_voigt::pseudo_voigt_predict(x, p[0], 2.0 * p[1], p[2],
                                                                  ctx.x_min, ctx.x_max);
      velmora::pseudo_voigt::PvShapeSettings settings;
      settings.x_min = ctx.x_min;
      settings.x_max = ctx.x_max;
      out.column = mixture_column(velmora::pseudo_voigt::PseudoVoigtShape(
                                      {p[0]}, {2.0 * p[1]}, {p[2]}, free, free, free, settings),
                                  x);
      break;
    }
    case kVoigt: {
      out.predicted =
          velmora::voigt::voigt_predict(x, p[0], p[1], p[2], ctx.x_min, ctx.x_max);
      velmora::voigt::VoigtBounds bounds;
      bounds.x_min = ctx.x_min;
      bounds.x_max = ctx.x_max;
      out.column = mixture_column(
          velmora::voigt::VoigtShape({p[0]}, {p[1]}, {p[2]}, free, free, free, bounds), x);
      break;
    }
    case kDoniachSunjic: {
      velmora::doniach_sunjic::ds_pdf(x, out.predicted, p[0], p[1], p[2]);
      const velmora::doniach_sunjic::DsBounds bounds{ctx.x_min, ctx.x_max, 0.0, 0.0, 0.0, 0.0};
      out.column = mixture_column(velmora::doniach_sunjic::DsShape({p[0]}, {p[1]}, {p[2]}, free,
                                                                   free, free, bounds),
                                  x);
      break;
    }
    case kTsdc: {
      namespace ts = velmora::tsdc;
      const double tau0 = ts::tsdc_tau0_from_tp(p[0], p[1], ctx.beta);
      ts::tsdc_pdf(x, out.predicted, p[0], tau0, ctx.beta);
      ts::TsdcShape::Settings settings;
      settings.beta = ctx.beta;
      out.column = mixture_column(ts::TsdcShape({p[0]}, {tau0}, {p[1]}, free, free, settings), x);
      break;
    }
    default:
      ADD_FAILURE() << "no shape " << code;
  }
  return out;
}

// A framed window of 401 grid steps centred on 0, a TSDC thermogram of 0.5 K steps.
struct Setting {
  std::size_t code;
  std::vector<double> p;
  std::vector<double> x;
  sh::ShapeContext ctx;
};

std::vector<Setting> settings() {
  const std::vector<double> framed = grid(-200.0, 1.0, 401);
  const sh::ShapeContext window{-200.0, 200.0, 1.0};
  const std::vector<double> long_grid = grid(-10000.0, 1.0, 20001);  // several pool blocks
  const sh::ShapeContext long_window{-10000.0, 10000.0, 1.0};
  const std::vector<double> thermogram = grid(250.0, 0.5, 601);
  return {
      {kGaussian, {3.25, 4.5}, framed, window},
      {kGaussian, {198.7, 2.0}, framed, window},  // near the window's edge
      {kGaussian, {-37.0, 0.3}, long_grid, long_window},
      {kLorentzian, {-12.4, 3.0}, framed, window},
      {kLorentzian, {199.5, 1.5}, framed, window},
      {kLorentzian, {150.0, 20.0}, long_grid, long_window},
      {kPseudoVoigt, {0.0, 2.5, 0.3}, framed, window},
      {kPseudoVoigt, {-199.0, 1.25, 0.9}, framed, window},
      {kPseudoVoigt, {40.2, 4.5, 0.0}, long_grid, long_window},
      {kVoigt, {7.7, 1.5, 0.8}, framed, window},
      {kVoigt, {199.2, 0.4, 2.5}, framed, window},
      {kVoigt, {-900.0, 12.0, 0.05}, long_grid, long_window},
      // Gaussian limit a hundred widths beyond the window: the window mass takes its floor.
      {kVoigt, {400.0, 2.0, 0.0}, framed, window},
      {kDoniachSunjic, {-3.3, 2.0, 0.0}, framed, window},
      {kDoniachSunjic, {-199.6, 4.0, 0.35}, framed, window},
      {kDoniachSunjic, {500.0, 7.5, 0.55}, long_grid, long_window},
      {kTsdc, {0.76, 406.0}, thermogram, {250.0, 550.0, 1.0}},
      {kTsdc, {1.3, 540.0}, thermogram, {250.0, 550.0, 0.2}},  // peak near the end
      {kTsdc, {0.35, 300.0}, thermogram, {250.0, 550.0, 10.0}},
  };
}

std::string describe(const Setting& s) {
  std::ostringstream text;
  text << sh::shape(s.code).name;
  for (double v : s.p) text << ' ' << v;
  return text.str();
}

// ---------------------------------------------------------------------------------------------
// The table

TEST(ShapeRegistry, CodesNamesAndLookup) {
  const auto entries = sh::all_shapes();
  const std::vector<std::string> names{"gaussian", "lorentzian",     "pseudo_voigt",
                                       "voigt",    "doniach_sunjic", "tsdc",
                                       "doniach_sunjic_gaussian"};
  // The shapes, then the fwhm variant of each, in the same order.
  ASSERT_EQ(entries.size(), 2 * names.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t base = i % names.size();
    EXPECT_EQ(entries[i]->name, names[base]);
    EXPECT_EQ(&sh::shape(i), entries[i]);
    EXPECT_EQ(entries[i]->framed, base != kTsdc) << names[base];
    EXPECT_EQ(sh::location_index(*entries[i]), base == kTsdc ? 1u : 0u) << names[base];
    EXPECT_EQ(entries[i]->fwhm_of, i < names.size() ? sh::kNoPrimary : base) << i;
    EXPECT_EQ(sh::fwhm_variant_code(i), i < names.size() ? i + names.size() : sh::kNoPrimary);
  }
  try {
    sh::shape(14);
    ADD_FAILURE() << "shape(14) did not throw";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("14"), std::string::npos) << e.what();
  }
  EXPECT_THROW(sh::shape(static_cast<std::size_t>(-1)), std::invalid_argument);
}

TEST(ShapeRegistry, ParameterTablesAreConsistent) {
  for (const sh::ShapeEntry* e : sh::all_shapes()) {
    ASSERT_LE(e->params.size(), sh::kMaxShapeParams) << e->name;
    ASSERT_LE(e->extra_quantities.size(), sh::kMaxExtras) << e->name;
    ASSERT_NE(e->density, nullptr);
    ASSERT_NE(e->profile, nullptr);
    ASSERT_NE(e->start, nullptr);
    ASSERT_NE(e->extras, nullptr);
    std::size_t locations = 0;
    for (std::size_t j = 0; j < e->params.size(); ++j) {
      const sh::ParamInfo& q = e->params[j];
      const std::string what = std::string(e->name) + "." + (q.name ? q.name : "?");
      ASSERT_NE(q.name, nullptr) << what;
      ASSERT_NE(q.description, nullptr) << what;
      EXPECT_GT(std::strlen(q.description), 0u) << what;
      EXPECT_LT(q.natural_lo, q.natural_hi) << what;
      // Only a finite end can be excluded.
      EXPECT_TRUE(!q.lo_open || std::isfinite(q.natural_lo)) << what;
      EXPECT_TRUE(!q.hi_open || std::isfinite(q.natural_hi)) << what;
      EXPECT_GT(q.step, 0.0) << what;
      if (q.kind == sh::Kind::location) ++locations;
      if (q.kind == sh::Kind::width) {
        // Widths are positive, and their default bounds are framed (grid steps); a
        // thermogram has one only as a variant's fwhm.
        EXPECT_EQ(q.natural_lo, 0.0) << what;
        EXPECT_TRUE(q.lo_open) << what;
        EXPECT_TRUE(e->framed || e->fwhm_of != sh::kNoPrimary) << what;
        EXPECT_EQ(q.default_rule, sh::DefaultRule::grid) << what;
        EXPECT_EQ(q.step_rule, sh::StepRule::relative) << what;
      }
      if (q.default_rule == sh::DefaultRule::absolute) {
        // Default bounds inside the natural range.
        EXPECT_LT(q.default_lo, q.default_hi) << what;
        EXPECT_TRUE(q.lo_open ? q.default_lo > q.natural_lo : q.default_lo >= q.natural_lo)
            << what;
        EXPECT_TRUE(q.hi_open ? q.default_hi < q.natural_hi : q.default_hi <= q.natural_hi)
            << what;
      }
    }
    EXPECT_EQ(locations, 1u) << e->name;
  }
}

TEST(ShapeRegistry, DefaultWidthsRunFromHalfAGridStepToTheWindow) {
  // The default bounds of every framed width are full widths at half maximum of half a grid
  // step and of one window width, in each width's own meaning.
  EXPECT_NEAR(sh::shape(kGaussian).params[1].default_lo, 0.21233045007200477, 1e-17);
  EXPECT_NEAR(sh::shape(kVoigt).params[1].default_lo, 0.21233045007200477, 1e-17);
  EXPECT_EQ(sh::shape(kLorentzian).params[1].default_lo, 0.25);    // half width
  EXPECT_EQ(sh::shape(kPseudoVoigt).params[1].default_lo, 0.25);   // half width
  EXPECT_EQ(sh::shape(sh::fwhm_variant_code(kGaussian)).params[1].default_lo, 0.5);  // fwhm
  EXPECT_EQ(sh::shape(kVoigt).params[2].default_lo, 0.25);         // half width
  EXPECT_EQ(sh::shape(kDoniachSunjic).params[1].default_lo, 0.25);  // half width
  for (const sh::ShapeEntry* e : sh::all_shapes()) {
    for (std::size_t j = 0; j < e->params.size(); ++j) {
      const sh::ParamInfo& p = e->params[j];
      if (p.default_rule == sh::DefaultRule::grid) {
        // The widest is the narrowest times (window widths) / (half a grid step).
        EXPECT_NEAR(p.default_hi, 2.0 * p.default_lo, 1e-15) << e->name << " " << p.name;
      }
    }
  }
}

TEST(ShapeRegistry, TsdcExtraIsTheTau0OfThePeakCondition) {
  const sh::ShapeEntry& e = sh::shape(kTsdc);
  ASSERT_EQ(e.extra_quantities.size(), 2u);
  EXPECT_STREQ(e.extra_quantities[0].name, "tau0");
  EXPECT_STREQ(e.extra_quantities[1].name, "area_total");
  for (double beta : {0.1, 1.0, 7.0}) {
    const double p[2] = {0.76, 406.0};
    double out[2] = {kNaN, kNaN};
    e.extras(p, {250.0, 550.0, beta}, out);
    EXPECT_EQ(out[0], velmora::tsdc::tsdc_tau0_from_tp(0.76, 406.0, beta)) << beta;
  }
}

// ---------------------------------------------------------------------------------------------
// Density and profile

// The largest difference between got and expected, and the largest relative one where
// expected is normal, each over the largest |expected|.
std::pair<double, double> differences(const std::vector<double>& got,
                                      const std::vector<double>& expected) {
  double top = 0.0, worst = 0.0, worst_relative = 0.0;
  for (double v : expected) top = std::max(top, std::fabs(v));
  for (std::size_t i = 0; i < got.size(); ++i) {
    worst = std::max(worst, std::fabs(got[i] - expected[i]));
    if (std::fabs(expected[i]) >= std::numeric_limits<double>::min()) {
      worst_relative = std::max(worst_relative, std::fabs(got[i] / expected[i] - 1.0));
    }
  }
  return {worst / top, worst_relative};
}

// The integral of an entry's density over [lo, hi] by Simpson's rule on `n` intervals.
double window_integral(const sh::ShapeEntry& e, const std::vector<double>& p,
                       const sh::ShapeContext& ctx, double lo, double hi, std::size_t n) {
  const std::vector<double> x = grid(lo, (hi - lo) / static_cast<double>(n), n + 1);
  std::vector<double> f(x.size());
  e.density(x, p.data(), ctx, f);
  double sum = f.front() + f.back();
  for (std::size_t i = 1; i < n; ++i) sum += (i % 2 == 1 ? 4.0 : 2.0) * f[i];
  return sum * (hi - lo) / static_cast<double>(n) / 3.0;
}

// Every shape's density is its mixture column and prediction up to one factor (the mixture
// fits keep their own normalisation: the whole line, or the grid), and integrates to 1 over
// the window, so that an area is the counts inside it.  (The Voigt's engine evaluates the
// Faddeeva function without libcerf's shared state, special/faddeeva.hpp: to 1e-11 of any
// point.)
TEST(ShapeRegistryDensity, IsTheMixtureColumnNormalisedOnTheWindow) {
  for (const Setting& s : settings()) {
    // The Voigt peak a hundred widths beyond the window, of no Lorentzian width, has its mass
    // floored.
    if (s.code == kVoigt && s.p[0] > s.ctx.x_max) continue;
    const std::vector<double> density = registry_density(s.code, s.x, s.p, s.ctx);
    const ShapeOutputs own = shape_outputs(s.code, s.x, s.p, s.ctx);
    for (const auto* expected : {&own.predicted, &own.column}) {
      const std::size_t top = static_cast<std::size_t>(
          std::max_element(expected->begin(), expected->end()) - expected->begin());
      const double ratio = density[top] / (*expected)[top];
      std::vector<double> scaled(*expected);
      for (double& v : scaled) v *= ratio;
      const auto [of_peak, relative] = differences(density, scaled);
      EXPECT_LT(of_peak, 1e-14) << describe(s);
      EXPECT_LT(relative, s.code == kVoigt ? 1e-11 : 1e-13) << describe(s);
    }
    for (const std::size_t code : {s.code, sh::fwhm_variant_code(s.code)}) {
      std::vector<double> p = s.p;
      const sh::ShapeEntry& e = sh::shape(code);
      if (e.fwhm_of != sh::kNoPrimary) {  // the same peak by its full width
        const sh::PeakQuantities q = quantities(s.code, s.p, s.x, s.ctx);
        if (!std::isfinite(q.fwhm)) continue;
        p[sh::shape(s.code).primary] = q.fwhm;
      }
      const double integral = window_integral(e, p, s.ctx, s.ctx.x_min, s.ctx.x_max, 400000);
      // (The Voigt's window mass is a quadrature, to about 1e-6 on a long window.)
      EXPECT_NEAR(integral, 1.0, s.code == kVoigt ? 1e-6 : 1e-7)
          << describe(s) << (e.fwhm_of == sh::kNoPrimary ? "" : " (fwhm)");
    }
  }
}

// The whole-line area over the window's (extra area_total): the window integral of a peak's
// density normalised on a window ten times as wide, times the window's factor, is the wide
// window's factor; Doniach-Sunjic lines with an asymmetry have none.  (A pseudo-Voigt line
// changes with its window, whose mass normalises its Lorentzian part: its factor is its parts'
// whole-line areas over their window masses.)
TEST(ShapeRegistryDensity, AreaTotalIsTheWholeLineOverTheWindowsShare) {
  for (const Setting& s : settings()) {
    const sh::ShapeEntry& e = sh::shape(s.code);
    const std::size_t at = e.extra_quantities.size() - 1;
    ASSERT_STREQ(e.extra_quantities[at].name, "area_total");
    double factor[sh::kMaxExtras];
    e.extras(s.p.data(), s.ctx, factor);
    if (s.code == kDoniachSunjic && s.p[2] > 0.0) {
      EXPECT_TRUE(std::isnan(factor[at])) << describe(s);
      continue;
    }
    if (s.code == kVoigt && s.p[0] > s.ctx.x_max) continue;
    if (s.code == kPseudoVoigt) {
      double lorentz[sh::kMaxExtras];
      sh::shape(kLorentzian).extras(s.p.data(), s.ctx, lorentz);
      const double eta = s.p[2];
      const double normal = sh::normal_window_mass(
          s.p[0], 2.0 * s.p[1] / velmora::pseudo_voigt::kFwhmPerSigma, s.ctx.x_min, s.ctx.x_max);
      EXPECT_NEAR(factor[at] * (eta * normal + 1.0 - eta) / (eta + (1.0 - eta) * lorentz[0]),
                  1.0, 1e-14)
          << describe(s);
      continue;
    }
    const double half = 5.0 * (s.ctx.x_max - s.ctx.x_min);
    const double mid = 0.5 * (s.ctx.x_min + s.ctx.x_max);
    const sh::ShapeContext wide{s.code == kTsdc ? 1.0 : mid - half, mid + half, s.ctx.beta};
    double wide_factor[sh::kMaxExtras];
    e.extras(s.p.data(), wide, wide_factor);
    const double share = window_integral(e, s.p, wide, s.ctx.x_min, s.ctx.x_max, 400000);
    EXPECT_NEAR(share * factor[at] / wide_factor[at], 1.0, s.code == kVoigt ? 1e-6 : 1e-7)
        << describe(s);
    EXPECT_GE(factor[at], 1.0) << describe(s);
  }
}

// A fwhm variant's peak has the full width of its parameter, to rounding, as the report reads
// it off the density, whatever the other parameters (a Voigt peak's sigma, a Doniach-Sunjic
// asymmetry, a thermogram's peak temperature); its extras end with the primary width.
TEST(FwhmVariants, ThePeaksWidthIsTheParameter) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  const std::vector<double> t = grid(250.0, 0.5, 601);
  const sh::ShapeContext thermogram{250.0, 550.0, 2.0};
  const std::vector<std::pair<std::size_t, std::vector<double>>> cases{
      {kGaussian, {3.3, 7.1}},          {kLorentzian, {-20.0, 0.8}},
      {kPseudoVoigt, {33.0, 4.0, 0.4}}, {kPseudoVoigt, {-150.0, 60.0, 1.0}},
      {kVoigt, {5.0, 1.5, 9.0}},        {kVoigt, {5.0, 4.0, 9.5}},
      {kVoigt, {-180.0, 12.0, 30.0}},   {kDoniachSunjic, {12.0, 3.0, 0.0}},
      {kDoniachSunjic, {12.0, 3.0, 0.3}}, {kDoniachSunjic, {-60.0, 25.0, 0.6}},
      {kTsdc, {43.0, 406.0}},           {kTsdc, {8.0, 300.0}}};
  for (const auto& [code, p] : cases) {
    const sh::ShapeEntry& base = sh::shape(code);
    const sh::ShapeEntry& v = sh::shape(sh::fwhm_variant_code(code));
    const bool framed = base.framed;
    const std::vector<double>& g = framed ? x : t;
    const sh::ShapeContext& c = framed ? ctx : thermogram;
    const sh::PeakQuantities q = quantities(sh::fwhm_variant_code(code), p, g, c);
    const double fwhm = p[base.primary];
    EXPECT_LT(relative(q.fwhm, fwhm), 1e-12) << base.name << " " << fwhm << ": " << q.fwhm;
    // The primary width it stands for gives the base shape the same width, and the variant's
    // density is the base shape's at it.
    double extras[sh::kMaxExtras];
    v.extras(p.data(), c, extras);
    std::vector<double> converted = p;
    converted[base.primary] = extras[v.extra_quantities.size() - 1];
    EXPECT_LT(relative(quantities(code, converted, g, c).fwhm, fwhm), 1e-12) << base.name;
    expect_same_bits(registry_density(sh::fwhm_variant_code(code), g, p, c),
                     registry_density(code, g, converted, c), base.name);
  }
  // A Voigt peak held narrower than its Gaussian part is the Gaussian of the width held
  // (gamma 0, sigma narrowed), on both sides of the edge where gamma reaches 0.
  for (const double sigma : {4.0 / 2.3548200450309493 * 1.3, 4.0 / 2.3548200450309493 * 0.999}) {
    double p[3] = {0.0, sigma, 4.0};
    double extras[sh::kMaxExtras];
    sh::shape(sh::fwhm_variant_code(kVoigt)).extras(p, ctx, extras);
    const std::vector<double> held = {0.0, sigma, 4.0};
    const sh::PeakQuantities q = quantities(sh::fwhm_variant_code(kVoigt), held, x, ctx);
    EXPECT_LT(relative(q.fwhm, 4.0), 1e-12) << sigma;
    if (sigma * 2.3548200450309493 >= 4.0) {
      EXPECT_EQ(extras[1], 0.0);
      expect_same_bits(registry_density(sh::fwhm_variant_code(kVoigt), x, held, ctx),
                       registry_density(kVoigt, x, {0.0, 4.0 / 2.3548200450309493, 0.0}, ctx),
                       "voigt held narrower than its Gaussian part");
    } else {
      EXPECT_GT(extras[1], 0.0);
    }
  }
}

TEST(ShapeRegistryDensity, OutputOfAnotherLengthIsRefused) {
  const std::vector<double> x = grid(-5.0, 1.0, 11);
  for (const sh::ShapeEntry* e : sh::all_shapes()) {
    const double p[sh::kMaxShapeParams] = {e->framed ? 0.0 : 0.76, e->framed ? 2.0 : 406.0, 0.2,
                                           1.0};
    std::vector<double> short_out(x.size() - 1);
    EXPECT_THROW(e->density(x, p, {-5.0, 5.0, 1.0}, short_out), velmora::InternalError)
        << e->name;
    EXPECT_THROW(e->profile(x, p, {-5.0, 5.0, 1.0}, short_out), velmora::InternalError)
        << e->name;
  }
}

// Closed-form derivatives against central differences of the density itself (window mass
// included): first derivatives with steps 1e-4 of each parameter's scale, second ones as
// differences of the first.  Voigt peaks in the window's middle, near and beyond its edge,
// nearly Gaussian and nearly Lorentzian, and on a long window (far quadrature tails).
TEST(ShapeRegistryDerivatives, AgreeWithDifferencesOfTheDensity) {
  struct Case {
    double lo, hi, step, x0, sigma, gamma;
  };
  const std::vector<Case> cases = {{-50.0, 50.0, 1.0, 3.2, 2.5, 1.5},
                                   {-50.0, 50.0, 1.0, 47.0, 4.0, 0.8},
                                   {-50.0, 50.0, 1.0, 53.0, 1.5, 2.0},
                                   {-50.0, 50.0, 1.0, -10.0, 3.0, 0.01},
                                   {-50.0, 50.0, 1.0, 0.4, 0.05, 3.0},
                                   {-1500.0, 1500.0, 1.0, -700.0, 6.0, 4.0}};
  std::size_t checked = 0;
  for (const sh::ShapeEntry* e : sh::all_shapes()) {
    if (e->derivatives == nullptr) continue;
    ASSERT_EQ(e, &sh::shape(kVoigt)) << "a new shape with derivatives: add its cases here";
    for (const Case& c : cases) {
      const std::size_t n = static_cast<std::size_t>((c.hi - c.lo) / c.step) + 1;
      const std::vector<double> x = grid(c.lo, c.step, n);
      const sh::ShapeContext ctx{c.lo, c.hi, 1.0};
      const std::vector<double> p = {c.x0, c.sigma, c.gamma};
      const std::vector<double> scale = {std::max(c.sigma, c.gamma), c.sigma, c.gamma};
      std::vector<double> first(3 * n), second(9 * n);
      ASSERT_TRUE(e->derivatives(x, p.data(), ctx, first, second));
      auto density_at = [&](std::vector<double> q) {
        std::vector<double> out(n);
        e->density(x, q.data(), ctx, out);
        return out;
      };
      auto first_at = [&](std::vector<double> q) {
        std::vector<double> f(3 * n), s2(9 * n);
        EXPECT_TRUE(e->derivatives(x, q.data(), ctx, f, s2));
        return f;
      };
      const std::vector<double> f0 = density_at(p);
      const double top = *std::max_element(f0.begin(), f0.end());
      for (std::size_t a = 0; a < 3; ++a) {
        const double h = 1e-4 * scale[a];
        std::vector<double> up = p, down = p;
        up[a] += h;
        down[a] -= h;
        const std::vector<double> fp = density_at(up), fm = density_at(down);
        const std::vector<double> gp = first_at(up), gm = first_at(down);
        for (std::size_t i = 0; i < n; ++i) {
          // Derivatives relative to the density's top over the parameter's scale.
          const double unit = top / scale[a];
          const double fd = (fp[i] - fm[i]) / (2.0 * h);
          ASSERT_NEAR(first[a * n + i] / unit, fd / unit, 1e-6)
              << "d/d" << e->params[a].name << " at x = " << x[i] << ", case x0 = " << c.x0;
          for (std::size_t b = 0; b < 3; ++b) {
            const double fd2 = (gp[b * n + i] - gm[b * n + i]) / (2.0 * h);
            const double unit2 = top / (scale[a] * scale[b]);
            ASSERT_NEAR(second[(a * 3 + b) * n + i] / unit2, fd2 / unit2, 1e-6)
                << "d2/d" << e->params[a].name << " d" << e->params[b].name
                << " at x = " << x[i] << ", case x0 = " << c.x0;
          }
        }
      }
      ++checked;
    }
    // Where the window holds no mass the engine takes differences instead.
    const std::vector<double> x = grid(-5.0, 1.0, 11);
    std::vector<double> first(3 * 11), second(9 * 11);
    const double far[3] = {1e8, 0.5, 1e-300};
    EXPECT_FALSE(e->derivatives(x, far, {-5.0, 5.0, 1.0}, first, second));
    const double flat[3] = {0.0, 0.5, 0.0};
    EXPECT_FALSE(e->derivatives(x, flat, {-5.0, 5.0, 1.0}, first, second));
  }
  EXPECT_GT(checked, 0u);
}

TEST(ShapeRegistryProfile, ProportionalToTheDensityWithOneRatio) {
  for (const Setting& s : settings()) {
    const std::vector<double> density = registry_density(s.code, s.x, s.p, s.ctx);
    const std::vector<double> profile = registry_profile(s.code, s.x, s.p, s.ctx);
    // The ratio at the largest density, and every other point's ratio against it.
    const std::size_t top = static_cast<std::size_t>(
        std::max_element(density.begin(), density.end()) - density.begin());
    if (density[top] == 0.0) {  // nothing of the peak reaches the grid
      for (double v : profile) EXPECT_EQ(v, 0.0) << describe(s);
      continue;
    }
    const double ratio = density[top] / profile[top];
    ASSERT_TRUE(std::isfinite(ratio) && ratio > 0.0) << describe(s);
    double worst = 0.0;
    for (std::size_t i = 0; i < s.x.size(); ++i) {
      if (profile[i] == 0.0) {
        EXPECT_EQ(density[i], 0.0) << describe(s) << " at " << s.x[i];
        continue;
      }
      // Far in a tail both fall below the normal range and lose their relative precision.
      if (std::fabs(profile[i]) < std::numeric_limits<double>::min() ||
          std::fabs(density[i]) < std::numeric_limits<double>::min()) {
        continue;
      }
      worst = std::max(worst, std::fabs(density[i] / profile[i] / ratio - 1.0));
    }
    // (The Voigt's density and profile take different Faddeeva functions; see above.)
    EXPECT_LT(worst, s.code == kVoigt ? 1e-11 : 1e-14) << describe(s);
    // Every density is pointwise: the profile is the density itself (the Voigt's and the
    // thermogram's take other special-function routines for single points).
    if (s.code != kVoigt && s.code != kTsdc) {
      expect_same_bits(profile, density, describe(s) + " (profile)");
    }
  }
}

TEST(ShapeRegistryProfile, PointwiseAndIndependentOfTheGrid) {
  // The profile at a point does not depend on the other points it is evaluated with: a
  // normaliser over the grid left in would change with the grid.
  for (const Setting& s : settings()) {
    const std::vector<double> profile = registry_profile(s.code, s.x, s.p, s.ctx);
    for (std::size_t i : {std::size_t{0}, s.x.size() / 3, s.x.size() - 1}) {
      const std::vector<double> one = registry_profile(s.code, {s.x[i]}, s.p, s.ctx);
      EXPECT_TRUE(same_bits(one[0], profile[i])) << describe(s) << " at " << s.x[i];
    }
    const std::vector<double> half(s.x.begin(), s.x.begin() + s.x.size() / 2);
    const std::vector<double> part = registry_profile(s.code, half, s.p, s.ctx);
    for (std::size_t i = 0; i < half.size(); ++i) {
      ASSERT_TRUE(same_bits(part[i], profile[i])) << describe(s) << " at " << half[i];
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Peak quantities


// Where f falls to `level` on side s of its maximum at x_max, by brute force: the first point
// at or below the level on a grid of step `step` outward from x_max, then the same on ever
// finer grids (a thousand points each) between the last two points, and finally linear
// interpolation between the last pair.
double brute_force_crossing(const std::function<double(double)>& f, double x_max, double level,
                            int s, double step) {
  double inner = x_max;
  double outer = x_max + s * step;
  while (f(outer) > level) {
    inner = outer;
    outer += s * step;
  }
  for (int refinement = 0; refinement < 3; ++refinement) {
    const double fine = (outer - inner) / 1000.0;
    double a = inner;
    for (int k = 1; k <= 1000; ++k) {
      const double b = inner + fine * k;
      if (!(f(b) > level)) {
        outer = b;
        break;
      }
      a = b;
    }
    inner = a;
  }
  const double fi = f(inner);
  const double fo = f(outer);
  return inner + (outer - inner) * (fi - level) / (fi - fo);
}

TEST(PeakQuantities, GaussianTopAndWidthAreTheClosedForms) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  // On a grid point, between grid points, narrower than the grid step, beyond the window's
  // last point, and far outside it.
  for (const auto& [x0, sigma] : std::vector<std::pair<double, double>>{
           {12.0, 3.7}, {12.3, 3.7}, {-0.5, 0.3}, {-50.37, 0.2124}, {201.3, 2.0}, {-230.0, 9.0}}) {
    const sh::PeakQuantities q = quantities(kGaussian, {x0, sigma}, x, ctx);
    const double top = 1.0 / (sigma * std::sqrt(2.0 * std::numbers::pi)) /
                       sh::floored_mass(sh::normal_window_mass(x0, sigma, -200.0, 200.0));
    EXPECT_LT(relative(q.top, top), 1e-13) << x0 << " " << sigma;
    EXPECT_LT(relative(q.fwhm, velmora::pseudo_voigt::kFwhmPerSigma * sigma), 1e-12)
        << x0 << " " << sigma;
  }
}

TEST(PeakQuantities, LorentzianAndPseudoVoigtWidthIsTwiceGamma) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  for (const auto& [x0, gamma] :
       std::vector<std::pair<double, double>>{{0.0, 6.0}, {17.4, 0.6}, {-190.0, 30.0}}) {
    const sh::PeakQuantities q = quantities(kLorentzian, {x0, gamma}, x, ctx);
    EXPECT_LT(relative(q.fwhm, 2.0 * gamma), 1e-12) << x0 << " " << gamma;
    for (double eta : {0.0, 0.35, 1.0}) {
      const sh::PeakQuantities pv = quantities(kPseudoVoigt, {x0, gamma, eta}, x, ctx);
      EXPECT_LT(relative(pv.fwhm, 2.0 * gamma), 1e-12) << x0 << " " << gamma << " " << eta;
    }
  }
}

TEST(PeakQuantities, TopOfAPeakOnAGridPointIsItsDensityThere) {
  // For the shapes normalised over the grid (or the window) the top is scaled back from the
  // profile: on a grid point it must be the density at that point.
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  const std::vector<std::pair<std::size_t, std::vector<double>>> peaks{
      {kLorentzian, {-20.0, 6.0}},      {kLorentzian, {190.0, 25.0}},
      {kPseudoVoigt, {33.0, 4.0, 0.4}}, {kVoigt, {5.0, 1.5, 0.8}},
      {kVoigt, {-180.0, 2.0, 9.0}},     {kDoniachSunjic, {12.0, 3.0, 0.0}}};
  for (const auto& [code, p] : peaks) {
    const std::vector<double> density = registry_density(code, x, p, ctx);
    const sh::PeakQuantities q = sh::peak_quantities(sh::shape(code), p.data(), ctx, x, density);
    const double at_centre = density[static_cast<std::size_t>(p[0] + 200.0)];
    EXPECT_LT(relative(q.top, at_centre), 1e-14) << sh::shape(code).name << " " << p[0];
  }
}

TEST(PeakQuantities, VoigtWidthAgainstBruteForce) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  for (const auto& [sigma, gamma] : std::vector<std::pair<double, double>>{
           {1.5, 0.8}, {0.4, 3.0}, {3.0, 0.05}, {0.2123, 0.25}, {20.0, 20.0}}) {
    const double x0 = 3.6;
    const sh::PeakQuantities q = quantities(kVoigt, {x0, sigma, gamma}, x, ctx);
    // The Voigt profile is symmetric about its centre, where its maximum is.
    const auto v = [&](double u) { return velmora::special::voigt_density(u, sigma, gamma); };
    const double half = brute_force_crossing(v, 0.0, 0.5 * v(0.0), 1, 1e-2);
    EXPECT_LT(relative(q.fwhm, 2.0 * half), 1e-9) << sigma << " " << gamma;
    const double mass =
        velmora::voigt::floored_window_mass(x0, sigma, gamma, ctx.x_min, ctx.x_max);
    EXPECT_LT(relative(q.top, v(0.0) / mass), 1e-13) << sigma << " " << gamma;
  }
}

TEST(PeakQuantities, DoniachSunjicWithoutAsymmetryIsALorentzianOfWidthTwoGamma) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  for (const auto& [x0, gamma] :
       std::vector<std::pair<double, double>>{{0.0, 3.0}, {-7.3, 0.25}, {150.5, 12.0}}) {
    const sh::PeakQuantities q = quantities(kDoniachSunjic, {x0, gamma, 0.0}, x, ctx);
    EXPECT_LT(relative(q.fwhm, 2.0 * gamma), 1e-12) << x0 << " " << gamma;
  }
}

TEST(PeakQuantities, AsymmetricDoniachSunjicHalfMaximaAndTop) {
  // With alpha > 0 the maximum moves off x0 (towards lower x); the crossings must still sit
  // at half the maximum, and the top above every grid value of the density.
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  for (double alpha : {0.1, 0.35, 0.6}) {
    const std::vector<double> p{4.2, 3.0, alpha};
    const std::vector<double> density = registry_density(kDoniachSunjic, x, p, ctx);
    const sh::PeakQuantities q =
        sh::peak_quantities(sh::shape(kDoniachSunjic), p.data(), ctx, x, density);
    ASSERT_TRUE(std::isfinite(q.fwhm)) << alpha;
    EXPECT_GE(q.top, *std::max_element(density.begin(), density.end())) << alpha;
    // The maximum by brute force: a scan in steps of 1e-3, then of 1e-6 around its best point
    // (an offset of 1e-6 from the maximum changes the value by about 1e-13 of it).
    const auto f = [&](double u) {
      std::vector<double> out = registry_profile(kDoniachSunjic, {u}, p, ctx);
      return out[0];
    };
    double x_max = -10.0;
    for (double u = -10.0; u <= 10.0; u += 1e-3) {
      if (f(u) > f(x_max)) x_max = u;
    }
    for (double u = x_max - 1e-3; u <= x_max + 1e-3; u += 1e-6) {
      if (f(u) > f(x_max)) x_max = u;
    }
    const double level = 0.5 * f(x_max);
    const double width = brute_force_crossing(f, x_max, level, 1, 1e-2) -
                         brute_force_crossing(f, x_max, level, -1, 1e-2);
    EXPECT_LT(relative(q.fwhm, width), 1e-9) << alpha;
  }
}

TEST(PeakQuantities, TsdcWidthAndTopOfAPeakAt406K) {
  namespace ts = velmora::tsdc;
  const double ea = 0.76;
  const double tp = 406.0;
  const double beta = 1.0;
  const std::vector<double> t = grid(300.0, 0.5, 401);
  const sh::ShapeContext ctx{300.0, 500.0, beta};
  const std::vector<double> p{ea, tp};
  const std::vector<double> density = registry_density(kTsdc, t, p, ctx);
  const sh::PeakQuantities q = sh::peak_quantities(sh::shape(kTsdc), p.data(), ctx, t, density);
  ASSERT_TRUE(std::isfinite(q.fwhm));
  EXPECT_GT(q.fwhm, 20.0);
  EXPECT_LT(q.fwhm, 80.0);

  // The current peaks at tp (the peak condition fixes tau0 so); brute-force crossings there.
  const double tau0 = ts::tsdc_tau0_from_tp(ea, tp, beta);
  const auto current = [&](double temp) { return ts::peak_current(temp, ea, tau0, beta); };
  const double level = 0.5 * current(tp);
  const double width = brute_force_crossing(current, tp, level, 1, 0.1) -
                       brute_force_crossing(current, tp, level, -1, 0.1);
  EXPECT_LT(relative(q.fwhm, width), 1e-9);

  // The top is the current at tp in the density's normalisation (tp = 406 K is a grid point).
  const std::size_t at_tp = 212;
  ASSERT_EQ(t[at_tp], tp);
  EXPECT_LT(relative(q.top, density[at_tp]), 1e-12);
  EXPECT_GE(q.top, *std::max_element(density.begin(), density.end()));
}

TEST(PeakQuantities, PeakOutsideTheGridIsFollowedOutward) {
  // A TSDC peak above the last temperature of the grid, and one below the first.
  namespace ts = velmora::tsdc;
  const std::vector<double> t = grid(300.0, 0.5, 201);  // 300 .. 400 K
  for (const double tp : {430.0, 280.0}) {
    const std::vector<double> p{0.9, tp};
    const sh::ShapeContext ctx{300.0, 400.0, 1.0};
    const std::vector<double> density = registry_density(kTsdc, t, p, ctx);
    const sh::PeakQuantities q = sh::peak_quantities(sh::shape(kTsdc), p.data(), ctx, t, density);
    const double tau0 = ts::tsdc_tau0_from_tp(0.9, tp, 1.0);
    const std::size_t edge = tp > 400.0 ? t.size() - 1 : 0;
    const double expected =
        density[edge] / ts::peak_current(t[edge], 0.9, tau0, 1.0) *
        ts::peak_current(tp, 0.9, tau0, 1.0);
    EXPECT_LT(relative(q.top, expected), 1e-12) << tp;
    EXPECT_TRUE(std::isfinite(q.fwhm)) << tp;
  }
}

TEST(PeakQuantities, UndeterminedQuantitiesAreNaN) {
  const std::vector<double> x = grid(-20.0, 1.0, 41);
  const sh::ShapeContext ctx{-20.0, 20.0, 1.0};
  const sh::ShapeEntry& g = sh::shape(kGaussian);
  const double p[2] = {0.0, 2.0};
  const std::vector<double> zeros(x.size(), 0.0);
  const std::vector<double> nans(x.size(), kNaN);
  for (const auto& density : {zeros, nans}) {
    const sh::PeakQuantities q = sh::peak_quantities(g, p, ctx, x, density);
    EXPECT_TRUE(std::isnan(q.top));
    EXPECT_TRUE(std::isnan(q.fwhm));
  }
  const sh::PeakQuantities empty = sh::peak_quantities(g, p, ctx, {}, {});
  EXPECT_TRUE(std::isnan(empty.top));
  EXPECT_TRUE(std::isnan(empty.fwhm));
  // Parameters of no peak: a NaN width gives a NaN density and profile.
  const sh::PeakQuantities q = quantities(kGaussian, {0.0, kNaN}, x, ctx);
  EXPECT_TRUE(std::isnan(q.top));
  EXPECT_TRUE(std::isnan(q.fwhm));
}

TEST(PeakQuantities, SingleGridPointUsesAUnitSpacing) {
  const sh::ShapeContext ctx{-1.0, 1.0, 1.0};
  const sh::PeakQuantities q = quantities(kGaussian, {0.3, 2.0}, {0.0}, ctx);
  EXPECT_LT(relative(q.top, 1.0 / (2.0 * std::sqrt(2.0 * std::numbers::pi)) /
                                sh::normal_window_mass(0.3, 2.0, -1.0, 1.0)),
            1e-13);
  EXPECT_LT(relative(q.fwhm, velmora::pseudo_voigt::kFwhmPerSigma * 2.0), 1e-12);
}

TEST(PeakQuantities, DeterministicAndIndependentOfTheDensityScale) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  const std::vector<double> p{10.25, 2.0, 0.3};
  const std::vector<double> density = registry_density(kDoniachSunjic, x, p, ctx);
  const sh::PeakQuantities a =
      sh::peak_quantities(sh::shape(kDoniachSunjic), p.data(), ctx, x, density);
  const sh::PeakQuantities b =
      sh::peak_quantities(sh::shape(kDoniachSunjic), p.data(), ctx, x, density);
  EXPECT_TRUE(same_bits(a.top, b.top));
  EXPECT_TRUE(same_bits(a.fwhm, b.fwhm));
  // Twice the density: twice the top, the same width.
  std::vector<double> doubled = density;
  for (double& v : doubled) v *= 2.0;
  const sh::PeakQuantities c =
      sh::peak_quantities(sh::shape(kDoniachSunjic), p.data(), ctx, x, doubled);
  EXPECT_EQ(c.top, 2.0 * a.top);
  EXPECT_EQ(c.fwhm, a.fwhm);
}

// Profile evaluations of the counting Gaussian below.
std::size_t profile_calls = 0;

TEST(PeakQuantities, CostIsIndependentOfTheGridLength) {
  // The Gaussian entry with a profile that counts its points: a million grid points must not
  // mean a million profile evaluations.
  sh::ShapeEntry counting = sh::shape(kGaussian);
  counting.profile = [](std::span<const double> x, const double* p, const sh::ShapeContext& ctx,
                        std::span<double> out) {
    profile_calls += x.size();
    sh::shape(kGaussian).profile(x, p, ctx, out);
  };
  for (const std::size_t n : {std::size_t{401}, std::size_t{1000001}}) {
    const double step = 400.0 / static_cast<double>(n - 1);
    const std::vector<double> x = grid(-200.0, step, n);
    const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
    const std::vector<double> p{3.3, 4.0};
    const std::vector<double> density = registry_density(kGaussian, x, p, ctx);
    profile_calls = 0;
    const sh::PeakQuantities q = sh::peak_quantities(counting, p.data(), ctx, x, density);
    EXPECT_LT(relative(q.fwhm, velmora::pseudo_voigt::kFwhmPerSigma * 4.0), 1e-12) << n;
    EXPECT_LT(profile_calls, 500u) << n;
  }
}

// ---------------------------------------------------------------------------------------------
// Starting values

TEST(ShapeStart, GivesBackTheRequestedWidth) {
  const std::vector<double> x = grid(-200.0, 1.0, 401);
  const sh::ShapeContext ctx{-200.0, 200.0, 1.0};
  struct Case {
    std::size_t code;
    double tolerance;
  };
  // Exact for the shapes whose width is one parameter; Olivero's approximation for the Voigt
  // peak.  The Doniach-Sunjic start is the symmetric line's width with an asymmetry of 0.05,
  // which widens the line by about 6%.
  for (const Case& c : {Case{kGaussian, 1e-9}, Case{kLorentzian, 1e-9},
                        Case{kPseudoVoigt, 1e-9}, Case{kVoigt, 1e-2},
                        Case{kDoniachSunjic, 0.1}}) {
    for (const auto& [position, fwhm] :
         std::vector<std::pair<double, double>>{{0.0, 1.0}, {-33.3, 7.5}, {120.0, 40.0}}) {
      std::vector<double> p(sh::shape(c.code).params.size(), kNaN);
      sh::shape(c.code).start(position, fwhm, p.data());
      EXPECT_EQ(p[0], position);
      const sh::PeakQuantities q = quantities(c.code, p, x, ctx);
      EXPECT_LT(relative(q.fwhm, fwhm), c.tolerance)
          << sh::shape(c.code).name << " " << position << " " << fwhm << ": " << q.fwhm;
    }
  }
}

TEST(ShapeStart, TsdcActivationEnergyFromChensRelation) {
  const sh::ShapeEntry& e = sh::shape(kTsdc);
  const std::vector<double> t = grid(250.0, 0.5, 601);
  const sh::ShapeContext ctx{250.0, 550.0, 1.0};
  // Chen's relation is an approximation: the peak it starts gives back the width to a few
  // per cent.
  for (const auto& [tp, fwhm] :
       std::vector<std::pair<double, double>>{{406.0, 43.0}, {350.0, 20.0}, {450.0, 60.0}}) {
    double p[2] = {kNaN, kNaN};
    e.start(tp, fwhm, p);
    EXPECT_EQ(p[1], tp);
    const double expected_ea = 2.52 * velmora::tsdc::kBoltzmann * tp * tp / fwhm -
                               2.0 * velmora::tsdc::kBoltzmann * tp;
    EXPECT_NEAR(p[0], expected_ea, 1e-12 * expected_ea);
    const sh::PeakQuantities q = quantities(kTsdc, {p[0], p[1]}, t, ctx);
    EXPECT_LT(relative(q.fwhm, fwhm), 5e-2) << tp << " " << fwhm << ": " << q.fwhm;
  }
  // Clipped into [0.1, 4] eV.
  double p[2];
  e.start(400.0, 1000.0, p);
  EXPECT_EQ(p[0], 0.1);
  e.start(400.0, 0.5, p);
  EXPECT_EQ(p[0], 4.0);
}

}  // namespace

TEST(PeakQuantities, ClosedFormsAgreeWithTheProfileReadOff) {
  // A shape's closed-form maximum and width against the same shape read off its profile: a
  // wrong factor in a closed form (a half width for a full one) shows at once.  Centres on and
  // between grid points, near the window's edge, and each fwhm variant.
  const std::vector<double> x = grid(-50.0, 0.5, 201);
  const sh::ShapeContext ctx{-50.0, 50.0, 0.5};
  std::size_t checked = 0;
  for (std::size_t code = 0; code < sh::all_shapes().size(); ++code) {
    const sh::ShapeEntry* e = sh::all_shapes()[code];
    if (e->summit == nullptr) continue;
    for (const double centre : {0.0, 3.3, -48.7}) {
      std::vector<double> p(e->params.size(), 0.4);
      p[0] = centre;
      p[1] = 2.7;
      const std::vector<double> density = registry_density(code, x, p, ctx);
      sh::ShapeEntry numeric = *e;
      numeric.summit = nullptr;
      const sh::PeakQuantities closed = sh::peak_quantities(*e, p.data(), ctx, x, density);
      const sh::PeakQuantities read = sh::peak_quantities(numeric, p.data(), ctx, x, density);
      EXPECT_LT(relative(closed.fwhm, read.fwhm), 1e-12) << e->name << " at " << centre;
      EXPECT_LT(relative(closed.top, read.top), 1e-12) << e->name << " at " << centre;
      ++checked;
    }
  }
  EXPECT_GE(checked, 18u);  // gaussian, lorentzian, pseudo_voigt and their fwhm variants
}

TEST(ShapeRegistryExtras, ClosedFormDerivativesAgreeWithDifferences) {
  // Each shape's closed-form derivatives of its derived quantities against central differences
  // of `extras`, narrow and wide lines, one centred and one by the window's edge; a variant
  // that inherited its base's (in the base's parameters) would fail here too.
  const std::vector<double> x = grid(-50.0, 0.5, 201);
  const sh::ShapeContext ctx{-50.0, 50.0, 0.5};
  std::size_t checked = 0;
  for (const sh::ShapeEntry* e : sh::all_shapes()) {
    if (e->extras_derivatives == nullptr) continue;
    const std::size_t n = e->params.size();
    for (const auto& [centre, width] : {std::pair{0.0, 0.8}, std::pair{47.0, 6.0}}) {
      std::vector<double> p(n, 0.3);
      p[0] = centre;
      p[1] = width;
      double value[sh::kMaxExtras];
      double gradient[sh::kMaxExtras * sh::kMaxShapeParams];
      ASSERT_TRUE(e->extras_derivatives(p.data(), ctx, value, gradient)) << e->name;
      double plain[sh::kMaxExtras];
      e->extras(p.data(), ctx, plain);
      for (std::size_t a = 0; a < n; ++a) {
        const double h = 1e-5 * (std::fabs(p[a]) + 1.0);
        std::vector<double> up = p, down = p;
        up[a] += h;
        down[a] -= h;
        double vu[sh::kMaxExtras], vd[sh::kMaxExtras];
        e->extras(up.data(), ctx, vu);
        e->extras(down.data(), ctx, vd);
        for (std::size_t q = 0; q < e->extra_quantities.size(); ++q) {
          EXPECT_LT(relative(value[q], plain[q]), 1e-12) << e->name;
          const double slope = (vu[q] - vd[q]) / (2.0 * h);
          EXPECT_NEAR(gradient[q * n + a], slope, 1e-6 * (std::fabs(slope) + value[q] / width))
              << e->name << " d/d" << e->params[a].name << " at " << centre;
        }
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 2u);  // at least the Voigt
}
