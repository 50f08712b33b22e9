// Echo table operations and registry, channel open/drop with its log lines, and the managed-TX frame check.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "echo/echo_table.hpp"
#include "sim_adapter.hpp"
#include "stream/channel.hpp"

using namespace std::chrono_literals;
using namespace tavro;
using Slot = EchoTable::SlotState;
using test::eventually;
using test::make_frame;

TEST(DatapathEcho, AllocatesIdsOneToSixteenFromTheCursorThenRefuses) {
  EchoTable t;
  auto gen = t.begin_generation();
  ASSERT_TRUE(gen.ok());
  EXPECT_EQ(*gen, 1u);
  std::vector<uint8_t> ids;
  std::set<uint64_t> sequences;
  for (int i = 0; i < 16; ++i) {
    auto a = t.allocate(*gen);
    ASSERT_TRUE(a.has_value());
    ids.push_back(a->tx_id);
    sequences.insert(a->sequence);
  }
  EXPECT_EQ(ids, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(sequences.size(), 16u);
  EXPECT_FALSE(t.allocate(*gen).has_value());
  EXPECT_FALSE(t.allocate(*gen + 1).has_value()) << "only the current generation allocates";

  // Release requires the matching generation and sequence.
  t.release(5, *gen, 9999);
  EXPECT_EQ(t.state(5), Slot::Pending);
  t.release(5, *gen, 4);  // sequences start at 0, so id 5 got 4
  EXPECT_EQ(t.state(5), Slot::Free);
  auto again = t.allocate(*gen);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->tx_id, 5);
  EXPECT_EQ(again->sequence, 16u);

  // A freed id comes round last, so that a late report for its last frame is not taken for a new one.
  EchoTable u;
  const uint64_t g = *u.begin_generation();
  auto first = u.allocate(g);
  u.allocate(g);
  u.release(first->tx_id, g, first->sequence);
  EXPECT_EQ(u.allocate(g)->tx_id, 3);

  // Out-of-range ids are ignored, never a crash.
  t.release(0, *gen, 0);
  t.release(17, *gen, 0);
  t.complete(200, *gen);
  t.free_abandoned(0);
}

TEST(DatapathEcho, NewGenerationAbandonsOldSlotsUntilTheAdapterReportsThem) {
  EchoTable t;
  const uint64_t g1 = *t.begin_generation();
  auto a1 = t.allocate(g1);
  auto a2 = t.allocate(g1);
  int woken = 0;
  ASSERT_TRUE(t.wait_on(a2->tx_id, g1, a2->sequence, [&] { ++woken; }));
  EXPECT_EQ(t.state(a2->tx_id), Slot::Waited);

  const uint64_t g2 = *t.begin_generation();
  EXPECT_EQ(g2, g1 + 1);
  EXPECT_EQ(t.state(a1->tx_id), Slot::Abandoned);
  EXPECT_EQ(t.state(a2->tx_id), Slot::Abandoned);
  EXPECT_EQ(woken, 1);

  // Abandoned ids are not handed out again: 14 allocations fill the rest, the 15th fails.
  std::set<uint8_t> got;
  for (int i = 0; i < 14; ++i) got.insert(t.allocate(g2)->tx_id);
  EXPECT_FALSE(got.count(a1->tx_id) || got.count(a2->tx_id));
  EXPECT_FALSE(t.allocate(g2).has_value());

  // A late report frees an abandoned id (complete or free_abandoned); release of an abandoned slot frees too.
  t.complete(a1->tx_id, g2);
  EXPECT_EQ(t.state(a1->tx_id), Slot::Free);
  t.free_abandoned(a2->tx_id);
  EXPECT_EQ(t.state(a2->tx_id), Slot::Free);

  // complete() leaves a live slot of another generation alone; abandon() needs the exact sequence.
  const uint64_t g3 = *t.begin_generation();
  auto b = t.allocate(g3);
  t.complete(b->tx_id, g2);
  EXPECT_EQ(t.state(b->tx_id), Slot::Pending);
  t.abandon(b->tx_id, g3, b->sequence + 1);
  EXPECT_EQ(t.state(b->tx_id), Slot::Pending);
  t.abandon(b->tx_id, g3, b->sequence);
  EXPECT_EQ(t.state(b->tx_id), Slot::Abandoned);
  t.release(b->tx_id, 0, 0);
  EXPECT_EQ(t.state(b->tx_id), Slot::Free);
  t.abandon(b->tx_id, g3, b->sequence);  // a late cancel of a frame whose id is free again
  EXPECT_EQ(t.state(b->tx_id), Slot::Free);
}

TEST(DatapathEcho, RegistryKeepsOneTablePerSerial) {
  const std::string s1 = test::unique_serial(), s2 = test::unique_serial();
  auto a = echo_table_for(s1);
  EXPECT_EQ(a, echo_table_for(s1));
  EXPECT_NE(a, echo_table_for(s2));
}

TEST(DatapathChannel, FrameCheckForManagedTransmission) {
  EXPECT_TRUE(validate_managed_frame(make_frame(0x7FF, 8)).ok());
  EXPECT_TRUE(validate_managed_frame(make_frame(0x800, 0, true)).ok());
  EXPECT_TRUE(validate_managed_frame(make_frame(0x1FFFFFFF, 0, true, true)).ok());

  CanFrame dlc9 = make_frame(1, 8);
  dlc9.dlc = 9;
  CanFrame chan1 = make_frame(1, 0);
  chan1.channel = 1;
  CanFrame errflag = make_frame(1, 0);
  errflag.flags = FRAME_FLAG_ERROR;
  CanFrame errbit = make_frame(0x20000001, 0, true);
  CanFrame high_bits = make_frame(0x80000001, 0, true);
  // Standard frames with the remote or extended bit of the identifier word set in the identifier itself.
  for (const CanFrame& f : {dlc9, chan1, errflag, make_frame(0x800, 0), errbit, high_bits, make_frame(0x40000001, 0),
                            make_frame(0x80000001, 0)}) {
    Status s = validate_managed_frame(f);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "Invalid parameter: invalid classic CAN frame for managed TX");
  }
}

class ChannelTest : public test::SimAdapterTest {
 protected:
  ChannelTest() {
    profile.firmware_version = {1, 4, 0, 12};
    profile.ctrlmode_supported = 0x1F;
  }
};

TEST_F(ChannelTest, OpenReadsDescriptionStartsWorkerAndDropJoinsIt) {
  auto ch = TavroChannel::open(adapter, SessionParams{});
  ASSERT_TRUE(ch.ok()) << ch.error().text();
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Info),
            std::vector<std::string>{"Connected to TAVRO device: FW v1.4.0.12, 1 channel(s)"});
  EXPECT_EQ(logs().count_containing("Clock: 48000000 Hz, Supported modes: 0x0000001f"), 1u);
  EXPECT_EQ(logs().count_containing("PRESUME_ACK on: Echo RX thread skipped (no echoes emitted)"), 1u);
  EXPECT_EQ((*ch)->clock_hz(), 48000000u);
  EXPECT_EQ((*ch)->echo_generation(), 1u);

  EXPECT_TRUE(dev->endpoint_open(protocol::kEpRxIn));
  EXPECT_TRUE(eventually([&] { return dev->pending_in(protocol::kEpRxIn) == std::vector<size_t>(4, 1024); }));
  dev->add_fault(test::in_data(test::rx_record(0x321, 1, {7})));
  auto f = (*ch)->queue().pop_for(10s);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->id, 0x321u);

  // A pending echo slot of this channel is abandoned when the channel goes.
  auto table = (*ch)->echo_table();
  auto a = table->allocate((*ch)->echo_generation());
  ASSERT_TRUE(a.has_value());
  ch.value().reset();
  EXPECT_EQ(logs().count_containing("Dropping TavroChannel"), 1u);
  EXPECT_EQ(logs().count_containing("CAN RX thread stopped"), 1u);
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));
  EXPECT_EQ(table->state(a->tx_id), Slot::Abandoned);
}

TEST_F(ChannelTest, SecondChannelOnTheSameAdapterAbandonsTheFirstsSlots) {
  auto first = TavroChannel::open(adapter, SessionParams{});
  ASSERT_TRUE(first.ok());
  auto table = (*first)->echo_table();
  auto a = table->allocate((*first)->echo_generation());
  // The endpoint is single-owner; stop the first worker before a second channel takes 0x81.
  (*first)->request_stop();
  EXPECT_TRUE((*first)->join_worker().result.ok());

  auto second = TavroChannel::open(adapter, SessionParams{});
  ASSERT_TRUE(second.ok()) << second.error().text();
  EXPECT_EQ((*second)->echo_table(), table);
  EXPECT_EQ((*second)->echo_generation(), (*first)->echo_generation() + 1);
  EXPECT_EQ(table->state(a->tx_id), Slot::Abandoned);
  EXPECT_FALSE(table->allocate((*first)->echo_generation()).has_value());
}

TEST_F(ChannelTest, ZeroClockStopsTheOpenBeforeAnyThread) {
  profile.clock_hz = 0;
  dev->firmware().set_profile(profile);
  auto ch = TavroChannel::open(adapter, SessionParams{});
  ASSERT_FALSE(ch.ok());
  EXPECT_EQ(ch.error().text(), "Hardware error: Device reported clock_freq = 0");
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));
  EXPECT_EQ(logs().count_containing("CAN RX thread started"), 0u);
}

TEST_F(ChannelTest, MissingReceiveEndpointFailsTheOpenAndLeavesNothingRunning) {
  dev->add_fault(test::fault(test::Target::EndpointOpen, test::Action::Fault, protocol::kEpRxIn));
  auto ch = TavroChannel::open(adapter, SessionParams{});
  ASSERT_FALSE(ch.ok());
  EXPECT_EQ(logs().count_containing("CAN RX thread started"), 0u);
  EXPECT_EQ(logs().count_containing("Dropping TavroChannel"), 0u) << "no worker was ever started";
}
