// NativeTxTicket type (no constructor from Python) and its methods.
#include "ext/ticket.hpp"

#include "ext/args.hpp"
#include "ext/errors.hpp"
#include "ext/module_state.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

struct TicketObject {
  PyObject_HEAD TicketPayload* payload;
};

const TicketPayload& payload_of(PyObject* self) { return *reinterpret_cast<TicketObject*>(self)->payload; }

PyObject* result_dict(const TxResult& r) {
  if (r.is_terminal()) {
    return Py_BuildValue("{s:s,s:i,s:K,s:i,s:i,s:O}", "status", tx_status_wire_name(r.status()), "status_raw",
                         static_cast<int>(r.status()), "timestamp_us",
                         static_cast<unsigned long long>(r.timestamp_us()), "flags", static_cast<int>(r.flags()),
                         "echo_id", static_cast<int>(r.tx_id()), "reason", Py_None);
  }
  return Py_BuildValue("{s:s,s:O,s:O,s:i,s:O,s:s}", "status", "uncertain", "status_raw", Py_None, "timestamp_us",
                       Py_None, "flags", 0, "echo_id", Py_None, "reason", uncertainty_reason_wire_name(r.reason()));
}

PyObject* ticket_id(PyObject* self, PyObject* Py_UNUSED(unused)) {
  return PyLong_FromUnsignedLongLong(payload_of(self).ticket.ticket_id);
}

PyObject* ticket_usb_error(PyObject* self, PyObject* Py_UNUSED(unused)) {
  const auto& e = payload_of(self).usb_error;
  if (!e) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(e->data(), static_cast<Py_ssize_t>(e->size()), "replace");
}

PyObject* ticket_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"timeout_ms"};
  PyObject* a[1];
  uint64_t timeout_ms;
  if (!parse_args("wait", args, nargs, kwnames, names, a) || !to_u64(a[0], "wait", "timeout_ms", &timeout_ms))
    return nullptr;
  TxTicket& ticket = *payload_of(self).ticket.ticket;
  auto r = without_gil([&] { return wait_ticket(ticket, deadline_after_ms(timeout_ms), signals_ok); });
  if (!r.ok()) return raise_op(r.error());
  if (!r.value()) return raise_op(OpError::expired(kTxUncertainTimeout));
  return result_dict(*r.value());
  TAVRO_PY_GUARD_END
}

int ticket_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

void ticket_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TicketObject*>(self)->payload;  // drops only counted references; never blocks
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyMethodDef ticket_methods[] = {
    {"id", ticket_id, METH_NOARGS, "id($self)\n--\n\nThe ticket id."},
    {"usb_error", ticket_usb_error, METH_NOARGS,
     "usb_error($self)\n--\n\nThe write's error text when delivery became uncertain at submission, else None."},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ticket_wait)), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout_ms)\n--\n\nThe transmission's result as a dict; TimeoutError while it is pending."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot ticket_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ticket_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ticket_traverse)},
    {Py_tp_methods, ticket_methods},
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

PyObject* new_ticket(PyTypeObject* device_type, TicketPayload payload) {
  ModuleState* st = module_state_of(device_type);
  if (!st) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(st->ticket_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<TicketObject*>(self)->payload = new TicketPayload(std::move(payload));
  return self;
}

const TicketPayload* ticket_payload(PyTypeObject* device_type, PyObject* o, const char* fname, const char* arg) {
  ModuleState* st = module_state_of(device_type);
  if (!st) return nullptr;
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st->ticket_type))) {
    type_error(o, fname, arg, "NativeTxTicket");
    return nullptr;
  }
  return reinterpret_cast<TicketObject*>(o)->payload;
}

}  // namespace tavro::py
