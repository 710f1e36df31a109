// A value, or the reason it could not be made: how every fallible call reports failure.
#pragma once

#include <type_traits>  // std::decay_t
#include <utility>      // std::move, std::forward
#include <variant>      // std::variant, std::monostate

namespace tarnix::base {

// Wraps an error so that it converts into any Expected<T, E>.
template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

// The result of an operation that has nothing to return but may still fail.
using Done = std::monostate;

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T take_value() { return std::move(std::get<0>(state_)); }

  E& error() & { return std::get<1>(state_); }
  // The error, moved out: `return fail(result.take_error());` passes a failure on.
  E take_error() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace tarnix::base
