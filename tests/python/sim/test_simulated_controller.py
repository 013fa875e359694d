"""The simulated controller: the program and its wrapper (`Zarn.sim`), every
simulated behaviour as a user's program meets it through MorvoClient's own
commands, and the client's demonstration sequence (`python -m
Zarn.morvo_client`).

Each test starts a simulator of its own on a random loopback address, mostly
faster than real time. Blocking motor commands cost their 2-second pause, so
most tests send commands without waiting and wait on conditions instead."""

import importlib.machinery
import os
import signal
import subprocess
import sys
import time

import pytest
from support.controllers import example_with, fields_of

import Zarn.morvo_client
from Zarn import cli
from Zarn.morvo_client import (
    KVTAction,
    MorvoClient,
    MorvoConditionEnum,
    MorvoDataIdxEnum,
)
from Zarn.sim import SimulatedController, SimulatorError, random_loopback

EXAMPLE = cli.EXAMPLE_CONFIG


def run_zarn_sim(*args, timeout=10):
    return subprocess.run(
        [sys.executable, "-m", "Zarn", "sim", *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )


def config_with(tmp_path, old, new):
    text = EXAMPLE.read_text()
    assert old in text
    path = tmp_path / "machine.yaml"
    path.write_text(text.replace(old, new))
    return path


def test_runs_on_its_own_loopback_address_and_stops_cleanly():
    sim = SimulatedController(EXAMPLE, speed=50)
    sim.start()
    try:
        assert sim.running
        assert sim.address.startswith("127.")
        assert sim.endpoint(5002) == f"tcp://{sim.address}:5002"
        status = sim.status()
        assert status["state"] == "up"
        assert status["speed"] == "50"
        assert status["accepted"] == "0"
    finally:
        assert sim.stop() == 0
    assert not sim.running
    with pytest.raises(SimulatorError, match="not running"):
        sim.status()


def test_fault_switches_take_effect_and_show_in_the_status():
    with SimulatedController(EXAMPLE, withhold_logger=3, silent_publisher=True) as sim:
        assert sim.status()["withhold_logger"] == "3"
        assert sim.status()["silent"] == "on"
        assert sim.withhold_replies(2) == "ok withhold actions 2"
        assert sim.delay_replies(0.5, channel="logger") == "ok delay logger 0.5"
        assert sim.reject("all") == "ok reject all"
        assert sim.silent_publisher(False) == "ok silent off"
        status = sim.status()
        assert (status["withhold_actions"], status["delay_logger"]) == ("2", "0.5")
        assert (status["reject"], status["silent"]) == ("all", "off")
        assert sim.reject(0) == "ok reject off"
        assert sim.reject(1) == "ok reject 1"  # one, not "all"
        with pytest.raises(SimulatorError, match="usage: withhold actions|logger"):
            sim.withhold_replies(1, channel="both")
        with pytest.raises(ValueError):
            sim.reject(-5)
        with pytest.raises(SimulatorError, match="unknown command 'jump'"):
            sim.command("jump")


def test_restart_returns_once_it_serves_again():
    with SimulatedController(EXAMPLE) as sim:
        assert sim.restart(down=0.2).startswith("ok restarting")
        status = sim.status()
        assert (status["state"], status["restarts"]) == ("up", "1")
    with SimulatedController(EXAMPLE, restart_after=0.1, restart_down=0.1) as sim:
        assert sim.wait_ready(2, timeout=5)


def test_inputs_can_be_worked_by_hand():
    with SimulatedController(EXAMPLE) as sim:
        assert sim.set_input(1, 15, 1) == "ok input 1 15 1"
        with pytest.raises(SimulatorError, match="device 10 is not an IO module"):
            sim.set_input(10, 0, 1)
        with pytest.raises(SimulatorError, match="not one of the 16 inputs"):
            sim.set_input(1, 16, 1)


def test_client_config_points_the_client_at_the_simulator(tmp_path):
    with SimulatedController(EXAMPLE) as sim:
        config = sim.client_config(tmp_path / "machine.yaml")
        client = MorvoClient(str(config))
        assert client.server_address == sim.address
        assert client.getMorvoDict(13)["SlaveNo"] == 2

        # A file without the key gets it, indented like its neighbours.
        bare = config_with(tmp_path, "  server_address: localhost\n", "")
        sim.config = bare
        client = MorvoClient(str(sim.client_config(tmp_path / "bare.yaml")))
        assert client.server_address == sim.address


def test_configuration_problems_are_reported_before_serving(tmp_path):
    remote = config_with(
        tmp_path, "server_address: localhost", "server_address: 10.20.30.40"
    )
    done = run_zarn_sim("--config", str(remote))
    assert done.returncode == 2
    assert "server_address '10.20.30.40'" in done.stderr
    assert "is not a loopback address" in done.stderr
    assert "--address HOST" in done.stderr

    missing = run_zarn_sim("--config", str(tmp_path / "absent.yaml"))
    assert missing.returncode == 2
    assert "No such file or directory" in missing.stderr

    # Two Festo drives on one module id: served, with a warning.
    shared = config_with(tmp_path, "SlaveNo: 3", "SlaveNo: 2")
    with SimulatedController(shared) as sim:
        assert sim.wait_for_log("share module id 2") is not None


def test_a_taken_address_is_refused_with_its_own_status():
    with SimulatedController(EXAMPLE) as first:
        done = run_zarn_sim(
            "--config", str(EXAMPLE), "--address", first.address, "--no-control"
        )
        assert done.returncode == 3
        assert f"tcp://{first.address}:5001" in done.stderr
        assert "another controller service or simulator holds it" in done.stderr
        with pytest.raises(
            SimulatorError, match=f"the address {first.address} is in use"
        ):
            SimulatedController(EXAMPLE, address=first.address).start()


def test_usage_errors_and_help():
    assert run_zarn_sim("--speed", "0").returncode == 2
    bad = run_zarn_sim("--frobnicate")
    assert bad.returncode == 2
    assert "--frobnicate" in bad.stderr
    shown = run_zarn_sim("--help")
    assert shown.returncode == 0
    assert "--withhold-replies N" in shown.stdout
    assert "restart [SECONDS]" in shown.stdout


def test_interrupt_stops_the_program_cleanly():
    process = subprocess.Popen(
        [sys.executable, "-m", "Zarn", "sim", "--config", str(EXAMPLE)]
        + ["--address", random_loopback(), "--no-control"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout.readline().startswith("zarn-sim ready: results tcp://")
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=5) == 0
        assert process.stdout.read() == "zarn-sim stopped\n"
    finally:
        process.kill()
        process.wait()


STATUS = "MORBO_ID_SLAVE_STATUS_CONDITION"
ERROR_STATE = "MORVO_ID_ERROR_STATE_CONDITION"
POSITION = "MORVO_ID_POS_CONDITION"
OUTPUTS = "MORVO_ID_OUTPUT_CONDITION"
INPUTS = "MORVO_ID_INPUT_CONDITION"
THERMAL = "MORVO_ID_THERMAL_CONDITION"
STATIC_TIME = "MORVO_ID_STATIC_TIME_CONDITION"

NEED_HOMING, NOTMOTOR, CONTROLABLE, START_MOVING, MOVING, END_MOVING, STOP = (
    int(MorvoConditionEnum[name])
    for name in (
        "NEED_HOMING",
        "NOTMOTOR",
        "CONTROLABLE",
        "START_MOVING",
        "MOVING",
        "END_MOVING",
        "STOP",
    )
)

# The controller's refusals and failures (docs/simulator.md).
MALFORMED, REJECTED = -104, -105
NOT_HOMED, DISABLED, ABORTED = -110, -111, -113

IO_OUT, IO_IN = "MORVO_ID_OUTPUT_DATA", "MORVO_ID_INPUT_DATA"


def wait_for(client, device, condition, args=(), deps=()):
    """Sends one condition and returns its published result."""
    return client.generate_condition_and_send(
        device, None, condition, list(args), list(deps), block=True
    )


def finished(client, device, command_id, homing=False):
    """Waits until the motion of command_id has ended; its result."""
    end = "END_HOMING" if homing else "END_MOVING"
    return wait_for(client, device, STATUS, [end], [command_id])


def logged(client, device, name):
    return client.get_logger(device, int(MorvoDataIdxEnum[name]))


def state_of(client, device):
    return int(logged(client, device, "MORVO_ID_SLAVE_STATUS"))


def error_of(client, device):
    return int(logged(client, device, "MORVO_ID_ERROR_STATE"))


def move_time_ms(client, device):
    return int(logged(client, device, "MORVO_ID_MOVE_TIME_DATA"))


def home(client, device):
    """Homes a drive and waits until it stands still, homed."""
    command = client.motor_home(device)
    assert finished(client, device, command, homing=True) == 1
    assert wait_for(client, device, STATIC_TIME, [], [command]) == 1
    assert state_of(client, device) == CONTROLABLE


def held(sim):
    return int(sim.status()["held"])


def until_held(sim, count, timeout=5.0):
    """Waits until `count` records wait in the simulator."""
    deadline = time.monotonic() + timeout
    while held(sim) < count:
        assert time.monotonic() < deadline, "the record never came to wait"
        time.sleep(0.01)


def pins(text):
    """The pins set in a logged IO text, counted from the module's first byte."""
    image = bytes.fromhex(text)
    return [n for n in range(len(image) * 8) if image[n // 8] >> (n % 8) & 1]


# -- drives --------------------------------------------------------------------


def test_drives_start_enabled_and_absolute_moves_need_homing(simulated):
    _, client = simulated()
    for drive in (13, 14, 15, 16):
        assert state_of(client, drive) == NEED_HOMING
        assert (error_of(client, drive), client.motor_monitor(drive)) == (0, 0.0)

    # Not homed: the move fails, and its end condition inherits the failure.
    move = client.motor_ptp(13, 5)
    assert move.startswith(client.func_id_prefix)
    assert finished(client, 13, move) == NOT_HOMED
    assert error_of(client, 13) == -NOT_HOMED
    assert wait_for(client, 13, ERROR_STATE, [-1]) == 1  # any error
    assert client.motor_monitor(13) == 0.0
    client.motor_reset(13)
    assert (error_of(client, 13), state_of(client, 13)) == (0, NEED_HOMING)

    # A relative move needs no homing, and leaves the drive needing it.
    step = client.motor_relmv(13, 5, 0.5, 0.5, 0.5)
    assert finished(client, 13, step) == 1
    assert client.motor_monitor(13) == 5.0
    assert wait_for(client, 13, STATIC_TIME, [], [step]) == 1
    assert state_of(client, 13) == NEED_HOMING

    # Homing runs to 0; then absolute moves work.
    home(client, 13)
    assert client.motor_monitor(13) == 0.0
    assert finished(client, 13, client.motor_ptp(13, 7.5)) == 1
    assert client.motor_monitor(13) == 7.5

    # Homing methods 35 and 37 take the present position as home, at once.
    assert finished(client, 15, client.motor_relmv(15, 3)) == 1
    assert client.motor_monitor(15) == 3.0
    assert finished(client, 15, client.motor_home(15, 35), homing=True) == 1
    assert client.motor_monitor(15) == 0.0
    assert move_time_ms(client, 15) == 0


def test_an_absolute_move_runs_its_profile_in_the_records_units(simulated):
    sim, client = simulated(speed=5)  # the 0.9 s move takes 0.18 s
    home(client, 13)
    move = client.motor_ptp(13, 20, 0.5, 0.5, 0.5)
    readings = []
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        state, position = state_of(client, 13), client.motor_monitor(13)
        readings.append((state, position))
        if state in (END_MOVING, CONTROLABLE) and position == 20.0:
            break
    states = [state for state, _ in readings]
    positions = [position for _, position in readings]
    assert positions == sorted(positions) and positions[-1] == 20.0
    assert any(0 < p < 20 for p in positions)  # read while it moved
    assert MOVING in states
    order = [START_MOVING, MOVING, END_MOVING, CONTROLABLE]
    ranks = [order.index(state) for state in states]  # no other state on the way
    assert ranks == sorted(ranks)
    # The end condition is true even though the move ended before it came.
    assert finished(client, 13, move) == 1

    # 20 mm at 25 mm/s with ramps of 250 mm/s^2: 0.8 s plus one ramp of 0.1 s.
    assert abs(move_time_ms(client, 13) - 900) <= 2
    step = client.motor_relmv(13, -5.5, 0.5, 0.5, 0.5)
    assert finished(client, 13, step) == 1
    assert client.motor_monitor(13) == 14.5
    # Rates of -1 are the Simulator section's defaults, 0.5 of full speed.
    assert finished(client, 13, client.motor_ptp(13, 3)) == 1
    assert client.motor_monitor(13) == 3.0
    assert abs(move_time_ms(client, 13) - 560) <= 2  # 11.5 mm: 0.46 s + 0.1 s
    assert held(sim) == 0


def test_motions_of_one_drive_run_one_after_the_other(simulated):
    _, client = simulated(speed=5)
    home(client, 16)
    first = client.motor_ptp(16, 30, 0.5, 0.5, 0.5)
    second = client.motor_ptp(16, 10, 0.5, 0.5, 0.5)
    # The drive passes 29.5 only when the second move waits for the first.
    assert wait_for(client, 16, POSITION, ["POS_GRATER", 29.5]) == 1
    assert finished(client, 16, second) == 1
    assert client.motor_monitor(16) == 10.0
    assert finished(client, 16, first) == 1


def test_stop_and_disable_end_motions_and_reset_and_enable_recover(simulated):
    _, client = simulated(speed=5)
    home(client, 15)
    move = client.motor_ptp(15, 100, 0.5, 0.5, 0.5)
    waiting = client.motor_ptp(15, 0, 0.5, 0.5, 0.5)
    assert wait_for(client, 15, POSITION, ["POS_GRATER", 10]) == 1
    client.motor_stop(15)
    assert finished(client, 15, move) == ABORTED
    assert finished(client, 15, waiting) == ABORTED
    assert wait_for(client, 15, STATIC_TIME, [50]) == 1
    stopped_at = client.motor_monitor(15)
    # It brakes from 25 mm/s at 250 mm/s^2: 1.25 mm past the stop, no more.
    assert 10 < stopped_at < 13
    assert state_of(client, 15) == STOP
    client.motor_reset(15)
    assert (state_of(client, 15), error_of(client, 15)) == (CONTROLABLE, 0)

    # A disable stops the drive where it is; motion then fails until enabled.
    move = client.motor_ptp(15, 50, 0.5, 0.5, 0.5)
    assert wait_for(client, 15, POSITION, ["POS_GRATER", stopped_at + 5]) == 1
    client.motor_disable(15)
    assert finished(client, 15, move) == ABORTED
    assert state_of(client, 15) == STOP
    disabled_at = client.motor_monitor(15)
    assert stopped_at + 5 < disabled_at < 50
    assert finished(client, 15, client.motor_relmv(15, 1)) == DISABLED
    assert error_of(client, 15) == -DISABLED
    assert client.motor_monitor(15) == disabled_at
    client.motor_enable(15)
    assert state_of(client, 15) == CONTROLABLE
    client.motor_reset(15)
    assert error_of(client, 15) == 0
    assert finished(client, 15, client.motor_ptp(15, 0)) == 1
    assert client.motor_monitor(15) == 0.0


def test_blocking_motor_commands_return_the_end_conditions_result(simulated):
    _, client = simulated()
    client.motor_home(16)  # an Akribis axis: codes 51 to 57, module 2, 503
    started = time.monotonic()
    assert client.motor_ptp(16, 12.5, 0.5, 0.5, 0.5, block=True) == 1
    assert time.monotonic() - started >= 2  # the static-time condition's pause
    assert client.motor_monitor(16) == 12.5
    assert state_of(client, 16) == CONTROLABLE
    # The failure of a move on a drive never homed reaches the caller.
    assert client.motor_ptp(15, 1, 0.5, 0.5, 0.5, block=True) == NOT_HOMED


def test_logger_texts_of_drives_and_io_modules(simulated):
    _, client = simulated()
    assert state_of(client, 10) == NOTMOTOR
    assert wait_for(client, 10, STATUS, ["NOTMOTOR"]) == 1
    assert error_of(client, 10) == 0
    assert logged(client, 13, "MORVO_ID_THERMAL_DATA") == "25"
    assert wait_for(client, 13, THERMAL, ["ANALOG_LESSTHAN", 30]) == 1
    assert logged(client, 13, IO_OUT) == "ERROR device 13 is a drive and has no outputs"
    assert logged(client, 99, "MORVO_ID_POS_DATA") == "ERROR no device with MorvoID 99"
    assert client.get_logger(13, 9) == "ERROR unknown data index 9 (0 to 7)"
    assert logged(client, 1, IO_OUT) == "ERROR IO module 1 has no outputs"
    # The commands refuse devices of the wrong kind without asking.
    assert (client.motor_monitor(10), client.io_monitor(13)) == (-2, -2)


# -- IO ------------------------------------------------------------------------


def test_outputs_are_set_pin_by_pin_and_read_back(simulated):
    _, client = simulated()
    assert client.io_monitor(10, IO_OUT) == "00 00 00 00"
    for pin in (0, 22, 23):
        assert client.io_set(10, pin, 1).startswith(client.func_id_prefix)
    assert client.io_monitor(10, IO_OUT) == "01 00 C0 00"
    client.io_set(10, 23, 0)
    assert pins(client.io_monitor(10, IO_OUT)) == [0, 22]
    # Module 11's outputs start at byte 4 of the image, after module 10's.
    assert client.io_set(11, 7, 1, block=True) == 1
    assert client.io_monitor(11, IO_OUT) == "80"
    assert client.io_monitor(10, IO_OUT) == "01 00 40 00"

    # Pins beyond a module and values other than 0 and 1 are refused.
    assert client.io_set(10, 32, 1) == MALFORMED
    assert client.io_set(11, 8, 1) == MALFORMED
    assert client.io_set(10, 1, 2) == MALFORMED
    assert client.io_monitor(10, IO_OUT) == "01 00 40 00"
    assert client.io_monitor(11, IO_OUT) == "80"


def test_output_conditions_compare_pins_and_words(simulated, run_in_thread):
    sim, client = simulated()
    for pin in (0, 22):
        client.io_set(10, pin, 1)
    assert wait_for(client, 10, OUTPUTS, ["DIGITAL", 22, 1]) == 1
    assert wait_for(client, 10, OUTPUTS, ["DIGITAL", 23, 0]) == 1
    # Channel n is the little-endian word of bytes 2n and 2n + 1.
    assert wait_for(client, 10, OUTPUTS, ["ANALOG_EQUAL", 1, 0x40]) == 1
    assert wait_for(client, 10, OUTPUTS, ["ANALOG_LESSTHAN", 0, 2]) == 1
    assert wait_for(client, 10, OUTPUTS, ["ANALOG_GRATER", 1, 0x3F]) == 1

    # A condition not yet true waits, and is published when it becomes true.
    results = []
    run_in_thread(
        lambda: results.append(wait_for(client, 10, OUTPUTS, ["DIGITAL", 5, -1]))
    )
    until_held(sim, 1)
    assert results == []
    client.io_set(10, 5, 1)
    deadline = time.monotonic() + 5
    while not results and time.monotonic() < deadline:
        time.sleep(0.01)
    assert results == [1]


def test_wired_inputs_follow_their_outputs_after_the_delay(simulated, tmp_path):
    inverted = (
        "\n      - {FromDevice: 10, FromPin: 1, ToDevice: 1, ToPin: 9, Delay: 4,"
        " Invert: true}"
    )
    clamp = "ToDevice: 1, ToPin: 0, Delay: 0.1}"
    config = example_with(
        tmp_path, replace=[(clamp, clamp.replace("0.1", "4") + inverted)]
    )
    sim, client = simulated(config)  # 4 simulated seconds are 0.2 s here
    # An inverted wire's input is on while its output is off.
    assert client.io_monitor(1) == "00 02"
    set_at = time.monotonic()
    client.io_set(10, 0, 1)
    assert client.io_monitor(1) == "00 02"  # not yet
    assert wait_for(client, 1, INPUTS, ["DIGITAL", 0, 1]) == 1
    assert time.monotonic() - set_at >= 0.15
    assert client.io_monitor(1) == "01 02"
    client.io_set(10, 1, 1)
    assert wait_for(client, 1, INPUTS, ["DIGITAL", 9, 0]) == 1
    assert pins(client.io_monitor(1)) == [0]

    # Inputs worked by hand; an analogue channel is a word of two bytes.
    sim.set_input(1, 15, 1)
    assert wait_for(client, 1, INPUTS, ["DIGITAL", 15, 1]) == 1
    assert client.io_monitor(1, IO_IN) == "01 80"
    sim.set_input(2, 9, 1)  # channel 0 of the analogue module: 0x0200
    assert wait_for(client, 2, INPUTS, ["ANALOG_EQUAL", 0, 512]) == 1
    assert wait_for(client, 2, INPUTS, ["ANALOG_GRATER", 0, 500]) == 1


# -- dependencies --------------------------------------------------------------


def test_actions_wait_for_their_dependencies(simulated):
    sim, client = simulated(speed=5)
    home(client, 13)
    move = client.motor_ptp(13, 40, 0.5, 0.5, 0.5)  # 0.34 s here
    after_move = client.io_set(10, 3, 1, [move])
    assert after_move.startswith(client.func_id_prefix)  # taken, waiting
    assert client.io_monitor(10, IO_OUT) == "00 00 00 00"
    assert finished(client, 13, move) == 1
    assert pins(client.io_monitor(10, IO_OUT)) == [3]

    # A failed dependency passes its result on; the action does not run.
    never_homed = client.motor_ptp(14, 5)
    assert client.io_set(10, 4, 1, [never_homed], block=True) == NOT_HOMED
    assert pins(client.io_monitor(10, IO_OUT)) == [3]

    # A command id not seen yet is waited for.
    later = client.func_id_prefix + "later"
    client.io_set(10, 6, 1, [later])
    until_held(sim, 1)
    assert pins(client.io_monitor(10, IO_OUT)) == [3]
    assert client.enqueue_action(KVTAction(2, 5, [], ["502"], later)) == 1  # a reset
    assert wait_for(client, 10, OUTPUTS, ["DIGITAL", 6, 1]) == 1

    # A number other than 502 and 503 names nothing that could complete.
    assert client.motor_reset(13, [7]) == MALFORMED
    assert held(sim) == 0


def test_drive_families_come_up_after_their_start_up_delays(simulated, tmp_path):
    config = example_with(
        tmp_path,
        """\
        FestoStartupDelay: 10
        AkribisStartupDelay: 20
        """,
    )
    started = time.monotonic()
    sim, client = simulated(config)  # up after 0.5 s and 1 s
    output = client.io_set(10, 0, 1)  # an IO record waits for 502 too
    homing = client.motor_home(15)
    assert output.startswith(client.func_id_prefix)
    assert client.io_monitor(10, IO_OUT) == "00 00 00 00"
    assert held(sim) == 2

    assert wait_for(client, 13, "ADMIN_FESTO_STATE_SPAWNED") == 1
    assert time.monotonic() - started >= 0.45
    assert client.io_monitor(10, IO_OUT) == "01 00 00 00"
    assert state_of(client, 15) == NEED_HOMING  # its homing waits for 503

    assert wait_for(client, 15, "ADMIN_AKRIBIS_STATE_SPAWNED") == 1
    assert time.monotonic() - started >= 0.95
    assert finished(client, 15, homing, homing=True) == 1


# -- conditions ----------------------------------------------------------------


def test_position_and_static_time_conditions_follow_the_motion(simulated):
    _, client = simulated(speed=2)  # the move of 20 mm takes 0.45 s here
    home(client, 14)
    assert wait_for(client, 14, POSITION, ["POS_LESSTHAN", 5]) == 1  # at once
    move = client.motor_ptp(14, 20, 0.5, 0.5, 0.5)
    # Published as the axis passes the threshold, not at the end.
    assert wait_for(client, 14, POSITION, ["POS_GRATER", 10]) == 1
    assert 10 <= client.motor_monitor(14) < 19
    assert state_of(client, 14) in (START_MOVING, MOVING)
    assert wait_for(client, 14, POSITION, ["POS_NEAR", 20, 0.5]) == 1
    assert client.motor_monitor(14) >= 19.5
    assert wait_for(client, 14, POSITION, ["POS_EQUAL", 20]) == 1
    assert client.motor_monitor(14) == 20.0

    # Standing still for the settle time comes after the end of the motion.
    assert wait_for(client, 14, STATIC_TIME, [], [move]) == 1
    assert state_of(client, 14) == CONTROLABLE
    assert int(logged(client, 14, "MORVO_ID_STATIC_TIME_DATA")) >= 100
    assert wait_for(client, 14, STATIC_TIME, [300]) == 1
    assert int(logged(client, 14, "MORVO_ID_STATIC_TIME_DATA")) >= 300
    # The start of a motion that has long ended still counts for its condition.
    assert wait_for(client, 14, STATUS, ["START_MOVING"], [move]) == 1

    # Comparisons the condition does not know are refused.
    assert client.generate_condition_and_send(14, None, THERMAL, [7, 1]) == MALFORMED


# -- faults --------------------------------------------------------------------

RECEIVE_FAILED = (
    "Somthing is wrong in the zmqServer. Failed to receive response after request."
)


def failure_lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_withheld_and_late_replies_fail_and_the_client_recovers(simulated, capsys):
    sim, client = simulated()
    sim.withhold_replies(1)
    assert client.io_set(10, 2, 1) == -3
    assert failure_lines(capsys)[0] == f"[Get Logger Error] {RECEIVE_FAILED}"
    assert not client.action_req_socket_status
    assert client.io_monitor(10, IO_OUT) == "00 00 00 00"  # not acted on
    assert client.io_set(10, 2, 1).startswith(client.func_id_prefix)
    assert client.action_req_socket_status
    assert client.io_monitor(10, IO_OUT) == "04 00 00 00"

    sim.withhold_replies(1, "logger")
    assert client.io_monitor(10, IO_OUT) == -3
    assert failure_lines(capsys)[0] == f"[Enqueue Action Error] {RECEIVE_FAILED}"
    assert client.io_monitor(10, IO_OUT) == "04 00 00 00"

    # A late reply fails the exchange, but the record was acted on at once;
    # the reply that comes later must not be taken for the next one's.
    sim.delay_replies(1.5)
    assert client.io_set(10, 5, 1) == -3
    sim.delay_replies(0)
    assert client.io_set(10, 6, 1).startswith(client.func_id_prefix)
    assert pins(client.io_monitor(10, IO_OUT)) == [2, 5, 6]
    sim.delay_replies(1.5, "logger")
    assert client.motor_monitor(13) == -3
    sim.delay_replies(0, "logger")
    assert client.motor_monitor(13) == 0.0
    assert client.io_monitor(10, IO_OUT) == "64 00 00 00"


def test_rejected_records_and_a_silent_publisher(simulated):
    sim, client = simulated()
    sim.reject(1)
    assert client.motor_home(13, block=True) == REJECTED  # at once, no pause
    assert state_of(client, 13) == NEED_HOMING  # never started
    assert client.motor_reset(13).startswith(client.func_id_prefix)

    sim.silent_publisher(True)
    client.result_timeout = 0.5
    assert client.io_set(10, 7, 1, block=True) == []  # no topic came
    assert client.io_monitor(10, IO_OUT) == "80 00 00 00"  # done all the same
    sim.silent_publisher(False)
    assert client.io_set(10, 7, 0, block=True) == 1


def test_after_a_restart_the_same_client_goes_on(simulated):
    sim, client = simulated()
    home(client, 13)
    client.io_set(10, 0, 1)
    assert sim.restart(0.3).startswith("ok restarting")
    # A fresh controller: drives need homing, the images are clear.
    assert state_of(client, 13) == NEED_HOMING
    assert client.io_monitor(10, IO_OUT) == "00 00 00 00"
    assert finished(client, 13, client.motor_ptp(13, 1)) == NOT_HOMED
    # Results reach the client's subscriptions again.
    assert client.io_set(10, 1, 1, block=True) == 1
    assert client.io_monitor(10, IO_OUT) == "02 00 00 00"
    assert sim.status()["restarts"] == "1"


DEMONSTRATION = [sys.executable, "-m", "Zarn.morvo_client"]


def run_demonstration(config, cwd):
    environment = {**os.environ, "ZARN_CONFIG": str(config)}
    return subprocess.run(
        DEMONSTRATION,
        env=environment,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def test_the_client_module_is_an_extension_and_a_program():
    assert isinstance(
        Zarn.morvo_client.__loader__, importlib.machinery.ExtensionFileLoader
    )
    assert Zarn.morvo_client.__spec__.submodule_search_locations  # runnable by -m
    assert hasattr(Zarn.morvo_client, "MorvoClient")


def test_the_demonstration_sequence_against_the_controller(controller, tmp_path):
    example = cli.EXAMPLE_CONFIG.read_text(encoding="utf-8")
    config = tmp_path / "machine.yaml"
    config.write_text(
        example.replace(
            "server_address: localhost", f"server_address: {controller.address}"
        )
    )
    done = run_demonstration(config, tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    # The double accepts every record and publishes a result of 1 at once; its
    # logger answers device * 10 + index.
    assert done.stdout.splitlines() == [
        "result of motor 13 homing: 1",
        "result of motor 14 homing1: 1",
        "result of motor 14 homing2: 1",
        "result of motor 13 moving1: 1",
        "motor 13 output: 0.132",  # 132 counts at 1000 per mm
        "result of motor 13 moving2: 1",
        "result of motor 13 moving3: 1",
        "result of motor 13 moving4: 1",
        "io 10 output before control: 103",
        "io 1 input: 14",
        "io 10 output after control1: 103",
        "io 10 output after control2: 103",
    ]
    sent = [fields_of(record) for record in controller.records]
    # Seven blocking commands of four records each, a move, four outputs.
    moves = [(f[0], f[1], f[2]) for f in sent if f[0] != 0]
    assert moves == [
        (2, 3, 17), (3, 3, 17), (3, 3, 17),
        (2, 1, 20000), (2, 1, 30000), (2, 1, 20000), (2, 1, 20000),
        (3, 1, 20000),
        (1, 0, 0), (1, 0, 22), (1, 0, 23), (1, 0, 23),
    ]  # fmt: skip
    assert [f[4] for f in sent if f[1] == 0] == [1, 1, 1, 0]  # the pin values
    assert len(sent) == 7 * 4 + 1 + 4
    assert controller.logger_requests == [(13, 2), (10, 3), (1, 4), (10, 3), (10, 3)]


def test_the_demonstration_without_a_configuration(tmp_path):
    missing = tmp_path / "absent.yaml"
    done = run_demonstration(missing, tmp_path)
    assert done.returncode == 1
    assert done.stdout.startswith(f"[Warning] Filed to load config file at {missing}")
    assert f"cannot use configuration {missing}" in done.stderr
    assert "ZARN_CONFIG=examples/handler_settings.yaml python -m Zarn.morvo_client" in (
        done.stderr
    )
