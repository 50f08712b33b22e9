// RxQueue: drop-oldest bound, waits with deadlines, wake-ups, end of stream, and MPMC integrity.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "datapath_test_util.hpp"
#include "stream/rx_queue.hpp"

using namespace std::chrono_literals;
using tavro::CanFrame;
using tavro::DeviceError;
using tavro::RxQueue;
using tavro::test::eventually;

namespace {

CanFrame numbered(uint64_t n) {
  CanFrame f;
  f.id = uint32_t(n & 0x7FF);
  f.timestamp = n;
  return f;
}

}  // namespace

TEST(DatapathQueue, DropsOldestAndCountsOverruns) {
  RxQueue q;
  ASSERT_EQ(q.capacity(), 20000u);
  size_t dropped = 0;
  for (uint64_t n = 0; n < 20005; ++n) dropped += q.push(numbered(n));
  EXPECT_EQ(dropped, 5u);
  EXPECT_EQ(q.overruns(), 5u);
  EXPECT_EQ(q.size(), 20000u);
  // The newest 20000 remain, oldest first.
  for (uint64_t n = 5; n < 20005; ++n) {
    auto f = q.try_pop();
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(f->timestamp, n);
  }
  EXPECT_TRUE(q.try_pop().error().is(DeviceError::Kind::Timeout));

  // A batch larger than the free room drops exactly the surplus, keeping order across the wrap-around.
  RxQueue small(4);
  std::vector<CanFrame> batch;
  for (uint64_t n = 0; n < 7; ++n) batch.push_back(numbered(n));
  EXPECT_EQ(small.push_many(batch.data(), batch.size()), 3u);
  EXPECT_EQ(small.overruns(), 3u);
  for (uint64_t n = 3; n < 7; ++n) EXPECT_EQ(small.try_pop()->timestamp, n);
}

TEST(DatapathQueue, PopTimesOutWithoutFrameAndReturnsQueuedFrameAtOnce) {
  RxQueue q(8);
  EXPECT_TRUE(q.pop_for(0ms).error().is(DeviceError::Kind::Timeout));
  EXPECT_TRUE(q.pop_for(5ms).error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(q.waiters(), 0u);
  q.push(numbered(42));
  auto f = q.pop_for(0ms);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->timestamp, 42u);
}

TEST(DatapathQueue, EveryWaitingReceiverWakesForItsFrame) {
  RxQueue q(16);
  constexpr int kReceivers = 3;
  std::vector<uint64_t> got(kReceivers, ~0ull);
  std::vector<std::thread> receivers;
  for (int i = 0; i < kReceivers; ++i) {
    receivers.emplace_back([&, i] {
      auto f = q.pop_for(30s);
      if (f.ok()) got[i] = f->timestamp;
    });
  }
  ASSERT_TRUE(eventually([&] { return q.waiters() == kReceivers; }));
  // One batch wakes all three; single pushes each wake one.
  CanFrame two[2] = {numbered(1), numbered(2)};
  q.push_many(two, 2);
  q.push(numbered(3));
  for (auto& t : receivers) t.join();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(q.waiters(), 0u);
}

TEST(DatapathQueue, CloseWakesEveryWaiterAndDrainsFirst) {
  RxQueue q(16);
  std::vector<std::optional<DeviceError>> errors(2);
  std::vector<std::thread> receivers;
  for (int i = 0; i < 2; ++i) {
    receivers.emplace_back([&, i] {
      auto f = q.pop_for(30s);
      if (!f.ok()) errors[i] = f.error();
    });
  }
  ASSERT_TRUE(eventually([&] { return q.waiters() == 2; }));
  q.close(DeviceError::communication("RX channel disconnected"));
  for (auto& t : receivers) t.join();
  for (auto& e : errors) {
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->text(), "Communication error: RX channel disconnected");
  }

  // Frames queued before the end are still handed out; the first close wins; later pushes are ignored.
  RxQueue r(16);
  r.push(numbered(7));
  r.close(DeviceError::communication("RX channel disconnected"));
  r.close(DeviceError::internal("second"));
  EXPECT_EQ(r.push(numbered(8)), 0u);
  EXPECT_EQ(r.try_pop()->timestamp, 7u);
  EXPECT_EQ(r.try_pop().error().detail(), "RX channel disconnected");
  EXPECT_EQ(r.pop_for(1s).error().detail(), "RX channel disconnected");
}

TEST(DatapathQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 3;
  constexpr uint64_t kPerProducer = 40000;
  // Small enough that drop-oldest happens under load: every frame is either received once or counted dropped.
  RxQueue q(256);

  std::vector<std::vector<uint64_t>> received(kConsumers);
  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; ++c) {
    consumers.emplace_back([&, c] {
      for (;;) {
        auto f = q.pop_for(30s);
        if (!f.ok()) {
          if (f.error().is(DeviceError::Kind::Timeout)) continue;
          return;  // closed and drained
        }
        received[c].push_back(f->timestamp);
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      CanFrame batch[5];
      for (uint64_t i = 0; i < kPerProducer; i += 5) {
        for (int k = 0; k < 5; ++k) batch[k] = numbered((uint64_t(p) << 32) | (i + k));
        q.push_many(batch, 5);
      }
    });
  }
  for (auto& t : producers) t.join();
  q.close(DeviceError::communication("RX channel disconnected"));
  for (auto& t : consumers) t.join();

  std::set<uint64_t> unique;
  size_t total = 0;
  for (int c = 0; c < kConsumers; ++c) {
    // Each consumer sees every producer's frames in production order (the queue is FIFO).
    std::map<uint64_t, uint64_t> last_seen;
    for (uint64_t v : received[c]) {
      const uint64_t producer = v >> 32, seq = v & 0xFFFFFFFFu;
      auto it = last_seen.find(producer);
      if (it != last_seen.end()) ASSERT_LT(it->second, seq);
      last_seen[producer] = seq;
      unique.insert(v);
    }
    total += received[c].size();
  }
  EXPECT_EQ(unique.size(), total) << "a frame was delivered twice";
  EXPECT_EQ(total + q.overruns(), kProducers * kPerProducer) << "a frame was neither delivered nor counted";
}

TEST(DatapathQueue, OwnFramesWaitForTheNextWholeReadAndKeepTimestampOrder) {
  RxQueue q;
  CanFrame own = numbered(20);
  own.flags |= tavro::FRAME_FLAG_OWN;
  q.push(numbered(10));
  q.push_own(own);
  q.release_own();       // the read running when it was held may have missed records stamped before it
  q.push(numbered(15));  // such a record
  q.push(numbered(30));
  EXPECT_EQ(q.try_pop().value().timestamp, 10u);
  EXPECT_EQ(q.try_pop().value().timestamp, 15u);
  EXPECT_FALSE(q.try_pop().ok());  // 30 was stamped after the own frame, which is still held back
  q.release_own();                 // a whole read later: placed by timestamp
  EXPECT_EQ(q.try_pop().value().flags, tavro::FRAME_FLAG_OWN);
  EXPECT_EQ(q.try_pop().value().timestamp, 30u);
}
