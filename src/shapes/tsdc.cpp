// The TSDC peak current and density on a temperature grid and the shape's registry entry
// (tsdc.hpp).
#include "shapes/tsdc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "shapes/fwhm_inverse.hpp"
#include "special/expint.hpp"
#include "worker_pool.hpp"

namespace velmora::tsdc {
namespace {

using special::exponential_integral_en;
using special::exponential_integral_en_many;

// Points per task of the division by the area (a cheap operation per point).
constexpr std::size_t kDivideGrain = 8192;

void divide_all(std::span<double> out, double area) {
  pool::for_each_block(out.size(), kDivideGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = out[i] / area;
  });
}

}  // namespace

double trapezoid_area(std::span<const double> t, std::span<const double> y, std::size_t m) {
  double area = -0.0;
  for (std::size_t i = 0; i + 1 < m; ++i) {
    area = area + (t[i + 1] - t[i]) * ((y[i] + y[i + 1]) * 0.5);
  }
  return area + kAreaFloor;
}

double peak_current(double t, double ea, double tau0, double beta) {
  const double z = (ea * kInvBoltzmann) / t;
  return current_from_e2(exponential_integral_en(2, z), t, ea, tau0, beta);
}

void tsdc_pdf(std::span<const double> t, std::span<double> out, double ea, double tau0,
              double beta) {
  const std::size_t m = std::min(t.size(), out.size());
  pool::for_each_block(m, kPointGrain, [&](std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    Batch z, e2;
    fill_z(t, ea, begin, end, z);
    exponential_integral_en_many(2, head(z, len), head(e2, len));
    for (std::size_t i = begin; i < end; ++i) {
      out[i] = current_from_e2(e2[i - begin], t[i], ea, tau0, beta);
    }
  });
  divide_all(out, trapezoid_area(t, out, m));
}

double tsdc_tau0_from_tp(double ea, double tp, double beta) {
  const double u = kBoltzmann * tp;
  return std::exp((-ea) / u) * ((tp * u) / (beta * ea));
}

double tsdc_window_mass(double ea, double tau0, double beta, double t_min, double t_max) {
  // The current's integral from 0 is F(T) = 1 - exp(-s(T)), s(T) = T E_2(ea / (k_B T)) /
  // (beta tau0), so the window holds exp(-s(t_min)) (1 - exp(-(s(t_max) - s(t_min)))).
  auto s = [&](double t) {
    if (!(t > 0.0)) return 0.0;
    return t * exponential_integral_en(2, (ea * kInvBoltzmann) / t) / (beta * tau0);
  };
  const double lo = s(t_min);
  return std::exp(-lo) * -std::expm1(lo - s(t_max));
}

double tsdc_fwhm(double ea, double tp) {
  // beta tau0 alone enters the shape, and the peak condition fixes it from ea and tp.
  const double tau0 = tsdc_tau0_from_tp(ea, tp, 1.0);
  const double top = peak_current(tp, ea, tau0, 1.0);
  // Chen's relation for the scale of the search.
  const double scale = 2.52 * kBoltzmann * tp * tp / (ea + 2.0 * kBoltzmann * tp);
  const double right = shapes::half_crossing(
      [&](double d) { return peak_current(tp + d, ea, tau0, 1.0) / top - 0.5; }, scale,
      std::numeric_limits<double>::infinity());
  const double left = shapes::half_crossing(
      [&](double d) { return peak_current(tp - d, ea, tau0, 1.0) / top - 0.5; }, scale, tp);
  return left + right;
}

double tsdc_ea_from_fwhm(double fwhm, double tp) {
  if (!(fwhm > 0.0) || !(tp > 0.0) || !std::isfinite(fwhm) || !std::isfinite(tp)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double chen = 2.52 * kBoltzmann * tp * tp / fwhm;
  const double guess = std::max(chen - 2.0 * kBoltzmann * tp, 0.01 * chen);
  return shapes::solve_width([&](double ea) { return tsdc_fwhm(ea, tp) / fwhm - 1.0; }, guess,
                             false);
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

// Chen's peak-shape relation between the activation energy and the full width W of a
// first-order peak at tp: ea = 2.52 k_B tp^2 / W - 2 k_B tp.
constexpr double kChenWidthFactor = 2.52;
constexpr double kChenShift = 2.0;
// The range a starting activation energy is clipped into (eV).
constexpr double kStartEaMin = 0.1;
constexpr double kStartEaMax = 4.0;
// Default bounds of the activation energy (eV).
constexpr double kEaDefaultLo = 0.05;
constexpr double kEaDefaultHi = 5.0;
// Relative difference steps of ea and tp.  tp is a position: 1e-5 of a few hundred kelvin is
// about 1e-4 of a peak's width, the centre step of the framed shapes.
constexpr double kEaStep = 1e-4;
constexpr double kTpStep = 1e-5;

// The current divided by its integral over the window, the thermogram's temperature range
// (floored at 1e-300): an area is the charge released inside it, in counts.
double floored_tsdc_mass(const double* p, const shapes::ShapeContext& ctx) {
  const double tau0 = tsdc_tau0_from_tp(p[0], p[1], ctx.beta);
  return shapes::floored_mass(tsdc_window_mass(p[0], tau0, ctx.beta, ctx.x_min, ctx.x_max));
}

void registry_density(std::span<const double> t, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(t.size(), out.size(), "tsdc");
  const double ea = p[0];
  const double tau0 = tsdc_tau0_from_tp(ea, p[1], ctx.beta);
  const double mass = floored_tsdc_mass(p, ctx);
  const double beta = ctx.beta;
  pool::for_each_block(t.size(), kPointGrain, [&](std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    Batch z, e2;
    fill_z(t, ea, begin, end, z);
    exponential_integral_en_many(2, head(z, len), head(e2, len));
    for (std::size_t i = begin; i < end; ++i) {
      out[i] = current_from_e2(e2[i - begin], t[i], ea, tau0, beta) / mass;
    }
  });
}

void registry_profile(std::span<const double> t, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(t.size(), out.size(), "tsdc");
  const double ea = p[0];
  const double tau0 = tsdc_tau0_from_tp(ea, p[1], ctx.beta);
  const double mass = floored_tsdc_mass(p, ctx);
  for (std::size_t i = 0; i < t.size(); ++i) {
    out[i] = peak_current(t[i], ea, tau0, ctx.beta) / mass;
  }
}

// ea from Chen's relation at tp = position, clipped into [0.1, 4] eV; a NaN estimate (a NaN
// position or width) stays NaN.
void registry_start(double position, double fwhm, double* p) {
  const double tp = position;
  double ea = kChenWidthFactor * kBoltzmann * tp * tp / fwhm - kChenShift * kBoltzmann * tp;
  if (ea < kStartEaMin) ea = kStartEaMin;
  if (ea > kStartEaMax) ea = kStartEaMax;
  p[0] = ea;
  p[1] = tp;
}

// tau0, and the whole line (which integrates to 1 from 0 K up) over the window's share.
void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = tsdc_tau0_from_tp(p[0], p[1], ctx.beta);
  out[1] = 1.0 / floored_tsdc_mass(p, ctx);
}

double registry_ea(double fwhm, double* p, const shapes::ShapeContext&) {
  return tsdc_ea_from_fwhm(fwhm, p[1]);
}

constexpr shapes::ShapeEntry kEntry{
    .name = "tsdc",
    .framed = false,
    .heating_rate = true,
    .params = {{.name = "ea",
                .kind = shapes::Kind::plain,
                .natural_lo = 0.0,
                .natural_hi = shapes::kUnbounded,
                .lo_open = true,
                .default_rule = shapes::DefaultRule::absolute,
                .default_lo = kEaDefaultLo,
                .default_hi = kEaDefaultHi,
                .step_rule = shapes::StepRule::relative,
                .step = kEaStep,
                .description = "activation energy (eV)"},
               {.name = "tp",
                .kind = shapes::Kind::location,
                .natural_lo = 0.0,
                .natural_hi = shapes::kUnbounded,
                .lo_open = true,
                .default_rule = shapes::DefaultRule::window,
                .step_rule = shapes::StepRule::relative,
                .step = kTpStep,
                .description = "peak temperature (K)"}},
    .extra_quantities = {{.name = "tau0",
                          .kind = shapes::Kind::plain,
                          .description = "pre-exponential time (time unit of beta)"},
                         shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start,
    .extras = registry_extras,
    .primary = 0,
    .primary_from_fwhm = registry_ea};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::tsdc
