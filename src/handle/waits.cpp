// Waits of the handle that let go of it between their steps: the settings-persistence waits and a ticket's verdict.
//
//   shared.wait_settings_saved(deadline, keep_waiting) -> "saved" | "unchanged" | error
//   shared.set_name_and_wait(name, deadline, keep_waiting)   # bus stopped: write, read back, then the same wait
//   wait_ticket(ticket, deadline, keep_waiting) -> result | nullopt (none yet)
//
// The settings waits hold state_lock only for their requests: between two status polls they let the handle go, so
// that other callers, the exit hook and close() get through (close() ends the wait with "Device is closed"), and
// ask `keep_waiting` whether to go on (no: Interrupted).
#include <thread>

#include "device/bus_state.hpp"
#include "device/commands.hpp"
#include "handle/handle.hpp"

namespace tavro {
namespace {

// A settings wait that ran out is the caller's time-out, not a device failure.
OpError wait_error(const DeviceError& e) {
  if (e.is(DeviceError::Kind::Timeout)) return OpError::expired(kOperationTimedOut);
  return OpError::device(e);
}

// The pause between two status polls, with the handle let go.
class PollPause {
 public:
  PollPause(DeviceShared& shared, StateLock& lk, TimePoint deadline, const KeepWaiting& keep_waiting)
      : shared_(shared), lk_(lk), deadline_(deadline), keep_waiting_(keep_waiting) {}

  Status operator()(Duration pause) {
    lk_.unlock();
    std::this_thread::sleep_for(pause);  // at most one poll interval, shorter than a wait slice
    if (keep_waiting_ && !keep_waiting_()) return end(OpError::interrupted());
    auto locked = shared_.lock_state_until(deadline_, keep_waiting_);
    if (!locked.ok()) {
      // Running out of time while others held the handle is this wait running out.
      if (locked.error().kind == OpError::Kind::Expired) return end(OpError::expired(kOperationTimedOut));
      return end(std::move(locked).error());
    }
    lk_ = std::move(locked.value());
    shared_.state_lock().assert_held();
    if (auto u = shared_.check_usable(); !u.ok()) return end(std::move(u).error());
    return Ok{};
  }

  // Why a pause ended the wait, if one did: it takes precedence over the error the wait returns.
  std::optional<OpError> ended;

 private:
  Status end(OpError e) {
    ended = std::move(e);
    return DeviceError::internal("settings wait ended");
  }

  DeviceShared& shared_;
  StateLock& lk_;
  const TimePoint deadline_;
  const KeepWaiting& keep_waiting_;
};

Op<SettingsStatus> wait_saved(DeviceShared& shared, StateLock& lk, UsbAdapter& adapter, TimePoint deadline,
                              const KeepWaiting& keep_waiting) {
  PollPause pause(shared, lk, deadline, keep_waiting);
  auto saved = tavro::wait_settings_saved(adapter, deadline, std::ref(pause));
  if (pause.ended) return *pause.ended;
  if (!saved.ok()) return wait_error(saved.error());
  return saved.value();
}

}  // namespace

Op<SettingsStatus> DeviceShared::wait_settings_saved(TimePoint deadline, const KeepWaiting& keep_waiting) {
  auto locked = lock_state_until(deadline, keep_waiting);
  if (!locked.ok()) return std::move(locked).error();
  state_lock_.assert_held();
  auto usable = check_usable();
  if (!usable.ok()) return std::move(usable).error();
  return wait_saved(*this, locked.value(), *usable.value(), deadline, keep_waiting);
}

Op<SettingsStatus> DeviceShared::set_name_and_wait(const std::string& name, TimePoint deadline,
                                                   const KeepWaiting& keep_waiting) {
  auto locked = lock_state_until(deadline, keep_waiting);
  if (!locked.ok()) return std::move(locked).error();
  state_lock_.assert_held();
  auto usable = check_usable();
  if (!usable.ok()) return std::move(usable).error();
  UsbAdapter& adapter = *usable.value();

  auto left = remaining_until(deadline);
  if (!left.ok()) return std::move(left).error();
  auto bus = read_bus_state(adapter, std::min<Duration>(left.value(), kControlTimeout));
  if (!bus.ok()) return OpError::within(bus.error(), deadline);
  if (bus.value().state != protocol::kBusStopped) return OpError::refused("Settings save requires stopped CAN");

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  if (auto w = write_device_name(adapter, name); !w.ok()) return w.error();

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  auto back = get_device_name(adapter);
  if (!back.ok()) return back.error();
  if (back.value() != name) return OpError::refused("Device name readback mismatch");

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  return wait_saved(*this, locked.value(), adapter, deadline, keep_waiting);
}

Op<std::optional<TxResult>> wait_ticket(TxTicket& ticket, TimePoint deadline, const KeepWaiting& keep_waiting) {
  // In slices, asking keep_waiting between them; close() ends the wait by resolving the ticket.
  for (;;) {
    std::optional<TxResult> result = ticket.wait_until(slice_end(deadline));
    if (result || time_left(deadline) <= Duration::zero()) return result;
    if (keep_waiting && !keep_waiting()) return OpError::interrupted();
  }
}

}  // namespace tavro
