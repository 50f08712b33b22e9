"""Confirmed transmission: tickets, their results, cancellation, and what a stopped or changed session does to
them; plus the identity and confirmation reports."""

import pytest

from conftest import A, B, both_paths, start_pair


@pytest.fixture
def confirmed(sim, open_devices):
    return start_pair(sim, open_devices, confirm_first=True)


@both_paths
@pytest.mark.parametrize("explicit_results", [True, False], ids=["explicit", "legacy"])
def test_successful_frame_resolves_with_the_adapters_verdict(sim, open_devices, explicit_results):
    tx, rx = start_pair(sim, open_devices, confirm_first=True, explicit_results=explicit_results)
    assert tx.confirmation_info()["result_mode"] == ("explicit" if explicit_results else "legacy")
    t = tx.submit_frame(0x123, False, False, 2, b"\x01\x02", 1000)
    result = t.wait(2000)
    assert list(result) == ["status", "status_raw", "timestamp_us", "flags", "echo_id", "reason"]
    assert result["status"] == "success" and result["status_raw"] == 0 and result["reason"] is None
    assert 1 <= result["echo_id"] <= 16 and isinstance(result["timestamp_us"], int)
    assert t.wait(0) == result  # repeatable
    assert t.usb_error() is None and isinstance(t.id(), int)
    assert rx.receive_frame(1000)[1] == 0x123
    assert tx.cancel_ticket(t, 100) is None  # no longer tracked
    second = tx.submit_frame(0x124, False, False, 0, b"", 1000)
    assert second.id() != t.id()


def test_refusals(confirmed, sim, open_devices):
    tx, rx = confirmed
    with pytest.raises(RuntimeError, match="^TX confirmation is not configured$"):
        rx.submit_frame(0x1, False, False, 0, b"", 100)
    with pytest.raises(RuntimeError, match="^Use submit_frame for confirmed transmission$"):
        tx.send_frame(0x1, False, False, 0, b"", 100)
    with pytest.raises(ValueError, match="^DLC exceeds Classic CAN max of 8$"):
        tx.submit_frame(0x1, False, False, 9, bytes(9), 100)
    with pytest.raises(TypeError):
        tx.cancel_ticket("x", 10)
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        tx.submit_frame(0x1, False, False, 0, b"", 0)
    tx.set_bus_state(False)
    tx.configure_modes(0x02, 0x02)
    tx.set_bus_state(True)
    with pytest.raises(RuntimeError, match="^Transmission is disabled in listen-only mode$"):
        tx.submit_frame(0x1, False, False, 0, b"", 100)


@both_paths
def test_pending_ticket_times_out_then_becomes_uncertain_when_the_bus_stops(confirmed, sim):
    tx, rx = confirmed
    sim.set_paused(True)  # hold the wire: the frame stays queued in the adapter
    t = tx.submit_frame(0x55, False, False, 0, b"", 1000)
    with pytest.raises(TimeoutError, match="^TX result or submission timed out; delivery may be uncertain$"):
        t.wait(0)
    assert tx.confirmation_info()["pending"] == 1
    with pytest.raises(
        RuntimeError, match="^Confirmed TX tickets are pending; await/cancel them before changing CAN configuration$"
    ):
        tx.set_bus_state(False)
    sim.find(tx.get_serial_number()).add_fault("CancelTx", "timeout")
    with pytest.raises(TimeoutError, match="^Operation deadline expired$"):
        tx.cancel_ticket(t, 200)  # the caller's deadline cut the request short
    outcome = tx.cancel_ticket(t, 1000)
    assert list(outcome) == ["outcome", "outcome_raw", "generation", "status_word", "flags", "terminal"]
    assert outcome["outcome"] == "queued" and outcome["terminal"] is False
    result = t.wait(2000)
    assert result["status"] == "cancelled"
    sim.set_paused(False)
    pending = tx.submit_frame(0x56, False, False, 0, b"", 1000)
    pending.wait(2000)
    sim.set_paused(True)
    late = tx.submit_frame(0x57, False, False, 0, b"", 1000)
    tx.close()
    assert late.wait(1000) == {
        "status": "uncertain",
        "status_raw": None,
        "timestamp_us": None,
        "flags": 0,
        "echo_id": None,
        "reason": "session_closed",
    }
    sim.set_paused(False)


@pytest.mark.parametrize(
    "explicit_results, fault", [(True, "partial_accept"), (True, "timeout"), (False, "partial_accept")]
)
def test_cancel_resolves_a_ticket_whose_write_ended_uncertain(sim, open_devices, explicit_results, fault):
    tx, rx = start_pair(sim, open_devices, confirm_first=True, explicit_results=explicit_results)
    a = sim.find(A)
    a.add_fault(target="bulk_out", action=fault, length=8)  # no whole record reaches the adapter
    t = tx.submit_frame(0x55, False, False, 0, b"", 300)
    assert t.usb_error() is not None
    outcome = tx.cancel_ticket(t, 1000)
    assert (outcome and outcome["outcome"]) == ("not_found" if explicit_results else None)
    assert t.wait(0) == {
        "status": "uncertain",
        "status_raw": None,
        "timestamp_us": None,
        "flags": 0,
        "echo_id": None,
        "reason": "cancel_unconfirmed",
    }
    assert tx.cancel_ticket(t, 1000) is None and tx.confirmation_info()["pending"] == 0
    tx.set_bus_state(False)  # no longer refused for a pending ticket
    assert a.bus_state == 4


@pytest.mark.parametrize(
    "explicit_results, change",
    [(True, "flush_tx_queue"), (True, "reset_can"), (False, "flush_tx_queue"), (False, "reset_can"), (False, "reopen")],
)
def test_a_discarded_transmit_queue_resolves_its_tickets_and_frees_their_ids(
    sim, open_devices, explicit_results, change
):
    tx, rx = start_pair(sim, open_devices, confirm_first=True, explicit_results=explicit_results)
    sim.set_paused(True)  # hold the wire: every frame stays queued in the adapter
    held = [tx.submit_frame(0x100 + i, False, False, 0, b"", 1000) for i in range(16)]
    if change == "reopen":
        tx.close()
        tx = open_devices(A)
        tx.configure_confirmation(True)
        tx.set_bus_state(True)
    else:
        getattr(tx, change)()
    assert all(t.wait(0)["status"] == "uncertain" for t in held)
    assert tx.confirmation_info()["pending"] == 0
    sim.set_paused(False)
    fresh = [tx.submit_frame(0x200 + i, False, False, 0, b"", 1000) for i in range(16)]
    assert [t.wait(2000)["status"] for t in fresh] == ["success"] * 16
    assert [rx.receive_frame(2000)[1] for _ in fresh] == [0x200 + i for i in range(16)]  # the held ones never went


def test_tickets_of_another_handle_or_an_older_session_are_refused(confirmed):
    tx, rx = confirmed
    t = tx.submit_frame(0x1, False, False, 0, b"", 1000)
    t.wait(2000)
    with pytest.raises(RuntimeError, match="^Ticket belongs to a different or closed session$"):
        rx.cancel_ticket(t, 100)
    tx.reset_can()  # a configuration change: a new session
    with pytest.raises(RuntimeError, match="^Ticket belongs to a different or closed session$"):
        tx.cancel_ticket(t, 100)


def test_confirmation_info_and_identity(confirmed, sim, open_devices):
    tx, rx = confirmed
    assert tx.confirmation_info() == {
        "enabled": True,
        "result_mode": "explicit",
        "cancellation_available": True,
        "pending": 0,
    }
    assert rx.confirmation_info()["enabled"] is False
    rx.set_bus_state(False)
    assert rx.confirmation_info() == {
        "enabled": False,
        "result_mode": None,
        "cancellation_available": False,
        "pending": 0,
    }
    rx.set_device_name("bench_1")
    ident = rx.get_identity()
    assert list(ident) == [
        "model",
        "serial_number",
        "name",
        "hardware_version",
        "firmware_version",
        "bootloader_version",
        "minimum_host_api_version",
        "hardware_id",
        "channel_count",
    ]
    assert (ident["model"], ident["serial_number"], ident["name"], ident["firmware_version"]) == (
        "TAVRO Crest",
        B,
        "bench_1",
        "2.1.0.7",
    )
    sim.plug("odd-serial")
    assert open_devices("odd-serial").get_identity()["model"] is None
