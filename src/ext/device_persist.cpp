// Settings persistence methods of NativeTavroDevice: get_settings_status, wait_settings_saved and
// set_device_name_and_wait.
//
//   dev.get_settings_status() -> "idle" | "pending" | "saved" | ... | None (firmware without the status)
//   dev.wait_settings_saved(timeout_ms) -> "saved" | "unchanged"
//   dev.set_device_name_and_wait(name, timeout_ms) -> "saved" | "unchanged"   # write, read back, wait
//
// The waits hold state_lock only for their requests: between two status polls they let the handle go, so that
// other callers, the exit hook and close() get through (close() ends the wait with "Device is closed"), and run
// pending signal handlers (Ctrl-C ends the wait with KeyboardInterrupt).
#include <thread>

#include "device/bus_state.hpp"
#include "device/commands.hpp"
#include "device/settings.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

// A settings wait that ran out is the caller's time-out, not a device failure.
OpError wait_error(const DeviceError& e) {
  if (e.is(DeviceError::Kind::Timeout)) return OpError::timeout(kOperationTimedOut);
  return OpError::device(e);
}

PyObject* status_str(SettingsStatus s) { return PyUnicode_FromString(settings_status_wire_name(s)); }

bool keep_waiting() { return signals_ok(); }

// The pause between two status polls, with the handle let go (interpreter lock released by the caller).
class PollPause {
 public:
  PollPause(DeviceShared& shared, StateLock& lk, TimePoint deadline) : shared_(shared), lk_(lk), deadline_(deadline) {}

  Status operator()(Duration pause) {
    lk_.unlock();
    std::this_thread::sleep_for(pause);  // at most one poll interval, shorter than a wait slice
    if (!keep_waiting()) return end(OpError::interrupted());
    auto locked = shared_.lock_state_until(deadline_, keep_waiting);
    if (!locked.ok()) {
      // Running out of time while others held the handle is this wait running out.
      if (locked.error().kind == OpError::Kind::Expired) return end(OpError::timeout(kOperationTimedOut));
      return end(std::move(locked).error());
    }
    lk_ = std::move(locked.value());
    if (auto u = shared_.check_usable(); !u.ok()) return end(std::move(u).error());
    return Ok{};
  }

  // Why a pause ended the wait, if one did: it takes precedence over the error the wait returns.
  std::optional<OpError> ended;

 private:
  Status end(OpError e) {
    ended = std::move(e);
    return DeviceError::internal("settings wait ended");
  }

  DeviceShared& shared_;
  StateLock& lk_;
  const TimePoint deadline_;
};

Op<SettingsStatus> wait_saved(DeviceShared& shared, StateLock& lk, UsbAdapter& adapter, TimePoint deadline) {
  PollPause pause(shared, lk, deadline);
  auto saved = wait_settings_saved(adapter, deadline, std::ref(pause));
  if (pause.ended) return *pause.ended;
  if (!saved.ok()) return wait_error(saved.error());
  return saved.value();
}

Op<SettingsStatus> name_and_wait(DeviceShared& shared, const std::string& name, TimePoint deadline) {
  auto locked = shared.lock_state_until(deadline, keep_waiting);
  if (!locked.ok()) return std::move(locked).error();
  auto usable = shared.check_usable();
  if (!usable.ok()) return std::move(usable).error();
  UsbAdapter& adapter = *usable.value();

  auto left = remaining_until(deadline);
  if (!left.ok()) return std::move(left).error();
  auto bus = read_bus_state(adapter, std::min<Duration>(left.value(), kControlTimeout));
  if (!bus.ok()) return OpError::within(bus.error(), deadline);
  if (bus.value().state != protocol::kBusStopped) return OpError::runtime("Settings save requires stopped CAN");

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  if (auto w = write_device_name(adapter, name); !w.ok()) return w.error();

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  auto back = get_device_name(adapter);
  if (!back.ok()) return back.error();
  if (back.value() != name) return OpError::runtime("Device name readback mismatch");

  if (auto l = remaining_until(deadline); !l.ok()) return std::move(l).error();
  return wait_saved(shared, locked.value(), adapter, deadline);
}

}  // namespace

PyObject* device_get_settings_status(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  Op<std::optional<SettingsStatus>> r = without_gil([&]() -> Op<std::optional<SettingsStatus>> {
    std::lock_guard<StateMutex> lk(shared.state_lock());
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
  Op<SettingsStatus> r = without_gil([&]() -> Op<SettingsStatus> {
    const TimePoint deadline = deadline_after_ms(timeout_ms);
    auto locked = shared.lock_state_until(deadline, keep_waiting);
    if (!locked.ok()) return std::move(locked).error();
    auto usable = shared.check_usable();
    if (!usable.ok()) return std::move(usable).error();
    return wait_saved(shared, locked.value(), *usable.value(), deadline);
  });
  if (!r.ok()) return raise_op(r.error());
  return status_str(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_set_device_name_and_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
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
  Op<SettingsStatus> r = without_gil([&] { return name_and_wait(shared, name, deadline_after_ms(timeout_ms)); });
  if (!r.ok()) return raise_op(r.error());
  return status_str(r.value());
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
