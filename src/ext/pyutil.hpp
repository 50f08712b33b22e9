// Small RAII helpers around the stable C API: an owned reference and an interpreter-lock release scope that
// also lets a long wait run the signal handlers between its slices.
#pragma once

#include <utility>

#include "ext/logging_bridge.hpp"
#include "ext/python.hpp"

namespace tavro::py {

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept { Py_XINCREF(borrowed); return Ref(borrowed); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept { if (this != &o) { Py_XDECREF(p_); p_ = std::exchange(o.p_, nullptr); } return *this; }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its scope. Taking it back happens before any Python object is touched again.
// Once the interpreter finalises, a thread coming back (other than the one that ran the exit hook) parks instead
// of taking the lock, which CPython would answer by ending the thread with a forced unwind. The destructor is
// noexcept(false) so that such an unwind, should it still happen (the check and the taking race), passes through.
class GilRelease {
 public:
  GilRelease() noexcept : outer_(current_), state_(PyEval_SaveThread()) { current_ = this; }
  ~GilRelease() noexcept(false) {
    current_ = outer_;
    if (must_park()) park_forever();
    set_retaking(true);
    PyEval_RestoreThread(state_);
    set_retaking(false);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Takes the interpreter lock back for a moment and runs the pending signal handlers. False when one raised
  // (KeyboardInterrupt, say): the exception is set and the caller ends its wait. Call it with no driver lock
  // held: a handler is Python code and may call any method.
  bool check_signals() {
    if (must_park()) park_forever();
    set_retaking(true);
    PyEval_RestoreThread(state_);
    set_retaking(false);
    const int rc = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    return rc == 0;
  }

  // The innermost release scope of the calling thread, or nullptr.
  static GilRelease* current() noexcept { return current_; }

 private:
  GilRelease* outer_;
  PyThreadState* state_;
  static thread_local GilRelease* current_;
};

inline thread_local GilRelease* GilRelease::current_ = nullptr;

// For a wait between two slices: false when a signal handler raised (its exception is set). Threads without a
// release scope (the driver's own) have no signals to run.
inline bool signals_ok() {
  GilRelease* g = GilRelease::current();
  return g ? g->check_signals() : true;
}

// Runs `fn` with the interpreter lock released and returns its result.
template <typename Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  GilRelease release;
  return fn();
}

}  // namespace tavro::py
