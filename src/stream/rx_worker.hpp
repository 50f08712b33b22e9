// The receive worker "tavro-rx": drains bulk IN endpoint 0x81 into the session's RxQueue, cutting the byte stream
// into 24-byte records and counting the adapter's error frames. Also the small thread primitives that both
// session workers share (named thread with a result, interruptible stop signal, stream release).
//
//   ctx = RxWorkerContext(queue); ctx.handoff.put(stream)
//   worker = spawn_rx_worker(ctx)      # thread "tavro-rx"; takes the stream out of the handoff slot
//   ctx.stop.request(); worker.join()  # -> result of releasing the stream: the endpoint-0x81 fence
//
// The worker holds no lock while it reads or handles records; it ends by itself when the adapter is unplugged
// (setting `disconnected`). Whenever it ends, it closes the queue with "RX channel disconnected" so that
// receivers get that error once they have taken every queued frame.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/deadline.hpp"
#include "core/result.hpp"
#include "stream/bulk.hpp"
#include "stream/rx_queue.hpp"

namespace tavro {

// Thrown inside a worker when one of its invariants breaks; the worker then ends "by a fault" and its join
// reports so instead of a result.
class WorkerFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A named thread whose body returns a Status. Shutdown is "set flag, wake, join"; join must not be called while
// holding a lock the body may take.
class WorkerThread {
 public:
  struct Joined {
    bool faulted = false;  // the body ended by an exception (its result is then meaningless)
    std::string fault;     // what() of that exception
    Status result;
  };

  WorkerThread() = default;
  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&&) noexcept;
  ~WorkerThread();  // joins if still joinable (never leaves a thread running detached)

  // Starts `body` on a new thread named `name` (at most 15 characters). If the operating system refuses the
  // thread, fails with Internal carrying the system's error text as detail.
  static Result<WorkerThread> start(const char* name, std::function<Status()> body);

  bool joinable() const noexcept { return thread_.joinable(); }
  // Waits for the thread to end. Calling it on an empty handle returns a default (successful) Joined.
  Joined join();

 private:
  struct Outcome {
    bool faulted = false;
    std::string fault;
    Status result;
  };
  std::thread thread_;
  std::shared_ptr<Outcome> outcome_;
};

// Stop flag with a wake-up: workers check it between reads and sleep on it, so a stop cuts their back-off short.
// A worker that reads without a time-out attaches its pipe, which a stop (or wake()) then interrupts.
class StopSignal {
 public:
  void request() noexcept;
  bool requested() const noexcept { return flag_.load(std::memory_order_acquire); }
  // Sleeps for `d` unless a stop is requested first; returns whether a stop is requested.
  bool sleep_for(Duration d);
  // The pipe the worker waits on (nullptr: none any more); detach before the pipe goes.
  void attach(usb::BulkInPipe* pipe) noexcept;
  // Interrupts the attached pipe's wait (or the next one) without asking for a stop.
  void wake() noexcept;

 private:
  std::atomic<bool> flag_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  usb::BulkInPipe* pipe_ = nullptr;  // guarded by mutex_
};

// A pipe attached to a stop signal for a scope, so that a stop interrupts the worker's wait on it. detach() before
// the pipe's stream is released; the destructor covers every other way out.
class PipeAttachment {
 public:
  PipeAttachment(StopSignal& stop, usb::BulkInPipe& pipe) noexcept : stop_(stop) { stop_.attach(&pipe); }
  ~PipeAttachment() { detach(); }
  PipeAttachment(const PipeAttachment&) = delete;
  PipeAttachment& operator=(const PipeAttachment&) = delete;
  void detach() noexcept { stop_.attach(nullptr); }

 private:
  StopSignal& stop_;
};

// Releases a bulk IN stream: cancels its outstanding transfers and waits (at most 1 s) for all of them to return.
// Success means no transfer of the endpoint is outstanding any more (the endpoint fence); an empty stream is
// trivially fenced.
Status release_stream(std::unique_ptr<BulkInStream> stream);

// Mutex-protected slot that hands a stream from the opening thread to exactly one worker.
class StreamHandoff {
 public:
  void put(std::unique_ptr<BulkInStream> stream);
  std::unique_ptr<BulkInStream> take();  // empty afterwards
  bool holds() const;

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<BulkInStream> stream_;
};

// Everything the receive worker owns or shares. Created by the channel open; shared with the session.
//
// The worker waits for data, not for a time-out: an idle adapter costs it a wake-up every kIdleReadTimeout only.
// What else needs it wakes it: a stop, and an own frame held back by the queue (see RxQueue::push_own), whose
// release needs reads bounded by `read_timeout` until it is out.
struct RxWorkerContext {
  static constexpr std::chrono::milliseconds kDefaultReadTimeout{2};
  // Not unbounded: a host stack that keeps a cancelled bulk OUT transfer must find the worker back out of its wait
  // now and then (through the kernel's USB stack, an unbounded wait let the receive path fail the handle as
  // unplugged before the stuck write could report its endpoint unusable).
  static constexpr std::chrono::milliseconds kIdleReadTimeout{250};

  explicit RxWorkerContext(std::shared_ptr<RxQueue> q, Duration read_timeout = kDefaultReadTimeout);
  ~RxWorkerContext();
  RxWorkerContext(const RxWorkerContext&) = delete;
  RxWorkerContext& operator=(const RxWorkerContext&) = delete;

  const Duration read_timeout;
  const std::shared_ptr<RxQueue> queue;  // the worker is its only producer
  StreamHandoff handoff;                 // the endpoint-0x81 stream until the worker takes it
  StopSignal stop;
  std::atomic<bool> disconnected{false};  // the adapter was unplugged while the worker read
  std::atomic<uint64_t> bus_warnings{0};
  std::atomic<uint64_t> bus_off_events{0};
  // Records dropped because the stream was out of step (fragments, implausible records).
  std::atomic<uint64_t> stream_drops{0};
  // Receive drops are the queue's own overrun counter.
  uint64_t receive_drops() const noexcept { return queue->overruns(); }
};

// The terminal error receivers see once the worker has ended and the queue is drained.
DeviceError rx_channel_disconnected();

// Starts "tavro-rx". If the thread cannot be created the stream is released again and the error is Internal
// "start RX thread: <os error>; endpoint cleanup: <release outcome>".
Result<WorkerThread> spawn_rx_worker(const std::shared_ptr<RxWorkerContext>& ctx);

// The worker's body, run on the calling thread (spawn_rx_worker runs it on "tavro-rx"). Returns the outcome of
// releasing the stream.
Status run_rx_worker(RxWorkerContext& ctx);

}  // namespace tavro
