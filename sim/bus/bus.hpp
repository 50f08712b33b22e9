// The simulated CAN bus that every simulated adapter is wired to. It has its own clock (microseconds), carries
// frames for their real duration at the configured bit rate, arbitrates by identifier, and reports the outcome of
// each transmission to the sending node. An unlimited-speed mode delivers frames without wire time.
//
// Threading: the bus runs one thread of its own ("tavro-sim-bus"); BusNode callbacks are made on it, never while
// a bus lock is held, so a node may call back into the bus from a callback. The one exception is detach(), which
// reports the node's withdrawn transmissions on the calling thread before it returns.
//
// Rules the bus follows (close enough to CAN for a driver's tests):
// - Wire time: frame_bit_count() bits at the sender's bit rate; frames follow each other back to back on the bus
//   clock, and a frame ends no earlier than its end time on the host's monotonic clock. The bus clock starts at 0
//   when the bus is created. In unlimited-speed mode frames take no wire time (start == end == now).
// - Arbitration: when the wire becomes free, the head of every node's queue (each node sends its own frames in
//   FIFO order) and every external frame that was ready by then compete; the lowest arbitration field wins
//   (standard before extended with the same base id, data before remote for equal ids). Losers stay queued, or
//   end ArbitrationLost with one_shot.
// - Acknowledgement: a frame is acknowledged when the ack peer is on or another attached node is running at the
//   sender's bit rate, not listen-only and not bus-off. Only acknowledged frames are delivered: to every other
//   running, not bus-off node at the sender's bit rate (listen-only nodes included), and to a loopback sender.
//   Nodes at another bit rate see nothing and never acknowledge.
// - Error counters: an unacknowledged attempt adds 8 to the sender's TEC and is retried (one_shot: ends Failed);
//   a success takes 1 off TEC, a reception 1 off REC (a REC above 127 drops to 127). TEC >= 96 or REC >= 96 is
//   warning, >= 128 passive, TEC >= 256 bus-off: every pending transmission of the node ends Failed, and the node
//   neither sends nor receives until reset_errors() or configure(). (Real controllers keep a lone error-passive
//   sender at TEC 128; the bus lets it reach bus-off so that drivers' bus-off handling can be exercised.)
//   An unacknowledged attempt occupies the wire up to the ACK slot plus error flag, error delimiter and
//   inter-frame space (frame_bit_count() + 6 bits), plus 8 bits of suspended transmission when error-passive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bus/frame.hpp"

namespace tavro::sim {

enum class TxVerdict : uint8_t {
  Success = 0,          // on the wire and acknowledged
  Failed = 1,           // no acknowledgement / error; the controller gave up (bus-off or one-shot)
  ArbitrationLost = 2,  // lost arbitration in one-shot mode
  Cancelled = 3,        // withdrawn before it reached the wire
};

// CAN error state of one node, from its error counters.
struct NodeErrorState {
  uint32_t state = 0;  // 0 active, 1 warning, 2 passive, 3 bus-off
  uint32_t rx_errors = 0;
  uint32_t tx_errors = 0;  // at most 255, as an 8-bit counter register shows it (also in bus-off)
  uint32_t bus_off_count = 0;
  bool operator==(const NodeErrorState&) const = default;
};

// Implemented by the adapter's firmware model.
class BusNode {
 public:
  virtual ~BusNode() = default;
  // A frame another node put on the wire (or an error frame), with the bus time of its end.
  virtual void bus_frame_received(const BusFrame& frame, uint64_t time_us) = 0;
  // This node's transmission `tag` ended.
  virtual void bus_transmit_done(uint64_t tag, TxVerdict verdict, uint64_t time_us) = 0;
  // The node's error counters or state changed.
  virtual void bus_error_state_changed(const NodeErrorState& state) = 0;
};

struct NodeConfig {
  uint32_t bitrate = 0;      // 0 while the node's controller is stopped
  bool listen_only = false;  // never transmits or acknowledges
  bool one_shot = false;     // no automatic retransmission
  bool loopback = false;     // also receives its own frames
};

// A record of one frame that appeared on the wire, for tests and benchmarks.
struct WireRecord {
  BusFrame frame;
  uint64_t start_us = 0;
  uint64_t end_us = 0;
  int sender = -1;  // node id, or -1 for an injected external frame
  bool acknowledged = false;
};

// How many records take_wire_log() keeps; older ones are dropped first.
inline constexpr size_t kWireLogCapacity = 100000;

class SimBus {
 public:
  static std::shared_ptr<SimBus> create();
  virtual ~SimBus() = default;

  // Nodes: attach returns a node id (-1 for a null node); ids are never reused. A new node is stopped
  // (bitrate 0). detach withdraws every unfinished transmission and reports each Cancelled to the node on the
  // calling thread (a transmission whose verdict was already decided gets that verdict), then returns once no
  // callback to the node is running; none starts afterwards. Don't hold a lock that the node's callbacks take
  // while calling it. A frame already on the wire still completes for the other nodes. A node must stay alive
  // until detach() returns (or the bus is shut down).
  virtual int attach(BusNode* node) = 0;
  virtual void detach(int node_id) = 0;
  // Stopping the controller (bitrate 0) or making it listen-only cancels its queued transmissions; a frame
  // already on the wire completes. Reconfiguring a bus-off node clears its error counters (controller restart).
  virtual void configure(int node_id, const NodeConfig& config) = 0;

  // Queues a transmission; ends with exactly one bus_transmit_done(tag, ...). False if the node cannot send now
  // (controller stopped, listen-only, bus-off); nothing is reported then.
  virtual bool transmit(int node_id, const BusFrame& frame, uint64_t tag) = 0;
  // Withdraws a queued transmission that has not started on the wire; true if it was withdrawn. The Cancelled
  // verdict follows on the bus thread.
  virtual bool cancel(int node_id, uint64_t tag) = 0;
  // Withdraws every queued transmission of the node that has not started (reported Cancelled on the bus thread).
  virtual void flush(int node_id) = 0;
  virtual NodeErrorState error_state(int node_id) const = 0;
  // Clears the node's error counters (controller reset), leaving bus-off.
  virtual void reset_errors(int node_id) = 0;

  // Test and benchmark control.
  virtual uint64_t now_us() const = 0;
  virtual void set_unlimited_speed(bool on) = 0;
  // An always-present peer that acknowledges every frame (on by default).
  virtual void set_ack_peer(bool on) = 0;
  // Holds the wire: nothing starts while paused (a frame already on the wire completes). Everything that became
  // ready meanwhile competes together when released, which makes arbitration deterministic in tests.
  virtual void set_paused(bool on) = 0;
  // Another node sends these frames back to back at the given bit rate; only nodes at that bit rate see them.
  // Bit rate 0 sends them without wire time to every running node. Unacknowledged external frames are dropped,
  // not retried.
  virtual void inject(const std::vector<BusFrame>& frames, uint32_t bitrate) = 0;
  // Starts/stops a stream of frames from an external node at full line rate (rate_fps 0) or rate_fps frames per
  // second, `count` frames (0: until stopped). A new stream replaces a running one.
  virtual void start_stream(const BusFrame& frame, uint32_t bitrate, double rate_fps, uint64_t count) = 0;
  virtual void stop_stream() = 0;
  // Error frames that move the error counters of `node_id` (-1: every running node) up to `target_state`:
  // 1 warning, 2 passive, 3 bus-off (0: one protocol error, REC + 1). Each affected node receives a SocketCAN
  // error frame (kCanErrCrtl with warning or passive bits in data[1], or kCanErrBusOff; kCanErrProt for 0;
  // always kCanErrCnt with the counters) after the state change. Stopped and bus-off nodes are not affected;
  // other target values are ignored. Bus-off fails the node's pending transmissions and destroys its frame on
  // the wire, if any.
  virtual void inject_error(int node_id, uint32_t target_state) = 0;
  // What appeared on the wire since the last call (the last kWireLogCapacity records), oldest first.
  virtual std::vector<WireRecord> take_wire_log() = 0;
  virtual void shutdown() = 0;  // stops the bus thread; later transmissions are refused, pending ones dropped
};

}  // namespace tavro::sim
