// The bit timing snapshot: configured timing, the controller's registers as programmed and its state in one reply,
// and the host's cross-checks of the three. No locking: callers hold the device's state lock for the read.
//
//   snap = read_bittiming_snapshot(a)        # CanBittiming IN wValue 1, exactly 56 bytes
//   view = analyse_snapshot(snap, bt_const)  # validation, derived values, peripheral state, match, consistency
//
// The controller is bxCAN-style: BTIMR packs BRP-1 (bits 0..9), TSEG1-1 (16..19), TSEG2-1 (20..22), SJW-1 (24..25),
// loopback (bit 30) and silent mode (bit 31); ERRSR bit 2 is bus-off; CTLR/STATR bits 0..1 are the
// initialisation and sleep request/acknowledge bits.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/result.hpp"
#include "device/adapter.hpp"
#include "device/bit_timing.hpp"
#include "device/records.hpp"

namespace tavro {

struct BitTimingSnapshot {
  static constexpr size_t kSize = 56;
  BitTimingRecord configured;
  uint32_t clock_freq = 0;  // Hz
  uint32_t btimr = 0;
  uint32_t ctlr = 0;
  uint32_t statr = 0;
  uint32_t errsr = 0;
  uint32_t bus_state = 0;  // protocol::BusState values; anything above 5 is undefined

  // Exactly 56 bytes, else Communication "invalid bit timing snapshot length: expected 56, received N".
  static Result<BitTimingSnapshot> decode(std::span<const uint8_t> reply);
};

// Segment lengths in time quanta.
struct TimingParameters {
  uint32_t brp = 0;
  uint32_t tseg1 = 0;
  uint32_t tseg2 = 0;
  uint32_t sjw = 0;
  friend bool operator==(const TimingParameters&, const TimingParameters&) = default;
};

// Parameters with the bit rate, sample point and time quantum they give at a clock; the three are unset when the
// clock or any parameter is zero.
struct DerivedTiming {
  TimingParameters params;
  std::optional<double> bitrate_hz;
  std::optional<double> sample_point_percent;
  std::optional<double> tq_ns;
};

DerivedTiming derive_timing(const TimingParameters& p, uint32_t clock_hz) noexcept;
TimingParameters decode_btimr(uint32_t btimr) noexcept;
inline bool btimr_loopback(uint32_t btimr) noexcept { return (btimr >> 30) & 1; }
inline bool btimr_listen_only(uint32_t btimr) noexcept { return (btimr >> 31) & 1; }

enum class ConfiguredState : uint8_t { Valid, Unset, Invalid };
const char* configured_state_name(ConfiguredState s) noexcept;

struct ConfiguredValidation {
  ConfiguredState state = ConfiguredState::Unset;
  std::optional<TimingParameters> params;  // only when Valid
  std::optional<DeviceError> error;        // only when Invalid
};

// An all-zero record is Unset. Otherwise the segments must fit both the register fields and the adapter's
// declared limits (including the BRP grid), else InvalidParameter
// "configured CAN timing is outside the supported limits".
ConfiguredValidation validate_configured(const BitTimingRecord& configured, const BtConstRecord& limits) noexcept;

enum class PeripheralState : uint8_t { Running, BusOff, Inactive, Transitioning };
const char* peripheral_state_name(PeripheralState s) noexcept;
PeripheralState peripheral_state(uint32_t bus_state, uint32_t ctlr, uint32_t statr, uint32_t errsr) noexcept;

// Whether the configured bit rate, sample point and time quantum agree with the configured segments and the
// clock; unset when validation failed.
std::optional<bool> metadata_consistent(const BitTimingRecord& configured, const ConfiguredValidation& v,
                                        uint32_t clock_hz) noexcept;

struct SnapshotAnalysis {
  ConfiguredValidation validation;
  std::optional<DerivedTiming> configured;  // only when validation is Valid
  DerivedTiming programmed;
  PeripheralState peripheral = PeripheralState::Transitioning;
  std::optional<bool> timing_matches;  // only when Valid and Running
  std::optional<bool> metadata_consistent;
  bool listen_only = false;
  bool loopback = false;
};

SnapshotAnalysis analyse_snapshot(const BitTimingSnapshot& snap, const BtConstRecord& limits);

Result<BitTimingSnapshot> read_bittiming_snapshot(UsbAdapter& adapter);

}  // namespace tavro
