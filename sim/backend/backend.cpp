// Seam objects of the simulator backend: device, claimed interface and bulk pipes over a SimAdapter.
//
// Bulk IN transfers complete the way a USB host sees them: in submission order, each with whatever the firmware
// has queued, up to its length (the firmware ends its packets short, so a transfer never waits to be filled).
// Bulk OUT transfers reach the firmware when submitted; while its transmit queue is full the transfer stays in
// flight (the device NAKs) and is delivered as soon as there is room.
#include "backend/backend.hpp"

#include <algorithm>
#include <deque>

namespace tavro::sim {

namespace {

using usb::TransferOutcome;
using usb::TransferStatus;

TransferOutcome outcome(TransferStatus s, size_t actual = 0, int os_code = 0) {
  TransferOutcome o;
  o.status = s;
  o.actual = actual;
  o.os_code = os_code;
  return o;
}

usb::HostError host_error(TransferStatus s, std::string text) {
  usb::HostError e;
  e.status = s;
  e.text = std::move(text);
  return e;
}

usb::HostError unplugged_error() {
  return host_error(TransferStatus::Disconnected, "No such device (it may have been disconnected)");
}

// Deadline of a host time-out; zero means "no time-out", as with libusb, and so does kNoTimeout (max: no wait
// ever ends there).
Clock::time_point deadline_of(usb::Duration timeout) {
  if (timeout <= usb::Duration::zero()) return Clock::time_point::max();
  const auto now = Clock::now();
  if (timeout >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

// A wait on an adapter condition variable until `until`; max waits without a time-out (a timed wait that far out
// could overflow where the library converts it to another clock).
void wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& l, Clock::time_point until) {
  if (until == Clock::time_point::max()) {
    cv.wait(l);
  } else {
    cv.wait_until(l, until);
  }
}

std::vector<usb::EndpointDescriptor> endpoints_of(const FirmwareProfile& p) {
  std::vector<usb::EndpointDescriptor> out;
  for (const auto& e : p.endpoints)
    out.push_back({e.address, static_cast<usb::EndpointType>(e.type & 3), p.packet_size(e.address)});
  return out;
}

// A submission the host stack refuses (a Submit rule): nothing is queued.
std::optional<TransferOutcome> refusal(SimAdapter& adapter, uint8_t endpoint) {
  auto rule = adapter.faults().take({FaultTarget::Submit, 0, (endpoint & 0x80) != 0, 0, endpoint});
  if (!rule) return std::nullopt;
  const TransferStatus s = fault_status(*rule);
  return outcome(s == TransferStatus::Completed ? TransferStatus::Fault : s, 0, rule->os_code);
}

class SimDevice;
class SimInterface;

// ---------------------------------------------------------------------------------------------------------------

class SimBulkIn final : public usb::BulkInPipe {
 public:
  SimBulkIn(std::shared_ptr<SimInterface> iface, std::shared_ptr<SimAdapter> adapter, usb::EndpointDescriptor d)
      : iface_(std::move(iface)), adapter_(std::move(adapter)), desc_(d), queue_(adapter_, d.address) {}
  ~SimBulkIn() override {
    cancel_all(std::chrono::seconds(1), [](const TransferOutcome&, std::span<const uint8_t>) {});
    std::lock_guard l(adapter_->mu_);
    adapter_->open_endpoints_ &= ~SimAdapter::endpoint_bit(desc_.address);
  }

  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  TransferOutcome submit(size_t length) override {
    if (auto refused = refusal(*adapter_, desc_.address)) return *refused;
    std::lock_guard l(adapter_->mu_);
    if (!adapter_->plugged()) return outcome(TransferStatus::Disconnected);
    queue_.submit_locked(0, length);
    return outcome(TransferStatus::Completed);
  }

  size_t outstanding() const noexcept override {
    std::lock_guard l(adapter_->mu_);
    return const_cast<BulkInQueue&>(queue_).transfers_locked().size();
  }

  std::optional<Completion> wait_oldest(usb::Duration timeout) override {
    const auto deadline = deadline_of(timeout);
    std::optional<Completion> result;
    {
      std::unique_lock l(adapter_->mu_);
      auto& q = queue_.transfers_locked();
      interrupted_ = false;
      for (;;) {
        queue_.pump_locked(Clock::now());
        if (q.empty()) break;
        BulkInQueue::Transfer& t = q.front();
        if (t.done) {
          queue_.recycle_locked(std::move(last_));
          last_ = std::move(t.buf);
          result = Completion{t.result, std::span<const uint8_t>(last_.data(), t.result.actual)};
          q.pop_front();
          break;
        }
        if (interrupt_requested_) {
          interrupted_ = true;
          break;
        }
        const auto now = Clock::now();
        if (now >= deadline) break;
        adapter_->note_in_wait_locked(desc_.address, timeout > usb::Duration::zero() ? timeout : usb::kNoTimeout);
        wait_until(adapter_->cv_for(desc_.address), l, std::min(deadline, t.ready_at > now ? t.ready_at : deadline));
        adapter_->note_in_wait_locked(desc_.address, usb::Duration::zero());
      }
      interrupt_requested_ = false;
      if (!result) adapter_->note_empty_in_wait_locked(desc_.address);
    }
    adapter_->finish_unplug();
    return result;
  }

  void interrupt() noexcept override {
    {
      std::lock_guard l(adapter_->mu_);
      interrupt_requested_ = true;
    }
    adapter_->cv_for(desc_.address).notify_all();
  }

  bool interrupted() const noexcept override { return interrupted_; }

  bool cancel_all(usb::Duration,
                  const std::function<void(const TransferOutcome&, std::span<const uint8_t>)>& on_return) override {
    std::deque<BulkInQueue::Transfer> returned;
    {
      std::lock_guard l(adapter_->mu_);
      queue_.pump_locked(Clock::now());
      // Each pending transfer is unlinked on its own, and an Unlink rule decides how it comes back.
      std::vector<std::pair<BulkInQueue::Transfer*, FaultRule>> ruled;
      for (auto& t : queue_.transfers_locked()) {
        if (t.done) continue;
        auto rule = adapter_->faults().take({FaultTarget::Unlink, 0, true, 0, desc_.address});
        if (!rule) continue;
        // A host stack that never gives a cancelled transfer back: they stay queued until the pipe goes.
        if (rule->action == FaultAction::Timeout) return false;
        ruled.emplace_back(&t, std::move(*rule));
      }
      for (auto& [t, rule] : ruled) unlinked(*t, rule);
      returned.swap(queue_.transfers_locked());
    }
    for (auto& t : returned) {
      if (!t.done) t.result = outcome(adapter_->plugged() ? TransferStatus::Cancelled : TransferStatus::Disconnected);
      on_return(t.result, t.data());
    }
    std::lock_guard l(adapter_->mu_);
    for (auto& t : returned) queue_.recycle_locked(std::move(t.buf));
    adapter_->finish_unplug();
    return true;
  }

  TransferOutcome clear_halt() override {
    if (!adapter_->plugged()) return outcome(TransferStatus::Disconnected);
    return adapter_->clear_halt(desc_.address);
  }

 private:
  // How a pending transfer that an Unlink rule hits comes back (adapter lock held). Reply: it had received the
  // rule's payload when the cancellation took effect: a transfer ended by a short packet (or filled) completed,
  // one holding only full packets was still waiting for more and comes back Cancelled with them. The other actions
  // end it with their status (a stall halts the endpoint, a disconnect unplugs the adapter).
  void unlinked(BulkInQueue::Transfer& t, const FaultRule& rule) {
    t.done = true;
    if (rule.action == FaultAction::Reply) {
      const size_t n = std::min(rule.payload.size(), t.length);
      std::copy_n(rule.payload.begin(), n, t.buf.begin());
      const size_t packet = std::max<size_t>(desc_.max_packet_size, 1);
      t.result = outcome(n == t.length || n % packet != 0 ? TransferStatus::Completed : TransferStatus::Cancelled, n);
      return;
    }
    if (rule.action == FaultAction::Stall) adapter_->halt(desc_.address);
    if (rule.action == FaultAction::Disconnect) adapter_->unplug_locked();
    const TransferStatus s = fault_status(rule);
    t.result = outcome(s == TransferStatus::Completed ? TransferStatus::Cancelled : s, 0, rule.os_code);
  }

  std::shared_ptr<SimInterface> iface_;
  std::shared_ptr<SimAdapter> adapter_;
  usb::EndpointDescriptor desc_;
  BulkInQueue queue_;
  std::vector<uint8_t> last_;         // data of the last completion handed out
  bool interrupt_requested_ = false;  // guarded by the adapter lock
  bool interrupted_ = false;          // the waiting thread's own
};

// ---------------------------------------------------------------------------------------------------------------

class SimBulkOut final : public usb::BulkOutPipe {
 public:
  SimBulkOut(std::shared_ptr<SimInterface> iface, std::shared_ptr<SimAdapter> adapter, usb::EndpointDescriptor d)
      : iface_(std::move(iface)), adapter_(std::move(adapter)), desc_(d) {}
  ~SimBulkOut() override {
    {
      std::lock_guard l(adapter_->mu_);
      in_flight_ = false;
      adapter_->open_endpoints_ &= ~SimAdapter::endpoint_bit(desc_.address);
    }
    adapter_->finish_unplug();
  }

  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  TransferOutcome submit(std::span<const uint8_t> data) override {
    if (auto refused = refusal(*adapter_, desc_.address)) return *refused;
    {
      std::lock_guard l(adapter_->mu_);
      if (!adapter_->plugged()) return outcome(TransferStatus::Disconnected);
      if (in_flight_) return outcome(TransferStatus::InvalidArgument);
      buf_.assign(data.begin(), data.end());
      in_flight_ = true;
      done_ = cancel_requested_ = false;
      const BulkOutPlan plan = adapter_->plan_bulk_out_locked(data.size());
      hung_ = plan.hang;
      ready_at_ = plan.ready_at;
      limit_ = plan.limit;
      if (plan.end) finish(*plan.end);
    }
    deliver();
    adapter_->finish_unplug();
    return outcome(TransferStatus::Completed);
  }

  std::optional<TransferOutcome> wait(usb::Duration timeout) override {
    const auto deadline = deadline_of(timeout);
    std::optional<TransferOutcome> result;
    {
      std::unique_lock l(adapter_->mu_);
      for (;;) {
        if (!in_flight_) {
          result = outcome(TransferStatus::InvalidArgument);
          break;
        }
        if (!done_ && !adapter_->plugged()) finish(outcome(TransferStatus::Disconnected));
        if (!done_ && cancel_requested_ && Clock::now() >= cancelled_at_) finish(outcome(TransferStatus::Cancelled));
        if (done_) {
          in_flight_ = false;
          result = result_;
          break;
        }
        auto now = Clock::now();
        if (!hung_ && !cancel_requested_ && now >= ready_at_) {
          const uint64_t seq = adapter_->ready_seq_;
          l.unlock();
          const bool busy = !deliver();
          l.lock();
          // Room may have appeared while the lock was released; retry before sleeping.
          if (!busy || done_ || adapter_->ready_seq_ != seq) continue;
          now = Clock::now();
        }
        if (now >= deadline) break;
        const Clock::time_point due = cancel_requested_ ? cancelled_at_ : ready_at_;
        adapter_->cv_for(protocol::kEpBulkOut).wait_until(l, std::min(deadline, due > now ? due : deadline));
      }
    }
    adapter_->finish_unplug();
    return result;
  }

  // An Unlink rule on the endpoint: Timeout, the cancelled transfer never comes back (until the pipe goes); Delay,
  // it comes back that much later.
  void cancel() override {
    std::lock_guard l(adapter_->mu_);
    if (!in_flight_ || done_ || cancel_requested_) return;
    Clock::time_point at = Clock::now();
    if (auto rule = adapter_->faults().take({FaultTarget::Unlink, 0, false, 0, desc_.address})) {
      if (rule->action == FaultAction::Timeout) return;
      if (rule->action == FaultAction::Delay) at += std::chrono::duration_cast<Clock::duration>(rule->delay);
    }
    cancel_requested_ = true;
    cancelled_at_ = at;
    adapter_->cv_for(protocol::kEpBulkOut).notify_all();
  }

  TransferOutcome clear_halt() override {
    if (!adapter_->plugged()) return outcome(TransferStatus::Disconnected);
    return adapter_->clear_halt(desc_.address);
  }

 private:
  void finish(TransferOutcome o) {
    done_ = true;
    result_ = o;
  }

  // Hands the transfer to the firmware if it is due. Called without the adapter lock (the firmware calls back into
  // the adapter). Returns false when the firmware's queue was full.
  bool deliver() {
    std::span<const uint8_t> bytes;
    {
      std::lock_guard l(adapter_->mu_);
      if (!in_flight_ || done_ || hung_ || cancel_requested_ || Clock::now() < ready_at_) return true;
      if (!adapter_->plugged()) return true;
      bytes = std::span<const uint8_t>(buf_.data(), limit_);
    }
    // Only the owning thread submits, so buf_ stays put while the firmware reads it.
    if (!adapter_->bulk_out(bytes)) return false;
    std::lock_guard l(adapter_->mu_);
    finish(outcome(TransferStatus::Completed, bytes.size()));
    return true;
  }

  std::shared_ptr<SimInterface> iface_;
  std::shared_ptr<SimAdapter> adapter_;
  usb::EndpointDescriptor desc_;
  // Guarded by the adapter lock.
  std::vector<uint8_t> buf_;
  bool in_flight_ = false;
  bool done_ = false;
  bool hung_ = false;
  bool cancel_requested_ = false;
  size_t limit_ = 0;
  Clock::time_point ready_at_{};
  Clock::time_point cancelled_at_{};  // when a cancellation asked for takes effect
  TransferOutcome result_;
};

// ---------------------------------------------------------------------------------------------------------------

class SimInterface final : public usb::Interface, public std::enable_shared_from_this<SimInterface> {
 public:
  SimInterface(std::shared_ptr<SimDevice> device, std::shared_ptr<SimAdapter> adapter, uint8_t number)
      : device_(std::move(device)), adapter_(std::move(adapter)), number_(number) {}
  ~SimInterface() override {
    std::lock_guard l(adapter_->mu_);
    adapter_->claimed_ = false;
  }

  uint8_t number() const noexcept override { return number_; }
  usb::Device& device() noexcept override;
  std::vector<usb::EndpointDescriptor> endpoints() const override {
    return endpoints_of(adapter_->firmware().profile());
  }

  usb::HostResult<std::unique_ptr<usb::BulkInPipe>> open_bulk_in(uint8_t address) override {
    auto d = reserve(address, true);
    if (!d.ok()) return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::failure(d.error);
    return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::success(
        std::make_unique<SimBulkIn>(shared_from_this(), adapter_, *d.value));
  }

  usb::HostResult<std::unique_ptr<usb::BulkOutPipe>> open_bulk_out(uint8_t address) override {
    auto d = reserve(address, false);
    if (!d.ok()) return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::failure(d.error);
    return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::success(
        std::make_unique<SimBulkOut>(shared_from_this(), adapter_, *d.value));
  }

 private:
  // Checks the endpoint against the descriptors and marks it open.
  usb::HostResult<usb::EndpointDescriptor> reserve(uint8_t address, bool in) {
    using R = usb::HostResult<usb::EndpointDescriptor>;
    if (auto rule = adapter_->faults().take({FaultTarget::EndpointOpen, 0, in, 0, address}))
      return R::failure(fault_host_error(*rule));
    const auto eps = endpoints();
    auto it = std::find_if(eps.begin(), eps.end(), [&](const auto& e) { return e.address == address; });
    if (it == eps.end() || ((address & 0x80) != 0) != in || it->type != usb::EndpointType::Bulk)
      return R::failure(host_error(TransferStatus::InvalidArgument, "Entity not found"));
    std::lock_guard l(adapter_->mu_);
    if (!adapter_->plugged()) return R::failure(unplugged_error());
    if (adapter_->open_endpoints_ & SimAdapter::endpoint_bit(address))
      return R::failure(host_error(TransferStatus::Fault, "Resource busy"));
    adapter_->open_endpoints_ |= SimAdapter::endpoint_bit(address);
    return R::success(*it);
  }

  std::shared_ptr<SimDevice> device_;
  std::shared_ptr<SimAdapter> adapter_;
  uint8_t number_;
};

// ---------------------------------------------------------------------------------------------------------------

class SimDevice final : public usb::Device {
 public:
  explicit SimDevice(std::shared_ptr<SimAdapter> adapter) : adapter_(std::move(adapter)) {}
  ~SimDevice() override {
    std::lock_guard l(adapter_->mu_);
    adapter_->open_ = false;
  }

  usb::HostResult<std::shared_ptr<usb::Interface>> claim_interface(uint8_t number) override {
    using R = usb::HostResult<std::shared_ptr<usb::Interface>>;
    if (auto rule = adapter_->faults().take({FaultTarget::Claim, 0, false, 0, 0})) {
      if (rule->action == FaultAction::Disconnect) adapter_->unplug();
      return R::failure(fault_host_error(*rule));
    }
    std::lock_guard l(adapter_->mu_);
    if (!adapter_->plugged()) return R::failure(unplugged_error());
    if (number != protocol::kInterfaceNumber)
      return R::failure(host_error(TransferStatus::InvalidArgument, "Entity not found"));
    if (adapter_->claimed_) return R::failure(host_error(TransferStatus::Fault, "Resource busy"));
    adapter_->claimed_ = true;
    auto self = std::static_pointer_cast<SimDevice>(shared_from_this());
    return R::success(std::make_shared<SimInterface>(std::move(self), adapter_, number));
  }

  TransferOutcome control_transfer(const usb::ControlSetup& setup, std::span<uint8_t> data,
                                   usb::Duration timeout) override {
    const bool in = (setup.request_type & 0x80) != 0;
    ControlRecord rec;
    rec.setup = setup;
    rec.timeout = timeout;
    if (!in) rec.data.assign(data.begin(), data.begin() + std::min<size_t>(data.size(), setup.length));
    TransferOutcome o = run(setup, data, timeout);
    if (in) rec.reply.assign(data.begin(), data.begin() + std::min(o.actual, data.size()));
    rec.status = o.status;
    adapter_->record_control(std::move(rec));
    adapter_->finish_unplug();
    return o;
  }

 private:
  // Waits until `until` unless the adapter is unplugged first; false when it was.
  bool sleep_until(Clock::time_point until) {
    std::unique_lock l(adapter_->mu_);
    return !adapter_->cv_.wait_until(l, until, [&] { return !adapter_->plugged(); });
  }

  TransferOutcome run(const usb::ControlSetup& setup, std::span<uint8_t> data, usb::Duration timeout) {
    if (!adapter_->plugged()) return outcome(TransferStatus::Disconnected);
    if (data.size() < setup.length) return outcome(TransferStatus::InvalidArgument);
    const auto deadline = deadline_of(timeout);
    const ControlPlan plan = adapter_->plan_control(setup);
    switch (plan.kind) {
      case ControlPlan::Kind::Hang:
        return outcome(sleep_until(deadline) ? TransferStatus::Cancelled : TransferStatus::Disconnected);
      case ControlPlan::Kind::End: return plan.end;
      case ControlPlan::Kind::Answer: break;
    }
    if (plan.delay > usb::Duration::zero()) {
      const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(plan.delay);
      if (due > deadline)
        return outcome(sleep_until(deadline) ? TransferStatus::Cancelled : TransferStatus::Disconnected);
      if (!sleep_until(due)) return outcome(TransferStatus::Disconnected);
    }
    return adapter_->answer_control(setup, data, plan);
  }

  std::shared_ptr<SimAdapter> adapter_;
};

usb::Device& SimInterface::device() noexcept { return *device_; }

}  // namespace

// ---------------------------------------------------------------------------------------------------------------

SimBackend::SimBackend(SimHub& hub) : hub_(hub) {}

void SimBackend::reset() {
  hub_.reset();
  faults_.clear();
}

usb::HostResult<std::vector<usb::EnumeratedDevice>> SimBackend::enumerate() {
  using R = usb::HostResult<std::vector<usb::EnumeratedDevice>>;
  if (auto rule = faults_.take({FaultTarget::Enumerate, 0, true, 0, 0})) return R::failure(fault_host_error(*rule));
  std::vector<usb::EnumeratedDevice> out;
  for (const auto& a : hub_.adapters()) {
    const FirmwareProfile p = a->firmware().profile();
    usb::EnumeratedDevice d;
    d.vendor_id = p.vendor_id;
    d.product_id = p.product_id;
    if (auto rule = a->faults().take({FaultTarget::SerialRead, 0, true, 0, 0})) {
      d.serial_error = fault_host_error(*rule);
    } else {
      d.serial = p.serial;
    }
    d.bus_id = "sim";
    d.address = a->address();
    d.token = a;
    out.push_back(std::move(d));
  }
  return R::success(std::move(out));
}

usb::HostResult<std::shared_ptr<usb::Device>> SimBackend::open(const usb::EnumeratedDevice& device) {
  using R = usb::HostResult<std::shared_ptr<usb::Device>>;
  auto adapter = std::static_pointer_cast<SimAdapter>(device.token);
  if (!adapter) return R::failure(host_error(TransferStatus::InvalidArgument, "Invalid parameter"));
  if (auto rule = adapter->faults().take({FaultTarget::Open, 0, false, 0, 0})) {
    if (rule->action == FaultAction::Disconnect) adapter->unplug();
    return R::failure(fault_host_error(*rule));
  }
  std::lock_guard l(adapter->mu_);
  if (!adapter->plugged()) return R::failure(unplugged_error());
  // Another holder of the adapter (in this or another process) keeps it exclusively.
  if (adapter->open_)
    return R::failure(host_error(TransferStatus::Fault, "Resource busy (the device is open elsewhere)"));
  adapter->open_ = true;
  return R::success(std::make_shared<SimDevice>(adapter));
}

}  // namespace tavro::sim
