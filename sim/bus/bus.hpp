// The simulated CAN bus that every simulated adapter is wired to. It has its own clock (microseconds), carries
// frames for their real duration at the configured bit rate, arbitrates by identifier, and reports the outcome of
// each transmission to the sending node. An unlimited-speed mode delivers frames without wire time.
//
// Threading: the bus runs one thread of its own ("tavro-sim-bus"); BusNode callbacks are made on it, never while
// a bus lock is held, so a node may call back into the bus from a callback.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tavro::sim {

struct BusFrame {
  uint32_t id = 0;  // 11 or 29 bits
  bool extended = false;
  bool remote = false;
  bool error = false;  // an error frame as seen by the nodes (injected), SocketCAN class bits in id
  uint8_t dlc = 0;
  std::array<uint8_t, 8> data{};
};

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
  uint32_t tx_errors = 0;
  uint32_t bus_off_count = 0;
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
  uint32_t bitrate = 0;          // 0 while the node's controller is stopped
  bool listen_only = false;      // never transmits or acknowledges
  bool one_shot = false;         // no automatic retransmission
  bool loopback = false;         // also receives its own frames
};

// A record of one frame that appeared on the wire, for tests and benchmarks.
struct WireRecord {
  BusFrame frame;
  uint64_t start_us = 0;
  uint64_t end_us = 0;
  int sender = -1;  // node id, or -1 for an injected external frame
  bool acknowledged = false;
};

class SimBus {
 public:
  static std::shared_ptr<SimBus> create();
  virtual ~SimBus() = default;

  // Nodes: attach returns a node id; detach withdraws pending transmissions (reported Cancelled).
  virtual int attach(BusNode* node) = 0;
  virtual void detach(int node_id) = 0;
  virtual void configure(int node_id, const NodeConfig& config) = 0;

  // Queues a transmission; ends with exactly one bus_transmit_done(tag, ...). False if the node cannot send now
  // (controller stopped, listen-only, bus-off); nothing is reported then.
  virtual bool transmit(int node_id, const BusFrame& frame, uint64_t tag) = 0;
  // Withdraws a queued transmission that has not started on the wire; true if it was withdrawn.
  virtual bool cancel(int node_id, uint64_t tag) = 0;
  // Withdraws every queued transmission of the node (reported Cancelled).
  virtual void flush(int node_id) = 0;
  virtual NodeErrorState error_state(int node_id) const = 0;
  // Clears the node's error counters (controller reset).
  virtual void reset_errors(int node_id) = 0;

  // Test and benchmark control.
  virtual uint64_t now_us() const = 0;
  virtual void set_unlimited_speed(bool on) = 0;
  // An always-present peer that acknowledges every frame (on by default).
  virtual void set_ack_peer(bool on) = 0;
  // Another node sends these frames (at the given bit rate, back to back when rate_fps is 0 = line rate).
  virtual void inject(const std::vector<BusFrame>& frames, uint32_t bitrate) = 0;
  // Starts/stops a stream of frames from an external node at full line rate (or rate_fps frames per second).
  virtual void start_stream(const BusFrame& frame, uint32_t bitrate, double rate_fps, uint64_t count) = 0;
  virtual void stop_stream() = 0;
  // Error frames seen by every node; moves the error counters (warning, passive, bus-off) of `node_id` (-1: all).
  virtual void inject_error(int node_id, uint32_t target_state) = 0;
  // What appeared on the wire since the last call (bounded history).
  virtual std::vector<WireRecord> take_wire_log() = 0;
  virtual void shutdown() = 0;  // stops the bus thread
};

}  // namespace tavro::sim
