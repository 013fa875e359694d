import signal
import subprocess
import sys

import pytest

from Zarn import cli
from Zarn.morvo_client import MorvoClient
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
        with pytest.raises(SimulatorError, match="exit status 3"):
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
