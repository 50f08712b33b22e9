// Bulk transport primitives: a continuously fed bulk IN stream, one-record bulk OUT writes, record reassembly
// from arbitrary transfer boundaries, and the startup discard of stale receive data.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/deadline.hpp"
#include "core/log.hpp"
#include "core/result.hpp"
#include "device/adapter.hpp"
#include "usb/host.hpp"

namespace tavro {

// Whether a failed write may have left the host.
enum class TxWriteState : uint8_t { NotSubmitted = 0, Uncertain = 1, Written = 2 };

struct TxWriteResult {
  Status status;  // ok() only with Written
  TxWriteState state = TxWriteState::NotSubmitted;
};

// How a record write waits for the adapter. It waits in slices of at most kWaitSlice and lets the endpoint go
// between them; there, with no lock held, `keep_waiting` may end the wait (to run signal handlers, say). Ending
// it that way, at the deadline, or through `abort` (a session that is stopping) cancels the transfer: Uncertain,
// timed out. A cancelled transfer is awaited for at most `cancel_limit`: after that its buffer stays reserved
// until it returns, and writes fail with "bulk OUT transfer did not return after cancellation; the transmit
// endpoint is unusable".
struct WriteWait {
  std::function<bool()> keep_waiting;
  const std::atomic<bool>* abort = nullptr;
  std::chrono::nanoseconds cancel_limit = std::chrono::seconds(10);
};

// Writes one 16-byte TxRecord on the adapter's bulk OUT endpoint.
TxWriteResult write_tx_record(UsbAdapter& adapter, const uint8_t (&record)[16], std::chrono::nanoseconds timeout,
                              const WriteWait& how = {});

// Reader of one bulk IN endpoint that always keeps `depth` transfers queued. One thread at a time; closed by
// destruction, which cancels the outstanding transfers.
//
// Stalls go to the endpoint's EndpointHalt, which the adapter keeps: a stream opened on a halted endpoint clears
// the halt first, and a reader clears it with clear_halt_when_due() before reading on (a halted endpoint completes
// nothing until then).
class BulkInStream {
 public:
  using OnReturn = std::function<void(const usb::TransferOutcome&, std::span<const uint8_t>)>;

  static Result<std::unique_ptr<BulkInStream>> open(UsbAdapter& adapter, uint8_t endpoint, size_t transfer_size,
                                                    size_t depth);
  BulkInStream(std::unique_ptr<usb::BulkInPipe> pipe, EndpointHalt& halt, size_t transfer_size, size_t depth);
  ~BulkInStream();

  size_t transfer_size() const noexcept { return transfer_size_; }

  // Copies the next completed transfer into `buffer`; DeviceError::timeout() when none completed in time (nothing
  // consumed). The replacement transfer is submitted before the data is handled.
  Result<size_t> read(std::span<uint8_t> buffer, std::chrono::nanoseconds timeout);
  // Same, without the copy: the bytes stay valid until the next call on this stream.
  Result<std::span<const uint8_t>> read_view(std::chrono::nanoseconds timeout);

  bool halted() const noexcept { return halt_.halted(); }
  // Clears the endpoint's halt once its back-off allows, waiting for that with `wait(d)` (false: give up, a stop
  // was asked for: Timeout). Ok when the endpoint is not halted any more; a failed clear is logged, returned, and
  // due again later.
  Status clear_halt_when_due(const std::function<bool(Duration)>& wait);
  // Cancels the outstanding transfers and waits for each to return, at most `timeout` in all (see
  // usb::BulkInPipe::cancel_all). A halt left on the endpoint is cleared before the stream lets it go, so that it
  // does not greet the endpoint's next user, in this process or another.
  bool cancel_all(Duration timeout, const OnReturn& on_return);

  usb::BulkInPipe& pipe() noexcept { return *pipe_; }

 private:
  // Takes the oldest completion; its bytes are copied out by `sink` before the replacement transfer is queued,
  // because the pipe may reuse a completed transfer's buffer for the next submission.
  template <typename Sink>
  Result<size_t> next(std::chrono::nanoseconds timeout, Sink&& sink);
  Status top_up();

  std::unique_ptr<usb::BulkInPipe> pipe_;
  EndpointHalt& halt_;
  size_t transfer_size_;
  size_t depth_;
  std::vector<uint8_t> view_;  // read_view's copy of the last completion
};

// Reassembles fixed-size records from a stream's chunks; keeps the partial record between chunks.
class RecordAssembler {
 public:
  static constexpr size_t kCarryLimit = 48;

  // Hands every complete record to `handler(const uint8_t*)`, in order.
  template <typename Handler>
  void feed(std::span<const uint8_t> chunk, size_t record_size, Handler&& handler) {
    if (record_size == 0) return;
    const uint8_t* p = chunk.data();
    size_t n = chunk.size();
    if (carry_len_ > 0) {
      if (carry_len_ >= kCarryLimit) {
        warn_overflow();
        carry_len_ = 0;
      } else if (carry_len_ >= record_size) {
        carry_len_ = 0;  // left over from a feed with a larger record size: cannot start a record of this size
      } else {
        const size_t need = record_size - carry_len_;
        if (n < need) {
          append(p, n);
          return;
        }
        append(p, need);
        handler(static_cast<const uint8_t*>(carry_));
        carry_len_ = 0;
        p += need;
        n -= need;
      }
    }
    while (n >= record_size) {
      handler(p);
      p += record_size;
      n -= record_size;
    }
    append(p, n);
  }

  size_t pending() const noexcept { return carry_len_; }
  void clear() noexcept { carry_len_ = 0; }

 private:
  // Drops whatever does not fit (only records longer than the carry can get there; none of ours are).
  void append(const uint8_t* p, size_t n) noexcept;
  void warn_overflow() const noexcept;

  // Large enough for the longest record plus the desync allowance.
  uint8_t carry_[kCarryLimit + 32]{};
  size_t carry_len_ = 0;
};

// Drains stale bytes from endpoint 0x81 so that the receive worker starts on a record boundary. Returns the
// number of whole records discarded. A stall on the way is cleared and the draining goes on (stalled transfers
// carry no bytes, so the records stay aligned).
Result<size_t> startup_discard(UsbAdapter& adapter);

// Clears a halt of the bulk OUT endpoint that a write saw and left to its back-off: a new session, or the next
// user after a close, starts on a clean endpoint.
void clear_out_halt(UsbAdapter& adapter);

}  // namespace tavro
