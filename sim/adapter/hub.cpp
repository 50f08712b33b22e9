// Plugging, listing and unplugging the simulated adapters of one host.
#include "adapter/hub.hpp"

#include <algorithm>

namespace tavro::sim {

SimHub::SimHub(BusFactory bus_factory) : bus_factory_(std::move(bus_factory)) { buses_.push_back(bus_factory_()); }

SimHub::~SimHub() {
  std::vector<std::shared_ptr<SimAdapter>> gone;
  std::vector<std::shared_ptr<SimBus>> buses;
  {
    std::lock_guard l(mu_);
    gone.swap(adapters_);
    buses = buses_;
  }
  for (auto& a : gone) a->unplug();
  for (auto& b : buses)
    if (b) b->shutdown();
}

std::shared_ptr<SimAdapter> SimHub::plug(FirmwareProfile profile, size_t bus_index) {
  auto bus = this->bus(bus_index);
  if (!bus) return nullptr;
  std::lock_guard l(mu_);
  const uint8_t address = next_address_;
  next_address_ = next_address_ >= 127 ? 1 : uint8_t(next_address_ + 1);
  auto a = std::make_shared<SimAdapter>(next_id_++, address, std::move(profile), std::move(bus));
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

std::shared_ptr<SimBus> SimHub::bus(size_t index) {
  if (index >= kMaxBuses) return nullptr;
  std::lock_guard l(mu_);
  if (buses_.size() <= index) buses_.resize(index + 1);
  if (!buses_[index]) buses_[index] = bus_factory_();
  return buses_[index];
}

void SimHub::reset() {
  std::vector<std::shared_ptr<SimAdapter>> gone;
  std::vector<std::shared_ptr<SimBus>> old_buses;
  {
    std::lock_guard l(mu_);
    gone.swap(adapters_);
  }
  for (auto& a : gone) {
    a->faults().clear();
    a->unplug();
  }
  auto fresh = bus_factory_();
  {
    std::lock_guard l(mu_);
    old_buses.swap(buses_);
    buses_.push_back(std::move(fresh));
    next_address_ = 1;
  }
  for (auto& b : old_buses)
    if (b) b->shutdown();
}

}  // namespace tavro::sim
