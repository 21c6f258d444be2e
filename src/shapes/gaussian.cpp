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

void registry_density(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "gaussian");
  pool::for_each_block(x.size(), kDensityGrain, [&](std::size_t begin, std::size_t end) {
    fill_density(p[0], p[1], x, out, begin, end);
  });
}

// The density needs no grid normaliser, so the profile is the density itself.
void registry_profile(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "gaussian");
  fill_density(p[0], p[1], x, out, 0, x.size());
}

void registry_start(double position, double fwhm, double* p) {
  p[0] = position;
  p[1] = fwhm / kFwhmPerSigma;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "gaussian",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("sigma", 1.0 / kFwhmPerSigma, "Gaussian standard deviation")},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::gaussian
