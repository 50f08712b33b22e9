// SessionState: the table of confirmed transmissions awaiting the adapter's verdict, shared by the session, its
// result reader and cancellation under one mutex.
//
// Lock order (outermost first): the caller's state_lock -> the session's transmit lock -> SessionState::mutex ->
// a TxTicket's mutex. An EchoTable's mutex is only ever taken inside SessionState::mutex. The result reader takes
// SessionState::mutex (then ticket/echo mutexes) but never the transmit lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/device_error.hpp"
#include "core/sync.hpp"
#include "echo/echo_table.hpp"
#include "session/ticket.hpp"
#include "stream/records.hpp"

namespace tavro {

struct PendingSlot {
  // Retired: its ticket was resolved without the adapter's verdict; the id waits for that verdict (or the end of the
  // session) before it is handed out again.
  enum class State : uint8_t { Free = 0, Explicit = 1, EchoTracked = 2, Retired = 3 };
  State state = State::Free;
  bool awaiting() const noexcept { return state == State::Explicit || state == State::EchoTracked; }
  uint64_t echo_sequence = 0;
  uint8_t tx_id = 0;
  std::shared_ptr<TxTicket> ticket;
  uint64_t ticket_id = 0;
  CanFrame frame;  // what was sent, for handing it to the receivers once sent (own frames)
};

struct SessionState {
  static constexpr int kSlots = 16;
  static constexpr uint8_t kValid = 0xFF;
  static constexpr uint64_t kTicketIdsExhausted = ~uint64_t{0};

  // Inside the session's transmit lock; the echo table's and the tickets' mutexes are taken inside it.
  Mutex mutex;
  std::array<PendingSlot, kSlots> pending GUARDED_BY(mutex){};  // slot i carries transmission id i + 1
  uint64_t session_id GUARDED_BY(mutex) = 0;
  uint64_t next_ticket_id GUARDED_BY(mutex) = 1;
  uint8_t cursor GUARDED_BY(mutex) = 0;                     // explicit mode: where the next free-slot search starts
  std::shared_ptr<EchoTable> echo_table GUARDED_BY(mutex);  // legacy result mode only
  uint64_t echo_generation GUARDED_BY(mutex) = 0;
  uint8_t invalid_reason GUARDED_BY(mutex) = kValid;  // first UncertaintyReason that invalidated the session
  // Written under `mutex` together with invalid_reason; read without it on the receive path.
  std::atomic<uint8_t> invalid_snapshot{kValid};

  bool valid() const noexcept REQUIRES(mutex) { return invalid_reason == kValid; }
};

// "TX session invalid: <ReasonName>; close and reopen".
DeviceError session_invalid_error(uint8_t reason);

// Requires state.mutex. Records the first reason; frees every pending slot (abandoning its echo slot) and
// resolves its ticket as Uncertain{reason} if still pending.
void invalidate_locked(SessionState& state, UncertaintyReason reason) REQUIRES(state.mutex);
inline void invalidate(SessionState& state, UncertaintyReason reason) {
  LockGuard lock(state.mutex);
  invalidate_locked(state, reason);
}

// Requires state.mutex. Frees the slot of `tx_id` if it still holds `ticket_id` (releasing its echo slot).
void give_back_locked(SessionState& state, uint8_t tx_id, uint64_t ticket_id) REQUIRES(state.mutex);

// Requires state.mutex. Resolves the pending ticket of `handle` with `result` although the adapter gave no verdict,
// and takes its id out of use until the adapter reports it. False when the ticket is not pending here.
bool resolve_without_verdict_locked(SessionState& state, const TxTicketHandle& handle, const TxResult& result)
    REQUIRES(state.mutex);

// Pending slots whose ticket awaits a verdict.
size_t unresolved_locked(const SessionState& state) noexcept REQUIRES(state.mutex);

}  // namespace tavro
