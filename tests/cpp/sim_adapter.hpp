// Simulated adapters behind the USB seam for the tests of the layers above it: the same firmware model, faults as
// data and records of what reached the adapter that the Python suite drives through tavro_sim.
//
//   class T : public test::SimAdapterTest {};     // dev: one plugged adapter (unique serial), adapter: it, opened
//   dev->add_fault(test::in_data(bytes));          // the next queued receive transfer completes with these bytes
//   dev->add_fault(test::in_ends(Action::Stall));  // ... or ends so
//   requests(ControlCommand::Bus)                  // control requests that reached the adapter, oldest first
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/hub.hpp"
#include "backend/backend.hpp"
#include "datapath_test_util.hpp"
#include "device/adapter.hpp"
#include "device/discovery.hpp"
#include "log_capture.hpp"

namespace tavro::test {

using Bytes = std::vector<uint8_t>;
using Action = sim::FaultAction;
using Target = sim::FaultTarget;

inline sim::FaultRule fault(Target target, Action action, uint8_t endpoint = 0) {
  sim::FaultRule r;
  r.target = target;
  r.action = action;
  r.endpoint = endpoint;
  return r;
}
// The next queued bulk IN transfer of `endpoint` completes with `payload`.
inline sim::FaultRule in_data(Bytes payload, uint8_t endpoint = protocol::kEpRxIn) {
  sim::FaultRule r = fault(Target::BulkIn, Action::Reply, endpoint);
  r.payload = std::move(payload);
  return r;
}
// The next queued bulk IN transfer of `endpoint` ends as `action` makes it.
inline sim::FaultRule in_ends(Action action, uint8_t endpoint = protocol::kEpRxIn) {
  return fault(Target::BulkIn, action, endpoint);
}
// The next request `c` in the given direction is answered as `action` makes it (`payload` for Reply).
inline sim::FaultRule control_fault(ControlCommand c, bool in, Action action, Bytes payload = {}) {
  sim::FaultRule r = fault(Target::Control, action);
  r.request = uint8_t(c);
  r.direction = in ? sim::FaultDirection::In : sim::FaultDirection::Out;
  r.payload = std::move(payload);
  return r;
}

// A hub on a bus of its own, and the seam backend over it.
struct SimRig {
  std::shared_ptr<sim::SimBus> bus = sim::SimBus::create();
  sim::SimHub hub{[this] { return bus; }};
  sim::SimBackend backend{hub};

  // The standard profile with a serial no other test of the process uses (echo tables are per serial).
  static sim::FirmwareProfile profile() {
    sim::FirmwareProfile p;
    p.serial = unique_serial();
    return p;
  }
  // Opens a plugged adapter as the driver does; nullptr on failure.
  std::shared_ptr<UsbAdapter> open(sim::SimAdapter& a) {
    auto r = open_by_serial(backend, a.firmware().profile().serial);
    return r.ok() ? r.value() : nullptr;
  }
};

class SimAdapterTest : public LogCaptureTest {
 protected:
  void SetUp() override {
    LogCaptureTest::SetUp();
    plug();
  }
  // Replaces the adapter with a fresh one plugged with `profile` (under a new serial), opened.
  void plug() {
    if (dev) rig.hub.unplug(dev->id());
    adapter.reset();
    profile.serial = unique_serial();
    dev = rig.hub.plug(profile);
    adapter = rig.open(*dev);
    ASSERT_NE(adapter, nullptr);
    dev->clear_records();
    logs().clear();
  }
  // Writes a 32-bit register of the adapter, as a configuration step before the code under test runs.
  void write(ControlCommand c, uint32_t value) {
    uint8_t b[4];
    wire::put_u32(b, value);
    ASSERT_TRUE(adapter->control_out(c, 0, std::span<const uint8_t>(b, 4)).ok()) << unsigned(c);
  }

  // The next `count` requests `c` IN are answered with `payload` instead of the firmware's reply (-1: every one).
  void reply_in(ControlCommand c, Bytes payload, int64_t count = 1) {
    sim::FaultRule r = control_fault(c, true, Action::Reply, std::move(payload));
    r.count = count;
    dev->add_fault(std::move(r));
  }
  // The next request `c` in that direction ends as `action` makes it.
  void fail(ControlCommand c, bool in, Action action, int64_t count = 1) {
    sim::FaultRule r = control_fault(c, in, action);
    r.count = count;
    dev->add_fault(std::move(r));
  }

  std::vector<sim::ControlRecord> requests() const { return dev->control_records(); }
  std::vector<sim::ControlRecord> requests(ControlCommand c) const {
    std::vector<sim::ControlRecord> out;
    for (auto& r : dev->control_records())
      if (r.setup.request == uint8_t(c)) out.push_back(r);
    return out;
  }

  SimRig rig;
  sim::FirmwareProfile profile = SimRig::profile();  // what SetUp plugs; a derived fixture may change it first
  std::shared_ptr<sim::SimAdapter> dev;
  std::shared_ptr<UsbAdapter> adapter;
};

// An adapter ready for a transmission session: legacy echoes unless a test asks for explicit results, the bus on,
// and the wire held, so transmissions wait in the adapter until a test reports their results itself (report()).
class SimSessionTest : public SimAdapterTest {
 protected:
  SimSessionTest() {
    profile.firmware_version = {1, 4, 0, 12};
    profile.features_supported = 0;
  }
  void SetUp() override {
    SimAdapterTest::SetUp();
    bus_on();
  }
  // What a caller configures before attaching: the mode word, the result mode, then the bus on.
  void bus_on(uint32_t mode = 0, uint32_t result_mode = 0) {
    write(ControlCommand::Mode, mode);
    if (result_mode) write(ControlCommand::TxResultMode, result_mode);
    rig.bus->set_paused(true);
    write(ControlCommand::Bus, 1);
    dev->clear_records();
  }
  // A fresh adapter that reports explicit results (and takes cancellations), in that result mode.
  void use_explicit_results(bool cancel = true) {
    profile.features_supported = protocol::kFeatureTxResults | (cancel ? protocol::kFeatureCancel : 0);
    plug();
    bus_on(0, 1);
  }
  // The adapter's next transfer on the result endpoint carries these bytes.
  void report(Bytes bytes) { dev->add_fault(in_data(std::move(bytes), protocol::kEpTxResultIn)); }
  uint32_t generation() { return dev->firmware().state().generation; }
};

}  // namespace tavro::test
