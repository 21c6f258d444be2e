#include "stop.hpp"

#include <time.h>

#include <utility>

namespace velmora {
namespace {

thread_local StopToken* current = nullptr;

// The time a checkpoint compares with its next poll.  Checkpoints come every few microseconds
// in a small fit, so the clock is read where reading it is cheapest: the kernel's coarse
// monotonic clock (the same epoch as steady_clock on Linux, a few milliseconds behind it, well
// within a poll's interval), else steady_clock itself.
StopToken::Clock::time_point poll_clock() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0) {
    return StopToken::Clock::time_point(std::chrono::duration_cast<StopToken::Clock::duration>(
        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
  }
#endif
  return StopToken::Clock::now();
}

}  // namespace

StopToken::StopToken(std::function<bool()> poll, Clock::duration every)
    : poll_(std::move(poll)), owner_(std::this_thread::get_id()), every_(every) {}

void StopToken::poll_if_due() {
  if (stop_requested()) return;
  if (every_ > Clock::duration::zero()) {
    const Clock::time_point now = poll_clock();
    if (now < next_poll_) return;
    next_poll_ = now + every_;
  }
  if (poll_()) request_stop();
}

StopToken* current_stop_token() noexcept { return current; }

StopScope::StopScope(StopToken* token) noexcept : previous_(std::exchange(current, token)) {}

StopScope::~StopScope() { current = previous_; }

}  // namespace velmora
