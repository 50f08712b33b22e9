// Plug state and receive records of one simulated adapter.
#include "backend/adapter.hpp"

#include <algorithm>

namespace tavro::sim {

SimAdapter::SimAdapter(uint64_t id, uint8_t address, FirmwareProfile profile, std::shared_ptr<SimBus> bus)
    : id_(id), address_(address), firmware_(std::move(profile), std::move(bus)) {
  firmware_.set_listener(this);
}

SimAdapter::~SimAdapter() {
  firmware_.power_off();
  firmware_.set_listener(nullptr);
}

void SimAdapter::unplug() {
  {
    std::lock_guard l(mu_);
    unplug_locked();
    pump_locked();
  }
  finish_unplug();
}

void SimAdapter::unplug_locked() noexcept {
  plugged_ = false;
  cv_.notify_all();
  for (auto& c : ep_cv_) c.notify_all();
}

void SimAdapter::finish_unplug() {
  if (plugged_.load() || powered_off_.exchange(true)) return;
  firmware_.power_off();
}

void SimAdapter::endpoint_ready(uint8_t endpoint) noexcept {
  {
    std::lock_guard l(mu_);
    ++ready_seq_;
    if (endpoint != protocol::kEpBulkOut) pump_locked();
  }
  // Notified after unlocking so that the woken waiter does not block on mu_ at once.
  cv_for(endpoint).notify_all();
}

void SimAdapter::pump_locked() {
  const auto now = std::chrono::steady_clock::now();
  for (BulkInTransferQueue* q : in_queues_) q->pump_locked(now);
}

void SimAdapter::register_in_queue(BulkInTransferQueue* q) { in_queues_.push_back(q); }

void SimAdapter::unregister_in_queue(BulkInTransferQueue* q) { std::erase(in_queues_, q); }

void SimAdapter::record_control(ControlRecord record) {
  std::lock_guard l(record_mu_);
  if (control_records_.size() >= record_limit_) {
    control_records_.erase(control_records_.begin(),
                           control_records_.begin() + std::ptrdiff_t(control_records_.size() / 2 + 1));
  }
  control_records_.push_back(std::move(record));
}

void SimAdapter::record_bulk_out(std::span<const uint8_t> bytes) {
  std::lock_guard l(record_mu_);
  if (bulk_ends_.size() >= record_limit_) {
    // Drop the older half at once so that the cost stays amortised.
    const size_t drop = bulk_ends_.size() / 2 + 1;
    const size_t cut = bulk_ends_[drop - 1];
    bulk_bytes_.erase(bulk_bytes_.begin(), bulk_bytes_.begin() + std::ptrdiff_t(cut));
    bulk_ends_.erase(bulk_ends_.begin(), bulk_ends_.begin() + std::ptrdiff_t(drop));
    for (size_t& e : bulk_ends_) e -= cut;
  }
  bulk_bytes_.insert(bulk_bytes_.end(), bytes.begin(), bytes.end());
  bulk_ends_.push_back(bulk_bytes_.size());
}

std::vector<ControlRecord> SimAdapter::control_records() const {
  std::lock_guard l(record_mu_);
  return control_records_;
}

std::vector<std::vector<uint8_t>> SimAdapter::bulk_out_records() const {
  std::lock_guard l(record_mu_);
  std::vector<std::vector<uint8_t>> out;
  out.reserve(bulk_ends_.size());
  size_t begin = 0;
  for (size_t end : bulk_ends_) {
    out.emplace_back(bulk_bytes_.begin() + std::ptrdiff_t(begin), bulk_bytes_.begin() + std::ptrdiff_t(end));
    begin = end;
  }
  return out;
}

void SimAdapter::clear_records() {
  std::lock_guard l(record_mu_);
  control_records_.clear();
  bulk_bytes_.clear();
  bulk_ends_.clear();
}

void SimAdapter::set_record_limit(size_t entries) {
  std::lock_guard l(record_mu_);
  record_limit_ = std::max<size_t>(entries, 1);
}

}  // namespace tavro::sim
