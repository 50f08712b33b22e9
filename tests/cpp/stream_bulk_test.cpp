// Bulk stream primitives: bulk IN streams, single-record bulk OUT writes, record reassembly, startup discard.
#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <numeric>

#include "log_capture.hpp"
#include "sim_adapter.hpp"
#include "stream/bulk.hpp"
#include "stream/records.hpp"
#include "stream/rx_stream.hpp"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::Action;
using test::Bytes;
using test::Target;

// Full-speed receive packets (64 bytes), so that transfer sizes round to a small unit.
class BulkTest : public test::SimAdapterTest {
 protected:
  BulkTest() { profile.rx_packet_size = 64; }
  void add(sim::FaultRule r, int64_t count = 1) {
    r.count = count;
    dev->add_fault(std::move(r));
  }
  // How the host's cancellation of a pending transfer on `endpoint` comes back.
  static sim::FaultRule unlink(Action a, Bytes payload = {}, uint8_t endpoint = protocol::kEpRxIn) {
    sim::FaultRule r = test::fault(Target::Unlink, a, endpoint);
    r.payload = std::move(payload);
    return r;
  }
  static sim::FaultRule out(Action a, uint32_t length = 0) {
    sim::FaultRule r = test::fault(Target::BulkOut, a, protocol::kEpBulkOut);
    r.length = length;
    return r;
  }
  sim::SimAdapter::EndpointUse use(uint8_t endpoint = protocol::kEpRxIn) { return dev->endpoint_use(endpoint); }
};

Bytes sequence(size_t n, uint8_t first = 0) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

// ----- BulkInStream -----

using BulkInStreamTest = BulkTest;

TEST_F(BulkInStreamTest, OpenRoundsTheTransferSizeAndQueuesDepthTransfers) {
  for (auto [requested, expected] : {std::pair<size_t, size_t>{1000, 1024}, {0, 64}, {512, 512}, {65, 128}}) {
    auto s = BulkInStream::open(*adapter, protocol::kEpRxIn, requested, 4);
    ASSERT_TRUE(s.ok()) << s.error().text();
    EXPECT_EQ((*s)->transfer_size(), expected) << requested;
    EXPECT_EQ((*s)->pipe().outstanding(), 4u);
    EXPECT_EQ(dev->pending_in(protocol::kEpRxIn), std::vector<size_t>(4, expected));
  }
  auto results = BulkInStream::open(*adapter, protocol::kEpTxResultIn, 1024, 2);
  ASSERT_TRUE(results.ok());
  EXPECT_EQ((*results)->pipe().outstanding(), 2u);
}

TEST_F(BulkInStreamTest, OpenRejectsMissingOrNonBulkEndpointsAndOversizedTransfers) {
  EXPECT_EQ(BulkInStream::open(*adapter, 0x85, 64, 1).error().text(), "USB error: not found");
  EXPECT_EQ(BulkInStream::open(*adapter, protocol::kEpBulkOut, 64, 1).error().text(),
            "Communication error: endpoint 0x02 is not a bulk IN endpoint");
  EXPECT_EQ(BulkInStream::open(*adapter, protocol::kEpRxIn, std::numeric_limits<size_t>::max() - 3, 1).error().text(),
            "Invalid parameter: Bulk IN buffer size is too large");
  profile.endpoints.push_back({0x84, 3});  // an interrupt endpoint
  plug();
  EXPECT_EQ(BulkInStream::open(*adapter, 0x84, 64, 1).error().text(),
            "Communication error: endpoint 0x84 is not a bulk IN endpoint");
  EXPECT_EQ(use().transfers, 0u);
}

TEST_F(BulkInStreamTest, ReadChecksTheBufferAndTimesOutWithoutConsuming) {
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 1024, 4)).value();
  Bytes small(1023);
  EXPECT_EQ(s->read(small, milliseconds(1)).error().text(),
            "Invalid parameter: Streaming read buffer must hold at least 1024 bytes");

  Bytes buf(1024);
  auto r = s->read(buf, milliseconds(5));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(s->pipe().outstanding(), 4u);
  EXPECT_EQ(use().transfers, 4u) << "a time-out submits nothing";
}

TEST_F(BulkInStreamTest, ReadCopiesDataAndKeepsTheQueueFull) {
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 1024, 4)).value();
  add(test::in_data(sequence(48, 1)));
  add(test::in_data({}));
  Bytes buf(2048, 0xEE);
  auto r = s->read(buf, milliseconds(1000));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 48u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 48), sequence(48, 1));
  EXPECT_EQ(buf[48], 0xEE);
  EXPECT_EQ(s->pipe().outstanding(), 4u);
  EXPECT_EQ(use().transfers, 5u);

  auto empty = s->read(buf, milliseconds(1000));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, 0u);
  EXPECT_EQ(use().most_queued, 4u);
}

TEST_F(BulkInStreamTest, ReadViewReturnsTheCompletedBytes) {
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2)).value();
  add(test::in_data(sequence(24, 9)));
  auto v = s->read_view(milliseconds(1000));
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(Bytes(v->begin(), v->end()), sequence(24, 9));
}

TEST_F(BulkInStreamTest, FailedCompletionsMapToUsbErrors) {
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2)).value();
  Bytes buf(64);
  // The stall last: it halts the endpoint.
  const std::pair<Action, const char*> cases[] = {
      {Action::Expire, "USB error: timed out"},
      {Action::Fault, "USB error: transport error"},
      {Action::OsError, "USB error: transport error"},
      {Action::Stall, "USB error: endpoint stall"},
  };
  for (auto [action, text] : cases) {
    add(test::in_ends(action));
    EXPECT_EQ(s->read(buf, milliseconds(1000)).error().text(), text);
    EXPECT_EQ(s->pipe().outstanding(), 2u) << "the replacement is submitted whatever the outcome";
  }
  dev->unplug();
  EXPECT_EQ(s->read(buf, milliseconds(1000)).error().text(), "USB error: device disconnected");
}

TEST_F(BulkInStreamTest, AnEmptyQueueThatCannotBeRefilledReportsTheRefusal) {
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 1)).value();
  add(test::in_data(sequence(8)));
  add(test::fault(Target::Submit, Action::Disconnect, protocol::kEpRxIn), -1);
  Bytes buf(64);
  EXPECT_TRUE(s->read(buf, milliseconds(1000)).ok());
  EXPECT_EQ(s->read(buf, milliseconds(1000)).error().text(), "USB error: device disconnected");
}

TEST_F(BulkInStreamTest, AHaltIsClearedByTheStreamsReleaseOrElseByTheNextStream) {
  Bytes buf(64);
  for (bool released : {true, false}) {
    auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2)).value();
    add(test::in_ends(Action::Stall));
    EXPECT_EQ(s->read(buf, milliseconds(1000)).error().text(), "USB error: endpoint stall");
    if (released) {
      EXPECT_TRUE(s->cancel_all(milliseconds(1000), {}));
    }
    EXPECT_EQ(s->halted(), !released);
  }
  auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2)).value();
  EXPECT_FALSE(s->halted());
  EXPECT_EQ(dev->halt_clears(protocol::kEpRxIn), 2u);
  // Cleared before the new stream queued anything: its first transfer completes.
  add(test::in_data(sequence(8)));
  auto first = s->read(buf, milliseconds(1000));
  ASSERT_TRUE(first.ok()) << first.error().text();
  EXPECT_EQ(*first, 8u);
}

TEST_F(BulkInStreamTest, DroppingTheStreamClosesTheEndpoint) {
  {
    auto s = std::move(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2)).value();
    EXPECT_TRUE(dev->endpoint_open(protocol::kEpRxIn));
  }
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));
  EXPECT_TRUE(BulkInStream::open(*adapter, protocol::kEpRxIn, 64, 2).ok()) << "and it can be opened again";
}

// ----- write_tx_record -----

using TxWrite = BulkTest;

constexpr uint8_t kRecord[16] = {0, 2, 0, 5, 0x23, 0x01, 0, 0, 0xde, 0xad, 0, 0, 0, 0, 0, 0};

TEST_F(TxWrite, WholeRecordIsWritten) {
  TxWriteResult r = write_tx_record(*adapter, kRecord, milliseconds(100));
  EXPECT_TRUE(r.status.ok());
  EXPECT_EQ(r.state, TxWriteState::Written);
  EXPECT_EQ(dev->bulk_out_records(), std::vector<Bytes>{Bytes(std::begin(kRecord), std::end(kRecord))});
}

TEST_F(TxWrite, PartialAcceptanceIsUncertain) {
  add(out(Action::PartialAccept, 8));
  TxWriteResult r = write_tx_record(*adapter, kRecord, milliseconds(100));
  ASSERT_FALSE(r.status.ok());
  EXPECT_EQ(r.status.error().text(), "Communication error: partial TX record (8/16 bytes); delivery uncertain");
  EXPECT_EQ(r.state, TxWriteState::Uncertain);
}

TEST_F(TxWrite, TimeoutCancelsAndIsUncertain) {
  add(out(Action::Timeout));
  TxWriteResult r = write_tx_record(*adapter, kRecord, milliseconds(20));
  ASSERT_FALSE(r.status.ok());
  EXPECT_TRUE(r.status.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(r.state, TxWriteState::Uncertain);
  // The transfer was cancelled and collected: the next write goes through.
  EXPECT_EQ(write_tx_record(*adapter, kRecord, milliseconds(100)).state, TxWriteState::Written);
}

TEST_F(TxWrite, FailedTransfersAreUncertainUsbErrors) {
  const std::pair<Action, const char*> cases[] = {
      {Action::Stall, "USB error: endpoint stall"},
      {Action::Fault, "USB error: transport error"},
      {Action::Disconnect, "USB error: device disconnected"},  // last: it unplugs the adapter
  };
  for (auto [action, text] : cases) {
    add(out(action));
    TxWriteResult r = write_tx_record(*adapter, kRecord, milliseconds(100));
    EXPECT_EQ(r.status.error().text(), text);
    EXPECT_EQ(r.state, TxWriteState::Uncertain);
    // Only the stall halts the endpoint, and it is cleared at once, not by the next write.
    EXPECT_EQ(dev->halt_clears(protocol::kEpBulkOut), 1u) << text;
  }
}

TEST_F(TxWrite, AnEndpointThatKeepsStallingIsClearedWithBackOff) {
  // Back to back, each write stalling: the clears back off, and a write whose deadline comes before the next
  // clear is due fails with the stall without being sent.
  constexpr size_t kWrites = 64;
  add(out(Action::Stall), -1);
  for (size_t i = 0; i < kWrites; ++i)
    EXPECT_EQ(write_tx_record(*adapter, kRecord, milliseconds(2)).status.error().text(), "USB error: endpoint stall");
  EXPECT_GE(dev->halt_clears(protocol::kEpBulkOut), 1u);
  EXPECT_LT(dev->halt_clears(protocol::kEpBulkOut), kWrites / 2);
  EXPECT_LT(use(protocol::kEpBulkOut).transfers, kWrites / 2);
  // Once the adapter stalls no more, a write with time enough waits for the clear and goes out.
  dev->faults().clear();
  EXPECT_EQ(write_tx_record(*adapter, kRecord, milliseconds(500)).state, TxWriteState::Written);
}

TEST_F(TxWrite, RejectedBeforeSubmissionIsNotSubmitted) {
  TxWriteResult zero = write_tx_record(*adapter, kRecord, std::chrono::nanoseconds(0));
  EXPECT_TRUE(zero.status.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(zero.state, TxWriteState::NotSubmitted);

  TxWriteResult huge = write_tx_record(*adapter, kRecord, std::chrono::nanoseconds::max());
  EXPECT_EQ(huge.status.error().text(), "Invalid parameter: Bulk write timeout is too large");
  EXPECT_EQ(huge.state, TxWriteState::NotSubmitted);

  add(test::fault(Target::Submit, Action::Disconnect, protocol::kEpBulkOut));
  TxWriteResult refused = write_tx_record(*adapter, kRecord, milliseconds(100));
  EXPECT_EQ(refused.status.error().text(), "USB error: device disconnected");
  EXPECT_EQ(refused.state, TxWriteState::NotSubmitted);

  EXPECT_EQ(use(protocol::kEpBulkOut).transfers, 0u);
}

TEST_F(TxWrite, BusyEndpointLockTimesOutNotSubmitted) {
  std::unique_lock held(adapter->bulk_out_lock());
  auto r = std::async(std::launch::async, [&] { return write_tx_record(*adapter, kRecord, milliseconds(20)); }).get();
  EXPECT_TRUE(r.status.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(r.state, TxWriteState::NotSubmitted);
  EXPECT_EQ(use(protocol::kEpBulkOut).transfers, 0u);
}

TEST_F(TxWrite, SlowCancellationIsAwaitedWithAWarning) {
  add(out(Action::Timeout));
  sim::FaultRule slow = unlink(Action::Delay, {}, protocol::kEpBulkOut);
  slow.delay = milliseconds(2500);
  add(slow);
  TxWriteResult r = write_tx_record(*adapter, kRecord, milliseconds(10));
  EXPECT_TRUE(r.status.error().is(DeviceError::Kind::Timeout));
  EXPECT_EQ(r.state, TxWriteState::Uncertain);
  auto warns = logs().texts(log::Target::Channel, log::Level::Warn);
  ASSERT_FALSE(warns.empty());
  EXPECT_NE(warns[0].find("after cancellation"), std::string::npos);
}

// ----- RecordAssembler -----

class Assembler : public test::LogCaptureTest {
 protected:
  std::vector<Bytes> feed(const Bytes& chunk, size_t record_size = 24) {
    std::vector<Bytes> out;
    a.feed(chunk, record_size, [&](const uint8_t* rec) { out.emplace_back(rec, rec + record_size); });
    return out;
  }
  RecordAssembler a;
};

TEST_F(Assembler, RecordSpanningTwoChunks) {
  const Bytes data = sequence(48);
  EXPECT_TRUE(feed(Bytes(data.begin(), data.begin() + 23)).empty());
  EXPECT_EQ(a.pending(), 23u);
  auto recs = feed(Bytes(data.begin() + 23, data.end()));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0], sequence(24, 0));
  EXPECT_EQ(recs[1], sequence(24, 24));
  EXPECT_EQ(a.pending(), 0u);
}

TEST_F(Assembler, WholeRecordsAndCarryAcrossManySmallChunks) {
  EXPECT_EQ(feed(sequence(24 * 1000)).size(), 1000u);
  EXPECT_EQ(a.pending(), 0u);

  std::vector<Bytes> all;
  const Bytes data = sequence(72, 100);
  for (size_t i = 0; i < data.size(); i += 5) {
    auto recs = feed(Bytes(data.begin() + i, data.begin() + std::min(data.size(), i + 5)));
    all.insert(all.end(), recs.begin(), recs.end());
  }
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2], sequence(24, 148));

  // Carry, then a chunk with the rest plus one whole record plus a new partial.
  feed(sequence(10));
  auto recs = feed(sequence(14 + 24 + 3, 10));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0], sequence(24, 0));
  EXPECT_EQ(recs[1], sequence(24, 24));
  EXPECT_EQ(a.pending(), 3u);
  EXPECT_TRUE(logs().records().empty());
}

TEST_F(Assembler, OversizedCarryIsClearedWithAWarning) {
  // Only a record longer than the allowance can leave that much behind.
  EXPECT_TRUE(feed(sequence(50), 60).empty());
  EXPECT_EQ(a.pending(), 50u);
  auto recs = feed(sequence(60, 7), 60);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0], sequence(60, 7)) << "the stale carry is dropped, not glued to the new data";
  EXPECT_EQ(logs().texts(log::Target::Channel, log::Level::Warn),
            std::vector<std::string>{
                "RX persistent_buf exceeded 48 bytes (50 actual) \xE2\x80\x94 likely protocol desync, clearing"});
}

// ----- RxRecordStream -----

// A one-byte frame whose data byte is its identifier's low byte.
Bytes rx_record(uint32_t id) { return test::rx_record(id, 1, {uint8_t(id)}); }

Bytes rx_records(uint32_t first, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) {
    const Bytes r = rx_record(first + uint32_t(i));
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

struct RxStream : ::testing::Test {
  std::vector<uint32_t> feed(const Bytes& chunk, bool ended_short) {
    std::vector<uint32_t> ids;
    s.feed(chunk, ended_short, [&](const uint8_t* rec) { ids.push_back(decode_rx_record(rec).id); });
    return ids;
  }
  RxRecordStream s;
};

TEST_F(RxStream, RecordsSpanningFullTransfersAreKept) {
  // 1024-byte transfers cut records anywhere; only the last, short one ends the stream's records.
  const Bytes data = rx_records(0x100, 100);
  std::vector<uint32_t> ids;
  for (size_t at = 0; at < data.size(); at += 1024) {
    const size_t n = std::min<size_t>(1024, data.size() - at);
    auto got = feed(Bytes(data.begin() + at, data.begin() + at + n), n < 1024);
    ids.insert(ids.end(), got.begin(), got.end());
  }
  ASSERT_EQ(ids.size(), 100u);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], 0x100 + i);
  EXPECT_EQ(s.take_losses().records, 0u);
  EXPECT_EQ(s.pending(), 0u);
}

TEST_F(RxStream, FragmentOfAShortTransferIsDroppedNotCarried) {
  EXPECT_TRUE(feed(Bytes{1, 2, 3, 4, 5}, true).empty());
  EXPECT_EQ(s.pending(), 0u);
  EXPECT_EQ(feed(rx_records(0x101, 4), true), (std::vector<uint32_t>{0x101, 0x102, 0x103, 0x104}));
  const RxLosses l = s.take_losses();
  EXPECT_EQ(l.records, 1u);
  EXPECT_EQ(l.bytes, 5u);
}

TEST_F(RxStream, ImplausibleRecordsAreDroppedAndTheStreamRealigns) {
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
  };
  for (const Case& c : {Case{"channel", 0, 1}, Case{"dlc", 1, 16}, Case{"error flag with extended", 2, 0x0C},
                        Case{"reserved", 3, 1}, Case{"standard id bits", 5, 0x08}}) {
    SCOPED_TRACE(c.what);
    Bytes data = rx_records(0x200, 5);
    data[24 + c.offset] = c.value;  // the second record
    EXPECT_EQ(feed(data, true), (std::vector<uint32_t>{0x200, 0x202, 0x203, 0x204}));
    EXPECT_EQ(s.take_losses().records, 1u);
  }
  // A classic frame may carry a length code of 9..15 (with 8 data bytes): plausible, even inside a full transfer.
  for (uint8_t dlc = 9; dlc <= 15; ++dlc) {
    Bytes data = rx_records(0x280, 2);
    data[1] = dlc;
    EXPECT_EQ(feed(data, false), (std::vector<uint32_t>{0x280, 0x281})) << int(dlc);
  }
  EXPECT_EQ(s.take_losses().records, 0u);
  // Garbage of any length in front of well-formed records in a short transfer: counted back from its end, every
  // record after the garbage is found.
  for (size_t junk = 1; junk < 60; ++junk) {
    Bytes data(junk, 0xEE);
    const Bytes good = rx_records(0x300, 6);
    data.insert(data.end(), good.begin(), good.end());
    EXPECT_EQ(feed(data, true), (std::vector<uint32_t>{0x300, 0x301, 0x302, 0x303, 0x304, 0x305})) << junk;
    EXPECT_EQ(s.take_losses().bytes, junk);
  }
}

TEST_F(RxStream, OutOfStepFullTransfersAreDroppedUntilAShortOneRealigns) {
  // Shifted by 5 bytes, zero-heavy records can look plausible at the wrong boundaries: none of them may get out.
  Bytes shifted(5, 0);
  const Bytes many = rx_records(0x400, 90);
  shifted.insert(shifted.end(), many.begin(), many.end());
  shifted.resize(2048);
  EXPECT_TRUE(feed(Bytes(shifted.begin(), shifted.begin() + 1024), false).empty());
  EXPECT_TRUE(feed(Bytes(shifted.begin() + 1024, shifted.end()), false).empty());
  // The next short transfer starts in the middle of a record and ends on a boundary.
  const Bytes cut = rx_record(0x4FF);
  Bytes tail(cut.begin() + 10, cut.end());
  const Bytes good = rx_records(0x500, 3);
  tail.insert(tail.end(), good.begin(), good.end());
  EXPECT_EQ(feed(tail, true), (std::vector<uint32_t>{0x500, 0x501, 0x502}));
  EXPECT_EQ(s.take_losses().bytes, 2048u + 14u);
  EXPECT_EQ(feed(rx_records(0x600, 2), true), (std::vector<uint32_t>{0x600, 0x601}));
}

TEST(RxRecordDecode, FlagsIdentifierAndLength) {
  uint8_t rec[24] = {0, 12, 0x10, 0, 0x23, 0x01, 0x00, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0, 0, 0, 0, 0, 0, 1};
  CanFrame f = decode_rx_record(rec);
  EXPECT_EQ(f.dlc, 8);
  EXPECT_EQ(f.flags, 0x10 | FRAME_FLAG_EXTENDED);
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.timestamp, 0x0100000000000001ull);

  wire::put_u32(rec + 4, 0x40000800);
  f = decode_rx_record(rec);
  EXPECT_EQ(f.flags & (FRAME_FLAG_RTR | FRAME_FLAG_EXTENDED), FRAME_FLAG_RTR);
  EXPECT_EQ(f.id, 0u);

  uint8_t out[16];
  CanFrame tx;
  tx.flags = FRAME_FLAG_RTR | FRAME_FLAG_EXTENDED;
  tx.id = 0x1ABCDEF;
  tx.dlc = 3;
  encode_tx_record(tx, 7, out);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(out[2], FRAME_FLAG_RTR | FRAME_FLAG_EXTENDED);
  EXPECT_EQ(out[3], 7);
  EXPECT_EQ(wire::get_u32(out + 4), 0xC1ABCDEFu);
}

// ----- startup_discard -----

using StartupDiscard = BulkTest;

TEST_F(StartupDiscard, WholeRecordsAreDiscarded) {
  add(test::in_data(sequence(48)));
  auto r = startup_discard(*adapter);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(*r, 2u);
  EXPECT_EQ(use().last_length, 512u);
  EXPECT_EQ(use().most_queued, 4u);
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));
}

TEST_F(StartupDiscard, QuietEndpointDiscardsNothing) {
  auto r = startup_discard(*adapter);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0u);
}

TEST_F(StartupDiscard, IncompleteRecordFails) {
  add(test::in_data(sequence(50)));
  EXPECT_EQ(startup_discard(*adapter).error().text(),
            "Communication error: Startup RX discard ended with an incomplete record");
}

TEST_F(StartupDiscard, BytesOfCancelledTransfersCount) {
  // Cancelled while waiting for more after a full packet, and completed by a short packet as the cancel went out.
  add(test::in_data(sequence(8)));
  add(unlink(Action::Reply, sequence(64)));
  add(unlink(Action::Reply, sequence(24)));
  auto r = startup_discard(*adapter);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(*r, 4u);
}

TEST_F(StartupDiscard, EndlessStreamsHitTheLimit) {
  for (size_t bytes : {512, 0}) {
    plug();
    add(test::in_data(Bytes(bytes, 0x55)), -1);
    EXPECT_EQ(startup_discard(*adapter).error().text(),
              "Communication error: Startup RX discard limit reached; initialization stopped");
    EXPECT_LE(use().transfers, 4u + 256u);
  }
}

TEST_F(StartupDiscard, AStallIsClearedAndTheDrainGoesOn) {
  // Stalled transfers carry no bytes: the records stay aligned. A stall while draining or closing is cleared.
  const auto records = [&] {
    auto r = startup_discard(*adapter);
    return r.ok() ? std::to_string(*r) : r.error().text();
  };
  add(test::in_ends(Action::Stall));
  add(test::in_data(sequence(48)));
  EXPECT_EQ(records(), "2");
  add(unlink(Action::Stall));
  EXPECT_EQ(records(), "0");
  EXPECT_EQ(dev->halt_clears(protocol::kEpRxIn), 2u);
  // An endpoint that stalls all along fails the open with the stall, and leaves no halt for the next one.
  add(test::in_ends(Action::Stall), -1);
  EXPECT_EQ(records(), "USB error: endpoint stall");
  EXPECT_FALSE(adapter->halt(protocol::kEpRxIn).halted());
}

TEST_F(StartupDiscard, ReadAndCloseFailures) {
  add(test::in_ends(Action::Fault));
  EXPECT_EQ(startup_discard(*adapter).error().text(), "USB error: transport error");
  EXPECT_FALSE(dev->endpoint_open(protocol::kEpRxIn));

  add(unlink(Action::Timeout));
  EXPECT_EQ(startup_discard(*adapter).error().text(), "Timeout waiting for operation");

  add(unlink(Action::Disconnect));
  EXPECT_EQ(startup_discard(*adapter).error().text(), "USB error: device disconnected");

  profile.endpoints = {{protocol::kEpBulkOut, 2}, {protocol::kEpTxResultIn, 2}};  // no 0x81
  plug();
  EXPECT_EQ(startup_discard(*adapter).error().text(), "USB error: not found");
}

}  // namespace
}  // namespace tavro
