// The handle's own workers and waits on two simulated adapters sharing one bus: the receive loop (waiting for the
// bus, the software filter, close, the no-wait first step) and periodic tasks (rotation, schedule, stops).
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "backend/backend.hpp"
#include "datapath_test_util.hpp"
#include "handle/handle.hpp"
#include "session/bus_session.hpp"

namespace tavro {
namespace {

using namespace std::chrono_literals;
constexpr auto kLong = 10s;  // generous: a condition that should hold at once, on a slow machine

using test::eventually;

CanFrame frame(uint32_t id) {
  CanFrame f;
  f.id = id;
  f.dlc = 1;
  f.data[0] = static_cast<uint8_t>(id);
  return f;
}

class HandleWorkers : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::FirmwareProfile b;
    b.serial = "tav.io:CANI0002";
    hub.plug(sim::FirmwareProfile::standard());
    hub.plug(b);
    auto t = open_device(backend, std::string("tav.io:CANH0001"));
    auto r = open_device(backend, std::string("tav.io:CANI0002"));
    ASSERT_TRUE(t.ok() && r.ok());
    tx = t.value();
    rx = r.value();
    ASSERT_TRUE(tx->bus_on().ok());
  }
  void TearDown() override {
    if (tx) tx->destroy();
    if (rx) rx->destroy();
  }

  void send(uint32_t id) {
    LockGuard lk(tx->state_lock());
    ASSERT_TRUE(tx->state().session->send_unconfirmed(frame(id), 1s).status.ok());
  }
  std::optional<uint32_t> receive(Duration timeout = kLong) {
    auto r = rx->receive(Clock::now() + timeout);
    EXPECT_TRUE(r.ok()) << r.error().message;
    if (!r.ok() || !r.value()) return std::nullopt;
    return r.value()->id;
  }
  uint32_t start_task(std::vector<CanFrame> frames, Duration period) {
    PeriodicSchedule s;
    s.period = period;
    auto id = tx->start_periodic(std::move(frames), s);
    EXPECT_TRUE(id.ok());
    return id.ok() ? id.value() : 0;
  }

  std::shared_ptr<sim::SimBus> bus = sim::SimBus::create();
  sim::SimHub hub{[this] { return bus; }};
  sim::SimBackend backend{hub};
  std::shared_ptr<DeviceShared> tx, rx;
};

TEST_F(HandleWorkers, AReceiverWaitingForTheBusGetsTheFirstFrameAfterTheStart) {
  auto got = std::async(std::launch::async, [&] { return receive(); });
  // Whether the start comes before or after the receiver begins to wait, it must not be missed.
  ASSERT_TRUE(rx->bus_on().ok());
  send(0x42);
  EXPECT_EQ(got.get(), 0x42u);
}

TEST_F(HandleWorkers, TheFilterSkipsWhatItRefusesAndTheWaitGoesOn) {
  ASSERT_TRUE(rx->bus_on().ok());
  FilterEntry only_0x100;
  ASSERT_TRUE(make_filter_entry(0x100, 0x7FF, 0, &only_0x100));
  rx->set_filters({only_0x100});
  send(0x101);
  send(0x100);
  EXPECT_EQ(receive(), 0x100u);
  rx->set_filters({});
  send(0x101);
  EXPECT_EQ(receive(), 0x101u);
}

TEST_F(HandleWorkers, ReceiveReadyTakesOnlyAFrameAlreadyQueuedAndLeavesEverythingElseToReceive) {
  using Ready = DeviceShared::Ready;
  CanFrame f;
  EXPECT_EQ(rx->receive_ready(&f), Ready::Undecided);  // bus stopped
  ASSERT_TRUE(rx->bus_on().ok());
  EXPECT_EQ(rx->receive_ready(&f), Ready::Empty);
  auto queued = [&] {
    LockGuard lk(rx->state_lock());
    return rx->state().session->channel().queue().size();
  };
  FilterEntry only_0x100;
  ASSERT_TRUE(make_filter_entry(0x100, 0x7FF, 0, &only_0x100));
  rx->set_filters({only_0x100});
  send(0x101);
  send(0x100);
  ASSERT_TRUE(eventually([&] { return queued() == 2; }));
  EXPECT_EQ(rx->receive_ready(&f), Ready::Refused);
  ASSERT_EQ(rx->receive_ready(&f), Ready::Frame);
  EXPECT_EQ(f.id, 0x100u);
  send(0x100);
  ASSERT_TRUE(eventually([&] { return queued() == 1; }));
  {
    LockGuard held(rx->state_lock());  // a configuration request, say: nothing is taken, receive() decides
    EXPECT_EQ(std::async(std::launch::async, [&] { return rx->receive_ready(&f); }).get(), Ready::Undecided);
  }
  EXPECT_EQ(receive(), 0x100u);
  ASSERT_TRUE(rx->close().ok());
  EXPECT_EQ(rx->receive_ready(&f), Ready::Undecided);
}

TEST_F(HandleWorkers, CloseEndsAWaitingReceiverWithDeviceIsClosed) {
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "bus running" : "bus stopped");
    if (running) {
      ASSERT_TRUE(rx->bus_on().ok());
    }
    std::atomic<bool> in_wait{false};
    auto waiting = std::async(std::launch::async,
                              [&] { return rx->receive(Clock::now() + kLong, [&] { return in_wait = true; }); });
    ASSERT_TRUE(eventually([&] { return in_wait.load(); }));  // a slice has passed: it waits
    ASSERT_TRUE(rx->close().ok());
    auto r = waiting.get();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Device is closed");
    rx->destroy();
    rx = open_device(backend, std::string("tav.io:CANI0002")).value();
  }
}

TEST_F(HandleWorkers, TheExitHookClosesTheHandlesStillOpenAndOnlyThose) {
  rx->destroy();  // released before the exit: the hook must not reach it (nor its freed adapter)
  rx.reset();
  ASSERT_FALSE(tx->flags()->closed.load());
  ASSERT_TRUE(hub.adapters().front()->firmware().state().bus_running);
  close_open_handles_at_exit();
  EXPECT_TRUE(tx->flags()->closed.load());
  EXPECT_FALSE(hub.adapters().front()->firmware().state().bus_running);  // the bus went off
}

TEST_F(HandleWorkers, AKeepWaitingThatSaysNoEndsTheWaitBetweenSlices) {
  auto r = rx->receive(Clock::now() + kLong, [] { return false; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, OpError::Kind::Interrupted);
}

TEST_F(HandleWorkers, ATaskSendsItsFramesInRotationUntilStopped) {
  ASSERT_TRUE(rx->bus_on().ok());
  const uint32_t id = start_task({frame(0x1), frame(0x2), frame(0x3)}, 1ms);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 7; ++i) ids.push_back(receive().value_or(0));
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 1, 2, 3, 1}));
  EXPECT_TRUE(tx->periodic().alive(id));
  auto final_counts = tx->periodic().stop(id);  // read once the worker has ended: every frame received is counted
  ASSERT_TRUE(final_counts.ok());
  EXPECT_GE(final_counts.value().sent, 7u);
  EXPECT_FALSE(tx->periodic().alive(id));
  EXPECT_FALSE(tx->periodic().counts(id));
}

TEST_F(HandleWorkers, StopWakesATaskThatSleepsUntilItsNextFrame) {
  const uint32_t id = start_task({frame(0x1)}, std::chrono::hours(2));
  ASSERT_TRUE(eventually([&] { return tx->periodic().counts(id)->sent == 1; }));  // then it goes to sleep
  // On a thread of its own, so that a stop the worker misses fails the test instead of hanging it.
  auto table = std::shared_ptr<PeriodicTable>(tx, &tx->periodic());
  std::promise<bool> done;
  auto stopped = done.get_future();
  std::thread([table, id, done = std::move(done)]() mutable { done.set_value(table->stop(id).ok()); }).detach();
  ASSERT_EQ(stopped.wait_for(kLong), std::future_status::ready) << "the sleeping worker missed its stop";
  EXPECT_TRUE(stopped.get());
}

TEST_F(HandleWorkers, ATaskHoldingTheLastReferenceEndsTheHandleOnItsOwnThread) {
  // Nobody else holds the handle when the task's duration ends: the worker destroys the table that owns its own
  // thread, and must neither join itself nor abort.
  PeriodicSchedule s;
  s.period = 1ms;
  s.duration = 300ms;
  ASSERT_TRUE(tx->start_periodic({frame(0x1)}, s).ok());
  std::weak_ptr<DeviceShared> handle = tx;
  tx.reset();
  EXPECT_FALSE(handle.expired());  // the worker still holds it
  EXPECT_TRUE(eventually([&] { return handle.expired(); }));
}

TEST_F(HandleWorkers, AConfigurationChangeEndsTasksWithoutAnErrorAndKeepsTheirEntries) {
  const uint32_t id = start_task({frame(0x1)}, 1ms);
  ASSERT_TRUE(tx->bus_off().ok());
  EXPECT_FALSE(tx->periodic().alive(id));
  EXPECT_FALSE(tx->periodic().error(id));
  EXPECT_TRUE(tx->periodic().counts(id));
  EXPECT_TRUE(tx->periodic().stop(id).ok());
}

TEST_F(HandleWorkers, ATaskHeldUpCatchesUpABoundedBacklogAndGoesOn) {
  const uint32_t id = start_task({frame(0x1)}, 1ms);
  auto counts = [&] { return *tx->periodic().counts(id); };
  ASSERT_TRUE(eventually([&] { return counts().sent >= 3; }));
  {
    // Shorter than a frame's 50 ms budget, longer than kCatchUp periods.
    LockGuard lk(tx->state_lock());
    std::this_thread::sleep_for(25ms);
  }
  const uint64_t sent = counts().sent;
  ASSERT_TRUE(eventually([&] { return counts().sent >= sent + 3; }));
  EXPECT_TRUE(tx->periodic().alive(id)) << tx->periodic().error(id).value_or(OpError{}).message;
  EXPECT_GE(counts().late, 1u);
  EXPECT_GE(counts().skipped, 1u);
}

TEST(PeriodicSchedule, LateSlotsAreSentUpToTheBoundAndTheRestSkipped) {
  struct Case {
    uint64_t next, now_slot;
    SlotPlan want;
  } cases[] = {
      {5, 4, {5, 0, false}},            // woke before its slot (sleep ends on time or early)
      {5, 5, {5, 0, false}},            // on time
      {5, 6, {5, 0, true}},             // the next slot passed too: late
      {5, 5 + kCatchUp, {5, 0, true}},  // a backlog of kCatchUp frames is still sent
      {5, 6 + kCatchUp, {6, 1, true}},  // one more is skipped
      {0, 1000, {990, 990, true}},      // the last ten go out back to back
  };
  for (const Case& c : cases) {
    SlotPlan got = plan_slot(c.next, c.now_slot);
    EXPECT_EQ(got.slot, c.want.slot) << c.next << " " << c.now_slot;
    EXPECT_EQ(got.skipped, c.want.skipped) << c.next << " " << c.now_slot;
    EXPECT_EQ(got.late, c.want.late) << c.next << " " << c.now_slot;
  }
}

}  // namespace
}  // namespace tavro
