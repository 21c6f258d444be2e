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

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "lorentzian");
  lorentzian_pdf(x, out, p[0], p[1], ctx.x_min, ctx.x_max);
}

void registry_profile(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "lorentzian");
  LorentzianKernel(p[0], p[1], ctx.x_min, ctx.x_max).fill(x, out, 0, x.size());
}

// gamma is the full width at half maximum itself.
void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = fwhm;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "lorentzian",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("gamma", 1.0, "full width at half maximum")},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::lorentzian
