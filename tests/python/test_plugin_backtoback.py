"""python-can's back-to-back behaviours, with two simulated adapters on one bus as the two ends."""
import time

import can
import pytest

from conftest import A, B


@pytest.fixture
def buses(sim, tavro_interface):
    sim.plug(A)
    sim.plug(B)
    bus1 = can.Bus(interface="tavro", channel=A, bitrate=500_000)
    bus2 = can.Bus(interface="tavro", channel=B, bitrate=500_000)
    yield bus1, bus2
    bus1.shutdown()
    bus2.shutdown()


MESSAGES = {
    "standard": can.Message(arbitration_id=0x12, data=[4, 5, 6], is_extended_id=False),
    "extended": can.Message(arbitration_id=0x1FFFFFFF, data=range(8), is_extended_id=True),
    "remote": can.Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=5, is_extended_id=False),
    "remote_extended": can.Message(arbitration_id=0x1ABCDE, is_remote_frame=True, dlc=0, is_extended_id=True),
    "empty": can.Message(arbitration_id=0x0, data=b"", is_extended_id=False),
}


class TestBackToBack:
    def test_no_message(self, buses):
        assert buses[0].recv(0.1) is None

    @pytest.mark.parametrize("name", MESSAGES)
    def test_message_travels_both_ways(self, buses, name):
        msg = MESSAGES[name]
        for sender, receiver in (buses, buses[::-1]):
            before = time.time()
            sender.send(msg)
            got = receiver.recv(2)
            assert got is not None and got.is_rx
            assert got.channel == receiver.channel_info.split()[-1]
            assert msg.equals(got, timestamp_delta=None, check_channel=False, check_direction=False)
            # absolute host time, sub-second resolution
            assert before - 0.5 < got.timestamp < time.time() + 0.5 and got.timestamp % 1 != 0

    def test_timestamps_increase_with_the_gaps_between_sends(self, buses):
        bus1, bus2 = buses
        bus1.send(MESSAGES["standard"])
        time.sleep(0.1)
        bus1.send(MESSAGES["extended"])
        first, second = bus2.recv(2), bus2.recv(2)
        assert 0.05 < second.timestamp - first.timestamp < 5

    def test_receive_own_messages(self, sim, tavro_interface):
        sim.plug(A)
        sim.plug(B)
        with can.Bus(interface="tavro", channel=A, receive_own_messages=True) as own, \
                can.Bus(interface="tavro", channel=B) as peer:
            own.send(MESSAGES["extended"])
            echo, remote = own.recv(2), peer.recv(2)
            assert echo.is_rx is False and remote.is_rx is True
            assert echo.equals(remote, timestamp_delta=None, check_channel=False, check_direction=False)
            assert abs(echo.timestamp - remote.timestamp) < 0.01  # both adapters' clocks, zeroed at bus start
            assert own.recv(0.1) is None  # once

    def test_send_periodic_duration(self, buses):
        bus1, bus2 = buses
        bus1.send_periodic(MESSAGES["standard"], 0.01, duration=0.2)
        received = []
        while (msg := bus2.recv(0.5)) is not None:
            received.append(msg)
        assert 2 <= len(received) <= 21
        assert all(m.arbitration_id == 0x12 for m in received)

    def test_multiple_shutdown(self, buses, monkeypatch):
        # python-can's interface contract: every shutdown() calls BusABC.shutdown() once, also on an instance whose
        # __init__ did not complete.
        from tavro_can.bus import TavroBus
        calls = []
        monkeypatch.setattr(can.BusABC, "shutdown", lambda self: calls.append(self))
        unopened = TavroBus.__new__(TavroBus)
        for bus in (buses[0], buses[0], unopened):
            bus.shutdown()
        assert calls == [buses[0], buses[0], unopened]
