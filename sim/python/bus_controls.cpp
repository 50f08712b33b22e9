// tavro_sim._native's bus controls: frames from other nodes, streams, error injection, the wire log; each acts on
// the bus it is given (bus 0 unless given one).
#include "python/controls.hpp"

#include <vector>

#include "python/convert.hpp"
#include "python/simulator.hpp"

namespace tavro::sim::python {

namespace {

// A frame as (id, data, extended, remote, error, dlc or None).
bool to_frame(PyObject* o, tavro::sim::BusFrame* f) {
  PyObject *id, *data, *ext, *rtr, *err, *dlc;
  if (!PyTuple_Check(o) || !PyArg_ParseTuple(o, "OOOOOO", &id, &data, &ext, &rtr, &err, &dlc)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "frame must be a 6-tuple");
    return false;
  }
  std::vector<uint8_t> bytes;
  if (!to_uint(id, &f->id, "frame id") || !to_bytes(data, &bytes, "frame data") || !to_bool(ext, &f->extended, "") ||
      !to_bool(rtr, &f->remote, "") || !to_bool(err, &f->error, ""))
    return false;
  if (bytes.size() > 8) {
    PyErr_SetString(PyExc_ValueError, "frame data must be at most 8 bytes");
    return false;
  }
  if (f->id > (f->extended || f->error ? 0x1FFFFFFFu : 0x7FFu)) {
    PyErr_SetString(PyExc_ValueError, "frame id out of range");
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), f->data.begin());
  f->dlc = uint8_t(bytes.size());
  if (dlc != Py_None && !to_uint(dlc, &f->dlc, "dlc")) return false;
  if (f->dlc > 15) {
    PyErr_SetString(PyExc_ValueError, "dlc must be at most 15");
    return false;
  }
  return true;
}

// The bus named by the optional only argument (bus 0 without it), or nullptr with an exception set.
std::shared_ptr<SimBus> bus_arg(PyObject* args) {
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "|I", &index)) return nullptr;
  return bus_or_raise(index);
}

}  // namespace

PyObject* py_inject(PyObject*, PyObject* args) {
  PyObject* frames;
  unsigned int bitrate;
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "OI|I", &frames, &bitrate, &index)) return nullptr;
  auto bus = bus_or_raise(index);
  if (!bus) return nullptr;
  Ref it(PyObject_GetIter(frames));
  if (!it) return nullptr;
  std::vector<tavro::sim::BusFrame> list;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref r(item);
    tavro::sim::BusFrame f;
    if (!to_frame(r.get(), &f)) return nullptr;
    list.push_back(f);
  }
  if (PyErr_Occurred()) return nullptr;
  {
    GilRelease u;
    bus->inject(list, bitrate);
  }
  Py_RETURN_NONE;
}

PyObject* py_start_stream(PyObject*, PyObject* args) {
  PyObject* frame;
  unsigned int bitrate;
  double rate;
  unsigned long long count;
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "OIdK|I", &frame, &bitrate, &rate, &count, &index)) return nullptr;
  auto bus = bus_or_raise(index);
  if (!bus) return nullptr;
  tavro::sim::BusFrame f;
  if (!to_frame(frame, &f)) return nullptr;
  {
    GilRelease u;
    bus->start_stream(f, bitrate, rate, count);
  }
  Py_RETURN_NONE;
}

PyObject* py_stop_stream(PyObject*, PyObject* args) {
  auto bus = bus_arg(args);
  if (!bus) return nullptr;
  {
    GilRelease u;
    bus->stop_stream();
  }
  Py_RETURN_NONE;
}

namespace {

PyObject* py_set_flag(PyObject* args, void (*fn)(tavro::sim::SimBus&, bool)) {
  PyObject* on;
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "O|I", &on, &index)) return nullptr;
  bool v;
  if (!to_bool(on, &v, "on")) return nullptr;
  auto bus = bus_or_raise(index);
  if (!bus) return nullptr;
  {
    GilRelease u;
    fn(*bus, v);
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* py_set_unlimited_speed(PyObject*, PyObject* args) {
  return py_set_flag(args, [](tavro::sim::SimBus& b, bool on) { b.set_unlimited_speed(on); });
}
PyObject* py_set_ack_peer(PyObject*, PyObject* args) {
  return py_set_flag(args, [](tavro::sim::SimBus& b, bool on) { b.set_ack_peer(on); });
}
PyObject* py_set_paused(PyObject*, PyObject* args) {
  return py_set_flag(args, [](tavro::sim::SimBus& b, bool on) { b.set_paused(on); });
}

PyObject* py_inject_error(PyObject*, PyObject* args) {
  PyObject* id;
  unsigned int state;
  if (!PyArg_ParseTuple(args, "OI", &id, &state)) return nullptr;
  if (state > 3) {
    PyErr_SetString(PyExc_ValueError, "error state must be 0..3");
    return nullptr;
  }
  int node = -1;
  std::shared_ptr<SimBus> bus;
  if (id != Py_None) {
    auto a = adapter_or_raise(id);
    if (!a) return nullptr;
    node = a->firmware().bus_node();
    bus = a->firmware().bus();
  } else if (!(bus = bus_or_raise(0))) {
    return nullptr;
  }
  {
    GilRelease u;
    bus->inject_error(node, state);
  }
  Py_RETURN_NONE;
}

PyObject* py_wire_log(PyObject*, PyObject* args) {
  auto bus = bus_arg(args);
  if (!bus) return nullptr;
  std::vector<tavro::sim::WireRecord> log;
  {
    GilRelease u;
    log = bus->take_wire_log();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& w : log) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const auto& f = w.frame;
    const bool ok =
        set_u(d.get(), "id", f.id) && set_b(d.get(), "extended", f.extended) && set_b(d.get(), "remote", f.remote) &&
        set_b(d.get(), "error", f.error) && set_u(d.get(), "dlc", f.dlc) &&
        set_item(d.get(), "data", new_bytes(f.data.data(), std::min<size_t>(f.dlc, 8))) &&
        set_u(d.get(), "start_us", w.start_us) && set_u(d.get(), "end_us", w.end_us) &&
        set_item(d.get(), "sender", PyLong_FromLong(w.sender)) && set_b(d.get(), "acknowledged", w.acknowledged);
    if (!ok || PyList_Append(out.get(), d.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* py_bus_time_us(PyObject*, PyObject* args) {
  auto bus = bus_arg(args);
  if (!bus) return nullptr;
  return PyLong_FromUnsignedLongLong(bus->now_us());
}

PyObject* py_node_id(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return PyLong_FromLong(a->firmware().bus_node());
}

}  // namespace tavro::sim::python
