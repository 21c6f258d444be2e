// The Doniach-Sunjic line broadened by a Gaussian: its profile, window mass, full width and
// registry entry (doniach_sunjic_gaussian.hpp).
//
// There is no closed form for alpha > 0, so the profile is computed from one integral.  With
// (gamma + i d)^-(1 - alpha) = (1 / Gamma(1 - alpha)) int_0^inf t^-alpha e^-(gamma + i d) t dt,
// the Gaussian convolution only damps the integrand by e^(-sigma^2 t^2 / 2); in u = sigma t,
//
//   Q(d) = sigma^(alpha - 1) / Gamma(1 - alpha) Re[e^(-i pi alpha / 2) I(z)],
//   I(z) = int_0^inf u^-alpha e^(-u^2 / 2 - z u) du,   z = (gamma + i d) / sigma,
//
// (I is Gamma(1 - alpha) e^(z^2 / 4) D_(alpha - 1)(z), a parabolic cylinder function; at
// alpha = 0 it is sqrt(pi / 2) w(i z / sqrt 2), the Faddeeva function of the Voigt line).
// Two deterministic methods share the z half-plane, split at |z| = R = 8.5:
//
//   - |z| >= R (the tails, and every point of a line much wider than its Gaussian): the
//     asymptotic series I(z) ~ Gamma(1 - alpha) z^(alpha - 1) sum_k c_k z^-2k with
//     c_k = (-1/2)^k (1 - alpha)_(2k) / k!, summed up to its smallest term.  It is the expansion
//     of e^(-u^2 / 2) under a Laplace integral; truncated at its smallest term its error is of
//     the order of e^(-|z|^2 / 2) relative to its first term (also near the imaginary axis,
//     where the neglected part is the Gaussian core e^(-y^2 / 2)): 3e-15 at |z| = R, and less
//     farther out.  Written in (gamma + i d) it is the Doniach-Sunjic profile times a sum of
//     powers of sigma^2 / (gamma + i d)^2, so that at sigma = 0 it is that profile to the bit.
//   - |z| < R (the core of a line whose Gaussian part is not negligible): I on the real axis,
//     where the integrand is bounded (Re z >= 0) and makes at most a dozen oscillations before
//     e^(-u^2 / 2) ends it.  Its singular start u^-alpha is integrated term by term on
//     [0, 1/4] (the Taylor series of e^(-u^2 / 2 - z u), whose coefficients are Hermite
//     polynomials He_k(-z) / k!, 36 terms), the rest by Gauss-Legendre rules of 16 nodes on
//     [1/4, 1] and 40 on [1, 9] (beyond 9 the integrand is below e^-40).  The weights, the
//     damping e^(-u^2 / 2 - Re z u) and u^-alpha are shared by every point of a grid; a point
//     costs one sine and cosine per pair of nodes symmetric about a panel's centre.
//
// Both were checked against the parabolic cylinder function in 40-digit arithmetic: the largest
// error of I over alpha in [0, 0.5), Re z in [0, R] is below 1e-14 (relative to I's value
// near the peak, which is of order one), and the profile's error stays below about 1e-14 of
// its peak for sigma / gamma from 0 to infinity (bench/bench_dsg_accuracy.py measures it
// against SciPy's quadrature of the convolution).  An adaptive quadrature or an ODE solver would be
// slower and would make the difference steps of the fit noisy; a fixed rule whose error is
// smooth in the parameters does not.
//
// The window mass comes from the same two parts: the Doniach-Sunjic closed-form antiderivative
// plus the series' further terms (each a power of gamma + i d) outside the disc |z| < R, and
// inside it the integral of I over an interval of y = d / sigma, which on the real u axis is
// int_0^inf u^-alpha e^(-u^2 / 2 - x u) (e^(-i y_a u) - e^(-i y_b u)) / (i u) du: the same
// nodes, and Taylor terms one power lower.
//
// The full width has no closed form either: the maximum is found by Brent's search on the
// profile (its value is then exact to rounding), the half-maximum crossings by Brent's
// method, and the gamma that gives a requested width by Brent's method on that width.
#include "shapes/doniach_sunjic_gaussian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "shapes/doniach_sunjic.hpp"
#include "shapes/fwhm_inverse.hpp"
#include "shapes/grid_passes.hpp"
#include "shapes/pseudo_voigt.hpp"

namespace velmora::doniach_sunjic_gaussian {
namespace {

using doniach_sunjic::kPi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The radius in z = (gamma + i d) / sigma beyond which the asymptotic series holds.
constexpr double kNearRadius = 8.5;
// The Taylor terms cover u in [0, kTaylorEnd]; Gauss-Legendre panels the rest, up to kReach.
constexpr double kTaylorEnd = 0.25;
constexpr double kPanelJoin = 1.0;
constexpr double kReach = 9.0;
constexpr std::size_t kFirstPanelNodes = 16;
// A series term below this (the series' sum is 1 plus terms of at most 1 / R^2) ends the sum.
constexpr double kSeriesTolerance = 1e-17;

static_assert(DsgKernel::kNodes > kFirstPanelNodes && kFirstPanelNodes % 2 == 0 &&
              DsgKernel::kNodes % 2 == 0);

// The positive half of the Gauss-Legendre rule of n (even) points on [-1, 1]: abscissas t_i
// and weights, by Newton's method on the Legendre polynomial from the usual cosine estimates
// (accurate to rounding for these small n).  The rule is symmetric: -t_i has the same weight.
void gauss_legendre_half(std::size_t n, double* node, double* weight) {
  for (std::size_t i = 0; i < n / 2; ++i) {
    double t = std::cos(kPi * (static_cast<double>(i) + 0.75) / (static_cast<double>(n) + 0.5));
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p_prev = 1.0;
      double p = t;
      for (std::size_t k = 2; k <= n; ++k) {
        const double kd = static_cast<double>(k);
        const double next = ((2.0 * kd - 1.0) * t * p - (kd - 1.0) * p_prev) / kd;
        p_prev = p;
        p = next;
      }
      derivative = static_cast<double>(n) * (t * p - p_prev) / (t * t - 1.0);
      const double step = p / derivative;
      t -= step;
      if (std::fabs(step) <= 1e-17) break;
    }
    node[i] = t;
    weight[i] = 2.0 / ((1.0 - t * t) * derivative * derivative);
  }
}

// The quadrature's nodes on [kTaylorEnd, kReach], made once: two panels, whose nodes come in
// pairs symmetric about the panel's centre, u = centre + delta (node 2i) and centre - delta
// (node 2i + 1), so that e^(-i y u) = e^(-i y centre) e^(-+i y delta) needs one sine and
// cosine per pair.
struct Nodes {
  static constexpr std::size_t kPairs = DsgKernel::kNodes / 2;
  static constexpr std::size_t kFirstPairs = kFirstPanelNodes / 2;
  std::array<double, DsgKernel::kNodes> u{}, w{}, log_u{};
  std::array<double, kPairs> delta{};
  std::array<double, 2> centre{};
  Nodes() {
    const std::array<double, 3> ends{kTaylorEnd, kPanelJoin, kReach};
    for (std::size_t panel = 0; panel < 2; ++panel) {
      const std::size_t first = panel == 0 ? 0 : kFirstPairs;
      const std::size_t count =
          panel == 0 ? kFirstPanelNodes : DsgKernel::kNodes - kFirstPanelNodes;
      const double half = 0.5 * (ends[panel + 1] - ends[panel]);
      centre[panel] = 0.5 * (ends[panel] + ends[panel + 1]);
      std::array<double, DsgKernel::kNodes> t{}, omega{};
      gauss_legendre_half(count, t.data(), omega.data());
      for (std::size_t i = 0; i < count / 2; ++i) {
        const std::size_t pair = first + i;
        delta[pair] = half * t[i];
        u[2 * pair] = centre[panel] + delta[pair];
        u[2 * pair + 1] = centre[panel] - delta[pair];
        w[2 * pair] = w[2 * pair + 1] = half * omega[i];
      }
    }
    for (std::size_t j = 0; j < DsgKernel::kNodes; ++j) log_u[j] = std::log(u[j]);
  }
};

const Nodes& nodes() {
  static const Nodes table;
  return table;
}

// sigma^2 / (gamma + i d)^2 = (s gamma - i s d)^2 with s = sigma / (gamma^2 + d^2), and its
// modulus; no overflow for any finite d.
struct SeriesArgument {
  double re = 0.0, im = 0.0, modulus = 0.0;
};
SeriesArgument series_argument(double gamma, double d, double sigma, double r2) {
  const double s = sigma / r2;
  const double u = s * gamma;
  const double v = s * d;
  return {(u - v) * (u + v), -2.0 * u * v, u * u + v * v};
}

// sum_(k >= 1) coef[k] w^k added to sum, up to the smallest term (the series is asymptotic)
// or a term below kSeriesTolerance, by the size of the terms.
template <std::size_t N>
void sum_series(const std::array<double, N>& coef, const SeriesArgument& w, double& sum_re,
                double& sum_im) {
  double power_re = 1.0, power_im = 0.0, power_modulus = 1.0;
  double size = std::numeric_limits<double>::infinity();
  for (std::size_t k = 1; k < N; ++k) {
    const double re = power_re * w.re - power_im * w.im;
    const double im = power_re * w.im + power_im * w.re;
    power_re = re;
    power_im = im;
    power_modulus *= w.modulus;
    const double next = std::fabs(coef[k]) * power_modulus;
    if (!(next < size)) break;  // past the smallest term (or a NaN)
    sum_re += coef[k] * power_re;
    sum_im += coef[k] * power_im;
    size = next;
    if (size < kSeriesTolerance) break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The kernel

DsgKernel::DsgKernel(double gamma, double alpha, double sigma)
    : gamma_(gamma), alpha_(alpha), sigma_(sigma) {
  valid_ = std::isfinite(gamma) && std::isfinite(alpha) && std::isfinite(sigma) &&
           gamma >= 0.0 && sigma >= 0.0 && alpha < 1.0;
  if (!valid_) return;
  // The Doniach-Sunjic kernel's constants, formed as doniach_sunjic::DsKernel forms them.
  phi_ = (kPi * alpha) * 0.5;
  a_ = 1.0 - alpha;
  e_ = 0.5 * a_;
  g2_ = gamma * gamma;
  cos_phi_ = std::cos(phi_);
  sin_phi_ = std::sin(phi_);
  // c_k = (-1/2)^k (1 - alpha)_(2k) / k!, and c_k / (alpha - 2k) for the antiderivative.
  c_[0] = 1.0;
  for (std::size_t k = 0; k + 1 < kSeriesTerms; ++k) {
    const double kd = static_cast<double>(k);
    c_[k + 1] = c_[k] * (-((2.0 * kd + 1.0 - alpha) * (2.0 * kd + 2.0 - alpha)) /
                         (2.0 * (kd + 1.0)));
    c_mass_[k + 1] = c_[k + 1] / (alpha - 2.0 * (kd + 1.0));
  }

  near_ = sigma > 0.0 && gamma < kNearRadius * sigma;
  if (!near_) return;
  x_ = gamma / sigma;
  near_reach_ = sigma * std::sqrt((kNearRadius - x_) * (kNearRadius + x_));
  const double gamma_function = std::tgamma(1.0 - alpha);
  near_scale_ = std::pow(sigma, alpha - 1.0) / gamma_function;
  mass_scale_ = std::pow(sigma, alpha) / gamma_function;
  const Nodes& q = nodes();
  for (std::size_t j = 0; j < kNodes; ++j) {
    weight_[j] = q.w[j] * std::exp(-alpha * q.log_u[j] - 0.5 * q.u[j] * q.u[j] - x_ * q.u[j]);
  }
  for (std::size_t i = 0; i < kNodes / 2; ++i) {
    pair_sum_[i] = weight_[2 * i] + weight_[2 * i + 1];
    pair_difference_[i] = weight_[2 * i] - weight_[2 * i + 1];
  }
  // taylor_[k] = eps^(k + 1 - alpha) / (k! (k + 1 - alpha)) and
  // taylor_mass_[k] = eps^(k - alpha) / (k! (k - alpha)), eps = kTaylorEnd.
  double power = std::exp((1.0 - alpha) * std::log(kTaylorEnd));  // eps^(k + 1 - alpha) / k!
  for (std::size_t k = 0; k < kTaylorTerms; ++k) {
    const double kd = static_cast<double>(k);
    if (k > 0) power = power * kTaylorEnd / kd;
    taylor_[k] = power / (kd + 1.0 - alpha);
    taylor_mass_[k] = k > 0 ? (power / kTaylorEnd) / (kd - alpha) : 0.0;
  }
}

double DsgKernel::value(double d) const {
  if (!valid_) return kNaN;
  if (near_ && std::hypot(gamma_, d) < kNearRadius * sigma_) return near_value(d);
  return series_value(d);
}

double DsgKernel::series_value(double d) const {
  const double theta = std::atan(d / gamma_);
  const double beta = theta * a_ + phi_;
  const double r2 = d * d + g2_;
  double s_re = 1.0, s_im = 0.0;
  if (sigma_ > 0.0) sum_series(c_, series_argument(gamma_, d, sigma_, r2), s_re, s_im);
  // Re[e^(-i beta) S] / r^(1 - alpha): the Doniach-Sunjic profile at S = 1.
  return (std::cos(beta) * s_re + std::sin(beta) * s_im) / std::pow(r2, e_);
}

double DsgKernel::near_value(double d) const {
  const double y = d / sigma_;
  // The Taylor part: sum_k taylor_[k] He_k(X), X = -z, He_(k+1) = X He_k - k He_(k-1).
  double h0_re = 1.0, h0_im = 0.0;
  double h1_re = -x_, h1_im = -y;
  double i_re = taylor_[0] + taylor_[1] * h1_re;
  double i_im = taylor_[1] * h1_im;
  for (std::size_t k = 1; k + 1 < kTaylorTerms; ++k) {
    const double kd = static_cast<double>(k);
    const double n_re = (y * h1_im - x_ * h1_re) - kd * h0_re;
    const double n_im = (-x_ * h1_im - y * h1_re) - kd * h0_im;
    h0_re = h1_re;
    h0_im = h1_im;
    h1_re = n_re;
    h1_im = n_im;
    i_re += taylor_[k + 1] * n_re;
    i_im += taylor_[k + 1] * n_im;
  }
  // The nodes: sum_j W_j e^(-i y u_j), a panel at a time as e^(-i y centre) times
  // sum_pairs (W+ + W-) cos(y delta) - i (W+ - W-) sin(y delta).
  const Nodes& q = nodes();
  for (std::size_t panel = 0; panel < 2; ++panel) {
    const std::size_t begin = panel == 0 ? 0 : Nodes::kFirstPairs;
    const std::size_t end = panel == 0 ? Nodes::kFirstPairs : Nodes::kPairs;
    double p_re = 0.0, p_im = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      const double t = y * q.delta[i];
      p_re += pair_sum_[i] * std::cos(t);
      p_im -= pair_difference_[i] * std::sin(t);
    }
    const double t = y * q.centre[panel];
    const double c = std::cos(t), s = std::sin(t);
    i_re += c * p_re + s * p_im;
    i_im += c * p_im - s * p_re;
  }
  return near_scale_ * (cos_phi_ * i_re + sin_phi_ * i_im);
}

double DsgKernel::series_tail(double d) const {
  if (!(sigma_ > 0.0)) return 0.0;
  const double r2 = d * d + g2_;
  double b_re = 0.0, b_im = 0.0;
  sum_series(c_mass_, series_argument(gamma_, d, sigma_, r2), b_re, b_im);
  // Re[e^(-i pi alpha / 2) (gamma + i d)^alpha / i B] = r^alpha (sin(alpha psi) B_re +
  // cos(alpha psi) B_im), psi = atan(d / gamma) - pi / 2.
  const double psi = std::atan(d / gamma_) - 0.5 * kPi;
  return std::pow(r2, 0.5 * alpha_) *
         (std::sin(alpha_ * psi) * b_re + std::cos(alpha_ * psi) * b_im);
}

double DsgKernel::near_integral(double d1, double d2) const {
  const double ya = d1 / sigma_;
  const double yb = d2 / sigma_;
  // The Taylor part: sum_(k >= 1) taylor_mass_[k] (He_k(-z_a) - He_k(-z_b)) / i.
  double a0_re = 1.0, a0_im = 0.0, a1_re = -x_, a1_im = -ya;
  double b0_re = 1.0, b0_im = 0.0, b1_re = -x_, b1_im = -yb;
  double z_re = taylor_mass_[1] * (a1_im - b1_im);
  double z_im = -taylor_mass_[1] * (a1_re - b1_re);
  for (std::size_t k = 1; k + 1 < kTaylorTerms; ++k) {
    const double kd = static_cast<double>(k);
    const double na_re = (ya * a1_im - x_ * a1_re) - kd * a0_re;
    const double na_im = (-x_ * a1_im - ya * a1_re) - kd * a0_im;
    const double nb_re = (yb * b1_im - x_ * b1_re) - kd * b0_re;
    const double nb_im = (-x_ * b1_im - yb * b1_re) - kd * b0_im;
    a0_re = a1_re;
    a0_im = a1_im;
    a1_re = na_re;
    a1_im = na_im;
    b0_re = b1_re;
    b0_im = b1_im;
    b1_re = nb_re;
    b1_im = nb_im;
    z_re += taylor_mass_[k + 1] * (na_im - nb_im);
    z_im -= taylor_mass_[k + 1] * (na_re - nb_re);
  }
  // The nodes: sum_j W_j (e^(-i ya u_j) - e^(-i yb u_j)) / (i u_j).
  const Nodes& q = nodes();
  for (std::size_t j = 0; j < kNodes; ++j) {
    const double ta = ya * q.u[j];
    const double tb = yb * q.u[j];
    const double w = weight_[j] / q.u[j];
    z_re += w * (std::sin(tb) - std::sin(ta));
    z_im += w * (std::cos(tb) - std::cos(ta));
  }
  return mass_scale_ * (cos_phi_ * z_re + sin_phi_ * z_im);
}

double DsgKernel::integral(double d1, double d2) const {
  if (!valid_) return kNaN;
  if (d2 < d1) return -integral(d2, d1);
  // Outside the disc: the Doniach-Sunjic antiderivative and the series' further terms.
  auto far = [&](double lo, double hi) {
    return doniach_sunjic::ds_window_mass(0.0, gamma_, alpha_, lo, hi) +
           (series_tail(hi) - series_tail(lo));
  };
  if (!near_) return far(d1, d2);
  double lo = d1, hi = d2, total = 0.0;
  if (lo < -near_reach_) {
    const double end = std::min(hi, -near_reach_);
    total += far(lo, end);
    lo = end;
  }
  if (hi > near_reach_) {
    const double begin = std::max(lo, near_reach_);
    total += far(begin, hi);
    hi = begin;
  }
  if (lo < hi) total += near_integral(lo, hi);
  return total;
}

// ---------------------------------------------------------------------------------------------
// The full width

namespace {

// The search for the maximum stops when it has the place to this share of the line's width:
// the value there is then exact to rounding (the top is flat to second order).
constexpr double kTopTolerance = 1e-9;
constexpr double kGoldenFraction = 0.3819660112501051;  // (3 - sqrt 5) / 2
constexpr int kMaxSearchSteps = 200;

// The largest value of the (unimodal) profile: from the Doniach-Sunjic maximum
// d = gamma cot(pi / (2 - alpha)), uphill by doubling steps to a bracket, then Brent's search
// (parabolic steps, golden-section ones where those fail; R. P. Brent, "Algorithms for
// Minimization without Derivatives", 1973, ch. 5).  Returns NaN where no maximum is found;
// its place in `at`.
double top_of(const DsgKernel& kernel, double gamma, double alpha, double width, double& at) {
  auto f = [&](double d) { return kernel.value(d); };
  const double angle = kPi / (2.0 - alpha);
  const double start = gamma * (std::cos(angle) / std::sin(angle));
  double step = 0.1 * width;
  double centre = start, f_centre = f(start);
  double lo = start - step, hi = start + step;
  const double f_hi = f(hi), f_lo = f(lo);
  if (!std::isfinite(f_centre) || !std::isfinite(f_hi) || !std::isfinite(f_lo)) return kNaN;
  if (f_hi > f_centre || f_lo > f_centre) {
    const double s = f_hi > f_centre ? 1.0 : -1.0;
    double behind = centre;
    centre = centre + s * step;
    f_centre = s > 0.0 ? f_hi : f_lo;
    for (int k = 0;; ++k) {
      if (k >= kMaxSearchSteps) return kNaN;
      step *= 2.0;
      const double probe = centre + s * step;
      const double f_probe = f(probe);
      if (!std::isfinite(f_probe)) return kNaN;
      if (!(f_probe > f_centre)) {
        lo = std::min(behind, probe);
        hi = std::max(behind, probe);
        break;
      }
      behind = centre;
      centre = probe;
      f_centre = f_probe;
    }
  }
  // Brent's search on [lo, hi], from the best point so far: x the best, w the second best, v
  // the one before.
  const double tol = kTopTolerance * width;
  double x = centre, w = centre, v = centre;
  double fx = f_centre, fw = f_centre, fv = f_centre;
  double d = 0.0, e = 0.0;
  for (int k = 0; k < kMaxSearchSteps; ++k) {
    const double mid = 0.5 * (lo + hi);
    if (std::fabs(x - mid) <= 2.0 * tol - 0.5 * (hi - lo)) break;
    bool parabolic = false;
    if (std::fabs(e) > tol) {
      // The vertex of the parabola through (x, fx), (w, fw), (v, fv), as x + p / q.
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      const double last = e;
      e = d;
      if (std::fabs(p) < std::fabs(0.5 * q * last) && p > q * (lo - x) && p < q * (hi - x)) {
        d = p / q;
        const double u = x + d;
        if (u - lo < 2.0 * tol || hi - u < 2.0 * tol) d = x < mid ? tol : -tol;
        parabolic = true;
      }
    }
    if (!parabolic) {
      e = (x < mid ? hi : lo) - x;
      d = kGoldenFraction * e;
    }
    const double u = x + (std::fabs(d) >= tol ? d : (d > 0.0 ? tol : -tol));
    const double fu = f(u);
    if (fu >= fx) {
      (u < x ? hi : lo) = x;
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      (u < x ? lo : hi) = u;
      if (fu >= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu >= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  at = x;
  return fx;
}

}  // namespace

double dsg_fwhm(double gamma, double alpha, double sigma) {
  const DsgKernel kernel(gamma, alpha, sigma);
  const double width = gamma + sigma;
  if (!(width > 0.0) || !std::isfinite(width) || !(alpha < 1.0)) return kNaN;
  double at = 0.0;
  const double top = top_of(kernel, gamma, alpha, width, at);
  if (!(top > 0.0) || !std::isfinite(top)) return kNaN;
  const double inf = std::numeric_limits<double>::infinity();
  const double right = shapes::half_crossing(
      [&](double t) { return kernel.value(at + t) / top - 0.5; }, width, inf);
  const double left = shapes::half_crossing(
      [&](double t) { return kernel.value(at - t) / top - 0.5; }, width, inf);
  return left + right;
}

namespace {

// Olivero's combination of a Lorentzian and a Gaussian full width (as voigt.cpp takes it), with
// the Doniach-Sunjic width in the Lorentzian's place: only a first guess.
constexpr double kOliveroLinear = 0.5346;
constexpr double kOliveroSquare = 0.2166;

}  // namespace

double gamma_from_fwhm(double fwhm, double alpha, double& sigma) {
  if (!(fwhm > 0.0) || !std::isfinite(fwhm) || !std::isfinite(alpha) || !(alpha < 1.0) ||
      !(sigma >= 0.0) || !std::isfinite(sigma)) {
    return kNaN;
  }
  const double per_gamma = doniach_sunjic::ds_unit_fwhm(alpha);
  if (sigma == 0.0) return fwhm / per_gamma;
  // The line of gamma = 0 (a one-sided power law smoothed by the Gaussian) is the narrowest:
  // its width scales with sigma.
  const double per_sigma = dsg_fwhm(0.0, alpha, 1.0);
  if (!(per_sigma > 0.0)) return kNaN;
  if (sigma * per_sigma >= fwhm) {
    sigma = fwhm / per_sigma;
    return 0.0;
  }
  const double fg = sigma * per_sigma;
  const double c = kOliveroLinear;
  const double q = c * c - kOliveroSquare;
  const double disc = c * c * fwhm * fwhm - q * (fwhm * fwhm - fg * fg);
  const double fl = (c * fwhm - std::sqrt(disc > 0.0 ? disc : 0.0)) / q;
  const double guess = (fl > 0.0 ? fl : 0.25 * (fwhm - fg)) / per_gamma;
  const double s = sigma;
  return shapes::solve_width([&](double g) { return dsg_fwhm(g, alpha, s) / fwhm - 1.0; }, guess,
                             true);
}

// ---------------------------------------------------------------------------------------------
// Registry entry

namespace {

using pseudo_voigt::kFwhmPerSigma;

using doniach_sunjic::kAlphaParam;
using doniach_sunjic::kStartAlpha;
// A Gaussian and a Lorentzian part of the same full width f make a line of about 1.6376 f.
constexpr double kFwhmPerEqualPartWidth = 1.6376;

void registry_density(std::span<const double> x, const double* p,
                      const shapes::ShapeContext& ctx, std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic_gaussian");
  const double x0 = p[0];
  const DsgKernel kernel(p[1], p[2], p[3]);
  const double mass = shapes::floored_mass(kernel.integral(ctx.x_min - x0, ctx.x_max - x0));
  shapes::for_each_point_block(x.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = kernel.value(x[i] - x0) / mass;
  });
}

// The profile is Q itself: the density up to its window mass.  The report reads it at a few
// hundred single points per peak, so the kernel of the last parameters is kept on each thread
// (it is a function of them alone: keeping it changes no value).
void registry_profile(std::span<const double> x, const double* p, const shapes::ShapeContext&,
                      std::span<double> out) {
  shapes::require_grid_length(x.size(), out.size(), "doniach_sunjic_gaussian");
  thread_local DsgKernel last(kNaN, kNaN, kNaN);
  if (!last.is_for(p[1], p[2], p[3])) last = DsgKernel(p[1], p[2], p[3]);
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = last.value(x[i] - p[0]);
}

// Equal part widths f = fwhm / 1.6376, as the Voigt's start: the half width f / 2 of the
// Lorentzian and the standard deviation of a Gaussian of full width f, and a slight asymmetry.
void registry_start(double position, double fwhm, double* p) {
  const double f = fwhm / kFwhmPerEqualPartWidth;
  p[0] = position;
  p[1] = 0.5 * f;
  p[2] = kStartAlpha;
  p[3] = f / kFwhmPerSigma;
}

// The broadening keeps the whole line's area: pi at alpha = 0 (a Voigt line), none finite for
// alpha > 0, whose tail falls as |d|^-(1 - alpha).
void registry_extras(const double* p, const shapes::ShapeContext& ctx, double* out) {
  if (p[2] != 0.0) {
    out[0] = kNaN;
    return;
  }
  const DsgKernel kernel(p[1], p[2], p[3]);
  out[0] = kPi / shapes::floored_mass(kernel.integral(ctx.x_min - p[0], ctx.x_max - p[0]));
}

// The last conversion on this thread, by its arguments: a peak held at its full width asks for
// the same one many times over (its densities shifted in the centre, and the report, which
// reads the profile at a few hundred single points), and each costs a few hundred profile
// evaluations.  A pure function's value, so the memo changes no result.
struct LastGamma {
  double fwhm = kNaN, alpha = kNaN, sigma = kNaN;  // the arguments (NaN: none yet)
  double gamma = kNaN, narrowed = kNaN;            // the result, and sigma as it leaves it
};
thread_local LastGamma last_gamma;

double registry_gamma(double fwhm, double* p, const shapes::ShapeContext&) {
  LastGamma& last = last_gamma;
  if (fwhm == last.fwhm && p[2] == last.alpha && p[3] == last.sigma) {
    p[3] = last.narrowed;
    return last.gamma;
  }
  last = {fwhm, p[2], p[3], kNaN, kNaN};
  last.gamma = gamma_from_fwhm(fwhm, p[2], p[3]);
  last.narrowed = p[3];
  return last.gamma;
}

constexpr shapes::ShapeEntry kEntry{
    .name = "doniach_sunjic_gaussian",
    .params = {shapes::kFramedCentre,
               // The half width of the narrowest peak.
               shapes::framed_width("gamma", 0.5, "half width (Lorentzian)"),
               kAlphaParam,
               shapes::framed_width("sigma", 1.0 / kFwhmPerSigma, "Gaussian standard deviation")},
    .extra_quantities = {shapes::kAreaTotal},
    .density = registry_density,
    .profile = registry_profile,
    .start = registry_start,
    .extras = registry_extras,
    .primary = 1,
    .primary_from_fwhm = registry_gamma};

}  // namespace

const shapes::ShapeEntry& registry_entry() { return kEntry; }

}  // namespace velmora::doniach_sunjic_gaussian
