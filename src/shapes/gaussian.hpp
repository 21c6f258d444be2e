// Gaussian peaks: the normal density on the whole line, as both fitting layers form it.
//
//   f(x; mu, sigma) = exp(-(x - mu)^2 / (2 sigma^2)) / sqrt(2 pi sigma^2)
//
// evaluated as z = (x - mu) * c with c = 1 / (sigma * sqrt 2) and q = sqrt(sigma (sigma 2 pi)),
// f = exp(-z z) / q, so a negative sigma behaves like |sigma|.  The window plays no part in
// the mixture fit's column (its closed-form update is em/gaussian_em.hpp); the package's
// density divides f by its window mass.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "shapes/registry.hpp"

namespace velmora::gaussian {

inline constexpr double kSqrt2 = 1.4142135623730951;   // sqrt(2)
inline constexpr double kTwoPi = 6.283185307179586;    // 2 pi
// Grid points per density task: whole columns are split so that a few components still keep
// every worker busy.
inline constexpr std::size_t kDensityGrain = 16384;

// Writes the density at x[begin..end) into out[begin..end).
void fill_density(double mu, double sigma, std::span<const double> x, std::span<double> out,
                  std::size_t begin, std::size_t end);

// The density at every grid value, as the mixture fit forms it.
std::vector<double> gaussian_predict(std::span<const double> x, double mu, double sigma);

// The registry entry "gaussian": parameters (x0, sigma) in internal units; the density is
// fill_density's divided by the normal window mass, the profile the density itself.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::gaussian
