#pragma once
// Cooperative cancellation of a long fit.
//
// The fit runs without the interpreter lock, so a Ctrl-C cannot reach it
// directly.  The caller installs a Cancellation on the fitting thread; every
// residual evaluation on that thread calls throw_if_cancelled() with the size
// of its work, which asks the caller's poll function at most once per
// interval (the poll may briefly take the interpreter lock and run its signal
// handlers).  Once a poll says stop, that evaluation throws FitCancelled,
// which unwinds the method from wherever it is to the caller; nothing of the
// fit is kept.  Evaluations on
// the worker pool (Jacobian columns) do not poll: the fitting thread's next
// evaluation does.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelvora {

class Cancellation {
 public:
  using Poll = std::function<bool()>;  // true: stop the fit
  explicit Cancellation(Poll poll, std::chrono::milliseconds interval = std::chrono::milliseconds(50));

  bool cancelled() const { return cancelled_; }
  // Polls when the interval has passed; cheap otherwise.  `work` is what the
  // asking evaluation computes (element evaluations, ResidualModel::
  // work_per_evaluation).  The clock is read on every 16th call, or sooner
  // once the work of the calls since the last reading reaches kClockWork:
  // reading it costs more than a small evaluation, while sixteen evaluations
  // of a long spectrum would keep a stop waiting for a second or more.
  bool check(std::size_t work = 0);

  static constexpr std::size_t kClockWork = 16384;

 private:
  Poll poll_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point next_;
  std::uint32_t calls_ = 0;
  std::size_t work_ = 0;  // since the clock was last read
  bool cancelled_ = false;
};

// Installs a cancellation for the fits run on this thread while in scope.
class CancellationScope {
 public:
  explicit CancellationScope(Cancellation& c);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  Cancellation* previous_;
};

// Thrown by throw_if_cancelled(); caught by whoever installed the cancellation.
struct FitCancelled : std::exception {
  const char* what() const noexcept override { return "fit cancelled"; }
};

// Throws FitCancelled when the fit on this thread has been asked to stop;
// `work` as Cancellation::check takes it.  Does nothing on threads without an
// installed cancellation and inside parallel_for bodies.
void throw_if_cancelled(std::size_t work = 0);

}  // namespace kelvora
