#include "optim/dense.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "stop.hpp"

namespace velmora::dense {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Weight in the weakest direction from which a preferred parameter is the one left out.
constexpr double kPreferredWeight = 1e-3;
// Inflation of a variance (the inverse's diagonal, unit-diagonal scaling) beyond which a
// regular matrix counts as singular: an error a million times the parameter's error alone
// (1e12 in variance) is no determination, and one near 1e16 is rounding noise.
constexpr double kFlatInflation = 1e12;
// Sweeps of the Jacobi method before it gives up (it converges quadratically; ten sweeps are
// plenty for the sizes met here).
constexpr int kJacobiSweeps = 60;

}  // namespace

bool cholesky(std::vector<double>& a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    checkpoint();
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0.0)) return false;
    const double root = std::sqrt(d);
    a[j * n + j] = root;
    for (std::size_t i = j + 1; i < n; ++i) {
      double v = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) v -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = v / root;
    }
  }
  return true;
}

void cholesky_solve(const std::vector<double>& l, std::size_t n, std::span<double> b) {
  for (std::size_t i = 0; i < n; ++i) {  // L y = b
    for (std::size_t k = 0; k < i; ++k) b[i] -= l[i * n + k] * b[k];
    b[i] /= l[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {  // L^T x = y
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= l[k * n + i] * b[k];
    b[i] /= l[i * n + i];
  }
}

std::vector<double> cholesky_inverse(const std::vector<double>& l, std::size_t n) {
  std::vector<double> inv(n * n, 0.0);
  std::vector<double> column(n);
  for (std::size_t j = 0; j < n; ++j) {
    checkpoint();
    std::fill(column.begin(), column.end(), 0.0);
    column[j] = 1.0;
    cholesky_solve(l, n, column);
    for (std::size_t i = 0; i < n; ++i) inv[i * n + j] = column[i];
  }
  for (std::size_t i = 0; i < n; ++i) {  // symmetric to the last bit
    for (std::size_t j = 0; j < i; ++j) {
      const double v = 0.5 * (inv[i * n + j] + inv[j * n + i]);
      inv[i * n + j] = v;
      inv[j * n + i] = v;
    }
  }
  return inv;
}

void symmetric_eigen(std::vector<double> a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors) {
  vectors.assign(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) vectors[i * n + i] = 1.0;
  for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
    double off = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) off += a[p * n + q] * a[p * n + q];
    }
    if (!(off > 0.0)) break;
    for (std::size_t p = 0; p < n; ++p) {
      checkpoint();
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        if (apq == 0.0) continue;
        // The rotation that zeroes a_pq: tan(theta) = t, the smaller root of
        // t^2 + 2 tau t - 1 = 0, tau = (a_qq - a_pp) / (2 a_pq).
        const double tau = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
        const double t = (tau >= 0.0 ? 1.0 : -1.0) / (std::fabs(tau) + std::sqrt(1.0 + tau * tau));
        const double c = 1.0 / std::sqrt(1.0 + t * t);
        const double s = t * c;
        for (std::size_t k = 0; k < n; ++k) {  // columns p and q
          const double akp = a[k * n + p];
          const double akq = a[k * n + q];
          a[k * n + p] = c * akp - s * akq;
          a[k * n + q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < n; ++k) {  // rows p and q
          const double apk = a[p * n + k];
          const double aqk = a[q * n + k];
          a[p * n + k] = c * apk - s * aqk;
          a[q * n + k] = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double vkp = vectors[k * n + p];
          const double vkq = vectors[k * n + q];
          vectors[k * n + p] = c * vkp - s * vkq;
          vectors[k * n + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  // Sort ascending, carrying the vectors along.
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return a[x * n + x] < a[y * n + y]; });
  values.resize(n);
  std::vector<double> sorted(n * n);
  for (std::size_t j = 0; j < n; ++j) {
    values[j] = a[order[j] * n + order[j]];
    for (std::size_t i = 0; i < n; ++i) sorted[i * n + j] = vectors[i * n + order[j]];
  }
  vectors = std::move(sorted);
}

std::vector<double> covariance(const std::vector<double>& information, std::size_t n,
                               const std::vector<bool>& excluded, const std::vector<bool>& preferred,
                               std::vector<bool>& undetermined) {
  std::vector<double> cov(n * n, 0.0);
  undetermined.assign(n, false);
  // Parameters that move along a direction the data do not fix, beside the one left out of it.
  std::vector<bool> along(n, false);
  std::vector<std::size_t> keep;
  for (std::size_t a = 0; a < n; ++a) {
    if (excluded[a]) continue;
    const double d = information[a * n + a];
    if (!(d > 0.0) || !std::isfinite(d)) {
      undetermined[a] = true;
      continue;
    }
    keep.push_back(a);
  }
  while (!keep.empty()) {
    checkpoint();
    const std::size_t m = keep.size();
    std::vector<double> scale(m);
    for (std::size_t i = 0; i < m; ++i) {
      scale[i] = std::sqrt(information[keep[i] * n + keep[i]]);
    }
    std::vector<double> normed(m * m);
    bool finite = true;
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < m; ++j) {
        normed[i * m + j] = information[keep[i] * n + keep[j]] / (scale[i] * scale[j]);
        finite = finite && std::isfinite(normed[i * m + j]);
      }
    }
    std::vector<double> factor = normed;
    if (finite && cholesky(factor, m)) {
      const std::vector<double> inv = cholesky_inverse(factor, m);
      // A regular matrix only by rounding (two columns equal but for the order of their sums)
      // has an inverse of rounding noise: a parameter whose variance it inflates beyond
      // kFlatInflation times its variance alone lies along a direction the data do not fix.
      bool flat = false;
      for (std::size_t i = 0; i < m; ++i) flat = flat || !(inv[i * m + i] <= kFlatInflation);
      if (!flat) {
        for (std::size_t i = 0; i < m; ++i) {
          for (std::size_t j = 0; j < m; ++j) {
            cov[keep[i] * n + keep[j]] = inv[i * m + j] / (scale[i] * scale[j]);
          }
        }
        break;
      }
    }
    // Leave out the parameter that weighs most in the weakest direction.
    std::size_t drop = 0;
    if (finite) {
      std::vector<double> values, vectors;
      symmetric_eigen(normed, m, values, vectors);
      double best_preferred = -1.0, best = -1.0;
      std::size_t drop_preferred = 0;
      for (std::size_t i = 0; i < m; ++i) {
        const double weight = std::fabs(vectors[i * m + 0]);
        if (weight > best) {
          best = weight;
          drop = i;
        }
        if (preferred[keep[i]] && weight > best_preferred) {
          best_preferred = weight;
          drop_preferred = i;
        }
      }
      if (best_preferred > kPreferredWeight) drop = drop_preferred;
      // Leaving one parameter out makes the matrix regular again, and the inverse of the rest
      // is a generalised inverse: right for every combination the data fix (the sum of two
      // areas at one place), but a parameter that weighs in the direction would get the error
      // it had if the one left out were known, which it is not.  It is not determined either.
      for (std::size_t i = 0; i < m; ++i) {
        if (std::fabs(vectors[i * m + 0]) > kPreferredWeight) along[keep[i]] = true;
      }
    } else {
      for (std::size_t i = 0; i < m; ++i) {  // the first row that holds a non-finite entry
        bool bad = false;
        for (std::size_t j = 0; j < m; ++j) bad = bad || !std::isfinite(normed[i * m + j]);
        if (bad) {
          drop = i;
          break;
        }
      }
    }
    undetermined[keep[drop]] = true;
    keep.erase(keep.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  for (std::size_t a = 0; a < n; ++a) {
    undetermined[a] = undetermined[a] || along[a];
    if (!undetermined[a]) continue;
    for (std::size_t b = 0; b < n; ++b) {
      cov[a * n + b] = kNaN;
      cov[b * n + a] = kNaN;
    }
  }
  return cov;
}

double propagate(const std::vector<double>& cov, std::size_t n, std::span<const double> g) {
  double v = 0.0;
  for (std::size_t a = 0; a < n; ++a) {
    if (g[a] == 0.0) continue;
    if (std::isnan(cov[a * n + a])) return kNaN;
    for (std::size_t b = 0; b < n; ++b) {
      if (g[b] == 0.0) continue;
      v += g[a] * cov[a * n + b] * g[b];
    }
  }
  if (std::isnan(v)) return kNaN;
  return v > 0.0 ? std::sqrt(v) : 0.0;
}

}  // namespace velmora::dense
