"""ClientMachine: the operations of module actions, sent through a real client
to the simulated controller, and what a run's hooks do to them."""

import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from support.controllers import SPEED
from Zarn._zarnprimitives import ZarnState

import Zarn
from Zarn._zarnmodule import Axis, MachineModule, attach
from Zarn.executor import Executor
from Zarn.machine import ID_RENEWAL_AT, AxisMove, ClientMachine, MachineError
from Zarn.morvo_client import MorvoClient, MorvoDataIdxEnum

STOP, CONTROLABLE = 7, 0
NOT_HOMED, REJECTED, ABORTED = -110, -105, -113
NOT_SENT, OUTSIDE_TRAVEL = -4, -115
EXAMPLE_MODULES = Path(__file__).resolve().parents[3] / "examples" / "modules.py"


@pytest.fixture
def client_machine(simulated):
    """A ClientMachine on a simulator of the example machine; with `homed`,
    its drives are homed first. Gives (machine, sim, client)."""

    def make(homed=True, speed=SPEED, **options):
        sim, client = simulated(speed=speed, **options)
        machine = ClientMachine(client, speed=speed, device_names={15: "@x"})
        if homed:
            for drive in (13, 14, 15, 16):
                machine.home(drive, 17)
        return machine, sim, client

    return make


def state_of(client, device):
    return int(
        client.get_logger(device, int(MorvoDataIdxEnum["MORVO_ID_SLAVE_STATUS"]))
    )


def in_thread(target):
    """Runs `target` on a thread; returns (thread, outcome) where outcome
    gets "error" (what it raised, or None) and "seconds"."""
    outcome = {}

    def run():
        began = time.monotonic()
        try:
            target()
            outcome["error"] = None
        except BaseException as error:  # noqa: BLE001 -- handed to the test
            outcome["error"] = error
        outcome["seconds"] = time.monotonic() - began

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def test_moves_homing_and_axis_commands_end_when_the_drive_has(client_machine):
    m, _, client = client_machine(homed=False)
    m.home(13, 17)
    assert state_of(client, 13) != -2  # homed: no longer NEED_HOMING
    m.move([AxisMove(13, 20.0, 1.0, 1.0, 1.0)])
    assert client.motor_monitor(13) == 20.0  # arrived when move() returned
    m.move([AxisMove(13, -5.0, relative=True)])
    assert client.motor_monitor(13) == 15.0
    m.axis_command(13, "disable")
    with pytest.raises(MachineError) as disabled:
        m.move([AxisMove(13, 0.0)])
    assert (disabled.value.device, disabled.value.result) == (13, -111)
    m.axis_command(13, "enable")
    m.axis_command(13, "reset")
    m.move([AxisMove(13, 0.0)])
    assert client.motor_monitor(13) == 0.0


def test_the_axes_of_one_move_run_together(client_machine):
    m, _, client = client_machine(speed=10)
    one = time.monotonic()
    m.move([AxisMove(15, 100.0, 1.0, 1.0, 1.0)])
    alone = time.monotonic() - one
    both = time.monotonic()
    m.move([AxisMove(15, 200.0, 1.0, 1.0, 1.0), AxisMove(16, 100.0, 1.0, 1.0, 1.0)])
    together = time.monotonic() - both
    assert (client.motor_monitor(15), client.motor_monitor(16)) == (200.0, 100.0)
    # Two moves of 100 mm each, at once: about one move's time, not two.
    assert together < 1.6 * alone


def test_a_failure_carries_the_device_the_command_id_and_the_reason(client_machine):
    m, sim, client = client_machine(homed=False)
    with pytest.raises(MachineError) as unhomed:
        m.move([AxisMove(15, 50.0)])
    error = unhomed.value
    assert (error.device, error.result) == (15, NOT_HOMED)
    assert error.command_id.startswith(client.func_id_prefix)
    assert "needs homing" in str(error) and error.command_id in str(error)

    sim.reject(1)
    with pytest.raises(MachineError) as refused:
        m.home(13, 17)
    assert (refused.value.result, refused.value.device) == (REJECTED, 13)
    assert "was not taken" in str(refused.value)

    with pytest.raises(MachineError, match="an IO module, not a drive"):
        m.move([AxisMove(10, 1.0)])
    with pytest.raises(MachineError, match="a drive, not an IO module"):
        m.set_output(13, 0, 1)
    with pytest.raises(MachineError, match="no device of the configuration"):
        m.home(30, 17)


def test_a_move_that_cannot_be_packed_starts_no_axis(client_machine):
    m, _, client = client_machine()
    # 10 user units of acceleration are 5e7 counts/s^2 on x: fine; on the
    # same move y's 1e4 overflows the record's 32-bit field.
    with pytest.raises(MachineError, match="cannot carry") as overflow:
        m.move([AxisMove(15, 100.0, 1.0), AxisMove(16, 100.0, 1.0, 10000.0)])
    assert overflow.value.device == 16
    time.sleep(0.05)
    assert (client.motor_monitor(15), client.motor_monitor(16)) == (0.0, 0.0)


def test_outputs_and_inputs(client_machine):
    m, sim, client = client_machine(homed=False)
    m.set_output(11, 0, 1)  # the jaw valve; its sensor follows 0.2 s later
    assert client.io_monitor(11, "MORVO_ID_OUTPUT_DATA") == "01"
    m.wait_input(11, 0, 1, 2.0)
    m.wait_input(11, 1, 0, 2.0)  # the open sensor reads the other way round
    sim.set_input(1, 9, 1)
    m.wait_input(1, 9, 1, 1.0)

    began = time.monotonic()
    with pytest.raises(MachineError, match="did not show 1 within 2 s") as late:
        m.wait_input(1, 8, 1, 2.0)  # 2 machine seconds are 0.1 s here
    assert 0.09 <= time.monotonic() - began < 1.0
    assert late.value.device == 1 and "it shows 0" in str(late.value)
    with pytest.raises(MachineError, match="beyond the module's 2 input byte"):
        m.wait_input(1, 16, 1, 1.0)
    with pytest.raises(MachineError, match="no output") as none:
        m.set_output(1, 0, 1)  # the part sensors have no outputs
    assert none.value.result == -2


def test_sleeps_take_machine_time(client_machine):
    m, _, _ = client_machine(homed=False, speed=20)
    began = time.monotonic()
    m.sleep(2.0)
    assert 0.09 <= time.monotonic() - began < 0.5


def test_cancel_ends_the_action_s_wait_and_stops_its_motion(client_machine):
    m, _, client = client_machine(speed=1)
    x = Axis("x", 15, {"far": 500.0})
    mover, sleeper = x.move_to("far"), MachineModule("timer").wait(30)
    attach([mover, sleeper], m)
    move, moved = in_thread(mover.execute)
    sleep, slept = in_thread(sleeper.execute)
    time.sleep(0.3)
    m.cancel(mover)
    move.join(5)
    assert isinstance(moved["error"], MachineError) and moved["seconds"] < 3
    assert moved["error"].result == ABORTED  # the stop ended the motion
    assert state_of(client, 15) == STOP and 0 < client.motor_monitor(15) < 500
    assert sleep.is_alive()  # another action's wait goes on
    m.cancel(sleeper)
    sleep.join(5)
    assert slept["seconds"] < 2 and "cancelled" in str(slept["error"])
    assert sleeper.state == ZarnState.Error and sleeper.finish_signal.is_set()

    # A cancelled action sends nothing more; other callers go on.
    again, refused = in_thread(mover.execute)
    again.join(5)
    assert "was cancelled" in str(refused["error"])
    assert state_of(client, 15) == STOP
    m.move([AxisMove(15, 20.0, 1.0, 1.0, 1.0)])
    assert client.motor_monitor(15) == 20.0


def test_stop_all_stops_the_moved_axes_and_ends_calls_whose_result_is_lost(
    client_machine,
):
    m, sim, client = client_machine(speed=1)
    sim.silent_publisher(True)
    client.result_timeout = 30
    # Two axes: the second's result must not be awaited once the first's
    # wait was ended.
    move, moved = in_thread(lambda: m.move([AxisMove(15, 500.0), AxisMove(16, 300.0)]))
    time.sleep(0.3)
    stopped = m.stop_all()
    move.join(5)
    assert not move.is_alive() and moved["seconds"] < 3
    assert "cancelled" in str(moved["error"])
    assert stopped == ["device 13", "device 14", "@x (device 15)", "device 16"]
    assert [state_of(client, drive) for drive in (13, 14, 15, 16)] == [STOP] * 4


def test_a_lost_result_ends_with_the_client_s_result_timeout(client_machine):
    m, sim, client = client_machine()
    sim.silent_publisher(True)
    client.result_timeout = 0.3
    with pytest.raises(MachineError, match="no result came for the move within 0.3 s"):
        m.move([AxisMove(13, 5.0)])


def test_command_ids_get_a_new_prefix_before_the_counter_wraps(client_machine):
    m, _, client = client_machine()
    first = client.func_id_prefix
    client.func_count = ID_RENEWAL_AT + 150
    began = time.monotonic()
    m.move([AxisMove(13, 50.0, 1.0, 1.0, 1.0)])  # 1 s at full speed: 0.05 s here
    assert time.monotonic() - began >= 0.04  # it waited for the real end
    assert client.func_id_prefix != first and client.func_count < 10
    assert client.motor_monitor(13) == 50.0


def test_machines_on_clients_made_in_the_same_second_give_out_different_ids(
    simulated, tmp_path
):
    sim, _ = simulated(speed=SPEED)
    config = str(sim.client_config(tmp_path / "same_second.yaml"))
    while True:
        first, second = MorvoClient(config), MorvoClient(config)
        if first.func_id_prefix == second.func_id_prefix:
            break  # the clients' own ids collide: what the machines must avoid
    machines = [ClientMachine(first, speed=SPEED), ClientMachine(second, speed=SPEED)]
    prefixes = {m.client.func_id_prefix for m in machines}
    assert len(prefixes) == 2 and all(p.startswith("PC") for p in prefixes)
    # The second machine's homing and move wait for their own motion, not for
    # the ids the first machine's commands completed a moment before.
    machines[0].home(13, 17)
    machines[0].move([AxisMove(13, 40.0, 1.0, 1.0, 1.0)])
    began = time.monotonic()
    machines[1].move([AxisMove(13, 0.0, 1.0, 1.0, 1.0)])
    assert time.monotonic() - began >= 0.03
    assert machines[1].client.motor_monitor(13) == 0.0


def test_four_clients_drive_one_controller_at_once(simulated, tmp_path):
    """Every client's results reach it and no other: each move returns only
    once its own axis stands at its end, each output reads back as set."""
    sim, _ = simulated(speed=SPEED)
    config = str(sim.client_config(tmp_path / "four.yaml"))
    wrong = []

    def drive(device, pin):
        machine = ClientMachine(MorvoClient(config), speed=SPEED)
        client = machine.client
        client.result_timeout = 5
        try:
            machine.home(device, 17)
            for i in range(20):
                target, value = 10.0 + 5 * (i % 2), i % 2
                machine.move([AxisMove(device, target)])
                machine.set_output(10, pin, value)
                image = bytes.fromhex(client.io_monitor(10, "MORVO_ID_OUTPUT_DATA"))
                shown = (client.motor_monitor(device), image[pin // 8] >> pin % 8 & 1)
                if shown != (target, value):
                    wrong.append((device, i, shown))
        except MachineError as error:
            wrong.append((device, error))

    clients = [
        threading.Thread(target=drive, args=(device, 8 + n))
        for n, device in enumerate((13, 14, 15, 16))
    ]
    for client in clients:
        client.start()
    for client in clients:
        client.join(timeout=50)
    assert not any(client.is_alive() for client in clients)
    assert wrong == []


# --- safety: a stop is final, every move stays inside its travel ---------------------


def records_after_a_stop(log):
    """The commands the simulator took for a drive after that drive's first
    stop, from its verbose log."""
    stopped, late = set(), []
    for line in log:
        taken = re.search(r"accepted \S+ (MOTOR_\w+) drive (\d+)", line)
        if taken is None:
            continue
        function, drive = taken.groups()
        if function == "MOTOR_STOP":
            stopped.add(drive)
        elif drive in stopped:
            late.append(line)
    return late


def settled_log(sim, quiet=0.3):
    """The simulator's log once it has stopped growing: it comes through a
    pipe, some way behind the records the run sent."""
    log, deadline = sim.log(), time.monotonic() + 5
    while time.monotonic() < deadline:
        time.sleep(quiet)
        now = sim.log()
        if now == log:
            break
        log = now
    return log


# @x is not homed, so its move fails at once and stops the run while @z is
# between two motions: the race between the stop and @z's next command.
STOP_RACE = """
block main parallel { @x move input } and {
    @z.move_by(5)
    @z move home
    @z move camera
    @z move up
}
"""


@pytest.fixture
def busy_cores():
    """Two processes that keep both cores busy, as on a loaded machine."""
    burners = [
        subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)
    ]
    yield
    for burner in burners:
        burner.kill()
        burner.wait()


def replay_the_stop_race(simulated, replays):
    for _ in range(replays):
        sim, client = simulated(speed=50, verbose=True)
        main = Zarn.compile(STOP_RACE, modules=EXAMPLE_MODULES)
        report = Executor(main, machine=ClientMachine(client, speed=50)).run()
        assert report.status == "failed" and report.failure.module == "x"
        log = settled_log(sim)
        assert any("MOTOR_STOP drive 15" in line for line in log), log
        assert records_after_a_stop(log) == []


def test_no_command_reaches_a_drive_after_its_stop(simulated, busy_cores):
    replay_the_stop_race(simulated, 6)


@pytest.mark.long
def test_no_command_reaches_a_drive_after_its_stop_many_times(simulated, busy_cores):
    replay_the_stop_race(simulated, 50)


def test_moves_stay_inside_the_travel_and_nothing_passes_a_closed_gate(client_machine):
    m, sim, client = client_machine(verbose=True)
    z = Axis("z", 13, {"low": 100.0}, limits=(0.0, 120.0))
    lower, step, too_far = z.move_to("low"), z.move_by(15), z.move_by(10)
    attach([lower, step, too_far], m)
    lower.execute()
    step.execute()
    with pytest.raises(MachineError, match="would end at 125, outside its travel"):
        too_far.execute()
    assert client.motor_monitor(13) == 115.0
    # A machine that did not move the axis reads where it stands.
    fresh = ClientMachine(client, speed=SPEED)
    with pytest.raises(MachineError, match="from 115 would end at 125"):
        fresh.move([AxisMove(13, 10.0, relative=True, limits=(0.0, 120.0))])
    # The controller's own travel is the second line (the example's: 0 to 120).
    with pytest.raises(MachineError) as caught:
        m.move([AxisMove(13, 130.0)])
    assert caught.value.result == OUTSIDE_TRAVEL
    moves = [line for line in sim.log() if "accepted" in line and "MOVE" in line]
    m.stop_all()
    with pytest.raises(MachineError) as caught:
        m.move([AxisMove(13, 10.0)])
    assert caught.value.result == NOT_SENT and m.gate.refused == 1
    assert [
        line for line in sim.log() if "accepted" in line and "MOVE" in line
    ] == moves


def test_a_result_that_is_no_record_fails_the_move_with_its_command(
    controller, tmp_path
):
    from support.controllers import Publish, Reply, client_config

    path = client_config(tmp_path / "double.yaml", controller.address)
    m = ClientMachine(MorvoClient(str(path)))
    # Every record is taken; the end of the move comes back as 50 bytes.
    move_id = []

    def script(fields):
        if not move_id:
            move_id.append(fields[8])
            return Reply(publish=[])
        return Reply(publish=[Publish(frames=[fields[8].encode(), b"\x01" * 50])])

    controller.script = script
    with pytest.raises(MachineError, match="not an action record") as caught:
        m.move([AxisMove(13, 5.0)])
    assert caught.value.device == 13 and caught.value.command_id == move_id[0]
    assert "got 50 bytes" in str(caught.value)
