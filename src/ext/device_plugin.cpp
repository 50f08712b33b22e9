// Methods beyond the reference surface that only the python-can plugin calls: received frames as ready can.Message
// objects, the adapter's own frames received too, and the bit timing written by its segments.
//
//   dev._set_message_factory(can.Message, channel, anchor)  # anchor: time.time() when the adapter clock was zeroed
//   dev._receive_message(timeout_ms) -> can.Message | None  # receive_frame's loop and filter; KeyboardInterrupt
//                                                           # and other signal handlers run between 100 ms slices
//   dev._set_receive_own(True)                              # confirmed transmission: every frame the adapter
//                                                           # reports sent is received too (is_rx False)
//   dev._set_bit_timing(brp, tseg1, tseg2, sjw)             # checked against the adapter's clock and limits,
//                                                           # written and read back like set_bitrate
//
// Why: through python-can, building the Message in Python cost more than the whole native receive path. Here the
// instance is allocated by the class's own tp_alloc and its slots are filled directly at the offsets that the
// class's member table gives (through the descriptors' setters for anything but a plain slot), looked up once per
// class, so a frame costs one allocation for the object, one for the timestamp float and one for the data
// bytearray.
//
// The Python objects used for that (the class, its descriptors and the channel values) are kept for the life of
// the process in one small table and never released: the handle payload may be dropped on a thread without the
// interpreter lock (the exit hook), so it holds only borrowed pointers into that table and plain numbers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "device/bit_timing.hpp"
#include "device/commands.hpp"
#include "ext/args.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/pyutil.hpp"
#include "session/bus_session.hpp"
// After Python.h (ext/python.hpp): the member table's entry and its type codes.
#include <structmember.h>

namespace tavro::py {
namespace {

// The slots of can.Message that a received frame fills, in this order.
constexpr const char* kSlotNames[] = {
    "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
    "dlc",       "data",           "is_fd",          "is_rx",           "bitrate_switch", "error_state_indicator"};
constexpr int kSlots = static_cast<int>(std::size(kSlotNames));
enum Slot { kTimestamp, kId, kExt, kRtr, kErr, kChannel, kDlc, kData, kFd, kRx, kBrs, kEsi };

// One message class with its slot setters. Lives (and keeps its references) until the process ends.
struct MessageClass {
  PyObject* cls = nullptr;
  allocfunc alloc = nullptr;
  PyObject* descr[kSlots] = {};
  descrsetfunc set[kSlots] = {};
  Py_ssize_t offset[kSlots] = {};  // of a plain __slots__ member in the instance; -1: through the setter
};

// Where `descr` (the class attribute `name`) keeps its value in an instance: the offset of a plain object slot
// that the class defining it lists in its member table, or -1 for anything else (a property, say), which is then
// set through its setter. Storing there is all the slot's setter would do for an instance just allocated.
Py_ssize_t slot_offset(PyObject* descr, const char* name) {
  Ref owner(PyObject_GetAttrString(descr, "__objclass__"));
  Ref dict(owner && PyType_Check(owner.get()) ? PyObject_GetAttrString(owner.get(), "__dict__") : nullptr);
  Ref own(dict ? PyMapping_GetItemString(dict.get(), name) : nullptr);
  PyErr_Clear();
  if (own.get() != descr) return -1;  // not the defining class's own descriptor of that name
  auto* members =
      static_cast<PyMemberDef*>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(owner.get()), Py_tp_members));
  PyErr_Clear();
  for (PyMemberDef* m = members; m && m->name; ++m)
    if (std::strcmp(m->name, name) == 0) return m->type == T_OBJECT_EX && !(m->flags & READONLY) ? m->offset : -1;
  return -1;
}

// Guarded by the interpreter lock.
std::vector<MessageClass*> g_classes;
std::vector<PyObject*> g_channels;

const MessageClass* message_class(PyObject* cls) {
  for (const MessageClass* m : g_classes)
    if (m->cls == cls) return m;
  if (!PyType_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, "_set_message_factory() argument 'message_class' must be a class");
    return nullptr;
  }
  auto m = std::make_unique<MessageClass>();
  m->alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_alloc));
  for (int i = 0; i < kSlots; ++i) {
    PyObject* d = PyObject_GetAttrString(cls, kSlotNames[i]);
    if (!d) return nullptr;
    auto set = reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(d), Py_tp_descr_set));
    if (!set) {
      Py_DECREF(d);
      PyErr_Format(PyExc_TypeError, "_set_message_factory(): '%s' is not a slot of the message class", kSlotNames[i]);
      return nullptr;
    }
    m->descr[i] = d;  // kept
    m->set[i] = set;
    m->offset[i] = slot_offset(d, kSlotNames[i]);
  }
  if (!m->alloc) return PyErr_SetString(PyExc_TypeError, "message class cannot be allocated"), nullptr;
  Py_INCREF(cls);
  m->cls = cls;
  g_classes.push_back(m.get());
  return m.release();
}

PyObject* interned_channel(PyObject* channel) {
  for (PyObject* c : g_channels) {
    const int eq = PyObject_RichCompareBool(c, channel, Py_EQ);
    if (eq < 0) return nullptr;
    if (eq && Py_TYPE(c) == Py_TYPE(channel)) return c;
  }
  Py_INCREF(channel);
  g_channels.push_back(channel);
  return channel;
}

// Stores a new reference in a slot; false (exception set) on failure. Steals `value`.
inline bool put(const MessageClass& m, PyObject* obj, int slot, PyObject* value) {
  if (!value) return false;
  if (m.offset[slot] >= 0) {
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + m.offset[slot]) = value;  // empty until now
    return true;
  }
  const int r = m.set[slot](m.descr[slot], obj, value);
  Py_DECREF(value);
  return r == 0;
}

inline PyObject* boolean(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// Adapter microseconds as seconds since the anchor, unwrapping a 32-bit adapter clock and never going backwards.
double seconds_of(MessageFactoryState& s, uint64_t raw) {
  constexpr uint64_t kWrap = 1ull << 32;
  if (raw < kWrap && s.last_raw < kWrap && raw < s.last_raw && s.last_raw - raw > kWrap / 2) s.wrap_offset += kWrap;
  s.last_raw = raw;
  const uint64_t us = std::max(raw + s.wrap_offset, s.last_us);
  s.last_us = us;
  return s.anchor + static_cast<double>(us) / 1e6;
}

PyObject* build_message(DevicePayload& p, const CanFrame& f) {
  const MessageClass& m = *static_cast<const MessageClass*>(p.messages.message_class);
  const bool ext = (f.flags & FRAME_FLAG_EXTENDED) || (f.id & 0x80000000u);
  const bool rtr = (f.flags & FRAME_FLAG_RTR) || (f.id & 0x40000000u);
  const bool err = (f.flags & FRAME_FLAG_ERROR) != 0;
  const uint8_t dlc = f.dlc > 8 ? 8 : f.dlc;
  PyObject* obj = m.alloc(reinterpret_cast<PyTypeObject*>(m.cls), 0);
  if (!obj) return nullptr;
  const bool ok =
      put(m, obj, kTimestamp, PyFloat_FromDouble(seconds_of(p.messages, f.timestamp))) &&
      put(m, obj, kId, PyLong_FromUnsignedLong(f.id & (ext ? 0x1FFFFFFFu : 0x7FFu))) &&
      put(m, obj, kExt, boolean(ext)) && put(m, obj, kRtr, boolean(rtr)) && put(m, obj, kErr, boolean(err)) &&
      put(m, obj, kChannel, Py_NewRef(static_cast<PyObject*>(p.messages.channel))) &&
      put(m, obj, kDlc, PyLong_FromLong(dlc)) &&
      put(m, obj, kData, PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(f.data.data()), rtr ? 0 : dlc)) &&
      put(m, obj, kFd, boolean(false)) && put(m, obj, kRx, boolean(!(f.flags & FRAME_FLAG_OWN))) &&
      put(m, obj, kBrs, boolean(false)) && put(m, obj, kEsi, boolean(false));
  if (!ok) {
    Py_DECREF(obj);
    return nullptr;
  }
  return obj;
}

}  // namespace

PyObject* device_set_message_factory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"message_class", "channel", "anchor"};
  PyObject* a[3];
  if (!parse_args("_set_message_factory", args, nargs, kwnames, names, a)) return nullptr;
  const MessageClass* m = message_class(a[0]);
  if (!m) return nullptr;
  PyObject* channel = interned_channel(a[1]);
  if (!channel) return nullptr;
  const double anchor = PyFloat_AsDouble(a[2]);
  if (anchor == -1.0 && PyErr_Occurred()) return nullptr;
  MessageFactoryState& s = payload_of(self).messages;
  s = MessageFactoryState{};
  s.message_class = m;
  s.channel = channel;
  s.anchor = anchor;
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

PyObject* device_receive_message(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"timeout_ms"};
  PyObject* a[1];
  uint64_t timeout_ms;
  if (!parse_args("_receive_message", args, nargs, kwnames, names, a) ||
      !to_u64(a[0], "_receive_message", "timeout_ms", &timeout_ms))
    return nullptr;
  DevicePayload& p = payload_of(self);
  if (!p.messages.message_class) {
    PyErr_SetString(PyExc_RuntimeError, "_set_message_factory() was not called");
    return nullptr;
  }
  // The receive loop runs the pending signal handlers between its slices, so Ctrl-C ends this wait at once.
  std::optional<CanFrame> frame;
  if (!receive_next(*p.shared, timeout_ms, &frame)) return nullptr;
  if (!frame) Py_RETURN_NONE;
  return build_message(p, *frame);
  TAVRO_PY_GUARD_END
}

PyObject* device_set_receive_own(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  bool on;
  if (!one_bool("_set_receive_own", "enabled", args, nargs, kwnames, &on)) return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  return none_or_raise(without_gil([&]() -> Op<void> {
    LockGuard lk(shared.state_lock());
    auto usable = shared.check_usable();
    if (!usable.ok()) return std::move(usable).error();
    if (on && shared.state().confirmation_mode == 0)
      return OpError::refused("Own frames need confirmed transmission (configure_confirmation(True))");
    shared.state().own_frames = on;
    if (shared.state().session) shared.state().session->set_own_frames(on);
    return {};
  }));
  TAVRO_PY_GUARD_END
}

PyObject* device_set_bit_timing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"brp", "tseg1", "tseg2", "sjw"};
  PyObject* a[4];
  uint32_t brp, tseg1, tseg2, sjw;
  if (!parse_args("_set_bit_timing", args, nargs, kwnames, names, a) || !to_u32(a[0], "_set_bit_timing", "brp", &brp) ||
      !to_u32(a[1], "_set_bit_timing", "tseg1", &tseg1) || !to_u32(a[2], "_set_bit_timing", "tseg2", &tseg2) ||
      !to_u32(a[3], "_set_bit_timing", "sjw", &sjw))
    return nullptr;
  DeviceShared& shared = *payload_of(self).shared;
  const BtConstRecord& lim = shared.bt_const();
  const uint64_t clock = shared.capabilities().clock_freq;
  auto outside = [](const char* what, uint32_t v, uint32_t lo, uint32_t hi) {
    PyErr_Format(PyExc_ValueError, "%s %lu is outside the adapter's range %lu..%lu", what,
                 static_cast<unsigned long>(v), static_cast<unsigned long>(lo), static_cast<unsigned long>(hi));
    return nullptr;
  };
  const uint32_t brp_min = std::max<uint32_t>(lim.brp_min, 1);
  if (brp < brp_min || brp > lim.brp_max) return outside("BRP", brp, brp_min, lim.brp_max);
  if (lim.brp_inc > 1 && (brp - brp_min) % lim.brp_inc != 0)
    return PyErr_Format(PyExc_ValueError, "BRP %lu is not a step of %lu from %lu", static_cast<unsigned long>(brp),
                        static_cast<unsigned long>(lim.brp_inc), static_cast<unsigned long>(brp_min));
  if (tseg1 < lim.tseg1_min || tseg1 > lim.tseg1_max) return outside("tseg1", tseg1, lim.tseg1_min, lim.tseg1_max);
  if (tseg2 < lim.tseg2_min || tseg2 > lim.tseg2_max) return outside("tseg2", tseg2, lim.tseg2_min, lim.tseg2_max);
  const uint32_t sjw_max = std::min({lim.sjw_max, tseg2, 4u});
  if (sjw < 1 || sjw > sjw_max) return outside("SJW", sjw, 1, sjw_max);
  const uint64_t nq = 1ull + tseg1 + tseg2;
  if (clock == 0) return PyErr_Format(PyExc_RuntimeError, "Invalid bit timing parameters");
  const uint64_t bitrate = clock / (brp * nq);
  if (bitrate > kMaxClassicBitrate) {
    PyErr_SetString(PyExc_RuntimeError, bit_timing_calc_error_text(BitTimingCalcError::BitrateTooHigh));
    return nullptr;
  }
  if (bitrate == 0) return PyErr_Format(PyExc_RuntimeError, "Invalid bit timing parameters");
  BitTimingRecord record;
  record.bitrate = static_cast<uint32_t>(bitrate);
  record.sample_point = static_cast<uint32_t>((1ull + tseg1) * 1000 / nq);
  record.tq_ns = static_cast<uint32_t>(brp * 1000000000ull / clock);
  record.phase_seg1 = tseg1;
  record.phase_seg2 = tseg2;
  record.sjw = sjw;
  record.brp = brp;
  return none_or_raise(without_gil([&] { return apply_bit_timing(shared, record); }));
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
