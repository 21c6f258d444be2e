// The Gaussian density on a grid and the shape's registry entry (gaussian.hpp).
#include "shapes/gaussian.hpp"

#include <cmath>

#include "shapes/pseudo_voigt.hpp"
#include "worker_pool.hpp"

namespace velmora::gaussian {

void fill_density(double mu, double sigma, std::span<const double> x, std::span<double> out,
                  std::size_t begin, std::size_t end) {
  const double c = 1.0 / (sigma * kSqrt2);
  const double q = std::sqrt(sigma * (sigma * kTwoPi));
  for (std::size_t i = begin; i < end; ++i) {
    const double z = (x[i] - mu) * c;
    out[i] = std::exp(-z * z) / q;
  }
}

std::vector<double> gaussian_predict(std::span<const double> x, double mu, double sigma) {
  std::vector<double> out(x.size(), 0.0);
  pool::for_each_block(x.size(), kDensityGrain, [&](std::size_t begin, std::size_t end) {
    fill_density(mu, sigma, x, out, begin, end);
  });
  return out;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

using pseudo_voigt::kFwhmPerSigma;

// The normal density divided by its window mass: an area is the counts inside the window.
void window_density(std::span<const double> x, const double* p, const shapes::ShapeContext& ctx,
                    std::span<double> out, std::size_t begin, std::size_t end) {
  const double mass =
      shapes::floored_mass(shapes::normal_window_mass(p[0], p[1], ctx.x_min, ctx.x_max));
  fill_density(p[0], p[1], x, out, begin, end);
  for (std::size_t i = begin; i < end; ++i) out[i] = out[i] / mass;
}

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "gaussian");
  pool::for_each_block(x.size(), kDensityGrain, [&](std::size_t begin, std::size_t end) {
    window_density(x, p, ctx, out, begin, end);
  });
}

// The density at any point is the profile.
void registry_profile(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "gaussian");
  window_density(x, p, ctx, out, 0, x.size());
}

// A normal density is largest at its mean, and its full width is kFwhmPerSigma sigma.
void registry_summit(const double* p, const shapes::ShapeContext&, double* out) {
  out[0] = p[0];
  out[1] = kFwhmPerSigma * p[1];
}

void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = fwhm / kFwhmPerSigma;
}

void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = 1.0 / shapes::floored_mass(shapes::normal_window_mass(p[0], p[1], ctx.x_min,
                                                                 ctx.x_max));
}

double registry_sigma(double fwhm, double*, const shapes::ShapeContext&) {
  return fwhm / kFwhmPerSigma;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "gaussian",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("sigma", 1.0 / kFwhmPerSigma, "Gaussian standard deviation")},
    .extra_quantities = {shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .summit = registry_summit,
    .start = registry_start,
    .extras = registry_extras,
    .primary = 1,
    .primary_from_fwhm = registry_sigma};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::gaussian
