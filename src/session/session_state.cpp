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
  if (slot.state == PendingSlot::State::Free || slot.ticket_id != ticket_id) return;
  if (slot.state == PendingSlot::State::EchoTracked && state.echo_table)
    state.echo_table->release(tx_id, state.echo_generation, slot.echo_sequence);
  slot = PendingSlot{};
}

size_t unresolved_locked(const SessionState& state) noexcept {
  size_t n = 0;
  for (const PendingSlot& slot : state.pending) n += slot.state != PendingSlot::State::Free;
  return n;
}

}  // namespace tavro
