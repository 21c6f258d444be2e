// Background columns of the EM density matrix and the fit of the triangular slope.
//
// fill_background writes the density of the background at every grid value, one pass per
// column, no allocation.  update_triangle_slope maximises the intensity-weighted
// log-likelihood of the triangular density over its slope s by a bracketing root search
// (brentq) of the score
//
//   score(s) = sum_{i : lo <= x_i <= hi} (x_i e + f) v_i / (a(s) x_i + b(s) + 1e-5),
//
// with e = 2/D^2, f = -1/D - lo e (the derivative of a(s) x + b(s) with respect to s),
// a(s) = 2s/D^2 and b(s) = (1 - s)/D - a(s) lo.
#include "em/background.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "errors.hpp"
#include "optim/brentq.hpp"

namespace velmora {
namespace {

bool in_window(double xi, double lo, double hi) { return lo <= xi && xi <= hi; }

// 1/D on [lo, hi]; 0 everywhere when D is not positive (or NaN).
void fill_uniform(std::span<double> col, std::span<const double> x, double lo, double hi) {
  const double d = hi - lo;
  if (!(d > 0.0)) {
    std::fill(col.begin(), col.end(), 0.0);
    return;
  }
  const double value = 1.0 / d;
  for (std::size_t i = 0; i < col.size(); ++i) col[i] = in_window(x[i], lo, hi) ? value : 0.0;
}

// sqrt(x)/g on [lo, hi] where x >= 0, with g = (hi^1.5 - lo^1.5) * 2/3.
void fill_square_root(std::span<double> col, std::span<const double> x, double lo, double hi) {
  double g = (std::pow(hi, 1.5) - std::pow(lo, 1.5)) * kTwoThirds;
  // pow of a negative base is NaN (lo < 0); a vanishing window (lo = hi) gives g = 0.  Either
  // way the column falls back to sqrt(x) itself.
  if (std::isnan(g) || !(std::fabs(g) > kSqrtNormFloor)) g = 1.0;
  for (std::size_t i = 0; i < col.size(); ++i) {
    const double xi = x[i];
    col[i] = (in_window(xi, lo, hi) && xi >= 0.0) ? std::sqrt(xi) / g : 0.0;
  }
}

// max(a x + b, 0) on [lo, hi], a = 2s/D^2, b = (1 - s)/D - lo a.  For |s| > 1 the negative part
// is cut; a NaN value (D = 0 makes a and b infinite or NaN) is stored as 0.
void fill_triangular(std::span<double> col, std::span<const double> x, double lo, double hi,
                     double s) {
  const double d = hi - lo;
  const double a = (2.0 * s) / (d * d);
  const double b = (1.0 - s) / d - lo * a;
  for (std::size_t i = 0; i < col.size(); ++i) {
    const double xi = x[i];
    if (!in_window(xi, lo, hi)) {
      col[i] = 0.0;
      continue;
    }
    const double value = a * xi + b;
    col[i] = value > 0.0 ? value : 0.0;  // negative and NaN both become 0
  }
}

}  // namespace

std::size_t background_columns(std::uint8_t bg_type, const BasisList& basis) {
  switch (bg_type) {
    case 0:
      return 0;
    case 4:
      return basis.size();
    default:
      return 1;
  }
}

void fill_background(ColumnMatrix& density, std::size_t k, std::uint8_t bg_type,
                     std::span<const double> x, double lo, double hi, double s_tri,
                     const BasisList& basis) {
  const std::size_t b_count = background_columns(bg_type, basis);
  if (b_count == 0) return;

  // Preconditions, all checked before the first write.
  const std::size_t n = x.size();
  if (k + b_count > density.columns()) {
    throw InternalError("background code " + std::to_string(bg_type) + " needs columns " +
                        std::to_string(k) + ".." + std::to_string(k + b_count - 1) +
                        " but the density matrix has " + std::to_string(density.columns()) +
                        " columns");
  }
  if (n > density.rows()) {
    throw InternalError("the grid has " + std::to_string(n) +
                        " values but the density matrix has " +
                        std::to_string(density.rows()) + " rows");
  }
  if (bg_type == static_cast<std::uint8_t>(BackgroundKind::kSpline)) {
    for (std::size_t j = 0; j < basis.size(); ++j) {
      if (basis[j].size() != n) {
        throw InternalError("spline basis vector " + std::to_string(j) + " has " +
                            std::to_string(basis[j].size()) + " values but the grid has " +
                            std::to_string(n) +
                            "; every basis vector needs one value per grid point");
      }
    }
  }

  switch (bg_type) {
    case static_cast<std::uint8_t>(BackgroundKind::kUniform):
      fill_uniform(density.column(k).first(n), x, lo, hi);
      break;
    case static_cast<std::uint8_t>(BackgroundKind::kSquareRoot):
      fill_square_root(density.column(k).first(n), x, lo, hi);
      break;
    case static_cast<std::uint8_t>(BackgroundKind::kTriangular):
      fill_triangular(density.column(k).first(n), x, lo, hi, s_tri);
      break;
    case static_cast<std::uint8_t>(BackgroundKind::kSpline):
      // The basis values are used as given: not normalised, not tested for sign.
      for (std::size_t j = 0; j < basis.size(); ++j) {
        std::copy(basis[j].begin(), basis[j].end(), density.column(k + j).begin());
      }
      break;
    default: {
      // Codes 5..255 reserve one column of zeros.
      const auto col = density.column(k).first(n);
      std::fill(col.begin(), col.end(), 0.0);
      break;
    }
  }
}

double update_triangle_slope(std::span<const double> x, std::span<const double> v, double lo,
                             double hi) {
  const std::size_t n = std::min(v.size(), x.size());
  const double d = hi - lo;
  const double d2 = d * d;
  const double e = 2.0 / d2;
  const double f = -1.0 / d - lo * e;

  // One pass over the grid, summed in increasing index.
  auto score = [&](double s) {
    const double a = (s + s) / d2;
    const double b = (1.0 - s) / d - a * lo;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double xi = x[i];
      if (!in_window(xi, lo, hi)) continue;
      sum += ((xi * e + f) * v[i]) / ((a * xi + b) + kTriangleScoreFloor);
    }
    return sum;
  };

  const double score_lo = score(kTriangleSlopeMin);
  const double score_hi = score(kTriangleSlopeMax);
  // Used when the search gives no root.  For non-negative weights the score never increases
  // with s: score(0) <= 0 means the likelihood falls (or is flat) from s = 0 on, so the
  // uniform end 0 is the best slope; otherwise it rises up to the top end.  A NaN score(0)
  // also takes the top end.
  const double no_root_end = score_lo <= 0.0 ? kTriangleSlopeMin : kTriangleSlopeMax;

  // No sign change over the interval (or a NaN product): no search.
  if (!(score_lo * score_hi <= 0.0)) return no_root_end;

  // brentq evaluates both ends again itself.
  const BrentqResult found = brentq(score, kTriangleSlopeMin, kTriangleSlopeMax,
                                    kTriangleSlopeTol);
  // NoConvergency is the failure expected here; NoBracketing cannot follow the test above
  // (the ends give the same scores), and is treated the same way should it ever occur.
  if (!found.ok()) return no_root_end;

  // Clamp to [0, 0.99999]; a NaN root passes both comparisons unchanged.
  double r = found.root;
  if (r < kTriangleSlopeMin) r = kTriangleSlopeMin;
  if (r > kTriangleSlopeMax) r = kTriangleSlopeMax;
  return r;
}

}  // namespace velmora
