#pragma once
// A value or an error, for operations that fail with a typed error value.
#include <utility>
#include <variant>

namespace kelvora {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected<E> unexpected(E e) {
  return Unexpected<E>{std::move(e)};
}

template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Expected(Unexpected<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace kelvora
