// Bounded drop-oldest receive queue (see rx_queue.hpp for the contract).
#include "stream/rx_queue.hpp"

#include <algorithm>

namespace tavro {

RxQueue::RxQueue(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)), ring_(new CanFrame[capacity_]) {}

void RxQueue::push_own(const CanFrame& frame) {
  bool first = false;
  {
    LockGuard lock(mutex_);
    if (closed_) return;
    first = held_own_.empty();
    held_own_.push_back({frame, reads_});
    own_held_.store(true, std::memory_order_relaxed);
  }
  if (first && own_held_wake_) own_held_wake_();
}

void RxQueue::release_own() noexcept {
  if (!own_held_.load(std::memory_order_relaxed)) return;
  size_t dropped = 0;
  size_t released = 0;
  size_t wake = 0;
  {
    LockGuard lock(mutex_);
    const uint64_t reads = ++reads_;
    // The worker calls this before each read. A frame is released at the second call after it was held: the
    // read between the two calls began after it was held, and its records have been queued.
    auto first_waiting =
        std::find_if(held_own_.begin(), held_own_.end(), [&](const HeldOwn& h) { return reads < h.read + 2; });
    // Into the ring under the same lock that takes them out of held_own_: a receiver in between would see neither
    // and hand out a received frame stamped after them.
    for (auto it = held_own_.begin(); it != first_waiting && !closed_; ++it, ++released)
      dropped += insert_locked(it->frame);
    held_own_.erase(held_own_.begin(), first_waiting);
    own_held_.store(!held_own_.empty(), std::memory_order_relaxed);
    wake = std::min(waiters_, released);
  }
  finish_push(dropped, wake);
}

size_t RxQueue::insert_locked(const CanFrame& frame) noexcept {
  size_t dropped = 0;
  if (count_ == capacity_) {
    // Full: the oldest frame makes room; the reader of the endpoint never stalls for a slow consumer.
    if (ring_[head_].flags & FRAME_FLAG_OWN) --own_queued_;
    if (++head_ == capacity_) head_ = 0;
    --count_;
    dropped = 1;
  }
  size_t tail = head_ + count_;
  if (tail >= capacity_) tail -= capacity_;
  ring_[tail] = frame;
  ++count_;
  if (own_queued_ != 0 || (frame.flags & FRAME_FLAG_OWN)) place_by_timestamp(tail);
  return dropped;
}

void RxQueue::finish_push(size_t dropped, size_t wake) noexcept {
  if (dropped != 0) overruns_.fetch_add(dropped, std::memory_order_relaxed);
  // Outside the lock so that a woken receiver does not block on the mutex we still hold.
  if (wake == 1) {
    cv_.notify_one();
  } else if (wake > 1) {
    cv_.notify_all();
  }
}

size_t RxQueue::push_many(const CanFrame* frames, size_t n) noexcept {
  if (n == 0) return 0;
  size_t dropped = 0;
  size_t wake = 0;
  {
    LockGuard lock(mutex_);
    if (closed_) return 0;
    for (size_t i = 0; i < n; ++i) dropped += insert_locked(frames[i]);
    wake = std::min(waiters_, n);
  }
  finish_push(dropped, wake);
  return dropped;
}

// Own frames come from the result stream, received frames from the receive stream: each stream is in order, but
// either may reach the queue first. Moves the frame at `pos` (the tail) before queued frames of the other stream
// that the adapter stamped later.
void RxQueue::place_by_timestamp(size_t pos) noexcept {
  if (ring_[pos].flags & FRAME_FLAG_OWN) ++own_queued_;
  for (size_t n = count_ - 1; n > 0; --n) {
    const size_t prev = pos == 0 ? capacity_ - 1 : pos - 1;
    const bool other_stream = (ring_[prev].flags ^ ring_[pos].flags) & FRAME_FLAG_OWN;
    if (!other_stream || ring_[prev].timestamp <= ring_[pos].timestamp) break;
    std::swap(ring_[prev], ring_[pos]);
    pos = prev;
  }
}

Result<CanFrame> RxQueue::pop(TimePoint deadline) {
  UniqueLock lock(mutex_);
  // A received frame stamped after a held-back own frame waits for it (a few milliseconds at most).
  auto ready = [this]() REQUIRES(mutex_) {
    return closed_ || (count_ != 0 && (held_own_.empty() || (ring_[head_].flags & FRAME_FLAG_OWN) ||
                                       ring_[head_].timestamp <= held_own_.front().frame.timestamp));
  };
  if (!ready()) {
    if (deadline <= Clock::now()) return DeviceError::timeout();
    ++waiters_;
    const bool woken = cv_.wait_until(lock.native(), deadline, ready);
    --waiters_;
    if (!woken) return DeviceError::timeout();
  }
  if (count_ == 0) return terminal_;  // closed and drained
  CanFrame f = ring_[head_];
  if (f.flags & FRAME_FLAG_OWN) --own_queued_;
  if (++head_ == capacity_) head_ = 0;
  --count_;
  return f;
}

void RxQueue::close(DeviceError error) {
  {
    LockGuard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    terminal_ = std::move(error);
  }
  cv_.notify_all();
}

bool RxQueue::closed() const {
  LockGuard lock(mutex_);
  return closed_;
}

size_t RxQueue::size() const {
  LockGuard lock(mutex_);
  return count_;
}

size_t RxQueue::waiters() const {
  LockGuard lock(mutex_);
  return waiters_;
}

}  // namespace tavro
