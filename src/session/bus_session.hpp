// BusSession: the running data path of one adapter while its bus is on. Owns the TavroChannel (receive queue and
// "tavro-rx"), the result reader "tavro-tx-results" and the pending confirmed transmissions.
//
//   s = BusSession.attach(adapter, SessionParams(), TxPathMode.Confirmed)  # bus must already run
//   s.receive(deadline) -> CanFrame | Timeout | session-invalid | "RX channel disconnected"
//   s.send_unconfirmed(frame, timeout) -> TxWriteResult                    # Unconfirmed sessions only
//   (ticket, write_error) = s.submit_confirmed(frame, timeout)             # Confirmed sessions only
//   ticket.ticket.wait(timeout) -> TxResult | None
//   s.cancel(ticket, timeout) -> CancelResult                              # explicit results + CANCEL_TX
//   s.shutdown()   # stop and join both workers (endpoint fences), every open ticket -> Uncertain(SessionClosed)
//   del s          # shutdown (a failure is logged), then release the channel
//
// Locks, outermost first: the caller's state_lock -> transmit lock -> session state mutex -> ticket mutex; the
// echo table's mutex inside the state mutex. The transmit lock covers a transmission's checks and bookkeeping,
// not its wait for the adapter: the write itself waits in slices under the adapter's bulk OUT endpoint lock,
// taken alone, so a sender blocked on a full adapter holds up neither shutdown nor anyone else for longer than
// a slice, and shutdown (which sets `stopping` first) cancels it. Shutdown joins the workers with none of the
// session's locks held; the workers never take the transmit lock nor anything the caller holds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/deadline.hpp"
#include "core/result.hpp"
#include "device/adapter.hpp"
#include "session/session_state.hpp"
#include "session/ticket.hpp"
#include "session/tx_results.hpp"
#include "stream/bulk.hpp"
#include "stream/channel.hpp"

namespace tavro {

// The counters of a session, in the order of the handle's lifetime counters.
struct SessionCounters {
  uint64_t rx_frames = 0;
  uint64_t tx_frames = 0;
  uint64_t rx_bytes = 0;
  uint64_t tx_bytes = 0;
  uint64_t rx_overruns = 0;
  uint64_t bus_warnings = 0;
  uint64_t bus_offs = 0;
  uint64_t rx_stream_drops = 0;
};

struct SubmitResult {
  TxTicketHandle ticket;
  // Set when the write ended Uncertain: the frame may or may not have reached the bus; the ticket still resolves.
  std::optional<DeviceError> write_error;
};

struct CancelResult {
  bool tracked = false;  // false: the session no longer holds a pending transmission for the ticket
  CancelOutcome outcome = CancelOutcome::NotFound;
  uint32_t status_word = 0;  // reply bytes 0..3
  uint32_t generation = 0;   // the adapter's transmission-session generation
};

// Result mode as advertised by the adapter; kNotAdvertised when it lacks the TX-results feature.
inline constexpr uint32_t kResultModeNotAdvertised = 2;

// Takes the next id from a session-id counter (process-wide for sessions): Internal "TX session counter
// exhausted" when it holds the all-ones value.
Result<uint64_t> take_session_id(std::atomic<uint64_t>& counter);

// FlushTxQueue, sent with the bus off and no session attached: the adapter drops its queue and the reports it still
// owed, so the echo ids held back for those reports are freed.
Status flush_and_free_echo_ids(UsbAdapter& a);

class BusSession {
 public:
  // `endpoint_opened` (optional) is set once a bulk endpoint was opened: a failure before that left nothing behind.
  static Result<std::shared_ptr<BusSession>> attach(std::shared_ptr<UsbAdapter> adapter, const SessionParams& params,
                                                    TxPathMode path_mode, bool* endpoint_opened = nullptr);
  ~BusSession();  // shutdown (failure logged at Warn), then release the channel
  BusSession(const BusSession&) = delete;
  BusSession& operator=(const BusSession&) = delete;

  // Next received frame: fails at once with the session-invalid error when the session is invalid; otherwise
  // waits until `deadline` (Timeout), or fails with "RX channel disconnected" once the worker has ended and the
  // queue is drained. Every frame taken counts in the received frames/bytes counters.
  Result<CanFrame> receive(TimePoint deadline);
  // Confirmed sessions: also hand every frame the adapter reports sent to the receivers (FRAME_FLAG_OWN).
  void set_own_frames(bool on) noexcept { reader_ctx_->own_frames.store(on, std::memory_order_relaxed); }

  // Unconfirmed transmission (path mode Unconfirmed). `status` carries the error and `state` whether the frame
  // may have left the host.
  // `how` says how the write waits (see WriteWait); its abort flag is the session's own.
  TxWriteResult send_unconfirmed(const CanFrame& frame, Duration timeout, WriteWait how = {});
  // Confirmed transmission (path mode Confirmed) with a ticket. An Uncertain write still yields the ticket with
  // the write error; every other failure leaves no slot, no ticket and nothing written.
  Result<SubmitResult> submit_confirmed(const CanFrame& frame, Duration timeout, WriteWait how = {});
  // Asks the adapter to withdraw a pending transmission (CancelTx) and resolves the ticket: with the adapter's
  // verdict when it comes within a short wait ("cancelled" for a withdrawn frame), else Uncertain
  // (CancelUnconfirmed). Without explicit results or CANCEL_TX nothing is asked: the ticket is resolved as
  // Uncertain and the result is not-tracked.
  Result<CancelResult> cancel(const TxTicketHandle& handle, Duration timeout);
  // Resolves a pending ticket as Uncertain{reason} without the adapter's verdict (a caller that gives it up);
  // false when it is not pending in this session.
  bool resolve_without_verdict(const TxTicketHandle& handle, UncertaintyReason reason);

  // Stops and joins both workers (endpoint fences), ends pending receives, resolves every open ticket as
  // Uncertain(SessionClosed). Repeatable: success at once after a completed shutdown; a failed fence is sticky
  // ("endpoint cleanup unconfirmed: ..."). Must not be called by a session worker.
  Status shutdown();

  size_t unresolved_ticket_count() const;
  SessionCounters counters() const noexcept;
  uint64_t receive_drops() const noexcept { return channel_->worker_context().receive_drops(); }

  uint64_t session_id() const noexcept { return session_id_; }
  TxPathMode path_mode() const noexcept { return path_mode_; }
  uint32_t result_mode() const noexcept { return result_mode_; }
  uint32_t advertised_mode() const noexcept { return advertised_mode_; }
  uint32_t firmware_generation() const noexcept { return firmware_generation_; }
  uint32_t features() const noexcept { return features_; }
  bool valid() const noexcept {
    return state_->invalid_snapshot.load(std::memory_order_acquire) == SessionState::kValid;
  }
  // The first reason that invalidated the session, if any.
  std::optional<UncertaintyReason> invalid_reason() const noexcept;
  // A worker of the session saw the adapter unplugged.
  bool disconnected() const noexcept {
    return channel_->disconnected() || reader_ctx_->disconnected.load(std::memory_order_acquire);
  }
  TavroChannel& channel() noexcept { return *channel_; }

 private:
  BusSession() = default;

  // Frees the slot of a submission that never reached the wire.
  void give_back(const TxTicketHandle& handle);

  std::shared_ptr<UsbAdapter> adapter_;
  std::unique_ptr<TavroChannel> channel_;
  std::shared_ptr<SessionState> state_;
  std::shared_ptr<ResultReaderContext> reader_ctx_;
  WorkerThread reader_;

  // Serialises the checks and bookkeeping of transmissions, cancellation and the shutdown's invalidation.
  TimedMutex transmit_lock_ ACQUIRED_BEFORE(state_->mutex);
  // Set when shutdown begins: a write waiting for the adapter cancels itself.
  std::atomic<bool> stopping_{false};

  // Shutdown bookkeeping. shutdown_mutex_ is never held across a join: a second caller waits on shutdown_cv_
  // while the first one fences.
  Mutex shutdown_mutex_;
  std::condition_variable shutdown_cv_;
  bool fencing_ GUARDED_BY(shutdown_mutex_) = false;
  bool fence_passed_ GUARDED_BY(shutdown_mutex_) = false;
  bool complete_ GUARDED_BY(shutdown_mutex_) = false;
  std::optional<DeviceError> cleanup_error_ GUARDED_BY(shutdown_mutex_);

  std::atomic<uint64_t> rx_frames_{0};
  std::atomic<uint64_t> rx_bytes_{0};
  std::atomic<uint64_t> tx_frames_{0};
  std::atomic<uint64_t> tx_bytes_{0};

  uint64_t session_id_ = 0;
  uint32_t result_mode_ = 0;
  uint32_t advertised_mode_ = kResultModeNotAdvertised;
  uint32_t firmware_generation_ = 0;
  uint32_t features_ = 0;
  TxPathMode path_mode_ = TxPathMode::Unconfirmed;
};

}  // namespace tavro
