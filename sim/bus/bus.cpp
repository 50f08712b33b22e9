// The simulated CAN bus: the wire scheduler thread, arbitration, acknowledgement and error counters. One mutex
// guards all bus state; callbacks are collected under it and made after it is released.
#include "bus/bus.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/platform.hpp"

namespace tavro::sim {

namespace {

// An unacknowledged attempt: the error flag starts at the ACK delimiter, so the frame is cut after the ACK slot
// (ACK delimiter, EOF and IFS = 11 bits dropped) and error flag 6 + delimiter 8 + IFS 3 follow.
constexpr uint32_t kAckErrorExtraBits = 6;
constexpr uint32_t kSuspendTransmissionBits = 8;

using Clock = std::chrono::steady_clock;

// The arbitration field as one number, most significant bit first, so that the lower value wins as a dominant
// bit does: base id, RTR (standard) or SRR (extended, recessive), IDE, extension, RTR (extended).
uint64_t arbitration_key(const BusFrame& f) noexcept {
  const uint64_t rtr = f.remote ? 1 : 0;
  if (f.extended) {
    const uint64_t id = f.id & 0x1FFFFFFF;
    return (id >> 18) << 21 | 1ull << 20 | 1ull << 19 | (id & 0x3FFFF) << 1 | rtr;
  }
  return uint64_t(f.id & 0x7FF) << 21 | rtr << 20;
}

BusFrame sanitized(const BusFrame& in) noexcept {
  BusFrame f = in;
  f.id &= f.extended ? 0x1FFFFFFFu : 0x7FFu;
  f.error = false;  // nodes send data and remote frames only
  return f;
}

// A growable ring (power-of-two capacity) so that steady-state queueing allocates nothing.
template <class T>
class Ring {
 public:
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return buf_[(head_ + i) & (buf_.size() - 1)]; }
  const T& operator[](size_t i) const noexcept { return buf_[(head_ + i) & (buf_.size() - 1)]; }
  T& front() noexcept { return (*this)[0]; }
  void push_back(const T& v) {
    if (size_ == buf_.size()) grow();
    buf_[(head_ + size_) & (buf_.size() - 1)] = v;
    ++size_;
  }
  void pop_front() noexcept {
    head_ = (head_ + 1) & (buf_.size() - 1);
    --size_;
  }
  void erase(size_t i) noexcept {
    for (size_t j = i; j + 1 < size_; ++j) (*this)[j] = (*this)[j + 1];
    --size_;
  }
  void truncate(size_t n) noexcept { size_ = std::min(size_, n); }
  void release() noexcept {
    std::vector<T>().swap(buf_);
    head_ = size_ = 0;
  }

 private:
  void grow() {
    std::vector<T> bigger(std::max<size_t>(16, buf_.size() * 2));
    for (size_t i = 0; i < size_; ++i) bigger[i] = (*this)[i];
    buf_.swap(bigger);
    head_ = 0;
  }
  std::vector<T> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
};

class WireLog {
 public:
  void push(const WireRecord& r) {
    if (buf_.size() < kWireLogCapacity) {
      buf_.push_back(r);
      return;
    }
    buf_[oldest_] = r;
    oldest_ = (oldest_ + 1) % kWireLogCapacity;
  }
  std::vector<WireRecord> take() {
    std::vector<WireRecord> out;
    if (oldest_ == 0) {
      out.swap(buf_);
    } else {
      out.reserve(buf_.size());
      out.insert(out.end(), buf_.begin() + ptrdiff_t(oldest_), buf_.end());
      out.insert(out.end(), buf_.begin(), buf_.begin() + ptrdiff_t(oldest_));
      buf_.clear();
    }
    oldest_ = 0;
    return out;
  }

 private:
  std::vector<WireRecord> buf_;
  size_t oldest_ = 0;  // index of the oldest record once the log is full
};

struct Pending {
  BusFrame frame;
  uint64_t tag = 0;
  uint64_t ready_ns = 0;  // when it was queued, on the bus clock
};

struct Node {
  int id = -1;
  BusNode* sink = nullptr;
  bool attached = true;
  NodeConfig cfg;
  Ring<Pending> queue;
  bool head_on_wire = false;
  uint32_t tec = 0;
  uint32_t rec = 0;
  uint32_t bus_off_count = 0;
  bool bus_off = false;
  NodeErrorState reported;  // what the node was last told

  bool running() const noexcept { return attached && cfg.bitrate != 0 && !bus_off; }
  bool can_send() const noexcept { return running() && !cfg.listen_only; }
  bool passive() const noexcept { return tec >= 128 || rec >= 128; }
  NodeErrorState error_state() const noexcept {
    NodeErrorState s;
    s.state = bus_off ? 3 : passive() ? 2 : (tec >= 96 || rec >= 96) ? 1 : 0;
    s.rx_errors = std::min<uint32_t>(rec, 255);
    s.tx_errors = std::min<uint32_t>(tec, 255);
    s.bus_off_count = bus_off_count;
    return s;
  }
};

enum class CallKind : uint8_t { Received, Done, State };

// One callback, collected under the bus lock and made after it is released.
struct Call {
  BusNode* sink = nullptr;  // null: withdrawn (the node detached)
  int node = -1;
  CallKind kind = CallKind::Received;
  TxVerdict verdict = TxVerdict::Success;
  uint64_t tag = 0;
  uint64_t time_us = 0;
  BusFrame frame;
  NodeErrorState state;
};

enum class Source : uint8_t { Node, Inject, Stream };

// The frame currently on the wire.
struct Wire {
  bool active = false;
  Source source = Source::Node;
  int node = -1;
  bool head_valid = false;  // the sender's queue head is still this frame (not withdrawn by detach or bus-off)
  bool aborted = false;     // destroyed by the sender going bus-off
  bool acked = false;       // decided when it starts: it sets how long the wire is held
  uint32_t bitrate = 0;
  uint64_t stream_generation = 0;
  uint64_t start_ns = 0;
  uint64_t end_ns = 0;
  BusFrame frame;
};

struct External {
  BusFrame frame;
  uint32_t bitrate = 0;
  uint64_t ready_ns = 0;
};

struct Stream {
  bool on = false;
  uint64_t generation = 0;
  BusFrame frame;
  uint32_t bitrate = 0;
  uint32_t bits = 0;
  double rate_fps = 0;
  uint64_t count = 0;
  uint64_t sent = 0;
  uint64_t start_ns = 0;
  uint64_t next_ready_ns = 0;
};

constexpr int kMaxFramesPerBatch = 256;

uint64_t wire_ns(uint32_t bits, uint32_t bitrate) noexcept {
  return bitrate == 0 ? 0 : uint64_t(bits) * 1000000000ull / bitrate;
}

// All bus state and the scheduler loop. Shared by the SimBus facade and the bus thread, so that the last owner
// may drop the facade even from a callback.
class BusScheduler {
 public:
  BusScheduler() : t0_(Clock::now()) {}

  uint64_t now_ns() const noexcept {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0_).count());
  }

  void run();
  void request_stop();

  int attach(BusNode* node);
  void detach(int node_id);
  void configure(int node_id, const NodeConfig& config);
  bool transmit(int node_id, const BusFrame& frame, uint64_t tag);
  bool cancel(int node_id, uint64_t tag);
  void flush(int node_id);
  NodeErrorState error_state(int node_id) const;
  void reset_errors(int node_id);
  void set_unlimited_speed(bool on);
  void set_ack_peer(bool on);
  void set_paused(bool on);
  void inject(const std::vector<BusFrame>& frames, uint32_t bitrate);
  void start_stream(const BusFrame& frame, uint32_t bitrate, double rate_fps, uint64_t count);
  void stop_stream();
  void inject_error(int node_id, uint32_t target_state);
  std::vector<WireRecord> take_wire_log();

 private:
  // Everything below is guarded by mu_ unless it says otherwise.
  Node* live(int node_id) const noexcept {
    if (node_id < 0 || size_t(node_id) >= nodes_.size()) return nullptr;
    Node* n = nodes_[size_t(node_id)].get();
    return n->attached ? n : nullptr;
  }
  void wake() {
    kick_ = true;
    wake_cv_.notify_one();
  }
  void push_done(Node& n, uint64_t tag, TxVerdict v, uint64_t t_us) {
    Call& c = calls_.emplace_back();
    c.sink = n.sink;
    c.node = n.id;
    c.kind = CallKind::Done;
    c.tag = tag;
    c.verdict = v;
    c.time_us = t_us;
  }
  void push_received(Node& n, const BusFrame& f, uint64_t t_us) {
    Call& c = calls_.emplace_back();
    c.sink = n.sink;
    c.node = n.id;
    c.kind = CallKind::Received;
    c.frame = f;
    c.time_us = t_us;
  }
  // Tells the node about changed counters or state; cheap when nothing changed.
  void note_state(Node& n) {
    const NodeErrorState s = n.error_state();
    if (s == n.reported) return;
    n.reported = s;
    Call& c = calls_.emplace_back();
    c.sink = n.sink;
    c.node = n.id;
    c.kind = CallKind::State;
    c.state = s;
  }
  // Withdraws every queued transmission that has not started on the wire.
  void cancel_queued(Node& n, uint64_t t_us) {
    const size_t keep = n.head_on_wire ? 1 : 0;
    for (size_t i = keep; i < n.queue.size(); ++i) push_done(n, n.queue[i].tag, TxVerdict::Cancelled, t_us);
    n.queue.truncate(keep);
  }
  void clear_errors(Node& n) {
    n.tec = 0;
    n.rec = 0;
    n.bus_off = false;
    note_state(n);
  }
  void enter_bus_off(Node& n, uint64_t t_us);
  bool advance();
  bool start_next(uint64_t now);
  void finish();
  bool acknowledged_by_someone(const Node* sender, uint32_t bitrate) const;
  void run_calls(std::unique_lock<std::mutex>& lk);

  const Clock::time_point t0_;
  mutable std::mutex mu_;
  std::condition_variable wake_cv_;   // the bus thread waits here
  std::condition_variable batch_cv_;  // detach() waits here for a running batch of callbacks to end
  bool stop_ = false;
  std::atomic<bool> stopping_{false};  // stop_ for the callback loop, which runs without mu_
  bool kick_ = false;                  // something needs the bus thread's attention
  bool idle_ = false;                  // the bus thread waits with nothing on the wire
  bool unlimited_ = false;
  bool ack_peer_ = true;
  bool paused_ = false;
  std::vector<std::unique_ptr<Node>> nodes_;  // by id; detached nodes keep their slot so ids are never reused
  std::vector<Node*> live_;                   // attached nodes in id order
  Wire wire_;
  uint64_t free_at_ns_ = 0;  // end of the last frame on the wire
  Ring<External> injected_;
  Stream stream_;
  WireLog log_;
  std::vector<Call> calls_;  // collected callbacks, made by the bus thread in order
  bool in_callbacks_ = false;
  uint64_t batch_seq_ = 0;
  int batch_waiters_ = 0;
  std::thread::id thread_id_;
  // Bus thread only.
  std::vector<Call> running_;
  size_t call_pos_ = 0;
};

void BusScheduler::run() {
  platform::name_current_thread("tavro-sim-bus");
  // Frames at 1 Mbit/s last about 100 us; a coarse timer would blur their end times.
  const platform::FineTimers fine_timers;
  std::unique_lock lk(mu_);
  thread_id_ = std::this_thread::get_id();
  while (!stop_) {
    kick_ = false;
    const bool more = advance();
    if (!calls_.empty()) {
      run_calls(lk);
      continue;
    }
    if (more) continue;
    uint64_t deadline_ns = 0;
    if (wire_.active && !unlimited_) {
      deadline_ns = wire_.end_ns;
    } else if (!wire_.active && !paused_ && stream_.on) {
      deadline_ns = stream_.next_ready_ns;
    }
    auto pred = [this] { return stop_ || kick_; };
    idle_ = !wire_.active;
    if (deadline_ns != 0) {
      wake_cv_.wait_until(lk, t0_ + std::chrono::nanoseconds(deadline_ns), pred);
    } else {
      wake_cv_.wait(lk, pred);
    }
    idle_ = false;
  }
}

void BusScheduler::request_stop() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
    stopping_ = true;
  }
  wake_cv_.notify_all();
}

// Ends the frames that are due and starts the next ones, at most a batch of them, so that callbacks are not held
// back for long. Returns true when more may be due right away.
bool BusScheduler::advance() {
  uint64_t now = now_ns();
  for (int i = 0; i < kMaxFramesPerBatch; ++i) {
    if (wire_.active) {
      if (!unlimited_ && wire_.end_ns > now) return false;
      finish();
    }
    if (paused_ || !start_next(now)) return false;
    if (!unlimited_ && wire_.end_ns > now) {
      now = now_ns();
      if (wire_.end_ns > now) return false;
    }
  }
  return true;
}

bool BusScheduler::acknowledged_by_someone(const Node* sender, uint32_t bitrate) const {
  if (ack_peer_) return true;
  for (const Node* n : live_) {
    if (n == sender || !n->running() || n->cfg.listen_only) continue;
    if (bitrate == 0 || n->cfg.bitrate == bitrate) return true;
  }
  return false;
}

bool BusScheduler::start_next(uint64_t now) {
  // Everything queued by nodes or injected is ready by `now` (both are stamped under mu_); only a rate-limited
  // stream can be ready later.
  const bool stream_ready =
      stream_.on && (stream_.count == 0 || stream_.sent < stream_.count) && stream_.next_ready_ns <= now;
  uint64_t min_ready = UINT64_MAX;
  for (Node* n : live_) {
    if (n->can_send() && !n->queue.empty()) min_ready = std::min(min_ready, n->queue.front().ready_ns);
  }
  if (!injected_.empty()) min_ready = std::min(min_ready, injected_.front().ready_ns);
  if (stream_ready) min_ready = std::min(min_ready, stream_.next_ready_ns);
  if (min_ready == UINT64_MAX) return false;

  // The wire is free since free_at_ns_: the frame starts when the wire became free or when the first contender
  // became ready, whichever is later, and competes with everything that was ready by then.
  const uint64_t start = unlimited_ ? std::max(free_at_ns_, now) : std::max(free_at_ns_, min_ready);
  const uint64_t horizon = unlimited_ ? now : start;

  Source src = Source::Node;
  Node* winner = nullptr;
  const BusFrame* frame = nullptr;
  uint64_t best = UINT64_MAX;
  for (Node* n : live_) {
    if (!n->can_send() || n->queue.empty() || n->queue.front().ready_ns > horizon) continue;
    const uint64_t key = arbitration_key(n->queue.front().frame);
    if (key < best) {
      best = key;
      winner = n;
      frame = &n->queue.front().frame;
    }
  }
  if (!injected_.empty() && injected_.front().ready_ns <= horizon) {
    const uint64_t key = arbitration_key(injected_.front().frame);
    if (key < best) {
      best = key;
      src = Source::Inject;
      winner = nullptr;
      frame = &injected_.front().frame;
    }
  }
  if (stream_ready && stream_.next_ready_ns <= horizon) {
    const uint64_t key = arbitration_key(stream_.frame);
    if (key < best) {
      best = key;
      src = Source::Stream;
      winner = nullptr;
      frame = &stream_.frame;
    }
  }

  Wire& w = wire_;
  w.active = true;
  w.source = src;
  w.node = winner ? winner->id : -1;
  w.head_valid = winner != nullptr;
  w.aborted = false;
  w.frame = *frame;
  w.bitrate = src == Source::Node     ? winner->cfg.bitrate
              : src == Source::Inject ? injected_.front().bitrate
                                      : stream_.bitrate;
  w.stream_generation = stream_.generation;
  w.start_ns = start;
  w.acked = acknowledged_by_someone(winner, w.bitrate);
  if (unlimited_ || w.bitrate == 0) {
    w.end_ns = start;
  } else {
    uint32_t bits = src == Source::Stream ? stream_.bits : frame_bit_count(w.frame);
    if (!w.acked) bits += kAckErrorExtraBits + (winner && winner->passive() ? kSuspendTransmissionBits : 0);
    w.end_ns = start + wire_ns(bits, w.bitrate);
  }
  if (winner) winner->head_on_wire = true;

  // One-shot contenders that lost give up; the others try again when the wire is free.
  for (Node* n : live_) {
    if (n == winner || !n->cfg.one_shot || !n->can_send() || n->queue.empty()) continue;
    if (n->queue.front().ready_ns > horizon) continue;
    push_done(*n, n->queue.front().tag, TxVerdict::ArbitrationLost, start / 1000);
    n->queue.pop_front();
  }
  return true;
}

void BusScheduler::enter_bus_off(Node& n, uint64_t t_us) {
  n.bus_off = true;
  n.tec = 256;
  ++n.bus_off_count;
  note_state(n);
  for (size_t i = 0; i < n.queue.size(); ++i) push_done(n, n.queue[i].tag, TxVerdict::Failed, t_us);
  n.queue.truncate(0);
  if (n.head_on_wire && wire_.active && wire_.node == n.id) {
    wire_.head_valid = false;
    wire_.aborted = true;
  }
  n.head_on_wire = false;
}

void BusScheduler::finish() {
  Wire& w = wire_;
  w.active = false;
  free_at_ns_ = w.end_ns;
  const uint64_t t_us = w.end_ns / 1000;
  const bool delivered = w.acked && !w.aborted;
  log_.push(WireRecord{w.frame, w.start_ns / 1000, t_us, w.node, delivered});

  Node* sender = w.node >= 0 ? nodes_[size_t(w.node)].get() : nullptr;
  if (sender && w.head_valid) {
    sender->head_on_wire = false;
    const uint64_t tag = sender->queue.front().tag;
    if (delivered) {
      sender->queue.pop_front();
      push_done(*sender, tag, TxVerdict::Success, t_us);
      if (sender->tec > 0) --sender->tec;
      note_state(*sender);
    } else {
      sender->tec += 8;
      if (sender->tec >= 256) {
        enter_bus_off(*sender, t_us);
      } else {
        note_state(*sender);
        if (sender->cfg.one_shot) {
          sender->queue.pop_front();
          push_done(*sender, tag, TxVerdict::Failed, t_us);
        }
      }
    }
  }

  if (delivered) {
    for (Node* n : live_) {
      if (!n->running()) continue;
      if (n == sender) {
        if (n->cfg.loopback && w.head_valid) push_received(*n, w.frame, t_us);
        continue;
      }
      if (w.bitrate != 0 && n->cfg.bitrate != w.bitrate) continue;
      push_received(*n, w.frame, t_us);
      if (n->rec > 127) {
        n->rec = 127;
      } else if (n->rec > 0) {
        --n->rec;
      }
      note_state(*n);
    }
  }

  // External senders send once: an unacknowledged external frame is dropped.
  if (w.source == Source::Inject) {
    injected_.pop_front();
  } else if (w.source == Source::Stream && w.stream_generation == stream_.generation && stream_.on) {
    ++stream_.sent;
    if (stream_.count != 0 && stream_.sent >= stream_.count) {
      stream_.on = false;
    } else if (stream_.rate_fps > 0) {
      stream_.next_ready_ns = stream_.start_ns + uint64_t(double(stream_.sent) * 1e9 / stream_.rate_fps);
    } else {
      stream_.next_ready_ns = w.end_ns;
    }
  }
}

void BusScheduler::run_calls(std::unique_lock<std::mutex>& lk) {
  running_.swap(calls_);
  in_callbacks_ = true;
  lk.unlock();
  for (call_pos_ = 0; call_pos_ < running_.size(); ++call_pos_) {
    const Call& c = running_[call_pos_];
    if (c.sink == nullptr) continue;
    if (stopping_.load(std::memory_order_relaxed)) break;  // shut down from a callback: no more calls
    switch (c.kind) {
      case CallKind::Received: c.sink->bus_frame_received(c.frame, c.time_us); break;
      case CallKind::Done: c.sink->bus_transmit_done(c.tag, c.verdict, c.time_us); break;
      case CallKind::State: c.sink->bus_error_state_changed(c.state); break;
    }
  }
  running_.clear();
  lk.lock();
  in_callbacks_ = false;
  ++batch_seq_;
  if (batch_waiters_ > 0) batch_cv_.notify_all();
}

int BusScheduler::attach(BusNode* node) {
  if (node == nullptr) return -1;
  std::lock_guard lk(mu_);
  auto n = std::make_unique<Node>();
  n->id = int(nodes_.size());
  n->sink = node;
  live_.push_back(n.get());
  nodes_.push_back(std::move(n));
  return live_.back()->id;
}

void BusScheduler::detach(int node_id) {
  std::vector<std::pair<uint64_t, TxVerdict>> reports;
  BusNode* sink = nullptr;
  {
    std::unique_lock lk(mu_);
    Node* n = live(node_id);
    if (n == nullptr) return;
    n->attached = false;
    live_.erase(std::find(live_.begin(), live_.end(), n));
    sink = n->sink;
    const bool on_bus_thread = std::this_thread::get_id() == thread_id_;
    // Verdicts decided but not yet made are given now, in order: the rest of the running batch (only reachable
    // from the bus thread itself), then what was collected since.
    if (on_bus_thread) {
      for (size_t i = call_pos_ + 1; i < running_.size(); ++i) {
        Call& c = running_[i];
        if (c.node != node_id || c.sink == nullptr) continue;
        if (c.kind == CallKind::Done) reports.emplace_back(c.tag, c.verdict);
        c.sink = nullptr;
      }
    }
    auto kept = calls_.begin();
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
      if (it->node == node_id) {
        if (it->kind == CallKind::Done && it->sink != nullptr) reports.emplace_back(it->tag, it->verdict);
        continue;
      }
      if (kept != it) *kept = *it;
      ++kept;
    }
    calls_.erase(kept, calls_.end());
    for (size_t i = 0; i < n->queue.size(); ++i) reports.emplace_back(n->queue[i].tag, TxVerdict::Cancelled);
    n->queue.release();
    if (n->head_on_wire && wire_.active && wire_.node == node_id) wire_.head_valid = false;
    n->head_on_wire = false;
    // A batch that is being made may still call this node; wait for it to end. The bus thread itself is inside
    // such a call and has withdrawn the rest above.
    if (!on_bus_thread && in_callbacks_) {
      const uint64_t seq = batch_seq_;
      ++batch_waiters_;
      batch_cv_.wait(lk, [&] { return !in_callbacks_ || batch_seq_ != seq; });
      --batch_waiters_;
    }
  }
  const uint64_t t_us = now_ns() / 1000;
  for (const auto& [tag, verdict] : reports) sink->bus_transmit_done(tag, verdict, t_us);
}

void BusScheduler::configure(int node_id, const NodeConfig& config) {
  std::lock_guard lk(mu_);
  Node* n = live(node_id);
  if (n == nullptr) return;
  n->cfg = config;
  if (n->bus_off) clear_errors(*n);
  if (config.bitrate == 0 || config.listen_only) cancel_queued(*n, now_ns() / 1000);
  if (!calls_.empty()) wake();
}

bool BusScheduler::transmit(int node_id, const BusFrame& frame, uint64_t tag) {
  std::unique_lock lk(mu_);
  if (stop_) return false;
  Node* n = live(node_id);
  if (n == nullptr || !n->can_send()) return false;
  n->queue.push_back(Pending{sanitized(frame), tag, now_ns()});
  // With a frame on the wire the bus thread looks at the queues when it ends anyway.
  if (idle_) {
    kick_ = true;
    lk.unlock();
    wake_cv_.notify_one();
  }
  return true;
}

bool BusScheduler::cancel(int node_id, uint64_t tag) {
  std::lock_guard lk(mu_);
  Node* n = live(node_id);
  if (n == nullptr) return false;
  for (size_t i = n->head_on_wire ? 1 : 0; i < n->queue.size(); ++i) {
    if (n->queue[i].tag != tag) continue;
    n->queue.erase(i);
    push_done(*n, tag, TxVerdict::Cancelled, now_ns() / 1000);
    wake();
    return true;
  }
  return false;
}

void BusScheduler::flush(int node_id) {
  std::lock_guard lk(mu_);
  Node* n = live(node_id);
  if (n == nullptr) return;
  cancel_queued(*n, now_ns() / 1000);
  if (!calls_.empty()) wake();
}

NodeErrorState BusScheduler::error_state(int node_id) const {
  std::lock_guard lk(mu_);
  const Node* n = live(node_id);
  return n ? n->error_state() : NodeErrorState{};
}

void BusScheduler::reset_errors(int node_id) {
  std::lock_guard lk(mu_);
  Node* n = live(node_id);
  if (n == nullptr) return;
  clear_errors(*n);
  if (!calls_.empty()) wake();
}

void BusScheduler::set_unlimited_speed(bool on) {
  std::lock_guard lk(mu_);
  unlimited_ = on;
  // A frame on the wire ends now rather than at a time the bus clock has not reached.
  if (on && wire_.active) wire_.end_ns = std::min(wire_.end_ns, std::max(wire_.start_ns, now_ns()));
  wake();
}

void BusScheduler::set_ack_peer(bool on) {
  std::lock_guard lk(mu_);
  ack_peer_ = on;
}

void BusScheduler::set_paused(bool on) {
  std::lock_guard lk(mu_);
  // The wire counts as busy until the release, so that everything queued meanwhile competes together.
  if (paused_ && !on) free_at_ns_ = std::max(free_at_ns_, now_ns());
  paused_ = on;
  wake();
}

void BusScheduler::inject(const std::vector<BusFrame>& frames, uint32_t bitrate) {
  std::lock_guard lk(mu_);
  if (frames.empty()) return;
  const uint64_t now = now_ns();
  for (const BusFrame& f : frames) injected_.push_back(External{sanitized(f), bitrate, now});
  wake();
}

void BusScheduler::start_stream(const BusFrame& frame, uint32_t bitrate, double rate_fps, uint64_t count) {
  std::lock_guard lk(mu_);
  Stream& s = stream_;
  s.on = true;
  ++s.generation;
  s.frame = sanitized(frame);
  s.bitrate = bitrate;
  s.bits = frame_bit_count(s.frame);
  s.rate_fps = rate_fps > 0 ? rate_fps : 0;
  s.count = count;
  s.sent = 0;
  s.start_ns = now_ns();
  s.next_ready_ns = s.start_ns;
  wake();
}

void BusScheduler::stop_stream() {
  std::lock_guard lk(mu_);
  stream_.on = false;
  ++stream_.generation;
}

void BusScheduler::inject_error(int node_id, uint32_t target_state) {
  if (target_state > 3) return;
  std::lock_guard lk(mu_);
  const uint64_t t_us = now_ns() / 1000;
  bool logged = false;
  for (Node* n : live_) {
    if ((node_id != -1 && n->id != node_id) || !n->running()) continue;
    BusFrame ef;
    ef.error = true;
    ef.dlc = 8;
    switch (target_state) {
      case 0:
        n->rec = std::min<uint32_t>(n->rec + 1, 255);
        ef.id = kCanErrProt;
        break;
      case 1:
        n->tec = std::max<uint32_t>(n->tec, 96);
        ef.id = kCanErrCrtl;
        ef.data[1] = kCanErrCrtlTxWarning | (n->rec >= 96 ? kCanErrCrtlRxWarning : 0);
        break;
      case 2:
        n->tec = std::max<uint32_t>(n->tec, 128);
        ef.id = kCanErrCrtl;
        ef.data[1] = kCanErrCrtlTxPassive | (n->rec >= 128 ? kCanErrCrtlRxPassive : 0);
        break;
      default: ef.id = kCanErrBusOff; break;
    }
    ef.id |= kCanErrCnt;
    // The state change comes first, so that a node answering the error frame already sees its new state.
    if (target_state == 3) {
      enter_bus_off(*n, t_us);
    } else {
      note_state(*n);
    }
    ef.data[6] = uint8_t(std::min<uint32_t>(n->tec, 255));
    ef.data[7] = uint8_t(std::min<uint32_t>(n->rec, 255));
    push_received(*n, ef, t_us);
    if (!logged) {
      log_.push(WireRecord{ef, t_us, t_us, -1, false});
      logged = true;
    }
  }
  if (!calls_.empty()) wake();
}

std::vector<WireRecord> BusScheduler::take_wire_log() {
  std::lock_guard lk(mu_);
  return log_.take();
}

// The facade owns the thread; the BusScheduler outlives it while the thread still runs.
class SimBusImpl final : public SimBus {
 public:
  SimBusImpl() : scheduler_(std::make_shared<BusScheduler>()) {
    thread_ = std::thread([scheduler = scheduler_] { scheduler->run(); });
  }
  ~SimBusImpl() override { SimBusImpl::shutdown(); }

  int attach(BusNode* node) override { return scheduler_->attach(node); }
  void detach(int node_id) override { scheduler_->detach(node_id); }
  void configure(int node_id, const NodeConfig& config) override { scheduler_->configure(node_id, config); }
  bool transmit(int node_id, const BusFrame& frame, uint64_t tag) override {
    return scheduler_->transmit(node_id, frame, tag);
  }
  bool cancel(int node_id, uint64_t tag) override { return scheduler_->cancel(node_id, tag); }
  void flush(int node_id) override { scheduler_->flush(node_id); }
  NodeErrorState error_state(int node_id) const override { return scheduler_->error_state(node_id); }
  void reset_errors(int node_id) override { scheduler_->reset_errors(node_id); }
  uint64_t now_us() const override { return scheduler_->now_ns() / 1000; }
  void set_unlimited_speed(bool on) override { scheduler_->set_unlimited_speed(on); }
  void set_ack_peer(bool on) override { scheduler_->set_ack_peer(on); }
  void set_paused(bool on) override { scheduler_->set_paused(on); }
  void inject(const std::vector<BusFrame>& frames, uint32_t bitrate) override { scheduler_->inject(frames, bitrate); }
  void start_stream(const BusFrame& frame, uint32_t bitrate, double rate_fps, uint64_t count) override {
    scheduler_->start_stream(frame, bitrate, rate_fps, count);
  }
  void stop_stream() override { scheduler_->stop_stream(); }
  void inject_error(int node_id, uint32_t target_state) override { scheduler_->inject_error(node_id, target_state); }
  std::vector<WireRecord> take_wire_log() override { return scheduler_->take_wire_log(); }

  void shutdown() override {
    scheduler_->request_stop();
    std::thread t;
    {
      std::lock_guard lk(thread_mu_);
      t = std::move(thread_);
    }
    if (!t.joinable()) return;
    // Dropped from one of its own callbacks: the thread ends by itself and keeps the BusScheduler alive until then.
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();
    } else {
      t.join();
    }
  }

 private:
  std::shared_ptr<BusScheduler> scheduler_;
  std::mutex thread_mu_;  // only hands the thread object to the one caller that joins it
  std::thread thread_;
};

}  // namespace

std::shared_ptr<SimBus> SimBus::create() { return std::make_shared<SimBusImpl>(); }

}  // namespace tavro::sim
