// Logging bridge: native log records -> logging.getLogger(name).handle(makeRecord(...)).
//
//   for each record (any thread):
//       if level is trace or interpreter is finalising: drop
//       with interpreter lock:
//           logger = cached getLogger(target.replace("::", "."))
//           if logger.isEnabledFor(levelno):   # answer cached per (target, level) by the facade
//               logger.handle(logger.makeRecord(name, levelno, file, line, text, (), None, None, None))
//
// A worker must never take the interpreter lock once finalisation has started (it would hang or be killed while
// holding driver locks). An atexit hook closes the gate: new records are dropped and the hook waits, with the
// interpreter lock released, for threads already inside.
#include "ext/logging_bridge.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/log.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

constexpr int kLevelNumbers[log::kLevelCount] = {40, 30, 20, 10, 5};

// Admission to the interpreter from native threads.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  int inside = 0;
  bool closed = false;

  bool enter() {
    std::lock_guard<std::mutex> lk(mu);
    if (closed) return false;
    ++inside;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> lk(mu);
    if (--inside == 0) cv.notify_all();
  }
};

Gate g_gate;
std::atomic<bool> g_available{true};
std::atomic<ExitWork> g_exit_work{nullptr};

class PythonSink final : public log::Sink {
 public:
  bool enabled(log::Target target, log::Level level) noexcept override {
    if (level == log::Level::Trace) return false;
    bool on = false;
    with_python([&] {
      PyObject* logger = logger_for(target);
      if (!logger) return;
      Ref r(PyObject_CallMethod(logger, "isEnabledFor", "i", kLevelNumbers[static_cast<int>(level)]));
      if (!r) return;
      const int t = PyObject_IsTrue(r.get());
      on = t > 0;
    });
    return on;
  }

  void write(log::Target target, log::Level level, const char* file, int line, std::string_view text) noexcept override {
    if (level == log::Level::Trace) return;
    with_python([&] {
      PyObject* logger = logger_for(target);
      if (!logger) return;
      Ref name(PyUnicode_FromString(log::logger_name(target)));
      Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (!name || !msg) return;
      Ref path = file ? Ref(PyUnicode_FromString(file)) : Ref::borrow(Py_None);
      Ref args(PyTuple_New(0));
      if (!path || !args) return;
      Ref record(PyObject_CallMethod(logger, "makeRecord", "OiOiOOOOO", name.get(),
                                     kLevelNumbers[static_cast<int>(level)], path.get(), line, msg.get(), args.get(),
                                     Py_None, Py_None, Py_None));
      if (!record) return;
      Ref handled(PyObject_CallMethod(logger, "handle", "O", record.get()));
    });
  }

 private:
  template <typename Fn>
  void with_python(Fn&& fn) noexcept {
    if (!g_available.load(std::memory_order_acquire) || !Py_IsInitialized()) return;
    if (!g_gate.enter()) return;
    PyGILState_STATE st = PyGILState_Ensure();
    try {
      fn();
    } catch (...) {
    }
    // Whatever went wrong drops this record only.
    if (PyErr_Occurred()) PyErr_Clear();
    PyGILState_Release(st);
    g_gate.leave();
  }

  // Called with the interpreter lock held. Loggers are cached for the life of the process.
  PyObject* logger_for(log::Target target) {
    PyObject*& slot = loggers_[static_cast<int>(target)];
    if (slot) return slot;
    Ref logging(PyImport_ImportModule("logging"));
    if (!logging) return nullptr;
    slot = PyObject_CallMethod(logging.get(), "getLogger", "s", log::logger_name(target));
    return slot;
  }

  PyObject* loggers_[log::kTargetCount] = {};
};

PyObject* at_exit(PyObject*, PyObject*) {
  ExitWork work = g_exit_work.load();
  {
    GilRelease release;
    if (work) work();
    // Stop admitting native threads, then wait for those inside (they need the lock we just released).
    std::unique_lock<std::mutex> lk(g_gate.mu);
    g_gate.closed = true;
    g_available.store(false, std::memory_order_release);
    g_gate.cv.wait(lk, [] { return g_gate.inside == 0; });
  }
  Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_tavro_at_exit", at_exit, METH_NOARGS, nullptr};

}  // namespace

void set_exit_work(ExitWork work) noexcept { g_exit_work.store(work); }
bool python_available() noexcept { return g_available.load(std::memory_order_acquire); }

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
