// Stopping a running call before it has finished.
//
// A long computation (a mixture fit, a single-peak fit) is asked to stop when the person who
// started it presses Ctrl-C.  It looks at its stop request at checkpoints placed where looking
// is cheap and the next one is never far: between EM iterations, before every objective
// evaluation of the minimiser, at every step of a root search, and before every task of a
// parallel loop.  A checkpoint of a call that has been asked to stop throws Stopped, which
// unwinds the computation: its buffers are released by their destructors and no result is
// written anywhere.
//
// The request is made by the thread that started the call, the only one that may look for
// signals (the numerical code knows nothing of them).  It does so either between waits for a
// computation running on the worker pool (worker_pool.hpp, Job), or, when the computation runs
// on that thread itself, through a poll function the token calls at that thread's own
// checkpoints.  Which call a thread is working for is a property of the thread (StopScope);
// the parallel loops hand it on to the workers that run their tasks.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>

namespace velmora {

// Thrown at a checkpoint of a call that has been asked to stop.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "the computation was stopped"; }
};

class StopToken {
 public:
  using Clock = std::chrono::steady_clock;

  // A token that is stopped only by request_stop().
  StopToken() = default;

  // A token whose owner (the thread creating it) calls `poll` at its own checkpoints, at most
  // once per `every`; poll returns true when the call must stop.
  StopToken(std::function<bool()> poll, Clock::duration every);

  StopToken(const StopToken&) = delete;
  StopToken& operator=(const StopToken&) = delete;

  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Polls when this is the owner's checkpoint and a poll is due, then throws Stopped when a
  // stop has been requested.
  void check() {
    if (poll_ && std::this_thread::get_id() == owner_) poll_if_due();
    if (stop_requested()) throw Stopped{};
  }

 private:
  void poll_if_due();

  std::atomic<bool> stop_{false};
  std::function<bool()> poll_;
  std::thread::id owner_;
  Clock::duration every_{};
  Clock::time_point next_poll_{};
};

// The token of the call this thread is working for; null outside any call.
StopToken* current_stop_token() noexcept;

// Makes `token` the current one on this thread for its lifetime, then the previous one again.
class StopScope {
 public:
  explicit StopScope(StopToken* token) noexcept;
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  StopToken* previous_;
};

// Throws Stopped when the call this thread works for has been asked to stop.
inline void checkpoint() {
  if (StopToken* token = current_stop_token()) token->check();
}

}  // namespace velmora
