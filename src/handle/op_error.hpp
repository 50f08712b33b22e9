// Errors of the handle layer as values: a kind in the handle's own terms, the exact message, and the device
// error's variant where one caused it. The handle layer knows no Python; the extension surface decides which
// exception each kind becomes.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/deadline.hpp"
#include "core/device_error.hpp"
#include "core/result.hpp"

namespace tavro {

inline constexpr const char* kLockTimeout = "Operation timed out waiting for native configuration";
inline constexpr const char* kDeadlineExpired = "Operation deadline expired";
inline constexpr const char* kTxUncertainTimeout = "TX result or submission timed out; delivery may be uncertain";
inline constexpr const char* kOperationTimedOut = "Operation timed out";
// Every operation on a handle whose adapter was unplugged says this. It keeps the lead that a failed request on
// an unplugged adapter always had, and gives advice that works: the handle cannot get the adapter back.
inline constexpr const char* kAdapterGone =
    "USB error: device disconnected; plug the adapter back in, then open it again";

// A stable number per failure, for programs that tell failures apart without reading texts: the device error's
// variant (0..17, DeviceError::Kind) where one caused the failure, kGoneCode for an unplugged adapter.
inline constexpr int kGoneCode = 18;

struct OpError {
  enum class Kind : uint8_t {
    Refused,      // the handle's state or the adapter's capabilities refuse it; stored failures; device errors
    BadArgument,  // a value the driver rejects itself (range, length, consistency)
    Expired,      // the caller's deadline ran out (also: waiting for the handle, a submission of uncertain fate)
    Gone,         // the adapter was unplugged
    Interrupted,  // the caller ended the wait between two slices (a signal handler raised; its exception is set)
  } kind = Kind::Refused;
  std::string message;
  std::optional<int> code;  // see kGoneCode

  static OpError refused(std::string m) { return {Kind::Refused, std::move(m), std::nullopt}; }
  static OpError bad_argument(std::string m) { return {Kind::BadArgument, std::move(m), std::nullopt}; }
  static OpError expired(std::string m) { return {Kind::Expired, std::move(m), std::nullopt}; }
  static OpError interrupted() { return {Kind::Interrupted, {}, std::nullopt}; }
  static OpError gone() { return {Kind::Gone, kAdapterGone, kGoneCode}; }
  static OpError device(const DeviceError& e) {
    if (e.is_usb(UsbErrorKind::NoDevice)) return gone();
    return {Kind::Refused, e.text(), static_cast<int>(e.kind())};
  }
  // A device error returned by a frame submission: its Timeout variant means delivery is uncertain.
  static OpError submission(const DeviceError& e) {
    if (e.is(DeviceError::Kind::Timeout)) return expired(kTxUncertainTimeout);
    return device(e);
  }
  // A request that the caller's deadline cut short timed out because that deadline expired: Expired,
  // not a device failure.
  static OpError within(const DeviceError& e, TimePoint deadline) {
    if (e.is_usb(UsbErrorKind::Timeout) && time_left(deadline) <= Duration::zero()) return expired(kDeadlineExpired);
    return device(e);
  }
};

template <typename T>
class [[nodiscard]] Op {
 public:
  Op(T v) : v_(std::in_place_index<0>, std::move(v)) {}                         // NOLINT
  Op(OpError e) : v_(std::in_place_index<1>, std::move(e)) {}                   // NOLINT
  Op(const DeviceError& e) : v_(std::in_place_index<1>, OpError::device(e)) {}  // NOLINT
  // A device-layer result: its value, or its error (Refused, or Gone for an unplugged adapter).
  Op(Result<T>&& r)  // NOLINT
      : v_(r.ok() ? std::variant<T, OpError>(std::in_place_index<0>, std::move(r).value())
                  : std::variant<T, OpError>(std::in_place_index<1>, OpError::device(r.error()))) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const OpError& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  OpError&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, OpError> v_;
};

template <>
class [[nodiscard]] Op<void> {
 public:
  Op() = default;
  Op(OpError e) : err_(std::move(e)), failed_(true) {}                                              // NOLINT
  Op(const DeviceError& e) : err_(OpError::device(e)), failed_(true) {}                             // NOLINT
  Op(const Status& s) : err_(s.ok() ? OpError{} : OpError::device(s.error())), failed_(!s.ok()) {}  // NOLINT
  bool ok() const noexcept { return !failed_; }
  const OpError& error() const& {
    assert(failed_);
    return err_;
  }
  OpError&& error() && {
    assert(failed_);
    return std::move(err_);
  }

 private:
  OpError err_{};
  bool failed_ = false;
};

}  // namespace tavro

#define TAVRO_OP_TRY(expr)                                        \
  do {                                                            \
    auto tavro_op_r_ = (expr);                                    \
    if (!tavro_op_r_.ok()) return std::move(tavro_op_r_).error(); \
  } while (0)
