// Periodic transmission methods of NativeTavroDevice: start_periodic, stop_periodic, modify_periodic,
// is_periodic_alive, periodic_error, periodic_counts, stop_all_periodic, and the plugin's _stop_periodic. The
// tasks themselves live in the handle layer (handle/periodic.hpp).
#include <limits>

#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"
#include "handle/frames.hpp"

namespace tavro::py {

namespace {

constexpr Py_ssize_t kMaxDataLength = 8;

// One frame as Python described it, converted but not yet checked.
struct FrameArgs {
  uint32_t arb_id = 0;
  bool is_ext = false;
  bool is_rtr = false;
  uint8_t dlc = 0;
  std::vector<uint8_t> data;
};

// bytes, bytearray, or any sequence of ints 0..255. A sequence longer than any frame can carry is refused with
// the frame check's own message, without reading its items.
bool to_data(PyObject* o, const char* fname, uint8_t dlc, std::vector<uint8_t>* out) {
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    char* p = PyBytes_Check(o) ? PyBytes_AsString(o) : PyByteArray_AsString(o);
    const Py_ssize_t n = PyBytes_Check(o) ? PyBytes_Size(o) : PyByteArray_Size(o);
    if (!p || n < 0) return false;
    out->assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + n);
    return true;
  }
  if (PyUnicode_Check(o) || !PySequence_Check(o)) return type_error(o, fname, "frames", "bytes or a sequence of int");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  if (n > kMaxDataLength) {
    PyErr_SetString(PyExc_ValueError, dlc > kMaxDataLength ? "DLC exceeds Classic CAN max of 8"
                                                           : "Data length must match DLC (RTR data must be empty)");
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(o, i));
    uint8_t b;
    if (!item || !to_u8(item.get(), fname, "frames", &b)) return false;
    out->push_back(b);
  }
  return true;
}

// A sequence (not a str) of 5-tuples (arb_id, is_ext, is_rtr, dlc, data).
bool to_frame_args(PyObject* seq, const char* fname, std::vector<FrameArgs>* out) {
  if (PyUnicode_Check(seq) || !PySequence_Check(seq))
    return type_error(seq, fname, "frames", "a sequence of (arb_id, is_ext, is_rtr, dlc, data) tuples");
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0 || !check_sequence_length(n, sizeof(FrameArgs) + sizeof(CanFrame))) return false;
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(seq, i));
    if (!item) return false;
    PyObject* t = item.get();
    if (!PyTuple_Check(t)) return type_error(t, fname, "frames", "a tuple");
    const Py_ssize_t len = PyTuple_Size(t);
    if (len != 5) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 5, but got tuple of length %zd", len);
      return false;
    }
    FrameArgs f;
    if (!to_u32(PyTuple_GetItem(t, 0), fname, "frames", &f.arb_id) ||
        !to_bool(PyTuple_GetItem(t, 1), fname, "frames", &f.is_ext) ||
        !to_bool(PyTuple_GetItem(t, 2), fname, "frames", &f.is_rtr) ||
        !to_u8(PyTuple_GetItem(t, 3), fname, "frames", &f.dlc) ||
        !to_data(PyTuple_GetItem(t, 4), fname, f.dlc, &f.data))
      return false;
    out->push_back(std::move(f));
  }
  return true;
}

// The frame check of every send path, in list order; the first failure is raised.
bool check_frames(const std::vector<FrameArgs>& args, std::vector<CanFrame>* out) {
  out->reserve(args.size());
  for (const FrameArgs& a : args) {
    auto f = check_frame(a.arb_id, a.is_ext, a.is_rtr, a.dlc, a.data);
    if (!f.ok()) {
      raise_op(f.error());
      return false;
    }
    out->push_back(f.value());
  }
  return true;
}

// Whether the monotonic clock can still express now + period.
bool period_representable(uint64_t period_us) {
  using Rep = Duration::rep;
  constexpr uint64_t kTicksPerUs = std::chrono::duration_cast<Duration>(std::chrono::microseconds(1)).count();
  const Rep now = Clock::now().time_since_epoch().count();
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<Rep>::max() - now);
  return period_us <= room / kTicksPerUs;
}

bool one_task_id(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, uint32_t* id) {
  return one_u32(fname, "task_id", args, nargs, kwnames, id);
}

PeriodicTable& table_of(PyObject* self) { return payload_of(self).shared->periodic(); }

PyObject* counts_dict(const PeriodicCounts& c) {
  return Py_BuildValue("{s:K,s:K,s:K}", "sent", static_cast<unsigned long long>(c.sent), "late",
                       static_cast<unsigned long long>(c.late), "skipped", static_cast<unsigned long long>(c.skipped));
}

// Removes a task and waits for it to end; returns its final counts as a dict when `counted`, else None.
PyObject* stop_task(PyObject* self, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    bool counted) {
  uint32_t id;
  if (!one_task_id(fname, args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  Op<PeriodicCounts> r = without_gil([&] { return table.stop(id); });
  if (!r.ok()) return raise_op(r.error());
  if (!counted) Py_RETURN_NONE;
  return counts_dict(r.value());
}

}  // namespace

PyObject* device_start_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"frames", "period_us", "duration_ms"};
  PyObject* a[3];
  if (!parse_args("start_periodic", args, nargs, kwnames, names, a)) return nullptr;
  std::vector<FrameArgs> frame_args;
  uint64_t period_us;
  std::optional<uint64_t> duration_ms;
  if (!to_frame_args(a[0], "start_periodic", &frame_args) || !to_u64(a[1], "start_periodic", "period_us", &period_us))
    return nullptr;
  if (a[2] != Py_None) {
    uint64_t d;
    if (!to_u64(a[2], "start_periodic", "duration_ms", &d)) return nullptr;
    duration_ms = d;
  }
  if (frame_args.empty()) return raise_op(OpError::refused("No frames to send"));
  if (period_us == 0) return raise_op(OpError::bad_argument("Period must be at least one microsecond"));
  if (!period_representable(period_us)) return raise_op(OpError::bad_argument("Period is too large"));
  std::vector<CanFrame> frames;
  if (!check_frames(frame_args, &frames)) return nullptr;

  PeriodicSchedule schedule;
  schedule.period = std::chrono::duration_cast<Duration>(std::chrono::microseconds(period_us));
  if (duration_ms) {
    // Beyond a century is as good as forever, and keeps the arithmetic inside the clock's range.
    constexpr uint64_t kMaxMs = 100ull * 365 * 24 * 3600 * 1000;
    schedule.duration = std::chrono::milliseconds(std::min(*duration_ms, kMaxMs));
  }
  DeviceShared& shared = *payload_of(self).shared;
  Op<uint32_t> r = without_gil([&] { return shared.start_periodic(std::move(frames), schedule); });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* device_stop_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  return stop_task(self, "stop_periodic", args, nargs, kwnames, false);
  TAVRO_PY_GUARD_END
}

PyObject* device_stop_periodic_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  return stop_task(self, "_stop_periodic", args, nargs, kwnames, true);
  TAVRO_PY_GUARD_END
}

PyObject* device_modify_periodic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"task_id", "frames"};
  PyObject* a[2];
  uint32_t id;
  std::vector<FrameArgs> frame_args;
  if (!parse_args("modify_periodic", args, nargs, kwnames, names, a) ||
      !to_u32(a[0], "modify_periodic", "task_id", &id) || !to_frame_args(a[1], "modify_periodic", &frame_args))
    return nullptr;
  std::vector<CanFrame> frames;
  if (!check_frames(frame_args, &frames)) return nullptr;
  PeriodicTable& table = table_of(self);
  return none_or_raise(without_gil([&] { return table.modify(id, std::move(frames)); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_is_periodic_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("is_periodic_alive", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  return PyBool_FromLong(without_gil([&] { return table.alive(id); }));
  TAVRO_PY_GUARD_END
}

PyObject* device_periodic_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("periodic_error", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  std::optional<OpError> e = without_gil([&] { return table.error(id); });
  if (!e) Py_RETURN_NONE;
  // The exception the failure would have been raised as, then its message.
  const std::string text = std::string(exception_name(*e)) + ": " + e->message;
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  TAVRO_PY_GUARD_END
}

PyObject* device_periodic_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  uint32_t id;
  if (!one_task_id("periodic_counts", args, nargs, kwnames, &id)) return nullptr;
  PeriodicTable& table = table_of(self);
  std::optional<PeriodicCounts> c = without_gil([&] { return table.counts(id); });
  if (!c) return raise_op(OpError::refused("No periodic task with id " + std::to_string(id)));
  return counts_dict(*c);
  TAVRO_PY_GUARD_END
}

PyObject* device_stop_all_periodic(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  PeriodicTable& table = table_of(self);
  without_gil([&] { table.stop_all(); });
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
