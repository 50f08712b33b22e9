// The control functions of tavro_sim._native, as its method table lists them (sim/python/module.cpp). Each one
// releases the interpreter lock for every call that reaches the simulator; the simulator never calls into Python.
#pragma once

#include "ext/pyref.hpp"

namespace tavro::sim::python {

// Adapters: plugging, profiles, state, faults, records (adapter_controls.cpp).
PyObject* py_plug(PyObject*, PyObject*);
PyObject* py_unplug(PyObject*, PyObject*);
PyObject* py_adapters(PyObject*, PyObject*);
PyObject* py_reset(PyObject*, PyObject*);
PyObject* py_get_profile(PyObject*, PyObject*);
PyObject* py_set_profile(PyObject*, PyObject*);
PyObject* py_is_plugged(PyObject*, PyObject*);
PyObject* py_state(PyObject*, PyObject*);
PyObject* py_set_bus_state_override(PyObject*, PyObject*);
PyObject* py_set_last_error(PyObject*, PyObject*);
PyObject* py_add_fault(PyObject*, PyObject*);
PyObject* py_clear_faults(PyObject*, PyObject*);
PyObject* py_fault_count(PyObject*, PyObject*);
PyObject* py_last_rx_host_ns(PyObject*, PyObject*);
PyObject* py_preload_rx(PyObject*, PyObject*);
PyObject* py_set_stale_stream(PyObject*, PyObject*);
PyObject* py_received_requests(PyObject*, PyObject*);
PyObject* py_received_bulk_out(PyObject*, PyObject*);
PyObject* py_clear_records(PyObject*, PyObject*);
PyObject* py_set_record_limit(PyObject*, PyObject*);

// The simulated bus (bus_controls.cpp).
PyObject* py_inject(PyObject*, PyObject*);
PyObject* py_start_stream(PyObject*, PyObject*);
PyObject* py_stop_stream(PyObject*, PyObject*);
PyObject* py_set_unlimited_speed(PyObject*, PyObject*);
PyObject* py_set_ack_peer(PyObject*, PyObject*);
PyObject* py_set_paused(PyObject*, PyObject*);
PyObject* py_inject_error(PyObject*, PyObject*);
PyObject* py_wire_log(PyObject*, PyObject*);
PyObject* py_bus_time_us(PyObject*, PyObject*);
PyObject* py_node_id(PyObject*, PyObject*);

// The USB/IP server (usbip_controls.cpp).
PyObject* py_usbip_listen(PyObject*, PyObject*);
PyObject* py_usbip_stop(PyObject*, PyObject*);
PyObject* py_usbip_port(PyObject*, PyObject*);
PyObject* py_usbip_serve_fd(PyObject*, PyObject*);
PyObject* py_usbip_identity(PyObject*, PyObject*);

// Test support (module.cpp).
PyObject* py_thread_names(PyObject*, PyObject*);
PyObject* py_halt_clears(PyObject*, PyObject*);

}  // namespace tavro::sim::python
