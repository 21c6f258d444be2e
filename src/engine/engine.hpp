// The velmora package's fitting engine: a spectrum of Poisson counts fitted by a sum of peaks
// of any shapes and a background, by maximum likelihood over one vector of free parameters.
//
// The model.  Channel i (grid value u_i, width du_i) has the expected count
//
//   mu_i = pi_i + sum_b C_b g_b(u_i) du_i + sum_s k_s (L_s pi)_i,
//   pi_i = sum_j A_j f_j(u_i; s_j) du_i,
//
// with f_j the density of peak j as its shape forms it (shapes/registry.hpp), A_j its area in
// counts, s_j its shape parameters, g_b the fixed background columns (densities per unit of u)
// with their counts C_b, and the terms L_s pi that follow the peaks, k_s their shares
// (follow_terms.hpp): linear operators on the peaks' counts per channel pi, recomputed from
// the peaks at every evaluation --
//
//   the Shirley step (an active Shirley background): the peaks' counts integrated from one
//     side, (L pi)_i = sum_{l < i} pi_l + pi_i / 2 (or l > i), O(n), k the share per count;
//   a loss kernel (an active Tougaard background): the dense triangular matrix
//     (L pi)_i = dx_i sum_{l on the loss side of i} K(|x_i - x_l|) pi_l, with K Tougaard's
//     inelastic cross-section per unit of B evaluated in the caller's energy units (x = s u,
//     dx_i = s du_i), k = B in eV^2; K is tabulated once per model (one row on a uniform
//     grid), each application O(n^2 / 2).
//
// The derivatives of mu follow the operators exactly: d mu / d p = (I + sum_s k_s L_s) d pi / d p
// for a peak parameter, L_s pi for a share, and the score and information use the adjoints
// L_s^T.  The log-likelihood of the counts c_i is Poisson's,
//
//   l = sum_i c_i log(mu_i + 1e-100) - mu_i - log Gamma(c_i + 1)
//
// (the guard keeps a channel that no term reaches finite).
//
// The parameters.  Every parameter of the model (each peak's shape parameters then its area,
// peak after peak; then the column counts C_b; then the shares k_s) is free, fixed or tied.
// Free ones form the vector theta, each with its bounds; a tie is a compiled expression of
// other parameters in the caller's units (tie_program.hpp), evaluated in the order given, with
// its first and second derivatives, so that the map theta -> parameters is exact to rounding
// and the information below accounts for curved ties.
//
// The fit (optim/bounded_newton.hpp).  Levenberg-Marquardt steps on the expected information
// far from the optimum and Newton steps on the observed information near it, over the free
// parameters not held on a bound, until the predicted gain of a full Newton step is within the
// tolerance.  Derivatives of the densities are central differences of the shapes' own
// densities with the steps of the registry; those of the likelihood are exact given them.
//
// Work on the pool: the densities of every parameter set an evaluation needs (each peak's own,
// and its shifted copies) are computed side by side, each one a task; sums run in index order,
// so results do not depend on the number of workers.
//
// The parts: model.cpp builds a model and maps theta to its parameters; evaluator.hpp forms the
// likelihood, score and informations; fit.cpp runs the maximiser; report.hpp gives what a
// fitted point reports; follow_terms.hpp and tie_program.hpp are the operators of the terms
// that follow the peaks and the compiled ties.
//
// Stopping.  Besides the tasks of the pool, every loop whose body is a pass over the grid or a
// row of a matrix over the parameters looks at the call's stop request (stop.hpp) before it
// runs: with hundreds of parameters the passes of one step, the pair loops of the informations,
// the factorisations and the report take seconds, and a fit answers Ctrl-C within milliseconds
// in each of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/follow_terms.hpp"
#include "engine/tie_program.hpp"
#include "shapes/registry.hpp"

namespace velmora::engine {

// Fixed background columns on the grid, one vector of values per column.
using Columns = std::vector<std::vector<double>>;

// Guard added to an expected count inside the logarithm and the ratios c / mu.
inline constexpr double kCountGuard = 1e-100;

enum class Role : std::uint8_t { free = 0, fixed = 1, tied = 2 };

struct PeakTerm {
  const shapes::ShapeEntry* shape = nullptr;
  double beta = 1.0;      // TSDC heating rate
  std::size_t first = 0;  // index of its first parameter; its area follows its shape params
};

// A model on one grid, shared by every spectrum fitted with it.  Build it with make_model.
struct Model {
  std::vector<double> u;       // the grid, strictly increasing
  std::vector<double> widths;  // channel widths du_i, positive
  double x_min = 0.0;          // the window (densities that are truncated to it)
  double x_max = 0.0;
  std::vector<PeakTerm> peaks;
  Columns columns;             // g_b on the grid
  std::vector<FollowTerm> follows;  // the terms that follow the peaks (follow_terms.hpp)
  std::size_t first_background = 0;  // index of C_0

  // Every parameter: role, theta index (free) or tie (tied), value (fixed, and the start of a
  // free one), and the caller's units: user = scale * value + offset.
  std::vector<Role> roles;
  std::vector<std::size_t> slots;
  std::vector<double> values;
  std::vector<double> scale;
  std::vector<double> offset;
  // Ties in evaluation order: programs[t] gives parameter targets[t].
  std::vector<ties::Program> programs;
  std::vector<std::size_t> targets;
  // Bounds of theta.
  std::vector<double> lower;
  std::vector<double> upper;
  // The tied parameters that place a peak on the axis (kind location): no bound holds them in
  // the window, so a fit refuses every point that puts one outside it (`placed`).
  std::vector<std::size_t> tied_locations;

  // Whether every tied centre of the parameters p lies in the window [x_min, x_max]: a line
  // centred outside it pours its whole area into the window's edge, and its area and centre
  // then trade against each other without end.
  bool placed(const std::vector<double>& p) const {
    for (const std::size_t e : tied_locations) {
      if (!(p[e] >= x_min && p[e] <= x_max)) return false;
    }
    return true;
  }

  std::size_t n_params() const { return roles.size(); }
  std::size_t n_theta() const { return lower.size(); }
  std::size_t n_points() const { return u.size(); }
  std::size_t area_index(std::size_t peak) const {
    return peaks[peak].first + peaks[peak].shape->params.size();
  }
  shapes::ShapeContext context(std::size_t peak) const {
    return {x_min, x_max, peaks[peak].beta};
  }
};

// Everything make_model needs, as the module surface hands it over.
struct FollowInput {
  std::size_t kind = 0;  // FollowKind
  int side = 1;          // +1 below, -1 above
  std::vector<double> params;  // the kind's parameters, in its order
};

struct ModelInput {
  std::vector<double> u, widths;
  double x_min = 0.0, x_max = 0.0;
  std::vector<std::size_t> shapes;  // per peak: registry code
  std::vector<double> betas;        // per peak
  std::vector<std::size_t> roles;   // per parameter: Role
  std::vector<std::size_t> slots;   // per parameter: theta index (free) or tie (tied)
  std::vector<double> values, scale, offset;  // per parameter
  std::vector<double> lower, upper;           // per free parameter
  std::vector<double> tie_code;          // (code, operand) pairs of every tie, one after another
  std::vector<std::size_t> tie_start;    // start of tie t in pairs; one entry more than ties
  std::vector<std::size_t> tie_target;   // parameter each tie gives
  Columns columns;
  std::vector<FollowInput> follows;  // the terms that follow the peaks
};

// Checks and builds a model.  Throws std::invalid_argument naming what is inconsistent:
// lengths, codes, a grid that is not increasing, a non-positive width, a free parameter without
// a theta index or a theta index used twice, a tie whose target is not tied or that uses a tie
// given later, bounds that are NaN or reversed, a zero scale.
Model make_model(ModelInput input);

// The parameters at theta, with their derivatives.
struct Mapped {
  std::vector<double> p;    // every parameter, in the model's units
  std::vector<double> jac;  // d p / d theta, n_params x n_theta row-major
  // d2 p_e / d theta d theta (n_theta^2) for tied parameters whose tie is curved; empty
  // otherwise.
  std::vector<std::vector<double>> hess;
};
Mapped map_parameters(const Model& m, std::span<const double> theta, bool second_order);
// The same, written into `out` (whose buffers are reused from one call to the next).
void map_parameters(const Model& m, std::span<const double> theta, bool second_order,
                    Mapped& out);

// The fit of one spectrum.
struct FitSettings {
  double tolerance = 1e-9;  // relative, on the log-likelihood (bounded_newton.hpp)
  std::uint64_t max_iterations = 1000;
  bool start_near = false;  // the start is the fit of a neighbouring spectrum
};

enum class FitStatus : std::uint8_t {
  converged = 0,
  max_iterations = 1,
  stalled = 2,
  not_finite = 3,  // the start gives no finite likelihood, or the fit left finite values
};

struct FitOutcome {
  FitStatus status = FitStatus::converged;
  double log_likelihood = 0.0;  // Poisson, constant included
  double decrement = 0.0;       // half the Newton decrement at the end
  std::uint64_t iterations = 0;
  std::uint64_t evaluations = 0;  // passes over the data (value and derivative evaluations)
  bool converged() const { return status == FitStatus::converged; }
};

// Fits `counts` (one per grid point) from `theta`, which ends at the fitted point.
FitOutcome fit(const Model& m, std::span<const double> counts, std::span<double> theta,
               const FitSettings& settings);

// The log-likelihood at theta (constant included).
double log_likelihood(const Model& m, std::span<const double> counts,
                      std::span<const double> theta);

// What a fitted point reports.
struct Report {
  double log_likelihood = 0.0;
  Mapped mapped;                     // parameters and their Jacobian
  std::vector<double> score;         // n_theta
  std::vector<double> information;   // observed, n_theta^2
  std::vector<double> covariance;    // n_theta^2: zero rows for parameters held on a bound,
                                     // NaN for parameters the data do not determine
  std::vector<std::uint8_t> at_bound;      // per theta
  std::vector<std::uint8_t> undetermined;  // per theta
  std::vector<double> stderr_params;       // per parameter (0 for fixed ones)
  // Per background term (columns, then terms that follow the peaks): its counts in the window;
  // then the share of every term that follow the peaks; their covariance (square).
  std::vector<double> background_counts;
  std::vector<double> background_covariance;
  // Per peak: the shape's own derived quantities and their standard errors (kMaxExtras each).
  std::vector<double> extras, extras_stderr;
  // With curves: expected counts per channel of every peak (peaks x points) and background
  // term (terms x points).
  std::vector<double> peak_curves, background_curves;
  // With quantities: per peak height (counts per channel at the maximum, for the median
  // channel width) and FWHM (units of u), with standard errors.
  std::vector<double> height, height_stderr, fwhm, fwhm_stderr;
  // The dispersion of the counts about the model, its p-value and degrees of freedom
  // (dispersion_test below).
  double dispersion = 0.0, dispersion_p = 0.0, dispersion_dof = 0.0;
};

// Channels whose expected count is below this leave the dispersion: their Pearson terms are
// almost always about mu (no count) and rarely huge (one count), so that channels the model
// expects next to nothing in -- the tails of a peak without a background -- would drag phi
// far below 1 and leave its distribution to a few rare counts.
inline constexpr double kDispersionMinExpected = 1.0;

// The dispersion of counts c about expected counts mu with `free` parameters fitted,
// {phi, p, dof}: over the channels with mu_i >= kDispersionMinExpected, Pearson's
// chi2 = sum_i (c_i - mu_i)^2 / mu_i, dof = their number - free, phi = chi2 / dof ({NaN, NaN,
// 0} without degrees of freedom).
//
// The p-value compares chi2 with its distribution under Poisson noise, matched in its first
// two moments by a scaled chi-square g chi2_h: mean dof, variance dof / used * sum_i (2 +
// 1 / mu_i), the Poisson fourth moment's 1 / mu_i term included, so that channels of few
// counts, where Pearson's sum has a heavier upper tail, do not pass for overdispersion (with
// many counts per channel it is chi2_dof).  p is twice the smaller tail, at most 1.
std::array<double, 3> dispersion_test(std::span<const double> counts,
                                      std::span<const double> mu, std::size_t free);

struct ReportOptions {
  bool curves = false;
  bool quantities = false;
};

Report report(const Model& m, std::span<const double> counts, std::span<const double> theta,
              const ReportOptions& options);

// fit, then report at the fitted point, sharing the evaluations of the last step.
std::pair<FitOutcome, Report> fit_and_report(const Model& m, std::span<const double> counts,
                                             std::span<double> theta,
                                             const FitSettings& settings,
                                             const ReportOptions& options);

// Expected counts per unit of u of every peak at arbitrary points (peaks x points): A_j times
// its density in the normalisation it has on the model's grid.
std::vector<double> peak_densities_at(const Model& m, std::span<const double> theta,
                                      std::span<const double> points);

}  // namespace velmora::engine
