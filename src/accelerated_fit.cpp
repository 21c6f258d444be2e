#include "accelerated_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "doniach_sunjic.hpp"
#include "em_gamma_ll.hpp"
#include "gaussian.hpp"
#include "lorentzian.hpp"
#include "pseudo_voigt.hpp"
#include "stop.hpp"
#include "tsdc.hpp"
#include "voigt.hpp"

namespace velmora::accelerated {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// SQUAREM's step lengths: the shortest, the first longest, and the factor by which the
// longest grows after it was accepted (and shrinks after it failed).
constexpr double kStepMin = 1.0;
constexpr double kStepMax0 = 1.0;
constexpr double kStepFactor = 4.0;

// Relative change per EM iteration below which the Newton polish is tried.
constexpr double kNewtonFrom = 1e-7;
// Newton rounds per polish, and halvings of a step before a round gives up.
constexpr int kNewtonRounds = 8;
constexpr int kHalvings = 12;
// Largest gain in log-likelihood per parameter that the first Newton step from a start may
// predict for the start to count as near the optimum: about three standard errors away in
// every parameter (0.5 (3 sigma / sigma)^2 = 4.5).  The fit of a neighbouring spectrum of a
// map predicts about 1 (95% below 2); starting values read off the data predict 10 and more,
// and from there the Newton steps are no shortcut.
constexpr double kNearGain = 4.0;
// Damping factors (times the diagonal) tried in turn until the information is positive
// definite.
constexpr std::array<double, 6> kDamping{0.0, 1e-6, 1e-4, 1e-2, 1.0, 1e2};

// Relative difference steps of the density derivatives.
constexpr double kStepRelative = 1e-4;
constexpr double kStepPeakTemperature = 1e-5;

// The pseudo-Voigt eta grids of the core's component updates: 0.00 (full) or 0.80
// (conditional) to 0.99 in steps of 0.01.
constexpr double kEtaTop = 0.99;
constexpr double kEtaLowFull = 0.0;
constexpr double kEtaLowConditional = 0.8;

enum class Kind : std::uint8_t { location, scale, plain };

struct ParamInfo {
  Kind kind;
  bool in_window;     // kept inside the fitting window
  bool extrapolated;  // moved by SQUAREM (the pseudo-Voigt eta is picked from a grid instead)
  bool unit;          // kept in [0, 1] by a Newton step
  bool width;         // sets the scale of the centre's difference step
};

constexpr ParamInfo kLocation{Kind::location, true, true, false, false};
constexpr ParamInfo kWidth{Kind::scale, false, true, false, true};
constexpr ParamInfo kPlain{Kind::plain, false, true, false, false};

std::array<ParamInfo, kMaxParams> params_of(Shape shape) {
  switch (shape) {
    case Shape::gaussian:
    case Shape::lorentzian: return {kLocation, kWidth, kPlain};
    case Shape::pseudo_voigt:
      return {kLocation, kWidth, ParamInfo{Kind::plain, false, false, true, false}};
    case Shape::voigt: return {kLocation, kWidth, kWidth};
    case Shape::doniach_sunjic: return {kLocation, kWidth, kPlain};
    case Shape::tsdc: return {kPlain, ParamInfo{Kind::plain, true, true, false, false}, kPlain};
  }
  return {kPlain, kPlain, kPlain};
}

double clip(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

Flags none_fixed(std::size_t k) { return Flags(k, 0); }

// Runs `body` on the core's shape object for `params` (P vectors of equal length) with the
// model's settings; `em_iterations` is the cycle limit a pseudo-Voigt full optimisation takes
// from its EM call.  Returns what body returns.
template <class Body>
auto with_shape(const Model& m, const std::array<std::vector<double>, kMaxParams>& params,
                const std::array<Flags, kMaxParams>& fixed, std::uint64_t em_iterations,
                double tol, Body&& body) {
  const auto& b = m.bounds;
  switch (m.shape) {
    case Shape::gaussian: {
      gaussian::GaussianShape s(params[0], params[1], fixed[0], fixed[1]);
      return body(s, [&](std::size_t p) { return s.parameter(p); });
    }
    case Shape::lorentzian: {
      lorentzian::LorentzianShape s(params[0], params[1], fixed[0], fixed[1], m.lo, m.hi, false);
      return body(s, [&](std::size_t p) { return s.parameter(p); });
    }
    case Shape::pseudo_voigt: {
      pseudo_voigt::PseudoVoigtShape::Settings settings;
      settings.x_min = m.lo;
      settings.x_max = m.hi;
      settings.gamma_min = b[2];
      settings.gamma_max = b[3];
      settings.use_full_opt = m.full_optimisation;
      settings.max_iter = em_iterations;
      settings.r_eps = tol;
      pseudo_voigt::PseudoVoigtShape s(params[0], params[1], params[2], fixed[0], fixed[1],
                                       fixed[2], settings);
      return body(s, [&](std::size_t p) { return s.parameter(p); });
    }
    case Shape::voigt: {
      const voigt::VoigtBounds bounds{m.lo, m.hi, b[2], b[3], b[4], b[5]};
      voigt::VoigtShape s(params[0], params[1], params[2], fixed[0], fixed[1], fixed[2], bounds);
      return body(s, [&](std::size_t p) { return s.parameter(p); });
    }
    case Shape::doniach_sunjic: {
      const doniach_sunjic::DsBounds bounds{m.lo, m.hi, b[2], b[3], b[4], b[5]};
      doniach_sunjic::DsShape s(params[0], params[1], params[2], fixed[0], fixed[1], fixed[2],
                                bounds);
      return body(s, [&](std::size_t p) { return s.parameter(p); });
    }
    case Shape::tsdc:
    default: {
      tsdc::TsdcShape::Settings settings;
      settings.beta = m.beta;
      settings.ea_min = b[0];
      settings.ea_max = b[1];
      settings.t_min = m.lo;
      settings.t_max = m.hi;
      std::vector<double> tau0(params[0].size());
      for (std::size_t k = 0; k < tau0.size(); ++k) {
        tau0[k] = tsdc::tsdc_tau0_from_tp(params[0][k], params[1][k], m.beta);
      }
      tsdc::TsdcShape s(params[0], std::move(tau0), params[1], fixed[0], fixed[1], settings);
      // The state holds ea and tp; tau0 follows from them.
      return body(s, [&](std::size_t p) { return s.parameter(p == 0 ? 0 : 2); });
    }
  }
}

// The densities of the parameter sets `params` (one column each) on the model's grid.
ColumnMatrix densities(const Model& m, const std::array<std::vector<double>, kMaxParams>& params) {
  const std::size_t count = params[0].size();
  ColumnMatrix out(count, m.u.size());
  const std::array<Flags, kMaxParams> fixed{none_fixed(count), none_fixed(count),
                                            none_fixed(count)};
  with_shape(m, params, fixed, 0, 0.0, [&](PeakShape& s, auto&&) {
    s.fill_densities(m.u, out);
    return 0;
  });
  return out;
}

// ----------------------------------------------------------------------------- the problem

class Problem {
 public:
  Problem(const Model& m, double tol)
      : m_(m), tol_(tol), info_(params_of(m.shape)), n_params_(parameter_count(m.shape)),
        ones_(m.fixed[0].size() + m.basis.size(), 1.0) {
    // The EM settings of every call; only the number of iterations changes between calls.
    em_.r_eps = tol;
    em_.window_lo = m.lo;
    em_.window_hi = m.hi;
    em_.bg_type = m.basis.empty() ? 0 : static_cast<std::uint8_t>(BackgroundKind::kSpline);
    em_.basis = m.basis;
  }

  std::uint64_t steps() const { return steps_; }
  double tol() const { return tol_; }

  struct Step {
    State state;
    double ll_before;
    double ll_after;
  };

  // One EM iteration of the core from `s`.
  Step step(const State& s) {
    Step out{s, 0.0, 0.0};
    const EmResult r = run(out.state, 1);
    out.ll_before = r.ll_history.front();
    out.ll_after = r.ll_history.back();
    return out;
  }

  // The core's log-likelihood at `s`.
  double loglik(const State& s) {
    State copy = s;
    return run(copy, 0).ll_history.front();
  }

  // The coordinates SQUAREM extrapolates: every free parameter it moves (log of the widths),
  // then the log of every weight.
  std::vector<double> pack(const State& s) const {
    std::vector<double> v;
    for (std::size_t p = 0; p < n_params_; ++p) {
      if (!info_[p].extrapolated) continue;
      for (std::size_t k = 0; k < s.params[p].size(); ++k) {
        if (is_fixed(p, k)) continue;
        const double x = s.params[p][k];
        v.push_back(info_[p].kind == Kind::scale ? std::log(x) : x);
      }
    }
    for (const double w : s.pi) v.push_back(std::log(w));
    return v;
  }

  // A state from packed coordinates, completed from `reference` and kept feasible.
  State unpack(const std::vector<double>& v, const State& reference) const {
    State s = reference;
    std::size_t i = 0;
    for (std::size_t p = 0; p < n_params_; ++p) {
      if (!info_[p].extrapolated) continue;
      for (std::size_t k = 0; k < s.params[p].size(); ++k) {
        if (is_fixed(p, k)) continue;
        double x = v[i++];
        if (info_[p].kind == Kind::scale) x = std::exp(x);
        s.params[p][k] = feasible(p, x);
      }
    }
    double total = 0.0;
    for (std::size_t j = 0; j < s.pi.size(); ++j) {
      s.pi[j] = std::exp(v[i + j]);
      total += s.pi[j];
    }
    for (double& w : s.pi) w /= total;
    return s;
  }

  // Newton polish: free parameters, then (pseudo-Voigt) eta put back on the core's grid and
  // centre and width polished again with eta held there.  With `probe`, the polish of a start
  // that may already lie near the optimum (the fit of a neighbouring spectrum): nothing is
  // done unless the first Newton step predicts a gain of at most kNearGain per parameter and
  // raises the likelihood at its full length.
  std::optional<std::pair<State, double>> newton(State s, double ll, bool probe = false) {
    auto first = newton_rounds(std::move(s), ll, false, probe);
    if (!first) return std::nullopt;
    std::tie(s, ll) = std::move(*first);
    if (m_.shape == Shape::pseudo_voigt) {
      const double low = m_.full_optimisation ? kEtaLowFull : kEtaLowConditional;
      for (std::size_t k = 0; k < s.params[2].size(); ++k) {
        if (is_fixed(2, k)) continue;
        s.params[2][k] = clip(std::nearbyint(s.params[2][k] * 100.0) / 100.0, low, kEtaTop);
      }
      const double snapped = loglik(s);
      std::tie(s, ll) = std::move(*newton_rounds(std::move(s), snapped, true, false));
    }
    return std::pair{std::move(s), ll};
  }

  const Model& model() const { return m_; }
  std::size_t n_params() const { return n_params_; }
  bool is_fixed(std::size_t p, std::size_t k) const {
    return k < m_.fixed[p].size() && m_.fixed[p][k] != 0;
  }

 private:
  EmResult run(State& s, std::uint64_t iterations) {
    em_.max_iter = iterations;
    EmResult r = with_shape(m_, s.params, m_.fixed, iterations, tol_,
                            [&](PeakShape& shape, auto&& parameter) {
      EmResult out = run_em(m_.u, m_.counts, shape, s.pi, ones_, em_);
      for (std::size_t p = 0; p < n_params_; ++p) s.params[p] = parameter(p);
      return out;
    });
    steps_ += r.n_iter;
    return r;
  }

  double feasible(std::size_t p, double x) const {
    if (info_[p].in_window) x = clip(x, m_.lo, m_.hi);
    return clip(x, m_.bounds[2 * p], m_.bounds[2 * p + 1]);
  }

  std::optional<std::pair<State, double>> newton_rounds(State s, double ll, bool hold_eta,
                                                        bool probe) {
    for (int round = 0; round < kNewtonRounds; ++round) {
      const bool probing = probe && round == 0;
      const std::size_t k_count = s.params[0].size();
      std::array<Flags, kMaxParams> free;
      for (std::size_t p = 0; p < kMaxParams; ++p) {
        free[p] = Flags(k_count, 0);
        if (p >= n_params_) continue;
        for (std::size_t k = 0; k < k_count; ++k) {
          const bool held = hold_eta && m_.shape == Shape::pseudo_voigt && p == 2;
          free[p][k] = !is_fixed(p, k) && !held && s.pi[k] > 0.0;
        }
      }
      const Information info = information(m_, s, free);
      const std::optional<std::vector<double>> delta = ascent_step(info);
      if (!delta) {
        if (probing) return std::nullopt;
        break;
      }
      double gain = 0.0;
      for (std::size_t a = 0; a < info.size; ++a) gain += info.score[a] * (*delta)[a];
      if (probing && !(0.5 * gain <= kNearGain * static_cast<double>(info.size))) {
        return std::nullopt;
      }
      if (0.5 * gain < 0.1 * tol_ * std::fabs(ll)) break;  // at the optimum to within tol
      double t = 1.0;
      std::optional<std::pair<State, double>> accepted;
      for (int h = 0; h < (probing ? 1 : kHalvings); ++h) {
        std::optional<State> trial = moved(s, free, *delta, t);
        if (trial) {
          const double ll_trial = loglik(*trial);
          if (ll_trial > ll) {
            accepted.emplace(std::move(*trial), ll_trial);
            break;
          }
        }
        t *= 0.5;
      }
      if (!accepted) {
        if (probing) return std::nullopt;
        break;
      }
      s = std::move(accepted->first);
      ll = accepted->second;
    }
    return std::pair{std::move(s), ll};
  }

  // Solves (info + mu D) delta = score with the smallest damping mu that makes the matrix
  // positive definite (D the diagonal of the information, zeros taken as one).
  static std::optional<std::vector<double>> ascent_step(const Information& info) {
    const std::size_t n = info.size;
    if (n == 0) return std::nullopt;
    std::vector<double> diag(n);
    for (std::size_t a = 0; a < n; ++a) {
      diag[a] = std::fabs(info.matrix[a * n + a]);
      if (diag[a] == 0.0) diag[a] = 1.0;
    }
    for (const double mu : kDamping) {
      std::vector<double> l(info.matrix);
      for (std::size_t a = 0; a < n; ++a) l[a * n + a] += mu * diag[a];
      if (!cholesky(l, n)) continue;
      std::vector<double> x = info.score;
      for (std::size_t a = 0; a < n; ++a) {  // L y = score
        for (std::size_t b = 0; b < a; ++b) x[a] -= l[a * n + b] * x[b];
        x[a] /= l[a * n + a];
      }
      for (std::size_t a = n; a-- > 0;) {  // L^T delta = y
        for (std::size_t b = a + 1; b < n; ++b) x[a] -= l[b * n + a] * x[b];
        x[a] /= l[a * n + a];
      }
      if (std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); })) return x;
    }
    return std::nullopt;
  }

  // Lower Cholesky factor in place (upper part left as it was); false when not positive
  // definite.
  static bool cholesky(std::vector<double>& a, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
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

  // `s` moved by t delta (free shape parameters peak by peak, then the weights but the
  // largest), or nothing where that leaves the parameter space.
  std::optional<State> moved(const State& s, const std::array<Flags, kMaxParams>& free,
                             const std::vector<double>& delta, double t) const {
    State out = s;
    std::size_t i = 0;
    const std::size_t k_count = s.params[0].size();
    for (std::size_t k = 0; k < k_count; ++k) {
      for (std::size_t p = 0; p < n_params_; ++p) {
        if (!free[p][k]) continue;
        double x = s.params[p][k] + t * delta[i++];
        x = feasible(p, x);
        if (info_[p].unit) x = clip(x, 0.0, 1.0);
        if (info_[p].kind == Kind::scale && !(x > 0.0)) return std::nullopt;
        out.params[p][k] = x;
      }
    }
    const std::size_t m = s.pi.size();
    const std::size_t ref = largest(s.pi);
    double total = 0.0;
    std::size_t c = i;
    for (std::size_t j = 0; j < m; ++j) {
      if (j == ref) continue;
      const double d = t * delta[c++];
      out.pi[j] += d;
      out.pi[ref] -= d;
    }
    for (const double w : out.pi) {
      if (!(w >= 0.0)) return std::nullopt;
      total += w;
    }
    for (double& w : out.pi) w /= total;
    return out;
  }

 public:
  static std::size_t largest(const std::vector<double>& pi) {
    std::size_t ref = 0;
    for (std::size_t j = 1; j < pi.size(); ++j) {
      if (pi[j] > pi[ref]) ref = j;
    }
    return ref;
  }

 private:
  const Model& m_;
  double tol_;
  std::array<ParamInfo, kMaxParams> info_;
  std::size_t n_params_;
  std::vector<double> ones_;  // the Dirichlet concentrations: no prior on the weights
  EmSettings em_;
  std::uint64_t steps_ = 0;
};

bool converged(double ll_old, double ll_new, double tol) {
  return tol > std::fabs((ll_new - ll_old) / std::fabs(ll_old));
}

struct SquaremResult {
  State state;
  double ll;
  bool converged;
};

// SQUAREM from `state` until an EM iteration changes the log-likelihood by less than tol
// (relative); returns that iteration's starting point.  At most max_steps EM iterations.
SquaremResult squarem(Problem& problem, State state, double tol, std::uint64_t max_steps,
                      double ll) {
  double step_max = kStepMax0;
  std::uint64_t n = 0;
  while (n < max_steps) {
    Problem::Step s1 = problem.step(state);
    ++n;
    if (converged(s1.ll_before, s1.ll_after, tol)) return {std::move(state), s1.ll_before, true};
    if (n >= max_steps) return {std::move(s1.state), s1.ll_after, false};
    Problem::Step s2 = problem.step(s1.state);
    ++n;
    if (converged(s1.ll_after, s2.ll_after, tol)) {
      return {std::move(s1.state), s1.ll_after, true};
    }
    if (n >= max_steps) return {std::move(s2.state), s2.ll_after, false};

    const std::vector<double> v0 = problem.pack(state);
    const std::vector<double> v1 = problem.pack(s1.state);
    const std::vector<double> v2 = problem.pack(s2.state);
    const std::size_t len = v0.size();
    std::vector<double> r(len, 0.0);
    std::vector<double> v(len, 0.0);
    std::vector<bool> usable(len);
    double sr2 = 0.0;
    double sv2 = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
      usable[i] = std::isfinite(v0[i]) && std::isfinite(v1[i]) && std::isfinite(v2[i]);
      if (usable[i]) {
        r[i] = v1[i] - v0[i];
        v[i] = v2[i] - 2.0 * v1[i] + v0[i];
      }
      sr2 += r[i] * r[i];
      sv2 += v[i] * v[i];
    }
    if (!(sv2 > 0.0 && std::isfinite(sr2) && std::isfinite(sv2))) {
      state = std::move(s2.state);
      ll = s2.ll_after;
      continue;
    }
    const double alpha = std::min(step_max, std::max(kStepMin, std::sqrt(sr2 / sv2)));
    std::vector<double> trial(len);
    for (std::size_t i = 0; i < len; ++i) {
      trial[i] = usable[i] ? v0[i] + 2.0 * alpha * r[i] + alpha * alpha * v[i] : v2[i];
    }
    Problem::Step s3 = problem.step(problem.unpack(trial, s2.state));
    ++n;
    if (!std::isfinite(s3.ll_after) || s3.ll_after < s1.ll_before) {
      // Monotone safeguard: two plain EM iterations never lower the likelihood.
      state = std::move(s2.state);
      ll = s2.ll_after;
      if (alpha == step_max) step_max = std::max(kStepMax0, step_max / kStepFactor);
    } else {
      state = std::move(s3.state);
      ll = s3.ll_after;
      if (alpha == step_max) step_max *= kStepFactor;
    }
  }
  return {std::move(state), ll, false};
}

}  // namespace

std::size_t parameter_count(Shape shape) {
  switch (shape) {
    case Shape::gaussian:
    case Shape::lorentzian:
    case Shape::tsdc: return 2;
    default: return 3;
  }
}

Outcome fit(const Model& model, State& state, double tol, std::uint64_t max_iter) {
  Problem problem(model, tol);
  // A start near the optimum (the fit of a neighbouring spectrum) is polished by Newton steps
  // first, so that the EM iterations after it have little left to do.
  double ll = kNaN;
  if (auto polished = problem.newton(state, problem.loglik(state), true)) {
    state = std::move(polished->first);
    ll = polished->second;
  }
  const double loose = std::max(tol, kNewtonFrom);
  SquaremResult r = squarem(problem, std::move(state), loose, max_iter, ll);
  if (loose > tol && r.converged) {
    auto [polished, ll_polished] = *problem.newton(std::move(r.state), r.ll);
    const std::uint64_t left = max_iter > problem.steps() ? max_iter - problem.steps() : 0;
    r = squarem(problem, std::move(polished), tol, left, ll_polished);
  }
  state = std::move(r.state);
  return {r.ll, problem.steps(), r.converged};
}

Information information(const Model& m, const State& s, const std::array<Flags, kMaxParams>& free) {
  const std::size_t n = m.u.size();
  const std::size_t k_count = s.params[0].size();
  const std::size_t n_params = parameter_count(m.shape);
  const std::array<ParamInfo, kMaxParams> kinds = params_of(m.shape);

  // Difference steps and the parameter sets to evaluate: per peak its own values, then for
  // every free parameter a +/- pair, then for every pair of free parameters the four corners.
  struct PeakPlan {
    std::vector<std::size_t> names;  // free parameters
    std::array<double, kMaxParams> h{};
    std::size_t first = 0;  // column of the unmoved density
  };
  std::vector<PeakPlan> plan(k_count);
  std::array<std::vector<double>, kMaxParams> sets;
  auto add = [&](std::size_t k, std::array<double, kMaxParams> shift) {
    for (std::size_t p = 0; p < kMaxParams; ++p) {
      sets[p].push_back(p < n_params ? s.params[p][k] + shift[p] : 0.0);
    }
  };
  for (std::size_t k = 0; k < k_count; ++k) {
    PeakPlan& pp = plan[k];
    double width = 1.0;
    bool any_width = false;
    for (std::size_t p = 0; p < n_params; ++p) {
      if (kinds[p].width) {
        width = any_width ? std::max(width, s.params[p][k]) : s.params[p][k];
        any_width = true;
      }
    }
    for (std::size_t p = 0; p < n_params; ++p) {
      if (!free[p][k]) continue;
      pp.names.push_back(p);
      const double v = s.params[p][k];
      if (m.shape == Shape::tsdc && p == 1) {
        pp.h[p] = kStepPeakTemperature * v;
      } else if ((m.shape == Shape::tsdc && p == 0) || kinds[p].kind == Kind::scale) {
        pp.h[p] = kStepRelative * std::fabs(v);
      } else if (kinds[p].kind == Kind::location) {
        pp.h[p] = kStepRelative * width;
      } else {
        pp.h[p] = kStepRelative;
      }
    }
    pp.first = sets[0].size();
    add(k, {});
    for (std::size_t a = 0; a < pp.names.size(); ++a) {
      const std::size_t na = pp.names[a];
      std::array<double, kMaxParams> plus{}, minus{};
      plus[na] = pp.h[na];
      minus[na] = -pp.h[na];
      add(k, plus);
      add(k, minus);
      for (std::size_t b = 0; b < a; ++b) {
        const std::size_t nb = pp.names[b];
        for (const auto& [sa, sb] : {std::pair{1.0, 1.0}, {1.0, -1.0}, {-1.0, 1.0}, {-1.0, -1.0}}) {
          std::array<double, kMaxParams> corner{};
          corner[na] = sa * pp.h[na];
          corner[nb] = sb * pp.h[nb];
          add(k, corner);
        }
      }
    }
  }
  const ColumnMatrix dens = densities(m, sets);

  // Where a peak's evaluations sit: its unmoved density, then for its a-th free parameter
  // the +/- pair followed by the four corners with each earlier one (2 + 4 a columns).
  auto block_start = [](const PeakPlan& pp, std::size_t a) {
    std::size_t c = pp.first + 1;
    for (std::size_t b = 0; b < a; ++b) c += 2 + 4 * b;
    return c;
  };

  const std::size_t m_count = s.pi.size();
  auto column = [&](std::size_t j) -> std::span<const double> {
    if (j < k_count) return dens.column(plan[j].first);
    return {m.basis[j - k_count].data(), n};
  };
  std::vector<double> mixture(n, 0.0);
  for (std::size_t j = 0; j < m_count; ++j) {
    const std::span<const double> col = column(j);
    for (std::size_t i = 0; i < n; ++i) mixture[i] += s.pi[j] * col[i];
  }
  std::vector<double> ratio(n), scaled(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double c = m.counts[i];
    ratio[i] = c > 0.0 ? c / mixture[i] : 0.0;
    scaled[i] = c > 0.0 ? std::sqrt(c) / mixture[i] : 0.0;
  }

  // Gradient of m in every free parameter (columns of g, n values each).
  std::size_t n_shape = 0;
  for (const PeakPlan& pp : plan) n_shape += pp.names.size();
  const std::size_t ref = Problem::largest(s.pi);
  const std::size_t size = n_shape + m_count - 1;
  std::vector<std::vector<double>> g(size, std::vector<double>(n));
  // First derivatives and Hessians of each peak's density, by differences.
  std::vector<std::vector<std::vector<double>>> d(k_count);
  {
    std::size_t col = 0;
    for (std::size_t k = 0; k < k_count; ++k) {
      const PeakPlan& pp = plan[k];
      d[k].resize(pp.names.size());
      for (std::size_t a = 0; a < pp.names.size(); ++a) {
        const double h = pp.h[pp.names[a]];
        const std::span<const double> plus = dens.column(block_start(pp, a));
        const std::span<const double> minus = dens.column(block_start(pp, a) + 1);
        d[k][a].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
          d[k][a][i] = (plus[i] - minus[i]) / (2.0 * h);
          g[col][i] = s.pi[k] * d[k][a][i];
        }
        ++col;
      }
    }
    for (std::size_t j = 0; j < m_count; ++j) {
      if (j == ref) continue;
      const std::span<const double> cj = column(j);
      const std::span<const double> cr = column(ref);
      for (std::size_t i = 0; i < n; ++i) g[col][i] = cj[i] - cr[i];
      ++col;
    }
  }

  Information out;
  out.size = size;
  out.score.assign(size, 0.0);
  out.matrix.assign(size * size, 0.0);
  for (std::size_t a = 0; a < size; ++a) {
    double sc = 0.0;
    for (std::size_t i = 0; i < n; ++i) sc += g[a][i] * ratio[i];
    out.score[a] = sc;
    for (std::size_t b = 0; b <= a; ++b) {
      double v = 0.0;
      for (std::size_t i = 0; i < n; ++i) v += (g[a][i] * scaled[i]) * (g[b][i] * scaled[i]);
      out.matrix[a * size + b] = v;
      out.matrix[b * size + a] = v;
    }
  }

  // Minus the second-derivative terms of m: within a peak, and between a peak's shape
  // parameters and the weights (d m / d pi_j = f_j, with pi_ref = 1 - the others).
  std::size_t offset = 0;
  for (std::size_t k = 0; k < k_count; ++k) {
    const PeakPlan& pp = plan[k];
    const std::size_t q = pp.names.size();
    const std::span<const double> f0 = dens.column(pp.first);
    for (std::size_t a = 0; a < q; ++a) {
      const std::size_t na = pp.names[a];
      const std::size_t start = block_start(pp, a);
      const std::span<const double> plus = dens.column(start);
      const std::span<const double> minus = dens.column(start + 1);
      double diag = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        diag += (plus[i] - 2.0 * f0[i] + minus[i]) / (pp.h[na] * pp.h[na]) * ratio[i];
      }
      out.matrix[(offset + a) * size + offset + a] -= s.pi[k] * diag;
      for (std::size_t b = 0; b < a; ++b) {
        const std::size_t nb = pp.names[b];
        const std::size_t c = start + 2 + 4 * b;
        const std::span<const double> pp_ = dens.column(c);
        const std::span<const double> pm = dens.column(c + 1);
        const std::span<const double> mp = dens.column(c + 2);
        const std::span<const double> mm = dens.column(c + 3);
        double mixed = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          mixed += (pp_[i] - pm[i] - mp[i] + mm[i]) / (4.0 * pp.h[na] * pp.h[nb]) * ratio[i];
        }
        out.matrix[(offset + a) * size + offset + b] -= s.pi[k] * mixed;
        out.matrix[(offset + b) * size + offset + a] -= s.pi[k] * mixed;
      }
      // Cross terms with the weights: d2 m / (d theta_ka d phi_c) = lmap[k][c] d f_k / d theta.
      double dr = 0.0;
      for (std::size_t i = 0; i < n; ++i) dr += d[k][a][i] * ratio[i];
      std::size_t c = 0;
      for (std::size_t j = 0; j < m_count; ++j) {
        if (j == ref) continue;
        const double l = j == k ? 1.0 : (k == ref ? -1.0 : 0.0);
        if (l != 0.0) {
          out.matrix[(offset + a) * size + n_shape + c] -= dr * l;
          out.matrix[(n_shape + c) * size + offset + a] -= dr * l;
        }
        ++c;
      }
    }
    offset += q;
  }
  return out;
}

}  // namespace velmora::accelerated
