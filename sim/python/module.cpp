// tavro_sim._native (placeholder until the simulator's control API lands).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
namespace {
PyModuleDef_Slot slots[] = {{0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "tavro_sim._native", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
}  // namespace
PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&def); }
