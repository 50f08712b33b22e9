"""python-can interface plugin: ``can.Bus(interface="tavro", channel=<serial or None>, bitrate=500000)``.

Frames go through the native driver ``tavro_pythoncan_ext``; acceptance filters run in the driver, so frames that
no filter accepts never reach Python.
"""
from __future__ import annotations

import logging
import time
from typing import Any, Optional, Sequence

import can
from can import BusABC, BusState, Message
from can.exceptions import CanInitializationError, CanOperationError, CanTimeoutError

import tavro_pythoncan_ext as _ext

_log = logging.getLogger("can.tavro")

# Longest single wait handed to the driver; python-can's "wait forever" is a loop of these.
_FOREVER_MS = 300_000


def _to_ms(timeout: Optional[float]) -> int:
    if timeout is None:
        return _FOREVER_MS
    return max(0, int(timeout * 1000))


class TavroBus(BusABC):
    """A TAVRO USB CAN adapter.

    :param channel: serial number of the adapter, or None for the only one attached.
    :param device_name: open the adapter whose stored name is this, instead of by serial number.
    :param bitrate: nominal bit rate in bit/s (at most 1 Mbit/s; classic CAN only).
    :param sample_point: sample point in percent (87.5 by default).
    :param listen_only: receive only; the adapter neither transmits nor acknowledges.
    """

    def __init__(
        self,
        channel: Any = None,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        bitrate: int = 500_000,
        sample_point: float = 87.5,
        listen_only: bool = False,
        device_name: Optional[str] = None,
        fd: bool = False,
        **kwargs: Any,
    ) -> None:
        if fd:
            raise CanInitializationError("TAVRO adapters support classic CAN only")
        try:
            if device_name is not None:
                self._dev = _ext.NativeTavroDevice.open_by_name(device_name)
            else:
                self._dev = _ext.NativeTavroDevice(None if channel in (None, "") else str(channel))
        except (RuntimeError, TimeoutError) as e:
            raise CanInitializationError(str(e)) from e
        try:
            self._dev.set_bitrate(int(bitrate), int(round(sample_point * 10)))
            if listen_only:
                self._dev.configure_modes(0x02, 0x02)
            self._dev.set_bus_state(True)
        except (RuntimeError, ValueError, TimeoutError) as e:
            self._dev.close()
            raise CanInitializationError(str(e)) from e
        serial = self._dev.get_serial_number()
        self.channel_info = f"TAVRO {serial}"
        self._listen_only = listen_only
        # Adapter timestamps are microseconds since the adapter's clock was reset at open; anchor them to the
        # host clock once so that messages carry ordinary epoch timestamps.
        self._epoch = time.time()
        super().__init__(channel=serial, can_filters=can_filters, **kwargs)

    @property
    def state(self) -> BusState:
        return BusState.PASSIVE if self._listen_only else BusState.ACTIVE

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        if msg.is_fd:
            raise CanOperationError("TAVRO adapters support classic CAN only")
        data = b"" if msg.is_remote_frame else bytes(msg.data)
        try:
            self._dev.send_frame(
                msg.arbitration_id, bool(msg.is_extended_id), bool(msg.is_remote_frame), msg.dlc, data, _to_ms(timeout)
            )
        except TimeoutError as e:
            raise CanTimeoutError(str(e)) from e
        except (RuntimeError, ValueError) as e:
            raise CanOperationError(str(e)) from e

    def _recv_internal(self, timeout: Optional[float]):
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            ms = _FOREVER_MS if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
            try:
                t = self._dev.receive_frame(ms)
            except RuntimeError as e:
                raise CanOperationError(str(e)) from e
            if t is not None:
                ts, arb_id, is_ext, is_rtr, is_err, dlc, data = t
                msg = Message(
                    timestamp=self._epoch + ts / 1e6,
                    arbitration_id=arb_id,
                    is_extended_id=is_ext,
                    is_remote_frame=is_rtr,
                    is_error_frame=is_err,
                    dlc=dlc,
                    data=b"" if is_rtr else data[:dlc],
                    channel=self.channel_info,
                    is_rx=True,
                )
                return msg, True
            if deadline is not None and time.monotonic() >= deadline:
                return None, True

    def _apply_filters(self, filters: Optional[Sequence[can.typechecking.CanFilter]]) -> None:
        if not filters:
            self._dev.clear_filters()
            return
        entries = []
        for f in filters:
            ext = f.get("extended")
            entries.append((f["can_id"], f["can_mask"], None if ext is None else bool(ext)))
        try:
            self._dev.set_filters(entries)
        except ValueError as e:
            raise CanOperationError(str(e)) from e

    def flush_tx_buffer(self) -> None:
        try:
            self._dev.flush_tx_queue()
        except RuntimeError as e:
            raise CanOperationError(str(e)) from e

    def shutdown(self) -> None:
        super().shutdown()
        try:
            self._dev.close()
        except RuntimeError as e:
            # An unplugged adapter cannot be switched off; the handle is closed regardless and the adapter is
            # released when the handle goes away.
            _log.warning("closing %s: %s", self.channel_info, e)

    @staticmethod
    def _detect_available_configs():
        try:
            serials = _ext.list_devices()
        except RuntimeError:
            return []
        return [{"interface": "tavro", "channel": s} for s in serials]
