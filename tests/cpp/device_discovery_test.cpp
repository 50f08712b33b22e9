// Discovery and opening: model letters, serial validity, listing, selection by serial / by name, open failures.
#include <gtest/gtest.h>

#include "device/discovery.hpp"
#include "platform/platform.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using log::Level;
using log::Target;
using test::Action;
using test::Bytes;

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
  std::shared_ptr<sim::SimAdapter> add(std::optional<std::string> serial) {
    sim::FirmwareProfile p;
    p.serial = std::move(serial);
    return rig.hub.plug(std::move(p));
  }
  // An adapter whose stored name is `name` (zero padded).
  std::shared_ptr<sim::SimAdapter> add_named(const std::string& serial, const std::string& name) {
    sim::FirmwareProfile p;
    p.serial = serial;
    std::copy(name.begin(), name.end(), p.device_name.begin());
    return rig.hub.plug(std::move(p));
  }
  static bool is_open(sim::SimAdapter& a) {
    std::lock_guard l(a.mu_);
    return a.open_;
  }
  static sim::FaultRule host_fault(sim::FaultTarget target, std::string text, uint8_t endpoint = 0) {
    sim::FaultRule r = test::fault(target, Action::Fault, endpoint);
    r.text = std::move(text);
    return r;
  }
  static std::vector<sim::ControlRecord> requests(sim::SimAdapter& a) { return a.control_records(); }
  usb::EnumeratedDevice listed(sim::SimAdapter& a) {
    auto found = rig.backend.enumerate();  // kept: a range over a member of the temporary would outlive it
    for (auto& d : *found.value)
      if (d.token.get() == &a) return d;
    return {};
  }

  test::SimRig rig;
};

TEST_F(Discovery, ListDevicesKeepsValidAdaptersInOrderAndTracesTheOthers) {
  auto a = add(valid_serial("001"));
  sim::FirmwareProfile foreign;
  foreign.serial = valid_serial("999");
  foreign.vendor_id = 0x1234;  // not a TAVRO id: skipped silently
  auto other = rig.hub.plug(foreign);
  auto no_serial = add(std::nullopt);
  auto bad = add(invalid_serial("002"));
  auto b = add(valid_serial("000"));

  auto r = list_devices(rig.backend);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (std::vector<std::string>{valid_serial("001"), valid_serial("000")}));
  EXPECT_EQ(logs().texts(Target::Device, Level::Trace),
            (std::vector<std::string>{"enumerate: skipping non-TAVRO device VID:16c0 PID:27d8 bus:sim addr:3",
                                      "enumerate: skipping non-TAVRO device VID:16c0 PID:27d8 bus:sim addr:4"}));
  for (auto& d : {a, other, no_serial, bad, b}) EXPECT_FALSE(is_open(*d)) << "listing opens nothing";
}

TEST_F(Discovery, EnumerationFailureIsUsbOther) {
  sim::FaultRule boom = host_fault(sim::FaultTarget::Enumerate, "boom");
  boom.count = 3;
  rig.backend.faults().add(boom);
  EXPECT_EQ(list_devices(rig.backend).error().text(), "USB error: transport error");
  EXPECT_EQ(open_by_serial(rig.backend, std::nullopt).error().text(), "USB error: transport error");
  EXPECT_EQ(open_by_name(rig.backend, "x").error().text(), "USB error: transport error");
}

TEST_F(Discovery, WithoutSerialNoneOneOrSeveral) {
  add(invalid_serial("1"));
  EXPECT_TRUE(open_by_serial(rig.backend, std::nullopt).error().is(DeviceError::Kind::DeviceNotFound));

  auto only = add(valid_serial("A"));
  logs().reset();
  auto opened = open_by_serial(rig.backend, std::nullopt);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  EXPECT_EQ((*opened)->serial(), valid_serial("A"));
  EXPECT_TRUE(is_open(*only));
  EXPECT_EQ(logs().texts(Target::Device, Level::Debug),
            std::vector<std::string>{"Opened TAVRO device: VID=16c0 PID=27d8"});
  opened = DeviceError::not_open();  // closes it
  EXPECT_FALSE(is_open(*only));

  add(valid_serial("B"));
  auto multi = open_by_serial(rig.backend, std::nullopt);
  ASSERT_FALSE(multi.ok());
  EXPECT_EQ(multi.error().candidates(), (std::vector<std::string>{valid_serial("A"), valid_serial("B")}));
  EXPECT_FALSE(is_open(*only));
}

TEST_F(Discovery, ExplicitSerialIsTakenAsGiven) {
  auto weird = add("not-a-tavro-serial");
  sim::FirmwareProfile foreign;
  foreign.serial = "foreign";
  foreign.product_id = 0x0001;
  rig.hub.plug(foreign);
  add(valid_serial("1"));
  add(valid_serial("2"));

  auto r = open_by_serial(rig.backend, std::string("not-a-tavro-serial"));
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ((*r)->serial(), "not-a-tavro-serial");
  EXPECT_TRUE(is_open(*weird));

  EXPECT_TRUE(open_by_serial(rig.backend, std::string("foreign")).error().is(DeviceError::Kind::DeviceNotFound));
  EXPECT_TRUE(open_by_serial(rig.backend, std::string("not-a-tavro")).error().is(DeviceError::Kind::DeviceNotFound))
      << "the serial must match exactly, not by prefix";
  auto second = open_by_serial(rig.backend, valid_serial("2"));
  ASSERT_TRUE(second.ok()) << "an explicit serial picks one of several adapters";
}

TEST_F(Discovery, OpenFailuresAreDeviceInUseWithTheCauseAtDebug) {
  auto a = add(valid_serial("X"));
  const auto dev = listed(*a);
  const std::string s = valid_serial("X");

  a->add_fault(host_fault(sim::FaultTarget::Open, "LIBUSB_ERROR_ACCESS"));
  EXPECT_EQ(open_adapter(rig.backend, dev, s).error().text(), "Device is in use");

  a->add_fault(host_fault(sim::FaultTarget::Claim, "LIBUSB_ERROR_BUSY"));
  EXPECT_TRUE(open_adapter(rig.backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  EXPECT_FALSE(is_open(*a)) << "the device is released after a failed claim";

  a->add_fault(host_fault(sim::FaultTarget::EndpointOpen, "endpoint busy", protocol::kEpBulkOut));
  EXPECT_TRUE(open_adapter(rig.backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));

  sim::FirmwareProfile broken = a->firmware().profile();
  broken.endpoints = {{protocol::kEpBulkOut, 3}};
  a->firmware().set_profile(broken);
  EXPECT_TRUE(open_adapter(rig.backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  broken.endpoints = {{protocol::kEpRxIn, 2}};
  a->firmware().set_profile(broken);
  EXPECT_TRUE(open_adapter(rig.backend, dev, s).error().is(DeviceError::Kind::DeviceInUse));
  EXPECT_FALSE(is_open(*a)) << "released after a failed endpoint open: interface, then device";

  EXPECT_EQ(logs().texts(Target::Device, Level::Debug),
            (std::vector<std::string>{
                "Device " + s + " could not be opened (in use): LIBUSB_ERROR_ACCESS",
                "Device " + s + ", found but interface claim failed (in use): LIBUSB_ERROR_BUSY",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint busy",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint 0x02 is not a bulk endpoint",
                "Device " + s + " bulk OUT endpoint unavailable: endpoint 0x02 is not described by interface 0",
            }));
  broken.endpoints = sim::FirmwareProfile{}.endpoints;
  a->firmware().set_profile(broken);
  EXPECT_NE(rig.open(*a), nullptr) << "and nothing of it is left claimed";
}

TEST_F(Discovery, AdapterHeldElsewhereIsInUse) {
  add(valid_serial("X"));
  auto first = open_by_serial(rig.backend, std::nullopt);
  ASSERT_TRUE(first.ok());
  auto second = open_by_serial(rig.backend, std::nullopt);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().text(), "Device is in use");
}

TEST_F(Discovery, ByNameSkipsUnusableAdaptersAndClosesNonMatching) {
  auto empty = add_named(valid_serial("1"), "");
  auto illegal = add_named(valid_serial("2"), "bench 1");
  auto not_utf8 = add_named(valid_serial("3"), "bench\xff");
  auto stalls = add_named(valid_serial("4"), "bench");
  stalls->add_fault(test::control_fault(ControlCommand::DeviceName, true, Action::Stall));
  auto busy = add_named(valid_serial("5"), "bench");
  busy->add_fault(host_fault(sim::FaultTarget::Open, "held by another process"));
  auto other = add_named(valid_serial("6"), "Bench");
  auto invalid = add_named(invalid_serial("7"), "bench");
  auto match = add_named(valid_serial("8"), "bench");

  auto r = open_by_name(rig.backend, "bench");
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ((*r)->serial(), valid_serial("8"));
  EXPECT_TRUE(is_open(*match));
  for (auto& d : {empty, illegal, not_utf8, stalls, busy, other, invalid}) EXPECT_FALSE(is_open(*d));
  EXPECT_TRUE(requests(*invalid).empty()) << "adapters without a valid serial are not asked";
  auto reqs = requests(*other);
  ASSERT_EQ(reqs.size(), 1u);
  const usb::ControlSetup& q = reqs[0].setup;
  EXPECT_EQ(std::make_tuple(q.request_type, q.request, q.value, q.index, q.length),
            std::make_tuple(uint8_t(0xc1), uint8_t(25), uint16_t(0), uint16_t(0), uint16_t(16)));
  EXPECT_EQ(logs().texts(Target::Device, Level::Debug).back(), "Opened TAVRO device: VID=16c0 PID=27d8");
}

TEST_F(Discovery, ByNameNoMatchOrTwoMatches) {
  auto a = add_named(valid_serial("1"), "rig");
  EXPECT_TRUE(open_by_name(rig.backend, "other").error().is(DeviceError::Kind::DeviceNotFound));
  EXPECT_FALSE(is_open(*a));

  auto b = add_named(valid_serial("2"), "rig");
  auto c = add_named(valid_serial("3"), "rig");
  auto r = open_by_name(rig.backend, "rig");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().candidates(), (std::vector<std::string>{valid_serial("1"), valid_serial("2")}));
  EXPECT_FALSE(is_open(*a));
  EXPECT_FALSE(is_open(*b));
  EXPECT_TRUE(requests(*c).empty()) << "scanning stops at the second match";
}

}  // namespace
}  // namespace tavro
