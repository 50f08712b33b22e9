// Outcome mapping, descriptor lookup, the completion hand-off and the libusb context with its event thread.
#include "usb/libusb/libusb_support.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <string>

#include "core/log.hpp"
#include "platform/platform.hpp"

namespace tavro::usb::libusb_detail {

TransferOutcome outcome_from_transfer_status(int status, int actual_length) noexcept {
  TransferOutcome o;
  o.actual = actual_length > 0 ? static_cast<size_t>(actual_length) : 0;
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: o.status = TransferStatus::Completed; break;
    // libusb's own time-out is never set by this backend, but if it fires it means the same as our cancel.
    case LIBUSB_TRANSFER_CANCELLED:
    case LIBUSB_TRANSFER_TIMED_OUT: o.status = TransferStatus::Cancelled; break;
    case LIBUSB_TRANSFER_STALL: o.status = TransferStatus::Stall; break;
    case LIBUSB_TRANSFER_NO_DEVICE: o.status = TransferStatus::Disconnected; break;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_OVERFLOW: o.status = TransferStatus::Fault; break;
    default:
      o.status = TransferStatus::Unknown;
      o.os_code = status;
      break;
  }
  return o;
}

TransferOutcome outcome_from_error(int error) noexcept {
  TransferOutcome o;
  switch (error) {
    case LIBUSB_SUCCESS: o.status = TransferStatus::Completed; break;
    case LIBUSB_ERROR_NO_DEVICE: o.status = TransferStatus::Disconnected; break;
    case LIBUSB_ERROR_INVALID_PARAM: o.status = TransferStatus::InvalidArgument; break;
    case LIBUSB_ERROR_PIPE: o.status = TransferStatus::Stall; break;
    default:
      o.status = TransferStatus::Unknown;
      o.os_code = error;
      break;
  }
  return o;
}

HostError host_error(int error) {
  // The code is kept for every status, not only Unknown: it is what a bug report needs.
  return HostError{outcome_from_error(error).status, error, libusb_strerror(error), error == LIBUSB_ERROR_ACCESS};
}

std::optional<std::vector<EndpointDescriptor>> interface_endpoints(const libusb_config_descriptor& config,
                                                                   uint8_t number) {
  // Search by bInterfaceNumber: the position in the array is not guaranteed to match it.
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& itf = config.interface[i];
    if (itf.num_altsetting < 1 || itf.altsetting == nullptr) continue;
    const libusb_interface_descriptor& alt = itf.altsetting[0];
    if (alt.bInterfaceNumber != number) continue;
    std::vector<EndpointDescriptor> out;
    out.reserve(alt.bNumEndpoints);
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      EndpointDescriptor d;
      d.address = ep.bEndpointAddress;
      d.type = static_cast<EndpointType>(ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK);
      // Bits 11-12 are the high-bandwidth multiplier of periodic endpoints, not part of the packet size.
      d.max_packet_size = static_cast<uint16_t>(ep.wMaxPacketSize & 0x07FF);
      out.push_back(d);
    }
    return out;
  }
  return std::nullopt;
}

HostResult<EndpointDescriptor> find_bulk_endpoint(std::span<const EndpointDescriptor> endpoints, uint8_t address,
                                                  bool want_in) {
  char text[96];
  for (const EndpointDescriptor& d : endpoints) {
    if (d.address != address) continue;
    if (d.type != EndpointType::Bulk) {
      std::snprintf(text, sizeof text, "endpoint 0x%02x is not a bulk endpoint", address);
      return HostResult<EndpointDescriptor>::failure(
          {TransferStatus::InvalidArgument, LIBUSB_ERROR_INVALID_PARAM, text});
    }
    const bool is_in = (address & LIBUSB_ENDPOINT_IN) != 0;
    if (is_in != want_in) {
      std::snprintf(text, sizeof text, "endpoint 0x%02x is not an %s endpoint", address, want_in ? "IN" : "OUT");
      return HostResult<EndpointDescriptor>::failure(
          {TransferStatus::InvalidArgument, LIBUSB_ERROR_INVALID_PARAM, text});
    }
    return HostResult<EndpointDescriptor>::success(d);
  }
  std::snprintf(text, sizeof text, "endpoint 0x%02x is not described by the interface", address);
  return HostResult<EndpointDescriptor>::failure({TransferStatus::InvalidArgument, LIBUSB_ERROR_NOT_FOUND, text});
}

Clock::time_point deadline_after(Duration timeout) noexcept {
  // A century is "forever" for a USB wait and stays far from the clock's range.
  constexpr Duration kMax = std::chrono::hours(24 * 365 * 100);
  const auto now = Clock::now();
  if (timeout <= Duration::zero()) return now;
  return now + std::chrono::duration_cast<Clock::duration>(timeout < kMax ? timeout : kMax);
}

// ---- Completion hand-off ----

TransferSlot::TransferSlot(Waiter& w) : waiter(&w), transfer(libusb_alloc_transfer(0)) {}

TransferSlot::~TransferSlot() {
  if (transfer == nullptr) return;  // never made, or parked
  // Not in flight any more, so a cancellation still inside libusb leaves promptly; it must before the free.
  wait_cancel_left(*this);
  libusb_free_transfer(transfer);
}

bool TransferSlot::reserve(size_t size) noexcept {
  if (size <= capacity && buffer) return true;
  // At least one byte, so that a zero-length transfer still has a valid buffer pointer.
  const size_t n = size > 0 ? size : 1;
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[n]);
  if (!fresh) return false;
  buffer = std::move(fresh);
  capacity = n;
  return true;
}

void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer) {
  // Hand over hand: the parking lot's lock is held until the waiter's is, so that park() either sees this
  // completion stored or has parked the transfer before we look (and its owner may be gone by then).
  ParkingLot& lot = ParkingLot::instance();
  std::unique_lock<std::mutex> parking(lot.m_);
  if (lot.reclaim_locked(transfer)) return;
  auto* slot = static_cast<TransferSlot*>(transfer->user_data);
  const TransferOutcome outcome = outcome_from_transfer_status(transfer->status, transfer->actual_length);
  Waiter* w = slot->waiter;
  std::lock_guard<std::mutex> lock(w->m);
  parking.unlock();
  slot->outcome = outcome;
  slot->done = true;
  // Notify while still holding the mutex: the owner may free the slot, and the waiter with it, the moment it
  // can see `done`, so after unlocking this callback must not touch anything.
  w->cv.notify_all();
}

void arm(TransferSlot& slot) {
  std::lock_guard<std::mutex> lock(slot.waiter->m);
  slot.done = false;
  slot.outcome = TransferOutcome{};
}

bool wait_done(TransferSlot& slot, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(slot.waiter->m);
  return slot.waiter->cv.wait_until(lock, deadline, [&] { return slot.done; });
}

void CancelGate::enter() {
  std::lock_guard<std::mutex> lock(m_);
  inside_.fetch_add(1, std::memory_order_relaxed);
}

void CancelGate::leave() {
  std::lock_guard<std::mutex> lock(m_);
  inside_.fetch_sub(1, std::memory_order_release);
  cv_.notify_all();
}

bool CancelGate::wait_clear(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_until(lock, until, [&] { return clear(); });
}

void start_cancel(TransferSlot& slot, const std::shared_ptr<CancelGate>& gate) {
  libusb_transfer* const transfer = slot.transfer;
  if (transfer == nullptr) return;
  auto call = std::make_shared<CancelCall>();
  {
    std::lock_guard<std::mutex> lock(slot.waiter->m);
    if (slot.cancelling) {
      std::lock_guard<std::mutex> running(slot.cancelling->m);
      if (!slot.cancelling->left) return;  // one at a time: a second would only queue behind it in libusb
    }
    slot.cancelling = call;
  }
  gate->enter();
  const auto run = [call, transfer, gate] {
    // The transfer outlives this call: its owner waits for `left` before reusing or freeing it, and a parked
    // transfer is freed by its completion, which libusb runs only after this call has let go of the transfer.
    libusb_cancel_transfer(transfer);
    gate->leave();
    std::lock_guard<std::mutex> lock(call->m);
    call->left = true;
    call->cv.notify_all();
  };
  try {
    std::thread([run] {
      platform::name_current_thread(kCancelThreadName);
      run();
    }).detach();  // nobody joins it: it may stay in the kernel until the device goes away
  } catch (const std::system_error&) {
    run();  // no thread to spare: cancel here, as a working stack returns at once
  }
}

void wait_cancel_left(TransferSlot& slot) {
  std::shared_ptr<CancelCall> call;
  {
    std::lock_guard<std::mutex> lock(slot.waiter->m);
    call = std::move(slot.cancelling);
  }
  if (!call) return;
  std::unique_lock<std::mutex> lock(call->m);
  call->cv.wait(lock, [&] { return call->left; });
}

bool wait_returned(TransferSlot& slot, Clock::time_point give_up, const char* what) {
  // Bounded, because the caller holds the handle: a host stack that never gives the transfer back would otherwise
  // hang every method, close() and the interpreter's exit. Freeing the buffer is no way out either (the kernel
  // may still write it), hence parking.
  for (int waited_s = 0;; ++waited_s) {
    const auto step = std::min(give_up, Clock::now() + std::chrono::seconds(1));
    if (wait_done(slot, step)) {
      wait_cancel_left(slot);
      return true;
    }
    if (Clock::now() >= give_up) break;
    // Logged without the waiter's mutex: a log sink may block.
    TAVRO_LOG(log::Target::Device, log::Level::Warn,
              std::string("still waiting for a cancelled ") + what + " transfer to return (" +
                  std::to_string(waited_s + 1) + " s)");
  }
  if (ParkingLot::instance().park(slot)) return false;
  wait_cancel_left(slot);  // it came back at the last moment
  return true;
}

ParkingLot& ParkingLot::instance() {
  // Leaked on purpose: a parked transfer may come back on the event thread while the process exits.
  static ParkingLot* const lot = new ParkingLot();
  return *lot;
}

bool ParkingLot::park(TransferSlot& slot) {
  std::lock_guard<std::mutex> parking(m_);
  std::lock_guard<std::mutex> lock(slot.waiter->m);
  if (slot.done || slot.transfer == nullptr) return false;
  parked_.push_back(Parked{slot.transfer, std::move(slot.buffer)});
  slot.transfer = nullptr;
  slot.cancelling.reset();  // the cancelling thread keeps its own reference
  slot.capacity = 0;
  return true;
}

size_t ParkingLot::size() {
  std::lock_guard<std::mutex> parking(m_);
  return parked_.size();
}

bool ParkingLot::reclaim_locked(libusb_transfer* transfer) {
  for (auto it = parked_.begin(); it != parked_.end(); ++it) {
    if (it->transfer != transfer) continue;
    libusb_free_transfer(transfer);  // allowed from its own callback; the buffer goes with the entry
    parked_.erase(it);
    return true;
  }
  return false;
}

// ---- The process's libusb context ----

Context& Context::instance() {
  // Leaked on purpose: destroying it at exit would have to stop a running event thread from a static destructor.
  static Context* const ctx = new Context();
  return *ctx;
}

libusb_context* Context::get(int* error) {
  std::lock_guard<std::mutex> lock(m_);
  if (ctx_ == nullptr) {
    libusb_context* fresh = nullptr;
    const int rc = libusb_init(&fresh);
    if (rc != LIBUSB_SUCCESS) {
      if (error != nullptr) *error = rc;
      return nullptr;
    }
    ctx_ = fresh;
  }
  return ctx_;
}

bool Context::add_event_user() {
  std::unique_lock<std::mutex> lock(m_);
  // A previous event thread may still be being joined; starting a second one meanwhile would leave two threads
  // competing for libusb's event lock.
  joined_.wait(lock, [&] { return !stopping_; });
  if (ctx_ == nullptr) return false;
  if (users_ == 0) {
    run_.store(true);
    try {
      thread_ = std::thread([this, c = ctx_] { event_loop_on(c); });
    } catch (const std::system_error&) {
      run_.store(false);
      return false;
    }
  }
  ++users_;
  return true;
}

void Context::remove_event_user() {
  std::thread stopping;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (users_ == 0 || --users_ > 0) return;
    run_.store(false);
    // Wakes the thread out of libusb_handle_events_timeout_completed. The request stays pending in the context if
    // the thread is not inside it yet, so the flag above is always seen promptly.
    libusb_interrupt_event_handler(ctx_);
    stopping = std::move(thread_);
    stopping_ = true;
  }
  // Joined outside the lock (the thread takes none of ours, but other openers must not block behind a join).
  if (stopping.get_id() == std::this_thread::get_id()) {
    stopping.detach();  // the last device was dropped on the event thread itself; it ends after this callback
  } else if (stopping.joinable()) {
    stopping.join();
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = false;
  }
  joined_.notify_all();
}

size_t Context::event_users() {
  std::lock_guard<std::mutex> lock(m_);
  return users_;
}

void Context::event_loop_on(libusb_context* ctx) {
  platform::name_current_thread(kEventThreadName);
  // This thread never logs: whoever stops it may be joining it while holding the interpreter lock, which a log
  // sink would need. Transfer callbacks run here and only store outcomes.
  while (run_.load()) {
    timeval tv{1, 0};  // only bounds how long a missed interrupt could delay a stop
    const int rc = libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_INTERRUPTED && run_.load()) {
      // A persistent failure must not turn into a busy loop; back off briefly, waking early on stop.
      std::unique_lock<std::mutex> lock(m_);
      joined_.wait_for(lock, std::chrono::milliseconds(10), [&] { return !run_.load(); });
    }
  }
}

}  // namespace tavro::usb::libusb_detail
