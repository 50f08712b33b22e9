// Logging bridge: native log records -> logging.getLogger(name).handle(makeRecord(...)).
//
//   write(record), any thread, never blocks on Python:
//       on a Python caller's thread (inside a method): append to that thread's own list
//       elsewhere: append to the process queue (bounded; overflow counted) and wake "tavro-log"
//   delivery (interpreter lock held, no driver lock held):
//       a method, as it returns: its thread's list, then what the process queue held when it started
//       "tavro-log": the process queue, whenever it has records
//       for each record: logger = cached getLogger(target.replace("::", "."))
//                        if logger.isEnabledFor(levelno): logger.handle(logger.makeRecord(...))
//
// So a handler runs where calling any driver method is safe: close() included, from a record of a worker that
// close() is about to join. The process queue has one consumer at a time (the delivery turn), so one thread's
// records stay in order; the turn is a flag, never a lock held while Python runs.
//
// Exit: the hook closes the open handles, lets "tavro-log" deliver what is queued (bounded wait), then stops
// forwarding. Once the interpreter finalises, every other thread that would take the interpreter lock back parks
// instead (CPython would end it with a forced unwind); until then threads run on, so that a daemon thread holding
// a Python lock (a logging handler's, say) releases it for the exit handlers that follow ours.
#include "ext/logging_bridge.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/deadline.hpp"
#include "core/log.hpp"
#include "core/sync.hpp"
#include "ext/pyutil.hpp"
#include "platform/platform.hpp"

namespace tavro::py {
namespace {

constexpr int kLevelNumbers[log::kLevelCount] = {40, 30, 20, 10, 5};
// Records waiting for Python, per caller thread and in the process queue. Beyond this, records are dropped
// and counted: a flood of Debug lines must not take the process's memory.
constexpr size_t kQueueLimit = 20000;
// How long the exit hook waits for "tavro-log" (a handler may be slow; exit must not hang on it).
constexpr auto kExitDeliveryWait = std::chrono::seconds(2);

struct Record {
  log::Target target{};
  log::Level level{};
  const char* file = nullptr;
  int line = 0;
  std::string text;
};

// The process queue and the delivery thread's bookkeeping.
struct Queue {
  Mutex mu;
  std::condition_variable cv;  // wakes "tavro-log"; also signals its end
  std::deque<Record> records GUARDED_BY(mu);
  uint64_t dropped GUARDED_BY(mu) = 0;     // records lost to a full queue since the last Warning
  bool turn_taken GUARDED_BY(mu) = false;  // a consumer is delivering from `records`
  // `records` empty and nobody delivering, written under `mu`: a method returns without taking `mu` then.
  std::atomic<bool> idle{true};
  bool stop GUARDED_BY(mu) = false;
  bool thread_running GUARDED_BY(mu) = false;
};

Queue g_queue;

// Admission of "tavro-log" to the interpreter, closed by the exit hook.
struct Gate {
  Mutex mu;
  std::condition_variable cv;
  int inside GUARDED_BY(mu) = 0;
  bool closed GUARDED_BY(mu) = false;

  bool enter() {
    LockGuard lk(mu);
    if (closed) return false;
    ++inside;
    return true;
  }
  void leave() {
    LockGuard lk(mu);
    if (--inside == 0) cv.notify_all();
  }
};

Gate g_gate;
std::atomic<bool> g_available{true};
std::atomic<bool> g_exit_started{false};
std::atomic<std::thread::id> g_exit_thread{};
std::atomic<ExitWork> g_exit_work{nullptr};

// The calling thread's records while it runs a method (depth > 0).
struct CallerRecords {
  int depth = 0;
  bool has_turn = false;  // this thread is delivering from the process queue
  bool retaking = false;  // inside PyEval_RestoreThread
  std::deque<Record> records;
  uint64_t dropped = 0;
};
thread_local CallerRecords t_caller;

// Levels read at handle open; until then everything is forwarded and the logger filters at delivery.
std::atomic<bool> g_levels_known{false};
std::atomic<bool> g_levels[log::kTargetCount][log::kLevelCount];

PyObject* g_loggers[log::kTargetCount] = {};  // strong references, cached for the life of the process
PyObject* g_parent_logger = nullptr;          // "tavro_usb", for the dropped-records Warning

// Interpreter lock held.
PyObject* logger_named(const char* name, PyObject** slot) {
  if (*slot) return *slot;
  Ref logging(PyImport_ImportModule("logging"));
  if (!logging) return nullptr;
  *slot = PyObject_CallMethod(logging.get(), "getLogger", "s", name);
  return *slot;
}

// The Python logger of a target: its module path with "::" replaced by ".".
const char* logger_name(log::Target t) noexcept {
  switch (t) {
    case log::Target::Device: return "tavro_usb.device";
    case log::Target::Channel: return "tavro_usb.channel";
    case log::Target::TxSession: return "tavro_usb.tx_session";
  }
  return "tavro_usb";
}

PyObject* logger_for(log::Target target) {
  return logger_named(logger_name(target), &g_loggers[static_cast<int>(target)]);
}

// Interpreter lock held; any Python failure drops this record only.
void emit(PyObject* logger, const char* name, int levelno, const char* file, int line, std::string_view text) {
  if (!logger) return;
  Ref on(PyObject_CallMethod(logger, "isEnabledFor", "i", levelno));
  if (!on || PyObject_IsTrue(on.get()) != 1) return;
  Ref name_obj(PyUnicode_FromString(name));
  Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  Ref path = file ? Ref(PyUnicode_FromString(file)) : Ref::borrow(Py_None);
  Ref args(PyTuple_New(0));
  if (!name_obj || !msg || !path || !args) return;
  Ref record(PyObject_CallMethod(logger, "makeRecord", "OiOiOOOOO", name_obj.get(), levelno, path.get(), line,
                                 msg.get(), args.get(), Py_None, Py_None, Py_None));
  if (!record) return;
  Ref handled(PyObject_CallMethod(logger, "handle", "O", record.get()));
}

void deliver(const Record& r) {
  emit(logger_for(r.target), logger_name(r.target), kLevelNumbers[static_cast<int>(r.level)], r.file, r.line, r.text);
  if (PyErr_Occurred()) PyErr_Clear();
}

void report_dropped(uint64_t n) {
  if (n == 0) return;
  const std::string text = std::to_string(n) + " log records were dropped: they came faster than Python handled them";
  emit(logger_named("tavro_usb", &g_parent_logger), "tavro_usb", 30, nullptr, 0, text);
  if (PyErr_Occurred()) PyErr_Clear();
}

// Delivers up to `limit` records of the process queue if no other consumer has the turn (interpreter lock held).
// A caller (`wait_for_turn`) waits a little for the turn with the interpreter lock released, so that a record that
// "tavro-log" is delivering right now has reached Python when the caller's method returns.
void deliver_queued(size_t limit, bool wait_for_turn = false) {
  if (t_caller.has_turn) return;  // a handler of ours calling a method
  uint64_t dropped;
  {
    UniqueLock lk(g_queue.mu);
    if (g_queue.turn_taken && wait_for_turn) {
      lk.unlock();
      {
        GilRelease release;
        lk.lock();
        g_queue.cv.wait_for(lk.native(), kWaitSlice, []() REQUIRES(g_queue.mu) { return !g_queue.turn_taken; });
        lk.unlock();  // the interpreter lock is taken back without holding the queue's mutex
      }
      lk.lock();
    }
    if (g_queue.turn_taken) return;
    g_queue.turn_taken = true;
    g_queue.idle.store(false);
    t_caller.has_turn = true;
    dropped = std::exchange(g_queue.dropped, 0);
  }
  report_dropped(dropped);
  for (size_t i = 0; i < limit; ++i) {
    Record r;
    {
      LockGuard lk(g_queue.mu);
      if (g_queue.records.empty()) break;
      r = std::move(g_queue.records.front());
      g_queue.records.pop_front();
    }
    deliver(r);
  }
  {
    LockGuard lk(g_queue.mu);
    g_queue.turn_taken = false;
    g_queue.idle.store(g_queue.records.empty());
    t_caller.has_turn = false;
  }
  g_queue.cv.notify_all();
}

bool queue_has_work() REQUIRES(g_queue.mu) {
  return !g_queue.turn_taken && (!g_queue.records.empty() || g_queue.dropped != 0);
}

// "tavro-log". Nobody joins it while holding a lock; it holds none of the driver's locks itself. No noexcept
// frame lies between its Python calls and its entry, so the forced unwind of a thread ended by CPython passes.
void delivery_main() {
  platform::name_current_thread("tavro-log");
  for (;;) {
    {
      UniqueLock lk(g_queue.mu);
      g_queue.cv.wait(lk.native(), []() REQUIRES(g_queue.mu) { return g_queue.stop || queue_has_work(); });
      if (g_queue.stop && !queue_has_work()) break;
    }
    if (!g_gate.enter()) break;
    PyGILState_STATE st = PyGILState_Ensure();
    deliver_queued(SIZE_MAX);
    PyGILState_Release(st);
    g_gate.leave();
  }
  LockGuard lk(g_queue.mu);
  g_queue.thread_running = false;
  g_queue.cv.notify_all();
}

void start_delivery_thread_locked() REQUIRES(g_queue.mu) {
  if (g_queue.thread_running || g_queue.stop) return;
  try {
    std::thread(delivery_main).detach();
    g_queue.thread_running = true;
  } catch (const std::system_error&) {
    // No thread: records wait for the next method that returns, or are dropped when the queue is full.
  }
}

class PythonSink final : public log::Sink {
 public:
  bool enabled(log::Target target, log::Level level) noexcept override {
    if (level == log::Level::Trace) return false;
    if (!g_levels_known.load(std::memory_order_acquire)) return true;
    return g_levels[static_cast<int>(target)][static_cast<int>(level)].load(std::memory_order_relaxed);
  }

  void write(log::Target target, log::Level level, const char* file, int line,
             std::string_view text) noexcept override {
    if (level == log::Level::Trace || !g_available.load(std::memory_order_acquire)) return;
    try {
      if (t_caller.depth > 0) {
        if (t_caller.records.size() >= kQueueLimit) {
          ++t_caller.dropped;
          return;
        }
        t_caller.records.push_back(Record{target, level, file, line, std::string(text)});
        return;
      }
      LockGuard lk(g_queue.mu);
      if (g_queue.records.size() >= kQueueLimit) {
        ++g_queue.dropped;
        return;
      }
      g_queue.records.push_back(Record{target, level, file, line, std::string(text)});
      g_queue.idle.store(false);
      start_delivery_thread_locked();
    } catch (...) {
      return;  // out of memory: the record is lost, the operation that logged is not
    }
    g_queue.cv.notify_all();
  }
};

// The caller's own records, then what the process queue holds now (interpreter lock held).
void deliver_for_caller() {
  if (t_caller.records.empty() && t_caller.dropped == 0) {
    // Records of workers: hand over what is there, so that what workers logged before the method returns (a
    // stopped worker's farewell, say) has reached Python by then. Bounded by what is queued now.
    if (g_queue.idle.load(std::memory_order_acquire)) return;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);  // the method's own result stays as it is
  report_dropped(std::exchange(t_caller.dropped, 0));
  // One at a time from the front: a handler that calls a method drains the rest in order, not behind it.
  while (!t_caller.records.empty()) {
    Record r = std::move(t_caller.records.front());
    t_caller.records.pop_front();
    deliver(r);
  }
  size_t queued;
  {
    LockGuard lk(g_queue.mu);
    queued = g_queue.records.size();
  }
  deliver_queued(queued, true);
  PyErr_Restore(type, value, tb);
}

PyObject* at_exit(PyObject*, PyObject*) {
  CallScope scope;
  g_exit_thread.store(std::this_thread::get_id());
  g_exit_started.store(true, std::memory_order_release);
  ExitWork work = g_exit_work.load();
  {
    GilRelease release;
    if (work) work();
    // What the workers logged while the handles closed still reaches Python, unless a handler takes too long.
    UniqueLock lk(g_queue.mu);
    g_queue.stop = true;
    g_queue.cv.notify_all();
    g_queue.cv.wait_for(lk.native(), kExitDeliveryWait, []() REQUIRES(g_queue.mu) { return !g_queue.thread_running; });
  }
  {
    GilRelease release;
    UniqueLock lk(g_gate.mu);
    g_gate.closed = true;
    g_gate.cv.wait_for(lk.native(), kExitDeliveryWait, []() REQUIRES(g_gate.mu) { return g_gate.inside == 0; });
  }
  deliver_for_caller();
  g_available.store(false, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_tavro_at_exit", at_exit, METH_NOARGS, nullptr};

}  // namespace

void set_exit_work(ExitWork work) noexcept { g_exit_work.store(work); }
bool python_available() noexcept { return g_available.load(std::memory_order_acquire); }

namespace {

// Whether the interpreter is finalising, asked without the interpreter lock. The stable ABI of 3.10 has no such
// call, so it is looked up at run time (Py_IsFinalizing from 3.13 on, _Py_IsFinalizing before). Without either,
// the start of our exit hook stands in for it.
bool interpreter_finalizing() noexcept {
  using Fn = int (*)();
  static const Fn fn = [] {
    const void* anchor = reinterpret_cast<const void*>(&PyLong_FromLong);
    void* p = platform::interpreter_symbol(anchor, "Py_IsFinalizing");
    if (!p) p = platform::interpreter_symbol(anchor, "_Py_IsFinalizing");
    return reinterpret_cast<Fn>(p);
  }();
  return fn ? fn() != 0 : g_exit_started.load(std::memory_order_acquire);
}

}  // namespace

bool must_park() noexcept {
  if (!g_exit_started.load(std::memory_order_acquire)) return false;  // finalisation comes after our hook
  return interpreter_finalizing() && g_exit_thread.load() != std::this_thread::get_id();
}

void set_retaking(bool on) noexcept { t_caller.retaking = on; }

void park_forever() noexcept { platform::park_thread_forever(); }

CallScope::CallScope() noexcept { ++t_caller.depth; }

CallScope::~CallScope() noexcept(false) {
  --t_caller.depth;
  if (t_caller.retaking || !python_available() || must_park()) {
    // Too late for Python: what this thread logged is dropped.
    t_caller.records.clear();
    return;
  }
  deliver_for_caller();
}

void refresh_log_levels() {
  for (int t = 0; t < log::kTargetCount; ++t) {
    PyObject* logger = logger_for(static_cast<log::Target>(t));
    for (int l = 0; l < log::kLevelCount; ++l) {
      bool on = false;
      if (logger && static_cast<log::Level>(l) != log::Level::Trace) {
        Ref r(PyObject_CallMethod(logger, "isEnabledFor", "i", kLevelNumbers[l]));
        on = r && PyObject_IsTrue(r.get()) == 1;
      }
      g_levels[t][l].store(on, std::memory_order_relaxed);
    }
  }
  if (PyErr_Occurred()) PyErr_Clear();
  g_levels_known.store(true, std::memory_order_release);
  log::reset_enabled_cache();
}

int install_logging_bridge() {
  Ref logging(PyImport_ImportModule("logging"));
  if (!logging) {
    PyErr_SetString(PyExc_ImportError, "Failed to initialize python logging");
    return -1;
  }
  static PythonSink* sink = nullptr;  // leaked on purpose: records may arrive until process exit
  static bool hook_registered = false;
  if (!log::current_sink()) {
    if (!sink) sink = new PythonSink();
    log::install_sink(sink);
  }
  if (!hook_registered) {
    Ref atexit(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    Ref fn(PyCFunction_New(&g_at_exit_def, nullptr));
    if (!fn) return -1;
    Ref r(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    if (!r) return -1;
    hook_registered = true;
  }
  return 0;
}

}  // namespace tavro::py
