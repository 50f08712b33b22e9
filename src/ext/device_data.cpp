// Frame methods of NativeTavroDevice: send_frame, receive_frame and the software receive filter.
#include <algorithm>

#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"
#include "ext/ticket.hpp"
#include "session/bus_session.hpp"

namespace tavro::py {
namespace {

constexpr uint64_t kMaxReceiveTimeoutMs = 300000;

// Converts the five frame arguments and runs the frame check.
bool convert_frame(const char* fname, PyObject* const* a, CanFrame* out) {
  uint32_t arb_id;
  bool is_ext, is_rtr;
  uint8_t dlc;
  std::span<const uint8_t> data;
  if (!to_u32(a[0], fname, "arb_id", &arb_id) || !to_bool(a[1], fname, "is_ext", &is_ext) ||
      !to_bool(a[2], fname, "is_rtr", &is_rtr) || !to_u8(a[3], fname, "dlc", &dlc) ||
      !to_bytes(a[4], fname, "data", &data))
    return false;
  auto f = check_frame(arb_id, is_ext, is_rtr, dlc, data);
  if (!f.ok()) {
    raise_op(f.error());
    return false;
  }
  *out = f.value();
  return true;
}

PyObject* frame_tuple(const CanFrame& f) {
  const bool ext = (f.flags & FRAME_FLAG_EXTENDED) || (f.id & 0x80000000u);
  const bool rtr = (f.flags & FRAME_FLAG_RTR) || (f.id & 0x40000000u);
  const bool err = (f.flags & FRAME_FLAG_ERROR) != 0;
  const uint32_t id = f.id & (ext ? 0x1FFFFFFFu : 0x7FFu);
  const uint8_t dlc = f.dlc > 8 ? 8 : f.dlc;
  uint8_t data[8] = {};
  std::copy_n(f.data.data(), dlc, data);
  PyObject* t = PyTuple_New(7);
  if (!t) return nullptr;
  PyObject* items[7] = {
      PyLong_FromUnsignedLongLong(f.timestamp),
      PyLong_FromUnsignedLong(id),
      PyBool_FromLong(ext),
      PyBool_FromLong(rtr),
      PyBool_FromLong(err),
      PyLong_FromLong(dlc),
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), 8),
  };
  for (int i = 0; i < 7; ++i) {
    if (!items[i]) {
      for (int j = i; j < 7; ++j) Py_XDECREF(items[j]);
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SetItem(t, i, items[i]);  // steals
  }
  return t;
}

}  // namespace

namespace {

// A write's wait that runs signal handlers between its slices and remembers whether one raised.
struct Interruptible {
  bool interrupted = false;
  WriteWait how() {
    WriteWait w;
    w.keep_waiting = [this] { return interrupted = !signals_ok(), !interrupted; };
    return w;
  }
};

// What a send or submission without the handle's lock ended with: the signal handler's exception, "Device is
// closed" when close() cut it short, or its own error. An endpoint left unusable fails the handle.
Op<void> write_outcome(DeviceShared& shared, const BusSession& session, const Interruptible& wait,
                       const Status& status) {
  if (wait.interrupted) return OpError::interrupted();
  if (status.ok()) return {};
  if (shared.flags()->closed.load()) return OpError::refused("Device is closed");
  if (status.error().is(DeviceError::Kind::Communication) &&
      status.error().text().find("transmit endpoint is unusable") != std::string::npos)
    shared.mark_failed(status.error());
  return shared.transmit_error(status.error(), session);
}

}  // namespace

PyObject* device_send_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"arb_id", "is_ext", "is_rtr", "dlc", "data", "timeout_ms"};
  PyObject* a[6];
  if (!parse_args("send_frame", args, nargs, kwnames, names, a)) return nullptr;
  CanFrame frame;
  uint64_t timeout_ms;
  if (!convert_frame("send_frame", a, &frame) || !to_u64(a[5], "send_frame", "timeout_ms", &timeout_ms)) return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  Op<void> r = without_gil([&]() -> Op<void> {
    const TimePoint deadline = deadline_after_ms(timeout_ms);
    auto locked = shared.lock_state_until(deadline, signals_ok);
    if (!locked.ok()) return std::move(locked).error();
    shared.state_lock().assert_held();
    if (shared.state().confirmation_mode != 0) return OpError::refused("Use submit_frame for confirmed transmission");
    auto session = shared.check_running();
    if (!session.ok()) return std::move(session).error();
    auto left = remaining_until(deadline);
    if (!left.ok()) return std::move(left).error();
    locked.value().unlock();  // the write waits without holding the handle
    Interruptible wait;
    TxWriteResult w = session.value()->send_unconfirmed(frame, left.value(), wait.how());
    return write_outcome(shared, *session.value(), wait, w.status);
  });
  if (!r.ok()) return raise_op(r.error());
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

bool receive_next(DeviceShared& shared, uint64_t timeout_ms, std::optional<CanFrame>* out) {
  // A frame already queued is taken without handing the interpreter lock over and back, which would cost more
  // than the frame itself when a receiver drains a backlog.
  CanFrame frame;
  switch (shared.receive_ready(&frame)) {
    case DeviceShared::Ready::Frame: *out = frame; return true;
    case DeviceShared::Ready::Refused:
    case DeviceShared::Ready::Empty:
      if (timeout_ms != 0) break;
      out->reset();
      return true;
    case DeviceShared::Ready::Undecided: break;
  }
  auto r = without_gil(
      [&] { return shared.receive(deadline_after_ms(std::min(timeout_ms, kMaxReceiveTimeoutMs)), signals_ok); });
  if (!r.ok()) return raise_op(r.error()), false;
  *out = r.value();
  return true;
}

PyObject* device_receive_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"timeout_ms"};
  PyObject* a[1];
  uint64_t timeout_ms;
  if (!parse_args("receive_frame", args, nargs, kwnames, names, a) ||
      !to_u64(a[0], "receive_frame", "timeout_ms", &timeout_ms))
    return nullptr;
  std::optional<CanFrame> frame;
  if (!receive_next(*payload_of(self).shared, timeout_ms, &frame)) return nullptr;
  if (!frame) Py_RETURN_NONE;
  return frame_tuple(*frame);
  TAVRO_PY_GUARD_END
}

PyObject* device_set_filters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"filters"};
  PyObject* a[1];
  if (!parse_args("set_filters", args, nargs, kwnames, names, a)) return nullptr;
  PyObject* seq = a[0];
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return nullptr;
  }
  if (!PySequence_Check(seq)) return type_error(seq, "set_filters", "filters", "a sequence"), nullptr;
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) return nullptr;
  if (!check_sequence_length(n, sizeof(FilterEntry))) return nullptr;
  std::vector<FilterEntry> entries;
  entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(seq, i));
    if (!item) return nullptr;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3)
      return type_error(item.get(), "set_filters", "filters", "a sequence of (id, mask, extended) tuples"), nullptr;
    uint32_t id, mask;
    if (!to_u32(PyTuple_GetItem(item.get(), 0), "set_filters", "filters", &id) ||
        !to_u32(PyTuple_GetItem(item.get(), 1), "set_filters", "filters", &mask))
      return nullptr;
    PyObject* ext_obj = PyTuple_GetItem(item.get(), 2);
    int extended = -1;
    if (ext_obj != Py_None) {
      bool b;
      if (!to_bool(ext_obj, "set_filters", "filters", &b)) return nullptr;
      extended = b ? 1 : 0;
    }
    FilterEntry e;
    if (!make_filter_entry(id, mask, extended, &e)) {
      PyErr_SetString(PyExc_ValueError, "Filter ID or mask out of range");
      return nullptr;
    }
    entries.push_back(e);
  }
  DeviceShared& shared = *payload_of(self).shared;
  without_gil([&] { shared.set_filters(std::move(entries)); });
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

PyObject* device_clear_filters(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  without_gil([&] { shared.set_filters({}); });
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py

namespace tavro::py {

PyObject* device_submit_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"arb_id", "is_ext", "is_rtr", "dlc", "data", "timeout_ms"};
  PyObject* a[6];
  if (!parse_args("submit_frame", args, nargs, kwnames, names, a)) return nullptr;
  CanFrame frame;
  uint64_t timeout_ms;
  if (!convert_frame("submit_frame", a, &frame) || !to_u64(a[5], "submit_frame", "timeout_ms", &timeout_ms))
    return nullptr;
  const std::shared_ptr<DeviceShared>& shared = payload_of(self).shared;
  Op<TicketPayload> r = without_gil([&]() -> Op<TicketPayload> {
    const TimePoint deadline = deadline_after_ms(timeout_ms);
    auto locked = shared->lock_state_until(deadline, signals_ok);
    if (!locked.ok()) return std::move(locked).error();
    shared->state_lock().assert_held();
    if (shared->state().listen_only) return OpError::refused("Transmission is disabled in listen-only mode");
    if (shared->state().confirmation_mode == 0) return OpError::refused("TX confirmation is not configured");
    auto session = shared->check_running();
    if (!session.ok()) return std::move(session).error();
    auto left = remaining_until(deadline);
    if (!left.ok()) return std::move(left).error();
    const uint64_t generation = shared->flags()->generation.load();
    locked.value().unlock();  // the write waits without holding the handle
    Interruptible wait;
    auto submitted = session.value()->submit_confirmed(frame, left.value(), wait.how());
    if (!submitted.ok()) {
      Op<void> failed = write_outcome(*shared, *session.value(), wait, submitted.error());
      return failed.ok() ? OpError::submission(submitted.error()) : std::move(failed).error();
    }
    // Interrupted after the frame was handed over: its ticket still resolves, but nobody holds it any more.
    if (wait.interrupted) return OpError::interrupted();
    TicketPayload t;
    t.ticket = std::move(submitted.value().ticket);
    if (submitted.value().write_error) t.usb_error = submitted.value().write_error->text();
    t.device = shared;
    t.generation = generation;
    return t;
  });
  if (!r.ok()) return raise_op(r.error());
  return new_ticket(Py_TYPE(self), std::move(r.value()));
  TAVRO_PY_GUARD_END
}

PyObject* device_cancel_ticket(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"ticket", "timeout_ms"};
  PyObject* a[2];
  if (!parse_args("cancel_ticket", args, nargs, kwnames, names, a)) return nullptr;
  const TicketPayload* ticket = ticket_payload(Py_TYPE(self), a[0], "cancel_ticket", "ticket");
  uint64_t timeout_ms;
  if (!ticket || !to_u64(a[1], "cancel_ticket", "timeout_ms", &timeout_ms)) return nullptr;
  const std::shared_ptr<DeviceShared>& shared = payload_of(self).shared;
  Op<CancelResult> r = without_gil([&]() -> Op<CancelResult> {
    const TimePoint deadline = deadline_after_ms(timeout_ms);
    auto locked = shared->lock_state_until(deadline);
    if (!locked.ok()) return std::move(locked).error();
    shared->state_lock().assert_held();
    if (ticket->device.lock() != shared || ticket->generation != shared->flags()->generation.load())
      return OpError::refused("Ticket belongs to a different or closed session");
    auto usable = shared->check_usable();
    if (!usable.ok()) return std::move(usable).error();
    if (!shared->state().session) return OpError::refused("CAN bus is stopped");
    auto left = remaining_until(deadline);
    if (!left.ok()) return std::move(left).error();
    // Held under state_lock: never longer than one control time-out, whatever the caller allows.
    auto c = shared->state().session->cancel(ticket->ticket, std::min<Duration>(left.value(), kControlTimeout));
    if (!c.ok()) {
      if (c.error().is(DeviceError::Kind::Timeout)) return OpError::submission(c.error());
      return OpError::within(c.error(), deadline);
    }
    return c.value();
  });
  if (!r.ok()) return raise_op(r.error());
  const CancelResult& c = r.value();
  if (!c.tracked) Py_RETURN_NONE;
  return Py_BuildValue("{s:s,s:i,s:k,s:k,s:i,s:O}", "outcome", cancel_outcome_wire_name(c.outcome), "outcome_raw",
                       static_cast<int>(c.outcome), "generation", static_cast<unsigned long>(c.generation),
                       "status_word", static_cast<unsigned long>(c.status_word), "flags",
                       static_cast<int>((c.status_word >> 8) & 0xFF), "terminal", Py_False);
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
