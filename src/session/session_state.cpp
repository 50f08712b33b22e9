// Invalidation and slot bookkeeping of the session's pending table.
#include "session/session_state.hpp"

namespace tavro {

DeviceError session_invalid_error(uint8_t reason) {
  const char* name = reason < 4 ? uncertainty_reason_name(static_cast<UncertaintyReason>(reason)) : "ProtocolFault";
  return DeviceError::communication(std::string("TX session invalid: ") + name + "; close and reopen");
}

void invalidate_locked(SessionState& state, UncertaintyReason reason) {
  if (state.invalid_reason == SessionState::kValid) {
    state.invalid_reason = static_cast<uint8_t>(reason);
    state.invalid_snapshot.store(state.invalid_reason, std::memory_order_release);
  }
  for (PendingSlot& slot : state.pending) {
    if (slot.state == PendingSlot::State::Free) continue;
    if (slot.state == PendingSlot::State::Retired) {
      slot = PendingSlot{};
      continue;
    }
    // The adapter may still report this id later; its echo slot stays out of use until it does.
    if (slot.state == PendingSlot::State::EchoTracked && state.echo_table)
      state.echo_table->abandon(slot.tx_id, state.echo_generation, slot.echo_sequence);
    std::shared_ptr<TxTicket> ticket = std::move(slot.ticket);
    slot = PendingSlot{};
    if (ticket) ticket->complete(TxResult::uncertain(reason));
  }
}

void give_back_locked(SessionState& state, uint8_t tx_id, uint64_t ticket_id) {
  if (tx_id < 1 || tx_id > SessionState::kSlots) return;
  PendingSlot& slot = state.pending[tx_id - 1];
  if (!slot.awaiting() || slot.ticket_id != ticket_id) return;
  if (slot.state == PendingSlot::State::EchoTracked && state.echo_table)
    state.echo_table->release(tx_id, state.echo_generation, slot.echo_sequence);
  slot = PendingSlot{};
}

// Every ticket can be resolved by its caller, so that a transmission the adapter never reports (a write that did
// not arrive, a verdict that got lost) cannot lock the handle's configuration for good:
// - with explicit results the id is retired, not freed: the adapter may still report it, and a report for a free
//   id would be a protocol fault that invalidates every other ticket. The report, when it comes, frees the id;
//   the end of the session frees it in any case (every later session starts with a flushed adapter queue).
// - with legacy echoes the echo slot is abandoned, the same state a gone channel leaves behind: the late echo
//   frees it, and a flush with the bus off (flush_tx_queue, the next open) frees what never comes.
bool resolve_without_verdict_locked(SessionState& state, const TxTicketHandle& handle, const TxResult& result) {
  if (handle.session_id != state.session_id || handle.tx_id < 1 || handle.tx_id > SessionState::kSlots) return false;
  PendingSlot& slot = state.pending[handle.tx_id - 1];
  if (!slot.awaiting() || slot.ticket_id != handle.ticket_id) return false;
  std::shared_ptr<TxTicket> ticket = std::move(slot.ticket);
  if (slot.state == PendingSlot::State::EchoTracked) {
    if (state.echo_table) state.echo_table->abandon(slot.tx_id, state.echo_generation, slot.echo_sequence);
    slot = PendingSlot{};
  } else {
    slot.state = PendingSlot::State::Retired;
  }
  if (ticket) ticket->complete(result);
  return true;
}

size_t unresolved_locked(const SessionState& state) noexcept {
  size_t n = 0;
  for (const PendingSlot& slot : state.pending) n += slot.awaiting();
  return n;
}

}  // namespace tavro
