// NativeTxTicket: one confirmed transmission. Only NativeTavroDevice.submit_frame creates them.
#pragma once

#include "ext/python.hpp"

namespace tavro::py {

PyObject* create_ticket_type(PyObject* module);

}  // namespace tavro::py
