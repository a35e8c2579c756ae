#pragma once
// A native thread with a stack of at least kLargeStack bytes, whatever the
// C library's default (musl gives new threads 128 KiB).  The module's own
// threads -- the worker pool and the fit_many workers -- walk circuit trees
// as deep as the calling thread may, up to kMaxNestingDepth levels, so they
// cannot make do with a small default.
#include <cstddef>
#include <functional>

#include <pthread.h>

namespace kelvora {

inline constexpr std::size_t kLargeStack = std::size_t{8} << 20;

// Joinable, like std::jthread: the destructor joins a thread still running.
class LargeStackThread {
 public:
  // Starts `body` on a new thread; throws std::system_error when the system
  // refuses one.
  explicit LargeStackThread(std::function<void()> body);
  LargeStackThread(LargeStackThread&& other) noexcept;
  LargeStackThread& operator=(LargeStackThread&&) = delete;
  LargeStackThread(const LargeStackThread&) = delete;
  LargeStackThread& operator=(const LargeStackThread&) = delete;
  ~LargeStackThread();

  // Lets the thread run on its own; the object no longer joins it.
  void detach();

 private:
  pthread_t thread_{};
  bool joinable_ = false;
};

}  // namespace kelvora
