// NativeTxTicket type (no constructor from Python).
#include "ext/ticket.hpp"

namespace tavro::py {
namespace {

struct TicketObject {
  PyObject_HEAD
};

int ticket_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

void ticket_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot ticket_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ticket_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ticket_traverse)},
    {0, nullptr},  // sentinel
};

PyType_Spec ticket_spec = {
    "tavro_pythoncan_ext.NativeTxTicket",
    sizeof(TicketObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ticket_slots,
};

}  // namespace

PyObject* create_ticket_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &ticket_spec, nullptr); }

}  // namespace tavro::py
