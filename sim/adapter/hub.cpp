// Plugging, listing and unplugging the simulated adapters of one host.
#include "adapter/hub.hpp"

#include <algorithm>

namespace tavro::sim {

SimHub::SimHub(BusFactory bus_factory) : bus_factory_(std::move(bus_factory)), bus_(bus_factory_()) {}

SimHub::~SimHub() {
  std::vector<std::shared_ptr<SimAdapter>> gone;
  std::shared_ptr<SimBus> bus;
  {
    std::lock_guard l(mu_);
    gone.swap(adapters_);
    bus = bus_;
  }
  for (auto& a : gone) a->unplug();
  if (bus) bus->shutdown();
}

std::shared_ptr<SimAdapter> SimHub::plug(FirmwareProfile profile) {
  std::lock_guard l(mu_);
  const uint8_t address = next_address_;
  next_address_ = next_address_ >= 127 ? 1 : uint8_t(next_address_ + 1);
  auto a = std::make_shared<SimAdapter>(next_id_++, address, std::move(profile), bus_);
  adapters_.push_back(a);
  return a;
}

bool SimHub::unplug(uint64_t adapter_id) {
  std::shared_ptr<SimAdapter> a;
  {
    std::lock_guard l(mu_);
    auto it = std::find_if(adapters_.begin(), adapters_.end(), [&](const auto& x) { return x->id() == adapter_id; });
    if (it == adapters_.end()) return false;
    a = *it;
    adapters_.erase(it);
  }
  a->unplug();
  return true;
}

std::vector<std::shared_ptr<SimAdapter>> SimHub::adapters() const {
  std::lock_guard l(mu_);
  std::vector<std::shared_ptr<SimAdapter>> out;
  for (const auto& a : adapters_)
    if (a->plugged()) out.push_back(a);
  return out;
}

std::shared_ptr<SimAdapter> SimHub::find(uint64_t adapter_id) const {
  std::lock_guard l(mu_);
  for (const auto& a : adapters_)
    if (a->id() == adapter_id) return a;
  return nullptr;
}

std::shared_ptr<SimBus> SimHub::bus() const {
  std::lock_guard l(mu_);
  return bus_;
}

void SimHub::reset() {
  std::vector<std::shared_ptr<SimAdapter>> gone;
  std::shared_ptr<SimBus> old_bus;
  {
    std::lock_guard l(mu_);
    gone.swap(adapters_);
    old_bus = bus_;
  }
  for (auto& a : gone) {
    a->faults().clear();
    a->unplug();
  }
  auto fresh = bus_factory_();
  {
    std::lock_guard l(mu_);
    bus_ = fresh;
    next_address_ = 1;
  }
  if (old_bus) old_bus->shutdown();
}

}  // namespace tavro::sim
