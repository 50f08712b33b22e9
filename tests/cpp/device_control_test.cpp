// Vendor control transport: setup packets, time-out handling, error mapping, and the exact log lines.
#include <gtest/gtest.h>

#include "device/adapter.hpp"
#include "fake_usb.hpp"
#include "fake_adapter_fixture.hpp"
#include "log_capture.hpp"

namespace tavro {
namespace {

using fake::Bytes;
using fake::ControlReply;
using log::Level;
using log::Target;
using usb::TransferStatus;

class ControlTransport : public test::FakeAdapterTest {};

TEST_F(ControlTransport, InRequestSetupAndReply) {
  dev->reply_in(ControlCommand::GetDeviceInfo, ControlReply::ok(Bytes(30, 7)));
  auto r = adapter->control_in(ControlCommand::GetDeviceInfo, 0, 24);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 24u) << "a reply is cut to the requested length";

  auto reqs = dev->requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].raw_setup(), (Bytes{0xc1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00}));
  EXPECT_EQ(reqs[0].timeout, std::chrono::seconds(1));
}

TEST_F(ControlTransport, InShortAndEmptyRepliesAreReturnedAsIs) {
  dev->reply_in(ControlCommand::Mode, ControlReply::ok({5}));
  dev->reply_in(ControlCommand::Mode, ControlReply::ok({}));
  auto a = adapter->control_in(ControlCommand::Mode, 0, 4);
  auto b = adapter->control_in(ControlCommand::Mode, 0, 4);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(*a, Bytes{5});
  EXPECT_TRUE(b->empty());
}

TEST_F(ControlTransport, OutRequestSetupPayloadAndEmptyDataStage) {
  ASSERT_TRUE(adapter->control_out(ControlCommand::Identify, 1500, {}).ok());
  const Bytes payload{1, 0, 0, 0};
  ASSERT_TRUE(adapter->control_out(ControlCommand::Bus, 0, payload).ok());

  auto reqs = dev->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].raw_setup(), (Bytes{0x41, 61, 0xdc, 0x05, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(reqs[0].out_data.empty());
  EXPECT_EQ(reqs[1].raw_setup(), (Bytes{0x41, 21, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
  EXPECT_EQ(reqs[1].out_data, payload);
  EXPECT_EQ(reqs[1].timeout, std::chrono::seconds(1));
}

TEST_F(ControlTransport, CallerTimeoutIsPassedAndZeroTimeoutSendsNothing) {
  dev->set_in(ControlCommand::SettingsStatus, ControlReply::ok(fake::u32_bytes(2)));
  ASSERT_TRUE(adapter->control_in(ControlCommand::SettingsStatus, 0, 4, std::chrono::milliseconds(300)).ok());
  EXPECT_EQ(dev->requests().back().timeout, std::chrono::milliseconds(300));

  dev->clear_requests();
  logs().reset();
  auto r = adapter->control_in(ControlCommand::SettingsStatus, 0, 4, std::chrono::nanoseconds(0));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(DeviceError::Kind::Timeout));
  EXPECT_TRUE(dev->requests().empty());
  EXPECT_TRUE(logs().records().empty()) << "a refused zero time-out is not logged";
}

TEST_F(ControlTransport, TransferOutcomesMapToUsbErrorKinds) {
  const std::pair<TransferStatus, UsbErrorKind> cases[] = {
      {TransferStatus::Cancelled, UsbErrorKind::Timeout},   {TransferStatus::Stall, UsbErrorKind::Stall},
      {TransferStatus::Disconnected, UsbErrorKind::NoDevice}, {TransferStatus::Fault, UsbErrorKind::Other},
      {TransferStatus::InvalidArgument, UsbErrorKind::Other}, {TransferStatus::Unknown, UsbErrorKind::Other},
  };
  for (auto [status, kind] : cases) {
    dev->reply_in(ControlCommand::Channel, ControlReply::fail(status));
    dev->reply_out(ControlCommand::Channel, ControlReply::fail(status));
    auto in = adapter->control_in(ControlCommand::Channel, 0, 4);
    auto out = adapter->control_out(ControlCommand::Channel, 0, Bytes{0, 0, 0, 0});
    ASSERT_FALSE(in.ok());
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(in.error().is_usb(kind)) << usb::transfer_status_name(status);
    EXPECT_TRUE(out.error().is_usb(kind)) << usb::transfer_status_name(status);
  }
}

TEST_F(ControlTransport, DebugLinesForInAndOut) {
  dev->reply_in(ControlCommand::GetBtConst, ControlReply::ok(Bytes(48, 0)));
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
  dev->reply_in(ControlCommand::GetDeviceInfo, ControlReply::fail(TransferStatus::Stall));
  ASSERT_FALSE(adapter->control_in(ControlCommand::GetDeviceInfo, 0, 24).ok());
  EXPECT_EQ(logs().texts(Target::Device, Level::Error),
            std::vector<std::string>{
                "[crates/tavro-usb/src/device:694] Control IN FAILED: Stall; serial=tav.io:CANH0001; "
                "command=GetDeviceInfo bmRequestType=0xc1 (vendor/interface) bRequest=0x00 (0) wValue=0x0000 "
                "wIndex=0x0000 wLength=24 timeout-ms=1000 setup=[c1, 00, 00, 00, 00, 00, 18, 00] "
                "IN-data=unavailable (transfer failed)"});
}

TEST_F(ControlTransport, OutFailureDumpShowsPayloadAndUnknownCode) {
  dev->reply_out(ControlCommand::LedMode, ControlReply::fail(TransferStatus::Unknown, -99));
  ASSERT_FALSE(adapter->control_out(ControlCommand::LedMode, 0, Bytes{0xab, 0x01, 0x00, 0xff}).ok());
  EXPECT_EQ(logs().texts(Target::Device, Level::Error),
            std::vector<std::string>{
                "[crates/tavro-usb/src/device:652] Control OUT FAILED: Unknown(-99); serial=tav.io:CANH0001; "
                "command=LedMode bmRequestType=0x41 (vendor/interface) bRequest=0x18 (24) wValue=0x0000 "
                "wIndex=0x0000 wLength=4 timeout-ms=1000 setup=[41, 18, 00, 00, 00, 00, 04, 00] "
                "OUT-data=[ab, 01, 00, ff] omitted-bytes=0"});
}

TEST_F(ControlTransport, LogLevelsGateTheLines) {
  // Error only: the failure line is written, the request lines are not.
  logs().set_max_level(Level::Error);
  dev->reply_out(ControlCommand::ResetCan, ControlReply::fail(TransferStatus::Disconnected));
  ASSERT_FALSE(adapter->control_out(ControlCommand::ResetCan, 0, {}).ok());
  auto recs = logs().records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].level, Level::Error);
  EXPECT_EQ(recs[0].target, Target::Device);
  EXPECT_NE(recs[0].text.find("Control OUT FAILED: Disconnected; "), std::string::npos);
  EXPECT_NE(recs[0].text.find("OUT-data=[] omitted-bytes=0"), std::string::npos);

  // Nothing enabled: nothing written, the error is still returned.
  logs().reset();
  logs().disable_all();
  dev->reply_in(ControlCommand::Bus, ControlReply::fail(TransferStatus::Cancelled));
  auto r = adapter->control_in(ControlCommand::Bus, 0, 20);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "USB error: timed out");
  EXPECT_TRUE(logs().records().empty());
}

TEST_F(ControlTransport, AdapterReleasesEndpointInterfaceDeviceInOrder) {
  adapter.reset();
  auto ev = dev->events();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_EQ((std::vector<std::string>(ev.end() - 3, ev.end())),
            (std::vector<std::string>{"close_out 0x02", "release", "close"}));
}

}  // namespace
}  // namespace tavro
