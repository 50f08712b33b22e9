// Periodic transmission: the task table and the worker "tavro-periodic-send".
#include "handle/periodic.hpp"

#include <string>
#include <system_error>

#include "handle/handle.hpp"
#include "platform/platform.hpp"
#include "session/bus_session.hpp"

namespace tavro {
namespace {

constexpr const char* kThreadName = "tavro-periodic-send";
// Each frame must reach the adapter (and, when confirmed, be confirmed) within this time of the lock attempt.
constexpr auto kFrameBudget = std::chrono::milliseconds(50);
// Sleeps are cut into slices so that a far-away due time never reaches the clock's limits.
constexpr auto kLongestSleep = std::chrono::hours(1);

TimePoint add_capped(TimePoint t, Duration d) {
  if (t > TimePoint::max() - d) return TimePoint::max();
  return t + d;
}

const char* tx_status_name(TxStatus s) {
  switch (s) {
    case TxStatus::Success: return "Success";
    case TxStatus::Failed: return "Failed";
    case TxStatus::ArbitrationLost: return "ArbitrationLost";
    case TxStatus::Cancelled: return "Cancelled";
  }
  return "Unknown";
}

// Diagnostic form of a transmission result in the task's error text.
std::string render_result(const TxResult& r) {
  if (!r.is_terminal()) return std::string("Uncertain(") + uncertainty_reason_name(r.reason()) + ")";
  return "Terminal(TxResult { echo_id: " + std::to_string(r.tx_id()) + ", status: " + tx_status_name(r.status()) +
         ", flags: " + std::to_string(r.flags()) + ", timestamp_us: " + std::to_string(r.timestamp_us()) + " })";
}

enum class Sent { Yes, Stopped };

// One frame: lock, state checks, write (and, when confirmed, the verdict), all within the frame budget.
Op<Sent> send_one(DeviceShared& shared, PeriodicControl& control, const CanFrame& frame, uint64_t generation) {
  const TimePoint budget_end = Clock::now() + kFrameBudget;
  auto locked = shared.lock_state_until(budget_end);
  if (!locked.ok()) return std::move(locked).error();
  StateLock lk = std::move(locked.value());
  shared.state_lock().assert_held();
  // A configuration change sets the stop flag under state_lock before it detaches: a task that waited for the
  // lock meanwhile has simply been stopped.
  if (control.stop_requested()) return Sent::Stopped;
  if (shared.flags()->generation.load() != generation)
    return OpError::refused("Periodic task stopped after CAN session changed");
  auto session = shared.check_running();
  if (!session.ok()) return std::move(session).error();
  auto left = remaining_until(budget_end);
  if (!left.ok()) return std::move(left).error();

  if (shared.state().confirmation_mode == 0) {
    TxWriteResult w = session.value()->send_unconfirmed(frame, left.value());
    if (!w.status.ok()) return shared.transmit_error(w.status.error(), *session.value());
    return Sent::Yes;
  }
  auto submitted = session.value()->submit_confirmed(frame, left.value());
  if (!submitted.ok()) return shared.transmit_error(submitted.error(), *session.value());
  // A task that fails gives its ticket up: nobody else holds it, and a pending one would lock the configuration.
  const TxTicketHandle& handle = submitted.value().ticket;
  if (submitted.value().write_error) {
    session.value()->resolve_without_verdict(handle, UncertaintyReason::TransportFailure);
    return OpError::refused("Periodic TX delivery uncertain after USB error: " + submitted.value().write_error->text());
  }
  // The verdict is awaited without state_lock, so other callers of the handle are not held up meanwhile.
  std::shared_ptr<TxTicket> ticket = handle.ticket;
  lk.unlock();
  std::optional<TxResult> result = ticket->wait_until(budget_end);
  if (!result) {
    session.value()->resolve_without_verdict(handle, UncertaintyReason::CancelUnconfirmed);
    return OpError::expired(kTxUncertainTimeout);
  }
  if (!result->is_terminal() || result->status() != TxStatus::Success)
    return OpError::refused("Periodic TX did not succeed: " + render_result(*result));
  return Sent::Yes;
}

// The slot whose due time last passed at `now` (0 before the first).
uint64_t slot_at(TimePoint start, Duration period, TimePoint now) {
  if (now <= start) return 0;
  return static_cast<uint64_t>((now - start) / period);
}

TimePoint due_time(TimePoint start, Duration period, uint64_t slot) {
  const auto max_slots = static_cast<uint64_t>((TimePoint::max() - start) / period);
  if (slot >= max_slots) return TimePoint::max();
  return start + period * static_cast<Duration::rep>(slot);
}

void run_worker(const std::shared_ptr<DeviceShared>& shared, PeriodicControl& control, const PeriodicSchedule& schedule,
                TimePoint start) {
  // The default timer slack (50 us on Linux) would make every wake-up of a 1 kHz task that much late.
  platform::FineTimers fine_timers;
  const std::optional<TimePoint> end =
      schedule.duration ? std::optional<TimePoint>(add_capped(start, *schedule.duration)) : std::nullopt;
  uint64_t next = 0;      // the slot due next
  uint64_t position = 0;  // frames sent: the rotation's counter
  for (;;) {
    if (control.stop_requested()) return;
    const TimePoint now = Clock::now();
    // The first frame goes out however late this thread started (a busy machine can start it after a short
    // duration has passed); only a duration of 0 sends nothing.
    if (end && now >= *end && (position > 0 || *end <= start)) return;
    const SlotPlan plan = plan_slot(next, slot_at(start, schedule.period, now));
    std::optional<CanFrame> frame = control.frame_at(position);
    if (!frame) return;
    Op<Sent> sent = send_one(*shared, control, *frame, schedule.generation);
    if (!sent.ok()) {
      // Failures that follow a deliberate stop are its consequence, not the task's fault.
      if (!control.stop_requested()) control.set_error(std::move(sent).error());
      return;
    }
    if (sent.value() == Sent::Stopped) return;
    ++position;
    control.count(1, plan.late ? 1 : 0, plan.skipped);
    next = plan.slot + 1;
    const TimePoint due = due_time(start, schedule.period, next);
    control.sleep_until(end ? std::min(due, *end) : due);
  }
}

}  // namespace

SlotPlan plan_slot(uint64_t next, uint64_t now_slot) noexcept {
  if (now_slot <= next) return {next, 0, false};
  // now_slot - next frames are behind the one due at `next`.
  const uint64_t behind = now_slot - next;
  const uint64_t skipped = behind > kCatchUp ? behind - kCatchUp : 0;
  return {next + skipped, skipped, true};
}

// ---- PeriodicControl ---------------------------------------------------------------------------------------------

void PeriodicControl::request_stop() {
  {
    // Stored under the mutex so that a worker between its check and its wait cannot miss the wake-up.
    LockGuard lk(wake_mu_);
    stop_.store(true, std::memory_order_release);
  }
  wake_cv_.notify_all();
}

bool PeriodicControl::sleep_until(TimePoint until) {
  UniqueLock lk(wake_mu_);
  for (;;) {
    if (stop_requested()) return true;
    const TimePoint now = Clock::now();
    if (now >= until) return false;
    const TimePoint slice = until - now > kLongestSleep ? now + kLongestSleep : until;
    wake_cv_.wait_until(lk.native(), slice, [this] { return stop_requested(); });
  }
}

void PeriodicControl::replace_frames(std::vector<CanFrame> frames) {
  LockGuard lk(frames_mu_);
  frames_.swap(frames);
}

std::optional<CanFrame> PeriodicControl::frame_at(uint64_t n) {
  LockGuard lk(frames_mu_);
  if (frames_.empty()) return std::nullopt;
  return frames_[n % frames_.size()];
}

void PeriodicControl::set_error(OpError e) {
  LockGuard lk(error_mu_);
  error_ = std::move(e);
}

std::optional<OpError> PeriodicControl::error() const {
  LockGuard lk(error_mu_);
  return error_;
}

void PeriodicControl::count(uint64_t sent, uint64_t late, uint64_t skipped) noexcept {
  sent_.fetch_add(sent, std::memory_order_relaxed);
  late_.fetch_add(late, std::memory_order_relaxed);
  skipped_.fetch_add(skipped, std::memory_order_relaxed);
}

PeriodicCounts PeriodicControl::counts() const noexcept {
  return {sent_.load(std::memory_order_relaxed), late_.load(std::memory_order_relaxed),
          skipped_.load(std::memory_order_relaxed)};
}

// ---- PeriodicTable -----------------------------------------------------------------------------------------------

PeriodicTable::~PeriodicTable() { stop_all(); }

Op<uint32_t> PeriodicTable::start(std::shared_ptr<DeviceShared> shared, std::vector<CanFrame> frames,
                                  const PeriodicSchedule& schedule) {
  LockGuard lk(mu_);
  if (tasks_.size() >= kMaxTasks) return OpError::refused("Too many periodic tasks");
  uint32_t id;
  do {
    id = next_id_++;  // wraps from 2^32-1 to 0; 0 is never handed out
  } while (id == 0 || tasks_.contains(id));

  auto control = std::make_shared<PeriodicControl>(std::move(frames));
  const TimePoint start = Clock::now();
  Task task;
  task.control = control;
  try {
    // Named as it starts, so the name is in place when start returns (macOS: as the thread begins).
    task.thread = platform::start_named_thread(
        kThreadName, [shared = std::move(shared), control, schedule, start, id, table = weak_from_this()]() mutable {
          try {
            run_worker(shared, *control, schedule, start);
          } catch (const std::exception& e) {
            control->set_error(OpError::device(DeviceError::internal(e.what())));
          } catch (...) {
            control->set_error(OpError::device(DeviceError::internal("unknown fault")));
          }
          control->request_stop();
          shared.reset();  // the device may go away from here on
          control->mark_finished();
          if (auto t = table.lock()) t->release_finished(id);
        });
  } catch (const std::system_error& e) {
    return OpError::refused(e.code().message());
  }
  tasks_.emplace(id, std::move(task));
  return id;
}

void PeriodicTable::release_finished(uint32_t id) {
  std::thread previous;
  {
    LockGuard lk(mu_);
    auto it = tasks_.find(id);
    if (it == tasks_.end() || !it->second.thread.joinable()) return;
    if (it->second.thread.get_id() != std::this_thread::get_id()) return;  // an id reused by a newer task
    previous = std::move(ended_);
    ended_ = std::move(it->second.thread);
  }
  // Not detached: a close must be able to wait until this thread is gone. The previous one takes no lock any
  // more, so joining it here is short.
  if (previous.joinable()) previous.join();
}

Op<void> PeriodicTable::modify(uint32_t id, std::vector<CanFrame> frames) {
  LockGuard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return OpError::refused("No periodic task with id " + std::to_string(id));
  it->second.control->replace_frames(std::move(frames));
  return {};
}

Op<PeriodicCounts> PeriodicTable::stop(uint32_t id) {
  std::vector<Task> taken;
  std::thread ended;
  {
    LockGuard lk(mu_);
    auto it = tasks_.find(id);
    if (it == tasks_.end()) return OpError::refused("No periodic task with id " + std::to_string(id));
    taken.push_back(std::move(it->second));
    tasks_.erase(it);
    ended = std::move(ended_);  // perhaps this very task's thread
  }
  const std::shared_ptr<PeriodicControl> control = taken.front().control;
  stop_and_join(taken, std::move(ended));
  return control->counts();
}

void PeriodicTable::stop_all() {
  std::vector<Task> taken;
  std::thread ended;
  {
    LockGuard lk(mu_);
    taken.reserve(tasks_.size());
    for (auto& [id, task] : tasks_) taken.push_back(std::move(task));
    tasks_.clear();
    ended = std::move(ended_);
  }
  stop_and_join(taken, std::move(ended));
}

void PeriodicTable::stop_and_join(std::vector<Task>& tasks, std::thread ended) {
  // Every worker is told first, so they wind down together rather than one join at a time.
  for (Task& t : tasks) t.control->request_stop();
  tasks.push_back(Task{nullptr, std::move(ended)});
  for (Task& t : tasks) {
    if (!t.thread.joinable()) continue;
    // A worker that held the last reference to the table gets here on its own thread, and cannot join itself.
    if (t.thread.get_id() == std::this_thread::get_id())
      t.thread.detach();
    else
      t.thread.join();
  }
}

void PeriodicTable::notify_all() noexcept {
  LockGuard lk(mu_);
  for (auto& [id, task] : tasks_) task.control->request_stop();
}

bool PeriodicTable::alive(uint32_t id) {
  LockGuard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return false;
  const PeriodicControl& c = *it->second.control;
  return !c.stop_requested() && !c.error() && !c.finished();
}

std::optional<OpError> PeriodicTable::error(uint32_t id) {
  LockGuard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return std::nullopt;
  return it->second.control->error();
}

std::optional<PeriodicCounts> PeriodicTable::counts(uint32_t id) {
  LockGuard lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return std::nullopt;
  return it->second.control->counts();
}

}  // namespace tavro
