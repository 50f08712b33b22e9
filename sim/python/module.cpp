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
#ifndef Py_LIMITED_API
#error "tavro_sim._native is built against the stable ABI only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "backend/backend.hpp"
#include "ext/capsule.hpp"
#include "platform/platform.hpp"
#include "usbip/server.hpp"

namespace {

using tavro::sim::BitTiming;
using tavro::sim::FaultAction;
using tavro::sim::FaultDirection;
using tavro::sim::FaultRule;
using tavro::sim::FaultTarget;
using tavro::sim::FirmwareProfile;
using tavro::sim::SimAdapter;
using tavro::sim::SimBackend;

// ---------------------------------------------------------------------------------------------------------------
// Small RAII helpers

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept { return std::exchange(o_, nullptr); }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// Releases the interpreter lock for the scope.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// ---------------------------------------------------------------------------------------------------------------
// The simulator singleton

struct Simulator {
  tavro::sim::SimHub hub{[] { return tavro::sim::SimBus::create(); }};
  SimBackend backend{hub};
  tavro::py::BackendCapsule capsule{tavro::py::kBackendAbiVersion, &backend};
  tavro::sim::usbip::UsbipServer usbip{hub};
  std::mutex mu;
  // Every adapter plugged since the last reset, so that records stay readable after an unplug.
  std::map<uint64_t, std::shared_ptr<SimAdapter>> known;
};

// Created on first use and never destroyed: its bus thread and the product's open devices may outlive the module.
Simulator& simulator() {
  static Simulator* sim = [] {
    auto* s = new Simulator();
    const std::string list = tavro::platform::environment("TAVRO_SIM_ADAPTERS").value_or("tav.io:CANH0001");
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t end = list.find(',', pos);
      if (end == std::string::npos) end = list.size();
      std::string serial = list.substr(pos, end - pos);
      const auto first = serial.find_first_not_of(" \t");
      const auto last = serial.find_last_not_of(" \t");
      serial = first == std::string::npos ? "" : serial.substr(first, last - first + 1);
      if (!serial.empty()) {
        FirmwareProfile p;
        p.serial = serial;
        auto a = s->hub.plug(std::move(p));
        s->known[a->id()] = a;
      }
      pos = end + 1;
    }
    return s;
  }();
  return *sim;
}

std::shared_ptr<SimAdapter> adapter_or_raise(PyObject* id_obj) {
  const unsigned long long id = PyLong_AsUnsignedLongLong(id_obj);
  if (id == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
  Simulator& s = simulator();
  std::lock_guard l(s.mu);
  auto it = s.known.find(id);
  if (it == s.known.end()) {
    PyErr_Format(PyExc_ValueError, "no simulated adapter with id %llu", id);
    return nullptr;
  }
  return it->second;
}

// ---------------------------------------------------------------------------------------------------------------
// Conversions

bool to_u64(PyObject* o, uint64_t max, uint64_t* out, const char* what) {
  if (!PyLong_Check(o) || PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int", what);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s is out of range", what);
    return false;
  }
  if (v > max) {
    PyErr_Format(PyExc_ValueError, "%s is out of range", what);
    return false;
  }
  *out = v;
  return true;
}

template <typename T>
bool to_uint(PyObject* o, T* out, const char* what) {
  uint64_t v;
  if (!to_u64(o, uint64_t(T(~T(0))), &v, what)) return false;
  *out = T(v);
  return true;
}

bool to_bool(PyObject* o, bool* out, const char* what) {
  const int r = PyObject_IsTrue(o);
  if (r < 0) return false;
  *out = r != 0;
  return true;
}

// bytes (or str, UTF-8) into a byte vector.
bool to_bytes(PyObject* o, std::vector<uint8_t>* out, const char* what) {
  char* p = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_Check(o)) {
    if (PyBytes_AsStringAndSize(o, &p, &n) < 0) return false;
  } else if (PyByteArray_Check(o)) {
    p = PyByteArray_AsString(o);
    n = PyByteArray_Size(o);
  } else if (PyUnicode_Check(o)) {
    const char* u = PyUnicode_AsUTF8AndSize(o, &n);
    if (!u) return false;
    p = const_cast<char*>(u);
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
    return false;
  }
  out->assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + n);
  return true;
}

template <size_t N>
bool to_fixed_bytes(PyObject* o, std::array<uint8_t, N>* out, const char* what) {
  std::vector<uint8_t> v;
  if (!to_bytes(o, &v, what)) return false;
  if (v.size() > N) {
    PyErr_Format(PyExc_ValueError, "%s must be at most %d bytes", what, int(N));
    return false;
  }
  out->fill(0);
  std::copy(v.begin(), v.end(), out->begin());
  return true;
}

// A sequence of exactly N ints.
template <typename T, size_t N>
bool to_tuple(PyObject* o, std::array<T, N>* out, const char* what) {
  Ref seq(PySequence_Fast(o, what));
  if (!seq) return false;
  if (PySequence_Size(seq.get()) != Py_ssize_t(N)) {
    PyErr_Format(PyExc_ValueError, "%s must have %d items", what, int(N));
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    Ref item(PySequence_GetItem(seq.get(), Py_ssize_t(i)));
    if (!item || !to_uint(item.get(), &(*out)[i], what)) return false;
  }
  return true;
}

PyObject* new_bytes(const uint8_t* p, size_t n) { return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), Py_ssize_t(n)); }

template <typename T, size_t N>
PyObject* new_tuple(const std::array<T, N>& a) {
  Ref t(PyTuple_New(Py_ssize_t(N)));
  if (!t) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(a[i]);
    if (!v || PyTuple_SetItem(t.get(), Py_ssize_t(i), v) < 0) return nullptr;
  }
  return t.release();
}

// Sets d[key] = v and drops the reference to v; false on failure.
bool set_item(PyObject* d, const char* key, PyObject* v) {
  if (!v) return false;
  const int r = PyDict_SetItemString(d, key, v);
  Py_DECREF(v);
  return r == 0;
}

bool set_u(PyObject* d, const char* key, unsigned long long v) { return set_item(d, key, PyLong_FromUnsignedLongLong(v)); }
bool set_b(PyObject* d, const char* key, bool v) { return set_item(d, key, PyBool_FromLong(v)); }

// ---------------------------------------------------------------------------------------------------------------
// Profiles

constexpr const char* kBtConstFields[] = {"tseg1_min", "tseg1_max", "tseg2_min", "tseg2_max",
                                          "sjw_max",   "brp_min",   "brp_max",   "brp_inc"};

uint32_t* bt_const_field(tavro::sim::BtConst& c, int i) {
  uint32_t* f[] = {&c.tseg1_min, &c.tseg1_max, &c.tseg2_min, &c.tseg2_max, &c.sjw_max, &c.brp_min, &c.brp_max, &c.brp_inc};
  return f[i];
}

std::array<uint32_t, 8> timing_words(const BitTiming& t) {
  return {t.bitrate, t.sample_point, t.tq_ns, t.prop_seg, t.phase_seg1, t.phase_seg2, t.sjw, t.brp};
}

BitTiming timing_from(const std::array<uint32_t, 8>& w) { return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]}; }

PyObject* profile_to_dict(const FirmwareProfile& p) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  if (p.serial) {
    if (!set_item(o, "serial", PyUnicode_FromStringAndSize(p.serial->data(), Py_ssize_t(p.serial->size())))) return nullptr;
  } else if (PyDict_SetItemString(o, "serial", Py_None) < 0) {
    return nullptr;
  }
  Ref bt(PyDict_New());
  if (!bt) return nullptr;
  const auto& c = p.bt_const;
  size_t name_len = 0;
  while (name_len < c.name.size() && c.name[name_len] != 0) ++name_len;
  if (!set_item(bt.get(), "name", new_bytes(c.name.data(), name_len))) return nullptr;
  auto cc = c;
  for (int i = 0; i < 8; ++i)
    if (!set_u(bt.get(), kBtConstFields[i], *bt_const_field(cc, i))) return nullptr;
  Ref reqs(PyList_New(0));
  if (!reqs) return nullptr;
  for (size_t i = 0; i < p.supported_requests.size(); ++i) {
    if (!p.supported_requests.test(i)) continue;
    Ref v(PyLong_FromSize_t(i));
    if (!v || PyList_Append(reqs.get(), v.get()) < 0) return nullptr;
  }
  const bool ok =
      set_u(o, "vendor_id", p.vendor_id) && set_u(o, "product_id", p.product_id) &&
      set_item(o, "hardware_version", new_tuple(p.hardware_version)) &&
      set_item(o, "firmware_version", new_tuple(p.firmware_version)) &&
      set_item(o, "bootloader_version", new_tuple(p.bootloader_version)) &&
      set_item(o, "min_host_api_version", new_tuple(p.min_host_api_version)) &&
      set_u(o, "channel_count", p.channel_count) && set_u(o, "hardware_id", p.hardware_id) &&
      set_u(o, "clock_hz", p.clock_hz) && set_u(o, "tx_buffer_size", p.tx_buffer_size) &&
      set_u(o, "rx_buffer_size", p.rx_buffer_size) && set_u(o, "ctrlmode_supported", p.ctrlmode_supported) &&
      set_u(o, "features_supported", p.features_supported) &&
      set_u(o, "temperature_sensors", p.temperature_sensors) &&
      set_item(o, "temperatures", new_tuple(p.temperatures)) &&
      set_item(o, "bt_const", bt.release()) &&
      set_item(o, "device_name", new_bytes(p.device_name.data(), p.device_name.size())) &&
      set_item(o, "power_up_bittiming", new_tuple(timing_words(p.power_up_bittiming))) &&
      set_item(o, "supported_requests", reqs.release()) &&
      set_item(o, "last_error_format",
               PyUnicode_FromString(p.last_error_format == tavro::sim::LastErrorFormat::Legacy ? "legacy" : "bxcan")) &&
      set_u(o, "led_mode_max", p.led_mode_max) && set_u(o, "rx_packet_size", p.rx_packet_size) &&
      set_u(o, "result_packet_size", p.result_packet_size) && set_u(o, "out_packet_size", p.out_packet_size) &&
      set_u(o, "tx_queue_depth", p.tx_queue_depth) && set_u(o, "rx_queue_records", p.rx_queue_records) &&
      set_u(o, "result_queue_records", p.result_queue_records) &&
      set_u(o, "settings_save_delay_ms", p.settings_save_delay_ms) &&
      set_u(o, "settings_final_status", p.settings_final_status);
  return ok ? d.release() : nullptr;
}

bool apply_bt_const(PyObject* v, tavro::sim::BtConst* c) {
  if (!PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "bt_const must be a dict");
    return false;
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(v, &pos, &key, &value)) {
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
    if (!k) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "bt_const keys must be str");
      return false;
    }
    if (std::string(k) == "name") {
      if (!to_fixed_bytes(value, &c->name, "bt_const name")) return false;
      continue;
    }
    int i = 0;
    while (i < 8 && std::string(k) != kBtConstFields[i]) ++i;
    if (i == 8) {
      PyErr_Format(PyExc_ValueError, "unknown bt_const field '%s'", k);
      return false;
    }
    if (!to_uint(value, bt_const_field(*c, i), k)) return false;
  }
  return true;
}

// Applies every key of `d` to the profile; unknown keys are a ValueError.
bool apply_profile(PyObject* d, FirmwareProfile* p) {
  if (!PyDict_Check(d)) {
    PyErr_SetString(PyExc_TypeError, "profile must be a dict");
    return false;
  }
  PyObject *key, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(d, &pos, &key, &v)) {
    const char* kc = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
    if (!kc) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "profile keys must be str");
      return false;
    }
    const std::string k = kc;
    bool ok = true;
    if (k == "serial") {
      if (v == Py_None) {
        p->serial.reset();
      } else if (!PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "serial must be a str or None");
        ok = false;
      } else {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (!s) return false;
        p->serial = std::string(s, size_t(n));
      }
    } else if (k == "vendor_id") ok = to_uint(v, &p->vendor_id, kc);
    else if (k == "product_id") ok = to_uint(v, &p->product_id, kc);
    else if (k == "hardware_version") ok = to_tuple(v, &p->hardware_version, kc);
    else if (k == "firmware_version") ok = to_tuple(v, &p->firmware_version, kc);
    else if (k == "bootloader_version") ok = to_tuple(v, &p->bootloader_version, kc);
    else if (k == "min_host_api_version") ok = to_tuple(v, &p->min_host_api_version, kc);
    else if (k == "channel_count") ok = to_uint(v, &p->channel_count, kc);
    else if (k == "hardware_id") ok = to_uint(v, &p->hardware_id, kc);
    else if (k == "clock_hz") ok = to_uint(v, &p->clock_hz, kc);
    else if (k == "tx_buffer_size") ok = to_uint(v, &p->tx_buffer_size, kc);
    else if (k == "rx_buffer_size") ok = to_uint(v, &p->rx_buffer_size, kc);
    else if (k == "ctrlmode_supported") ok = to_uint(v, &p->ctrlmode_supported, kc);
    else if (k == "features_supported") ok = to_uint(v, &p->features_supported, kc);
    else if (k == "temperature_sensors") ok = to_uint(v, &p->temperature_sensors, kc);
    else if (k == "temperatures") ok = to_tuple(v, &p->temperatures, kc);
    else if (k == "bt_const") ok = apply_bt_const(v, &p->bt_const);
    else if (k == "device_name") ok = to_fixed_bytes(v, &p->device_name, kc);
    else if (k == "power_up_bittiming") {
      std::array<uint32_t, 8> w{};
      ok = to_tuple(v, &w, kc);
      if (ok) p->power_up_bittiming = timing_from(w);
    } else if (k == "supported_requests") {
      Ref it(PyObject_GetIter(v));
      if (!it) return false;
      tavro::sim::RequestSet set;
      while (PyObject* item = PyIter_Next(it.get())) {
        Ref r(item);
        uint64_t n;
        if (!to_u64(r.get(), set.size() - 1, &n, "supported request")) return false;
        set.set(size_t(n));
      }
      if (PyErr_Occurred()) return false;
      p->supported_requests = set;
    } else if (k == "last_error_format") {
      const char* s = PyUnicode_Check(v) ? PyUnicode_AsUTF8AndSize(v, nullptr) : nullptr;
      if (s && std::string(s) == "bxcan") p->last_error_format = tavro::sim::LastErrorFormat::Bxcan;
      else if (s && std::string(s) == "legacy") p->last_error_format = tavro::sim::LastErrorFormat::Legacy;
      else {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "last_error_format must be 'bxcan' or 'legacy'");
        ok = false;
      }
    } else if (k == "led_mode_max") ok = to_uint(v, &p->led_mode_max, kc);
    else if (k == "rx_packet_size") ok = to_uint(v, &p->rx_packet_size, kc);
    else if (k == "result_packet_size") ok = to_uint(v, &p->result_packet_size, kc);
    else if (k == "out_packet_size") ok = to_uint(v, &p->out_packet_size, kc);
    else if (k == "tx_queue_depth") ok = to_uint(v, &p->tx_queue_depth, kc);
    else if (k == "rx_queue_records") ok = to_uint(v, &p->rx_queue_records, kc);
    else if (k == "result_queue_records") ok = to_uint(v, &p->result_queue_records, kc);
    else if (k == "settings_save_delay_ms") ok = to_uint(v, &p->settings_save_delay_ms, kc);
    else if (k == "settings_final_status") ok = to_uint(v, &p->settings_final_status, kc);
    else {
      PyErr_Format(PyExc_ValueError, "unknown profile field '%s'", kc);
      return false;
    }
    if (!ok) return false;
  }
  for (uint16_t mps : {p->rx_packet_size, p->result_packet_size, p->out_packet_size}) {
    if (mps == 0) {
      PyErr_SetString(PyExc_ValueError, "packet sizes must not be 0");
      return false;
    }
  }
  if (p->tx_queue_depth == 0 || p->rx_queue_records == 0 || p->result_queue_records == 0) {
    PyErr_SetString(PyExc_ValueError, "queue sizes must not be 0");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Module functions

PyObject* py_plug(PyObject*, PyObject* args) {
  PyObject* base_obj;
  PyObject* fields;
  if (!PyArg_ParseTuple(args, "OO", &base_obj, &fields)) return nullptr;
  const char* base = PyUnicode_Check(base_obj) ? PyUnicode_AsUTF8AndSize(base_obj, nullptr) : nullptr;
  FirmwareProfile p;
  if (base && std::string(base) == "legacy") p = FirmwareProfile::legacy();
  else if (!base || std::string(base) != "standard") {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "base profile must be 'standard' or 'legacy'");
    return nullptr;
  }
  if (!apply_profile(fields, &p)) return nullptr;
  Simulator& s = simulator();
  std::shared_ptr<SimAdapter> a;
  {
    Unlocked u;
    a = s.hub.plug(std::move(p));
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
    Unlocked u;
    was = simulator().hub.unplug(a->id());
  }
  return PyBool_FromLong(was);
}

PyObject* py_adapters(PyObject*, PyObject*) {
  std::vector<std::shared_ptr<SimAdapter>> list;
  {
    Unlocked u;
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
    Unlocked u;
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
    Unlocked u;
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
    Unlocked u;
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
  if (uint8_t(r->target) > uint8_t(FaultTarget::Unlink)) {
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
  a->faults().add(std::move(r));
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
    Unlocked u;
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
    Unlocked u;
    a->firmware().set_stale_stream(endless);
  }
  Py_RETURN_NONE;
}

PyObject* py_received_requests(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  std::vector<tavro::sim::ControlRecord> recs;
  {
    Unlocked u;
    recs = a->control_records();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& r : recs) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const bool in = (r.setup.request_type & 0x80) != 0;
    const bool ok = set_item(d.get(), "direction", PyUnicode_FromString(in ? "in" : "out")) &&
                    set_u(d.get(), "request_type", r.setup.request_type) && set_u(d.get(), "request", r.setup.request) &&
                    set_u(d.get(), "value", r.setup.value) && set_u(d.get(), "index", r.setup.index) &&
                    set_u(d.get(), "length", r.setup.length) &&
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
    Unlocked u;
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

// ---------------------------------------------------------------------------------------------------------------
// Bus control

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

PyObject* py_inject(PyObject*, PyObject* args) {
  PyObject* frames;
  unsigned int bitrate;
  if (!PyArg_ParseTuple(args, "OI", &frames, &bitrate)) return nullptr;
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
    Unlocked u;
    simulator().hub.bus()->inject(list, bitrate);
  }
  Py_RETURN_NONE;
}

PyObject* py_start_stream(PyObject*, PyObject* args) {
  PyObject* frame;
  unsigned int bitrate;
  double rate;
  unsigned long long count;
  if (!PyArg_ParseTuple(args, "OIdK", &frame, &bitrate, &rate, &count)) return nullptr;
  tavro::sim::BusFrame f;
  if (!to_frame(frame, &f)) return nullptr;
  {
    Unlocked u;
    simulator().hub.bus()->start_stream(f, bitrate, rate, count);
  }
  Py_RETURN_NONE;
}

PyObject* py_stop_stream(PyObject*, PyObject*) {
  {
    Unlocked u;
    simulator().hub.bus()->stop_stream();
  }
  Py_RETURN_NONE;
}

PyObject* py_set_flag(PyObject* args, void (*fn)(tavro::sim::SimBus&, bool)) {
  PyObject* on;
  if (!PyArg_ParseTuple(args, "O", &on)) return nullptr;
  bool v;
  if (!to_bool(on, &v, "on")) return nullptr;
  {
    Unlocked u;
    fn(*simulator().hub.bus(), v);
  }
  Py_RETURN_NONE;
}

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
  if (id != Py_None) {
    auto a = adapter_or_raise(id);
    if (!a) return nullptr;
    node = a->firmware().bus_node();
  }
  {
    Unlocked u;
    simulator().hub.bus()->inject_error(node, state);
  }
  Py_RETURN_NONE;
}

PyObject* py_wire_log(PyObject*, PyObject*) {
  std::vector<tavro::sim::WireRecord> log;
  {
    Unlocked u;
    log = simulator().hub.bus()->take_wire_log();
  }
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& w : log) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const auto& f = w.frame;
    const bool ok = set_u(d.get(), "id", f.id) && set_b(d.get(), "extended", f.extended) &&
                    set_b(d.get(), "remote", f.remote) && set_b(d.get(), "error", f.error) &&
                    set_u(d.get(), "dlc", f.dlc) &&
                    set_item(d.get(), "data", new_bytes(f.data.data(), std::min<size_t>(f.dlc, 8))) &&
                    set_u(d.get(), "start_us", w.start_us) && set_u(d.get(), "end_us", w.end_us) &&
                    set_item(d.get(), "sender", PyLong_FromLong(w.sender)) &&
                    set_b(d.get(), "acknowledged", w.acknowledged);
    if (!ok || PyList_Append(out.get(), d.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* py_bus_time_us(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(simulator().hub.bus()->now_us());
}

PyObject* py_node_id(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  return PyLong_FromLong(a->firmware().bus_node());
}

// ---------------------------------------------------------------------------------------------------------------
// USB/IP

PyObject* py_usbip_listen(PyObject*, PyObject* args) {
  const char* host;
  unsigned short port;
  if (!PyArg_ParseTuple(args, "sH", &host, &port)) return nullptr;
  std::string error;
  int bound;
  {
    Unlocked u;
    bound = simulator().usbip.listen(host, port, error);
  }
  if (bound < 0) return PyErr_Format(PyExc_OSError, "USB/IP server: %s", error.c_str());
  return PyLong_FromLong(bound);
}

PyObject* py_usbip_stop(PyObject*, PyObject*) {
  {
    Unlocked u;
    simulator().usbip.stop();
  }
  Py_RETURN_NONE;
}

PyObject* py_usbip_port(PyObject*, PyObject*) { return PyLong_FromLong(simulator().usbip.port()); }

PyObject* py_usbip_serve_fd(PyObject*, PyObject* args) {
  PyObject* id;
  int fd;
  if (!PyArg_ParseTuple(args, "Oi", &id, &fd)) return nullptr;
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  using tavro::sim::usbip::UsbipServer;
  if (const char* why = UsbipServer::unavailable()) return PyErr_Format(PyExc_OSError, "USB/IP server: %s", why);
  const int own = UsbipServer::duplicate_socket(fd);
  if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
  bool served;
  {
    Unlocked u;
    served = simulator().usbip.serve(a, own);
  }
  return PyBool_FromLong(served);
}

PyObject* py_usbip_identity(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  using tavro::sim::usbip::UsbipServer;
  uint32_t speed;
  {
    Unlocked u;
    speed = UsbipServer::speed(*a);
  }
  return Py_BuildValue("(skk)", UsbipServer::busid(*a).c_str(), (unsigned long)UsbipServer::devid(*a),
                       (unsigned long)speed);
}

// ---------------------------------------------------------------------------------------------------------------
// Test support

// The names of the process's threads as the OS shows them, so that tests check the driver's thread names the same
// way on every platform (the product module offers nothing of the kind).
PyObject* py_thread_names(PyObject*, PyObject*) {
  std::vector<std::string> names;
  try {
    Unlocked u;
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

PyMethodDef methods[] = {
    {"plug", py_plug, METH_VARARGS, "plug(base, profile) -> id: plug an adapter built from a base profile and fields."},
    {"unplug", py_unplug, METH_O, "unplug(id) -> bool: unplug the adapter; False if it was not plugged."},
    {"adapters", py_adapters, METH_NOARGS, "adapters() -> [id]: plugged adapters in plug order."},
    {"reset", py_reset, METH_NOARGS, "reset(): unplug all, clear faults, fresh bus."},
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
    {"inject", py_inject, METH_VARARGS, "inject(frames, bitrate)"},
    {"start_stream", py_start_stream, METH_VARARGS, "start_stream(frame, bitrate, rate_fps, count)"},
    {"stop_stream", py_stop_stream, METH_NOARGS, "stop_stream()"},
    {"set_unlimited_speed", py_set_unlimited_speed, METH_VARARGS, "set_unlimited_speed(on)"},
    {"set_ack_peer", py_set_ack_peer, METH_VARARGS, "set_ack_peer(on)"},
    {"set_paused", py_set_paused, METH_VARARGS, "set_paused(on)"},
    {"inject_error", py_inject_error, METH_VARARGS, "inject_error(id or None, state)"},
    {"wire_log", py_wire_log, METH_NOARGS, "wire_log() -> [dict]: frames on the wire since the last call."},
    {"bus_time_us", py_bus_time_us, METH_NOARGS, "bus_time_us() -> int"},
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
    Unlocked u;
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
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr}  // sentinel
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "tavro_sim._native", "The simulated TAVRO adapters of this process.", 0,
                   methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&def); }
