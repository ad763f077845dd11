// A minimal expected-like result: either a value or an error value.
//
// The core returns expected failures this way instead of throwing (C++20 has
// no std::expected yet).
#pragma once

#include <utility>
#include <variant>

#include "internal_error.hpp"

namespace corvane {

template <class E>
struct Unexpected {
  // A constructor rather than an aggregate, so that Unexpected(e) deduces E
  // with every C++20 front end, not only those with parenthesised aggregates.
  explicit Unexpected(E e) : error(std::move(e)) {}
  E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}            // NOLINT(google-explicit-constructor)
  Expected(Unexpected<E> u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & {
    check();
    return std::get<0>(v_);
  }
  const T& value() const& {
    check();
    return std::get<0>(v_);
  }
  T&& value() && {
    check();
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  void check() const {
    if (v_.index() != 0) fail("called value() on an Expected holding an error");
  }
  std::variant<T, E> v_;
};

// Expected<void, E>: success or an error.
template <class E>
class Expected<void, E> {
 public:
  Expected() = default;
  Expected(Unexpected<E> u) : err_(std::move(u.error)), ok_(false) {}  // NOLINT
  bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  const E& error() const& { return err_; }

 private:
  E err_{};
  bool ok_ = true;
};

}  // namespace corvane
