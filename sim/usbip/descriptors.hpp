// The USB descriptors of a simulated adapter, built from its firmware profile: what the device answers to
// GET_DESCRIPTOR and what the USB/IP device records carry.
//
//   device (18 bytes): VID/PID of the profile, one configuration, strings 1 manufacturer, 2 product, 3 serial
//   configuration 1: interface 0, vendor class, bulk IN 0x81, bulk OUT 0x02, bulk IN 0x83 (the profile's packet sizes)
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "firmware/profile.hpp"

namespace tavro::sim::usbip {

// Kernel speed codes (enum usb_device_speed).
inline constexpr uint32_t kSpeedFull = 2;
inline constexpr uint32_t kSpeedHigh = 3;

struct DeviceDescriptors {
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;  // with its interface and endpoint descriptors
  uint32_t speed = kSpeedHigh;         // full speed when every bulk packet size fits in 64 bytes
  uint16_t bcd_device = 0;
  std::optional<std::string> serial;

  // The string descriptor `index` (0: the language list), nullopt when the device has none.
  std::optional<std::vector<uint8_t>> string(uint8_t index) const;
};

DeviceDescriptors describe(const FirmwareProfile& profile);

}  // namespace tavro::sim::usbip
