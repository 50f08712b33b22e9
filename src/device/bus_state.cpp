// Bus state, mode word and TX result mode requests.
#include "device/bus_state.hpp"

#include <cstdio>
#include <string>

#include "core/log.hpp"
#include "core/wire.hpp"
#include "device/records.hpp"

namespace tavro {
Result<BusStateRecord> BusStateRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid bus state response");
  const uint8_t* p = reply.data();
  BusStateRecord r;
  r.state = wire::get_u32(p);
  r.rx_errors = wire::get_u32(p + 4);
  r.tx_errors = wire::get_u32(p + 8);
  r.bus_off_count = wire::get_u32(p + 12);
  r.last_error = wire::get_u32(p + 16);
  return r;
}

Result<TxResultModeRecord> TxResultModeRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() != kSize)
    return DeviceError::communication("expected " + std::to_string(kSize) + " bytes, received " +
                                      std::to_string(reply.size()));
  TxResultModeRecord r;
  r.mode = wire::get_u32(reply.data());
  r.generation = wire::get_u32(reply.data() + 4);
  r.extra = wire::get_u32(reply.data() + 8);
  if (r.mode >= 2) return DeviceError::communication("unknown TX result mode " + std::to_string(r.mode));
  return r;
}

Result<BusStateRecord> read_bus_state(UsbAdapter& adapter, std::chrono::nanoseconds timeout) {
  auto reply = adapter.control_in(ControlCommand::Bus, 0, BusStateRecord::kSize, timeout);
  if (!reply) return std::move(reply).error();
  return BusStateRecord::decode(*reply);
}

Status switch_bus(UsbAdapter& adapter, bool on) {
  const auto payload = wire::u32_bytes(on ? 1 : 0);
  TAVRO_TRY(adapter.control_out(ControlCommand::Bus, 0, payload));
  auto bus = read_bus_state(adapter);
  if (!bus) return std::move(bus).error();
  const uint32_t state = bus->state;
  const std::string s = std::to_string(state);
  if (on && !bus->running()) {
    TAVRO_LOG(log::Target::Device, log::Level::Error,
              "Bus state verification failed! Requested ON, but device is STOPPED/SLEEPING (State " + s + ")");
    return DeviceError::hardware("Bus state verification failed: Requested ON, Actual State " + s);
  }
  if (!on && !bus->stopped()) {
    TAVRO_LOG(log::Target::Device, log::Level::Error,
              "Bus state verification failed! Requested OFF, but device is ACTIVE (State " + s + ")");
    return DeviceError::hardware("Bus state verification failed: Requested OFF, Actual State " + s);
  }
  return Ok{};
}

void bus_off_best_effort(UsbAdapter& adapter) noexcept {
  try {
    if (Status s = switch_bus(adapter, false); !s)
      TAVRO_LOG(log::Target::Device, log::Level::Warn,
                "Bus-off request before releasing the adapter failed: " + s.error().text());
  } catch (...) {
    // Allocation failure while building a log line: nothing more can be done here.
  }
}

uint32_t decode_mode_word(std::span<const uint8_t> reply) noexcept {
  uint32_t v = 0;
  for (size_t i = 0; i < reply.size() && i < 4; ++i) v |= uint32_t(reply[i]) << (8 * i);
  return v;
}

Result<uint32_t> read_mode(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::Mode, 0, 4);
  if (!reply) return std::move(reply).error();
  return decode_mode_word(*reply);
}

Status write_mode(UsbAdapter& adapter, uint32_t mode) {
  return adapter.control_out(ControlCommand::Mode, 0, wire::u32_bytes(mode));
}

Status write_mode_verified(UsbAdapter& adapter, uint32_t mode) {
  TAVRO_TRY(write_mode(adapter, mode));
  auto back = read_mode(adapter);
  if (!back) return std::move(back).error();
  if (back.value() == mode) return Ok{};
  char req[16], got[16];
  std::snprintf(req, sizeof req, "0x%x", mode);
  std::snprintf(got, sizeof got, "0x%x", back.value());
  TAVRO_LOG(log::Target::Device, log::Level::Error,
            std::string("Mode verification failed! Requested: ") + req + ", Actual: " + got);
  return DeviceError::hardware(std::string("Mode verification failed: Requested ") + req + ", Actual " + got);
}

Result<TxResultModeRecord> read_tx_result_mode(UsbAdapter& adapter, uint32_t features_supported) {
  if (!(features_supported & protocol::kFeatureTxResults))
    return DeviceError::not_supported("TX_RESULTS not advertised");
  auto reply = adapter.control_in(ControlCommand::TxResultMode, 0, TxResultModeRecord::kSize);
  if (!reply) return std::move(reply).error();
  return TxResultModeRecord::decode(*reply);
}

Result<TxResultModeRecord> select_tx_result_mode(UsbAdapter& adapter, uint32_t mode) {
  auto caps = read_capabilities(adapter);
  if (!caps) return std::move(caps).error();
  if (!caps->has_feature(protocol::kFeatureTxResults)) return DeviceError::not_supported("TX_RESULTS not advertised");
  auto bus = read_bus_state(adapter);
  if (!bus) return std::move(bus).error();
  if (bus->state != protocol::kBusStopped)
    return DeviceError::invalid_parameter("TX result mode requires STOPPED (bus OFF), not bus-off error state");
  TAVRO_TRY(adapter.control_out(ControlCommand::TxResultMode, 0, wire::u32_bytes(mode)));
  auto readback = read_tx_result_mode(adapter, caps->features_supported);
  if (!readback) return std::move(readback).error();
  if (readback->mode != mode) return DeviceError::communication("TX result format readback mismatch");
  return readback;
}

}  // namespace tavro
