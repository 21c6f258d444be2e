#include "em/peak_fit.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "errors.hpp"

namespace velmora::peak_fit {
namespace {

// A bound as it reads in a message: NaN, inf, -inf, or the shortest decimal that reads back
// as the same double (with ".0" on whole numbers, so 5 reads "5.0").
std::string bound_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string text(buf, r.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

double total_weight(std::span<const double> w) {
  double s = 0.0;
  for (const double v : w) s += v;
  return s;
}

double weighted_log_likelihood(std::span<const double> q, double t, std::span<const double> w,
                               std::span<double> terms) {
  const std::size_t n = std::min(q.size(), w.size());
  double ll = 0.0;
  if (n <= shapes::kPointsPerTask || terms.size() < n) {
    for (std::size_t i = 0; i < n; ++i) ll += w[i] * std::log(q[i] / t + kLogGuard);
    return ll;
  }
  // The same products, formed block by block on the pool, then summed in index order.
  shapes::for_each_point_block(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) terms[i] = w[i] * std::log(q[i] / t + kLogGuard);
  });
  for (std::size_t i = 0; i < n; ++i) ll += terms[i];
  return ll;
}

double zero_density_log_likelihood(std::size_t n, std::span<const double> w) {
  const double term = std::log(0.0 + kLogGuard);
  const std::size_t m = std::min(n, w.size());
  double ll = 0.0;
  for (std::size_t i = 0; i < m; ++i) ll += w[i] * term;
  return ll;
}

void check_clamp_pair(double lo, double hi) {
  if (!(lo <= hi)) {
    throw InternalError("min > max, or either was NaN. min = " + bound_text(lo) +
                        ", max = " + bound_text(hi));
  }
}

double clamp_checked(double value, double lo, double hi) {
  check_clamp_pair(lo, hi);
  if (value < lo) value = lo;
  if (value > hi) value = hi;
  return value;
}

}  // namespace velmora::peak_fit
