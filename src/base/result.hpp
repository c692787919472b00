// Result<T, E>: a value or an error value. Core operations report their
// failures this way; only the Python layer turns errors into exceptions.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace zembrik {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok() && "value() of a failed result");
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok() && "value() of a failed result");
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok() && "value() of a failed result");
    return std::get<0>(std::move(state_));
  }
  const E& error() const {
    assert(!ok() && "error() of a successful result");
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

// Success with nothing to return, or an error value.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    assert(!ok() && "error() of a successful result");
    return *error_;
  }

 private:
  std::optional<E> error_;
};

}  // namespace zembrik
