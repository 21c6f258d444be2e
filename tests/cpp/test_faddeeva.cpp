// The engine's Faddeeva function against libcerf's w_of_z over the upper half plane: Weideman's
// expansion inside |z| < 8, the asymptotic series outside, and no step where they meet.
#include <cerf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "special/faddeeva.hpp"

namespace {

using velmora::special::faddeeva_w;

std::complex<double> libcerf_w(std::complex<double> z) {
  double _Complex in;
  __real__ in = z.real();
  __imag__ in = z.imag();
  const double _Complex out = w_of_z(in);
  return {__real__ out, __imag__ out};
}

double relative_error(std::complex<double> got, std::complex<double> want) {
  return std::abs(got - want) / std::abs(want);
}

TEST(Faddeeva, AgreesWithLibcerfOverTheUpperHalfPlane) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double worst = 0.0, worst_real = 0.0;
  for (int i = 0; i < 200000; ++i) {
    // |z| up to 30, arguments over the half plane, Im z down to 1e-4 (the narrowest Lorentzian
    // part of a wide Voigt peak) on every other point.
    const double r = 30.0 * std::sqrt(unit(rng));
    const double phase = 3.141592653589793 * unit(rng);
    const double y = (i % 2 == 0) ? r * std::sin(phase) : std::pow(10.0, -4.0 + 5.0 * unit(rng));
    const std::complex<double> z(r * std::cos(phase), y);
    if (!(z.imag() >= 1e-4)) continue;
    const std::complex<double> want = libcerf_w(z);
    const std::complex<double> got = faddeeva_w(z);
    worst = std::max(worst, relative_error(got, want));
    worst_real = std::max(worst_real, std::fabs(got.real() / want.real() - 1.0));
  }
  EXPECT_LT(worst, 5e-14);
  EXPECT_LT(worst_real, 5e-9);  // Re w falls to y / (sqrt(pi) x^2) near the real axis
}

TEST(Faddeeva, NoStepWhereTheSeriesTakesOver) {
  for (double angle : {0.01, 0.3, 0.9, 1.5, 2.2, 3.1}) {
    const double r = velmora::special::kFaddeevaSeriesFrom;
    const std::complex<double> inside = std::polar(std::nextafter(r, 0.0), angle);
    const std::complex<double> outside = std::polar(r, angle);
    EXPECT_LT(relative_error(faddeeva_w(inside), libcerf_w(inside)), 5e-14) << angle;
    EXPECT_LT(relative_error(faddeeva_w(outside), libcerf_w(outside)), 5e-14) << angle;
  }
}

}  // namespace
