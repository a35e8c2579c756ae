#include "support/stack_room.h"

#include <cstdint>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace kelvora {
namespace {

// The lowest usable address of the calling thread's stack (stacks grow
// down on every platform served here), or 0 when unknown.  A thread's stack
// does not move, so it is looked up once per thread: on Linux the main
// thread's bounds come from reading the process's memory map.
std::uintptr_t stack_floor() noexcept {
  std::uintptr_t floor = 0;
#if defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) floor = reinterpret_cast<std::uintptr_t>(addr);
    pthread_attr_destroy(&attr);
  }
#elif defined(__APPLE__)
  const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
  const std::size_t size = pthread_get_stacksize_np(pthread_self());
  if (top > size) floor = top - size;
#endif
  return floor;
}

}  // namespace

std::size_t stack_room() noexcept {
  thread_local const std::uintptr_t floor = stack_floor();
  if (floor == 0) return SIZE_MAX;
  // The frame address, not a local's: a sanitizer may keep locals elsewhere.
  const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return sp > floor ? sp - floor : 0;
}

}  // namespace kelvora
