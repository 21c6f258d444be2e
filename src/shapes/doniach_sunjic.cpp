// The Doniach-Sunjic profile and density on a grid and the shape's registry entry
// (doniach_sunjic.hpp).
#include "shapes/doniach_sunjic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "shapes/grid_passes.hpp"

namespace velmora::doniach_sunjic {

DsKernel::DsKernel(double x0_, double gamma_, double alpha)
    : x0(x0_),
      gamma(gamma_),
      phi((kPi * alpha) * 0.5),
      a(1.0 - alpha),
      e(0.5 * a),
      g2(gamma * gamma) {}

void DsKernel::fill(std::span<const double> x, std::span<double> q, std::size_t begin,
                    std::size_t end) const {
  for (std::size_t i = begin; i < end; ++i) {
    const double d = x[i] - x0;
    const double theta = std::atan(d / gamma);
    q[i] = std::cos(theta * a + phi) / std::pow(d * d + g2, e);
  }
}

double DsKernel::normaliser(std::span<const double> x, std::span<const double> q) const {
  return shapes::trapezoid_sum(x, q.first(x.size()));
}

bool DsKernel::zero_density(double t) const { return std::fabs(t) < kZeroNorm; }

double ds_profile(std::span<const double> x, std::span<double> q, double x0, double gamma,
                  double alpha) {
  const DsKernel kernel(x0, gamma, alpha);
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    kernel.fill(x, q, begin, end);
  });
  return kernel.normaliser(x, q);
}

double ds_pdf(std::span<const double> x, std::span<double> p, double x0, double gamma,
              double alpha) {
  const double t = ds_profile(x, p, x0, gamma, alpha);
  const std::size_t n = x.size();
  if (std::fabs(t) < kZeroNorm) {
    std::fill(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
    return t;
  }
  shapes::for_each_point_block(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) p[i] = p[i] / t;
  });
  return t;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

// The start's asymmetry: a slightly asymmetric line.
constexpr double kStartAlpha = 0.05;
// The default upper bound of alpha.
constexpr double kAlphaDefaultHi = 0.6;

void registry_density(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic");
  ds_pdf(x, out, p[0], p[1], p[2]);
}

void registry_profile(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic");
  DsKernel(p[0], p[1], p[2]).fill(x, out, 0, x.size());
}

// gamma is a half width: half the full width of the symmetric (alpha = 0) line.
void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = 0.5 * fwhm;
  p[2] = kStartAlpha;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "doniach_sunjic",
    .params = {shapes::kFramedCentre,
               // The half width of the narrowest peak.
               shapes::framed_width("gamma", 0.5, "half width (Lorentzian)"),
               {.name = "alpha",
                .kind = shapes::Kind::plain,
                .natural_lo = 0.0,
                .natural_hi = 1.0,
                .hi_open = true,
                .default_rule = shapes::DefaultRule::absolute,
                .default_lo = 0.0,
                .default_hi = kAlphaDefaultHi,
                .step_rule = shapes::StepRule::absolute,
                .step = shapes::kShapeStep,
                .description = "asymmetry"}},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::doniach_sunjic
