// Confirmed-transmission tickets and the value types of the session: path modes, terminal statuses, reasons for
// uncertainty, cancellation outcomes and their wire (Python) names.
//
//   t = TxTicket()              # shared by the session's pending table, the caller and the Python ticket
//   t.complete(result)          # first result wins; wakes every waiter
//   t.wait(timeout) -> TxResult | None
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/deadline.hpp"
#include "core/sync.hpp"

namespace tavro {

// Which transmission path a session offers.
enum class TxPathMode : uint8_t { Unconfirmed = 0, Confirmed = 1, ReceiveOnly = 2 };

// Why a ticket ended without the adapter's verdict. The name ("SessionClosed") is the text form used in
// messages; the wire name ("session_closed") is what Python sees.
// CancelUnconfirmed: the caller cancelled and the adapter did not deliver a verdict in time (or cannot be asked).
enum class UncertaintyReason : uint8_t {
  SessionClosed = 0,
  SessionChanged = 1,
  TransportFailure = 2,
  ProtocolFault = 3,
  CancelUnconfirmed = 4,
};
const char* uncertainty_reason_name(UncertaintyReason r) noexcept;
const char* uncertainty_reason_wire_name(UncertaintyReason r) noexcept;

// The adapter's verdict on a transmission.
enum class TxStatus : uint8_t { Success = 0, Failed = 1, ArbitrationLost = 2, Cancelled = 3 };
const char* tx_status_wire_name(TxStatus s) noexcept;  // "success", "failed", "arbitration_lost", "cancelled"

// Outcome code of a CancelTx reply.
enum class CancelOutcome : uint8_t {
  NotFound = 0,
  Queued = 1,
  AbortRequested = 2,
  Completed = 3,
  Ambiguous = 4,
  Unsupported = 5,
  Busy = 6,
};
inline constexpr uint8_t kCancelOutcomeCount = 7;
const char* cancel_outcome_name(CancelOutcome o) noexcept;       // "AbortRequested"
const char* cancel_outcome_wire_name(CancelOutcome o) noexcept;  // "abort_requested"

// The outcome stored in a ticket: the adapter's terminal result, or uncertain with a reason.
class TxResult {
 public:
  static TxResult terminal(TxStatus status, uint64_t timestamp_us, uint8_t tx_id, uint8_t flags) noexcept {
    TxResult r;
    r.terminal_ = true;
    r.status_ = status;
    r.timestamp_us_ = timestamp_us;
    r.tx_id_ = tx_id;
    r.flags_ = flags;
    return r;
  }
  static TxResult uncertain(UncertaintyReason reason) noexcept {
    TxResult r;
    r.reason_ = reason;
    return r;
  }

  bool is_terminal() const noexcept { return terminal_; }
  // Terminal fields (meaningful only when is_terminal()).
  TxStatus status() const noexcept { return status_; }
  uint64_t timestamp_us() const noexcept { return timestamp_us_; }
  uint8_t tx_id() const noexcept { return tx_id_; }
  uint8_t flags() const noexcept { return flags_; }
  // Meaningful only when !is_terminal().
  UncertaintyReason reason() const noexcept { return reason_; }

  friend bool operator==(const TxResult&, const TxResult&) = default;

 private:
  TxResult() = default;
  bool terminal_ = false;
  TxStatus status_ = TxStatus::Success;
  uint64_t timestamp_us_ = 0;
  uint8_t tx_id_ = 0;
  uint8_t flags_ = 0;
  UncertaintyReason reason_ = UncertaintyReason::SessionClosed;
};

// One confirmed transmission's result slot. Its mutex is the innermost lock of the session.
class TxTicket {
 public:
  TxTicket() = default;
  TxTicket(const TxTicket&) = delete;
  TxTicket& operator=(const TxTicket&) = delete;

  // Sets the result if none is set yet and wakes every waiter. Returns whether this call set it.
  bool complete(const TxResult& result);
  // Waits until the result is set or the time passes; nullopt on time-out. Repeatable from any thread.
  std::optional<TxResult> wait(Duration timeout);
  std::optional<TxResult> wait_until(TimePoint deadline);
  std::optional<TxResult> result() const;
  bool pending() const;

 private:
  mutable Mutex mutex_;
  std::condition_variable cv_;
  std::optional<TxResult> result_ GUARDED_BY(mutex_);
};

// What a caller holds for a confirmed transmission.
struct TxTicketHandle {
  std::shared_ptr<TxTicket> ticket;
  uint64_t session_id = 0;
  uint64_t ticket_id = 0;
  uint8_t tx_id = 0;  // 1..16
};

}  // namespace tavro
