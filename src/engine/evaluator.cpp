// The evaluator of the engine's likelihood and its derivatives (evaluator.hpp).
#include "engine/evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "stop.hpp"
#include "worker_pool.hpp"

namespace velmora::engine {
namespace {

// Scales of the trust region (see Evaluator::scales): a centre moves by up to two of its
// peak's largest width parameters (about a full width at half maximum) per unit of radius, a
// peak temperature (TSDC, no width parameter) by a twentieth of itself, a plain parameter by
// a fifth (of itself where its differences are relative), the share of a term that follows
// the peaks by at least the share at which it gathers a thousandth of a count per peak count
// (1e-3 / reach: a thousandth of a channel's share for the Shirley step).
constexpr double kLocationWidths = 2.0;
constexpr double kTemperatureShare = 0.05;
constexpr double kPlainShare = 0.2;
constexpr double kShareFloor = 1e-3;

void evaluate_sets(const Model& m, const std::vector<DensitySet>& sets, std::vector<double>& out) {
  const std::size_t n = m.n_points();
  out.resize(sets.size() * n);
  pool::for_each_index(sets.size(), [&](std::size_t s) {
    const DensitySet& set = sets[s];
    const PeakTerm& peak = m.peaks[set.peak];
    peak.shape->density(m.u, set.params.data(), m.context(set.peak),
                        std::span<double>(out.data() + s * n, n));
  });
}

// Runs body(pair) for every pair (a, b), b <= a, of `count` items on the pool when the work is
// worth it; each pair's sums run in index order.
template <class Body>
void for_each_pair(std::size_t count, std::size_t points, Body&& body) {
  const std::size_t pairs = count * (count + 1) / 2;
  pool::for_each_index(pairs, pairs * points, [&](std::size_t k) {
    // k = a (a + 1) / 2 + b with b <= a.
    const double root = std::sqrt(8.0 * static_cast<double>(k) + 1.0);
    std::size_t a = static_cast<std::size_t>((root - 1.0) / 2.0);
    while (a * (a + 1) / 2 > k) --a;
    while ((a + 1) * (a + 2) / 2 <= k) ++a;
    body(a, k - a * (a + 1) / 2);
  });
}

}  // namespace

double difference_step(const shapes::ShapeEntry& shape, const double* p, std::size_t a) {
  const shapes::ParamInfo& info = shape.params[a];
  double h = info.step;
  switch (info.step_rule) {
    case shapes::StepRule::relative: h = info.step * std::fabs(p[a]); break;
    case shapes::StepRule::absolute: h = info.step; break;
    case shapes::StepRule::peak_width: {
      double width = 0.0;
      for (std::size_t b = 0; b < shape.params.size(); ++b) {
        if (shape.params[b].kind == shapes::Kind::width) width = std::max(width, std::fabs(p[b]));
      }
      h = info.step * (width > 0.0 ? width : 1.0);
      break;
    }
  }
  return h > 0.0 && std::isfinite(h) ? h : info.step;
}

Evaluator::Evaluator(const Model& m, std::span<const double> counts) : m_(m), counts_(counts) {
  for (const double c : counts) total_ += c;
  // The objective is the log-likelihood relative to the saturated model (mu_i = c_i), whose
  // terms are of order one near the optimum: summed over a million channels they keep far
  // more digits than the log-likelihood itself.  lgamma_r, not lgamma: the latter writes the
  // sign to a global, and fits run on many threads.
  constant_ = 0.0;
  int sign = 0;
  for (const double c : counts) {
    if (c > 0.0) constant_ += c * std::log(c) - c - ::lgamma_r(c + 1.0, &sign);
  }
}

double Evaluator::value(std::span<const double> theta) {
  ++passes_;
  map_parameters(m_, theta, false, value_mapped_);
  const std::vector<double>& p = value_mapped_.p;
  if (!m_.placed(p)) return -std::numeric_limits<double>::infinity();
  value_sets_.clear();
  for (std::size_t j = 0; j < m_.peaks.size(); ++j) value_sets_.push_back(base_set(p, j));
  evaluate_sets(m_, value_sets_, value_densities_);
  value_theta_.assign(theta.begin(), theta.end());
  expected_counts(p, value_densities_, value_mu_, value_peaks_, value_follows_);
  return poisson(value_mu_);
}

bool Evaluator::admissible(std::span<const double> theta) {
  if (m_.tied_locations.empty()) return true;
  return m_.placed(map_parameters(m_, theta, false).p);
}

void Evaluator::derivatives(std::span<const double> theta, optim::Derivatives& d) {
  ++passes_;
  map_parameters(m_, theta, true, mapped_);
  find_moving();
  evaluate_densities(plan_densities(), theta);
  difference_derivatives();
  expected_counts(mapped_.p, densities_, mu_, peak_counts_, follow_counts_);
  d.value = poisson(mu_);
  form_weights(fisher_w_, observed_w_);
  form_mu_columns();
  form_informations(fisher_w_, observed_w_);
  add_within_peak_terms();

  // To theta.
  const std::size_t n_theta = m_.n_theta();
  d.score.assign(n_theta, 0.0);
  for (std::size_t v = 0; v < order_.size(); ++v) {
    const double* row = mapped_.jac.data() + order_[v] * n_theta;
    for (std::size_t a = 0; a < n_theta; ++a) d.score[a] += row[a] * score_p_[v];
  }
  d.expected = to_theta(fisher_p_);
  d.complete.clear();
  d.observed.clear();
  d.has_observed = false;
}

// The parameters that move with theta: a non-zero row of the Jacobian.
void Evaluator::find_moving() {
  const std::size_t n_params = m_.n_params();
  const std::size_t n_theta = m_.n_theta();
  varying_.assign(n_params, kNone);
  order_.clear();
  for (std::size_t e = 0; e < n_params; ++e) {
    for (std::size_t a = 0; a < n_theta; ++a) {
      if (mapped_.jac[e * n_theta + a] != 0.0) {
        varying_[e] = order_.size();
        order_.push_back(e);
        break;
      }
    }
  }
}

// Derivatives of the densities in every moving shape parameter of a peak with counts: in
// closed form where the shape gives them, otherwise from the pair of densities shifted by +h
// and -h.  Returns the densities to evaluate: every peak's own, then the shifted ones.
std::vector<DensitySet> Evaluator::plan_densities() {
  const std::vector<double>& p = mapped_.p;
  const std::size_t n = m_.n_points();
  const std::size_t k_count = m_.peaks.size();
  std::vector<DensitySet> sets;
  peak_plans_.assign(k_count, {});
  for (std::size_t j = 0; j < k_count; ++j) sets.push_back(base_set(p, j));
  std::vector<std::size_t> closed_form;
  for (std::size_t j = 0; j < k_count; ++j) {
    const PeakTerm& peak = m_.peaks[j];
    PeakPlan& plan = peak_plans_[j];
    plan.area = p[m_.area_index(j)];
    for (std::size_t a = 0; a < peak.shape->params.size(); ++a) {
      if (varying_[peak.first + a] == kNone || plan.area == 0.0) continue;
      plan.moving.push_back(a);
    }
    if (plan.moving.empty()) continue;
    const std::size_t n_shape = peak.shape->params.size();
    plan.first.assign(n_shape * n, 0.0);
    plan.second.assign(n_shape * n_shape * n, 0.0);
    if (peak.shape->derivatives != nullptr) closed_form.push_back(j);
  }
  pool::for_each_index(closed_form.size(), [&](std::size_t c) {
    const std::size_t j = closed_form[c];
    PeakPlan& plan = peak_plans_[j];
    const DensitySet base = sets[j];
    plan.closed_form = m_.peaks[j].shape->derivatives(m_.u, base.params.data(), m_.context(j),
                                                     plan.first, plan.second);
  });
  for (std::size_t j = 0; j < k_count; ++j) {
    PeakPlan& plan = peak_plans_[j];
    if (plan.closed_form) continue;
    const DensitySet base = sets[j];
    for (const std::size_t a : plan.moving) {
      const double h = difference_step(*m_.peaks[j].shape, base.params.data(), a);
      plan.h[a] = h;
      plan.first_shift[a] = sets.size();
      DensitySet plus = base, minus = base;
      plus.params[a] += h;
      minus.params[a] -= h;
      sets.push_back(plus);
      sets.push_back(minus);
    }
  }
  return sets;
}

// The densities of `sets` into densities_.  The peaks' own densities at theta are those of the
// last value() call when that was at theta (the point a step was accepted at): only the
// shifted ones are new then.
void Evaluator::evaluate_densities(const std::vector<DensitySet>& sets,
                                   std::span<const double> theta) {
  const std::size_t n = m_.n_points();
  const std::size_t k_count = m_.peaks.size();
  if (value_theta_.size() == theta.size() &&
      std::equal(value_theta_.begin(), value_theta_.end(), theta.begin())) {
    const std::vector<DensitySet> shifted(sets.begin() + static_cast<std::ptrdiff_t>(k_count),
                                          sets.end());
    std::vector<double> fresh;
    evaluate_sets(m_, shifted, fresh);
    densities_.resize(sets.size() * n);
    std::copy(value_densities_.begin(),
              value_densities_.begin() + static_cast<std::ptrdiff_t>(k_count * n),
              densities_.begin());
    std::copy(fresh.begin(), fresh.end(),
              densities_.begin() + static_cast<std::ptrdiff_t>(k_count * n));
  } else {
    evaluate_sets(m_, sets, densities_);
  }
}

// Central differences where there is no closed form: the first derivative and the second in
// the parameter itself.
void Evaluator::difference_derivatives() {
  const std::size_t n = m_.n_points();
  for (std::size_t j = 0; j < m_.peaks.size(); ++j) {
    checkpoint();
    PeakPlan& plan = peak_plans_[j];
    if (plan.closed_form) continue;
    const std::size_t n_shape = m_.peaks[j].shape->params.size();
    const std::span<const double> f0 = column(j);
    for (const std::size_t a : plan.moving) {
      const std::span<const double> plus = column(plan.first_shift[a]);
      const std::span<const double> minus = column(plan.first_shift[a] + 1);
      const double h = plan.h[a];
      const double h2 = 2.0 * h;
      double* first = plan.first.data() + a * n;
      double* diag = plan.second.data() + (a * n_shape + a) * n;
      for (std::size_t i = 0; i < n; ++i) {
        first[i] = (plus[i] - minus[i]) / h2;
        diag[i] = (plus[i] - 2.0 * f0[i] + minus[i]) / (h * h);
      }
    }
  }
}

// Weights of the score (w = c / mu - 1) and of the two informations; then w~ = M^T w with
// M = I + sum_s k_s L_s, and r_s = L_s^T w.
void Evaluator::form_weights(std::vector<double>& fisher_w, std::vector<double>& observed_w) {
  const std::vector<double>& p = mapped_.p;
  const std::size_t n = m_.n_points();
  w_.resize(n);
  fisher_w.assign(n, 0.0);
  observed_w.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double guarded = mu_[i] + kCountGuard;
    const double ratio = counts_[i] / guarded;
    w_[i] = ratio - 1.0;
    fisher_w[i] = 1.0 / guarded;
    observed_w[i] = ratio / guarded;
  }
  const std::size_t n_follows = m_.follows.size();
  adjoint_.resize(n_follows);
  for (std::vector<double>& a : adjoint_) a.assign(n, 0.0);
  w_tilde_ = w_;
  for (std::size_t s = 0; s < n_follows; ++s) {
    apply_follow_adjoint(m_.follows[s], w_, adjoint_[s]);
    const double k = p[share_index(s)];
    for (std::size_t i = 0; i < n; ++i) w_tilde_[i] += k * adjoint_[s][i];
  }
}

// First derivatives of mu in every moving parameter.
void Evaluator::form_mu_columns() {
  const std::vector<double>& p = mapped_.p;
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  columns_.assign(n_var * n, 0.0);
  std::vector<double>& scratch = scratch_;
  scratch.assign(n, 0.0);
  for (std::size_t v = 0; v < n_var; ++v) {
    checkpoint();
    const std::size_t e = order_[v];
    const std::span<double> out(columns_.data() + v * n, n);
    if (e >= m_.first_background) {
      const std::size_t b = e - m_.first_background;
      if (b < m_.columns.size()) {
        for (std::size_t i = 0; i < n; ++i) out[i] = m_.columns[b][i] * m_.widths[i];
      } else {
        const std::vector<double>& side = follow_counts_[b - m_.columns.size()];
        std::copy(side.begin(), side.end(), out.begin());
      }
      continue;
    }
    const auto [j, a] = owner(e);
    const PeakTerm& peak = m_.peaks[j];
    const PeakPlan& plan = peak_plans_[j];
    if (a == peak.shape->params.size()) {  // the area
      const std::span<const double> f = column(j);
      for (std::size_t i = 0; i < n; ++i) out[i] = f[i] * m_.widths[i];
    } else {
      if (!plan.moves(a)) continue;  // a peak without counts: no dependence
      const double* first = plan.first.data() + a * n;
      for (std::size_t i = 0; i < n; ++i) out[i] = plan.area * first[i] * m_.widths[i];
    }
    add_follows(p, out, scratch);
  }
}

// Score, expected information and the first part of the observed one, in the moving
// parameters.
void Evaluator::form_informations(const std::vector<double>& fisher_w,
                                  const std::vector<double>& observed_w) {
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  score_p_.assign(n_var, 0.0);
  fisher_p_.assign(n_var * n_var, 0.0);
  observed_p_.assign(n_var * n_var, 0.0);
  for (std::size_t v = 0; v < n_var; ++v) {
    checkpoint();
    const double* col = columns_.data() + v * n;
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += w_[i] * col[i];
    score_p_[v] = s;
  }
  for_each_pair(n_var, n, [&](std::size_t a, std::size_t b) {
    const double* ca = columns_.data() + a * n;
    const double* cb = columns_.data() + b * n;
    double f = 0.0, o = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double prod = ca[i] * cb[i];
      f += fisher_w[i] * prod;
      o += observed_w[i] * prod;
    }
    fisher_p_[a * n_var + b] = fisher_p_[b * n_var + a] = f;
    observed_p_[a * n_var + b] = observed_p_[b * n_var + a] = o;
  });
}

// The second-derivative terms of the observed information that need no further densities: a
// shape parameter with itself, with its peak's area, and with the shares of the terms that
// follow the peaks.
void Evaluator::add_within_peak_terms() {
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  const std::size_t n_follows = m_.follows.size();
  for (std::size_t j = 0; j < m_.peaks.size(); ++j) {
    checkpoint();
    const PeakTerm& peak = m_.peaks[j];
    const PeakPlan& plan = peak_plans_[j];
    const std::span<const double> f0 = column(j);
    const std::size_t area_v = varying_[m_.area_index(j)];
    const std::size_t n_shape = peak.shape->params.size();
    for (const std::size_t a : plan.moving) {
      const std::size_t va = varying_[peak.first + a];
      const double* first = plan.first.data() + a * n;
      const double* second = plan.second.data() + (a * n_shape + a) * n;
      double diag = 0.0, with_area = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double wd = w_tilde_[i] * m_.widths[i];
        diag += wd * second[i];
        with_area += wd * first[i];
      }
      observed_p_[va * n_var + va] -= plan.area * diag;
      if (area_v != kNone) {
        observed_p_[va * n_var + area_v] -= with_area;
        observed_p_[area_v * n_var + va] -= with_area;
      }
      for (std::size_t s = 0; s < n_follows; ++s) {
        const std::size_t vs = varying_[share_index(s)];
        if (vs == kNone) continue;
        double t = 0.0;
        for (std::size_t i = 0; i < n; ++i) t += adjoint_[s][i] * m_.widths[i] * first[i];
        observed_p_[va * n_var + vs] -= plan.area * t;
        observed_p_[vs * n_var + va] -= plan.area * t;
      }
    }
    if (area_v == kNone) continue;
    for (std::size_t s = 0; s < n_follows; ++s) {
      const std::size_t vs = varying_[share_index(s)];
      if (vs == kNone) continue;
      double t = 0.0;
      for (std::size_t i = 0; i < n; ++i) t += adjoint_[s][i] * m_.widths[i] * f0[i];
      observed_p_[area_v * n_var + vs] -= t;
      observed_p_[vs * n_var + area_v] -= t;
    }
  }
}

void Evaluator::complete(optim::Derivatives& d) {
  std::vector<double> ratio(w_.size());
  for (std::size_t i = 0; i < w_.size(); ++i) ratio[i] = w_[i] + 1.0;  // c_i / mu_i
  d.complete = to_theta(complete_information(mapped_.p, ratio));
}

void Evaluator::observed(optim::Derivatives& d) {
  if (d.has_observed) return;
  ++passes_;
  const std::size_t n_var = order_.size();
  const std::size_t n_theta = m_.n_theta();
  // The mixed second derivatives within a peak.
  std::vector<DensitySet> sets;
  const std::vector<Corner> corners = plan_corners(sets);
  std::vector<double> dens;
  evaluate_sets(m_, sets, dens);
  std::vector<double> full = observed_p_;
  for (const Corner& c : corners) {
    checkpoint();
    const double t = corner_term(c, dens);
    const PeakPlan& plan = peak_plans_[c.peak];
    const std::size_t first = m_.peaks[c.peak].first;
    const std::size_t va = varying_[first + c.a], vb = varying_[first + c.b];
    full[va * n_var + vb] -= plan.area * t;
    full[vb * n_var + va] -= plan.area * t;
  }
  d.observed = to_theta(full);
  // Curved ties: - sum_t (dl / dp_t) d2 p_t / d theta2.
  for (std::size_t e = 0; e < m_.n_params(); ++e) {
    checkpoint();
    if (mapped_.hess[e].empty() || varying_[e] == kNone) continue;
    const double g = score_p_[varying_[e]];
    for (std::size_t k = 0; k < n_theta * n_theta; ++k) d.observed[k] -= g * mapped_.hess[e][k];
  }
  d.has_observed = true;
}

// Every pair of moving shape parameters within a peak: from the closed form, or from four
// corner densities (central) or one (from the shifts at hand), appended to `sets`.
std::vector<Evaluator::Corner> Evaluator::plan_corners(std::vector<DensitySet>& sets) const {
  std::vector<Corner> corners;
  for (std::size_t j = 0; j < m_.peaks.size(); ++j) {
    const PeakPlan& plan = peak_plans_[j];
    const DensitySet base = base_set(mapped_.p, j);
    for (std::size_t x = 0; x < plan.moving.size(); ++x) {
      if (plan.closed_form) {
        for (std::size_t y = 0; y < x; ++y) {
          corners.push_back({j, plan.moving[x], plan.moving[y], kNone});
        }
        continue;
      }
      for (std::size_t y = 0; y < x; ++y) {
        const std::size_t a = plan.moving[x], b = plan.moving[y];
        corners.push_back({j, a, b, sets.size()});
        const std::size_t count = central_ ? 4 : 1;
        for (const auto& [sa, sb] :
             {std::pair{1.0, 1.0}, {1.0, -1.0}, {-1.0, 1.0}, {-1.0, -1.0}}) {
          if (sets.size() - corners.back().first == count) break;
          DensitySet c = base;
          c.params[a] += sa * plan.h[a];
          c.params[b] += sb * plan.h[b];
          sets.push_back(c);
        }
      }
    }
  }
  return corners;
}

// sum_i w~_i du_i d2 f / d p_a d p_b of one corner.
double Evaluator::corner_term(const Corner& c, const std::vector<double>& dens) const {
  const std::size_t n = m_.n_points();
  const PeakPlan& plan = peak_plans_[c.peak];
  double t = 0.0;
  if (c.first == kNone) {
    const std::size_t n_shape = m_.peaks[c.peak].shape->params.size();
    const double* mixed = plan.second.data() + (c.a * n_shape + c.b) * n;
    for (std::size_t i = 0; i < n; ++i) t += w_tilde_[i] * m_.widths[i] * mixed[i];
  } else if (central_) {
    const double* pp = dens.data() + c.first * n;
    // (f(+a +b) - f(+a -b) - f(-a +b) + f(-a -b)) / (4 h_a h_b)
    const double* pm = pp + n;
    const double* mp = pm + n;
    const double* mm = mp + n;
    const double denom = 4.0 * plan.h[c.a] * plan.h[c.b];
    for (std::size_t i = 0; i < n; ++i) {
      t += w_tilde_[i] * m_.widths[i] * ((pp[i] - pm[i] - mp[i] + mm[i]) / denom);
    }
  } else {
    // (f(+a +b) - f(+a) - f(+b) + f) / (h_a h_b), from the shifts already at hand.
    const double* pp = dens.data() + c.first * n;
    const double* pa = densities_.data() + plan.first_shift[c.a] * n;
    const double* pb = densities_.data() + plan.first_shift[c.b] * n;
    const double* f0 = densities_.data() + c.peak * n;
    const double denom = plan.h[c.a] * plan.h[c.b];
    for (std::size_t i = 0; i < n; ++i) {
      t += w_tilde_[i] * m_.widths[i] * ((pp[i] - pa[i] - pb[i] + f0[i]) / denom);
    }
  }
  return t;
}

void Evaluator::scales(std::span<const double> theta, std::span<double> out) {
  const Mapped mapped = map_parameters(m_, theta, false);
  const std::vector<double>& p = mapped.p;
  const double count_floor = 1e-3 * std::max(total_, 1.0);
  for (std::size_t e = 0; e < m_.n_params(); ++e) {
    if (m_.roles[e] != Role::free) continue;
    double scale = 1.0;
    if (e >= m_.first_background) {
      const std::size_t b = e - m_.first_background;
      const bool column = b < m_.columns.size();
      const double least =
          column ? count_floor : kShareFloor / m_.follows[b - m_.columns.size()].reach;
      scale = std::max(std::fabs(p[e]), least);
    } else {
      const auto [j, a] = owner(e);
      const PeakTerm& peak = m_.peaks[j];
      if (a == peak.shape->params.size()) {
        scale = std::max(std::fabs(p[e]), count_floor);
      } else {
        const shapes::ParamInfo& info = peak.shape->params[a];
        double width = 0.0;
        for (std::size_t b = 0; b < peak.shape->params.size(); ++b) {
          if (peak.shape->params[b].kind == shapes::Kind::width) {
            width = std::max(width, std::fabs(p[peak.first + b]));
          }
        }
        switch (info.kind) {
          case shapes::Kind::location:
            scale = width > 0.0 ? kLocationWidths * width : kTemperatureShare * std::fabs(p[e]);
            break;
          case shapes::Kind::width: scale = std::fabs(p[e]); break;
          case shapes::Kind::count: break;
          case shapes::Kind::plain:
            scale = info.step_rule == shapes::StepRule::relative ? kPlainShare * std::fabs(p[e])
                                                                  : kPlainShare;
            break;
        }
      }
    }
    out[m_.slots[e]] = scale > 0.0 && std::isfinite(scale) ? scale : 1.0;
  }
}

std::vector<double> Evaluator::complete_information(const std::vector<double>& p,
                                                    const std::vector<double>& ratio_w) const {
  const std::size_t n_var = order_.size();
  std::vector<double> out(n_var * n_var, 0.0);
  std::vector<std::vector<double>> own(n_var);
  add_peak_terms(ratio_w, own, out);
  add_column_terms(p, ratio_w, out);
  add_follow_terms(p, ratio_w, own, out);
  return out;
}

// Each peak's term: its counts T_j and their columns dT_j / dp_e over its own moving
// parameters (kept in `own` for the terms that follow the peaks).
void Evaluator::add_peak_terms(const std::vector<double>& ratio_w,
                               std::vector<std::vector<double>>& own,
                               std::vector<double>& out) const {
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  for (std::size_t j = 0; j < m_.peaks.size(); ++j) {
    checkpoint();
    const PeakTerm& peak = m_.peaks[j];
    const PeakPlan& plan = peak_plans_[j];
    std::vector<std::size_t> mine;
    for (std::size_t a = 0; a <= peak.shape->params.size(); ++a) {
      const std::size_t e = peak.first + a;
      const std::size_t v = varying_[e];
      if (v == kNone) continue;
      std::vector<double> col(n, 0.0);
      if (a == peak.shape->params.size()) {
        const double* f = column(j).data();
        for (std::size_t i = 0; i < n; ++i) col[i] = f[i] * m_.widths[i];
      } else if (plan.moves(a)) {
        const double* first = plan.first.data() + a * n;
        for (std::size_t i = 0; i < n; ++i) col[i] = plan.area * first[i] * m_.widths[i];
      }
      own[v] = std::move(col);
      mine.push_back(v);
    }
    const std::vector<double>& t = peak_counts_[j];
    for (std::size_t x = 0; x < mine.size(); ++x) {
      for (std::size_t y = 0; y <= x; ++y) {
        const std::vector<double>& a = own[mine[x]];
        const std::vector<double>& b = own[mine[y]];
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          if (t[i] > kCountGuard) sum += ratio_w[i] / t[i] * a[i] * b[i];
        }
        out[mine[x] * n_var + mine[y]] = out[mine[y] * n_var + mine[x]] = sum;
      }
    }
  }
}

// Each background column's term: its count alone.
void Evaluator::add_column_terms(const std::vector<double>& p, const std::vector<double>& ratio_w,
                                 std::vector<double>& out) const {
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  for (std::size_t b = 0; b < m_.columns.size(); ++b) {
    const std::size_t e = m_.first_background + b;
    const std::size_t v = varying_[e];
    if (v == kNone) continue;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double g = m_.columns[b][i] * m_.widths[i];
      sum += p[e] > 0.0 ? ratio_w[i] * g / p[e] : g * g / (mu_[i] + kCountGuard);
    }
    out[v * n_var + v] = sum;
  }
}

// Each term that follows the peaks: T_s = k_s L_s pi, with d T_s = L_s pi for the share and
// k_s L_s dT_j for a peak parameter.
void Evaluator::add_follow_terms(const std::vector<double>& p, const std::vector<double>& ratio_w,
                                 const std::vector<std::vector<double>>& own,
                                 std::vector<double>& out) const {
  const std::size_t n = m_.n_points();
  const std::size_t n_var = order_.size();
  std::vector<double> scratch(n);
  for (std::size_t s = 0; s < m_.follows.size(); ++s) {
    const std::size_t e = share_index(s);
    const double k = p[e];
    const std::vector<double>& side = follow_counts_[s];  // L_s pi
    std::vector<std::pair<std::size_t, std::vector<double>>> grads;
    if (varying_[e] != kNone) grads.emplace_back(varying_[e], side);
    if (k > 0.0) {
      for (std::size_t v = 0; v < n_var; ++v) {
        checkpoint();
        if (own[v].empty()) continue;
        apply_follow(m_.follows[s], own[v], scratch);
        for (double& x : scratch) x *= k;
        grads.emplace_back(v, scratch);
      }
    }
    for (std::size_t x = 0; x < grads.size(); ++x) {
      checkpoint();
      for (std::size_t y = 0; y <= x; ++y) {
        const std::vector<double>& a = grads[x].second;
        const std::vector<double>& b = grads[y].second;
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          const double t = k * side[i];
          sum += t > kCountGuard ? ratio_w[i] / t * a[i] * b[i]
                                 : a[i] * b[i] / (mu_[i] + kCountGuard);
        }
        out[grads[x].first * n_var + grads[y].first] += sum;
        if (x != y) out[grads[y].first * n_var + grads[x].first] += sum;
      }
    }
  }
}

std::vector<double> Evaluator::shifted_density(std::size_t j, std::size_t a, int sign) const {
  const std::size_t n = m_.n_points();
  DensitySet set = base_set(mapped_.p, j);
  const double h = difference_step(*m_.peaks[j].shape, set.params.data(), a);
  const bool planned = j < peak_plans_.size();
  if (planned && peak_plans_[j].first_shift[a] != kNone) {
    const std::size_t shift = peak_plans_[j].first_shift[a];
    const double* col = densities_.data() + (shift + (sign > 0 ? 0 : 1)) * n;
    return {col, col + n};
  }
  if (planned && peak_plans_[j].closed_form && peak_plans_[j].moves(a)) {
    const PeakPlan& plan = peak_plans_[j];
    const std::size_t n_shape = m_.peaks[j].shape->params.size();
    const double step = sign > 0 ? h : -h;
    const double* f0 = densities_.data() + j * n;
    const double* first = plan.first.data() + a * n;
    const double* second = plan.second.data() + (a * n_shape + a) * n;
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = f0[i] + step * first[i] + 0.5 * step * step * second[i];
    }
    return out;
  }
  set.params[a] += sign > 0 ? h : -h;
  std::vector<double> out(n);
  m_.peaks[j].shape->density(m_.u, set.params.data(), m_.context(j), out);
  return out;
}

bool Evaluator::PeakPlan::moves(std::size_t a) const {
  return std::find(moving.begin(), moving.end(), a) != moving.end();
}

std::pair<std::size_t, std::size_t> Evaluator::owner(std::size_t e) const {
  std::size_t j = 0;
  while (j + 1 < m_.peaks.size() && m_.peaks[j + 1].first <= e) ++j;
  return {j, e - m_.peaks[j].first};
}

DensitySet Evaluator::base_set(const std::vector<double>& p, std::size_t j) const {
  DensitySet set{j, {}};
  const PeakTerm& peak = m_.peaks[j];
  for (std::size_t a = 0; a < peak.shape->params.size(); ++a) set.params[a] = p[peak.first + a];
  return set;
}

void Evaluator::expected_counts(const std::vector<double>& p, const std::vector<double>& dens,
                                std::vector<double>& mu, std::vector<std::vector<double>>& peaks,
                                std::vector<std::vector<double>>& follows) const {
  const std::size_t n = m_.n_points();
  const std::size_t k_count = m_.peaks.size();
  peaks.resize(k_count);
  for (std::vector<double>& row : peaks) row.assign(n, 0.0);
  std::vector<double>& pi = pi_;
  pi.assign(n, 0.0);
  for (std::size_t j = 0; j < k_count; ++j) {
    checkpoint();
    const double area = p[m_.area_index(j)];
    const double* f = dens.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) {
      peaks[j][i] = area * f[i] * m_.widths[i];
      pi[i] += peaks[j][i];
    }
  }
  mu = pi;
  for (std::size_t b = 0; b < m_.columns.size(); ++b) {
    const double c = p[m_.first_background + b];
    for (std::size_t i = 0; i < n; ++i) mu[i] += c * m_.columns[b][i] * m_.widths[i];
  }
  follows.resize(m_.follows.size());
  for (std::vector<double>& row : follows) row.assign(n, 0.0);
  for (std::size_t s = 0; s < m_.follows.size(); ++s) {
    checkpoint();
    apply_follow(m_.follows[s], pi, follows[s]);
    const double k = p[share_index(s)];
    for (std::size_t i = 0; i < n; ++i) mu[i] += k * follows[s][i];
  }
}

double Evaluator::poisson(const std::vector<double>& mu) const {
  double ll = 0.0;
  for (std::size_t i = 0; i < mu.size(); ++i) {
    const double c = counts_[i];
    ll += c > 0.0 ? c * std::log((mu[i] + kCountGuard) / c) - (mu[i] - c) : -mu[i];
  }
  return std::isfinite(ll) ? ll : -std::numeric_limits<double>::infinity();
}

void Evaluator::add_follows(const std::vector<double>& p, std::span<double> v,
                            std::vector<double>& scratch) const {
  for (std::size_t s = 0; s < m_.follows.size(); ++s) {
    const double k = p[share_index(s)];
    if (k == 0.0) continue;
    apply_follow(m_.follows[s], v, scratch);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] += k * scratch[i];
  }
}

std::vector<double> Evaluator::to_theta(const std::vector<double>& x) const {
  const std::size_t n_var = order_.size();
  const std::size_t n_theta = m_.n_theta();
  std::vector<double> xj(n_var * n_theta, 0.0);  // X J
  for (std::size_t v = 0; v < n_var; ++v) {
    checkpoint();
    for (std::size_t w = 0; w < n_var; ++w) {
      const double xv = x[v * n_var + w];
      if (xv == 0.0) continue;
      const double* row = mapped_.jac.data() + order_[w] * n_theta;
      for (std::size_t a = 0; a < n_theta; ++a) xj[v * n_theta + a] += xv * row[a];
    }
  }
  std::vector<double> out(n_theta * n_theta, 0.0);
  for (std::size_t v = 0; v < n_var; ++v) {
    const double* row = mapped_.jac.data() + order_[v] * n_theta;
    for (std::size_t a = 0; a < n_theta; ++a) {
      if (row[a] == 0.0) continue;
      for (std::size_t b = 0; b < n_theta; ++b) {
        out[a * n_theta + b] += row[a] * xj[v * n_theta + b];
      }
    }
  }
  for (std::size_t a = 0; a < n_theta; ++a) {  // symmetric to the last bit
    for (std::size_t b = 0; b < a; ++b) {
      const double s = 0.5 * (out[a * n_theta + b] + out[b * n_theta + a]);
      out[a * n_theta + b] = out[b * n_theta + a] = s;
    }
  }
  return out;
}

}  // namespace velmora::engine
