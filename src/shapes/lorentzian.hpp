// Lorentzian (Cauchy) peaks: the window-truncated, grid-normalised density, its weighted
// log-likelihood, the bounded single-peak fit, and the Lorentzian mixture shape.
//
// A peak has a centre x0 and a full width at half maximum gamma (half width g = gamma / 2).
// Its profile on the grid is the Cauchy density scaled to the window [x_min, x_max],
//
//   q_i = gamma / (((x_i - x0)^2 + g^2) D),   D = pi Z,
//   Z   = max(atan((x_max - x0) / g) / pi - atan((x_min - x0) / g) / pi, 1e-300),
//
// i.e. 2 / (pi g) times the Cauchy kernel, divided by the kernel's mass Z on the window, and the
// density is p_i = q_i / T with T = max(trapezoid sum of q over the grid, 1e-300) (T = 1e-300
// for fewer than two points; a NaN Z or T also takes the floor).  While T exceeds the floor the
// factor 2 / D cancels and p is the Cauchy profile with trapezoid integral 1 over the grid.
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
#include "shapes/registry.hpp"

namespace velmora::lorentzian {

inline constexpr double kInvPi = 0.3183098861837907;  // 1/pi
inline constexpr double kPi = 3.141592653589793;      // pi
inline constexpr double kLn4 = 1.3862943611198906;    // ln 4 (sqrt(ln 4 var): normal HWHM)
inline constexpr double kFloor = 1e-300;              // floor of the window mass and of T
inline constexpr double kGammaMin = 0.1;              // width bounds of the fit
inline constexpr double kGammaMax = 2000.0;

// The profile at one parameter set (the kernel of peak_fit::minimise_on_grid): the window
// mass and the constants of q are formed once, q_i point by point.
struct LorentzianKernel {
  double x0 = 0.0, gamma = 0.0, g2 = 0.0, d_norm = 0.0;
  LorentzianKernel() = default;
  LorentzianKernel(double x0, double gamma, double x_min, double x_max);
  // q_i for i in [begin, end).
  void fill(std::span<const double> x, std::span<double> q, std::size_t begin,
            std::size_t end) const;
  // max(trapezoid sum of q, 1e-300); 1e-300 for fewer than two points or a NaN sum.
  double normaliser(std::span<const double> x, std::span<const double> q) const;
  bool zero_density(double) const { return false; }
};

// Writes the profile q (unnormalised, see above) at every grid value into q[0..len x) and
// returns the floored trapezoid normaliser T.  q must have at least len(x) entries.
double lorentzian_profile(std::span<const double> x, std::span<double> q, double x0,
                          double gamma, double x_min, double x_max);

// Writes the density p_i = q_i / T at every grid value into p (at least len(x) entries) and
// returns T.
double lorentzian_pdf(std::span<const double> x, std::span<double> p, double x0, double gamma,
                      double x_min, double x_max);

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

// The registry entry "lorentzian" (code 1): parameters (x0, gamma) in internal units; the
// density is lorentzian_pdf's, the profile the kernel's q (the density times T).
const shapes::ShapeEntry& registry_entry();

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
