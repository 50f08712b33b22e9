// The driver module's interpreter-lock release scope (it parks a thread that comes back while the interpreter
// finalises) and the helpers a long wait uses to run the signal handlers between its slices.
#pragma once

#include <utility>

#include "ext/logging_bridge.hpp"
#include "ext/pyref.hpp"

namespace tavro::py {

// Once the interpreter finalises, a thread coming back (other than the one that ran the exit hook) parks instead
// of taking the lock, which CPython would answer by ending the thread with a forced unwind.
struct BridgeExit {
  static bool must_park() noexcept { return py::must_park(); }
  [[noreturn]] static void park() noexcept { park_forever(); }
  static void retaking(bool on) noexcept { set_retaking(on); }
};
using GilRelease = BasicGilRelease<BridgeExit>;

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
