#pragma once
// Cooperative cancellation of a long fit.
//
// The fit runs without the interpreter lock, so a Ctrl-C cannot reach it
// directly.  The caller installs a Cancellation on the fitting thread; every
// residual evaluation on that thread calls cancellation_requested(), which
// asks the caller's poll function at most once per interval (the poll may
// briefly take the interpreter lock and run its signal handlers).  Once a
// poll says stop, every further residual evaluation on the thread returns
// NaN at once, so each method spends what is left of its bounded budget in
// microseconds and returns; the caller then discards the result.
#include <chrono>
#include <cstdint>
#include <functional>

namespace kelvora {

class Cancellation {
 public:
  using Poll = std::function<bool()>;  // true: stop the fit
  explicit Cancellation(Poll poll, std::chrono::milliseconds interval = std::chrono::milliseconds(50));

  bool cancelled() const { return cancelled_; }
  // Polls when the interval has passed; cheap otherwise.
  bool check();

 private:
  Poll poll_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point next_;
  std::uint32_t calls_ = 0;
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

// Throws FitCancelled when the fit on this thread has been asked to stop.
// Does nothing on threads without an installed cancellation and inside
// parallel_for bodies.
void throw_if_cancelled();

}  // namespace kelvora
