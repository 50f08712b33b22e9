// BusSession: attach preconditions and readbacks, unconfirmed and confirmed transmissions, transmission ids,
// shutdown behind the endpoint fences and ticket resolution.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/platform.hpp"
#include "session/bus_session.hpp"
#include "sim_adapter.hpp"

using namespace std::chrono_literals;
using namespace tavro;
using test::eventually;
using test::make_frame;

namespace {

class SessionTest : public test::SimSessionTest {
 protected:
  Result<std::shared_ptr<BusSession>> attach(TxPathMode mode) {
    return BusSession::attach(adapter, SessionParams{}, mode);
  }
  std::shared_ptr<BusSession> attach_ok(TxPathMode mode) {
    auto s = attach(mode);
    EXPECT_TRUE(s.ok()) << s.error().text();
    return s.ok() ? s.value() : nullptr;
  }
  bool endpoints_quiet() {
    return !dev->endpoint_open(protocol::kEpRxIn) && !dev->endpoint_open(protocol::kEpTxResultIn);
  }
};

}  // namespace

TEST_F(SessionTest, AttachRefusesWhatItCannotServe) {
  struct Case {
    const char* what;
    std::function<void()> setup;
    TxPathMode mode;
    const char* error;
  };
  const auto answer = [](ControlCommand c, test::Bytes payload) {
    sim::FaultRule r = test::control_fault(c, true, test::Action::Reply, std::move(payload));
    r.count = -1;
    return r;
  };
  const std::vector<Case> cases = {
      {"bus stopped", [&] { plug(); }, TxPathMode::Unconfirmed,
       "Invalid parameter: attachment requires an already-running bus; use tavro set bus on"},
      {"bus-off", [&] { dev->firmware().set_bus_state_override(protocol::kBusOff); }, TxPathMode::ReceiveOnly,
       "Invalid parameter: attachment requires an already-running bus; use tavro set bus on"},
      {"listen-only sender", [&] { plug(), bus_on(protocol::kModeListenOnly); }, TxPathMode::Unconfirmed,
       "Invalid parameter: cannot send in listen-only mode"},
      {"CAN FD", [&] { dev->add_fault(answer(ControlCommand::Mode, test::Bytes{protocol::kModeFd, 0, 0, 0})); },
       TxPathMode::Unconfirmed, "Not supported: attached TX requires Classic CAN mode"},
      {"presume-ack legacy confirmed", [&] { plug(), bus_on(protocol::kModePresumeAck); }, TxPathMode::Confirmed,
       "Not supported: legacy echo is disabled by PRESUME_ACK; configure tavro set bus on --tx-confirm first"},
      {"two channels", [&] { profile.channel_count = 2, plug(), bus_on(); }, TxPathMode::Unconfirmed,
       "Not supported: attached TX requires a single channel"},
      {"flush keeps generation",
       [&] {
         use_explicit_results();
         dev->add_fault(answer(ControlCommand::TxResultMode, test::cat({test::u32(1), test::u32(7), test::u32(32)})));
       },
       TxPathMode::Confirmed, "Communication error: TX reset/format readback mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    profile = test::SimRig::profile();
    profile.firmware_version = {1, 4, 0, 12};
    profile.features_supported = 0;
    plug();
    bus_on();
    c.setup();
    auto s = attach(c.mode);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), c.error);
    EXPECT_TRUE(endpoints_quiet()) << "a failed attach leaves nothing running";
  }
}

TEST_F(SessionTest, AttachAcceptsListenOnlyReceiversAndPresumeAckWithoutConfirmation) {
  plug();
  bus_on(protocol::kModeListenOnly);
  auto ro = attach_ok(TxPathMode::ReceiveOnly);
  ASSERT_TRUE(ro);
  EXPECT_EQ(ro->path_mode(), TxPathMode::ReceiveOnly);
  auto refused = ro->send_unconfirmed(make_frame(1, 0), 1s);
  EXPECT_EQ(refused.status.error().text(), "Invalid parameter: bus is in listen-only mode");
  EXPECT_EQ(refused.state, TxWriteState::NotSubmitted);
  ro.reset();

  plug();
  bus_on(protocol::kModePresumeAck);
  auto un = attach_ok(TxPathMode::Unconfirmed);
  ASSERT_TRUE(un);
  EXPECT_EQ(requests(ControlCommand::FlushTxQueue).size(), 0u) << "only confirmed sessions flush";
}

TEST_F(SessionTest, ConfirmedAttachFlushesAndTakesTheNewFirmwareGeneration) {
  use_explicit_results();
  const uint32_t generation = dev->firmware().state().generation;
  auto s = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(s);
  EXPECT_EQ(requests(ControlCommand::FlushTxQueue).size(), 1u);
  EXPECT_EQ(s->result_mode(), 1u);
  EXPECT_EQ(s->advertised_mode(), 1u);
  EXPECT_EQ(s->firmware_generation(), generation + 1);

  const auto names = platform::thread_names();
  const auto named = [&](const char* n) { return std::count(names.begin(), names.end(), n) == 1; };
  EXPECT_TRUE(named("tavro-rx"));
  EXPECT_TRUE(named("tavro-tx-result")) << "names keep 15 characters of \"tavro-tx-results\"";
  EXPECT_TRUE(eventually([&] { return dev->pending_in(protocol::kEpTxResultIn) == std::vector<size_t>(2, 1024); }));
  EXPECT_TRUE(eventually([&] { return dev->pending_in(protocol::kEpRxIn).size() == 4; }));
}

TEST_F(SessionTest, SessionIdsIncreaseAndTicketIdsStartAtOne) {
  auto first = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(first);
  auto t = first->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->ticket.ticket_id, 1u);
  EXPECT_EQ(t->ticket.session_id, first->session_id());
  const uint64_t id1 = first->session_id();
  EXPECT_GE(id1, 1u);
  first.reset();

  auto second = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(second);
  EXPECT_GT(second->session_id(), id1);
  auto t2 = second->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_TRUE(t2.ok());
  EXPECT_EQ(t2->ticket.ticket_id, 1u);

  std::atomic<uint64_t> counter{~uint64_t{0} - 1};
  EXPECT_EQ(*take_session_id(counter), ~uint64_t{0} - 1);
  auto exhausted = take_session_id(counter);
  ASSERT_FALSE(exhausted.ok());
  EXPECT_EQ(exhausted.error().text(), "Internal error: TX session counter exhausted");
}

TEST_F(SessionTest, SendUnconfirmedWritesTheRecordAndCounts) {
  auto s = attach_ok(TxPathMode::Unconfirmed);
  ASSERT_TRUE(s);
  CanFrame f = make_frame(0x12345678, 3, /*extended=*/true);
  auto w = s->send_unconfirmed(f, 1s);
  ASSERT_TRUE(w.status.ok()) << w.status.error().text();
  EXPECT_EQ(w.state, TxWriteState::Written);
  CanFrame r = make_frame(0x7FF, 0, false, /*rtr=*/true);
  r.dlc = 4;  // a remote frame keeps its dlc
  ASSERT_TRUE(s->send_unconfirmed(r, 1s).status.ok());

  const auto written = dev->bulk_out_records();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], (test::Bytes{0x00, 0x03, 0x04, 0x00, 0x78, 0x56, 0x34, 0x92, 0xA0, 0xA1, 0xA2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(written[1], (test::Bytes{0x00, 0x04, 0x02, 0x00, 0xFF, 0x07, 0x00, 0x40, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s->counters().tx_frames, 2u);
  EXPECT_EQ(s->counters().tx_bytes, 7u);

  // Refusals before the write leave nothing on the wire.
  auto bad = s->send_unconfirmed(make_frame(0x800, 0), 1s);
  EXPECT_EQ(bad.status.error().text(), "Invalid parameter: invalid classic CAN frame for managed TX");
  EXPECT_EQ(bad.state, TxWriteState::NotSubmitted);
  auto late = s->send_unconfirmed(make_frame(1, 0), 0ms);
  EXPECT_TRUE(late.status.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(late.state, TxWriteState::NotSubmitted);
  EXPECT_EQ(dev->bulk_out_records().size(), 2u);

  // A partial acceptance is uncertain and is not counted as transmitted.
  sim::FaultRule partial_accept = test::fault(test::Target::BulkOut, test::Action::PartialAccept);
  partial_accept.length = 8;
  dev->add_fault(partial_accept);
  auto partial = s->send_unconfirmed(make_frame(1, 0), 1s);
  EXPECT_FALSE(partial.status.ok());
  EXPECT_EQ(partial.state, TxWriteState::Uncertain);
  EXPECT_EQ(s->counters().tx_frames, 2u);

  auto confirmed = s->submit_confirmed(make_frame(1, 0), 1s);
  EXPECT_EQ(confirmed.error().text(), "Invalid parameter: session does not own this transmission path");
}

TEST_F(SessionTest, ExplicitModeHandsOutSixteenIdsThenTxBusy) {
  use_explicit_results();
  auto s = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(s);
  std::vector<TxTicketHandle> tickets;
  for (int i = 0; i < 16; ++i) {
    auto t = s->submit_confirmed(make_frame(0x100 + i, 1), 1s);
    ASSERT_TRUE(t.ok()) << t.error().text();
    EXPECT_FALSE(t->write_error.has_value());
    EXPECT_EQ(t->ticket.tx_id, i + 1);
    EXPECT_EQ(t->ticket.ticket_id, uint64_t(i + 1));
    tickets.push_back(t->ticket);
  }
  EXPECT_EQ(s->unresolved_ticket_count(), 16u);
  const auto written = dev->bulk_out_records();
  ASSERT_EQ(written.size(), 16u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(written[i][3], i + 1) << "tx_id byte of record " << i;

  auto busy = s->submit_confirmed(make_frame(0x200, 0), 1s);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().text(), "TX busy - all echo slots in use");
  EXPECT_EQ(dev->bulk_out_records().size(), 16u) << "TxBusy writes nothing";

  // The adapter reports id 3: its ticket completes and the next submission takes id 3.
  report(test::explicit_result(3, 0, 0x5A, 123456789));
  auto r = tickets[2].ticket->wait(10s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, TxResult::terminal(TxStatus::Success, 123456789, 3, 0x5A));
  EXPECT_EQ(s->unresolved_ticket_count(), 15u);
  auto next = s->submit_confirmed(make_frame(0x201, 0), 1s);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next->ticket.tx_id, 3);
  EXPECT_EQ(next->ticket.ticket_id, 17u);
  EXPECT_EQ(s->counters().tx_frames, 17u);
}

TEST_F(SessionTest, LegacyModeBorrowsEchoSlotsAndEchoesCompleteTickets) {
  auto s = attach_ok(TxPathMode::Confirmed);  // no TX-results feature: legacy echoes
  ASSERT_TRUE(s);
  EXPECT_EQ(s->advertised_mode(), kResultModeNotAdvertised);
  std::vector<TxTicketHandle> tickets;
  for (int i = 0; i < 16; ++i) {
    auto t = s->submit_confirmed(make_frame(0x10, 0), 1s);
    ASSERT_TRUE(t.ok());
    tickets.push_back(t->ticket);
  }
  EXPECT_TRUE(s->submit_confirmed(make_frame(0x10, 0), 1s).error().is(DeviceError::Kind::TxBusy));
  auto table = s->channel().echo_table();
  EXPECT_EQ(table->state(5), EchoTable::SlotState::Pending);

  report(test::legacy_echo(5, 777));
  auto r = tickets[4].ticket->wait(10s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, TxResult::terminal(TxStatus::Success, 777, 5, 0));
  EXPECT_EQ(table->state(5), EchoTable::SlotState::Free);
  auto next = s->submit_confirmed(make_frame(0x10, 0), 1s);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next->ticket.tx_id, 5);
}

TEST_F(SessionTest, WriteOutcomesDecideWhetherTheTicketIsKept) {
  use_explicit_results();
  auto s = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(s);

  // Uncertain: the ticket is handed out with the write error and stays tracked.
  dev->add_fault(test::fault(test::Target::BulkOut, test::Action::Stall));
  auto uncertain = s->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_TRUE(uncertain.ok());
  ASSERT_TRUE(uncertain->write_error.has_value());
  EXPECT_EQ(uncertain->write_error->text(), "USB error: endpoint stall");
  EXPECT_EQ(s->unresolved_ticket_count(), 1u);

  // Not submitted: no ticket, the slot is given back.
  dev->add_fault(test::fault(test::Target::Submit, test::Action::Disconnect, protocol::kEpBulkOut));
  auto refused = s->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "USB error: device disconnected");
  EXPECT_EQ(s->unresolved_ticket_count(), 1u);

  auto expired = s->submit_confirmed(make_frame(1, 0), 0ms);
  EXPECT_TRUE(expired.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(s->unresolved_ticket_count(), 1u);
  EXPECT_FALSE(uncertain->ticket.ticket->wait(0ms).has_value());
}

TEST_F(SessionTest, ShutdownResolvesOpenTicketsAsUncertainAndFencesBothEndpoints) {
  use_explicit_results();
  auto s = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(s);
  std::vector<TxTicketHandle> tickets;
  for (int i = 0; i < 3; ++i) tickets.push_back(s->submit_confirmed(make_frame(1, 0), 1s)->ticket);

  // A waiter blocked on a ticket and a receiver blocked on the queue both return when the session ends.
  std::optional<TxResult> waited;
  std::thread waiter([&] { waited = tickets[0].ticket->wait(30s); });
  std::optional<DeviceError> received;
  std::thread receiver([&] {
    auto r = s->receive(Clock::now() + 30s);
    if (!r.ok()) received = r.error();
  });
  ASSERT_TRUE(eventually([&] { return s->channel().queue().waiters() == 1; }));

  ASSERT_TRUE(s->shutdown().ok());
  waiter.join();
  receiver.join();
  ASSERT_TRUE(waited.has_value());
  EXPECT_EQ(*waited, TxResult::uncertain(UncertaintyReason::SessionClosed));
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->text(), "Communication error: RX channel disconnected");
  for (auto& t : tickets) {
    auto r = t.ticket->result();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->is_terminal());
    EXPECT_EQ(r->reason(), UncertaintyReason::SessionClosed);
    EXPECT_STREQ(uncertainty_reason_wire_name(r->reason()), "session_closed");
  }
  EXPECT_EQ(s->unresolved_ticket_count(), 0u);
  EXPECT_TRUE(endpoints_quiet());
  EXPECT_EQ(s->invalid_reason(), UncertaintyReason::SessionClosed);

  // Repeatable; everything afterwards is refused with the session-invalid message.
  EXPECT_TRUE(s->shutdown().ok());
  const char* invalid = "Communication error: TX session invalid: SessionClosed; close and reopen";
  EXPECT_EQ(s->submit_confirmed(make_frame(1, 0), 1s).error().text(), invalid);
  EXPECT_EQ(s->receive(Clock::now() + 1s).error().text(), invalid);
  EXPECT_EQ(s->cancel(tickets[1], 1s).error().text(), invalid);
}

TEST_F(SessionTest, ShutdownRunsOnceWhenCalledFromSeveralThreads) {
  auto s = attach_ok(TxPathMode::Unconfirmed);
  ASSERT_TRUE(s);
  std::vector<std::thread> callers;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i) callers.emplace_back([&] { ok += s->shutdown().ok(); });
  for (auto& t : callers) t.join();
  EXPECT_EQ(ok.load(), 4);
  EXPECT_EQ(logs().count_containing("CAN RX thread stopped"), 1u);
  EXPECT_TRUE(endpoints_quiet());
}

TEST_F(SessionTest, UnconfirmedFenceFailureIsStickyButTicketsStillResolve) {
  auto s = attach_ok(TxPathMode::Confirmed);
  ASSERT_TRUE(s);
  auto t = s->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_TRUE(t.ok());
  dev->add_fault(test::fault(test::Target::Unlink, test::Action::Timeout, protocol::kEpRxIn));
  const char* expected = "Communication error: endpoint cleanup unconfirmed: Timeout waiting for operation";
  Status first = s->shutdown();
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().text(), expected);
  EXPECT_EQ(s->shutdown().error().text(), expected);
  EXPECT_EQ(t->ticket.ticket->result(), TxResult::uncertain(UncertaintyReason::SessionClosed));

  // Releasing such a session logs the failure instead of hiding it.
  s.reset();
  EXPECT_EQ(logs().texts(log::Target::TxSession, log::Level::Warn),
            std::vector<std::string>{std::string("TX session cleanup failed: ") + expected});
}

TEST_F(SessionTest, ReceiveCountsFramesTakenAndDropsAreTheQueuesOverruns) {
  auto s = attach_ok(TxPathMode::Unconfirmed);
  ASSERT_TRUE(s);
  dev->add_fault(test::in_data(test::rx_record(0x42, 3, {1, 2, 3})));
  dev->add_fault(test::in_data(test::rx_record(protocol::kIdError | 0x40, 8)));
  auto f = s->receive(Clock::now() + 10s);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->id, 0x42u);
  ASSERT_TRUE(s->receive(Clock::now() + 10s).ok());
  EXPECT_TRUE(s->receive(Clock::now()).error().is(DeviceError::Kind::Timeout));
  const SessionCounters c = s->counters();
  EXPECT_EQ(c.rx_frames, 2u);
  EXPECT_EQ(c.rx_bytes, 11u);
  EXPECT_EQ(c.bus_offs, 1u);
  EXPECT_EQ(c.bus_warnings, 0u);
  EXPECT_EQ(c.rx_overruns, 0u);
}
