// The simulated CAN bus: frame lengths, wire timing on the bus clock, arbitration, acknowledgement, error
// counters, injection and node lifecycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bus/bus.hpp"

using namespace tavro::sim;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 20s;  // generous: the machine is shared

BusFrame std_frame(uint32_t id, std::vector<uint8_t> bytes = {}, bool remote = false) {
  BusFrame f;
  f.id = id;
  f.remote = remote;
  f.dlc = uint8_t(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.data.begin());
  return f;
}

BusFrame ext_frame(uint32_t id, std::vector<uint8_t> bytes = {}) {
  BusFrame f = std_frame(id, std::move(bytes));
  f.extended = true;
  return f;
}

class Recorder : public BusNode {
 public:
  struct Rx {
    BusFrame frame;
    uint64_t time_us;
  };
  struct Done {
    uint64_t tag;
    TxVerdict verdict;
    uint64_t time_us;
  };

  void bus_frame_received(const BusFrame& frame, uint64_t time_us) override {
    if (on_rx) on_rx(frame);
    std::lock_guard lk(mu_);
    rx_.push_back({frame, time_us});
    cv_.notify_all();
  }
  void bus_transmit_done(uint64_t tag, TxVerdict verdict, uint64_t time_us) override {
    std::lock_guard lk(mu_);
    done_.push_back({tag, verdict, time_us});
    cv_.notify_all();
  }
  void bus_error_state_changed(const NodeErrorState& state) override {
    std::lock_guard lk(mu_);
    states_.push_back(state);
    cv_.notify_all();
  }

  bool wait_rx(size_t n) {
    return wait([&] { return rx_.size() >= n; });
  }
  bool wait_done(size_t n) {
    return wait([&] { return done_.size() >= n; });
  }
  bool wait_state(uint32_t s) {
    return wait([&] { return !states_.empty() && states_.back().state == s; });
  }
  std::vector<Rx> rx() {
    std::lock_guard lk(mu_);
    return rx_;
  }
  const std::vector<Rx>& rx_unlocked() const { return rx_; }                      // inside wait() only
  const std::vector<NodeErrorState>& states_unlocked() const { return states_; }  // inside wait() only
  std::vector<Done> done() {
    std::lock_guard lk(mu_);
    return done_;
  }
  std::vector<NodeErrorState> states() {
    std::lock_guard lk(mu_);
    return states_;
  }

  // Waits for a condition on what was recorded; `pred` runs under the recorder's lock.
  template <class P>
  bool wait(P pred) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, kWait, pred);
  }

  // Wakes wait() for conditions kept outside the recorder.
  void poke() {
    std::lock_guard lk(mu_);
    cv_.notify_all();
  }

  std::function<void(const BusFrame&)> on_rx;  // runs on the bus thread before recording
  int id = -1;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Rx> rx_;
  std::vector<Done> done_;
  std::vector<NodeErrorState> states_;
};

NodeConfig at(uint32_t bitrate) {
  NodeConfig c;
  c.bitrate = bitrate;
  return c;
}

class SimBusTest : public ::testing::Test {
 protected:
  // Recorders outlive the bus (declared first, destroyed last): the bus thread may still be calling them when a
  // test body ends.
  Recorder& add(NodeConfig cfg) {
    Recorder& r = recorders_.emplace_back();
    r.id = bus->attach(&r);
    bus->configure(r.id, cfg);
    return r;
  }
  std::deque<Recorder> recorders_;
  std::shared_ptr<SimBus> bus = SimBus::create();
};

uint32_t nominal_bits(const BusFrame& f) {
  const uint32_t data = f.remote ? 0 : 8u * std::min<uint32_t>(f.dlc, 8);
  return (f.extended ? 67u : 47u) + data;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Frame length

TEST(FrameBitCount, Crc15CheckValue) {
  const uint8_t msg[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(can_crc15(msg, 72), 0x059E);
}

TEST(FrameBitCount, KnownFrames) {
  // Counted by hand-independent means (CRC by polynomial division, stuffing bit by bit).
  EXPECT_EQ(frame_bit_count(std_frame(0x555, std::vector<uint8_t>(8, 0x55))), 112u);
  EXPECT_EQ(frame_stuff_bit_count(std_frame(0x555, std::vector<uint8_t>(8, 0x55))), 1u);
  EXPECT_EQ(frame_bit_count(std_frame(0x000, std::vector<uint8_t>(8, 0x00))), 127u);
  EXPECT_EQ(frame_stuff_bit_count(std_frame(0x000, std::vector<uint8_t>(8, 0x00))), 16u);
  EXPECT_EQ(frame_bit_count(std_frame(0x000)), 53u);
  EXPECT_EQ(frame_bit_count(std_frame(0x7FF, std::vector<uint8_t>(8, 0xFF))), 126u);
  EXPECT_EQ(frame_bit_count(std_frame(0x123, {0x12, 0x34})), 64u);
  EXPECT_EQ(frame_bit_count(std_frame(0x100, {1, 2, 3, 4, 5, 6, 7, 8})), 122u);
  EXPECT_EQ(frame_bit_count(ext_frame(0x1ABCDEF0, std::vector<uint8_t>(8, 0x00))), 146u);
  EXPECT_EQ(frame_bit_count(ext_frame(0x0)), 74u);
  BusFrame remote = ext_frame(0x18DAF110, {9, 9, 9});
  remote.remote = true;
  EXPECT_EQ(frame_bit_count(remote), 67u);  // no data field, dlc still sent
  EXPECT_EQ(frame_bit_count(std_frame(0x100, std::vector<uint8_t>(8, 0xAA), true)), 49u);
  BusFrame err;
  err.error = true;
  EXPECT_EQ(frame_bit_count(err), 17u);
}

TEST(FrameBitCount, WithinTextbookBoundsForRandomFrames) {
  // Unstuffed: 47 + 8n bits standard, 67 + 8n extended (IFS included); at most one stuff bit after the first 5
  // and then every 4 bits of the stuffed region (34 + 8n or 54 + 8n bits).
  EXPECT_EQ(nominal_bits(std_frame(0, std::vector<uint8_t>(8))), 111u);
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    BusFrame f;
    f.extended = rng() & 1;
    f.remote = (rng() % 8) == 0;
    f.id = rng() & (f.extended ? 0x1FFFFFFF : 0x7FF);
    f.dlc = uint8_t(rng() % 9);
    // Bias towards long runs so that the upper bound gets exercised.
    const uint8_t pattern = (rng() & 1) ? 0x00 : 0xFF;
    for (auto& b : f.data) b = (rng() % 4 == 0) ? uint8_t(rng()) : pattern;
    const uint32_t n = f.remote ? 0 : f.dlc;
    const uint32_t stuffed_region = (f.extended ? 54 : 34) + 8 * n;
    const uint32_t bits = frame_bit_count(f);
    ASSERT_GE(bits, nominal_bits(f));
    ASSERT_LE(bits, nominal_bits(f) + (stuffed_region - 1) / 4);
    ASSERT_EQ(bits, nominal_bits(f) + frame_stuff_bit_count(f));
  }
  EXPECT_EQ(nominal_bits(std_frame(0, std::vector<uint8_t>(8))) + (34 + 64 - 1) / 4, 135u);
}

// ---------------------------------------------------------------------------------------------------------------
// Delivery and timing

TEST_F(SimBusTest, DeliversToRunningNodesAtTheSameBitRateOnly) {
  bus->set_ack_peer(false);
  NodeConfig loop = at(500000);
  loop.loopback = true;
  Recorder& a = add(loop);
  const int ia = a.id;
  Recorder& b = add(at(500000));
  Recorder& stopped = add(at(0));
  const int is = stopped.id;
  Recorder& slower = add(at(250000));
  EXPECT_FALSE(bus->transmit(is, std_frame(0x1), 1));

  const BusFrame f = ext_frame(0x1234567, {1, 2, 3, 4, 5});
  ASSERT_TRUE(bus->transmit(ia, f, 42));
  ASSERT_TRUE(b.wait_rx(1));
  ASSERT_TRUE(a.wait_done(1));
  ASSERT_TRUE(a.wait_rx(1));
  const auto got = b.rx()[0];
  EXPECT_EQ(got.frame.id, 0x1234567u);
  EXPECT_TRUE(got.frame.extended);
  EXPECT_EQ(got.frame.dlc, 5);
  EXPECT_EQ(got.frame.data, f.data);
  EXPECT_EQ(a.rx()[0].frame.id, 0x1234567u);  // loopback
  EXPECT_EQ(a.done()[0].tag, 42u);
  EXPECT_EQ(a.done()[0].verdict, TxVerdict::Success);
  EXPECT_EQ(a.done()[0].time_us, got.time_us);
  // The frame was delivered no earlier than its end on the bus clock.
  EXPECT_GE(bus->now_us(), got.time_us);
  // Delivery to every node happens together, so the others would have it by now.
  EXPECT_TRUE(stopped.rx().empty());
  EXPECT_TRUE(slower.rx().empty());
  // Without loopback a sender does not see its own frame.
  ASSERT_TRUE(bus->transmit(b.id, std_frame(0x2), 43));
  ASSERT_TRUE(a.wait_rx(2));
  ASSERT_TRUE(b.wait_done(1));
  EXPECT_EQ(b.rx().size(), 1u);
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].sender, ia);
  EXPECT_TRUE(log[0].acknowledged);
  EXPECT_EQ(log[0].end_us, got.time_us);
  EXPECT_TRUE(bus->take_wire_log().empty());
}

TEST_F(SimBusTest, FramesTakeTheirWireTimeBackToBack) {
  Recorder& a = add(at(500000));
  const int ia = a.id;
  Recorder& b = add(at(500000));
  std::vector<BusFrame> frames = {std_frame(0x555, std::vector<uint8_t>(8, 0x55)),
                                  std_frame(0x0, std::vector<uint8_t>(8)), ext_frame(0x1ABCDEF0, {1}),
                                  std_frame(0x7FF, {}, true)};
  bus->set_paused(true);
  for (size_t i = 0; i < frames.size(); ++i) ASSERT_TRUE(bus->transmit(ia, frames[i], i + 1));
  bus->set_paused(false);
  ASSERT_TRUE(b.wait_rx(frames.size()));
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), frames.size());
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log[i].end_us - log[i].start_us, uint64_t(frame_bit_count(frames[i])) * 2);  // 2 us per bit
    if (i > 0) {
      EXPECT_EQ(log[i].start_us, log[i - 1].end_us);
    }
    EXPECT_EQ(b.rx()[i].time_us, log[i].end_us);
  }
  EXPECT_GE(bus->now_us(), log.back().end_us);
}

TEST_F(SimBusTest, UnlimitedSpeedKeepsOrderWithoutWireTimeAndTheLogStaysBounded) {
  Recorder& a = add(at(1000000));
  const int ia = a.id;
  Recorder& b = add(at(1000000));
  bus->set_unlimited_speed(true);
  const int kFrames = int(kWireLogCapacity) + 123;
  for (int i = 0; i < kFrames; ++i) {
    // Descending ids: one node's queue is FIFO, arbitration only orders different nodes.
    const BusFrame f = std_frame(uint32_t(0x7FF - i % 0x800), {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16)});
    ASSERT_TRUE(bus->transmit(ia, f, uint64_t(i)));
  }
  ASSERT_TRUE(b.wait_rx(size_t(kFrames)));
  ASSERT_TRUE(a.wait_done(size_t(kFrames)));
  auto seq = [](const BusFrame& f) { return int(f.data[0] | f.data[1] << 8 | f.data[2] << 16); };
  const auto rx = b.rx();
  const auto done = a.done();
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(seq(rx[size_t(i)].frame), i);
    ASSERT_EQ(done[size_t(i)].tag, uint64_t(i));
    ASSERT_EQ(done[size_t(i)].verdict, TxVerdict::Success);
  }
  // The oldest records were dropped; the rest come oldest first.
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), kWireLogCapacity);
  for (size_t i = 0; i < log.size(); ++i) {
    ASSERT_EQ(seq(log[i].frame), int(i) + 123);
    ASSERT_EQ(log[i].start_us, log[i].end_us);
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Arbitration

TEST_F(SimBusTest, LowestArbitrationFieldWinsAndEachNodeKeepsFifoOrder) {
  std::vector<Recorder*> n;
  int id[5];
  for (int i = 0; i < 5; ++i) {
    n.push_back(&add(at(500000)));
    id[i] = n.back()->id;
  }
  Recorder& rx = add(at(500000));
  bus->set_paused(true);
  ASSERT_TRUE(bus->transmit(id[0], std_frame(0x101), 0));
  ASSERT_TRUE(bus->transmit(id[1], ext_frame(0x100u << 18), 1));     // same base id as 0x100, extended
  ASSERT_TRUE(bus->transmit(id[2], std_frame(0x100, {}, true), 2));  // remote
  ASSERT_TRUE(bus->transmit(id[3], std_frame(0x100), 3));
  ASSERT_TRUE(bus->transmit(id[4], std_frame(0x050), 4));  // queued first, so it goes before 0x010
  ASSERT_TRUE(bus->transmit(id[4], std_frame(0x010), 5));
  bus->set_paused(false);
  ASSERT_TRUE(rx.wait_rx(6));
  std::vector<int> senders;
  for (const auto& r : bus->take_wire_log()) senders.push_back(r.sender);
  EXPECT_EQ(senders, (std::vector<int>{id[4], id[4], id[3], id[2], id[1], id[0]}));
  for (Recorder* node : n) {
    ASSERT_TRUE(node->wait_done(1));
    EXPECT_EQ(node->done()[0].verdict, TxVerdict::Success);
  }
}

TEST_F(SimBusTest, ALaterFrameDoesNotOvertakeOneThatFoundTheWireIdle) {
  // 10 kbit/s: 0x200 with 8 bytes lasts about 13 ms, so 0x100 is surely queued while it is on the wire even where
  // the two calls below are far apart (code run for the first time under an emulator takes a millisecond).
  constexpr uint32_t kSlow = 10000;
  Recorder& gate = add(at(kSlow));
  Recorder& a = add(at(kSlow));
  Recorder& b = add(at(kSlow));
  Recorder& rx = add(at(kSlow));
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::atomic<bool> held{false};
  gate.on_rx = [&](const BusFrame&) {
    if (held.exchange(true)) return;
    gate.poke();
    std::unique_lock lk(m);
    cv.wait_for(lk, kWait, [&] { return open; });
  };
  bus->inject({std_frame(0x7FF)}, kSlow);
  ASSERT_TRUE(gate.wait([&] { return held.load(); }));
  // The bus thread is held in a callback, so it sees both frames only later; 0x200 found the wire idle and
  // started at once on the bus clock, before 0x100 was queued.
  ASSERT_TRUE(bus->transmit(a.id, std_frame(0x200, {1, 2, 3, 4, 5, 6, 7, 8}), 1));
  ASSERT_TRUE(bus->transmit(b.id, std_frame(0x100), 2));
  {
    std::lock_guard lk(m);
    open = true;
  }
  cv.notify_all();
  ASSERT_TRUE(rx.wait_rx(3));
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].frame.id, 0x200u);
  EXPECT_EQ(log[2].frame.id, 0x100u);
  EXPECT_EQ(log[2].start_us, log[1].end_us);
}

TEST_F(SimBusTest, OneShotLoserEndsArbitrationLost) {
  NodeConfig once = at(500000);
  once.one_shot = true;
  Recorder& a = add(once);
  const int ia = a.id;
  Recorder& b = add(at(500000));
  const int ib = b.id;
  Recorder& rx = add(at(500000));
  bus->set_paused(true);
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x200), 7));
  ASSERT_TRUE(bus->transmit(ib, std_frame(0x100), 8));
  bus->set_paused(false);
  ASSERT_TRUE(a.wait_done(1));
  ASSERT_TRUE(rx.wait_rx(1));
  EXPECT_EQ(a.done()[0].verdict, TxVerdict::ArbitrationLost);
  EXPECT_EQ(a.done()[0].tag, 7u);
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].frame.id, 0x100u);
}

// ---------------------------------------------------------------------------------------------------------------
// Acknowledgement and error counters

TEST_F(SimBusTest, UnacknowledgedSenderClimbsToBusOffAndFailsEverything) {
  bus->set_ack_peer(false);
  Recorder& a = add(at(500000));
  const int ia = a.id;
  NodeConfig lo = at(500000);
  lo.listen_only = true;
  Recorder& listener = add(lo);
  const int il = listener.id;
  EXPECT_FALSE(bus->transmit(il, std_frame(0x1), 1));  // listen-only never sends
  const BusFrame f = std_frame(0x321, {1, 2, 3});
  // Both are queued before the first attempt: the 32 attempts to bus-off take only a few milliseconds.
  bus->set_paused(true);
  ASSERT_TRUE(bus->transmit(ia, f, 1));
  ASSERT_TRUE(bus->transmit(ia, f, 2));
  bus->set_paused(false);
  ASSERT_TRUE(a.wait_done(2));
  for (const auto& d : a.done()) EXPECT_EQ(d.verdict, TxVerdict::Failed);
  ASSERT_TRUE(a.wait_state(3));

  // States were reported in order as TEC rose by 8 per attempt: warning at 96, passive at 128, bus-off at 256.
  std::vector<uint32_t> seen;
  for (const auto& s : a.states()) {
    if (seen.empty() || seen.back() != s.state) seen.push_back(s.state);
    if (s.state == 1) {
      EXPECT_GE(s.tx_errors, 96u);
    }
    if (s.state == 2) {
      EXPECT_GE(s.tx_errors, 128u);
    }
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3}));
  const NodeErrorState es = bus->error_state(ia);
  EXPECT_EQ(es.state, 3u);
  EXPECT_EQ(es.tx_errors, 255u);
  EXPECT_EQ(es.bus_off_count, 1u);

  // 32 attempts of the first frame; each is cut after the ACK slot, error-passive ones also suspend 8 bits.
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 32u);
  const uint64_t bits = frame_bit_count(f);
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(log[i].acknowledged);
    EXPECT_EQ(log[i].end_us - log[i].start_us, (bits + 6 + (i >= 16 ? 8 : 0)) * 2);
  }
  EXPECT_TRUE(listener.rx().empty());

  // Bus-off: no transmission until the controller is reset.
  EXPECT_FALSE(bus->transmit(ia, f, 3));
  bus->reset_errors(ia);
  EXPECT_EQ(bus->error_state(ia).state, 0u);
  ASSERT_TRUE(a.wait_state(0));
  bus->set_ack_peer(true);
  ASSERT_TRUE(bus->transmit(ia, f, 4));
  ASSERT_TRUE(a.wait_done(3));
  EXPECT_EQ(a.done()[2].verdict, TxVerdict::Success);
  ASSERT_TRUE(listener.wait_rx(1));  // listen-only nodes do receive
}

TEST_F(SimBusTest, ListenOnlyAndOtherRateNodesNeverAcknowledge) {
  bus->set_ack_peer(false);
  NodeConfig once = at(250000);
  once.one_shot = true;
  Recorder& a = add(once);
  const int ia = a.id;
  NodeConfig lo = at(250000);
  lo.listen_only = true;
  Recorder& listener = add(lo);
  const int il = listener.id;
  Recorder& other_rate = add(at(500000));
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x10), 1));
  ASSERT_TRUE(a.wait_done(1));
  EXPECT_EQ(a.done()[0].verdict, TxVerdict::Failed);  // one-shot: the first failure ends it
  EXPECT_EQ(bus->error_state(ia).tx_errors, 8u);

  // A regular node at the same rate acknowledges; success takes 1 off TEC, and everyone at the rate receives.
  Recorder& peer = add(at(250000));
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x11), 2));
  ASSERT_TRUE(a.wait_done(2));
  EXPECT_EQ(a.done()[1].verdict, TxVerdict::Success);
  EXPECT_EQ(bus->error_state(ia).tx_errors, 7u);
  ASSERT_TRUE(listener.wait_rx(1));
  ASSERT_TRUE(peer.wait_rx(1));
  EXPECT_EQ(listener.rx().size(), 1u);
  EXPECT_TRUE(other_rate.rx().empty());
  EXPECT_EQ(bus->error_state(il).tx_errors, 0u);
}

TEST_F(SimBusTest, InjectedErrorsMoveTheNamedNodeToTheTargetState) {
  Recorder& a = add(at(500000));
  const int ia = a.id;
  Recorder& b = add(at(500000));
  const int ib = b.id;

  // A protocol error counts against the receiver; the next good reception takes it back.
  bus->inject_error(ib, 0);
  ASSERT_TRUE(b.wait_rx(1));
  EXPECT_EQ(b.rx()[0].frame.id, kCanErrProt | kCanErrCnt);
  EXPECT_EQ(b.rx()[0].frame.data[7], 1);
  EXPECT_EQ(bus->error_state(ib).rx_errors, 1u);
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x5), 1));
  ASSERT_TRUE(b.wait_rx(2));
  ASSERT_TRUE(b.wait([&] { return !b.states_unlocked().empty() && b.states_unlocked().back().rx_errors == 0; }));
  ASSERT_TRUE(a.wait_done(1));
  EXPECT_TRUE(a.rx().empty());

  bus->inject_error(ia, 1);
  ASSERT_TRUE(a.wait_rx(1));
  BusFrame e = a.rx()[0].frame;
  EXPECT_TRUE(e.error);
  EXPECT_EQ(e.id, kCanErrCrtl | kCanErrCnt);
  EXPECT_GE(e.dlc, 2);
  EXPECT_TRUE(e.data[1] & (kCanErrCrtlTxWarning | kCanErrCrtlRxWarning));
  EXPECT_EQ(e.data[6], 96);
  ASSERT_TRUE(a.wait_state(1));
  EXPECT_EQ(bus->error_state(ib).state, 0u);

  bus->inject_error(ia, 2);
  ASSERT_TRUE(a.wait_state(2));
  ASSERT_TRUE(a.wait_rx(2));
  EXPECT_EQ(a.rx()[1].frame.data[1] & kCanErrCrtlTxPassive, kCanErrCrtlTxPassive);

  bus->set_paused(true);
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x1), 5));
  bus->inject_error(ia, 3);
  ASSERT_TRUE(a.wait_state(3));
  ASSERT_TRUE(a.wait_done(2));
  EXPECT_EQ(a.done()[1].verdict, TxVerdict::Failed);
  ASSERT_TRUE(a.wait_rx(3));
  EXPECT_EQ(a.rx()[2].frame.id & kCanErrBusOff, kCanErrBusOff);
  EXPECT_EQ(bus->error_state(ia).bus_off_count, 1u);
  EXPECT_FALSE(bus->transmit(ia, std_frame(0x1), 6));
  bus->set_paused(false);

  bus->configure(ia, at(500000));  // restarting the controller leaves bus-off
  EXPECT_EQ(bus->error_state(ia).state, 0u);
  bus->inject_error(-1, 1);
  ASSERT_TRUE(b.wait_state(1));
  ASSERT_TRUE(a.wait_state(1));
  ASSERT_TRUE(b.wait_rx(3));  // the state change comes before the error frame
  EXPECT_EQ(b.rx()[2].frame.id, kCanErrCrtl | kCanErrCnt);
}

// ---------------------------------------------------------------------------------------------------------------
// Withdrawal, injection, streams

TEST_F(SimBusTest, CancelAndFlushWithdrawQueuedFrames) {
  Recorder& a = add(at(500000));
  const int ia = a.id;
  Recorder& b = add(at(500000));
  bus->set_paused(true);
  for (uint64_t tag = 1; tag <= 4; ++tag) ASSERT_TRUE(bus->transmit(ia, std_frame(uint32_t(tag)), tag));
  EXPECT_TRUE(bus->cancel(ia, 2));
  EXPECT_FALSE(bus->cancel(ia, 2));
  EXPECT_FALSE(bus->cancel(ia, 99));
  bus->flush(ia);
  ASSERT_TRUE(a.wait_done(4));
  std::vector<uint64_t> tags;
  for (const auto& d : a.done()) {
    EXPECT_EQ(d.verdict, TxVerdict::Cancelled);
    tags.push_back(d.tag);
  }
  EXPECT_EQ(tags, (std::vector<uint64_t>{2, 1, 3, 4}));
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x77), 5));
  bus->set_paused(false);
  ASSERT_TRUE(b.wait_rx(1));
  const auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].frame.id, 0x77u);

  // Stopping the controller withdraws what it had queued.
  bus->set_paused(true);
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x78), 6));
  bus->configure(ia, at(0));
  ASSERT_TRUE(a.wait_done(6));
  EXPECT_EQ(a.done()[5].verdict, TxVerdict::Cancelled);
}

TEST_F(SimBusTest, InjectedFramesAndStreamsUseTheirOwnBitRate) {
  Recorder& slow = add(at(250000));
  Recorder& fast = add(at(1000000));
  bus->inject({std_frame(0x1, {1}), std_frame(0x2, {2}), ext_frame(0x3, {3})}, 250000);
  ASSERT_TRUE(slow.wait_rx(3));
  auto log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(slow.rx()[i].frame.data[0], i + 1);
    EXPECT_EQ(log[i].sender, -1);
    EXPECT_EQ(log[i].end_us - log[i].start_us, uint64_t(frame_bit_count(log[i].frame)) * 4);
    if (i > 0) {
      EXPECT_EQ(log[i].start_us, log[i - 1].end_us);
    }
  }

  // Line rate: back to back.
  const BusFrame sf = std_frame(0x123, std::vector<uint8_t>(8, 0xA5));
  bus->start_stream(sf, 1000000, 0, 20);
  ASSERT_TRUE(fast.wait_rx(20));
  log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 20u);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].start_us, log[i - 1].end_us);

  // A given rate: starts follow the rate exactly on the bus clock.
  bus->start_stream(sf, 1000000, 2000, 4);
  ASSERT_TRUE(fast.wait_rx(24));
  log = bus->take_wire_log();
  ASSERT_EQ(log.size(), 4u);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].start_us - log[i - 1].start_us, 500u);

  // Endless until stopped.
  bus->start_stream(sf, 1000000, 0, 0);
  ASSERT_TRUE(fast.wait_rx(100));
  bus->stop_stream();
  // 0x7FF loses arbitration to every stream frame, so it only reaches the wire once the stream has stopped.
  bus->inject({std_frame(0x7FF)}, 1000000);
  ASSERT_TRUE(fast.wait_rx(101));
  ASSERT_TRUE(fast.wait([&] { return fast.rx_unlocked().back().frame.id == 0x7FFu; }));
  log = bus->take_wire_log();
  EXPECT_EQ(log.back().frame.id, 0x7FFu);
}

// ---------------------------------------------------------------------------------------------------------------
// Node lifecycle

TEST_F(SimBusTest, DetachWaitsForARunningCallbackAndReportsWithdrawnFrames) {
  Recorder& a = add(at(1000000));
  const int ia = a.id;
  Recorder& b = add(at(1000000));
  const int ib = b.id;
  std::atomic<bool> in_callback{false}, callback_done{false};
  std::atomic<int> accepted{0};
  std::atomic<int> calls_after_detach{0};
  std::atomic<bool> detached{false};
  b.on_rx = [&](const BusFrame&) {
    if (detached) ++calls_after_detach;
    if (in_callback.exchange(true)) return;
    b.poke();
    // Block inside the first callback until detach() has begun: from then on the node can no longer send.
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (bus->transmit(ib, std_frame(0x700), 1000 + accepted) && std::chrono::steady_clock::now() < until) {
      ++accepted;
      std::this_thread::yield();
    }
    callback_done = true;
  };
  bus->start_stream(std_frame(0x10), 1000000, 0, 0);
  ASSERT_TRUE(b.wait([&] { return in_callback.load(); }));
  bus->detach(ib);
  detached = true;
  EXPECT_TRUE(callback_done);  // detach returned only after the callback ended
  // Everything it queued from the callback was reported, on the detaching thread, before detach returned.
  EXPECT_EQ(b.done().size(), size_t(accepted.load()));
  for (const auto& d : b.done()) EXPECT_EQ(d.verdict, TxVerdict::Cancelled);
  const size_t rx_at_detach = b.rx().size();
  ASSERT_TRUE(a.wait_rx(rx_at_detach + 50));  // the stream goes on for the others
  bus->stop_stream();
  EXPECT_EQ(calls_after_detach.load(), 0);
  EXPECT_EQ(b.rx().size(), rx_at_detach);
  EXPECT_FALSE(bus->transmit(ib, std_frame(0x1), 1));
  (void)ia;
}

TEST_F(SimBusTest, NodeMayDetachItselfFromItsCallback) {
  Recorder& a = add(at(500000));
  Recorder& b = add(at(500000));
  const int ib = b.id;
  std::atomic<int> received{0};
  b.on_rx = [&](const BusFrame&) {
    if (++received == 1) bus->detach(ib);
  };
  // Unlimited speed: all three frames end in one batch, so calls to b are already lined up behind the first.
  bus->set_unlimited_speed(true);
  bus->inject({std_frame(0x1), std_frame(0x2), std_frame(0x3)}, 500000);
  ASSERT_TRUE(a.wait_rx(3));
  EXPECT_EQ(received.load(), 1);
}

TEST(SimBusLifetime, ShutdownStopsTheBusAndRefusesTransmissions) {
  Recorder a;
  auto bus = SimBus::create();
  const int ia = bus->attach(&a);
  bus->configure(ia, at(500000));
  ASSERT_TRUE(bus->transmit(ia, std_frame(0x1), 1));
  ASSERT_TRUE(a.wait_done(1));
  bus->shutdown();
  bus->shutdown();
  EXPECT_FALSE(bus->transmit(ia, std_frame(0x1), 2));
  // The last owner may let go of the bus from one of its callbacks. The callback holds what it uses (the
  // recorder among it) for as long as it runs, so the test may end while the bus thread is still finishing.
  struct Owner {
    std::shared_ptr<SimBus> bus = SimBus::create();
    Recorder recorder;
    std::atomic<bool> released{false};
  };
  auto owner = std::make_shared<Owner>();
  owner->recorder.on_rx = [weak = std::weak_ptr<Owner>(owner)](const BusFrame&) {
    if (auto o = weak.lock(); o && !o->released.exchange(true)) o->bus.reset();
  };
  auto bus2 = owner->bus;
  const int ib = bus2->attach(&owner->recorder);
  bus2->configure(ib, at(500000));
  bus2->inject({std_frame(0x5)}, 500000);
  bus2.reset();
  ASSERT_TRUE(owner->recorder.wait_rx(1));
  EXPECT_TRUE(owner->released.load());
}
