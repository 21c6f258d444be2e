// The trapezoid sum of a profile over its grid (grid_passes.hpp).
#include "shapes/grid_passes.hpp"

#include <algorithm>

namespace velmora::shapes {

double trapezoid_sum(std::span<const double> x, std::span<const double> q) {
  const std::size_t n = std::min(x.size(), q.size());
  double t = 0.0;
  for (std::size_t j = 0; j + 1 < n; ++j) t += (x[j + 1] - x[j]) * ((q[j] + q[j + 1]) * 0.5);
  return t;
}

}  // namespace velmora::shapes
