// Model of the TAVRO adapter's firmware, independent of how it is reached: it takes control setup packets (with
// their OUT data) and answers with reply bytes or a stall, takes bulk OUT bytes for endpoint 0x02 and produces the
// bulk IN byte streams of endpoints 0x81 (received frames) and 0x83 (transmission results). The in-process USB seam
// and a USB gadget daemon are thin front-ends over it.
//
//   fw = Firmware(profile, bus)            # plugged: CAN controller stopped (bus state 4), attached to the bus
//   fw.control(setup, out) -> reply | stall
//   fw.bulk_out(bytes) -> Accepted | Busy   # Busy = transmit queue full, the host must retry (a NAK)
//   fw.read_in(0x81 | 0x83, buf) -> n       # drains queued stream bytes
//   fw.power_off()                         # unplugged: detached from the bus, everything stops
//
// Locking: `request_mu_` is the firmware's main loop (one control request or bulk OUT transfer at a time) and is the
// only lock held while calling into the bus. `state_mu_` guards the state shared with the bus callbacks (which run on
// the bus thread) and with the endpoint readers; it is never held while calling the bus or the listener.
// Order: request_mu_ -> (listener's locks) -> state_mu_.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bus/bus.hpp"
#include "firmware/byte_ring.hpp"
#include "firmware/profile.hpp"
#include "usb/host.hpp"

namespace tavro::sim {

// Told when stream data appears on an IN endpoint, or (0x02) when the transmit queue has room again. Called with
// no firmware state lock held; it may call read_in/in_ready.
class EndpointListener {
 public:
  virtual void endpoint_ready(uint8_t endpoint) noexcept = 0;

 protected:
  ~EndpointListener() = default;
};

struct ControlReply {
  bool stall = false;
  uint16_t length = 0;
  std::array<uint8_t, 64> data{};  // the longest reply is the 56-byte snapshot
  std::span<const uint8_t> bytes() const noexcept { return {data.data(), length}; }
};

enum class BulkOutStatus : uint8_t { Accepted = 0, Busy = 1 };

// Everything a test may want to see of the firmware's state.
struct FirmwareState {
  bool powered = false;
  bool bus_running = false;
  uint32_t bus_state = protocol::kBusStopped;  // as reported (override applied)
  std::optional<uint32_t> bus_state_override;
  NodeErrorState errors;
  uint32_t last_error_code = 0;  // bxCAN LEC
  uint32_t mode = 0;
  BitTiming bittiming;
  uint32_t btimr = 0;
  uint32_t result_mode = 0;
  uint32_t generation = 0;
  uint32_t led_mode = 0;
  bool termination = false;
  std::array<uint8_t, 16> device_name{};
  std::array<uint8_t, 16> stored_name{};
  uint32_t settings_status = kSettingsIdle;
  uint32_t channel_id = 0;
  std::string interface_name;
  uint32_t identify_count = 0;
  uint32_t identify_ms = 0;
  uint64_t timestamp_us = 0;
  size_t tx_in_flight = 0;
  size_t rx_queued_bytes = 0;
  size_t result_queued_bytes = 0;
  bool stale_stream = false;
  uint64_t frames_received = 0;
  uint64_t frames_transmitted = 0;
  uint64_t tx_rejected = 0;   // malformed or refused TxRecords
  uint64_t rx_overflows = 0;  // records dropped because the host did not read
  uint64_t result_overflows = 0;
};

class Firmware {
 public:
  Firmware(FirmwareProfile profile, std::shared_ptr<SimBus> bus);
  ~Firmware();
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  // Set once by the front-end before any traffic; must outlive the firmware.
  void set_listener(EndpointListener* listener) noexcept;
  // Unplug: detach from the bus; later requests stall and bulk data is dropped.
  void power_off();

  // One control request. For OUT requests `out` holds setup.length bytes. IN replies never exceed setup.length.
  ControlReply control(const usb::ControlSetup& setup, std::span<const uint8_t> out);
  // One bulk OUT transfer on 0x02 (whole 16-byte TxRecords; a trailing partial record is discarded).
  BulkOutStatus bulk_out(std::span<const uint8_t> data);
  // Moves queued stream bytes of an IN endpoint (0x81 or 0x83) into `dst`; returns how many.
  size_t read_in(uint8_t endpoint, std::span<uint8_t> dst);
  bool in_ready(uint8_t endpoint) const;

  // --- test control ---
  FirmwareProfile profile() const;
  // Replaces the profile; the running state (bus, mode, name, ...) is kept. Queue capacities only grow.
  void set_profile(const FirmwareProfile& profile);
  FirmwareState state() const;
  // Forces the bus state word reported by Bus IN and the snapshot; nullopt reports the real state again.
  void set_bus_state_override(std::optional<uint32_t> state);
  // Stale bytes waiting on 0x81 before anything else (as left by an earlier user of the adapter).
  void preload_rx(std::span<const uint8_t> bytes);
  // Endless stale data on 0x81: every read is filled completely.
  void set_stale_stream(bool endless);
  void set_last_error_code(uint32_t lec);
  // Adapter time in microseconds (bus clock minus the last timestamp reset).
  uint64_t timestamp_us() const;
  // Host monotonic time (CLOCK_MONOTONIC ns) at which the last frame from the bus was queued on endpoint 0x81:
  // the frame's arrival at the adapter, for latency measurements.
  int64_t last_rx_host_ns() const noexcept { return last_rx_host_ns_.load(std::memory_order_acquire); }
  // This adapter's node id on the bus.
  int bus_node() const noexcept { return node_; }
  // The bus this adapter is wired to.
  const std::shared_ptr<SimBus>& bus() const noexcept { return bus_; }

 private:
  class BusPort;
  struct Request {
    bool in = false;
    uint16_t value = 0;
    uint16_t length = 0;
    std::span<const uint8_t> out;
  };
  struct InFlight {
    uint64_t tag = 0;
    uint8_t tx_id = 0;
    uint32_t generation = 0;
    bool cancel_requested = false;
  };
  using Handler = ControlReply (Firmware::*)(const Request&);
  static Handler handler_for(uint8_t request) noexcept;

  // One handler per control request.
  ControlReply on_device_info(const Request& r);
  ControlReply on_capabilities(const Request& r);
  ControlReply on_bt_const(const Request& r);
  ControlReply on_last_error(const Request& r);
  ControlReply on_temperatures(const Request& r);
  ControlReply on_bittiming(const Request& r);
  ControlReply on_bus(const Request& r);
  ControlReply on_mode(const Request& r);
  ControlReply on_termination(const Request& r);
  ControlReply on_led_mode(const Request& r);
  ControlReply on_device_name(const Request& r);
  ControlReply on_channel(const Request& r);
  ControlReply on_tx_result_mode(const Request& r);
  ControlReply on_settings_status(const Request& r);
  ControlReply on_interface_name(const Request& r);
  ControlReply on_reset_can(const Request& r);
  ControlReply on_identify(const Request& r);
  ControlReply on_reset_timestamp(const Request& r);
  ControlReply on_flush_tx_queue(const Request& r);
  ControlReply on_cancel_tx(const Request& r);

  // Bus callbacks (bus thread).
  void on_bus_frame(const BusFrame& frame, uint64_t time_us);
  void on_transmit_done(uint64_t tag, TxVerdict verdict, uint64_t time_us);
  void on_error_state(const NodeErrorState& state, uint64_t time_us);

  // Helpers; *_locked ones need state_mu_.
  bool running_locked() const noexcept { return bus_running_; }
  uint32_t reported_bus_state_locked() const noexcept;
  uint32_t errsr_locked() const noexcept;
  uint32_t btimr_locked() const noexcept;
  void update_settings_locked(std::chrono::steady_clock::time_point now);
  bool push_rx_record_locked(uint32_t id_word, uint8_t dlc, const std::array<uint8_t, 8>& data, uint64_t ts);
  void push_result_locked(uint8_t tx_id, TxVerdict verdict, uint64_t ts);
  void fail_transmission_locked(uint8_t tx_id, uint64_t ts);
  uint64_t bus_now_us() const;
  // Bus time as adapter time; an event from before the last timestamp reset reads 0.
  uint64_t adapter_time_locked(uint64_t bus_us) const noexcept {
    return bus_us > ts_offset_us_ ? bus_us - ts_offset_us_ : 0;
  }
  void stop_controller(bool reset_errors);
  void notify(uint8_t endpoint) noexcept;

  const std::shared_ptr<SimBus> bus_;
  std::unique_ptr<BusPort> port_;
  int node_ = -1;
  EndpointListener* listener_ = nullptr;

  mutable std::mutex request_mu_;
  bool powered_ = true;  // guarded by request_mu_ (and mirrored in state for inspection)

  mutable std::mutex state_mu_;
  FirmwareProfile profile_;
  bool powered_state_ = true;
  bool bus_running_ = false;
  std::optional<uint32_t> bus_override_;
  NodeErrorState node_state_;
  uint32_t reported_transition_ = 0;  // error class of the state-change frame just emitted
  uint32_t lec_ = 0;
  uint32_t mode_ = 0;
  BitTiming bittiming_;
  uint32_t result_mode_ = 0;
  uint32_t generation_ = 1;
  uint32_t led_mode_ = 0;
  bool termination_ = false;
  std::array<uint8_t, 16> name_{};
  uint32_t settings_status_ = kSettingsIdle;
  std::chrono::steady_clock::time_point save_due_{};
  uint32_t channel_id_ = 0;
  std::string interface_name_;
  uint32_t identify_count_ = 0;
  uint32_t identify_ms_ = 0;
  uint64_t ts_offset_us_ = 0;
  std::vector<InFlight> in_flight_;
  std::bitset<256> completed_ids_;  // ids whose result was reported in this generation and not re-sent since
  uint64_t next_tag_ = 1;
  ByteRing rx_;
  ByteRing results_;
  bool stale_endless_ = false;
  uint8_t stale_next_ = 0;
  uint64_t frames_received_ = 0;
  std::atomic<int64_t> last_rx_host_ns_{0};
  uint64_t frames_transmitted_ = 0;
  uint64_t tx_rejected_ = 0;
  uint64_t rx_overflows_ = 0;
  uint64_t result_overflows_ = 0;
};

}  // namespace tavro::sim
