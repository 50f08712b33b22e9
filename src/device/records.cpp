// Decoders and reads of the description records and the small channel / name replies.
#include "device/records.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/log.hpp"
#include "core/wire.hpp"
#include "device/utf8.hpp"

namespace tavro {
namespace {

VersionBytes version_at(const uint8_t* p) { return {p[0], p[1], p[2], p[3]}; }

std::string_view as_text(std::span<const uint8_t> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

}  // namespace

std::string version_text(const VersionBytes& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

Result<DeviceInfoRecord> DeviceInfoRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid device info response");
  const uint8_t* p = reply.data();
  DeviceInfoRecord r;
  r.hardware_version = version_at(p);
  r.firmware_version = version_at(p + 4);
  r.bootloader_version = version_at(p + 8);
  r.min_host_api_version = version_at(p + 12);
  r.channel_count = p[16];
  r.hardware_id = wire::get_u32(p + 20);
  return r;
}

Result<CapabilitiesRecord> CapabilitiesRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid capabilities response");
  const uint8_t* p = reply.data();
  CapabilitiesRecord r;
  r.clock_freq = wire::get_u32(p);
  r.tx_buffer_size = wire::get_u32(p + 4);
  r.rx_buffer_size = wire::get_u32(p + 8);
  r.ctrlmode_supported = wire::get_u32(p + 12);
  r.features_supported = wire::get_u32(p + 16);
  r.temperature_sensors = wire::get_u32(p + 20);
  return r;
}

std::string BtConstRecord::name() const { return utf8::lossy(name_raw); }

Result<BtConstRecord> BtConstRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid bt_const response");
  const uint8_t* p = reply.data();
  BtConstRecord r;
  const auto* end = std::find(p, p + 16, uint8_t{0});
  r.name_raw.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
  r.tseg1_min = wire::get_u32(p + 16);
  r.tseg1_max = wire::get_u32(p + 20);
  r.tseg2_min = wire::get_u32(p + 24);
  r.tseg2_max = wire::get_u32(p + 28);
  r.sjw_max = wire::get_u32(p + 32);
  r.brp_min = wire::get_u32(p + 36);
  r.brp_max = wire::get_u32(p + 40);
  r.brp_inc = wire::get_u32(p + 44);
  return r;
}

Result<uint32_t> decode_channel_reply(std::span<const uint8_t> reply) {
  if (reply.size() != 4) return DeviceError::communication("invalid channel reply length");
  return wire::get_u32(reply.data());
}

std::vector<uint8_t> decode_device_name(std::span<const uint8_t> reply) {
  const auto end = std::find(reply.begin(), reply.end(), uint8_t{0});
  return {reply.begin(), end};
}

const char* device_name_problem(std::span<const uint8_t> name) noexcept {
  if (name.empty()) return "device reported an empty name";
  if (!utf8::valid(as_text(name))) return "device name is not valid UTF-8";
  for (uint8_t c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return "device name contains illegal characters";
  }
  return nullptr;
}

Result<DeviceInfoRecord> read_device_info(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::GetDeviceInfo, 0, DeviceInfoRecord::kSize);
  if (!reply) return std::move(reply).error();
  return DeviceInfoRecord::decode(*reply);
}

Result<CapabilitiesRecord> read_capabilities(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::GetDeviceCapabilities, 0, CapabilitiesRecord::kSize);
  if (!reply) return std::move(reply).error();
  return CapabilitiesRecord::decode(*reply);
}

Result<BtConstRecord> read_bt_const(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::GetBtConst, 0, BtConstRecord::kSize);
  if (!reply) return std::move(reply).error();
  return BtConstRecord::decode(*reply);
}

Result<uint32_t> read_channel_id(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::Channel, 0, 4);
  if (!reply) return std::move(reply).error();
  return decode_channel_reply(*reply);
}

Result<std::vector<uint8_t>> read_device_name(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::DeviceName, 0, 16);
  if (!reply) return std::move(reply).error();
  return decode_device_name(*reply);
}

namespace {
// Far above any CAN controller's clock or buffer, far below an erased word.
constexpr uint32_t kMaxPlausibleClockHz = 1'000'000'000;
constexpr uint32_t kMaxPlausibleBuffer = 16u << 20;
}  // namespace

Status validate_device_info(const DeviceInfoRecord& info) {
  // An adapter without a channel, or with an erased count, says nothing about itself; a real count other than 1
  // is refused by the caller as unsupported.
  const bool erased_firmware = info.firmware_version == VersionBytes{0xFF, 0xFF, 0xFF, 0xFF};
  if (info.channel_count == 0 || info.channel_count == 0xFF || erased_firmware)
    return DeviceError::communication("Invalid device info response");
  return Ok{};
}

Status validate_capabilities(const CapabilitiesRecord& caps) {
  const bool sane = caps.clock_freq != 0 && caps.clock_freq <= kMaxPlausibleClockHz && caps.tx_buffer_size != 0 &&
                    caps.tx_buffer_size <= kMaxPlausibleBuffer && caps.rx_buffer_size != 0 &&
                    caps.rx_buffer_size <= kMaxPlausibleBuffer && caps.ctrlmode_supported != 0xFFFFFFFFu &&
                    caps.features_supported != 0xFFFFFFFFu;
  if (!sane) return DeviceError::communication("Invalid capabilities response");
  return Ok{};
}

Status validate_bt_const(const BtConstRecord& bt) {
  const auto range = [](uint32_t min, uint32_t max, uint32_t limit) { return 1 <= min && min <= max && max <= limit; };
  const bool sane = range(bt.tseg1_min, bt.tseg1_max, kMaxTimingSegment) &&
                    range(bt.tseg2_min, bt.tseg2_max, kMaxTimingSegment) && range(1, bt.sjw_max, kMaxTimingSegment) &&
                    range(bt.brp_min, bt.brp_max, kMaxPrescaler) && range(1, bt.brp_inc, kMaxPrescaler);
  if (!sane) return DeviceError::communication("Invalid bt_const response");
  return Ok{};
}

void log_channel_connected(const DeviceInfoRecord& info) {
  TAVRO_LOG(log::Target::Channel, log::Level::Info,
            "Connected to TAVRO device: FW v" + version_text(info.firmware_version) + ", " +
                std::to_string(info.channel_count) + " channel(s)");
}

Status check_channel_capabilities(const CapabilitiesRecord& caps) {
  if (log::enabled(log::Target::Channel, log::Level::Debug)) {
    char modes[9];
    std::snprintf(modes, sizeof modes, "%08x", caps.ctrlmode_supported);
    log::write(log::Target::Channel, log::Level::Debug, __FILE__, __LINE__,
               "Clock: " + std::to_string(caps.clock_freq) + " Hz, Supported modes: 0x" + modes);
  }
  if (caps.clock_freq == 0) return DeviceError::hardware("Device reported clock_freq = 0");
  return Ok{};
}

}  // namespace tavro
