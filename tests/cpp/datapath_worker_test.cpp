// The receive worker "tavro-rx" on a simulated adapter's bulk IN endpoint: reassembly, error counters, back-off,
// stall, unplug, stop and the endpoint fence.
#include <gtest/gtest.h>

#include "sim_adapter.hpp"
#include "stream/bulk.hpp"
#include "stream/rx_worker.hpp"

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

class RxWorkerTest : public SimAdapterTest {
 protected:
  void start(size_t queue_capacity = RxQueue::kCapacity) {
    auto stream = BulkInStream::open(*adapter, protocol::kEpRxIn, 1024, 4);
    ASSERT_TRUE(stream.ok());
    ctx = std::make_shared<RxWorkerContext>(std::make_shared<RxQueue>(queue_capacity));
    ctx->handoff.put(std::move(stream).value());
    auto w = spawn_rx_worker(ctx);
    ASSERT_TRUE(w.ok());
    worker = std::move(w).value();
  }
  void TearDown() override {
    if (ctx) ctx->stop.request();
    worker.join();
  }
  void push(Bytes data) { dev->add_fault(in_data(std::move(data))); }
  void push(Action end) { dev->add_fault(in_ends(end)); }
  size_t outstanding() { return dev->pending_in(protocol::kEpRxIn).size(); }
  Result<CanFrame> pop() { return ctx->queue->pop_for(10s); }

  std::shared_ptr<RxWorkerContext> ctx;
  WorkerThread worker;
};

}  // namespace

TEST_F(RxWorkerTest, ReassemblesRecordsAcrossFullTransfersAndDropsFragmentsOfShortOnes) {
  start();
  EXPECT_TRUE(eventually([&] { return outstanding() == 4; }));
  EXPECT_TRUE(eventually([&] { return logs().count_containing("CAN RX thread started") == 1; }));
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Debug).front(),
            "CAN RX thread started (buf=1024 bytes, timeout=2ms)");
  EXPECT_EQ(dev->pending_in(protocol::kEpRxIn).back(), 1024u);

  Bytes fillers;
  for (uint32_t i = 0; i < 42; ++i) fillers = cat({fillers, rx_record(0x200 + i, 0)});
  const Bytes a = rx_record(0x123, 2, {1, 2}, 1000);
  const Bytes b = rx_record(0x80000123u, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 2000);
  const Bytes all = cat({fillers, a, b});
  // A full transfer ends 16 bytes into `a`; the next, short one completes it.
  push(Bytes(all.begin(), all.begin() + 1024));
  push(Bytes(all.begin() + 1024, all.end()));
  for (uint32_t i = 0; i < 42; ++i) EXPECT_EQ(pop()->id, 0x200 + i);
  auto f1 = pop();
  ASSERT_TRUE(f1.ok());
  EXPECT_EQ(f1->id, 0x123u);
  EXPECT_EQ(f1->flags, 0);
  EXPECT_EQ(f1->dlc, 2);
  EXPECT_EQ(f1->data[1], 2);
  EXPECT_EQ(f1->timestamp, 1000u);
  auto f2 = pop();
  ASSERT_TRUE(f2.ok());
  EXPECT_EQ(f2->id, 0x123u);
  EXPECT_EQ(f2->flags, FRAME_FLAG_EXTENDED);
  EXPECT_EQ(f2->dlc, 8);
  EXPECT_EQ(f2->timestamp, 2000u);

  // Short transfers of 1 and 23 bytes (with empty ones between: the back-off path) are fragments, not one record:
  // gluing them would shift every later record. Both are dropped and counted, with one warning for the burst.
  push(cat({rx_record(1, 0), rx_record(2, 0), rx_record(3, 0)}));
  const Bytes d = rx_record(0x40000123u, 0);
  push(Bytes(d.begin(), d.begin() + 1));
  for (int i = 0; i < 4; ++i) push(Bytes{});
  push(Bytes(d.begin() + 1, d.end()));
  push(d);
  for (uint32_t id : {1u, 2u, 3u}) EXPECT_EQ(pop()->id, id);
  auto remote = pop();
  ASSERT_TRUE(remote.ok());
  EXPECT_EQ(remote->id, 0x123u);
  EXPECT_EQ(remote->flags, FRAME_FLAG_RTR);
  EXPECT_EQ(ctx->queue->size(), 0u);
  EXPECT_EQ(ctx->stream_drops.load(), 2u);
  EXPECT_TRUE(eventually([&] { return !logs().texts(log::Target::Channel, log::Level::Warn).empty(); }));
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Warn),
            std::vector<std::string>{"RX stream out of step: dropped 2 record(s) (24 bytes) that were incomplete or "
                                     "implausible; realigned"});
}

TEST_F(RxWorkerTest, CountsBusOffAndWarningErrorFramesAndQueuesThem) {
  start();
  const uint32_t err = protocol::kIdError;
  push(cat({
      rx_record(err | 0x40, 8),             // bus-off only
      rx_record(err | 0x04, 8, {0, 0x08}),  // transmit warning only
      rx_record(err | 0x04, 8, {0, 0x04}),  // receive warning
      rx_record(err | 0x04, 1, {0, 0x08}),  // dlc 1: neither
      rx_record(0x04, 8, {0, 0x08}),        // not an error frame: neither
  }));
  for (int i = 0; i < 5; ++i) {
    auto f = pop();
    ASSERT_TRUE(f.ok());
    EXPECT_EQ((f->flags & FRAME_FLAG_ERROR) != 0, i < 4);
  }
  EXPECT_EQ(ctx->bus_off_events.load(), 1u);
  EXPECT_EQ(ctx->bus_warnings.load(), 2u);
}

TEST_F(RxWorkerTest, UnplugEndsWorkerAndReceiversSeeDisconnectAfterDrain) {
  start();
  push(cat({rx_record(0x10, 0), rx_record(0x11, 0)}));
  push(Action::Disconnect);
  ASSERT_TRUE(eventually([&] { return ctx->disconnected.load(); }));
  EXPECT_EQ(pop()->id, 0x10u);
  EXPECT_EQ(pop()->id, 0x11u);
  auto end = pop();
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(end.error().text(), "Communication error: RX channel disconnected");

  auto joined = worker.join();
  EXPECT_FALSE(joined.faulted);
  EXPECT_TRUE(joined.result.ok());
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn)) << "the stream must be released before the join returns";
  EXPECT_EQ(logs().count_containing("Device unplugged \xE2\x80\x94 RX thread exiting"), 1u);
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Debug).back(), "CAN RX thread stopped");
}

TEST_F(RxWorkerTest, StallClearsHaltAndKeepsReading) {
  start();
  Bytes stream;
  for (uint32_t i = 0; i < 43; ++i) stream = cat({stream, rx_record(0x500 + i, 1, {9})});
  // A record cut by a full transfer survives the stall. An endpoint that stalls again and again is retried with a
  // growing pause and logged once for the burst, with its count when data flows again.
  push(Bytes(stream.begin(), stream.begin() + 1024));
  for (int i = 0; i < 10; ++i) push(Action::Stall);
  push(Bytes(stream.begin() + 1024, stream.end()));
  for (uint32_t i = 0; i < 43; ++i) EXPECT_EQ(pop()->id, 0x500 + i);
  EXPECT_EQ(dev->halt_clears(protocol::kEpRxIn), 10u);
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Warn),
            (std::vector<std::string>{"Bulk IN pipe stall \xE2\x80\x94 calling clear_halt(EP_BULK_IN)",
                                      "Bulk IN pipe stall repeated 9 more time(s); halt cleared each time"}));

  // A halt that cannot be cleared is logged; the worker goes on (it neither ends nor takes it for an unplug).
  dev->add_fault(fault(Target::ClearHalt, Action::Fault, protocol::kEpRxIn));
  push(Action::Stall);
  EXPECT_TRUE(eventually([&] { return !logs().texts(log::Target::Channel, log::Level::Error).empty(); }));
  EXPECT_EQ(dev->halt_clears(protocol::kEpRxIn), 11u);
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Error),
            std::vector<std::string>{"clear_halt failed: USB error: transport error"});
  EXPECT_FALSE(ctx->disconnected.load());
}

TEST_F(RxWorkerTest, OtherReadErrorsAreLoggedAndRetried) {
  start();
  push(Action::Fault);
  push(rx_record(0x77, 0));
  EXPECT_EQ(pop()->id, 0x77u);
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Error),
            std::vector<std::string>{"RX thread error: USB error: transport error"});
  EXPECT_FALSE(ctx->disconnected.load());
}

TEST_F(RxWorkerTest, SlowConsumerLosesOldestFramesOnly) {
  start();
  // 20005 records in transfers of 42 records (1008 bytes) each, no receiver taking frames meanwhile.
  constexpr uint32_t kFrames = 20005;
  Bytes chunk;
  for (uint32_t n = 0; n < kFrames; ++n) {
    Bytes r = rx_record(n & 0x7FF, 0, {}, n);
    chunk.insert(chunk.end(), r.begin(), r.end());
    if (chunk.size() == 42 * 24 || n + 1 == kFrames) {
      push(std::move(chunk));
      chunk.clear();
    }
  }
  ASSERT_TRUE(
      eventually([&] { return dev->faults().size() == 0 && ctx->queue->size() + ctx->receive_drops() == kFrames; }));
  EXPECT_EQ(ctx->queue->size(), 20000u);
  EXPECT_EQ(ctx->receive_drops(), 5u);
  EXPECT_EQ(pop()->timestamp, 5u);
}

TEST_F(RxWorkerTest, IdleWorkerWaitsLongAndAnOwnFrameOnAQuietBusIsReleased) {
  start();
  ASSERT_TRUE(eventually([&] { return outstanding() == 4; }));
  // Idle: a long wait, not a poll of a few milliseconds.
  const usb::Duration idle = RxWorkerContext::kIdleReadTimeout;
  ASSERT_TRUE(eventually([&] { return dev->in_wait(protocol::kEpRxIn) == idle; }));
  // An own frame held back on a quiet bus gets the reads that release it; then the worker waits as before.
  CanFrame own{};
  own.id = 0x321;
  own.flags = FRAME_FLAG_OWN;
  ctx->queue->push_own(own);
  auto mine = pop();
  ASSERT_TRUE(mine.ok());
  EXPECT_EQ(mine->id, 0x321u);
  EXPECT_TRUE(eventually([&] { return dev->in_wait(protocol::kEpRxIn) == idle; }));
  ctx->stop.request();
  ASSERT_TRUE(eventually([&] { return ctx->queue->closed(); }));
  auto joined = worker.join();
  EXPECT_FALSE(joined.faulted);
  EXPECT_TRUE(joined.result.ok());
  EXPECT_EQ(outstanding(), 0u);
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));
  EXPECT_TRUE(ctx->queue->closed());
  EXPECT_FALSE(ctx->disconnected.load());
}

TEST_F(RxWorkerTest, FenceFailureIsTheWorkersResult) {
  start();
  dev->add_fault(fault(Target::Unlink, Action::Timeout, protocol::kEpRxIn));
  ctx->stop.request();
  auto joined = worker.join();
  EXPECT_FALSE(joined.faulted);
  ASSERT_FALSE(joined.result.ok());
  EXPECT_TRUE(joined.result.error().is(DeviceError::Kind::Timeout));
}

TEST_F(RxWorkerTest, EmptyHandoffIsAFault) {
  ctx = std::make_shared<RxWorkerContext>(std::make_shared<RxQueue>(16));
  auto w = spawn_rx_worker(ctx);
  ASSERT_TRUE(w.ok());
  worker = std::move(w).value();
  auto joined = worker.join();
  EXPECT_TRUE(joined.faulted);
  EXPECT_EQ(joined.fault, "single RX worker owns stream handoff");
  EXPECT_TRUE(ctx->queue->closed()) << "receivers must not wait for a producer that is gone";
}
