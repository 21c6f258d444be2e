#include "special/faddeeva.hpp"

#include <array>
#include <cstddef>

namespace velmora::special {
namespace {

constexpr double kInvSqrtPi = 0.5641895835477563;  // 1 / sqrt(pi)
constexpr double kWeidemanL = 5.3182958969449885;  // sqrt(40 / sqrt 2)

// p's coefficients, highest degree first: (1 / 4N) sum_j f_j cos(pi k j / 2N), k = N ... 1, of
// f(t) = exp(-t^2) (L^2 + t^2) at t_j = L tan(pi j / 4N) (j = -2N+1 ... 2N-1; f = 0 at
// j = -2N), Weideman's eq. (36) by a cosine sum in long double.
constexpr std::array<double, 40> kWeidemanP{
    -1.7708472037676213e-15, 1.2685612651476553e-15, 1.1497759396048718e-14,
    -5.2773933769019457e-15, -7.0629903293172036e-14, 1.3810572694131218e-14,
    4.5335344094239729e-13,  1.2033992780133979e-13, -2.9076939749191067e-12,
    -2.7276437456359021e-12, 1.7714431007134767e-11, 3.4727193050452383e-11,
    -9.0551323720083207e-11, -3.5632346632747531e-10, 2.1086001770055478e-10,
    3.0177805170744902e-09,  3.2497465265557241e-09, -1.8315616751615576e-08,
    -6.3517734799200138e-08, 1.4198642467365755e-08, 5.9121369526182526e-07,
    1.4835661132904108e-06,  -1.0660138984304328e-06, -1.8007447144700104e-05,
    -5.5913092642445586e-05, -3.9393631454870184e-05, 0.00043980701598698177,
    0.002705405633073801,    0.010048186242783431,   0.029202916471241871,
    0.071823617790743366,    0.15504263802479493,    0.29989437996150059,
    0.52665289882770849,     0.84721745765938161,    1.2563815675765131,
    1.7253830848179776,      2.2015137948783119,     2.6160541527618602,
    2.8996245093897053};

constexpr std::size_t kSeriesTerms = 40;

double magnitude2(std::complex<double> z) { return z.real() * z.real() + z.imag() * z.imag(); }

}  // namespace

std::complex<double> faddeeva_w(std::complex<double> z) {
  if (magnitude2(z) >= kFaddeevaSeriesFrom * kFaddeevaSeriesFrom) {
    // (i / sqrt pi) (1/z) sum_n a_n z^-2n, summed until a term is below 1e-18 of the sum.
    const std::complex<double> inv = 1.0 / z;
    const std::complex<double> inv2 = inv * inv;
    std::complex<double> sum = 0.0;
    std::complex<double> power = inv;  // a_n z^-(2n+1)
    for (std::size_t i = 0; i < kSeriesTerms; ++i) {
      sum += power;
      if (magnitude2(power) < 1e-36 * magnitude2(sum)) break;
      power *= inv2 * ((2.0 * static_cast<double>(i) + 1.0) / 2.0);
    }
    return std::complex<double>(0.0, kInvSqrtPi) * sum;
  }
  // i z = -y + i x, so d = L - i z = (L + y) - i x and n = L + i z = (L - y) + i x; 1/d is
  // conj(d) / |d|^2 and Z = n / d (complex divisions written out: the library's guard against
  // overflow costs a third of the whole evaluation, and |d| >= L here).
  const double x = z.real();
  const double y = z.imag();
  const double dr = kWeidemanL + y;
  const double di = -x;
  const double inv_norm = 1.0 / (dr * dr + di * di);
  const double ir = dr * inv_norm;
  const double ii = -di * inv_norm;
  const double nr = kWeidemanL - y;
  const double ni = x;
  const double zr = nr * ir - ni * ii;
  const double zi = nr * ii + ni * ir;
  // p(Z) = Z A(Z^2) + B(Z^2), A over the coefficients of odd powers and B over the even ones:
  // two Horner chains side by side, half as long as one.
  const double wr = zr * zr - zi * zi;
  const double wi = 2.0 * zr * zi;
  double ar = 0.0, ai = 0.0, br = 0.0, bi = 0.0;
  for (std::size_t k = 0; k < kWeidemanP.size(); k += 2) {
    const double ta = ar * wr - ai * wi + kWeidemanP[k];
    ai = ar * wi + ai * wr;
    ar = ta;
    const double tb = br * wr - bi * wi + kWeidemanP[k + 1];
    bi = br * wi + bi * wr;
    br = tb;
  }
  const double pr = zr * ar - zi * ai + br;
  const double pi = zr * ai + zi * ar + bi;
  // w = 2 p / d^2 + (1 / sqrt pi) / d.
  const double i2r = ir * ir - ii * ii;
  const double i2i = 2.0 * ir * ii;
  return {2.0 * (pr * i2r - pi * i2i) + kInvSqrtPi * ir,
          2.0 * (pr * i2i + pi * i2r) + kInvSqrtPi * ii};
}

}  // namespace velmora::special
