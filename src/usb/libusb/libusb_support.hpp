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

// One libusb transfer with its buffer and the outcome its completion leaves behind.
//
// Lifecycle: idle -> submitted (in flight) -> done (outcome stored by the callback) -> collected by the owner ->
// idle again. The transfer and the buffer belong to libusb and the kernel while submitted; the slot must not be
// destroyed or refilled until `done` has been seen, which is why every time-out cancels and then waits.
struct TransferSlot {
  explicit TransferSlot(Waiter& waiter);
  ~TransferSlot();  // only while not submitted
  TransferSlot(const TransferSlot&) = delete;
  TransferSlot& operator=(const TransferSlot&) = delete;

  bool valid() const noexcept { return transfer != nullptr; }
  // Makes the buffer at least `size` bytes long; false when the memory is not available. Only while idle.
  bool reserve(size_t size) noexcept;

  Waiter* waiter;
  libusb_transfer* transfer = nullptr;
  std::unique_ptr<uint8_t[]> buffer;
  size_t capacity = 0;
  bool done = false;         // guarded by waiter->m
  TransferOutcome outcome;   // guarded by waiter->m
};

// libusb completion callback of every transfer of this backend; user_data is its TransferSlot. It reads the
// transfer's result, stores it in the slot and signals the waiter, all under the waiter's mutex; once it lets go of
// that mutex the owner may free the slot, so nothing is touched after that.
void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer);

// Marks `slot` as submitted-but-not-done (under its waiter's mutex, so the callback thread sees a consistent slot).
void arm(TransferSlot& slot);
// Waits until `slot` is done or `deadline` passes; true when done.
bool wait_done(TransferSlot& slot, Clock::time_point deadline);
// Waits without limit until `slot` is done, after it has been cancelled. A transfer that does not come back means
// a stuck host stack; that is logged at Warn once per second, naming `what`, rather than freeing memory the kernel
// may still write.
void wait_returned(TransferSlot& slot, const char* what);

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
  std::condition_variable joined_;   // signalled when a stopping thread has been joined
  libusb_context* ctx_ = nullptr;    // guarded by m_; never changes once set
  size_t users_ = 0;                 // guarded by m_
  bool stopping_ = false;            // guarded by m_: a thread is being joined outside the lock
  std::thread thread_;               // guarded by m_
  std::atomic<bool> run_{false};
};

// Names the calling thread; Linux keeps only the first 15 bytes of a thread name, so longer names are cut there.
void set_current_thread_name(const char* name) noexcept;

inline constexpr const char* kEventThreadName = "tavro-usb-events";

}  // namespace tavro::usb::libusb_detail
