// Module entry of tavro_pythoncan_ext: the only exported symbol and the module body.
//
//   import tavro_pythoncan_ext as m
//   m.NativeTavroDevice(serial=None)   # one open adapter
//   m.NativeTxTicket                   # one confirmed transmission (made by submit_frame)
//   m.list_devices() -> [serial, ...]
//   m.library_versions() -> dict         # versions, policy revision, build provenance
//
// Multi-phase initialisation. The classes live in the module's state, so a second import has its own; the logging
// bridge, the fault exception and the USB backend are process-wide and survive a second import.
#include "ext/backend.hpp"
#include "ext/device.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/logging_bridge.hpp"
#include "ext/module_state.hpp"
#include "ext/pyutil.hpp"
#include "ext/ticket.hpp"

namespace tavro::py {
namespace {

PyMethodDef list_devices_def = {"list_devices", list_devices, METH_NOARGS, "list_devices()\n--\n\n"};
PyMethodDef library_versions_def = {"library_versions", module_library_versions, METH_NOARGS,
                                    "library_versions()\n--\n\n"};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Adds the new class under `name` and keeps a reference in the module state slot.
int add_type(PyObject* module, const char* name, PyObject* type, PyObject** slot) {
  if (!type) return -1;
  *slot = type;
  return PyModule_AddObjectRef(module, name, type);
}

int add_function(PyObject* module, PyMethodDef* def) {
  Ref fn(PyCFunction_NewEx(def, nullptr, nullptr));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "tavro_pythoncan_ext: module body called with a non-module");
    return -1;
  }
  if (install_logging_bridge() < 0) return -1;
  set_exit_work(close_all_devices);
  if (init_fault_exception() < 0) return -1;
  if (init_backend() < 0) return -1;
  ModuleState* st = state_of(module);
  if (add_type(module, "NativeTavroDevice", create_device_type(module), &st->device_type) < 0) return -1;
  if (add_type(module, "NativeTxTicket", create_ticket_type(module), &st->ticket_type) < 0) return -1;
  if (add_function(module, &list_devices_def) < 0) return -1;
  if (add_function(module, &library_versions_def) < 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  if (ModuleState* st = state_of(module)) {
    Py_VISIT(st->device_type);
    Py_VISIT(st->ticket_type);
  }
  return 0;
}

int module_clear(PyObject* module) {
  if (ModuleState* st = state_of(module)) {
    Py_CLEAR(st->device_type);
    Py_CLEAR(st->ticket_type);
  }
  return 0;
}

void module_free(void* module) { (void)module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavro_pythoncan_ext",
    "Native driver for TAVRO USB CAN adapters, used by python-can.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

ModuleState* module_state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModule(type);
  if (!module) return nullptr;
  return state_of(module);
}

}  // namespace tavro::py

PyMODINIT_FUNC PyInit_tavro_pythoncan_ext(void) { return PyModuleDef_Init(&tavro::py::module_def); }
