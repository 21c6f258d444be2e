// The Lorentzian profile and density on a grid and the shape's registry entry (lorentzian.hpp).
#include "shapes/lorentzian.hpp"

#include <cmath>

#include "shapes/grid_passes.hpp"

namespace velmora::lorentzian {

LorentzianKernel::LorentzianKernel(double x0_, double gamma_, double x_min, double x_max)
    : x0(x0_), gamma(gamma_) {
  const double g = 0.5 * gamma;
  // Mass of the Cauchy kernel on the window, computed once per evaluation.
  const double a = std::atan((x_max - x0) / g);
  const double b = std::atan((x_min - x0) / g);
  double z = a * kInvPi - b * kInvPi;
  if (!(z > kFloor)) z = kFloor;  // max(z, 1e-300); a NaN mass takes the floor
  d_norm = z * kPi;
  g2 = g * g;
}

void LorentzianKernel::fill(std::span<const double> x, std::span<double> q, std::size_t begin,
                            std::size_t end) const {
  for (std::size_t i = begin; i < end; ++i) {
    const double d = x[i] - x0;
    q[i] = gamma / ((d * d + g2) * d_norm);
  }
}

double LorentzianKernel::normaliser(std::span<const double> x, std::span<const double> q) const {
  const std::size_t n = x.size();
  if (n < 2) return kFloor;
  const double t = shapes::trapezoid_sum(x, q.first(n));
  return t > kFloor ? t : kFloor;  // max(t, 1e-300); a NaN sum takes the floor
}

double lorentzian_profile(std::span<const double> x, std::span<double> q, double x0,
                          double gamma, double x_min, double x_max) {
  const LorentzianKernel kernel(x0, gamma, x_min, x_max);
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    kernel.fill(x, q, begin, end);
  });
  return kernel.normaliser(x, q);
}

double lorentzian_pdf(std::span<const double> x, std::span<double> p, double x0, double gamma,
                      double x_min, double x_max) {
  const double t = lorentzian_profile(x, p, x0, gamma, x_min, x_max);
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) p[i] = p[i] / t;
  });
  return t;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

// The package's gamma is the half width g (the mixture fit's is the full width 2 g).  The
// density is the Cauchy density divided by its window mass,
//   f(x) = g / (((x - x0)^2 + g^2) pi Z),  Z = (atan((x_max - x0) / g) - atan((x_min - x0) / g)) / pi,
// with Z floored at 1e-300.
struct WindowCauchy {
  double x0, g, g2, norm;
  WindowCauchy(const double* p, const shapes::ShapeContext& ctx)
      : x0(p[0]), g(p[1]), g2(p[1] * p[1]) {
    const double z = (std::atan((ctx.x_max - x0) / g) - std::atan((ctx.x_min - x0) / g)) * kInvPi;
    norm = shapes::floored_mass(z) * kPi;
  }
  double operator()(double x) const {
    const double d = x - x0;
    return g / ((d * d + g2) * norm);
  }
};

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "lorentzian");
  const WindowCauchy f(p, ctx);
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = f(x[i]);
  });
}

void registry_profile(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "lorentzian");
  const WindowCauchy f(p, ctx);
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = f(x[i]);
}

void registry_summit(const double* p, const shapes::ShapeContext&, double* out) {
  out[0] = p[0];
  out[1] = 2.0 * p[1];
}

void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = 0.5 * fwhm;
}

void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = kPi / WindowCauchy(p, ctx).norm;
}

double registry_gamma(double fwhm, double*, const shapes::ShapeContext&) {
  return 0.5 * fwhm;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "lorentzian",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("gamma", 0.5, "half width at half maximum")},
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

}  // namespace velmora::lorentzian
