// BusSession: attach, transmissions, cancellation and shutdown behind the endpoint fences.
#include "session/bus_session.hpp"

#include <algorithm>

#include "core/log.hpp"
#include "core/protocol.hpp"
#include "device/bus_state.hpp"
#include "device/records.hpp"
#include "echo/echo_table.hpp"
#include "stream/records.hpp"

namespace tavro {

namespace {

constexpr auto kTxSession = log::Target::TxSession;

std::atomic<uint64_t> g_next_session_id{1};

// How long a cancellation waits for a verdict the adapter did not promise (it holds no such frame, or it cannot
// be asked) before it calls the transmission uncertain: long enough for one already on its way.
constexpr auto kCancelVerdictWait = std::chrono::milliseconds(100);

// A receive-only session refuses for the reason the caller can act on: the listen-only mode it chose.
DeviceError path_not_owned(TxPathMode mode) {
  if (mode == TxPathMode::ReceiveOnly) return DeviceError::invalid_parameter("bus is in listen-only mode");
  return DeviceError::invalid_parameter("session does not own this transmission path");
}

}  // namespace

Result<uint64_t> take_session_id(std::atomic<uint64_t>& counter) {
  uint64_t v = counter.load(std::memory_order_relaxed);
  do {
    if (v == ~uint64_t{0}) return DeviceError::internal("TX session counter exhausted");
  } while (!counter.compare_exchange_weak(v, v + 1, std::memory_order_relaxed));
  return v;
}

Status flush_and_free_echo_ids(UsbAdapter& a) {
  TAVRO_TRY(a.control_out(ControlCommand::FlushTxQueue, 0, {}));
  // With the bus off nothing is on its way to the wire, and the flush dropped the queue and the reports still owed
  // (a new transmission session): ids held back for echoes of earlier sessions (a close or a flush with confirmed
  // frames pending) would otherwise stay reserved for the rest of the process.
  echo_table_for(a.serial())->free_all_abandoned();
  return Ok{};
}

// ---- attach ----------------------------------------------------------------------------------------------------

Result<std::shared_ptr<BusSession>> BusSession::attach(std::shared_ptr<UsbAdapter> adapter, const SessionParams& params,
                                                       TxPathMode path_mode, bool* endpoint_opened) {
  UsbAdapter& a = *adapter;

  auto info = read_device_info(a);
  if (!info) return std::move(info).error();
  if (info->channel_count != 1) return DeviceError::not_supported("attached TX requires a single channel");

  auto caps = read_capabilities(a);
  if (!caps) return std::move(caps).error();
  const uint32_t features = caps->features_supported;
  uint32_t advertised = kResultModeNotAdvertised;
  uint32_t first_generation = 0;
  if (features & protocol::kFeatureTxResults) {
    auto rm = read_tx_result_mode(a, features);
    if (!rm) return std::move(rm).error();
    advertised = rm->mode;
    first_generation = rm->generation;
  }

  auto mode = read_mode(a);
  if (!mode) return std::move(mode).error();
  auto bus = read_bus_state(a);
  if (!bus) return std::move(bus).error();

  const uint32_t effective = advertised == kResultModeNotAdvertised ? 0 : advertised;

  if (bus->state > protocol::kBusErrorPassive)
    return DeviceError::invalid_parameter("attachment requires an already-running bus; use tavro set bus on");
  if ((mode.value() & protocol::kModeListenOnly) && path_mode != TxPathMode::ReceiveOnly)
    return DeviceError::invalid_parameter("cannot send in listen-only mode");
  if (mode.value() & protocol::kModeFd) return DeviceError::not_supported("attached TX requires Classic CAN mode");
  if ((mode.value() & protocol::kModePresumeAck) && effective == 0 && path_mode == TxPathMode::Confirmed)
    return DeviceError::not_supported(
        "legacy echo is disabled by PRESUME_ACK; configure tavro set bus on --tx-confirm first");

  uint32_t firmware_generation = 0;
  if (path_mode == TxPathMode::Confirmed) {
    // Starts a new firmware transmission session, so nothing of an earlier user can be reported to us.
    TAVRO_TRY(a.control_out(ControlCommand::FlushTxQueue, 0, {}));
  }
  if (advertised != kResultModeNotAdvertised) {
    auto rm = read_tx_result_mode(a, features);
    if (!rm) return std::move(rm).error();
    if (rm->mode != advertised || (path_mode == TxPathMode::Confirmed && rm->generation == first_generation))
      return DeviceError::communication("TX reset/format readback mismatch");
    firmware_generation = rm->generation;
  }

  auto channel = TavroChannel::open(adapter, params, endpoint_opened);
  if (!channel) return std::move(channel).error();

  auto id = take_session_id(g_next_session_id);
  if (!id) return std::move(id).error();  // dropping the channel stops its worker

  std::shared_ptr<BusSession> s(new BusSession());
  s->adapter_ = std::move(adapter);
  s->channel_ = std::move(channel).value();
  s->session_id_ = id.value();
  s->result_mode_ = effective;
  s->advertised_mode_ = advertised;
  s->firmware_generation_ = firmware_generation;
  s->features_ = features;
  s->path_mode_ = path_mode;

  s->state_ = std::make_shared<SessionState>();
  {
    LockGuard lock(s->state_->mutex);  // not yet shared: for the analysis
    s->state_->session_id = s->session_id_;
    if (effective == 0) {
      s->state_->echo_table = s->channel_->echo_table();
      s->state_->echo_generation = s->channel_->echo_generation();
    }
  }
  s->reader_ctx_ = std::make_shared<ResultReaderContext>(s->state_, effective, path_mode == TxPathMode::Confirmed);
  s->reader_ctx_->own_frames_queue = &s->channel_->queue();

  auto stream = BulkInStream::open(*s->adapter_, protocol::kEpTxResultIn, params.bulk_in_transfer_size,
                                   params.result_queue_depth);
  if (!stream) return std::move(stream).error();  // releasing `s` shuts the receive worker down
  s->reader_ctx_->handoff.put(std::move(stream).value());

  auto reader = spawn_result_reader(s->reader_ctx_);
  if (!reader) {
    DeviceError e = DeviceError::internal("start TX result reader: " + reader.error().detail());
    (void)s->shutdown();
    s.reset();
    return e;
  }
  s->reader_ = std::move(reader).value();
  return s;
}

BusSession::~BusSession() {
  if (channel_) {
    Status st = shutdown();
    if (!st) TAVRO_LOG(kTxSession, log::Level::Warn, "TX session cleanup failed: " + st.error().text());
  }
  channel_.reset();
}

// ---- receive ---------------------------------------------------------------------------------------------------

namespace {
constexpr auto kTransportFailureGrace = std::chrono::milliseconds(20);
}  // namespace

Result<CanFrame> BusSession::receive(TimePoint deadline) {
  const uint8_t reason = state_->invalid_snapshot.load(std::memory_order_acquire);
  TimePoint until = deadline;
  if (reason != SessionState::kValid) {
    // A failed result reader says nothing about reception: frames already received are still handed out, and
    // an unplug (which usually fails the reader first) is reported as the receive side's own disconnection
    // once the queue is drained. The receive worker notices an unplug within one short read.
    if (static_cast<UncertaintyReason>(reason) != UncertaintyReason::TransportFailure)
      return session_invalid_error(reason);
    until = std::min(deadline, Clock::now() + kTransportFailureGrace);
  }
  Result<CanFrame> r = channel_->queue().pop(until);
  if (!r.ok() && reason != SessionState::kValid && r.error().is(DeviceError::Kind::Timeout))
    return session_invalid_error(reason);
  if (r.ok()) {
    rx_frames_.fetch_add(1, std::memory_order_relaxed);
    rx_bytes_.fetch_add(r->dlc, std::memory_order_relaxed);
  }
  return r;
}

// ---- transmissions ---------------------------------------------------------------------------------------------

TxWriteResult BusSession::send_unconfirmed(const CanFrame& frame, Duration timeout, WriteWait how) {
  const TimePoint deadline = deadline_after(timeout);
  TimedLock tx(transmit_lock_, std::defer_lock);
  if (!tx.try_lock_until(deadline)) return {DeviceError::timeout(), TxWriteState::NotSubmitted};

  if (Status v = validate_managed_frame(frame); !v) return {std::move(v), TxWriteState::NotSubmitted};
  {
    LockGuard lock(state_->mutex);
    if (!state_->valid()) return {session_invalid_error(state_->invalid_reason), TxWriteState::NotSubmitted};
  }
  if (path_mode_ != TxPathMode::Unconfirmed) return {path_not_owned(path_mode_), TxWriteState::NotSubmitted};

  const Duration remaining = time_left(deadline);
  if (remaining <= Duration::zero()) return {DeviceError::timeout(), TxWriteState::NotSubmitted};

  // Unconfirmed records carry transmission id 0: the adapter reports nothing we would have to account for.
  uint8_t record[protocol::kTxRecordSize];
  encode_tx_record(frame, 0, record);
  tx.unlock();
  how.abort = &stopping_;
  TxWriteResult w = write_tx_record(*adapter_, record, remaining, how);
  if (w.status.ok()) {
    w.state = TxWriteState::Written;
    tx_frames_.fetch_add(1, std::memory_order_relaxed);
    tx_bytes_.fetch_add(frame.dlc, std::memory_order_relaxed);
  }
  return w;
}

Result<SubmitResult> BusSession::submit_confirmed(const CanFrame& frame, Duration timeout, WriteWait how) {
  const TimePoint deadline = deadline_after(timeout);
  TimedLock tx(transmit_lock_, std::defer_lock);
  if (!tx.try_lock_until(deadline)) return DeviceError::timeout();
  if (time_left(deadline) <= Duration::zero()) return DeviceError::timeout();

  TAVRO_TRY(validate_managed_frame(frame));
  if (path_mode_ != TxPathMode::Confirmed) return path_not_owned(path_mode_);

  TxTicketHandle handle;
  {
    SessionState& st = *state_;
    LockGuard lock(st.mutex);
    if (!st.valid()) return session_invalid_error(st.invalid_reason);
    if (st.next_ticket_id == SessionState::kTicketIdsExhausted)
      return DeviceError::internal("TX ticket counter exhausted");

    PendingSlot* slot = nullptr;
    uint64_t echo_sequence = 0;
    if (st.echo_table) {
      auto alloc = st.echo_table->allocate(st.echo_generation);
      if (!alloc) return DeviceError::tx_busy();
      slot = &st.pending[alloc->tx_id - 1];
      if (slot->state != PendingSlot::State::Free) {
        // Cannot happen while every EchoTracked slot holds its echo slot; refuse rather than overwrite a ticket.
        st.echo_table->release(alloc->tx_id, st.echo_generation, alloc->sequence);
        return DeviceError::tx_busy();
      }
      slot->state = PendingSlot::State::EchoTracked;
      echo_sequence = alloc->sequence;
      slot->tx_id = alloc->tx_id;
    } else {
      for (int k = 0; k < SessionState::kSlots; ++k) {
        const int i = (st.cursor + k) % SessionState::kSlots;
        if (st.pending[i].state != PendingSlot::State::Free) continue;
        slot = &st.pending[i];
        slot->state = PendingSlot::State::Explicit;
        slot->tx_id = uint8_t(i + 1);
        st.cursor = uint8_t((i + 1) % SessionState::kSlots);
        break;
      }
      if (!slot) return DeviceError::tx_busy();
    }
    handle.ticket = std::make_shared<TxTicket>();
    handle.session_id = st.session_id;
    handle.ticket_id = st.next_ticket_id++;
    handle.tx_id = slot->tx_id;
    slot->echo_sequence = echo_sequence;
    slot->ticket = handle.ticket;
    slot->ticket_id = handle.ticket_id;
    slot->frame = frame;
  }

  const Duration remaining = time_left(deadline);
  if (remaining <= Duration::zero()) {
    give_back(handle);
    return DeviceError::timeout();
  }

  // The slot is taken: a shutdown from here on resolves the ticket as uncertain, which is what it is.
  uint8_t record[protocol::kTxRecordSize];
  encode_tx_record(frame, handle.tx_id, record);
  tx.unlock();
  how.abort = &stopping_;
  TxWriteResult w = write_tx_record(*adapter_, record, remaining, how);
  if (w.status.ok()) {
    tx_frames_.fetch_add(1, std::memory_order_relaxed);
    tx_bytes_.fetch_add(frame.dlc, std::memory_order_relaxed);
    return SubmitResult{std::move(handle), std::nullopt};
  }
  if (w.state == TxWriteState::Uncertain) {
    // The adapter may still send and report it: keep the slot, hand out the ticket with the write error.
    return SubmitResult{std::move(handle), std::move(w.status).error()};
  }
  give_back(handle);
  return std::move(w.status).error();
}

void BusSession::give_back(const TxTicketHandle& handle) {
  LockGuard lock(state_->mutex);
  if (handle.session_id != state_->session_id) return;
  give_back_locked(*state_, handle.tx_id, handle.ticket_id);
}

// ---- cancellation ----------------------------------------------------------------------------------------------

Result<CancelResult> BusSession::cancel(const TxTicketHandle& handle, Duration timeout) {
  const TimePoint deadline = deadline_after(timeout);
  // Held across the control request, so no new transmission can take the slot while its cancellation runs.
  TimedLock tx(transmit_lock_, std::defer_lock);
  if (!tx.try_lock_until(deadline)) return DeviceError::timeout();

  const bool can_ask = result_mode_ == 1 && (features_ & protocol::kFeatureCancel);
  {
    SessionState& st = *state_;
    LockGuard lock(st.mutex);
    if (handle.session_id != st.session_id) return DeviceError::invalid_parameter("ticket belongs to another session");
    if (!st.valid()) return session_invalid_error(st.invalid_reason);
    if (handle.tx_id < 1 || handle.tx_id > SessionState::kSlots) return CancelResult{};
    const PendingSlot& slot = st.pending[handle.tx_id - 1];
    if (!slot.awaiting() || slot.ticket_id != handle.ticket_id) return CancelResult{};
  }
  const Duration remaining = time_left(deadline);
  if (remaining <= Duration::zero()) return DeviceError::timeout();

  // An answered cancellation always resolves the ticket, whatever the outcome (and so does one the adapter cannot
  // be asked): a ticket the caller cannot end would lock the handle's configuration for good (a write that never
  // arrived has no verdict to wait for). The adapter's verdict wins when it comes in time: until the caller's
  // deadline when the adapter holds (or held) the frame and so owes one ("cancelled" for a frame it withdrew),
  // briefly otherwise. Without it the ticket is Uncertain(CancelUnconfirmed), and its id stays out of use until
  // the adapter reports it or the session ends (resolve_without_verdict_locked).
  auto settle = [&](TimePoint until) {
    if (handle.ticket) handle.ticket->wait_until(until);
    LockGuard lock(state_->mutex);
    resolve_without_verdict_locked(*state_, handle, TxResult::uncertain(UncertaintyReason::CancelUnconfirmed));
  };
  auto brief = [&] { return std::min(deadline, Clock::now() + kCancelVerdictWait); };
  if (!can_ask) {
    // Without explicit results or CANCEL_TX the adapter is not asked; an echo may be on its way.
    settle(brief());
    return CancelResult{};
  }

  auto reply = adapter_->control_in(ControlCommand::CancelTx, handle.tx_id, 8, remaining);
  Result<CancelResult> out = [&]() -> Result<CancelResult> {
    if (!reply) return std::move(reply).error();
    const std::vector<uint8_t>& b = reply.value();
    if (b.size() != 8) return DeviceError::communication("expected 8 bytes, received " + std::to_string(b.size()));
    if (b[0] >= kCancelOutcomeCount)
      return DeviceError::communication("unknown cancellation outcome " + std::to_string(b[0]));
    CancelResult r;
    r.tracked = true;
    r.outcome = static_cast<CancelOutcome>(b[0]);
    r.status_word = wire::get_u32(b.data());
    r.generation = wire::get_u32(b.data() + 4);
    if (advertised_mode_ != kResultModeNotAdvertised && r.generation != firmware_generation_) {
      invalidate(*state_, UncertaintyReason::SessionChanged);
      return DeviceError::communication("firmware TX session changed; old delivery is uncertain");
    }
    if (r.outcome == CancelOutcome::Ambiguous || r.outcome == CancelOutcome::Unsupported) {
      invalidate(*state_, UncertaintyReason::ProtocolFault);
      return DeviceError::communication(std::string("unexpected cancellation reply: ") +
                                        cancel_outcome_name(r.outcome));
    }
    return r;
  }();
  // A request that failed leaves the ticket as it was (an invalidation above has resolved it): the caller may ask
  // again, and a flush or reset resolves it in any case.
  if (out) settle(out->outcome == CancelOutcome::NotFound ? brief() : deadline);
  return out;
}

bool BusSession::resolve_without_verdict(const TxTicketHandle& handle, UncertaintyReason reason) {
  LockGuard lock(state_->mutex);
  return resolve_without_verdict_locked(*state_, handle, TxResult::uncertain(reason));
}

// ---- shutdown --------------------------------------------------------------------------------------------------

Status BusSession::shutdown() {
  stopping_.store(true, std::memory_order_release);
  UniqueLock sl(shutdown_mutex_);
  shutdown_cv_.wait(sl.native(), [this]() REQUIRES(shutdown_mutex_) { return !fencing_; });
  if (complete_) return Ok{};

  if (!fence_passed_) {
    fencing_ = true;
    sl.unlock();

    std::optional<DeviceError> first;
    auto note = [&first](const DeviceError& e) {
      if (!first) first = e;
    };

    reader_ctx_->stop.request();
    channel_->request_stop();

    // No session lock is held across these joins; the workers never take the transmit lock.
    WorkerThread::Joined rx = channel_->join_worker();
    if (rx.faulted) {
      note(DeviceError::internal("RX worker panicked before endpoint fence"));
    } else if (!rx.result.ok()) {
      note(rx.result.error());
    }
    WorkerThread reader = std::move(reader_);
    WorkerThread::Joined rr = reader.join();
    if (rr.faulted) {
      note(DeviceError::internal("result reader panicked before endpoint fence"));
    } else if (!rr.result.ok()) {
      note(rr.result.error());
    }
    // A reader that never started leaves its stream in the slot.
    if (Status leftover = release_stream(reader_ctx_->handoff.take()); !leftover) note(leftover.error());

    // Receivers still waiting get the end of the stream now rather than at their time-out.
    channel_->queue().close(rx_channel_disconnected());
    {
      // Waits for a transmission's bookkeeping in progress, so its ticket is resolved here and not left behind.
      LockGuard tx(transmit_lock_);
      invalidate(*state_, UncertaintyReason::SessionClosed);
    }

    sl.lock();
    fencing_ = false;
    fence_passed_ = true;
    if (first) cleanup_error_ = DeviceError::communication("endpoint cleanup unconfirmed: " + first->text());
    shutdown_cv_.notify_all();
  }
  if (cleanup_error_) return *cleanup_error_;
  complete_ = true;
  return Ok{};
}

// ---- queries ---------------------------------------------------------------------------------------------------

size_t BusSession::unresolved_ticket_count() const {
  LockGuard lock(state_->mutex);
  return unresolved_locked(*state_);
}

SessionCounters BusSession::counters() const noexcept {
  const RxWorkerContext& rx = channel_->worker_context();
  SessionCounters c;
  c.rx_frames = rx_frames_.load(std::memory_order_relaxed);
  c.tx_frames = tx_frames_.load(std::memory_order_relaxed);
  c.rx_bytes = rx_bytes_.load(std::memory_order_relaxed);
  c.tx_bytes = tx_bytes_.load(std::memory_order_relaxed);
  c.rx_overruns = rx.receive_drops();
  c.bus_warnings = rx.bus_warnings.load(std::memory_order_relaxed);
  c.bus_offs = rx.bus_off_events.load(std::memory_order_relaxed);
  c.rx_stream_drops = rx.stream_drops.load(std::memory_order_relaxed);
  return c;
}

std::optional<UncertaintyReason> BusSession::invalid_reason() const noexcept {
  const uint8_t r = state_->invalid_snapshot.load(std::memory_order_acquire);
  if (r == SessionState::kValid) return std::nullopt;
  return static_cast<UncertaintyReason>(r);
}

}  // namespace tavro
