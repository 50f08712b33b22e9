// Settings persistence at the device level: status decoding, the legacy stall, and the bounded wait for a save.
#include <gtest/gtest.h>

#include "device/settings.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using test::Bytes;
using test::u32;
using namespace std::chrono_literals;

Bytes bus_record(uint32_t state) { return test::cat({u32(state), Bytes(16, 0)}); }

class SettingsWait : public test::SimAdapterTest {
 protected:
  void statuses(std::initializer_list<uint32_t> values) {
    for (uint32_t v : values) reply_in(ControlCommand::SettingsStatus, u32(v));
  }
  // Records the pauses instead of sleeping.
  SettingsSleep recorder() {
    return [this](Duration d) -> Status {
      sleeps.push_back(d);
      return Ok{};
    };
  }

  std::vector<Duration> sleeps;
};

TEST(SettingsStatusDecode, NamesLengthAndRange) {
  const char* wire[] = {"idle", "pending", "saved", "unchanged", "invalid", "flash_error", "verify_error", "stuck"};
  const char* names[] = {"Idle", "Pending", "Saved", "Unchanged", "Invalid", "FlashError", "VerifyError", "Stuck"};
  for (uint32_t v = 0; v <= kSettingsStatusMax; ++v) {
    auto s = decode_settings_status(u32(v));
    ASSERT_TRUE(s.ok()) << v;
    EXPECT_STREQ(settings_status_wire_name(*s), wire[v]);
    EXPECT_STREQ(settings_status_name(*s), names[v]);
  }
  EXPECT_EQ(decode_settings_status(u32(8)).error().text(), "Communication error: unknown settings status 8");
  EXPECT_EQ(decode_settings_status(Bytes{2, 0, 0}).error().text(), "Communication error: expected 4 bytes, received 3");
  EXPECT_EQ(decode_settings_status(Bytes{2, 0, 0, 0, 0}).error().text(),
            "Communication error: expected 4 bytes, received 5");
}

TEST_F(SettingsWait, PollsEvery50msUntilSavedOrUnchanged) {
  statuses({1, 1, 2});
  auto r = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(*r, SettingsStatus::Saved);
  EXPECT_EQ(sleeps, (std::vector<Duration>{50ms, 50ms}));
  EXPECT_EQ(requests(ControlCommand::SettingsStatus).size(), 3u);
  EXPECT_EQ(requests(ControlCommand::Bus).size(), 1u) << "the bus is checked once, before polling";

  sleeps.clear();
  statuses({0, 3});
  auto unchanged = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_TRUE(unchanged.ok());
  EXPECT_EQ(*unchanged, SettingsStatus::Unchanged);
  EXPECT_EQ(sleeps.size(), 1u);
}

TEST_F(SettingsWait, FailureStatesAndLegacyFirmware) {
  for (uint32_t value : {4u, 5u, 6u, 7u, 9u}) {
    statuses({1, value});
    auto r = wait_settings_saved(*adapter, deadline_after(5s), recorder());
    ASSERT_FALSE(r.ok()) << value;
    if (value == 9) {
      EXPECT_EQ(r.error().text(), "Communication error: unknown settings status 9");
    } else {
      EXPECT_EQ(r.error().text(), std::string("Hardware error: settings persistence failed: ") +
                                      settings_status_name(static_cast<SettingsStatus>(value)));
    }
  }
  // Firmware without the status (it stalls the request): not a transport failure, nothing to wait for.
  profile = sim::FirmwareProfile::legacy();
  plug();
  auto legacy = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(legacy.ok());
  EXPECT_EQ(legacy.error().text(), "Not supported: settings persistence status unavailable on legacy firmware");
}

TEST_F(SettingsWait, RequiresAStoppedBusAndAWholeBusRecord) {
  reply_in(ControlCommand::Bus, bus_record(protocol::kBusErrorActive));
  auto running = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(running.ok());
  EXPECT_EQ(running.error().text(), "Invalid parameter: settings save requires STOPPED");
  // Bus-off (3) is not "stopped" either.
  reply_in(ControlCommand::Bus, bus_record(protocol::kBusOff));
  EXPECT_FALSE(wait_settings_saved(*adapter, deadline_after(5s), recorder()).ok());

  reply_in(ControlCommand::Bus, Bytes(16, 0));
  auto short_reply = wait_settings_saved(*adapter, deadline_after(5s), recorder());
  ASSERT_FALSE(short_reply.ok());
  EXPECT_EQ(short_reply.error().text(), "Communication error: invalid bus state length");
  EXPECT_TRUE(requests(ControlCommand::SettingsStatus).empty()) << "no status is read when the bus check fails";
}

TEST_F(SettingsWait, TimeOutsFollowTheDeadline) {
  // Nothing is sent once the deadline has passed.
  auto expired = wait_settings_saved(*adapter, Clock::now() - 1ms, recorder());
  ASSERT_FALSE(expired.ok());
  EXPECT_TRUE(expired.error().is(DeviceError::Kind::Timeout));
  EXPECT_TRUE(requests().empty());

  // Each request gets the time left, at most one second.
  statuses({2});
  ASSERT_TRUE(wait_settings_saved(*adapter, deadline_after(300ms), recorder()).ok());
  const auto bus_timeout = requests(ControlCommand::Bus).back().timeout;
  const auto status_timeout = requests(ControlCommand::SettingsStatus).back().timeout;
  EXPECT_GT(bus_timeout, 200ms);
  EXPECT_LE(bus_timeout, 300ms);
  EXPECT_GT(status_timeout, 200ms);
  EXPECT_LE(status_timeout, 300ms);

  statuses({2});
  ASSERT_TRUE(wait_settings_saved(*adapter, deadline_after(5s), recorder()).ok());
  EXPECT_EQ(requests(ControlCommand::SettingsStatus).back().timeout, kControlTimeout);
}

}  // namespace
}  // namespace tavro
