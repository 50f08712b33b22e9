// DeviceError: the single error type of the device, stream and session layers. Its text is the user-facing message.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavro {

// Classification of a failed USB transfer or request.
// Lost: the host's USB stack kept a cancelled transfer; the adapter cannot be used again until it is unplugged.
enum class UsbErrorKind : uint8_t {
  Stall = 0,
  NoDevice = 1,
  Access = 2,
  Busy = 3,
  Timeout = 4,
  NotFound = 5,
  Other = 6,
  Lost = 7
};

const char* usb_error_kind_text(UsbErrorKind kind) noexcept;

class DeviceError {
 public:
  // Tag order is the numbering used wherever a variant is compared or stored.
  enum class Kind : uint8_t {
    Usb = 0,
    DeviceNotFound = 1,
    DeviceInUse = 2,
    MultipleDevicesFound = 3,
    NotOpen = 4,
    Timeout = 5,
    RxEmpty = 6,
    TxFull = 7,
    InvalidParameter = 8,
    Hardware = 9,
    BusOff = 10,
    BusPassive = 11,
    BusWarning = 12,
    Communication = 13,
    Internal = 14,
    TxBusy = 15,
    NotSupported = 16,
    TooManyHandles = 17,
  };

  DeviceError() = default;

  static DeviceError usb(UsbErrorKind k) {
    DeviceError e(Kind::Usb);
    e.usb_kind_ = k;
    return e;
  }
  // `why`: what the caller can do about it (adapters seen but unusable), appended after ": ".
  static DeviceError device_not_found(std::string why = {}) {
    return DeviceError(Kind::DeviceNotFound, std::move(why));
  }
  static DeviceError device_in_use() { return DeviceError(Kind::DeviceInUse); }
  static DeviceError multiple_devices_found(std::vector<std::string> candidates) {
    DeviceError e(Kind::MultipleDevicesFound);
    e.candidates_ = std::move(candidates);
    return e;
  }
  static DeviceError not_open() { return DeviceError(Kind::NotOpen); }
  static DeviceError timeout() { return DeviceError(Kind::Timeout); }
  static DeviceError rx_empty() { return DeviceError(Kind::RxEmpty); }
  static DeviceError tx_full() { return DeviceError(Kind::TxFull); }
  static DeviceError invalid_parameter(std::string t) { return DeviceError(Kind::InvalidParameter, std::move(t)); }
  static DeviceError hardware(std::string t) { return DeviceError(Kind::Hardware, std::move(t)); }
  static DeviceError bus_off() { return DeviceError(Kind::BusOff); }
  static DeviceError bus_passive() { return DeviceError(Kind::BusPassive); }
  static DeviceError bus_warning() { return DeviceError(Kind::BusWarning); }
  static DeviceError communication(std::string t) { return DeviceError(Kind::Communication, std::move(t)); }
  static DeviceError internal(std::string t) { return DeviceError(Kind::Internal, std::move(t)); }
  static DeviceError tx_busy() { return DeviceError(Kind::TxBusy); }
  static DeviceError not_supported(std::string t) { return DeviceError(Kind::NotSupported, std::move(t)); }
  static DeviceError too_many_handles() { return DeviceError(Kind::TooManyHandles); }

  Kind kind() const noexcept { return kind_; }
  bool is(Kind k) const noexcept { return kind_ == k; }
  bool is_usb(UsbErrorKind k) const noexcept { return kind_ == Kind::Usb && usb_kind_ == k; }
  UsbErrorKind usb_kind() const noexcept { return usb_kind_; }
  // Payload text of InvalidParameter, Hardware, Communication, Internal and NotSupported; empty otherwise.
  const std::string& detail() const noexcept { return detail_; }
  const std::vector<std::string>& candidates() const noexcept { return candidates_; }

  // The user-facing message, e.g. "USB error: endpoint stall".
  std::string text() const;

  friend bool operator==(const DeviceError& a, const DeviceError& b) {
    return a.kind_ == b.kind_ && a.usb_kind_ == b.usb_kind_ && a.detail_ == b.detail_ && a.candidates_ == b.candidates_;
  }

 private:
  explicit DeviceError(Kind k) : kind_(k) {}
  DeviceError(Kind k, std::string t) : kind_(k), detail_(std::move(t)) {}

  Kind kind_ = Kind::Internal;
  UsbErrorKind usb_kind_ = UsbErrorKind::Other;
  std::string detail_;
  std::vector<std::string> candidates_;
};

}  // namespace tavro
