// Small RAII helpers around the stable C API that both extension modules use (the driver's and the simulator's):
// an owned reference, and a scope that releases the interpreter lock.
#pragma once

#include <cstdlib>
#include <utility>

#include "ext/python.hpp"

namespace tavro::py {

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// What a thread does when it is about to take the interpreter lock back. `must_park()`: the interpreter is going
// away and would end the thread with a forced unwind, so the thread parks instead (`park()`, never returns);
// `retaking(on)` brackets the taking. A module that does not track the interpreter's exit never parks.
struct NeverPark {
  static bool must_park() noexcept { return false; }
  [[noreturn]] static void park() noexcept { std::abort(); }
  static void retaking(bool) noexcept {}
};

// Releases the interpreter lock for its scope. Taking it back happens before any Python object is touched again.
// The destructor is noexcept(false) so that a forced unwind, should CPython start one while the lock is taken
// back at exit, passes through.
template <class Exit = NeverPark>
class BasicGilRelease {
 public:
  BasicGilRelease() noexcept : outer_(current_), state_(PyEval_SaveThread()) { current_ = this; }
  ~BasicGilRelease() noexcept(false) {
    current_ = outer_;
    retake();
  }
  BasicGilRelease(const BasicGilRelease&) = delete;
  BasicGilRelease& operator=(const BasicGilRelease&) = delete;

  // Takes the interpreter lock back for a moment and runs the pending signal handlers. False when one raised
  // (KeyboardInterrupt, say): the exception is set and the caller ends its wait. Call it with no driver lock
  // held: a handler is Python code and may call any method.
  bool check_signals() {
    retake();
    const int rc = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    return rc == 0;
  }

  // The innermost release scope of the calling thread, or nullptr.
  static BasicGilRelease* current() noexcept { return current_; }

 private:
  void retake() {
    if (Exit::must_park()) Exit::park();
    Exit::retaking(true);
    PyEval_RestoreThread(state_);
    Exit::retaking(false);
  }

  BasicGilRelease* outer_;
  PyThreadState* state_;
  static inline thread_local BasicGilRelease* current_ = nullptr;
};

}  // namespace tavro::py
