// Reading and writing firmware profiles as Python dicts.
#include "python/profile_codec.hpp"

#include <string>

#include "python/convert.hpp"

namespace tavro::sim::python {

namespace {

constexpr const char* kBtConstFields[] = {"tseg1_min", "tseg1_max", "tseg2_min", "tseg2_max",
                                          "sjw_max",   "brp_min",   "brp_max",   "brp_inc"};

uint32_t* bt_const_field(tavro::sim::BtConst& c, int i) {
  uint32_t* f[] = {&c.tseg1_min, &c.tseg1_max, &c.tseg2_min, &c.tseg2_max,
                   &c.sjw_max,   &c.brp_min,   &c.brp_max,   &c.brp_inc};
  return f[i];
}

BitTiming timing_from(const std::array<uint32_t, 8>& w) { return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]}; }

}  // namespace

std::array<uint32_t, 8> timing_words(const BitTiming& t) {
  return {t.bitrate, t.sample_point, t.tq_ns, t.prop_seg, t.phase_seg1, t.phase_seg2, t.sjw, t.brp};
}

PyObject* profile_to_dict(const FirmwareProfile& p) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  if (p.serial) {
    if (!set_item(o, "serial", PyUnicode_FromStringAndSize(p.serial->data(), Py_ssize_t(p.serial->size()))))
      return nullptr;
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
      set_u(o, "features_supported", p.features_supported) && set_u(o, "temperature_sensors", p.temperature_sensors) &&
      set_item(o, "temperatures", new_tuple(p.temperatures)) && set_item(o, "bt_const", bt.release()) &&
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

namespace {

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

}  // namespace

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
    } else if (k == "vendor_id")
      ok = to_uint(v, &p->vendor_id, kc);
    else if (k == "product_id")
      ok = to_uint(v, &p->product_id, kc);
    else if (k == "hardware_version")
      ok = to_tuple(v, &p->hardware_version, kc);
    else if (k == "firmware_version")
      ok = to_tuple(v, &p->firmware_version, kc);
    else if (k == "bootloader_version")
      ok = to_tuple(v, &p->bootloader_version, kc);
    else if (k == "min_host_api_version")
      ok = to_tuple(v, &p->min_host_api_version, kc);
    else if (k == "channel_count")
      ok = to_uint(v, &p->channel_count, kc);
    else if (k == "hardware_id")
      ok = to_uint(v, &p->hardware_id, kc);
    else if (k == "clock_hz")
      ok = to_uint(v, &p->clock_hz, kc);
    else if (k == "tx_buffer_size")
      ok = to_uint(v, &p->tx_buffer_size, kc);
    else if (k == "rx_buffer_size")
      ok = to_uint(v, &p->rx_buffer_size, kc);
    else if (k == "ctrlmode_supported")
      ok = to_uint(v, &p->ctrlmode_supported, kc);
    else if (k == "features_supported")
      ok = to_uint(v, &p->features_supported, kc);
    else if (k == "temperature_sensors")
      ok = to_uint(v, &p->temperature_sensors, kc);
    else if (k == "temperatures")
      ok = to_tuple(v, &p->temperatures, kc);
    else if (k == "bt_const")
      ok = apply_bt_const(v, &p->bt_const);
    else if (k == "device_name")
      ok = to_fixed_bytes(v, &p->device_name, kc);
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
      if (s && std::string(s) == "bxcan")
        p->last_error_format = tavro::sim::LastErrorFormat::Bxcan;
      else if (s && std::string(s) == "legacy")
        p->last_error_format = tavro::sim::LastErrorFormat::Legacy;
      else {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "last_error_format must be 'bxcan' or 'legacy'");
        ok = false;
      }
    } else if (k == "led_mode_max")
      ok = to_uint(v, &p->led_mode_max, kc);
    else if (k == "rx_packet_size")
      ok = to_uint(v, &p->rx_packet_size, kc);
    else if (k == "result_packet_size")
      ok = to_uint(v, &p->result_packet_size, kc);
    else if (k == "out_packet_size")
      ok = to_uint(v, &p->out_packet_size, kc);
    else if (k == "tx_queue_depth")
      ok = to_uint(v, &p->tx_queue_depth, kc);
    else if (k == "rx_queue_records")
      ok = to_uint(v, &p->rx_queue_records, kc);
    else if (k == "result_queue_records")
      ok = to_uint(v, &p->result_queue_records, kc);
    else if (k == "settings_save_delay_ms")
      ok = to_uint(v, &p->settings_save_delay_ms, kc);
    else if (k == "settings_final_status")
      ok = to_uint(v, &p->settings_final_status, kc);
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

}  // namespace tavro::sim::python
