// Discovery and opening: model letters, serial validity, listing, selection by serial / by name, open failures.
#include <gtest/gtest.h>

#include "device/discovery.hpp"
#include "fake_usb.hpp"
#include "log_capture.hpp"
#include "platform/platform.hpp"

namespace tavro {
namespace {

using fake::Bytes;
using fake::ControlReply;
using log::Level;
using log::Target;

TEST(ModelSet, ParsesLettersFromTheEnvironmentValue) {
  EXPECT_EQ(ModelSet::parse(nullptr).letters(), "HIJ");
  EXPECT_EQ(ModelSet::parse("h,i").letters(), "HI");
  EXPECT_EQ(ModelSet::parse(" K ").letters(), "K");
  EXPECT_EQ(ModelSet::parse("123").letters(), "HIJ") << "no letter behaves as unset";
  EXPECT_EQ(ModelSet::parse("").letters(), "HIJ");
  EXPECT_EQ(ModelSet::parse("\xc3\xa9x").letters(), "X") << "non-ASCII characters are ignored";
  EXPECT_EQ(ModelSet::parse("k\xff").letters(), "HIJ") << "a value that is not UTF-8 behaves as unset";
}

TEST(ModelSet, ProcessSetIsReadOnce) {
  const std::string before = valid_models().letters();
  const auto saved = platform::environment("TAVRO_VALID_MODELS");
  ASSERT_TRUE(platform::set_environment("TAVRO_VALID_MODELS", before == "Q" ? "R" : "Q"));
  ASSERT_EQ(platform::environment("TAVRO_VALID_MODELS"), before == "Q" ? "R" : "Q");
  EXPECT_EQ(valid_models().letters(), before);
  platform::set_environment("TAVRO_VALID_MODELS", saved ? saved->c_str() : nullptr);
  EXPECT_EQ(platform::environment("TAVRO_VALID_MODELS"), saved);
}

TEST(SerialValidity, PrefixAndModelLetter) {
  const ModelSet def = ModelSet::defaults();
  EXPECT_TRUE(is_valid_serial("tav.io:CANH", def));
  EXPECT_TRUE(is_valid_serial("tav.io:CANJ00042", def));
  EXPECT_FALSE(is_valid_serial("tav.io:CAN", def)) << "the prefix alone has no model letter";
  EXPECT_FALSE(is_valid_serial("TAV.io:CANH0001", def)) << "the prefix is case-sensitive";
  EXPECT_FALSE(is_valid_serial("tav.io:canH0001", def));
  EXPECT_FALSE(is_valid_serial("xtav.io:CANH0001", def));
  EXPECT_FALSE(is_valid_serial("tav.io:CANh0001", def)) << "the model letter is compared as given";
  EXPECT_FALSE(is_valid_serial("tav.io:CANK1", def));
  EXPECT_TRUE(is_valid_serial("tav.io:CANK1", ModelSet::parse("k")));
  EXPECT_FALSE(is_valid_serial("tav.io:CAN\xc3\x89", ModelSet::parse("E"))) << "11th character is not a letter";
  EXPECT_FALSE(is_valid_serial("tav.io:CAN\xff", def));
}

// Letters of the process's model set, so that these tests hold whatever TAVRO_VALID_MODELS says.
std::string valid_serial(const std::string& tail) {
  return std::string(protocol::kSerialPrefix) + valid_models().letters()[0] + tail;
}
std::string invalid_serial(const std::string& tail) {
  char letter = 'A';
  while (valid_models().contains(letter)) ++letter;
  return std::string(protocol::kSerialPrefix) + letter + tail;
}

class Discovery : public test::LogCaptureTest {
 protected:
  fake::FakeBackend backend;
};

TEST_F(Discovery, ListDevicesKeepsValidAdaptersInOrderAndTracesTheOthers) {
  auto a = backend.add(valid_serial("001"));
  auto other = backend.add(valid_serial("999"));
  other->vendor_id = 0x1234;  // not a TAVRO id: skipped silently
  auto no_serial = backend.add(std::nullopt);
  no_serial->bus_id = "3-1";
  no_serial->address = 17;
  auto bad = backend.add(invalid_serial("002"));
  bad->bus_id = "3-2";
  bad->address = 18;
  auto b = backend.add(valid_serial("000"));

  auto r = list_devices(backend);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (std::vector<std::string>{valid_serial("001"), valid_serial("000")}));
  EXPECT_EQ(logs().texts(Target::Device, Level::Trace),
            (std::vector<std::string>{"enumerate: skipping non-TAVRO device VID:16c0 PID:27d8 bus:3-1 addr:17",
                                      "enumerate: skipping non-TAVRO device VID:16c0 PID:27d8 bus:3-2 addr:18"}));
  for (auto& d : {a, other, no_serial, bad, b}) EXPECT_FALSE(d->is_open()) << "listing opens nothing";
}

TEST_F(Discovery, EnumerationFailureIsUsbOther) {
  backend.enumerate_error = usb::HostError{usb::TransferStatus::Fault, -1, "boom"};
  EXPECT_EQ(list_devices(backend).error().text(), "USB error: transport error");
  EXPECT_EQ(open_by_serial(backend, std::nullopt).error().text(), "USB error: transport error");
  EXPECT_EQ(open_by_name(backend, "x").error().text(), "USB error: transport error");
}

TEST_F(Discovery, WithoutSerialNoneOneOrSeveral) {
  backend.add(invalid_serial("1"));
  EXPECT_TRUE(open_by_serial(backend, std::nullopt).error().is(DeviceError::Kind::DeviceNotFound));

  auto only = backend.add(valid_serial("A"));
  logs().reset();
  auto opened = open_by_serial(backend, std::nullopt);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  EXPECT_EQ((*opened)->serial(), valid_serial("A"));
  EXPECT_TRUE(only->is_open());
  EXPECT_EQ(logs().texts(Target::Device, Level::Debug),
            std::vector<std::string>{"Opened TAVRO device: VID=16c0 PID=27d8"});
  opened = DeviceError::not_open();  // closes it
  EXPECT_FALSE(only->is_open());

  backend.add(valid_serial("B"));
  auto multi = open_by_serial(backend, std::nullopt);
  ASSERT_FALSE(multi.ok());
  EXPECT_EQ(multi.error().candidates(), (std::vector<std::string>{valid_serial("A"), valid_serial("B")}));
  EXPECT_FALSE(only->is_open());
}

TEST_F(Discovery, ExplicitSerialIsTakenAsGiven) {
  auto weird = backend.add("not-a-tavro-serial");
  auto foreign = backend.add("foreign");
  foreign->product_id = 0x0001;
  backend.add(valid_serial("1"));
  backend.add(valid_serial("2"));

  auto r = open_by_serial(backend, std::string("not-a-tavro-serial"));
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ((*r)->serial(), "not-a-tavro-serial");
  EXPECT_TRUE(weird->is_open());

  EXPECT_TRUE(open_by_serial(backend, std::string("foreign")).error().is(DeviceError::Kind::DeviceNotFound));
  EXPECT_TRUE(open_by_serial(backend, std::string("not-a-tavro")).error().is(DeviceError::Kind::DeviceNotFound))
      << "the serial must match exactly, not by prefix";
  auto second = open_by_serial(backend, valid_serial("2"));
  ASSERT_TRUE(second.ok()) << "an explicit serial picks one of several adapters";
}

TEST_F(Discovery, OpenFailuresAreDeviceInUseWithTheCauseAtDebug) {
  auto a = backend.add(valid_serial("X"));
  const auto dev = fake::FakeBackend::describe(a);
  const std::string s = valid_serial("X");

  a->open_error = usb::HostError{usb::TransferStatus::Fault, -3, "LIBUSB_ERROR_ACCESS"};
  EXPECT_EQ(open_adapter(backend, dev, s).error().text(), "Device is in use");
  a->open_error.reset();

  a->claim_error = usb::HostError{usb::TransferStatus::Fault, -6, "LIBUSB_ERROR_BUSY"};
  EXPECT_TRUE(open_adapter(backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  EXPECT_FALSE(a->is_open()) << "the device is released after a failed claim";
  a->claim_error.reset();

  a->bulk_out_error = usb::HostError{usb::TransferStatus::Fault, -6, "endpoint busy"};
  EXPECT_TRUE(open_adapter(backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  a->bulk_out_error.reset();

  a->endpoints = {{protocol::kEpBulkOut, usb::EndpointType::Interrupt, 64}};
  EXPECT_TRUE(open_adapter(backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  a->endpoints = {{protocol::kEpRxIn, usb::EndpointType::Bulk, 64}};
  EXPECT_TRUE(open_adapter(backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  EXPECT_FALSE(a->is_open());

  EXPECT_EQ(logs().texts(Target::Device, Level::Debug),
            (std::vector<std::string>{
                "Device " + s + " could not be opened (in use): LIBUSB_ERROR_ACCESS",
                "Device " + s + ", found but interface claim failed (in use): LIBUSB_ERROR_BUSY",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint busy",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint 0x02 is not a bulk endpoint",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint 0x02 is not described by interface 0",
            }));
  // Release order after a failed endpoint open: interface, then device.
  auto ev = a->events();
  EXPECT_EQ((std::vector<std::string>(ev.end() - 3, ev.end())),
            (std::vector<std::string>{"claim", "release", "close"}));
}

TEST_F(Discovery, AdapterHeldElsewhereIsInUse) {
  auto a = backend.add(valid_serial("X"));
  auto first = open_by_serial(backend, std::nullopt);
  ASSERT_TRUE(first.ok());
  auto second = open_by_serial(backend, std::nullopt);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().text(), "Device is in use");
}

Bytes name_reply(const std::string& name) {
  Bytes b(16, 0);
  std::copy(name.begin(), name.end(), b.begin());
  return b;
}

TEST_F(Discovery, ByNameSkipsUnusableAdaptersAndClosesNonMatching) {
  auto empty = backend.add(valid_serial("1"));
  empty->set_in(ControlCommand::DeviceName, ControlReply::ok(Bytes(16, 0)));
  auto illegal = backend.add(valid_serial("2"));
  illegal->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("bench 1")));
  auto not_utf8 = backend.add(valid_serial("3"));
  not_utf8->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("bench\xff")));
  auto stalls = backend.add(valid_serial("4"));  // no DeviceName reply scripted: the request stalls
  auto busy = backend.add(valid_serial("5"));
  busy->open_error = usb::HostError{usb::TransferStatus::Fault, -3, "held by another process"};
  auto other = backend.add(valid_serial("6"));
  other->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("Bench")));
  auto invalid = backend.add(invalid_serial("7"));
  invalid->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("bench")));
  auto match = backend.add(valid_serial("8"));
  match->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("bench")));

  auto r = open_by_name(backend, "bench");
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ((*r)->serial(), valid_serial("8"));
  EXPECT_TRUE(match->is_open());
  for (auto& d : {empty, illegal, not_utf8, stalls, busy, other, invalid}) EXPECT_FALSE(d->is_open());
  EXPECT_TRUE(invalid->requests().empty()) << "adapters without a valid serial are not asked";
  auto reqs = other->requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].raw_setup(), (Bytes{0xc1, 25, 0, 0, 0, 0, 16, 0}));
  EXPECT_EQ(logs().texts(Target::Device, Level::Debug).back(), "Opened TAVRO device: VID=16c0 PID=27d8");
}

TEST_F(Discovery, ByNameNoMatchOrTwoMatches) {
  auto a = backend.add(valid_serial("1"));
  a->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("rig")));
  EXPECT_TRUE(open_by_name(backend, "other").error().is(DeviceError::Kind::DeviceNotFound));
  EXPECT_FALSE(a->is_open());

  auto b = backend.add(valid_serial("2"));
  b->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("rig")));
  auto c = backend.add(valid_serial("3"));
  c->set_in(ControlCommand::DeviceName, ControlReply::ok(name_reply("rig")));
  auto r = open_by_name(backend, "rig");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().candidates(), (std::vector<std::string>{valid_serial("1"), valid_serial("2")}));
  EXPECT_FALSE(a->is_open());
  EXPECT_FALSE(b->is_open());
  EXPECT_TRUE(c->requests().empty()) << "scanning stops at the second match";
}

}  // namespace
}  // namespace tavro
