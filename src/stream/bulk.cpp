// Bulk stream primitives: queued bulk IN reads, single-record bulk OUT writes, the record assembler's slow paths
// and the startup discard of stale receive data.
#include "stream/bulk.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "core/deadline.hpp"
#include "device/usb_errors.hpp"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// BulkInStream

Result<std::unique_ptr<BulkInStream>> BulkInStream::open(UsbAdapter& adapter, uint8_t endpoint, size_t transfer_size,
                                                         size_t depth) {
  const auto endpoints = adapter.interface().endpoints();
  const auto it = std::find_if(endpoints.begin(), endpoints.end(),
                               [&](const usb::EndpointDescriptor& d) { return d.address == endpoint; });
  if (it == endpoints.end()) return DeviceError::usb(UsbErrorKind::NotFound);
  if (it->type != usb::EndpointType::Bulk || !(endpoint & 0x80)) {
    char text[64];
    std::snprintf(text, sizeof text, "endpoint 0x%02x is not a bulk IN endpoint", endpoint);
    return DeviceError::communication(text);
  }

  const size_t packet = std::max<size_t>(it->max_packet_size, 1);
  const size_t wanted = std::max<size_t>(transfer_size, 1);
  const size_t packets = wanted / packet + (wanted % packet != 0);
  if (packets > std::numeric_limits<size_t>::max() / packet)
    return DeviceError::invalid_parameter("Bulk IN buffer size is too large");
  const size_t size = packets * packet;

  auto pipe = adapter.interface().open_bulk_in(endpoint);
  if (!pipe.ok()) return usb_error(pipe.error);
  EndpointHalt& halt = adapter.halt(endpoint);
  // A new user starts on a clean endpoint, whatever the back-off of the last one said. Should the clear fail, the
  // reader retries it.
  if (halt.halted()) (void)halt.clear(**pipe.value);
  auto stream = std::make_unique<BulkInStream>(std::move(*pipe.value), halt, size, std::max<size_t>(depth, 1));
  TAVRO_TRY(stream->top_up());
  return stream;
}

BulkInStream::BulkInStream(std::unique_ptr<usb::BulkInPipe> pipe, EndpointHalt& halt, size_t transfer_size,
                           size_t depth)
    : pipe_(std::move(pipe)), halt_(halt), transfer_size_(transfer_size), depth_(depth) {}

BulkInStream::~BulkInStream() {
  pipe_.reset();  // cancels the outstanding transfers and waits for their return
}

Status BulkInStream::top_up() {
  while (pipe_->outstanding() < depth_) {
    const usb::TransferOutcome o = pipe_->submit(transfer_size_);
    if (!o.ok()) return usb_error(o);
  }
  return Ok{};
}

template <typename Sink>
Result<size_t> BulkInStream::next(nanoseconds timeout, Sink&& sink) {
  // A refused replacement leaves the queue short; refill it here. Only an empty queue is fatal for this read,
  // since waiting on nothing would report a time-out for a stream that can never deliver.
  if (Status s = top_up(); !s.ok() && pipe_->outstanding() == 0) return std::move(s).error();

  auto completion = pipe_->wait_oldest(timeout);
  if (!completion) return DeviceError::timeout();
  const usb::TransferOutcome outcome = completion->outcome;
  size_t n = 0;
  if (outcome.ok()) n = sink(completion->data);
  // Restore the queue depth before the caller handles the data, so the adapter always has a buffer to fill.
  (void)pipe_->submit(transfer_size_);
  if (outcome.ok()) {
    halt_.flowing();
    return n;
  }
  if (outcome.status == usb::TransferStatus::Stall) halt_.stalled();
  return usb_error(outcome);
}

Status BulkInStream::clear_halt_when_due(const std::function<bool(Duration)>& wait) {
  if (!halt_.halted()) return Ok{};
  if (const Duration d = halt_.due_in(); d > Duration::zero() && !wait(d)) return DeviceError::timeout();
  return halt_.clear(*pipe_);
}

bool BulkInStream::cancel_all(Duration timeout, const OnReturn& on_return) {
  bool stalled = false;
  const bool all_returned = pipe_->cancel_all(timeout, [&](const usb::TransferOutcome& o, std::span<const uint8_t> d) {
    stalled = stalled || o.status == usb::TransferStatus::Stall;
    if (on_return) on_return(o, d);
  });
  if (stalled) halt_.stalled();  // not inside the pipe's callback, which may hold the pipe's lock: this logs
  if (halt_.halted()) (void)halt_.clear(*pipe_);
  return all_returned;
}

Result<size_t> BulkInStream::read(std::span<uint8_t> buffer, nanoseconds timeout) {
  if (buffer.size() < transfer_size_)
    return DeviceError::invalid_parameter("Streaming read buffer must hold at least " + std::to_string(transfer_size_) +
                                          " bytes");
  return next(timeout, [&](std::span<const uint8_t> data) {
    const size_t n = std::min(data.size(), buffer.size());
    if (n > 0) std::memcpy(buffer.data(), data.data(), n);
    return n;
  });
}

Result<std::span<const uint8_t>> BulkInStream::read_view(nanoseconds timeout) {
  view_.resize(transfer_size_);
  auto r = read(view_, timeout);
  if (!r) return std::move(r).error();
  return std::span<const uint8_t>(view_.data(), *r);
}

// ---------------------------------------------------------------------------------------------------------------
// Bulk OUT

namespace {

DeviceError stuck_endpoint() {
  return DeviceError::communication(
      "bulk OUT transfer did not return after cancellation; the transmit endpoint is unusable");
}

TxWriteResult written_or_uncertain(const usb::TransferOutcome& o) {
  const auto uncertain = [](DeviceError e) { return TxWriteResult{std::move(e), TxWriteState::Uncertain}; };
  if (o.ok()) {
    if (o.actual >= 16) return TxWriteResult{Ok{}, TxWriteState::Written};
    return uncertain(DeviceError::communication("partial TX record (" + std::to_string(o.actual) +
                                                "/16 bytes); delivery uncertain"));
  }
  if (o.status == usb::TransferStatus::Cancelled) return uncertain(DeviceError::timeout());
  return uncertain(usb_error(o));
}

// Cancels the write in flight and waits for it to come back, at most `limit` (lock held). False when it did not:
// the transfer stays marked in flight and stuck, so that its buffer is never reused while the host controller
// may still read it; a later writer collects it if it ever returns.
bool cancel_in_flight(UsbAdapter& adapter, nanoseconds limit, std::optional<usb::TransferOutcome>* done)
    REQUIRES(adapter.bulk_out_lock()) {
  usb::BulkOutPipe& pipe = adapter.bulk_out();
  pipe.cancel();
  const TimePoint give_up = deadline_after(limit);
  int waited_s = 0;
  while (!(*done = pipe.wait(std::min<Duration>(time_left(give_up), std::chrono::seconds(1))))) {
    if (time_left(give_up) <= Duration::zero()) {
      adapter.out_flight() = UsbAdapter::OutFlight{true, 0, true};
      TAVRO_LOG(log::Target::Channel, log::Level::Error,
                "bulk OUT transfer did not return " + std::to_string(waited_s) +
                    " s after cancellation; its buffer stays reserved and the transmit endpoint unusable");
      return false;
    }
    ++waited_s;
    TAVRO_LOG(log::Target::Channel, log::Level::Warn,
              "bulk OUT transfer still pending " + std::to_string(waited_s) +
                  " s after cancellation; waiting for it to return");
  }
  return true;
}

// The endpoint's halt, cleared under the endpoint lock with nothing in flight; a failure is logged by the policy.
Status clear_out_halt_locked(UsbAdapter& adapter) REQUIRES(adapter.bulk_out_lock()) {
  return adapter.halt(protocol::kEpBulkOut).clear(adapter.bulk_out());
}

}  // namespace

TxWriteResult write_tx_record(UsbAdapter& adapter, const uint8_t (&record)[16], nanoseconds timeout,
                              const WriteWait& how) {
  const auto not_submitted = [](DeviceError e) { return TxWriteResult{std::move(e), TxWriteState::NotSubmitted}; };
  const auto uncertain = [](DeviceError e) { return TxWriteResult{std::move(e), TxWriteState::Uncertain}; };

  const TimePoint now = Clock::now();
  if (timeout > TimePoint::max() - now)
    return not_submitted(DeviceError::invalid_parameter("Bulk write timeout is too large"));
  if (timeout <= nanoseconds::zero()) return not_submitted(DeviceError::timeout());
  const TimePoint deadline = now + std::chrono::duration_cast<Duration>(timeout);

  const auto aborted = [&] { return how.abort && how.abort->load(std::memory_order_acquire); };
  const auto keep_waiting = [&] { return !how.keep_waiting || how.keep_waiting(); };
  usb::BulkOutPipe& pipe = adapter.bulk_out();
  TimedLock lock(adapter.bulk_out_lock(), std::defer_lock);
  // The write in flight has come back: the endpoint is free again. A stall halts it until the host clears the
  // halt: at once for the first stall of a burst, else by the next write once the back-off allows.
  EndpointHalt& halt = adapter.halt(protocol::kEpBulkOut);
  const auto collected = [&](const usb::TransferOutcome& o) REQUIRES(adapter.bulk_out_lock()) {
    adapter.out_flight() = UsbAdapter::OutFlight{};
    if (o.ok()) halt.flowing();
    if (o.status == usb::TransferStatus::Stall) {
      halt.stalled();
      if (halt.due_in() == Duration::zero()) (void)clear_out_halt_locked(adapter);
    }
    adapter.out_flight_done().notify_all();
  };

  // The endpoint: free, or holding a write whose writer went away, which is collected here first.
  for (;;) {
    if (lock.try_lock_until(slice_end(deadline))) {
      const UsbAdapter::OutFlight& flight = adapter.out_flight();
      if (!flight.active) break;
      if (flight.writer == 0) {
        const Duration wait_for = flight.stuck ? Duration::zero() : time_left(slice_end(deadline));
        if (auto left_behind = pipe.wait(std::max<Duration>(wait_for, std::chrono::milliseconds(1)))) {
          collected(*left_behind);
          break;
        }
        if (flight.stuck) return not_submitted(stuck_endpoint());
      } else {
        adapter.out_flight_done().wait_until(lock, slice_end(deadline));
        if (!flight.active) break;
      }
      lock.unlock();
    }
    if (time_left(deadline) <= Duration::zero() || aborted()) return not_submitted(DeviceError::timeout());
    if (!keep_waiting()) return not_submitted(DeviceError::timeout());
  }

  if (halt.halted()) {
    // A halt left by an earlier write: cleared once due (at most the back-off's longest step away), if that is
    // before the deadline; the write cannot go out before.
    const Duration due = halt.due_in();
    if (due > time_left(deadline)) return not_submitted(DeviceError::usb(UsbErrorKind::Stall));
    if (due > Duration::zero()) std::this_thread::sleep_for(due);
    if (Status cleared = clear_out_halt_locked(adapter); !cleared) return not_submitted(std::move(cleared).error());
  }
  const usb::TransferOutcome submitted = pipe.submit(std::span<const uint8_t>(record, 16));
  if (!submitted.ok()) return not_submitted(usb_error(submitted));  // refused: nothing in flight
  adapter.out_flight() = UsbAdapter::OutFlight{true, 1, false};

  // Its completion, a slice at a time, with the endpoint let go in between.
  for (;;) {
    const Duration slice = time_left(slice_end(deadline));
    std::optional<usb::TransferOutcome> done = pipe.wait(std::max<Duration>(slice, std::chrono::milliseconds(1)));
    if (done) {
      collected(*done);
      return written_or_uncertain(*done);
    }
    bool give_up = time_left(deadline) <= Duration::zero() || aborted();
    if (!give_up) {
      lock.unlock();
      give_up = !keep_waiting();
      lock.lock();
    }
    if (give_up) {
      if (!cancel_in_flight(adapter, how.cancel_limit, &done)) return uncertain(stuck_endpoint());
      collected(*done);
      return written_or_uncertain(*done);
    }
  }
}

void clear_out_halt(UsbAdapter& adapter) {
  if (!adapter.halt(protocol::kEpBulkOut).halted()) return;
  LockGuard lock(adapter.bulk_out_lock());
  if (!adapter.out_flight().active) (void)clear_out_halt_locked(adapter);
}

// ---------------------------------------------------------------------------------------------------------------
// RecordAssembler

void RecordAssembler::append(const uint8_t* p, size_t n) noexcept {
  n = std::min(n, sizeof carry_ - carry_len_);
  if (n == 0) return;
  std::memcpy(carry_ + carry_len_, p, n);
  carry_len_ += n;
}

void RecordAssembler::warn_overflow() const noexcept {
  TAVRO_LOG(log::Target::Channel, log::Level::Warn,
            "RX persistent_buf exceeded " + std::to_string(kCarryLimit) + " bytes (" + std::to_string(carry_len_) +
                " actual) \xE2\x80\x94 likely protocol desync, clearing");
}

// ---------------------------------------------------------------------------------------------------------------
// Startup discard

namespace {

constexpr size_t kDiscardTransfer = 512;
constexpr size_t kDiscardDepth = 4;
constexpr milliseconds kDiscardWindow{100};
constexpr milliseconds kDiscardFullRead{5};
constexpr milliseconds kDiscardLastFullReadBefore{95};
constexpr int kDiscardMaxReads = 256;
constexpr size_t kDiscardMaxBytes = 65536;
constexpr milliseconds kDiscardCloseBound{1000};

}  // namespace

Result<size_t> startup_discard(UsbAdapter& adapter) {
  auto opened = BulkInStream::open(adapter, protocol::kEpRxIn, kDiscardTransfer, kDiscardDepth);
  if (!opened) return std::move(opened).error();
  std::unique_ptr<BulkInStream> stream = std::move(opened).value();
  std::vector<uint8_t> buffer(stream->transfer_size());

  const TimePoint start = Clock::now();
  size_t total = 0;
  bool quiet = false;
  bool stalling = false;  // the last read stalled
  const auto sleep = [](Duration d) {
    std::this_thread::sleep_for(d);
    return true;
  };
  for (int reads = 0;;) {
    const Duration elapsed = Clock::now() - start;
    if (elapsed >= kDiscardWindow || total >= kDiscardMaxBytes) break;
    const bool full = elapsed < kDiscardLastFullReadBefore;
    const Duration timeout = full ? Duration(kDiscardFullRead) : Duration(kDiscardWindow) - elapsed;
    auto r = stream->read(buffer, timeout);
    stalling = !r.ok() && r.error().is_usb(UsbErrorKind::Stall);
    if (r.ok()) {
      if (*r > 0) {
        total += *r;
      } else {
        const Duration left = Duration(kDiscardWindow) - (Clock::now() - start);
        if (left > Duration::zero()) std::this_thread::sleep_for(std::min<Duration>(left, milliseconds(1)));
      }
      if (++reads >= kDiscardMaxReads) break;
    } else if (r.error().is(DeviceError::Kind::Timeout)) {
      quiet = full;  // only a full-length silence proves the endpoint is drained
      break;
    } else if (stalling) {
      if (Status cleared = stream->clear_halt_when_due(sleep); !cleared) return std::move(cleared).error();
    } else {
      return std::move(r).error();
    }
  }

  // Close: whatever the cancelled transfers had already received is stale data too.
  std::optional<usb::TransferOutcome> failure;
  const bool all_returned =
      stream->cancel_all(kDiscardCloseBound, [&](const usb::TransferOutcome& o, std::span<const uint8_t>) {
        if (o.ok() || o.status == usb::TransferStatus::Cancelled) {
          total += o.actual;
        } else if (o.status != usb::TransferStatus::Stall && !failure) {  // a stall carries no bytes; cleared
          failure = o;
        }
      });
  stream.reset();
  if (failure) return usb_error(*failure);
  if (!all_returned) return DeviceError::timeout();
  if (stalling) return DeviceError::usb(UsbErrorKind::Stall);  // it stalled until the window ran out

  if (quiet && total <= kDiscardMaxBytes) {
    if (total % protocol::kRxRecordSize != 0)
      return DeviceError::communication("Startup RX discard ended with an incomplete record");
    return total / protocol::kRxRecordSize;
  }
  return DeviceError::communication("Startup RX discard limit reached; initialization stopped");
}

}  // namespace tavro
