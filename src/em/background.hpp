// Background components of the EM mixture.
//
// A background occupies the mixture columns K..M-1 beside the K peaks and takes part in the
// mixture like a peak: it has its own mixing weight(s) and responsibilities.  `bg_type` codes
// (window [lo, hi], D = hi - lo, both window ends included):
//
//   0       no background (no column)
//   1       uniform 1/D on the window; 0 everywhere when D is not positive
//   2       sqrt(x) / g on the window where x >= 0, g = (hi^1.5 - lo^1.5) * 2/3; g = 1 when
//           that is NaN (lo < 0) or not above 1e-300 in magnitude
//   3       triangular max(a x + b, 0) on the window, a = 2s / D^2, b = (1 - s)/D - lo a: rises
//           linearly from (1-s)/D at lo to (1+s)/D at hi and integrates to 1 for |s| <= 1; a
//           NaN value (D = 0) is stored as 0
//   4       spline: one column per caller-supplied basis vector, copied unchanged
//   5..255  one column that is zero everywhere (its weight follows only its Dirichlet term)
//
// The triangular slope s is the one fitted background parameter: update_triangle_slope solves
// the score equation d/ds sum_i v_i ln(density_s(x_i)) = 0 on [0, 0.99999] with brentq.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "em/em_gamma_ll.hpp"

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

// Normaliser of the square-root density: the double nearest 2/3, as in
// integral_lo^hi sqrt(x) dx = (hi^1.5 - lo^1.5) * 2/3.
inline constexpr double kTwoThirds = 0.6666666666666666;
// A square-root normaliser whose magnitude is not above this (or is NaN) is replaced by 1.
inline constexpr double kSqrtNormFloor = 1e-300;
// Range of the fitted triangular slope: 0 is the uniform density; the upper end stays below 1
// so that the density never quite reaches 0 at the lower window end.
inline constexpr double kTriangleSlopeMin = 0.0;
inline constexpr double kTriangleSlopeMax = 0.99999;
// Added to the triangular density in the denominator of the slope score, so that the score
// stays finite where the density vanishes (it shifts the root slightly upward).
inline constexpr double kTriangleScoreFloor = 1e-5;
// brentq tolerance of the slope search.
inline constexpr double kTriangleSlopeTol = 1e-8;

// Number of background columns B for a code and basis list.
std::size_t background_columns(std::uint8_t bg_type, const BasisList& basis);

// Fills the first N = len(x) entries of columns K..K+B-1 of `density` for the code, leaving every
// other column untouched; does nothing for code 0 or code 4 without basis vectors.  Throws
// InternalError, before writing anything, when a spline basis vector's length differs from the
// number of grid values, or when the matrix has fewer than K + B columns or N rows.
void fill_background(ColumnMatrix& density, std::size_t k, std::uint8_t bg_type,
                     std::span<const double> x, double lo, double hi, double s_tri,
                     const BasisList& basis);

// Maximum-likelihood slope of the triangular background for the weights v (v[i] = intensity *
// responsibility of the background column at x[i]; the first min(len(v), len(x)) points count),
// in [0, 0.99999].  When the score does not change sign over [0, 0.99999], or the search does
// not converge, the result is 0 if score(0) <= 0 and 0.99999 otherwise.  A NaN root (possible
// only when the score is NaN inside the interval) is returned as NaN.
double update_triangle_slope(std::span<const double> x, std::span<const double> v, double lo,
                             double hi);

}  // namespace velmora
