// The simulator's backend of the USB seam: the hub's simulated adapters reached through the same
// Backend/Device/Interface/pipe interface as real adapters.
//
//   backend = SimBackend(hub)
//   backend.enumerate() / open(...)    # as usb::Backend; a second open of one adapter fails (held elsewhere)
//   backend.faults()                   # rules for enumeration, the one host operation not tied to an adapter
//   backend.reset()                    # the hub's reset, and the enumeration rules cleared
#pragma once

#include <memory>
#include <vector>

#include "adapter/faults.hpp"
#include "adapter/hub.hpp"
#include "usb/host.hpp"

namespace tavro::sim {

class SimBackend final : public usb::Backend {
 public:
  // The hub must outlive the backend.
  explicit SimBackend(SimHub& hub);

  const char* name() const noexcept override { return "simulator"; }
  usb::HostResult<std::vector<usb::EnumeratedDevice>> enumerate() override;
  usb::HostResult<std::shared_ptr<usb::Device>> open(const usb::EnumeratedDevice& device) override;

  SimHub& hub() noexcept { return hub_; }
  FaultSet& faults() noexcept { return faults_; }
  void reset();

 private:
  SimHub& hub_;
  FaultSet faults_;
};

}  // namespace tavro::sim
