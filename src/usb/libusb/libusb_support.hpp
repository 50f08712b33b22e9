// Building blocks of the libusb backend: outcome mapping, descriptor lookup, the completion hand-off between
// libusb's event thread and a waiting caller, and the process's one libusb context with its event thread.
// Kept apart from the seam objects so the pure parts can be tested without hardware.
#pragma once

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "usb/host.hpp"

namespace tavro::usb::libusb_detail {

using Clock = std::chrono::steady_clock;

// ---- Pure mappings ----

// Outcome of a transfer that libusb handed back with `status` (a libusb_transfer_status) after moving
// `actual_length` bytes. The byte count is kept for every status: a cancelled or failed transfer may have moved
// part of its data, and the layers above must know that (partial writes, discarded reads).
TransferOutcome outcome_from_transfer_status(int status, int actual_length) noexcept;

// Outcome of a libusb call that failed with `error` (a negative libusb_error), e.g. a refused submission.
TransferOutcome outcome_from_error(int error) noexcept;

// HostError for a failed libusb call: the mapped status, the libusb code and libusb's own text.
HostError host_error(int error);

// Endpoints of interface `number`, alternate setting 0, in `config`; nullopt when the interface is not there.
// Setting 0 is the active one because this backend never selects another.
std::optional<std::vector<EndpointDescriptor>> interface_endpoints(const libusb_config_descriptor& config,
                                                                   uint8_t number);

// The descriptor of bulk endpoint `address` among `endpoints`, checked for the wanted direction.
HostResult<EndpointDescriptor> find_bulk_endpoint(std::span<const EndpointDescriptor> endpoints, uint8_t address,
                                                  bool want_in);

// Absolute deadline for a relative time-out. Negative time-outs count as zero; absurdly long ones are clamped so
// that neither the addition nor the condition variable's own clock conversion can overflow.
Clock::time_point deadline_after(Duration timeout) noexcept;

// ---- Completion hand-off ----

// The mutex and condition variable a submitter waits on. Several slots may share one (all transfers of a pipe).
struct Waiter {
  std::mutex m;
  std::condition_variable cv;
};

// A cancellation running on a thread of its own (start_cancel); `left` once libusb_cancel_transfer has returned.
struct CancelCall {
  std::mutex m;
  std::condition_variable cv;
  bool left = false;  // guarded by m
};

// One libusb transfer with its buffer and the outcome its completion leaves behind.
//
// Lifecycle: idle -> submitted (in flight) -> done (outcome stored by the callback) -> collected by the owner ->
// idle again. The transfer and the buffer belong to libusb and the kernel while submitted; the slot must not be
// destroyed or refilled until `done` has been seen, which is why every time-out cancels and then waits. A
// cancelled transfer that does not come back in time is parked: the slot hands transfer and buffer over and is
// empty from then on (valid() is false).
struct TransferSlot {
  explicit TransferSlot(Waiter& waiter);
  ~TransferSlot();  // only while not submitted (or after parking)
  TransferSlot(const TransferSlot&) = delete;
  TransferSlot& operator=(const TransferSlot&) = delete;

  bool valid() const noexcept { return transfer != nullptr; }
  // Makes the buffer at least `size` bytes long; false when the memory is not available. Only while idle.
  bool reserve(size_t size) noexcept;

  Waiter* waiter;
  libusb_transfer* transfer = nullptr;
  std::unique_ptr<uint8_t[]> buffer;
  size_t capacity = 0;
  bool done = false;                       // guarded by waiter->m
  TransferOutcome outcome;                 // guarded by waiter->m
  std::shared_ptr<CancelCall> cancelling;  // guarded by waiter->m: the cancellation last started, if any
};

// libusb completion callback of every transfer of this backend; user_data is its TransferSlot. A parked transfer
// is freed instead (its slot may be gone). Otherwise it reads the transfer's result, stores it in the slot and
// signals the waiter, all under the waiter's mutex; once it lets go of that mutex the owner may free the slot, so
// nothing is touched after that.
void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer);

// Marks `slot` as submitted-but-not-done (under its waiter's mutex, so the callback thread sees a consistent slot).
void arm(TransferSlot& slot);
// Waits until `slot` is done or `deadline` passes; true when done.
bool wait_done(TransferSlot& slot, Clock::time_point deadline);

// Cancellations of one device that are still inside libusb. On Linux a cancellation holds the device's lock in
// the kernel until the host controller gives the transfer back, so any other request of the device (a submission,
// a halt clear, a release) would wait there behind it, out of reach of every time-out; those wait here instead,
// within bounds.
class CancelGate {
 public:
  void enter();
  void leave();
  // No cancellation inside: checked before every submission, so without a lock.
  bool clear() const noexcept { return inside_.load(std::memory_order_acquire) == 0; }
  // Waits until no cancellation is inside, at most until `until`; false if one still is.
  bool wait_clear(Clock::time_point until);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<size_t> inside_{0};  // changed under m_, so that a waiter cannot miss the last leave
};

// Starts cancelling the slot's transfer on a thread of its own ("tavro-usb-cancel"), counted in `gate`, and
// returns at once: the cancellation itself may wait in the kernel (see CancelGate) for good on a broken stack, and
// the caller must be free to give up on it. At most one runs per slot at a time.
void start_cancel(TransferSlot& slot, const std::shared_ptr<CancelGate>& gate);
// Waits until the cancellation last started on `slot` has left libusb (at once if none). Needed before the slot's
// transfer is reused or freed once it is done: it then leaves promptly, as the kernel has let go of the transfer.
void wait_cancel_left(TransferSlot& slot);

// How long a cancelled transfer may take to come back. A working host stack returns one within milliseconds (a
// USB/IP link within a round trip, even on a loaded emulated machine); one still out after this long is lost in the
// host's stack. Long enough never to give up on a slow but working stack, short enough that the caller holding the
// handle (and close() behind it) gets on within one control time-out plus this.
inline constexpr std::chrono::seconds kCancelReturnLimit{5};
// What the other cancelled transfers of a device get once one of its transfers is lost: they usually come back at
// once, and tearing the device down must not wait out the whole limit again for each of them.
inline constexpr std::chrono::milliseconds kLostDeviceGrace{250};

// Waits until the cancelled `slot` is back, at most until `give_up`, with a Warn each second naming `what`. A slot
// still out then is parked (below): it keeps its waiter's owner free to go, and false is returned; the slot is then
// empty (no transfer, no buffer) and the device must be treated as lost.
bool wait_returned(TransferSlot& slot, Clock::time_point give_up, const char* what);

// Transfers that were cancelled but never came back, each with its buffer. The host stack may still write such a
// buffer, so it is never freed here; the completion callback frees transfer and buffer if the transfer ever
// returns (on unplug, typically). Process-wide and never destroyed.
class ParkingLot {
 public:
  static ParkingLot& instance();
  // Moves the slot's transfer and buffer here unless its completion has already been stored; true when parked.
  bool park(TransferSlot& slot);
  // Number of transfers still parked.
  size_t size();

 private:
  friend void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer);
  struct Parked {
    libusb_transfer* transfer;
    std::unique_ptr<uint8_t[]> buffer;
  };
  ParkingLot() = default;
  // With m_ held: frees `transfer` and its buffer if it is parked; true if it was.
  bool reclaim_locked(libusb_transfer* transfer);

  // Taken before a waiter's mutex, by the callback and by park(): a transfer is either parked or delivered to its
  // slot, never both, and a callback never reaches a slot whose owner has parked it and gone.
  std::mutex m_;
  std::vector<Parked> parked_;  // guarded by m_
};

// ---- The process's libusb context ----

// One libusb context per process plus the thread that handles its events ("tavro-usb-events"). The thread runs
// while at least one device is open (each open device is one "event user"), so a process without open devices has
// no extra thread and exits without any shutdown work. Never destroyed.
class Context {
 public:
  static Context& instance();

  // The libusb context, created on first successful use; nullptr with `*error` set if libusb could not start.
  // A failed start is retried by the next call.
  libusb_context* get(int* error);

  // Registers an event user, starting the event thread for the first. False if the thread could not be started.
  // Requires a context (get() succeeded).
  bool add_event_user();
  // Unregisters one; the last stops the event thread (interrupt, join). Must not be called with a lock held that
  // the event thread could need: the thread takes none of ours.
  void remove_event_user();

  // For tests: the number of registered event users.
  size_t event_users();

 private:
  Context() = default;
  void event_loop_on(libusb_context* ctx);

  std::mutex m_;
  std::condition_variable joined_;  // signalled when a stopping thread has been joined
  libusb_context* ctx_ = nullptr;   // guarded by m_; never changes once set
  size_t users_ = 0;                // guarded by m_
  bool stopping_ = false;           // guarded by m_: a thread is being joined outside the lock
  std::thread thread_;              // guarded by m_
  std::atomic<bool> run_{false};
};

inline constexpr const char* kEventThreadName = "tavro-usb-events";
inline constexpr const char* kCancelThreadName = "tavro-usb-cancel";

}  // namespace tavro::usb::libusb_detail
