// tavro_sim._native: the process's one simulator instance and its control API, for the Python package tavro_sim.
//
//   import tavro_sim._native as n       # first import creates the simulator and plugs $TAVRO_SIM_ADAPTERS
//   n.backend                           # capsule "tavro_sim._native.backend": BackendCapsule{abi, &backend}
//   n.plug(profile: dict) -> int        # adapter id; n.unplug(id), n.adapters(), n.reset()
//   n.get_profile(id) / n.set_profile(id, dict) / n.state(id) -> dict
//   n.add_fault(id | None, rule: dict), n.clear_faults(id | None)
//   n.received_requests(id), n.received_bulk_out(id), n.clear_records(id)
//   n.inject(frames, bitrate), n.wire_log(), n.set_unlimited_speed(on), ...
//   n.usbip_listen(host, port) -> port, n.usbip_stop(), n.usbip_port() -> port or 0
//   n.usbip_serve_fd(id, fd) -> bool      # serves the adapter on a dup of a connected stream socket
//   n.usbip_identity(id) -> (busid, devid, speed)
//   n.usbip_unavailable                   # None, or why this platform has no USB/IP server (Linux only)
//   n.thread_names() -> [str]             # test support: the process's thread names as the OS shows them
//
// Every call that reaches the simulator releases the interpreter lock; the simulator never calls into Python.
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "python/controls.hpp"
#include "python/convert.hpp"
#include "python/simulator.hpp"

namespace tavro::sim::python {

// The names of the process's threads as the OS shows them, so that tests check the driver's thread names the same
// way on every platform (the product module offers nothing of the kind).
PyObject* py_thread_names(PyObject*, PyObject*) {
  std::vector<std::string> names;
  try {
    GilRelease u;
    names = tavro::platform::thread_names();
  } catch (const std::exception& e) {
    return PyErr_Format(PyExc_OSError, "thread names: %s", e.what());
  }
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& n : names) {
    Ref text(PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "replace"));
    if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* py_halt_clears(PyObject*, PyObject* args) {
  PyObject* id;
  unsigned char ep;
  if (!PyArg_ParseTuple(args, "Ob", &id, &ep)) return nullptr;
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return PyLong_FromUnsignedLongLong(a->halt_clears(ep));
}

namespace {

PyMethodDef methods[] = {
    {"plug", py_plug, METH_VARARGS,
     "plug(base, profile, bus=0) -> id: plug an adapter built from a base profile and fields on bus 0..15."},
    {"unplug", py_unplug, METH_O, "unplug(id) -> bool: unplug the adapter; False if it was not plugged."},
    {"adapters", py_adapters, METH_NOARGS, "adapters() -> [id]: plugged adapters in plug order."},
    {"reset", py_reset, METH_NOARGS, "reset(): unplug all, clear faults, one fresh bus."},
    {"is_plugged", py_is_plugged, METH_O, "is_plugged(id) -> bool"},
    {"get_profile", py_get_profile, METH_O, "get_profile(id) -> dict"},
    {"set_profile", py_set_profile, METH_VARARGS, "set_profile(id, fields): change profile fields."},
    {"state", py_state, METH_O, "state(id) -> dict: the firmware's state."},
    {"set_bus_state_override", py_set_bus_state_override, METH_VARARGS, "set_bus_state_override(id, state or None)"},
    {"set_last_error", py_set_last_error, METH_VARARGS, "set_last_error(id, lec)"},
    {"add_fault", py_add_fault, METH_VARARGS, "add_fault(id or None, rule: dict)"},
    {"clear_faults", py_clear_faults, METH_O, "clear_faults(id or None)"},
    {"fault_count", py_fault_count, METH_O, "fault_count(id or None) -> int: rules not yet used up."},
    {"last_rx_host_ns", py_last_rx_host_ns, METH_O,
     "last_rx_host_ns(id): host monotonic ns at which the adapter last queued a frame from the bus."},
    {"preload_rx", py_preload_rx, METH_VARARGS, "preload_rx(id, data): stale bytes waiting on endpoint 0x81."},
    {"set_stale_stream", py_set_stale_stream, METH_VARARGS, "set_stale_stream(id, endless)"},
    {"received_requests", py_received_requests, METH_O, "received_requests(id) -> [dict]"},
    {"received_bulk_out", py_received_bulk_out, METH_O, "received_bulk_out(id) -> [bytes]"},
    {"clear_records", py_clear_records, METH_O, "clear_records(id)"},
    {"set_record_limit", py_set_record_limit, METH_VARARGS, "set_record_limit(id, entries)"},
    {"inject", py_inject, METH_VARARGS, "inject(frames, bitrate, bus=0)"},
    {"start_stream", py_start_stream, METH_VARARGS, "start_stream(frame, bitrate, rate_fps, count, bus=0)"},
    {"stop_stream", py_stop_stream, METH_VARARGS, "stop_stream(bus=0)"},
    {"set_unlimited_speed", py_set_unlimited_speed, METH_VARARGS, "set_unlimited_speed(on, bus=0)"},
    {"set_ack_peer", py_set_ack_peer, METH_VARARGS, "set_ack_peer(on, bus=0)"},
    {"set_paused", py_set_paused, METH_VARARGS, "set_paused(on, bus=0)"},
    {"inject_error", py_inject_error, METH_VARARGS, "inject_error(id or None, state): None = every node of bus 0"},
    {"wire_log", py_wire_log, METH_VARARGS, "wire_log(bus=0) -> [dict]: frames on the wire since the last call."},
    {"bus_time_us", py_bus_time_us, METH_VARARGS, "bus_time_us(bus=0) -> int"},
    {"node_id", py_node_id, METH_O, "node_id(id) -> int: the adapter's node on the bus."},
    {"halt_clears", py_halt_clears, METH_VARARGS, "halt_clears(id, endpoint) -> int: halts the host cleared."},
    {"usbip_listen", py_usbip_listen, METH_VARARGS, "usbip_listen(host, port) -> int: start the USB/IP server."},
    {"usbip_stop", py_usbip_stop, METH_NOARGS, "usbip_stop(): close every USB/IP connection and stop listening."},
    {"usbip_port", py_usbip_port, METH_NOARGS, "usbip_port() -> int: the listening port, 0 when not listening."},
    {"usbip_serve_fd", py_usbip_serve_fd, METH_VARARGS,
     "usbip_serve_fd(id, fd) -> bool: serve the adapter on a duplicate of a connected stream socket."},
    {"usbip_identity", py_usbip_identity, METH_O, "usbip_identity(id) -> (busid, devid, speed)"},
    {"thread_names", py_thread_names, METH_NOARGS, "thread_names() -> [str]: names of this process's threads."},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

int exec_module(PyObject* m) {
  Simulator* s;
  {
    GilRelease u;
    s = &simulator();
  }
  PyObject* capsule = PyCapsule_New(&s->capsule, tavro::py::kBackendCapsuleName, nullptr);
  if (!capsule) return -1;
  if (PyModule_AddObject(m, tavro::py::kBackendAttribute, capsule) < 0) {
    Py_DECREF(capsule);
    return -1;
  }
  const char* why = tavro::sim::usbip::UsbipServer::unavailable();
  PyObject* unavailable = why ? PyUnicode_FromString(why) : Py_NewRef(Py_None);
  if (!unavailable) return -1;
  if (PyModule_AddObject(m, "usbip_unavailable", unavailable) < 0) {
    Py_DECREF(unavailable);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}  // sentinel
};

PyModuleDef def = {PyModuleDef_HEAD_INIT,
                   "tavro_sim._native",
                   "The simulated TAVRO adapters of this process.",
                   0,
                   methods,
                   slots,
                   nullptr,
                   nullptr,
                   nullptr};

}  // namespace
}  // namespace tavro::sim::python

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tavro::sim::python::def); }
