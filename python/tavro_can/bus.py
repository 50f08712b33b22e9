"""python-can interface plugin: ``can.Bus(interface="tavro", channel=<serial or None>, bitrate=500000)``.

Frames go through the native driver ``tavro_pythoncan_ext``. Received frames arrive as ready ``can.Message``
objects built by the driver, acceptance filters run in the driver with python-can's matching rule (so ``recv``
never filters again), periodic tasks run on the driver's own threads, and every wait is cut into short slices so
that Ctrl-C interrupts ``recv`` and ``send`` at once.
"""

from __future__ import annotations

import atexit
import logging
import math
import operator
import time
import weakref
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import can
from can import BusABC, BusState, Message
from can.broadcastmanager import (
    LimitedDurationCyclicSendTaskABC,
    ModifiableCyclicTaskABC,
    RestartableCyclicTaskABC,
)
from can.exceptions import CanError, CanInitializationError, CanOperationError, CanTimeoutError

import tavro_pythoncan_ext as _ext

_T = TypeVar("_T")

_log = logging.getLogger("can.tavro")
_bus_log = logging.getLogger("can.bus")  # where BusABC.recv logs received messages
# The answers of _bus_log.isEnabledFor that logging keeps (and clears on every change of a level or of
# logging.disable): a received message asks this first, so that a level that is off costs no call. A missing
# answer, or a logging without this cache, leaves it to isEnabledFor.
_cache = getattr(_bus_log, "_cache", None)
_bus_log_known: dict[int, bool] = _cache if isinstance(_cache, dict) else {}

_MODE_LISTEN_ONLY = 0x02
_MODE_TRIPLE_SAMPLE = 0x04
_BUS_OFF = 3
# Longest single native wait; the driver checks for signals (Ctrl-C) between its own 100 ms slices.
_FOREVER_MS = 300_000
# A send with timeout=0 gets one attempt; this bounds the USB write of that attempt.
_TRY_ONCE_MS = 25
# Slice of a send that blocks without a time-out: Python handles signals between slices.
_SEND_SLICE_MS = 250
# How long a send that timed out waits for the adapter to withdraw its frame (one control request's time-out).
_CANCEL_MS = 1000


class TavroError(CanError):
    """Base of every error this interface raises (also a python-can ``CanError``)."""


class TavroInitializationError(TavroError, CanInitializationError):
    """The adapter could not be opened or configured."""


class TavroOperationError(TavroError, CanOperationError):
    """A send, receive or configuration request failed."""


class TavroTimeoutError(TavroError, CanTimeoutError):
    """A send did not complete in time (the frame may or may not have reached the bus)."""


# The driver's failure numbers (``error_code`` of the exceptions it raises): 0 to 17 its device error kinds,
# ERROR_DISCONNECTED an unplugged adapter, which every operation on such a bus reports in the same words.
ERROR_DEVICE_NOT_FOUND = 1
ERROR_MULTIPLE_DEVICES = 3
ERROR_DISCONNECTED = 18


def _error_code(e: BaseException) -> int | None:
    return getattr(e, "error_code", None)


def _wrap(e: Exception, cls: type[TavroError] = TavroOperationError) -> TavroError:
    if isinstance(e, TimeoutError) and cls is TavroOperationError:
        cls = TavroTimeoutError
    return cls(str(e), _error_code(e))


def _open_error(e: Exception, channel: str | None, device_name: str | None) -> TavroInitializationError:
    text = str(e)
    if _error_code(e) == ERROR_MULTIPLE_DEVICES:
        serials = [line.strip()[2:] for line in text.splitlines() if line.strip().startswith("- ")]
        text = f"{len(serials)} adapters found: {', '.join(serials)}; pass channel=<serial>"
    elif _error_code(e) == ERROR_DEVICE_NOT_FOUND and text == "Device not found":
        if device_name is not None:
            text = f"Device not found: no TAVRO adapter named {device_name!r}"
        elif channel is not None:
            text = f"Device not found: no TAVRO adapter with serial {channel!r}"
        else:
            text = "Device not found: no TAVRO adapter attached"
    return TavroInitializationError(text, _error_code(e))


def _sliced(call: Callable[[int], _T], deadline: float | None) -> _T:
    """Runs ``call(timeout_ms)`` in slices of at most _SEND_SLICE_MS until it does not time out or `deadline`
    (monotonic; None: none) has passed, so that Python handles signals (Ctrl-C) between the slices. A write
    that runs out of its slice is one the adapter kept refusing (its queue full) and that the driver cancelled;
    the driver calls that uncertain because a record might in principle have been taken just then."""
    while True:
        if deadline is None:
            ms = _SEND_SLICE_MS
        else:
            ms = max(0, min(_SEND_SLICE_MS, int((deadline - time.monotonic()) * 1000 + 0.999)))
        try:
            return call(ms)
        except TimeoutError:
            if deadline is not None and time.monotonic() >= deadline:
                raise


def _verdict(dev: _ext.NativeTavroDevice, ticket: _ext.NativeTxTicket, deadline: float | None) -> dict[str, Any]:
    """The adapter's verdict on a confirmed frame, awaited until `deadline`. A send that gives up asks the adapter
    to withdraw the frame: a caller told "timed out" retries, and the frame must not then go out a second time
    later; nor may a ticket nobody awaits stay pending. Should the frame have gone out meanwhile, that is success."""
    try:
        return _sliced(ticket.wait, deadline)
    except TimeoutError:
        try:
            dev.cancel_ticket(ticket, _CANCEL_MS)
        except (RuntimeError, TimeoutError):
            pass  # the ticket stays pending; the time-out below still tells the truth about this send
        try:
            result = ticket.wait(0)
        except TimeoutError:
            raise TimeoutError("the adapter did not confirm the frame in time; it may still be sent") from None
        if result["status"] == "success":
            return result
        if result["status"] == "cancelled":
            raise TimeoutError("the adapter did not send the frame in time; withdrawn, it will not be sent") from None
        reason = f": {result['status']}" + (f" ({result['reason']})" if result.get("reason") else "")
        raise TimeoutError(f"the adapter did not confirm the frame in time; it may still be sent{reason}") from None


def _native_filters(filters: Sequence[Any] | None) -> list[tuple[int, int, bool | None]] | None:
    """Translates python-can filters into the driver's (id, mask, extended) entries with the same meaning as
    ``BusABC._matches_filters``: a frame passes when ``(can_id ^ arbitration_id) & can_mask == 0`` (and its
    format equals ``extended`` where given). Mask bits above an identifier's width are compared against zero, so
    they are cut away when ``can_id`` is zero there and make the filter match nothing otherwise.
    Raises ValueError for a malformed filter; returns None for "accept everything"."""
    if not filters:
        return None
    entries: list[tuple[int, int, bool | None]] = []
    for f in filters:
        try:
            can_id, can_mask = f["can_id"], f["can_mask"]
        except (TypeError, KeyError, IndexError):
            raise ValueError(f"invalid filter {f!r}: needs 'can_id' and 'can_mask'") from None
        for key, value in (("can_id", can_id), ("can_mask", can_mask)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"invalid filter {f!r}: {key} must be a non-negative int")
        formats: tuple[bool, ...]
        if "extended" in f:
            if f["extended"] not in (True, False):
                raise ValueError(f"invalid filter {f!r}: extended must be True or False")
            formats = (bool(f["extended"]),)
        else:
            formats = (False, True)
        for ext in formats:
            width = 0x1FFFFFFF if ext else 0x7FF
            if can_id & can_mask & ~width:
                continue  # no identifier of this format can match
            entries.append((can_id & can_mask & width, can_mask & width, ext))
    # No entry: nothing can pass. The driver's entry for that wants bit 11 set in a standard identifier.
    return entries or [(0x800, 0x80000800, None)]


class TavroBus(BusABC):
    """A TAVRO USB CAN adapter.

    :param channel: serial number of the adapter, or None for the only one attached.
    :param device_name: open the adapter whose stored name is this, instead of by serial number.
    :param bitrate: nominal bit rate in bit/s (at most 1 Mbit/s; classic CAN only).
    :param sample_point: sample point in percent (87.5 by default).
    :param timing: a ``can.BitTiming`` applied as given (its ``f_clock`` must be the adapter's clock); overrides
        ``bitrate`` and ``sample_point``. ``can.BitTimingFd`` is refused.
    :param listen_only: receive only; the adapter neither transmits nor acknowledges (``state`` PASSIVE).
    :param receive_own_messages: every frame this bus sends comes back from ``recv`` (``is_rx=False``) once the
        adapter has reported it sent, with the adapter's timestamp. ``send`` then waits for that report.
    """

    def __init__(
        self,
        channel: Any = None,
        can_filters: can.typechecking.CanFilters | None = None,
        bitrate: int = 500_000,
        sample_point: float = 87.5,
        listen_only: bool = False,
        device_name: str | None = None,
        fd: bool = False,
        timing: can.BitTiming | can.BitTimingFd | None = None,
        receive_own_messages: bool = False,
        **kwargs: Any,
    ) -> None:
        if fd or isinstance(timing, can.BitTimingFd):
            raise TavroInitializationError("TAVRO adapters support classic CAN only (no CAN FD, no BitTimingFd)")
        if timing is not None and not isinstance(timing, can.BitTiming):
            raise TavroInitializationError(f"timing must be a can.BitTiming, not {type(timing).__name__}")
        try:
            _native_filters(can_filters)
        except ValueError as e:
            raise TavroInitializationError(str(e)) from None
        if timing is None:
            bitrate_bps, sample_permille = self._check_bitrate(bitrate, sample_point)
        if receive_own_messages and listen_only:
            raise TavroInitializationError("receive_own_messages needs a transmitting bus, not listen_only")
        channel = None if channel in (None, "") else str(channel)

        try:
            if device_name is not None:
                dev = _ext.NativeTavroDevice.open_by_name(device_name)
            else:
                dev = _ext.NativeTavroDevice(channel)
        except (RuntimeError, TimeoutError, ValueError, TypeError, OverflowError) as e:
            raise _open_error(e, channel, device_name) from None
        self._dev = dev
        self._own = False
        try:
            serial = dev.get_serial_number()
            wanted = _MODE_LISTEN_ONLY if listen_only else 0
            if timing is not None:
                self._apply_timing(timing)
                if timing.nof_samples == 3:
                    wanted |= _MODE_TRIPLE_SAMPLE
            else:
                try:
                    dev.set_bitrate(bitrate_bps, sample_permille)
                except RuntimeError as e:
                    if str(e) != "Invalid bit timing parameters":
                        raise
                    clock = dev.get_device_capabilities()["clock_freq"]
                    raise TavroInitializationError(
                        f"{e}: no timing for {bitrate_bps} bit/s at {sample_permille / 10:g} % from the adapter's "
                        f"{clock} Hz clock"
                    ) from None
            # The mode word outlives a session in the adapter: write what this bus wants, every time.
            dev.configure_modes(_MODE_LISTEN_ONLY | _MODE_TRIPLE_SAMPLE, wanted)
            self._passive = bool(listen_only)
            self._own = bool(receive_own_messages)
            dev.configure_confirmation(self._own)
            if self._own:
                dev._set_receive_own(True)
            dev._set_message_factory(Message, serial, self._start_bus())
        except CanInitializationError:
            dev.close()
            raise
        except (RuntimeError, TimeoutError, ValueError, TypeError, OverflowError) as e:
            dev.close()  # at once: a half-opened adapter must not wait for the garbage collector
            raise _wrap(e, TavroInitializationError) from None
        except BaseException:
            dev.close()
            raise
        self.channel_info = f"TAVRO {serial}"
        self._recv_message = dev._receive_message
        super().__init__(channel=serial, can_filters=can_filters, **kwargs)
        _open_buses.add(self)

    # ----------------------------------------------------------------------------------------------------------
    # Opening

    @staticmethod
    def _check_bitrate(bitrate: Any, sample_point: Any) -> tuple[int, int]:
        try:
            bps = operator.index(bitrate)
        except TypeError:
            raise TavroInitializationError(f"bitrate must be an int in bit/s, not {bitrate!r}") from None
        if not 0 < bps <= 1_000_000:
            raise TavroInitializationError(
                f"bitrate {bps} is outside what the adapter can do (1 to 1,000,000 bit/s; classic CAN only)"
            )
        try:
            if isinstance(sample_point, bool):
                raise TypeError
            sample_point = float(sample_point)  # a configuration file gives text
        except (TypeError, ValueError):
            raise TavroInitializationError(f"sample_point must be a percentage, not {sample_point!r}") from None
        if not (math.isfinite(sample_point) and 0 < round(sample_point * 10) < 1000):
            raise TavroInitializationError(
                f"sample_point {sample_point:g} is outside what the adapter can do (a percentage above 0 and below 100)"
            )
        permille = round(sample_point * 10)
        return bps, permille

    def _apply_timing(self, timing: can.BitTiming) -> None:
        clock = self._dev.get_device_capabilities()["clock_freq"]
        if timing.f_clock != clock:
            raise TavroInitializationError(
                f"timing is for a {timing.f_clock} Hz clock; the adapter's CAN clock is {clock} Hz "
                f"(use can.BitTiming.from_sample_point(f_clock={clock}, ...))"
            )
        if timing.nof_samples == 3 and not self._dev.get_device_capabilities()["ctrlmode_supported"] & 0x04:
            raise TavroInitializationError("the adapter cannot sample each bit three times (nof_samples=3)")
        try:
            self._dev._set_bit_timing(timing.brp, timing.tseg1, timing.tseg2, timing.sjw)
        except ValueError as e:
            raise TavroInitializationError(f"timing cannot be applied: {e}") from None

    def _start_bus(self) -> float:
        """Zeroes the adapter clock right before the bus goes on; returns the host time of that moment."""
        before = time.time()
        try:
            self._dev.reset_timestamps()
            anchor = (before + time.time()) / 2
        except RuntimeError as e:
            # Firmware without the timestamp reset: its clock counts from the adapter's own start.
            _log.debug("timestamps not reset (%s); anchoring them at bus start", e)
            anchor = None
        self._dev.set_bus_state(True)
        return time.time() if anchor is None else anchor

    # ----------------------------------------------------------------------------------------------------------
    # Sending and receiving

    def send(self, msg: Message, timeout: float | None = None) -> None:
        if msg.is_fd:
            raise TavroOperationError("TAVRO adapters support classic CAN only")
        if msg.is_error_frame:
            raise TavroOperationError("TAVRO adapters cannot transmit error frames")
        if self._passive:
            raise TavroOperationError("the bus is listen-only (BusState.PASSIVE): sending is disabled")
        dlc = msg.dlc
        data = b"" if msg.is_remote_frame else bytes(msg.data)
        if not msg.is_remote_frame and len(data) != dlc:
            dlc = len(data)  # python-can keeps dlc and data in step; a hand-edited message sends its data
        args = (msg.arbitration_id, bool(msg.is_extended_id), bool(msg.is_remote_frame), dlc, data)
        once = timeout is not None and not timeout > 0
        dev = self._dev
        try:
            if once:
                # One attempt: the USB write gets a short bound, not a wait for room in the adapter.
                if not self._own:
                    dev.send_frame(*args, _TRY_ONCE_MS)
                    return
                ticket = dev.submit_frame(*args, _TRY_ONCE_MS)
                result = _verdict(dev, ticket, time.monotonic() + _TRY_ONCE_MS / 1000)
            else:
                deadline = None if timeout is None else time.monotonic() + timeout
                if not self._own:
                    _sliced(lambda ms: dev.send_frame(*args, ms), deadline)
                    return
                ticket = _sliced(lambda ms: dev.submit_frame(*args, ms), deadline)
                result = _verdict(dev, ticket, deadline)  # the frame is submitted once, however long this takes
        except (RuntimeError, TimeoutError, ValueError, TypeError, OverflowError) as e:
            raise _wrap(e) from None
        if result["status"] != "success":
            if result.get("reason") == "transport_failure":
                try:
                    dev.confirmation_info()  # says whether the adapter is gone, without asking it
                except RuntimeError as e:
                    raise _wrap(e) from None
            raise TavroOperationError(
                f"the adapter did not send the frame: {result['status']}"
                + (f" ({result['reason']})" if result["reason"] else "")
            )

    def recv(self, timeout: float | None = None) -> Message | None:
        # BusABC.recv, with the message built and filtered by the driver; same time-out and logging behaviour.
        try:
            if timeout is not None and 0 < timeout < 60:
                msg = self._recv_message(int(timeout * 1000 + 0.999))  # rounded up: never returns early
            elif timeout is not None and not timeout > 0:
                msg = self._recv_message(0)
            else:
                msg = self._wait_long(timeout)
        except (RuntimeError, TimeoutError, ValueError, TypeError, OverflowError) as e:
            raise _wrap(e) from None
        if (
            msg is not None
            and _bus_log_known.get(self.RECV_LOGGING_LEVEL, True)
            and _bus_log.isEnabledFor(self.RECV_LOGGING_LEVEL)
        ):
            _bus_log.log(self.RECV_LOGGING_LEVEL, "Received: %s", msg)
        return msg

    def _wait_long(self, timeout: float | None) -> Message | None:
        """Waits longer than one native call may (None or inf: for ever)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = _FOREVER_MS if deadline is None else (deadline - time.monotonic()) * 1000
            msg = self._recv_message(int(min(left, _FOREVER_MS)) if left > 0 else 0)
            if msg is not None or (deadline is not None and time.monotonic() >= deadline):
                return msg

    def _recv_internal(self, timeout: float | None) -> tuple[Message | None, bool]:
        try:
            if timeout is not None and not timeout > 0:
                return self._recv_message(0), True
            return self._wait_long(timeout), True
        except (RuntimeError, TimeoutError, ValueError, TypeError, OverflowError) as e:
            raise _wrap(e) from None

    # ----------------------------------------------------------------------------------------------------------
    # Filters

    def set_filters(self, filters: can.typechecking.CanFilters | None = None) -> None:
        try:
            _native_filters(filters)
        except ValueError as e:
            raise TavroOperationError(str(e)) from None
        super().set_filters(filters)

    def _apply_filters(self, filters: Sequence[can.typechecking.CanFilter] | None) -> None:
        entries = _native_filters(filters)
        try:
            if entries is None:
                self._dev.clear_filters()
            else:
                self._dev.set_filters(entries)
        except (RuntimeError, ValueError, TypeError, OverflowError) as e:
            raise _wrap(e) from None

    # ----------------------------------------------------------------------------------------------------------
    # State

    @property
    def state(self) -> BusState:
        """ERROR while the controller is bus-off, PASSIVE in listen-only mode, ACTIVE otherwise (read from the
        adapter)."""
        try:
            if self._dev.get_bus_state()[0] == _BUS_OFF:
                return BusState.ERROR
            self._passive = bool(self._dev.get_mode() & _MODE_LISTEN_ONLY)
        except RuntimeError as e:
            raise _wrap(e) from None
        return BusState.PASSIVE if self._passive else BusState.ACTIVE

    @state.setter
    def state(self, new_state: BusState) -> None:
        """PASSIVE switches the adapter to listen-only, ACTIVE back. Restarts the bus: periodic tasks end."""
        if new_state not in (BusState.ACTIVE, BusState.PASSIVE):
            raise TavroOperationError(f"state can be set to ACTIVE or PASSIVE, not {new_state}")
        if new_state == BusState.PASSIVE and self._own:
            raise TavroOperationError("a bus with receive_own_messages cannot be made listen-only")
        try:
            mode = self._dev.configure_modes(
                _MODE_LISTEN_ONLY, _MODE_LISTEN_ONLY if new_state == BusState.PASSIVE else 0
            )
        except (RuntimeError, TimeoutError, ValueError) as e:
            raise _wrap(e) from None
        self._passive = bool(mode & _MODE_LISTEN_ONLY)

    # ----------------------------------------------------------------------------------------------------------
    # Periodic transmission

    def _send_periodic_internal(
        self,
        msgs: Sequence[Message] | Message,
        period: float,
        duration: float | None = None,
        autostart: bool = True,
        modifier_callback: Callable[[Message], None] | None = None,
    ) -> can.broadcastmanager.CyclicSendTaskABC:
        if modifier_callback is not None:
            # The callback must run in Python before every frame: python-can's own thread task does that.
            return super()._send_periodic_internal(msgs, period, duration, autostart, modifier_callback)
        return TavroCyclicTask(self, msgs, period, duration, autostart)

    # ----------------------------------------------------------------------------------------------------------
    # Housekeeping

    def fileno(self) -> int:
        # An eventfd kept in step with the receive queue costs an eventfd write and read per frame whenever the
        # reader keeps up (the queue empties at each frame): about 0.6 to 3 us against 0.25 us for the whole
        # native receive. A Notifier therefore uses its thread.
        raise NotImplementedError("fileno is not offered by the tavro interface; a Notifier uses a thread")

    def flush_tx_buffer(self) -> None:
        try:
            self._dev.flush_tx_queue()
        except (RuntimeError, TimeoutError) as e:
            raise _wrap(e) from None

    _released = False  # the adapter was closed by shutdown()

    def shutdown(self) -> None:
        # python-can's part first and on every call (it is idempotent itself), also for an instance whose __init__
        # did not complete: python-can then already counts it as shut down, and its __init__ closed the adapter.
        super().shutdown()
        if self._released or getattr(self, "_dev", None) is None:
            return
        self._released = True
        _open_buses.discard(self)
        try:
            self._dev.close()
        except RuntimeError as e:
            # An unplugged adapter cannot be switched off; the handle is closed regardless and the adapter is
            # released when the handle goes away.
            _log.warning("closing %s: %s", self.channel_info, e)

    @staticmethod
    def _detect_available_configs() -> list[can.typechecking.AutoDetectedConfig]:
        try:
            serials = _ext.list_devices()
        except RuntimeError:
            return []
        return [{"interface": "tavro", "channel": s} for s in serials]


def _frame_args(msg: Message) -> tuple[int, bool, bool, int, bytes]:
    if msg.is_fd or msg.is_error_frame:
        raise ValueError("TAVRO adapters send classic CAN data and remote frames only")
    data = b"" if msg.is_remote_frame else bytes(msg.data)
    return (
        msg.arbitration_id,
        bool(msg.is_extended_id),
        bool(msg.is_remote_frame),
        msg.dlc if msg.is_remote_frame else len(data),
        data,
    )


class TavroCyclicTask(LimitedDurationCyclicSendTaskABC, ModifiableCyclicTaskABC, RestartableCyclicTaskABC):
    """A periodic task on the driver's own thread: the messages in rotation, one per period, until stopped or
    ``duration`` seconds after each start. A configuration change of the bus (``state``, a bus restart) ends it;
    ``start()`` runs it again.

    Message n is due ``n * period`` after the start. When the machine holds the task up, the messages it missed
    go out late, back to back, up to 10 of them; slots further behind are skipped. ``late_frames`` and
    ``skipped_frames`` count both over the task's life."""

    def __init__(
        self,
        bus: TavroBus,
        messages: Sequence[Message] | Message,
        period: float,
        duration: float | None,
        autostart: bool = True,
    ) -> None:
        super().__init__(messages, period, duration)
        try:
            self._frames = [_frame_args(m) for m in self.messages]
        except ValueError as e:
            raise TavroOperationError(str(e)) from None
        self._dev = bus._dev
        self._task_id: int | None = None
        self._ended_counts = {"sent": 0, "late": 0, "skipped": 0}  # of the runs before the current one
        if autostart:
            self.start()

    def start(self) -> None:
        if self._task_id is not None:
            if self._dev.is_periodic_alive(self._task_id):
                return
            self.stop()
        period_us = max(1, round(self.period * 1e6))
        duration_ms = None if self.duration is None else max(0, round(self.duration * 1000))
        try:
            self._task_id = self._dev.start_periodic(self._frames, period_us, duration_ms)
        except (RuntimeError, ValueError, TypeError, OverflowError) as e:
            raise _wrap(e) from None
        if self.duration is not None:
            self.end_time = time.perf_counter() + self.duration

    def stop(self) -> None:
        task_id = self._task_id
        if task_id is None:
            return
        self._task_id = None
        try:
            # Counted once the worker has ended: a frame it sent just before the stop is not lost.
            final = self._dev._stop_periodic(task_id)
        except RuntimeError:
            return  # the device was closed: its tasks are gone already
        for key, value in final.items():
            self._ended_counts[key] += value

    def _run_counts(self) -> dict[str, int]:
        if self._task_id is None:
            return {}
        try:
            return self._dev.periodic_counts(self._task_id)
        except RuntimeError:
            return {}  # the device was closed: its tasks are gone already

    def _count(self, key: str) -> int:
        return self._ended_counts[key] + self._run_counts().get(key, 0)

    @property
    def sent_frames(self) -> int:
        """Frames handed to the adapter."""
        return self._count("sent")

    @property
    def late_frames(self) -> int:
        """Frames sent after the next one was already due (the machine held the task up)."""
        return self._count("late")

    @property
    def skipped_frames(self) -> int:
        """Slots given up because the task fell more than 10 frames behind."""
        return self._count("skipped")

    def modify_data(self, messages: Sequence[Message] | Message) -> None:
        super().modify_data(messages)
        try:
            frames = [_frame_args(m) for m in self.messages]
        except ValueError as e:
            raise TavroOperationError(str(e)) from None
        self._frames = frames
        if self._task_id is not None:
            try:
                self._dev.modify_periodic(self._task_id, frames)
            except RuntimeError:
                pass  # the task has ended; start() uses the new frames

    @property
    def error(self) -> str | None:
        """Why the task ended on its own, if it failed (None while it runs or after a plain stop)."""
        if self._task_id is None:
            return None
        try:
            return self._dev.periodic_error(self._task_id)
        except RuntimeError:
            return None


# Buses still open when the interpreter exits: their periodic tasks (python-can's thread tasks included) stop
# before the driver's own exit hook closes the adapters under them.
_open_buses: weakref.WeakSet[TavroBus] = weakref.WeakSet()


@atexit.register
def _stop_periodic_tasks_at_exit() -> None:
    for bus in list(_open_buses):
        tasks = list(bus._periodic_tasks)
        try:
            bus.stop_all_periodic_tasks()
        except Exception as e:
            _log.warning("stopping periodic tasks at exit: %s", e)
        for task in tasks:  # python-can's thread tasks: let a send in progress finish before the adapter closes
            thread = getattr(task, "thread", None)
            if thread is not None:
                thread.join(1.0)
