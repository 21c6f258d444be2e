#include "engine/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "optim/dense.hpp"
#include "stop.hpp"
#include "worker_pool.hpp"

namespace velmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

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

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

std::size_t whole(double v, const char* what, std::size_t below) {
  if (!(v >= 0.0) || v != std::floor(v) || v >= static_cast<double>(below)) {
    invalid(std::string(what) + ": " + std::to_string(v) + " is not a whole number below " +
            std::to_string(below));
  }
  return static_cast<std::size_t>(v);
}

void check_length(std::size_t got, std::size_t expected, const char* what) {
  if (got != expected) {
    invalid(std::string(what) + ": length " + std::to_string(got) + ", expected " +
            std::to_string(expected));
  }
}

// ------------------------------------------------------------------- densities of a peak

// The central-difference step of parameter a of a peak with parameters p.
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

// A peak's first shifted density for each of its parameter slots: none yet.
constexpr std::array<std::size_t, shapes::kMaxShapeParams> no_shifts() {
  std::array<std::size_t, shapes::kMaxShapeParams> slots{};
  slots.fill(kNone);
  return slots;
}

// One density to evaluate: peak j at its parameters moved by shift[a] h_a.
struct DensitySet {
  std::size_t peak;
  std::array<double, shapes::kMaxShapeParams> params;
};

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
    std::size_t a = static_cast<std::size_t>((std::sqrt(8.0 * static_cast<double>(k) + 1.0) - 1.0) / 2.0);
    while (a * (a + 1) / 2 > k) --a;
    while ((a + 1) * (a + 2) / 2 <= k) ++a;
    body(a, k - a * (a + 1) / 2);
  });
}

// ------------------------------------------------------------------------ the evaluator

// The log-likelihood of one spectrum under the model, with its derivatives over theta.
class Evaluator final : public optim::Objective {
 public:
  Evaluator(const Model& m, std::span<const double> counts) : m_(m), counts_(counts) {
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

  // The log-likelihood of the saturated model, sum_i c_i log c_i - c_i - log Gamma(c_i + 1):
  // the objective plus this is the Poisson log-likelihood.
  double constant() const { return constant_; }

  double value(std::span<const double> theta) override {
    ++passes_;
    const Mapped mapped = map_parameters(m_, theta, false);
    std::vector<DensitySet> sets;
    for (std::size_t j = 0; j < m_.peaks.size(); ++j) sets.push_back(base_set(mapped.p, j));
    evaluate_sets(m_, sets, value_densities_);
    value_theta_.assign(theta.begin(), theta.end());
    std::vector<double> mu;
    expected_counts(mapped.p, value_densities_, mu, value_peaks_, value_follows_);
    return poisson(mu);
  }

  void derivatives(std::span<const double> theta, optim::Derivatives& d) override {
    ++passes_;
    mapped_ = map_parameters(m_, theta, true);
    const std::vector<double>& p = mapped_.p;
    const std::size_t n = m_.n_points();
    const std::size_t n_params = m_.n_params();
    const std::size_t n_theta = m_.n_theta();
    const std::size_t k_count = m_.peaks.size();

    // Parameters that move with theta.
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

    // Derivatives of the densities in every moving shape parameter of a peak with counts: in
    // closed form where the shape gives them, otherwise from the pair of densities shifted by
    // +h and -h (after every peak's own density in `sets`).
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
      plan.closed_form = m_.peaks[j].shape->derivatives(m_.u, base.params.data(),
                                                       m_.context(j), plan.first, plan.second);
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
    // The peaks' own densities at theta are those of the last value() call when that was at
    // theta (the point a step was accepted at): only the shifted ones are new.
    if (value_theta_.size() == theta.size() &&
        std::equal(value_theta_.begin(), value_theta_.end(), theta.begin())) {
      const std::vector<DensitySet> shifted(sets.begin() + static_cast<std::ptrdiff_t>(k_count),
                                            sets.end());
      std::vector<double> fresh;
      evaluate_sets(m_, shifted, fresh);
      densities_.resize(sets.size() * n);
      std::copy(value_densities_.begin(), value_densities_.begin() +
                static_cast<std::ptrdiff_t>(k_count * n), densities_.begin());
      std::copy(fresh.begin(), fresh.end(),
                densities_.begin() + static_cast<std::ptrdiff_t>(k_count * n));
    } else {
      evaluate_sets(m_, sets, densities_);
    }
    auto column = [&](std::size_t s) {
      return std::span<const double>(densities_.data() + s * n, n);
    };
    // Central differences where there is no closed form: the first derivative and the second
    // in the parameter itself.
    for (std::size_t j = 0; j < k_count; ++j) {
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

    std::vector<double>& mu = mu_;
    expected_counts(p, densities_, mu, peak_counts_, follow_counts_);
    d.value = poisson(mu);

    // Weights of the score and of the two informations.
    w_.resize(n);
    std::vector<double> fisher_w(n), observed_w(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double guarded = mu[i] + kCountGuard;
      const double ratio = counts_[i] / guarded;
      w_[i] = ratio - 1.0;
      fisher_w[i] = 1.0 / guarded;
      observed_w[i] = ratio / guarded;
    }
    // w~ = M^T w with M = I + sum_s k_s L_s, and r_s = L_s^T w.
    const std::size_t n_follows = m_.follows.size();
    adjoint_.assign(n_follows, std::vector<double>(n));
    w_tilde_ = w_;
    for (std::size_t s = 0; s < n_follows; ++s) {
      apply_follow_adjoint(m_.follows[s], w_, adjoint_[s]);
      const double k = p[share_index(s)];
      for (std::size_t i = 0; i < n; ++i) w_tilde_[i] += k * adjoint_[s][i];
    }

    // First derivatives of mu in every moving parameter.
    const std::size_t n_var = order_.size();
    columns_.assign(n_var * n, 0.0);
    std::vector<double> scratch(n);
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

    // Score, expected information and the first part of the observed one, in the moving
    // parameters.
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

    // The second-derivative terms that need no further densities: a shape parameter with
    // itself, with its peak's area, and with the shares of the terms that follow the peaks.
    for (std::size_t j = 0; j < k_count; ++j) {
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

    // To theta.
    d.score.assign(n_theta, 0.0);
    for (std::size_t v = 0; v < n_var; ++v) {
      const double* row = mapped_.jac.data() + order_[v] * n_theta;
      for (std::size_t a = 0; a < n_theta; ++a) d.score[a] += row[a] * score_p_[v];
    }
    d.expected = to_theta(fisher_p_);
    d.complete.clear();
    d.observed.clear();
    d.has_observed = false;
  }

  // How observed() forms the mixed second derivatives within a peak: by central differences
  // (four densities per pair of its moving shape parameters, the information a fit reports)
  // or one-sided from the shifts at hand (one density per pair, for a fit's Newton steps,
  // which need the terms -- a Voigt's sigma and gamma trade against each other -- but not to
  // the last digits, while the central corners would be most of a step's densities).
  void set_central_corners(bool on) { central_ = on; }

  void complete(optim::Derivatives& d) override {
    std::vector<double> ratio(w_.size());
    for (std::size_t i = 0; i < w_.size(); ++i) ratio[i] = w_[i] + 1.0;  // c_i / mu_i
    d.complete = to_theta(complete_information(mapped_.p, ratio));
  }

  void observed(optim::Derivatives& d) override {
    if (d.has_observed) return;
    ++passes_;
    const std::size_t n = m_.n_points();
    const std::size_t n_var = order_.size();
    const std::size_t n_theta = m_.n_theta();
    // The mixed second derivatives within a peak: four corners per pair of its moving shape
    // parameters.
    std::vector<DensitySet> sets;
    struct Corner {
      std::size_t peak, a, b, first;
    };
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
    std::vector<double> dens;
    evaluate_sets(m_, sets, dens);
    std::vector<double> full = observed_p_;
    for (const Corner& c : corners) {
      checkpoint();
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

  // Each free parameter's scale for the trust region: a peak's width for its centre, a width,
  // an area or a background count for itself (with a floor of a thousandth of the counts), a
  // fifth of a shape's plain parameter.
  void scales(std::span<const double> theta, std::span<double> out) override {
    const Mapped mapped = map_parameters(m_, theta, false);
    const std::vector<double>& p = mapped.p;
    const double count_floor = 1e-3 * std::max(total_, 1.0);
    for (std::size_t e = 0; e < m_.n_params(); ++e) {
      if (m_.roles[e] != Role::free) continue;
      double scale = 1.0;
      if (e >= m_.first_background) {
        const std::size_t b = e - m_.first_background;
        const bool column = b < m_.columns.size();
        scale = std::max(std::fabs(p[e]), column ? count_floor
                                                 : kShareFloor / m_.follows[b - m_.columns.size()].reach);
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

  std::uint64_t passes() const { return passes_; }
  const Mapped& mapped() const { return mapped_; }

  // The complete-data information over the moving parameters: the first-order part of the
  // curvature of EM's Q function at the current point,
  //   sum_k sum_i (c_i / mu_i) / T_ki  dT_ki dT_ki^T,
  // T_k the expected counts of term k (a peak, a background column, a term that follows the
  // peaks).  Each term sees only its own parameters, so the counts the terms share are not
  // traded between them: a Newton step on it is the EM gradient algorithm (Lange 1995, "A
  // gradient algorithm locally equivalent to the EM algorithm", J. R. Statist. Soc. B 57,
  // 425-437), whose area updates are EM's own.  A term without counts (a column or share at
  // zero) takes the expected information of its count instead.
  std::vector<double> complete_information(const std::vector<double>& p,
                                           const std::vector<double>& ratio_w) const {
    const std::size_t n = m_.n_points();
    const std::size_t n_var = order_.size();
    std::vector<double> out(n_var * n_var, 0.0);
    // The columns dT_j / dp_e of every moving peak parameter (without the terms that follow).
    std::vector<std::vector<double>> own(n_var);
    auto column = [&](std::size_t s) { return densities_.data() + s * n; };
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
          const double* f = column(j);
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
    std::vector<double> scratch(n);
    for (std::size_t s = 0; s < m_.follows.size(); ++s) {
      const std::size_t e = share_index(s);
      const double k = p[e];
      const std::vector<double>& side = follow_counts_[s];  // L_s pi
      // d T_s: L_s pi for the share, k L_s dT_j for a peak parameter.
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
    return out;
  }
  // Expected counts of every peak and every term that follows the peaks at the last
  // derivatives call.
  const std::vector<std::vector<double>>& peak_counts() const { return peak_counts_; }
  const std::vector<std::vector<double>>& follow_counts() const { return follow_counts_; }
  std::span<const double> density(std::size_t peak) const {
    return {densities_.data() + peak * m_.n_points(), m_.n_points()};
  }

  // The density of peak j with shape parameter a moved by +h (sign > 0) or -h at the last
  // derivatives call, h its difference step: that call's shifted density where it had one, its
  // second-order Taylor polynomial where it had the derivatives in closed form (a moving
  // parameter of a peak with counts; the remainder is of order h^3), otherwise worked out here.
  std::vector<double> shifted_density(std::size_t j, std::size_t a, int sign) const {
    const std::size_t n = m_.n_points();
    DensitySet set = base_set(mapped_.p, j);
    const double h = difference_step(*m_.peaks[j].shape, set.params.data(), a);
    if (j < plan_count() && peak_plans_[j].first_shift[a] != kNone) {
      const std::size_t shift = peak_plans_[j].first_shift[a];
      const double* col = densities_.data() + (shift + (sign > 0 ? 0 : 1)) * n;
      return {col, col + n};
    }
    if (j < plan_count() && peak_plans_[j].closed_form && peak_plans_[j].moves(a)) {
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
  std::size_t plan_count() const { return peak_plans_.size(); }

 private:
  // How the derivatives of a peak's density were formed at the last derivatives call.
  struct PeakPlan {
    double area = 0.0;
    std::vector<std::size_t> moving;  // shape parameters with derivatives
    bool closed_form = false;         // from the shape's own derivatives (else differences)
    // Differences: the step and the first of the pair of shifted densities of a parameter.
    std::array<double, shapes::kMaxShapeParams> h{};
    std::array<std::size_t, shapes::kMaxShapeParams> first_shift = no_shifts();
    // d f / d p_a at first[a n + i]; d2 f / d p_a d p_b at second[(a n_shape + b) n + i]
    // (differences give only the diagonal: the mixed ones are formed by observed()).
    std::vector<double> first, second;
    bool moves(std::size_t a) const {
      return std::find(moving.begin(), moving.end(), a) != moving.end();
    }
  };

  std::size_t share_index(std::size_t s) const {
    return m_.first_background + m_.columns.size() + s;
  }

  // The peak and the position within it of parameter e (< first_background).
  std::pair<std::size_t, std::size_t> owner(std::size_t e) const {
    std::size_t j = 0;
    while (j + 1 < m_.peaks.size() && m_.peaks[j + 1].first <= e) ++j;
    return {j, e - m_.peaks[j].first};
  }

  DensitySet base_set(const std::vector<double>& p, std::size_t j) const {
    DensitySet set{j, {}};
    const PeakTerm& peak = m_.peaks[j];
    for (std::size_t a = 0; a < peak.shape->params.size(); ++a) set.params[a] = p[peak.first + a];
    return set;
  }

  // mu from the parameters and the peaks' densities (the first K columns of `dens`); also the
  // expected counts of every peak and of every term that follows the peaks.
  void expected_counts(const std::vector<double>& p, const std::vector<double>& dens,
                       std::vector<double>& mu, std::vector<std::vector<double>>& peaks,
                       std::vector<std::vector<double>>& follows) const {
    const std::size_t n = m_.n_points();
    const std::size_t k_count = m_.peaks.size();
    peaks.assign(k_count, std::vector<double>(n));
    std::vector<double> pi(n, 0.0);
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
    follows.assign(m_.follows.size(), std::vector<double>(n));
    for (std::size_t s = 0; s < m_.follows.size(); ++s) {
      checkpoint();
      apply_follow(m_.follows[s], pi, follows[s]);
      const double k = p[share_index(s)];
      for (std::size_t i = 0; i < n; ++i) mu[i] += k * follows[s][i];
    }
  }

  // sum_i c_i log((mu_i + guard) / c_i) - (mu_i - c_i) (minus half the deviance), in index
  // order; -inf when not finite.
  double poisson(const std::vector<double>& mu) const {
    double ll = 0.0;
    for (std::size_t i = 0; i < mu.size(); ++i) {
      const double c = counts_[i];
      ll += c > 0.0 ? c * std::log((mu[i] + kCountGuard) / c) - (mu[i] - c) : -mu[i];
    }
    return std::isfinite(ll) ? ll : -std::numeric_limits<double>::infinity();
  }

  // v <- v + sum_s k_s L_s v (the terms that follow the peaks also follow their derivatives).
  void add_follows(const std::vector<double>& p, std::span<double> v,
                   std::vector<double>& scratch) const {
    for (std::size_t s = 0; s < m_.follows.size(); ++s) {
      const double k = p[share_index(s)];
      if (k == 0.0) continue;
      apply_follow(m_.follows[s], v, scratch);
      for (std::size_t i = 0; i < v.size(); ++i) v[i] += k * scratch[i];
    }
  }

  // J^T X J for a matrix X over the moving parameters.
  std::vector<double> to_theta(const std::vector<double>& x) const {
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
        for (std::size_t b = 0; b < n_theta; ++b) out[a * n_theta + b] += row[a] * xj[v * n_theta + b];
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

  const Model& m_;
  std::span<const double> counts_;
  bool central_ = true;
  double total_ = 0.0;
  double constant_ = 0.0;
  std::uint64_t passes_ = 0;

  // State of the last derivatives call.
  Mapped mapped_;
  std::vector<std::size_t> varying_;  // moving index of every parameter, or kNone
  std::vector<std::size_t> order_;    // the moving parameters
  std::vector<PeakPlan> peak_plans_;
  std::vector<double> densities_;
  std::vector<std::vector<double>> peak_counts_, follow_counts_;
  std::vector<double> mu_, w_, w_tilde_;
  std::vector<std::vector<double>> adjoint_;
  std::vector<double> columns_;
  std::vector<double> score_p_, fisher_p_, observed_p_;

  // Buffers of value(), and the point of its last call.
  std::vector<double> value_densities_;
  std::vector<double> value_theta_;
  std::vector<std::vector<double>> value_peaks_, value_follows_;
};

bool finite_all(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

// ---------------------------------------------------------------------------- the model

Model make_model(ModelInput in) {
  Model m;
  const std::size_t n = in.u.size();
  if (n < 2) invalid("u: the grid needs at least two points");
  check_length(in.widths.size(), n, "widths");
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(in.u[i]) || (i > 0 && !(in.u[i] > in.u[i - 1]))) {
      invalid("u: the grid must be finite and strictly increasing (index " + std::to_string(i) +
              ")");
    }
    if (!(in.widths[i] > 0.0) || !std::isfinite(in.widths[i])) {
      invalid("widths: entry " + std::to_string(i) + " is not a positive number");
    }
  }
  if (!std::isfinite(in.x_min) || !std::isfinite(in.x_max) || !(in.x_min < in.x_max)) {
    invalid("window: x_min must be below x_max, both finite");
  }
  m.u = std::move(in.u);
  m.widths = std::move(in.widths);
  m.x_min = in.x_min;
  m.x_max = in.x_max;

  const std::size_t k_count = in.shapes.size();
  if (k_count == 0) invalid("shapes: at least one peak is needed");
  check_length(in.betas.size(), k_count, "betas");
  std::size_t first = 0;
  for (std::size_t j = 0; j < k_count; ++j) {
    const std::size_t code = whole(in.shapes[j], "shapes", shapes::all_shapes().size());
    PeakTerm peak{&shapes::shape(code), in.betas[j], first};
    if (!(peak.beta > 0.0) || !std::isfinite(peak.beta)) {
      invalid("betas: entry " + std::to_string(j) + " is not a positive heating rate");
    }
    first += peak.shape->params.size() + 1;
    m.peaks.push_back(peak);
  }
  m.first_background = first;
  m.columns = std::move(in.columns);
  for (const std::vector<double>& c : m.columns) check_length(c.size(), n, "columns");
  const std::span<const FollowKindInfo> kinds = follow_kinds();
  for (std::size_t at = 0; at < in.follows.size();) {
    const std::size_t code = whole(in.follows[at], "follows: kind", kinds.size());
    const FollowKindInfo& info = kinds[code];
    if (at + 2 + info.n_params > in.follows.size()) {
      invalid(std::string("follows: the ") + info.name + " term at " + std::to_string(at) +
              " is cut short");
    }
    const double side = in.follows[at + 1];
    if (side != 1.0 && side != -1.0) invalid("follows: side expected +1 (below) or -1 (above)");
    m.follows.push_back(make_follow_term(
        info.kind, side > 0.0 ? Side::below : Side::above,
        std::span<const double>(in.follows).subspan(at + 2, info.n_params), m.u, m.widths));
    at += 2 + info.n_params;
  }
  const std::size_t n_params = first + m.columns.size() + m.follows.size();
  check_length(in.roles.size(), n_params, "roles");
  check_length(in.slots.size(), n_params, "slots");
  check_length(in.values.size(), n_params, "values");
  check_length(in.scale.size(), n_params, "scale");
  check_length(in.offset.size(), n_params, "offset");
  const std::size_t n_theta = in.lower.size();
  check_length(in.upper.size(), n_theta, "upper");
  for (std::size_t a = 0; a < n_theta; ++a) {
    if (std::isnan(in.lower[a]) || std::isnan(in.upper[a]) || in.lower[a] > in.upper[a]) {
      invalid("bounds of free parameter " + std::to_string(a) + " are NaN or reversed");
    }
  }
  const std::size_t n_ties = in.tie_target.size();
  check_length(in.tie_start.size(), n_ties + 1, "tie_start");

  std::vector<std::size_t> tie_of(n_params, kNone);
  std::vector<bool> theta_used(n_theta, false);
  for (std::size_t e = 0; e < n_params; ++e) {
    const std::size_t role = whole(in.roles[e], "roles", 3);
    m.roles.push_back(static_cast<Role>(role));
    if (!(in.scale[e] != 0.0) || !std::isfinite(in.scale[e]) || !std::isfinite(in.offset[e])) {
      invalid("scale: parameter " + std::to_string(e) + " needs a finite, non-zero scale");
    }
    std::size_t slot = 0;
    if (m.roles[e] == Role::free) {
      slot = whole(in.slots[e], "slots", n_theta);
      if (theta_used[slot]) invalid("slots: free parameter " + std::to_string(slot) + " used twice");
      theta_used[slot] = true;
    } else if (m.roles[e] == Role::tied) {
      slot = whole(in.slots[e], "slots", n_ties);
      tie_of[e] = slot;
    } else if (!std::isfinite(in.values[e])) {
      invalid("values: fixed parameter " + std::to_string(e) + " is not finite");
    }
    m.slots.push_back(slot);
  }
  for (std::size_t a = 0; a < n_theta; ++a) {
    if (!theta_used[a]) invalid("slots: free parameter " + std::to_string(a) + " is not used");
  }
  m.values = std::move(in.values);
  m.scale = std::move(in.scale);
  m.offset = std::move(in.offset);
  m.lower = std::move(in.lower);
  m.upper = std::move(in.upper);

  // Ties, in evaluation order: each may only use parameters that are not tied or whose tie
  // comes earlier.
  std::vector<bool> done(n_params, false);
  for (std::size_t t = 0; t < n_ties; ++t) {
    const std::size_t target = whole(in.tie_target[t], "tie_target", n_params);
    if (m.roles[target] != Role::tied || tie_of[target] != t) {
      invalid("tie_target: tie " + std::to_string(t) + " gives parameter " +
              std::to_string(target) + ", which is not tied to it");
    }
    const std::size_t begin = whole(in.tie_start[t], "tie_start", in.tie_code.size() / 2 + 1);
    const std::size_t end = whole(in.tie_start[t + 1], "tie_start", in.tie_code.size() / 2 + 1);
    if (end < begin) invalid("tie_start: offsets must not decrease");
    ties::Program program = ties::decode(
        std::span<const double>(in.tie_code).subspan(2 * begin, 2 * (end - begin)), n_params);
    for (const ties::Instruction& ins : program) {
      if (ins.op != ties::Op::reference) continue;
      const auto r = static_cast<std::size_t>(ins.operand);
      if (m.roles[r] == Role::tied && !done[r]) {
        invalid("tie " + std::to_string(t) + " uses parameter " + std::to_string(r) +
                ", whose tie is evaluated later (or is itself)");
      }
    }
    done[target] = true;
    m.programs.push_back(std::move(program));
    m.targets.push_back(target);
  }
  for (std::size_t e = 0; e < n_params; ++e) {
    if (m.roles[e] == Role::tied && !done[e]) {
      invalid("roles: parameter " + std::to_string(e) + " is tied but no tie gives it");
    }
  }
  return m;
}

Mapped map_parameters(const Model& m, std::span<const double> theta, bool second_order) {
  const std::size_t n_params = m.n_params();
  const std::size_t n_theta = m.n_theta();
  Mapped out;
  out.p.assign(n_params, 0.0);
  out.jac.assign(n_params * n_theta, 0.0);
  out.hess.assign(n_params, {});
  for (std::size_t e = 0; e < n_params; ++e) {
    if (m.roles[e] == Role::free) {
      out.p[e] = theta[m.slots[e]];
      out.jac[e * n_theta + m.slots[e]] = 1.0;
    } else if (m.roles[e] == Role::fixed) {
      out.p[e] = m.values[e];
    }
  }
  std::vector<double> user(n_params);
  for (std::size_t t = 0; t < m.programs.size(); ++t) {
    checkpoint();
    for (std::size_t e = 0; e < n_params; ++e) user[e] = m.scale[e] * out.p[e] + m.offset[e];
    const std::size_t target = m.targets[t];
    const ties::Jet jet = ties::evaluate(m.programs[t], user);
    const double st = m.scale[target];
    out.p[target] = (jet.value - m.offset[target]) / st;
    const std::size_t r_count = jet.refs.size();
    double* jt = out.jac.data() + target * n_theta;
    for (std::size_t x = 0; x < r_count; ++x) {
      const std::size_t r = jet.refs[x];
      const double c = m.scale[r] / st * jet.gradient[x];
      const double* jr = out.jac.data() + r * n_theta;
      for (std::size_t a = 0; a < n_theta; ++a) jt[a] += c * jr[a];
    }
    if (!second_order) continue;
    bool curved = false;
    for (const double h : jet.hessian) curved = curved || h != 0.0;
    for (std::size_t x = 0; x < r_count; ++x) curved = curved || !out.hess[jet.refs[x]].empty();
    if (!curved) continue;
    std::vector<double> h(n_theta * n_theta, 0.0);
    for (std::size_t x = 0; x < r_count; ++x) {
      const std::size_t r = jet.refs[x];
      if (!out.hess[r].empty()) {
        const double c = m.scale[r] / st * jet.gradient[x];
        for (std::size_t k = 0; k < n_theta * n_theta; ++k) h[k] += c * out.hess[r][k];
      }
      for (std::size_t y = 0; y < r_count; ++y) {
        const double hxy = jet.hessian[x * r_count + y];
        if (hxy == 0.0) continue;
        const std::size_t q = jet.refs[y];
        const double c = m.scale[r] * m.scale[q] / st * hxy;
        const double* jr = out.jac.data() + r * n_theta;
        const double* jq = out.jac.data() + q * n_theta;
        for (std::size_t a = 0; a < n_theta; ++a) {
          if (jr[a] == 0.0) continue;
          for (std::size_t b = 0; b < n_theta; ++b) h[a * n_theta + b] += c * jr[a] * jq[b];
        }
      }
    }
    out.hess[target] = std::move(h);
  }
  return out;
}

// ------------------------------------------------------------------------------ fitting

namespace {

// Log-likelihood gain below which a fit that no step improves any further has converged all
// the same: the Newton step left is sqrt(2 * 1e-3) = 0.045 standard errors long (in the metric
// of the information), far below anything the data resolve.
constexpr double kStallGain = 1e-3;

FitOutcome fit_with(Evaluator& evaluator, const Model& m, std::span<double> theta,
                    const FitSettings& settings, optim::Derivatives& d) {
  optim::BoundedNewtonSettings s;
  s.tolerance = settings.tolerance;
  s.value_offset = evaluator.constant();
  s.stall_gain = kStallGain;
  s.max_iterations = settings.max_iterations;
  s.start_near = settings.start_near;
  evaluator.set_central_corners(false);
  const optim::BoundedNewtonResult r = optim::maximise(evaluator, theta, m.lower, m.upper, s, d);
  evaluator.set_central_corners(true);
  FitOutcome out;
  out.iterations = r.iterations;
  out.evaluations = evaluator.passes();
  out.decrement = r.decrement;
  out.log_likelihood = r.value + evaluator.constant();
  switch (r.status) {
    case optim::BoundedNewtonStatus::converged: out.status = FitStatus::converged; break;
    case optim::BoundedNewtonStatus::max_iterations: out.status = FitStatus::max_iterations; break;
    case optim::BoundedNewtonStatus::stalled: out.status = FitStatus::stalled; break;
    case optim::BoundedNewtonStatus::not_finite: out.status = FitStatus::not_finite; break;
  }
  // A fit never reports success with values that are not finite.
  if (out.status == FitStatus::converged) {
    const Mapped mapped = map_parameters(m, theta, false);
    if (!std::isfinite(out.log_likelihood) || !finite_all(theta) || !finite_all(mapped.p)) {
      out.status = FitStatus::not_finite;
    }
  }
  return out;
}

Report report_from(Evaluator& evaluator, const Model& m, std::span<const double> theta,
                   optim::Derivatives& d, const ReportOptions& options);

}  // namespace

FitOutcome fit(const Model& m, std::span<const double> counts, std::span<double> theta,
               const FitSettings& settings) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  return fit_with(evaluator, m, theta, settings, d);
}

std::pair<FitOutcome, Report> fit_and_report(const Model& m, std::span<const double> counts,
                                             std::span<double> theta,
                                             const FitSettings& settings,
                                             const ReportOptions& options) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  FitOutcome outcome = fit_with(evaluator, m, theta, settings, d);
  // The evaluator's state is that of the returned point unless the start gave no finite
  // likelihood (nothing was evaluated beyond it then, and the report starts afresh).
  if (d.score.size() != m.n_theta() || outcome.status == FitStatus::not_finite) {
    d = optim::Derivatives{};
    evaluator.derivatives(theta, d);
  }
  d.has_observed = false;  // the fit's information has one-sided mixed terms
  Report r = report_from(evaluator, m, theta, d, options);
  return {outcome, std::move(r)};
}

double log_likelihood(const Model& m, std::span<const double> counts,
                      std::span<const double> theta) {
  Evaluator evaluator(m, counts);
  return evaluator.value(theta) + evaluator.constant();
}

Report report(const Model& m, std::span<const double> counts, std::span<const double> theta,
              const ReportOptions& options) {
  Evaluator evaluator(m, counts);
  optim::Derivatives d;
  evaluator.derivatives(theta, d);
  return report_from(evaluator, m, theta, d, options);
}

namespace {

// The report at theta from an evaluator whose last derivatives call was at theta (`d` its
// result, the observed information still to be completed).
Report report_from(Evaluator& evaluator, const Model& m, std::span<const double> theta,
                   optim::Derivatives& d, const ReportOptions& options) {
  const std::size_t n = m.n_points();
  const std::size_t n_theta = m.n_theta();
  const std::size_t n_params = m.n_params();
  const std::size_t k_count = m.peaks.size();
  evaluator.observed(d);
  Report r;
  r.log_likelihood = d.value + evaluator.constant();
  r.mapped = evaluator.mapped();
  r.score = d.score;
  r.information = d.observed;

  // A parameter on a bound counts in the others' uncertainties when the data determine it
  // there -- its standard error, with it in the information, is below its own scale (a
  // pseudo-Voigt's eta that noise pushed onto 1 still leaves its area uncertain) -- and is
  // held on its bound otherwise (a Voigt sigma on its narrow bound, along which the
  // likelihood is flat).  Shape parameters are left out before areas and background counts
  // when the information is singular.
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
  const std::vector<double>& jac = r.mapped.jac;
  const std::vector<double>& p = r.mapped.p;
  r.stderr_params.resize(n_params);
  for (std::size_t e = 0; e < n_params; ++e) {
    checkpoint();
    r.stderr_params[e] = dense::propagate(
        r.covariance, n_theta, std::span<const double>(jac.data() + e * n_theta, n_theta));
  }

  // Background terms: the counts of each and their gradients in theta; after them the shares
  // of the terms that follow the peaks.
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
    for (std::size_t a = 0; a < n_theta; ++a) gradients[b * n_theta + a] = mass * jac[e * n_theta + a];
  }
  const auto& follow_counts = evaluator.follow_counts();
  for (std::size_t s = 0; s < m.follows.size(); ++s) {
    // counts = k sum_i (L pi)_i = k sum_l pi_l (L^T 1)_l.
    const std::size_t term = n_columns + s;
    const std::size_t e = m.first_background + n_columns + s;
    std::vector<double> ones(n, 1.0), weight(n);
    apply_follow_adjoint(m.follows[s], ones, weight);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += follow_counts[s][i];
    const double k = p[e];
    r.background_counts[term] = k * total;
    r.background_counts[n_terms + s] = k;
    std::copy_n(jac.data() + e * n_theta, n_theta, gradients.data() + (n_terms + s) * n_theta);
    double* g = gradients.data() + term * n_theta;
    for (std::size_t a = 0; a < n_theta; ++a) g[a] += total * jac[e * n_theta + a];
    // d pi / d p for every peak parameter, by the densities the evaluator used.
    for (std::size_t j = 0; j < k_count; ++j) {
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
        bool moves = false;
        for (std::size_t a = 0; a < n_theta; ++a) moves = moves || jac[pe * n_theta + a] != 0.0;
        if (!moves) continue;
        std::array<double, shapes::kMaxShapeParams> params{};
        for (std::size_t x = 0; x < peak.shape->params.size(); ++x) params[x] = p[peak.first + x];
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

  // The shapes' own derived quantities, with standard errors by central differences.
  r.extras.assign(k_count * shapes::kMaxExtras, kNaN);
  r.extras_stderr.assign(k_count * shapes::kMaxExtras, kNaN);
  for (std::size_t j = 0; j < k_count; ++j) {
    checkpoint();
    const PeakTerm& peak = m.peaks[j];
    const std::size_t count = peak.shape->extra_names.size();
    if (count == 0) continue;
    const shapes::ShapeContext ctx = m.context(j);
    std::array<double, shapes::kMaxShapeParams> params{};
    for (std::size_t x = 0; x < peak.shape->params.size(); ++x) params[x] = p[peak.first + x];
    std::array<double, shapes::kMaxExtras> value{};
    peak.shape->extras(params.data(), ctx, value.data());
    std::vector<std::vector<double>> grad(count, std::vector<double>(n_theta, 0.0));
    for (std::size_t q = 0; q < peak.shape->params.size(); ++q) {
      const std::size_t pe = peak.first + q;
      const double h = difference_step(*peak.shape, params.data(), q);
      auto moved = params;
      std::array<double, shapes::kMaxExtras> up{}, down{};
      moved[q] = params[q] + h;
      peak.shape->extras(moved.data(), ctx, up.data());
      moved[q] = params[q] - h;
      peak.shape->extras(moved.data(), ctx, down.data());
      for (std::size_t x = 0; x < count; ++x) {
        const double slope = (up[x] - down[x]) / (2.0 * h);
        for (std::size_t a = 0; a < n_theta; ++a) grad[x][a] += slope * jac[pe * n_theta + a];
      }
    }
    for (std::size_t x = 0; x < count; ++x) {
      r.extras[j * shapes::kMaxExtras + x] = value[x];
      r.extras_stderr[j * shapes::kMaxExtras + x] = dense::propagate(r.covariance, n_theta, grad[x]);
    }
  }

  if (options.curves) {
    r.peak_curves.resize(k_count * n);
    for (std::size_t j = 0; j < k_count; ++j) {
      std::copy(evaluator.peak_counts()[j].begin(), evaluator.peak_counts()[j].end(),
                r.peak_curves.begin() + static_cast<std::ptrdiff_t>(j * n));
    }
    r.background_curves.assign(n_terms * n, 0.0);
    for (std::size_t b = 0; b < n_columns; ++b) {
      const double c = p[m.first_background + b];
      for (std::size_t i = 0; i < n; ++i) {
        r.background_curves[b * n + i] = c * m.columns[b][i] * m.widths[i];
      }
    }
    for (std::size_t s = 0; s < m.follows.size(); ++s) {
      const double k = p[m.first_background + n_columns + s];
      for (std::size_t i = 0; i < n; ++i) {
        r.background_curves[(n_columns + s) * n + i] = k * follow_counts[s][i];
      }
    }
  }

  if (options.quantities) {
    // Height per median channel, FWHM, and their standard errors by central differences of
    // the peak's shape parameters (the height also follows the area).
    std::vector<double> sorted(m.widths);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2), sorted.end());
    double channel = sorted[n / 2];
    if (n % 2 == 0) {
      const double lower = *std::max_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2));
      channel = 0.5 * (lower + channel);
    }
    r.height.assign(k_count, kNaN);
    r.height_stderr.assign(k_count, kNaN);
    r.fwhm.assign(k_count, kNaN);
    r.fwhm_stderr.assign(k_count, kNaN);
    for (std::size_t j = 0; j < k_count; ++j) {
      checkpoint();
      const PeakTerm& peak = m.peaks[j];
      const shapes::ShapeContext ctx = m.context(j);
      std::array<double, shapes::kMaxShapeParams> params{};
      for (std::size_t x = 0; x < peak.shape->params.size(); ++x) params[x] = p[peak.first + x];
      const std::size_t area_e = m.area_index(j);
      const double area = p[area_e];
      const shapes::PeakQuantities q0 =
          shapes::peak_quantities(*peak.shape, params.data(), ctx, m.u, evaluator.density(j));
      r.height[j] = area * q0.top * channel;
      r.fwhm[j] = q0.fwhm;
      std::vector<double> g_height(n_theta, 0.0), g_fwhm(n_theta, 0.0);
      for (std::size_t a = 0; a < n_theta; ++a) g_height[a] = q0.top * channel * jac[area_e * n_theta + a];
      for (std::size_t x = 0; x < peak.shape->params.size(); ++x) {
        const std::size_t pe = peak.first + x;
        bool moves = false;
        for (std::size_t a = 0; a < n_theta; ++a) moves = moves || jac[pe * n_theta + a] != 0.0;
        if (!moves) continue;
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
  return r;
}

}  // namespace

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
    std::array<double, shapes::kMaxShapeParams> params{};
    for (std::size_t x = 0; x < peak.shape->params.size(); ++x) params[x] = mapped.p[peak.first + x];
    // The profile, scaled to the density the peak has on the model's grid at the grid point
    // where that density is largest.
    std::vector<double> dens(n), at_grid(1), one(1);
    peak.shape->density(m.u, params.data(), ctx, dens);
    std::size_t top = 0;
    for (std::size_t i = 1; i < n; ++i) {
      if (dens[i] > dens[top]) top = i;
    }
    const std::span<const double> grid_point(&m.u[top], 1);
    peak.shape->profile(grid_point, params.data(), ctx, at_grid);
    const double factor = at_grid[0] != 0.0 && std::isfinite(at_grid[0]) ? dens[top] / at_grid[0] : 0.0;
    const std::span<double> row(out.data() + j * count, count);
    peak.shape->profile(points, params.data(), ctx, row);
    const double area = mapped.p[m.area_index(j)];
    for (double& v : row) v *= factor * area;
  }
  return out;
}

}  // namespace velmora::engine
