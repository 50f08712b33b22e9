// Module entry of tavro_pythoncan_ext (grows with the Python surface).
#include "ext/python.hpp"

namespace {
int module_exec(PyObject* module) { return 0; }
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},  // sentinel
};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tavro_pythoncan_ext", nullptr, 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_tavro_pythoncan_ext(void) { return PyModuleDef_Init(&module_def); }
