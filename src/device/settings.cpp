// Settings status decoding and the bounded wait for a settings save.
#include "device/settings.hpp"

#include <string>
#include <thread>

#include "core/wire.hpp"
#include "device/bus_state.hpp"

namespace tavro {
namespace {

constexpr size_t kStatusSize = 4;

}  // namespace

const char* settings_status_wire_name(SettingsStatus s) noexcept {
  switch (s) {
    case SettingsStatus::Idle: return "idle";
    case SettingsStatus::Pending: return "pending";
    case SettingsStatus::Saved: return "saved";
    case SettingsStatus::Unchanged: return "unchanged";
    case SettingsStatus::Invalid: return "invalid";
    case SettingsStatus::FlashError: return "flash_error";
    case SettingsStatus::VerifyError: return "verify_error";
    case SettingsStatus::Stuck: return "stuck";
  }
  return "unknown";
}

const char* settings_status_name(SettingsStatus s) noexcept {
  switch (s) {
    case SettingsStatus::Idle: return "Idle";
    case SettingsStatus::Pending: return "Pending";
    case SettingsStatus::Saved: return "Saved";
    case SettingsStatus::Unchanged: return "Unchanged";
    case SettingsStatus::Invalid: return "Invalid";
    case SettingsStatus::FlashError: return "FlashError";
    case SettingsStatus::VerifyError: return "VerifyError";
    case SettingsStatus::Stuck: return "Stuck";
  }
  return "Unknown";
}

Result<SettingsStatus> decode_settings_status(std::span<const uint8_t> reply) {
  if (reply.size() != kStatusSize)
    return DeviceError::communication("expected " + std::to_string(kStatusSize) + " bytes, received " +
                                      std::to_string(reply.size()));
  const uint32_t v = wire::get_u32(reply.data());
  if (v > kSettingsStatusMax) return DeviceError::communication("unknown settings status " + std::to_string(v));
  return static_cast<SettingsStatus>(v);
}

Result<std::optional<SettingsStatus>> read_settings_status(UsbAdapter& adapter, std::chrono::nanoseconds timeout) {
  auto reply = adapter.control_in(ControlCommand::SettingsStatus, 0, kStatusSize, timeout);
  if (!reply) {
    if (reply.error().is_usb(UsbErrorKind::Stall)) return std::optional<SettingsStatus>{};
    return std::move(reply).error();
  }
  auto status = decode_settings_status(*reply);
  if (!status) return std::move(status).error();
  return std::optional<SettingsStatus>{*status};
}

Result<SettingsStatus> wait_settings_saved(UsbAdapter& adapter, TimePoint deadline, const SettingsSleep& sleep) {
  Duration left = time_left(deadline);
  if (left <= Duration::zero()) return DeviceError::timeout();

  // A save only completes while the controller is stopped; waiting with the bus on would only run out the clock.
  auto bus =
      adapter.control_in(ControlCommand::Bus, 0, BusStateRecord::kSize, std::min<Duration>(left, kControlTimeout));
  if (!bus) return std::move(bus).error();
  if (bus->size() != BusStateRecord::kSize) return DeviceError::communication("invalid bus state length");
  auto record = BusStateRecord::decode(*bus);
  if (!record) return std::move(record).error();
  if (record->state != protocol::kBusStopped) return DeviceError::invalid_parameter("settings save requires STOPPED");

  for (;;) {
    left = time_left(deadline);
    if (left <= Duration::zero()) return DeviceError::timeout();
    auto status = read_settings_status(adapter, std::min<Duration>(left, kControlTimeout));
    if (!status) return std::move(status).error();
    if (!status->has_value())
      return DeviceError::not_supported("settings persistence status unavailable on legacy firmware");
    const SettingsStatus s = **status;
    switch (s) {
      case SettingsStatus::Saved:
      case SettingsStatus::Unchanged: return s;
      case SettingsStatus::Idle:
      case SettingsStatus::Pending: break;
      default: return DeviceError::hardware(std::string("settings persistence failed: ") + settings_status_name(s));
    }
    left = time_left(deadline);
    if (left <= Duration::zero()) return DeviceError::timeout();
    const Duration pause = std::min<Duration>(left, kSettingsPollInterval);
    if (sleep) {
      if (Status s = sleep(pause); !s) return std::move(s).error();
    } else {
      std::this_thread::sleep_for(pause);
    }
  }
}

}  // namespace tavro
