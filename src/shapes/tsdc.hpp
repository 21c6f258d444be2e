// Thermally stimulated depolarisation current (TSDC) peaks: the peak density as both fitting
// layers form it.  The single-peak maximum-likelihood fits and the mixture are em/tsdc_em.hpp.
//
// A polarised sample heated at the constant rate beta releases its dipoles with the thermally
// activated relaxation time tau(T) = tau0 exp(ea / (k_B T)).  The current of one relaxation
// process, normalised over the temperature axis, is the density
//
//   y(T) = 1/(beta tau0) exp(-ea/(k_B T)) exp(-(T/(beta tau0)) E_2(ea/(k_B T))),
//
// using int_0^T exp(-ea/(k_B T')) dT' = T E_2(ea/(k_B T)).  It integrates to 1 over [0, inf)
// for ea > 0 and beta tau0 > 0, and peaks at the temperature tp with
//
//   beta ea / (k_B tp^2) = (1/tau0) exp(-ea/(k_B tp))          (the peak condition).
//
// On a sample grid the density is normalised by its trapezoid area over the grid (plus 1e-100).
// Units: ea in eV, t and tp in K, tau0 in the time unit of beta (K per that unit); only the
// product beta tau0 enters the density.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "shapes/registry.hpp"

namespace velmora::tsdc {

inline constexpr double kBoltzmann = 8.61733034e-5;          // k_B, eV/K
inline constexpr double kInvBoltzmann = 11604.522056653568;  // float64 nearest 1 / k_B, K/eV
inline constexpr double kAreaFloor = 1e-100;    // added to the trapezoid area of a density
// Points per task of the per-point work.  Each point is computed on its own, so the split
// never changes a value; it only has to keep the tasks large against their overhead.  A task
// evaluates its exponential integrals in one batch, in scratch of this size.
inline constexpr std::size_t kPointGrain = 256;
using Batch = std::array<double, kPointGrain>;

// The unnormalised peak current y(T), evaluated as
//   z = (ea * (1/k_B)) / T,  e = E_2(z),  q = (-1 / (beta tau0)) * T,  a = (ea / -k_B) / T,
//   y = exp(e * q + a) / (beta tau0).
// T = 0 gives 0 for ea > 0; T < 0 gives NaN; ea = 0 gives exp(-T/(beta tau0)) / (beta tau0).
double peak_current(double t, double ea, double tau0, double beta);

// Grid-normalised density: out[i] = y(t[i]) for i < m = min(len t, len out) (in parallel), the
// trapezoid area over those m points summed in index order from -0.0 plus 1e-100 (exactly
// 1e-100 below two points), then every element of out divided by it (in parallel).  The grid
// is used as given: a descending grid gives a negative area and a density of negative sign.
void tsdc_pdf(std::span<const double> t, std::span<double> out, double ea, double tau0,
              double beta);

// tau0 from the peak condition: with u = k_B tp, exp((-ea) / u) * ((tp * u) / (beta * ea)),
// that is k_B tp^2 / (beta ea) exp(-ea / (k_B tp)).
double tsdc_tau0_from_tp(double ea, double tp, double beta);

// The integral of the (unnormalised) current over [t_min, t_max], in closed form.
double tsdc_window_mass(double ea, double tau0, double beta, double t_min, double t_max);

// The full width at half maximum of a peak at tp (it does not depend on the heating rate), and
// the activation energy that gives a peak at tp the full width fwhm (NaN where none is found);
// roots of the half-maximum condition.
double tsdc_fwhm(double ea, double tp);
double tsdc_ea_from_fwhm(double fwhm, double tp);

// Pieces of the density that the fits evaluate beside their own sums (em/tsdc_em.cpp), so that
// both form the same values.
//
// The peak current at T from e = E_2(ea / (k_B T)):
//   q = (-1 / (beta tau0)) T,  a = (ea / -k_B) / T,  y = exp(e q + a) / (beta tau0).
inline double current_from_e2(double e2, double t, double ea, double tau0, double beta) {
  const double q = (-1.0 / (beta * tau0)) * t;
  const double a = (ea / (-kBoltzmann)) / t;
  return std::exp(e2 * q + a) / (beta * tau0);
}

// z_i = (ea * (1/k_B)) / t_i for i in [begin, end), into scratch indexed from 0.
inline void fill_z(std::span<const double> t, double ea, std::size_t begin, std::size_t end,
                   Batch& z) {
  for (std::size_t i = begin; i < end; ++i) z[i - begin] = (ea * kInvBoltzmann) / t[i];
}

// The first len entries of a scratch batch.
inline std::span<double> head(Batch& b, std::size_t len) { return {b.data(), len}; }

// Trapezoid area over the first m points of (t, y), in index order from -0.0, plus 1e-100.
double trapezoid_area(std::span<const double> t, std::span<const double> y, std::size_t m);

// The registry entry "tsdc", fitted on the temperature axis as it is: parameters
// (ea, tp), tau0 = tsdc_tau0_from_tp(ea, tp, beta) following from the peak condition (an
// extra quantity, with the whole-line area).  The density is peak_current divided by its
// integral over the window (tsdc_window_mass, not the trapezoid area), and so is the profile.
const shapes::ShapeEntry& registry_entry();

}  // namespace velmora::tsdc
