// receive_frame's loop: waiting for the bus, taking frames from the running session's queue, the software filter.
//
//   loop:
//       closed -> "Device is closed";  failed -> "Managed session failed; close the device"
//       take state_lock for a slice;  check_usable
//       bus stopped: wait on bus_waiters for a slice (a bus start, a configuration change or close() wakes it)
//       running: enter the gate, let go of state_lock, wait on the queue for a slice, leave the gate
//       a frame from an older data path (generation changed) is dropped; one the filter refuses is skipped
//   between slices, with no lock held, keep_waiting() may end the wait; a frame already taken is returned.
#include <algorithm>

#include "handle/handle.hpp"
#include "session/tx_session.hpp"

namespace tavro {
namespace {
constexpr const char* kDeviceClosed = "Device is closed";
constexpr const char* kSessionFailed = "Managed session failed; close the device";
}  // namespace

Op<std::optional<CanFrame>> DeviceShared::receive(TimePoint deadline, const KeepWaiting& keep_waiting) {
  SessionFlags& flags = *flags_;
  auto go_on = [&] { return !keep_waiting || keep_waiting(); };
  if (flags.closed.load()) return OpError::runtime(kDeviceClosed);
  for (;;) {
    if (flags.failed.load()) return OpError::runtime(kSessionFailed);
    // A slice at a time: whoever holds the handle (a configuration request) does not keep Ctrl-C out.
    auto locked = lock_state_until(slice_end(deadline));
    if (!locked.ok()) {
      if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
      if (!go_on()) return OpError::interrupted();
      continue;
    }
    StateLock lk = std::move(locked.value());
    if (auto u = check_usable(); !u.ok()) return std::move(u).error();
    std::shared_ptr<TxSession> session = state_.session;
    const uint64_t generation = flags.generation.load();
    if (!session) {
      lk.unlock();
      if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
      {
        std::unique_lock<std::mutex> bw(bus_mu_);
        if (!flags.closed.load() && !flags.failed.load() && flags.generation.load() == generation)
          bus_cv_.wait_until(bw, slice_end(deadline));
      }
      if (!go_on()) return OpError::interrupted();
      continue;
    }
    gate_enter();
    lk.unlock();
    Result<CanFrame> r = session->receive(slice_end(deadline));
    session.reset();
    gate_leave();

    if (flags.closed.load()) return OpError::runtime(kDeviceClosed);
    if (flags.failed.load()) return OpError::runtime(kSessionFailed);
    if (flags.generation.load() != generation) continue;  // data path changed: drop what came from the old one
    if (!r.ok()) {
      if (r.error().is(DeviceError::Kind::Timeout)) {
        if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
        if (!go_on()) return OpError::interrupted();  // nothing was taken from the queue
        continue;
      }
      return r.error();
    }
    bool accepted;
    {
      std::lock_guard<std::mutex> fl(filter_mu_);
      accepted = filter_accepts(filter_, r.value());
    }
    if (accepted) return std::optional<CanFrame>(r.value());
    if (time_left(deadline) <= Duration::zero()) return std::optional<CanFrame>();
  }
}

}  // namespace tavro
