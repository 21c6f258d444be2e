// The pseudo-Voigt profile on a grid and the shape's registry entry (pseudo_voigt.hpp).
#include "shapes/pseudo_voigt.hpp"

#include <cmath>

#include "worker_pool.hpp"

namespace velmora::pseudo_voigt {
namespace {

// Points per pool task of the profile on a grid (about 20 ns of work per point).
constexpr std::size_t kPredictGrain = 4096;

}  // namespace

PvPeak::PvPeak(double x0_, double gamma, double x_min, double x_max)
    : x0(x0_), sigma(gamma / kFwhmPerSigma), g(0.5 * gamma), z(window_mass(x0_, g, x_min, x_max)) {}

double window_mass(double x0, double g, double x_min, double x_max) {
  const double a = std::atan((x_max - x0) / g);
  const double b = std::atan((x_min - x0) / g);
  const double z = (a - b) * kInvPi;
  return z > kMassFloor ? z : kMassFloor;  // a NaN mass takes the floor
}

double pv_profile(double x, double x0, double gamma, double eta, double x_min, double x_max) {
  return PvPeak(x0, gamma, x_min, x_max).profile(x, eta);
}

std::vector<double> pseudo_voigt_predict(std::span<const double> x, double x0, double gamma,
                                         double eta, double x_min, double x_max) {
  std::vector<double> out(x.size(), 0.0);
  const PvPeak peak(x0, gamma, x_min, x_max);
  // Every point on its own: long grids are split over the pool in blocks.
  pool::for_each_block(x.size(), kPredictGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = peak.profile(x[i], eta);
  });
  return out;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

// The start's Gaussian share: half Gaussian, half Lorentzian.
constexpr double kStartEta = 0.5;

// The package's gamma is the half width at half maximum of both parts (the mixture fit's is
// the full width, 2 gamma).  P integrates to eta Z_N + (1 - eta) over the window, Z_N the
// window mass of its (untruncated) normal part: the density is P divided by that.
struct WindowPv {
  PvPeak peak;
  double eta, scale;
  WindowPv(const double* p, const shapes::ShapeContext& ctx)
      : peak(p[0], 2.0 * p[1], ctx.x_min, ctx.x_max), eta(p[2]) {
    const double normal = shapes::normal_window_mass(peak.x0, peak.sigma, ctx.x_min, ctx.x_max);
    scale = 1.0 / shapes::floored_mass(eta * normal + (1.0 - eta));
  }
  double operator()(double x) const { return peak.profile(x, eta) * scale; }
};

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "pseudo_voigt");
  const WindowPv f(p, ctx);
  pool::for_each_block(x.size(), kDensityGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = f(x[i]);
  });
}

void registry_profile(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "pseudo_voigt");
  const WindowPv f(p, ctx);
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = f(x[i]);
}

// Both parts have the full width at half maximum 2 gamma, so any mixture of them has it too,
// and both are largest at x0.
void registry_summit(const double* p, const shapes::ShapeContext&, double* out) {
  out[0] = p[0];
  out[1] = 2.0 * p[1];
}

void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = 0.5 * fwhm;
  p[2] = kStartEta;
}

// The whole line integrates to eta + (1 - eta) / Z_L: its area over the window's.
void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  const WindowPv f(p, ctx);
  out[0] = (f.eta + (1.0 - f.eta) / f.peak.z) * f.scale;
}

double registry_gamma(double fwhm, double*, const shapes::ShapeContext&) {
  return 0.5 * fwhm;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "pseudo_voigt",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("gamma", 0.5, "half width at half maximum"),
               {.name = "eta",
                .kind = shapes::Kind::plain,
                .natural_lo = 0.0,
                .natural_hi = 1.0,
                .default_rule = shapes::DefaultRule::absolute,
                .default_lo = 0.0,
                .default_hi = 1.0,
                .step_rule = shapes::StepRule::absolute,
                .step = shapes::kShapeStep,
                .description = "Gaussian share"}},
    .extra_quantities = {shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .summit = registry_summit,
    .start = registry_start,
    .extras = registry_extras,
    .primary = 1,
    .primary_from_fwhm = registry_gamma};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::pseudo_voigt
