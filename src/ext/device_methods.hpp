// Method bodies of NativeTavroDevice, grouped by topic in their own files; the type's method table is in
// device.cpp.
#pragma once

#include "ext/device.hpp"
#include "ext/python.hpp"

namespace tavro::py {

DevicePayload& payload_of(PyObject* self);

// Frames: device_data.cpp
PyObject* device_send_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_receive_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_filters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_clear_filters(PyObject* self, PyObject* unused);

// Bus and controller configuration: device_config.cpp
PyObject* device_set_bus_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_bitrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_configure_modes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_configure_confirmation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_reset_can(PyObject* self, PyObject* unused);
PyObject* device_flush_tx_queue(PyObject* self, PyObject* unused);
PyObject* device_reset_timestamps(PyObject* self, PyObject* unused);

}  // namespace tavro::py
