"""The operator's hold on a run, through the Python interface on the
simulated controller: pause, step and resume between actions, and each
choice at a failure (retry, skip, stop), with what the axes did."""

import threading
from pathlib import Path

from Zarn.executor import Executor
from Zarn.lang.compiling import compile_script
from Zarn.machine import ClientMachine

MODULES = Path(__file__).resolve().parents[3] / "examples" / "modules.py"
SPEED = 20
X, Y = 15, 16  # the example machine's drives of @x and @y


def started_steps(events):
    return [e.step for e in events if e.kind == "start"]


def running(executor):
    result = {}
    thread = threading.Thread(
        target=lambda: result.setdefault("report", executor.run())
    )
    thread.start()
    return thread, result


def test_pause_step_and_resume_hold_the_run_between_actions(simulated):
    _, client = simulated(speed=SPEED)
    script = """
block main {
    @z move home
    @x move home
    @x move input
    @x move camera
}
"""
    events, first_done = [], threading.Event()

    def seen(event):
        events.append(event)
        if event.kind == "start" and event.step == 0:
            assert executor.pause()  # from the event: before anything else starts
        if event.kind == "finish" and event.step == 0:
            first_done.set()

    executor = Executor(
        compile_script(script, modules=MODULES),
        machine=ClientMachine(client, speed=SPEED),
        on_event=seen,
    )
    thread, result = running(executor)
    assert first_done.wait(10)
    # Paused: the homing of z finishes, nothing new starts, x stays put.
    threading.Event().wait(0.3)  # 6 machine seconds
    assert started_steps(events) == [0]
    stepped = threading.Event()
    executor.step()
    for _ in range(100):
        if any(e.kind == "finish" and e.step == 1 for e in events):
            stepped.set()
            break
        threading.Event().wait(0.05)
    assert stepped.is_set()
    threading.Event().wait(0.3)
    # Exactly one more: x homed, and it has not moved on to input.
    assert started_steps(events) == [0, 1]
    assert executor.paused
    assert client.motor_monitor(X) == 0
    assert executor.resume()
    thread.join(30)
    report = result["report"]
    assert report.status == "finished", report.summary()
    assert started_steps(events) == [0, 1, 2, 3]
    assert abs(client.motor_monitor(X) - 300.0) < 0.01  # at camera
    ((start, end),) = report.pauses
    assert end - start > 10  # machine seconds: more than 0.6 s of wall time at 20
    assert "paused 1 time" in report.summary()


def test_each_choice_at_a_failure(simulated):
    sim, client = simulated(speed=SPEED)
    machine = ClientMachine(client, speed=SPEED)
    home = "@x move home\n    @y move home\n"

    def run(body, choose, on_event=None):
        script = f"block main {{\n    {home}    {body}\n    @y move input\n}}\n"
        executor = Executor(
            compile_script(script, modules=MODULES),
            machine=machine,
            on_failure=choose,
            on_event=on_event,
        )
        return executor.run()

    # Retry: a relative move stopped halfway by someone else's stop is run
    # again as a fresh copy, from where the axis stopped.
    stopped_at = []

    def stop_x_soon(event):
        if event.kind == "start" and event.operation == "move_by" and not stopped_at:
            stopped_at.append(None)  # the first attempt only
            threading.Timer(1.0 / SPEED, client.motor_stop, (X,)).start()

    def retry(event):
        stopped_at[0] = client.motor_monitor(X)
        return "retry"

    report = run("@x.move_by(100)", retry, stop_x_soon)
    assert report.status == "finished", report.summary()
    # Where it came to rest: past where it was when the choice was asked (it
    # was still braking), short of the first attempt's end.
    rest = client.motor_monitor(X) - 100
    assert 0 < stopped_at[0] <= rest < 100
    ((_, action, _, choice, by),) = report.choices
    assert (action.operation, choice, by) == ("move_by", "retry", "callback")
    assert "retry chosen (callback)" in report.summary()

    # Skip: the controller refuses the move; x stays where it is, and what
    # follows runs.
    def refuse_the_move(event):
        if event.kind == "start" and event.operation == "move" and event.module == "x":
            sim.reject(1)

    report = run("@x move input", lambda event: "skip", refuse_the_move)
    assert report.status == "finished", report.summary()
    assert [r.outcome for r in report.actions][-2:] == ["failed", "finished"]
    assert client.motor_monitor(X) == 0  # where its homing left it
    assert abs(client.motor_monitor(Y) - 110.0) < 0.01  # y went to input

    # Stop: the run stops as on any failure outside a guarded part.
    report = run("@x move input", lambda event: "stop", refuse_the_move)
    assert report.status == "failed"
    assert report.actions[-1].outcome == "skipped"
