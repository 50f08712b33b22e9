// Method bodies of NativeTavroDevice, grouped by topic in their own files; the type's method table is in
// device.cpp.
#pragma once

#include "device/bit_timing.hpp"
#include "ext/device.hpp"
#include "ext/python.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {

DevicePayload& payload_of(PyObject* self);

// Runs `fn(adapter)` with the interpreter lock released, under state_lock, after check_usable. Waiting for the
// lock runs pending signal handlers every slice.
template <typename T, typename Fn>
Op<T> on_adapter(PyObject* self, Fn&& fn) {
  DeviceShared& shared = *payload_of(self).shared;
  GilRelease release;
  auto locked = shared.lock_state_until(TimePoint::max(), signals_ok);
  if (!locked.ok()) return std::move(locked).error();
  shared.state_lock().assert_held();
  auto adapter = shared.check_usable();
  if (!adapter.ok()) return std::move(adapter).error();
  return fn(*adapter.value());
}

// Shared pieces of the method bodies.
PyObject* none_or_raise(const Op<void>& r);
bool one_u32(const char* fname, const char* arg, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             uint32_t* out);
bool one_bool(const char* fname, const char* arg, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              bool* out);
// Refuses with `message` unless this handle has no session and the adapter reports the bus stopped
// (state_lock held).
Op<std::shared_ptr<UsbAdapter>> stopped_adapter(DeviceShared& shared, const char* message)
    REQUIRES(shared.state_lock());
// Writes and verifies `record` on a stopped adapter (takes state_lock; interpreter lock released).
Op<void> apply_bit_timing(DeviceShared& shared, const BitTimingRecord& record);

// Frames: device_data.cpp
// receive_frame's wait (at most 300 s): false with the exception set, else the frame or nullopt (time-out).
bool receive_next(DeviceShared& shared, uint64_t timeout_ms, std::optional<CanFrame>* out);
PyObject* device_send_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_receive_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_submit_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_cancel_ticket(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
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

// Adapter settings: device_settings.cpp
PyObject* device_set_led_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_get_led_mode(PyObject* self, PyObject* unused);
PyObject* device_set_termination(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_get_termination(PyObject* self, PyObject* unused);
PyObject* device_set_device_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_get_device_name(PyObject* self, PyObject* unused);
PyObject* device_set_channel_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_get_channel_id(PyObject* self, PyObject* unused);
PyObject* device_set_interface_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_identify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Settings persistence: device_persist.cpp
PyObject* device_get_settings_status(PyObject* self, PyObject* unused);
PyObject* device_wait_settings_saved(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_device_name_and_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// What only the python-can plugin calls (ready can.Message objects, own frames, timing by segments): device_plugin.cpp
PyObject* device_set_message_factory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_receive_message(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_receive_own(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_set_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Periodic transmission: device_periodic.cpp
PyObject* device_start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_stop_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_stop_periodic_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_modify_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_is_periodic_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_periodic_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_periodic_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* device_stop_all_periodic(PyObject* self, PyObject* unused);

// Reports and status queries: device_reports.cpp
PyObject* module_library_versions(PyObject* module, PyObject* unused);
PyObject* device_library_versions(PyObject* self, PyObject* unused);
PyObject* device_compatibility_report(PyObject* self, PyObject* unused);
PyObject* device_get_last_error(PyObject* self, PyObject* unused);
PyObject* device_get_diagnostics(PyObject* self, PyObject* unused);
PyObject* device_get_statistics(PyObject* self, PyObject* unused);
PyObject* device_get_temperatures(PyObject* self, PyObject* unused);
PyObject* device_get_bittiming(PyObject* self, PyObject* unused);
PyObject* device_get_bittiming_snapshot(PyObject* self, PyObject* unused);
PyObject* device_get_bittiming_limits(PyObject* self, PyObject* unused);

}  // namespace tavro::py
