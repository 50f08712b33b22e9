// Periodic transmission: the task table, the worker "tavro-periodic-send", and the Python methods
// start_periodic, stop_periodic, modify_periodic, is_periodic_alive, periodic_error and stop_all_periodic.
#include "ext/periodic.hpp"

#include <limits>
#include <system_error>

#include "platform/platform.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"
#include "handle/frames.hpp"
#include "session/tx_session.hpp"

namespace tavro::py {
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

const char* python_class_name(OpError::Class c) {
  switch (c) {
    case OpError::Class::Runtime: return "RuntimeError";
    case OpError::Class::Value: return "ValueError";
    case OpError::Class::Timeout: return "TimeoutError";
    case OpError::Class::Type: return "TypeError";
    case OpError::Class::Interrupted: return "KeyboardInterrupt";
  }
  return "RuntimeError";
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
  // A configuration change sets the stop flag under state_lock before it detaches: a task that waited for the
  // lock meanwhile has simply been stopped.
  if (control.stop_requested()) return Sent::Stopped;
  if (shared.flags()->generation.load() != generation)
    return OpError::runtime("Periodic task stopped after CAN session changed");
  auto session = shared.check_running();
  if (!session.ok()) return std::move(session).error();
  auto left = remaining_until(budget_end);
  if (!left.ok()) return std::move(left).error();

  if (shared.state().confirmation_mode == 0) {
    TxWriteResult w = session.value()->send_unconfirmed(frame, left.value());
    if (!w.status.ok()) return OpError::submission(w.status.error());
    return Sent::Yes;
  }
  auto submitted = session.value()->submit_confirmed(frame, left.value());
  if (!submitted.ok()) return OpError::submission(submitted.error());
  // A task that fails gives its ticket up: nobody else holds it, and a pending one would lock the configuration.
  const TxTicketHandle& handle = submitted.value().ticket;
  if (submitted.value().write_error) {
    session.value()->resolve_without_verdict(handle, UncertaintyReason::TransportFailure);
    return OpError::runtime("Periodic TX delivery uncertain after USB error: " +
                            submitted.value().write_error->text());
  }
  // The verdict is awaited without state_lock, so other callers of the handle are not held up meanwhile.
  std::shared_ptr<TxTicket> ticket = handle.ticket;
  lk.unlock();
  std::optional<TxResult> result = ticket->wait_until(budget_end);
  if (!result) {
    session.value()->resolve_without_verdict(handle, UncertaintyReason::CancelUnconfirmed);
    return OpError::timeout(kTxUncertainTimeout);
  }
  if (!result->is_terminal() || result->status() != TxStatus::Success)
    return OpError::runtime("Periodic TX did not succeed: " + render_result(*result));
  return Sent::Yes;
}

void run_worker(const std::shared_ptr<DeviceShared>& shared, PeriodicControl& control,
                const PeriodicSchedule& schedule, TimePoint start) {
  const std::optional<TimePoint> end =
      schedule.duration ? std::optional<TimePoint>(add_capped(start, *schedule.duration)) : std::nullopt;
  TimePoint next_due = start;
  uint64_t position = 0;
  for (;;) {
    if (control.stop_requested()) return;
    if (end && Clock::now() >= *end) return;
    std::optional<CanFrame> frame = control.frame_at(position);
    if (!frame) return;
    Op<Sent> sent = send_one(*shared, control, *frame, schedule.generation);
    if (!sent.ok()) {
      // Failures that follow a deliberate stop are its consequence, not the task's fault.
      if (!control.stop_requested())
        control.set_error(std::string(python_class_name(sent.error().cls)) + ": " + sent.error().message);
      return;
    }
    if (sent.value() == Sent::Stopped) return;
    ++position;

    // Absolute schedule; slots missed by a slow send are skipped rather than sent in a burst.
    const TimePoint now = Clock::now();
    next_due = add_capped(next_due, schedule.period);
    if (next_due < now) next_due = add_capped(now, schedule.period);
    control.sleep_until(end ? std::min(next_due, *end) : next_due);
  }
}

}  // namespace

// ---- PeriodicControl ---------------------------------------------------------------------------------------------

void PeriodicControl::request_stop() {
  {
    // Stored under the mutex so that a worker between its check and its wait cannot miss the wake-up.
    std::lock_guard<std::mutex> lk(wake_mu_);
    stop_.store(true, std::memory_order_release);
  }
  wake_cv_.notify_all();
}

bool PeriodicControl::sleep_until(TimePoint until) {
  std::unique_lock<std::mutex> lk(wake_mu_);
  for (;;) {
    if (stop_requested()) return true;
    const TimePoint now = Clock::now();
    if (now >= until) return false;
    const TimePoint slice = until - now > kLongestSleep ? now + kLongestSleep : until;
    wake_cv_.wait_until(lk, slice, [this] { return stop_requested(); });
  }
}

void PeriodicControl::replace_frames(std::vector<CanFrame> frames) {
  std::lock_guard<std::mutex> lk(frames_mu_);
  frames_.swap(frames);
}

std::optional<CanFrame> PeriodicControl::frame_at(uint64_t n) {
  std::lock_guard<std::mutex> lk(frames_mu_);
  if (frames_.empty()) return std::nullopt;
  return frames_[n % frames_.size()];
}

void PeriodicControl::set_error(std::string text) {
  std::lock_guard<std::mutex> lk(error_mu_);
  error_ = std::move(text);
}

std::optional<std::string> PeriodicControl::error() const {
  std::lock_guard<std::mutex> lk(error_mu_);
  return error_;
}

// ---- PeriodicTable -----------------------------------------------------------------------------------------------

PeriodicTable::~PeriodicTable() { stop_all(); }

Op<uint32_t> PeriodicTable::start(std::shared_ptr<DeviceShared> shared, std::vector<CanFrame> frames,
                                  const PeriodicSchedule& schedule) {
  std::lock_guard<std::mutex> lk(mu_);
  if (tasks_.size() >= kMaxTasks) return OpError::runtime("Too many periodic tasks");
  uint32_t id;
  do {
    id = next_id_++;  // wraps from 2^32-1 to 0; 0 is never handed out
  } while (id == 0 || tasks_.count(id) != 0);

  auto control = std::make_shared<PeriodicControl>(std::move(frames));
  const TimePoint start = Clock::now();
  Task task;
  task.control = control;
  try {
    // Named as it starts, so the name is in place when start returns (macOS: as the thread begins).
    task.thread = platform::start_named_thread(kThreadName, [shared = std::move(shared), control, schedule, start,
                                                             id, table = weak_from_this()]() mutable {
      try {
        run_worker(shared, *control, schedule, start);
      } catch (const std::exception& e) {
        control->set_error(std::string("RuntimeError: Internal error: ") + e.what());
      } catch (...) {
        control->set_error("RuntimeError: Internal error: unknown fault");
      }
      control->request_stop();
      shared.reset();  // the device may go away from here on
      control->mark_finished();
      if (auto t = table.lock()) t->release_finished(id);
    });
  } catch (const std::system_error& e) {
    return OpError::runtime(e.code().message());
  }
  tasks_.emplace(id, std::move(task));
  return id;
}

void PeriodicTable::release_finished(uint32_t id) {
  std::thread previous;
  {
    std::lock_guard<std::mutex> lk(mu_);
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
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return OpError::runtime("No periodic task with id " + std::to_string(id));
  it->second.control->replace_frames(std::move(frames));
  return {};
}

Op<void> PeriodicTable::stop(uint32_t id) {
  std::vector<Task> taken;
  std::thread ended;
  {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = tasks_.find(id);
    if (it == tasks_.end()) return OpError::runtime("No periodic task with id " + std::to_string(id));
    taken.push_back(std::move(it->second));
    tasks_.erase(it);
    ended = std::move(ended_);  // perhaps this very task's thread
  }
  stop_and_join(taken, std::move(ended));
  return {};
}

void PeriodicTable::stop_all() {
  std::vector<Task> taken;
  std::thread ended;
  {
    std::lock_guard<std::mutex> lk(mu_);
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
  std::lock_guard<std::mutex> lk(mu_);
  for (auto& [id, task] : tasks_) task.control->request_stop();
}

bool PeriodicTable::alive(uint32_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return false;
  const PeriodicControl& c = *it->second.control;
  return !c.stop_requested() && !c.error() && !c.finished();
}

std::optional<std::string> PeriodicTable::error(uint32_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return std::nullopt;
  return it->second.control->error();
}

// ---- Python methods ----------------------------------------------------------------------------------------------

namespace {

constexpr Py_ssize_t kMaxDataLength = 8;

// One frame as Python described it, converted but not yet checked.
struct FrameArgs {
  uint32_t arb_id = 0;
  bool is_ext = false;
  bool is_rtr = false;
  uint8_t dlc = 0;
  std::vector<uint8_t> data;
};

// bytes, bytearray, or any sequence of ints 0..255. A sequence longer than any frame can carry is refused with
// the frame check's own message, without reading its items.
bool to_data(PyObject* o, const char* fname, uint8_t dlc, std::vector<uint8_t>* out) {
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    char* p = PyBytes_Check(o) ? PyBytes_AsString(o) : PyByteArray_AsString(o);
    const Py_ssize_t n = PyBytes_Check(o) ? PyBytes_Size(o) : PyByteArray_Size(o);
    if (!p || n < 0) return false;
    out->assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + n);
    return true;
  }
  if (PyUnicode_Check(o) || !PySequence_Check(o)) return type_error(o, fname, "frames", "bytes or a sequence of int");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  if (n > kMaxDataLength) {
    PyErr_SetString(PyExc_ValueError, dlc > kMaxDataLength ? "DLC exceeds Classic CAN max of 8"
                                                           : "Data length must match DLC (RTR data must be empty)");
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(o, i));
    uint8_t b;
    if (!item || !to_u8(item.get(), fname, "frames", &b)) return false;
    out->push_back(b);
  }
  return true;
}

// A sequence (not a str) of 5-tuples (arb_id, is_ext, is_rtr, dlc, data).
bool to_frame_args(PyObject* seq, const char* fname, std::vector<FrameArgs>* out) {
  if (PyUnicode_Check(seq) || !PySequence_Check(seq))
    return type_error(seq, fname, "frames", "a sequence of (arb_id, is_ext, is_rtr, dlc, data) tuples");
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0 || !check_sequence_length(n, sizeof(FrameArgs) + sizeof(CanFrame))) return false;
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(seq, i));
    if (!item) return false;
    PyObject* t = item.get();
    if (!PyTuple_Check(t)) return type_error(t, fname, "frames", "a tuple");
    const Py_ssize_t len = PyTuple_Size(t);
    if (len != 5) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 5, but got tuple of length %zd", len);
      return false;
    }
    FrameArgs f;
    if (!to_u32(PyTuple_GetItem(t, 0), fname, "frames", &f.arb_id) ||
        !to_bool(PyTuple_GetItem(t, 1), fname, "frames", &f.is_ext) ||
        !to_bool(PyTuple_GetItem(t, 2), fname, "frames", &f.is_rtr) ||
        !to_u8(PyTuple_GetItem(t, 3), fname, "frames", &f.dlc) || !to_data(PyTuple_GetItem(t, 4), fname, f.dlc, &f.data))
      return false;
    out->push_back(std::move(f));
  }
  return true;
}

// The frame check of every send path, in list order; the first failure is raised.
bool check_frames(const std::vector<FrameArgs>& args, std::vector<CanFrame>* out) {
  out->reserve(args.size());
  for (const FrameArgs& a : args) {
    auto f = check_frame(a.arb_id, a.is_ext, a.is_rtr, a.dlc, a.data);
    if (!f.ok()) {
      raise_op(f.error());
      return false;
    }
    out->push_back(f.value());
  }
  return true;
}

// Whether the monotonic clock can still express now + period.
bool period_representable(uint64_t period_us) {
  using Rep = Duration::rep;
  constexpr uint64_t kTicksPerUs = std::chrono::duration_cast<Duration>(std::chrono::microseconds(1)).count();
  const Rep now = Clock::now().time_since_epoch().count();
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<Rep>::max() - now);
  return period_us <= room / kTicksPerUs;
}

bool one_task_id(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, uint32_t* id) {
  return one_u32(fname, "task_id", args, nargs, kwnames, id);
}

PeriodicTable& table_of(PyObject* self) { return *payload_of(self).periodic; }

}  // namespace

PyObject* device_start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"frames", "period_us", "duration_ms"};
  PyObject* a[3];
  if (!parse_args("start_periodic", args, nargs, kwnames, names, a)) return nullptr;
  std::vector<FrameArgs> frame_args;
  uint64_t period_us;
  std::optional<uint64_t> duration_ms;
  if (!to_frame_args(a[0], "start_periodic", &frame_args) ||
      !to_u64(a[1], "start_periodic", "period_us", &period_us))
    return nullptr;
  if (a[2] != Py_None) {
    uint64_t d;
    if (!to_u64(a[2], "start_periodic", "duration_ms", &d)) return nullptr;
    duration_ms = d;
  }
  if (frame_args.empty()) return raise_op(OpError::runtime("No frames to send"));
  if (period_us == 0) return raise_op(OpError::value("Period must be at least one microsecond"));
  if (!period_representable(period_us)) return raise_op(OpError::value("Period is too large"));
  std::vector<CanFrame> frames;
  if (!check_frames(frame_args, &frames)) return nullptr;

  PeriodicSchedule schedule;
  schedule.period = std::chrono::duration_cast<Duration>(std::chrono::microseconds(period_us));
  if (duration_ms) {
    // Beyond a century is as good as forever, and keeps the arithmetic inside the clock's range.
    constexpr uint64_t kMaxMs = 100ull * 365 * 24 * 3600 * 1000;
    schedule.duration = std::chrono::milliseconds(std::min(*duration_ms, kMaxMs));
  }
  DevicePayload& p = payload_of(self);
  Op<uint32_t> r = without_gil([&]() -> Op<uint32_t> {
    std::lock_guard<StateMutex> lk(p.shared->state_lock());
    auto session = p.shared->check_running();
    if (!session.ok()) return std::move(session).error();
    if (p.shared->state().listen_only) return OpError::runtime("Transmission is disabled in listen-only mode");
    schedule.generation = p.shared->flags()->generation.load();
    return p.periodic->start(p.shared, std::move(frames), schedule);
  });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_stop_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("stop_periodic", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  return none_or_raise(without_gil([&] { return table.stop(id); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_modify_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"task_id", "frames"};
  PyObject* a[2];
  uint32_t id;
  std::vector<FrameArgs> frame_args;
  if (!parse_args("modify_periodic", args, nargs, kwnames, names, a) ||
      !to_u32(a[0], "modify_periodic", "task_id", &id) || !to_frame_args(a[1], "modify_periodic", &frame_args))
    return nullptr;
  std::vector<CanFrame> frames;
  if (!check_frames(frame_args, &frames)) return nullptr;
  PeriodicTable& table = table_of(self);
  return none_or_raise(without_gil([&] { return table.modify(id, std::move(frames)); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_is_periodic_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("is_periodic_alive", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  return PyBool_FromLong(without_gil([&] { return table.alive(id); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_periodic_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("periodic_error", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  std::optional<std::string> e = without_gil([&] { return table.error(id); });
  if (!e) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(e->data(), static_cast<Py_ssize_t>(e->size()), "replace");
  TAVRO_PY_GUARD_END
}

PyObject* device_stop_all_periodic(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  PeriodicTable& table = table_of(self);
  without_gil([&] { table.stop_all(); });
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
