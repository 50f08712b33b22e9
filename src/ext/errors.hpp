// Turning device errors, refusals, time-outs and internal faults into Python exceptions.
#pragma once

#include <exception>
#include <string>

#include "core/device_error.hpp"
#include "ext/logging_bridge.hpp"
#include "ext/python.hpp"
#include "handle/op_error.hpp"
#include "platform/platform.hpp"

namespace tavro::py {

// Sets the Python exception for `e`; returns nullptr for convenient `return raise_op(...)`.
PyObject* raise_op(const OpError& e);
PyObject* raise_device_error(const DeviceError& e);
// The name of the built-in exception class that raise_op() uses for `e` ("RuntimeError", ...).
const char* exception_name(const OpError& e) noexcept;

// The exception class for broken invariants (derives from BaseException). Created once at module exec.
int init_fault_exception();
PyObject* fault_exception() noexcept;
// Converts whatever escaped a method body into the fault exception.
PyObject* raise_fault(const char* what) noexcept;

}  // namespace tavro::py

// Wraps a method body: a C++ exception that escapes becomes the fatal-fault exception, never a crash. The
// call scope hands what the method logged to Python as it returns. A forced unwind (CPython ending a thread at
// exit, where the C++ library models it as an exception) is let through.
#define TAVRO_PY_GUARD_BEGIN                \
  ::tavro::py::CallScope tavro_call_scope_; \
  try {
#define TAVRO_PY_GUARD_END                                     \
  }                                                            \
  TAVRO_PASS_FORCED_UNWIND                                     \
  catch (const std::exception& ex) {                           \
    return ::tavro::py::raise_fault(ex.what());                \
  }                                                            \
  catch (...) {                                                \
    return ::tavro::py::raise_fault("unknown internal fault"); \
  }
