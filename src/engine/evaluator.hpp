// The log-likelihood of one spectrum under a model (engine.hpp) with its derivatives over theta:
// the objective the engine's fit maximises (optim/bounded_newton.hpp) and the source of every
// quantity its report gives.
//
// An evaluation maps theta to every parameter (model.cpp), evaluates the densities it needs --
// each peak's own, and for the shape parameters that move without closed-form derivatives the
// pair shifted by +-h (the registry's difference step) -- each one a task on the pool, and forms
//
//   mu = pi + columns + sum_s k_s L_s pi,             the expected counts (engine.hpp);
//   l  = sum_i c_i log((mu_i + guard) / c_i) - (mu_i - c_i),  relative to the saturated model;
//   the score  J^T sum_i w_i d mu_i / d p,  w_i = c_i / mu_i - 1;
//   the expected information  J^T (sum_i d mu_i d mu_i^T / mu_i) J;
//   the observed information  the expected one's counterpart with weights c_i / mu_i^2, minus
//     the second derivatives of mu weighted by w (within a peak, with its area and with the
//     shares of the terms that follow the peaks), minus the curvature of the ties;
//   the complete-data information of EM's formulation (complete_information below).
// J is d p / d theta; the sums over the moving parameters p run in index order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "optim/bounded_newton.hpp"
#include "shapes/registry.hpp"

namespace velmora::engine {

// No index: a parameter that does not move, a density that was not evaluated.
inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The central-difference step of parameter a of a peak of `shape` with parameters p (its
// registry step rule; the rule's own step where that gives no positive finite value).
double difference_step(const shapes::ShapeEntry& shape, const double* p, std::size_t a);

// One density to evaluate: peak `peak` at the shape parameters `params`.
struct DensitySet {
  std::size_t peak;
  std::array<double, shapes::kMaxShapeParams> params;
};

class Evaluator final : public optim::Objective {
 public:
  Evaluator(const Model& m, std::span<const double> counts);

  // The log-likelihood of the saturated model, sum_i c_i log c_i - c_i - log Gamma(c_i + 1):
  // the objective plus this is the Poisson log-likelihood.
  double constant() const { return constant_; }

  // The objective at theta; -inf where a tied centre lies outside the window (Model::placed),
  // so that the fit refuses every step that would put it there.
  double value(std::span<const double> theta) override;
  bool admissible(std::span<const double> theta) override;
  void derivatives(std::span<const double> theta, optim::Derivatives& d) override;
  void complete(optim::Derivatives& d) override;
  void observed(optim::Derivatives& d) override;
  // Each free parameter's scale for the trust region: a peak's width for its centre, a width,
  // an area or a background count for itself (with a floor of a thousandth of the counts), a
  // fifth of a shape's plain parameter.
  void scales(std::span<const double> theta, std::span<double> out) override;

  // How observed() forms the mixed second derivatives within a peak: by central differences
  // (four densities per pair of its moving shape parameters, the information a fit reports)
  // or one-sided from the shifts at hand (one density per pair, for a fit's Newton steps,
  // which need the terms -- a Voigt's sigma and gamma trade against each other -- but not to
  // the last digits, while the central corners would be most of a step's densities).
  void set_central_corners(bool on) { central_ = on; }

  // Passes over the data so far (value, derivative and observed-information evaluations).
  std::uint64_t passes() const { return passes_; }

  // At the last derivatives call: the parameters, the expected counts of every peak and every
  // term that follows the peaks, and each peak's density.
  const Mapped& mapped() const { return mapped_; }
  const std::vector<std::vector<double>>& peak_counts() const { return peak_counts_; }
  // The expected counts of the whole model, and the counts fitted.
  std::span<const double> expected() const { return mu_; }
  std::span<const double> counts() const { return counts_; }
  const std::vector<std::vector<double>>& follow_counts() const { return follow_counts_; }
  std::span<const double> density(std::size_t peak) const { return column(peak); }

  // The density of peak j with shape parameter a moved by +h (sign > 0) or -h at the last
  // derivatives call, h its difference step: that call's shifted density where it had one, its
  // second-order Taylor polynomial where it had the derivatives in closed form (a moving
  // parameter of a peak with counts; the remainder is of order h^3), otherwise worked out here.
  std::vector<double> shifted_density(std::size_t j, std::size_t a, int sign) const;

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

    bool moves(std::size_t a) const;
    // Every parameter slot without a shifted density yet.
    static constexpr std::array<std::size_t, shapes::kMaxShapeParams> no_shifts() {
      std::array<std::size_t, shapes::kMaxShapeParams> slots{};
      slots.fill(kNone);
      return slots;
    }
  };

  // A mixed second derivative within a peak that observed() forms: shape parameters a and b of
  // peak `peak`, from the closed form (first == kNone) or from the corner densities from
  // `first` on.
  struct Corner {
    std::size_t peak, a, b, first;
  };

  // The steps of derivatives(), in their order.
  void find_moving();
  std::vector<DensitySet> plan_densities();
  void evaluate_densities(const std::vector<DensitySet>& sets, std::span<const double> theta);
  void difference_derivatives();
  void form_weights(std::vector<double>& fisher_w, std::vector<double>& observed_w);
  void form_mu_columns();
  void form_informations(const std::vector<double>& fisher_w,
                         const std::vector<double>& observed_w);
  void add_within_peak_terms();

  // The steps of observed(): the corner densities to evaluate, and one corner's term.
  std::vector<Corner> plan_corners(std::vector<DensitySet>& sets) const;
  double corner_term(const Corner& c, const std::vector<double>& corner_densities) const;

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
                                           const std::vector<double>& ratio_w) const;
  // Its parts: the peaks' (which also gives the columns dT_j / dp_e of every moving peak
  // parameter, `own`), the background columns', and the terms' that follow the peaks.
  void add_peak_terms(const std::vector<double>& ratio_w, std::vector<std::vector<double>>& own,
                      std::vector<double>& out) const;
  void add_column_terms(const std::vector<double>& p, const std::vector<double>& ratio_w,
                        std::vector<double>& out) const;
  void add_follow_terms(const std::vector<double>& p, const std::vector<double>& ratio_w,
                        const std::vector<std::vector<double>>& own,
                        std::vector<double>& out) const;

  std::size_t share_index(std::size_t s) const {
    return m_.first_background + m_.columns.size() + s;
  }
  // The peak and the position within it of parameter e (< first_background).
  std::pair<std::size_t, std::size_t> owner(std::size_t e) const;
  DensitySet base_set(const std::vector<double>& p, std::size_t j) const;
  // Density s of the last derivatives call (the peaks' own first, then the shifted ones).
  std::span<const double> column(std::size_t s) const {
    return {densities_.data() + s * m_.n_points(), m_.n_points()};
  }

  // mu from the parameters and the peaks' densities (the first K columns of `dens`); also the
  // expected counts of every peak and of every term that follows the peaks.
  void expected_counts(const std::vector<double>& p, const std::vector<double>& dens,
                       std::vector<double>& mu, std::vector<std::vector<double>>& peaks,
                       std::vector<std::vector<double>>& follows) const;
  // sum_i c_i log((mu_i + guard) / c_i) - (mu_i - c_i) (minus half the deviance), in index
  // order; -inf when not finite.
  double poisson(const std::vector<double>& mu) const;
  // v <- v + sum_s k_s L_s v (the terms that follow the peaks also follow their derivatives).
  void add_follows(const std::vector<double>& p, std::span<double> v,
                   std::vector<double>& scratch) const;
  // J^T X J for a matrix X over the moving parameters.
  std::vector<double> to_theta(const std::vector<double>& x) const;

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
  std::vector<double> mu_, w_, w_tilde_, fisher_w_, observed_w_;
  std::vector<std::vector<double>> adjoint_;
  std::vector<double> columns_;
  std::vector<double> score_p_, fisher_p_, observed_p_;

  // Buffers of value(), and the point of its last call.
  std::vector<double> value_densities_;
  std::vector<double> value_theta_;
  std::vector<std::vector<double>> value_peaks_, value_follows_;
  Mapped value_mapped_;
  std::vector<DensitySet> value_sets_;
  std::vector<double> value_mu_;

  // Scratch of the passes, kept so that a fit allocates once rather than at every pass.
  mutable std::vector<double> pi_;  // expected_counts: the peaks' counts
  std::vector<double> scratch_;     // form_mu_columns
};

}  // namespace velmora::engine
