// A small in-process TAVRO adapter behind the USB seam for the data-path and session tests.
//
//   auto dev = std::make_shared<dpfake::Device>();        // firmware registers: info, caps, mode, bus, result mode
//   dev->bus_state = 0; dev->features = 0x60;             // edit registers before attaching
//   auto adapter = dev->adapter("tav.io:CANH0001");       // UsbAdapter on it (claimed interface, OUT 0x02)
//   dev->in(0x81).push_data(bytes);                        // next completion of a queued bulk IN transfer
//   dev->in(0x81).push_status(TransferStatus::Stall);
//   dev->out().written()                                   // every bulk OUT payload
//
// Unscripted bulk IN transfers never complete (reads time out). All state is guarded by per-object mutexes so
// tests may feed data from their own thread while a worker reads.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.hpp"
#include "device/adapter.hpp"
#include "stream/records.hpp"
#include "usb/host.hpp"

namespace tavro::dpfake {

using usb::TransferStatus;
using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, size_t off, uint32_t v) {
  if (b.size() < off + 4) b.resize(off + 4);
  wire::put_u32(b.data() + off, v);
}

// One 24-byte RxRecord as the adapter sends it.
inline Bytes rx_record(uint32_t id_word, uint8_t dlc, std::initializer_list<uint8_t> data = {}, uint64_t ts = 0,
                       uint8_t flags = 0) {
  Bytes b(24, 0);
  b[1] = dlc;
  b[2] = flags;
  wire::put_u32(b.data() + 4, id_word);
  size_t i = 8;
  for (uint8_t d : data) b[i++] = d;
  wire::put_u64(b.data() + 16, ts);
  return b;
}

inline Bytes explicit_result(uint8_t tx_id, uint8_t status, uint8_t flags, uint64_t ts, uint8_t channel = 0) {
  Bytes b(12, 0);
  b[0] = channel;
  b[1] = tx_id;
  b[2] = status;
  b[3] = flags;
  wire::put_u64(b.data() + 4, ts);
  return b;
}

inline Bytes legacy_echo(uint8_t tx_id, uint64_t ts, uint8_t channel = 0) {
  Bytes b(10, 0);
  b[0] = channel;
  b[1] = tx_id;
  wire::put_u64(b.data() + 2, ts);
  return b;
}

// Script and counters of one bulk IN endpoint.
class InEndpoint {
 public:
  struct Completion {
    TransferStatus status = TransferStatus::Completed;
    Bytes data;
  };

  void push_data(Bytes d) { push({TransferStatus::Completed, std::move(d)}); }
  void push_status(TransferStatus s) { push({s, {}}); }
  void push(Completion c) {
    {
      std::lock_guard<std::mutex> l(mu);
      script.push_back(std::move(c));
    }
    cv.notify_all();
  }
  // Results of the next clear_halt calls, in order; Completed once they are used up.
  void push_clear_halt(TransferStatus s) {
    std::lock_guard<std::mutex> l(mu);
    clear_halt_results.push_back(s);
  }
  void set_cancel_hangs(bool h) {
    std::lock_guard<std::mutex> l(mu);
    cancel_hangs = h;
  }
  size_t clear_halt_calls() const {
    std::lock_guard<std::mutex> l(mu);
    return clear_halts;
  }
  size_t script_left() const {
    std::lock_guard<std::mutex> l(mu);
    return script.size();
  }
  bool open() const {
    std::lock_guard<std::mutex> l(mu);
    return is_open;
  }
  size_t outstanding() const {
    std::lock_guard<std::mutex> l(mu);
    return queued;
  }
  size_t last_length() const {
    std::lock_guard<std::mutex> l(mu);
    return last_len;
  }

  mutable std::mutex mu;
  std::condition_variable cv;
  std::deque<Completion> script;
  std::deque<TransferStatus> clear_halt_results;
  size_t clear_halts = 0;
  bool cancel_hangs = false;
  bool is_open = false;
  size_t queued = 0;
  size_t last_len = 0;
};

class InPipe final : public usb::BulkInPipe {
 public:
  InPipe(std::shared_ptr<InEndpoint> ep, usb::EndpointDescriptor d) : ep_(std::move(ep)), desc_(d) {
    std::lock_guard<std::mutex> l(ep_->mu);
    ep_->is_open = true;
  }
  ~InPipe() override {
    std::lock_guard<std::mutex> l(ep_->mu);
    ep_->queued -= queue_.size();
    ep_->is_open = false;
  }
  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }
  usb::TransferOutcome submit(size_t length) override {
    std::lock_guard<std::mutex> l(ep_->mu);
    queue_.push_back(length);
    ++ep_->queued;
    ep_->last_len = length;
    return {};
  }
  size_t outstanding() const noexcept override {
    std::lock_guard<std::mutex> l(ep_->mu);
    return queue_.size();
  }
  std::optional<Completion> wait_oldest(usb::Duration timeout) override {
    std::unique_lock<std::mutex> l(ep_->mu);
    if (queue_.empty()) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::min<usb::Duration>(timeout, std::chrono::hours(1));
    if (!ep_->cv.wait_until(l, deadline, [&] { return !ep_->script.empty(); })) return std::nullopt;
    InEndpoint::Completion c = std::move(ep_->script.front());
    ep_->script.pop_front();
    const size_t length = queue_.front();
    queue_.pop_front();
    --ep_->queued;
    last_ = std::move(c.data);
    if (last_.size() > length) last_.resize(length);
    Completion out;
    out.outcome.status = c.status;
    out.outcome.actual = c.status == TransferStatus::Completed ? last_.size() : 0;
    out.data = std::span<const uint8_t>(last_.data(), out.outcome.actual);
    return out;
  }
  bool cancel_all(usb::Duration,
                  const std::function<void(const usb::TransferOutcome&, std::span<const uint8_t>)>& on_return) override {
    std::unique_lock<std::mutex> l(ep_->mu);
    if (ep_->cancel_hangs) return false;
    const size_t n = queue_.size();
    ep_->queued -= n;
    queue_.clear();
    l.unlock();
    usb::TransferOutcome o;
    o.status = TransferStatus::Cancelled;
    for (size_t i = 0; i < n; ++i) on_return(o, {});
    return true;
  }
  usb::TransferOutcome clear_halt() override {
    std::lock_guard<std::mutex> l(ep_->mu);
    ++ep_->clear_halts;
    usb::TransferOutcome o;
    if (!ep_->clear_halt_results.empty()) {
      o.status = ep_->clear_halt_results.front();
      ep_->clear_halt_results.pop_front();
    }
    return o;
  }

 private:
  std::shared_ptr<InEndpoint> ep_;
  usb::EndpointDescriptor desc_;
  std::deque<size_t> queue_;
  Bytes last_;
};

// The bulk OUT endpoint: records every payload; completes as scripted (default: all bytes accepted).
class OutEndpoint {
 public:
  struct Behaviour {
    TransferStatus status = TransferStatus::Completed;
    std::optional<size_t> accepted;
  };
  void script(Behaviour b) {
    std::lock_guard<std::mutex> l(mu);
    behaviours.push_back(b);
  }
  void refuse(TransferStatus s) {
    std::lock_guard<std::mutex> l(mu);
    refuse_status = s;
  }
  std::vector<Bytes> written() const {
    std::lock_guard<std::mutex> l(mu);
    return payloads;
  }

  mutable std::mutex mu;
  std::deque<Behaviour> behaviours;
  std::vector<Bytes> payloads;
  TransferStatus refuse_status = TransferStatus::Completed;
};

class OutPipe final : public usb::BulkOutPipe {
 public:
  OutPipe(std::shared_ptr<OutEndpoint> ep, usb::EndpointDescriptor d) : ep_(std::move(ep)), desc_(d) {}
  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }
  usb::TransferOutcome submit(std::span<const uint8_t> data) override {
    std::lock_guard<std::mutex> l(ep_->mu);
    usb::TransferOutcome o;
    if (ep_->refuse_status != TransferStatus::Completed) {
      o.status = ep_->refuse_status;
      return o;
    }
    ep_->payloads.emplace_back(data.begin(), data.end());
    current_ = {};
    if (!ep_->behaviours.empty()) {
      current_ = ep_->behaviours.front();
      ep_->behaviours.pop_front();
    }
    length_ = data.size();
    in_flight_ = true;
    return o;
  }
  std::optional<usb::TransferOutcome> wait(usb::Duration) override {
    std::lock_guard<std::mutex> l(ep_->mu);
    if (!in_flight_) return std::nullopt;
    in_flight_ = false;
    usb::TransferOutcome o;
    o.status = current_.status;
    o.actual = o.status == TransferStatus::Completed ? std::min(current_.accepted.value_or(length_), length_) : 0;
    return o;
  }
  void cancel() override {}
  usb::TransferOutcome clear_halt() override { return {}; }

 private:
  std::shared_ptr<OutEndpoint> ep_;
  usb::EndpointDescriptor desc_;
  OutEndpoint::Behaviour current_;
  size_t length_ = 0;
  bool in_flight_ = false;
};

// Firmware registers and the control endpoint. Registers may be edited between operations (not while a
// control request of the code under test runs).
class Device final : public usb::Device {
 public:
  // GetDeviceInfo
  uint8_t channel_count = 1;
  std::array<uint8_t, 4> firmware_version{1, 4, 0, 12};
  // GetDeviceCapabilities
  uint32_t clock_hz = 48000000;
  uint32_t ctrlmode_supported = 0x1F;
  uint32_t features = 0;
  // Mode, Bus, TxResultMode
  uint32_t mode_word = 0;
  uint32_t bus_state = protocol::kBusErrorActive;
  uint32_t result_mode = 0;
  uint32_t result_generation = 7;
  bool flush_advances_generation = true;
  // CancelTx: the next replies, in order (stall when none is left).
  std::deque<Bytes> cancel_replies;

  std::map<uint8_t, std::shared_ptr<InEndpoint>> ins{{protocol::kEpRxIn, std::make_shared<InEndpoint>()},
                                                      {protocol::kEpTxResultIn, std::make_shared<InEndpoint>()}};
  std::shared_ptr<OutEndpoint> out_ep = std::make_shared<OutEndpoint>();
  std::vector<usb::EndpointDescriptor> endpoints = {
      {protocol::kEpBulkOut, usb::EndpointType::Bulk, 64},
      {protocol::kEpRxIn, usb::EndpointType::Bulk, 64},
      {protocol::kEpTxResultIn, usb::EndpointType::Bulk, 64},
  };

  InEndpoint& in(uint8_t address) { return *ins.at(address); }
  OutEndpoint& out() { return *out_ep; }

  // Control requests seen, as (request, wValue).
  std::vector<std::pair<uint8_t, uint16_t>> requests() const {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }
  size_t count(protocol::ControlCommand c) const {
    size_t n = 0;
    for (auto& r : requests()) n += r.first == uint8_t(c);
    return n;
  }

  std::shared_ptr<UsbAdapter> adapter(std::string serial = "tav.io:CANH0001");

  usb::HostResult<std::shared_ptr<usb::Interface>> claim_interface(uint8_t number) override;

  usb::TransferOutcome control_transfer(const usb::ControlSetup& setup, std::span<uint8_t> data,
                                        usb::Duration) override {
    std::lock_guard<std::mutex> l(mu_);
    requests_.emplace_back(setup.request, setup.value);
    using C = protocol::ControlCommand;
    const bool in = (setup.request_type & 0x80) != 0;
    std::optional<Bytes> reply;
    switch (static_cast<C>(setup.request)) {
      case C::GetDeviceInfo: {
        Bytes b(24, 0);
        b[0] = 1;
        std::copy(firmware_version.begin(), firmware_version.end(), b.begin() + 4);
        b[16] = channel_count;
        reply = b;
        break;
      }
      case C::GetDeviceCapabilities: {
        Bytes b;
        for (uint32_t v : {clock_hz, 64u, 64u, ctrlmode_supported, features, 0u}) put32(b, b.size(), v);
        reply = b;
        break;
      }
      case C::Mode:
        if (in) {
          Bytes b;
          put32(b, 0, mode_word);
          reply = b;
        }
        break;
      case C::Bus:
        if (in) {
          Bytes b(20, 0);
          put32(b, 0, bus_state);
          reply = b;
        }
        break;
      case C::TxResultMode:
        if (in) {
          Bytes b;
          put32(b, 0, result_mode);
          put32(b, 4, result_generation);
          put32(b, 8, 0);
          reply = b;
        }
        break;
      case C::FlushTxQueue:
        if (flush_advances_generation) ++result_generation;
        break;
      case C::CancelTx:
        if (!cancel_replies.empty()) {
          reply = cancel_replies.front();
          cancel_replies.pop_front();
        }
        break;
      default:
        break;
    }
    usb::TransferOutcome o;
    if (in) {
      if (!reply) {
        o.status = TransferStatus::Stall;
        return o;
      }
      const size_t n = std::min({reply->size(), size_t(setup.length), data.size()});
      std::copy_n(reply->begin(), n, data.begin());
      o.actual = n;
    } else {
      o.actual = setup.length;
    }
    return o;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<uint8_t, uint16_t>> requests_;
};

class Interface final : public usb::Interface {
 public:
  explicit Interface(std::shared_ptr<Device> d) : dev_(std::move(d)) {}
  uint8_t number() const noexcept override { return 0; }
  usb::Device& device() noexcept override { return *dev_; }
  std::vector<usb::EndpointDescriptor> endpoints() const override { return dev_->endpoints; }
  usb::HostResult<std::unique_ptr<usb::BulkInPipe>> open_bulk_in(uint8_t address) override {
    using R = usb::HostResult<std::unique_ptr<usb::BulkInPipe>>;
    auto it = dev_->ins.find(address);
    if (it == dev_->ins.end()) return R::failure({TransferStatus::InvalidArgument, 0, "no such endpoint"});
    if (it->second->open()) return R::failure({TransferStatus::Fault, 0, "endpoint busy"});
    for (auto& d : dev_->endpoints)
      if (d.address == address) return R::success(std::make_unique<InPipe>(it->second, d));
    return R::failure({TransferStatus::InvalidArgument, 0, "no such endpoint"});
  }
  usb::HostResult<std::unique_ptr<usb::BulkOutPipe>> open_bulk_out(uint8_t address) override {
    return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::success(
        std::make_unique<OutPipe>(dev_->out_ep, usb::EndpointDescriptor{address, usb::EndpointType::Bulk, 64}));
  }

 private:
  std::shared_ptr<Device> dev_;
};

inline usb::HostResult<std::shared_ptr<usb::Interface>> Device::claim_interface(uint8_t) {
  auto self = std::static_pointer_cast<Device>(shared_from_this());
  return usb::HostResult<std::shared_ptr<usb::Interface>>::success(std::make_shared<Interface>(self));
}

inline std::shared_ptr<UsbAdapter> Device::adapter(std::string serial) {
  auto iface = claim_interface(0).value.value();
  auto out = iface->open_bulk_out(protocol::kEpBulkOut);
  return std::make_shared<UsbAdapter>(std::move(serial), shared_from_this(), std::move(iface),
                                      std::move(*out.value));
}

}  // namespace tavro::dpfake
