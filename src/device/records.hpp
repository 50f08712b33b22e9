// The adapter's description records (device information, capabilities, bit timing constants), the channel and
// device-name replies, their validation and the reads over the control transport.
//
//   info  = read_device_info(adapter)    # GetDeviceInfo, >= 24 bytes else "Invalid device info response"
//   caps  = read_capabilities(adapter)   # GetDeviceCapabilities, >= 24 else "Invalid capabilities response"
//   bt    = read_bt_const(adapter)       # GetBtConst, >= 48 else "Invalid bt_const response"
//   ch    = read_channel_id(adapter)     # Channel, exactly 4 else "invalid channel reply length"
//   name  = read_device_name(adapter)    # DeviceName, raw bytes before the first zero byte
// Longer replies are accepted (extra bytes ignored) except for the channel reply. All failures are
// Communication errors or the transport's Usb errors, unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "device/adapter.hpp"

namespace tavro {

// Four version components, shown as "a.b.c.d" in decimal.
using VersionBytes = std::array<uint8_t, 4>;
std::string version_text(const VersionBytes& v);

struct DeviceInfoRecord {
  static constexpr size_t kSize = 24;
  VersionBytes hardware_version{};
  VersionBytes firmware_version{};
  VersionBytes bootloader_version{};
  VersionBytes min_host_api_version{};  // all zero: the adapter states none
  uint8_t channel_count = 0;
  uint32_t hardware_id = 0;

  static Result<DeviceInfoRecord> decode(std::span<const uint8_t> reply);
};

struct CapabilitiesRecord {
  static constexpr size_t kSize = 24;
  uint32_t clock_freq = 0;  // Hz
  uint32_t tx_buffer_size = 0;
  uint32_t rx_buffer_size = 0;
  uint32_t ctrlmode_supported = 0;
  uint32_t features_supported = 0;
  uint32_t temperature_sensors = 0;

  bool has_feature(uint32_t bit) const noexcept { return (features_supported & bit) != 0; }
  static Result<CapabilitiesRecord> decode(std::span<const uint8_t> reply);
};

// The widest ranges the bit timing calculation works within: far beyond any CAN controller's, far below an erased
// word.
inline constexpr uint32_t kMaxTimingSegment = 4096;
inline constexpr uint32_t kMaxPrescaler = 65536;

struct BtConstRecord {
  static constexpr size_t kSize = 48;
  std::string name_raw;  // controller name bytes before the first zero byte (all 16 without one)
  uint32_t tseg1_min = 0;
  uint32_t tseg1_max = 0;
  uint32_t tseg2_min = 0;
  uint32_t tseg2_max = 0;
  uint32_t sjw_max = 0;
  uint32_t brp_min = 0;
  uint32_t brp_max = 0;
  uint32_t brp_inc = 0;

  // The controller name for display, invalid UTF-8 replaced by U+FFFD.
  std::string name() const;
  static Result<BtConstRecord> decode(std::span<const uint8_t> reply);
};

Result<uint32_t> decode_channel_reply(std::span<const uint8_t> reply);
// The bytes up to, not including, the first zero byte (all of them when there is none).
std::vector<uint8_t> decode_device_name(std::span<const uint8_t> reply);

// Why a stored device name is unusable, checked in this order: "device reported an empty name", "device name is
// not valid UTF-8", "device name contains illegal characters" (only ASCII letters, digits, '-' and '_' allowed).
// nullptr when the name is fine.
const char* device_name_problem(std::span<const uint8_t> name) noexcept;

Result<DeviceInfoRecord> read_device_info(UsbAdapter& adapter);
Result<CapabilitiesRecord> read_capabilities(UsbAdapter& adapter);
Result<BtConstRecord> read_bt_const(UsbAdapter& adapter);
Result<uint32_t> read_channel_id(UsbAdapter& adapter);
Result<std::vector<uint8_t>> read_device_name(UsbAdapter& adapter);

// Channel-open log lines (target tavro_usb::channel), for the CAN channel open:
//   Info  "Connected to TAVRO device: FW v1.4.0.12, 1 channel(s)"
void log_channel_connected(const DeviceInfoRecord& info);
//   Debug "Clock: 48000000 Hz, Supported modes: 0x0000001f"; then fails with Hardware
//   "Device reported clock_freq = 0" when the clock is 0.
Status check_channel_capabilities(const CapabilitiesRecord& caps);

// Plausibility of the records read at open: a reply of the right length can still be nonsense (an erased
// descriptor block reads as all 0xFF, a broken one as zeros). Communication "Invalid device info response" /
// "Invalid capabilities response" / "Invalid bt_const response", the texts of a malformed reply.
Status validate_device_info(const DeviceInfoRecord& info);
Status validate_capabilities(const CapabilitiesRecord& caps);
Status validate_bt_const(const BtConstRecord& bt);

}  // namespace tavro
