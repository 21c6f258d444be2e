// TSDC internals that Python cannot reach: the fixed-order parallel sums, the fused objective
// of the quasi-Newton fit against its parts, and its analytic gradient against central finite
// differences.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "special/expint.hpp"
#include "em/tsdc_em.hpp"
#include "worker_pool.hpp"

namespace {

namespace ts = velmora::tsdc;
namespace vp = velmora::pool;

// Sum of v[lo, hi) combined as deterministic_sums documents, written out independently.
double tree_sum(const std::vector<double>& v, std::size_t grain) {
  std::vector<double> parts;
  for (std::size_t b = 0; b < v.size(); b += grain) {
    double acc = -0.0;
    for (std::size_t i = b; i < std::min(v.size(), b + grain); ++i) acc += v[i];
    parts.push_back(acc);
  }
  auto combine = [&](auto&& self, std::size_t lo, std::size_t hi) -> double {
    if (hi - lo == 1) return parts[lo];
    const std::size_t mid = lo + (hi - lo) / 2;
    return self(self, lo, mid) + self(self, mid, hi);
  };
  return combine(combine, 0, parts.size());
}

TEST(DeterministicSums, FixedBlocksAndPairwiseTree) {
  // Terms of wildly different magnitudes, so that any other order changes the last bits.
  std::vector<double> v(1000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::sin(i * 1.7) * std::pow(10.0, i % 17);
  for (std::size_t grain : {1u, 7u, 256u, 999u, 1000u, 5000u}) {
    const auto sums = vp::deterministic_sums<2>(v.size(), grain, [&](std::size_t i) {
      return std::array<double, 2>{v[i], -v[i]};
    });
    EXPECT_EQ(sums[0], tree_sum(v, grain)) << grain;
    EXPECT_EQ(sums[1], -tree_sum(v, grain)) << grain;
  }
  const auto empty = vp::deterministic_sums<1>(0, 256, [](std::size_t) {
    return std::array<double, 1>{1.0};
  });
  EXPECT_EQ(empty[0], 0.0);
  EXPECT_TRUE(std::signbit(empty[0]));  // an empty sum is -0.0, as every block starts
}

// A smooth thermogram: the expected counts of one peak (ea 1.0 eV, tp 300 K, beta 0.1 K/s), 1e5
// counts in all, on the grid lo, lo + step, ... <= hi.
struct Thermogram {
  std::vector<double> t, w;
  double beta = 0.1;
  Thermogram(double lo = 150.0, double hi = 450.0, double step = 0.25) {
    const double tau0 = ts::tsdc_tau0_from_tp(1.0, 300.0, beta);
    for (int i = 0; lo + step * i <= hi; ++i) t.push_back(lo + step * i);
    for (double ti : t) w.push_back(1e5 * step * ts::peak_current(ti, 1.0, tau0, beta));
  }
  double total() const {
    double s = 0.0;
    for (double v : w) s += v;
    return s;
  }
  double c_sum() const {
    double s = 0.0;
    for (std::size_t i = 0; i < std::min(t.size(), w.size()); ++i) {
      s += (w[i] / t[i]) * ts::kInvBoltzmann;
    }
    return s;
  }
  ts::detail::Objective at(double ea, double tp) const {
    std::vector<double> density, log_terms;
    return ts::detail::objective(t, w, ea, tp, beta, total(), c_sum(), density, log_terms);
  }
  // ln of the trapezoid area of y over the grid.
  double log_area(double ea, double tp) const {
    std::vector<double> y(t.size());
    const double tau0 = ts::tsdc_tau0_from_tp(ea, tp, beta);
    for (std::size_t i = 0; i < t.size(); ++i) y[i] = ts::peak_current(t[i], ea, tau0, beta);
    double area = 0.0;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
      area += (t[i + 1] - t[i]) * (y[i] + y[i + 1]) / 2;
    }
    return std::log(area);
  }
};

// Derivative of f at (ea, tp) along (dea, dtp) (unit step h): central differences with steps h
// and h/2 combined by Richardson extrapolation, so the truncation error is O(h^4).
template <class F>
double derivative(F&& f, double ea, double tp, double dea, double dtp) {
  auto central = [&](double k) {
    return (f(ea + k * dea, tp + k * dtp) - f(ea - k * dea, tp - k * dtp)) / (2.0 * k);
  };
  return (4.0 * central(0.5) - central(1.0)) / 3.0;
}

TEST(TsdcObjective, FusedPassEqualsItsParts) {
  Thermogram th;
  for (std::size_t keep : {th.t.size(), std::size_t{900}}) {  // w shorter than t, too
    Thermogram g = th;
    g.w.resize(keep);
    for (auto [ea, tp] : {std::pair{1.0, 300.0}, std::pair{0.7, 280.0}, std::pair{1.4, 320.0}}) {
      const auto o = g.at(ea, tp);
      const double tau0 = ts::tsdc_tau0_from_tp(ea, tp, g.beta);
      EXPECT_EQ(o.value, -ts::tsdc_log_likelihood(g.t, g.w, ea, tau0, g.beta));
      const auto [a, d] = ts::detail::sums_a_d(g.t, g.w, ea);
      const double s = g.beta * tau0, r = a / s, big_w = g.total();
      const double gg = (1.0 / (ts::kBoltzmann * tp) + 1.0 / ea) * (big_w - r) - g.c_sum();
      EXPECT_EQ(o.d_ea, -(gg - d / s));
      EXPECT_EQ(o.d_tp, -((ea * ts::kInvBoltzmann) / (tp * tp) + 2.0 / tp) * (r - big_w));
    }
  }
}

TEST(TsdcObjective, AnalyticGradientAgainstCentralDifferences) {
  // The analytic gradient is exact for -sum w ln y, y normalised on [0, inf).  The objective
  // divides y by its trapezoid area over the grid instead, which adds W ln(area): its true
  // gradient differs from the analytic one by W d ln(area).  That term is negligible where the
  // grid covers the whole peak finely, and sizeable where the grid cuts off a tail, so the
  // analytic gradient is close to, but not exactly, the gradient of what is minimised.
  struct Case {
    Thermogram th;
    bool whole_peak;
  };
  const Case cases[] = {{Thermogram(150.0, 450.0, 0.25), true},
                        {Thermogram(250.0, 305.0, 0.5), false}};
  for (const Case& c : cases) {
    const Thermogram& th = c.th;
    const double big_w = th.total();
    for (auto [ea, tp] : {std::pair{0.95, 303.0}, std::pair{1.1, 296.0}, std::pair{1.0, 300.0}}) {
      const auto o = th.at(ea, tp);
      auto value = [&](double e, double p) { return th.at(e, p).value; };
      auto log_area = [&](double e, double p) { return big_w * th.log_area(e, p); };
      const double h_ea = 1e-4 * ea, h_tp = 1e-4 * tp;
      const double fd_ea = derivative(value, ea, tp, h_ea, 0.0) / h_ea;
      const double fd_tp = derivative(value, ea, tp, 0.0, h_tp) / h_tp;
      const double area_ea = derivative(log_area, ea, tp, h_ea, 0.0) / h_ea;
      const double area_tp = derivative(log_area, ea, tp, 0.0, h_tp) / h_tp;
      // Gradient scale: the total weight over the parameter's size.
      const double tol_ea = 1e-7 * big_w / ea, tol_tp = 1e-7 * big_w / tp;
      SCOPED_TRACE(testing::Message() << "ea " << ea << " tp " << tp << " whole peak "
                                      << c.whole_peak);

      // Adding the area term accounts for the whole difference.
      EXPECT_NEAR(o.d_ea + area_ea, fd_ea, tol_ea);
      EXPECT_NEAR(o.d_tp + area_tp, fd_tp, tol_tp);
      if (c.whole_peak) {
        EXPECT_NEAR(o.d_ea, fd_ea, tol_ea);
        EXPECT_NEAR(o.d_tp, fd_tp, tol_tp);
      } else {
        EXPECT_GT(std::fabs(o.d_ea - fd_ea), 1e3 * tol_ea);
        EXPECT_GT(std::fabs(o.d_tp - fd_tp), 1e3 * tol_tp);
      }
    }
  }
}

}  // namespace
