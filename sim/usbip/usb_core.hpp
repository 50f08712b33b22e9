// The USB core of a simulated adapter served as a USB device: the standard requests on endpoint 0 that a device's
// hardware and USB stack answer without its firmware (descriptors, configuration, interface, endpoint halt,
// status). Vendor requests go to the firmware instead.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "adapter/adapter.hpp"
#include "usbip/descriptors.hpp"

namespace tavro::sim::usbip {

class UsbDeviceCore {
 public:
  UsbDeviceCore(std::shared_ptr<SimAdapter> adapter, DeviceDescriptors descriptors);

  static bool is_standard(const usb::ControlSetup& s) noexcept { return (s.request_type & 0x60) == 0; }
  // The reply to a standard request, cut to wLength; nullopt when the device stalls it (anything unknown).
  std::optional<std::vector<uint8_t>> answer(const usb::ControlSetup& s);

 private:
  std::shared_ptr<SimAdapter> adapter_;
  DeviceDescriptors descriptors_;
  uint8_t configuration_ = 0;
};

}  // namespace tavro::sim::usbip
