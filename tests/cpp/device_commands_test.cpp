// Bit timing search and record, and the device-level configuration commands with their verification.
#include <gtest/gtest.h>

#include "device/bit_timing.hpp"
#include "device/commands.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using test::Action;
using test::Bytes;

BtConstRecord limits(uint32_t t1min, uint32_t t1max, uint32_t t2min, uint32_t t2max, uint32_t sjw, uint32_t bmin,
                     uint32_t bmax, uint32_t binc) {
  BtConstRecord r;
  r.tseg1_min = t1min;
  r.tseg1_max = t1max;
  r.tseg2_min = t2min;
  r.tseg2_max = t2max;
  r.sjw_max = sjw;
  r.brp_min = bmin;
  r.brp_max = bmax;
  r.brp_inc = binc;
  return r;
}

const BtConstRecord kBxCan = limits(1, 16, 1, 8, 4, 1, 1024, 1);

TEST(BitTimingSearch, ExactMatchFor500kAt48MHz) {
  auto c = calculate_bit_timing(48000000, kBxCan, 500000, 875);
  ASSERT_TRUE(c.ok());
  const BitTimingRecord expected{500000, 875, 125, 0, 13, 2, 2, 6};
  EXPECT_EQ(*c.record, expected);
}

TEST(BitTimingSearch, EqualScoresKeepTheSmallestBrp) {
  // BRPs 4, 8 and 16 all miss the sample point by 5 %.
  auto c = calculate_bit_timing(8000000, kBxCan, 125000, 800);
  ASSERT_TRUE(c.ok());
  const BitTimingRecord expected{125000, 750, 500, 0, 11, 4, 4, 4};
  EXPECT_EQ(*c.record, expected);

  auto d = calculate_bit_timing(8000000, kBxCan, 800000, 875);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.record->brp, 1u);
  EXPECT_EQ(d.record->phase_seg1, 7u);
  EXPECT_EQ(d.record->phase_seg2, 2u);
  EXPECT_EQ(d.record->sample_point, 800u);
}

TEST(BitTimingSearch, BrpGridAndSjwBounds) {
  // Only BRPs 2, 6, 10, ... are allowed: 6 is still on the grid.
  auto c = calculate_bit_timing(48000000, limits(1, 16, 1, 8, 4, 2, 1024, 4), 500000, 875);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.record->brp, 6u);
  // Only odd BRPs: no exact match exists, and the smallest bitrate error wins over the sample point.
  auto odd = calculate_bit_timing(48000000, limits(1, 16, 1, 8, 4, 1, 1024, 2), 500000, 875);
  ASSERT_TRUE(odd.ok());
  const BitTimingRecord best_odd{505263, 842, 104, 0, 15, 3, 3, 5};
  EXPECT_EQ(*odd.record, best_odd);

  // SJW is min(SJW max, tseg2) kept within 1..4.
  EXPECT_EQ(calculate_bit_timing(48000000, limits(1, 16, 1, 8, 0, 1, 1024, 1), 500000, 875).record->sjw, 1u);
  EXPECT_EQ(calculate_bit_timing(8000000, limits(1, 16, 1, 8, 9, 1, 1024, 1), 125000, 500).record->sjw, 4u);
}

TEST(BitTimingSearch, RefusedInputs) {
  auto text = [](const BitTimingCalc& c) { return std::string(bit_timing_calc_error_text(c.error)); };
  const std::string too_high = "Classic CAN bitrate exceeds 1,000,000 bps";
  const std::string invalid = "Invalid bit timing parameters";

  EXPECT_EQ(text(calculate_bit_timing(0, limits(9, 1, 9, 1, 0, 5, 1, 0), 1000001, 875)), too_high)
      << "the bitrate check comes before the limit checks";
  EXPECT_TRUE(calculate_bit_timing(48000000, kBxCan, 1000000, 875).ok());

  EXPECT_EQ(text(calculate_bit_timing(48000000, kBxCan, 0, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(0, kBxCan, 500000, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(48000000, limits(17, 16, 1, 8, 4, 1, 1024, 1), 500000, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(48000000, limits(1, 16, 9, 8, 4, 1, 1024, 1), 500000, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(48000000, limits(1, 4097, 1, 8, 4, 1, 1024, 1), 500000, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(48000000, limits(1, 16, 1, 4097, 4, 1, 1024, 1), 500000, 875)), invalid);
  EXPECT_EQ(text(calculate_bit_timing(48000000, limits(1, 16, 1, 8, 4, 10, 5, 1), 500000, 875)), invalid);
  // No BRP gives a valid split: one time quantum per bit.
  EXPECT_EQ(text(calculate_bit_timing(1000000, kBxCan, 1000000, 875)), invalid);
}

TEST(BitTimingRecord, EncodeDecodeAndShortReadback) {
  const BitTimingRecord r{500000, 875, 125, 0, 13, 2, 2, 6};
  uint8_t bytes[32];
  r.encode(bytes);
  EXPECT_EQ(Bytes(bytes, bytes + 8), test::cat({test::u32(500000), test::u32(875)}));
  EXPECT_EQ(Bytes(bytes + 28, bytes + 32), test::u32(6));
  Bytes longer(bytes, bytes + 32);
  longer.push_back(0xff);
  EXPECT_EQ(*BitTimingRecord::decode(longer), r);
  EXPECT_EQ(BitTimingRecord::decode(Bytes(31, 0)).error().text(), "Communication error: Invalid bittiming response");
}

class Commands : public test::SimAdapterTest {
 protected:
  static Bytes encoded(const BitTimingRecord& r) {
    uint8_t b[32];
    r.encode(b);
    return Bytes(b, b + 32);
  }
  std::vector<std::string> errors() { return logs().texts(log::Target::Device, log::Level::Error); }
};

TEST_F(Commands, BitTimingIsWrittenAndItsBitrateVerified) {
  const BitTimingRecord r{500000, 875, 125, 0, 13, 2, 2, 6};
  ASSERT_TRUE(write_bit_timing(*adapter, r).ok());
  auto reqs = requests(ControlCommand::CanBittiming);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].data.size(), 32u);
  EXPECT_EQ(reqs[1].setup.length, 32);
  EXPECT_EQ(reqs[1].setup.value, 0);
  EXPECT_EQ(*read_bit_timing(*adapter), r);

  // Only the bitrate word is compared.
  BitTimingRecord other = r;
  other.sjw = 1;
  reply_in(ControlCommand::CanBittiming, encoded(other));
  EXPECT_TRUE(write_bit_timing(*adapter, r).ok());

  other.bitrate = 250000;
  reply_in(ControlCommand::CanBittiming, encoded(other));
  EXPECT_EQ(write_bit_timing(*adapter, r).error().text(),
            "Hardware error: Bittiming verification failed: Requested bitrate 500000, Actual 250000");
  EXPECT_EQ(errors(),
            std::vector<std::string>{"Bittiming verification failed! Requested bitrate: 500000, Actual: 250000"});

  reply_in(ControlCommand::CanBittiming, Bytes(20, 0));
  EXPECT_EQ(write_bit_timing(*adapter, r).error().text(), "Communication error: Invalid bittiming response");
}

TEST_F(Commands, LedModeVerified) {
  EXPECT_TRUE(set_led_mode(*adapter, 3).ok());
  EXPECT_EQ(requests(ControlCommand::LedMode)[0].data, test::u32(3));

  reply_in(ControlCommand::LedMode, {1});  // short reply: zero-extended
  EXPECT_EQ(set_led_mode(*adapter, 2).error().text(),
            "Hardware error: LED mode verification failed: Requested 2, Actual 1");
  EXPECT_EQ(errors(), std::vector<std::string>{"LED mode verification failed! Requested: 2, Actual: 1"});
}

TEST_F(Commands, TerminationVerified) {
  EXPECT_TRUE(set_termination(*adapter, true).ok());
  EXPECT_EQ(requests(ControlCommand::TerminationState)[0].data, test::u32(1));
  EXPECT_TRUE(*get_termination(*adapter));

  reply_in(ControlCommand::TerminationState, test::u32(0));
  EXPECT_EQ(set_termination(*adapter, true).error().text(),
            "Hardware error: Termination verification failed: Requested true, Actual false");
  reply_in(ControlCommand::TerminationState, {0, 1});
  EXPECT_EQ(set_termination(*adapter, false).error().text(),
            "Hardware error: Termination verification failed: Requested false, Actual true");
  EXPECT_EQ(errors(), (std::vector<std::string>{"Termination verification failed! Requested: true, Actual: false",
                                                "Termination verification failed! Requested: false, Actual: true"}));
}

TEST_F(Commands, DeviceNameRulesAndPayload) {
  ASSERT_TRUE(write_device_name(*adapter, "ABCDEFGHIJKLMNO").ok());
  ASSERT_TRUE(write_device_name(*adapter, "").ok());
  auto reqs = requests(ControlCommand::DeviceName);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].data, (Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 0}));
  EXPECT_EQ(reqs[1].data, Bytes(16, 0));

  dev->clear_records();
  EXPECT_EQ(write_device_name(*adapter, "ABCDEFGHIJKLMNOP").error().text(),
            "Invalid parameter: Device name too long (max 15 chars)");
  const std::string chars =
      "Invalid parameter: Device name can only contain alphanumeric characters, underscore, and hyphen";
  EXPECT_EQ(write_device_name(*adapter, "a b").error().text(), chars);
  EXPECT_EQ(write_device_name(*adapter, "caf\xc3\xa9").error().text(), chars);
  EXPECT_TRUE(requests().empty()) << "validation fails before anything is sent";

  reply_in(ControlCommand::DeviceName, Bytes{'a', 0xff, 'b', 0, 'z'});
  EXPECT_EQ(*get_device_name(*adapter),
            "a\xEF\xBF\xBD"
            "b");
  reply_in(ControlCommand::DeviceName, Bytes(16, 0));
  EXPECT_EQ(*get_device_name(*adapter), "");
}

TEST_F(Commands, InterfaceNameIdentifyChannelAndResets) {
  ASSERT_TRUE(set_interface_name(*adapter, std::string(31, 'x')).ok());
  auto reqs = requests(ControlCommand::SetInterfaceName);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].setup.length, 32);
  EXPECT_EQ(reqs[0].data.back(), 0);
  const std::string msg = "Invalid parameter: interface name must be at most 31 bytes with no embedded NUL";
  EXPECT_EQ(set_interface_name(*adapter, std::string(32, 'x')).error().text(), msg);
  EXPECT_EQ(set_interface_name(*adapter, std::string("a\0b", 3)).error().text(), msg);

  ASSERT_TRUE(identify(*adapter, 65535).ok());
  ASSERT_TRUE(set_channel_id(*adapter, 0).ok());
  ASSERT_TRUE(reset_can(*adapter).ok());
  ASSERT_TRUE(flush_tx_queue(*adapter).ok());
  fail(ControlCommand::ResetTimestamp, false, Action::Stall);
  EXPECT_TRUE(reset_timestamp(*adapter).error().is_usb(UsbErrorKind::Stall));

  auto all = requests();
  ASSERT_EQ(all.size(), 6u);
  const auto setup = [&](size_t i) {
    return std::make_tuple(all[i].setup.request, all[i].setup.value, all[i].setup.length);
  };
  EXPECT_EQ(setup(1), std::make_tuple(uint8_t(61), uint16_t(0xffff), uint16_t(0)));
  EXPECT_EQ(all[2].data, test::u32(0));
  EXPECT_EQ(setup(3), std::make_tuple(uint8_t(60), uint16_t(0), uint16_t(0)));
  EXPECT_EQ(setup(4), std::make_tuple(uint8_t(63), uint16_t(0), uint16_t(0)));
  EXPECT_EQ(setup(5), std::make_tuple(uint8_t(62), uint16_t(0), uint16_t(0)));
  for (const auto& r : all) EXPECT_EQ(r.setup.request_type, 0x41);
}

}  // namespace
}  // namespace tavro
