#pragma once
// The module's one exception boundary.
//
// Every function the interpreter calls into -- methods, getters, type slots,
// module functions and the module initialiser -- is registered through
// guarded<&fn>: an adapter with fn's signature, declared noexcept, that calls
// fn and turns a C++ exception escaping it into a Python exception:
// std::bad_alloc becomes MemoryError, anything else kelvora.InternalError
// carrying what() (the invariant that broke).  Functions behind the adapter
// may therefore allocate and throw freely; they report Python-level failures
// the usual way (an exception set and nullptr / -1 returned).  The unwinding
// of pthread_exit, by which Python 3.13 and earlier end a daemon thread at
// exit, parks the thread: swallowed or let through, it aborts the process.
//
//   {"fit", guarded_method<&circuit_fit>(), METH_VARARGS | METH_KEYWORDS, doc}
//   {Py_tp_repr, guarded_slot<&circuit_repr>()}
//   {"circuit", guarded<&get_circuit>, nullptr, nullptr, nullptr}   // getter
#include <Python.h>

#include <type_traits>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace kelvora::py {

// Sets the Python exception for the C++ exception being handled; call only
// from inside a catch block.
void set_error_from_current_exception() noexcept;

// Blocks the calling thread for the rest of the process's life.
[[noreturn]] void park_thread() noexcept;

namespace detail {

template <auto Fn>
struct Guard;

#ifdef __GLIBCXX__
// Catching the forced unwind by reference binds to an exception object that
// does not exist; the undefined-behaviour sanitizer's null check flags that
// binding, which is the documented way to catch it.
#define KELVORA_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define KELVORA_CATCHES_FORCED_UNWIND
#endif

template <class R, class... Args, R (*Fn)(Args...)>
struct Guard<Fn> {
  KELVORA_CATCHES_FORCED_UNWIND static R call(Args... args) noexcept {
    try {
      return Fn(args...);
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
      // A finalizing interpreter ended a daemon thread that took the lock
      // back inside Python code called from here (gil.h).
      park_thread();
#endif
    } catch (...) {
      set_error_from_current_exception();
      if constexpr (std::is_void_v<R>) {
        PyErr_WriteUnraisable(nullptr);  // a deallocator has no caller to tell
      } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        static_assert(std::is_integral_v<R>);
        return -1;
      }
    }
  }
};

}  // namespace detail

// fn behind the boundary, with fn's own signature (getters, initialiser).
template <auto Fn>
inline constexpr auto guarded = &detail::Guard<Fn>::call;

// The same, cast for a PyMethodDef entry (METH_VARARGS | METH_KEYWORDS
// functions take a third argument the entry's type does not show).
template <auto Fn>
PyCFunction guarded_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<Fn>));
}

// The same, cast for a PyType_Slot.
template <auto Fn>
void* guarded_slot() {
  return reinterpret_cast<void*>(guarded<Fn>);
}

}  // namespace kelvora::py
