// The TSDC single-peak fits and mixture (tsdc_em.hpp).
#include "em/tsdc_em.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "em/peak_fit.hpp"
#include "errors.hpp"
#include "optim/brentq.hpp"
#include "optim/lbfgsb.hpp"
#include "special/expint.hpp"
#include "worker_pool.hpp"

namespace velmora::tsdc {
namespace {

using special::exponential_integral_ei_many;
using special::exponential_integral_en;
using special::exponential_integral_en_many;

static_assert(kSumGrain <= kPointGrain, "a sum block must fit the batch scratch");

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sum of every value in index order from 0.0, on the calling thread.
double sequential_sum(std::span<const double> values) {
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum;
}

FitStatus brentq_failure(RootError error) {
  return {"brentq failed: " + std::string(root_error_name(error))};
}

FitStatus minimiser_failure() { return {"L-BFGS-B failed"}; }

using peak_fit::check_clamp_pair;
using peak_fit::clamp_checked;

// A(e) and B(e) of every trial activation energy of one root fit.  brentq evaluates each
// iteration's kept end afresh, so most trial values come twice; the sums are pure functions of
// e, and a repeated value (bit for bit) is answered from here.
class ScoreSums {
 public:
  ScoreSums(std::span<const double> t, std::span<const double> w) : t_(t), w_(w) {}

  std::array<double, 2> at(double ea) {
    const auto key = std::bit_cast<std::uint64_t>(ea);
    for (const Entry& e : seen_) {
      if (e.key == key) return e.sums;
    }
    const std::array<double, 2> sums = detail::sums_a_b(t_, w_, ea);
    seen_.push_back({key, sums});
    return sums;
  }

 private:
  struct Entry {
    std::uint64_t key;
    std::array<double, 2> sums;
  };
  std::span<const double> t_;
  std::span<const double> w_;
  std::vector<Entry> seen_;
};

}  // namespace

double tsdc_log_likelihood(std::span<const double> t, std::span<const double> w, double ea,
                           double tau0, double beta) {
  std::vector<double> density(t.size(), 0.0);
  tsdc_pdf(t, density, ea, tau0, beta);
  const std::size_t m = std::min(t.size(), w.size());
  // The logarithms on the pool, their sum in index order.
  std::vector<double> terms(m);
  pool::for_each_block(m, kPointGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) terms[i] = std::log(density[i] + kLogFloor) * w[i];
  });
  double ll = -0.0;
  for (double term : terms) ll += term;
  return ll;
}

namespace detail {

std::array<double, 2> sums_a_b(std::span<const double> t, std::span<const double> w, double ea) {
  const std::size_t m = std::min(t.size(), w.size());
  return pool::deterministic_block_sums<2>(m, kSumGrain, [&](std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    Batch z, e2, minus_z, ei;
    fill_z(t, ea, begin, end, z);
    for (std::size_t i = begin; i < end; ++i) minus_z[i - begin] = (ea * (-kInvBoltzmann)) / t[i];
    exponential_integral_en_many(2, head(z, len), head(e2, len));
    exponential_integral_ei_many(head(minus_z, len), head(ei, len));
    std::array<double, 2> acc{-0.0, -0.0};
    for (std::size_t i = begin; i < end; ++i) {
      acc[0] += e2[i - begin] * (w[i] * t[i]);
      acc[1] += ei[i - begin] * (w[i] * (-kInvBoltzmann));
    }
    return acc;
  });
}

std::array<double, 2> sums_a_d(std::span<const double> t, std::span<const double> w, double ea) {
  const std::size_t m = std::min(t.size(), w.size());
  return pool::deterministic_block_sums<2>(m, kSumGrain, [&](std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    Batch z, e2, e1;
    fill_z(t, ea, begin, end, z);
    exponential_integral_en_many(2, head(z, len), head(e2, len));
    exponential_integral_en_many(1, head(z, len), head(e1, len));
    std::array<double, 2> acc{-0.0, -0.0};
    for (std::size_t i = begin; i < end; ++i) {
      acc[0] += e2[i - begin] * (w[i] * t[i]);
      acc[1] += e1[i - begin] * (w[i] * (-kInvBoltzmann));
    }
    return acc;
  });
}

Objective objective(std::span<const double> t, std::span<const double> w, double ea, double tp,
                    double beta, double total_w, double c_sum, std::vector<double>& density,
                    std::vector<double>& log_terms) {
  const double tau0 = tsdc_tau0_from_tp(ea, tp, beta);
  const std::size_t n = t.size();
  const std::size_t m = std::min(n, w.size());
  density.assign(n, 0.0);
  log_terms.resize(m);

  // One pass over the weighted points: the peak current (the density before normalisation)
  // and the terms of A and D share z_i and E_2(z_i).  The sums take the block order of
  // sums_a_d, so A and D are the same numbers.
  const auto [a_sum, d_sum] =
      pool::deterministic_block_sums<2>(m, kSumGrain, [&](std::size_t begin, std::size_t end) {
        const std::size_t len = end - begin;
        Batch z, e2, e1;
        fill_z(t, ea, begin, end, z);
        exponential_integral_en_many(2, head(z, len), head(e2, len));
        exponential_integral_en_many(1, head(z, len), head(e1, len));
        std::array<double, 2> acc{-0.0, -0.0};
        for (std::size_t i = begin; i < end; ++i) {
          density[i] = current_from_e2(e2[i - begin], t[i], ea, tau0, beta);
          acc[0] += e2[i - begin] * (w[i] * t[i]);
          acc[1] += e1[i - begin] * (w[i] * (-kInvBoltzmann));
        }
        return acc;
      });
  // Grid points without a weight still shape the normalisation.
  pool::for_each_block(n - m, kPointGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = m + begin; i < m + end; ++i) {
      density[i] = peak_current(t[i], ea, tau0, beta);
    }
  });
  const double area = trapezoid_area(t, density, n);
  pool::for_each_block(n, kPointGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      density[i] = density[i] / area;
      if (i < m) log_terms[i] = std::log(density[i] + kLogFloor) * w[i];
    }
  });
  double ll = -0.0;
  for (double term : log_terms) ll += term;

  // Gradient of the density normalised on [0, inf) (see the header).
  const double s = beta * tau0;
  const double r = a_sum / s;
  const double g = (1.0 / (kBoltzmann * tp) + 1.0 / ea) * (total_w - r) - c_sum;
  Objective out;
  out.value = -ll;
  out.d_ea = -(g - d_sum / s);
  out.d_tp = -((ea * kInvBoltzmann) / (tp * tp) + 2.0 / tp) * (r - total_w);
  return out;
}

}  // namespace detail

FitStatus tsdc_fit_find_root(std::span<const double> t, std::span<const double> w,
                             TsdcPeak& peak, double ea_min, double ea_max, double beta,
                             bool fix_ea, bool fix_tp) {
  if (fix_ea) return {};
  const std::size_t m = std::min(t.size(), w.size());

  // W and C of the equation are the same for every trial ea: parallel sums, formed once.
  const double w_sum = pool::deterministic_sums<1>(w.size(), kSumGrain, [&](std::size_t i) {
    return std::array<double, 1>{w[i]};
  })[0];
  const double c_sum = pool::deterministic_sums<1>(m, kSumGrain, [&](std::size_t i) {
    return std::array<double, 1>{w[i] / (t[i] * kBoltzmann)};
  })[0];

  // Score equation in ea with tau0 = A / (beta W) substituted: A C = W B, in logarithms.
  ScoreSums sums(t, w);
  auto g = [&](double e) {
    const auto [a, b] = sums.at(e);
    return std::log10((c_sum + kScoreFloor) * beta) +
           ((std::log10(a) - std::log10((w_sum + kScoreFloor) * beta)) - std::log10(b));
  };
  const BrentqResult ea_root = brentq(g, ea_min, ea_max, kRootTolerance);
  if (!ea_root.ok()) return brentq_failure(*ea_root.error);

  const double ea = ea_root.root;
  // The maximiser of the likelihood in tau0 at this ea; W over the whole of w, no floor.
  const double tau0 = sums.at(ea)[0] / (sequential_sum(w) * beta);
  peak.ea = ea;
  peak.tau0 = tau0;
  if (fix_tp) {
    peak.tau0 = tsdc_tau0_from_tp(ea, peak.tp, beta);
    return {};
  }

  // Peak condition solved for the temperature:
  //   h(T) = ln(k_B T^2 / (beta ea)) - ea / (k_B T) - ln tau0 = 0.
  const double log_tau0 = std::log(tau0);
  auto h = [&](double temp) {
    return (std::log((temp * (temp * kBoltzmann)) / (beta * ea)) - ea / (temp * kBoltzmann)) -
           log_tau0;
  };
  const BrentqResult tp_root = brentq(h, kPeakSearchLow, kPeakSearchHigh, kRootTolerance);
  if (!tp_root.ok()) return brentq_failure(*tp_root.error);
  peak.tp = tp_root.root;
  return {};
}

FitStatus tsdc_fit_lbfgsb(std::span<const double> t, std::span<const double> w, TsdcPeak& peak,
                          double ea_min, double ea_max, double t_min, double t_max, double beta,
                          bool fix_ea, bool fix_tp) {
  if ((fix_ea && fix_tp) || w.empty()) return {};
  const double total_w = sequential_sum(w);
  if (total_w < kEmptyWeight) return {};
  const std::size_t m = std::min(t.size(), w.size());
  double c_sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) c_sum += (w[i] / t[i]) * kInvBoltzmann;

  // Free variables in the order ea, tp; a fixed one keeps its value inside the objective.
  std::vector<double> start;
  std::vector<double> lower;
  std::vector<double> upper;
  if (!fix_ea) {
    start.push_back(peak.ea);
    lower.push_back(ea_min);
    upper.push_back(ea_max);
  }
  if (!fix_tp) {
    start.push_back(peak.tp);
    lower.push_back(t_min);
    upper.push_back(t_max);
  }
  // A reversed box is the minimiser's error.  A NaN bound could never clamp the fitted value
  // read back below, which is an internal failure rather than a fit that did not converge.
  for (std::size_t i = 0; i < start.size(); ++i) {
    if (lower[i] > upper[i]) return minimiser_failure();
  }
  for (std::size_t i = 0; i < start.size(); ++i) check_clamp_pair(lower[i], upper[i]);

  const TsdcPeak fixed = peak;
  std::vector<double> density;
  std::vector<double> log_terms;
  const LbfgsbObjective objective = [&](std::span<const double> v) {
    std::size_t next = 0;
    const double ea = fix_ea ? fixed.ea : v[next++];
    const double tp = fix_tp ? fixed.tp : v[next];
    const detail::Objective o =
        detail::objective(t, w, ea, tp, beta, total_w, c_sum, density, log_terms);
    LbfgsbEvaluation e;
    e.value = o.value;
    if (!fix_ea) e.gradient.push_back(o.d_ea);
    if (!fix_tp) e.gradient.push_back(o.d_tp);
    return e;
  };
  const LbfgsbResult result = lbfgsb_minimize(objective, start, lower, upper);
  if (!result.ok()) return minimiser_failure();

  // Whatever the status, the point is read back through the bounds.
  std::size_t next = 0;
  double ea = peak.ea;
  double tp = peak.tp;
  if (!fix_ea) ea = clamp_checked(result.point[next++], ea_min, ea_max);
  if (!fix_tp) tp = clamp_checked(result.point[next], t_min, t_max);
  peak.ea = ea;
  peak.tp = tp;
  peak.tau0 = tsdc_tau0_from_tp(ea, tp, beta);
  return {};
}

void TsdcShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  const std::size_t k_count = ea_.size();
  if (k_count == 0) return;
  (void)checked_at<double>(tau0_, k_count - 1, "tau0");
  // One column after another; the pool splits each column by grid points.
  for (std::size_t k = 0; k < k_count; ++k) {
    tsdc_pdf(x, density.column(k), ea_[k], tau0_[k], settings_.beta);
  }
}

ComponentParams TsdcShape::update_component(std::size_t k, std::span<const double> w,
                                            std::span<const double> x) const {
  const double total = sequential_sum(w);
  if (total < kEmptyWeight) {
    // Nothing to fit: the component keeps its values; its tp and fix entries may be missing.
    return {ea_[k], tau0_[k], k < tp_.size() ? tp_[k] : kNaN};
  }
  TsdcPeak peak{ea_[k], checked_at<double>(tau0_, k, "tau0"), checked_at<double>(tp_, k, "tp")};
  const bool fix_ea = checked_at<std::uint8_t>(fix_ea_, k, "fix_ea") != 0;
  const bool fix_tp = checked_at<std::uint8_t>(fix_tp_, k, "fix_tp") != 0;
  const Settings& s = settings_;
  if (!tsdc_fit_find_root(x, w, peak, s.ea_min, s.ea_max, s.beta, fix_ea, fix_tp).ok()) {
    // From the values the root fit left; a failure here leaves them as they are.
    (void)tsdc_fit_lbfgsb(x, w, peak, s.ea_min, s.ea_max, s.t_min, s.t_max, s.beta, fix_ea,
                          fix_tp);
  }
  return {peak.ea, peak.tau0, peak.tp};
}

void TsdcShape::set_component(std::size_t k, const ComponentParams& params) {
  ea_[k] = params[0];
  tau0_[k] = params[1];
  // A component without a tp entry was not updated (zero weight) and has nothing to store.
  if (k < tp_.size()) tp_[k] = params[2];
}

}  // namespace velmora::tsdc
