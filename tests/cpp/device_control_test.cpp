// Vendor control transport: setup packets, time-out handling, error mapping, and the exact log lines.
#include <gtest/gtest.h>

#include "device/adapter.hpp"
#include "device/usb_errors.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using log::Level;
using log::Target;
using test::Action;
using test::Bytes;
using usb::TransferStatus;

class ControlTransport : public test::SimAdapterTest {};

// The 8 setup bytes of a recorded request as they go on the wire.
Bytes raw_setup(const sim::ControlRecord& r) {
  const usb::ControlSetup& s = r.setup;
  return {s.request_type,        s.request,         uint8_t(s.value),      uint8_t(s.value >> 8), uint8_t(s.index),
          uint8_t(s.index >> 8), uint8_t(s.length), uint8_t(s.length >> 8)};
}

TEST_F(ControlTransport, InRequestSetupAndReply) {
  auto r = adapter->control_in(ControlCommand::GetDeviceInfo, 0, 24);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 24u);

  auto reqs = requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(raw_setup(reqs[0]), (Bytes{0xc1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00}));
  EXPECT_EQ(reqs[0].timeout, std::chrono::seconds(1));
}

TEST_F(ControlTransport, InShortAndEmptyRepliesAreReturnedAsIs) {
  reply_in(ControlCommand::Mode, {5});
  reply_in(ControlCommand::Mode, {});
  auto a = adapter->control_in(ControlCommand::Mode, 0, 4);
  auto b = adapter->control_in(ControlCommand::Mode, 0, 4);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(*a, Bytes{5});
  EXPECT_TRUE(b->empty());
}

TEST_F(ControlTransport, OutRequestSetupPayloadAndEmptyDataStage) {
  ASSERT_TRUE(adapter->control_out(ControlCommand::Identify, 1500, {}).ok());
  const Bytes payload{0, 0, 0, 0};
  ASSERT_TRUE(adapter->control_out(ControlCommand::Bus, 0, payload).ok());

  auto reqs = requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(raw_setup(reqs[0]), (Bytes{0x41, 61, 0xdc, 0x05, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(reqs[0].data.empty());
  EXPECT_EQ(raw_setup(reqs[1]), (Bytes{0x41, 21, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
  EXPECT_EQ(reqs[1].data, payload);
  EXPECT_EQ(reqs[1].timeout, std::chrono::seconds(1));
}

TEST_F(ControlTransport, CallerTimeoutIsPassedAndZeroTimeoutSendsNothing) {
  ASSERT_TRUE(adapter->control_in(ControlCommand::SettingsStatus, 0, 4, std::chrono::milliseconds(300)).ok());
  EXPECT_EQ(requests().back().timeout, std::chrono::milliseconds(300));

  dev->clear_records();
  logs().reset();
  auto r = adapter->control_in(ControlCommand::SettingsStatus, 0, 4, std::chrono::nanoseconds(0));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(DeviceError::Kind::Timeout));
  EXPECT_TRUE(requests().empty());
  EXPECT_TRUE(logs().records().empty()) << "a refused zero time-out is not logged";
}

TEST_F(ControlTransport, TransferOutcomesMapToUsbErrorKinds) {
  const std::pair<TransferStatus, UsbErrorKind> kinds[] = {
      {TransferStatus::Cancelled, UsbErrorKind::Timeout},     {TransferStatus::Stall, UsbErrorKind::Stall},
      {TransferStatus::Disconnected, UsbErrorKind::NoDevice}, {TransferStatus::Fault, UsbErrorKind::Other},
      {TransferStatus::InvalidArgument, UsbErrorKind::Other}, {TransferStatus::Unknown, UsbErrorKind::Other},
  };
  for (auto [status, kind] : kinds) EXPECT_EQ(usb_error_kind(status), kind) << usb::transfer_status_name(status);

  // Both directions of the transport classify what the adapter did that way (an unplug last: it is for good).
  const std::pair<Action, UsbErrorKind> cases[] = {
      {Action::Expire, UsbErrorKind::Timeout},      {Action::Stall, UsbErrorKind::Stall},
      {Action::Fault, UsbErrorKind::Other},         {Action::OsError, UsbErrorKind::Other},
      {Action::Disconnect, UsbErrorKind::NoDevice},
  };
  for (auto [action, kind] : cases) {
    fail(ControlCommand::Channel, true, action);
    fail(ControlCommand::Channel, false, action);
    auto in = adapter->control_in(ControlCommand::Channel, 0, 4);
    auto out = adapter->control_out(ControlCommand::Channel, 0, Bytes{0, 0, 0, 0});
    ASSERT_FALSE(in.ok());
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(in.error().is_usb(kind)) << int(action);
    EXPECT_TRUE(out.error().is_usb(kind)) << int(action);
  }
}

TEST_F(ControlTransport, DebugLinesForInAndOut) {
  dev->add_fault(test::control_fault(ControlCommand::CanBittiming, false, Action::Reply));  // taken as it is
  ASSERT_TRUE(adapter->control_in(ControlCommand::GetBtConst, 0, 48).ok());
  ASSERT_TRUE(adapter->control_out(ControlCommand::CanBittiming, 0x1234, Bytes(32, 0)).ok());

  EXPECT_EQ(logs().texts(Target::Device, Level::Debug),
            (std::vector<std::string>{
                "[crates/tavro-usb/src/device:671] Control IN: bRequest=2 (GetBtConst), wValue=0x0000, wIndex=0, "
                "len=48",
                "[crates/tavro-usb/src/device:700] Control IN received 48 bytes",
                "[crates/tavro-usb/src/device:632] Control OUT: bRequest=20 (CanBittiming), wValue=0x1234, "
                "wIndex=0, len=32",
            }));
}

TEST_F(ControlTransport, InFailureDump) {
  fail(ControlCommand::GetDeviceInfo, true, Action::Stall);
  ASSERT_FALSE(adapter->control_in(ControlCommand::GetDeviceInfo, 0, 24).ok());
  EXPECT_EQ(logs().texts(Target::Device, Level::Error),
            std::vector<std::string>{
                "[crates/tavro-usb/src/device:694] Control IN FAILED: Stall; serial=" + *profile.serial +
                "; command=GetDeviceInfo bmRequestType=0xc1 (vendor/interface) bRequest=0x00 (0) wValue=0x0000 "
                "wIndex=0x0000 wLength=24 timeout-ms=1000 setup=[c1, 00, 00, 00, 00, 00, 18, 00] "
                "IN-data=unavailable (transfer failed)"});
}

TEST_F(ControlTransport, OutFailureDumpShowsPayloadAndUnknownCode) {
  sim::FaultRule r = test::control_fault(ControlCommand::LedMode, false, Action::OsError);
  r.os_code = -99;
  dev->add_fault(r);
  ASSERT_FALSE(adapter->control_out(ControlCommand::LedMode, 0, Bytes{0xab, 0x01, 0x00, 0xff}).ok());
  EXPECT_EQ(logs().texts(Target::Device, Level::Error),
            std::vector<std::string>{
                "[crates/tavro-usb/src/device:652] Control OUT FAILED: Unknown(-99); serial=" + *profile.serial +
                "; command=LedMode bmRequestType=0x41 (vendor/interface) bRequest=0x18 (24) wValue=0x0000 "
                "wIndex=0x0000 wLength=4 timeout-ms=1000 setup=[41, 18, 00, 00, 00, 00, 04, 00] "
                "OUT-data=[ab, 01, 00, ff] omitted-bytes=0"});
}

TEST_F(ControlTransport, LogLevelsGateTheLines) {
  // Error only: the failure line is written, the request lines are not.
  logs().set_max_level(Level::Error);
  fail(ControlCommand::ResetCan, false, Action::Disconnect);
  ASSERT_FALSE(adapter->control_out(ControlCommand::ResetCan, 0, {}).ok());
  auto recs = logs().records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].level, Level::Error);
  EXPECT_EQ(recs[0].target, Target::Device);
  EXPECT_NE(recs[0].text.find("Control OUT FAILED: Disconnected; "), std::string::npos);
  EXPECT_NE(recs[0].text.find("OUT-data=[] omitted-bytes=0"), std::string::npos);

  // Nothing enabled: nothing written, the error is still returned.
  plug();
  logs().reset();
  logs().disable_all();
  fail(ControlCommand::Bus, true, Action::Expire);
  auto r = adapter->control_in(ControlCommand::Bus, 0, 20);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "USB error: timed out");
  EXPECT_TRUE(logs().records().empty());
}

TEST_F(ControlTransport, DroppingTheAdapterReleasesItWhole) {
  // Endpoint, interface and device go in that order: the seam's pipes hold their interface, which holds its
  // device. Released whole, the adapter opens again.
  adapter.reset();
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpBulkOut));
  EXPECT_NE(rig.open(*dev), nullptr);
}

}  // namespace
}  // namespace tavro
