// Configuration commands with read-back verification. A mismatch is logged at Error with the "!" wording and
// returned as a Hardware error with the ":" wording.
#include "device/commands.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "core/log.hpp"
#include "core/wire.hpp"
#include "device/bus_state.hpp"
#include "device/records.hpp"
#include "device/utf8.hpp"

namespace tavro {
namespace {

Result<uint32_t> read_u32_zero_extended(UsbAdapter& adapter, ControlCommand cmd) {
  auto reply = adapter.control_in(cmd, 0, 4);
  if (!reply) return std::move(reply).error();
  return decode_mode_word(*reply);
}

bool name_char_ok(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

const char* bool_text(bool b) noexcept { return b ? "true" : "false"; }

}  // namespace

Status write_bit_timing(UsbAdapter& adapter, const BitTimingRecord& record) {
  uint8_t payload[BitTimingRecord::kSize];
  record.encode(payload);
  TAVRO_TRY(adapter.control_out(ControlCommand::CanBittiming, 0, payload));
  auto readback = read_bit_timing(adapter);
  if (!readback) return std::move(readback).error();
  if (readback->bitrate != record.bitrate) {
    const std::string sent = std::to_string(record.bitrate), read = std::to_string(readback->bitrate);
    TAVRO_LOG(log::Target::Device, log::Level::Error,
              "Bittiming verification failed! Requested bitrate: " + sent + ", Actual: " + read);
    return DeviceError::hardware("Bittiming verification failed: Requested bitrate " + sent + ", Actual " + read);
  }
  return Ok{};
}

Result<BitTimingRecord> read_bit_timing(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::CanBittiming, 0, BitTimingRecord::kSize);
  if (!reply) return std::move(reply).error();
  return BitTimingRecord::decode(*reply);
}

Status reset_can(UsbAdapter& adapter) { return adapter.control_out(ControlCommand::ResetCan, 0, {}); }
Status flush_tx_queue(UsbAdapter& adapter) { return adapter.control_out(ControlCommand::FlushTxQueue, 0, {}); }
Status reset_timestamp(UsbAdapter& adapter) { return adapter.control_out(ControlCommand::ResetTimestamp, 0, {}); }

Status set_led_mode(UsbAdapter& adapter, uint32_t mode) {
  TAVRO_TRY(adapter.control_out(ControlCommand::LedMode, 0, wire::u32_bytes(mode)));
  auto actual = get_led_mode(adapter);
  if (!actual) return std::move(actual).error();
  if (*actual != mode) {
    const std::string req = std::to_string(mode), got = std::to_string(*actual);
    TAVRO_LOG(log::Target::Device, log::Level::Error,
              "LED mode verification failed! Requested: " + req + ", Actual: " + got);
    return DeviceError::hardware("LED mode verification failed: Requested " + req + ", Actual " + got);
  }
  return Ok{};
}

Result<uint32_t> get_led_mode(UsbAdapter& adapter) { return read_u32_zero_extended(adapter, ControlCommand::LedMode); }

Status set_termination(UsbAdapter& adapter, bool enabled) {
  TAVRO_TRY(adapter.control_out(ControlCommand::TerminationState, 0, wire::u32_bytes(enabled ? 1 : 0)));
  auto actual = get_termination(adapter);
  if (!actual) return std::move(actual).error();
  if (*actual != enabled) {
    TAVRO_LOG(log::Target::Device, log::Level::Error,
              std::string("Termination verification failed! Requested: ") + bool_text(enabled) +
                  ", Actual: " + bool_text(*actual));
    return DeviceError::hardware(std::string("Termination verification failed: Requested ") + bool_text(enabled) +
                                 ", Actual " + bool_text(*actual));
  }
  return Ok{};
}

Result<bool> get_termination(UsbAdapter& adapter) {
  auto v = read_u32_zero_extended(adapter, ControlCommand::TerminationState);
  if (!v) return std::move(v).error();
  return *v != 0;
}

Status validate_device_name(std::string_view name) {
  if (name.size() >= 16) return DeviceError::invalid_parameter("Device name too long (max 15 chars)");
  for (char c : name)
    if (!name_char_ok(c))
      return DeviceError::invalid_parameter(
          "Device name can only contain alphanumeric characters, underscore, and hyphen");
  return Ok{};
}

Status write_device_name(UsbAdapter& adapter, std::string_view name) {
  TAVRO_TRY(validate_device_name(name));
  uint8_t payload[16] = {};
  std::copy(name.begin(), name.end(), payload);
  return adapter.control_out(ControlCommand::DeviceName, 0, payload);
}

Result<std::string> get_device_name(UsbAdapter& adapter) {
  auto raw = read_device_name(adapter);
  if (!raw) return std::move(raw).error();
  return utf8::lossy(std::string_view(reinterpret_cast<const char*>(raw->data()), raw->size()));
}

Status set_channel_id(UsbAdapter& adapter, uint32_t channel_id) {
  return adapter.control_out(ControlCommand::Channel, 0, wire::u32_bytes(channel_id));
}

Status set_interface_name(UsbAdapter& adapter, std::string_view name) {
  if (name.size() > 31 || name.find('\0') != std::string_view::npos)
    return DeviceError::invalid_parameter("interface name must be at most 31 bytes with no embedded NUL");
  std::vector<uint8_t> payload(name.begin(), name.end());
  payload.push_back(0);
  return adapter.control_out(ControlCommand::SetInterfaceName, 0, payload);
}

Status identify(UsbAdapter& adapter, uint16_t duration_ms) {
  return adapter.control_out(ControlCommand::Identify, duration_ms, {});
}

}  // namespace tavro
