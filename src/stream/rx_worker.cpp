// Receive worker "tavro-rx" and the thread primitives shared by the session workers.
#include "stream/rx_worker.hpp"

#include <array>
#include <system_error>

#include "core/log.hpp"
#include "core/protocol.hpp"
#include "platform/platform.hpp"
#include "stream/rx_stream.hpp"

namespace tavro {

namespace {

constexpr auto kChannel = log::Target::Channel;
constexpr std::chrono::milliseconds kErrorRetryDelay{100};
constexpr std::chrono::milliseconds kBackoffCap{8};
constexpr std::chrono::seconds kReleaseTimeout{1};
constexpr std::chrono::seconds kLogInterval{1};

// Losses of stream alignment: counted at once, logged once per burst (a burst ends with a transfer that lost
// nothing) and at most once a second while it lasts.
class LossReport {
 public:
  void add(const RxLosses& l, RxWorkerContext& ctx) {
    if (l.records == 0) {
      flush();
      return;
    }
    ctx.stream_drops.fetch_add(l.records, std::memory_order_relaxed);
    if (pending_.records == 0) since_ = Clock::now();
    pending_.records += l.records;
    pending_.bytes += l.bytes;
    if (Clock::now() - since_ >= kLogInterval) flush();
  }
  void flush() {
    if (pending_.records == 0) return;
    TAVRO_LOG(kChannel, log::Level::Warn,
              "RX stream out of step: dropped " + std::to_string(pending_.records) + " record(s) (" +
                  std::to_string(pending_.bytes) + " bytes) that were incomplete or implausible; realigned");
    pending_ = {};
  }

 private:
  RxLosses pending_;
  TimePoint since_{};
};

std::string duration_text(Duration d) {
  using namespace std::chrono;
  const auto ns = duration_cast<nanoseconds>(d).count();
  if (ns % 1000000000 == 0) return std::to_string(ns / 1000000000) + "s";
  if (ns % 1000000 == 0) return std::to_string(ns / 1000000) + "ms";
  if (ns % 1000 == 0) return std::to_string(ns / 1000) + "µs";
  return std::to_string(ns) + "ns";
}

// Frames of one transfer are queued together: one lock and at most one wake-up per transfer.
class FrameBatch {
 public:
  explicit FrameBatch(RxQueue& q) : queue_(q) {}
  void add(const CanFrame& f) {
    frames_[n_++] = f;
    if (n_ == frames_.size()) flush();
  }
  void flush() {
    if (n_ != 0) queue_.push_many(frames_.data(), n_);
    n_ = 0;
  }

 private:
  RxQueue& queue_;
  std::array<CanFrame, 64> frames_;
  size_t n_ = 0;
};

}  // namespace

// ---- WorkerThread ----------------------------------------------------------------------------------------------

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    if (thread_.joinable()) thread_.join();
    thread_ = std::move(other.thread_);
    outcome_ = std::move(other.outcome_);
  }
  return *this;
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.join();
}

Result<WorkerThread> WorkerThread::start(const char* name, std::function<Status()> body) {
  WorkerThread w;
  w.outcome_ = std::make_shared<Outcome>();
  try {
    // Named as it starts, so the name is in place by the time start() returns (macOS: as the thread begins).
    w.thread_ = platform::start_named_thread(name, [outcome = w.outcome_, body = std::move(body)]() mutable {
      try {
        outcome->result = body();
      } catch (const std::exception& e) {
        outcome->faulted = true;
        outcome->fault = e.what();
      } catch (...) {
        outcome->faulted = true;
        outcome->fault = "unknown fault";
      }
    });
  } catch (const std::system_error& e) {
    return DeviceError::internal(e.code().message());
  }
  return w;
}

WorkerThread::Joined WorkerThread::join() {
  Joined j;
  if (!thread_.joinable()) return j;
  thread_.join();
  // The thread's writes to the outcome happen before join() returns.
  j.faulted = outcome_->faulted;
  j.fault = std::move(outcome_->fault);
  j.result = std::move(outcome_->result);
  outcome_.reset();
  return j;
}

// ---- StopSignal ------------------------------------------------------------------------------------------------

void StopSignal::request() noexcept {
  {
    // The store under the mutex closes the window between a sleeper's check and its wait.
    std::lock_guard<std::mutex> lock(mutex_);
    flag_.store(true, std::memory_order_release);
    if (pipe_ != nullptr) pipe_->interrupt();  // under the mutex: the pipe cannot be detached and go meanwhile
  }
  cv_.notify_all();
}

void StopSignal::attach(usb::BulkInPipe* pipe) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  pipe_ = pipe;
}

void StopSignal::wake() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pipe_ != nullptr) pipe_->interrupt();
}

bool StopSignal::sleep_for(Duration d) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, d, [this] { return flag_.load(std::memory_order_acquire); });
}

// ---- stream release ----------------------------------------------------------------------------------------------

Status release_stream(std::unique_ptr<BulkInStream> stream) {
  if (!stream) return Ok{};
  const bool all_returned = stream->cancel_all(kReleaseTimeout, {});
  stream.reset();
  if (!all_returned) return DeviceError::timeout();
  return Ok{};
}

// ---- StreamHandoff -------------------------------------------------------------------------------------------

void StreamHandoff::put(std::unique_ptr<BulkInStream> stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_ = std::move(stream);
}

std::unique_ptr<BulkInStream> StreamHandoff::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(stream_);
}

bool StreamHandoff::holds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stream_ != nullptr;
}

// ---- RxWorkerContext -------------------------------------------------------------------------------------------

RxWorkerContext::RxWorkerContext(std::shared_ptr<RxQueue> q, Duration read_timeout)
    : read_timeout(read_timeout), queue(std::move(q)) {
  queue->set_own_held_wake([this] { stop.wake(); });
}

RxWorkerContext::~RxWorkerContext() { queue->set_own_held_wake({}); }

DeviceError rx_channel_disconnected() { return DeviceError::communication("RX channel disconnected"); }

// ---- the worker ------------------------------------------------------------------------------------------------

Status run_rx_worker(RxWorkerContext& ctx) {
  // Whatever way the worker ends, the queue loses its only producer.
  struct CloseQueue {
    RxQueue& q;
    ~CloseQueue() { q.close(rx_channel_disconnected()); }
  } close_queue{*ctx.queue};

  std::unique_ptr<BulkInStream> stream = ctx.handoff.take();
  if (!stream) throw WorkerFault("single RX worker owns stream handoff");

  TAVRO_LOG(kChannel, log::Level::Debug,
            "CAN RX thread started (buf=" + std::to_string(stream->transfer_size()) +
                " bytes, timeout=" + duration_text(ctx.read_timeout) + ")");

  RxRecordStream records;
  FrameBatch batch(*ctx.queue);
  unsigned empty_reads = 0;
  LossReport losses;
  const auto wait = [&](Duration d) { return !ctx.stop.sleep_for(d); };
  const size_t transfer_size = stream->transfer_size();

  auto handle_record = [&](const uint8_t* rec) {
    const CanFrame f = decode_rx_record(rec);
    if (f.flags & FRAME_FLAG_ERROR) {
      if (is_bus_off_error(f)) ctx.bus_off_events.fetch_add(1, std::memory_order_relaxed);
      if (is_controller_warning(f)) ctx.bus_warnings.fetch_add(1, std::memory_order_relaxed);
    }
    batch.add(f);
  };

  // Attached before the first look at the flag: a stop asked for earlier is seen there, a later one interrupts.
  // Detached before the stream goes, whichever way the worker ends.
  PipeAttachment attached(ctx.stop, stream->pipe());
  bool count_read = true;
  while (!ctx.stop.requested()) {
    // Before each read, so that the read before was handled in full. A read that an interrupt ended early proves
    // nothing about what the adapter had sent, so it does not count.
    if (count_read) ctx.queue->release_own();
    // A halted endpoint completes nothing until its halt is cleared; a failed clear is retried later, reading on
    // in between (an unplug shows there).
    if (stream->halted() && !stream->clear_halt_when_due(wait).ok() && ctx.stop.requested()) break;
    Result<std::span<const uint8_t>> r =
        stream->read_view(ctx.queue->own_held() ? ctx.read_timeout : Duration(RxWorkerContext::kIdleReadTimeout));
    count_read = r.ok() || !stream->pipe().interrupted();
    if (r.ok()) {
      const std::span<const uint8_t> chunk = r.value();
      if (!chunk.empty()) {
        empty_reads = 0;
        records.feed(chunk, chunk.size() < transfer_size, handle_record);
        batch.flush();
        losses.add(records.take_losses(), ctx);
        continue;
      }
      // Empty transfers: first yield, then 1, 2, 4, 8, 8, ... ms until data flows again (only yield while own
      // frames wait for the next read).
      if (empty_reads == 0 || ctx.queue->own_held()) {
        std::this_thread::yield();
      } else {
        const auto delay = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(1u << std::min(empty_reads - 1, 3u)), kBackoffCap);
        ctx.stop.sleep_for(delay);
      }
      if (empty_reads < 16) ++empty_reads;
      continue;
    }

    const DeviceError& e = r.error();
    // A stall: the endpoint's halt is cleared before the next read, backing off while stalls keep coming.
    if (e.is(DeviceError::Kind::Timeout) || e.is_usb(UsbErrorKind::Stall)) continue;
    if (e.is_usb(UsbErrorKind::Lost)) {  // the adapter takes no more transfers until it is unplugged
      TAVRO_LOG(kChannel, log::Level::Error, "RX thread exiting: " + e.text());
      ctx.disconnected.store(true, std::memory_order_release);
      break;
    }
    if (e.is_usb(UsbErrorKind::NoDevice)) {
      TAVRO_LOG(kChannel, log::Level::Warn, "Device unplugged — RX thread exiting");
      ctx.disconnected.store(true, std::memory_order_release);
      break;
    }
    TAVRO_LOG(kChannel, log::Level::Error, "RX thread error: " + e.text());
    ctx.stop.sleep_for(kErrorRetryDelay);
  }

  attached.detach();
  losses.flush();
  TAVRO_LOG(kChannel, log::Level::Debug, "CAN RX thread stopped");
  return release_stream(std::move(stream));
}

Result<WorkerThread> spawn_rx_worker(const std::shared_ptr<RxWorkerContext>& ctx) {
  auto started = WorkerThread::start("tavro-rx", [ctx] { return run_rx_worker(*ctx); });
  if (started.ok()) return std::move(started).value();
  // The thread never ran: the stream is still in the slot and must be fenced here.
  Status released = release_stream(ctx->handoff.take());
  ctx->queue->close(rx_channel_disconnected());
  return DeviceError::internal("start RX thread: " + started.error().detail() + "; endpoint cleanup: " +
                               (released.ok() ? std::string("success") : released.error().text()));
}

}  // namespace tavro
