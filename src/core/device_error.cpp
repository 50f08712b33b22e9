// Texts of DeviceError and UsbErrorKind. These strings are what Python users see; keep them byte for byte.
#include "core/device_error.hpp"

namespace tavro {

const char* usb_error_kind_text(UsbErrorKind kind) noexcept {
  switch (kind) {
    case UsbErrorKind::Stall: return "endpoint stall";
    case UsbErrorKind::NoDevice: return "device disconnected";
    case UsbErrorKind::Access: return "access denied";
    case UsbErrorKind::Busy: return "device busy";
    case UsbErrorKind::Timeout: return "timed out";
    case UsbErrorKind::NotFound: return "not found";
    case UsbErrorKind::Other: return "transport error";
    case UsbErrorKind::Lost: return "a cancelled transfer did not return; the adapter is unusable, unplug it";
  }
  return "transport error";
}

std::string DeviceError::text() const {
  switch (kind_) {
    case Kind::Usb: return std::string("USB error: ") + usb_error_kind_text(usb_kind_);
    case Kind::DeviceNotFound: return detail_.empty() ? "Device not found" : "Device not found: " + detail_;
    case Kind::DeviceInUse: return "Device is in use";
    case Kind::MultipleDevicesFound: {
      std::string s =
          "Multiple devices found. Please specify a device using -s <serial> or -n <name>.\nAvailable devices:\n";
      for (size_t i = 0; i < candidates_.size(); ++i) {
        if (i) s += '\n';
        s += "  - ";
        s += candidates_[i];
      }
      return s;
    }
    case Kind::NotOpen: return "Device not open";
    case Kind::Timeout: return "Timeout waiting for operation";
    case Kind::RxEmpty: return "Receive buffer empty";
    case Kind::TxFull: return "Transmit buffer full";
    case Kind::InvalidParameter: return "Invalid parameter: " + detail_;
    case Kind::Hardware: return "Hardware error: " + detail_;
    case Kind::BusOff: return "Bus off";
    case Kind::BusPassive: return "Bus passive";
    case Kind::BusWarning: return "Bus warning";
    case Kind::Communication: return "Communication error: " + detail_;
    case Kind::Internal: return "Internal error: " + detail_;
    case Kind::TxBusy: return "TX busy - all echo slots in use";
    case Kind::NotSupported: return "Not supported: " + detail_;
    case Kind::TooManyHandles: return "Too many open handles";
  }
  return "Internal error: unknown error";
}

}  // namespace tavro
