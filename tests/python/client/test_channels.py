import random
import struct
import threading
import time

import pytest
from support.controllers import ControllerDouble, Reply

from Zarn import morvo_client as mc

SEND_FAILED = "Somthing is wrong in the zmqServer. Failed to send request."
RECEIVE_FAILED = (
    "Somthing is wrong in the zmqServer. Failed to receive response after request."
)
AGAIN = "Resource temporarily unavailable"


def free_address():
    """A loopback address where (almost surely) nothing listens."""
    return "127.{}.{}.{}".format(*(random.randint(1, 254) for _ in range(3)))


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_enqueue_returns_the_replys_result_and_keeps_the_id(controller, make_client):
    controller.script = lambda fields: Reply(result=fields[1] * 10, publish=[])
    client = make_client(controller.address)
    action = mc.KVTAction(3, 5)
    assert client.enqueue_action(action) == 50
    assert action.cmd_id == client.func_id_prefix + "0"  # assigned and kept
    assert controller.records == [action.get_transmit_data()]

    named = mc.KVTAction(3, 7, cmd_id="PC-own")
    assert client.enqueue_action(named) == 70 and named.cmd_id == "PC-own"
    assert client.func_count == 1  # no id was taken for a record that had one


def test_silent_service_fails_the_send_and_the_next_call_resets(make_client, capsys):
    client = make_client(free_address())
    started = time.monotonic()
    assert client.enqueue_action(mc.KVTAction(1, 1)) == -3
    assert 0.9 < time.monotonic() - started < 3
    assert lines(capsys) == [f"[Get Logger Error] {SEND_FAILED}", AGAIN]
    assert not client.action_req_socket_status and client.logger_req_socket_status

    # The service comes up elsewhere: the next exchange re-creates both
    # sockets, from the address as it is now.
    with ControllerDouble() as late:
        client.server_address = late.address
        assert client.enqueue_action(mc.KVTAction(1, 1)) == 1
        assert client.action_req_socket.endpoint == f"tcp://{late.address}:5002"
        assert client.logger_req_socket.endpoint == f"tcp://{late.address}:5003"
        assert client.get_logger(2, 3) == "23"
    assert lines(capsys) == []


def test_withheld_reply_fails_the_receive_and_frees_the_channel(
    controller, make_client, capsys
):
    answered = []

    def first_withheld(fields):
        answered.append(fields[8])
        return Reply(withhold=len(answered) == 1, publish=[])

    controller.script = first_withheld
    client = make_client(controller.address)
    assert client.enqueue_action(mc.KVTAction(1, 1)) == -3
    assert lines(capsys) == [f"[Get Logger Error] {RECEIVE_FAILED}", AGAIN]
    assert not client.enqueue_lock.locked()
    started = time.monotonic()
    assert client.enqueue_action(mc.KVTAction(1, 1)) == 1
    assert time.monotonic() - started < 0.9  # no wait on a lock or a stuck socket
    assert client.action_req_socket_status


def test_logger_channel_uses_its_own_tags(controller, make_client, capsys):
    controller.logger = lambda device, index: None  # never answers
    client = make_client(controller.address)
    assert client.get_logger(13, 2) == -3
    assert lines(capsys) == [f"[Enqueue Action Error] {RECEIVE_FAILED}", AGAIN]
    assert not client.logger_req_socket_status and client.action_req_socket_status
    controller.logger = lambda device, index: b"A\0B"
    assert client.get_logger(13, mc.MorvoDataIdxEnum.MORVO_ID_POS_DATA) == "AB"
    assert controller.logger_requests == [(13, 2), (13, 2)]


def test_logger_arguments_must_be_integers_and_nothing_is_sent(controller, make_client):
    client = make_client(controller.address)
    with pytest.raises(struct.error, match="not an integer"):
        client.get_logger(13.0, 2)
    with pytest.raises(struct.error, match="format requires"):
        client.get_logger(13, 2**31)
    assert controller.logger_requests == []


def test_bad_replies_raise_after_the_lock_is_released(controller, make_client):
    controller.script = lambda fields: Reply(data=b"\0" * 215, publish=[])
    client = make_client(controller.address)
    with pytest.raises(struct.error, match="216 bytes long, got 215"):
        client.enqueue_action(mc.KVTAction(1, 1))
    assert not client.enqueue_lock.locked() and client.action_req_socket_status
    controller.logger = lambda device, index: b"\xff"
    with pytest.raises(UnicodeDecodeError):
        client.get_logger(1, 4)
    assert client.logger_req_socket_status


def test_rejected_address_is_reported_at_construction_and_on_first_use(
    make_client, capsys
):
    client = make_client("not a host name")
    out = lines(capsys)
    assert len(out) == 1 and out[0].startswith("[Zmq Socket Error] "), out
    assert not client.action_req_socket_status and not client.logger_req_socket_status
    assert client.enqueue_action(mc.KVTAction(1, 1)) == -3
    out = lines(capsys)
    assert out[0].startswith("[Zmq Socket Error] ") and out[1:2] == [
        f"[Get Logger Error] {SEND_FAILED}"
    ]
    assert client.init_socket() == 0


def test_command_ids_wrap_and_two_clients_of_one_second_agree(make_client):
    address = free_address()
    before = time.strftime("PC%m%d%H%M%S-")
    first, second = make_client(address), make_client(address)
    after = time.strftime("PC%m%d%H%M%S-")
    prefix = first.func_id_prefix
    assert prefix in (before, after)
    first.func_count = 999
    assert first.generate_func_id() == prefix + "999"
    assert first.generate_func_id() == prefix + "0"
    if before == after:  # constructed within one second
        assert second.generate_func_id() == prefix + "0"


def test_callers_holding_a_channel_lock_hold_the_channel(controller, make_client):
    client = make_client(controller.address)
    assert client.enqueue_lock.acquire()
    done = []
    worker = threading.Thread(
        target=lambda: done.append(client.enqueue_action(mc.KVTAction(1, 1)))
    )
    worker.start()
    time.sleep(0.2)
    assert done == [] and controller.records == []
    assert client.get_logger(1, 2) == "12"  # the other channel goes on
    client.enqueue_lock.release()
    worker.join(timeout=5)
    assert done == [1]
    with pytest.raises(RuntimeError):
        client.logger_lock.release()
    with client.count_lock:
        assert client.count_lock.locked()
        assert not client.count_lock.acquire(timeout=0.05)


def test_many_threads_share_one_client(controller, make_client):
    """Every reply comes back to the thread that asked, and no two actions of
    one cycle of 1000 share an id."""
    controller.script = lambda fields: Reply(result=fields[2], publish=[])
    client = make_client(controller.address)
    ids, mismatches = [], []
    lock = threading.Lock()

    def work(worker):
        for i in range(60):
            action = mc.KVTAction(1, 1, [worker * 1000 + i])
            if client.enqueue_action(action) != worker * 1000 + i:
                mismatches.append(("action", worker, i))
            if client.get_logger(worker, i) != str(worker * 10 + i):
                mismatches.append(("logger", worker, i))
            with lock:
                ids.append(action.cmd_id)
            ids_here = client.generate_func_id()
            with lock:
                ids.append(ids_here)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert mismatches == []
    assert len(ids) == 960 and len(set(ids)) == 960
