#pragma once
// How much of the calling thread's stack is still free.  Threads differ a
// lot: a main thread usually has megabytes, while a thread started with a
// small `threading.stack_size()`, or any thread where the C library's
// default is small (musl gives 128 KiB), may have only a few dozen
// kilobytes.  Code that recurses to a depth the user chooses asks first.
#include <cstddef>

namespace kelvora {

// Bytes between the caller's frame and the end of the calling thread's
// stack, or SIZE_MAX when the platform does not tell.
std::size_t stack_room() noexcept;

}  // namespace kelvora
