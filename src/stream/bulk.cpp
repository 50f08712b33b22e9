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

Result<std::unique_ptr<BulkInStream>> BulkInStream::open(UsbAdapter& adapter, uint8_t endpoint,
                                                         size_t transfer_size, size_t depth) {
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
  auto stream = std::make_unique<BulkInStream>(std::move(*pipe.value), size, std::max<size_t>(depth, 1));
  TAVRO_TRY(stream->top_up());
  return stream;
}

BulkInStream::BulkInStream(std::unique_ptr<usb::BulkInPipe> pipe, size_t transfer_size, size_t depth)
    : pipe_(std::move(pipe)), transfer_size_(transfer_size), depth_(depth) {}

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
  if (!outcome.ok()) return usb_error(outcome);
  return n;
}

Result<size_t> BulkInStream::read(std::span<uint8_t> buffer, nanoseconds timeout) {
  if (buffer.size() < transfer_size_)
    return DeviceError::invalid_parameter("Streaming read buffer must hold at least " +
                                          std::to_string(transfer_size_) + " bytes");
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

TxWriteResult write_tx_record(UsbAdapter& adapter, const uint8_t (&record)[16], nanoseconds timeout) {
  const auto not_submitted = [](DeviceError e) { return TxWriteResult{std::move(e), TxWriteState::NotSubmitted}; };
  const auto uncertain = [](DeviceError e) { return TxWriteResult{std::move(e), TxWriteState::Uncertain}; };

  const TimePoint now = Clock::now();
  if (timeout > TimePoint::max() - now)
    return not_submitted(DeviceError::invalid_parameter("Bulk write timeout is too large"));
  if (timeout <= nanoseconds::zero()) return not_submitted(DeviceError::timeout());
  const TimePoint deadline = now + std::chrono::duration_cast<Duration>(timeout);

  std::unique_lock<std::timed_mutex> lock(adapter.bulk_out_lock(), std::defer_lock);
  if (!lock.try_lock_until(deadline)) return not_submitted(DeviceError::timeout());
  const Duration remaining = time_left(deadline);
  if (remaining == Duration::zero()) return not_submitted(DeviceError::timeout());

  usb::BulkOutPipe& pipe = adapter.bulk_out();
  const usb::TransferOutcome submitted = pipe.submit(std::span<const uint8_t>(record, 16));
  if (!submitted.ok()) return not_submitted(usb_error(submitted));  // refused: nothing in flight

  std::optional<usb::TransferOutcome> done = pipe.wait(remaining);
  if (!done) {
    pipe.cancel();
    // The transfer buffer must not be reused while the host controller may still read it, so wait for the
    // cancelled transfer however long it takes; say so once a second in case the stack is wedged.
    int waited_s = 0;
    while (!(done = pipe.wait(std::chrono::seconds(1)))) {
      ++waited_s;
      TAVRO_LOG(log::Target::Channel, log::Level::Warn,
                "bulk OUT transfer still pending " + std::to_string(waited_s) +
                    " s after cancellation; waiting for it to return");
    }
  }

  const usb::TransferOutcome& o = *done;
  if (o.ok()) {
    if (o.actual >= 16) return TxWriteResult{Ok{}, TxWriteState::Written};
    return uncertain(DeviceError::communication("partial TX record (" + std::to_string(o.actual) +
                                                "/16 bytes); delivery uncertain"));
  }
  if (o.status == usb::TransferStatus::Cancelled) return uncertain(DeviceError::timeout());
  return uncertain(usb_error(o));
}

// ---------------------------------------------------------------------------------------------------------------
// RecordAssembler

void RecordAssembler::append(const uint8_t* p, size_t n) noexcept {
  n = std::min(n, sizeof carry_ - carry_len_);
  if (n == 0) return;
  std::memcpy(carry_ + carry_len_, p, n);
  carry_len_ += n;
}

void RecordAssembler::warn_overflow() noexcept {
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
  for (int reads = 0;;) {
    const Duration elapsed = Clock::now() - start;
    if (elapsed >= kDiscardWindow || total >= kDiscardMaxBytes) break;
    const bool full = elapsed < kDiscardLastFullReadBefore;
    const Duration timeout = full ? Duration(kDiscardFullRead) : Duration(kDiscardWindow) - elapsed;
    auto r = stream->read(buffer, timeout);
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
    } else {
      return std::move(r).error();  // `stream` closes on return
    }
  }

  // Close: whatever the cancelled transfers had already received is stale data too.
  std::optional<usb::TransferOutcome> failure;
  const bool all_returned = stream->pipe().cancel_all(
      kDiscardCloseBound, [&](const usb::TransferOutcome& o, std::span<const uint8_t>) {
        if (o.ok() || o.status == usb::TransferStatus::Cancelled) {
          total += o.actual;
        } else if (!failure) {
          failure = o;
        }
      });
  stream.reset();
  if (failure) return usb_error(*failure);
  if (!all_returned) return DeviceError::timeout();

  if (quiet && total <= kDiscardMaxBytes) {
    if (total % protocol::kRxRecordSize != 0)
      return DeviceError::communication("Startup RX discard ended with an incomplete record");
    return total / protocol::kRxRecordSize;
  }
  return DeviceError::communication("Startup RX discard limit reached; initialization stopped");
}

}  // namespace tavro
