// The terms that follow the peaks (follow_terms.hpp): the loss kernels against a plain double
// loop over their formula, every operator against its adjoint, and the parameters refused.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/follow_terms.hpp"

namespace {

using velmora::engine::FollowKind;
using velmora::engine::FollowTerm;
using velmora::engine::Side;

struct Grid {
  std::vector<double> u, du;
};

// A uniform grid (the kernel kept as one row) or an irregular one (the packed triangle), with
// the channel widths the package gives: half the distance to each neighbour.
Grid grid(std::size_t n, bool uniform) {
  Grid g;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> jitter(0.5, 1.5);
  double u = -0.5 * static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    g.u.push_back(u);
    u += uniform ? 1.0 : jitter(rng);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double lo = i > 0 ? g.u[i] - g.u[i - 1] : g.u[1] - g.u[0];
    const double hi = i + 1 < n ? g.u[i + 1] - g.u[i] : g.u[n - 1] - g.u[n - 2];
    g.du.push_back(0.5 * (lo + hi));
  }
  return g;
}

std::vector<double> random_vector(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> d(-1.0, 2.0);
  std::vector<double> v(n);
  for (double& x : v) x = d(rng);
  return v;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// (L v)_i = s du_i sum_{l on the loss side} K(s |u_i - u_l|) v_l, straight from the formula.
std::vector<double> reference(FollowKind kind, Side side, const std::vector<double>& p,
                              const Grid& g, const std::vector<double>& v) {
  const std::size_t n = g.u.size();
  const double s = p[0], c = p[1];
  std::vector<double> out(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t l = 0; l < n; ++l) {
      if (side == Side::below ? l >= i : l <= i) continue;
      const double t = s * std::fabs(g.u[i] - g.u[l]);
      const double k = kind == FollowKind::tougaard
                           ? t / ((c + t * t) * (c + t * t))
                           : t / ((c - t * t) * (c - t * t) + p[2] * t * t);
      out[i] += s * g.du[i] * k * v[l];
    }
  }
  return out;
}

struct Case {
  FollowKind kind;
  std::vector<double> params;
};

const Case kCases[] = {
    {FollowKind::shirley, {}},
    {FollowKind::tougaard, {0.075, 1643.0}},
    {FollowKind::tougaard3, {0.4, 551.0, 436.0}},
};

TEST(FollowTerms, KernelsFollowTheirFormulaAndEveryOperatorItsAdjoint) {
  const std::size_t n = 157;
  for (const bool uniform : {true, false}) {
    const Grid g = grid(n, uniform);
    const std::vector<double> v = random_vector(n, 1), w = random_vector(n, 2);
    for (const Case& c : kCases) {
      for (const Side side : {Side::below, Side::above}) {
        const auto code = static_cast<std::size_t>(c.kind);
        const std::string what = std::string(velmora::engine::follow_kinds()[code].name) +
                                 (side == Side::below ? " below" : " above") +
                                 (uniform ? " uniform" : " irregular");
        const FollowTerm term =
            velmora::engine::make_follow_term(c.kind, side, c.params, g.u, g.du);
        EXPECT_EQ(term.toeplitz, uniform && c.kind != FollowKind::shirley) << what;
        std::vector<double> lv(n), ltw(n);
        velmora::engine::apply_follow(term, v, lv);
        velmora::engine::apply_follow_adjoint(term, w, ltw);
        // <L v, w> = <v, L^T w> to rounding.
        const double lhs = dot(lv, w), rhs = dot(v, ltw);
        EXPECT_NEAR(lhs, rhs, 1e-13 * (std::fabs(lhs) + 1e-300)) << what;
        if (c.kind == FollowKind::shirley) {
          EXPECT_EQ(term.reach, static_cast<double>(n)) << what;
          continue;
        }
        const std::vector<double> want = reference(c.kind, side, c.params, g, v);
        double scale = 0.0;
        for (const double x : want) scale = std::max(scale, std::fabs(x));
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_NEAR(lv[i], want[i], 1e-12 * scale) << what << " at " << i;
        }
        // The end the term gathers nothing from, and a channel's own counts (K(0) = 0).
        EXPECT_EQ(lv[side == Side::below ? 0 : n - 1], 0.0) << what;
        std::vector<double> one(n, 0.0), at(n);
        one[n / 2] = 1.0;
        velmora::engine::apply_follow(term, one, at);
        EXPECT_EQ(at[n / 2], 0.0) << what;
        EXPECT_GT(at[side == Side::below ? n / 2 + 1 : n / 2 - 1], 0.0) << what;
        EXPECT_EQ(at[side == Side::below ? n / 2 - 1 : n / 2 + 1], 0.0) << what;
        // The reach is the most any channel's counts give the term.
        std::vector<double> ones(n, 1.0), gathered(n);
        velmora::engine::apply_follow_adjoint(term, ones, gathered);
        double most = 0.0;
        for (const double x : gathered) most = std::max(most, x);
        EXPECT_EQ(term.reach, most) << what;
      }
    }
  }
}

TEST(FollowTerms, RefusesParametersThatDoNotSuitTheKind) {
  const Grid g = grid(20, true);
  auto refused = [&](FollowKind kind, std::vector<double> params, const std::string& words) {
    try {
      velmora::engine::make_follow_term(kind, Side::below, params, g.u, g.du);
      ADD_FAILURE() << "accepted; expected: " << words;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  };
  const double nan = std::nan(""), inf = INFINITY;
  refused(FollowKind::tougaard, {0.1}, "takes 2 parameters");
  refused(FollowKind::shirley, {0.1}, "takes 0 parameters");
  refused(FollowKind::tougaard, {0.0, 1643.0}, "x_scale");
  refused(FollowKind::tougaard, {0.1, -1643.0}, "C must be finite and positive");
  refused(FollowKind::tougaard, {0.1, inf}, "C must be finite and positive");
  refused(FollowKind::tougaard3, {0.1, 551.0, nan}, "D must be finite and positive");
  // D = 0 would put a pole of the kernel at T = sqrt(C).
  refused(FollowKind::tougaard3, {0.1, 551.0, 0.0}, "D must be finite and positive");
  refused(static_cast<FollowKind>(7), {}, "unknown kind");
}

TEST(FollowTerms, AnIrregularGridTooLongForItsKernelIsRefusedAndAUniformOneIsNot) {
  // 12 000 channels: a uniform grid keeps one row of the kernel; an irregular one would need
  // 72 million values, and is refused before any is allocated.
  const std::size_t n = 12000;
  std::vector<double> u(n), du(n, 1.0);
  for (std::size_t i = 0; i < n; ++i) u[i] = static_cast<double>(i);
  const std::vector<double> params{0.01, 1643.0};
  const auto term =
      velmora::engine::make_follow_term(FollowKind::tougaard, Side::below, params, u, du);
  EXPECT_EQ(term.kernel.size(), n);
  u[n / 2] += 0.3;
  try {
    velmora::engine::make_follow_term(FollowKind::tougaard, Side::below, params, u, du);
    ADD_FAILURE() << "an irregular grid of 12 000 channels was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("irregular grid of 12000 channels"), std::string::npos)
        << e.what();
  }
}

}  // namespace
