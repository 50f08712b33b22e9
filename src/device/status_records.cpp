// Last-error and temperature records.
#include "device/status_records.hpp"

#include <iterator>

#include "core/deadline.hpp"
#include "core/wire.hpp"

namespace tavro {

const char* bxcan_error_name(uint32_t lec) noexcept {
  static constexpr const char* kNames[] = {"none",          "stuff",        "form", "ack",
                                           "bit_recessive", "bit_dominant", "crc",  "software_set"};
  return lec < std::size(kNames) ? kNames[lec] : "unknown";
}

const char* legacy_error_name(uint32_t error_type) noexcept {
  static constexpr const char* kNames[] = {"none", "bit", "stuff", "form", "ack", "crc"};
  return error_type < std::size(kNames) ? kNames[error_type] : "unknown";
}

const char* LastErrorRecord::name() const noexcept {
  return form == Form::Bxcan ? bxcan_error_name(bxcan.lec) : legacy_error_name(legacy.error_type);
}

Result<LastErrorRecord> LastErrorRecord::decode(std::span<const uint8_t> reply) {
  LastErrorRecord r;
  const uint8_t* p = reply.data();
  if (reply.size() == kBxcanSize) {
    r.form = Form::Bxcan;
    r.bxcan.lec = wire::get_u32(p);
    r.bxcan.raw_errsr = wire::get_u32(p + 4);
    return r;
  }
  if (reply.size() == kLegacySize) {
    r.form = Form::Legacy;
    r.legacy = Legacy{p[0], p[1], p[2], p[3]};
    return r;
  }
  return DeviceError::communication("invalid GET_LAST_ERROR length (expected legacy 4 or bxCAN 8)");
}

Result<TemperatureRecord> TemperatureRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid temperatures response");
  const uint8_t* p = reply.data();
  return TemperatureRecord{wire::get_u32(p), wire::get_u32(p + 4), wire::get_u32(p + 8), wire::get_u32(p + 12),
                           wire::get_u32(p + 16)};
}

Result<LastErrorRecord> read_last_error(UsbAdapter& adapter, std::chrono::nanoseconds budget) {
  const TimePoint deadline = deadline_after(std::chrono::duration_cast<Duration>(budget));
  auto reply = adapter.control_in(ControlCommand::GetLastError, 0, LastErrorRecord::kBxcanSize, budget);
  if (!reply.ok() && reply.error().is_usb(UsbErrorKind::Stall)) {
    // Early firmware knows only its 4-byte record and stalls the longer request.
    const Duration left = time_left(deadline);
    if (left <= Duration::zero()) return DeviceError::timeout();
    reply = adapter.control_in(ControlCommand::GetLastError, 0, LastErrorRecord::kLegacySize, left);
  }
  if (!reply.ok()) return std::move(reply).error();
  return LastErrorRecord::decode(*reply);
}

Result<TemperatureRecord> read_temperatures(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::GetTemperatures, 0, TemperatureRecord::kSize);
  if (!reply.ok()) return std::move(reply).error();
  return TemperatureRecord::decode(*reply);
}

}  // namespace tavro
