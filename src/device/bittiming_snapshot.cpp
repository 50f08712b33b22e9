// Bit timing snapshot decoding and cross-checks.
#include "device/bittiming_snapshot.hpp"

#include <cmath>

#include "core/protocol.hpp"
#include "core/wire.hpp"

namespace tavro {

Result<BitTimingSnapshot> BitTimingSnapshot::decode(std::span<const uint8_t> reply) {
  if (reply.size() != kSize) {
    return DeviceError::communication("invalid bit timing snapshot length: expected 56, received " +
                                      std::to_string(reply.size()));
  }
  BitTimingSnapshot s;
  auto configured = BitTimingRecord::decode(reply.first(BitTimingRecord::kSize));
  if (!configured.ok()) return std::move(configured).error();  // cannot happen with 56 bytes
  s.configured = *configured;
  const uint8_t* p = reply.data() + BitTimingRecord::kSize;
  s.clock_freq = wire::get_u32(p);
  s.btimr = wire::get_u32(p + 4);
  s.ctlr = wire::get_u32(p + 8);
  s.statr = wire::get_u32(p + 12);
  s.errsr = wire::get_u32(p + 16);
  s.bus_state = wire::get_u32(p + 20);
  return s;
}

DerivedTiming derive_timing(const TimingParameters& p, uint32_t clock_hz) noexcept {
  DerivedTiming d{p, std::nullopt, std::nullopt, std::nullopt};
  if (clock_hz == 0 || p.brp == 0 || p.tseg1 == 0 || p.tseg2 == 0 || p.sjw == 0) return d;
  const double f = clock_hz;
  const double brp = p.brp;
  const double n = 1.0 + double(p.tseg1) + double(p.tseg2);
  d.bitrate_hz = f / (brp * n);
  d.sample_point_percent = (1.0 + double(p.tseg1)) * 100.0 / n;
  d.tq_ns = brp * 1e9 / f;
  return d;
}

TimingParameters decode_btimr(uint32_t btimr) noexcept {
  return {(btimr & 0x3FF) + 1, ((btimr >> 16) & 0xF) + 1, ((btimr >> 20) & 0x7) + 1, ((btimr >> 24) & 0x3) + 1};
}

const char* configured_state_name(ConfiguredState s) noexcept {
  switch (s) {
    case ConfiguredState::Valid: return "valid";
    case ConfiguredState::Unset: return "unset";
    case ConfiguredState::Invalid: return "invalid";
  }
  return "invalid";
}

ConfiguredValidation validate_configured(const BitTimingRecord& c, const BtConstRecord& lim) noexcept {
  ConfiguredValidation v;
  if (c == BitTimingRecord{}) {
    v.state = ConfiguredState::Unset;
    return v;
  }
  const uint32_t tseg1 = c.prop_seg + c.phase_seg1;
  const bool overflow = tseg1 < c.prop_seg;
  const uint32_t tseg2 = c.phase_seg2;
  // The fixed bounds are the ranges of the BTIMR fields; the others are what the adapter declared at open.
  const bool ok = !overflow &&                                         //
                  tseg2 >= 1 && tseg2 <= 8 &&                          //
                  tseg1 >= 1 && tseg1 <= 16 &&                         //
                  c.brp >= 1 && c.brp <= 1024 &&                       //
                  c.sjw <= tseg2 && c.sjw >= 1 && c.sjw <= 4 &&        //
                  c.sjw <= lim.sjw_max &&                              //
                  tseg1 >= lim.tseg1_min && tseg1 <= lim.tseg1_max &&  //
                  tseg2 >= lim.tseg2_min && tseg2 <= lim.tseg2_max &&  //
                  c.brp >= lim.brp_min && c.brp <= lim.brp_max &&      //
                  lim.brp_inc != 0 && (c.brp - lim.brp_min) % lim.brp_inc == 0;
  if (!ok) {
    v.state = ConfiguredState::Invalid;
    v.error = DeviceError::invalid_parameter("configured CAN timing is outside the supported limits");
    return v;
  }
  v.state = ConfiguredState::Valid;
  v.params = TimingParameters{c.brp, tseg1, tseg2, c.sjw};
  return v;
}

const char* peripheral_state_name(PeripheralState s) noexcept {
  switch (s) {
    case PeripheralState::Running: return "running";
    case PeripheralState::BusOff: return "bus_off";
    case PeripheralState::Inactive: return "inactive";
    case PeripheralState::Transitioning: return "transitioning";
  }
  return "transitioning";
}

PeripheralState peripheral_state(uint32_t b, uint32_t ctlr, uint32_t statr, uint32_t errsr) noexcept {
  if (b > protocol::kBusSleeping) return PeripheralState::Transitioning;
  if (b == protocol::kBusOff) return PeripheralState::BusOff;
  const bool stopped = b == protocol::kBusStopped || b == protocol::kBusSleeping;
  const bool bus_off_flag = (errsr & 0x04) != 0;
  if (bus_off_flag) return stopped ? PeripheralState::Transitioning : PeripheralState::BusOff;
  if (stopped) return PeripheralState::Inactive;
  // Initialisation or sleep still requested or acknowledged: the controller is on its way in or out.
  const bool init_bits = ((ctlr | statr) & 3) != 0;
  return init_bits ? PeripheralState::Transitioning : PeripheralState::Running;
}

std::optional<bool> metadata_consistent(const BitTimingRecord& c, const ConfiguredValidation& v,
                                        uint32_t clock_hz) noexcept {
  if (v.state == ConfiguredState::Invalid) return std::nullopt;
  if (v.state == ConfiguredState::Unset || !v.params || clock_hz == 0 || c.bitrate == 0 || c.sample_point == 0 ||
      c.tq_ns == 0)
    return false;
  const TimingParameters& p = *v.params;
  const double f = clock_hz;
  const double n = 1.0 + double(p.tseg1) + double(p.tseg2);
  auto within = [](double x, uint32_t value) { return std::floor(x) <= value && value <= std::ceil(x); };
  const double x = f / (double(p.brp) * n);
  if (!within(x, c.bitrate)) return false;
  const double y = (1.0 + double(p.tseg1)) * 100.0 / n * 10.0;
  if (!within(y, c.sample_point)) return false;
  const double z = double(p.brp) * 1e9 / f;
  return within(z, c.tq_ns);
}

SnapshotAnalysis analyse_snapshot(const BitTimingSnapshot& s, const BtConstRecord& limits) {
  SnapshotAnalysis a;
  a.validation = validate_configured(s.configured, limits);
  if (a.validation.params) a.configured = derive_timing(*a.validation.params, s.clock_freq);
  const TimingParameters programmed = decode_btimr(s.btimr);
  a.programmed = derive_timing(programmed, s.clock_freq);
  a.peripheral = peripheral_state(s.bus_state, s.ctlr, s.statr, s.errsr);
  if (a.validation.params && a.peripheral == PeripheralState::Running)
    a.timing_matches = programmed == *a.validation.params;
  a.metadata_consistent = metadata_consistent(s.configured, a.validation, s.clock_freq);
  a.listen_only = btimr_listen_only(s.btimr);
  a.loopback = btimr_loopback(s.btimr);
  return a;
}

Result<BitTimingSnapshot> read_bittiming_snapshot(UsbAdapter& adapter) {
  auto reply = adapter.control_in(ControlCommand::CanBittiming, 1, BitTimingSnapshot::kSize);
  if (!reply.ok()) return std::move(reply).error();
  return BitTimingSnapshot::decode(*reply);
}

}  // namespace tavro
