// NativeTavroDevice type: construction, close, destruction and the read-only queries.
#include "ext/device.hpp"

#include "device/bus_state.hpp"
#include "device/commands.hpp"
#include "device/discovery.hpp"
#include "ext/args.hpp"
#include "ext/backend.hpp"
#include "ext/device_methods.hpp"
#include "ext/errors.hpp"
#include "ext/logging_bridge.hpp"
#include "ext/pyutil.hpp"
#include "session/bus_session.hpp"

namespace tavro::py {

DevicePayload& payload_of(PyObject* self) { return **reinterpret_cast<DeviceObject*>(self)->payload; }

namespace {

PyObject* new_handle(PyTypeObject* type, Op<std::shared_ptr<DeviceShared>> opened) {
  if (!opened.ok()) return raise_op(opened.error());
  auto payload = std::make_shared<DevicePayload>();
  payload->shared = std::move(opened.value());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) {
    // The new handle goes away as if it had been dropped.
    GilRelease release;
    payload->shared->destroy();
    return nullptr;
  }
  reinterpret_cast<DeviceObject*>(self)->payload = new std::shared_ptr<DevicePayload>(payload);
  return self;
}

// Stops the handle's background work and releases the adapter; used by close(), destruction and the exit hook.
Op<void> close_payload(DevicePayload& p) { return p.shared->close(); }

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  TAVRO_PY_GUARD_BEGIN
  static const char* kwlist[] = {"serial", nullptr};
  PyObject* serial_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:NativeTavroDevice", const_cast<char**>(kwlist), &serial_obj))
    return nullptr;
  std::optional<std::string> serial;
  if (!to_optional_str(serial_obj, "NativeTavroDevice", "serial", &serial)) return nullptr;
  refresh_log_levels();
  auto opened = without_gil([&] { return open_device(backend(), serial); });
  return new_handle(type, std::move(opened));
  TAVRO_PY_GUARD_END
}

PyObject* device_open_by_name(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TAVRO_PY_GUARD_BEGIN
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (!parse_args("open_by_name", args, nargs, kwnames, names, a)) return nullptr;
  std::string name;
  if (!to_str(a[0], "open_by_name", "name", &name)) return nullptr;
  refresh_log_levels();
  auto opened = without_gil([&] { return open_device_by_name(backend(), name); });
  // Bound to the class at type creation (see open_by_name_def).
  return new_handle(reinterpret_cast<PyTypeObject*>(cls), std::move(opened));
  TAVRO_PY_GUARD_END
}

PyObject* device_close(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = without_gil([&] { return close_payload(payload_of(self)); });
  if (!r.ok()) return raise_op(r.error());
  Py_RETURN_NONE;
  TAVRO_PY_GUARD_END
}

PyObject* device_get_serial_number(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<std::string>(self, [&](UsbAdapter& a) -> Op<std::string> { return a.serial(); });
  if (!r.ok()) return raise_op(r.error());
  return PyUnicode_DecodeUTF8(r.value().data(), static_cast<Py_ssize_t>(r.value().size()), "replace");
  TAVRO_PY_GUARD_END
}

PyObject* device_get_bus_state(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<BusStateRecord>(self, [](UsbAdapter& a) -> Op<BusStateRecord> { return read_bus_state(a); });
  if (!r.ok()) return raise_op(r.error());
  const BusStateRecord& b = r.value();
  return Py_BuildValue("(kkk)", static_cast<unsigned long>(b.state), static_cast<unsigned long>(b.rx_errors),
                       static_cast<unsigned long>(b.tx_errors));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_mode(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = on_adapter<uint32_t>(self, [](UsbAdapter& a) -> Op<uint32_t> { return read_mode(a); });
  if (!r.ok()) return raise_op(r.error());
  return PyLong_FromUnsignedLong(r.value());
  TAVRO_PY_GUARD_END
}

PyObject* version_str(const VersionBytes& v) {
  const std::string t = version_text(v);
  return PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
}

PyObject* device_get_device_info(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r =
      on_adapter<DeviceInfoRecord>(self, [](UsbAdapter& a) -> Op<DeviceInfoRecord> { return read_device_info(a); });
  if (!r.ok()) return raise_op(r.error());
  Ref hw(version_str(r.value().hardware_version));
  Ref fw(version_str(r.value().firmware_version));
  if (!hw || !fw) return nullptr;
  return Py_BuildValue("(OOi)", hw.get(), fw.get(), static_cast<int>(r.value().channel_count));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_device_capabilities(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  const CapabilitiesRecord& c = payload_of(self).shared->capabilities();
  return Py_BuildValue("{s:k,s:k,s:k,s:k,s:k,s:k}", "clock_freq", static_cast<unsigned long>(c.clock_freq),
                       "tx_data_buffer_size", static_cast<unsigned long>(c.tx_buffer_size), "rx_data_buffer_size",
                       static_cast<unsigned long>(c.rx_buffer_size), "ctrlmode_supported",
                       static_cast<unsigned long>(c.ctrlmode_supported), "features_supported",
                       static_cast<unsigned long>(c.features_supported), "temperature_sensors",
                       static_cast<unsigned long>(c.temperature_sensors));
  TAVRO_PY_GUARD_END
}

PyObject* device_confirmation_info(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  struct Info {
    bool enabled = false;
    const char* result_mode = nullptr;
    bool cancellation = false;
    size_t pending = 0;
  };
  auto r = on_adapter<Info>(self, [&](UsbAdapter&) -> Op<Info> {
    DeviceShared& shared = *payload_of(self).shared;
    shared.state_lock().assert_held();  // on_adapter holds it
    Info info;
    info.enabled = (shared.state().confirmation_mode & 1) != 0;
    const auto& session = shared.state().session;
    // An invalidated session (an unplug, a transport or protocol failure) reports nothing any more and cancels
    // nothing: it has no result mode in force.
    if (session && session->valid() && !session->disconnected()) {
      const bool explicit_mode = session->result_mode() == kTxResultModeExplicit;
      info.result_mode = explicit_mode ? "explicit" : "legacy";
      info.cancellation = explicit_mode && (session->features() & protocol::kFeatureCancel);
      info.pending = session->unresolved_ticket_count();
    }
    return info;
  });
  if (!r.ok()) return raise_op(r.error());
  const Info& i = r.value();
  Ref mode = i.result_mode ? Ref(PyUnicode_FromString(i.result_mode)) : Ref::borrow(Py_None);
  if (!mode) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:n}", "enabled", i.enabled ? Py_True : Py_False, "result_mode", mode.get(),
                       "cancellation_available", i.cancellation ? Py_True : Py_False, "pending",
                       static_cast<Py_ssize_t>(i.pending));
  TAVRO_PY_GUARD_END
}

PyObject* device_get_identity(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  struct Identity {
    std::string serial;
    std::string name;
    DeviceInfoRecord info;
  };
  auto r = on_adapter<Identity>(self, [](UsbAdapter& a) -> Op<Identity> {
    // The device information is read first: when it fails, the name is never asked for.
    auto info = read_device_info(a);
    if (!info.ok()) return info.error();
    Identity id{a.serial(), {}, info.value()};
    auto name = get_device_name(a);
    if (!name.ok()) return name.error();
    id.name = std::move(name.value());
    return id;
  });
  if (!r.ok()) return raise_op(r.error());
  const Identity& id = r.value();
  const char* model = nullptr;
  if (is_valid_serial(id.serial)) {
    switch (model_letter(id.serial)) {
      case 'H': model = "TAVRO Mote"; break;
      case 'I': model = "TAVRO Crest"; break;
      case 'J': model = "TAVRO Fen"; break;
      default: model = "Unknown"; break;
    }
  }
  Ref model_obj = model ? Ref(PyUnicode_FromString(model)) : Ref::borrow(Py_None);
  Ref serial(PyUnicode_DecodeUTF8(id.serial.data(), static_cast<Py_ssize_t>(id.serial.size()), "replace"));
  Ref name(PyUnicode_DecodeUTF8(id.name.data(), static_cast<Py_ssize_t>(id.name.size()), "replace"));
  Ref hw(version_str(id.info.hardware_version)), fw(version_str(id.info.firmware_version));
  Ref boot(version_str(id.info.bootloader_version)), api(version_str(id.info.min_host_api_version));
  if (!model_obj || !serial || !name || !hw || !fw || !boot || !api) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:k,s:i}", "model", model_obj.get(), "serial_number", serial.get(),
                       "name", name.get(), "hardware_version", hw.get(), "firmware_version", fw.get(),
                       "bootloader_version", boot.get(), "minimum_host_api_version", api.get(), "hardware_id",
                       static_cast<unsigned long>(id.info.hardware_id), "channel_count",
                       static_cast<int>(id.info.channel_count));
  TAVRO_PY_GUARD_END
}

PyObject* device_dropped_frame_count(PyObject* self, PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  DeviceShared& shared = *payload_of(self).shared;
  const uint64_t n = without_gil([&] {
    LockGuard lk(shared.state_lock());
    return shared.dropped_frames();
  });
  return PyLong_FromUnsignedLongLong(n);
  TAVRO_PY_GUARD_END
}

int device_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

void device_dealloc(PyObject* self) {
  CallScope scope;  // what the close sequence logs reaches Python before the object is gone
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<DeviceObject*>(self);
  if (std::shared_ptr<DevicePayload>* holder = obj->payload) {
    obj->payload = nullptr;
    auto destroy = [&] {
      try {
        (*holder)->shared->destroy();  // runs the close sequence once, then releases the adapter and the workers
        delete holder;
      } catch (...) {
        // Nothing may escape a destructor; the handle's resources are released by their owners regardless.
      }
    };
    if (python_available()) {
      GilRelease release;
      destroy();
    } else {
      // During finalisation the lock is kept: no native thread takes it any more.
      destroy();
    }
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

#define TAVRO_NOARGS(name, fn, doc) {name, reinterpret_cast<PyCFunction>(fn), METH_NOARGS, name "($self)\n--\n\n" doc}
#define TAVRO_ARGS(name, params, fn, doc)                                                                \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, \
   name "($self, " params ")\n--\n\n" doc}

// Added to the type at creation as a staticmethod whose C `self` is the class: the class table's METH_STATIC
// would pass no class at all, and the static method must make objects of its own import's class.
PyMethodDef open_by_name_def = {"open_by_name",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(device_open_by_name)),
                                METH_FASTCALL | METH_KEYWORDS,
                                "open_by_name(name)\n--\n\nOpen the adapter whose stored device name equals `name`."};

PyMethodDef device_methods[] = {
    TAVRO_NOARGS("close", device_close, "Stop the bus, release the adapter and stop periodic tasks."),
    TAVRO_NOARGS("get_bus_state", device_get_bus_state, "(bus state, receive errors, transmit errors)."),
    TAVRO_NOARGS("get_mode", device_get_mode, "The adapter's CAN mode flags."),
    TAVRO_NOARGS("get_serial_number", device_get_serial_number, "The adapter's USB serial number."),
    TAVRO_NOARGS("get_device_info", device_get_device_info, "(hardware version, firmware version, channels)."),
    TAVRO_NOARGS("get_identity", device_get_identity, "Who the adapter is: model, serial, name, versions."),
    TAVRO_NOARGS("confirmation_info", device_confirmation_info, "How confirmed transmission is set up now."),
    TAVRO_NOARGS("get_device_capabilities", device_get_device_capabilities,
                 "Capability words read when the handle was opened."),
    TAVRO_NOARGS("dropped_frame_count", device_dropped_frame_count,
                 "Received frames discarded because the receive queue was full."),
    TAVRO_ARGS("set_bus_state", "on", device_set_bus_state, "Start (True) or stop (False) the CAN bus."),
    TAVRO_ARGS("set_bitrate", "bitrate, sample_point", device_set_bitrate,
               "Compute and apply the nominal bit timing (sample point in tenths of a percent)."),
    TAVRO_ARGS("set_mode", "ctrlmode", device_set_mode, "Write the adapter's CAN mode flags."),
    TAVRO_ARGS("configure_modes", "mask, flags", device_configure_modes,
               "Change the named Classic CAN mode bits in `mask` to `flags`; returns the mode in force."),
    TAVRO_ARGS("configure_confirmation", "enabled", device_configure_confirmation,
               "Select confirmed transmission for the next bus start."),
    TAVRO_NOARGS("reset_can", device_reset_can, "Reset the CAN controller."),
    TAVRO_NOARGS("flush_tx_queue", device_flush_tx_queue, "Drop the adapter's queued transmissions."),
    TAVRO_NOARGS("reset_timestamps", device_reset_timestamps, "Zero the adapter's timestamp counter."),
    TAVRO_ARGS("send_frame", "arb_id, is_ext, is_rtr, dlc, data, timeout_ms", device_send_frame,
               "Send one frame without a delivery ticket."),
    TAVRO_ARGS("submit_frame", "arb_id, is_ext, is_rtr, dlc, data, timeout_ms", device_submit_frame,
               "Send one frame with confirmation; returns a NativeTxTicket."),
    TAVRO_ARGS("cancel_ticket", "ticket, timeout_ms", device_cancel_ticket,
               "Ask the adapter to withdraw a confirmed transmission and resolve its ticket (the adapter's verdict, "
               "else uncertain); None if it is no longer tracked or the adapter cannot be asked."),
    TAVRO_ARGS("receive_frame", "timeout_ms", device_receive_frame,
               "Next received frame as (timestamp, id, is_ext, is_rtr, is_error, dlc, data8), or None."),
    TAVRO_ARGS("start_periodic", "frames, period_us, duration_ms", device_start_periodic,
               "Send `frames` in rotation, one every `period_us`, for `duration_ms` (None: until stopped); "
               "returns the task id."),
    TAVRO_ARGS("stop_periodic", "task_id", device_stop_periodic, "Remove a periodic task and wait for it to end."),
    TAVRO_ARGS("modify_periodic", "task_id, frames", device_modify_periodic,
               "Replace a periodic task's frames from its next slot on."),
    TAVRO_ARGS("is_periodic_alive", "task_id", device_is_periodic_alive, "Whether a periodic task still sends."),
    TAVRO_ARGS("periodic_error", "task_id", device_periodic_error, "Why a periodic task failed, or None."),
    TAVRO_ARGS("periodic_counts", "task_id", device_periodic_counts,
               "Frames a periodic task sent, sent late (after the next frame was due) and skipped."),
    TAVRO_NOARGS("stop_all_periodic", device_stop_all_periodic, "Remove every periodic task and wait for them."),
    TAVRO_ARGS("set_filters", "filters", device_set_filters,
               "Replace the software receive filter with (id, mask, extended) entries."),
    TAVRO_NOARGS("clear_filters", device_clear_filters, "Accept every received frame."),
    TAVRO_ARGS("_set_message_factory", "message_class, channel, anchor", device_set_message_factory,
               "Build received frames for _receive_message as instances of `message_class` (python-can)."),
    TAVRO_ARGS("_receive_message", "timeout_ms", device_receive_message,
               "Next received frame as a message object (see _set_message_factory), or None."),
    TAVRO_ARGS("_stop_periodic", "task_id", device_stop_periodic_counted,
               "Remove a periodic task, wait for it to end and return its final counts (sent, late, skipped)."),
    TAVRO_ARGS("_set_receive_own", "enabled", device_set_receive_own,
               "With confirmed transmission: also receive every frame the adapter reports sent."),
    TAVRO_ARGS("_set_bit_timing", "brp, tseg1, tseg2, sjw", device_set_bit_timing,
               "Apply and verify a nominal bit timing given by its prescaler and segments."),
    TAVRO_ARGS("set_led_mode", "mode", device_set_led_mode, "Set and verify the LED mode."),
    TAVRO_NOARGS("get_led_mode", device_get_led_mode, "The adapter's LED mode."),
    TAVRO_ARGS("set_termination", "enabled", device_set_termination, "Switch and verify bus termination."),
    TAVRO_NOARGS("get_termination", device_get_termination, "Whether bus termination is on."),
    TAVRO_ARGS("set_device_name", "name", device_set_device_name, "Store a device name (15 bytes at most)."),
    TAVRO_NOARGS("get_device_name", device_get_device_name, "The stored device name."),
    TAVRO_ARGS("set_device_name_and_wait", "name, timeout_ms", device_set_device_name_and_wait,
               "Store a device name, verify it and wait until the adapter has saved it."),
    TAVRO_NOARGS("get_settings_status", device_get_settings_status,
                 "Progress of the adapter's settings save, or None on firmware without it."),
    TAVRO_ARGS("wait_settings_saved", "timeout_ms", device_wait_settings_saved,
               "Wait until the adapter reports its settings saved (\"saved\" or \"unchanged\")."),
    TAVRO_ARGS("set_channel_id", "channel_id", device_set_channel_id, "Set the adapter's CAN channel id (0)."),
    TAVRO_NOARGS("get_channel_id", device_get_channel_id, "The adapter's CAN channel id."),
    TAVRO_ARGS("set_interface_name", "name", device_set_interface_name, "Tell the adapter the host interface name."),
    TAVRO_ARGS("identify", "duration_ms", device_identify, "Blink the adapter's LED for `duration_ms`."),
    TAVRO_NOARGS("library_versions", device_library_versions, "The library's versions and build provenance."),
    TAVRO_NOARGS("compatibility_report", device_compatibility_report,
                 "How the compatibility policy judges this adapter (device information read now)."),
    TAVRO_NOARGS("get_last_error", device_get_last_error, "The adapter's latched last bus error."),
    TAVRO_NOARGS("get_diagnostics", device_get_diagnostics, "Bus status, last error and host receive drops."),
    TAVRO_NOARGS("get_statistics", device_get_statistics, "Host-side frame, byte and bus event counters since open."),
    TAVRO_NOARGS("get_temperatures", device_get_temperatures,
                 "The adapter's temperature words, or None without the temperature feature."),
    TAVRO_NOARGS("get_bittiming", device_get_bittiming, "The bit timing record the adapter holds as configured."),
    TAVRO_NOARGS("get_bittiming_snapshot", device_get_bittiming_snapshot,
                 "Configured and programmed timing with the controller state and their cross-checks, or None."),
    TAVRO_NOARGS("get_bittiming_limits", device_get_bittiming_limits,
                 "Bit timing limits and clock declared by the adapter at open."),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot device_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeTavroDevice(serial=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(device_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(device_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(device_traverse)},
    {Py_tp_methods, device_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec device_spec = {
    "tavro_pythoncan_ext.NativeTavroDevice", sizeof(DeviceObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, device_slots,
};

}  // namespace

PyObject* create_device_type(PyObject* module) {
  Ref type(PyType_FromModuleAndSpec(module, &device_spec, nullptr));
  if (!type) return nullptr;
  Ref fn(PyCFunction_NewEx(&open_by_name_def, type.get(), nullptr));
  if (!fn) return nullptr;
  // staticmethod() itself: its C constructor is not part of the stable ABI.
  PyObject* staticmethod = PyDict_GetItemString(PyEval_GetBuiltins(), "staticmethod");  // borrowed
  if (!staticmethod) {
    PyErr_SetString(PyExc_RuntimeError, "builtins.staticmethod is missing");
    return nullptr;
  }
  Ref method(PyObject_CallFunctionObjArgs(staticmethod, fn.get(), nullptr));
  if (!method || PyObject_SetAttrString(type.get(), "open_by_name", method.get()) < 0) return nullptr;
  return type.release();
}

void close_all_devices() noexcept { close_open_handles_at_exit(); }

PyObject* list_devices(PyObject* Py_UNUSED(module), PyObject* Py_UNUSED(unused)) {
  TAVRO_PY_GUARD_BEGIN
  auto r = without_gil([] { return tavro::list_devices(backend()); });
  if (!r.ok()) return raise_device_error(r.error());
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& s : r.value()) {
    Ref item(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
  TAVRO_PY_GUARD_END
}

}  // namespace tavro::py
