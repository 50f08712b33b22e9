// libusb bulk endpoint pipes: a queued bulk IN reader with a recycled buffer pool, and a single-transfer bulk OUT.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "usb/libusb/libusb_objects.hpp"
#include "usb/libusb/libusb_support.hpp"

namespace tavro::usb::libusb_detail {
namespace {

TransferOutcome refused(TransferStatus status) { return TransferOutcome{status, 0, 0}; }

// Bulk IN: transfers are queued in submission order and always collected oldest first, because the device fills
// them in that order. Slots are recycled, so a steady read loop allocates nothing.
class BulkInPipeImpl final : public BulkInPipe {
 public:
  BulkInPipeImpl(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc)
      : itf_(std::move(itf)), desc_(desc) {
    std::snprintf(label_, sizeof label_, "bulk IN 0x%02x", desc_.address);
  }

  ~BulkInPipeImpl() override {
    recycle_held();
    DeviceImpl& device = itf_->owner();
    for (TransferSlot* s : queue_) device.cancel(*s);
    // One limit for the whole queue; what is not back by then is parked, never freed under the kernel.
    const auto give_up = device.return_deadline();
    for (TransferSlot* s : queue_) (void)device.reclaim(*s, give_up, label_);
  }

  const EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  TransferOutcome submit(size_t length) override {
    recycle_held();
    // A cancellation may hold the device in the kernel; a submission would wait there behind it.
    if (!itf_->owner().clear_to_submit()) return refused(TransferStatus::Lost);
    if (length > static_cast<size_t>(INT_MAX)) return refused(TransferStatus::InvalidArgument);
    TransferSlot* s = take_idle(length);
    if (s == nullptr) return outcome_from_error(LIBUSB_ERROR_NO_MEM);
    libusb_fill_bulk_transfer(s->transfer, itf_->handle(), desc_.address, s->buffer.get(), static_cast<int>(length),
                              on_transfer_done, s, 0);
    arm(*s);
    const int rc = libusb_submit_transfer(s->transfer);
    if (rc != LIBUSB_SUCCESS) {
      idle_.push_back(s);
      return outcome_from_error(rc);
    }
    queue_.push_back(s);
    return TransferOutcome{};
  }

  size_t outstanding() const noexcept override { return queue_.size(); }

  std::optional<Completion> wait_oldest(Duration timeout) override {
    const auto deadline = deadline_after(timeout);
    recycle_held();
    interrupted_ = false;
    if (queue_.empty()) return std::nullopt;
    TransferSlot* s = queue_.front();
    {
      // Woken by the completion callback (data, an error, an unplug) or by interrupt(); no time-out is needed to
      // notice any of them.
      std::unique_lock<std::mutex> lock(waiter_.m);
      const auto woken = [&] { return s->done || interrupt_; };
      if (timeout == kNoTimeout) {
        waiter_.cv.wait(lock, woken);
      } else {
        waiter_.cv.wait_until(lock, deadline, woken);
      }
      const bool done = s->done;
      interrupted_ = !done && interrupt_;
      interrupt_ = false;
      if (!done) return std::nullopt;
    }
    queue_.erase(queue_.begin());
    // Kept aside until the caller's next call, which is how long the returned bytes must stay valid.
    held_ = s;
    return Completion{s->outcome, data_of(*s)};
  }

  void interrupt() noexcept override {
    std::lock_guard<std::mutex> lock(waiter_.m);
    interrupt_ = true;
    waiter_.cv.notify_all();
  }

  bool interrupted() const noexcept override { return interrupted_; }

  bool cancel_all(Duration timeout,
                  const std::function<void(const TransferOutcome&, std::span<const uint8_t>)>& on_return) override {
    const auto deadline = deadline_after(timeout);
    recycle_held();
    // Cancel all first so they come back together, then collect in queue order.
    for (TransferSlot* s : queue_) itf_->owner().cancel(*s);
    while (!queue_.empty()) {
      TransferSlot* s = queue_.front();
      // The rest stay queued (already cancelled); the destructor reclaims them.
      if (!wait_done(*s, deadline)) return false;
      wait_cancel_left(*s);  // before the slot can be submitted again
      queue_.erase(queue_.begin());
      held_ = s;  // accounted for even if the callback throws
      if (on_return) on_return(s->outcome, data_of(*s));
      recycle_held();
    }
    return true;
  }

  TransferOutcome clear_halt() override {
    if (!itf_->owner().clear_to_submit()) return refused(TransferStatus::Lost);
    return outcome_from_error(libusb_clear_halt(itf_->handle(), desc_.address));
  }

 private:
  static std::span<const uint8_t> data_of(const TransferSlot& s) {
    return {s.buffer.get(), std::min(s.outcome.actual, s.capacity)};
  }

  void recycle_held() {
    if (held_ != nullptr) idle_.push_back(held_);
    held_ = nullptr;
  }

  // An idle slot with room for `length` bytes, made on first need; nullptr when memory is short.
  TransferSlot* take_idle(size_t length) {
    TransferSlot* s = nullptr;
    if (!idle_.empty()) {
      s = idle_.back();
      idle_.pop_back();
    } else {
      auto fresh = std::make_unique<TransferSlot>(waiter_);
      if (!fresh->valid()) return nullptr;
      s = fresh.get();
      slots_.push_back(std::move(fresh));
    }
    if (!s->reserve(length)) {
      idle_.push_back(s);
      return nullptr;
    }
    return s;
  }

  // Declaration order matters for destruction: slots before the waiter they point to, everything before the
  // interface (which releases the claim).
  const std::shared_ptr<InterfaceImpl> itf_;
  const EndpointDescriptor desc_;
  char label_[24]{};
  Waiter waiter_;                                     // shared by all slots of this pipe
  std::vector<std::unique_ptr<TransferSlot>> slots_;  // every slot ever made; owned here
  std::vector<TransferSlot*> queue_;                  // submitted, oldest first
  std::vector<TransferSlot*> idle_;
  TransferSlot* held_ = nullptr;  // last completion handed to the caller
  bool interrupt_ = false;        // guarded by waiter_.m: interrupt() asked, no wait has taken it yet
  bool interrupted_ = false;      // the waiting thread's own: the last wait ended by interrupt()
};

// Bulk OUT: one transfer, one buffer. State is under the waiter's mutex because cancel() may come from another
// thread than the writer. Writers themselves are serialised by the layer above.
class BulkOutPipeImpl final : public BulkOutPipe {
 public:
  BulkOutPipeImpl(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc)
      : itf_(std::move(itf)), desc_(desc), slot_(waiter_) {
    std::snprintf(label_, sizeof label_, "bulk OUT 0x%02x", desc_.address);
    // Filled completely now, so that cancel() always sees a transfer bound to the device, submitted or not.
    if (slot_.valid())
      libusb_fill_bulk_transfer(slot_.transfer, itf_->handle(), desc_.address, nullptr, 0, on_transfer_done, &slot_, 0);
  }

  ~BulkOutPipeImpl() override {
    bool pending;
    {
      std::lock_guard<std::mutex> lock(waiter_.m);
      pending = in_flight_ && !slot_.done;
    }
    if (pending) {
      DeviceImpl& device = itf_->owner();
      device.cancel(slot_);  // unless one is still running
      (void)device.reclaim(slot_, device.return_deadline(), label_);
    }
    itf_->release_out(desc_.address);
  }

  const EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  TransferOutcome submit(std::span<const uint8_t> data) override {
    if (!itf_->owner().clear_to_submit()) return refused(TransferStatus::Lost);
    if (!slot_.valid()) return outcome_from_error(LIBUSB_ERROR_NO_MEM);
    if (data.size() > static_cast<size_t>(INT_MAX)) return refused(TransferStatus::InvalidArgument);
    {
      std::lock_guard<std::mutex> lock(waiter_.m);
      // One in flight: the previous completion must have been collected by wait().
      if (in_flight_) return refused(TransferStatus::InvalidArgument);
    }
    wait_cancel_left(slot_);  // a cancellation of the previous write must not meet this one
    {
      std::lock_guard<std::mutex> lock(waiter_.m);
      in_flight_ = true;
      cancel_requested_ = false;
      slot_.done = false;
      slot_.outcome = TransferOutcome{};
    }
    if (!slot_.reserve(data.size())) return unsubmit(outcome_from_error(LIBUSB_ERROR_NO_MEM));
    if (!data.empty()) std::memcpy(slot_.buffer.get(), data.data(), data.size());
    slot_.transfer->buffer = slot_.buffer.get();
    slot_.transfer->length = static_cast<int>(data.size());
    const int rc = libusb_submit_transfer(slot_.transfer);
    if (rc != LIBUSB_SUCCESS) return unsubmit(outcome_from_error(rc));
    // A cancel() that arrived between marking and submitting found nothing to cancel; honour it now.
    bool cancel;
    {
      std::lock_guard<std::mutex> lock(waiter_.m);
      cancel = cancel_requested_;
    }
    if (cancel) itf_->owner().cancel(slot_);
    return TransferOutcome{};
  }

  std::optional<TransferOutcome> wait(Duration timeout) override {
    const auto deadline = deadline_after(timeout);
    std::unique_lock<std::mutex> lock(waiter_.m);
    if (!in_flight_) return std::nullopt;
    if (!waiter_.cv.wait_until(lock, deadline, [&] { return slot_.done; })) return std::nullopt;
    in_flight_ = false;
    return slot_.outcome;
  }

  void cancel() override {
    {
      std::lock_guard<std::mutex> lock(waiter_.m);
      if (!in_flight_ || slot_.done) return;
      cancel_requested_ = true;
    }
    // Outside the mutex: cancelling takes it.
    itf_->owner().cancel(slot_);
  }

  TransferOutcome clear_halt() override {
    if (!itf_->owner().clear_to_submit()) return refused(TransferStatus::Lost);
    return outcome_from_error(libusb_clear_halt(itf_->handle(), desc_.address));
  }

 private:
  TransferOutcome unsubmit(TransferOutcome why) {
    std::lock_guard<std::mutex> lock(waiter_.m);
    in_flight_ = false;
    return why;
  }

  const std::shared_ptr<InterfaceImpl> itf_;
  const EndpointDescriptor desc_;
  char label_[24]{};
  Waiter waiter_;
  TransferSlot slot_;
  bool in_flight_ = false;         // guarded by waiter_.m: submitted and not yet collected by wait()
  bool cancel_requested_ = false;  // guarded by waiter_.m
};

}  // namespace

std::unique_ptr<BulkInPipe> make_bulk_in_pipe(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc) {
  return std::make_unique<BulkInPipeImpl>(std::move(itf), desc);
}

std::unique_ptr<BulkOutPipe> make_bulk_out_pipe(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc) {
  return std::make_unique<BulkOutPipeImpl>(std::move(itf), desc);
}

}  // namespace tavro::usb::libusb_detail
