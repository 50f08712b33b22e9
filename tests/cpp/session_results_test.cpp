// The result reader "tavro-tx-results" and cancellation: matching records to tickets, protocol faults,
// transport failures, late echoes of abandoned ids, and the CancelTx reply rules.
#include <gtest/gtest.h>

#include <thread>

#include "session/bus_session.hpp"
#include "sim_adapter.hpp"

using namespace std::chrono_literals;
using namespace tavro;
using test::Action;
using test::Bytes;
using test::eventually;
using test::make_frame;

namespace {

Bytes cancel_reply(uint8_t outcome, uint8_t flag, uint32_t generation) {
  Bytes b(8, 0);
  b[0] = outcome;
  b[1] = flag;
  wire::put_u32(b.data() + 4, generation);
  return b;
}

class ResultsTest : public test::SimSessionTest {
 protected:
  std::shared_ptr<BusSession> attach(TxPathMode mode = TxPathMode::Confirmed) {
    auto s = BusSession::attach(adapter, SessionParams{}, mode);
    EXPECT_TRUE(s.ok()) << s.error().text();
    return s.ok() ? s.value() : nullptr;
  }
  TxTicketHandle submit(BusSession& s) {
    auto t = s.submit_confirmed(make_frame(0x100, 1), 1s);
    EXPECT_TRUE(t.ok()) << t.error().text();
    return t.ok() ? t->ticket : TxTicketHandle{};
  }
  void cancel_reply_next(Bytes reply) { reply_in(ControlCommand::CancelTx, std::move(reply)); }
  size_t cancels() { return requests(ControlCommand::CancelTx).size(); }
  bool results_open() { return dev->endpoint_open(protocol::kEpTxResultIn); }
};

}  // namespace

TEST_F(ResultsTest, ExplicitRecordsCompleteTicketsEvenWhenSplitAcrossTransfers) {
  use_explicit_results();
  auto s = attach();
  ASSERT_TRUE(s);
  auto a = submit(*s);
  auto b = submit(*s);
  auto c = submit(*s);

  // b: 7 bytes then 5; a and c together in one transfer, c arbitration-lost with flags.
  const Bytes rb = test::explicit_result(b.tx_id, 1, 0, 55);
  report(Bytes(rb.begin(), rb.begin() + 7));
  EXPECT_FALSE(b.ticket->wait(20ms).has_value());
  report(Bytes(rb.begin() + 7, rb.end()));
  EXPECT_EQ(b.ticket->wait(10s), TxResult::terminal(TxStatus::Failed, 55, b.tx_id, 0));

  Bytes both = test::explicit_result(a.tx_id, 0, 0, 1);
  const Bytes rc = test::explicit_result(c.tx_id, 2, 0x81, 2);
  both.insert(both.end(), rc.begin(), rc.end());
  report(both);
  EXPECT_EQ(a.ticket->wait(10s), TxResult::terminal(TxStatus::Success, 1, a.tx_id, 0));
  EXPECT_EQ(c.ticket->wait(10s), TxResult::terminal(TxStatus::ArbitrationLost, 2, c.tx_id, 0x81));
  EXPECT_STREQ(tx_status_wire_name(TxStatus::ArbitrationLost), "arbitration_lost");
  EXPECT_EQ(s->unresolved_ticket_count(), 0u);
  EXPECT_TRUE(s->valid());
}

TEST_F(ResultsTest, IdleReadersWaitWithoutTimeOutAndAShutdownWakesThem) {
  auto s = attach();
  ASSERT_TRUE(s);
  EXPECT_TRUE(eventually([&] { return dev->in_wait(protocol::kEpTxResultIn) == usb::kNoTimeout; }));
  EXPECT_EQ(dev->empty_in_waits(protocol::kEpTxResultIn), 0u);
  EXPECT_TRUE(s->shutdown().ok());
  EXPECT_FALSE(results_open());
}

TEST_F(ResultsTest, ProtocolFaultsInvalidateTheSessionAndEveryOpenTicket) {
  struct Case {
    const char* what;
    Bytes record;
    const char* log;
  };
  const std::vector<Case> cases = {
      {"duplicate id", test::explicit_result(1, 0, 0, 0), "TX result protocol failure: unowned/duplicate TX result ID"},
      {"nonzero channel", test::explicit_result(2, 0, 0, 0, 1),
       "TX result protocol failure: TX result has nonzero channel"},
      {"unknown status", test::explicit_result(2, 4, 0, 0), "TX result protocol failure: unknown TX status 4"},
      {"id above 16", test::explicit_result(17, 0, 0, 0), "TX result protocol failure: unowned/duplicate TX result ID"},
  };
  use_explicit_results();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    logs().reset();
    auto s = attach();
    ASSERT_TRUE(s);
    auto first = submit(*s);  // id 1
    auto other = submit(*s);  // id 2
    if (std::string(c.what) == "duplicate id") {
      report(test::explicit_result(first.tx_id, 0, 0, 9));
      ASSERT_TRUE(first.ticket->wait(10s).has_value());
    }
    report(c.record);
    auto r = other.ticket->wait(10s);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, TxResult::uncertain(UncertaintyReason::ProtocolFault));
    EXPECT_EQ(s->invalid_reason(), UncertaintyReason::ProtocolFault);
    EXPECT_EQ(logs().texts(log::Target::TxSession, log::Level::Error), std::vector<std::string>{c.log});
    EXPECT_EQ(s->submit_confirmed(make_frame(1, 0), 1s).error().text(),
              "Communication error: TX session invalid: ProtocolFault; close and reopen");
    // The stopped reader has released 0x83 by itself; shutdown still succeeds and keeps the first reason.
    EXPECT_TRUE(eventually([&] { return !results_open(); }));
    EXPECT_TRUE(s->shutdown().ok());
    EXPECT_EQ(s->invalid_reason(), UncertaintyReason::ProtocolFault);
  }
}

TEST_F(ResultsTest, AStallIsClearedOtherReadErrorsAreTransportFailures) {
  use_explicit_results();
  auto s = attach();
  ASSERT_TRUE(s);
  // A stall costs no result: the halt is cleared and the verdict read after it.
  auto t = submit(*s);
  dev->add_fault(test::in_ends(Action::Stall, protocol::kEpTxResultIn));
  report(test::explicit_result(t.tx_id, 0, 0, 5));
  EXPECT_EQ(t.ticket->wait(10s), TxResult::terminal(TxStatus::Success, 5, t.tx_id, 0));
  EXPECT_EQ(dev->halt_clears(protocol::kEpTxResultIn), 1u);
  EXPECT_TRUE(s->valid());
  // A halt that cannot be cleared stops the reader like any other read error; its release clears it.
  t = submit(*s);
  dev->add_fault(test::fault(test::Target::ClearHalt, Action::Fault, protocol::kEpTxResultIn));
  dev->add_fault(test::in_ends(Action::Stall, protocol::kEpTxResultIn));
  EXPECT_EQ(t.ticket->wait(10s), TxResult::uncertain(UncertaintyReason::TransportFailure));
  EXPECT_TRUE(eventually([&] { return !results_open(); }));
  EXPECT_EQ(dev->halt_clears(protocol::kEpTxResultIn), 3u);
  EXPECT_EQ(logs().texts(log::Target::TxSession, log::Level::Error),
            (std::vector<std::string>{"clear_halt(EP_TX_RESULT_IN) failed: USB error: transport error",
                                      "TX result reader failed: USB error: transport error"}));

  ASSERT_TRUE(s->shutdown().ok());
  logs().reset();
  s = attach();
  ASSERT_TRUE(s);
  t = submit(*s);
  dev->add_fault(test::in_ends(Action::Fault, protocol::kEpTxResultIn));
  EXPECT_EQ(t.ticket->wait(10s), TxResult::uncertain(UncertaintyReason::TransportFailure));
  EXPECT_EQ(logs().texts(log::Target::TxSession, log::Level::Error),
            std::vector<std::string>{"TX result reader failed: USB error: transport error"});
  EXPECT_EQ(s->receive(Clock::now() + 1s).error().text(),
            "Communication error: TX session invalid: TransportFailure; close and reopen");
}

TEST_F(ResultsTest, LateEchoOfAnAbandonedIdFreesItWithoutTouchingTickets) {
  // Legacy mode. The first session leaves id 1 pending; its shutdown abandons the echo slot.
  auto first = attach();
  ASSERT_TRUE(first);
  auto old = submit(*first);
  ASSERT_EQ(old.tx_id, 1);
  first.reset();
  auto table = echo_table_for(adapter->serial());
  EXPECT_EQ(table->state(1), EchoTable::SlotState::Abandoned);

  auto s = attach();
  ASSERT_TRUE(s);
  std::vector<TxTicketHandle> live;
  for (int i = 0; i < 15; ++i) live.push_back(submit(*s));
  for (auto& t : live) EXPECT_NE(t.tx_id, 1) << "an abandoned id is not handed out again";
  EXPECT_TRUE(s->submit_confirmed(make_frame(1, 0), 1s).error().is(DeviceError::Kind::TxBusy));

  // Echo 0 is ignored; the late echo of id 1 frees it; nothing else changes.
  report(test::legacy_echo(0, 1));
  report(test::legacy_echo(1, 2));
  ASSERT_TRUE(eventually([&] { return table->state(1) == EchoTable::SlotState::Free; }));
  EXPECT_TRUE(s->valid());
  EXPECT_EQ(s->unresolved_ticket_count(), 15u);
  for (auto& t : live) EXPECT_TRUE(t.ticket->pending());
  auto reused = s->submit_confirmed(make_frame(1, 0), 1s);
  ASSERT_TRUE(reused.ok());
  EXPECT_EQ(reused->ticket.tx_id, 1);

  // A legacy echo for an id that is neither pending nor abandoned is a protocol fault.
  report(test::legacy_echo(1, 3));  // completes `reused`
  EXPECT_TRUE(reused->ticket.ticket->wait(10s).has_value());
  report(test::legacy_echo(1, 4));
  EXPECT_EQ(live[0].ticket->wait(10s), TxResult::uncertain(UncertaintyReason::ProtocolFault));
}

TEST_F(ResultsTest, UnconfirmedSessionsOnlyFreeAbandonedIds) {
  auto confirmed = attach();
  ASSERT_TRUE(confirmed);
  submit(*confirmed);  // id 1, abandoned below
  confirmed.reset();
  auto table = echo_table_for(adapter->serial());
  ASSERT_EQ(table->state(1), EchoTable::SlotState::Abandoned);

  auto s = attach(TxPathMode::Unconfirmed);
  ASSERT_TRUE(s);
  report(test::legacy_echo(9, 0));  // unknown id: ignored, not a fault
  report(test::legacy_echo(1, 0));
  ASSERT_TRUE(eventually([&] { return table->state(1) == EchoTable::SlotState::Free; }));
  EXPECT_TRUE(s->valid());
  report(test::legacy_echo(2, 0, /*channel=*/3));
  ASSERT_TRUE(eventually([&] { return !s->valid(); }));
  EXPECT_EQ(logs().texts(log::Target::TxSession, log::Level::Error),
            std::vector<std::string>{"TX result protocol failure: nonzero legacy echo channel"});
}

TEST_F(ResultsTest, CancelAsksTheAdapterAndResolvesTheTicket) {
  use_explicit_results();
  const uint32_t gen = generation() + 1;  // the attach's flush starts a new firmware session
  auto s = attach();
  ASSERT_TRUE(s);
  ASSERT_EQ(s->firmware_generation(), gen);
  auto t = submit(*s);

  // Malformed replies are errors for the caller only: the ticket stays pending, so it can be cancelled again.
  cancel_reply_next(Bytes(7, 0));
  EXPECT_EQ(s->cancel(t, 1s).error().text(), "Communication error: expected 8 bytes, received 7");
  cancel_reply_next(cancel_reply(7, 0, gen));
  EXPECT_EQ(s->cancel(t, 1s).error().text(), "Communication error: unknown cancellation outcome 7");
  EXPECT_TRUE(s->valid());
  EXPECT_TRUE(t.ticket->pending());

  // The adapter owes the verdict of a frame it holds: the cancellation waits for it, however late it comes.
  cancel_reply_next(cancel_reply(2, 0x30, gen));
  std::thread adapter_side([&] {
    if (!eventually([&] { return cancels() == 3; })) return;
    std::this_thread::sleep_for(300ms);  // longer than the brief wait for a verdict nobody promised
    report(test::explicit_result(t.tx_id, 3, 0, 99));
  });
  auto r = s->cancel(t, 10s);
  adapter_side.join();
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_TRUE(r->tracked);
  EXPECT_EQ(r->outcome, CancelOutcome::AbortRequested);
  EXPECT_STREQ(cancel_outcome_wire_name(r->outcome), "abort_requested");
  EXPECT_EQ(r->status_word, 0x3002u);
  EXPECT_EQ(r->generation, gen);
  EXPECT_EQ(t.ticket->result(), TxResult::terminal(TxStatus::Cancelled, 99, t.tx_id, 0));
  const usb::ControlSetup last = requests().back().setup;
  EXPECT_EQ(std::make_pair(last.request, last.value),
            std::make_pair(uint8_t(ControlCommand::CancelTx), uint16_t(t.tx_id)));

  // Cancelling a resolved ticket sends nothing.
  auto late = s->cancel(t, 1s);
  ASSERT_TRUE(late.ok());
  EXPECT_FALSE(late->tracked);
  EXPECT_EQ(cancels(), 3u);

  // A frame the adapter does not hold (its write never arrived) owes no verdict: the ticket ends uncertain and its
  // id is retired, not handed out again until the adapter reports it after all.
  auto lost = submit(*s);
  cancel_reply_next(cancel_reply(0, 0, gen));
  ASSERT_TRUE(s->cancel(lost, 10s).ok());
  EXPECT_EQ(lost.ticket->result(), TxResult::uncertain(UncertaintyReason::CancelUnconfirmed));
  EXPECT_EQ(s->unresolved_ticket_count(), 0u);
  for (int i = 0; i < 15; ++i) submit(*s);
  EXPECT_FALSE(s->submit_confirmed(make_frame(1, 0), 1s).ok()) << "the retired id is not handed out";
  report(test::explicit_result(lost.tx_id, 0, 0, 5));
  Result<SubmitResult> reused = DeviceError::tx_busy();
  ASSERT_TRUE(eventually([&] { return (reused = s->submit_confirmed(make_frame(1, 0), 1s)).ok(); }));
  EXPECT_EQ(reused->ticket.tx_id, lost.tx_id);
  EXPECT_TRUE(s->valid()) << "the late verdict of a retired id is no protocol fault";

  // A handle of another session is refused.
  TxTicketHandle foreign = t;
  foreign.session_id = s->session_id() + 1000;
  EXPECT_EQ(s->cancel(foreign, 1s).error().text(), "Invalid parameter: ticket belongs to another session");
}

TEST_F(ResultsTest, CancelRepliesThatBreakTheSessionInvalidateIt) {
  struct Case {
    const char* what;
    uint8_t outcome;
    bool other_generation;
    const char* error;
    UncertaintyReason reason;
  };
  const std::vector<Case> cases = {
      {"other generation", 1, true, "Communication error: firmware TX session changed; old delivery is uncertain",
       UncertaintyReason::SessionChanged},
      {"ambiguous", 4, false, "Communication error: unexpected cancellation reply: Ambiguous",
       UncertaintyReason::ProtocolFault},
      {"unsupported", 5, false, "Communication error: unexpected cancellation reply: Unsupported",
       UncertaintyReason::ProtocolFault},
  };
  use_explicit_results();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto s = attach();
    ASSERT_TRUE(s);
    auto t = submit(*s);
    cancel_reply_next(cancel_reply(c.outcome, 0, generation() + (c.other_generation ? 90 : 0)));
    auto r = s->cancel(t, 1s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), c.error);
    EXPECT_EQ(t.ticket->result(), TxResult::uncertain(c.reason));
    EXPECT_EQ(s->invalid_reason(), c.reason);
  }
}

TEST_F(ResultsTest, WithoutExplicitResultsOrTheCancelFeatureCancelGivesTheTicketUp) {
  auto legacy = attach();
  ASSERT_TRUE(legacy);
  auto t = submit(*legacy);
  EXPECT_FALSE(legacy->cancel(t, 1s)->tracked);
  EXPECT_EQ(t.ticket->result(), TxResult::uncertain(UncertaintyReason::CancelUnconfirmed));
  // Its echo may still come: the id is held back like that of any transmission given up.
  EXPECT_EQ(echo_table_for(adapter->serial())->state(t.tx_id), EchoTable::SlotState::Abandoned);
  legacy.reset();

  use_explicit_results(/*cancel=*/false);
  auto no_cancel = attach();
  ASSERT_TRUE(no_cancel);
  auto t2 = submit(*no_cancel);
  ASSERT_TRUE(no_cancel->cancel(t2, 1s).ok());
  EXPECT_EQ(t2.ticket->result(), TxResult::uncertain(UncertaintyReason::CancelUnconfirmed));
  EXPECT_EQ(cancels(), 0u);
}
