// Small RAII helpers around the stable C API: an owned reference and an interpreter-lock release scope.
#pragma once

#include <utility>

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
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `fn` with the interpreter lock released and returns its result.
template <typename Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  GilRelease release;
  return fn();
}

}  // namespace tavro::py
