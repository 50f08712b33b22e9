// Classification of host-stack outcomes into the driver's UsbErrorKind, shared by the control transport and the
// bulk stream primitives so that every path reports a given USB failure the same way.
#pragma once

#include <string>

#include "core/device_error.hpp"
#include "usb/host.hpp"

namespace tavro {

// Kind of a failed transfer. A Cancelled transfer is one that our own time-out cancelled, hence Timeout.
constexpr UsbErrorKind usb_error_kind(usb::TransferStatus s) noexcept {
  switch (s) {
    case usb::TransferStatus::Cancelled: return UsbErrorKind::Timeout;
    case usb::TransferStatus::Stall: return UsbErrorKind::Stall;
    case usb::TransferStatus::Disconnected: return UsbErrorKind::NoDevice;
    case usb::TransferStatus::Lost: return UsbErrorKind::Lost;
    case usb::TransferStatus::Completed:  // not a failure; callers never ask
    case usb::TransferStatus::Fault:
    case usb::TransferStatus::InvalidArgument:
    case usb::TransferStatus::Unknown: return UsbErrorKind::Other;
  }
  return UsbErrorKind::Other;
}

inline DeviceError usb_error(const usb::TransferOutcome& o) { return DeviceError::usb(usb_error_kind(o.status)); }
inline DeviceError usb_error(const usb::HostError& e) { return DeviceError::usb(usb_error_kind(e.status)); }

// The outcome's name as shown in failure log lines; Unknown carries its operating-system code: "Unknown(-7)".
inline std::string transfer_error_name(const usb::TransferOutcome& o) {
  if (o.status == usb::TransferStatus::Unknown) return "Unknown(" + std::to_string(o.os_code) + ")";
  return usb::transfer_status_name(o.status);
}

}  // namespace tavro
