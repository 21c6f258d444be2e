// What the engine reports of a fitted point (report.hpp), and the peaks' densities at arbitrary
// points.
//
// Every error is a gradient over theta propagated through the covariance: a parameter's row of
// the Jacobian; a background term's counts through its column's mass or its operator's
// adjoint; a shape's own quantity, a height and a width through central differences over the
// peak's shape parameters, with the evaluator's shifted densities.
#include "engine/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "optim/dense.hpp"
#include "shapes/peak_quantities.hpp"
#include "special/chi_square.hpp"
#include "stop.hpp"

namespace velmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Peak j's shape parameters at p, in a table of the registry's width.
std::array<double, shapes::kMaxShapeParams> shape_params(const Model& m, std::size_t j,
                                                         const std::vector<double>& p) {
  const PeakTerm& peak = m.peaks[j];
  std::array<double, shapes::kMaxShapeParams> params{};
  for (std::size_t x = 0; x < peak.shape->params.size(); ++x) params[x] = p[peak.first + x];
  return params;
}

// Whether parameter e moves with theta (a non-zero row of the Jacobian).
bool moves(const std::vector<double>& jac, std::size_t e, std::size_t n_theta) {
  bool any = false;
  for (std::size_t a = 0; a < n_theta; ++a) any = any || jac[e * n_theta + a] != 0.0;
  return any;
}

// The covariance of theta from the observed information, and which parameters are on a bound
// or not determined.
//
// A parameter on a bound counts in the others' uncertainties when the data determine it there
// -- its standard error, with it in the information, is below its own scale (a pseudo-Voigt's
// eta that noise pushed onto 1 still leaves its area uncertain) -- and is held on its bound
// otherwise (a Voigt sigma on its narrow bound, along which the likelihood is flat).  Shape
// parameters are left out before areas and background counts when the information is singular.
void form_covariance(Evaluator& evaluator, const Model& m, std::span<const double> theta,
                     const optim::Derivatives& d, Report& r) {
  const std::size_t n_theta = m.n_theta();
  const std::size_t k_count = m.peaks.size();
  std::vector<bool> excluded(n_theta, false), preferred(n_theta, false), undetermined;
  r.at_bound.assign(n_theta, 0);
  bool any_bound = false;
  for (std::size_t a = 0; a < n_theta; ++a) {
    r.at_bound[a] = theta[a] <= m.lower[a] || theta[a] >= m.upper[a] ? 1 : 0;
    any_bound = any_bound || r.at_bound[a] != 0;
  }
  for (std::size_t e = 0; e < m.first_background; ++e) {
    if (m.roles[e] != Role::free) continue;
    std::size_t j = 0;
    while (j + 1 < k_count && m.peaks[j + 1].first <= e) ++j;
    preferred[m.slots[e]] = e != m.area_index(j);
  }
  r.covariance = dense::covariance(d.observed, n_theta, excluded, preferred, undetermined);
  if (any_bound) {
    std::vector<double> scale(n_theta);
    evaluator.scales(theta, scale);
    bool held = false;
    for (std::size_t a = 0; a < n_theta; ++a) {
      if (r.at_bound[a] == 0) continue;
      const double variance = r.covariance[a * n_theta + a];
      const double reach = std::max(std::fabs(theta[a]), scale[a]);
      if (undetermined[a] || !(std::sqrt(variance) <= reach) || m.lower[a] == m.upper[a]) {
        excluded[a] = true;
        held = true;
      }
    }
    if (held) {
      r.covariance = dense::covariance(d.observed, n_theta, excluded, preferred, undetermined);
    }
  }
  r.undetermined.assign(n_theta, 0);
  for (std::size_t a = 0; a < n_theta; ++a) r.undetermined[a] = undetermined[a] ? 1 : 0;
}

// Every parameter's standard error through its row of the Jacobian.
void parameter_errors(const Model& m, Report& r) {
  const std::size_t n_theta = m.n_theta();
  const std::vector<double>& jac = r.mapped.jac;
  r.stderr_params.resize(m.n_params());
  for (std::size_t e = 0; e < m.n_params(); ++e) {
    checkpoint();
    r.stderr_params[e] = dense::propagate(
        r.covariance, n_theta, std::span<const double>(jac.data() + e * n_theta, n_theta));
  }
}

// The counts of term s that follows the peaks, k sum_i (L pi)_i = k sum_l pi_l (L^T 1)_l, its
// share, and their gradients in theta (`counts_gradient`, `share_gradient`): through the share,
// and through d pi / d p of every peak parameter by the densities the evaluator used.
void follow_term_counts(const Evaluator& evaluator, const Model& m, std::size_t s, Report& r,
                        double& counts, double* counts_gradient, double* share_gradient) {
  const std::size_t n = m.n_points();
  const std::size_t n_theta = m.n_theta();
  const std::vector<double>& jac = r.mapped.jac;
  const std::vector<double>& p = r.mapped.p;
  const std::size_t e = m.first_background + m.columns.size() + s;
  std::vector<double> ones(n, 1.0), weight(n);
  apply_follow_adjoint(m.follows[s], ones, weight);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += evaluator.follow_counts()[s][i];
  const double k = p[e];
  counts = k * total;
  std::copy_n(jac.data() + e * n_theta, n_theta, share_gradient);
  double* g = counts_gradient;
  for (std::size_t a = 0; a < n_theta; ++a) g[a] += total * jac[e * n_theta + a];
  for (std::size_t j = 0; j < m.peaks.size(); ++j) {
    checkpoint();
    const PeakTerm& peak = m.peaks[j];
    const std::span<const double> f = evaluator.density(j);
    const std::size_t area_e = m.area_index(j);
    double d_area = 0.0;
    for (std::size_t i = 0; i < n; ++i) d_area += weight[i] * f[i] * m.widths[i];
    for (std::size_t a = 0; a < n_theta; ++a) g[a] += k * d_area * jac[area_e * n_theta + a];
    const double area = p[area_e];
    if (area == 0.0) continue;
    for (std::size_t q = 0; q < peak.shape->params.size(); ++q) {
      const std::size_t pe = peak.first + q;
      if (!moves(jac, pe, n_theta)) continue;
      const std::array<double, shapes::kMaxShapeParams> params = shape_params(m, j, p);
      const double h = difference_step(*peak.shape, params.data(), q);
      const std::vector<double> fp = evaluator.shifted_density(j, q, 1);
      const std::vector<double> fm = evaluator.shifted_density(j, q, -1);
      double d_shape = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        d_shape += weight[i] * area * ((fp[i] - fm[i]) / (2.0 * h)) * m.widths[i];
      }
      for (std::size_t a = 0; a < n_theta; ++a) g[a] += k * d_shape * jac[pe * n_theta + a];
    }
  }
}

// The background terms: the counts of each (columns, then terms that follow the peaks), then
// the share of every term that follows the peaks, and their covariance.
void background_terms(const Evaluator& evaluator, const Model& m, Report& r) {
  const std::size_t n = m.n_points();
  const std::size_t n_theta = m.n_theta();
  const std::vector<double>& jac = r.mapped.jac;
  const std::vector<double>& p = r.mapped.p;
  const std::size_t n_columns = m.columns.size();
  const std::size_t n_follows = m.follows.size();
  const std::size_t n_terms = n_columns + n_follows;
  const std::size_t n_reported = n_terms + n_follows;
  std::vector<double> gradients(n_reported * n_theta, 0.0);
  r.background_counts.assign(n_reported, 0.0);
  for (std::size_t b = 0; b < n_columns; ++b) {
    double mass = 0.0;
    for (std::size_t i = 0; i < n; ++i) mass += m.columns[b][i] * m.widths[i];
    const std::size_t e = m.first_background + b;
    r.background_counts[b] = p[e] * mass;
    for (std::size_t a = 0; a < n_theta; ++a) {
      gradients[b * n_theta + a] = mass * jac[e * n_theta + a];
    }
  }
  for (std::size_t s = 0; s < n_follows; ++s) {
    const std::size_t term = n_columns + s;
    follow_term_counts(evaluator, m, s, r, r.background_counts[term],
                       gradients.data() + term * n_theta,
                       gradients.data() + (n_terms + s) * n_theta);
    r.background_counts[n_terms + s] = p[m.first_background + term];
  }
  r.background_covariance.assign(n_reported * n_reported, 0.0);
  for (std::size_t x = 0; x < n_reported; ++x) {
    checkpoint();
    for (std::size_t y = 0; y < n_reported; ++y) {
      const double* gx = gradients.data() + x * n_theta;
      const double* gy = gradients.data() + y * n_theta;
      double v = 0.0;
      bool nan = false;
      for (std::size_t a = 0; a < n_theta; ++a) {
        if (gx[a] == 0.0) continue;
        for (std::size_t b = 0; b < n_theta; ++b) {
          if (gy[b] == 0.0) continue;
          const double c = r.covariance[a * n_theta + b];
          if (std::isnan(c)) nan = true;
          v += gx[a] * c * gy[b];
        }
      }
      r.background_covariance[x * n_reported + y] = nan ? kNaN : v;
    }
  }
}

// The shapes' own derived quantities, with standard errors from their derivatives in the shape
// parameters (the shape's closed forms where it gives them, else central differences); one per
// area (the whole-line area) is the area times the shape's value,
// and follows the area too.
void shape_extras(const Model& m, Report& r) {
  const std::size_t n_theta = m.n_theta();
  const std::size_t k_count = m.peaks.size();
  const std::vector<double>& jac = r.mapped.jac;
  r.extras.assign(k_count * shapes::kMaxExtras, kNaN);
  r.extras_stderr.assign(k_count * shapes::kMaxExtras, kNaN);
  for (std::size_t j = 0; j < k_count; ++j) {
    checkpoint();
    const PeakTerm& peak = m.peaks[j];
    const std::size_t count = peak.shape->extra_quantities.size();
    if (count == 0) continue;
    const shapes::ShapeContext ctx = m.context(j);
    const std::array<double, shapes::kMaxShapeParams> params = shape_params(m, j, r.mapped.p);
    const std::size_t area_e = m.area_index(j);
    const double area = r.mapped.p[area_e];
    const std::size_t n_shape = peak.shape->params.size();
    std::array<double, shapes::kMaxExtras> value{};
    std::array<double, shapes::kMaxExtras * shapes::kMaxShapeParams> closed{};
    const bool has_closed =
        peak.shape->extras_derivatives != nullptr &&
        peak.shape->extras_derivatives(params.data(), ctx, value.data(), closed.data());
    if (!has_closed) peak.shape->extras(params.data(), ctx, value.data());
    std::vector<std::vector<double>> grad(count, std::vector<double>(n_theta, 0.0));
    for (std::size_t q = 0; q < n_shape; ++q) {
      const std::size_t pe = peak.first + q;
      if (!moves(jac, pe, n_theta)) continue;
      std::array<double, shapes::kMaxExtras> up{}, down{};
      double h = 0.0;
      if (!has_closed) {
        h = difference_step(*peak.shape, params.data(), q);
        auto moved = params;
        moved[q] = params[q] + h;
        peak.shape->extras(moved.data(), ctx, up.data());
        moved[q] = params[q] - h;
        peak.shape->extras(moved.data(), ctx, down.data());
      }
      for (std::size_t x = 0; x < count; ++x) {
        double slope = has_closed ? closed[x * n_shape + q] : (up[x] - down[x]) / (2.0 * h);
        if (peak.shape->extra_quantities[x].per_area) slope *= area;
        for (std::size_t a = 0; a < n_theta; ++a) grad[x][a] += slope * jac[pe * n_theta + a];
      }
    }
    for (std::size_t x = 0; x < count; ++x) {
      double v = value[x];
      if (peak.shape->extra_quantities[x].per_area) {
        for (std::size_t a = 0; a < n_theta; ++a) grad[x][a] += v * jac[area_e * n_theta + a];
        v *= area;
      }
      r.extras[j * shapes::kMaxExtras + x] = v;
      r.extras_stderr[j * shapes::kMaxExtras + x] =
          dense::propagate(r.covariance, n_theta, grad[x]);
    }
  }
}

// Expected counts per channel of every peak and every background term.
void curves(const Evaluator& evaluator, const Model& m, Report& r) {
  const std::size_t n = m.n_points();
  const std::size_t k_count = m.peaks.size();
  const std::size_t n_columns = m.columns.size();
  const std::vector<double>& p = r.mapped.p;
  r.peak_curves.resize(k_count * n);
  for (std::size_t j = 0; j < k_count; ++j) {
    std::copy(evaluator.peak_counts()[j].begin(), evaluator.peak_counts()[j].end(),
              r.peak_curves.begin() + static_cast<std::ptrdiff_t>(j * n));
  }
  r.background_curves.assign((n_columns + m.follows.size()) * n, 0.0);
  for (std::size_t b = 0; b < n_columns; ++b) {
    const double c = p[m.first_background + b];
    for (std::size_t i = 0; i < n; ++i) {
      r.background_curves[b * n + i] = c * m.columns[b][i] * m.widths[i];
    }
  }
  for (std::size_t s = 0; s < m.follows.size(); ++s) {
    const double k = p[m.first_background + n_columns + s];
    for (std::size_t i = 0; i < n; ++i) {
      r.background_curves[(n_columns + s) * n + i] = k * evaluator.follow_counts()[s][i];
    }
  }
}

// The median channel width (the mean of the two middle ones for an even count).
double median_channel(const Model& m) {
  const std::size_t n = m.n_points();
  std::vector<double> sorted(m.widths);
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  double channel = sorted[n / 2];
  if (n % 2 == 0) channel = 0.5 * (*std::max_element(sorted.begin(), middle) + channel);
  return channel;
}

// Height per median channel, FWHM, and their standard errors by central differences of the
// peak's shape parameters (the height also follows the area).
void quantities(const Evaluator& evaluator, const Model& m, Report& r) {
  const std::size_t n_theta = m.n_theta();
  const std::size_t k_count = m.peaks.size();
  const std::vector<double>& jac = r.mapped.jac;
  const std::vector<double>& p = r.mapped.p;
  const double channel = median_channel(m);
  r.height.assign(k_count, kNaN);
  r.height_stderr.assign(k_count, kNaN);
  r.fwhm.assign(k_count, kNaN);
  r.fwhm_stderr.assign(k_count, kNaN);
  for (std::size_t j = 0; j < k_count; ++j) {
    checkpoint();
    const PeakTerm& peak = m.peaks[j];
    const shapes::ShapeContext ctx = m.context(j);
    const std::array<double, shapes::kMaxShapeParams> params = shape_params(m, j, p);
    const std::size_t area_e = m.area_index(j);
    const double area = p[area_e];
    const shapes::PeakQuantities q0 =
        shapes::peak_quantities(*peak.shape, params.data(), ctx, m.u, evaluator.density(j));
    r.height[j] = area * q0.top * channel;
    r.fwhm[j] = q0.fwhm;
    std::vector<double> g_height(n_theta, 0.0), g_fwhm(n_theta, 0.0);
    for (std::size_t a = 0; a < n_theta; ++a) {
      g_height[a] = q0.top * channel * jac[area_e * n_theta + a];
    }
    for (std::size_t x = 0; x < peak.shape->params.size(); ++x) {
      const std::size_t pe = peak.first + x;
      if (!moves(jac, pe, n_theta)) continue;
      const double h = difference_step(*peak.shape, params.data(), x);
      std::array<shapes::PeakQuantities, 2> q{};
      for (int side = 0; side < 2; ++side) {
        auto moved = params;
        moved[x] += side == 0 ? h : -h;
        const std::vector<double> dens = evaluator.shifted_density(j, x, side == 0 ? 1 : -1);
        q[side] = shapes::peak_quantities(*peak.shape, moved.data(), ctx, m.u, dens);
      }
      const double d_top = (q[0].top - q[1].top) / (2.0 * h);
      const double d_fwhm = (q[0].fwhm - q[1].fwhm) / (2.0 * h);
      for (std::size_t a = 0; a < n_theta; ++a) {
        g_height[a] += area * d_top * channel * jac[pe * n_theta + a];
        g_fwhm[a] += d_fwhm * jac[pe * n_theta + a];
      }
    }
    r.height_stderr[j] = dense::propagate(r.covariance, n_theta, g_height);
    r.fwhm_stderr[j] = dense::propagate(r.covariance, n_theta, g_fwhm);
  }
}

}  // namespace

std::array<double, 3> dispersion_test(std::span<const double> counts,
                                      std::span<const double> mu, std::size_t free) {
  const std::size_t n = counts.size();
  double chi2 = 0.0, inverse = 0.0;
  std::size_t used = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(mu[i] >= kDispersionMinExpected)) continue;
    const double r = counts[i] - mu[i];
    chi2 += r * r / mu[i];
    inverse += 1.0 / mu[i];
    ++used;
  }
  if (used <= free) return {kNaN, kNaN, 0.0};
  const double dof = static_cast<double>(used - free);
  const double phi = chi2 / dof;
  // chi2 ~ g chi2_h with g h = dof and 2 g^2 h = dof / used * sum (2 + 1 / mu).
  const double variance = dof / static_cast<double>(used) *
                          (2.0 * static_cast<double>(used) + inverse);
  const double g = variance / (2.0 * dof);
  const double h = dof / g;
  const double x = 0.5 * chi2 / g;
  const double lower = special::gamma_p(0.5 * h, x);
  const double upper = special::gamma_q(0.5 * h, x);
  return {phi, std::min(1.0, 2.0 * std::min(lower, upper)), dof};
}

Report report_from(Evaluator& evaluator, const Model& m, std::span<const double> theta,
                   optim::Derivatives& d, const ReportOptions& options) {
  evaluator.observed(d);
  Report r;
  r.log_likelihood = d.value + evaluator.constant();
  r.mapped = evaluator.mapped();
  r.score = d.score;
  r.information = d.observed;
  form_covariance(evaluator, m, theta, d, r);
  parameter_errors(m, r);
  background_terms(evaluator, m, r);
  shape_extras(m, r);
  if (options.curves) curves(evaluator, m, r);
  if (options.quantities) quantities(evaluator, m, r);
  const std::array<double, 3> test =
      dispersion_test(evaluator.counts(), evaluator.expected(), m.n_theta());
  r.dispersion = test[0];
  r.dispersion_p = test[1];
  r.dispersion_dof = test[2];
  return r;
}

Report report(const Model& m, std::span<const double> counts, std::span<const double> theta,
              const ReportOptions& options) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  evaluator.derivatives(theta, d);
  return report_from(evaluator, m, theta, d, options);
}

std::vector<double> peak_densities_at(const Model& m, std::span<const double> theta,
                                      std::span<const double> points) {
  const std::size_t n = m.n_points();
  const std::size_t count = points.size();
  const Mapped mapped = map_parameters(m, theta, false);
  std::vector<double> out(m.peaks.size() * count, 0.0);
  for (std::size_t j = 0; j < m.peaks.size(); ++j) {
    checkpoint();
    const PeakTerm& peak = m.peaks[j];
    const shapes::ShapeContext ctx = m.context(j);
    const std::array<double, shapes::kMaxShapeParams> params = shape_params(m, j, mapped.p);
    // The profile, scaled to the density the peak has on the model's grid at the grid point
    // where that density is largest.
    std::vector<double> dens(n), at_grid(1);
    peak.shape->density(m.u, params.data(), ctx, dens);
    std::size_t top = 0;
    for (std::size_t i = 1; i < n; ++i) {
      if (dens[i] > dens[top]) top = i;
    }
    const std::span<const double> grid_point(&m.u[top], 1);
    peak.shape->profile(grid_point, params.data(), ctx, at_grid);
    const double factor =
        at_grid[0] != 0.0 && std::isfinite(at_grid[0]) ? dens[top] / at_grid[0] : 0.0;
    const std::span<double> row(out.data() + j * count, count);
    peak.shape->profile(points, params.data(), ctx, row);
    const double area = mapped.p[m.area_index(j)];
    for (double& v : row) v *= factor * area;
  }
  return out;
}

}  // namespace velmora::engine
