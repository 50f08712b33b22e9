// Result<T>: a value or a DeviceError. Everything below the Python surface returns these instead of throwing.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/device_error.hpp"

namespace tavro {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}            // NOLINT: implicit by design
  Result(DeviceError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  DeviceError& error() & {
    assert(!ok());
    return std::get<1>(v_);
  }
  const DeviceError& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  DeviceError&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, DeviceError> v_;
};

// Result<void>: success or a DeviceError.
struct Ok {};
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}                                                         // NOLINT
  Result(DeviceError error) : err_(std::move(error)), failed_(true) {}  // NOLINT

  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  DeviceError& error() & {
    assert(failed_);
    return err_;
  }
  const DeviceError& error() const& {
    assert(failed_);
    return err_;
  }
  DeviceError&& error() && {
    assert(failed_);
    return std::move(err_);
  }

 private:
  DeviceError err_{};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tavro

// Early return of an error from an expression yielding a Result.
#define TAVRO_TRY(expr)                                             \
  do {                                                              \
    auto tavro_try_r_ = (expr);                                     \
    if (!tavro_try_r_.ok()) return std::move(tavro_try_r_).error(); \
  } while (0)
