// The Faddeeva function w(z) = exp(-z^2) erfc(-i z) in the upper half plane, for the fitting
// engine's Voigt peaks.
//
// |z| < 8: Weideman's rational expansion (J. A. C. Weideman, "Computation of the complex error
// function", SIAM J. Numer. Anal. 31 (1994) 1497-1518, eq. (38)) with N = 40 terms,
//
//   w(z) = 2 p(Z) / (L - i z)^2 + 1 / (sqrt(pi) (L - i z)),   Z = (L + i z) / (L - i z),
//
// p a polynomial of degree N - 1, L = sqrt(N / sqrt 2).  Relative error of w below 3e-14 for
// Im z >= 1e-4 and |z| < 8 (against libcerf over two million points); Re w near the real axis,
// where it falls to y / (sqrt(pi) x^2), to 1e-9 of itself at y = 1e-4.
// |z| >= 8: the asymptotic series (i / sqrt pi) sum_n a_n z^-(2n+1), a_(n+1) = a_n (2n+1) / 2,
// whose remainder is below rounding there.
//
// Why not libcerf's w_of_z here: it records the branch it took in two process-wide variables on
// every call, so two threads evaluating it write one cache line in turn (two threads of a plain
// w_of_z loop ran 1.4 times as fast as one on a two-core machine).  This one touches no shared
// state: engine fits on several threads scale.  The core's published Voigt profile keeps
// libcerf.
#pragma once

#include <complex>

namespace velmora::special {

// w(z) for Im z > 0.
std::complex<double> faddeeva_w(std::complex<double> z);

// Beyond this |z| the asymptotic series is exact to rounding.
inline constexpr double kFaddeevaSeriesFrom = 8.0;

}  // namespace velmora::special
