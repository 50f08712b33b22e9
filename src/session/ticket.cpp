// Ticket waits and the names of the session's enumerations.
#include "session/ticket.hpp"

namespace tavro {

const char* uncertainty_reason_name(UncertaintyReason r) noexcept {
  switch (r) {
    case UncertaintyReason::SessionClosed: return "SessionClosed";
    case UncertaintyReason::SessionChanged: return "SessionChanged";
    case UncertaintyReason::TransportFailure: return "TransportFailure";
    case UncertaintyReason::ProtocolFault: return "ProtocolFault";
    case UncertaintyReason::CancelUnconfirmed: return "CancelUnconfirmed";
  }
  return "ProtocolFault";
}

const char* uncertainty_reason_wire_name(UncertaintyReason r) noexcept {
  switch (r) {
    case UncertaintyReason::SessionClosed: return "session_closed";
    case UncertaintyReason::SessionChanged: return "session_changed";
    case UncertaintyReason::TransportFailure: return "transport_failure";
    case UncertaintyReason::ProtocolFault: return "protocol_fault";
    case UncertaintyReason::CancelUnconfirmed: return "cancel_unconfirmed";
  }
  return "protocol_fault";
}

const char* tx_status_wire_name(TxStatus s) noexcept {
  switch (s) {
    case TxStatus::Success: return "success";
    case TxStatus::Failed: return "failed";
    case TxStatus::ArbitrationLost: return "arbitration_lost";
    case TxStatus::Cancelled: return "cancelled";
  }
  return "failed";
}

const char* cancel_outcome_name(CancelOutcome o) noexcept {
  switch (o) {
    case CancelOutcome::NotFound: return "NotFound";
    case CancelOutcome::Queued: return "Queued";
    case CancelOutcome::AbortRequested: return "AbortRequested";
    case CancelOutcome::Completed: return "Completed";
    case CancelOutcome::Ambiguous: return "Ambiguous";
    case CancelOutcome::Unsupported: return "Unsupported";
    case CancelOutcome::Busy: return "Busy";
  }
  return "Unsupported";
}

const char* cancel_outcome_wire_name(CancelOutcome o) noexcept {
  switch (o) {
    case CancelOutcome::NotFound: return "not_found";
    case CancelOutcome::Queued: return "queued";
    case CancelOutcome::AbortRequested: return "abort_requested";
    case CancelOutcome::Completed: return "completed";
    case CancelOutcome::Ambiguous: return "ambiguous";
    case CancelOutcome::Unsupported: return "unsupported";
    case CancelOutcome::Busy: return "busy";
  }
  return "unsupported";
}

bool TxTicket::complete(const TxResult& result) {
  {
    LockGuard lock(mutex_);
    if (result_) return false;
    result_ = result;
  }
  cv_.notify_all();
  return true;
}

std::optional<TxResult> TxTicket::wait(Duration timeout) { return wait_until(deadline_after(timeout)); }

std::optional<TxResult> TxTicket::wait_until(TimePoint deadline) {
  UniqueLock lock(mutex_);
  if (!result_ && deadline > Clock::now())
    cv_.wait_until(lock.native(), deadline, [this]() REQUIRES(mutex_) { return result_.has_value(); });
  return result_;
}

std::optional<TxResult> TxTicket::result() const {
  LockGuard lock(mutex_);
  return result_;
}

bool TxTicket::pending() const {
  LockGuard lock(mutex_);
  return !result_.has_value();
}

}  // namespace tavro
