// tavro_sim._native's adapter controls: plugging and unplugging, profiles, firmware state, fault rules, records.
#include "python/controls.hpp"

#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/profile_codec.hpp"
#include "python/simulator.hpp"

namespace tavro::sim::python {

PyObject* py_plug(PyObject*, PyObject* args) {
  PyObject* base_obj;
  PyObject* fields;
  unsigned int bus = 0;
  if (!PyArg_ParseTuple(args, "OO|I", &base_obj, &fields, &bus)) return nullptr;
  if (!bus_or_raise(bus)) return nullptr;
  const char* base = PyUnicode_Check(base_obj) ? PyUnicode_AsUTF8AndSize(base_obj, nullptr) : nullptr;
  FirmwareProfile p;
  if (base && std::string(base) == "legacy")
    p = FirmwareProfile::legacy();
  else if (!base || std::string(base) != "standard") {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "base profile must be 'standard' or 'legacy'");
    return nullptr;
  }
  if (!apply_profile(fields, &p)) return nullptr;
  Simulator& s = simulator();
  std::shared_ptr<SimAdapter> a;
  {
    GilRelease u;
    a = s.hub.plug(std::move(p), bus);
    std::lock_guard l(s.mu);
    s.known[a->id()] = a;
  }
  return PyLong_FromUnsignedLongLong(a->id());
}

PyObject* py_unplug(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  bool was;
  {
    GilRelease u;
    was = simulator().hub.unplug(a->id());
  }
  return PyBool_FromLong(was);
}

PyObject* py_adapters(PyObject*, PyObject*) {
  std::vector<std::shared_ptr<SimAdapter>> list;
  {
    GilRelease u;
    list = simulator().hub.adapters();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& a : list) {
    Ref v(PyLong_FromUnsignedLongLong(a->id()));
    if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* py_reset(PyObject*, PyObject*) {
  Simulator& s = simulator();
  {
    GilRelease u;
    s.backend.reset();
    std::lock_guard l(s.mu);
    s.known.clear();
  }
  Py_RETURN_NONE;
}

PyObject* py_get_profile(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return profile_to_dict(a->firmware().profile());
}

PyObject* py_set_profile(PyObject*, PyObject* args) {
  PyObject *id, *fields;
  if (!PyArg_ParseTuple(args, "OO", &id, &fields)) return nullptr;
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  FirmwareProfile p = a->firmware().profile();
  if (!apply_profile(fields, &p)) return nullptr;
  {
    GilRelease u;
    a->firmware().set_profile(p);
  }
  Py_RETURN_NONE;
}

PyObject* py_is_plugged(PyObject*, PyObject* id) {
  const unsigned long long n = PyLong_AsUnsignedLongLong(id);
  if (n == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
  Simulator& s = simulator();
  std::lock_guard l(s.mu);
  auto it = s.known.find(n);
  return PyBool_FromLong(it != s.known.end() && it->second->plugged());
}

PyObject* py_state(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  tavro::sim::FirmwareState st;
  {
    GilRelease u;
    st = a->firmware().state();
  }
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  PyObject* override_obj = st.bus_state_override ? PyLong_FromUnsignedLong(*st.bus_state_override) : Py_NewRef(Py_None);
  const bool ok =
      set_b(o, "plugged", a->plugged()) && set_b(o, "powered", st.powered) && set_b(o, "bus_running", st.bus_running) &&
      set_u(o, "bus_state", st.bus_state) && set_item(o, "bus_state_override", override_obj) &&
      set_u(o, "rx_error_count", st.errors.rx_errors) && set_u(o, "tx_error_count", st.errors.tx_errors) &&
      set_u(o, "bus_off_count", st.errors.bus_off_count) && set_u(o, "last_error_code", st.last_error_code) &&
      set_u(o, "mode", st.mode) && set_item(o, "bittiming", new_tuple(timing_words(st.bittiming))) &&
      set_u(o, "btimr", st.btimr) && set_u(o, "result_mode", st.result_mode) && set_u(o, "generation", st.generation) &&
      set_u(o, "led_mode", st.led_mode) && set_b(o, "termination", st.termination) &&
      set_item(o, "device_name", new_bytes(st.device_name.data(), st.device_name.size())) &&
      set_item(o, "stored_name", new_bytes(st.stored_name.data(), st.stored_name.size())) &&
      set_u(o, "settings_status", st.settings_status) && set_u(o, "channel", st.channel_id) &&
      set_item(o, "interface_name",
               PyUnicode_DecodeUTF8(st.interface_name.data(), Py_ssize_t(st.interface_name.size()), "replace")) &&
      set_u(o, "identify_count", st.identify_count) && set_u(o, "identify_ms", st.identify_ms) &&
      set_u(o, "timestamp_us", st.timestamp_us) && set_u(o, "tx_in_flight", st.tx_in_flight) &&
      set_u(o, "rx_queued_bytes", st.rx_queued_bytes) && set_u(o, "result_queued_bytes", st.result_queued_bytes) &&
      set_b(o, "stale_stream", st.stale_stream) && set_u(o, "frames_received", st.frames_received) &&
      set_u(o, "frames_transmitted", st.frames_transmitted) && set_u(o, "tx_rejected", st.tx_rejected) &&
      set_u(o, "rx_overflows", st.rx_overflows) && set_u(o, "result_overflows", st.result_overflows);
  return ok ? d.release() : nullptr;
}

PyObject* py_set_bus_state_override(PyObject*, PyObject* args) {
  PyObject *id, *state;
  if (!PyArg_ParseTuple(args, "OO", &id, &state)) return nullptr;
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  std::optional<uint32_t> v;
  if (state != Py_None) {
    uint32_t s;
    if (!to_uint(state, &s, "state")) return nullptr;
    v = s;
  }
  a->firmware().set_bus_state_override(v);
  Py_RETURN_NONE;
}

PyObject* py_set_last_error(PyObject*, PyObject* args) {
  PyObject *id, *code;
  if (!PyArg_ParseTuple(args, "OO", &id, &code)) return nullptr;
  auto a = adapter_or_raise(id);
  uint32_t c;
  if (!a || !to_uint(code, &c, "code")) return nullptr;
  a->firmware().set_last_error_code(c);
  Py_RETURN_NONE;
}

namespace {

// Looks up an optional key of a rule dict; nullptr without an error when it is absent.
PyObject* rule_item(PyObject* d, const char* key) {
  Ref k(PyUnicode_FromString(key));
  if (!k) return nullptr;
  return PyDict_GetItemWithError(d, k.get());
}

bool parse_rule(PyObject* d, FaultRule* r) {
  if (!PyDict_Check(d)) {
    PyErr_SetString(PyExc_TypeError, "rule must be a dict");
    return false;
  }
  PyObject* v;
  auto absent = [&](const char* key) {
    v = rule_item(d, key);
    return v == nullptr || v == Py_None;
  };
  if (!absent("target") && !to_uint(v, reinterpret_cast<uint8_t*>(&r->target), "target")) return false;
  if (PyErr_Occurred()) return false;
  if (uint8_t(r->target) > uint8_t(FaultTarget::Submit)) {
    PyErr_SetString(PyExc_ValueError, "unknown fault target");
    return false;
  }
  if (!absent("request") && !to_uint(v, &r->request, "request")) return false;
  if (!absent("direction") && !to_uint(v, reinterpret_cast<uint8_t*>(&r->direction), "direction")) return false;
  if (!absent("value")) {
    uint16_t value;
    if (!to_uint(v, &value, "value")) return false;
    r->value = value;
  }
  if (!absent("endpoint") && !to_uint(v, &r->endpoint, "endpoint")) return false;
  if (!absent("skip") && !to_uint(v, &r->skip, "skip")) return false;
  if (!absent("count")) {
    const long long c = PyLong_AsLongLong(v);
    if (c == -1 && PyErr_Occurred()) return false;
    r->count = c;
  }
  if (!absent("action") && !to_uint(v, reinterpret_cast<uint8_t*>(&r->action), "action")) return false;
  if (!absent("length") && !to_uint(v, &r->length, "length")) return false;
  if (!absent("payload") && !to_bytes(v, &r->payload, "payload")) return false;
  if (!absent("delay_us")) {
    uint64_t us;
    if (!to_u64(v, uint64_t(1) << 40, &us, "delay")) return false;
    r->delay = std::chrono::microseconds(us);
  }
  if (!absent("os_code")) {
    const long c = PyLong_AsLong(v);
    if (c == -1 && PyErr_Occurred()) return false;
    r->os_code = int(c);
  }
  if (!absent("text")) {
    Py_ssize_t n;
    const char* s = PyUnicode_Check(v) ? PyUnicode_AsUTF8AndSize(v, &n) : nullptr;
    if (!s) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "text must be a str");
      return false;
    }
    r->text.assign(s, size_t(n));
  }
  if (PyErr_Occurred()) return false;
  if (uint8_t(r->direction) > uint8_t(FaultDirection::Out) || uint8_t(r->action) > uint8_t(FaultAction::Expire)) {
    PyErr_SetString(PyExc_ValueError, "unknown fault direction or action");
    return false;
  }
  return true;
}

}  // namespace

PyObject* py_add_fault(PyObject*, PyObject* args) {
  PyObject *id, *rule;
  if (!PyArg_ParseTuple(args, "OO", &id, &rule)) return nullptr;
  FaultRule r;
  if (!parse_rule(rule, &r)) return nullptr;
  if (id == Py_None) {
    if (r.target != FaultTarget::Enumerate) {
      PyErr_SetString(PyExc_ValueError, "only enumeration faults are not tied to an adapter");
      return nullptr;
    }
    simulator().backend.faults().add(std::move(r));
    Py_RETURN_NONE;
  }
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  if (r.target == FaultTarget::Enumerate) {
    PyErr_SetString(PyExc_ValueError, "enumeration faults belong to the simulator, not to an adapter");
    return nullptr;
  }
  {
    GilRelease u;
    a->add_fault(std::move(r));
  }
  Py_RETURN_NONE;
}

PyObject* py_clear_faults(PyObject*, PyObject* id) {
  if (id == Py_None) {
    simulator().backend.faults().clear();
    Py_RETURN_NONE;
  }
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  a->faults().clear();
  Py_RETURN_NONE;
}

PyObject* py_fault_count(PyObject*, PyObject* id) {
  if (id == Py_None) return PyLong_FromSize_t(simulator().backend.faults().size());
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return PyLong_FromSize_t(a->faults().size());
}

PyObject* py_last_rx_host_ns(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return PyLong_FromLongLong(a->firmware().last_rx_host_ns());
}

PyObject* py_preload_rx(PyObject*, PyObject* args) {
  PyObject *id, *data;
  if (!PyArg_ParseTuple(args, "OO", &id, &data)) return nullptr;
  auto a = adapter_or_raise(id);
  std::vector<uint8_t> bytes;
  if (!a || !to_bytes(data, &bytes, "data")) return nullptr;
  {
    GilRelease u;
    a->firmware().preload_rx(bytes);
  }
  Py_RETURN_NONE;
}

PyObject* py_set_stale_stream(PyObject*, PyObject* args) {
  PyObject *id, *on;
  if (!PyArg_ParseTuple(args, "OO", &id, &on)) return nullptr;
  auto a = adapter_or_raise(id);
  bool endless;
  if (!a || !to_bool(on, &endless, "endless")) return nullptr;
  {
    GilRelease u;
    a->firmware().set_stale_stream(endless);
  }
  Py_RETURN_NONE;
}

PyObject* py_received_requests(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  std::vector<tavro::sim::ControlRecord> recs;
  {
    GilRelease u;
    recs = a->control_records();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& r : recs) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const bool in = (r.setup.request_type & 0x80) != 0;
    const bool ok = set_item(d.get(), "direction", PyUnicode_FromString(in ? "in" : "out")) &&
                    set_u(d.get(), "request_type", r.setup.request_type) &&
                    set_u(d.get(), "request", r.setup.request) && set_u(d.get(), "value", r.setup.value) &&
                    set_u(d.get(), "index", r.setup.index) && set_u(d.get(), "length", r.setup.length) &&
                    set_item(d.get(), "data", new_bytes(r.data.data(), r.data.size())) &&
                    set_item(d.get(), "reply", new_bytes(r.reply.data(), r.reply.size())) &&
                    set_item(d.get(), "status", PyUnicode_FromString(tavro::usb::transfer_status_name(r.status)));
    if (!ok || PyList_Append(out.get(), d.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* py_received_bulk_out(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  std::vector<std::vector<uint8_t>> recs;
  {
    GilRelease u;
    recs = a->bulk_out_records();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& r : recs) {
    Ref b(new_bytes(r.data(), r.size()));
    if (!b || PyList_Append(out.get(), b.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* py_clear_records(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  a->clear_records();
  Py_RETURN_NONE;
}

PyObject* py_set_record_limit(PyObject*, PyObject* args) {
  PyObject *id, *limit;
  if (!PyArg_ParseTuple(args, "OO", &id, &limit)) return nullptr;
  auto a = adapter_or_raise(id);
  uint64_t n;
  if (!a || !to_u64(limit, uint64_t(1) << 32, &n, "limit")) return nullptr;
  a->set_record_limit(size_t(n));
  Py_RETURN_NONE;
}

}  // namespace tavro::sim::python
