// Result reader "tavro-tx-results" and the matching of result records to pending transmissions.
#include "session/tx_results.hpp"

#include <cstring>

#include "core/log.hpp"
#include "stream/records.hpp"

namespace tavro {

namespace {

constexpr auto kTxSession = log::Target::TxSession;

DeviceError protocol_failure(std::string message) { return DeviceError::communication(std::move(message)); }

bool tracked_id(uint8_t tx_id) noexcept { return tx_id >= 1 && tx_id <= SessionState::kSlots; }

}  // namespace

Status process_result_record(ResultReaderContext& ctx, const uint8_t* rec) {
  const bool is_explicit = ctx.result_mode == 1;
  const uint8_t channel = rec[0];
  const uint8_t tx_id = rec[1];
  const uint8_t status = is_explicit ? rec[2] : 0;
  const uint8_t flags = is_explicit ? rec[3] : 0;
  const uint64_t timestamp = wire::get_u64(rec + (is_explicit ? 4 : 2));

  if (channel != 0)
    return protocol_failure(is_explicit ? "TX result has nonzero channel" : "nonzero legacy echo channel");
  if (is_explicit && status >= 4) return protocol_failure("unknown TX status " + std::to_string(status));

  SessionState& st = *ctx.state;
  LockGuard lock(st.mutex);

  if (!ctx.confirmed) {
    // Unconfirmed and receive-only sessions own no transmission; only late echoes of an earlier session matter.
    if (st.echo_table && tracked_id(tx_id) && st.echo_table->state(tx_id) == EchoTable::SlotState::Abandoned)
      st.echo_table->free_abandoned(tx_id);
    return Ok{};
  }

  if (!st.valid()) return session_invalid_error(st.invalid_reason);

  if (tracked_id(tx_id)) {
    PendingSlot& slot = st.pending[tx_id - 1];
    // For a Retired slot this is the verdict of a ticket its caller already resolved: it frees the id (and hands a
    // sent frame to the receivers as usual); the ticket keeps the result it has.
    if (slot.state != PendingSlot::State::Free) {
      if (slot.state == PendingSlot::State::EchoTracked && st.echo_table)
        st.echo_table->complete(tx_id, st.echo_generation);
      std::shared_ptr<TxTicket> ticket = std::move(slot.ticket);
      if (status == 0 && ctx.own_frames_queue && ctx.own_frames.load(std::memory_order_relaxed)) {
        CanFrame own = slot.frame;
        own.flags |= FRAME_FLAG_OWN;
        own.timestamp = timestamp;
        ctx.own_frames_queue->push_own(own);  // the queue's mutex is a leaf lock
      }
      slot = PendingSlot{};
      if (ticket) ticket->complete(TxResult::terminal(static_cast<TxStatus>(status), timestamp, tx_id, flags));
      return Ok{};
    }
  }

  if (st.echo_table) {
    if (tx_id == 0) return Ok{};
    if (tracked_id(tx_id) && st.echo_table->state(tx_id) == EchoTable::SlotState::Abandoned) {
      // A late echo of a transmission an earlier channel or session gave up: the id may be used again.
      st.echo_table->free_abandoned(tx_id);
      return Ok{};
    }
  }

  // The caller logs this and then invalidates the session with ProtocolFault.
  return protocol_failure("unowned/duplicate TX result ID");
}

Status run_result_reader(ResultReaderContext& ctx) {
  std::unique_ptr<BulkInStream> stream = ctx.handoff.take();
  if (!stream) throw WorkerFault("single result worker owns stream handoff");

  const size_t rsize = ctx.record_size();
  uint8_t carry[16];
  size_t carry_len = 0;

  // Returns false when the session must stop reading.
  auto handle = [&](const uint8_t* rec) -> bool {
    Status st = process_result_record(ctx, rec);
    if (st.ok()) return true;
    TAVRO_LOG(kTxSession, log::Level::Error, "TX result protocol failure: " + st.error().detail());
    invalidate(*ctx.state, UncertaintyReason::ProtocolFault);
    return false;
  };

  // A read error ends the reading: no verdict can be told from a lost one any more.
  const auto failed = [&](const DeviceError& e) {
    TAVRO_LOG(kTxSession, log::Level::Error, "TX result reader failed: " + e.text());
    if (e.is_usb(UsbErrorKind::NoDevice)) ctx.disconnected.store(true, std::memory_order_release);
    invalidate(*ctx.state, UncertaintyReason::TransportFailure);
  };
  const auto wait = [&](Duration d) { return !ctx.stop.sleep_for(d); };
  // Results are waited for without a time-out (an idle adapter costs no wake-up); a stop interrupts the wait.
  PipeAttachment attached(ctx.stop, stream->pipe());
  bool running = true;
  while (running && !ctx.stop.requested()) {
    // A stall costs no result: a halted endpoint delivers nothing until the halt is cleared, and then what the
    // adapter still holds. A halt that cannot be cleared ends the reading like a read error.
    if (stream->halted()) {
      if (Status cleared = stream->clear_halt_when_due(wait); !cleared) {
        if (!ctx.stop.requested()) failed(cleared.error());
        break;
      }
    }
    auto r = stream->read_view(usb::kNoTimeout);
    if (!r.ok()) {
      if (r.error().is(DeviceError::Kind::Timeout) || r.error().is_usb(UsbErrorKind::Stall)) continue;
      failed(r.error());
      break;
    }
    std::span<const uint8_t> chunk = r.value();
    if (chunk.empty()) {
      ctx.stop.sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const uint8_t* p = chunk.data();
    size_t n = chunk.size();
    if (carry_len > 0) {
      const size_t take = std::min(rsize - carry_len, n);
      std::memcpy(carry + carry_len, p, take);
      carry_len += take;
      p += take;
      n -= take;
      if (carry_len < rsize) continue;
      carry_len = 0;
      if (!handle(carry)) break;
    }
    while (n >= rsize) {
      if (!handle(p)) {
        running = false;
        break;
      }
      p += rsize;
      n -= rsize;
    }
    if (running && n > 0) {
      std::memcpy(carry, p, n);
      carry_len = n;
    }
  }
  attached.detach();
  return release_stream(std::move(stream));
}

Result<WorkerThread> spawn_result_reader(const std::shared_ptr<ResultReaderContext>& ctx) {
  return WorkerThread::start("tavro-tx-results", [ctx] { return run_result_reader(*ctx); });
}

}  // namespace tavro
