// Exponential integrals Ei(x) and E_n(x) for the TSDC peak model.
//
//   Ei(x)   = -PV int_{-x}^inf e^{-s} / s ds                      (DLMF 6.2.5), every real x
//   E_n(x)  = int_1^inf e^{-x s} / s^n ds                          (DLMF 8.19.3), x >= 0
//
// E_2 gives the Arrhenius temperature integral of a TSDC peak in closed form,
//   int_0^T exp(-a / T') dT' = T E_2(a / T)      (a, T > 0),
// and E_1 = -dE_2/dx enters the gradient of the TSDC likelihood.  For x > 0, Ei(-x) = -E_1(x).
//
// Algorithms (the operation order is part of the definition; results agree to the last bit
// with a plain sequential evaluation written the same way):
//   Ei, -1 <= x < 0   power series of E_1(-x), at most 25 terms          (DLMF 6.6.2)
//   Ei, x < -1        backward continued fraction of E_1(-x), 20 + trunc(-80/x) levels
//                     (DLMF 6.9.1; the scheme of Zhang & Jin, "Computation of Special
//                     Functions", 1996, routine E1XB)
//   Ei, 0 < x <= 40   power series, at most 100 terms                    (DLMF 6.6.1)
//   Ei, x > 40        asymptotic series with exactly 20 terms           (DLMF 6.12.2)
//   E_n, 0 < x <= 1   power series with the digamma term                 (DLMF 8.19.8)
//   E_n, 1 < x        continued fraction by the forward three-term recurrence with rescaling
//                     (the scheme of Cephes' expn.c)                     (DLMF 8.19.17)
//
// Accuracy, measured against 120-bit mpmath over dense sweeps: relative error below 3e-15 for
// E_1 and E_2 on (0, 708.4] and for Ei on x < 0 and on 0 < x <= 40 away from Ei's zero
// x0 = 0.37250741...  Near x0 the series cancels against ln x + gamma, so there the absolute
// error stays about 1e-16 and the relative error grows like 1e-16 / |x - x0|.  Above 40 the
// 20-term asymptotic series is truncated: relative error 3e-14 just above 40, below 1e-15 from
// 47 on.  Above x = 708.4 e^-x is subnormal and E_n loses relative precision (3e-13 at 709.78).
// SciPy's expi and expn use the same algorithms and agree bit for bit.
//
// Special values instead of errors: Ei(+-0) = -inf, Ei(-inf) = -0.0, Ei(+inf) = +inf,
// Ei(NaN) = NaN; E_n(x) = NaN for x < 0 or NaN, 0 for x > 709.782712893384 (+inf included),
// E_1(+-0) = +inf, E_n(+-0) = 1 / (n - 1) for n >= 2.
//
// Pure and reentrant: no state, no errors; any number of threads may call both at once.
#pragma once

#include <cstdint>
#include <span>

namespace velmora::special {

// Euler's constant gamma as a float64.
inline constexpr double kEulerGamma = 0.5772156649015329;

// Ei(x) for every real x.
double exponential_integral_ei(double x);

// E_n(x) for the orders n = 1 and n = 2 (the TSDC model's) and every real x.  Higher orders
// follow the same algorithm with the factor 1/Gamma(n) = 1/(n-1)!; orders below 1 give NaN.
double exponential_integral_en(std::int32_t n, double x);

// Ei at many points: out[i] = exponential_integral_ei(x[i]) for i < min(len x, len out), the
// same values bit for bit.  Continued-fraction points are evaluated a few at a time with
// independent chains of operations, which a processor overlaps.
void exponential_integral_ei_many(std::span<const double> x, std::span<double> out);

// E_n at many points: out[i] = exponential_integral_en(n, x[i]) for i < min(len x, len out).
void exponential_integral_en_many(std::int32_t n, std::span<const double> x,
                                  std::span<double> out);

}  // namespace velmora::special
