// Python forms of the driver's failures.
#include "ext/errors.hpp"

#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {
PyObject* g_fault = nullptr;  // process-wide; lives until exit

PyObject* exception_class(OpError::Kind kind) noexcept {
  switch (kind) {
    case OpError::Kind::Refused:
    case OpError::Kind::Gone: return PyExc_RuntimeError;
    case OpError::Kind::BadArgument: return PyExc_ValueError;
    case OpError::Kind::Expired: return PyExc_TimeoutError;
    case OpError::Kind::Interrupted: return PyExc_KeyboardInterrupt;
  }
  return PyExc_RuntimeError;
}

}  // namespace

const char* exception_name(const OpError& e) noexcept {
  switch (e.kind) {
    case OpError::Kind::Refused:
    case OpError::Kind::Gone: return "RuntimeError";
    case OpError::Kind::BadArgument: return "ValueError";
    case OpError::Kind::Expired: return "TimeoutError";
    case OpError::Kind::Interrupted: return "KeyboardInterrupt";
  }
  return "RuntimeError";
}

// The exception carries the failure's number as `error_code` where it has one, so that programs (the python-can
// plugin among them) tell failures apart without parsing texts.
PyObject* raise_op(const OpError& e) {
  // An interrupted wait: the signal handler's exception is what the caller sees.
  if (e.kind == OpError::Kind::Interrupted && PyErr_Occurred()) return nullptr;
  PyObject* cls = exception_class(e.kind);
  if (!e.code) {
    PyErr_SetString(cls, e.message.c_str());
    return nullptr;
  }
  Ref text(PyUnicode_FromStringAndSize(e.message.data(), static_cast<Py_ssize_t>(e.message.size())));
  if (!text) return nullptr;
  Ref exc(PyObject_CallFunctionObjArgs(cls, text.get(), nullptr));
  if (!exc) return nullptr;
  Ref code(PyLong_FromLong(*e.code));
  if (!code || PyObject_SetAttrString(exc.get(), "error_code", code.get()) < 0) return nullptr;
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

PyObject* raise_device_error(const DeviceError& e) { return raise_op(OpError::device(e)); }

int init_fault_exception() {
  if (g_fault) return 0;
  g_fault = PyErr_NewExceptionWithDoc(
      "tavro_pythoncan_ext.NativeFault",
      "An internal invariant of the native driver broke. Not an ordinary error: close the device and report it.",
      PyExc_BaseException, nullptr);
  return g_fault ? 0 : -1;
}

PyObject* fault_exception() noexcept { return g_fault; }

PyObject* raise_fault(const char* what) noexcept {
  PyErr_SetString(g_fault ? g_fault : PyExc_SystemError, what ? what : "internal fault");
  return nullptr;
}

}  // namespace tavro::py
