// Reports and status queries of NativeTavroDevice, and the module function library_versions.
//
//   library_versions()            -> dict   # no adapter needed; also works on a closed handle
//   dev.compatibility_report()    -> dict   # policy over a fresh device info and the capabilities cached at open
//   dev.get_last_error()          -> dict   # "bxcan" or "legacy" form
//   dev.get_diagnostics()         -> dict   # bus status record + last error + host receive drops
//   dev.get_statistics()          -> dict   # host counters since open
//   dev.get_temperatures()        -> dict | None
//   dev.get_bittiming()           -> dict
//   dev.get_bittiming_snapshot()  -> dict | None
//   dev.get_bittiming_limits()    -> dict
//
// The two reports travel as compact JSON through the interpreter's json.loads, which keeps their key order.
#include <optional>
#include <string>

#include "core/version.hpp"
#include "device/bit_timing.hpp"
#include "device/bittiming_snapshot.hpp"
#include "device/bus_state.hpp"
#include "device/commands.hpp"
#include "device/features.hpp"
#include "device/records.hpp"
#include "device/reports.hpp"
#include "device/status_records.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

// Only check_usable, for queries that answer from cached records.
Op<bool> usable(PyObject* self) {
  return on_adapter<bool>(self, [](UsbAdapter&) -> Op<bool> { return true; });
}

PyObject* py_uint(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* py_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }
PyObject* py_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}
PyObject* py_none() {
  Py_INCREF(Py_None);
  return Py_None;
}
PyObject* py_opt_float(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : py_none(); }
PyObject* py_opt_bool(const std::optional<bool>& v) { return v ? py_bool(*v) : py_none(); }

// Builds a dictionary key by key, in insertion order. Every `set` takes ownership of a new reference (or of a
// failed nullptr, whose exception is already set); the first failure sticks and done() then returns nullptr.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()) {}
  DictBuilder& set(const char* key, PyObject* owned) {
    Ref value(owned);
    if (dict_ && !failed_ && (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0)) failed_ = true;
    return *this;
  }
  PyObject* done() { return dict_ && !failed_ ? dict_.release() : nullptr; }

 private:
  Ref dict_;
  bool failed_ = false;
};

// json.loads(text), which must give a dict.
PyObject* parse_json_object(const std::string& text) {
  Ref json(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref loads(PyObject_GetAttrString(json.get(), "loads"));
  if (!loads) return nullptr;
  Ref arg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) return nullptr;
  Ref parsed(PyObject_CallFunctionObjArgs(loads.get(), arg.get(), nullptr));
  if (!parsed) return nullptr;
  if (!PyDict_Check(parsed.get())) {
    PyErr_SetString(PyExc_TypeError, "report text did not parse to a dict");
    return nullptr;
  }
  return parsed.release();
}

PyObject* library_versions_dict() {
  Ref dict(parse_json_object(library_versions_json()));
  if (!dict) return nullptr;
  // Two keys that the native report does not carry, added in this order; the dependency is built from the same
  // source tree, so its revision is ours.
  Ref adapter(py_str(kAdapterLayerVersion));
  if (!adapter || PyDict_SetItemString(dict.get(), "adapter_version", adapter.get()) < 0) return nullptr;
  Ref revision(py_str(source_revision()));
  if (!revision || PyDict_SetItemString(dict.get(), "dependency_revision", revision.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* last_error_dict(const LastErrorRecord& r) {
  DictBuilder d;
  const bool bxcan = r.form == LastErrorRecord::Form::Bxcan;
  d.set("format", py_str(bxcan ? "bxcan" : "legacy"));
  d.set("code", py_uint(r.code()));
  if (bxcan) {
    d.set("lec", py_uint(r.bxcan.lec));
    d.set("raw_errsr", py_uint(r.bxcan.raw_errsr));
  } else {
    d.set("error_type", py_uint(r.legacy.error_type));
    d.set("error_location", py_uint(r.legacy.error_location));
  }
  d.set("tx_error_count", py_uint(r.tx_error_count()));
  d.set("rx_error_count", py_uint(r.rx_error_count()));
  d.set("name", py_str(r.name()));
  // The adapter's latched last error, not an error attached to a particular frame.
  d.set("historical", py_bool(true));
  d.set("per_frame", py_bool(false));
  return d.done();
}

PyObject* bittiming_dict(const BitTimingRecord& t) {
  DictBuilder d;
  d.set("bitrate", py_uint(t.bitrate));
  d.set("sample_point", py_uint(t.sample_point));
  d.set("tq", py_uint(t.tq_ns));
  d.set("prop_seg", py_uint(t.prop_seg));
  d.set("phase_seg1", py_uint(t.phase_seg1));
  d.set("phase_seg2", py_uint(t.phase_seg2));
  d.set("sjw", py_uint(t.sjw));
  d.set("brp", py_uint(t.brp));
  return d.done();
}

PyObject* derived_timing_dict(const DerivedTiming& t) {
  DictBuilder d;
  d.set("brp", py_uint(t.params.brp));
  d.set("tseg1", py_uint(t.params.tseg1));
  d.set("tseg2", py_uint(t.params.tseg2));
  d.set("sjw", py_uint(t.params.sjw));
  d.set("bitrate_hz", py_opt_float(t.bitrate_hz));
  d.set("sample_point_percent", py_opt_float(t.sample_point_percent));
  d.set("tq_ns", py_opt_float(t.tq_ns));
  return d.done();
}

PyObject* snapshot_dict(const BitTimingSnapshot& s, const SnapshotAnalysis& a) {
  DictBuilder raw;
  raw.set("btimr", py_uint(s.btimr));
  raw.set("ctlr", py_uint(s.ctlr));
  raw.set("statr", py_uint(s.statr));
  raw.set("errsr", py_uint(s.errsr));
  raw.set("bus_state", py_uint(s.bus_state));

  DictBuilder d;
  d.set("configured", bittiming_dict(s.configured));
  d.set("configured_state", py_str(configured_state_name(a.validation.state)));
  d.set("configured_parameters", a.configured ? derived_timing_dict(*a.configured) : py_none());
  d.set("programmed", derived_timing_dict(a.programmed));
  d.set("clock_freq", py_uint(s.clock_freq));
  d.set("bus_state", py_uint(s.bus_state));
  d.set("peripheral_state", py_str(peripheral_state_name(a.peripheral)));
  d.set("timing_matches", py_opt_bool(a.timing_matches));
  d.set("metadata_consistent", py_opt_bool(a.metadata_consistent));
  d.set("validation_error", a.validation.error ? py_str(a.validation.error->text()) : py_none());
  d.set("listen_only", py_bool(a.listen_only));
  d.set("loopback", py_bool(a.loopback));
  d.set("raw", raw.done());
  return d.done();
}

}  // namespace

PyObject* module_library_versions(PyObject* Py_UNUSED(module), PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  return library_versions_dict();
  TAVRO_PY_GUARD_END
}

PyObject* device_library_versions(PyObject* Py_UNUSED(self), PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  return library_versions_dict();
  TAVRO_PY_GUARD_END
}

PyObject* device_compatibility_report(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  // Read on every call: the report judges the adapter as it answers now.
  auto r =
      on_adapter<DeviceInfoRecord>(self, [](UsbAdapter& a) -> Op<DeviceInfoRecord> { return read_device_info(a); });
  if (!r.ok()) return raise_op(r.error());
  const CompatibilityAssessment a = assess(r.value(), payload_of(self).shared->capabilities());
  return parse_json_object(compatibility_report_json(a));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_last_error(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<LastErrorRecord>(self, [](UsbAdapter& a) -> Op<LastErrorRecord> { return read_last_error(a); });
  if (!r.ok()) return raise_op(r.error());
  return last_error_dict(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_get_diagnostics(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  struct Diagnostics {
    BusStateRecord bus;
    LastErrorRecord last_error;
  };
  // Both records under one hold of the lock; either failure fails the call.
  auto r = on_adapter<Diagnostics>(self, [](UsbAdapter& a) -> Op<Diagnostics> {
    auto bus = read_bus_state(a);
    if (!bus.ok()) return bus.error();
    auto last = read_last_error(a);
    if (!last.ok()) return last.error();
    return Diagnostics{bus.value(), last.value()};
  });
  if (!r.ok()) return raise_op(r.error());
  const Diagnostics& diag = r.value();
  DictBuilder d;
  d.set("bus_state", py_uint(diag.bus.state));
  d.set("rx_error_count", py_uint(diag.bus.rx_errors));
  d.set("tx_error_count", py_uint(diag.bus.tx_errors));
  d.set("bus_off_count", py_uint(diag.bus.bus_off_count));
  d.set("last_error_code", py_uint(diag.bus.last_error));
  d.set("last_error", last_error_dict(diag.last_error));
  DeviceShared& shared = *payload_of(self).shared;
  const uint64_t drops = without_gil([&] {
    LockGuard lk(shared.state_lock());
    return shared.dropped_frames();
  });
  d.set("host_rx_drops", py_uint(drops));
  return d.done();
  TAVRO_PY_GUARD_END
}

PyObject* device_get_statistics(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  auto r = on_adapter<Counters>(self, [&](UsbAdapter&) -> Op<Counters> {
    shared.state_lock().assert_held();  // on_adapter holds it
    return shared.counters_now();
  });
  if (!r.ok()) return raise_op(r.error());
  const Counters& c = r.value();
  DictBuilder d;
  d.set("rx_frames", py_uint(c[kRxFrames]));
  d.set("tx_frames", py_uint(c[kTxFrames]));
  d.set("rx_data", py_uint(c[kRxBytes]));
  d.set("tx_data", py_uint(c[kTxBytes]));
  d.set("overruns", py_uint(c[kRxOverruns]));
  d.set("bus_warnings", py_uint(c[kBusWarnings]));
  d.set("bus_offs", py_uint(c[kBusOffs]));
  d.set("rx_stream_drops", py_uint(c[kRxStreamDrops]));
  // Labels of the counting rules: what the sums cover and where each kind is counted.
  d.set("scope", py_str("host_since_open"));
  d.set("tx_semantics", py_str("usb_submitted"));
  d.set("rx_semantics", py_str("dequeued_before_adapter_filter"));
  d.set("bus_event_semantics", py_str("controller_error_frames"));
  return d.done();
  TAVRO_PY_GUARD_END
}

PyObject* device_get_temperatures(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  if (!payload_of(self).shared->capabilities().has_feature(protocol::kFeatureTemperature)) {
    auto u = usable(self);
    if (!u.ok()) return raise_op(u.error());
    return py_none();
  }
  auto r =
      on_adapter<TemperatureRecord>(self, [](UsbAdapter& a) -> Op<TemperatureRecord> { return read_temperatures(a); });
  if (!r.ok()) return raise_op(r.error());
  const TemperatureRecord& t = r.value();
  DictBuilder d;
  d.set("temp_mask", py_uint(t.mask));
  d.set("soc_temp", py_uint(t.soc));
  d.set("device_temp", py_uint(t.device));
  d.set("aux1_temp", py_uint(t.aux1));
  d.set("aux2_temp", py_uint(t.aux2));
  return d.done();
  TAVRO_PY_GUARD_END
}

PyObject* device_get_bittiming(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<BitTimingRecord>(self, [](UsbAdapter& a) -> Op<BitTimingRecord> { return read_bit_timing(a); });
  if (!r.ok()) return raise_op(r.error());
  return bittiming_dict(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_get_bittiming_snapshot(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  if (!shared.capabilities().has_feature(protocol::kFeatureBitTimingSnapshot)) {
    auto u = usable(self);
    if (!u.ok()) return raise_op(u.error());
    return py_none();
  }
  auto r = on_adapter<BitTimingSnapshot>(self, [](UsbAdapter& a) -> Op<BitTimingSnapshot> {
    // The cached word said yes; the firmware answering now must still say so before it is asked.
    auto caps = read_capabilities(a);
    if (!caps.ok()) return caps.error();
    if (!caps->has_feature(protocol::kFeatureBitTimingSnapshot))
      return DeviceError::not_supported("active CAN timing readback unavailable; upgrade firmware");
    auto s = read_bittiming_snapshot(a);
    if (!s.ok()) return s.error();
    return s.value();
  });
  if (!r.ok()) return raise_op(r.error());
  const SnapshotAnalysis a = analyse_snapshot(r.value(), shared.bt_const());
  return snapshot_dict(r.value(), a);
  TAVRO_PY_GUARD_END
}

PyObject* device_get_bittiming_limits(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto u = usable(self);
  if (!u.ok()) return raise_op(u.error());
  const DeviceShared& shared = *payload_of(self).shared;
  const BtConstRecord& b = shared.bt_const();
  DictBuilder d;
  d.set("name", py_str(b.name()));
  d.set("clock_freq", py_uint(shared.capabilities().clock_freq));
  d.set("tseg1_min", py_uint(b.tseg1_min));
  d.set("tseg1_max", py_uint(b.tseg1_max));
  d.set("tseg2_min", py_uint(b.tseg2_min));
  d.set("tseg2_max", py_uint(b.tseg2_max));
  d.set("sjw_max", py_uint(b.sjw_max));
  d.set("brp_min", py_uint(b.brp_min));
  d.set("brp_max", py_uint(b.brp_max));
  d.set("brp_inc", py_uint(b.brp_inc));
  return d.done();
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
