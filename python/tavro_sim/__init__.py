"""Control API of the simulated TAVRO adapters.

The process has one simulator. It is created when this package is first imported and plugs the adapters named in
the environment variable ``TAVRO_SIM_ADAPTERS`` (comma-separated serial numbers; unset: one adapter
``tav.io:CANH0001``; empty: none), all wired to one simulated CAN bus, bus 0. Adapters plugged with ``bus=n`` (up
to 15) share bus n with nobody else: one process can hold several independent buses, each with its own clock,
streams and settings; the bus functions below act on bus 0 unless given ``bus``. A product running with
``TAVRO_USB_BACKEND=simulator`` reaches the very same adapters through the capsule ``tavro_sim._native.backend``.

    import tavro_sim
    tavro_sim.reset()                                 # nothing plugged, no faults, a fresh bus
    a = tavro_sim.plug("tav.io:CANH0001", firmware_version=(1, 4, 0, 12))
    a.add_fault("Bus", direction="in", action="reply", payload=bytes(20), count=2)
    ...                                               # drive the product
    a.received_requests()                             # what reached the adapter
    tavro_sim.inject([tavro_sim.Frame(0x123, b"\\x01\\x02")])

The same adapters can be served as real USB devices to a Linux kernel (``serve_usbip``, ``attach_vhci``; see
:mod:`tavro_sim.usbip`), so that the driver's libusb backend reaches them through the kernel's USB stack.

Time in the simulator is real time: wait for conditions (with generous time-outs), never for fixed sleeps.
"""

from __future__ import annotations

import atexit
from collections.abc import Iterable
from typing import Any, NamedTuple

from . import _native
from .usbip import (
    USB_PATH_UNSUPPORTED_FAULTS,
    USBIP_UNAVAILABLE,
    VhciAttachment,
    attach_vhci,
    serve_usbip,
    stop_usbip,
    usb_path_supports,
    usbip_port,
)

__all__ = [
    "REQUESTS",
    "USBIP_UNAVAILABLE",
    "USB_PATH_UNSUPPORTED_FAULTS",
    "Adapter",
    "Frame",
    "FrameLike",
    "VhciAttachment",
    "adapters",
    "add_enumeration_fault",
    "attach_vhci",
    "bus_time_us",
    "clear_enumeration_faults",
    "find",
    "inject",
    "inject_error",
    "plug",
    "reset",
    "serve_usbip",
    "set_ack_peer",
    "set_paused",
    "set_unlimited_speed",
    "start_stream",
    "stop_stream",
    "stop_usbip",
    "thread_names",
    "unplug",
    "usb_path_supports",
    "usbip_port",
    "wire_log",
]

# The server's threads are joined before the interpreter goes away.
atexit.register(stop_usbip)

#: Control request numbers by name (the adapter's vendor requests).
REQUESTS = {
    "GetDeviceInfo": 0,
    "GetDeviceCapabilities": 1,
    "GetBtConst": 2,
    "GetBerr": 3,
    "GetLastError": 4,
    "GetTemperatures": 5,
    "CanBittiming": 20,
    "Bus": 21,
    "Mode": 22,
    "TerminationState": 23,
    "LedMode": 24,
    "DeviceName": 25,
    "Channel": 26,
    "TxResultMode": 27,
    "SettingsStatus": 30,
    "SetInterfaceName": 40,
    "ResetCan": 60,
    "Identify": 61,
    "ResetTimestamp": 62,
    "FlushTxQueue": 63,
    "ResetDevice": 64,
    "ResetToBootloader": 65,
    "CancelTx": 66,
}
#: Pseudo request number of the bit timing snapshot (CanBittiming IN with wValue 1) in ``supported_requests``.
SNAPSHOT_REQUEST = 256

_TARGETS = {
    "control": 0,
    "bulk_in": 1,
    "bulk_out": 2,
    "enumerate": 3,
    "open": 4,
    "claim": 5,
    "endpoint_open": 6,
    "serial_read": 7,
    "unlink": 8,
    "clear_halt": 9,
    "submit": 10,
}
_DIRECTIONS = {"any": 0, "in": 1, "out": 2}
_ACTIONS = {
    "stall": 0,
    "timeout": 1,
    "disconnect": 2,
    "fault": 3,
    "short_reply": 4,
    "long_reply": 5,
    "reply": 6,
    "delay": 7,
    "partial_accept": 8,
    "os_error": 9,
    "expire": 10,
}
_SETTINGS_STATUS = ("idle", "pending", "saved", "unchanged", "invalid", "flash_error", "verify_error", "stuck")

#: Profile fields accepted by :func:`plug` and :meth:`Adapter.set_profile`.
PROFILE_FIELDS = (
    "serial",
    "vendor_id",
    "product_id",
    "hardware_version",
    "firmware_version",
    "bootloader_version",
    "min_host_api_version",
    "channel_count",
    "hardware_id",
    "clock_hz",
    "tx_buffer_size",
    "rx_buffer_size",
    "ctrlmode_supported",
    "features_supported",
    "temperature_sensors",
    "temperatures",
    "bt_const",
    "device_name",
    "power_up_bittiming",
    "supported_requests",
    "last_error_format",
    "led_mode_max",
    "rx_packet_size",
    "result_packet_size",
    "out_packet_size",
    "tx_queue_depth",
    "rx_queue_records",
    "result_queue_records",
    "settings_save_delay_ms",
    "settings_final_status",
)

_serial_counter = 0


class Frame(NamedTuple):
    """A CAN frame on the simulated bus. ``dlc`` defaults to ``len(data)``; error frames carry SocketCAN class bits
    in ``id``."""

    id: int
    data: bytes = b""
    extended: bool = False
    remote: bool = False
    error: bool = False
    dlc: int | None = None


#: What :func:`inject` and :func:`start_stream` take as one frame: a Frame, an id alone, Frame's fields as a dict
#: or as a tuple.
FrameLike = Frame | int | dict[str, Any] | tuple[Any, ...]


def _frame_tuple(frame: FrameLike) -> _native._FrameTuple:
    if isinstance(frame, int):
        frame = Frame(frame)
    elif isinstance(frame, dict):
        frame = Frame(**frame)
    elif not isinstance(frame, Frame):
        frame = Frame(*frame)
    return (frame.id, bytes(frame.data), bool(frame.extended), bool(frame.remote), bool(frame.error), frame.dlc)


def _request_number(request: int | str) -> int:
    if isinstance(request, str):
        try:
            return REQUESTS[request]
        except KeyError:
            raise ValueError(f"unknown control request {request!r}") from None
    if isinstance(request, bool) or not isinstance(request, int):
        raise TypeError("request must be an int or a request name")
    if not 0 <= request <= 255:
        raise ValueError("request must be 0..255")
    return request


def _choice(table: dict[str, int], value: str, what: str) -> int:
    try:
        return table[value]
    except (KeyError, TypeError):
        raise ValueError(f"{what} must be one of {', '.join(table)}") from None


def _rule(
    target: str | None,
    action: str,
    request: int | str | None,
    direction: str,
    value: int | None,
    endpoint: int | None,
    count: int | None,
    skip: int,
    length: int,
    payload: bytes,
    delay_ms: float,
    os_code: int,
    text: str,
) -> dict[str, Any]:
    if target is None:
        target = "control" if request is not None else None
    if target is None:
        raise ValueError("a fault needs a target or a request")
    rule: dict[str, Any] = {
        "target": _choice(_TARGETS, target, "target"),
        "action": _choice(_ACTIONS, action, "action"),
        "direction": _choice(_DIRECTIONS, direction, "direction"),
        "skip": skip,
        "count": -1 if count is None else count,
        "length": length,
        "payload": bytes(payload),
        "delay_us": round(delay_ms * 1000),
        "os_code": os_code,
        "text": text,
    }
    if rule["target"] == 0:
        if request is None:
            raise ValueError("a control fault needs a request")
        rule["request"] = _request_number(request)
        if value is not None:
            rule["value"] = value
    if endpoint is not None:
        rule["endpoint"] = endpoint
    if isinstance(count, int) and count == 0:
        raise ValueError("count must be positive, or None for every event")
    if delay_ms < 0:
        raise ValueError("delay_ms must not be negative")
    return rule


class Adapter:
    """One simulated adapter (plugged or already unplugged). Obtained from :func:`plug` or :func:`adapters`."""

    def __init__(self, adapter_id: int) -> None:
        self._id = adapter_id

    def __repr__(self) -> str:
        return f"<tavro_sim.Adapter {self._id} serial={self.serial!r} plugged={self.plugged}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Adapter) and other._id == self._id

    def __hash__(self) -> int:
        return hash(self._id)

    @property
    def id(self) -> int:
        """The simulator's id of this adapter (unique until :func:`reset`)."""
        return self._id

    @property
    def node_id(self) -> int:
        """The adapter's node id on the simulated bus (``sender`` in :func:`wire_log`)."""
        return _native.node_id(self._id)

    @property
    def plugged(self) -> bool:
        return _native.is_plugged(self._id)

    @property
    def serial(self) -> str | None:
        serial: str | None = self.profile()["serial"]
        return serial

    def unplug(self) -> bool:
        """Unplug now: every pending and later transfer ends Disconnected (over USB/IP: the connection closes).
        False if it was not plugged."""
        return _native.unplug(self._id)

    @property
    def usbip_busid(self) -> str:
        """The bus id under which the USB/IP server exports this adapter (``usbip attach -b``)."""
        return _native.usbip_identity(self._id)[0]

    def halt_clears(self, endpoint: int) -> int:
        """How often the host cleared a halt on this bulk endpoint (0x81, 0x83 or 0x02)."""
        return _native.halt_clears(self._id, endpoint)

    # --- profile ---
    def profile(self) -> dict[str, Any]:
        """The firmware profile: identity, versions (4-tuples), capability words, limits, supported requests."""
        return _native.get_profile(self._id)

    def set_profile(self, **fields: Any) -> None:
        """Change profile fields (see :data:`PROFILE_FIELDS`); the running state is kept."""
        _check_fields(fields)
        _native.set_profile(self._id, fields)

    def __getattr__(self, name: str) -> Any:
        if name in PROFILE_FIELDS:
            return self.profile()[name]
        raise AttributeError(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in PROFILE_FIELDS:
            self.set_profile(**{name: value})
        else:
            super().__setattr__(name, value)

    # --- state ---
    def state(self) -> dict[str, Any]:
        """The firmware's state: bus_state, mode, bittiming, result_mode, generation, led_mode, termination,
        device_name, stored_name, settings_status, channel, interface_name, identify_ms, error counters, queues and
        counters."""
        return _native.state(self._id)

    bus_state = property(lambda self: self.state()["bus_state"], doc="Bus state word as reported (0..5).")
    mode = property(lambda self: self.state()["mode"], doc="Mode word.")
    bittiming = property(lambda self: self.state()["bittiming"], doc="The 8 bit timing words.")
    result_mode = property(lambda self: self.state()["result_mode"], doc="0 legacy, 1 explicit.")
    generation = property(lambda self: self.state()["generation"], doc="Transmission-session generation.")
    led_mode = property(lambda self: self.state()["led_mode"])
    termination = property(lambda self: self.state()["termination"])
    channel = property(lambda self: self.state()["channel"])
    interface_name = property(lambda self: self.state()["interface_name"])

    @property
    def name(self) -> bytes:
        """The device name currently set (bytes before the first zero)."""
        name: bytes = self.state()["device_name"]
        return name.split(b"\0", 1)[0]

    @property
    def settings_status(self) -> str:
        status: int = self.state()["settings_status"]
        return _SETTINGS_STATUS[status]

    def set_bus_state_override(self, state: int | None) -> None:
        """Report ``state`` as the bus state (e.g. 3 after a stop request) until called with None."""
        _native.set_bus_state_override(self._id, state)

    def set_last_error(self, lec: int) -> None:
        """Set the latched last error code (bxCAN LEC 0..7)."""
        _native.set_last_error(self._id, lec)

    # --- faults ---
    def add_fault(
        self,
        request: int | str | None = None,
        action: str = "stall",
        *,
        target: str | None = None,
        direction: str = "any",
        value: int | None = None,
        endpoint: int | None = None,
        count: int | None = 1,
        skip: int = 0,
        length: int = 0,
        payload: bytes = b"",
        delay_ms: float = 0,
        os_code: int = 0,
        text: str = "",
    ) -> None:
        """Add a fault rule.

        target: "control" (default when ``request`` is given), "bulk_in", "bulk_out", "open", "claim",
        "endpoint_open", "serial_read" (enumeration lists the adapter without its serial; "fault" without a
        text stands for a permission error), "unlink" (with "timeout": the host's cancellation of the pending
        requests on ``endpoint``, or of any request, never comes back; on USB/IP the unlink is never answered, so the
        host's stack keeps the cancelled request until the connection closes, in process a bulk IN queue's
        cancellation gives up; in process also "delay" for bulk OUT, "reply" and the ending actions for bulk IN),
        "clear_halt" (the host's clearing of a halt on ``endpoint`` ends with the action's status and the halt
        stays), "submit" (the host stack refuses to submit a bulk transfer on ``endpoint``
        with the action's status; nothing reaches the adapter).
        request: a control request number or name ("Bus"); direction "in", "out" or "any";
        value: only requests with this wValue. endpoint: the bulk endpoint (0x81, 0x83, 0x02; None = any).
        action: "stall", "timeout", "disconnect", "fault", "short_reply" (at most ``length`` bytes),
        "long_reply" (padded to ``length``), "reply" (``payload``), "delay" (``delay_ms``), "partial_accept"
        (bulk OUT: the adapter takes ``length`` bytes), "os_error" (``os_code``), "expire" (ends as a time-out at
        once, without waiting for it). count: how many matching events
        it hits (None = all), after letting ``skip`` pass. text: host error text for open/claim/endpoint_open.
        A "stall" on a bulk endpoint halts it until the host clears the halt (see :meth:`halt_clears`): bulk OUT
        transfers stall; of the queued bulk IN transfers the oldest stalls and the rest wait for the clear.
        """
        if target == "enumerate":
            raise ValueError("use tavro_sim.add_enumeration_fault for enumeration faults")
        _native.add_fault(
            self._id,
            _rule(
                target,
                action,
                request,
                direction,
                value,
                endpoint,
                count,
                skip,
                length,
                payload,
                delay_ms,
                os_code,
                text,
            ),
        )

    def clear_faults(self) -> None:
        _native.clear_faults(self._id)

    def fault_count(self) -> int:
        """Rules that still have events to hit."""
        return _native.fault_count(self._id)

    # --- streams ---
    def last_rx_host_ns(self) -> int:
        """When the adapter last queued a frame from the bus on endpoint 0x81, in host monotonic nanoseconds (the
        clock of ``time.monotonic_ns``): the frame's arrival at the adapter, for latency measurements."""
        return _native.last_rx_host_ns(self._id)

    def preload_rx(self, data: bytes) -> None:
        """Stale bytes waiting on endpoint 0x81 (as an earlier user left them): whole records, a broken one..."""
        _native.preload_rx(self._id, bytes(data))

    def set_stale_stream(self, endless: bool = True) -> None:
        """Endless stale data on endpoint 0x81 (every read filled completely) until switched off."""
        _native.set_stale_stream(self._id, endless)

    # --- records ---
    def received_requests(self) -> list[dict[str, Any]]:
        """Control requests that reached the adapter, oldest first: dicts with direction ("in"/"out"),
        request_type, request, value, index, length, data (OUT payload), reply (IN bytes delivered), status."""
        return _native.received_requests(self._id)

    def received_bulk_out(self) -> list[bytes]:
        """Bulk OUT transfers the adapter accepted (bytes each; a partial acceptance shows the accepted part)."""
        return _native.received_bulk_out(self._id)

    def clear_records(self) -> None:
        _native.clear_records(self._id)

    def set_record_limit(self, entries: int) -> None:
        """Keep at most this many records of each kind (older ones are dropped)."""
        _native.set_record_limit(self._id, entries)


def _check_fields(fields: dict[str, Any]) -> None:
    for k in fields:
        if k not in PROFILE_FIELDS:
            raise TypeError(f"unknown profile field {k!r}")


def plug(
    serial: str | None = None,
    vid: int = 0x16C0,
    pid: int = 0x27D8,
    *,
    legacy: bool = False,
    has_serial: bool = True,
    bus: int = 0,
    **profile: Any,
) -> Adapter:
    """Plug a new adapter; it enumerates after the ones plugged before it.

    serial: the USB serial number (None: a fresh "tav.io:CANH9nnn"); ``has_serial=False`` plugs a device without one.
    legacy: start from the early-firmware profile (no result modes, cancellation, settings status, timestamp reset,
    snapshot or temperatures; 4-byte last error; 64-byte packets) instead of the current one.
    bus: the simulated CAN bus it is wired to (0..15).
    Other keywords set profile fields (see :data:`PROFILE_FIELDS`), e.g. ``firmware_version=(1, 4, 0, 12)``,
    ``features_supported=0x25``, ``device_name=b"bench"``, ``supported_requests=[...]``.
    """
    global _serial_counter
    _check_fields(profile)
    fields: dict[str, Any] = dict(profile)
    if not has_serial:
        fields["serial"] = None
    elif serial is None:
        _serial_counter += 1
        fields["serial"] = f"tav.io:CANH{9000 + _serial_counter:04d}"
    else:
        fields["serial"] = serial
    fields["vendor_id"] = vid
    fields["product_id"] = pid
    return Adapter(_native.plug("legacy" if legacy else "standard", fields, bus))


def adapters() -> list[Adapter]:
    """The plugged adapters in plug (= enumeration) order."""
    return [Adapter(i) for i in _native.adapters()]


def find(serial: str) -> Adapter:
    """The first plugged adapter with this serial number."""
    for a in adapters():
        if a.serial == serial:
            return a
    raise ValueError(f"no plugged adapter with serial {serial!r}")


def unplug(adapter: Adapter | str) -> bool:
    """Unplug an adapter (an :class:`Adapter` or a serial number)."""
    if isinstance(adapter, str):
        adapter = find(adapter)
    if not isinstance(adapter, Adapter):
        raise TypeError("unplug takes an Adapter or a serial number")
    return adapter.unplug()


def reset() -> None:
    """Unplug every adapter, clear all faults and start a fresh bus (test isolation). Nothing is plugged after."""
    _native.reset()


def add_enumeration_fault(
    action: str = "fault", *, count: int | None = 1, skip: int = 0, os_code: int = 0, text: str = ""
) -> None:
    """Make the next ``count`` device enumerations fail."""
    _native.add_fault(None, _rule("enumerate", action, None, "any", None, None, count, skip, 0, b"", 0, os_code, text))


def clear_enumeration_faults() -> None:
    _native.clear_faults(None)


# --- the bus ---


def inject(frames: FrameLike | Iterable[FrameLike], bitrate: int = 500000, bus: int = 0) -> None:
    """Another node sends these frames (one Frame, or a list of Frames / (id, data, ...) tuples / dicts) at
    ``bitrate``; only adapters running at that bit rate see them (0: every running adapter, without wire time)."""
    if isinstance(frames, (Frame, int, dict)):
        frames = [frames]
    _native.inject([_frame_tuple(f) for f in frames], bitrate, bus)


def start_stream(frame: FrameLike, bitrate: int = 500000, rate_fps: float = 0.0, count: int = 0, bus: int = 0) -> None:
    """A stream of ``frame`` from another node: line rate (rate_fps 0) or rate_fps frames/s; count 0 = endless."""
    _native.start_stream(_frame_tuple(frame), bitrate, float(rate_fps), count, bus)


def stop_stream(bus: int = 0) -> None:
    _native.stop_stream(bus)


def wire_log(bus: int = 0) -> list[dict[str, Any]]:
    """Frames that appeared on the wire since the last call: dicts with id, extended, remote, error, dlc, data,
    start_us, end_us, sender (node id, -1 external) and acknowledged."""
    return _native.wire_log(bus)


def set_unlimited_speed(on: bool = True, bus: int = 0) -> None:
    """Frames take no wire time (throughput measurements)."""
    _native.set_unlimited_speed(on, bus)


def set_ack_peer(on: bool = True, bus: int = 0) -> None:
    """An always-present peer that acknowledges every frame (on by default)."""
    _native.set_ack_peer(on, bus)


def set_paused(on: bool = True, bus: int = 0) -> None:
    """Hold the wire: nothing starts until released; then everything ready competes together."""
    _native.set_paused(on, bus)


def inject_error(state: int, adapter: Adapter | None = None) -> None:
    """Error frames that move ``adapter``'s (None: every running adapter's on bus 0) error counters to ``state``:
    1 warning, 2 passive, 3 bus-off (0: one protocol error)."""
    _native.inject_error(None if adapter is None else adapter.id, state)


def bus_time_us(bus: int = 0) -> int:
    """The bus clock in microseconds."""
    return _native.bus_time_us(bus)


def thread_names() -> list[str]:
    """Names of this process's threads as the operating system shows them, on every platform (the driver's are
    "tavro-" plus a role, cut to 15 characters). For tests that check which driver threads run."""
    return _native.thread_names()
