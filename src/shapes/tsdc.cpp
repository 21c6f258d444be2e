// The TSDC peak current and density on a temperature grid and the shape's registry entry
// (tsdc.hpp).
#include "shapes/tsdc.hpp"

#include <algorithm>
#include <cmath>

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

void registry_density(std::span<const double> t, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(t.size(), out.size(), "tsdc");
  const double ea = p[0];
  tsdc_pdf(t, out, ea, tsdc_tau0_from_tp(ea, p[1], ctx.beta), ctx.beta);
}

void registry_profile(std::span<const double> t, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(t.size(), out.size(), "tsdc");
  const double ea = p[0];
  const double tau0 = tsdc_tau0_from_tp(ea, p[1], ctx.beta);
  for (std::size_t i = 0; i < t.size(); ++i) out[i] = peak_current(t[i], ea, tau0, ctx.beta);
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

void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = tsdc_tau0_from_tp(p[0], p[1], ctx.beta);
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
    .extra_names = {"tau0"},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start,
    .extras = registry_extras};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::tsdc
