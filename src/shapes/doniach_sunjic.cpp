// The Doniach-Sunjic profile and density on a grid and the shape's registry entry
// (doniach_sunjic.hpp).
#include "shapes/doniach_sunjic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "shapes/fwhm_inverse.hpp"
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
// The window mass and the full width

double ds_window_mass(double x0, double gamma, double alpha, double x_min, double x_max) {
  // q(d) = Re[exp(-i pi alpha / 2) (gamma + i d)^-(1 - alpha)], whose antiderivative is
  // Re[exp(-i pi alpha / 2) (gamma + i d)^alpha / (i alpha)]
  //   = r^alpha sin(alpha (theta - pi / 2)) / alpha,  r = |gamma + i d|, theta = atan(d / gamma),
  // (atan(d / gamma) - pi / 2 at alpha = 0, the Lorentzian's).
  auto antiderivative = [&](double x) {
    const double d = x - x0;
    const double psi = std::atan(d / gamma) - 0.5 * kPi;
    if (alpha == 0.0) return psi;
    return std::exp(alpha * std::log(std::hypot(gamma, d))) * (std::sin(alpha * psi) / alpha);
  };
  return antiderivative(x_max) - antiderivative(x_min);
}

double ds_unit_fwhm(double alpha) {
  // The maximum of the profile of half width 1 lies at d = cot(pi / (2 - alpha)).
  const double at = std::cos(kPi / (2.0 - alpha)) / std::sin(kPi / (2.0 - alpha));
  const DsKernel kernel(0.0, 1.0, alpha);
  auto profile = [&](double x) {
    const std::array<double, 1> point{x};
    std::array<double, 1> value{};
    kernel.fill(point, value, 0, 1);
    return value[0];
  };
  const double top = profile(at);
  const double inf = std::numeric_limits<double>::infinity();
  const double right =
      shapes::half_crossing([&](double d) { return profile(at + d) / top - 0.5; }, 1.0, inf);
  const double left =
      shapes::half_crossing([&](double d) { return profile(at - d) / top - 0.5; }, 1.0, inf);
  return left + right;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {


// The profile over its window mass (floored at 1e-300): an area is the counts in the window.
void window_density(std::span<const double> x, std::span<double> out, std::size_t begin,
                    std::size_t end, const DsKernel& kernel, double mass) {
  kernel.fill(x, out, begin, end);
  for (std::size_t i = begin; i < end; ++i) out[i] = out[i] / mass;
}

double floored_ds_mass(const double* p, const shapes::ShapeContext& ctx) {
  return shapes::floored_mass(ds_window_mass(p[0], p[1], p[2], ctx.x_min, ctx.x_max));
}

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic");
  const DsKernel kernel(p[0], p[1], p[2]);
  const double mass = floored_ds_mass(p, ctx);
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    window_density(x, out, begin, end, kernel, mass);
  });
}

void registry_profile(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic");
  window_density(x, out, 0, x.size(), DsKernel(p[0], p[1], p[2]), floored_ds_mass(p, ctx));
}

// gamma is a half width: half the full width of the symmetric (alpha = 0) line.
void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = 0.5 * fwhm;
  p[2] = kStartAlpha;
}

// The whole line integrates to pi at alpha = 0 (a Lorentzian) and has no finite area for
// alpha > 0, whose tail falls as |d|^-(1 - alpha).
void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = p[2] == 0.0 ? kPi / floored_ds_mass(p, ctx) : std::numeric_limits<double>::quiet_NaN();
}

// The profile scales with gamma: its full width is gamma ds_unit_fwhm(alpha).
double registry_gamma(double fwhm, double* p, const shapes::ShapeContext&) {
  return fwhm / ds_unit_fwhm(p[2]);
}

constexpr shapes::ShapeEntry kEntry{
    .name = "doniach_sunjic",
    .params = {shapes::kFramedCentre,
               // The half width of the narrowest peak.
               shapes::framed_width("gamma", 0.5, "half width (Lorentzian)"),
               kAlphaParam},
    .extra_quantities = {shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start,
    .extras = registry_extras,
    .primary = 1,
    .primary_from_fwhm = registry_gamma};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::doniach_sunjic
