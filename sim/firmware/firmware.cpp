// Firmware model of the simulated TAVRO adapter: control request handlers, the transmit queue towards the bus and
// the bulk IN streams.
#include "firmware/firmware.hpp"

#include <algorithm>
#include <cstring>

namespace tavro::sim {

namespace {

using protocol::ControlCommand;
using Clock = std::chrono::steady_clock;

void put_u32(uint8_t* p, uint32_t v) noexcept {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
void put_u64(uint8_t* p, uint64_t v) noexcept {
  put_u32(p, uint32_t(v));
  put_u32(p + 4, uint32_t(v >> 32));
}
uint32_t get_u32(const uint8_t* p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

ControlReply stall() {
  ControlReply r;
  r.stall = true;
  return r;
}
ControlReply ok() { return ControlReply{}; }

// An IN reply of a fixed-size record: the host must ask for at least the record.
template <size_t N>
ControlReply record_reply(const std::array<uint8_t, N>& bytes, uint16_t requested) {
  static_assert(N <= 64);
  if (requested < N) return stall();
  ControlReply r;
  std::memcpy(r.data.data(), bytes.data(), N);
  r.length = uint16_t(N);
  return r;
}

template <size_t Words>
ControlReply words_reply(const std::array<uint32_t, Words>& words, uint16_t requested) {
  std::array<uint8_t, Words * 4> bytes{};
  for (size_t i = 0; i < Words; ++i) put_u32(bytes.data() + 4 * i, words[i]);
  return record_reply(bytes, requested);
}

ControlReply u32_reply(uint32_t v, uint16_t requested) { return words_reply<1>({v}, requested); }

// An OUT request carrying exactly one u32, or nullopt when the length is wrong.
std::optional<uint32_t> out_u32(std::span<const uint8_t> out) {
  if (out.size() != 4) return std::nullopt;
  return get_u32(out.data());
}

BitTiming parse_bittiming(const uint8_t* p) {
  BitTiming t;
  uint32_t* w[] = {&t.bitrate, &t.sample_point, &t.tq_ns, &t.prop_seg, &t.phase_seg1, &t.phase_seg2, &t.sjw, &t.brp};
  for (int i = 0; i < 8; ++i) *w[i] = get_u32(p + 4 * i);
  return t;
}

void put_bittiming(uint8_t* p, const BitTiming& t) {
  const uint32_t w[] = {t.bitrate, t.sample_point, t.tq_ns, t.prop_seg, t.phase_seg1, t.phase_seg2, t.sjw, t.brp};
  for (int i = 0; i < 8; ++i) put_u32(p + 4 * i, w[i]);
}

// The controller accepts only what its bit timing register can hold and what the firmware declared.
bool timing_fits(const BitTiming& t, const BtConst& c) {
  const uint64_t tseg1 = uint64_t(t.prop_seg) + t.phase_seg1;
  if (t.brp < 1 || t.brp > 1024 || tseg1 < 1 || tseg1 > 16 || t.phase_seg2 < 1 || t.phase_seg2 > 8) return false;
  if (t.sjw < 1 || t.sjw > 4 || t.sjw > c.sjw_max || t.sjw > t.phase_seg2) return false;
  if (tseg1 < c.tseg1_min || tseg1 > c.tseg1_max || t.phase_seg2 < c.tseg2_min || t.phase_seg2 > c.tseg2_max)
    return false;
  if (t.brp < c.brp_min || t.brp > c.brp_max) return false;
  if (c.brp_inc == 0 || (t.brp - c.brp_min) % c.brp_inc != 0) return false;
  return true;
}

// Bit rate the controller really runs at for this timing.
uint32_t wire_bitrate(const BitTiming& t, uint32_t clock) {
  const uint64_t nq = 1ull + t.prop_seg + t.phase_seg1 + t.phase_seg2;
  if (t.brp == 0 || clock == 0) return 0;
  return uint32_t(clock / (uint64_t(t.brp) * nq));
}

// SocketCAN error classes and controller detail bits used in error frames.
constexpr uint32_t kErrRestarted = 0x100;
constexpr uint8_t kCrtlActive = 0x40;

constexpr uint32_t kBxcanLecAck = 3;

}  // namespace

// The firmware's face towards the bus. Disconnected before the bus detaches it, so that the withdrawn transmissions
// the bus reports during detach no longer reach the firmware.
class Firmware::BusPort final : public BusNode {
 public:
  explicit BusPort(Firmware* fw) : fw_(fw) {}
  void bus_frame_received(const BusFrame& frame, uint64_t time_us) override {
    std::lock_guard l(mu_);
    if (fw_) fw_->on_bus_frame(frame, time_us);
  }
  void bus_transmit_done(uint64_t tag, TxVerdict verdict, uint64_t time_us) override {
    std::lock_guard l(mu_);
    if (fw_) fw_->on_transmit_done(tag, verdict, time_us);
  }
  void bus_error_state_changed(const NodeErrorState& state) override {
    std::lock_guard l(mu_);
    if (fw_) fw_->on_error_state(state, fw_->bus_now_us());
  }
  void disconnect() {
    std::lock_guard l(mu_);
    fw_ = nullptr;
  }

 private:
  std::mutex mu_;  // held across a callback so that disconnect() waits for one in progress
  Firmware* fw_;
};

Firmware::Firmware(FirmwareProfile profile, std::shared_ptr<SimBus> bus)
    : bus_(std::move(bus)),
      profile_(std::move(profile)),
      rx_(size_t(profile_.rx_queue_records) * protocol::kRxRecordSize),
      results_(size_t(profile_.result_queue_records) * protocol::kTxResultExplicitSize) {
  bittiming_ = profile_.power_up_bittiming;
  name_ = profile_.device_name;
  in_flight_.reserve(profile_.tx_queue_depth);
  port_ = std::make_unique<BusPort>(this);
  node_ = bus_->attach(port_.get());
  bus_->configure(node_, NodeConfig{});
}

Firmware::~Firmware() { power_off(); }

void Firmware::set_listener(EndpointListener* listener) noexcept {
  std::lock_guard l(state_mu_);
  listener_ = listener;
}

void Firmware::power_off() {
  std::lock_guard req(request_mu_);
  if (!powered_) return;
  powered_ = false;
  {
    std::lock_guard l(state_mu_);
    powered_state_ = false;
    bus_running_ = false;
    in_flight_.clear();
  }
  port_->disconnect();
  bus_->detach(node_);
}

void Firmware::notify(uint8_t endpoint) noexcept {
  EndpointListener* l;
  {
    std::lock_guard g(state_mu_);
    l = listener_;
  }
  if (l) l->endpoint_ready(endpoint);
}

uint64_t Firmware::bus_now_us() const { return bus_->now_us(); }

uint64_t Firmware::timestamp_us() const {
  const uint64_t now = bus_->now_us();
  std::lock_guard l(state_mu_);
  return adapter_time_locked(now);
}

// ---------------------------------------------------------------------------------------------------------------
// Control requests

Firmware::Handler Firmware::handler_for(uint8_t request) noexcept {
  switch (static_cast<ControlCommand>(request)) {
    case ControlCommand::GetDeviceInfo: return &Firmware::on_device_info;
    case ControlCommand::GetDeviceCapabilities: return &Firmware::on_capabilities;
    case ControlCommand::GetBtConst: return &Firmware::on_bt_const;
    case ControlCommand::GetLastError: return &Firmware::on_last_error;
    case ControlCommand::GetTemperatures: return &Firmware::on_temperatures;
    case ControlCommand::CanBittiming: return &Firmware::on_bittiming;
    case ControlCommand::Bus: return &Firmware::on_bus;
    case ControlCommand::Mode: return &Firmware::on_mode;
    case ControlCommand::TerminationState: return &Firmware::on_termination;
    case ControlCommand::LedMode: return &Firmware::on_led_mode;
    case ControlCommand::DeviceName: return &Firmware::on_device_name;
    case ControlCommand::Channel: return &Firmware::on_channel;
    case ControlCommand::TxResultMode: return &Firmware::on_tx_result_mode;
    case ControlCommand::SettingsStatus: return &Firmware::on_settings_status;
    case ControlCommand::SetInterfaceName: return &Firmware::on_interface_name;
    case ControlCommand::ResetCan: return &Firmware::on_reset_can;
    case ControlCommand::Identify: return &Firmware::on_identify;
    case ControlCommand::ResetTimestamp: return &Firmware::on_reset_timestamp;
    case ControlCommand::FlushTxQueue: return &Firmware::on_flush_tx_queue;
    case ControlCommand::CancelTx: return &Firmware::on_cancel_tx;
    default: return nullptr;  // GetBerr, ResetDevice, ResetToBootloader and unknown numbers
  }
}

ControlReply Firmware::control(const usb::ControlSetup& setup, std::span<const uint8_t> out) {
  std::lock_guard req(request_mu_);
  if (!powered_) return stall();
  // Only vendor requests addressed to interface 0 reach the firmware's dispatcher.
  const bool in = (setup.request_type & 0x80) != 0;
  if ((setup.request_type & 0x7F) != (protocol::kRequestTypeOut & 0x7F)) return stall();
  if (setup.index != protocol::kInterfaceNumber) return stall();
  if (!in && out.size() != setup.length) return stall();
  {
    std::lock_guard l(state_mu_);
    if (!profile_.supported_requests.test(setup.request)) return stall();
  }
  const Handler h = handler_for(setup.request);
  if (!h) return stall();
  ControlReply r = (this->*h)(Request{in, setup.value, setup.length, in ? std::span<const uint8_t>{} : out});
  if (in && !r.stall && r.length > setup.length) r.length = setup.length;
  return r;
}

ControlReply Firmware::on_device_info(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::array<uint8_t, 24> b{};
  std::lock_guard l(state_mu_);
  std::memcpy(b.data(), profile_.hardware_version.data(), 4);
  std::memcpy(b.data() + 4, profile_.firmware_version.data(), 4);
  std::memcpy(b.data() + 8, profile_.bootloader_version.data(), 4);
  std::memcpy(b.data() + 12, profile_.min_host_api_version.data(), 4);
  b[16] = profile_.channel_count;
  put_u32(b.data() + 20, profile_.hardware_id);
  return record_reply(b, r.length);
}

ControlReply Firmware::on_capabilities(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  const auto& p = profile_;
  return words_reply<6>({p.clock_hz, p.tx_buffer_size, p.rx_buffer_size, p.ctrlmode_supported, p.features_supported,
                         p.temperature_sensors},
                        r.length);
}

ControlReply Firmware::on_bt_const(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::array<uint8_t, 48> b{};
  std::lock_guard l(state_mu_);
  const BtConst& c = profile_.bt_const;
  std::memcpy(b.data(), c.name.data(), 16);
  const uint32_t w[] = {c.tseg1_min, c.tseg1_max, c.tseg2_min, c.tseg2_max, c.sjw_max, c.brp_min, c.brp_max, c.brp_inc};
  for (int i = 0; i < 8; ++i) put_u32(b.data() + 16 + 4 * i, w[i]);
  return record_reply(b, r.length);
}

ControlReply Firmware::on_last_error(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  const uint32_t tec = std::min<uint32_t>(node_state_.tx_errors, 255);
  const uint32_t rec = std::min<uint32_t>(node_state_.rx_errors, 255);
  if (profile_.last_error_format == LastErrorFormat::Legacy) {
    // Early firmware knows only its 4-byte record and refuses anything else.
    if (r.length != 4) return stall();
    // Legacy error types: 0 none, 1 bit, 2 stuff, 3 form, 4 ack, 5 crc.
    static constexpr uint8_t kLegacyType[8] = {0, 2, 3, 4, 1, 1, 5, 0};
    return record_reply(std::array<uint8_t, 4>{kLegacyType[lec_ & 7], 0, uint8_t(tec), uint8_t(rec)}, r.length);
  }
  return words_reply<2>({lec_, errsr_locked()}, r.length);
}

ControlReply Firmware::on_temperatures(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  const auto& t = profile_.temperatures;
  return words_reply<5>({profile_.temperature_sensors, t[0], t[1], t[2], t[3]}, r.length);
}

ControlReply Firmware::on_bittiming(const Request& r) {
  std::lock_guard l(state_mu_);
  if (!r.in) {
    if (r.value != 0 || r.out.size() != 32 || running_locked()) return stall();
    const BitTiming t = parse_bittiming(r.out.data());
    if (!timing_fits(t, profile_.bt_const) || wire_bitrate(t, profile_.clock_hz) == 0) return stall();
    bittiming_ = t;
    return ok();
  }
  if (r.value == 0) {
    std::array<uint8_t, 32> b{};
    put_bittiming(b.data(), bittiming_);
    return record_reply(b, r.length);
  }
  if (r.value == 1 && profile_.supported_requests.test(kSnapshotRequest)) {
    std::array<uint8_t, 56> b{};
    put_bittiming(b.data(), bittiming_);
    const bool stopped = !running_locked();
    // CTLR/STATR bit 0: initialisation request/acknowledge, set while the controller is stopped.
    const uint32_t w[] = {profile_.clock_hz, btimr_locked(), stopped ? 1u : 0u,
                          stopped ? 1u : 0u, errsr_locked(), reported_bus_state_locked()};
    for (int i = 0; i < 6; ++i) put_u32(b.data() + 32 + 4 * i, w[i]);
    return record_reply(b, r.length);
  }
  return stall();
}

ControlReply Firmware::on_bus(const Request& r) {
  if (r.value != 0) return stall();
  if (r.in) {
    std::lock_guard l(state_mu_);
    return words_reply<5>(
        {reported_bus_state_locked(), node_state_.rx_errors, node_state_.tx_errors, node_state_.bus_off_count, lec_},
        r.length);
  }
  const auto on = out_u32(r.out);
  if (!on || *on > 1) return stall();
  if (*on == 0) {
    stop_controller(false);
    return ok();
  }
  NodeConfig cfg;
  {
    std::lock_guard l(state_mu_);
    if (running_locked()) return ok();
    cfg.bitrate = wire_bitrate(bittiming_, profile_.clock_hz);
    if (bittiming_.is_zero() || cfg.bitrate == 0) return stall();  // no timing configured yet
    cfg.loopback = (mode_ & 0x01) != 0;
    cfg.listen_only = (mode_ & protocol::kModeListenOnly) != 0;
    cfg.one_shot = (mode_ & 0x08) != 0;
  }
  bus_->configure(node_, cfg);
  const NodeErrorState es = bus_->error_state(node_);
  std::lock_guard l(state_mu_);
  node_state_ = es;
  bus_running_ = true;
  return ok();
}

void Firmware::stop_controller(bool reset_errors) {
  bus_->configure(node_, NodeConfig{});
  bus_->flush(node_);
  if (reset_errors) bus_->reset_errors(node_);
  std::lock_guard l(state_mu_);
  bus_running_ = false;
  if (reset_errors) {
    const uint32_t bus_offs = node_state_.bus_off_count;
    node_state_ = NodeErrorState{};
    node_state_.bus_off_count = bus_offs;
    lec_ = 0;
  }
}

ControlReply Firmware::on_mode(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  if (r.in) return u32_reply(mode_, r.length);
  const auto mode = out_u32(r.out);
  if (!mode || running_locked() || (*mode & ~profile_.ctrlmode_supported) != 0) return stall();
  mode_ = *mode;
  return ok();
}

ControlReply Firmware::on_termination(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  if (r.in) return u32_reply(termination_ ? 1 : 0, r.length);
  const auto on = out_u32(r.out);
  if (!on || *on > 1 || running_locked()) return stall();
  termination_ = *on == 1;
  return ok();
}

ControlReply Firmware::on_led_mode(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  if (r.in) return u32_reply(led_mode_, r.length);
  const auto mode = out_u32(r.out);
  if (!mode || *mode > profile_.led_mode_max) return stall();
  led_mode_ = *mode;
  return ok();
}

ControlReply Firmware::on_device_name(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  if (r.in) return record_reply(name_, r.length);
  // Saved settings change only while the controller is stopped.
  if (r.out.size() != 16 || running_locked()) return stall();
  update_settings_locked(Clock::now());
  std::memcpy(name_.data(), r.out.data(), 16);
  if (name_ == profile_.device_name && settings_status_ != kSettingsPending) {
    settings_status_ = kSettingsUnchanged;
  } else {
    settings_status_ = kSettingsPending;
    save_due_ = Clock::now() + std::chrono::milliseconds(profile_.settings_save_delay_ms);
  }
  return ok();
}

void Firmware::update_settings_locked(Clock::time_point now) {
  if (settings_status_ != kSettingsPending || now < save_due_) return;
  settings_status_ = profile_.settings_final_status;
  if (settings_status_ == kSettingsSaved) profile_.device_name = name_;
}

ControlReply Firmware::on_channel(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  if (r.in) return u32_reply(channel_id_, r.length);
  const auto ch = out_u32(r.out);
  if (!ch || *ch >= profile_.channel_count || running_locked()) return stall();
  channel_id_ = *ch;
  return ok();
}

ControlReply Firmware::on_tx_result_mode(const Request& r) {
  if (r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  // The further word carries the transmit queue depth.
  if (r.in) return words_reply<3>({result_mode_, generation_, profile_.tx_queue_depth}, r.length);
  const auto mode = out_u32(r.out);
  if (!mode || *mode > 1 || running_locked()) return stall();
  result_mode_ = *mode;
  return ok();
}

ControlReply Firmware::on_settings_status(const Request& r) {
  if (!r.in || r.value != 0) return stall();
  std::lock_guard l(state_mu_);
  update_settings_locked(Clock::now());
  return u32_reply(settings_status_, r.length);
}

ControlReply Firmware::on_interface_name(const Request& r) {
  if (r.in || r.value != 0 || r.out.empty() || r.out.size() > 32) return stall();
  // Exactly one terminating zero.
  if (r.out.back() != 0 || std::find(r.out.begin(), r.out.end() - 1, 0) != r.out.end() - 1) return stall();
  std::lock_guard l(state_mu_);
  interface_name_.assign(reinterpret_cast<const char*>(r.out.data()), r.out.size() - 1);
  return ok();
}

ControlReply Firmware::on_reset_can(const Request& r) {
  if (r.in || r.value != 0 || !r.out.empty()) return stall();
  stop_controller(true);
  return ok();
}

ControlReply Firmware::on_identify(const Request& r) {
  if (r.in || r.value == 0 || !r.out.empty()) return stall();
  std::lock_guard l(state_mu_);
  ++identify_count_;
  identify_ms_ = r.value;
  return ok();
}

ControlReply Firmware::on_reset_timestamp(const Request& r) {
  if (r.in || r.value != 0 || !r.out.empty()) return stall();
  const uint64_t now = bus_->now_us();
  std::lock_guard l(state_mu_);
  if (running_locked()) return stall();
  ts_offset_us_ = now;
  return ok();
}

ControlReply Firmware::on_flush_tx_queue(const Request& r) {
  if (r.in || r.value != 0 || !r.out.empty()) return stall();
  bus_->flush(node_);
  std::lock_guard l(state_mu_);
  // A new transmission session: results of the old one are dropped, late reports of it are ignored.
  ++generation_;
  results_.clear();
  completed_ids_.reset();
  return ok();
}

ControlReply Firmware::on_cancel_tx(const Request& r) {
  if (!r.in) return stall();
  enum : uint8_t { kNotFound = 0, kQueued = 1, kAbortRequested = 2, kCompleted = 3, kUnsupported = 5, kBusy = 6 };
  uint8_t outcome = kNotFound;
  uint64_t tag = 0;
  {
    std::lock_guard l(state_mu_);
    if (result_mode_ != 1) {
      outcome = kUnsupported;
    } else {
      auto it = std::find_if(in_flight_.begin(), in_flight_.end(), [&](const InFlight& f) {
        return f.generation == generation_ && f.tx_id == r.value && r.value != 0;
      });
      if (it == in_flight_.end()) {
        outcome = (r.value < completed_ids_.size() && completed_ids_.test(r.value)) ? kCompleted : kNotFound;
      } else if (it->cancel_requested) {
        outcome = kBusy;
      } else {
        it->cancel_requested = true;
        tag = it->tag;
      }
    }
  }
  if (tag != 0) outcome = bus_->cancel(node_, tag) ? kQueued : kAbortRequested;
  std::array<uint8_t, 8> b{};
  b[0] = outcome;
  {
    std::lock_guard l(state_mu_);
    put_u32(b.data() + 4, generation_);
  }
  return record_reply(b, r.length);
}

// ---------------------------------------------------------------------------------------------------------------
// Register views

uint32_t Firmware::reported_bus_state_locked() const noexcept {
  if (bus_override_) return *bus_override_;
  if (!bus_running_) return protocol::kBusStopped;
  return node_state_.state;
}

uint32_t Firmware::errsr_locked() const noexcept {
  const uint32_t tec = std::min<uint32_t>(node_state_.tx_errors, 255);
  const uint32_t rec = std::min<uint32_t>(node_state_.rx_errors, 255);
  uint32_t v = rec << 24 | tec << 16 | (lec_ & 7) << 4;
  if (node_state_.state == protocol::kBusOff) v |= 0x04;
  if (node_state_.state >= protocol::kBusErrorPassive) v |= 0x02;
  if (node_state_.state >= protocol::kBusErrorWarning) v |= 0x01;
  return v;
}

uint32_t Firmware::btimr_locked() const noexcept {
  const BitTiming& t = bittiming_;
  // bxCAN reset value until a timing is written.
  uint32_t v = 0x01230000;
  if (!t.is_zero()) {
    const uint32_t tseg1 = t.prop_seg + t.phase_seg1;
    v = ((t.brp - 1) & 0x3FF) | ((tseg1 - 1) & 0xF) << 16 | ((t.phase_seg2 - 1) & 0x7) << 20 |
        ((t.sjw - 1) & 0x3) << 24;
  }
  if (mode_ & 0x01) v |= 1u << 30;
  if (mode_ & protocol::kModeListenOnly) v |= 1u << 31;
  return v;
}

// ---------------------------------------------------------------------------------------------------------------
// Bulk endpoints

BulkOutStatus Firmware::bulk_out(std::span<const uint8_t> data) {
  std::lock_guard req(request_mu_);
  if (!powered_) return BulkOutStatus::Accepted;
  {
    std::lock_guard l(state_mu_);
    if (running_locked() && in_flight_.size() >= profile_.tx_queue_depth) return BulkOutStatus::Busy;
  }
  bool results = false;
  std::optional<uint64_t> now;  // bus time, fetched once when a refusal needs a timestamp
  auto refuse = [&](uint8_t tx_id, bool malformed) {
    if (!now) now = bus_->now_us();
    std::lock_guard l(state_mu_);
    if (malformed) ++tx_rejected_;
    fail_transmission_locked(tx_id, adapter_time_locked(*now));
    results = true;
  };
  size_t off = 0;
  for (; off + protocol::kTxRecordSize <= data.size(); off += protocol::kTxRecordSize) {
    const uint8_t* rec = data.data() + off;
    const uint8_t channel = rec[0], dlc = rec[1], flags = rec[2], tx_id = rec[3];
    const uint32_t id_word = get_u32(rec + 4);
    BusFrame f;
    f.extended = (id_word & protocol::kIdExtended) || (flags & 0x04);
    f.remote = (id_word & protocol::kIdRemote) || (flags & 0x02);
    f.id = id_word & 0x1FFFFFFFu;
    f.dlc = dlc;
    std::memcpy(f.data.data(), rec + 8, 8);
    const bool valid = channel == 0 && dlc <= 8 && (flags & ~0x06) == 0 && !(id_word & protocol::kIdError) &&
                       (f.extended || f.id < 0x800);
    if (!valid) {
      refuse(tx_id, true);
      continue;
    }
    uint64_t tag;
    {
      std::lock_guard l(state_mu_);
      if (!running_locked())
        tag = 0;
      else {
        tag = next_tag_++;
        in_flight_.push_back(InFlight{tag, tx_id, generation_, false});
        completed_ids_.reset(tx_id);
      }
    }
    if (tag == 0 || !bus_->transmit(node_, f, tag)) {
      if (tag != 0) {
        std::lock_guard l(state_mu_);
        std::erase_if(in_flight_, [&](const InFlight& x) { return x.tag == tag; });
      }
      refuse(tx_id, false);
    }
  }
  if (off != data.size()) {
    std::lock_guard l(state_mu_);
    ++tx_rejected_;  // a partial record cannot be sent
  }
  if (results) notify(protocol::kEpTxResultIn);
  return BulkOutStatus::Accepted;
}

void Firmware::fail_transmission_locked(uint8_t tx_id, uint64_t ts) {
  // Legacy mode only ever echoes transmitted frames; explicit mode reports the refusal of a tracked one.
  if (result_mode_ == 1 && tx_id != 0) push_result_locked(tx_id, TxVerdict::Failed, ts);
}

void Firmware::push_result_locked(uint8_t tx_id, TxVerdict verdict, uint64_t ts) {
  if (result_mode_ == 1) {
    if (tx_id == 0) return;  // untracked transmissions get no explicit result
    std::array<uint8_t, 12> b{};
    b[1] = tx_id;
    b[2] = static_cast<uint8_t>(verdict);
    put_u64(b.data() + 4, ts);
    if (!results_.push(b)) ++result_overflows_;
    return;
  }
  // Legacy: an echo per transmitted frame, none with presume-ack.
  if (verdict != TxVerdict::Success || (mode_ & protocol::kModePresumeAck)) return;
  std::array<uint8_t, 10> b{};
  b[1] = tx_id;
  put_u64(b.data() + 2, ts);
  if (!results_.push(b)) ++result_overflows_;
}

bool Firmware::push_rx_record_locked(uint32_t id_word, uint8_t dlc, const std::array<uint8_t, 8>& data, uint64_t ts) {
  std::array<uint8_t, 24> b{};
  b[1] = dlc;
  put_u32(b.data() + 4, id_word);
  std::memcpy(b.data() + 8, data.data(), 8);
  put_u64(b.data() + 16, ts);
  if (!rx_.push(b)) {
    ++rx_overflows_;
    return false;
  }
  return true;
}

size_t Firmware::read_in(uint8_t endpoint, std::span<uint8_t> dst) {
  std::lock_guard l(state_mu_);
  if (endpoint == protocol::kEpTxResultIn) return results_.pop(dst);
  if (endpoint != protocol::kEpRxIn) return 0;
  size_t n = rx_.pop(dst);
  if (stale_endless_) {
    for (; n < dst.size(); ++n) dst[n] = stale_next_++;
  }
  return n;
}

bool Firmware::in_ready(uint8_t endpoint) const {
  std::lock_guard l(state_mu_);
  if (endpoint == protocol::kEpTxResultIn) return !results_.empty();
  if (endpoint == protocol::kEpRxIn) return !rx_.empty() || stale_endless_;
  return false;
}

// ---------------------------------------------------------------------------------------------------------------
// Bus callbacks

void Firmware::on_bus_frame(const BusFrame& frame, uint64_t time_us) {
  {
    std::lock_guard l(state_mu_);
    if (!running_locked()) return;
    const uint32_t reported = reported_transition_;
    reported_transition_ = 0;
    // The bus follows a state change it caused with its own error frame; the firmware reported that one already.
    if (frame.error && reported != 0 && (frame.id & (kCanErrCrtl | kCanErrBusOff)) == reported) return;
    uint32_t id_word = frame.extended ? (frame.id & 0x1FFFFFFFu) | protocol::kIdExtended : frame.id & 0x7FFu;
    if (frame.remote) id_word |= protocol::kIdRemote;
    if (frame.error) id_word = protocol::kIdError | (frame.id & 0x1FFFFFFFu);
    if (!push_rx_record_locked(id_word, frame.dlc, frame.data, adapter_time_locked(time_us))) return;
    ++frames_received_;
    last_rx_host_ns_.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count(),
        std::memory_order_release);
  }
  notify(protocol::kEpRxIn);
}

void Firmware::on_transmit_done(uint64_t tag, TxVerdict verdict, uint64_t time_us) {
  bool result = false;
  {
    std::lock_guard l(state_mu_);
    reported_transition_ = 0;
    auto it = std::find_if(in_flight_.begin(), in_flight_.end(), [&](const InFlight& f) { return f.tag == tag; });
    if (it == in_flight_.end()) return;
    const InFlight f = *it;
    in_flight_.erase(it);
    if (verdict == TxVerdict::Success) ++frames_transmitted_;
    if (verdict == TxVerdict::Failed) lec_ = kBxcanLecAck;
    if (f.generation == generation_) {
      completed_ids_.set(f.tx_id);
      push_result_locked(f.tx_id, verdict, adapter_time_locked(time_us));
      result = true;
    }
  }
  if (result) notify(protocol::kEpTxResultIn);
  notify(protocol::kEpBulkOut);
}

void Firmware::on_error_state(const NodeErrorState& state, uint64_t time_us) {
  bool frame = false;
  {
    std::lock_guard l(state_mu_);
    const NodeErrorState old = node_state_;
    node_state_ = state;
    reported_transition_ = 0;
    if (!running_locked() || state.state == old.state) return;
    // Report the transition as a SocketCAN error frame, as a controller with error reporting does.
    uint32_t cls = kCanErrCrtl;
    std::array<uint8_t, 8> data{};
    if (state.state == protocol::kBusOff) {
      cls = kCanErrBusOff;
    } else if (old.state == protocol::kBusOff) {
      cls = kErrRestarted;
    } else if (state.state < old.state) {
      data[1] = kCrtlActive;
    } else if (state.state == protocol::kBusErrorWarning) {
      data[1] = uint8_t((state.rx_errors >= 96 ? kCanErrCrtlRxWarning : 0) |
                        (state.tx_errors >= 96 ? kCanErrCrtlTxWarning : 0));
      if (data[1] == 0) data[1] = kCanErrCrtlTxWarning;
    } else {
      data[1] = uint8_t((state.rx_errors >= 128 ? kCanErrCrtlRxPassive : 0) |
                        (state.tx_errors >= 128 ? kCanErrCrtlTxPassive : 0));
      if (data[1] == 0) data[1] = kCanErrCrtlTxPassive;
    }
    data[6] = uint8_t(std::min<uint32_t>(state.tx_errors, 255));
    data[7] = uint8_t(std::min<uint32_t>(state.rx_errors, 255));
    frame = push_rx_record_locked(protocol::kIdError | cls | kCanErrCnt, 8, data, adapter_time_locked(time_us));
    if (cls != kErrRestarted && data[1] != kCrtlActive) reported_transition_ = cls;
  }
  if (frame) notify(protocol::kEpRxIn);
}

// ---------------------------------------------------------------------------------------------------------------
// Test control

FirmwareProfile Firmware::profile() const {
  std::lock_guard l(state_mu_);
  return profile_;
}

void Firmware::set_profile(const FirmwareProfile& profile) {
  std::lock_guard l(state_mu_);
  profile_ = profile;
  rx_.grow_to(size_t(profile_.rx_queue_records) * protocol::kRxRecordSize);
  results_.grow_to(size_t(profile_.result_queue_records) * protocol::kTxResultExplicitSize);
}

FirmwareState Firmware::state() const {
  const uint64_t now = bus_->now_us();
  std::lock_guard l(state_mu_);
  const_cast<Firmware*>(this)->update_settings_locked(Clock::now());
  FirmwareState s;
  s.powered = powered_state_;
  s.bus_running = bus_running_;
  s.bus_state = reported_bus_state_locked();
  s.bus_state_override = bus_override_;
  s.errors = node_state_;
  s.last_error_code = lec_;
  s.mode = mode_;
  s.bittiming = bittiming_;
  s.btimr = btimr_locked();
  s.result_mode = result_mode_;
  s.generation = generation_;
  s.led_mode = led_mode_;
  s.termination = termination_;
  s.device_name = name_;
  s.stored_name = profile_.device_name;
  s.settings_status = settings_status_;
  s.channel_id = channel_id_;
  s.interface_name = interface_name_;
  s.identify_count = identify_count_;
  s.identify_ms = identify_ms_;
  s.timestamp_us = adapter_time_locked(now);
  s.tx_in_flight = in_flight_.size();
  s.rx_queued_bytes = rx_.size();
  s.result_queued_bytes = results_.size();
  s.stale_stream = stale_endless_;
  s.frames_received = frames_received_;
  s.frames_transmitted = frames_transmitted_;
  s.tx_rejected = tx_rejected_;
  s.rx_overflows = rx_overflows_;
  s.result_overflows = result_overflows_;
  return s;
}

void Firmware::set_bus_state_override(std::optional<uint32_t> state) {
  std::lock_guard l(state_mu_);
  bus_override_ = state;
}

void Firmware::preload_rx(std::span<const uint8_t> bytes) {
  {
    std::lock_guard l(state_mu_);
    rx_.grow_to(rx_.size() + bytes.size());
    (void)rx_.push(bytes);
  }
  notify(protocol::kEpRxIn);
}

void Firmware::set_stale_stream(bool endless) {
  {
    std::lock_guard l(state_mu_);
    stale_endless_ = endless;
  }
  if (endless) notify(protocol::kEpRxIn);
}

void Firmware::set_last_error_code(uint32_t lec) {
  std::lock_guard l(state_mu_);
  lec_ = lec;
}

}  // namespace tavro::sim
