// The pseudo-Voigt single-peak fits (pseudo_voigt_mle_conditional_max,
// pseudo_voigt_mle_full_optimization) and mixture (run_pv_em_loop); the profile is
// shapes/pseudo_voigt.hpp.
//
// Conditional maximisation (pv_conditional_max).  The peak is treated as a two-part mixture:
// the part weights rG_i, rL_i are formed once from the starting parameters, and the expected
// log-likelihood
//   Q = sum_i w_i [rG_i log N(x_i) + rL_i (log L(x_i) - log Z)]
// is maximised over (x0, gamma) by solving its two stationarity equations:
//   - the width equation S(x0, gamma) = gamma^3 dQ/dgamma = 0, solved for gamma at fixed x0 by
//     Brent's method on [0.1, x_max - x_min] (gstar(x0));
//   - the centre map U(x0, gamma), dQ/dx0 = 0 solved for x0 with the Lorentzian factors taken
//     at the current x0; the centre residual R(x0) = U(x0, gstar(x0)) - x0 is solved by
//     Brent's method between adjacent points of a refined grid.
// Every root found is a candidate; the best by the pseudo-Voigt log-likelihood at the starting
// eta wins, and eta is then chosen from the grid 0.80, 0.81, ..., 0.99.
//
// Full optimisation (pv_full_optimization).  Cycles of an L-BFGS-B minimisation of -T over
// (x0, gamma) at fixed eta and a grid search of eta in 0.00, 0.01, ..., 0.99 at fixed
// (x0, gamma), with T(x0, gamma, eta) = sum_i w_i log(P(x_i) + 1e-20), until T stops rising by
// at least r_eps in relative terms or max_iter cycles have run.
//
// Every sum runs over the first min(len x, len w) points in increasing index from 0.0, so
// results agree to the last bit with a plain sequential evaluation.  Independent evaluations
// (grid points, root searches, eta values) run on the worker pool; each one is a sequential
// pass over the sample, so the pool size never changes a result.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/pseudo_voigt.hpp"

namespace velmora::pseudo_voigt {

inline constexpr double kTwoPi = 6.283185307179586;          // 2 pi
inline constexpr double kEightLn2 = 5.545177444479562;       // 8 ln 2 = (2 sqrt(2 ln 2))^2
inline constexpr double kPartFloor = 1e-300;    // added to the denominator of the part weights
inline constexpr double kLogGuard = 1e-20;      // added to a density inside the logarithm
inline constexpr double kRootTolerance = 1e-10;  // delta of both Brent searches
inline constexpr double kWidthSearchLo = 0.1;    // lower end of the width bracket (units of x)
inline constexpr double kOneMinusEtaStart = 0.19999999999999996;  // 1 - 0.8 of the eta grid

// T = sum_{i < min(len x, len w)} w_i log(eta N(x_i) + ((1 - eta)/Z) L(x_i) + 1e-20).
double pv_log_likelihood(std::span<const double> x, std::span<const double> w, double x0,
                         double gamma, double eta, double x_min, double x_max);

// What the conditional maximisation fixes at its start: the weighted part weights
// wrG_i = w_i rG_i, wrL_i = w_i rL_i of the starting parameters and their sums.
struct PartWeights {
  PartWeights(std::span<const double> x, std::span<const double> w, double x0, double gamma,
              double eta, double x_min, double x_max);

  std::span<const double> x;  // the first n grid values
  double x_min, x_max;
  double e = 0.0;    // sum w_i rG_i
  double f = 0.0;    // sum w_i rL_i
  double sgx = 0.0;  // sum (w_i rG_i) x_i
  std::vector<double> wrg;  // w_i rG_i
  std::vector<double> hw;   // (0.5 w_i) rL_i, numerator of h
  std::vector<double> u1;   // (w_i rL_i) (2 x_i), numerator of the first Lorentzian sum of U
  std::vector<double> u2;   // (w_i rL_i) 2, numerator of the second
};

// The width equation S(x0, gamma) (gamma^3 times dQ/dgamma), one pass over the sample:
//   S = (f - e) gamma^2 - gamma^4 h - gamma^3 f (A - B) / (2 pi Z)
//       + 8 ln 2 sum w_i rG_i (x_i - x0)^2
//   h = sum 0.5 w_i rL_i / ((x_i - x0)^2 + g^2)
//   A = (x0 - x_max) / ((x0 - x_max)^2 + g^2),  B = (x0 - x_min) / ((x0 - x_min)^2 + g^2)
// with g = gamma/2 and Z the window mass at (x0, gamma).
double pv_gamma_score(const PartWeights& pw, double x0, double gamma);

// The centre map U(x0, gamma), one pass over the sample (c = x_min - x0, d = x_max - x0,
// k = 8 ln 2 / gamma^2, D_i = (x_i - x0)^2 + g^2):
//   U = (k sum w rG x + sum w rL 2x / D_i - (f/Z) (g/((c^2 + g^2) pi) - g/((d^2 + g^2) pi)))
//       / (k e + sum w rL 2 / D_i + 1e-300)
double pv_x0_update(const PartWeights& pw, double x0, double gamma);

// The conditional maximisation of one peak on the weighted sample (x, w); updates x0, gamma
// and eta in place.  Changes nothing when all three are fixed, w is empty or sums to 0.  The
// joint search of (x0, gamma) is skipped only when both fix_x0 and fix_gamma are set: with one
// of them set it still runs and may change both.  A free eta ends on the grid 0.80 ... 0.99.
void pv_conditional_max(std::span<const double> x, std::span<const double> w, double& x0,
                        double& gamma, double& eta, double x_min, double x_max, bool fix_x0,
                        bool fix_gamma, bool fix_eta);

// Bounds and stopping rule of the full optimisation.
struct FullOptSettings {
  double x_min = 0.0;      // bounds of x0 in the minimiser, and the window of Z
  double x_max = 0.0;
  double gamma_min = 0.0;  // bounds of gamma; a fitted gamma is clamped into them
  double gamma_max = 0.0;
  double r_eps = 0.0;      // stop when r_eps > (T_new - T_prev) / max(|T_prev|, 1e-300)
  std::uint64_t max_iter = 0;  // cycle limit (0: nothing changes)
};

// The full optimisation of one peak on (x, w); updates x0, gamma and eta in place.  Changes
// nothing when all three are fixed, w is empty or sums to 0.  A cycle whose minimiser refuses
// the box (a reversed bound pair) keeps x0 and gamma and still fits eta.  Throws InternalError
// "min > max, or either was NaN. min = ..., max = ..." when a cycle runs with gamma free, a
// gamma bound NaN and no reversed pair in the box (a fitted width could not be clamped).
void pv_full_optimization(std::span<const double> x, std::span<const double> w, double& x0,
                          double& gamma, double& eta, const FullOptSettings& settings,
                          bool fix_x0, bool fix_gamma, bool fix_eta);

// The pseudo-Voigt mixture: component k has x0[k], gamma[k], eta[k]; its update is the full
// optimisation (use_full_opt, with the EM loop's max_iter and r_eps) or the conditional
// maximisation (the gamma bounds then play no part).
// The window, width bounds and M-step switch of a pseudo-Voigt mixture.
struct PvShapeSettings {
  double x_min = 0.0;
  double x_max = 0.0;
  double gamma_min = 0.0;
  double gamma_max = 0.0;
  bool use_full_opt = false;
  std::uint64_t max_iter = 0;
  double r_eps = 0.0;
};

class PseudoVoigtShape final : public ComponentShape<3, PvShapeSettings> {
 public:
  using Settings = PvShapeSettings;

  PseudoVoigtShape(std::vector<double> x0, std::vector<double> gamma, std::vector<double> eta,
                   Flags fix_x0, Flags fix_gamma, Flags fix_eta, const Settings& settings)
      : ComponentShape({std::move(x0), std::move(gamma), std::move(eta)},
                       {std::move(fix_x0), std::move(fix_gamma), std::move(fix_eta)}, settings,
                       {{"gamma_pv", "eta"}, {"fix_x0", "fix_gamma", "fix_eta"}}) {}

  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
};

}  // namespace velmora::pseudo_voigt
