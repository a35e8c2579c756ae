#include "fit/cancellation.h"

#include "support/worker_pool.h"

namespace kelvora {
namespace {
thread_local Cancellation* t_current = nullptr;
}  // namespace

Cancellation::Cancellation(Poll poll, std::chrono::milliseconds interval)
    : poll_(std::move(poll)), interval_(interval), next_(std::chrono::steady_clock::now() + interval_) {}

bool Cancellation::check(std::size_t work) {
  if (cancelled_) return true;
  // Reading the clock costs more than a small residual evaluation; look at it
  // every 16th call only, unless the calls since the last look were long.
  work_ += work;
  if ((++calls_ & 15u) != 0 && work_ < kClockWork) return false;
  work_ = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return false;
  next_ = now + interval_;
  if (poll_ && poll_()) cancelled_ = true;
  return cancelled_;
}

CancellationScope::CancellationScope(Cancellation& c) : previous_(t_current) { t_current = &c; }
CancellationScope::~CancellationScope() { t_current = previous_; }

void throw_if_cancelled(std::size_t work) {
  if (t_current != nullptr && !in_parallel_body() && t_current->check(work)) throw FitCancelled{};
}

}  // namespace kelvora
