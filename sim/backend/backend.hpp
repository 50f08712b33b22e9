// The simulator's backend of the USB seam: the plugged simulated adapters, all wired to one simulated CAN bus,
// reached through the same Backend/Device/Interface/pipe interface as real adapters.
//
//   backend = SimBackend(bus_factory)
//   a = backend.plug(profile)          # enumerated after the adapters plugged before it
//   backend.enumerate() / open(...)    # as usb::Backend; a second open of one adapter fails (held elsewhere)
//   backend.unplug(a.id())             # every pending and later transfer ends Disconnected
//   backend.reset()                    # unplug all, clear faults, fresh bus: isolation between tests
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "backend/adapter.hpp"
#include "backend/faults.hpp"
#include "bus/bus.hpp"
#include "usb/host.hpp"

namespace tavro::sim {

class SimBackend final : public usb::Backend {
 public:
  using BusFactory = std::function<std::shared_ptr<SimBus>()>;
  explicit SimBackend(BusFactory bus_factory);
  ~SimBackend() override;

  const char* name() const noexcept override { return "simulator"; }
  usb::HostResult<std::vector<usb::EnumeratedDevice>> enumerate() override;
  usb::HostResult<std::shared_ptr<usb::Device>> open(const usb::EnumeratedDevice& device) override;

  // Plugs a new adapter with this profile; it enumerates after every adapter plugged before it.
  std::shared_ptr<SimAdapter> plug(FirmwareProfile profile);
  // False when no plugged adapter has this id.
  bool unplug(uint64_t adapter_id);
  // The plugged adapters in plug order.
  std::vector<std::shared_ptr<SimAdapter>> adapters() const;
  std::shared_ptr<SimAdapter> find(uint64_t adapter_id) const;
  std::shared_ptr<SimBus> bus() const;
  // Rules for enumeration (the only host operation not tied to one adapter).
  FaultSet& faults() noexcept { return faults_; }
  // Unplugs every adapter, clears the enumeration rules and replaces the bus with a fresh one.
  void reset();

 private:
  BusFactory bus_factory_;
  FaultSet faults_;
  mutable std::mutex mu_;
  std::shared_ptr<SimBus> bus_;
  std::vector<std::shared_ptr<SimAdapter>> adapters_;
  uint64_t next_id_ = 1;
  uint8_t next_address_ = 1;
};

}  // namespace tavro::sim
