// Background components of the EM mixture.
//
// A background occupies the mixture columns K..M-1 beside the K peaks and takes part in the
// mixture like a peak: it has its own mixing weight(s) and responsibilities.  `bg_type` codes:
//
//   0       no background (no column)
//   1       uniform 1/D on the window [lo, hi], D = hi - lo
//   2       sqrt(x) / g on the window, g = (hi^1.5 - lo^1.5) * 2/3
//   3       triangular max(a x + b, 0) on the window, rising from (1-s)/D to (1+s)/D
//   4       spline: one column per caller-supplied basis vector, copied unchanged
//   5..255  one column that is zero everywhere
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "em_gamma_ll.hpp"

namespace velmora {

enum class BackgroundKind : std::uint8_t {
  kNone = 0,
  kUniform = 1,
  kSquareRoot = 2,
  kTriangular = 3,
  kSpline = 4,
};

// Values of spline basis functions at the grid points, one vector per basis function.
using BasisList = std::vector<std::vector<double>>;

// Number of background columns B for a code and basis list.
std::size_t background_columns(std::uint8_t bg_type, const BasisList& basis);

// Fills columns K..K+B-1 of `density` for the code.  Throws InternalError when a spline basis
// vector's length differs from the number of grid values.
void fill_background(ColumnMatrix& density, std::size_t k, std::uint8_t bg_type,
                     std::span<const double> x, double lo, double hi, double s_tri,
                     const BasisList& basis);

// Maximum-likelihood slope of the triangular background for the weights v, in [0, 0.99999].
double update_triangle_slope(std::span<const double> x, std::span<const double> v, double lo,
                             double hi);

}  // namespace velmora
