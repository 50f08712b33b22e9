// USB/IP connections of the simulated adapters: the device handshake (device list, import) and the URB traffic of an
// imported device.
#include "usbip/connection.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "platform/platform.hpp"
#include "usbip/descriptors.hpp"
#include "usbip/server.hpp"
#include "usbip/usb_core.hpp"
#include "usbip/wire.hpp"

namespace tavro::sim::usbip {

namespace {

using usb::TransferStatus;

// Largest transfer accepted: the product's transfers are far smaller; anything above is refused, never allocated.
constexpr uint32_t kMaxTransfer = 64 * 1024;
// Transfers a connection may have pending at once (the product keeps a few dozen): with kMaxTransfer this bounds a
// connection's buffers to 32 MiB whatever a client sends.
constexpr size_t kMaxPending = 512;
// A peer that stops reading for this long has gone: the connection closes instead of blocking a sender forever.
constexpr int kSendTimeoutMs = 5000;
// The handshake (device list or import request) must arrive within this time.
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);

// One client connection: first the handshake (unless it was handed over already connected), then the URB traffic of
// the imported device until the client closes, the adapter is unplugged or the server stops.
class ServedConnection final : public Connection, private AdapterWatcher {
 public:
  ServedConnection(UsbipServer& server, int fd, std::shared_ptr<SimAdapter> adapter)
      : server_(server), fd_(fd), adapter_(std::move(adapter)), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  ~ServedConnection() override {
    stop();
    if (thread_.joinable()) thread_.join();
    close_socket();
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  bool start() override {
    if (wake_fd_ < 0) return false;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // Ends the connection soon: wakes the thread and breaks a blocked send.
  void stop() noexcept override {
    stop_.store(true);
    wake();
    shutdown_socket();
  }

  bool finished() const noexcept override { return finished_.load(); }

 private:
  struct PendingControl {
    uint32_t seqnum = 0;
    usb::ControlSetup setup;
    std::vector<uint8_t> data;  // OUT payload, or the IN reply buffer (setup.length)
    ControlPlan plan;
    Clock::time_point due{};
  };
  struct PendingOut {
    uint32_t seqnum = 0;
    std::vector<uint8_t> data;
    BulkOutPlan plan;
  };

  void run() {
    platform::name_current_thread("tavro-usbip-dev");
    bool serving = adapter_ != nullptr;
    if (!serving) {
      platform::name_current_thread("tavro-usbip");
      serving = handshake();
      platform::name_current_thread("tavro-usbip-dev");
    }
    if (adapter_) {  // imported (or handed over): claimed for this connection
      if (serving) serve();
      server_.release(adapter_->id());
    }
    close_socket();
    finished_.store(true);
  }

  // ---- socket helpers ----

  void wake() noexcept {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
  }

  void adapter_event() noexcept override {
    wake();
    // An unplug must end the connection at once, even while a send is blocked.
    if (!adapter_->plugged()) shutdown_socket();
  }

  void shutdown_socket() noexcept {
    std::lock_guard l(fd_mu_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }

  void close_socket() noexcept {
    std::lock_guard l(fd_mu_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Waits for the socket (or a wake-up) until `deadline`; false on stop, time-out or error.
  bool wait_readable(Clock::time_point deadline) {
    for (;;) {
      if (stop_.load()) return false;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      const int r = ::poll(p, 2, int(std::min<int64_t>(ms, 1000)));
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && p[0].revents) return true;
      if (r > 0 && p[1].revents) drain_wake();
    }
  }

  void drain_wake() noexcept {
    uint64_t v;
    (void)!::read(wake_fd_, &v, sizeof v);
  }

  bool read_exact(uint8_t* dst, size_t n, Clock::time_point deadline) {
    while (n > 0) {
      if (!wait_readable(deadline)) return false;
      const ssize_t r = ::recv(fd_, dst, n, MSG_DONTWAIT);
      if (r == 0) return false;
      if (r < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return false;
      }
      dst += r;
      n -= size_t(r);
    }
    return true;
  }

  bool send_all(const uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t r = ::send(fd_, p, n, MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;  // time-out (SO_SNDTIMEO), reset or shut down
      }
      p += r;
      n -= size_t(r);
    }
    return true;
  }

  // ---- handshake ----

  // Answers OP_REQ_DEVLIST (and ends) or OP_REQ_IMPORT (and goes on serving the device). True when a device was
  // imported.
  bool handshake() {
    const auto deadline = Clock::now() + kHandshakeTimeout;
    uint8_t op[8];
    if (!read_exact(op, sizeof op, deadline)) return false;
    const uint16_t code = get16(op + 2);
    std::vector<uint8_t> reply;
    put16(reply, kVersion);
    if (code == kOpReqDevlist) {
      auto adapters = server_.hub().adapters();
      put16(reply, kOpRepDevlist);
      put32(reply, 0);
      put32(reply, uint32_t(adapters.size()));
      for (const auto& a : adapters) {
        const FirmwareProfile p = a->firmware().profile();
        put_device_record(reply, UsbipServer::busid(*a), UsbipServer::kBusnum, a->address(), describe(p), p);
        reply.insert(reply.end(), {0xFF, 0x00, 0x00, 0x00});  // interface 0: vendor class
      }
      send_all(reply.data(), reply.size());
      return false;
    }
    if (code != kOpReqImport) return false;
    uint8_t busid_field[kBusidSize];
    if (!read_exact(busid_field, sizeof busid_field, deadline)) return false;
    const std::string busid(reinterpret_cast<const char*>(busid_field),
                            strnlen(reinterpret_cast<const char*>(busid_field), kBusidSize));
    std::shared_ptr<SimAdapter> found;
    for (const auto& a : server_.hub().adapters())
      if (UsbipServer::busid(*a) == busid) found = a;
    put16(reply, kOpRepImport);
    if (!found || !server_.claim(found->id())) {
      put32(reply, 1);
      send_all(reply.data(), reply.size());
      return false;
    }
    put32(reply, 0);
    const FirmwareProfile p = found->firmware().profile();
    put_device_record(reply, UsbipServer::busid(*found), UsbipServer::kBusnum, found->address(), describe(p), p);
    adapter_ = std::move(found);
    return send_all(reply.data(), reply.size());
  }

  // ---- the device ----

  void serve() {
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on a Unix socket
    timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    devid_ = UsbipServer::devid(*adapter_);
    core_.emplace(adapter_, describe(adapter_->firmware().profile()));
    rx_.emplace(adapter_, protocol::kEpRxIn);
    results_.emplace(adapter_, protocol::kEpTxResultIn);
    {
      std::lock_guard l(adapter_->mu_);
      adapter_->add_watcher_locked(this);
    }
    in_.resize(kHeaderSize + kMaxTransfer + 4096);
    while (step()) {}
    {
      std::lock_guard l(adapter_->mu_);
      adapter_->remove_watcher_locked(this);
    }
    // Control requests still pending end with the connection; they are recorded as the seam records a cancel.
    for (auto& c : controls_) record(c, adapter_->plugged() ? TransferStatus::Cancelled : TransferStatus::Disconnected);
    controls_.clear();
    rx_.reset();
    results_.reset();
    adapter_->finish_unplug();
  }

  // One round: wait for input or an event, take in every complete command, answer what is due. False to close.
  bool step() {
    // Checked before waiting too: an unplug before the watcher was registered sends no event.
    if (stop_.load() || !adapter_->plugged()) return false;
    const auto now = Clock::now();
    auto due = next_due();
    int timeout_ms = -1;
    if (due != Clock::time_point::max())
      timeout_ms = due <= now
                       ? 0
                       : int(std::min<int64_t>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1, 60'000));
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int r = ::poll(p, 2, timeout_ms);
    if (r < 0 && errno != EINTR) return false;
    if (p[1].revents) drain_wake();
    adapter_->finish_unplug();
    if (stop_.load() || !adapter_->plugged()) return false;
    if (p[0].revents) {
      if (!receive()) return false;
    }
    answer_due();
    return flush();
  }

  // Reads what has arrived and handles every complete command. False on end of stream, error or a malformed command.
  bool receive() {
    const ssize_t r = ::recv(fd_, in_.data() + in_len_, in_.size() - in_len_, MSG_DONTWAIT);
    if (r == 0) return false;
    if (r < 0) return errno == EAGAIN || errno == EINTR;
    in_len_ += size_t(r);
    size_t off = 0;
    for (;;) {
      if (in_len_ - off < kHeaderSize) break;
      const uint8_t* h = in_.data() + off;
      const std::optional<Header> hdr = parse(h);
      if (!hdr) return false;
      size_t payload = 0;
      if (hdr->command == kCmdSubmit && hdr->direction == 0) payload = hdr->length;
      if (in_len_ - off < kHeaderSize + payload) break;
      if (!handle(*hdr, std::span<const uint8_t>(h + kHeaderSize, payload))) return false;
      off += kHeaderSize + payload;
    }
    std::memmove(in_.data(), in_.data() + off, in_len_ - off);
    in_len_ -= off;
    return true;
  }

  // Checks the fields every command must get right; nullopt closes the connection.
  std::optional<Header> parse(const uint8_t* p) const {
    std::optional<Header> h = parse_header(p, kMaxTransfer);
    if (h && h->devid != devid_) return std::nullopt;
    return h;
  }

  bool pending(uint32_t seqnum) {
    for (const auto& c : controls_)
      if (c.seqnum == seqnum) return true;
    for (const auto& o : outs_)
      if (o.seqnum == seqnum) return true;
    std::lock_guard l(adapter_->mu_);
    for (auto* q : {&*rx_, &*results_})
      for (const auto& t : q->transfers_locked())
        if (t.tag == seqnum) return true;
    return false;
  }

  size_t pending_count() {
    std::lock_guard l(adapter_->mu_);
    return controls_.size() + outs_.size() + rx_->transfers_locked().size() + results_->transfers_locked().size();
  }

  bool handle(const Header& h, std::span<const uint8_t> payload) {
    if (h.command == kCmdUnlink) {
      unlink(h.seqnum, h.flags_or_unlink);
      return true;
    }
    // A sequence number still in use is a broken client: replying twice to it would confuse the host.
    if (pending(h.seqnum) || pending_count() >= kMaxPending) return false;
    const bool in = h.direction == 1;
    if (h.ep == 0) {
      control(h, payload);
      return true;
    }
    const uint8_t address = uint8_t(h.ep | (in ? 0x80 : 0));
    if (address == protocol::kEpRxIn || address == protocol::kEpTxResultIn) {
      std::lock_guard l(adapter_->mu_);
      (address == protocol::kEpRxIn ? *rx_ : *results_).submit_locked(h.seqnum, h.length);
      return true;
    }
    if (address == protocol::kEpBulkOut) {
      PendingOut o;
      o.seqnum = h.seqnum;
      o.data.assign(payload.begin(), payload.end());
      {
        std::lock_guard l(adapter_->mu_);
        o.plan = adapter_->plan_bulk_out_locked(o.data.size());
      }
      outs_.push_back(std::move(o));
      return true;
    }
    // No such endpoint (or the wrong direction): the device does not answer it.
    ret_submit(h.seqnum, -EPIPE, {});
    return true;
  }

  void control(const Header& h, std::span<const uint8_t> payload) {
    const usb::ControlSetup& s = h.setup;
    const bool in = (s.request_type & 0x80) != 0;
    // The setup packet decides the direction; the header and the buffer must agree with it.
    if (in != (h.direction == 1) || (in ? h.length < s.length : h.length != s.length)) {
      ret_submit(h.seqnum, -EINVAL, {});
      return;
    }
    if (UsbDeviceCore::is_standard(s)) {
      const auto reply = core_->answer(s);
      if (reply)
        ret_submit(h.seqnum, 0, *reply);
      else
        ret_submit(h.seqnum, -EPIPE, {});
      return;
    }
    PendingControl c;
    c.seqnum = h.seqnum;
    c.setup = s;
    if (in)
      c.data.resize(s.length);
    else
      c.data.assign(payload.begin(), payload.end());
    c.plan = adapter_->plan_control(s);
    c.due = c.plan.kind == ControlPlan::Kind::Hang
                ? Clock::time_point::max()
                : Clock::now() + std::chrono::duration_cast<Clock::duration>(c.plan.delay);
    controls_.push_back(std::move(c));
  }

  void unlink(uint32_t seqnum, uint32_t target) {
    // A control request not yet answered.
    for (auto it = controls_.begin(); it != controls_.end(); ++it) {
      if (it->seqnum != target) continue;
      record(*it, TransferStatus::Cancelled);
      controls_.erase(it);
      return answer_unlink(seqnum, 0);
    }
    for (auto it = outs_.begin(); it != outs_.end(); ++it) {
      if (it->seqnum != target) continue;
      outs_.erase(it);
      return answer_unlink(seqnum, protocol::kEpBulkOut);
    }
    uint8_t found = 0;
    {
      std::lock_guard l(adapter_->mu_);
      // Completions first, under the same lock: a transfer that finished meanwhile is answered (then unlinked with
      // status 0), so no data the firmware handed over is lost.
      collect_locked();
      for (auto* q : {&*rx_, &*results_}) {
        auto& ts = q->transfers_locked();
        auto it = std::find_if(ts.begin(), ts.end(), [&](const auto& t) { return t.tag == target; });
        if (it == ts.end()) continue;
        q->recycle_locked(std::move(it->buf));
        ts.erase(it);
        found = q == &*rx_ ? protocol::kEpRxIn : protocol::kEpTxResultIn;
        break;
      }
    }
    // Not pending any more: it was answered before the unlink arrived.
    if (found == 0) return ret_unlink(seqnum, 0);
    answer_unlink(seqnum, found);
  }

  // The unlink of a request that was still pending, which is dropped either way (never answered after this). A
  // fault may withhold the answer: vhci-hcd then keeps the request from its caller until the connection closes, as
  // a host controller that never gives a cancelled transfer back.
  void answer_unlink(uint32_t seqnum, uint8_t endpoint) {
    if (auto rule = adapter_->faults().take({FaultTarget::Unlink, 0, false, 0, endpoint});
        rule && rule->action == FaultAction::Timeout)
      return;
    ret_unlink(seqnum, -ECONNRESET);
  }

  // Moves every finished bulk IN transfer into the output, oldest first. Needs the adapter lock.
  void collect_locked() {
    for (auto* q : {&*rx_, &*results_}) {
      auto& ts = q->transfers_locked();
      while (!ts.empty() && ts.front().done) {
        auto& t = ts.front();
        // After an unplug the connection closes instead; nothing is answered.
        if (t.result.status != TransferStatus::Disconnected)
          ret_submit(uint32_t(t.tag), urb_status(t.result), t.data());
        q->recycle_locked(std::move(t.buf));
        ts.pop_front();
      }
    }
  }

  Clock::time_point next_due() {
    Clock::time_point due = Clock::time_point::max();
    if (!controls_.empty()) due = std::min(due, controls_.front().due);
    if (!outs_.empty() && !outs_.front().plan.hang) {
      // A transfer the firmware refused (queue full) is offered again when endpoint 0x02 becomes ready.
      if (!out_busy_ || outs_.front().plan.ready_at > Clock::now()) due = std::min(due, outs_.front().plan.ready_at);
    }
    std::lock_guard l(adapter_->mu_);
    due = std::min({due, rx_->next_due_locked(), results_->next_due_locked()});
    return due;
  }

  void answer_due() {
    // Control requests in order: one that waits holds back the ones behind it, as on endpoint 0.
    while (!controls_.empty() && controls_.front().due <= Clock::now()) {
      PendingControl c = std::move(controls_.front());
      controls_.pop_front();
      usb::TransferOutcome o =
          c.plan.kind == ControlPlan::Kind::End ? c.plan.end : adapter_->answer_control(c.setup, c.data, c.plan);
      if (o.status == TransferStatus::Disconnected) {
        record(c, o.status);
        return;  // the connection closes on the next round
      }
      const bool in = (c.setup.request_type & 0x80) != 0;
      const size_t n = in ? std::min(o.actual, c.data.size()) : 0;
      ret_submit(c.seqnum, urb_status(o), std::span<const uint8_t>(c.data.data(), n), in ? n : o.actual);
      record(c, o.status, n);
    }
    // Bulk OUT in order.
    out_busy_ = false;
    while (!outs_.empty()) {
      PendingOut& o = outs_.front();
      if (o.plan.end) {
        if (o.plan.end->status != TransferStatus::Disconnected) ret_submit(o.seqnum, urb_status(*o.plan.end), {});
      } else {
        if (o.plan.hang || o.plan.ready_at > Clock::now()) break;
        if (!adapter_->bulk_out(std::span<const uint8_t>(o.data.data(), o.plan.limit))) {
          out_busy_ = true;
          break;
        }
        // A partial acceptance completes short: vhci-hcd passes that on, though a real device cannot end an OUT
        // transfer short (it would NAK the rest until the host gives up).
        ret_submit(o.seqnum, 0, {}, o.plan.limit);
      }
      outs_.pop_front();
    }
    std::lock_guard l(adapter_->mu_);
    rx_->pump_locked(Clock::now());
    results_->pump_locked(Clock::now());
    collect_locked();
  }

  void record(const PendingControl& c, TransferStatus status, size_t reply_bytes = 0) {
    ControlRecord rec;
    rec.setup = c.setup;
    const bool in = (c.setup.request_type & 0x80) != 0;
    if (in)
      rec.reply.assign(c.data.begin(), c.data.begin() + std::ptrdiff_t(reply_bytes));
    else
      rec.data = c.data;
    rec.status = status;
    adapter_->record_control(std::move(rec));
  }

  void ret_submit(uint32_t seqnum, int32_t status, std::span<const uint8_t> data, std::optional<size_t> actual = {}) {
    put_ret_submit(out_, seqnum, status, data, actual);
  }
  void ret_unlink(uint32_t seqnum, int32_t status) { put_ret_unlink(out_, seqnum, status); }

  bool flush() {
    if (out_.empty()) return true;
    const bool ok = send_all(out_.data(), out_.size());
    out_.clear();
    return ok;
  }

  UsbipServer& server_;
  std::mutex fd_mu_;  // guards closing fd_ against a concurrent shutdown
  int fd_;
  std::shared_ptr<SimAdapter> adapter_;
  const int wake_fd_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;

  // Owned by the connection thread.
  uint32_t devid_ = 0;
  std::optional<UsbDeviceCore> core_;
  std::optional<BulkInQueue> rx_;
  std::optional<BulkInQueue> results_;
  std::deque<PendingControl> controls_;
  std::deque<PendingOut> outs_;
  bool out_busy_ = false;
  std::vector<uint8_t> in_;
  size_t in_len_ = 0;
  std::vector<uint8_t> out_;
};

}  // namespace

std::unique_ptr<Connection> Connection::create(UsbipServer& server, int fd, std::shared_ptr<SimAdapter> adapter) {
  return std::make_unique<ServedConnection>(server, fd, std::move(adapter));
}

}  // namespace tavro::sim::usbip
