// Passes over a grid that the densities of several shapes share: per-point work in blocks on
// the worker pool, and the trapezoid sum that normalises a profile over the grid.  The mixture
// fits (em/) and the package's engine (engine/) form every density through these, so both
// layers see the same values bit for bit.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "worker_pool.hpp"

namespace velmora::shapes {

// Grid points per pool task in the per-point passes.  A grid of at most this many points is
// evaluated on the calling thread; longer ones are split so that every block carries tens of
// microseconds of work, well above the cost of handing it to a worker.
inline constexpr std::size_t kPointsPerTask = 4096;

// Runs body(begin, end) over consecutive blocks of [0, n) on the pool, as few blocks of at most
// kPointsPerTask points as possible, of nearly equal length (on the calling thread when
// n <= kPointsPerTask).  The body must write only entries of its own block.
template <class Body>
void for_each_point_block(std::size_t n, Body&& body) {
  const std::size_t blocks = (n + kPointsPerTask - 1) / kPointsPerTask;
  if (blocks == 0) return;
  pool::for_each_block(n, (n + blocks - 1) / blocks, std::forward<Body>(body));
}

// Trapezoid sum sum_{j=0}^{n-2} (x_{j+1} - x_j) * ((q_j + q_{j+1}) * 0.5) over the first
// n = min(len x, len q) points, in index order; 0.0 when n < 2.
double trapezoid_sum(std::span<const double> x, std::span<const double> q);

}  // namespace velmora::shapes
