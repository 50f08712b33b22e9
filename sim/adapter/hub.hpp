// The simulated adapters plugged into this process's host, all wired to one simulated CAN bus. Both front-ends
// reach the adapters through it: the in-process USB seam (sim/backend) and the USB/IP server (sim/usbip).
//
//   hub = SimHub(bus_factory)
//   a = hub.plug(profile)          # a new adapter: the next id and USB address; listed after those plugged before
//   hub.adapters()                 # the plugged ones, in plug order
//   hub.unplug(a.id())             # every pending and later transfer ends Disconnected
//   hub.reset()                    # unplug all, clear their faults, fresh bus: isolation between tests
#pragma once

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
  SimHub(const SimHub&) = delete;
  SimHub& operator=(const SimHub&) = delete;

  std::shared_ptr<SimAdapter> plug(FirmwareProfile profile);
  // False when no plugged adapter has this id.
  bool unplug(uint64_t adapter_id);
  // The plugged adapters in plug order.
  std::vector<std::shared_ptr<SimAdapter>> adapters() const;
  std::shared_ptr<SimAdapter> find(uint64_t adapter_id) const;
  std::shared_ptr<SimBus> bus() const;
  // Unplugs every adapter (clearing its fault rules) and replaces the bus with a fresh one.
  void reset();

 private:
  BusFactory bus_factory_;
  mutable std::mutex mu_;
  std::shared_ptr<SimBus> bus_;                         // guarded by mu_
  std::vector<std::shared_ptr<SimAdapter>> adapters_;  // guarded by mu_
  uint64_t next_id_ = 1;                               // guarded by mu_
  uint8_t next_address_ = 1;                           // guarded by mu_
};

}  // namespace tavro::sim
