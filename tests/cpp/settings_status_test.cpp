// Settings persistence at the device level: status decoding, the legacy stall, and the bounded wait for a save.
#include <gtest/gtest.h>

#include "device/settings.hpp"
#include "fake_usb.hpp"

namespace tavro {
namespace {

using fake::Bytes;
using fake::ControlReply;
using fake::u32_bytes;
using namespace std::chrono_literals;

Bytes bus_record(uint32_t state) { return fake::concat({u32_bytes(state), Bytes(16, 0)}); }

class SettingsWait : public ::testing::Test {
 protected:
  void SetUp() override {
    dev = backend.add("tav.io:CANH0001");
    adapter = fake::open_fake_adapter(backend, dev);
    ASSERT_NE(adapter, nullptr);
    dev->set_in(ControlCommand::Bus, ControlReply::ok(bus_record(protocol::kBusStopped)));
  }
  void statuses(std::initializer_list<uint32_t> values) {
    for (uint32_t v : values) dev->reply_in(ControlCommand::SettingsStatus, ControlReply::ok(u32_bytes(v)));
  }
  // Records the pauses instead of sleeping.
  SettingsSleep recorder() {
    return [this](Duration d) { sleeps.push_back(d); };
  }

  fake::FakeBackend backend;
  std::shared_ptr<fake::FakeAdapter> dev;
  std::shared_ptr<UsbAdapter> adapter;
  std::vector<Duration> sleeps;
};

TEST(SettingsStatusDecode, NamesLengthAndRange) {
  const char* wire[] = {"idle", "pending", "saved", "unchanged", "invalid", "flash_error", "verify_error", "stuck"};
  const char* names[] = {"Idle", "Pending", "Saved", "Unchanged", "Invalid", "FlashError", "VerifyError", "Stuck"};
  for (uint32_t v = 0; v <= kSettingsStatusMax; ++v) {
    auto s = decode_settings_status(u32_bytes(v));
    ASSERT_TRUE(s.ok()) << v;
    EXPECT_STREQ(settings_status_wire_name(*s), wire[v]);
    EXPECT_STREQ(settings_status_name(*s), names[v]);
  }
  EXPECT_EQ(decode_settings_status(u32_bytes(8)).error().text(), "Communication error: unknown settings status 8");
  EXPECT_EQ(decode_settings_status(Bytes{2, 0, 0}).error().text(),
            "Communication error: expected 4 bytes, received 3");
  EXPECT_EQ(decode_settings_status(Bytes{2, 0, 0, 0, 0}).error().text(),
            "Communication error: expected 4 bytes, received 5");
}

TEST_F(SettingsWait, ReadStatusTellsALegacyStallFromATransportFailure) {
  statuses({1});
  auto pending = read_settings_status(*adapter, 1s);
  ASSERT_TRUE(pending.ok());
  EXPECT_EQ(*pending.value(), SettingsStatus::Pending);
  auto req = dev->requests(ControlCommand::SettingsStatus).back();
  EXPECT_TRUE(req.is_in());
  EXPECT_EQ(req.setup.length, 4);
  EXPECT_EQ(req.setup.value, 0);

  // Unscripted: the fake stalls, as firmware without the status does.
  auto legacy = read_settings_status(*adapter, 1s);
  ASSERT_TRUE(legacy.ok());
  EXPECT_FALSE(legacy.value().has_value());

  dev->reply_in(ControlCommand::SettingsStatus, ControlReply::fail(usb::TransferStatus::Disconnected));
  auto gone = read_settings_status(*adapter, 1s);
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error().text(), "USB error: device disconnected");
}

TEST_F(SettingsWait, PollsEvery50msUntilSavedOrUnchanged) {
  statuses({1, 1, 2});
  auto r = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(*r, SettingsStatus::Saved);
  EXPECT_EQ(sleeps, (std::vector<Duration>{50ms, 50ms}));
  EXPECT_EQ(dev->requests(ControlCommand::SettingsStatus).size(), 3u);
  EXPECT_EQ(dev->requests(ControlCommand::Bus).size(), 1u) << "the bus is checked once, before polling";

  sleeps.clear();
  statuses({0, 3});
  auto unchanged = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_TRUE(unchanged.ok());
  EXPECT_EQ(*unchanged, SettingsStatus::Unchanged);
  EXPECT_EQ(sleeps.size(), 1u);
}

TEST_F(SettingsWait, FailureStatesAndProtocolErrors) {
  const std::pair<uint32_t, const char*> failures[] = {
      {4, "Hardware error: settings persistence failed: Invalid"},
      {5, "Hardware error: settings persistence failed: FlashError"},
      {6, "Hardware error: settings persistence failed: VerifyError"},
      {7, "Hardware error: settings persistence failed: Stuck"},
      {9, "Communication error: unknown settings status 9"},
  };
  for (const auto& [value, text] : failures) {
    statuses({1, value});
    auto r = wait_settings_saved(*adapter, deadline_after(5s), recorder());
    ASSERT_FALSE(r.ok()) << value;
    EXPECT_EQ(r.error().text(), text);
  }
  // Firmware without the status: not a transport failure, but not something to wait for either.
  auto legacy = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(legacy.ok());
  EXPECT_TRUE(legacy.error().is(DeviceError::Kind::NotSupported));
  EXPECT_EQ(legacy.error().text(), "Not supported: settings persistence status unavailable on legacy firmware");
}

TEST_F(SettingsWait, RequiresAStoppedBusAndAWholeBusRecord) {
  dev->set_in(ControlCommand::Bus, ControlReply::ok(bus_record(protocol::kBusErrorActive)));
  auto running = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(running.ok());
  EXPECT_EQ(running.error().text(), "Invalid parameter: settings save requires STOPPED");
  // Bus-off (3) is not "stopped" either.
  dev->set_in(ControlCommand::Bus, ControlReply::ok(bus_record(protocol::kBusOff)));
  EXPECT_FALSE(wait_settings_saved(*adapter, deadline_after(5s), recorder()).ok());

  dev->set_in(ControlCommand::Bus, ControlReply::ok(Bytes(16, 0)));
  auto short_reply = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(short_reply.ok());
  EXPECT_EQ(short_reply.error().text(), "Communication error: invalid bus state length");
  EXPECT_TRUE(dev->requests(ControlCommand::SettingsStatus).empty()) << "no status is read when the bus check fails";
}

TEST_F(SettingsWait, TimeOutsFollowTheDeadline) {
  // Nothing is sent once the deadline has passed.
  auto expired = wait_settings_saved(*adapter, Clock::now() - 1ms, recorder());
  ASSERT_FALSE(expired.ok());
  EXPECT_TRUE(expired.error().is(DeviceError::Kind::Timeout));
  EXPECT_TRUE(dev->requests().empty());

  // Each request gets the time left, at most one second.
  statuses({2});
  ASSERT_TRUE(wait_settings_saved(*adapter, deadline_after(300ms), recorder()).ok());
  const auto bus_timeout = dev->requests(ControlCommand::Bus).back().timeout;
  const auto status_timeout = dev->requests(ControlCommand::SettingsStatus).back().timeout;
  EXPECT_GT(bus_timeout, 200ms);
  EXPECT_LE(bus_timeout, 300ms);
  EXPECT_GT(status_timeout, 200ms);
  EXPECT_LE(status_timeout, 300ms);

  statuses({2});
  ASSERT_TRUE(wait_settings_saved(*adapter, deadline_after(5s), recorder()).ok());
  EXPECT_EQ(dev->requests(ControlCommand::SettingsStatus).back().timeout, kControlTimeout);
}

TEST_F(SettingsWait, PendingForeverEndsAtTheDeadline) {
  dev->set_in(ControlCommand::SettingsStatus, ControlReply::ok(u32_bytes(1)));
  const TimePoint deadline = deadline_after(150ms);
  auto r = wait_settings_saved(*adapter, deadline);  // real pauses
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(DeviceError::Kind::Timeout));
  EXPECT_GE(Clock::now(), deadline) << "it does not give up before the deadline";
  EXPECT_GE(dev->requests(ControlCommand::SettingsStatus).size(), 2u);
}

}  // namespace
}  // namespace tavro
