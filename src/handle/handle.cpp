// Device handle lifecycle: opening and preparing an adapter, the state checks, and close/destroy.
#include "handle/handle.hpp"

#include <set>
#include <thread>

#include "device/bus_state.hpp"
#include "device/discovery.hpp"
#include "session/bus_session.hpp"
#include "stream/bulk.hpp"

namespace tavro {
namespace {

constexpr const char* kDeviceClosed = "Device is closed";

// Every handle that open_device* made and destroy() has not released yet: the exit hook closes these. Never
// destroyed, because the exit hook may run while static destructors do.
struct OpenHandles {
  Mutex mu;
  std::set<std::weak_ptr<DeviceShared>, std::owner_less<std::weak_ptr<DeviceShared>>> handles GUARDED_BY(mu);
};
OpenHandles& open_handles() {
  static auto* table = new OpenHandles;
  return *table;
}

Op<std::shared_ptr<DeviceShared>> registered(Op<std::shared_ptr<DeviceShared>> opened) {
  if (opened.ok()) {
    OpenHandles& t = open_handles();
    LockGuard lk(t.mu);
    t.handles.insert(opened.value());
  }
  return opened;
}

// Brings a freshly opened adapter into a known state: single channel, records cached, bus stopped, controller
// reset, transmit queue flushed, stale receive data drained, timestamps zeroed.
Op<std::shared_ptr<DeviceShared>> prepare(std::shared_ptr<UsbAdapter> adapter) {
  auto info = read_device_info(*adapter);
  if (!info.ok()) return info.error();
  if (auto v = validate_device_info(info.value()); !v) return v.error();
  if (info->channel_count != 1) return OpError::refused("Only single-channel TAVRO devices are supported");
  auto caps = read_capabilities(*adapter);
  if (!caps.ok()) return caps.error();
  if (auto v = validate_capabilities(caps.value()); !v) return v.error();
  auto bt = read_bt_const(*adapter);
  if (!bt.ok()) return bt.error();
  if (auto v = validate_bt_const(bt.value()); !v) return v.error();
  if (auto s = switch_bus(*adapter, false); !s.ok()) return s.error();
  if (auto s = adapter->control_out(ControlCommand::ResetCan, 0, {}); !s.ok()) return s.error();
  // Also frees the echo ids an earlier handle's pending confirmed frames held: the flush dropped those frames.
  if (auto s = flush_and_free_echo_ids(*adapter); !s.ok()) return s.error();
  if (auto d = startup_discard(*adapter); !d.ok()) return d.error();
  // Older firmware has no timestamp reset and stalls it; that is not a reason to refuse the adapter.
  if (auto s = adapter->control_out(ControlCommand::ResetTimestamp, 0, {});
      !s.ok() && !s.error().is_usb(UsbErrorKind::Stall)) {
    return s.error();
  }
  return std::make_shared<DeviceShared>(std::move(adapter), caps.value(), std::move(bt.value()));
}

}  // namespace

DeviceShared::DeviceShared(std::shared_ptr<UsbAdapter> adapter, CapabilitiesRecord caps, BtConstRecord bt_const)
    : serial_(adapter->serial()), caps_(caps), bt_const_(std::move(bt_const)) {
  state_.adapter = std::move(adapter);
}

DeviceShared::~DeviceShared() = default;

Op<StateLock> DeviceShared::lock_state_until(TimePoint deadline) {
  StateLock lk(state_lock_, std::try_to_lock);
  if (!lk.owns_lock() && !lk.try_lock_until(deadline)) return OpError::expired(kLockTimeout);
  return lk;
}

Op<StateLock> DeviceShared::lock_state_until(TimePoint deadline, const KeepWaiting& keep_waiting) {
  for (;;) {
    StateLock lk(state_lock_, std::defer_lock);
    if (lk.try_lock_until(slice_end(deadline))) return lk;
    if (time_left(deadline) <= Duration::zero()) return OpError::expired(kLockTimeout);
    if (keep_waiting && !keep_waiting()) return OpError::interrupted();
  }
}

Op<std::shared_ptr<UsbAdapter>> DeviceShared::check_usable() {
  if (flags_->closed.load()) return OpError::refused(kDeviceClosed);
  if (state_.adapter && state_.adapter->lost() && !state_.failure) {
    // The host stack kept a cancelled request: the adapter takes no more requests until it is unplugged, so the
    // handle fails at once from now on instead of asking it again.
    state_.failure = OpError::device(DeviceError::usb(UsbErrorKind::Lost));
    flags_->failed.store(true);
    notify_bus_waiters();
  }
  // Before a stored failure: whatever else went wrong, the adapter being gone is what the caller can act on.
  if (adapter_gone()) return OpError::gone();
  if (state_.failure) return *state_.failure;
  if (!state_.adapter) return OpError::refused(kDeviceClosed);
  return state_.adapter;
}

Op<std::shared_ptr<BusSession>> DeviceShared::check_running() {
  if (auto u = check_usable(); !u.ok()) return std::move(u).error();
  if (!state_.session) return OpError::refused("CAN bus is stopped");
  return state_.session;
}

bool DeviceShared::adapter_gone() {
  if (flags_->gone.load()) return true;
  const std::shared_ptr<UsbAdapter>& a = state_.adapter;
  if (!a || a->lost() || !(a->gone() || (state_.session && state_.session->disconnected()))) return false;
  note_gone();
  return true;
}

void DeviceShared::note_gone() {
  flags_->gone.store(true);
  notify_bus_waiters();
}

OpError DeviceShared::transmit_error(const DeviceError& e, const BusSession& session) {
  // A session invalidated by an unplug reports its invalidation, and a write may fail with a transport error
  // before the workers notice: the workers' word settles it.
  if (e.is_usb(UsbErrorKind::NoDevice) || session.disconnected()) {
    note_gone();
    return OpError::gone();
  }
  return OpError::submission(e);
}

void DeviceShared::mark_failed(const DeviceError& e) {
  {
    LockGuard lk(state_lock_);
    if (!state_.failure) state_.failure = OpError::device(e);
    flags_->failed.store(true);
  }
  notify_bus_waiters();
}

void DeviceShared::notify_bus_waiters() {
  LockGuard lk(bus_mu_);
  bus_cv_.notify_all();
}

void DeviceShared::notify_periodic_tasks() { periodic_->notify_all(); }

void DeviceShared::set_filters(std::vector<FilterEntry> filters) {
  LockGuard lk(filter_mu_);
  filter_.swap(filters);
  filtering_.store(!filter_.empty(), std::memory_order_release);
}

Op<uint32_t> DeviceShared::start_periodic(std::vector<CanFrame> frames, PeriodicSchedule schedule) {
  LockGuard lk(state_lock_);
  auto session = check_running();
  if (!session.ok()) return std::move(session).error();
  if (state_.listen_only) return OpError::refused("Transmission is disabled in listen-only mode");
  schedule.generation = flags_->generation.load();
  return periodic_->start(shared_from_this(), std::move(frames), schedule);
}

void DeviceShared::gate_enter() {
  LockGuard lk(gate_mu_);
  ++gate_count_;
}

void DeviceShared::gate_leave() {
  LockGuard lk(gate_mu_);
  --gate_count_;
  gate_cv_.notify_all();
}

void DeviceShared::wait_gate_empty() {
  UniqueLock lk(gate_mu_);
  gate_cv_.wait(lk.native(), [this]() REQUIRES(gate_mu_) { return gate_count_ == 0; });
}

Op<void> DeviceShared::close() {
  Op<void> r = close_adapter();
  // Only now, with state_lock released: periodic workers take it themselves, so joining them under it could
  // wait forever.
  periodic_->stop_all();
  return r;
}

Op<void> DeviceShared::close_at_exit() {
  flags_->exiting.store(true);
  return close();
}

Op<void> DeviceShared::close_adapter() {
  StateLock lk(state_lock_);
  state_lock_.assert_held();
  if (flags_->closed.load() && !state_.adapter) return {};
  flags_->closed.store(true);
  notify_bus_waiters();

  Op<void> result;
  bool bus_off_requested = false;
  if (state_.attach_uncertain) {
    result = OpError::refused("Session attachment cleanup is uncertain; release this native handle before reopening");
  } else if (auto d = detach_session(); !d.ok()) {
    result = std::move(d);
  } else {
    if (state_.adapter) {
      clear_out_halt(*state_.adapter);  // a halt left to a write's back-off would greet the next user
      bus_off_requested = true;
      if (auto s = switch_bus(*state_.adapter, false); !s.ok()) {
        result = s.error();
      } else if (auto r = state_.adapter->control_out(ControlCommand::ResetCan, 0, {}); !r.ok()) {
        result = r.error();
      }
    }
    if (result.ok()) {
      wait_gate_empty();
      // Drop the references outside the lock: releasing the last one may join workers or wait for transfers.
      auto session = std::move(state_.session);
      auto adapter = std::move(state_.adapter);
      lk.unlock();
      session.reset();
      adapter.reset();
      return {};
    }
  }
  // A close refused before its own bus-off request (uncertain attach, failed detach) keeps the adapter, but nobody
  // drives it any more: a node left on a real bus keeps acknowledging and error-framing. Destruction and the exit
  // hook, which release it, come through here first. One request per close: a failing adapter is not asked twice.
  if (state_.adapter && !bus_off_requested) bus_off_best_effort(*state_.adapter);
  return result;
}

void DeviceShared::destroy() noexcept {
  // One close sequence only: after a failed close() the adapter is not asked again, just released.
  if (!flags_->closed.load()) (void)close();
  std::shared_ptr<BusSession> session;
  std::shared_ptr<UsbAdapter> adapter;
  {
    LockGuard lk(state_lock_);
    session = std::move(state_.session);
    adapter = std::move(state_.adapter);
  }
  session.reset();
  adapter.reset();
  periodic_->stop_all();
  OpenHandles& t = open_handles();
  LockGuard lk(t.mu);
  t.handles.erase(weak_from_this());
}

void close_open_handles_at_exit() noexcept {
  std::vector<std::shared_ptr<DeviceShared>> open;
  {
    OpenHandles& t = open_handles();
    LockGuard lk(t.mu);
    for (const auto& w : t.handles)
      if (auto h = w.lock()) open.push_back(std::move(h));
  }
  for (auto& h : open) {
    try {
      (void)h->close_at_exit();
    } catch (...) {
      // The exit hook must not end the process with an exception; the next handle still goes off the bus.
    }
  }
}

Op<Duration> remaining_until(TimePoint deadline) {
  const Duration left = time_left(deadline);
  if (left <= Duration::zero()) return OpError::expired(kDeadlineExpired);
  return left;
}

Op<std::shared_ptr<DeviceShared>> open_device(usb::Backend& backend, const std::optional<std::string>& serial) {
  auto adapter = open_by_serial(backend, serial);
  if (!adapter.ok()) return adapter.error();
  return registered(prepare(std::move(adapter.value())));
}

Op<std::shared_ptr<DeviceShared>> open_device_by_name(usb::Backend& backend, const std::string& name) {
  auto adapter = open_by_name(backend, name);
  if (!adapter.ok()) return adapter.error();
  return registered(prepare(std::move(adapter.value())));
}

}  // namespace tavro
