// RxQueue: the bounded queue between the "tavro-rx" worker and the receivers of a session.
//
//   q = RxQueue()                  # ring of 20000 CanFrames, allocated once
//   q.push(frame)                  # never waits: when full, the oldest frame is discarded and counted
//   q.pop(deadline) -> frame | DeviceError.timeout() | terminal error (after close, once drained)
//   q.close(error)                 # end of stream: wakes every waiter; queued frames are still handed out
//   q.push_own(frame)              # the session's own frame, confirmed sent (FRAME_FLAG_OWN): held back until
//   q.release_own()                #   the receive worker has finished a read begun after it, so that frames
//                                  #   the adapter received before it are queued first; then placed among them
//                                  #   by adapter timestamp
//
// This is the hottest path of the driver. The ring never allocates after construction; the producer takes the
// mutex for a few stores and signals the condition variable only when a receiver is actually waiting (the waiter
// count is kept under the same mutex), so a busy bus with a polling or absent consumer costs no system call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/deadline.hpp"
#include "core/result.hpp"
#include "core/sync.hpp"
#include "stream/records.hpp"

namespace tavro {

class RxQueue {
 public:
  static constexpr size_t kCapacity = 20000;

  explicit RxQueue(size_t capacity = kCapacity);
  RxQueue(const RxQueue&) = delete;
  RxQueue& operator=(const RxQueue&) = delete;

  // Queues one frame, discarding the oldest queued frame if the ring is full. Returns the number of frames
  // discarded (0 or 1). A closed queue ignores the frame and returns 0.
  size_t push(const CanFrame& frame) noexcept { return push_many(&frame, 1); }
  // Queues `n` frames in order under one lock; returns how many older frames were discarded for them.
  size_t push_many(const CanFrame* frames, size_t n) noexcept;

  // Takes the oldest frame, waiting until `deadline` for one to arrive. Fails with DeviceError::timeout() when
  // none arrived in time, or with the terminal error once the queue is closed and empty.
  Result<CanFrame> pop(TimePoint deadline);
  Result<CanFrame> pop_for(Duration timeout) { return pop(Clock::now() + timeout); }
  // Never waits.
  Result<CanFrame> try_pop() { return pop(TimePoint::min()); }

  // Own frames come from the result stream, received frames from the receive stream; see the contract above.
  // When nothing was held back before, push_own calls the wake set here (outside the queue's lock), so that a
  // receive worker waiting for data without a time-out reads on. Set while no frame is pushed.
  void set_own_held_wake(std::function<void()> wake) { own_held_wake_ = std::move(wake); }
  void push_own(const CanFrame& frame);
  // Called by the receive worker after every read (one relaxed load when nothing is held back).
  void release_own() noexcept;
  bool own_held() const noexcept { return own_held_.load(std::memory_order_relaxed); }

  // Ends the stream with `error` as the terminal result for receivers (the first close wins). Wakes every waiter.
  void close(DeviceError error);

  bool closed() const;
  size_t size() const;
  size_t capacity() const noexcept { return capacity_; }
  // Frames discarded by the drop-oldest policy since construction.
  uint64_t overruns() const noexcept { return overruns_.load(std::memory_order_relaxed); }
  // Receivers currently blocked in pop (for tests and diagnostics).
  size_t waiters() const;

 private:
  // Returns the frames dropped (0 or 1).
  size_t insert_locked(const CanFrame& frame) noexcept REQUIRES(mutex_);
  void finish_push(size_t dropped, size_t wake) noexcept EXCLUDES(mutex_);
  void place_by_timestamp(size_t pos) noexcept REQUIRES(mutex_);

  const size_t capacity_;
  const std::unique_ptr<CanFrame[]> ring_;  // its frames are guarded by mutex_

  mutable Mutex mutex_;
  std::condition_variable cv_;
  size_t head_ GUARDED_BY(mutex_) = 0;  // oldest frame
  size_t count_ GUARDED_BY(mutex_) = 0;
  size_t waiters_ GUARDED_BY(mutex_) = 0;
  // Queued frames with FRAME_FLAG_OWN; while 0, pushing never looks back.
  size_t own_queued_ GUARDED_BY(mutex_) = 0;
  struct HeldOwn {
    CanFrame frame;
    uint64_t read = 0;  // reads_ when it was held back
  };
  std::vector<HeldOwn> held_own_ GUARDED_BY(mutex_);
  uint64_t reads_ GUARDED_BY(mutex_) = 0;  // reads completed while own frames were held
  std::atomic<bool> own_held_{false};
  std::function<void()> own_held_wake_;
  bool closed_ GUARDED_BY(mutex_) = false;
  DeviceError terminal_ GUARDED_BY(mutex_);

  std::atomic<uint64_t> overruns_{0};
};

}  // namespace tavro
