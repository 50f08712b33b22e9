// Bit timing snapshot: record length, register decoding, validation against the declared limits, peripheral state
// and the cross-checks.
#include <gtest/gtest.h>

#include "device/bittiming_snapshot.hpp"

namespace tavro {
namespace {

BtConstRecord permissive() { return {"bxCAN", 1, 16, 1, 8, 4, 1, 1024, 1}; }

// 500 kbit/s at 87.5 % on a 16 MHz clock needs BRP 2; with BRP 4 the segments give 250 kbit/s.
BitTimingRecord configured(uint32_t brp) { return {500000, 875, 125, 1, 12, 2, 1, brp}; }

uint32_t btimr_of(uint32_t brp, uint32_t tseg1, uint32_t tseg2, uint32_t sjw) {
  return (brp - 1) | (tseg1 - 1) << 16 | (tseg2 - 1) << 20 | (sjw - 1) << 24;
}

}  // namespace

TEST(BitTimingSnapshot, ExactlyFiftySixBytesAndRegisterDecoding) {
  std::vector<uint8_t> b(56, 0);
  b[32] = 0x00, b[33] = 0x24, b[34] = 0xF4;  // clock 16 000 000
  b[52] = 3;
  auto s = BitTimingSnapshot::decode(b);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->clock_freq, 16000000u);
  EXPECT_EQ(s->bus_state, 3u);
  for (size_t n : {32, 55, 57})
    EXPECT_EQ(BitTimingSnapshot::decode(std::vector<uint8_t>(n, 0)).error().text(),
              "Communication error: invalid bit timing snapshot length: expected 56, received " + std::to_string(n));

  EXPECT_EQ(decode_btimr(0xC0000000), (TimingParameters{1, 1, 1, 1}));
  EXPECT_TRUE(btimr_listen_only(0xC0000000) && btimr_loopback(0xC0000000));
  EXPECT_FALSE(btimr_listen_only(0x40000000));
  EXPECT_EQ(decode_btimr(0x03FF03FF), (TimingParameters{1024, 16, 8, 4}));
}

TEST(BitTimingSnapshot, DerivedValuesAndMetadataConsistency) {
  const auto lim = permissive();
  auto v4 = validate_configured(configured(4), lim);
  ASSERT_EQ(v4.state, ConfiguredState::Valid);
  EXPECT_EQ(*v4.params, (TimingParameters{4, 13, 2, 1}));
  EXPECT_DOUBLE_EQ(*derive_timing(*v4.params, 16000000).bitrate_hz, 250000.0);
  EXPECT_EQ(metadata_consistent(configured(4), v4, 16000000), false);

  auto v2 = validate_configured(configured(2), lim);
  const DerivedTiming d = derive_timing(*v2.params, 16000000);
  EXPECT_DOUBLE_EQ(*d.bitrate_hz, 500000.0);
  EXPECT_DOUBLE_EQ(*d.sample_point_percent, 87.5);
  EXPECT_DOUBLE_EQ(*d.tq_ns, 125.0);
  EXPECT_EQ(metadata_consistent(configured(2), v2, 16000000), true);
  EXPECT_EQ(metadata_consistent(configured(2), v2, 0), false);
  EXPECT_FALSE(derive_timing(*v2.params, 0).bitrate_hz);
  // Each stated value must fit and none may be zero; a non-integral value accepts either neighbour
  // (16 MHz / (3 * 16) = 333333.3, tq 187.5 ns).
  struct Case {
    uint32_t brp, bitrate, sample_point, tq;
    bool consistent;
  };
  for (Case c : {Case{2, 500000, 874, 125, false}, Case{2, 500000, 875, 126, false}, Case{2, 0, 875, 125, false},
                 Case{3, 333333, 875, 188, true}, Case{3, 333334, 875, 187, true}, Case{3, 333335, 875, 188, false}}) {
    BitTimingRecord r{c.bitrate, c.sample_point, c.tq, 1, 12, 2, 1, c.brp};
    EXPECT_EQ(metadata_consistent(r, validate_configured(r, lim), 16000000), c.consistent) << c.bitrate;
  }
}

TEST(BitTimingSnapshot, ValidationFailures) {
  auto invalid = [](BitTimingRecord r, BtConstRecord l) {
    auto v = validate_configured(r, l);
    const bool ok = v.state == ConfiguredState::Invalid && !v.params && v.error &&
                    v.error->text() == "Invalid parameter: configured CAN timing is outside the supported limits" &&
                    metadata_consistent(r, v, 16000000) == std::nullopt;
    return ok;
  };
  const auto lim = permissive();
  auto with = [](auto change) {
    BitTimingRecord r = configured(2);
    change(r);
    return r;
  };
  EXPECT_TRUE(invalid(with([](auto& r) { r.phase_seg2 = 0; }), lim));
  EXPECT_TRUE(invalid(with([](auto& r) { r.sjw = 3; }), lim));                // more than phase segment 2
  EXPECT_TRUE(invalid(with([](auto& r) { r.prop_seg = 0xFFFFFFFF; }), lim));  // TSEG1 overflows
  // The register's fields bound the segments even where an adapter declares wider limits.
  auto wide = lim;
  wide.tseg1_max = 32;
  wide.tseg2_max = 16;
  EXPECT_TRUE(invalid(with([](auto& r) { r.phase_seg1 = 16; }), wide));  // TSEG1 17: wider than the field
  EXPECT_TRUE(invalid(with([](auto& r) { r.phase_seg2 = 9; }), wide));   // TSEG2 9: wider than the field
  auto grid = lim;
  grid.brp_inc = 2;
  EXPECT_TRUE(invalid(configured(2), grid));  // BRP 2 is off the grid 1, 3, 5...
  EXPECT_EQ(validate_configured(configured(3), grid).state, ConfiguredState::Valid);
  grid.brp_inc = 0;
  EXPECT_TRUE(invalid(configured(3), grid));
  auto narrow = lim;
  narrow.tseg1_max = 12;
  EXPECT_TRUE(invalid(configured(2), narrow));
}

TEST(BitTimingSnapshot, PeripheralState) {
  struct Case {
    uint32_t bus, ctlr, statr, errsr;
    PeripheralState expected;
  };
  using P = PeripheralState;
  for (const Case& c :
       {Case{3, 1, 1, 0, P::BusOff}, Case{4, 0, 0, 4, P::Transitioning}, Case{4, 1, 1, 0, P::Inactive},
        Case{5, 0, 0, 4, P::Transitioning}, Case{0, 1, 0, 0, P::Transitioning}, Case{1, 0, 2, 0, P::Transitioning},
        Case{2, 0, 0, 4, P::BusOff}, Case{0, 4, 4, 3, P::Running}, Case{6, 0, 0, 0, P::Transitioning}})
    EXPECT_EQ(peripheral_state(c.bus, c.ctlr, c.statr, c.errsr), c.expected) << c.bus << " " << c.errsr;
}

TEST(BitTimingSnapshot, AnalysisCombinesTheChecks) {
  BitTimingSnapshot s;
  s.configured = configured(2);
  s.clock_freq = 16000000;
  s.btimr = btimr_of(2, 13, 2, 1) | 1u << 31;
  auto a = analyse_snapshot(s, permissive());
  EXPECT_EQ(a.timing_matches, true);
  EXPECT_EQ(a.metadata_consistent, true);
  EXPECT_TRUE(a.listen_only && !a.loopback);

  s.btimr = btimr_of(2, 13, 2, 2);  // SJW differs
  EXPECT_EQ(analyse_snapshot(s, permissive()).timing_matches, false);
  s.bus_state = 4;  // not running: nothing to compare
  EXPECT_EQ(analyse_snapshot(s, permissive()).timing_matches, std::nullopt);

  s.configured = BitTimingRecord{};
  s.bus_state = 0;
  a = analyse_snapshot(s, permissive());
  EXPECT_EQ(a.validation.state, ConfiguredState::Unset);
  EXPECT_FALSE(a.validation.error || a.configured || a.timing_matches);
  EXPECT_EQ(a.metadata_consistent, false);
}

}  // namespace tavro
