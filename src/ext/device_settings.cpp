// The adapter's own settings: LED, termination, stored name, channel id, host interface name, identify.
#include "device/commands.hpp"
#include "device/records.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

constexpr const char* kMsgNoTermination = "Firmware does not advertise termination control";
constexpr const char* kMsgNoIdentify = "Firmware does not advertise identify blinking";
constexpr const char* kMsgIdentifyRange = "duration_ms must be between 1 and 65535";
constexpr const char* kMsgOnlyChannel0 = "Only channel 0 is supported";

bool needs_feature(PyObject* self, uint32_t bit, const char* message) {
  if (payload_of(self).shared->capabilities().has_feature(bit)) return true;
  PyErr_SetString(PyExc_RuntimeError, message);
  return false;
}

PyObject* str_from(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

}  // namespace

PyObject* device_set_led_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t mode;
  if (!one_u32("set_led_mode", "mode", args, nargs, kwnames, &mode)) return nullptr;
  return none_or_raise(on_adapter<void>(self, [&](UsbAdapter& a) { return Op<void>(set_led_mode(a, mode)); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_led_mode(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<uint32_t>(self, [](UsbAdapter& a) -> Op<uint32_t> { return get_led_mode(a); });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_termination(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  bool enabled;
  if (!one_bool("set_termination", "enabled", args, nargs, kwnames, &enabled)) return nullptr;
  if (!needs_feature(self, protocol::kFeatureTermination, kMsgNoTermination)) return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil(
      [&] { return shared.reconfigure([&](UsbAdapter& a) { return Op<void>(set_termination(a, enabled)); }); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_termination(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  if (!needs_feature(self, protocol::kFeatureTermination, kMsgNoTermination)) return nullptr;
  auto r = on_adapter<bool>(self, [](UsbAdapter& a) -> Op<bool> { return get_termination(a); });
  if (!r.ok()) return raise_op(r.error());
  return PyBool_FromLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_device_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"name"};
  PyObject* a[1];
  std::string name;
  if (!parse_args("set_device_name", args, nargs, kwnames, names, a) || !to_str(a[0], "set_device_name", "name", &name))
    return nullptr;
  return none_or_raise(on_adapter<void>(self, [&](UsbAdapter& ad) { return Op<void>(write_device_name(ad, name)); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_device_name(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<std::string>(self, [](UsbAdapter& a) -> Op<std::string> { return get_device_name(a); });
  if (!r.ok()) return raise_op(r.error());
  return str_from(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_channel_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t channel_id;
  if (!one_u32("set_channel_id", "channel_id", args, nargs, kwnames, &channel_id)) return nullptr;
  if (channel_id != 0) {
    PyErr_SetString(PyExc_ValueError, kMsgOnlyChannel0);
    return nullptr;
  }
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil(
      [&] { return shared.reconfigure([&](UsbAdapter& a) { return Op<void>(set_channel_id(a, channel_id)); }); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_channel_id(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<uint32_t>(self, [](UsbAdapter& a) -> Op<uint32_t> { return read_channel_id(a); });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_interface_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"name"};
  PyObject* a[1];
  std::string name;
  if (!parse_args("set_interface_name", args, nargs, kwnames, names, a) ||
      !to_str(a[0], "set_interface_name", "name", &name))
    return nullptr;
  return none_or_raise(on_adapter<void>(self, [&](UsbAdapter& ad) { return Op<void>(set_interface_name(ad, name)); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_identify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"duration_ms"};
  PyObject* a[1];
  uint16_t duration_ms;
  if (!parse_args("identify", args, nargs, kwnames, names, a) || !to_u16(a[0], "identify", "duration_ms", &duration_ms))
    return nullptr;
  if (duration_ms == 0) {
    PyErr_SetString(PyExc_ValueError, kMsgIdentifyRange);
    return nullptr;
  }
  if (!needs_feature(self, protocol::kFeatureIdentify, kMsgNoIdentify)) return nullptr;
  return none_or_raise(on_adapter<void>(self, [&](UsbAdapter& ad) { return Op<void>(identify(ad, duration_ms)); }));
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
