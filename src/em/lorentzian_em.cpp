// The Lorentzian's weighted single-peak fit, its status line and the Lorentzian mixture
// (lorentzian_em.hpp).
#include "em/lorentzian_em.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>

#include "em/peak_fit.hpp"
#include "worker_pool.hpp"

namespace velmora::lorentzian {

double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> w,
                                 double x0, double gamma, double x_min, double x_max) {
  std::vector<double> q(x.size());
  std::vector<double> terms(x.size());
  const double t = lorentzian_profile(x, q, x0, gamma, x_min, x_max);
  return peak_fit::weighted_log_likelihood(q, t, w, terms);
}

namespace {

// Keeps the lines of concurrent fits whole.  A fork waits until no line is being written, so
// that the child never inherits the lock held by a thread it does not have.
std::mutex line_mutex;
void lock_line() { line_mutex.lock(); }
void unlock_line() { line_mutex.unlock(); }
[[maybe_unused]] const int line_fork_handlers = pthread_atfork(lock_line, unlock_line, unlock_line);

}  // namespace

void announce_finished() noexcept {
  static constexpr char kLine[] = "LBFGSB finished\n";
  const std::lock_guard<std::mutex> lock(line_mutex);

  // A write to a pipe whose reader has gone raises SIGPIPE at the writing thread, which ends
  // the process unless the signal is ignored.  It is blocked on this thread for the write, and
  // one raised by the write is taken back before the mask is restored; a SIGPIPE that was
  // already pending is left alone.
  sigset_t pipe_only;
  sigset_t saved;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool pipe_was_pending = sigismember(&pending, SIGPIPE) == 1;

  std::size_t done = 0;
  const std::size_t length = sizeof kLine - 1;
  bool broken_pipe = false;
  while (done < length) {
    const ssize_t written = ::write(STDOUT_FILENO, kLine + done, length - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {  // closed, full, no reader, would block: the line is dropped
      broken_pipe = written < 0 && errno == EPIPE;
      break;
    }
    done += static_cast<std::size_t>(written);
  }

  if (broken_pipe && !pipe_was_pending) {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void lorentzian_fit(std::span<const double> x, std::span<const double> w, double& x0,
                    double& gamma, double x_min, double x_max, bool fix_x0, bool fix_gamma,
                    bool announce) {
  if ((fix_x0 && fix_gamma) || w.empty()) return;
  const double total = peak_fit::total_weight(w);
  if (total < peak_fit::kEmptyWeight) return;  // a NaN total does not take this exit

  // Starting values: the weighted mean and the second moment about zero (not about the mean),
  // over the points that have both a grid value and a weight.
  const std::size_t n = std::min(w.size(), x.size());
  peak_fit::FreeParameters<2> params({x0, gamma}, {fix_x0, fix_gamma});
  if (!fix_x0) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += x[i] * w[i];
    params.bound(0, s / total, x_min, x_max);
  }
  if (!fix_gamma) {
    double s2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) s2 += x[i] * x[i] * w[i];
    const double spread = std::sqrt(s2 / total * kLn4);
    // max(spread, 0.1); a NaN spread (negative weights) starts at the lower bound.
    params.bound(1, spread > kGammaMin ? spread : kGammaMin, kGammaMin, kGammaMax);
  }

  const LbfgsbResult result =
      peak_fit::minimise_on_grid(params, x, w, [&](const std::array<double, 2>& p) {
        return LorentzianKernel(p[0], p[1], x_min, x_max);
      });
  if (!result.ok()) return;  // a refused box: nothing changes, nothing is written

  if (announce) announce_finished();
  const std::array<double, 2> fitted = params.full(result.point);
  if (!fix_x0) x0 = fitted[0];
  if (!fix_gamma) gamma = peak_fit::clamp_checked(fitted[1], kGammaMin, kGammaMax);
}

void LorentzianShape::fill_densities(std::span<const double> x, ColumnMatrix& density) const {
  pool::for_each_index(num_components(), [&](std::size_t k) {
    const auto [x0, gamma] = values(k);
    lorentzian_pdf(x, density.column(k), x0, gamma, settings().x_min, settings().x_max);
  });
}

ComponentParams LorentzianShape::update_component(std::size_t k, std::span<const double> w,
                                                  std::span<const double> x) const {
  auto [x0, gamma] = values(k);
  const auto [fix_x0, fix_gamma] = fixed(k);
  lorentzian_fit(x, w, x0, gamma, settings().x_min, settings().x_max, fix_x0, fix_gamma,
                 settings().announce);
  return {x0, gamma, 0.0};
}

}  // namespace velmora::lorentzian
