// Starting and stopping the data path of a handle: attach/detach of the bus session, and the
// reconfiguration sequence that every configuration change needing a stopped bus goes through.
#include "core/log.hpp"
#include "device/bus_state.hpp"
#include "handle/handle.hpp"
#include "session/bus_session.hpp"

namespace tavro {

namespace {
constexpr uint32_t kFdBits = protocol::kModeFd | protocol::kModeFdReserved;
}

Op<void> DeviceShared::check_no_pending_tickets() {
  if (auto u = check_usable(); !u.ok()) return std::move(u).error();
  if (state_.confirmation_mode == 1 && state_.session && state_.session->unresolved_ticket_count() != 0)
    return OpError::refused("Confirmed TX tickets are pending; await/cancel them before changing CAN configuration");
  return {};
}

Op<void> DeviceShared::attach_session() {
  auto usable = check_usable();
  if (!usable.ok()) return std::move(usable).error();
  if (state_.session) return {};
  UsbAdapter& adapter = *usable.value();

  auto mode = read_mode(adapter);
  if (!mode.ok()) return mode.error();
  uint32_t mode_word = mode.value();
  if (mode_word & kFdBits) return OpError::refused("CAN FD transport is not supported");
  const bool requested_listen_only = state_.requested_mode && (*state_.requested_mode & protocol::kModeListenOnly) != 0;
  if ((mode_word & protocol::kModeListenOnly) && !requested_listen_only) {
    // Left behind by an earlier user of the adapter: a session attached this way could never send, and the caller
    // who configured this handle for sending would only find out at the first send.
    TAVRO_LOG(log::Target::Device, log::Level::Warn,
              "Adapter is in listen-only mode that this handle did not request; clearing it");
    if (auto s = write_mode(adapter, mode_word & ~protocol::kModeListenOnly); !s.ok()) return s.error();
    auto back = read_mode(adapter);
    if (!back.ok()) return back.error();
    if (back.value() & protocol::kModeListenOnly)
      return OpError::refused("CAN mode readback does not match the requested setting");
    mode_word = back.value();
  }
  const bool listen_only = (mode_word & protocol::kModeListenOnly) != 0;
  const TxPathMode path = listen_only                     ? TxPathMode::ReceiveOnly
                          : state_.confirmation_mode == 1 ? TxPathMode::Confirmed
                                                          : TxPathMode::Unconfirmed;

  if (caps_.has_feature(protocol::kFeatureTxResults)) {
    auto selected = select_tx_result_mode(adapter, kTxResultModeExplicit);
    if (!selected.ok()) return selected.error();
  } else if ((mode_word & protocol::kModePresumeAck) && state_.confirmation_mode == 1) {
    // Without explicit results, confirmation relies on echoes, which presume-acknowledge would suppress.
    if (auto s = write_mode(adapter, mode_word & ~(kFdBits | protocol::kModePresumeAck)); !s.ok()) return s.error();
  }

  // From the bus-on request on, a failure must not leave the adapter on the bus with no session to drive it.
  bool endpoint_opened = false;
  Op<void> failed = [&]() REQUIRES(state_lock_) -> Op<void> {
    if (auto s = switch_bus(adapter, true); !s.ok()) return s.error();
    auto session = BusSession::attach(usable.value(), SessionParams{}, path, &endpoint_opened);
    if (!session.ok()) return session.error();
    state_.listen_only = listen_only;
    session.value()->set_own_frames(state_.own_frames);
    state_.session = std::move(session.value());
    return {};
  }();
  if (failed.ok()) {
    flags_->generation.fetch_add(1);
    return {};
  }
  bus_off_best_effort(adapter);
  // Only a failure after a bulk endpoint was opened leaves something whose clean-up we cannot vouch for; before
  // that it is an ordinary failed request and the handle stays usable.
  if (!endpoint_opened) return failed;
  state_.attach_uncertain = true;
  flags_->failed.store(true);
  state_.failure = OpError::refused(
      "Session attachment failed; endpoint cleanup cannot be verified, release this handle and reopen: " +
      failed.error().message);
  return *state_.failure;
}

Op<void> DeviceShared::detach_session() {
  flags_->generation.fetch_add(1);
  if (!state_.session) return {};
  if (auto s = state_.session->shutdown(); !s.ok()) {
    state_.failure = OpError::refused("Session shutdown failed; reopen the device: " + s.error().text());
    flags_->failed.store(true);
    return *state_.failure;
  }
  wait_gate_empty();
  add_session_counters(*state_.session);
  state_.session.reset();
  return {};
}

void DeviceShared::add_session_counters(const BusSession& session) {
  const SessionCounters c = session.counters();
  const uint64_t values[kCounterCount] = {c.rx_frames,   c.tx_frames,    c.rx_bytes, c.tx_bytes,
                                          c.rx_overruns, c.bus_warnings, c.bus_offs, c.rx_stream_drops};
  for (size_t i = 0; i < kCounterCount; ++i)
    state_.lifetime_counters[i] = saturating_add(state_.lifetime_counters[i], values[i]);
}

uint64_t DeviceShared::dropped_frames() {
  uint64_t n = state_.lifetime_counters[kRxOverruns];
  if (state_.session) n = saturating_add(n, state_.session->receive_drops());
  return n;
}

Counters DeviceShared::counters_now() {
  Counters c = state_.lifetime_counters;
  if (state_.session) {
    const SessionCounters s = state_.session->counters();
    const uint64_t values[kCounterCount] = {s.rx_frames,   s.tx_frames,    s.rx_bytes, s.tx_bytes,
                                            s.rx_overruns, s.bus_warnings, s.bus_offs, s.rx_stream_drops};
    for (size_t i = 0; i < kCounterCount; ++i) c[i] = saturating_add(c[i], values[i]);
  }
  return c;
}

Op<void> DeviceShared::reconfigure(const std::function<Op<void>(UsbAdapter&)>& command, bool restart,
                                   bool discards_queue) {
  LockGuard lk(state_lock_);
  return reconfigure_locked(command, restart, discards_queue);
}

Op<void> DeviceShared::reconfigure_locked(const std::function<Op<void>(UsbAdapter&)>& command, bool restart,
                                          bool discards_queue) {
  if (discards_queue) {
    if (auto u = check_usable(); !u.ok()) return std::move(u).error();
  } else if (auto p = check_no_pending_tickets(); !p.ok()) {
    return p;
  }
  const bool had_session = state_.session != nullptr;
  notify_periodic_tasks();
  if (auto d = detach_session(); !d.ok()) {
    notify_bus_waiters();
    return d;
  }
  Op<void> result = [&]() REQUIRES(state_lock_) -> Op<void> {
    auto usable = check_usable();
    if (!usable.ok()) return std::move(usable).error();
    if (had_session) {
      if (auto s = switch_bus(*usable.value(), false); !s.ok()) {
        bus_off_best_effort(*usable.value());  // no session drives it any more
        return s.error();
      }
    }
    if (auto c = command(*usable.value()); !c.ok()) return c;
    if (had_session && restart) return attach_session();
    return {};
  }();
  notify_bus_waiters();
  return result;
}

Op<void> DeviceShared::bus_on() {
  LockGuard lk(state_lock_);
  Op<void> r = attach_session();
  notify_bus_waiters();
  return r;
}

Op<void> DeviceShared::bus_off() {
  // Switched off whether or not this handle started the bus; nothing is restarted.
  LockGuard lk(state_lock_);
  if (auto p = check_no_pending_tickets(); !p.ok()) return p;
  notify_periodic_tasks();
  Op<void> result = detach_session();
  if (result.ok()) {
    auto usable = check_usable();
    if (!usable.ok()) {
      result = std::move(usable).error();
    } else if (auto s = switch_bus(*usable.value(), false); !s.ok()) {
      bus_off_best_effort(*usable.value());
      result = s.error();
    }
  }
  notify_bus_waiters();
  return result;
}

}  // namespace tavro
