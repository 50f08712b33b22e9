// NativeTavroDevice: one open adapter as a Python object.
//
//   class NativeTavroDevice:
//       def __init__(self, serial=None): ...      # open the only / the named-serial adapter and prepare it
//       @staticmethod
//       def open_by_name(name): ...               # open the adapter whose stored name equals `name`
//       def close(self): ...                       # idempotent; methods then raise "Device is closed"
#pragma once

#include <cstdint>
#include <memory>

#include "ext/python.hpp"
#include "handle/handle.hpp"

namespace tavro::py {

// How _receive_message builds can.Message objects (device_plugin.cpp). Touched only with the interpreter lock held;
// the pointers borrow from a process-wide table, so dropping the payload anywhere releases nothing of Python's.
struct MessageFactoryState {
  const void* message_class = nullptr;  // null until _set_message_factory
  void* channel = nullptr;              // PyObject*
  double anchor = 0.0;                  // time.time() at which the adapter clock read 0
  uint64_t last_raw = 0, wrap_offset = 0, last_us = 0;
};

// What the Python object owns. Shared with the exit hook through the registry of open handles.
struct DevicePayload {
  std::shared_ptr<DeviceShared> shared;
  MessageFactoryState messages;
};

struct DeviceObject {
  PyObject_HEAD std::shared_ptr<DevicePayload>* payload;  // null only while construction failed
};

// Creates the heap type; returns nullptr with an exception set.
PyObject* create_device_type(PyObject* module);
// Closes every handle that is still open (exit hook; interpreter lock released).
void close_all_devices() noexcept;

PyObject* list_devices(PyObject* module, PyObject* unused);

}  // namespace tavro::py
