// The device handle's shared control block and the operations every method is written against.
//
//   shared = open_device(backend, serial=None | name=...)   # select, open, prepare; bus stopped, no threads
//   with shared.lock_state_until(deadline) as state:          # state_lock serialises configuration and requests
//       adapter = shared.check_usable()                       # "Device is closed" / stored failure message
//   shared.close()                                            # detach, bus off, reset, release USB
//
// Principle: nothing a caller, a signal or a log handler does can hang, crash or stall a handle. No Python code
// runs while a driver lock is held or on a thread that another thread may join; no blocking wait ignores Ctrl-C;
// no wait on one handle lasts longer than the caller's own deadline, or than one 1 s control time-out for anybody
// else. How it is met:
//   - Log records never call Python where they are logged: a caller's records are handed over as its method
//     returns (no driver lock held), everybody else's by the "tavro-log" thread, which nobody joins.
//   - Long waits (receive, ticket, send/submit, settings waits, waiting for state_lock) run in slices of at most
//     kWaitSlice; between slices they hold no driver lock, take the interpreter lock back and run the pending
//     signal handlers (a raise ends the wait; a frame already taken from the queue is returned, never dropped).
//   - state_lock is held for one request at a time, at most one control time-out: a write waiting for room on
//     the adapter holds only the bulk OUT endpoint lock, for a slice at a time; settings waits let go of the
//     handle between polls; receivers take state_lock a slice at a time and never wait for senders.
//   - close() sets `closed`, wakes the bus waiters, stops the session (whose `stopping` flag cancels a write in
//     flight and whose shutdown resolves every ticket): every waiter of the handle sees it within a slice and
//     gets "Device is closed" (a ticket: uncertain, session_closed).
//   - The host's USB stack is waited for within bounds too: a cancelled transfer gets 5 s to come back (the
//     libusb backend's kCancelReturnLimit; cancellations run on threads of their own, because on Linux the
//     cancellation itself waits in the kernel, and other requests of the device wait for them in user space).
//     One the stack keeps is parked with its buffer and the adapter is lost (UsbErrorKind::Lost): every later
//     request fails at once, check_usable fails the handle with that text, and close() returns with an error.
//   - Threads that come back into a finalising interpreter park instead of taking the interpreter lock; the
//     frames a forced unwind may still cross are not noexcept.
//
// Lock order: state_lock -> (session transmit lock -> session state mutex -> ticket mutex); the adapter's bulk
// OUT endpoint lock comes after state_lock (a periodic worker writes under it, within its 50 ms budget) and is
// never taken with the transmit lock held; the receive_gate, bus_waiters and periodic table mutexes are taken
// inside state_lock or alone, the filter mutex alone, the receive queue's mutex inside state_lock or alone; the table
// of open handles (handle.cpp) is a leaf, taken alone. Detach (under state_lock) joins only the session's workers,
// which never take any of these locks nor the interpreter lock; periodic workers (periodic.hpp), which do take
// state_lock, are joined only after it is released. No thread waits for a driver lock while holding the
// interpreter lock (receive_ready only tries state_lock; the other locks it may take, the receive queue's, the
// filter's and bus_waiters, are held only by threads that wait for nothing meanwhile), and no thread takes the
// interpreter lock while holding a driver lock.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/deadline.hpp"
#include "core/sync.hpp"
#include "device/adapter.hpp"
#include "device/records.hpp"
#include "device/settings.hpp"
#include "handle/frames.hpp"
#include "handle/op_error.hpp"
#include "handle/periodic.hpp"
#include "session/ticket.hpp"
#include "usb/host.hpp"

namespace tavro {

class BusSession;

// state_lock: a timed mutex, so that a caller with a deadline waits in the kernel's queue (fair, no polling) and
// gives up exactly at its deadline.
using StateMutex = TimedMutex;
using StateLock = std::unique_lock<StateMutex>;

// The handle's flags that any thread reads without a lock: the session generation, and whether the handle is
// closed, failed or unplugged. They belong to the handle and outlive every session.
struct HandleFlags {
  std::atomic<uint64_t> generation{0};  // grows at the start of every detach and the end of every attach
  std::atomic<bool> closed{false};      // set by close(); never cleared
  std::atomic<bool> failed{false};      // endpoints in an unknown state; never cleared
  std::atomic<bool> gone{false};        // the adapter was unplugged; never cleared
  std::atomic<bool> exiting{false};     // closed by the exit hook: receivers end quietly (set before `closed`)
};

// How the caller of a long wait decides, between two slices, whether to go on (false: stop, Interrupted).
using KeepWaiting = std::function<bool()>;

enum LifetimeCounter : size_t {
  kRxFrames = 0,
  kTxFrames = 1,
  kRxBytes = 2,
  kTxBytes = 3,
  kRxOverruns = 4,
  kBusWarnings = 5,
  kBusOffs = 6,
  kRxStreamDrops = 7,  // received records dropped because the stream was out of step
  kCounterCount = 8,
};
using Counters = std::array<uint64_t, kCounterCount>;

inline uint64_t saturating_add(uint64_t a, uint64_t b) noexcept { return a + b < a ? UINT64_MAX : a + b; }

// Guarded by DeviceShared::state_lock.
struct DeviceState {
  std::optional<OpError> failure;       // what every later operation that needs the device fails with
  std::shared_ptr<UsbAdapter> adapter;  // the opened adapter, from open until close
  std::shared_ptr<BusSession> session;  // present only while the bus is on
  Counters lifetime_counters{};
  uint32_t confirmation_mode = 0;
  bool listen_only = false;
  bool attach_uncertain = false;
  bool own_frames = false;  // every session attached hands sent frames to the receivers too
  // The mode word this handle's caller last asked for (set_mode / configure_modes); absent until then. Tells a
  // listen-only bit the caller chose from one left behind by an earlier user of the adapter.
  std::optional<uint32_t> requested_mode;
};

class DeviceShared : public std::enable_shared_from_this<DeviceShared> {
 public:
  DeviceShared(std::shared_ptr<UsbAdapter> adapter, CapabilitiesRecord caps, BtConstRecord bt_const);
  ~DeviceShared();
  DeviceShared(const DeviceShared&) = delete;
  DeviceShared& operator=(const DeviceShared&) = delete;

  const std::shared_ptr<HandleFlags>& flags() const noexcept { return flags_; }
  const CapabilitiesRecord& capabilities() const noexcept { return caps_; }
  const BtConstRecord& bt_const() const noexcept { return bt_const_; }
  const std::string& serial() const noexcept { return serial_; }

  StateMutex& state_lock() noexcept RETURN_CAPABILITY(state_lock_) { return state_lock_; }
  // Only with state_lock held.
  DeviceState& state() noexcept REQUIRES(state_lock_) { return state_; }

  // Takes state_lock, waiting at most until the deadline.
  Op<StateLock> lock_state_until(TimePoint deadline);
  // The same in slices; between them (no lock held) `keep_waiting` may end the wait: Interrupted.
  Op<StateLock> lock_state_until(TimePoint deadline, const KeepWaiting& keep_waiting);

  // All of these need state_lock held.
  Op<std::shared_ptr<UsbAdapter>> check_usable() REQUIRES(state_lock_);
  Op<std::shared_ptr<BusSession>> check_running() REQUIRES(state_lock_);
  Op<void> check_no_pending_tickets() REQUIRES(state_lock_);
  Op<void> attach_session() REQUIRES(state_lock_);
  Op<void> detach_session() REQUIRES(state_lock_);

  // Fails the handle with `e` (takes state_lock): every later operation that needs the device says so.
  void mark_failed(const DeviceError& e) EXCLUDES(state_lock_);
  // What a failed transmission on `session` tells its caller (no lock needed): an unplugged adapter says so
  // (OpError::gone, and the handle remembers it), a Timeout is a submission of uncertain fate, the rest as is.
  OpError transmit_error(const DeviceError& e, const BusSession& session);

  void notify_bus_waiters();
  // Stops every periodic task of this handle (sets flags and wakes; never joins, never blocks on state_lock).
  void notify_periodic_tasks();

  // receive_frame: the next received frame that the software filter accepts, or nullopt once `deadline` has
  // passed. Waits in slices (bus stopped: for a bus start; running: on the session's queue) and holds no lock
  // between them, when `keep_waiting` may end the wait (Interrupted); a frame taken from the queue is always
  // returned, never dropped for a signal. See receive.cpp for the order of the checks.
  Op<std::optional<CanFrame>> receive(TimePoint deadline, const KeepWaiting& keep_waiting = {});
  // receive()'s first step for a caller that must not wait (it holds the interpreter lock): the next queued frame,
  // taken only if state_lock is free this instant and the handle runs normally. Waits for nothing but the queue's
  // and the filter's mutexes (and bus_waiters when it notes an unplug), whose holders never wait. Frame: *out is
  // a frame the filter accepts; Refused: the frame taken was refused; Empty: nothing queued; Undecided: receive()
  // must decide (state_lock busy, closed, failed, unplugged, bus stopped, the queue ended).
  enum class Ready { Frame, Refused, Empty, Undecided };
  Ready receive_ready(CanFrame* out) EXCLUDES(state_lock_);
  // The software receive filter (set_filters / clear_filters); an empty list accepts everything.
  void set_filters(std::vector<FilterEntry> filters);

  // Settings persistence (waits.cpp): wait until the adapter reports its settings saved ("saved" or
  // "unchanged"; a wait that runs out: "Operation timed out"), after writing and reading back a new name for
  // set_name_and_wait (bus stopped). state_lock is let go between polls.
  Op<SettingsStatus> wait_settings_saved(TimePoint deadline, const KeepWaiting& keep_waiting = {});
  Op<SettingsStatus> set_name_and_wait(const std::string& name, TimePoint deadline,
                                       const KeepWaiting& keep_waiting = {});

  // Periodic tasks. start_periodic takes state_lock (waiting as long as it takes) and needs the bus running and
  // transmission allowed; the rest never take state_lock.
  Op<uint32_t> start_periodic(std::vector<CanFrame> frames, PeriodicSchedule schedule) EXCLUDES(state_lock_);
  PeriodicTable& periodic() noexcept { return *periodic_; }

  // Receivers waiting while the bus is stopped.
  Mutex& bus_waiters_mutex() noexcept RETURN_CAPABILITY(bus_mu_) { return bus_mu_; }
  std::condition_variable& bus_waiters_cv() noexcept { return bus_cv_; }

  // Receivers blocked on the session's queue; detach waits until none is left.
  void gate_enter() REQUIRES(state_lock_);
  void gate_leave();
  void wait_gate_empty();

  // Lifetime receive-queue overruns plus the running session's (state_lock held).
  uint64_t dropped_frames() REQUIRES(state_lock_);
  // Lifetime counters with the running session's added in (state_lock held).
  Counters counters_now() REQUIRES(state_lock_);

  // The reconfiguration sequence (takes state_lock): pending-ticket check, stop periodic tasks, detach, bus off
  // if this handle had started it, `command`, then re-attach if a session existed and `restart` is set.
  // `discards_queue`: the command empties the adapter's transmit queue (reset, flush), so pending tickets are no
  // reason to refuse it; the detach resolves them as uncertain.
  Op<void> reconfigure(const std::function<Op<void>(UsbAdapter&)>& command, bool restart = true,
                       bool discards_queue = false) EXCLUDES(state_lock_);
  // The same with state_lock already held.
  Op<void> reconfigure_locked(const std::function<Op<void>(UsbAdapter&)>& command, bool restart = true,
                              bool discards_queue = false) REQUIRES(state_lock_);
  // Bus start (takes state_lock): attach the session, wake receivers waiting for the bus.
  Op<void> bus_on() EXCLUDES(state_lock_);
  // Bus stop (takes state_lock): detach, switch the bus off with verification.
  Op<void> bus_off() EXCLUDES(state_lock_);

  // close(): idempotent once it succeeded. Stops and joins the periodic workers after releasing state_lock.
  Op<void> close() EXCLUDES(state_lock_);
  // close() by the exit hook: the bus must still go off, but receivers blocked in receive() (reader threads
  // the program never stopped) go on waiting for a frame that never comes, instead of failing.
  Op<void> close_at_exit() EXCLUDES(state_lock_);
  // Destruction path: close ignoring errors unless a close() already ran, then release session and adapter
  // unconditionally.
  void destroy() noexcept;

 private:
  void add_session_counters(const BusSession& session) REQUIRES(state_lock_);
  // Whether the adapter is known to be unplugged (state_lock held); remembers it in flags().gone.
  bool adapter_gone() REQUIRES(state_lock_);
  void note_gone();
  Op<void> close_adapter();

  const std::string serial_;
  const std::shared_ptr<HandleFlags> flags_ = std::make_shared<HandleFlags>();
  const CapabilitiesRecord caps_;
  const BtConstRecord bt_const_;

  StateMutex state_lock_ ACQUIRED_BEFORE(bus_mu_, gate_mu_);
  DeviceState state_ GUARDED_BY(state_lock_);

  Mutex bus_mu_;
  std::condition_variable bus_cv_;

  Mutex gate_mu_;
  uint64_t gate_count_ GUARDED_BY(gate_mu_) = 0;
  std::condition_variable gate_cv_;

  Mutex filter_mu_;
  std::vector<FilterEntry> filter_ GUARDED_BY(filter_mu_);
  std::atomic<bool> filtering_{false};  // filter_ is not empty (written under filter_mu_): else no lock to take

  // Shared with the workers, which reach it only weakly once they have let go of the device.
  const std::shared_ptr<PeriodicTable> periodic_ = std::make_shared<PeriodicTable>();
};

// A confirmed transmission's verdict, awaited until `deadline` in slices (nullopt: none yet); between slices
// `keep_waiting` may end the wait (Interrupted). close() ends it by resolving the ticket.
Op<std::optional<TxResult>> wait_ticket(TxTicket& ticket, TimePoint deadline, const KeepWaiting& keep_waiting = {});

// Time left, or "Operation deadline expired".
Op<Duration> remaining_until(TimePoint deadline);

// Opens and prepares an adapter: by serial (nullopt: the only valid adapter) or by stored name.
Op<std::shared_ptr<DeviceShared>> open_device(usb::Backend& backend, const std::optional<std::string>& serial);
Op<std::shared_ptr<DeviceShared>> open_device_by_name(usb::Backend& backend, const std::string& name);

// The exit hook: close_at_exit() on every handle that open_device* made and destroy() has not released yet, so
// that what the program left open goes off the bus. Never blocks on a handle's lock longer than its close does.
void close_open_handles_at_exit() noexcept;

}  // namespace tavro
