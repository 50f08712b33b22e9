// Simulated adapter: the firmware model's request handling and streams, and the seam backend with its fault rules.
// The bus is a scripted double so that every transmission outcome is chosen by the test.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "backend/backend.hpp"
#include "firmware/firmware.hpp"
#include "usbip/server.hpp"

namespace tavro::sim {
namespace {

using protocol::ControlCommand;
using Bytes = std::vector<uint8_t>;

// A bus that only records what nodes ask and reports what the test decides.
class ScriptedBus final : public SimBus {
 public:
  int attach(BusNode* node) override {
    std::lock_guard l(mu);
    nodes.push_back(node);
    return int(nodes.size()) - 1;
  }
  void detach(int id) override {
    std::lock_guard l(mu);
    nodes[size_t(id)] = nullptr;
  }
  void configure(int, const NodeConfig& c) override {
    std::lock_guard l(mu);
    config = c;
    configures.push_back(c);
  }
  bool transmit(int, const BusFrame& f, uint64_t tag) override {
    std::lock_guard l(mu);
    if (config.bitrate == 0 || config.listen_only || refuse_transmit) return false;
    queued[tag] = f;
    sent.push_back(f);
    return true;
  }
  bool cancel(int node, uint64_t tag) override {
    {
      std::lock_guard l(mu);
      if (!withdrawable || !queued.count(tag)) return false;
    }
    finish(node, tag, TxVerdict::Cancelled);
    return true;
  }
  void flush(int node) override {
    std::vector<uint64_t> tags;
    {
      std::lock_guard l(mu);
      for (auto& [t, f] : queued) tags.push_back(t);
      ++flushes;
    }
    for (auto t : tags) finish(node, t, TxVerdict::Cancelled);
  }
  NodeErrorState error_state(int) const override { return NodeErrorState{}; }
  void reset_errors(int) override { ++resets; }
  uint64_t now_us() const override { return now; }
  void set_unlimited_speed(bool) override {}
  void set_ack_peer(bool) override {}
  void inject(const std::vector<BusFrame>&, uint32_t) override {}
  void start_stream(const BusFrame&, uint32_t, double, uint64_t) override {}
  void stop_stream() override {}
  void inject_error(int, uint32_t) override {}
  std::vector<WireRecord> take_wire_log() override { return {}; }
  void shutdown() override {}
  void set_paused(bool) override {}

  // Reports the end of a queued transmission to the newest node.
  void finish(int, uint64_t tag, TxVerdict v) {
    BusNode* n;
    {
      std::lock_guard l(mu);
      queued.erase(tag);
      n = nodes.back();
    }
    if (n) n->bus_transmit_done(tag, v, now);
  }
  uint64_t first_tag() {
    std::lock_guard l(mu);
    return queued.empty() ? 0 : queued.begin()->first;
  }
  void deliver(const BusFrame& f, uint64_t t) { nodes.back()->bus_frame_received(f, t); }

  mutable std::mutex mu;
  std::vector<BusNode*> nodes;
  NodeConfig config;
  std::vector<NodeConfig> configures;
  std::map<uint64_t, BusFrame> queued;
  std::vector<BusFrame> sent;
  bool refuse_transmit = false;
  bool withdrawable = true;
  int flushes = 0;
  int resets = 0;
  uint64_t now = 1000;
};

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t u64(const uint8_t* p) { return uint64_t(u32(p)) | uint64_t(u32(p + 4)) << 32; }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes tx_record(uint8_t tx_id, uint32_t id_word, uint8_t dlc = 2, uint8_t flags = 0, uint8_t channel = 0) {
  Bytes b(16, 0);
  b[0] = channel;
  b[1] = dlc;
  b[2] = flags;
  b[3] = tx_id;
  std::memcpy(b.data() + 4, le32(id_word).data(), 4);
  b[8] = 0xAA;
  b[9] = 0xBB;
  return b;
}

class FirmwareTest : public ::testing::Test {
 protected:
  void make(FirmwareProfile p = FirmwareProfile::standard()) {
    fw.reset();
    fw = std::make_unique<Firmware>(std::move(p), bus);
  }
  void SetUp() override { make(); }

  ControlReply in(ControlCommand c, uint16_t len, uint16_t value = 0) {
    return fw->control({protocol::kRequestTypeIn, uint8_t(c), value, 0, len}, {});
  }
  ControlReply out(ControlCommand c, const Bytes& data, uint16_t value = 0) {
    return fw->control({protocol::kRequestTypeOut, uint8_t(c), value, 0, uint16_t(data.size())}, data);
  }
  uint32_t in_u32(ControlCommand c, uint16_t len, size_t word = 0) {
    auto r = in(c, len);
    EXPECT_FALSE(r.stall);
    return u32(r.data.data() + 4 * word);
  }
  void start() { ASSERT_FALSE(out(ControlCommand::Bus, le32(1)).stall); }
  Bytes drain(uint8_t ep) {
    Bytes b(4096);
    b.resize(fw->read_in(ep, b));
    return b;
  }

  std::shared_ptr<ScriptedBus> bus = std::make_shared<ScriptedBus>();
  std::unique_ptr<Firmware> fw;
};

TEST_F(FirmwareTest, DescriptionRecordsFollowTheProfile) {
  FirmwareProfile p;
  p.firmware_version = {1, 4, 0, 12};
  p.hardware_id = 0xA1B2C3D4;
  p.clock_hz = 80'000'000;
  p.features_supported = 0x25;
  p.bt_const.brp_inc = 2;
  make(p);
  auto info = in(ControlCommand::GetDeviceInfo, 24);
  ASSERT_EQ(info.length, 24);
  EXPECT_EQ(Bytes(info.data.begin() + 4, info.data.begin() + 8), (Bytes{1, 4, 0, 12}));
  EXPECT_EQ(info.data[16], 1);
  EXPECT_EQ(u32(info.data.data() + 20), 0xA1B2C3D4u);
  auto caps = in(ControlCommand::GetDeviceCapabilities, 24);
  ASSERT_EQ(caps.length, 24);
  EXPECT_EQ(u32(caps.data.data()), 80'000'000u);
  EXPECT_EQ(u32(caps.data.data() + 16), 0x25u);
  auto bt = in(ControlCommand::GetBtConst, 48);
  ASSERT_EQ(bt.length, 48);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bt.data.data())), "bxCAN");
  EXPECT_EQ(u32(bt.data.data() + 44), 2u);
  EXPECT_EQ(in_u32(ControlCommand::Channel, 4), 0u);
}

TEST_F(FirmwareTest, MalformedRequestsStallLikeTheDevice) {
  // Wrong recipient, wrong interface, unknown and never-used requests.
  EXPECT_TRUE(fw->control({0xC0, 0, 0, 0, 24}, {}).stall);
  EXPECT_TRUE(fw->control({0xC1, 0, 0, 1, 24}, {}).stall);
  EXPECT_TRUE(in(ControlCommand::GetBerr, 8).stall);
  EXPECT_TRUE(fw->control({0xC1, 99, 0, 0, 4}, {}).stall);
  // Wrong direction, wrong wValue, too short an IN, wrong OUT length.
  EXPECT_TRUE(out(ControlCommand::GetDeviceInfo, {}).stall);
  EXPECT_TRUE(in(ControlCommand::ResetCan, 0).stall);
  EXPECT_TRUE(in(ControlCommand::GetDeviceInfo, 24, 1).stall);
  EXPECT_TRUE(in(ControlCommand::GetDeviceInfo, 23).stall);
  EXPECT_TRUE(out(ControlCommand::Mode, {1, 0, 0}).stall);
  EXPECT_TRUE(out(ControlCommand::ResetCan, {0}).stall);
  // A longer IN request gets the record only (a short packet).
  EXPECT_EQ(in(ControlCommand::GetDeviceInfo, 64).length, 24);
  // Values the firmware does not know.
  EXPECT_TRUE(out(ControlCommand::Bus, le32(2)).stall);
  EXPECT_TRUE(out(ControlCommand::TxResultMode, le32(2)).stall);
  EXPECT_TRUE(out(ControlCommand::LedMode, le32(4)).stall);
  EXPECT_TRUE(out(ControlCommand::Channel, le32(1)).stall);
  EXPECT_TRUE(out(ControlCommand::Mode, le32(0x20)).stall);  // CAN FD is not in ctrlmode_supported
  EXPECT_TRUE(out(ControlCommand::Identify, {}, 0).stall);
  EXPECT_FALSE(out(ControlCommand::Identify, {}, 1500).stall);
  EXPECT_EQ(fw->state().identify_ms, 1500u);
}

TEST_F(FirmwareTest, BusStateMovesOnlyThroughBusAndReset) {
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 4u);
  start();
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 0u);
  EXPECT_EQ(bus->config.bitrate, 500000u);
  // Settings that need a stopped controller are refused while it runs.
  EXPECT_TRUE(out(ControlCommand::CanBittiming, Bytes(32, 0)).stall);
  EXPECT_TRUE(out(ControlCommand::Mode, le32(0)).stall);
  EXPECT_TRUE(out(ControlCommand::TxResultMode, le32(1)).stall);
  EXPECT_TRUE(out(ControlCommand::DeviceName, Bytes(16, 0)).stall);
  EXPECT_TRUE(out(ControlCommand::TerminationState, le32(1)).stall);
  EXPECT_TRUE(out(ControlCommand::ResetTimestamp, {}).stall);
  EXPECT_FALSE(out(ControlCommand::LedMode, le32(2)).stall);
  EXPECT_FALSE(out(ControlCommand::FlushTxQueue, {}).stall);
  EXPECT_FALSE(out(ControlCommand::Bus, le32(0)).stall);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 4u);
  EXPECT_EQ(bus->config.bitrate, 0u);
  start();
  EXPECT_FALSE(out(ControlCommand::ResetCan, {}).stall);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 4u);
  EXPECT_EQ(bus->resets, 1);
  // A forced state is what the host sees, e.g. bus-off after a stop request.
  fw->set_bus_state_override(3);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 3u);
  fw->set_bus_state_override(std::nullopt);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 4u);
}

TEST_F(FirmwareTest, ModeWordConfiguresTheController) {
  ASSERT_FALSE(out(ControlCommand::Mode, le32(0x0B)).stall);
  EXPECT_EQ(in_u32(ControlCommand::Mode, 4), 0x0Bu);
  start();
  EXPECT_TRUE(bus->config.loopback);
  EXPECT_TRUE(bus->config.listen_only);
  EXPECT_TRUE(bus->config.one_shot);
}

TEST_F(FirmwareTest, BitTimingIsValidatedStoredAndSnapshotted) {
  // 250 kbit/s at 16 tq: BRP 12, tseg1 13, tseg2 2, SJW 1.
  Bytes rec;
  for (uint32_t w : {250000u, 875u, 250u, 0u, 13u, 2u, 1u, 12u}) {
    auto b = le32(w);
    rec.insert(rec.end(), b.begin(), b.end());
  }
  ASSERT_FALSE(out(ControlCommand::CanBittiming, rec).stall);
  auto back = in(ControlCommand::CanBittiming, 32);
  ASSERT_EQ(back.length, 32);
  EXPECT_EQ(Bytes(back.data.begin(), back.data.begin() + 32), rec);
  start();
  EXPECT_EQ(bus->config.bitrate, 250000u);
  auto snap = in(ControlCommand::CanBittiming, 56, 1);
  ASSERT_EQ(snap.length, 56);
  EXPECT_EQ(u32(snap.data.data() + 32), 48'000'000u);
  EXPECT_EQ(u32(snap.data.data() + 36), 11u | 12u << 16 | 1u << 20 | 0u << 24);  // BRP-1, TSEG1-1, TSEG2-1, SJW-1
  EXPECT_EQ(u32(snap.data.data() + 40), 0u);                                     // CTLR: running
  EXPECT_EQ(u32(snap.data.data() + 52), 0u);                                     // bus state
  ASSERT_FALSE(out(ControlCommand::Bus, le32(0)).stall);
  snap = in(ControlCommand::CanBittiming, 56, 1);
  EXPECT_EQ(u32(snap.data.data() + 40), 1u);  // initialisation request while stopped
  EXPECT_EQ(u32(snap.data.data() + 52), 4u);

  auto bad = rec;
  bad[24] = 3;  // SJW 3 > tseg2 2
  EXPECT_TRUE(out(ControlCommand::CanBittiming, bad).stall);
  bad = rec;
  bad[28] = 0;  // BRP 0
  EXPECT_TRUE(out(ControlCommand::CanBittiming, bad).stall);
  EXPECT_EQ(fw->state().bittiming.brp, 12u);

  make(FirmwareProfile::legacy());
  EXPECT_TRUE(in(ControlCommand::CanBittiming, 56, 1).stall);
  EXPECT_FALSE(in(ControlCommand::CanBittiming, 32, 0).stall);
}

TEST_F(FirmwareTest, UnsetTimingKeepsTheBusFromStarting) {
  FirmwareProfile p;
  p.power_up_bittiming = BitTiming{};
  make(p);
  EXPECT_TRUE(out(ControlCommand::Bus, le32(1)).stall);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 4u);
  auto snap = in(ControlCommand::CanBittiming, 56, 1);
  EXPECT_EQ(Bytes(snap.data.begin(), snap.data.begin() + 32), Bytes(32, 0));
  EXPECT_EQ(u32(snap.data.data() + 36), 0x01230000u);
}

TEST_F(FirmwareTest, ResultModeGenerationChangesOnFlush) {
  ASSERT_FALSE(out(ControlCommand::TxResultMode, le32(1)).stall);
  auto r = in(ControlCommand::TxResultMode, 12);
  ASSERT_EQ(r.length, 12);
  EXPECT_EQ(u32(r.data.data()), 1u);
  const uint32_t gen = u32(r.data.data() + 4);
  start();
  ASSERT_FALSE(out(ControlCommand::FlushTxQueue, {}).stall);
  EXPECT_NE(in_u32(ControlCommand::TxResultMode, 12, 1), gen);
  EXPECT_EQ(bus->flushes, 1);
}

TEST_F(FirmwareTest, ExplicitResultsCarryStatusAndAdapterTime) {
  ASSERT_FALSE(out(ControlCommand::TxResultMode, le32(1)).stall);
  bus->now = 5000;
  ASSERT_FALSE(out(ControlCommand::ResetTimestamp, {}).stall);
  start();
  ASSERT_EQ(fw->bulk_out(tx_record(3, 0x80000123u, 8, 0x04)), BulkOutStatus::Accepted);
  ASSERT_EQ(bus->sent.size(), 1u);
  EXPECT_TRUE(bus->sent[0].extended);
  EXPECT_EQ(bus->sent[0].id, 0x123u);
  EXPECT_EQ(bus->sent[0].dlc, 8);
  bus->now = 5250;
  bus->finish(0, bus->first_tag(), TxVerdict::Success);
  Bytes res = drain(protocol::kEpTxResultIn);
  ASSERT_EQ(res.size(), 12u);
  EXPECT_EQ(res[0], 0);
  EXPECT_EQ(res[1], 3);
  EXPECT_EQ(res[2], 0);
  EXPECT_EQ(u64(res.data() + 4), 250u);
  // Arbitration lost in one-shot mode and a refused record (error bit set) are reported too.
  ASSERT_EQ(fw->bulk_out(tx_record(4, 0x100)), BulkOutStatus::Accepted);
  bus->finish(0, bus->first_tag(), TxVerdict::ArbitrationLost);
  ASSERT_EQ(fw->bulk_out(tx_record(5, 0x20000001u)), BulkOutStatus::Accepted);
  ASSERT_EQ(fw->bulk_out(tx_record(0, 0x100)), BulkOutStatus::Accepted);  // untracked: no result
  bus->finish(0, bus->first_tag(), TxVerdict::Success);
  res = drain(protocol::kEpTxResultIn);
  ASSERT_EQ(res.size(), 24u);
  EXPECT_EQ(res[1], 4);
  EXPECT_EQ(res[2], 2);
  EXPECT_EQ(res[13], 5);
  EXPECT_EQ(res[14], 1);
  EXPECT_EQ(fw->state().tx_rejected, 1u);
}

TEST_F(FirmwareTest, TransmitRecordsAreValidated) {
  ASSERT_FALSE(out(ControlCommand::TxResultMode, le32(1)).stall);
  start();
  const Bytes bad[] = {tx_record(1, 0x800), tx_record(2, 0x100, 9), tx_record(3, 0x100, 2, 0x08),
                       tx_record(4, 0x100, 2, 0, 1), tx_record(5, 0x20000100u)};
  for (const auto& b : bad) ASSERT_EQ(fw->bulk_out(b), BulkOutStatus::Accepted);
  EXPECT_TRUE(bus->sent.empty());
  EXPECT_EQ(fw->state().tx_rejected, 5u);
  Bytes res = drain(protocol::kEpTxResultIn);
  ASSERT_EQ(res.size(), 60u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(res[12 * i + 2], 1) << i;  // failed
  // An extended 0x800 and a remote frame are fine; a partial record is discarded.
  ASSERT_EQ(fw->bulk_out(tx_record(6, 0x80000800u)), BulkOutStatus::Accepted);
  ASSERT_EQ(fw->bulk_out(tx_record(7, 0x40000010u, 0, 0x02)), BulkOutStatus::Accepted);
  ASSERT_EQ(bus->sent.size(), 2u);
  EXPECT_TRUE(bus->sent[1].remote);
  Bytes half = tx_record(8, 0x10);
  half.resize(8);
  ASSERT_EQ(fw->bulk_out(half), BulkOutStatus::Accepted);
  EXPECT_EQ(bus->sent.size(), 2u);
  EXPECT_EQ(fw->state().tx_rejected, 6u);
}

TEST_F(FirmwareTest, LegacyEchoesOnlyTransmittedFramesAndNotWithPresumeAck) {
  start();
  ASSERT_EQ(fw->bulk_out(tx_record(7, 0x10)), BulkOutStatus::Accepted);
  bus->now = 1600;
  bus->finish(0, bus->first_tag(), TxVerdict::Success);
  ASSERT_EQ(fw->bulk_out(tx_record(8, 0x10)), BulkOutStatus::Accepted);
  bus->finish(0, bus->first_tag(), TxVerdict::Failed);
  Bytes res = drain(protocol::kEpTxResultIn);
  ASSERT_EQ(res.size(), 10u);
  EXPECT_EQ(res[1], 7);
  EXPECT_EQ(u64(res.data() + 2), 1600u);
  EXPECT_EQ(fw->state().last_error_code, 3u);  // no acknowledgement

  ASSERT_FALSE(out(ControlCommand::Bus, le32(0)).stall);
  ASSERT_FALSE(out(ControlCommand::Mode, le32(protocol::kModePresumeAck)).stall);
  start();
  ASSERT_EQ(fw->bulk_out(tx_record(9, 0x10)), BulkOutStatus::Accepted);
  bus->finish(0, bus->first_tag(), TxVerdict::Success);
  EXPECT_TRUE(drain(protocol::kEpTxResultIn).empty());
}

TEST_F(FirmwareTest, FullTransmitQueueRefusesUntilAFrameLeaves) {
  FirmwareProfile p;
  p.tx_queue_depth = 2;
  make(p);
  start();
  EXPECT_EQ(fw->bulk_out(tx_record(1, 0x1)), BulkOutStatus::Accepted);
  EXPECT_EQ(fw->bulk_out(tx_record(2, 0x2)), BulkOutStatus::Accepted);
  EXPECT_EQ(fw->bulk_out(tx_record(3, 0x3)), BulkOutStatus::Busy);
  bus->finish(0, bus->first_tag(), TxVerdict::Success);
  EXPECT_EQ(fw->bulk_out(tx_record(3, 0x3)), BulkOutStatus::Accepted);
  EXPECT_EQ(bus->sent.size(), 3u);
}

TEST_F(FirmwareTest, FlushDropsOldResultsAndLateReports) {
  ASSERT_FALSE(out(ControlCommand::TxResultMode, le32(1)).stall);
  start();
  bus->withdrawable = false;
  ASSERT_EQ(fw->bulk_out(tx_record(1, 0x1)), BulkOutStatus::Accepted);
  ASSERT_EQ(fw->bulk_out(tx_record(2, 0x2)), BulkOutStatus::Accepted);
  bus->finish(0, bus->first_tag(), TxVerdict::Success);  // id 1 reported, still unread
  const uint64_t late = bus->first_tag();
  bus->queued.clear();  // id 2 is on the wire and survives the flush
  ASSERT_FALSE(out(ControlCommand::FlushTxQueue, {}).stall);
  bus->queued[late] = {};
  bus->finish(0, late, TxVerdict::Success);
  EXPECT_TRUE(drain(protocol::kEpTxResultIn).empty());
  EXPECT_EQ(fw->state().tx_in_flight, 0u);
}

TEST_F(FirmwareTest, CancelTxRepliesPerTransmissionState) {
  auto cancel = [&](uint16_t id) {
    auto r = in(ControlCommand::CancelTx, 8, id);
    EXPECT_EQ(r.length, 8);
    return std::make_pair(r.data[0], u32(r.data.data() + 4));
  };
  start();
  EXPECT_EQ(cancel(1).first, 5);  // legacy result mode: unsupported
  ASSERT_FALSE(out(ControlCommand::Bus, le32(0)).stall);
  ASSERT_FALSE(out(ControlCommand::TxResultMode, le32(1)).stall);
  start();
  const uint32_t gen = fw->state().generation;
  ASSERT_EQ(fw->bulk_out(tx_record(1, 0x1)), BulkOutStatus::Accepted);
  ASSERT_EQ(fw->bulk_out(tx_record(2, 0x2)), BulkOutStatus::Accepted);
  EXPECT_EQ(cancel(1), std::make_pair(uint8_t(1), gen));  // withdrawn from the queue
  Bytes res = drain(protocol::kEpTxResultIn);
  ASSERT_EQ(res.size(), 12u);
  EXPECT_EQ(res[1], 1);
  EXPECT_EQ(res[2], 3);           // cancelled
  EXPECT_EQ(cancel(1).first, 3);  // its result was reported
  EXPECT_EQ(cancel(9).first, 0);
  bus->withdrawable = false;
  EXPECT_EQ(cancel(2).first, 2);  // on the wire: abort requested
  EXPECT_EQ(cancel(2).first, 6);  // already being aborted
}

TEST_F(FirmwareTest, ReceivedFramesBecomeRxRecordsSplitAnywhere) {
  bus->now = 100;
  ASSERT_FALSE(out(ControlCommand::ResetTimestamp, {}).stall);
  BusFrame f;
  f.id = 0x123;
  f.dlc = 3;
  f.data = {1, 2, 3};
  bus->deliver(f, 50);  // stopped controller hears nothing
  start();
  bus->deliver(f, 150);
  BusFrame e;
  e.extended = true;
  e.remote = true;
  e.id = 0x1ABCDEF0;
  bus->deliver(e, 160);
  BusFrame err;
  err.error = true;
  err.id = 0x40;
  err.dlc = 8;
  bus->deliver(err, 170);
  EXPECT_EQ(fw->state().rx_queued_bytes, 72u);
  Bytes a(23), b(100);
  ASSERT_EQ(fw->read_in(protocol::kEpRxIn, a), 23u);
  b.resize(fw->read_in(protocol::kEpRxIn, b));
  ASSERT_EQ(b.size(), 49u);
  a.insert(a.end(), b.begin(), b.end());
  EXPECT_EQ(a[1], 3);
  EXPECT_EQ(u32(a.data() + 4), 0x123u);
  EXPECT_EQ(a[8], 1);
  EXPECT_EQ(u64(a.data() + 16), 50u);
  EXPECT_EQ(u32(a.data() + 28), 0xDABCDEF0u);  // extended | remote
  EXPECT_EQ(u32(a.data() + 52), 0x20000040u);  // error frame, bus-off class
  EXPECT_FALSE(fw->in_ready(protocol::kEpRxIn));
  bus->deliver(f, 90);  // ended before the timestamp reset: never a wrapped-around time
  Bytes late = drain(protocol::kEpRxIn);
  ASSERT_EQ(late.size(), 24u);
  EXPECT_EQ(u64(late.data() + 16), 0u);
}

TEST_F(FirmwareTest, ErrorStateChangesAreReportedAsErrorFrames) {
  start();
  BusNode* node = bus->nodes.back();
  node->bus_error_state_changed({1, 100, 20, 0});
  node->bus_error_state_changed({2, 100, 130, 0});
  // The bus's own error frame for the same transition is not passed on twice; other error frames are.
  BusFrame bus_frame;
  bus_frame.error = true;
  bus_frame.dlc = 8;
  bus_frame.id = kCanErrCrtl | kCanErrCnt;
  bus->deliver(bus_frame, 2000);
  bus_frame.id = kCanErrProt | kCanErrCnt;
  bus->deliver(bus_frame, 2001);
  node->bus_error_state_changed({3, 100, 255, 1});
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20), 3u);
  EXPECT_EQ(in_u32(ControlCommand::Bus, 20, 3), 1u);
  Bytes rec = drain(protocol::kEpRxIn);
  ASSERT_EQ(rec.size(), 96u);
  EXPECT_EQ(u32(rec.data() + 4), 0x20000204u);
  EXPECT_EQ(rec[9], 0x04);  // receive warning
  EXPECT_EQ(u32(rec.data() + 28), 0x20000204u);
  EXPECT_EQ(rec[33], 0x20);  // transmit passive
  EXPECT_EQ(rec[38], 130);   // TEC
  EXPECT_EQ(u32(rec.data() + 52), 0x20000208u);
  EXPECT_EQ(u32(rec.data() + 76), 0x20000240u);
  auto le = in(ControlCommand::GetLastError, 8);
  ASSERT_EQ(le.length, 8);
  EXPECT_EQ((u32(le.data.data() + 4) >> 24) & 0xFF, 100u);
  EXPECT_EQ((u32(le.data.data() + 4) >> 16) & 0xFF, 255u);
  EXPECT_EQ(u32(le.data.data() + 4) & 0x4, 0x4u);  // bus-off flag
}

TEST_F(FirmwareTest, RxQueueOverflowDropsNewRecords) {
  FirmwareProfile p;
  p.rx_queue_records = 2;
  make(p);
  start();
  BusFrame f;
  for (int i = 0; i < 3; ++i) bus->deliver(f, 10);
  auto s = fw->state();
  EXPECT_EQ(s.rx_queued_bytes, 48u);
  EXPECT_EQ(s.rx_overflows, 1u);
}

TEST_F(FirmwareTest, StaleDataPreloadAndEndlessStream) {
  fw->preload_rx(Bytes(50, 0xEE));
  EXPECT_EQ(drain(protocol::kEpRxIn), Bytes(50, 0xEE));
  fw->set_stale_stream(true);
  Bytes buf(512);
  EXPECT_EQ(fw->read_in(protocol::kEpRxIn, buf), 512u);
  EXPECT_EQ(fw->read_in(protocol::kEpRxIn, buf), 512u);
  fw->set_stale_stream(false);
  EXPECT_FALSE(fw->in_ready(protocol::kEpRxIn));
}

TEST_F(FirmwareTest, DeviceNameIsSavedAfterTheDelay) {
  FirmwareProfile p;
  p.settings_save_delay_ms = 3'600'000;
  make(p);
  EXPECT_EQ(in_u32(ControlCommand::SettingsStatus, 4), 0u);
  Bytes name(16, 0);
  std::memcpy(name.data(), "bench-1", 7);
  ASSERT_FALSE(out(ControlCommand::DeviceName, name).stall);
  auto r = in(ControlCommand::DeviceName, 16);
  EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 16), name);
  EXPECT_EQ(in_u32(ControlCommand::SettingsStatus, 4), 1u);  // the save takes an hour here
  EXPECT_EQ(fw->state().stored_name, (std::array<uint8_t, 16>{}));

  p.settings_save_delay_ms = 0;
  make(p);
  ASSERT_FALSE(out(ControlCommand::DeviceName, name).stall);
  EXPECT_EQ(in_u32(ControlCommand::SettingsStatus, 4), 2u);
  EXPECT_EQ(fw->state().stored_name[0], 'b');
  ASSERT_FALSE(out(ControlCommand::DeviceName, name).stall);
  EXPECT_EQ(in_u32(ControlCommand::SettingsStatus, 4), 3u);  // unchanged

  p.settings_final_status = kSettingsFlashError;
  make(p);
  ASSERT_FALSE(out(ControlCommand::DeviceName, name).stall);
  EXPECT_EQ(in_u32(ControlCommand::SettingsStatus, 4), 5u);
  EXPECT_EQ(fw->state().stored_name, (std::array<uint8_t, 16>{}));
}

TEST_F(FirmwareTest, LegacyFirmwareStallsNewerRequests) {
  make(FirmwareProfile::legacy());
  EXPECT_TRUE(in(ControlCommand::SettingsStatus, 4).stall);
  EXPECT_TRUE(in(ControlCommand::TxResultMode, 12).stall);
  EXPECT_TRUE(out(ControlCommand::ResetTimestamp, {}).stall);
  EXPECT_TRUE(in(ControlCommand::CancelTx, 8, 1).stall);
  EXPECT_TRUE(in(ControlCommand::GetLastError, 8).stall);
  auto le = in(ControlCommand::GetLastError, 4);
  EXPECT_FALSE(le.stall);
  EXPECT_EQ(le.length, 4);
}

TEST_F(FirmwareTest, InterfaceNameNeedsOneTerminatingZero) {
  Bytes name(32, 'a');
  name.back() = 0;
  EXPECT_FALSE(out(ControlCommand::SetInterfaceName, name).stall);
  EXPECT_EQ(fw->state().interface_name, std::string(31, 'a'));
  EXPECT_TRUE(out(ControlCommand::SetInterfaceName, Bytes(33, 0)).stall);
  EXPECT_TRUE(out(ControlCommand::SetInterfaceName, Bytes{'a', 'b'}).stall);
  EXPECT_TRUE(out(ControlCommand::SetInterfaceName, Bytes{'a', 0, 'b', 0}).stall);
  EXPECT_TRUE(out(ControlCommand::SetInterfaceName, Bytes{}).stall);
}

TEST_F(FirmwareTest, UnpluggedFirmwareAnswersNothing) {
  start();
  fw->power_off();
  EXPECT_TRUE(in(ControlCommand::GetDeviceInfo, 24).stall);
  EXPECT_EQ(bus->nodes[0], nullptr);
  EXPECT_FALSE(fw->state().powered);
}

// ---------------------------------------------------------------------------------------------------------------
// Seam backend

using usb::TransferStatus;
constexpr auto kSecond = std::chrono::seconds(1);

FirmwareProfile with_serial(std::string serial) {
  FirmwareProfile p;
  p.serial = std::move(serial);
  return p;
}

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override { adapter = hub.plug(FirmwareProfile::standard()); }

  // Opens the first enumerated adapter and claims interface 0.
  void open_first() {
    auto list = backend.enumerate();
    ASSERT_TRUE(list.ok());
    ASSERT_FALSE(list.value->empty());
    auto dev = backend.open(list.value->front());
    ASSERT_TRUE(dev.ok()) << dev.error.text;
    device = *dev.value;
    auto itf = device->claim_interface(0);
    ASSERT_TRUE(itf.ok()) << itf.error.text;
    iface = *itf.value;
  }
  usb::TransferOutcome ctl_in(ControlCommand c, Bytes& buf, uint16_t value = 0, usb::Duration timeout = kSecond) {
    return device->control_transfer({protocol::kRequestTypeIn, uint8_t(c), value, 0, uint16_t(buf.size())}, buf,
                                    timeout);
  }
  usb::TransferOutcome ctl_out(ControlCommand c, Bytes data, uint16_t value = 0) {
    return device->control_transfer({protocol::kRequestTypeOut, uint8_t(c), value, 0, uint16_t(data.size())}, data,
                                    kSecond);
  }
  void add(FaultRule r) { adapter->faults().add(std::move(r)); }

  std::shared_ptr<ScriptedBus> bus = std::make_shared<ScriptedBus>();
  SimHub hub{[this] { return bus; }};
  SimBackend backend{hub};
  std::shared_ptr<SimAdapter> adapter;
  std::shared_ptr<usb::Device> device;
  std::shared_ptr<usb::Interface> iface;
};

TEST_F(BackendTest, EnumeratesInPlugOrderAndOpensExclusively) {
  auto second = hub.plug(with_serial("tav.io:CANI0002"));
  FirmwareProfile anonymous;
  anonymous.serial.reset();
  hub.plug(anonymous);
  auto list = backend.enumerate();
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list.value->size(), 3u);
  EXPECT_EQ(list.value->at(0).serial, "tav.io:CANH0001");
  EXPECT_EQ(list.value->at(1).serial, "tav.io:CANI0002");
  EXPECT_FALSE(list.value->at(2).serial.has_value());
  EXPECT_EQ(list.value->at(1).vendor_id, 0x16C0);
  EXPECT_EQ(list.value->at(1).product_id, 0x27D8);
  EXPECT_NE(list.value->at(0).address, list.value->at(1).address);

  auto first = backend.open(list.value->at(0));
  ASSERT_TRUE(first.ok());
  auto again = backend.open(list.value->at(0));
  ASSERT_FALSE(again.ok());
  EXPECT_FALSE(again.error.text.empty());
  first.value->reset();  // released: another user may open it now
  EXPECT_TRUE(backend.open(list.value->at(0)).ok());

  ASSERT_TRUE(hub.unplug(second->id()));
  EXPECT_EQ(backend.enumerate().value->size(), 2u);
  auto stale = backend.open(list.value->at(1));
  ASSERT_FALSE(stale.ok());
  EXPECT_EQ(stale.error.status, TransferStatus::Disconnected);
}

TEST_F(BackendTest, InterfaceAndEndpointsFollowTheProfile) {
  FirmwareProfile p = FirmwareProfile::legacy();
  hub.unplug(adapter->id());
  adapter = hub.plug(p);
  open_first();
  EXPECT_FALSE(device->claim_interface(0).ok());  // already claimed
  EXPECT_FALSE(device->claim_interface(1).ok());
  auto eps = iface->endpoints();
  ASSERT_EQ(eps.size(), 3u);
  for (const auto& e : eps) EXPECT_EQ(e.max_packet_size, 64);
  auto out = iface->open_bulk_out(protocol::kEpBulkOut);
  ASSERT_TRUE(out.ok());
  EXPECT_FALSE(iface->open_bulk_out(protocol::kEpBulkOut).ok());  // exclusive
  EXPECT_FALSE(iface->open_bulk_out(0x81).ok());                  // wrong direction
  EXPECT_FALSE(iface->open_bulk_in(0x84).ok());                   // not described
  auto rx = iface->open_bulk_in(protocol::kEpRxIn);
  ASSERT_TRUE(rx.ok());
  EXPECT_FALSE(iface->open_bulk_in(protocol::kEpRxIn).ok());
  rx.value->reset();
  EXPECT_TRUE(iface->open_bulk_in(protocol::kEpRxIn).ok());
}

TEST_F(BackendTest, ControlRequestsReachTheFirmwareAndAreRecorded) {
  open_first();
  Bytes info(24);
  auto o = ctl_in(ControlCommand::GetDeviceInfo, info);
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o.actual, 24u);
  EXPECT_EQ(info[16], 1);
  EXPECT_EQ(ctl_out(ControlCommand::Mode, le32(0x10)).status, TransferStatus::Completed);
  EXPECT_EQ(ctl_out(ControlCommand::Mode, le32(0x20)).status, TransferStatus::Stall);
  auto recs = adapter->control_records();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].setup.request_type, 0xC1);
  EXPECT_EQ(recs[0].setup.length, 24);
  EXPECT_EQ(recs[0].reply.size(), 24u);
  EXPECT_EQ(recs[1].setup.request, uint8_t(ControlCommand::Mode));
  EXPECT_EQ(recs[1].data, le32(0x10));
  EXPECT_EQ(recs[2].status, TransferStatus::Stall);
  adapter->clear_records();
  EXPECT_TRUE(adapter->control_records().empty());
}

TEST_F(BackendTest, ControlFaultRulesApplyByRequestDirectionAndCount) {
  open_first();
  Bytes st(20);
  FaultRule stall;
  stall.request = uint8_t(ControlCommand::Bus);
  stall.direction = FaultDirection::In;
  stall.count = 2;
  add(stall);
  EXPECT_EQ(ctl_out(ControlCommand::Bus, le32(0)).status, TransferStatus::Completed);  // OUT is not hit
  EXPECT_EQ(ctl_in(ControlCommand::Bus, st).status, TransferStatus::Stall);
  EXPECT_EQ(ctl_in(ControlCommand::Bus, st).status, TransferStatus::Stall);
  EXPECT_TRUE(ctl_in(ControlCommand::Bus, st).ok());

  FaultRule reply;
  reply.request = uint8_t(ControlCommand::Bus);
  reply.direction = FaultDirection::In;
  reply.skip = 1;
  reply.action = FaultAction::Reply;
  reply.payload = {3, 0, 0, 0};
  add(reply);
  EXPECT_EQ(ctl_in(ControlCommand::Bus, st).actual, 20u);
  auto o = ctl_in(ControlCommand::Bus, st);
  EXPECT_EQ(o.actual, 4u);
  EXPECT_EQ(st[0], 3);

  FaultRule shorter;
  shorter.request = uint8_t(ControlCommand::GetDeviceInfo);
  shorter.action = FaultAction::ShortReply;
  shorter.length = 23;
  add(shorter);
  Bytes info(24);
  EXPECT_EQ(ctl_in(ControlCommand::GetDeviceInfo, info).actual, 23u);

  FaultRule longer;
  longer.request = uint8_t(ControlCommand::Mode);
  longer.action = FaultAction::LongReply;
  longer.length = 8;
  longer.count = 2;
  add(longer);
  Bytes mode8(8), mode4(4);
  EXPECT_EQ(ctl_in(ControlCommand::Mode, mode8).actual, 8u);
  EXPECT_EQ(ctl_in(ControlCommand::Mode, mode4).status, TransferStatus::Fault);  // more than asked for

  FaultRule snap;
  snap.request = uint8_t(ControlCommand::CanBittiming);
  snap.value = 1;
  snap.action = FaultAction::OsError;
  snap.os_code = -99;
  add(snap);
  Bytes bt(32), sn(56);
  EXPECT_TRUE(ctl_in(ControlCommand::CanBittiming, bt, 0).ok());
  o = ctl_in(ControlCommand::CanBittiming, sn, 1);
  EXPECT_EQ(o.status, TransferStatus::Unknown);
  EXPECT_EQ(o.os_code, -99);
  EXPECT_EQ(adapter->faults().size(), 0u);
}

TEST_F(BackendTest, TimeoutsAndDelaysEndCancelled) {
  open_first();
  Bytes st(20);
  FaultRule hang;
  hang.request = uint8_t(ControlCommand::Bus);
  hang.action = FaultAction::Timeout;
  add(hang);
  EXPECT_EQ(ctl_in(ControlCommand::Bus, st, 0, std::chrono::milliseconds(20)).status, TransferStatus::Cancelled);
  FaultRule slow;
  slow.request = uint8_t(ControlCommand::Bus);
  slow.action = FaultAction::Delay;
  slow.delay = std::chrono::hours(1);
  add(slow);
  EXPECT_EQ(ctl_in(ControlCommand::Bus, st, 0, std::chrono::milliseconds(20)).status, TransferStatus::Cancelled);
  slow.delay = std::chrono::milliseconds(1);
  add(slow);
  EXPECT_TRUE(ctl_in(ControlCommand::Bus, st).ok());
}

TEST_F(BackendTest, UnplugEndsPendingAndLaterTransfers) {
  open_first();
  auto rx = iface->open_bulk_in(protocol::kEpRxIn);
  ASSERT_TRUE(rx.ok());
  auto& pipe = **rx.value;
  ASSERT_TRUE(pipe.submit(512).ok());
  ASSERT_TRUE(pipe.submit(512).ok());
  FaultRule hang;
  hang.request = uint8_t(ControlCommand::Bus);
  hang.action = FaultAction::Timeout;
  add(hang);
  std::optional<usb::BulkInPipe::Completion> c;
  usb::TransferOutcome ctl;
  std::thread reader([&] { c = pipe.wait_oldest(std::chrono::seconds(30)); });
  std::thread control([&] {
    Bytes st(20);
    ctl = ctl_in(ControlCommand::Bus, st, 0, std::chrono::seconds(30));
  });
  // Whether the unplug comes before or while they wait, both end Disconnected.
  hub.unplug(adapter->id());
  reader.join();
  control.join();
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->outcome.status, TransferStatus::Disconnected);
  EXPECT_EQ(ctl.status, TransferStatus::Disconnected);
  EXPECT_EQ(pipe.wait_oldest(kSecond)->outcome.status, TransferStatus::Disconnected);
  EXPECT_EQ(pipe.submit(512).status, TransferStatus::Disconnected);
  Bytes info(24);
  EXPECT_EQ(ctl_in(ControlCommand::GetDeviceInfo, info).status, TransferStatus::Disconnected);
  EXPECT_FALSE(adapter->firmware().state().powered);
}

TEST_F(BackendTest, DisconnectRuleUnplugsAtThatMoment) {
  open_first();
  FaultRule rule;
  rule.request = uint8_t(ControlCommand::ResetCan);
  rule.action = FaultAction::Disconnect;
  add(rule);
  EXPECT_EQ(ctl_out(ControlCommand::ResetCan, {}).status, TransferStatus::Disconnected);
  EXPECT_TRUE(backend.enumerate().value->empty());
  EXPECT_FALSE(iface->open_bulk_in(protocol::kEpRxIn).ok());
}

TEST_F(BackendTest, HostOperationFailures) {
  FaultRule e;
  e.target = FaultTarget::Enumerate;
  e.action = FaultAction::OsError;
  e.os_code = -1;
  backend.faults().add(e);
  auto list = backend.enumerate();
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error.status, TransferStatus::Unknown);
  list = backend.enumerate();
  ASSERT_TRUE(list.ok());

  FaultRule open;
  open.target = FaultTarget::Open;
  open.action = FaultAction::Fault;
  open.text = "Access denied";
  add(open);
  auto dev = backend.open(list.value->front());
  ASSERT_FALSE(dev.ok());
  EXPECT_EQ(dev.error.text, "Access denied");
  FaultRule claim;
  claim.target = FaultTarget::Claim;
  add(claim);
  dev = backend.open(list.value->front());
  ASSERT_TRUE(dev.ok());
  EXPECT_FALSE((*dev.value)->claim_interface(0).ok());
  auto itf = (*dev.value)->claim_interface(0);
  ASSERT_TRUE(itf.ok());
  FaultRule ep;
  ep.target = FaultTarget::EndpointOpen;
  ep.endpoint = protocol::kEpBulkOut;
  add(ep);
  EXPECT_TRUE((*itf.value)->open_bulk_in(protocol::kEpRxIn).ok());
  EXPECT_FALSE((*itf.value)->open_bulk_out(protocol::kEpBulkOut).ok());
  EXPECT_TRUE((*itf.value)->open_bulk_out(protocol::kEpBulkOut).ok());
}

TEST_F(BackendTest, BulkInCompletesInOrderWithWhatIsQueued) {
  open_first();
  adapter->firmware().preload_rx(Bytes(48, 0x11));
  auto rx = iface->open_bulk_in(protocol::kEpRxIn);
  ASSERT_TRUE(rx.ok());
  auto& pipe = **rx.value;
  ASSERT_TRUE(pipe.submit(30).ok());
  ASSERT_TRUE(pipe.submit(512).ok());
  ASSERT_TRUE(pipe.submit(512).ok());
  EXPECT_EQ(pipe.outstanding(), 3u);
  auto c = pipe.wait_oldest(kSecond);
  ASSERT_TRUE(c && c->outcome.ok());
  EXPECT_EQ(c->data.size(), 30u);
  c = pipe.wait_oldest(kSecond);
  ASSERT_TRUE(c && c->outcome.ok());
  EXPECT_EQ(c->data.size(), 18u);
  EXPECT_FALSE(pipe.wait_oldest(std::chrono::milliseconds(5)).has_value());  // nothing more: stays queued
  EXPECT_EQ(pipe.outstanding(), 1u);
  // Data arriving later completes the waiting transfer.
  std::thread late([&] { adapter->firmware().preload_rx(Bytes(24, 0x22)); });
  c = pipe.wait_oldest(std::chrono::seconds(30));
  late.join();
  ASSERT_TRUE(c && c->outcome.ok());
  EXPECT_EQ(Bytes(c->data.begin(), c->data.end()), Bytes(24, 0x22));

  adapter->firmware().set_stale_stream(true);
  ASSERT_TRUE(pipe.submit(512).ok());
  ASSERT_TRUE(pipe.submit(512).ok());
  size_t returned = 0;
  EXPECT_TRUE(pipe.cancel_all(kSecond, [&](const usb::TransferOutcome& o, std::span<const uint8_t> d) {
    EXPECT_TRUE(o.ok());
    returned += d.size();
  }));
  EXPECT_EQ(returned, 1024u);
  EXPECT_EQ(pipe.outstanding(), 0u);
  adapter->firmware().set_stale_stream(false);
  ASSERT_TRUE(pipe.submit(512).ok());
  EXPECT_TRUE(pipe.cancel_all(kSecond, [&](const usb::TransferOutcome& o, std::span<const uint8_t> d) {
    EXPECT_EQ(o.status, TransferStatus::Cancelled);
    EXPECT_TRUE(d.empty());
  }));
}

TEST_F(BackendTest, BulkInFaultRulesHitTheNextTransferAndAStallHaltsUntilCleared) {
  open_first();
  auto res = iface->open_bulk_in(protocol::kEpTxResultIn);
  ASSERT_TRUE(res.ok());
  auto& pipe = **res.value;
  ASSERT_TRUE(pipe.submit(1024).ok());
  ASSERT_TRUE(pipe.submit(1024).ok());
  FaultRule stall;
  stall.target = FaultTarget::BulkIn;
  stall.endpoint = protocol::kEpTxResultIn;
  add(stall);
  FaultRule reply = stall;
  reply.action = FaultAction::Reply;
  reply.payload = {0, 3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  add(reply);
  EXPECT_EQ(pipe.wait_oldest(kSecond)->outcome.status, TransferStatus::Stall);
  // The stall halted the endpoint: the queue waits until the host clears the halt.
  EXPECT_FALSE(pipe.wait_oldest(std::chrono::milliseconds(10)).has_value());
  EXPECT_TRUE(adapter->halted(protocol::kEpTxResultIn));
  ASSERT_TRUE(pipe.clear_halt().ok());
  EXPECT_EQ(adapter->halt_clears(protocol::kEpTxResultIn), 1u);
  auto c = pipe.wait_oldest(kSecond);
  ASSERT_TRUE(c && c->outcome.ok());
  EXPECT_EQ(Bytes(c->data.begin(), c->data.end()), reply.payload);
}

TEST_F(BackendTest, BulkOutDeliversRecordsAndHonoursRules) {
  open_first();
  Bytes st(20);
  ASSERT_TRUE(ctl_out(ControlCommand::Bus, le32(1)).ok());
  auto out = iface->open_bulk_out(protocol::kEpBulkOut);
  ASSERT_TRUE(out.ok());
  auto& pipe = **out.value;
  ASSERT_TRUE(pipe.submit(tx_record(0, 0x123)).ok());
  EXPECT_EQ(pipe.submit(tx_record(0, 0x124)).status, TransferStatus::InvalidArgument);  // one in flight
  auto o = pipe.wait(kSecond);
  ASSERT_TRUE(o && o->ok());
  EXPECT_EQ(o->actual, 16u);
  ASSERT_EQ(bus->sent.size(), 1u);
  EXPECT_EQ(bus->sent[0].id, 0x123u);

  FaultRule partial;
  partial.target = FaultTarget::BulkOut;
  partial.action = FaultAction::PartialAccept;
  partial.length = 8;
  add(partial);
  ASSERT_TRUE(pipe.submit(tx_record(0, 0x125)).ok());
  o = pipe.wait(kSecond);
  ASSERT_TRUE(o && o->ok());
  EXPECT_EQ(o->actual, 8u);
  EXPECT_EQ(bus->sent.size(), 1u);  // half a record is not sent

  FaultRule hang = partial;
  hang.action = FaultAction::Timeout;
  add(hang);
  ASSERT_TRUE(pipe.submit(tx_record(0, 0x126)).ok());
  EXPECT_FALSE(pipe.wait(std::chrono::milliseconds(10)).has_value());
  pipe.cancel();
  o = pipe.wait(kSecond);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->status, TransferStatus::Cancelled);

  auto recs = adapter->bulk_out_records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0], tx_record(0, 0x123));
  const Bytes half = tx_record(0, 0x125);
  EXPECT_EQ(recs[1], Bytes(half.begin(), half.begin() + 8));
}

TEST_F(BackendTest, FullTransmitQueueHoldsTheOutTransferUntilRoom) {
  FirmwareProfile p;
  p.tx_queue_depth = 1;
  hub.unplug(adapter->id());
  adapter = hub.plug(p);
  open_first();
  ASSERT_TRUE(ctl_out(ControlCommand::Bus, le32(1)).ok());
  auto out = iface->open_bulk_out(protocol::kEpBulkOut);
  ASSERT_TRUE(out.ok());
  auto& pipe = **out.value;
  ASSERT_TRUE(pipe.submit(tx_record(0, 0x1)).ok());
  ASSERT_TRUE(pipe.wait(kSecond)->ok());
  ASSERT_TRUE(pipe.submit(tx_record(0, 0x2)).ok());
  EXPECT_FALSE(pipe.wait(std::chrono::milliseconds(10)).has_value());  // NAKed: still in flight
  std::thread done([&] { bus->finish(0, bus->first_tag(), TxVerdict::Success); });
  auto o = pipe.wait(std::chrono::seconds(30));
  done.join();
  ASSERT_TRUE(o && o->ok());
  EXPECT_EQ(bus->sent.size(), 2u);
}

// The USB/IP server listens where it is built (Linux) and elsewhere refuses with its reason; an adapter's USB/IP
// identity is the same everywhere.
TEST_F(BackendTest, UsbipServerListensWhereBuiltAndRefusesElsewhere) {
  usbip::UsbipServer server(hub);
  EXPECT_EQ(usbip::UsbipServer::busid(*adapter), "1-" + std::to_string(adapter->id()));
  std::string error;
  const int port = server.listen("127.0.0.1", 0, error);
  if (const char* why = usbip::UsbipServer::unavailable()) {
    EXPECT_EQ(port, -1);
    EXPECT_EQ(error, why);
  } else {
    ASSERT_GT(port, 0) << error;
    EXPECT_EQ(server.port(), port);
  }
  server.stop();
  EXPECT_EQ(server.port(), 0);
}

TEST_F(BackendTest, ResetUnplugsEverythingClearsRulesAndRenewsBuses) {
  FaultRule e;
  e.target = FaultTarget::Enumerate;
  backend.faults().add(e);
  hub.plug(with_serial("tav.io:CANJ0009"));
  auto old_bus = hub.bus();
  // Bus 3 is made when first asked for, from the factory's next bus.
  bus = std::make_shared<ScriptedBus>();
  auto elsewhere = hub.plug(with_serial("tav.io:CANJ0010"), 3);
  EXPECT_EQ(elsewhere->firmware().bus(), bus);
  EXPECT_EQ(hub.bus(3), bus);
  EXPECT_EQ(hub.bus(), old_bus);
  EXPECT_EQ(hub.plug(FirmwareProfile::standard(), SimHub::kMaxBuses), nullptr);
  auto fresh = std::make_shared<ScriptedBus>();
  bus = fresh;
  backend.reset();
  EXPECT_EQ(hub.bus(), fresh);
  EXPECT_NE(old_bus, fresh);
  EXPECT_EQ(hub.bus(3), fresh);
  EXPECT_FALSE(elsewhere->plugged());
  auto list = backend.enumerate();
  ASSERT_TRUE(list.ok());
  EXPECT_TRUE(list.value->empty());
  EXPECT_FALSE(adapter->plugged());
}

}  // namespace
}  // namespace tavro::sim
