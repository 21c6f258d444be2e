// The chi-square distribution's tails through the regularized incomplete gamma functions,
// for the dispersion test of a fit (engine/report.cpp).
//
//   P(a, x) = gamma(a, x) / Gamma(a)   (DLMF 8.2.4),   Q(a, x) = 1 - P(a, x);
//   Pr(chi2_k <= x) = P(k / 2, x / 2).
//
// P by its power series for x < a + 1, Q by its continued fraction (modified Lentz) otherwise
// (the scheme of Numerical Recipes' gser and gcf); the other one as the complement.  The
// common factor exp(-x + a log x - log Gamma(a)) sets the relative accuracy: about 1e-15 for
// small a, 1e-12 at a = 1000 (its exponent's rounding grows with a), ample for a p-value.
// NaN for a <= 0, x < 0 or NaN input.
#pragma once

namespace velmora::special {

double gamma_p(double a, double x);
double gamma_q(double a, double x);

}  // namespace velmora::special
