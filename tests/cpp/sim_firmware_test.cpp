// Simulated adapter: the firmware model's request handling and streams, and the seam backend with its fault rules.
// The bus is a scripted double so that every transmission outcome is chosen by the test.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "firmware/firmware.hpp"

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

uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
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
  EXPECT_EQ(u32(snap.data.data() + 40), 0u);  // CTLR: running
  EXPECT_EQ(u32(snap.data.data() + 52), 0u);  // bus state
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
  EXPECT_EQ(res[2], 3);  // cancelled
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

}  // namespace
}  // namespace tavro::sim
