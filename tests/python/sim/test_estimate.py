"""The instant estimate: a script run in process against the simulated
machine on simulated time, and how its machine time compares with a run on
the simulated controller."""

import subprocess
import sys
import time
from pathlib import Path

import pytest

from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.estimate import estimate
from Zarn.executor import Executor
from Zarn.lang.compiling import compile_script
from Zarn.machine import ClientMachine

ROOT = Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples"
MODULES = EXAMPLES / "modules.py"

# The inputs an operator would set for each example that waits for one:
# the input tray and the closed door, the start button and the camera's
# verdict.
PRESETS = {
    "guarded_pick": [(1, 0, 1), (1, 8, 1)],
    "sort_blanks": [(1, 9, 1), (1, 10, 1)],
}


def test_an_estimate_takes_the_modelled_time_and_names_a_wait_no_one_ends():
    script = """
block main {
    @z move home
    @z.wait(2.5)
    if @sensors start_button on { @x move home } else { @y move home }
    wait until @sensors door_closed on
}
"""
    compiled = compile_script(script, modules=MODULES)
    report = estimate(compiled, inputs=[(1, 9, 1)])
    # Homing 0.5 s (the example machine's), the wait, the way the preset
    # button takes; then a wait that nothing will ever end.
    assert report.status == "failed"
    outcomes = {r.description.split(" on ")[0]: r.outcome for r in report.actions}
    assert outcomes["home @x (method 17)"] == "finished"
    assert outcomes["home @y (method 17)"] == "not taken"
    assert report.reason.startswith(
        "the run cannot go on at line 6: wait until door_closed of @sensors is on"
    )
    assert "preset it: input 1 8 1" in report.reason
    assert report.duration == pytest.approx(0.5 + 2.5 + 0.5 + 0.1, abs=0.11)
    assert report.wall_duration is None


def test_zarn_run_estimate_prints_the_summary_in_machine_seconds():
    done = subprocess.run(
        [sys.executable, "-m", "Zarn", "run", "home_all", "--estimate"],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert "of simulated machine time" in done.stdout
    assert "Estimated in" in done.stdout


@pytest.mark.long
def test_the_estimate_is_within_two_percent_of_the_simulated_controller(simulated):
    speed = 10
    for path in sorted(EXAMPLES.glob("*.zarn")):
        inputs = PRESETS.get(path.stem, [])
        estimated = estimate(path, modules=MODULES, inputs=inputs)
        assert estimated.ok, (path.stem, estimated.summary())
        sim, client = simulated(speed=speed)
        client.result_timeout = 60
        for device, pin, value in inputs:
            sim.set_input(device, pin, value)
        compiled = compile_script(path, modules=MODULES)
        machine = ClientMachine(client, speed=speed)
        # The client's subscriptions reach the controller in a few tens of
        # milliseconds: connection set-up, not machine time.
        time.sleep(0.3)
        ran = Executor(compiled, machine=machine).run()
        assert ran.ok, (path.stem, ran.summary())
        assert estimated.duration == pytest.approx(ran.duration, rel=0.02), path.stem
        assert sim.stop() == 0
    assert EXAMPLE_CONFIG.is_file()
