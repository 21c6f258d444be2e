// The pseudo-Voigt single-peak fits and mixture (pseudo_voigt_em.hpp).
#include "em/pseudo_voigt_em.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <optional>

#include "em/peak_fit.hpp"
#include "errors.hpp"
#include "optim/brentq.hpp"
#include "stop.hpp"
#include "worker_pool.hpp"

namespace velmora::pseudo_voigt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Coarse and refined centre grids of the joint search: ten points each, both ends included.
constexpr std::size_t kGridPoints = 10;
// Below this spread of the bracketing coarse points the refined grid is the first one alone.
constexpr double kRefineSpread = 1e-12;
// The eta grid of the conditional maximisation: 0.8 + k 0.01, k = 0 .. 19.
constexpr std::size_t kCmEtaCount = 20;
constexpr double kCmEtaStart = 0.8;
// The eta grid of the full optimisation: k 0.01, k = 0 .. 99 (1.00 is not a candidate).
constexpr std::size_t kFullEtaCount = 100;
constexpr double kEtaStep = 0.01;
// Floor of |T_prev| in the relative change of the full optimisation.
constexpr double kRelativeFloor = 1e-300;
// Points between two looks at the stop request in the long sequential passes over the sample
// (a stopped call must not finish a pass over millions of points first).
constexpr std::size_t kStopStride = 65536;

// max(v, floor) where a NaN v gives the floor.
double floored(double v, double floor) { return v > floor ? v : floor; }

// sign(v): +1 for +0 and positive v, -1 for -0 and negative v, NaN for NaN.
double sign_of(double v) { return std::isnan(v) ? v : std::copysign(1.0, v); }

// The last few values of a deterministic function of one double, looked up by the exact bits
// of the argument.  Brent's method evaluates the end it keeps afresh in every iteration; the
// stored value is the one a new evaluation would give, so a lookup saves a pass over the
// sample (for the centre residual, a whole width search) without changing any result.
template <class Value>
class RecentValues {
 public:
  const Value* find(double t) const {
    const auto key = std::bit_cast<std::uint64_t>(t);
    for (std::size_t i = 0; i < count_; ++i) {
      if (keys_[i] == key) return &values_[i];
    }
    return nullptr;
  }
  void put(double t, const Value& value) {
    keys_[next_] = std::bit_cast<std::uint64_t>(t);
    values_[next_] = value;
    next_ = (next_ + 1) % kCapacity;
    count_ = std::min(count_ + 1, kCapacity);
  }

 private:
  static constexpr std::size_t kCapacity = 8;  // a, b, c and the latest trials of a search
  std::array<std::uint64_t, kCapacity> keys_{};
  std::array<Value, kCapacity> values_{};
  std::size_t count_ = 0;
  std::size_t next_ = 0;
};

// N(x_i) and L(x_i) of one parameter set at every grid value: what the eta grids share, so
// that each eta costs one logarithm per point.
struct PartValues {
  std::vector<double> normal;
  std::vector<double> lorentz;
  double z;
};

PartValues part_values(std::span<const double> x, double x0, double gamma, double x_min,
                       double x_max) {
  const PvPeak peak(x0, gamma, x_min, x_max);
  PartValues out{std::vector<double>(x.size()), std::vector<double>(x.size()), peak.z};
  for (std::size_t i = 0; i < x.size(); ++i) {
    out.normal[i] = peak.normal(x[i]);
    out.lorentz[i] = peak.lorentz(x[i]);
  }
  return out;
}

// sum_i w_i log(eta N_i + (one_minus_eta / Z) L_i + 1e-20), in index order.
double mixture_log_likelihood(const PartValues& parts, std::span<const double> w, double eta,
                              double one_minus_eta) {
  const double coef = one_minus_eta / parts.z;
  const std::size_t n = std::min(parts.normal.size(), w.size());
  double ll = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    ll += w[i] * std::log(eta * parts.normal[i] + coef * parts.lorentz[i] + kLogGuard);
  }
  return ll;
}

// ---------------------------------------------------------------------------------------------
// Conditional maximisation

// gstar(x0): the root of gamma -> S(x0, gamma) in [0.1, x_max - x_min], or none when the ends
// do not change sign (S(lo) S(hi) >= 0) or Brent's method reports an error.
std::optional<double> best_width(const PartWeights& pw, double x0) {
  const double lo = kWidthSearchLo;
  const double hi = pw.x_max - pw.x_min;
  const double s_lo = pv_gamma_score(pw, x0, lo);
  const double s_hi = pv_gamma_score(pw, x0, hi);
  if (s_lo * s_hi >= 0.0) return std::nullopt;  // a NaN product goes on to the search
  RecentValues<double> known;
  known.put(lo, s_lo);
  known.put(hi, s_hi);
  const auto score = [&](double gamma) {
    if (const double* v = known.find(gamma)) return *v;
    const double s = pv_gamma_score(pw, x0, gamma);
    known.put(gamma, s);
    return s;
  };
  const BrentqResult r = brentq(score, lo, hi, kRootTolerance);
  if (!r.ok()) return std::nullopt;
  return r.root;
}

// R(x0) = U(x0, gstar(x0)) - x0, with the width it used (none when gstar does not exist).
struct Residual {
  double value = kNaN;
  std::optional<double> width;
};

Residual centre_residual(const PartWeights& pw, double x0) {
  const std::optional<double> width = best_width(pw, x0);
  if (!width) return {};
  return {pv_x0_update(pw, x0, *width) - x0, width};
}

// The candidate (x*, gstar(x*)) of Brent's method on R over [a, b], where r_a = R(a) and
// r_b = R(b) are known; inside the search a missing gstar counts as residual 0.0.
std::optional<std::array<double, 2>> centre_root(const PartWeights& pw, double a, double b,
                                                 const Residual& r_a, const Residual& r_b) {
  RecentValues<Residual> known;
  known.put(a, r_a);
  known.put(b, r_b);
  const auto evaluate = [&](double t) -> const Residual& {
    if (const Residual* r = known.find(t)) return *r;
    known.put(t, centre_residual(pw, t));
    return *known.find(t);
  };
  const auto residual = [&](double t) {
    const Residual& r = evaluate(t);
    return r.width ? r.value : 0.0;
  };
  const BrentqResult root = brentq(residual, a, b, kRootTolerance);
  if (!root.ok()) return std::nullopt;
  const std::optional<double> width = evaluate(root.root).width;
  if (!width) return std::nullopt;
  return std::array<double, 2>{root.root, *width};
}

// C = sum_i w_i log((1 - eta0) L(x_i) + eta0 N(x_i) + 1e-20), the candidate's score: the
// Lorentzian part is not divided by its window mass here.
double candidate_score(std::span<const double> x, std::span<const double> w, double x0,
                       double gamma, double eta0, double x_min, double x_max) {
  const PvPeak peak(x0, gamma, x_min, x_max);
  const double one_minus = 1.0 - eta0;
  const std::size_t n = std::min(x.size(), w.size());
  double c = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kStopStride == 0) checkpoint();
    c += w[i] * std::log(one_minus * peak.lorentz(x[i]) + eta0 * peak.normal(x[i]) + kLogGuard);
  }
  return c;
}

// The joint search for (x0, gamma): coarse grid, refined grid between the first and the last
// bracketing coarse points, Brent's method on the centre residual between adjacent refined
// points of opposite sign, best candidate by its score.  Leaves x0 and gamma unchanged when
// any stage comes up empty.
void joint_search(const PartWeights& pw, std::span<const double> w, double& x0, double& gamma,
                  double eta0) {
  const double x_min = pw.x_min;
  const double x_max = pw.x_max;
  const double width = x_max - x_min;

  // Coarse grid p_k = x_min + k (x_max - x_min) / 9; p_k brackets a width root when S changes
  // sign between the two ends of the width interval.
  std::array<double, kGridPoints> coarse{};
  std::array<bool, kGridPoints> brackets{};
  pool::for_each_index(kGridPoints, [&](std::size_t k) {
    const double p = x_min + static_cast<double>(k) * width / 9.0;
    coarse[k] = p;
    const double s_lo = pv_gamma_score(pw, p, kWidthSearchLo);
    const double s_hi = pv_gamma_score(pw, p, width);
    brackets[k] = sign_of(s_lo) * sign_of(s_hi) < 0.0;
  });
  const auto first = std::find(brackets.begin(), brackets.end(), true);
  if (first == brackets.end()) return;
  const auto last = std::find(brackets.rbegin(), brackets.rend(), true);
  const double lo = coarse[static_cast<std::size_t>(first - brackets.begin())];
  const double hi = coarse[kGridPoints - 1 - static_cast<std::size_t>(last - brackets.rbegin())];
  // A single refined point has no pair to search between.
  if (hi - lo < kRefineSpread) return;

  // Refined grid q_j = lo + j (hi - lo) / 9 and the residual at each point.
  std::array<double, kGridPoints> refined{};
  std::array<Residual, kGridPoints> residuals{};
  pool::for_each_index(kGridPoints, [&](std::size_t j) {
    refined[j] = lo + static_cast<double>(j) * (hi - lo) / 9.0;
    residuals[j] = centre_residual(pw, refined[j]);
  });

  // Adjacent pairs whose residuals are finite and of opposite sign, searched independently;
  // the candidates are recorded in pair order.
  std::vector<std::size_t> pairs;
  for (std::size_t j = 0; j + 1 < kGridPoints; ++j) {
    const double a = residuals[j].value;
    const double b = residuals[j + 1].value;
    if (std::isfinite(a) && std::isfinite(b) && a * b < 0.0) pairs.push_back(j);
  }
  std::vector<std::optional<std::array<double, 2>>> found(pairs.size());
  pool::for_each_index(pairs.size(), [&](std::size_t p) {
    const std::size_t j = pairs[p];
    found[p] = centre_root(pw, refined[j], refined[j + 1], residuals[j], residuals[j + 1]);
  });

  // Scan in recorded order; a candidate replaces the best unless the best scores strictly
  // higher (ties and NaN scores go to the later candidate).
  bool any = false;
  double best_score = kNaN;
  std::array<double, 2> best{};
  for (const auto& candidate : found) {
    if (!candidate) continue;
    const double score =
        candidate_score(pw.x, w, (*candidate)[0], (*candidate)[1], eta0, x_min, x_max);
    if (!any || !(best_score > score)) {
      best = *candidate;
      best_score = score;
      any = true;
    }
  }
  if (!any) return;
  x0 = best[0];
  gamma = best[1];
}

// The eta of the grid 0.80 ... 0.99 with the highest T at (x0, gamma): a later eta wins
// unless its T is below the best so far (so ties go to the larger eta, and NaN on either side
// lets the later eta win and become the best value).
double conditional_eta(std::span<const double> x, std::span<const double> w, double x0,
                       double gamma, double x_min, double x_max) {
  const PartValues parts = part_values(x, x0, gamma, x_min, x_max);
  std::array<double, kCmEtaCount> etas{};
  std::array<double, kCmEtaCount> t{};
  pool::for_each_index(kCmEtaCount, [&](std::size_t k) {
    // T(0.8) takes 1 - eta as the constant 0.19999999999999996.
    const double eta = k == 0 ? kCmEtaStart : static_cast<double>(k) * kEtaStep + kCmEtaStart;
    const double one_minus = k == 0 ? kOneMinusEtaStart : 1.0 - eta;
    etas[k] = eta;
    t[k] = mixture_log_likelihood(parts, w, eta, one_minus);
  });
  double best = t[0];
  double best_eta = etas[0];
  for (std::size_t k = 1; k < kCmEtaCount; ++k) {
    if (!(t[k] < best)) best_eta = etas[k];
    best = best > t[k] ? best : t[k];
  }
  return best_eta;
}

// ---------------------------------------------------------------------------------------------
// Full optimisation

// One L-BFGS-B solve over the free ones of (x0, gamma) at fixed eta, from their current
// values, with x0 in [x_min, x_max] and gamma in [gamma_min, gamma_max].
void fit_centre_width(std::span<const double> x, std::span<const double> w, double& x0,
                      double& gamma, double eta, const FullOptSettings& s, bool fix_x0,
                      bool fix_gamma) {
  peak_fit::FreeParameters<2> params({x0, gamma}, {fix_x0, fix_gamma});
  params.bound(0, x0, s.x_min, s.x_max);
  params.bound(1, gamma, s.gamma_min, s.gamma_max);
  // A reversed box is the minimiser's error: this cycle keeps x0 and gamma.  Otherwise a
  // fitted width must be clamped into its bounds, which a NaN bound cannot do; the minimiser
  // refuses NaN bounds too, so the clamp failure is reported before it runs.
  if (!fix_gamma && !params.has_reversed_box()) {
    peak_fit::check_clamp_pair(s.gamma_min, s.gamma_max);
  }
  // f(v) = -T(v) and its forward-difference gradient g_i = -(T(v + 1e-7 e_i) - T(v)) / 1e-7.
  // The n + 1 passes over the sample are independent; they run on the pool, each one a
  // sequential sum, so the values are those of evaluating them one after another.
  const std::size_t n_free = params.size();
  const LbfgsbObjective objective = [&](std::span<const double> v) {
    std::array<double, 3> t{};
    pool::for_each_index(n_free + 1, [&](std::size_t j) {
      std::array<double, 2> point{};
      std::copy(v.begin(), v.end(), point.begin());
      if (j > 0) point[j - 1] = v[j - 1] + kFdStep;
      const std::array<double, 2> p = params.full(std::span<const double>(point.data(), n_free));
      t[j] = pv_log_likelihood(x, w, p[0], p[1], eta, s.x_min, s.x_max);
    });
    LbfgsbEvaluation e{-t[0], std::vector<double>(n_free)};
    for (std::size_t i = 0; i < n_free; ++i) e.gradient[i] = -(t[i + 1] - t[0]) / kFdStep;
    return e;
  };
  const LbfgsbResult result =
      lbfgsb_minimize(objective, params.start(), params.lower(), params.upper());
  if (!result.ok()) return;
  const std::array<double, 2> fitted = params.full(result.point);
  if (!fix_x0) x0 = fitted[0];  // a free centre is not clamped
  if (!fix_gamma) gamma = peak_fit::clamp_checked(fitted[1], s.gamma_min, s.gamma_max);
}

// The eta of the grid 0.00 ... 0.99 with the highest T at (x0, gamma): the first strict
// maximum (ties keep the smallest eta, NaN never wins); the current eta when no T exceeds
// -inf.  The values are computed on the pool, the maximum taken in grid order.
double full_eta(std::span<const double> x, std::span<const double> w, double x0, double gamma,
                double eta, double x_min, double x_max) {
  const PartValues parts = part_values(x, x0, gamma, x_min, x_max);
  std::array<double, kFullEtaCount> t{};
  pool::for_each_index(kFullEtaCount, [&](std::size_t k) {
    const double e = static_cast<double>(k) * kEtaStep;
    t[k] = mixture_log_likelihood(parts, w, e, 1.0 - e);
  });
  double best = -kInf;
  double best_eta = eta;
  for (std::size_t k = 0; k < kFullEtaCount; ++k) {
    if (t[k] > best) {
      best = t[k];
      best_eta = static_cast<double>(k) * kEtaStep;
    }
  }
  return best_eta;
}

}  // namespace

double pv_log_likelihood(std::span<const double> x, std::span<const double> w, double x0,
                         double gamma, double eta, double x_min, double x_max) {
  const PvPeak peak(x0, gamma, x_min, x_max);
  const std::size_t n = std::min(x.size(), w.size());
  double ll = 0.0;
  for (std::size_t i = 0; i < n; ++i) ll += w[i] * std::log(peak.profile(x[i], eta) + kLogGuard);
  return ll;
}

PartWeights::PartWeights(std::span<const double> x_all, std::span<const double> w, double x0,
                         double gamma, double eta, double x_min_, double x_max_)
    : x(x_all.first(std::min(x_all.size(), w.size()))), x_min(x_min_), x_max(x_max_) {
  const std::size_t n = x.size();
  wrg.resize(n);
  hw.resize(n);
  u1.resize(n);
  u2.resize(n);
  const PvPeak peak(x0, gamma, x_min, x_max);
  const double one_minus = 1.0 - eta;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kStopStride == 0) checkpoint();
    const double gauss = peak.normal(x[i]);
    const double lorentz = peak.lorentz(x[i]);
    // D_i = eta N + ((1 - eta)/Z) L + 1e-300; rL takes the untruncated L in its numerator.
    const double d = eta * gauss + one_minus / peak.z * lorentz + kPartFloor;
    const double rg = eta * gauss / d;
    const double rl = one_minus * lorentz / d;
    const double wrl = w[i] * rl;
    wrg[i] = w[i] * rg;
    hw[i] = 0.5 * w[i] * rl;
    u1[i] = wrl * (2.0 * x[i]);
    u2[i] = wrl * 2.0;
    e += wrg[i];
    f += wrl;
    sgx += wrg[i] * x[i];
  }
}

double pv_gamma_score(const PartWeights& pw, double x0, double gamma) {
  const double g = gamma / 2.0;
  const double gg = g * g;
  double h = 0.0;
  double spread = 0.0;  // sum w_i rG_i (x_i - x0)^2
  for (std::size_t i = 0; i < pw.x.size(); ++i) {
    const double d = pw.x[i] - x0;
    const double dd = d * d;
    h += pw.hw[i] / (dd + gg);
    spread += pw.wrg[i] * dd;
  }
  const double z = window_mass(x0, g, pw.x_min, pw.x_max);
  const double am = x0 - pw.x_max;
  const double bm = x0 - pw.x_min;
  const double a = am / (am * am + gg);
  const double b = bm / (bm * bm + gg);
  const double gamma2 = gamma * gamma;
  const double gamma3 = gamma2 * gamma;
  const double gamma4 = gamma3 * gamma;
  return (pw.f - pw.e) * gamma2 - gamma4 * h - gamma3 * pw.f * (a - b) / (kTwoPi * z) +
         kEightLn2 * spread;
}

double pv_x0_update(const PartWeights& pw, double x0, double gamma) {
  const double g = gamma / 2.0;
  const double gg = g * g;
  double s1 = 0.0;  // sum w rL 2x / D_i
  double s2 = 0.0;  // sum w rL 2 / D_i
  for (std::size_t i = 0; i < pw.x.size(); ++i) {
    const double d = pw.x[i] - x0;
    const double den = d * d + gg;
    s1 += pw.u1[i] / den;
    s2 += pw.u2[i] / den;
  }
  const double z = window_mass(x0, g, pw.x_min, pw.x_max);
  const double c = pw.x_min - x0;
  const double d = pw.x_max - x0;
  const double k = kEightLn2 / (gamma * gamma);
  // The window's boundary terms: L at x_min minus L at x_max.
  const double ends = g / ((c * c + gg) * kPi) - g / ((d * d + gg) * kPi);
  return (k * pw.sgx + s1 - pw.f / z * ends) / (k * pw.e + s2 + kPartFloor);
}

void pv_conditional_max(std::span<const double> x, std::span<const double> w, double& x0,
                        double& gamma, double& eta, double x_min, double x_max, bool fix_x0,
                        bool fix_gamma, bool fix_eta) {
  if ((fix_x0 && fix_gamma && fix_eta) || w.empty()) return;
  if (peak_fit::total_weight(w) == 0.0) return;  // a NaN sum goes on
  const std::size_t n = std::min(x.size(), w.size());
  const std::span<const double> xs = x.first(n);
  const std::span<const double> ws = w.first(n);
  const double eta0 = eta;

  if (!(fix_x0 && fix_gamma)) {
    const PartWeights pw(xs, ws, x0, gamma, eta0, x_min, x_max);
    joint_search(pw, ws, x0, gamma, eta0);
  }
  if (!fix_eta) eta = conditional_eta(xs, ws, x0, gamma, x_min, x_max);
}

void pv_full_optimization(std::span<const double> x, std::span<const double> w, double& x0,
                          double& gamma, double& eta, const FullOptSettings& settings,
                          bool fix_x0, bool fix_gamma, bool fix_eta) {
  if ((fix_x0 && fix_gamma && fix_eta) || w.empty()) return;
  if (peak_fit::total_weight(w) == 0.0) return;  // a NaN sum goes on
  const std::size_t n = std::min(x.size(), w.size());
  const std::span<const double> xs = x.first(n);
  const std::span<const double> ws = w.first(n);
  const double x_min = settings.x_min;
  const double x_max = settings.x_max;

  double t_prev = pv_log_likelihood(xs, ws, x0, gamma, eta, x_min, x_max);
  for (std::uint64_t cycle = 0; cycle < settings.max_iter; ++cycle) {
    if (!(fix_x0 && fix_gamma)) {
      fit_centre_width(xs, ws, x0, gamma, eta, settings, fix_x0, fix_gamma);
    }
    if (!fix_eta) eta = full_eta(xs, ws, x0, gamma, eta, x_min, x_max);
    const double t_new = pv_log_likelihood(xs, ws, x0, gamma, eta, x_min, x_max);
    // Signed change: any fall of T stops, a NaN ratio does not.
    if (settings.r_eps > (t_new - t_prev) / floored(std::fabs(t_prev), kRelativeFloor)) break;
    t_prev = t_new;
  }
}

void PseudoVoigtShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  const std::size_t n = x.size();
  // At least one task per component, so that a short parameter array is always reported.
  const std::size_t blocks = std::max<std::size_t>(1, (n + kDensityGrain - 1) / kDensityGrain);
  pool::for_each_index(num_components() * blocks, [&](std::size_t task) {
    const std::size_t k = task / blocks;
    const auto [x0, gamma, eta] = values(k);
    const PvPeak peak(x0, gamma, settings().x_min, settings().x_max);
    const std::size_t begin = (task % blocks) * kDensityGrain;
    const std::size_t end = std::min(n, begin + kDensityGrain);
    const std::span<double> column = density.column(k);
    for (std::size_t i = begin; i < end; ++i) column[i] = peak.profile(x[i], eta);
  });
}

ComponentParams PseudoVoigtShape::update_component(std::size_t k, std::span<const double> w,
                                                   std::span<const double> x) const {
  auto [x0, gamma, eta] = values(k);
  const auto [fix_x0, fix_gamma, fix_eta] = fixed(k);
  const Settings& s = settings();
  if (s.use_full_opt) {
    const FullOptSettings full{s.x_min, s.x_max, s.gamma_min, s.gamma_max, s.r_eps, s.max_iter};
    pv_full_optimization(x, w, x0, gamma, eta, full, fix_x0, fix_gamma, fix_eta);
  } else {
    pv_conditional_max(x, w, x0, gamma, eta, s.x_min, s.x_max, fix_x0, fix_gamma, fix_eta);
  }
  return {x0, gamma, eta};
}

}  // namespace velmora::pseudo_voigt
