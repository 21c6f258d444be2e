#include "engine/follow_terms.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "stop.hpp"

namespace velmora::engine {
namespace {

// Rows of a loss kernel's triangle between two looks at the call's stop request: a row is at
// most one pass over the grid, so on the longest grids (10^5 channels, 5 10^9 products per
// application) the call still answers within milliseconds, and on short ones the look costs
// nothing measurable.
constexpr std::size_t kRowsPerCheckpoint = 64;

// Tougaard's universal cross-section per unit of B: T / (C + T^2)^2.
double tougaard(double t, const double* p) {
  const double c = p[0];
  const double q = c + t * t;
  return t / (q * q);
}

// Tougaard's three-parameter cross-section per unit of B: T / ((C - T^2)^2 + D T^2).
double tougaard3(double t, const double* p) {
  const double c = p[0], d = p[1];
  const double q = c - t * t;
  return t / (q * q + d * t * t);
}

constexpr FollowParamInfo kXScale{.name = "x_scale",
                                  .unit = "eV",
                                  .description = "the internal unit of x in eV (x = x_scale u)"};
constexpr FollowParamInfo kTougaardC{
    .name = "C", .unit = "eV^2", .description = "C of the inelastic cross-section"};
constexpr FollowParamInfo kTougaardD{
    .name = "D", .unit = "eV^2", .description = "D of the three-parameter cross-section"};

// The one list of the kinds, indexed by their codes.
constexpr FollowKindInfo kKinds[] = {
    {.kind = FollowKind::shirley,
     .name = "shirley",
     .description = "the Shirley step: the peaks' counts on one side of each channel",
     .counts_name = "step"},
    {.kind = FollowKind::tougaard,
     .name = "tougaard",
     .description = "Tougaard's universal cross-section K(T) = T / (C + T^2)^2",
     .params = {kXScale, kTougaardC},
     .kernel = tougaard,
     .counts_name = "loss",
     .share_name = "B",
     .share_unit = "eV^2"},
    {.kind = FollowKind::tougaard3,
     .name = "tougaard3",
     .description = "Tougaard's three-parameter cross-section K(T) = T / ((C - T^2)^2 + D T^2)",
     .params = {kXScale, kTougaardC, kTougaardD},
     .kernel = tougaard3,
     .counts_name = "loss",
     .share_name = "B",
     .share_unit = "eV^2"},
};

// A kind's code is its place in the list.
constexpr bool codes_are_places() {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    if (static_cast<std::size_t>(kKinds[i].kind) != i) return false;
  }
  return true;
}
static_assert(codes_are_places(), "every follow kind's code is its place in kKinds");

void apply_step(Side side, std::span<const double> v, std::span<double> out) {
  const std::size_t n = v.size();
  double acc = 0.0;
  if (side == Side::below) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = acc + 0.5 * v[i];
      acc += v[i];
    }
  } else {
    for (std::size_t i = n; i-- > 0;) {
      out[i] = acc + 0.5 * v[i];
      acc += v[i];
    }
  }
}

// Row i of the kernel's lower triangle: K(T_il) for l = 0 .. i-1.
const double* row(const FollowTerm& term, std::size_t i) {
  const std::size_t n = term.dx.size();
  return term.toeplitz ? term.kernel.data() + (n - 1 - i) : term.kernel.data() + i * (i - 1) / 2;
}

// y = tril(M) a, y_i = sum_{l < i} M_il a_l, with M the symmetric matrix K(T_il) (M_ii = 0).
// On a uniform grid column l of the triangle is K at 1, 2, ... steps, so the product is a run
// of scaled additions of that one vector, which vectorise without changing a rounding; the
// packed triangle of an irregular grid is read by rows, with four partial sums.
void lower_product(const FollowTerm& term, const double* a, double* y) {
  const std::size_t n = term.dx.size();
  if (term.toeplitz) {
    const double* k = term.forward.data();
    for (std::size_t i = 0; i < n; ++i) y[i] = 0.0;
    for (std::size_t l = 0; l + 1 < n; ++l) {
      if (l % kRowsPerCheckpoint == 0) checkpoint();
      const double al = a[l];
      if (al == 0.0) continue;
      double* out = y + l + 1;
      const std::size_t count = n - 1 - l;
      for (std::size_t j = 0; j < count; ++j) out[j] += al * k[j + 1];
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kRowsPerCheckpoint == 0) checkpoint();
    const double* r = row(term, i);
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t l = 0;
    for (; l + 4 <= i; l += 4) {
      s0 += r[l] * a[l];
      s1 += r[l + 1] * a[l + 1];
      s2 += r[l + 2] * a[l + 2];
      s3 += r[l + 3] * a[l + 3];
    }
    for (; l < i; ++l) s0 += r[l] * a[l];
    y[i] = (s0 + s1) + (s2 + s3);
  }
}

// y = triu(M) a, y_l = sum_{i > l} M_il a_i: scaled additions of the rows of the triangle.
void upper_product(const FollowTerm& term, const double* a, double* y) {
  const std::size_t n = term.dx.size();
  for (std::size_t l = 0; l < n; ++l) y[l] = 0.0;
  for (std::size_t i = 1; i < n; ++i) {
    if (i % kRowsPerCheckpoint == 0) checkpoint();
    const double ai = a[i];
    if (ai == 0.0) continue;
    const double* r = row(term, i);
    for (std::size_t l = 0; l < i; ++l) y[l] += ai * r[l];
  }
}

// out = L v for a loss kernel, or out = L^T v with `adjoint`.  With D = diag(dx):
//
//   below: L = D tril(M),  L^T = triu(M) D;     above: L = D triu(M),  L^T = tril(M) D.
void apply_kernel(const FollowTerm& term, bool adjoint, std::span<const double> v,
                  std::span<double> out) {
  const std::size_t n = v.size();
  const std::vector<double>& dx = term.dx;
  std::vector<double> weighted;
  const double* a = v.data();
  if (adjoint) {
    weighted.resize(n);
    for (std::size_t i = 0; i < n; ++i) weighted[i] = dx[i] * v[i];
    a = weighted.data();
  }
  if ((term.side == Side::below) != adjoint) {
    lower_product(term, a, out.data());
  } else {
    upper_product(term, a, out.data());
  }
  if (!adjoint) {
    for (std::size_t i = 0; i < n; ++i) out[i] *= dx[i];
  }
}

}  // namespace

std::span<const FollowKindInfo> follow_kinds() { return kKinds; }

FollowTerm make_follow_term(FollowKind kind, Side side, std::span<const double> params,
                            std::span<const double> u, std::span<const double> widths) {
  const auto code = static_cast<std::size_t>(kind);
  if (code >= std::size(kKinds)) {
    throw std::invalid_argument("follow: unknown kind " + std::to_string(code));
  }
  const FollowKindInfo& info = kKinds[code];
  if (params.size() != info.params.size()) {
    throw std::invalid_argument(std::string("follow: the ") + info.name + " term takes " +
                                std::to_string(info.params.size()) + " parameters, got " +
                                std::to_string(params.size()));
  }
  for (std::size_t q = 0; q < params.size(); ++q) {
    if (!(params[q] > 0.0) || !std::isfinite(params[q])) {
      const char* name = info.params[q].name;
      throw std::invalid_argument(std::string(info.name) + " background: " + name +
                                  " must be finite and positive, got " +
                                  std::to_string(params[q]));
    }
  }
  FollowTerm term;
  term.kind = kind;
  term.side = side;
  term.params.assign(params.begin(), params.end());
  const std::size_t n = u.size();
  if (info.kernel == nullptr) {
    term.reach = static_cast<double>(n);
    return term;
  }
  const double s = params[0];
  const double* kp = term.params.data() + 1;
  term.dx.resize(n);
  for (std::size_t i = 0; i < n; ++i) term.dx[i] = s * widths[i];
  // A uniform grid (to a billionth of its step) keeps one row of the kernel.
  const double h = n > 1 ? (u[n - 1] - u[0]) / static_cast<double>(n - 1) : 0.0;
  bool uniform = n > 1;
  for (std::size_t i = 0; i < n && uniform; ++i) {
    uniform = std::fabs(u[i] - u[0] - static_cast<double>(i) * h) <= 1e-9 * h;
  }
  term.toeplitz = uniform;
  if (uniform) {
    term.forward.resize(n);
    term.kernel.resize(n);
    for (std::size_t d = 0; d < n; ++d) {
      term.forward[d] = info.kernel(s * h * static_cast<double>(d), kp);
      term.kernel[n - 1 - d] = term.forward[d];
    }
  } else {
    // The packed triangle holds n (n - 1) / 2 values: refused beyond kMaxKernelValues (400 MB)
    // with a message, rather than left to exhaust the machine's memory.
    const double values = 0.5 * static_cast<double>(n) * static_cast<double>(n - 1);
    if (values > kMaxKernelValues) {
      throw std::invalid_argument(
          std::string(info.name) + " background: an irregular grid of " + std::to_string(n) +
          " channels needs " + std::to_string(static_cast<long long>(values)) +
          " kernel values (at most " + std::to_string(static_cast<long long>(kMaxKernelValues)) +
          "); fit a narrower window or a uniform grid");
    }
    term.kernel.resize(n * (n - 1) / 2);
    for (std::size_t i = 1; i < n; ++i) {
      if (i % kRowsPerCheckpoint == 0) checkpoint();
      double* r = term.kernel.data() + i * (i - 1) / 2;
      for (std::size_t l = 0; l < i; ++l) r[l] = info.kernel(s * (u[i] - u[l]), kp);
    }
  }
  std::vector<double> ones(n, 1.0), gathered(n);
  apply_follow_adjoint(term, ones, gathered);
  for (const double g : gathered) term.reach = std::max(term.reach, g);
  return term;
}

void apply_follow(const FollowTerm& term, std::span<const double> v, std::span<double> out) {
  if (term.kind == FollowKind::shirley) {
    apply_step(term.side, v, out);
  } else {
    apply_kernel(term, false, v, out);
  }
}

// The Shirley step's adjoint is the step from the other side: (L^T w)_l = w_l / 2 + the sum
// of w on the side of l the term does not gather from.
void apply_follow_adjoint(const FollowTerm& term, std::span<const double> w,
                          std::span<double> out) {
  if (term.kind == FollowKind::shirley) {
    apply_step(term.side == Side::below ? Side::above : Side::below, w, out);
  } else {
    apply_kernel(term, true, w, out);
  }
}

}  // namespace velmora::engine
