import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from support.actions import thread_count
from support.controllers import Publish, Reply, with_result

from Zarn import morvo_client as mc

START_FAILED = "[Zmq Recv Error] Somthing is wrong in the zmqServer. Failed to start a recv socket."


def record_of(cmd_id, result):
    return with_result(
        mc.KVTAction(0, 271, [3], [], cmd_id).get_transmit_data(), result
    )


def publishing(*publications, result=1):
    """A script: accept every record, publish the given messages."""
    return lambda fields: Reply(result=result, publish=list(publications))


def one_call(client, action=None, topics=None):
    action = action or mc.KVTAction(0, 271, [3])
    action.cmd_id = action.cmd_id or client.generate_func_id()
    topics = [action.cmd_id] if topics is None else topics
    return client.receive_dequeue_action([action], action.cmd_id, topics), action


def test_blocking_call_returns_the_published_result(controller, make_client):
    controller.script = publishing(Publish(result=7))
    client = make_client(controller.address)
    result, action = one_call(client)
    assert result == 7
    assert controller.records == [action.get_transmit_data()]


def test_a_thousand_calls_in_a_row_lose_nothing(controller, make_client):
    """The double publishes each result the instant the record is in, before
    its reply; the first call is a fresh client's."""
    controller.script = lambda fields: Reply(publish=[Publish(result=fields[2])])
    client = make_client(controller.address)
    before = thread_count()
    results = [
        client.receive_dequeue_action(
            [mc.KVTAction(0, 271, [i], [], f"{client.func_id_prefix}{i % 1000}")],
            f"{client.func_id_prefix}{i % 1000}",
            [f"{client.func_id_prefix}{i % 1000}"],
        )
        for i in range(1000)
    ]
    assert results == list(range(1000))
    assert thread_count() == before  # every receiving thread has ended


def test_fresh_clients_lose_nothing_on_a_loaded_machine(controller, make_client):
    """A new client's first call, while two processes burn both cores."""
    burn = (
        "import time\nend = time.monotonic() + 60\nwhile time.monotonic() < end: pass"
    )
    burners = [subprocess.Popen([sys.executable, "-c", burn]) for _ in range(2)]
    try:
        lost = 0
        for _ in range(40):
            client = make_client(controller.address)
            result, _ = one_call(client)
            lost += result != 1
            del client
    finally:
        for burner in burners:
            burner.kill()
            burner.wait()
    assert lost == 0


def test_sixteen_threads_of_two_thousand_calls_share_one_client(
    controller, make_client
):
    """Every reply and every result reaches the thread that asked for it, and
    none is lost, while the ids wrap 32 times."""
    controller.script = lambda fields: Reply(publish=[Publish(result=fields[2])])
    client = make_client(controller.address)
    client.result_timeout = 5  # a lost result fails the call, not the suite
    assert one_call(client, mc.KVTAction(0, 271, [-1]))[0] == -1  # subscribed
    threads, calls = 16, 2_000
    before = thread_count()
    wrong = []

    def work(worker):
        for i in range(calls):
            value = worker * calls + i
            result, _ = one_call(client, mc.KVTAction(0, 271, [value]))
            if result != value:
                wrong.append((worker, i, result))

    workers = [threading.Thread(target=work, args=(w,)) for w in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=50)
    assert not any(worker.is_alive() for worker in workers)
    assert wrong == [] and len(controller.records) == threads * calls + 1
    # A joined thread may take a moment more to leave the process.
    deadline = time.monotonic() + 2
    while thread_count() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert thread_count() == before


def test_collection_ends_at_the_target_with_earlier_topics_decoded(
    controller, make_client
):
    client = make_client(controller.address)
    other, target = client.generate_func_id(), client.generate_func_id()
    controller.script = publishing(
        Publish(topic=other.encode(), result=4),
        Publish(topic=target.encode(), result=9, delay=0.05),
    )
    action = mc.KVTAction(0, 271, [3], [], target)
    assert client.receive_dequeue_action([action], target, [other, target]) == 9


def test_without_the_target_the_topics_come_back_after_five_silent_seconds(
    controller, make_client
):
    client = make_client(controller.address)
    first, second, target = (client.generate_func_id() for _ in range(3))
    controller.script = publishing(
        Publish(topic=second.encode(), result=1),
        Publish(topic=first.encode(), pad=20, result=2),  # zero-padded topic
        Publish(topic=second.encode(), result=3, delay=0.2),  # the later replaces
        Publish(
            topic=(target + "0").encode(), delay=0.3
        ),  # by prefix, under its own name
    )
    started = time.monotonic()
    action = mc.KVTAction(0, 271, [3], [], target)
    got = client.receive_dequeue_action(
        [action], "not-subscribed", [first, second, target]
    )
    waited = time.monotonic() - started
    assert got == [second, first, target + "0"]
    assert 5.2 < waited < 7


def test_pause_entries_and_bad_entries(controller, make_client):
    controller.script = publishing()
    client = make_client(controller.address)
    client.result_timeout = 0.2
    a, b, c = (mc.KVTAction(0, 1, [i]) for i in range(3))
    for action in (a, b, c):
        action.cmd_id = client.generate_func_id()
    assert client.receive_dequeue_action([a, ("wait", 0.3), b], "x", [b.cmd_id]) == []
    assert len(controller.records) == 2
    assert controller.received_at[1] - controller.received_at[0] >= 0.29

    for bad in (("pause", 1), 5, (), ("wait",), ("wait", "2"), ("wait", -1)):
        sent = len(controller.records)
        assert client.receive_dequeue_action([a, bad, c], a.cmd_id, []) == -2, bad
        assert len(controller.records) == sent + 1  # a went out, c did not


def test_a_record_not_accepted_ends_the_call_with_its_status(controller, make_client):
    controller.script = lambda fields: Reply(result=0 if fields[2] == 1 else 1)
    client = make_client(controller.address)
    first, second = mc.KVTAction(0, 1, [1]), mc.KVTAction(0, 1, [2])
    assert client.receive_dequeue_action([first, second], "x", ["x"]) == 0
    assert len(controller.records) == 1

    controller.script = lambda fields: Reply(withhold=True)
    assert client.receive_dequeue_action([first, second], "x", ["x"]) == -3
    assert len(controller.records) == 2


def test_nothing_published_ends_at_result_timeout(controller, make_client):
    controller.script = publishing()  # accepted, never published
    client = make_client(controller.address)
    assert client.result_timeout == 60
    client.result_timeout = 0.5
    before = thread_count()
    started = time.monotonic()
    assert one_call(client)[0] == []
    assert 0.5 <= time.monotonic() - started < 3
    assert thread_count() == before
    with pytest.raises(ValueError):
        client.result_timeout = -1
    client.result_timeout = None
    assert client.result_timeout is None


def test_cancel_ends_every_call_in_flight(controller, make_client):
    controller.script = publishing()
    client = make_client(controller.address)
    results = []
    callers = [
        threading.Thread(target=lambda: results.append(one_call(client)[0]))
        for _ in range(3)
    ]
    pausing = threading.Thread(
        target=lambda: results.append(
            client.receive_dequeue_action([("wait", 30)], "x", ["x"])
        )
    )
    for thread in (*callers, pausing):
        thread.start()
    deadline = time.monotonic() + 5
    cancelled = 0
    while cancelled < 4 and time.monotonic() < deadline:
        time.sleep(0.05)
        cancelled += client.cancel()
    started = time.monotonic()
    for thread in (*callers, pausing):
        thread.join(timeout=5)
    assert time.monotonic() - started < 2
    assert results == [[], [], [], []]
    assert client.cancel() == 0


def test_unreadable_messages_are_reported_and_bad_records_raise(
    controller, make_client, capsys
):
    client = make_client(controller.address)

    def call(frames):
        cmd_id = client.generate_func_id()
        controller.script = publishing(
            *(Publish(frames=f) for f in frames(cmd_id.encode()))
        )
        action = mc.KVTAction(0, 1, [], [], cmd_id)
        return client.receive_dequeue_action([action], cmd_id, [cmd_id, "PC-other"])

    # A message that cannot be read ends the collection with what had come.
    unreadable = [
        (lambda t: [[t]], "1 frame"),
        (lambda t: [[t, record_of(t.decode(), 1), b"x"]], "3 frames"),
        (lambda t: [[t + b"\xc3", record_of(t.decode(), 1)]], "0xc3"),
    ]
    for frames, expected in unreadable:
        assert call(frames) == []
        out = capsys.readouterr().out.splitlines()
        assert len(out) == 1 and out[0].startswith("[Error when Receiving]:  "), out
        assert expected in out[0]

    # A record that is no action record is the caller's failure, never "no
    # result": under the target, and under another topic ahead of a good target.
    bad_records = [
        (lambda t: [[t, b"\x01" * 50]], struct.error, "got 50 bytes"),
        (lambda t: [[t, b""]], struct.error, "got 0 bytes"),
        (
            lambda t: [[t, record_of(t.decode(), 1)[:40] + b"\xff" + b"\0" * 175]],
            UnicodeDecodeError,
            "0xff",
        ),
        (
            lambda t: [[b"PC-other", b"short"], [t, record_of(t.decode(), 1)]],
            struct.error,
            "got 5 bytes",
        ),
    ]
    for frames, error, expected in bad_records:
        with pytest.raises(error, match=expected):
            call(frames)
        assert capsys.readouterr().out == ""

    controller.script = publishing(Publish(result=5))
    assert one_call(client)[0] == 5


def test_a_receiving_side_that_cannot_start_gives_minus_three(
    controller, make_client, capsys
):
    client = make_client(controller.address)
    client.server_address = "not a host name"
    started = time.monotonic()
    assert one_call(client)[0] == -3
    assert 5 < time.monotonic() - started < 7
    assert capsys.readouterr().out.splitlines() == [START_FAILED]
    assert controller.records == []  # nothing was sent


def test_recv_tread_by_hand(controller, make_client):
    client = make_client(controller.address)
    cmd_id = client.generate_func_id()
    thread = mc.RecvTread(
        client.context, controller.address, 5001, cmd_id, [cmd_id, "other"]
    )
    assert (thread.start_recv_flag, thread.stop_flag, thread.finish_flag) == (
        False,
        False,
        False,
    )
    assert thread.recv_data_dict == {} and thread.topic_list == [cmd_id, "other"]
    thread.start()
    with pytest.raises(RuntimeError):
        thread.start()
    deadline = time.monotonic() + 5
    while not thread.check_start_recv() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert thread.check_start_recv()
    data = thread.recv_data_dict
    controller.publish(b"other", record_of("other", 2))
    controller.publish(cmd_id.encode(), record_of(cmd_id, 3), delay=0.05)
    while not thread.check_finish() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert thread.check_finish()
    assert data is thread.recv_data_dict
    assert list(data) == ["other", cmd_id]
    assert (
        mc.MorvoClient.unpack_struct_helper(mc.action_datatype, data[cmd_id])[-1] == 3
    )

    waiting = mc.RecvTread(client.context, controller.address, 5001, "t", ["t"])
    waiting.start()
    waiting.stop_thread()
    while not waiting.check_finish() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert waiting.check_finish() and waiting.stop_flag

    broken = mc.RecvTread(object(), controller.address, 5001, "t", ["t"])
    broken.start()
    time.sleep(0.2)
    assert not broken.check_start_recv()


EXIT_SCRIPT = """
import sys, threading
sys.path.insert(0, {tests!r})
from support.controllers import ControllerDouble, Reply
from Zarn import morvo_client as mc

double = ControllerDouble(script=lambda fields: Reply(publish=[]))
with open({config!r}, "w") as f:
    f.write("kvt_handler:\\n  server_address: " + double.address +
            "\\n  IOModule:\\n    SlaveNo: 1\\n    Modules: []\\n")
client = mc.MorvoClient({config!r})
{case}
print("leaving", flush=True)
"""


@pytest.mark.parametrize(
    "case",
    [
        # a blocking call in flight on a daemon thread when the program ends
        (
            "threading.Thread(target=client.receive_dequeue_action,"
            " args=([mc.KVTAction(0, 1)], 'x', ['x']), daemon=True).start()\n"
            "import time; time.sleep(0.3)"
        ),
        # a client dropped after its channels broke
        (
            "double.script = lambda fields: Reply(withhold=True)\n"
            "client.enqueue_action(mc.KVTAction(0, 1)); del client"
        ),
        # a hand-driven receiving thread never stopped
        "t = mc.RecvTread(client.context, double.address, 5001, 'x', ['x']); t.start()",
    ],
    ids=["call-in-flight", "dropped-client", "running-recv-tread"],
)
def test_the_program_never_hangs_at_exit(tmp_path, case):
    tests = os.path.dirname(os.path.dirname(__file__))
    script = EXIT_SCRIPT.format(
        tests=tests, config=str(tmp_path / "settings.yaml"), case=textwrap.dedent(case)
    )
    done = subprocess.run(
        [sys.executable, "-c", script],
        check=False,
        capture_output=True,
        text=True,
        timeout=20,
    )
    assert done.returncode == 0, done.stderr
    assert "leaving" in done.stdout


def test_ctrl_c_ends_a_blocking_call_on_the_main_thread(tmp_path):
    script = EXIT_SCRIPT.format(
        tests=os.path.dirname(os.path.dirname(__file__)),
        config=str(tmp_path / "settings.yaml"),
        case=(
            "print('calling', flush=True)\n"
            "client.receive_dequeue_action([mc.KVTAction(0, 1)], 'x', ['x'])"
        ),
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline().strip() == "calling"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=5)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in err
