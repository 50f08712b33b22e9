// receive_frame's loop: waiting for the bus, taking frames from the running session's queue, the software filter.
//
//   loop:
//       closed -> "Device is closed" (closed by the exit hook: wait out the deadline, return nothing)
//       failed -> "Managed session failed; close the device"
//       take state_lock for a slice;  the same checks again;  check_usable (unplugged: the queue is drained first,
//       then OpError::gone())
//       bus stopped: wait on bus_waiters for a slice (a bus start, a configuration change or close() wakes it)
//       running: enter the gate, let go of state_lock, wait on the queue for a slice, leave the gate
//       a frame from an older data path (generation changed) is dropped; one the filter refuses is skipped
//   between slices, with no lock held, keep_waiting() may end the wait; a frame already taken is returned.
#include <algorithm>

#include "handle/handle.hpp"
#include "session/bus_session.hpp"

namespace tavro {
namespace {
constexpr const char* kDeviceClosed = "Device is closed";
constexpr const char* kSessionFailed = "Managed session failed; close the device";
}  // namespace

Op<std::optional<CanFrame>> DeviceShared::receive(TimePoint deadline, const KeepWaiting& keep_waiting) {
  using Received = Op<std::optional<CanFrame>>;
  HandleFlags& flags = *flags_;
  auto go_on = [&] { return !keep_waiting || keep_waiting(); };
  // What ends every receive of this handle for good, checked between any two steps. A receiver that waited for
  // state_lock while an attach failed must see what a later one sees, not the attach's own text.
  auto ended = [&]() -> std::optional<Received> {
    if (flags.closed.load()) {
      if (!flags.exiting.load()) return Received(OpError::refused(kDeviceClosed));
      // The process is ending under a reader thread the program never stopped (a Notifier, a protocol stack's
      // reader): it waits as if no frame came, as it would on any other interface, until the interpreter stops
      // it, instead of failing into a traceback on the way out.
      while (time_left(deadline) > Duration::zero()) {
        {
          UniqueLock bw(bus_mu_);
          bus_cv_.wait_until(bw.native(), slice_end(deadline));
        }
        if (!go_on()) return Received(OpError::interrupted());
      }
      return Received(std::optional<CanFrame>());
    }
    if (flags.failed.load()) return Received(OpError::refused(kSessionFailed));
    return std::nullopt;
  };
  for (;;) {
    if (auto e = ended()) return std::move(*e);
    // A slice at a time: whoever holds the handle (a configuration request) does not keep Ctrl-C out.
    auto locked = lock_state_until(slice_end(deadline));
    if (!locked.ok()) {
      if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
      if (!go_on()) return OpError::interrupted();
      continue;
    }
    StateLock lk = std::move(locked.value());
    state_lock_.assert_held();
    if (flags.closed.load() || flags.failed.load()) {
      lk.unlock();
      if (auto e = ended()) return std::move(*e);
    }
    std::shared_ptr<BusSession> session = state_.session;
    // After an unplug the frames already received are still handed out; the queue's end says the rest.
    if (auto u = check_usable(); !u.ok() && !(u.error().kind == OpError::Kind::Gone && session))
      return std::move(u).error();
    const uint64_t generation = flags.generation.load();
    if (!session) {
      lk.unlock();
      if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
      {
        UniqueLock bw(bus_mu_);
        if (!flags.closed.load() && !flags.failed.load() && !flags.gone.load() && flags.generation.load() == generation)
          bus_cv_.wait_until(bw.native(), slice_end(deadline));
      }
      if (!go_on()) return OpError::interrupted();
      continue;
    }
    gate_enter();
    lk.unlock();
    Result<CanFrame> r = session->receive(slice_end(deadline));
    const bool disconnected = session->disconnected();
    session.reset();
    gate_leave();

    if (auto e = ended()) return std::move(*e);
    if (flags.generation.load() != generation) continue;  // data path changed: drop what came from the old one
    if (!r.ok()) {
      if (r.error().is(DeviceError::Kind::Timeout)) {
        if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
        if (!go_on()) return OpError::interrupted();  // nothing was taken from the queue
        continue;
      }
      // The queue ends (or the session is invalid) after an unplug: say so, in the words every operation uses.
      if (disconnected || flags.gone.load()) {
        note_gone();
        return OpError::gone();
      }
      return r.error();
    }
    bool accepted;
    {
      LockGuard fl(filter_mu_);
      accepted = filter_accepts(filter_, r.value());
    }
    if (accepted) return std::optional<CanFrame>(r.value());
    if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
  }
}

DeviceShared::Ready DeviceShared::receive_ready(CanFrame* out) {
  if (flags_->closed.load() || flags_->failed.load()) return Ready::Undecided;
  std::optional<Result<CanFrame>> r;
  {
    // Held across the pop, so no detach can come between (no gate needed) and the generation cannot change.
    StateLock lk(state_lock_, std::try_to_lock);
    if (!lk.owns_lock()) return Ready::Undecided;
    state_lock_.assert_held();
    if (!state_.session || !check_usable().ok()) return Ready::Undecided;
    r.emplace(state_.session->receive(TimePoint::min()));
  }
  if (!r->ok()) return r->error().is(DeviceError::Kind::Timeout) ? Ready::Empty : Ready::Undecided;
  if (filtering_.load(std::memory_order_acquire)) {
    LockGuard fl(filter_mu_);
    if (!filter_accepts(filter_, r->value())) return Ready::Refused;
  }
  *out = r->value();
  return Ready::Frame;
}

}  // namespace tavro
