// Bus and controller configuration methods of NativeTavroDevice.
#include "device/bit_timing.hpp"
#include "device/bus_state.hpp"
#include "device/commands.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"
#include "session/bus_session.hpp"

namespace tavro::py {

PyObject* none_or_raise(const Op<void>& r) {
  if (!r.ok()) return raise_op(r.error());
  Py_RETURN_NONE;
}

bool one_u32(const char* fname, const char* arg, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             uint32_t* out) {
  const char* const names[] = {arg};
  PyObject* a[1];
  return parse_args(fname, args, nargs, kwnames, names, a) && to_u32(a[0], fname, arg, out);
}

bool one_bool(const char* fname, const char* arg, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              bool* out) {
  const char* const names[] = {arg};
  PyObject* a[1];
  return parse_args(fname, args, nargs, kwnames, names, a) && to_bool(a[0], fname, arg, out);
}

namespace {

constexpr const char* kMsgStopCanFirst = "CAN must be stopped before changing this setting";

// A reconfiguration that empties the adapter's transmit queue (reset, flush). Pending tickets are no reason to
// refuse it: the frames they wait for are being thrown away, so the detach resolves them as uncertain. A reset is
// followed by a flush, as at open: the reports still owed for the dropped frames go too, and so the echo ids held
// for them can be freed.
PyObject* reconfigure_with(PyObject* self, ControlCommand cmd) {
  DeviceShared& shared = *payload_of(self).shared;
  auto r = without_gil([&] {
    return shared.reconfigure(
        [&](UsbAdapter& a) -> Op<void> {
          if (cmd != ControlCommand::FlushTxQueue)
            if (auto s = a.control_out(cmd, 0, {}); !s.ok()) return s.error();
          if (auto s = flush_and_free_echo_ids(a); !s.ok()) return s.error();
          return {};
        },
        true, true);
  });
  return none_or_raise(r);
}

}  // namespace

// Refuses unless the bus is stopped: no session of this handle, and the adapter reports state 4.
Op<std::shared_ptr<UsbAdapter>> stopped_adapter(DeviceShared& shared, const char* message) {
  auto usable = shared.check_usable();
  if (!usable.ok()) return usable;
  if (shared.state().session) return OpError::refused(message);
  auto bus = read_bus_state(*usable.value());
  if (!bus.ok()) return bus.error();
  if (bus.value().state != protocol::kBusStopped) return OpError::refused(message);
  return usable;
}

Op<void> apply_bit_timing(DeviceShared& shared, const BitTimingRecord& record) {
  LockGuard lk(shared.state_lock());
  auto adapter = stopped_adapter(shared, kMsgStopCanFirst);
  if (!adapter.ok()) return std::move(adapter).error();
  if (auto s = write_bit_timing(*adapter.value(), record); !s.ok()) return s.error();
  return {};
}

PyObject* device_set_bus_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  bool on;
  if (!one_bool("set_bus_state", "on", args, nargs, kwnames, &on)) return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil([&] { return on ? shared.bus_on() : shared.bus_off(); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_set_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t ctrlmode;
  if (!one_u32("set_mode", "ctrlmode", args, nargs, kwnames, &ctrlmode)) return nullptr;
  if (ctrlmode & (protocol::kModeFd | protocol::kModeFdReserved)) {
    PyErr_SetString(PyExc_ValueError, "CAN FD transport is not supported");
    return nullptr;
  }
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil([&]() -> Op<void> {
    LockGuard lk(shared.state_lock());
    shared.state().requested_mode = ctrlmode;
    return shared.reconfigure_locked([&](UsbAdapter& a) -> Op<void> {
      // An acknowledged mode is not necessarily an applied one.
      if (auto s = write_mode_verified(a, ctrlmode); !s.ok()) return s.error();
      return {};
    });
  }));
  TAVRO_PY_GUARD_END
}

PyObject* device_configure_modes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"mask", "flags"};
  PyObject* a[2];
  uint32_t mask, flags;
  if (!parse_args("configure_modes", args, nargs, kwnames, names, a) ||
      !to_u32(a[0], "configure_modes", "mask", &mask) || !to_u32(a[1], "configure_modes", "flags", &flags))
    return nullptr;
  if (mask >= 0x20 || (flags & ~mask)) {
    PyErr_SetString(PyExc_ValueError, "Only named Classic CAN modes can be changed");
    return nullptr;
  }
  DeviceShared& shared = *payload_of(self).shared;
  if (flags & ~shared.capabilities().ctrlmode_supported) {
    PyErr_SetString(PyExc_RuntimeError, "Firmware does not support the requested CAN mode");
    return nullptr;
  }
  Op<uint32_t> r = without_gil([&]() -> Op<uint32_t> {
    LockGuard lk(shared.state_lock());
    auto usable = shared.check_usable();
    if (!usable.ok()) return std::move(usable).error();
    auto current = read_mode(*usable.value());
    if (!current.ok()) return current.error();
    const uint32_t wanted = (current.value() & ~mask) | flags;
    shared.state().requested_mode = wanted;
    if (wanted == current.value()) return wanted;
    auto done = shared.reconfigure_locked([&](UsbAdapter& ad) -> Op<void> {
      if (auto s = write_mode(ad, wanted); !s.ok()) return s.error();
      auto back = read_mode(ad);
      if (!back.ok()) return back.error();
      if (back.value() != wanted) return OpError::refused("CAN mode readback does not match the requested setting");
      return {};
    });
    if (!done.ok()) return std::move(done).error();
    return wanted;
  });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_configure_confirmation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  bool enabled;
  if (!one_bool("configure_confirmation", "enabled", args, nargs, kwnames, &enabled)) return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil([&]() -> Op<void> {
    LockGuard lk(shared.state_lock());
    auto a = stopped_adapter(shared, "Configure confirmation while CAN is stopped");
    if (!a.ok()) return std::move(a).error();
    shared.state().confirmation_mode = enabled ? 1 : 0;
    return {};
  }));
  TAVRO_PY_GUARD_END
}

PyObject* device_reset_can(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  return reconfigure_with(self, ControlCommand::ResetCan);
  TAVRO_PY_GUARD_END
}

PyObject* device_flush_tx_queue(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  return reconfigure_with(self, ControlCommand::FlushTxQueue);
  TAVRO_PY_GUARD_END
}

PyObject* device_reset_timestamps(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil([&]() -> Op<void> {
    LockGuard lk(shared.state_lock());
    auto a = stopped_adapter(shared, kMsgStopCanFirst);
    if (!a.ok()) return std::move(a).error();
    if (auto s = a.value()->control_out(ControlCommand::ResetTimestamp, 0, {}); !s.ok()) return s.error();
    return {};
  }));
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py

namespace tavro::py {

PyObject* device_set_bitrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"bitrate", "sample_point"};
  PyObject* a[2];
  uint32_t bitrate, sample_point;
  if (!parse_args("set_bitrate", args, nargs, kwnames, names, a) || !to_u32(a[0], "set_bitrate", "bitrate", &bitrate) ||
      !to_u32(a[1], "set_bitrate", "sample_point", &sample_point))
    return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  // The timing is computed from the limits cached at open, before any traffic.
  const BitTimingCalc calc =
      calculate_bit_timing(shared.capabilities().clock_freq, shared.bt_const(), bitrate, sample_point);
  if (!calc.ok()) {
    PyErr_SetString(PyExc_RuntimeError, bit_timing_calc_error_text(calc.error));
    return nullptr;
  }
  const BitTimingRecord record = *calc.record;
  return none_or_raise(without_gil([&] { return apply_bit_timing(shared, record); }));
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
