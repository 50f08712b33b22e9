// Description records, channel / name replies, bus state, mode word and TX result mode: decoding, validation
// messages and the verified bus switch.
#include <gtest/gtest.h>

#include "device/bus_state.hpp"
#include "device/records.hpp"
#include "log_capture.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using test::Action;
using test::Bytes;
constexpr auto u32_bytes = test::u32;

Bytes device_info_bytes(size_t size) {
  Bytes b(size, 0xEE);
  const Bytes head{1, 2, 3, 4, 0, 2, 1, 255, 9, 9, 9, 9, 0, 0, 0, 0, 1, 0xEE, 0xEE, 0xEE, 0x78, 0x56, 0x34, 0x12};
  std::copy(head.begin(), head.begin() + std::min(size, head.size()), b.begin());
  return b;
}

Bytes bt_const_bytes(const std::string& name, std::vector<uint32_t> words) {
  Bytes b(16, 0);
  std::copy(name.begin(), name.end(), b.begin());
  for (uint32_t w : words) {
    auto x = u32_bytes(w);
    b.insert(b.end(), x.begin(), x.end());
  }
  return b;
}

Bytes bus_state_bytes(uint32_t state, uint32_t rx = 0, uint32_t tx = 0) {
  return test::cat({u32_bytes(state), u32_bytes(rx), u32_bytes(tx), u32_bytes(7), u32_bytes(9)});
}

TEST(VersionText, DecimalComponentsJoinedByDots) {
  EXPECT_EQ(version_text({1, 4, 0, 12}), "1.4.0.12");
  EXPECT_EQ(version_text({0, 2, 1, 255}), "0.2.1.255");
}

TEST(DeviceInfoRecord, DecodesFieldsAndIgnoresTrailingBytes) {
  auto r = DeviceInfoRecord::decode(device_info_bytes(30));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(version_text(r->hardware_version), "1.2.3.4");
  EXPECT_EQ(version_text(r->firmware_version), "0.2.1.255");
  EXPECT_EQ(version_text(r->bootloader_version), "9.9.9.9");
  EXPECT_EQ(version_text(r->min_host_api_version), "0.0.0.0");
  EXPECT_EQ(r->channel_count, 1);
  EXPECT_EQ(r->hardware_id, 0x12345678u);

  auto short_reply = DeviceInfoRecord::decode(device_info_bytes(23));
  ASSERT_FALSE(short_reply.ok());
  EXPECT_EQ(short_reply.error().text(), "Communication error: Invalid device info response");
}

TEST(CapabilitiesRecord, DecodesSixWordsInOrder) {
  auto bytes =
      test::cat({u32_bytes(48000000), u32_bytes(1), u32_bytes(2), u32_bytes(0x1f), u32_bytes(0xa5), u32_bytes(3)});
  auto r = CapabilitiesRecord::decode(bytes);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->clock_freq, 48000000u);
  EXPECT_EQ(r->tx_buffer_size, 1u);
  EXPECT_EQ(r->rx_buffer_size, 2u);
  EXPECT_EQ(r->ctrlmode_supported, 0x1fu);
  EXPECT_EQ(r->features_supported, 0xa5u);
  EXPECT_EQ(r->temperature_sensors, 3u);
  EXPECT_TRUE(r->has_feature(protocol::kFeatureTxResults));
  EXPECT_FALSE(r->has_feature(protocol::kFeatureCancel));

  bytes.pop_back();
  EXPECT_EQ(CapabilitiesRecord::decode(bytes).error().text(), "Communication error: Invalid capabilities response");
}

TEST(BtConstRecord, DecodesLimitsAndControllerName) {
  auto r = BtConstRecord::decode(bt_const_bytes("bxCAN", {1, 16, 1, 8, 4, 1, 1024, 1}));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->name(), "bxCAN");
  EXPECT_EQ(r->tseg1_min, 1u);
  EXPECT_EQ(r->tseg1_max, 16u);
  EXPECT_EQ(r->tseg2_min, 1u);
  EXPECT_EQ(r->tseg2_max, 8u);
  EXPECT_EQ(r->sjw_max, 4u);
  EXPECT_EQ(r->brp_min, 1u);
  EXPECT_EQ(r->brp_max, 1024u);
  EXPECT_EQ(r->brp_inc, 1u);

  // A name filling all 16 bytes is shown whole; invalid UTF-8 is replaced.
  EXPECT_EQ(BtConstRecord::decode(bt_const_bytes("ABCDEFGHIJKLMNOP", {0, 0, 0, 0, 0, 0, 0, 0}))->name(),
            "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(BtConstRecord::decode(bt_const_bytes("ab\xff", {0, 0, 0, 0, 0, 0, 0, 0}))->name(), "ab\xEF\xBF\xBD");

  Bytes short_reply(47, 0);
  EXPECT_EQ(BtConstRecord::decode(short_reply).error().text(), "Communication error: Invalid bt_const response");
}

TEST(ChannelReply, MustBeExactlyFourBytes) {
  EXPECT_EQ(*decode_channel_reply(u32_bytes(0x01020304)), 0x01020304u);
  for (size_t n : {0u, 3u, 5u, 8u})
    EXPECT_EQ(decode_channel_reply(Bytes(n, 0)).error().text(), "Communication error: invalid channel reply length")
        << n;
}

TEST(DeviceName, ReplyEndsAtFirstZeroAndValidationOrder) {
  EXPECT_EQ(decode_device_name(Bytes{'a', 'b', 0, 'c'}), (Bytes{'a', 'b'}));
  EXPECT_EQ(decode_device_name(Bytes{'x', 'y'}), (Bytes{'x', 'y'}));
  EXPECT_TRUE(decode_device_name(Bytes(16, 0)).empty());

  auto problem = [](std::string s) {
    const char* p = device_name_problem(Bytes(s.begin(), s.end()));
    return std::string(p ? p : "");
  };
  EXPECT_EQ(problem(""), "device reported an empty name");
  EXPECT_EQ(problem("ab\xc3"), "device name is not valid UTF-8");
  EXPECT_EQ(problem("caf\xc3\xa9"), "device name contains illegal characters");
  EXPECT_EQ(problem("a b"), "device name contains illegal characters");
  EXPECT_EQ(problem("Bench-1_a"), "");
}

class DescriptionReads : public test::SimAdapterTest {};

TEST_F(DescriptionReads, UseOneInRequestEachAndPassTransportErrorsThrough) {
  reply_in(ControlCommand::DeviceName, Bytes{'n', 'a', 'm', 'e', 0, 0});
  fail(ControlCommand::GetBtConst, true, Action::Disconnect);

  EXPECT_TRUE(read_device_info(*adapter).ok());
  EXPECT_EQ(*read_channel_id(*adapter), 0u);
  EXPECT_EQ(*read_device_name(*adapter), (Bytes{'n', 'a', 'm', 'e'}));
  EXPECT_EQ(read_bt_const(*adapter).error().text(), "USB error: device disconnected");

  auto reqs = requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].setup.length, 24);
  EXPECT_EQ(reqs[1].setup.length, 4);
  EXPECT_EQ(reqs[2].setup.length, 16);
  EXPECT_EQ(reqs[3].setup.length, 48);
  for (auto& r : reqs) EXPECT_EQ(r.setup.value, 0);
}

class ChannelOpenLines : public test::LogCaptureTest {};

TEST_F(ChannelOpenLines, ConnectedAndClockLines) {
  auto info = DeviceInfoRecord::decode(device_info_bytes(24));
  log_channel_connected(*info);
  CapabilitiesRecord caps;
  caps.clock_freq = 48000000;
  caps.ctrlmode_supported = 0x1f;
  EXPECT_TRUE(check_channel_capabilities(caps).ok());
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Info),
            std::vector<std::string>{"Connected to TAVRO device: FW v0.2.1.255, 1 channel(s)"});
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Debug),
            std::vector<std::string>{"Clock: 48000000 Hz, Supported modes: 0x0000001f"});

  caps.clock_freq = 0;
  EXPECT_EQ(check_channel_capabilities(caps).error().text(), "Hardware error: Device reported clock_freq = 0");
}

// ----- bus state, mode, TX result mode -----

class BusControl : public test::SimAdapterTest {};

TEST_F(BusControl, ReadBusStateDecodesAndRejectsShortReplies) {
  reply_in(ControlCommand::Bus, bus_state_bytes(2, 130, 5));
  auto r = read_bus_state(*adapter, std::chrono::milliseconds(250));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->state, 2u);
  EXPECT_EQ(r->rx_errors, 130u);
  EXPECT_EQ(r->tx_errors, 5u);
  EXPECT_EQ(r->bus_off_count, 7u);
  EXPECT_EQ(r->last_error, 9u);
  EXPECT_EQ(requests().back().timeout, std::chrono::milliseconds(250));
  EXPECT_EQ(requests().back().setup.length, 20);

  Bytes short_reply = bus_state_bytes(4);
  short_reply.pop_back();
  reply_in(ControlCommand::Bus, short_reply);
  EXPECT_EQ(read_bus_state(*adapter).error().text(), "Communication error: Invalid bus state response");
}

TEST_F(BusControl, SwitchBusVerifiesTheStateReadBack) {
  struct Case {
    bool on;
    uint32_t state;
    const char* error;  // nullptr: success
    const char* log;
  };
  const Case cases[] = {
      {true, 0, nullptr, nullptr},
      {true, 2, nullptr, nullptr},
      {false, 4, nullptr, nullptr},
      {false, 5, nullptr, nullptr},
      {true, 5, "Hardware error: Bus state verification failed: Requested ON, Actual State 5",
       "Bus state verification failed! Requested ON, but device is STOPPED/SLEEPING (State 5)"},
      {true, 4, "Hardware error: Bus state verification failed: Requested ON, Actual State 4",
       "Bus state verification failed! Requested ON, but device is STOPPED/SLEEPING (State 4)"},
      {false, 3, "Hardware error: Bus state verification failed: Requested OFF, Actual State 3",
       "Bus state verification failed! Requested OFF, but device is ACTIVE (State 3)"},
  };
  for (const auto& c : cases) {
    logs().reset();
    dev->clear_records();
    reply_in(ControlCommand::Bus, bus_state_bytes(c.state));
    Status s = switch_bus(*adapter, c.on);
    auto reqs = requests(ControlCommand::Bus);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].data, u32_bytes(c.on ? 1 : 0));
    EXPECT_TRUE(reqs[1].in());
    if (!c.error) {
      EXPECT_TRUE(s.ok()) << c.on << " " << c.state;
      EXPECT_TRUE(logs().texts(log::Target::Device, log::Level::Error).empty());
    } else {
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().text(), c.error);
      EXPECT_EQ(logs().texts(log::Target::Device, log::Level::Error), std::vector<std::string>{c.log});
    }
  }
}

TEST_F(BusControl, SwitchBusStopsAtAFailedOutRequest) {
  fail(ControlCommand::Bus, false, Action::Stall);
  EXPECT_EQ(switch_bus(*adapter, true).error().text(), "USB error: endpoint stall");
  EXPECT_EQ(requests(ControlCommand::Bus).size(), 1u) << "no readback after a failed switch";
}

TEST_F(BusControl, ModeWordIsZeroExtended) {
  reply_in(ControlCommand::Mode, {0x05});
  reply_in(ControlCommand::Mode, {});
  reply_in(ControlCommand::Mode, {0x02, 0x01});
  EXPECT_EQ(*read_mode(*adapter), 5u);
  EXPECT_EQ(*read_mode(*adapter), 0u);
  EXPECT_EQ(*read_mode(*adapter), 0x102u);
  ASSERT_TRUE(write_mode(*adapter, 0x40).ok());
  EXPECT_EQ(requests(ControlCommand::Mode).back().data, u32_bytes(0x40));
}

TEST_F(BusControl, ReadTxResultModeChecksFeatureLengthAndMode) {
  EXPECT_EQ(read_tx_result_mode(*adapter, 0x1f).error().text(), "Not supported: TX_RESULTS not advertised");
  EXPECT_TRUE(requests().empty());

  reply_in(ControlCommand::TxResultMode, Bytes(8, 0));
  EXPECT_EQ(read_tx_result_mode(*adapter, 0x20).error().text(), "Communication error: expected 12 bytes, received 8");
  EXPECT_EQ(TxResultModeRecord::decode(Bytes(13, 0)).error().text(),
            "Communication error: expected 12 bytes, received 13");
}

TEST_F(BusControl, ReadTxResultModeUnknownModeAndSuccess) {
  reply_in(ControlCommand::TxResultMode, test::cat({u32_bytes(2), u32_bytes(0), u32_bytes(0)}));
  EXPECT_EQ(read_tx_result_mode(*adapter, 0x20).error().text(), "Communication error: unknown TX result mode 2");
  reply_in(ControlCommand::TxResultMode, test::cat({u32_bytes(1), u32_bytes(77), u32_bytes(0xabc)}));
  auto r = read_tx_result_mode(*adapter, 0x20);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->mode, 1u);
  EXPECT_EQ(r->generation, 77u);
  EXPECT_EQ(r->extra, 0xabcu);
}

TEST_F(BusControl, SelectTxResultMode) {
  const Bytes caps_with =
      test::cat({u32_bytes(48000000), u32_bytes(0), u32_bytes(0), u32_bytes(0), u32_bytes(0x20), u32_bytes(0)});
  Bytes caps_without = caps_with;
  caps_without[16] = 0;

  // No feature in the fresh capabilities.
  reply_in(ControlCommand::GetDeviceCapabilities, caps_without);
  EXPECT_EQ(select_tx_result_mode(*adapter, 1).error().text(), "Not supported: TX_RESULTS not advertised");

  // Bus running: refused before anything is written.
  dev->clear_records();
  reply_in(ControlCommand::GetDeviceCapabilities, caps_with);
  reply_in(ControlCommand::Bus, bus_state_bytes(0));
  EXPECT_EQ(select_tx_result_mode(*adapter, 1).error().text(),
            "Invalid parameter: TX result mode requires STOPPED (bus OFF), not bus-off error state");
  for (auto& r : requests()) EXPECT_TRUE(r.in());

  // Readback mismatch.
  reply_in(ControlCommand::TxResultMode, test::cat({u32_bytes(0), u32_bytes(3), u32_bytes(0)}));
  EXPECT_EQ(select_tx_result_mode(*adapter, 1).error().text(),
            "Communication error: TX result format readback mismatch");

  // Success returns the mode and generation read back.
  dev->clear_records();
  auto r = select_tx_result_mode(*adapter, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->mode, 1u);
  EXPECT_EQ(r->generation, dev->firmware().state().generation);
  auto writes = requests(ControlCommand::TxResultMode);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_FALSE(writes[0].in());
  EXPECT_EQ(writes[0].data, u32_bytes(1));
  EXPECT_EQ(writes[1].setup.length, 12);
}

}  // namespace
}  // namespace tavro
