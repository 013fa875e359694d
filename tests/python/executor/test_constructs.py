"""The language's control constructs as they run on the simulated controller:
the way a condition does not take, a retried attempt, a time-out caught by a
try, a wait without a limit that outlasts the input time-out, a bounded loop
over a tray, and the stop handler after an unhandled failure."""

import threading
from pathlib import Path

import Zarn
from Zarn.executor import Executor
from Zarn.lang.compiling import compile_script
from Zarn.machine import ClientMachine

MODULES = Path(__file__).resolve().parents[3] / "examples" / "modules.py"
SPEED = 50

JOB = """
block main {
    @z move home
    parallel { @x move home } and { @y move home } and { @r move home }
    if @sensors door_closed on {
        @panel set lamp_green on
    } else {
        @panel set lamp_yellow on
    }
    retry 2 {
        @x move input
    }
    try {
        timeout 1 { @x move output }
    } except {
        @panel set lamp_red on
    }
    waited: wait until @sensors start_button on
    repeat until output_tray full {
        @arm pick from input_tray
        @arm place into output_tray
    }
}
"""


def outcomes(report, operation):
    return [r.outcome for r in report.actions if r.operation == operation]


def test_the_constructs_run_as_written(simulated):
    sim, client = simulated(speed=SPEED)
    client.result_timeout = 30
    compiled = compile_script(JOB, modules=MODULES)
    machine = ClientMachine(client, speed=SPEED)
    # The first attempt's move is refused by the controller; the second one
    # goes. The start button is pressed long after the sensors' input
    # time-out (30 machine seconds) has passed.
    pressed = []

    def play_the_operator(event):
        if event.kind != "start":
            return
        if event.description.startswith("move @x to input") and not pressed:
            pressed.append("refused")
            sim.reject(1)
        elif event.operation == "wait_for" and len(pressed) == 1:
            pressed.append("button")
            timer = threading.Timer(40 / SPEED, sim.set_input, (1, 9, 1))
            timer.daemon = True
            timer.start()

    executor = Executor(compiled, machine=machine, on_event=play_the_operator)
    report = executor.run()
    assert report.status == "finished", report.summary()
    # The door is open: the else-way ran and the first way is not taken.
    sets = [
        (r.action.pin_name, r.outcome) for r in report.actions if r.operation == "set"
    ]
    assert ("lamp_green", "not taken") in sets and ("lamp_yellow", "finished") in sets
    # The retried move: the first attempt failed and was retried, the second
    # one finished, the third was not needed.
    retried = [r for r in report.recoveries if r.kind == "attempt"]
    assert len(retried) == 1 and retried[0].recovered
    moves = [
        r.outcome
        for r in report.actions
        if r.description.startswith("move @x to input")
    ]
    assert moves == ["failed", "finished", "not taken"]
    # The time-out was caught by the try: its exception part lit the red lamp.
    timed = [r for r in report.recoveries if r.kind == "try"]
    assert timed and timed[0].recovered
    assert ("lamp_red", "finished") in sets
    # Its limit is told in the machine's seconds, not the fast simulator's.
    assert "did not finish within 1 s" in str(timed[0].error)
    # The wait without a limit outlasted the sensors' input time-out.
    wait = next(r for r in report.actions if r.operation == "wait_for")
    assert wait.outcome == "finished" and wait.duration * SPEED > 30
    # The loop over the tray ran once per slot of the output tray (10), each
    # round's check before it; the check after the last round held.
    assert outcomes(report, "pick").count("finished") == 10
    assert outcomes(report, "check") == ["finished"]


def test_the_stop_handler_runs_after_an_unhandled_failure(simulated):
    _sim, client = simulated(speed=SPEED)
    client.result_timeout = 30
    script = """
    on stop {
        @panel set lamp_red on
        @x move park
    }
    block main { @x move input }
    """
    refused = Zarn.ZarnCompileError
    try:
        Zarn.compile(script, modules=MODULES)
    except refused as error:
        assert "not command a drive" in str(error) and error.line == 4
    else:
        raise AssertionError("a stop handler that moves an axis compiled")

    script = """
    on stop {
        @panel set lamp_red on
        wait until @sensors door_closed on
        @panel set lamp_yellow on
    }
    block main { @x move input }
    """
    compiled = compile_script(script, modules=MODULES)
    machine = ClientMachine(client, speed=SPEED)
    report = Executor(compiled, machine=machine).run()
    # x is not homed: the move fails, the run stops, then the handler runs:
    # its wait is limited (10 machine seconds) and fails, the rest still runs.
    assert report.status == "failed" and report.failure.operation == "move"
    handled = [(action.operation, status) for action, status, _ in report.stop_handler]
    assert handled == [("set", "finished"), ("wait_for", "failed"), ("set", "finished")]
    outputs = bytes.fromhex(client.io_monitor(10, "MORVO_ID_OUTPUT_DATA"))
    assert outputs[2] & 0b1010_0000 == 0b1010_0000  # red (23) and yellow (21)
    # After the handler nothing more passes: the gate stays shut to outputs.
    assert machine.gate.closed and not machine.gate.outputs_through
