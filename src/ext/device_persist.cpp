// Settings persistence methods of NativeTavroDevice: get_settings_status, wait_settings_saved and
// set_device_name_and_wait.
//
//   dev.get_settings_status() -> "idle" | "pending" | "saved" | ... | None (firmware without the status)
//   dev.wait_settings_saved(timeout_ms) -> "saved" | "unchanged"
//   dev.set_device_name_and_wait(name, timeout_ms) -> "saved" | "unchanged"   # write, read back, wait
//
// The waits themselves are the handle's (handle/waits.cpp); between two status polls they run pending signal
// handlers here (Ctrl-C ends the wait with KeyboardInterrupt).
#include "device/settings.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

PyObject* status_str(SettingsStatus s) { return PyUnicode_FromString(settings_status_wire_name(s)); }

}  // namespace

PyObject* device_get_settings_status(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  Op<std::optional<SettingsStatus>> r = without_gil([&]() -> Op<std::optional<SettingsStatus>> {
    LockGuard lk(shared.state_lock());
    auto usable = shared.check_usable();
    if (!usable.ok()) return std::move(usable).error();
    auto s = read_settings_status(*usable.value(), kControlTimeout);
    if (!s.ok()) return s.error();
    return s.value();
  });
  if (!r.ok()) return raise_op(r.error());
  if (!r.value()) Py_RETURN_NONE;
  return status_str(*r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_wait_settings_saved(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"timeout_ms"};
  PyObject* a[1];
  uint64_t timeout_ms;
  if (!parse_args("wait_settings_saved", args, nargs, kwnames, names, a) ||
      !to_u64(a[0], "wait_settings_saved", "timeout_ms", &timeout_ms))
    return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  Op<SettingsStatus> r =
      without_gil([&] { return shared.wait_settings_saved(deadline_after_ms(timeout_ms), signals_ok); });
  if (!r.ok()) return raise_op(r.error());
  return status_str(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_device_name_and_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"name", "timeout_ms"};
  PyObject* a[2];
  std::string name;
  uint64_t timeout_ms;
  if (!parse_args("set_device_name_and_wait", args, nargs, kwnames, names, a) ||
      !to_str(a[0], "set_device_name_and_wait", "name", &name) ||
      !to_u64(a[1], "set_device_name_and_wait", "timeout_ms", &timeout_ms))
    return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  Op<SettingsStatus> r =
      without_gil([&] { return shared.set_name_and_wait(name, deadline_after_ms(timeout_ms), signals_ok); });
  if (!r.ok()) return raise_op(r.error());
  return status_str(r.value());
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
