// A scriptable in-process USB backend for unit tests of the layers above the seam.
//
//   FakeBackend backend;
//   auto dev = backend.add("tav.io:CANH0001");           // VID/PID of a TAVRO adapter, endpoints 0x02/0x81/0x83
//   dev->reply_in(ControlCommand::GetDeviceInfo, ControlReply::ok(bytes));   // one-shot, in order
//   dev->set_in(ControlCommand::Bus, ControlReply::ok(state_bytes));         // sticky default
//   dev->remember(ControlCommand::LedMode);              // OUT payload is served back to later INs
//   dev->bulk_in(0x81).push(BulkInCompletion::data(bytes));  // next completion of a queued IN transfer
//   dev->bulk_out().script(BulkOutBehaviour::partial(8));    // next OUT transfer accepts 8 bytes
//   auto adapter = open_fake_adapter(backend, dev);      // UsbAdapter on it, without the discovery rules
//   dev->requests(ControlCommand::Bus)                   // recorded setup packets and OUT data
//
// Unscripted control INs stall; unscripted OUTs complete. Unscripted bulk IN transfers never complete (a read
// times out); unscripted bulk OUT transfers accept every byte. All state is guarded by one mutex per adapter, so
// tests may push bulk data from their own thread while a worker reads.
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
#include <tuple>
#include <vector>

#include "core/protocol.hpp"
#include "device/adapter.hpp"
#include "usb/host.hpp"

namespace tavro::fake {

using usb::TransferStatus;
using Bytes = std::vector<uint8_t>;

inline Bytes u32_bytes(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ControlReply {
  TransferStatus status = TransferStatus::Completed;
  int os_code = 0;
  Bytes data;  // IN: the reply (cut to wLength)

  static ControlReply ok(Bytes d = {}) { return {TransferStatus::Completed, 0, std::move(d)}; }
  static ControlReply fail(TransferStatus s, int os_code = 0) { return {s, os_code, {}}; }
};

struct ControlRecord {
  usb::ControlSetup setup;
  Bytes out_data;  // OUT payload as sent
  std::chrono::nanoseconds timeout{};
  bool is_in() const noexcept { return (setup.request_type & 0x80) != 0; }
  // The 8 setup bytes as they go on the wire.
  Bytes raw_setup() const {
    return {setup.request_type, setup.request,          uint8_t(setup.value),  uint8_t(setup.value >> 8),
            uint8_t(setup.index), uint8_t(setup.index >> 8), uint8_t(setup.length), uint8_t(setup.length >> 8)};
  }
};

struct BulkInCompletion {
  TransferStatus status = TransferStatus::Completed;
  Bytes data;
  static BulkInCompletion of(Bytes d) { return {TransferStatus::Completed, std::move(d)}; }
  static BulkInCompletion fail(TransferStatus s) { return {s, {}}; }
};

struct BulkOutBehaviour {
  TransferStatus status = TransferStatus::Completed;
  std::optional<size_t> accepted;  // bytes accepted; all when unset
  bool hang = false;               // never completes by itself: only a cancel ends it
  std::chrono::milliseconds cancel_delay{0};  // how long a cancelled transfer takes to come back

  static BulkOutBehaviour accept_all() { return {}; }
  static BulkOutBehaviour partial(size_t n) { return {TransferStatus::Completed, n, false, {}}; }
  static BulkOutBehaviour fail(TransferStatus s) { return {s, 0, false, {}}; }
  static BulkOutBehaviour hang_until_cancel(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return {TransferStatus::Completed, 0, true, delay};
  }
};

class FakeAdapter;
class FakeInterface;

// Deadlines for the fake's waits; absurd time-outs are clamped instead of overflowing the clock.
inline std::chrono::steady_clock::time_point clamp_deadline(usb::Duration timeout) {
  return std::chrono::steady_clock::now() + std::min<usb::Duration>(timeout, std::chrono::hours(24));
}

// Script and statistics of one bulk IN endpoint; lives in its FakeAdapter.
class FakeBulkIn {
 public:
  // Completion for the next queued transfer, in order. Data longer than the transfer is cut.
  void push(BulkInCompletion c);
  void push_data(Bytes d) { push(BulkInCompletion::of(std::move(d))); }
  // Called for every transfer when the script is empty; nullopt leaves the transfer pending. Runs under the
  // adapter's lock: it must not call back into the fake.
  void set_generator(std::function<std::optional<BulkInCompletion>()> g);
  // Refuse further submissions with this status (Completed = accept again).
  void refuse_submit(TransferStatus s);
  // What cancelled transfers return with, in order; afterwards Cancelled with no data.
  void push_cancel_return(BulkInCompletion c);
  // cancel_all reports that some transfer did not come back in time.
  void set_cancel_hangs(bool hang);

  size_t submitted() const;        // transfers ever submitted
  size_t max_outstanding() const;  // most transfers queued at once
  size_t last_length() const;      // length of the last submitted transfer
  size_t cancel_all_calls() const;
  size_t script_left() const;

 private:
  friend class FakeAdapter;
  friend class FakeBulkInPipe;
  friend class FakeInterface;
  explicit FakeBulkIn(FakeAdapter* owner) : owner_(owner) {}

  FakeAdapter* owner_;
  std::deque<BulkInCompletion> script_;
  std::function<std::optional<BulkInCompletion>()> generator_;
  TransferStatus refuse_ = TransferStatus::Completed;
  std::deque<BulkInCompletion> cancel_returns_;
  bool cancel_hangs_ = false;
  size_t submitted_ = 0;
  size_t max_outstanding_ = 0;
  size_t last_length_ = 0;
  size_t cancel_all_calls_ = 0;
  bool open_ = false;
};

// Script and record of the bulk OUT endpoint.
class FakeBulkOut {
 public:
  void script(BulkOutBehaviour b);
  void refuse_submit(TransferStatus s);
  std::vector<Bytes> written() const;  // every submitted payload, in order
  size_t cancels() const;
  size_t halt_clears() const;

 private:
  friend class FakeAdapter;
  friend class FakeBulkOutPipe;
  friend class FakeInterface;
  explicit FakeBulkOut(FakeAdapter* owner) : owner_(owner) {}

  FakeAdapter* owner_;
  std::deque<BulkOutBehaviour> script_;
  TransferStatus refuse_ = TransferStatus::Completed;
  std::vector<Bytes> written_;
  size_t cancels_ = 0;
  size_t halt_clears_ = 0;
  bool open_ = false;
};

// One simulated adapter: identity, failure switches, control script, bulk endpoints and an event record.
class FakeAdapter : public std::enable_shared_from_this<FakeAdapter> {
 public:
  static constexpr int32_t kAnyValue = -1;

  uint16_t vendor_id = protocol::kVendorId;
  uint16_t product_id = protocol::kProductId;
  std::optional<std::string> serial;
  std::string bus_id = "1";
  uint8_t address = 1;
  std::vector<usb::EndpointDescriptor> endpoints = {
      {protocol::kEpBulkOut, usb::EndpointType::Bulk, 64},
      {protocol::kEpRxIn, usb::EndpointType::Bulk, 64},
      {protocol::kEpTxResultIn, usb::EndpointType::Bulk, 64},
  };
  // Host failures, as the host library would report them.
  std::optional<usb::HostError> open_error, claim_error, bulk_out_error, bulk_in_error;

  FakeAdapter() : out_(this) {}

  // Control script. Resolution order per request: handler, one-shot queue (exact wValue, then any), sticky
  // default (exact, then any), remembered OUT payload (IN only), then Stall for IN / success for OUT.
  void reply_in(protocol::ControlCommand c, ControlReply r, int32_t value = kAnyValue) {
    std::lock_guard<std::mutex> l(mu_);
    once_[{true, uint8_t(c), value}].push_back(std::move(r));
  }
  void reply_out(protocol::ControlCommand c, ControlReply r, int32_t value = kAnyValue) {
    std::lock_guard<std::mutex> l(mu_);
    once_[{false, uint8_t(c), value}].push_back(std::move(r));
  }
  void set_in(protocol::ControlCommand c, ControlReply r, int32_t value = kAnyValue) {
    std::lock_guard<std::mutex> l(mu_);
    sticky_[{true, uint8_t(c), value}] = std::move(r);
  }
  void set_out(protocol::ControlCommand c, ControlReply r, int32_t value = kAnyValue) {
    std::lock_guard<std::mutex> l(mu_);
    sticky_[{false, uint8_t(c), value}] = std::move(r);
  }
  // OUT payloads of `c` are stored and returned by later INs of `c` (a register the host can read back).
  void remember(protocol::ControlCommand c, Bytes initial = {}) {
    std::lock_guard<std::mutex> l(mu_);
    remembered_[uint8_t(c)] = std::move(initial);
  }
  // Stateful behaviour; return nullopt to fall through to the script. Runs under the adapter's lock.
  void set_handler(std::function<std::optional<ControlReply>(const usb::ControlSetup&, const Bytes& out)> h) {
    std::lock_guard<std::mutex> l(mu_);
    handler_ = std::move(h);
  }

  std::vector<ControlRecord> requests() const {
    std::lock_guard<std::mutex> l(mu_);
    return records_;
  }
  std::vector<ControlRecord> requests(protocol::ControlCommand c) const {
    std::vector<ControlRecord> out;
    for (auto& r : requests())
      if (r.setup.request == uint8_t(c)) out.push_back(r);
    return out;
  }
  void clear_requests() {
    std::lock_guard<std::mutex> l(mu_);
    records_.clear();
  }

  FakeBulkIn& bulk_in(uint8_t address) {
    std::lock_guard<std::mutex> l(mu_);
    auto it = in_.find(address);
    if (it == in_.end()) it = in_.emplace(address, std::unique_ptr<FakeBulkIn>(new FakeBulkIn(this))).first;
    return *it->second;
  }
  FakeBulkOut& bulk_out() { return out_; }

  // "open", "claim", "open_out 0x02", "open_in 0x81", "clear_halt 0x81", "close_in 0x81", "close_out 0x02",
  // "release", "close".
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> l(mu_);
    return events_;
  }
  bool is_open() const {
    std::lock_guard<std::mutex> l(mu_);
    return open_;
  }

  // --- used by the fake backend classes ---
  std::mutex& mutex() const { return mu_; }
  std::condition_variable& cv() { return cv_; }
  void event_locked(std::string e) { events_.push_back(std::move(e)); }
  bool& open_flag_locked() { return open_; }
  FakeBulkIn& bulk_in_locked(uint8_t address) {
    auto it = in_.find(address);
    if (it == in_.end()) it = in_.emplace(address, std::unique_ptr<FakeBulkIn>(new FakeBulkIn(this))).first;
    return *it->second;
  }

  usb::TransferOutcome control(const usb::ControlSetup& setup, std::span<uint8_t> data,
                               std::chrono::nanoseconds timeout) {
    std::lock_guard<std::mutex> l(mu_);
    const bool in = (setup.request_type & 0x80) != 0;
    ControlRecord rec{setup, {}, timeout};
    if (!in) rec.out_data.assign(data.begin(), data.begin() + std::min<size_t>(setup.length, data.size()));
    records_.push_back(rec);

    ControlReply reply = resolve(setup, in, rec.out_data);
    usb::TransferOutcome o;
    o.status = reply.status;
    o.os_code = reply.os_code;
    if (reply.status == TransferStatus::Completed) {
      if (in) {
        const size_t n = std::min({reply.data.size(), size_t(setup.length), data.size()});
        std::copy_n(reply.data.begin(), n, data.begin());
        o.actual = n;
      } else {
        o.actual = setup.length;
        auto rem = remembered_.find(setup.request);
        if (rem != remembered_.end()) rem->second = rec.out_data;
      }
    }
    return o;
  }

 private:
  using Key = std::tuple<bool, uint8_t, int32_t>;

  ControlReply resolve(const usb::ControlSetup& setup, bool in, const Bytes& out) {
    if (handler_)
      if (auto r = handler_(setup, out)) return *r;
    for (int32_t v : {int32_t(setup.value), kAnyValue}) {
      auto it = once_.find({in, setup.request, v});
      if (it != once_.end() && !it->second.empty()) {
        ControlReply r = std::move(it->second.front());
        it->second.pop_front();
        return r;
      }
    }
    for (int32_t v : {int32_t(setup.value), kAnyValue}) {
      auto it = sticky_.find({in, setup.request, v});
      if (it != sticky_.end()) return it->second;
    }
    if (in) {
      auto rem = remembered_.find(setup.request);
      if (rem != remembered_.end()) return ControlReply::ok(rem->second);
      return ControlReply::fail(TransferStatus::Stall);
    }
    return ControlReply::ok();
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<Key, std::deque<ControlReply>> once_;
  std::map<Key, ControlReply> sticky_;
  std::map<uint8_t, Bytes> remembered_;
  std::function<std::optional<ControlReply>(const usb::ControlSetup&, const Bytes&)> handler_;
  std::vector<ControlRecord> records_;
  std::map<uint8_t, std::unique_ptr<FakeBulkIn>> in_;
  FakeBulkOut out_;
  std::vector<std::string> events_;
  bool open_ = false;
};

// ----- FakeBulkIn / FakeBulkOut scripting (take the adapter's lock) -----

inline void FakeBulkIn::push(BulkInCompletion c) {
  {
    std::lock_guard<std::mutex> l(owner_->mutex());
    script_.push_back(std::move(c));
  }
  owner_->cv().notify_all();
}
inline void FakeBulkIn::set_generator(std::function<std::optional<BulkInCompletion>()> g) {
  {
    std::lock_guard<std::mutex> l(owner_->mutex());
    generator_ = std::move(g);
  }
  owner_->cv().notify_all();
}
inline void FakeBulkIn::refuse_submit(TransferStatus s) {
  std::lock_guard<std::mutex> l(owner_->mutex());
  refuse_ = s;
}
inline void FakeBulkIn::push_cancel_return(BulkInCompletion c) {
  std::lock_guard<std::mutex> l(owner_->mutex());
  cancel_returns_.push_back(std::move(c));
}
inline void FakeBulkIn::set_cancel_hangs(bool hang) {
  std::lock_guard<std::mutex> l(owner_->mutex());
  cancel_hangs_ = hang;
}
inline size_t FakeBulkIn::submitted() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return submitted_;
}
inline size_t FakeBulkIn::max_outstanding() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return max_outstanding_;
}
inline size_t FakeBulkIn::last_length() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return last_length_;
}
inline size_t FakeBulkIn::cancel_all_calls() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return cancel_all_calls_;
}
inline size_t FakeBulkIn::script_left() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return script_.size();
}

inline void FakeBulkOut::script(BulkOutBehaviour b) {
  std::lock_guard<std::mutex> l(owner_->mutex());
  script_.push_back(b);
}
inline void FakeBulkOut::refuse_submit(TransferStatus s) {
  std::lock_guard<std::mutex> l(owner_->mutex());
  refuse_ = s;
}
inline std::vector<Bytes> FakeBulkOut::written() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return written_;
}
inline size_t FakeBulkOut::cancels() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return cancels_;
}
inline size_t FakeBulkOut::halt_clears() const {
  std::lock_guard<std::mutex> l(owner_->mutex());
  return halt_clears_;
}

// ----- Seam implementations -----

class FakeBulkInPipe final : public usb::BulkInPipe {
 public:
  FakeBulkInPipe(std::shared_ptr<FakeAdapter> a, usb::EndpointDescriptor d) : a_(std::move(a)), desc_(d) {}
  ~FakeBulkInPipe() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    a_->bulk_in_locked(desc_.address).open_ = false;
    a_->event_locked("close_in 0x" + hex(desc_.address));
  }
  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  usb::TransferOutcome submit(size_t length) override {
    std::lock_guard<std::mutex> l(a_->mutex());
    FakeBulkIn& ep = a_->bulk_in_locked(desc_.address);
    usb::TransferOutcome o;
    if (ep.refuse_ != TransferStatus::Completed) {
      o.status = ep.refuse_;
      return o;
    }
    queue_.push_back(length);
    ++ep.submitted_;
    ep.last_length_ = length;
    ep.max_outstanding_ = std::max(ep.max_outstanding_, queue_.size());
    return o;
  }
  size_t outstanding() const noexcept override {
    std::lock_guard<std::mutex> l(a_->mutex());
    return queue_.size();
  }

  std::optional<Completion> wait_oldest(usb::Duration timeout) override {
    std::unique_lock<std::mutex> l(a_->mutex());
    if (queue_.empty()) return std::nullopt;
    FakeBulkIn& ep = a_->bulk_in_locked(desc_.address);
    std::optional<BulkInCompletion> c;
    const auto deadline = clamp_deadline(timeout);
    a_->cv().wait_until(l, deadline, [&] {
      if (!ep.script_.empty()) {
        c = std::move(ep.script_.front());
        ep.script_.pop_front();
        return true;
      }
      if (ep.generator_) c = ep.generator_();
      return c.has_value();
    });
    if (!c) return std::nullopt;
    const size_t length = queue_.front();
    queue_.pop_front();
    last_ = std::move(c->data);
    if (last_.size() > length) last_.resize(length);
    Completion out;
    out.outcome.status = c->status;
    out.outcome.actual = c->status == TransferStatus::Completed ? last_.size() : 0;
    out.data = std::span<const uint8_t>(last_.data(), out.outcome.actual);
    return out;
  }

  bool cancel_all(usb::Duration timeout,
                  const std::function<void(const usb::TransferOutcome&, std::span<const uint8_t>)>& on_return) override {
    std::unique_lock<std::mutex> l(a_->mutex());
    FakeBulkIn& ep = a_->bulk_in_locked(desc_.address);
    ++ep.cancel_all_calls_;
    if (ep.cancel_hangs_) return false;
    std::vector<std::pair<usb::TransferOutcome, Bytes>> returned;
    while (!queue_.empty()) {
      const size_t length = queue_.front();
      queue_.pop_front();
      BulkInCompletion c = BulkInCompletion::fail(TransferStatus::Cancelled);
      if (!ep.cancel_returns_.empty()) {
        c = std::move(ep.cancel_returns_.front());
        ep.cancel_returns_.pop_front();
      }
      if (c.data.size() > length) c.data.resize(length);
      usb::TransferOutcome o;
      o.status = c.status;
      o.actual = c.data.size();
      returned.emplace_back(o, std::move(c.data));
    }
    l.unlock();
    for (auto& [o, d] : returned) on_return(o, d);
    return true;
  }
  usb::TransferOutcome clear_halt() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    a_->event_locked("clear_halt 0x" + hex(desc_.address));
    return {};
  }

  static std::string hex(uint8_t v) {
    static constexpr char k[] = "0123456789abcdef";
    return {k[v >> 4], k[v & 15]};
  }

 private:
  std::shared_ptr<FakeAdapter> a_;
  usb::EndpointDescriptor desc_;
  std::deque<size_t> queue_;  // lengths of the outstanding transfers, oldest first
  Bytes last_;
};

class FakeBulkOutPipe final : public usb::BulkOutPipe {
 public:
  FakeBulkOutPipe(std::shared_ptr<FakeAdapter> a, usb::EndpointDescriptor d) : a_(std::move(a)), desc_(d) {}
  ~FakeBulkOutPipe() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    a_->bulk_out().open_ = false;
    a_->event_locked("close_out 0x" + FakeBulkInPipe::hex(desc_.address));
  }
  const usb::EndpointDescriptor& descriptor() const noexcept override { return desc_; }

  usb::TransferOutcome submit(std::span<const uint8_t> data) override {
    std::lock_guard<std::mutex> l(a_->mutex());
    FakeBulkOut& ep = a_->bulk_out();
    usb::TransferOutcome o;
    if (ep.refuse_ != TransferStatus::Completed || in_flight_) {
      o.status = in_flight_ ? TransferStatus::InvalidArgument : ep.refuse_;
      return o;
    }
    ep.written_.emplace_back(data.begin(), data.end());
    behaviour_ = BulkOutBehaviour::accept_all();
    if (!ep.script_.empty()) {
      behaviour_ = ep.script_.front();
      ep.script_.pop_front();
    }
    in_flight_ = true;
    cancelled_ = false;
    length_ = data.size();
    return o;
  }

  std::optional<usb::TransferOutcome> wait(usb::Duration timeout) override {
    std::unique_lock<std::mutex> l(a_->mutex());
    if (!in_flight_) return std::nullopt;
    const auto deadline = clamp_deadline(timeout);
    while (behaviour_.hang) {
      const auto now = std::chrono::steady_clock::now();
      if (cancelled_ && now >= cancel_ready_) break;
      if (now >= deadline) return std::nullopt;
      a_->cv().wait_until(l, cancelled_ ? std::min(deadline, cancel_ready_) : deadline);
    }
    in_flight_ = false;
    usb::TransferOutcome o;
    if (behaviour_.hang) {
      o.status = TransferStatus::Cancelled;
      return o;
    }
    o.status = behaviour_.status;
    o.actual = o.status == TransferStatus::Completed ? std::min(behaviour_.accepted.value_or(length_), length_) : 0;
    return o;
  }

  void cancel() override {
    {
      std::lock_guard<std::mutex> l(a_->mutex());
      if (!in_flight_) return;
      ++a_->bulk_out().cancels_;
      cancelled_ = true;
      cancel_ready_ = std::chrono::steady_clock::now() + behaviour_.cancel_delay;
    }
    a_->cv().notify_all();
  }
  usb::TransferOutcome clear_halt() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    ++a_->bulk_out().halt_clears_;
    return {};
  }

 private:
  std::shared_ptr<FakeAdapter> a_;
  usb::EndpointDescriptor desc_;
  BulkOutBehaviour behaviour_;
  bool in_flight_ = false;
  bool cancelled_ = false;
  std::chrono::steady_clock::time_point cancel_ready_{};
  size_t length_ = 0;
};

class FakeDevice;

class FakeInterface final : public usb::Interface {
 public:
  FakeInterface(std::shared_ptr<FakeDevice> dev, std::shared_ptr<FakeAdapter> a) : dev_(std::move(dev)), a_(std::move(a)) {}
  ~FakeInterface() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    a_->event_locked("release");
  }
  uint8_t number() const noexcept override { return protocol::kInterfaceNumber; }
  usb::Device& device() noexcept override;
  std::vector<usb::EndpointDescriptor> endpoints() const override {
    std::lock_guard<std::mutex> l(a_->mutex());
    return a_->endpoints;
  }

  usb::HostResult<std::unique_ptr<usb::BulkInPipe>> open_bulk_in(uint8_t address) override {
    std::lock_guard<std::mutex> l(a_->mutex());
    if (a_->bulk_in_error) return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::failure(*a_->bulk_in_error);
    auto d = find(address);
    if (!d || d->type != usb::EndpointType::Bulk || !(address & 0x80))
      return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::failure(
          {TransferStatus::InvalidArgument, 0, "no such bulk IN endpoint"});
    FakeBulkIn& ep = a_->bulk_in_locked(address);
    if (ep.open_)
      return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::failure({TransferStatus::Fault, 0, "endpoint busy"});
    ep.open_ = true;
    a_->event_locked("open_in 0x" + FakeBulkInPipe::hex(address));
    return usb::HostResult<std::unique_ptr<usb::BulkInPipe>>::success(std::make_unique<FakeBulkInPipe>(a_, *d));
  }

  usb::HostResult<std::unique_ptr<usb::BulkOutPipe>> open_bulk_out(uint8_t address) override {
    std::lock_guard<std::mutex> l(a_->mutex());
    if (a_->bulk_out_error) return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::failure(*a_->bulk_out_error);
    auto d = find(address);
    if (!d || d->type != usb::EndpointType::Bulk || (address & 0x80))
      return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::failure(
          {TransferStatus::InvalidArgument, 0, "no such bulk OUT endpoint"});
    if (a_->bulk_out().open_)
      return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::failure({TransferStatus::Fault, 0, "endpoint busy"});
    a_->bulk_out().open_ = true;
    a_->event_locked("open_out 0x" + FakeBulkInPipe::hex(address));
    return usb::HostResult<std::unique_ptr<usb::BulkOutPipe>>::success(std::make_unique<FakeBulkOutPipe>(a_, *d));
  }

 private:
  std::optional<usb::EndpointDescriptor> find(uint8_t address) const {
    for (const auto& e : a_->endpoints)
      if (e.address == address) return e;
    return std::nullopt;
  }

  std::shared_ptr<FakeDevice> dev_;
  std::shared_ptr<FakeAdapter> a_;
};

class FakeDevice final : public usb::Device {
 public:
  explicit FakeDevice(std::shared_ptr<FakeAdapter> a) : a_(std::move(a)) {}
  ~FakeDevice() override {
    std::lock_guard<std::mutex> l(a_->mutex());
    a_->open_flag_locked() = false;
    a_->event_locked("close");
  }
  usb::HostResult<std::shared_ptr<usb::Interface>> claim_interface(uint8_t number) override {
    std::lock_guard<std::mutex> l(a_->mutex());
    if (a_->claim_error) return usb::HostResult<std::shared_ptr<usb::Interface>>::failure(*a_->claim_error);
    a_->event_locked("claim");
    auto self = std::static_pointer_cast<FakeDevice>(shared_from_this());
    return usb::HostResult<std::shared_ptr<usb::Interface>>::success(std::make_shared<FakeInterface>(self, a_));
  }
  usb::TransferOutcome control_transfer(const usb::ControlSetup& setup, std::span<uint8_t> data,
                                        usb::Duration timeout) override {
    return a_->control(setup, data, timeout);
  }

 private:
  std::shared_ptr<FakeAdapter> a_;
};

inline usb::Device& FakeInterface::device() noexcept { return *dev_; }

class FakeBackend final : public usb::Backend {
 public:
  std::optional<usb::HostError> enumerate_error;

  // A TAVRO adapter (VID/PID 16c0/27d8) with the given serial; nullopt for one without a serial number.
  std::shared_ptr<FakeAdapter> add(std::optional<std::string> serial) {
    auto a = std::make_shared<FakeAdapter>();
    a->serial = std::move(serial);
    a->address = static_cast<uint8_t>(adapters_.size() + 1);
    adapters_.push_back(a);
    return a;
  }

  const char* name() const noexcept override { return "fake"; }

  usb::HostResult<std::vector<usb::EnumeratedDevice>> enumerate() override {
    if (enumerate_error) return usb::HostResult<std::vector<usb::EnumeratedDevice>>::failure(*enumerate_error);
    std::vector<usb::EnumeratedDevice> out;
    for (const auto& a : adapters_) out.push_back(describe(a));
    return usb::HostResult<std::vector<usb::EnumeratedDevice>>::success(std::move(out));
  }

  usb::HostResult<std::shared_ptr<usb::Device>> open(const usb::EnumeratedDevice& device) override {
    auto a = std::static_pointer_cast<FakeAdapter>(device.token);
    std::lock_guard<std::mutex> l(a->mutex());
    if (a->open_error) return usb::HostResult<std::shared_ptr<usb::Device>>::failure(*a->open_error);
    if (a->open_flag_locked())  // exclusive, like the real host stack
      return usb::HostResult<std::shared_ptr<usb::Device>>::failure({TransferStatus::Fault, 0, "Access denied"});
    a->open_flag_locked() = true;
    a->event_locked("open");
    return usb::HostResult<std::shared_ptr<usb::Device>>::success(std::make_shared<FakeDevice>(a));
  }

  static usb::EnumeratedDevice describe(const std::shared_ptr<FakeAdapter>& a) {
    usb::EnumeratedDevice d;
    d.vendor_id = a->vendor_id;
    d.product_id = a->product_id;
    d.serial = a->serial;
    d.bus_id = a->bus_id;
    d.address = a->address;
    d.token = a;
    return d;
  }

 private:
  std::vector<std::shared_ptr<FakeAdapter>> adapters_;
};

// Opens `a` straight through the seam (no discovery rules) and wraps it in a UsbAdapter. nullptr on failure.
inline std::shared_ptr<UsbAdapter> open_fake_adapter(FakeBackend& backend, const std::shared_ptr<FakeAdapter>& a) {
  auto dev = backend.open(FakeBackend::describe(a));
  if (!dev.ok()) return nullptr;
  auto intf = (*dev.value)->claim_interface(protocol::kInterfaceNumber);
  if (!intf.ok()) return nullptr;
  auto out = (*intf.value)->open_bulk_out(protocol::kEpBulkOut);
  if (!out.ok()) return nullptr;
  return std::make_shared<UsbAdapter>(a->serial.value_or(""), std::move(*dev.value), std::move(*intf.value),
                                      std::move(*out.value));
}

}  // namespace tavro::fake
