// Python forms of the driver's failures.
#include "ext/errors.hpp"

namespace tavro::py {
namespace {
PyObject* g_fault = nullptr;  // process-wide; lives until exit
}

PyObject* raise(const SurfaceError& e) {
  PyObject* cls = PyExc_RuntimeError;
  switch (e.cls) {
    case SurfaceError::Class::Runtime: cls = PyExc_RuntimeError; break;
    case SurfaceError::Class::Value: cls = PyExc_ValueError; break;
    case SurfaceError::Class::Timeout: cls = PyExc_TimeoutError; break;
    case SurfaceError::Class::Type: cls = PyExc_TypeError; break;
    case SurfaceError::Class::Interrupted:
      // The signal handler's exception is what the caller sees.
      if (PyErr_Occurred()) return nullptr;
      cls = PyExc_KeyboardInterrupt;
      break;
  }
  PyErr_SetString(cls, e.message.c_str());
  return nullptr;
}

PyObject* raise_device_error(const DeviceError& e) { return raise(OpError::device(e)); }
PyObject* raise_op(const OpError& e) { return raise(e); }

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
