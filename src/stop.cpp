#include "stop.hpp"

#include <utility>

namespace velmora {
namespace {

thread_local StopToken* current = nullptr;

}  // namespace

StopToken::StopToken(std::function<bool()> poll, Clock::duration every)
    : poll_(std::move(poll)), owner_(std::this_thread::get_id()), every_(every) {}

void StopToken::poll_if_due() {
  if (stop_requested()) return;
  if (every_ > Clock::duration::zero()) {
    const Clock::time_point now = Clock::now();
    if (now < next_poll_) return;
    next_poll_ = now + every_;
  }
  if (poll_()) request_stop();
}

StopToken* current_stop_token() noexcept { return current; }

StopScope::StopScope(StopToken* token) noexcept : previous_(std::exchange(current, token)) {}

StopScope::~StopScope() { current = previous_; }

}  // namespace velmora
