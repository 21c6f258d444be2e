// The background terms that follow the peaks: linear operators L on the peaks' expected counts
// per channel pi, recomputed by the engine (engine.hpp) from the peaks at every evaluation, so
// that the background is always that of the peaks being fitted.  The engine needs L pi, L v for
// the derivatives v of pi, and the adjoint L^T w for the score and the information; a term's
// share k multiplies L pi in the model.
//
// The kinds (the one list of them is follow_kinds() in follow_terms.cpp, a kind's code its
// position there; the velmora package reads it through velmora_core._follow_terms()):
//
//   shirley   the Shirley step: (L v)_i = sum_{l on the loss side of i} v_l + v_i / 2, the
//             counts on one side of channel i, half of its own channel included.  O(n) per
//             application.  No parameters.
//
//   tougaard  Tougaard's universal inelastic cross-section K(T) = T / (C + T^2)^2 (per eV; the
//             fitted share is B in eV^2).  Parameters: x_scale, the unit of u in eV, and
//             C (eV^2).
//
//   tougaard3 Tougaard's three-parameter cross-section K(T) = T / ((C - T^2)^2 + D T^2).
//             Parameters: x_scale, C (eV^2), D (eV^2).
//
// A loss kernel K (tougaard, tougaard3) is a dense triangular operator.  With x = s u the
// caller's energy axis (s the step), T_il = s |u_i - u_l| the energy lost between channels l
// and i, and dx_i = s du_i the width of channel i in eV, a peak density p(x') (counts per eV)
// gives the background density b(x) = integral over the loss side of K(|x - x'|) p(x') dx'
// (counts per eV).  Its expected counts in channel i are b(x_i) dx_i, and the integral by the
// midpoint rule over the channels l (p(x_l) dx_l = pi_l) is
//
//   (L pi)_i = dx_i sum_{l on the loss side of i, l != i} K(T_il) pi_l.
//
// Channel i itself: K(0) = 0 and K(T) = T / C^2 + O(T^3) near 0, so the midpoint rule is
// exact there to first order and channel i's own half channel, which holds the counts of
// losses below dx_i / 2 (about pi_i dx_i^2 / (8 C^2), an eighth of what its neighbour at one
// channel's distance gives and far below the sum over the losses of tens of eV the kernel
// spans), is left out.  The kernel's values K(T_il) are computed once per model: a vector of
// K at multiples of the step on a uniform grid (the operator is Toeplitz up to the widths),
// otherwise the packed triangle of the matrix; each application is then O(n^2 / 2) products.
//
// Adding a loss background: a kernel function and an entry in the table of follow_terms.cpp,
// and its code after the last one of FollowKind here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fixed_list.hpp"

namespace velmora::engine {

// The side of channel i the term gathers the peaks' counts from: below (the low end of u: the
// term rises towards larger u) or above (rises towards smaller u).
enum class Side : std::int8_t { below = 1, above = -1 };

// Most kernel values a loss term keeps for an irregular grid (the packed triangle of about
// 10 000 channels, 400 MB); a uniform grid keeps one row whatever its length.
inline constexpr double kMaxKernelValues = 5e7;

// Codes of the kinds, as the module surface hands them over: positions in follow_kinds().
enum class FollowKind : std::uint8_t { shirley = 0, tougaard = 1, tougaard3 = 2 };

// Most parameters a kind takes after (code, side).
inline constexpr std::size_t kMaxFollowParams = 3;

struct FollowParamInfo {
  const char* name = nullptr;
  const char* unit = nullptr;
  const char* description = nullptr;
};

// One kind, written with designated initializers.
struct FollowKindInfo {
  FollowKind kind = FollowKind::shirley;  // its position in follow_kinds()
  const char* name = nullptr;
  const char* description = nullptr;
  // The numbers after (code, side) in a model's description of the term; a loss kernel's
  // first is x_scale.
  FixedList<FollowParamInfo, kMaxFollowParams> params{};
  // A loss kernel K(T; params + 1) per eV at the loss T (eV), or nullptr for the Shirley step.
  double (*kernel)(double t, const double* params) = nullptr;
  // How a background reports the term: its counts under `counts_name`, and its share under
  // `share_name` (in `share_unit`) where the share has a meaning of its own (nullptr where not:
  // the Shirley step's share is only a ratio of counts).
  const char* counts_name = nullptr;
  const char* share_name = nullptr;
  const char* share_unit = nullptr;
};

// Every kind, indexed by its code.
std::span<const FollowKindInfo> follow_kinds();

// One term on one grid.
struct FollowTerm {
  FollowKind kind = FollowKind::shirley;
  Side side = Side::below;
  std::vector<double> params;
  // Loss kernels: the widths dx_i in eV and the kernel's values (see above); `toeplitz` when
  // kernel[n - 1 - d] = forward[d] = K(d s h) for a uniform grid of step h (so that row i's
  // entries for l = 0 .. i-1 start at kernel[n - 1 - i], and column l's for i = l+1 .. n-1 at
  // forward[1]), else `kernel` is the lower triangle packed row by row (row i at
  // i (i - 1) / 2) and `forward` is empty.
  std::vector<double> dx;
  std::vector<double> kernel;
  std::vector<double> forward;
  bool toeplitz = false;
  // The largest count the term gathers from one count of the peaks, max_l (L^T 1)_l (the
  // number of channels for the Shirley step): the share of 1 / reach gives the term about as
  // many counts as the peaks have.
  double reach = 0.0;
};

// Builds a term of `kind` on the grid u with channel widths du.  Throws std::invalid_argument
// naming the parameter when the parameters do not suit the kind (a step or C that is not
// finite and positive, a D that is not finite and positive).
FollowTerm make_follow_term(FollowKind kind, Side side, std::span<const double> params,
                            std::span<const double> u, std::span<const double> widths);

// out = L v and out = L^T w (same length as the grid; out must not alias the input).
void apply_follow(const FollowTerm& term, std::span<const double> v, std::span<double> out);
void apply_follow_adjoint(const FollowTerm& term, std::span<const double> w,
                          std::span<double> out);

}  // namespace velmora::engine
