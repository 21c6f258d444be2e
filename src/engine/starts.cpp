// Starting values read from a spectrum in the core (starts.hpp).
#include "engine/starts.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// The smoothing of the counts, in grid steps.
constexpr double kSmoothingWidth = 1.5;
// Share of the signal a peak starts with where the peaks already read leave nothing.
constexpr double kLeftOverShare = 0.1;
// Area of a Gaussian of unit height and unit full width at half maximum: sqrt(pi / ln 16).
constexpr double kGaussianAreaPerFwhm = 1.0644670194312262;
// The background's share of the counts is kept within these.
constexpr double kShareLo = 0.02;
constexpr double kShareHi = 0.9;

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

// NumPy's minimum and maximum: NaN in either gives NaN.
double np_min(double a, double b) { return std::isnan(a) || std::isnan(b) ? kNaN : (b < a ? b : a); }
double np_max(double a, double b) { return std::isnan(a) || std::isnan(b) ? kNaN : (b > a ? b : a); }
double np_clip(double v, double lo, double hi) { return np_min(np_max(v, lo), hi); }

// The first index of the largest value (NaN counts as largest, as in NumPy).
std::size_t argmax(std::span<const double> v) {
  std::size_t best = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isnan(v[i])) return i;
    if (v[i] > v[best]) best = i;
  }
  return best;
}

// The grid index nearest to `position` (the first of equals; 0 for NaN).
std::size_t nearest(std::span<const double> x, double position) {
  if (std::isnan(position)) return 0;
  std::size_t best = 0;
  double d_best = std::fabs(x[0] - position);
  for (std::size_t i = 1; i < x.size(); ++i) {
    const double d = std::fabs(x[i] - position);
    if (std::isnan(d)) return i;
    if (d < d_best) {
      best = i;
      d_best = d;
    }
  }
  return std::isnan(d_best) ? 0 : best;
}

// np.percentile(values, 20) of a few values (linear, from the nearer end of the interval).
double percentile_20(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double virtual_index = static_cast<double>(n - 1) * 0.2;
  const auto below = static_cast<std::size_t>(std::floor(virtual_index));
  const std::size_t above = std::min(below + 1, n - 1);
  const double t = virtual_index - static_cast<double>(below);
  const double a = values[below];
  const double b = values[above];
  const double step = b - a;
  return t >= 0.5 ? b - step * (1 - t) : a + step * t;
}

double mean_of(const double* a, std::size_t n) { return numpy_sum(a, n) / static_cast<double>(n); }

// The Gaussian whose start rule turns a position and width into the width of the bump taken
// off the residual.
struct BumpShape {
  const shapes::ShapeEntry* shape = nullptr;
  std::size_t sigma = 0;
};

const BumpShape& bump_shape() {
  static const BumpShape found = [] {
    for (const shapes::ShapeEntry* s : shapes::all_shapes()) {
      if (std::string_view(s->name) != "gaussian") continue;
      for (std::size_t q = 0; q < s->params.size(); ++q) {
        if (std::string_view(s->params[q].name) == "sigma") return BumpShape{s, q};
      }
    }
    return BumpShape{};
  }();
  if (found.shape == nullptr) invalid("starts: the registry has no Gaussian with a sigma");
  return found;
}

struct Picked {
  double height = 0.0, position = 0.0, fwhm = 0.0;
};

// The greedy picking of peaks on one spectrum (velmora.guess.Picker).
class Picker {
 public:
  Picker(const StartRule& rule, std::span<const double> counts) : x_(rule.x), step_(rule.step) {
    const std::size_t n = x_.size();
    const std::vector<double> smoothed = smooth(counts, kSmoothingWidth);
    // The baseline: a straight line through the low counts at both ends, below the data.
    const std::size_t end = std::min(std::max<std::size_t>(3, n / 20), n);
    const double left = percentile_20({smoothed.begin(), smoothed.begin() + end});
    const double right = percentile_20({smoothed.end() - end, smoothed.end()});
    const double xl = mean_of(x_.data(), end);
    const double xr = mean_of(x_.data() + n - end, end);
    const double span = xr != xl ? xr - xl : 1.0;
    base_.resize(n);
    residual_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double line = left + (right - left) * (x_[i] - xl) / span;
      base_[i] = np_min(line, smoothed[i]);
      residual_[i] = smoothed[i] - base_[i];
    }
    signal_ = residual_;
    total_ = numpy_sum(counts.data(), counts.size());
  }

  double total() const { return total_; }

  // Rough share of the counts under the baseline.
  double background_share() const {
    std::vector<double> clipped(base_.size());
    for (std::size_t i = 0; i < base_.size(); ++i) clipped[i] = np_max(base_[i], 0.0);
    const double base = numpy_sum(clipped.data(), clipped.size());
    return total_ > 0.0 ? np_clip(base / total_, kShareLo, kShareHi) : 0.5;
  }

  double height_at(double position) const { return residual_[nearest(x_, position)]; }

  // The next peak (at `position`, or the tallest where it is NaN and `placed` is false), which
  // is then taken off the residual.
  Picked take(bool placed, double position) {
    Picked p = pick(residual_, placed, position);
    if (!(p.height > 0.0)) {
      const Picked left_over = pick(signal_, true, p.position);
      p.height = kLeftOverShare * left_over.height;
      p.fwhm = left_over.fwhm;
    }
    const BumpShape& g = bump_shape();
    std::array<double, shapes::kMaxShapeParams> params{};
    g.shape->start(p.position, p.fwhm, params.data());
    const double sigma = params[g.sigma];
    for (std::size_t i = 0; i < x_.size(); ++i) {
      const double z = (x_[i] - p.position) / sigma;
      residual_[i] = residual_[i] - p.height * std::exp(-0.5 * (z * z));
    }
    return p;
  }

  double area(double height, double fwhm) const {
    return np_max(height * fwhm * kGaussianAreaPerFwhm / step_, 0.0);
  }

 private:
  Picked pick(const std::vector<double>& residual, bool placed, double position) const {
    std::size_t i = 0;
    Picked p;
    if (placed) {
      i = nearest(x_, position);
      p.position = position;
    } else {
      i = argmax(residual);
      p.position = x_[i];
    }
    p.height = np_max(residual[i], 0.0);
    const double fwhm = p.height > 0.0 ? half_width(residual, i) : 0.0;
    p.fwhm = np_min(np_max(fwhm, 2.0 * step_), 0.5 * (x_.back() - x_.front()));
    return p;
  }

  // Where `signal` falls to `half` between x[j] and its neighbour towards i.
  double crossing(const std::vector<double>& signal, std::size_t i, double half,
                  std::size_t j) const {
    const std::size_t last = x_.size() - 1;
    const std::size_t k = j < i ? std::min(j + 1, last) : (j == 0 ? 0 : j - 1);
    const double a = signal[j];
    const double b = signal[k];
    if (a > half || j == i || !(b != a)) return x_[j];
    const double t = (half - a) / (b - a);
    return x_[j] + t * (x_[k] - x_[j]);
  }

  // Full width at half maximum of the bump at index i.
  double half_width(const std::vector<double>& signal, std::size_t i) const {
    const std::size_t n = x_.size();
    const double half = signal[i] * 0.5;
    std::size_t left = 0;
    for (std::size_t j = i + 1; j-- > 0;) {
      if (!(signal[j] > half)) {
        left = j;
        break;
      }
    }
    std::size_t right = n - 1;
    for (std::size_t j = i; j < n; ++j) {
      if (!(signal[j] > half)) {
        right = j;
        break;
      }
    }
    return crossing(signal, i, half, right) - crossing(signal, i, half, left);
  }

  std::span<const double> x_;
  double step_;
  std::vector<double> base_, residual_, signal_;
  double total_ = 0.0;
};

// Where each peak's parameters sit in the model, and the shape's location parameter.
std::size_t location_of(const Model& m, std::size_t j) {
  return m.peaks[j].first + shapes::location_index(*m.peaks[j].shape);
}

// The ties evaluated at `values` (every parameter, internal units) as the engine evaluates
// them, in their order; a tie of a value not known (not finite, or a tie of such a one) is
// NaN and not known.
void evaluate_ties(const Model& m, std::vector<double>& values, std::vector<bool>& known) {
  std::vector<double> user(m.n_params(), 0.0);
  for (std::size_t t = 0; t < m.programs.size(); ++t) {
    const std::size_t target = m.targets[t];
    bool all_known = true;
    for (const ties::Instruction& ins : m.programs[t]) {
      if (ins.op == ties::Op::reference) {
        const auto r = static_cast<std::size_t>(ins.operand);
        all_known = all_known && known[r];
        user[r] = m.scale[r] * values[r] + m.offset[r];
      }
    }
    known[target] = all_known;
    if (!all_known) {
      values[target] = kNaN;
      continue;
    }
    const ties::Jet jet = ties::evaluate(m.programs[t], user);
    values[target] = (jet.value - m.offset[target]) / m.scale[target];
  }
}

// The values read for the peaks of one spectrum (units of x), per peak and parameter; NaN
// where nothing was read.
using Found = std::vector<std::array<double, kMaxPeakParams>>;

// What a peak takes from what was picked for it: the shape's start rule for the parameters
// read, clamped into the peak's bounds, and the Gaussian's counts as its area.
void fill(const StartRule& rule, const Model& m, std::size_t j, const Picked& p,
          const Picker& picker, Found& found) {
  const StartPeak& peak = rule.peaks[j];
  const shapes::ShapeEntry& shape = *m.peaks[j].shape;
  const std::size_t n_shape = shape.params.size();
  // A full width given as a start takes the place of the one read.
  const double fwhm = std::isnan(peak.fwhm) ? p.fwhm : peak.fwhm;
  std::array<double, shapes::kMaxShapeParams> params{};
  shape.start(p.position, fwhm, params.data());
  for (std::size_t q = 0; q < n_shape; ++q) {
    if (peak.read[q]) found[j][q] = np_clip(params[q], peak.lo[q], peak.hi[q]);
  }
  if (peak.read[n_shape]) {
    found[j][n_shape] = np_clip(picker.area(p.height, fwhm), peak.lo[n_shape], peak.hi[n_shape]);
  }
}

// Every parameter at the values given and those found so far (internal units), the ties
// evaluated: the positions of the peaks whose position is tied, where known.
void tied_positions(const StartRule& rule, const Model& m, const Found& found,
                    std::vector<double>& out, std::vector<bool>& known) {
  out = rule.given;
  for (std::size_t j = 0; j < m.peaks.size(); ++j) {
    const std::size_t n = m.peaks[j].shape->params.size() + 1;
    for (std::size_t q = 0; q < n; ++q) {
      const std::size_t e = m.peaks[j].first + q;
      if (rule.peaks[j].read[q] && !std::isnan(found[j][q])) {
        out[e] = (found[j][q] - m.offset[e]) / m.scale[e];
      }
    }
  }
  known.assign(m.n_params(), false);
  for (std::size_t e = 0; e < m.n_params(); ++e) {
    known[e] = m.roles[e] == Role::tied || std::isfinite(out[e]);
  }
  evaluate_ties(m, out, known);
}

// The peaks' values of one spectrum (velmora.guess.fill_values for one row).
Found fill_values(const StartRule& rule, const Model& m, Picker& picker) {
  const std::size_t k_count = m.peaks.size();
  Found found(k_count);
  for (auto& f : found) f.fill(kNaN);
  std::vector<bool> filled(k_count, false);
  std::vector<bool> placed(k_count, false);
  std::vector<double> where(k_count, kNaN);
  bool any_tied = false;
  for (std::size_t j = 0; j < k_count; ++j) {
    if (rule.peaks[j].position_tied) {
      any_tied = true;
    } else if (!std::isnan(rule.peaks[j].position)) {
      placed[j] = true;
      where[j] = rule.peaks[j].position;
    }
  }
  std::vector<double> values;
  std::vector<bool> known;
  auto resolve = [&] {
    if (!any_tied) return;
    tied_positions(rule, m, found, values, known);
    for (std::size_t j = 0; j < k_count; ++j) {
      if (!rule.peaks[j].position_tied || placed[j]) continue;
      const std::size_t e = location_of(m, j);
      if (known[e]) {
        placed[j] = true;
        where[j] = m.scale[e] * values[e] + m.offset[e];
      }
    }
  };
  resolve();
  // The peaks of known position, the highest above what is left first.
  std::vector<std::size_t> pending;
  for (std::size_t j = 0; j < k_count; ++j) {
    if (placed[j]) pending.push_back(j);
  }
  std::vector<bool> taken(k_count, false);
  for (std::size_t round = 0; round < pending.size(); ++round) {
    std::size_t choice = 0;
    double best = -kInf;
    for (std::size_t c = 0; c < pending.size(); ++c) {
      const std::size_t j = pending[c];
      double h = taken[j] ? -kInf : picker.height_at(where[j]);
      if (std::isnan(h)) h = -kInf;
      if (h > best) {
        best = h;
        choice = c;
      }
    }
    const std::size_t j = pending[choice];
    fill(rule, m, j, picker.take(true, where[j]), picker, found);
    filled[j] = true;
    taken[j] = true;
  }
  for (std::size_t j = 0; j < k_count; ++j) {
    if (!filled[j] && !rule.peaks[j].position_tied) {
      fill(rule, m, j, picker.take(false, kNaN), picker, found);
      filled[j] = true;
    }
  }
  resolve();
  for (std::size_t j = 0; j < k_count; ++j) {
    if (!filled[j]) {
      fill(rule, m, j, picker.take(placed[j], where[j]), picker, found);
      filled[j] = true;
    }
  }
  return found;
}

// Counts on both ends of the window's smoothed counts (means of the first and last fiftieth,
// three points at least).
std::pair<double, double> ends(const std::vector<double>& smoothed) {
  const std::size_t n = smoothed.size();
  const std::size_t m = std::min(std::max<std::size_t>(3, n / 50), n);
  return {mean_of(smoothed.data(), m), mean_of(smoothed.data() + n - m, m)};
}

// Python's max and min of two numbers: the first unless the second is larger (smaller).
double py_max(double a, double b) { return b > a ? b : a; }
double py_min(double a, double b) { return b < a ? b : a; }

// The background's coefficients.
void background_start(const StartRule& rule, const Model& m, std::span<const double> counts,
                      double share, double total, std::span<double> out) {
  const std::size_t n_columns = m.columns.size();
  if (rule.background == BackgroundStart::spread) {
    for (std::size_t b = 0; b < n_columns; ++b) {
      out[b] = share * total / static_cast<double>(std::max<std::size_t>(n_columns, 1));
    }
    for (std::size_t s = n_columns; s < out.size(); ++s) out[s] = 0.0;
    return;
  }
  // The Shirley step: the constant from the end before the peaks, the step's share from the
  // rise to the other end over the peaks' counts.
  const auto [left, right] = ends(smooth(counts, kSmoothingWidth));
  const double base = rule.kinetic ? right : left;
  const double top = rule.kinetic ? left : right;
  const double jump = py_max(top - base, 0.0);
  const auto n = static_cast<double>(counts.size());
  const double peaks = py_max(total - base * n - 0.5 * jump * n, 0.1 * total);
  out[0] = py_min(base * n, total);
  out[1] = peaks > 0.0 ? jump / peaks : 0.0;
}

// Whether a tied value at the start lies in its parameter's range (a centre: in the window).
bool tie_usable(const StartRule& rule, const Model& m, std::size_t e, double v) {
  if (!std::isfinite(v)) return false;
  std::size_t j = 0;
  while (j + 1 < m.peaks.size() && m.peaks[j + 1].first <= e) ++j;
  const shapes::ShapeEntry& shape = *m.peaks[j].shape;
  const std::size_t q = e - m.peaks[j].first;
  if (q >= shape.params.size()) return v >= 0.0;  // an area: [0, inf)
  const shapes::ParamInfo& info = shape.params[q];
  if (info.kind == shapes::Kind::location) {
    const double user = m.scale[e] * v + m.offset[e];
    return user >= rule.window_lo && user <= rule.window_hi;
  }
  const bool above = info.lo_open ? v > info.natural_lo : v >= info.natural_lo;
  const bool below = info.hi_open ? v < info.natural_hi : v <= info.natural_hi;
  return above && below;
}

}  // namespace

double numpy_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    std::array<double, 8> r{};
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return numpy_sum(a, n2) + numpy_sum(a + n2, n - n2);
}

std::vector<double> smooth(std::span<const double> counts, double width) {
  const auto half = static_cast<std::size_t>(4 * width + 0.5);
  const std::size_t taps = 2 * half + 1;
  std::vector<double> kernel(taps);
  for (std::size_t k = 0; k < taps; ++k) {
    const double z = (static_cast<double>(k) - static_cast<double>(half)) / width;
    kernel[k] = std::exp(-0.5 * (z * z));
  }
  const double sum = numpy_sum(kernel.data(), taps);
  for (double& w : kernel) w = w / sum;
  const std::size_t n = counts.size();
  std::vector<double> padded(n + 2 * half);
  std::fill_n(padded.begin(), half, counts.front());
  std::copy(counts.begin(), counts.end(), padded.begin() + half);
  std::fill_n(padded.begin() + half + n, half, counts.back());
  std::vector<double> out(n, 0.0);
  for (std::size_t k = 0; k < taps; ++k) {
    const double w = kernel[taps - 1 - k];
    for (std::size_t i = 0; i < n; ++i) out[i] += w * padded[k + i];
  }
  return out;
}

void check_start_rule(const StartRule& rule, const Model& m) {
  if (rule.x.size() != m.n_points()) invalid("starts: x must have the grid's length");
  for (std::size_t i = 0; i < rule.x.size(); ++i) {
    if (!std::isfinite(rule.x[i]) || (i > 0 && !(rule.x[i] > rule.x[i - 1]))) {
      invalid("starts: x must be finite and increasing");
    }
  }
  if (!(rule.step > 0.0) || !std::isfinite(rule.step)) invalid("starts: step must be positive");
  if (!(rule.window_lo <= rule.window_hi)) invalid("starts: the window is reversed");
  if (rule.peaks.size() != m.peaks.size()) invalid("starts: expected one entry per peak");
  if (rule.given.size() != m.n_params()) invalid("starts: given must hold every parameter");
  if (rule.background == BackgroundStart::shirley &&
      (m.columns.size() != 1 || m.follows.size() != 1)) {
    invalid("starts: a Shirley start needs one column and one term that follows the peaks");
  }
  for (std::size_t j = 0; j < rule.peaks.size(); ++j) {
    const StartPeak& p = rule.peaks[j];
    if (!std::isnan(p.fwhm) && !(p.fwhm > 0.0 && std::isfinite(p.fwhm))) {
      invalid("starts: the width given to peak " + std::to_string(j) + " must be positive");
    }
    const std::size_t n = m.peaks[j].shape->params.size() + 1;
    for (std::size_t q = 0; q < n; ++q) {
      if (std::isnan(p.lo[q]) || std::isnan(p.hi[q]) || p.lo[q] > p.hi[q]) {
        invalid("starts: bounds of peak " + std::to_string(j) + " are NaN or reversed");
      }
    }
  }
}

bool read_start(const StartRule& rule, const Model& m, std::span<const double> counts,
                std::span<double> theta, std::span<double> values) {
  Picker picker(rule, counts);
  const double share = m.columns.empty() && m.follows.empty() ? 0.0 : picker.background_share();
  const double total = picker.total();
  const Found found = fill_values(rule, m, picker);
  std::copy(rule.given.begin(), rule.given.end(), values.begin());
  for (std::size_t j = 0; j < m.peaks.size(); ++j) {
    const std::size_t n = m.peaks[j].shape->params.size() + 1;
    for (std::size_t q = 0; q < n; ++q) {
      const std::size_t e = m.peaks[j].first + q;
      if (rule.peaks[j].read[q] && m.roles[e] != Role::tied) {
        values[e] = (found[j][q] - m.offset[e]) / m.scale[e];
      }
    }
  }
  const std::size_t first_bg = m.first_background;
  if (m.n_params() > first_bg) {
    background_start(rule, m, counts, share, total, values.subspan(first_bg));
  }
  bool usable = true;
  for (std::size_t e = 0; e < m.n_params(); ++e) {
    if (m.roles[e] == Role::free) {
      const std::size_t a = m.slots[e];
      double v = values[e];
      if (!std::isfinite(rule.given[e])) v = np_min(np_max(v, m.lower[a]), m.upper[a]);
      values[e] = v;
      theta[a] = v;
      usable = usable && std::isfinite(v);
    } else if (m.roles[e] == Role::fixed) {
      usable = usable && std::isfinite(values[e]);
    }
  }
  if (!m.programs.empty()) {
    std::vector<double> all(values.begin(), values.end());
    std::vector<bool> known(m.n_params());
    for (std::size_t e = 0; e < m.n_params(); ++e) {
      known[e] = m.roles[e] == Role::tied || std::isfinite(all[e]);
    }
    evaluate_ties(m, all, known);
    std::copy(all.begin(), all.end(), values.begin());
    for (const std::size_t e : m.targets) usable = usable && tie_usable(rule, m, e, values[e]);
  }
  return usable;
}

}  // namespace velmora::engine
