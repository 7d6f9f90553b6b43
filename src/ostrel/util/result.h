#pragma once
// A value or an error, returned by every fallible operation of the core. The core never throws
// across its API; errors are plain values that know how to render their message.
#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace ostrel {

template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
    requires std::is_constructible_v<E, F&&>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { assert(ok()); return *std::get_if<0>(&state_); }
  const T& value() const& { assert(ok()); return *std::get_if<0>(&state_); }
  T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  E& error() & { assert(!ok()); return *std::get_if<1>(&state_); }
  const E& error() const& { assert(!ok()); return *std::get_if<1>(&state_); }
  E&& error() && { assert(!ok()); return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

// Success without a value.
struct Ok {};

}  // namespace ostrel
