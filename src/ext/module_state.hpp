// Per-import state of tavro_pythoncan_ext: the classes this import created. A second import (after removal from
// sys.modules, or in a sub-interpreter) has its own, so every object is made from its own module's classes.
#pragma once

#include "ext/python.hpp"

namespace tavro::py {

struct ModuleState {
  PyObject* device_type = nullptr;  // NativeTavroDevice (strong reference)
  PyObject* ticket_type = nullptr;  // NativeTxTicket (strong reference)
};

// The state of the module that created `type` (one of this module's classes); nullptr with an exception set
// otherwise.
ModuleState* module_state_of(PyTypeObject* type);

}  // namespace tavro::py
