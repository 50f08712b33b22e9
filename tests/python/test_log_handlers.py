"""Log handlers that call back into the driver, from records of any thread, and when logging levels take effect.
Each case runs in a fresh interpreter with a time limit, so that a deadlock fails the test instead of hanging it."""

import pytest

from conftest import run_python

ADAPTERS = {"TAVRO_USB_BACKEND": "simulator", "TAVRO_SIM_ADAPTERS": "tav.io:CANH0001"}

HANDLER_SCRIPT = """
import logging, threading, tavro_sim, tavro_pythoncan_ext as m
fired, seen, order = threading.Event(), [], []

class CallBack(logging.Handler):
    def emit(self, record):
        order.append((threading.current_thread().name, record.getMessage()))
        if {trigger!r} in record.getMessage() and not fired.is_set():
            fired.set()
            try:
                seen.append(repr(({action})(dev)))
            except Exception as e:
                seen.append(type(e).__name__)

logging.getLogger("tavro_usb").addHandler(CallBack())
logging.getLogger("tavro_usb").setLevel(logging.DEBUG)
a = tavro_sim.find("tav.io:CANH0001")
dev = m.NativeTavroDevice()
{setup}
assert fired.wait(20), "the record never arrived"
print("handler:", seen)
"""


@pytest.mark.parametrize(
    "trigger, action, setup",
    [
        # The Error record of a failed request: the failing method still holds the handle while it logs.
        (
            "Control IN FAILED",
            "lambda d: d.get_mode()",
            """
a.add_fault("Mode", "stall", direction="in")
try:
    dev.get_mode()
except RuntimeError:
    pass
assert seen and seen[0].isdigit(), seen  # the handler's own call went through before get_mode returned
""",
        ),
        # A worker's farewell while close() joins that worker.
        ("CAN RX thread stopped", "lambda d: d.get_bus_state()", "dev.set_bus_state(True)\ndev.close()"),
        # Records logged on the workers themselves, by handlers that stop or close the handle.
        ("Device unplugged", "lambda d: d.close()", "dev.set_bus_state(True)\na.unplug()"),
        ("TX result reader failed", "lambda d: d.set_bus_state(False)", "dev.set_bus_state(True)\na.unplug()"),
    ],
    ids=["own-error-record", "close-joining-rx", "close-from-rx-record", "bus-off-from-results-record"],
)
def test_a_handler_may_call_the_driver_from_any_record(trigger, action, setup):
    r = run_python(HANDLER_SCRIPT.format(trigger=trigger, action=action, setup=setup), env=ADAPTERS, timeout=60)
    assert r.returncode == 0, r.stderr[-3000:]
    assert "handler: [" in r.stdout


def test_records_of_a_method_arrive_in_order_before_it_returns(sim, open_devices):
    import logging

    a = sim.plug("tav.io:CANH0001")
    dev = open_devices()
    seen = []

    class Collect(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())

    handler = Collect()
    logging.getLogger("tavro_usb.device").addHandler(handler)
    try:
        a.add_fault("Mode", "stall", direction="in")
        with pytest.raises(RuntimeError):
            dev.get_mode()
        mine = [m for m in seen if "bRequest=22" in m or "command=Mode" in m]
    finally:
        logging.getLogger("tavro_usb.device").removeHandler(handler)
    assert len(mine) == 2 and "Control IN:" in mine[0] and "Control IN FAILED" in mine[1], mine


def test_levels_set_before_an_open_take_effect_at_that_open():
    r = run_python(
        """
        import logging, tavro_pythoncan_ext as m
        m.list_devices()
        m.NativeTavroDevice().close()
        logging.basicConfig(level=logging.DEBUG, format="%(name)s %(message)s")
        m.NativeTavroDevice().close()
        """,
        env=ADAPTERS,
    )
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stderr.count("tavro_usb.device Opened TAVRO device") == 1, r.stderr[-3000:]
