// The simulated adapters plugged into this process's host, each wired to one of the hub's simulated CAN buses (bus 0
// unless asked otherwise). Both front-ends reach the adapters through it: the in-process USB seam (sim/backend) and
// the USB/IP server (sim/usbip).
//
//   hub = SimHub(bus_factory)
//   a = hub.plug(profile)          # a new adapter: the next id and USB address; listed after those plugged before
//   b = hub.plug(profile, 3)       # on bus 3, which it shares with nobody on the other buses
//   hub.adapters()                 # the plugged ones, in plug order
//   hub.unplug(a.id())             # every pending and later transfer ends Disconnected
//   hub.reset()                    # unplug all, clear their faults, one fresh bus: isolation between tests
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/adapter.hpp"
#include "bus/bus.hpp"

namespace tavro::sim {

class SimHub {
 public:
  using BusFactory = std::function<std::shared_ptr<SimBus>()>;
  explicit SimHub(BusFactory bus_factory);
  ~SimHub();
  // Several independent buses let one process model several adapters each on a busy bus of its own.
  static constexpr size_t kMaxBuses = 16;
  SimHub(const SimHub&) = delete;
  SimHub& operator=(const SimHub&) = delete;

  // nullptr when bus_index >= kMaxBuses.
  std::shared_ptr<SimAdapter> plug(FirmwareProfile profile, size_t bus_index = 0);
  // False when no plugged adapter has this id.
  bool unplug(uint64_t adapter_id);
  // The plugged adapters in plug order.
  std::vector<std::shared_ptr<SimAdapter>> adapters() const;
  std::shared_ptr<SimAdapter> find(uint64_t adapter_id) const;
  // Bus `index`, made when first asked for; nullptr when index >= kMaxBuses.
  std::shared_ptr<SimBus> bus(size_t index = 0);
  // Unplugs every adapter (clearing its fault rules) and replaces the buses with one fresh bus.
  void reset();

 private:
  BusFactory bus_factory_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<SimBus>> buses_;         // guarded by mu_; [0] always, the others once asked for
  std::vector<std::shared_ptr<SimAdapter>> adapters_;  // guarded by mu_
  uint64_t next_id_ = 1;                               // guarded by mu_
  uint8_t next_address_ = 1;                           // guarded by mu_
};

}  // namespace tavro::sim
