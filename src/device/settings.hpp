// Settings persistence: the adapter stores its settings (the device name) in flash and reports the progress of
// that save as a settings status. Firmware without the status stalls the request.
//
//   read_settings_status(a, timeout)   SettingsStatus IN 4 -> status | nullopt (stalled: no status on this firmware)
//   wait_settings_saved(a, deadline)   bus must be stopped; polls until saved/unchanged, a failure state, or the
//                                      deadline (DeviceError::timeout())
//
// Nothing here locks. The pause between polls is the caller's: it may let the device go meanwhile (so others
// use it, and close() can end the wait) and end the wait with an error of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "core/deadline.hpp"
#include "core/result.hpp"
#include "device/adapter.hpp"

namespace tavro {

enum class SettingsStatus : uint32_t {
  Idle = 0,
  Pending = 1,
  Saved = 2,
  Unchanged = 3,
  Invalid = 4,
  FlashError = 5,
  VerifyError = 6,
  Stuck = 7,
};
inline constexpr uint32_t kSettingsStatusMax = 7;

// "idle", "pending", "saved", ... (what Python sees).
const char* settings_status_wire_name(SettingsStatus s) noexcept;
// "Idle", "Pending", "FlashError", ... (what failure messages carry).
const char* settings_status_name(SettingsStatus s) noexcept;

// Exactly 4 bytes ("expected 4 bytes, received N"), value 0..7 ("unknown settings status N").
Result<SettingsStatus> decode_settings_status(std::span<const uint8_t> reply);

// One status read. A stall means the firmware has no settings status: nullopt. Other failures unchanged.
Result<std::optional<SettingsStatus>> read_settings_status(UsbAdapter& adapter, std::chrono::nanoseconds timeout);

// The pause between two status polls, replaceable so that tests need not wait for real, and so that a caller can
// let the device go meanwhile. An error ends the wait with that error.
using SettingsSleep = std::function<Status(Duration)>;

inline constexpr auto kSettingsPollInterval = std::chrono::milliseconds(50);

// Waits until the adapter reports the settings stored (Saved or Unchanged). Fails with DeviceError::timeout()
// once the deadline has passed, Communication "invalid bus state length", InvalidParameter "settings save
// requires STOPPED" when the bus is not stopped, NotSupported for firmware without the status, Hardware
// "settings persistence failed: <Name>" for states 4..7, or the transport's error.
Result<SettingsStatus> wait_settings_saved(UsbAdapter& adapter, TimePoint deadline, const SettingsSleep& sleep = {});

}  // namespace tavro
