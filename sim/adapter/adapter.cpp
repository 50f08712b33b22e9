// Plug state, receive records and the fault-aware transfer entry points of one simulated adapter.
#include "adapter/adapter.hpp"

#include <algorithm>
#include <cerrno>

namespace tavro::sim {

namespace {

usb::TransferOutcome outcome(usb::TransferStatus s, size_t actual = 0, int os_code = 0) {
  usb::TransferOutcome o;
  o.status = s;
  o.actual = actual;
  o.os_code = os_code;
  return o;
}

// The device sent more than the host asked for: the host controller reports babble (EOVERFLOW) after filling the
// buffer.
usb::TransferOutcome babble(size_t length) { return outcome(usb::TransferStatus::Fault, length, EOVERFLOW); }

size_t halt_slot(uint8_t endpoint) noexcept {
  return endpoint == protocol::kEpRxIn ? 0 : endpoint == protocol::kEpTxResultIn ? 1 : 2;
}

}  // namespace

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
  for (AdapterWatcher* w : watchers_) w->adapter_event();
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
    for (AdapterWatcher* w : watchers_) w->adapter_event();
  }
  // Notified after unlocking so that the woken waiter does not block on mu_ at once.
  cv_for(endpoint).notify_all();
}

void SimAdapter::pump_locked() {
  const auto now = std::chrono::steady_clock::now();
  for (BulkInQueue* q : in_queues_) q->pump_locked(now);
}

void SimAdapter::register_in_queue(BulkInQueue* q) { in_queues_.push_back(q); }

void SimAdapter::unregister_in_queue(BulkInQueue* q) { std::erase(in_queues_, q); }

void SimAdapter::add_watcher_locked(AdapterWatcher* w) { watchers_.push_back(w); }

void SimAdapter::remove_watcher_locked(AdapterWatcher* w) { std::erase(watchers_, w); }

usb::TransferOutcome SimAdapter::clear_halt(uint8_t endpoint) {
  ++halt_clears_[halt_slot(endpoint)];
  if (auto rule = faults_.take({FaultTarget::ClearHalt, 0, false, 0, endpoint})) {
    if (rule->action == FaultAction::Disconnect) unplug();
    const usb::TransferStatus s = fault_status(*rule);
    if (s != usb::TransferStatus::Completed) return outcome(s, 0, rule->os_code);
  }
  halted_[halt_slot(endpoint)] = false;
  return outcome(usb::TransferStatus::Completed);
}

std::vector<size_t> SimAdapter::pending_in(uint8_t endpoint) {
  std::lock_guard l(mu_);
  std::vector<size_t> out;
  for (BulkInQueue* q : in_queues_)
    if (q->endpoint() == endpoint)
      for (const auto& t : q->transfers_locked())
        if (!t.done) out.push_back(t.length);
  return out;
}

SimAdapter::EndpointUse SimAdapter::endpoint_use(uint8_t endpoint) {
  std::lock_guard l(mu_);
  return use_[halt_slot(endpoint)];
}

void SimAdapter::note_submit_locked(uint8_t endpoint, size_t length, size_t queued) noexcept {
  EndpointUse& u = use_[halt_slot(endpoint)];
  ++u.transfers;
  u.last_length = length;
  u.most_queued = std::max(u.most_queued, queued);
}

bool SimAdapter::endpoint_open(uint8_t address) {
  std::lock_guard l(mu_);
  return (open_endpoints_ & endpoint_bit(address)) != 0;
}

usb::Duration SimAdapter::in_wait(uint8_t endpoint) {
  std::lock_guard l(mu_);
  return in_wait_[endpoint == 0x83];
}

uint64_t SimAdapter::empty_in_waits(uint8_t endpoint) {
  std::lock_guard l(mu_);
  return empty_in_waits_[endpoint == 0x83];
}

void SimAdapter::add_fault(FaultRule rule) {
  faults_.add(std::move(rule));
  {
    std::lock_guard l(mu_);
    ++ready_seq_;
    pump_locked();
    for (AdapterWatcher* w : watchers_) w->adapter_event();
  }
  cv_.notify_all();
  for (auto& c : ep_cv_) c.notify_all();
}

bool SimAdapter::halted(uint8_t endpoint) const noexcept { return halted_[halt_slot(endpoint)].load(); }

void SimAdapter::halt(uint8_t endpoint) noexcept {
  ++halts_[halt_slot(endpoint)];
  halted_[halt_slot(endpoint)] = true;
}

uint64_t SimAdapter::halt_count(uint8_t endpoint) const noexcept { return halts_[halt_slot(endpoint)].load(); }

void SimAdapter::reset_halts() noexcept {
  for (auto& h : halted_) h = false;
}

uint64_t SimAdapter::halt_clears(uint8_t endpoint) const { return halt_clears_[halt_slot(endpoint)].load(); }

// ---------------------------------------------------------------------------------------------------------------
// Control requests

ControlPlan SimAdapter::plan_control(const usb::ControlSetup& setup) {
  ControlPlan plan;
  const bool in = (setup.request_type & 0x80) != 0;
  auto rule = faults_.take({FaultTarget::Control, setup.request, in, setup.value, 0});
  if (!rule) return plan;
  switch (rule->action) {
    case FaultAction::Timeout: plan.kind = ControlPlan::Kind::Hang; break;
    case FaultAction::Delay: plan.delay = rule->delay; break;
    case FaultAction::Disconnect:
      unplug();
      plan.kind = ControlPlan::Kind::End;
      plan.end = outcome(usb::TransferStatus::Disconnected);
      break;
    case FaultAction::Reply:
    case FaultAction::ShortReply:
    case FaultAction::LongReply: plan.rule = std::move(rule); break;
    case FaultAction::PartialAccept: break;  // a bulk OUT action
    default:
      plan.kind = ControlPlan::Kind::End;
      plan.end = outcome(fault_status(*rule), 0, rule->os_code);
      break;
  }
  return plan;
}

usb::TransferOutcome SimAdapter::answer_control(const usb::ControlSetup& setup, std::span<uint8_t> data,
                                                const ControlPlan& plan) {
  using usb::TransferStatus;
  const bool in = (setup.request_type & 0x80) != 0;
  const FaultRule* rule = plan.rule ? &*plan.rule : nullptr;
  if (rule && rule->action == FaultAction::Reply) {
    if (!in) return outcome(TransferStatus::Completed, setup.length);
    if (rule->payload.size() > setup.length) return babble(setup.length);
    std::copy(rule->payload.begin(), rule->payload.end(), data.begin());
    return outcome(TransferStatus::Completed, rule->payload.size());
  }
  const ControlReply r =
      firmware_.control(setup, in ? std::span<const uint8_t>{} : std::span<const uint8_t>(data.data(), setup.length));
  if (!plugged()) return outcome(TransferStatus::Disconnected);
  if (r.stall) return outcome(TransferStatus::Stall);
  if (!in) return outcome(TransferStatus::Completed, setup.length);
  size_t n = r.length;
  std::copy(r.data.begin(), r.data.begin() + n, data.begin());
  if (rule && rule->action == FaultAction::ShortReply) n = std::min<size_t>(n, rule->length);
  if (rule && rule->action == FaultAction::LongReply && rule->length > n) {
    if (rule->length > setup.length) return babble(setup.length);
    std::fill(data.begin() + n, data.begin() + rule->length, 0);
    n = rule->length;
  }
  return outcome(TransferStatus::Completed, n);
}

// ---------------------------------------------------------------------------------------------------------------
// Bulk OUT

BulkOutPlan SimAdapter::plan_bulk_out_locked(size_t length) {
  BulkOutPlan plan;
  plan.limit = length;
  note_submit_locked(protocol::kEpBulkOut, length, 1);
  if (halted(protocol::kEpBulkOut)) {
    plan.end = outcome(usb::TransferStatus::Stall);
    return plan;
  }
  auto rule = faults_.take({FaultTarget::BulkOut, 0, false, 0, protocol::kEpBulkOut});
  if (!rule) return plan;
  switch (rule->action) {
    case FaultAction::Timeout: plan.hang = true; break;
    case FaultAction::Delay:
      plan.ready_at = Clock::now() + std::chrono::duration_cast<Clock::duration>(rule->delay);
      break;
    case FaultAction::PartialAccept:
    case FaultAction::ShortReply: plan.limit = std::min<size_t>(length, rule->length); break;
    case FaultAction::Disconnect:
      unplug_locked();
      plan.end = outcome(usb::TransferStatus::Disconnected);
      break;
    case FaultAction::Reply:
    case FaultAction::LongReply: break;  // IN-only actions
    case FaultAction::Stall:
      halt(protocol::kEpBulkOut);
      plan.end = outcome(usb::TransferStatus::Stall);
      break;
    default: plan.end = outcome(fault_status(*rule), 0, rule->os_code); break;
  }
  return plan;
}

bool SimAdapter::bulk_out(std::span<const uint8_t> bytes) {
  if (firmware_.bulk_out(bytes) == BulkOutStatus::Busy) return false;
  record_bulk_out(bytes);
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Bulk IN

BulkInQueue::BulkInQueue(std::shared_ptr<SimAdapter> adapter, uint8_t endpoint)
    : adapter_(std::move(adapter)), endpoint_(endpoint) {
  std::lock_guard l(adapter_->mu_);
  adapter_->register_in_queue(this);
}

BulkInQueue::~BulkInQueue() {
  std::lock_guard l(adapter_->mu_);
  adapter_->unregister_in_queue(this);
}

void BulkInQueue::submit_locked(uint64_t tag, size_t length) {
  Transfer t;
  t.tag = tag;
  if (!free_.empty()) {
    t.buf = std::move(free_.back());
    free_.pop_back();
  }
  if (t.buf.size() < length) t.buf.resize(length);
  t.length = length;
  t.limit = length;
  queue_.push_back(std::move(t));
  adapter_->note_submit_locked(endpoint_, length, queue_.size());
  pump_locked(Clock::now());
}

void BulkInQueue::recycle_locked(std::vector<uint8_t> buf) {
  if (!buf.empty() && free_.size() < 8) free_.push_back(std::move(buf));
}

Clock::time_point BulkInQueue::next_due_locked() const noexcept {
  for (const Transfer& t : queue_) {
    if (t.done) continue;
    // Once a delay has passed the transfer waits for data like any other: endpoint events wake its front-end.
    return !t.hung && t.ready_at > Clock::now() ? t.ready_at : Clock::time_point::max();
  }
  return Clock::time_point::max();
}

void BulkInQueue::pump_locked(Clock::time_point now) {
  for (Transfer& t : queue_) {
    if (t.done) continue;
    if (!adapter_->plugged()) {
      t.done = true;
      t.result = outcome(usb::TransferStatus::Disconnected);
      continue;
    }
    if (t.hung) return;  // a transfer that never completes holds back the ones behind it
    if (adapter_->halted(endpoint_)) {
      const uint64_t halt = adapter_->halt_count(endpoint_);
      if (halt == halt_reported_) return;  // reported already: the queue waits for the halt to be cleared
      halt_reported_ = halt;
      t.done = true;
      t.result = outcome(usb::TransferStatus::Stall);
      return;
    }
    // Asked on every pump until a rule hits: a rule added while the transfer waits still applies to it.
    if (!t.rule_applied) {
      if (auto rule = adapter_->faults().take({FaultTarget::BulkIn, 0, true, 0, endpoint_})) {
        t.rule_applied = true;
        if (!apply_rule(t, *rule, now)) continue;
      }
    }
    if (t.ready_at > now) return;
    const size_t n = adapter_->firmware().read_in(endpoint_, std::span<uint8_t>(t.buf.data(), t.limit));
    if (n == 0) return;
    t.done = true;
    t.result = outcome(usb::TransferStatus::Completed, n);
  }
}

// Returns false when the rule completed (or disconnected) the transfer.
bool BulkInQueue::apply_rule(Transfer& t, const FaultRule& rule, Clock::time_point now) {
  auto finish = [&](usb::TransferOutcome o) {
    t.done = true;
    t.result = o;
    return false;
  };
  switch (rule.action) {
    case FaultAction::Timeout: t.hung = true; return true;
    case FaultAction::Delay: t.ready_at = now + std::chrono::duration_cast<Clock::duration>(rule.delay); return true;
    case FaultAction::ShortReply: t.limit = std::min<size_t>(t.limit, rule.length); return true;
    case FaultAction::Disconnect: adapter_->unplug_locked(); return finish(outcome(usb::TransferStatus::Disconnected));
    case FaultAction::Reply:
      if (rule.payload.size() > t.length) {
        std::copy(rule.payload.begin(), rule.payload.begin() + std::ptrdiff_t(t.length), t.buf.begin());
        return finish(babble(t.length));
      }
      std::copy(rule.payload.begin(), rule.payload.end(), t.buf.begin());
      return finish(outcome(usb::TransferStatus::Completed, rule.payload.size()));
    case FaultAction::LongReply:  // zero padding beyond the transfer: the buffer fills with it, then babble
      std::fill(t.buf.begin(), t.buf.begin() + std::ptrdiff_t(t.length), 0);
      return finish(babble(t.length));
    case FaultAction::Stall:
      adapter_->halt(endpoint_);
      halt_reported_ = adapter_->halt_count(endpoint_);  // the queue stops behind this transfer
      return finish(outcome(usb::TransferStatus::Stall));
    case FaultAction::PartialAccept: return true;  // an OUT-only action
    default: return finish(outcome(fault_status(rule), 0, rule.os_code));
  }
}

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
