// The Voigt density on a grid, its derivatives in closed form and the shape's registry entry
// (voigt.hpp).
#include "shapes/voigt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "shapes/fwhm_inverse.hpp"
#include "shapes/pseudo_voigt.hpp"
#include "special/voigt_derivatives.hpp"
#include "special/voigt_profile.hpp"
#include "worker_pool.hpp"

namespace velmora::voigt {

double floored_window_mass(double x0, double sigma, double gamma, double x_min, double x_max) {
  const double mass = special::voigt_window_mass(x0, sigma, gamma, x_min, x_max);
  return mass > kMassFloor ? mass : kMassFloor;  // max(mass, 1e-300); NaN takes the floor
}

std::vector<double> voigt_predict(std::span<const double> x, double x0, double sigma,
                                  double gamma, double x_min, double x_max) {
  const double mass = floored_window_mass(x0, sigma, gamma, x_min, x_max);
  std::vector<double> out(x.size(), 0.0);
  pool::for_each_block(x.size(), kGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      out[j] = special::voigt_density(x[j] - x0, sigma, gamma) / mass;
    }
  });
  return out;
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

using pseudo_voigt::kFwhmPerSigma;

// A Gaussian and a Lorentzian part of the same full width at half maximum f make a Voigt peak
// of full width about 1.6376 f (0.5346 + sqrt(0.2166 + 1) in Olivero's approximation).
constexpr double kFwhmPerEqualPartWidth = 1.6376;

// The engine's density: with both widths positive and finite, from the engine's own Faddeeva
// function (special/faddeeva.hpp), the same one its derivatives take; otherwise (a pure
// Gaussian or Lorentzian, or parameters the fit refuses) the published profile's.
void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "voigt");
  const double x0 = p[0];
  const double sigma = p[1];
  const double gamma = p[2];
  if (std::isfinite(x0) && sigma > 0.0 && gamma > 0.0 && std::isfinite(sigma) &&
      std::isfinite(gamma)) {
    const double raw = special::voigt_window_mass_value(x0, sigma, gamma, ctx.x_min, ctx.x_max);
    const double mass = raw > kMassFloor ? raw : kMassFloor;  // NaN takes the floor
    pool::for_each_block(x.size(), kGrain, [&](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
        out[j] = special::voigt_value(x[j] - x0, sigma, gamma) / mass;
      }
    });
    return;
  }
  const double mass = floored_window_mass(x0, sigma, gamma, ctx.x_min, ctx.x_max);
  pool::for_each_block(x.size(), kGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      out[j] = special::voigt_density(x[j] - x0, sigma, gamma) / mass;
    }
  });
}

// registry_density's derivatives: D = V / M with V the density and M the window mass, so
//   D_a = (V_a - D M_a) / M,   D_ab = (V_ab - D_a M_b - D_b M_a - D M_ab) / M.
// One complex Faddeeva evaluation per grid point and two hundred for the mass, where the
// differences took seven densities (and their masses) and three more for the mixed terms.
bool registry_derivatives(std::span<const double> x, const double* p,
                          const shapes::ShapeContext& ctx, std::span<double> first,
                          std::span<double> second) {
  const double x0 = p[0];
  const double sigma = p[1];
  const double gamma = p[2];
  if (!std::isfinite(x0) || !(sigma > 0.0) || !(gamma > 0.0) || !std::isfinite(sigma) ||
      !std::isfinite(gamma)) {
    return false;
  }
  const special::VoigtJet m =
      special::voigt_window_mass_jet(x0, sigma, gamma, ctx.x_min, ctx.x_max);
  const double mass = m[0];
  if (!(mass > kMassFloor) || !std::isfinite(mass)) return false;
  const std::size_t n = x.size();
  shapes::require_grid_length(n, first.size() / 3, "voigt");
  // Entry of the jet holding the second derivative in parameters a and b.
  static constexpr std::array<std::array<std::size_t, 3>, 3> kSecond{
      {{4, 5, 6}, {5, 7, 8}, {6, 8, 9}}};
  pool::for_each_block(n, kGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const special::VoigtJet v = special::voigt_jet(x[j] - x0, sigma, gamma);
      const double d = v[0] / mass;
      std::array<double, 3> da{};
      for (std::size_t a = 0; a < 3; ++a) {
        da[a] = (v[1 + a] - d * m[1 + a]) / mass;
        first[a * n + j] = da[a];
      }
      for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) {
          const std::size_t e = kSecond[a][b];
          second[(a * 3 + b) * n + j] =
              (v[e] - da[a] * m[1 + b] - da[b] * m[1 + a] - d * m[e]) / mass;
        }
      }
    }
  });
  return true;
}

void registry_profile(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "voigt");
  for (std::size_t j = 0; j < x.size(); ++j) {
    out[j] = special::voigt_density(x[j] - p[0], p[1], p[2]);
  }
}

// Equal part widths f = fwhm / 1.6376: sigma of a Gaussian of full width f, and the half width
// f / 2 of a Lorentzian of full width f.
void registry_start(double position, double fwhm, double* p) {
  const double f = fwhm / kFwhmPerEqualPartWidth;
  p[0] = position;
  p[1] = f / kFwhmPerSigma;
  p[2] = 0.5 * f;
}

// The whole line over the window's share of it.
void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  out[0] = 1.0 / floored_window_mass(p[0], p[1], p[2], ctx.x_min, ctx.x_max);
}

// Olivero's approximation of the full width from the parts' full widths f_l = 2 gamma and
// f_g = 2.3548 sigma, f = 0.5346 f_l + sqrt(0.2166 f_l^2 + f_g^2): only a first guess here.
constexpr double kOliveroLinear = 0.5346;
constexpr double kOliveroSquare = 0.2166;

double olivero_half_width(double sigma, double gamma) {
  const double fl = 2.0 * gamma;
  const double fg = kFwhmPerSigma * sigma;
  return 0.5 * (kOliveroLinear * fl + std::sqrt(kOliveroSquare * fl * fl + fg * fg));
}

// The whole-line area's factor 1 / M with its gradient -M_a / M^2, from the window mass's jet:
// two half-line quadratures where central differences took fourteen.
bool registry_extras_derivatives(const double* p, const shapes::ShapeContext& ctx, double* out,
                                 double* gradient) {
  const double sigma = p[1];
  const double gamma = p[2];
  if (!std::isfinite(p[0]) || !(sigma > 0.0) || !(gamma > 0.0) || !std::isfinite(sigma) ||
      !std::isfinite(gamma)) {
    return false;
  }
  const special::VoigtJet m = special::voigt_window_mass_jet(p[0], sigma, gamma, ctx.x_min,
                                                             ctx.x_max);
  const double mass = m[0];
  if (!(mass > kMassFloor) || !std::isfinite(mass)) return false;
  out[0] = 1.0 / mass;
  for (std::size_t a = 0; a < 3; ++a) gradient[a] = -m[1 + a] / (mass * mass);
  return true;
}

}  // namespace

double voigt_fwhm(double sigma, double gamma) {
  const double top = special::voigt_value(0.0, sigma, gamma);
  const double half = shapes::half_crossing(
      [&](double d) { return special::voigt_value(d, sigma, gamma) / top - 0.5; },
      olivero_half_width(sigma, gamma), std::numeric_limits<double>::infinity());
  return 2.0 * half;
}

double gamma_from_fwhm(double fwhm, double sigma) {
  const double fg = kFwhmPerSigma * sigma;
  if (!(sigma > 0.0) || !(fwhm > fg) || !std::isfinite(fwhm)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  // Olivero's relation solved for f_l (the smaller root of its quadratic), as the guess.
  const double c = kOliveroLinear;
  const double q = c * c - kOliveroSquare;
  const double disc = c * c * fwhm * fwhm - q * (fwhm * fwhm - fg * fg);
  const double fl = (c * fwhm - std::sqrt(disc > 0.0 ? disc : 0.0)) / q;
  const double guess = fl > 0.0 ? 0.5 * fl : 0.25 * (fwhm - fg);
  return shapes::solve_width([&](double g) { return voigt_fwhm(sigma, g) / fwhm - 1.0; }, guess,
                             true);
}

namespace {

// A Gaussian part alone at least as wide as the line asked for leaves no room for a
// Lorentzian one: the line is then the Gaussian of that full width (gamma 0, sigma narrowed to
// fwhm / 2.3548), so that a fit holding the FWHM never leaves it, and a step or a difference
// stencil that crosses that edge sees a continuous density instead of none.
double registry_gamma(double fwhm, double* p, const shapes::ShapeContext&) {
  const double widest_sigma = fwhm / kFwhmPerSigma;
  if (p[1] >= widest_sigma) {
    p[1] = widest_sigma;
    return 0.0;
  }
  return gamma_from_fwhm(fwhm, p[1]);
}

constexpr shapes::ShapeEntry kEntry{
    .name = "voigt",
    .params = {shapes::kFramedCentre,
               shapes::framed_width("sigma", 1.0 / kFwhmPerSigma, "Gaussian standard deviation"),
               // The half width of the narrowest peak.
               shapes::framed_width("gamma", 0.5, "Lorentzian half width at half maximum")},
    .extra_quantities = {shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start,
    .extras = registry_extras,
    .extras_derivatives = registry_extras_derivatives,
    .derivatives = registry_derivatives,
    .primary = 2,
    .primary_from_fwhm = registry_gamma};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::voigt
