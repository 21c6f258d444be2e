#include "optim/lbfgsb.hpp"

#include "stop.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

// Reverse-communication entry of L-BFGS-B 3.0 (liblbfgsb, gfortran calling convention: every
// argument by reference, INTEGER and LOGICAL are 4 bytes, and the lengths of the two
// CHARACTER*60 arguments task and csave follow as hidden size_t arguments).
//
//   subroutine setulb(n, m, x, l, u, nbd, f, g, factr, pgtol, wa, iwa, task, iprint,
//                     csave, lsave, isave, dsave)
//
// wa holds (2m + 5)n + 11m^2 + 8m doubles, iwa 3n integers, lsave 4 logicals, isave 44
// integers, dsave 29 doubles.  All state of a run lives in these arrays.
extern "C" void setulb_(const int* n, const int* m, double* x, const double* l, const double* u,
                        const int* nbd, double* f, double* g, const double* factr,
                        const double* pgtol, double* wa, int* iwa, char* task, const int* iprint,
                        char* csave, int* lsave, int* isave, double* dsave, std::size_t task_len,
                        std::size_t csave_len);

// The library's line search writes "ascent direction in projection gd = ..." to standard
// output with a Fortran WRITE whenever the search direction is not a descent direction,
// whatever iprint says.  The system must write nothing but its own completion line, so the
// library is linked statically and its formatted-output calls are routed here (the link adds
// --wrap for each of them) and dropped; the condition itself is reported to us through `task`.
extern "C" {
void __wrap__gfortran_st_write(void*) {}
void __wrap__gfortran_st_write_done(void*) {}
void __wrap__gfortran_transfer_character_write(void*, const char*, std::size_t) {}
void __wrap__gfortran_transfer_integer_write(void*, void*, int) {}
void __wrap__gfortran_transfer_real_write(void*, void*, int) {}
void __wrap__gfortran_transfer_array_write(void*, void*, int, std::size_t) {}
}

namespace velmora {
namespace {

constexpr std::size_t kTaskLength = 60;  // CHARACTER*60 task and csave
constexpr std::size_t kMaxCorrections = 1000;
// Keeps every index into the work arrays within a 4-byte Fortran INTEGER:
// (2 * 1000 + 5) * 100000 + 11 * 1000^2 + 8 * 1000 < 2^31.
constexpr std::size_t kMaxVariables = 100000;
// Objective calls allowed per iteration of the limit.  A safety net: the library's own limits
// (20 trials per line search, one restart) keep an ordinary run far below it, but no objective,
// however pathological, can keep one call busy for ever.
constexpr std::size_t kEvaluationsPerIteration = 100;
constexpr double kFactr = 0.0;  // no test on the relative decrease of f
// Changes of f smaller than this fraction of |f| count as rounding (about a thousand units in
// the last place, well above the rounding of a sum over a long grid): the first step of a
// restarted run must lower f by more, and a line search whose trials change f by less, with a
// predicted change below it too, cannot make progress.
constexpr double kRoundingLevel = 1e-13;
// Trials in a row within rounding of the start after which a line search has failed.
constexpr std::size_t kFlatTrials = 3;
// Evaluations remembered for points the line search asks for again.
constexpr std::size_t kRememberedEvaluations = 8;
constexpr int kSilent = -1;     // iprint < 0: the library prints nothing

// Bound kinds of the library (nbd).
constexpr int kUnbounded = 0;
constexpr int kLowerOnly = 1;
constexpr int kBoth = 2;
constexpr int kUpperOnly = 3;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Projected gradient component.  For a variable with a bound, a descent direction that would
// leave the box is cut at the bound:
//   g < 0 and an upper bound:   g <- max(x - u, g)
//   g >= 0 and a lower bound:   g <- min(x - l, g)
double projected_component(double x, double g, double lower, double upper) {
  if (g < 0.0) {
    if (upper != kInf) g = std::max(x - upper, g);
  } else if (g >= 0.0) {
    if (lower != -kInf) g = std::min(x - lower, g);
  }
  return g;
}

// Infinity norm of the projected gradient.  A NaN component makes the norm NaN, which never
// counts as converged.
double projected_gradient_norm(std::span<const double> x, std::span<const double> g,
                               std::span<const double> lower, std::span<const double> upper) {
  double norm = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double a = std::fabs(projected_component(x[i], g[i], lower[i], upper[i]));
    if (std::isnan(a)) return a;
    if (a > norm) norm = a;
  }
  return norm;
}

// True when the projected gradients at two distinct accepted points agree to within half the
// size of the first: the gradient is a property of the objective there, not rounding noise of
// a finite difference (which changes by its own size from one point to the next).
bool gradient_reproduces(std::span<const double> xa, std::span<const double> ga,
                         std::span<const double> xb, std::span<const double> gb,
                         std::span<const double> lower, std::span<const double> upper) {
  if (std::equal(xa.begin(), xa.end(), xb.begin())) return true;  // nothing to compare
  double size = 0.0, change = 0.0;
  for (std::size_t i = 0; i < xa.size(); ++i) {
    const double a = projected_component(xa[i], ga[i], lower[i], upper[i]);
    const double b = projected_component(xb[i], gb[i], lower[i], upper[i]);
    size = std::max(size, std::fabs(a));
    change = std::max(change, std::fabs(a - b));
  }
  return change <= 0.5 * size;
}

// The last few evaluations, by point.  Near the optimum the line search asks again for points
// it has seen (its start, the corner of the box it first steps to, trial steps that round to
// the same point); the objective is a pure function of the point, so a remembered result is
// returned instead of a new pass over the data.  Points are compared bit for bit.
class EvaluationMemory {
 public:
  const LbfgsbEvaluation* find(std::span<const double> x) const {
    for (std::size_t i = 0; i < used_; ++i) {
      const auto& [point, e] = slots_[i];
      if (std::memcmp(point.data(), x.data(), x.size() * sizeof(double)) == 0) return &e;
    }
    return nullptr;
  }
  void remember(std::span<const double> x, const LbfgsbEvaluation& e) {
    auto& slot = slots_[next_];
    slot.first.assign(x.begin(), x.end());
    slot.second.value = e.value;
    slot.second.gradient.assign(e.gradient.begin(), e.gradient.end());
    next_ = (next_ + 1) % slots_.size();
    used_ = std::max(used_, next_ == 0 ? slots_.size() : next_);
  }

 private:
  std::array<std::pair<std::vector<double>, LbfgsbEvaluation>, kRememberedEvaluations> slots_{};
  std::size_t next_ = 0;
  std::size_t used_ = 0;
};

bool all_finite(double f, std::span<const double> g) {
  return std::isfinite(f) &&
         std::all_of(g.begin(), g.end(), [](double v) { return std::isfinite(v); });
}

bool task_is(const char* task, std::string_view prefix) {
  return std::string_view(task, kTaskLength).starts_with(prefix);
}

LbfgsbResult error_result(std::string_view message) {
  LbfgsbResult r;
  r.error = message;
  return r;
}

LbfgsbResult make_result(std::span<const double> x, double f, LbfgsbStatus status,
                         std::size_t iterations, std::size_t evaluations) {
  LbfgsbResult r;
  r.point.assign(x.begin(), x.end());
  r.value = f;
  r.status = status;
  r.iterations = iterations;
  r.evaluations = evaluations;
  return r;
}

}  // namespace

LbfgsbResult lbfgsb_minimize(const LbfgsbObjective& objective, std::span<const double> start,
                             std::span<const double> lower, std::span<const double> upper,
                             const LbfgsbSettings& settings) {
  // Settings.
  if (settings.m < 1 || settings.m > kMaxCorrections) {
    return error_result("m must be between 1 and 1000");
  }
  if (!(settings.pgtol >= 0.0)) return error_result("pgtol must be a non-negative number");

  // The problem: equal lengths, then per index a usable bound pair.
  const std::size_t n = start.size();
  if (lower.size() != n || upper.size() != n) {
    return error_result("length mismatch between x and bounds");
  }
  if (n > kMaxVariables) return error_result("too many variables (at most 100000)");
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(lower[i]) || std::isnan(upper[i])) {
      return error_result("bound is NaN for some index");
    }
    if (lower[i] > upper[i]) return error_result("lower > upper for some index");
    if (lower[i] == kInf || upper[i] == -kInf) {
      return error_result("lower bound is +inf or upper bound is -inf for some index");
    }
  }

  // Start projected into the box: below the lower bound -> lower, above the upper -> upper.
  std::vector<double> x(start.begin(), start.end());
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] < lower[i]) {
      x[i] = lower[i];
    } else if (x[i] > upper[i]) {
      x[i] = upper[i];
    }
  }

  // First evaluation, kept to answer the library's first request.
  std::size_t evaluations = 1;
  checkpoint();
  LbfgsbEvaluation first = objective(std::span<const double>(x));
  if (first.gradient.size() != n) return error_result("gradient length mismatch");
  if (projected_gradient_norm(x, first.gradient, lower, upper) <= settings.pgtol) {
    return make_result(x, first.value, LbfgsbStatus::converged, 0, evaluations);
  }
  // No line search can start where f or its gradient is not finite: every trial would be
  // rejected.
  if (!all_finite(first.value, first.gradient)) {
    return make_result(x, first.value, LbfgsbStatus::line_search_failed, 0, evaluations);
  }
  if (settings.max_iterations == 0) {
    return make_result(x, first.value, LbfgsbStatus::iteration_limit, 0, evaluations);
  }
  // Requests of the library for f and g (answered from memory or by a new evaluation).
  const std::size_t max_requests =
      settings.max_iterations > std::numeric_limits<std::size_t>::max() / kEvaluationsPerIteration
          ? std::numeric_limits<std::size_t>::max()
          : settings.max_iterations * kEvaluationsPerIteration;
  std::size_t requests = 1;
  EvaluationMemory memory;
  memory.remember(x, first);

  // Library arguments.  Bounds of an unbounded side are passed as given; the library does
  // not read them.
  const int n_f = static_cast<int>(n);
  const int m_f = static_cast<int>(settings.m);
  std::vector<int> nbd(n);
  for (std::size_t i = 0; i < n; ++i) {
    const bool has_lower = lower[i] != -kInf;
    const bool has_upper = upper[i] != kInf;
    nbd[i] = has_lower ? (has_upper ? kBoth : kLowerOnly) : (has_upper ? kUpperOnly : kUnbounded);
  }
  const std::size_t mm = settings.m;
  std::vector<double> wa((2 * mm + 5) * n + 11 * mm * mm + 8 * mm);
  std::vector<int> iwa(3 * n);
  char task[kTaskLength];
  char csave[kTaskLength];
  int lsave[4] = {};
  int isave[44] = {};
  double dsave[29] = {};
  const double factr = kFactr;
  const double pgtol = settings.pgtol;
  const int iprint = kSilent;

  double f = first.value;
  std::vector<double> g = std::move(first.gradient);
  // The point of the library's first request, evaluated already: the projected start, or the
  // point a restart begins from.
  std::vector<double> x_first = x;
  double f_first = f;
  std::vector<double> g_first = g;
  bool first_pending = true;

  // The last accepted point (the projected start until the first step is accepted) and the
  // one before it.
  std::vector<double> x_accepted = x;
  double f_accepted = f;
  std::vector<double> g_accepted = g;
  std::vector<double> x_before = x;
  double f_before = f;
  std::vector<double> g_before = g;
  bool trial_rejected = false;  // the last evaluation was not finite
  bool restarted = false;       // the current run is a restart, before its first step
  std::size_t flat_trials = 0;  // trials in a row of this line search within rounding
  std::size_t iterations = 0;

  // (Re)starts the library at x with fresh memory.
  auto start_run = [&] {
    std::memset(task, ' ', kTaskLength);
    std::memset(csave, ' ', kTaskLength);
    std::memcpy(task, "START", 5);
    std::fill(std::begin(lsave), std::end(lsave), 0);
    std::fill(std::begin(isave), std::end(isave), 0);
    std::fill(std::begin(dsave), std::end(dsave), 0.0);
    x_first = x;
    f_first = f;
    g_first = g;
    first_pending = true;
    flat_trials = 0;
  };
  start_run();

  // The search has stalled at the last accepted point: the library stopped on a step that did
  // not lower f, or a line search found nothing but rounding.  Two situations end this way.
  // Far from the optimum, the stored pairs can point the search along a useless direction
  // while the gradient is still a true slope; the search then goes on from the best point with
  // fresh memory.  At the optimum of an objective with a finite-difference gradient, the
  // gradient is rounding noise and no direction helps; the line search has failed.  They are
  // told apart by the gradient: a true slope is nearly the same at the last two accepted
  // points, noise is not.  A restart also needs the run since the last start to have lowered
  // f, and its own first step must lower f by more than rounding, or the search has failed
  // after all.  `slope` is the outcome of that gradient test; returns true when the search
  // restarts.
  auto restart_after_stall = [&](bool slope) {
    if (!(slope && f_accepted < f_first && requests < max_requests)) return false;
    x = x_accepted;
    f = f_accepted;
    g = g_accepted;
    x_before = x;
    f_before = f;
    g_before = g;
    start_run();
    restarted = true;
    return true;
  };
  // True when a trial at x with value fx lies within rounding of the start of the line search
  // (the last accepted point): both the change of f and the change the gradient predicts.
  auto within_rounding = [&](double fx) {
    const double band = kRoundingLevel * std::fabs(f_accepted);
    double predicted = 0.0;
    for (std::size_t i = 0; i < n; ++i) predicted += g_accepted[i] * (x[i] - x_accepted[i]);
    return std::fabs(predicted) <= band && std::fabs(fx - f_accepted) <= band;
  };

  for (;;) {
    setulb_(&n_f, &m_f, x.data(), lower.data(), upper.data(), nbd.data(), &f, g.data(), &factr,
            &pgtol, wa.data(), iwa.data(), task, &iprint, csave, lsave, isave, dsave,
            kTaskLength, kTaskLength);

    if (task_is(task, "FG")) {
      // The library asks for f and g at x.  Its first request is at the projected start,
      // which has been evaluated already.
      if (first_pending) {
        first_pending = false;
        if (std::equal(x.begin(), x.end(), x_first.begin())) {
          f = f_first;
          std::copy(g_first.begin(), g_first.end(), g.begin());
          continue;
        }
      }
      if (requests >= max_requests) {
        return make_result(x_accepted, f_accepted, LbfgsbStatus::line_search_failed, iterations,
                           evaluations);
      }
      ++requests;
      const LbfgsbEvaluation* known = memory.find(x);
      LbfgsbEvaluation fresh;
      if (known == nullptr) {
        checkpoint();
        ++evaluations;
        fresh = objective(std::span<const double>(x));
        if (fresh.gradient.size() != n) return error_result("projgr failed");
        memory.remember(x, fresh);
      }
      const LbfgsbEvaluation& e = known != nullptr ? *known : fresh;
      trial_rejected = !all_finite(e.value, e.gradient);
      if (trial_rejected) {
        // A trial where f or g is not finite must not be accepted, and the library's step
        // interpolation cannot use such values.  It is shown instead a value above f at the
        // start of the search, rising with the step as |g0.(x - x0)|, and the gradient g0 of
        // the start, so that it rejects the trial and tries a much shorter step.
        double slope = 0.0;
        for (std::size_t i = 0; i < n; ++i) slope += g_accepted[i] * (x[i] - x_accepted[i]);
        f = f_accepted + std::fabs(slope);
        if (!(f > f_accepted)) f = std::nextafter(f_accepted, kInf);
        std::copy(g_accepted.begin(), g_accepted.end(), g.begin());
        continue;
      }
      flat_trials = within_rounding(e.value) ? flat_trials + 1 : 0;
      if (flat_trials >= kFlatTrials) {
        if (restart_after_stall(gradient_reproduces(x_accepted, g_accepted, x_before, g_before,
                                                    lower, upper))) {
          continue;
        }
        return make_result(x_accepted, f_accepted, LbfgsbStatus::line_search_failed, iterations,
                           evaluations);
      }
      f = e.value;
      std::copy(e.gradient.begin(), e.gradient.end(), g.begin());
      continue;
    }

    if (task_is(task, "NEW_X")) {
      // A step has been accepted; x, f, g are the new iterate.  The library tests convergence
      // when it is called again, so at the limit the same test is made here.
      if (trial_rejected) {
        // The line search gave up (on rounding errors) at a rejected trial: it has failed.
        return make_result(x_accepted, f_accepted, LbfgsbStatus::line_search_failed, iterations,
                           evaluations);
      }
      ++iterations;
      flat_trials = 0;
      x_before.swap(x_accepted);
      f_before = f_accepted;
      g_before.swap(g_accepted);
      x_accepted = x;
      f_accepted = f;
      g_accepted = g;
      if (restarted) {
        restarted = false;
        if (!(f_first - f > kRoundingLevel * std::fabs(f_first))) {
          return f <= f_before ? make_result(x, f, LbfgsbStatus::line_search_failed, iterations,
                                             evaluations)
                               : make_result(x_before, f_before,
                                             LbfgsbStatus::line_search_failed, iterations,
                                             evaluations);
        }
      }
      if (iterations >= settings.max_iterations) {
        const LbfgsbStatus status = projected_gradient_norm(x, g, lower, upper) <= pgtol
                                        ? LbfgsbStatus::converged
                                        : LbfgsbStatus::iteration_limit;
        return make_result(x, f, status, iterations, evaluations);
      }
      continue;
    }

    if (task_is(task, "CONVERGENCE: NORM_OF_PROJECTED_GRADIENT")) {
      return make_result(x, f, LbfgsbStatus::converged, iterations, evaluations);
    }

    if (task_is(task, "CONVERGENCE: REL_REDUCTION_OF_F")) {
      // With factr = 0 the library still stops when an accepted step did not lower f at all
      // (f_before - f <= 0).  The projected gradient is above pgtol (that test comes first),
      // so this is no convergence: the run has no stop on the decrease of f.  It is a stall.
      // The slope test looks at the last two accepted points before a step that raised f
      // (possible when the line search gives up on rounding errors) is undone.
      const bool slope =
          gradient_reproduces(x_accepted, g_accepted, x_before, g_before, lower, upper);
      if (f_accepted > f_before) {
        x_accepted = x_before;
        f_accepted = f_before;
        g_accepted = g_before;
      }
      if (restart_after_stall(slope)) continue;
      return make_result(x_accepted, f_accepted, LbfgsbStatus::line_search_failed, iterations,
                         evaluations);
    }

    if (task_is(task, "ABNORMAL_TERMINATION_IN_LNSRCH")) {
      // The library has restored x, f and g to the point where the failed search started.
      return make_result(x, f, LbfgsbStatus::line_search_failed, iterations, evaluations);
    }

    if (task_is(task, "ERROR")) return error_result("L-BFGS-B rejected its input");
    return error_result("L-BFGS-B stopped for an unknown reason");
  }
}

}  // namespace velmora
