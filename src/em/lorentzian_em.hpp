// The Lorentzian's weighted single-peak fit (lorentzian_mle) and the Lorentzian mixture
// (run_lorentzian_em_loop); the density is shapes/lorentzian.hpp.
//
// The fit maximises sum_i w_i log(p_i + 1e-200) over x0 in [x_min, x_max] and gamma in
// [0.1, 2000] with L-BFGS-B (peak_fit.hpp).  It always starts from the weighted moments about
// zero, mean = sum x w / W and gamma = max(sqrt(sum x^2 w / W * ln 4), 0.1), never from the
// values passed in, which serve only as the values of fixed parameters.  After every successful
// minimisation it writes the line "LBFGSB finished" to file descriptor 1 (unless the caller
// has turned the line off for its call); a line that cannot be written is dropped, never an
// error of the fit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "em/em_engine.hpp"
#include "shapes/lorentzian.hpp"

namespace velmora::lorentzian {

inline constexpr double kLn4 = 1.3862943611198906;    // ln 4 (sqrt(ln 4 var): normal HWHM)
inline constexpr double kGammaMin = 0.1;              // width bounds of the fit
inline constexpr double kGammaMax = 2000.0;

// sum_{i < min(len x, len w)} w_i log(p_i + 1e-200), in index order.
double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> w,
                                 double x0, double gamma, double x_min, double x_max);

// The weighted maximum-likelihood fit of one peak; updates the free ones of x0 and gamma in
// place.  Changes nothing when both are fixed, w is empty, its total is below 1e-300, or the
// minimiser refuses the box (x0 free and x_min > x_max, or a NaN window).  After a successful
// minimisation writes "LBFGSB finished\n" to standard output when `announce` is set, sets a
// free x0 to the fitted value (not clamped) and a free gamma to the fitted value clamped into
// [0.1, 2000].
void lorentzian_fit(std::span<const double> x, std::span<const double> w, double& x0,
                    double& gamma, double x_min, double x_max, bool fix_x0, bool fix_gamma,
                    bool announce = true);

// Writes "LBFGSB finished\n" to file descriptor 1 (retried on interruption, the remainder
// written if the write comes back short), under a process-wide lock so that lines of
// concurrent fits never interleave.  A status line must never fail a fit: when the descriptor
// is closed, full, or a pipe without reader, the line is dropped at the first error (no retry
// on a dead descriptor), and the SIGPIPE a pipe without reader raises is taken back so that
// it cannot end the process.
void announce_finished() noexcept;

// The Lorentzian mixture: component k has centre x0[k] and width gamma[k]; every update is a
// lorentzian_fit on the component's weights.
// The window [x_min, x_max] of a Lorentzian mixture.
struct LorentzianWindow {
  double x_min = 0.0;
  double x_max = 0.0;
  bool announce = true;  // write the status line after each minimisation
};

class LorentzianShape final : public ComponentShape<2, LorentzianWindow> {
 public:
  LorentzianShape(std::vector<double> x0, std::vector<double> gamma, Flags fix_x0,
                  Flags fix_gamma, double x_min, double x_max, bool announce = true)
      : ComponentShape({std::move(x0), std::move(gamma)}, {std::move(fix_x0), std::move(fix_gamma)},
                       {x_min, x_max, announce}, {{"gamma_lo"}, {"fix_x0", "fix_gamma"}}) {}

  void fill_densities(std::span<const double> x, ColumnMatrix& density) const override;
  ComponentParams update_component(std::size_t k, std::span<const double> w,
                                   std::span<const double> x) const override;
};

}  // namespace velmora::lorentzian
