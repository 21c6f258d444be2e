// The TSDC single-peak fits (tsdc_mle_find_root, tsdc_mle_lbfgsb) and mixture
// (run_tsdc_em_loop); the density is shapes/tsdc.hpp.
//
// Fits of one peak to a weighted temperature sample (t, w), with z_i = ea / (k_B t_i):
//   tsdc_fit_find_root  solves the likelihood equation in ea with tau0 eliminated in closed form
//                       (A C = W B, below) by Brent's method, then the peak condition for tp;
//   tsdc_fit_lbfgsb     minimises the negative log-likelihood over (ea, tp) with L-BFGS-B and an
//                       analytic gradient, tau0 tied to (ea, tp) by the peak condition.
// The weighted sums they use (operation order as written; pairs run over i < min(len t, len w),
// W over the whole of w):
//   W = sum w_i                                          total weight
//   C = sum w_i / (t_i * k_B)          (root fit)        sum w_i / (k_B t_i)
//   C = sum (w_i / t_i) * (1/k_B)      (quasi-Newton fit)
//   A = sum E_2(z_i) * (w_i * t_i)                       sum w_i t_i E_2(z_i)
//   B = sum Ei((ea * -(1/k_B)) / t_i) * (w_i * -(1/k_B)) sum w_i E_1(z_i) / k_B
//   D = sum E_1(z_i) * (w_i * -(1/k_B))                  -sum w_i E_1(z_i) / k_B
// A, B, D and the W and C of the root fit's equation are parallel sums over blocks of
// kSumGrain points combined in a fixed pairwise tree (pool::deterministic_sums), so a fit does
// not depend on the number of worker threads; every other sum runs in index order on the
// calling thread.
//
// Failures are reported as a message (FitStatus), never thrown; the only exception is the
// InternalError of a clamp with a NaN bound (and of a per-component array that is too short in
// the mixture).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/tsdc.hpp"

namespace velmora::tsdc {

inline constexpr double kLogFloor = 1e-200;     // added to a density inside the logarithm
inline constexpr double kScoreFloor = 1e-10;    // added to C and W inside the ea equation
inline constexpr double kEmptyWeight = 1e-300;  // below this total weight a fit changes nothing
inline constexpr double kRootTolerance = 1e-8;  // brentq tolerance of both root searches
// Bracket of the peak-temperature search (K).
inline constexpr double kPeakSearchLow = 1.0;
inline constexpr double kPeakSearchHigh = 2000.0;

// Block size of the parallel weighted sums.  It fixes the order of their additions, and so
// their last bits: changing it changes fitted values in the last digits.
inline constexpr std::size_t kSumGrain = 256;

// One TSDC peak: activation energy (eV), pre-exponential time, peak temperature (K).
struct TsdcPeak {
  double ea = 0.0;
  double tau0 = 0.0;
  double tp = 0.0;
};

// Outcome of a single-peak fit: success, or the message of the failure.
struct FitStatus {
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};

// sum_{i < min(len t, len w)} ln(p_i + 1e-200) * w_i in index order from -0.0, p the
// grid-normalised density on the whole of t.
double tsdc_log_likelihood(std::span<const double> t, std::span<const double> w, double ea,
                           double tau0, double beta);

// Root fit.  fix_ea: success at once, nothing changes.  Otherwise ea from brentq on
//   g(e) = log10((C + 1e-10) beta) + ((log10 A - log10((W + 1e-10) beta)) - log10 B)
// over [ea_min, ea_max] (tolerance 1e-8), then tau0 = A(ea) / (W beta) with W summed over the
// whole of w without a floor.  fix_tp: tau0 from (ea, tp) instead, tp kept.  Otherwise tp from
// brentq on h(T) = (ln((T (T k_B)) / (beta ea)) - ea / (T k_B)) - ln tau0 over [1, 2000] K.
// Errors: "brentq failed: NoBracketing" / "brentq failed: NoConvergency".  A failed ea search
// changes nothing; a failed tp search leaves the new ea and tau0 written.
FitStatus tsdc_fit_find_root(std::span<const double> t, std::span<const double> w,
                             TsdcPeak& peak, double ea_min, double ea_max, double beta,
                             bool fix_ea, bool fix_tp);

// Quasi-Newton fit.  Success at once, nothing changed, when both flags are set, w is empty, or
// W < 1e-300.  Otherwise minimises -tsdc_log_likelihood over the free ones of (ea in
// [ea_min, ea_max], tp in [t_min, t_max]) with tau0 = tsdc_tau0_from_tp(ea, tp, beta), then
// writes the clamped free values and tau0 from the peak condition.  A minimiser error gives
// "L-BFGS-B failed" and changes nothing.  Throws InternalError when a free variable's bound is
// NaN (its read-back clamp could not be formed).
FitStatus tsdc_fit_lbfgsb(std::span<const double> t, std::span<const double> w, TsdcPeak& peak,
                          double ea_min, double ea_max, double t_min, double t_max, double beta,
                          bool fix_ea, bool fix_tp);

// The pieces of the fits, exposed for tests.
namespace detail {

// A(ea) and B(ea) (parallel, one pass).
std::array<double, 2> sums_a_b(std::span<const double> t, std::span<const double> w, double ea);
// A(ea) and D(ea) (parallel, one pass).
std::array<double, 2> sums_a_d(std::span<const double> t, std::span<const double> w, double ea);

// Objective of the quasi-Newton fit at (ea, tp) with its analytic gradient.
struct Objective {
  double value = 0.0;  // -tsdc_log_likelihood(t, w, ea, tau0(ea, tp), beta)
  double d_ea = 0.0;   // -(G - D / s)
  double d_tp = 0.0;   // -((ea (1/k_B)) / (tp tp) + 2 / tp) (R - W)
};

// Evaluates the objective, reusing `density` and `log_terms` as scratch.  The gradient is that
// of the density normalised on [0, inf): with s = beta tau0, R = A / s and
// G = (1 / (k_B tp) + 1 / ea) (W - R) - C (C in its quasi-Newton form, W over the whole of w).
Objective objective(std::span<const double> t, std::span<const double> w, double ea, double tp,
                    double beta, double total_w, double c_sum, std::vector<double>& density,
                    std::vector<double>& log_terms);

}  // namespace detail

// The TSDC mixture shape: fills its columns one after another, each split across the pool by
// grid points, and updates its components one after another, each written at once.
class TsdcShape final : public PeakShape {
 public:
  struct Settings {
    double beta = 1.0;
    double ea_min = 0.0;
    double ea_max = 0.0;
    double t_min = 0.0;  // tp bounds of the quasi-Newton fallback
    double t_max = 0.0;
  };

  TsdcShape(std::vector<double> ea, std::vector<double> tau0, std::vector<double> tp,
            Flags fix_ea, Flags fix_tp, const Settings& settings)
      : ea_(std::move(ea)),
        tau0_(std::move(tau0)),
        tp_(std::move(tp)),
        fix_ea_(std::move(fix_ea)),
        fix_tp_(std::move(fix_tp)),
        settings_(settings) {}

  std::size_t num_components() const override { return ea_.size(); }
  // Throws InternalError, before any column is written, when tau0 has fewer than K entries.
  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  // Total weight below 1e-300: the component's values unchanged, without looking at its tp or
  // fix entries.  Otherwise the root fit, falling back to the quasi-Newton fit on the values
  // the root fit left when it fails; a failure of the fallback is ignored.
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
  void set_component(std::size_t k, const ComponentParams& params) override;
  bool updates_in_sequence() const override { return true; }

  const std::vector<double>& ea() const { return ea_; }
  const std::vector<double>& tau0() const { return tau0_; }
  const std::vector<double>& tp() const { return tp_; }
  // Parameter j of every component: 0 ea, 1 tau0, 2 tp.
  const std::vector<double>& parameter(std::size_t j) const {
    return j == 0 ? ea_ : (j == 1 ? tau0_ : tp_);
  }

 private:
  std::vector<double> ea_;
  std::vector<double> tau0_;
  std::vector<double> tp_;
  Flags fix_ea_;
  Flags fix_tp_;
  Settings settings_;
};

}  // namespace velmora::tsdc
