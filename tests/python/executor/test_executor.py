"""The executor: order and parallelism, the pool, failures, time-outs, the
report and its events."""

import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from support.actions import Module, thread_count
from support.runs import Step, block, cancel_step, chain, competing, parallel
from Zarn._zarnprimitives import ZarnId, ZarnState
from Zarn.blocks import (
    RunExceptBlock,
    StandardBlock,
    ZarnPriority,
)

from Zarn._zarnmodule import Axis, Wait, attach
from Zarn.executor import ActionTimeout, Executor
from Zarn.machine import MachineError, RecordingMachine

AXIS, GRIPPER, CONVEYOR = Module("axis"), Module("gripper"), Module("conveyor")


def by_label(report):
    return {record.action.label: record for record in report.actions}


def overlap(one, other):
    return one.start < other.end and other.start < one.end


# --- order, parallelism, the pool ------------------------------------------------------


def test_parallel_branches_overlap_and_what_follows_waits_for_all():
    group = parallel(
        block(AXIS, "a1", "a2", seconds=0.1), block(GRIPPER, "g1", seconds=0.25)
    )
    group.next_block = block(CONVEYOR, "after")
    report = Executor(group).run()
    assert report.ok and report.exit_code == 0
    runs = by_label(report)
    assert overlap(runs["a1"], runs["g1"])
    assert runs["a2"].start >= runs["a1"].end
    assert runs["after"].start >= max(runs["a2"].end, runs["g1"].end)
    assert report.workers == 2
    uses = report.modules
    assert uses["axis"].actions == 2 and uses["gripper"].actions == 1
    assert 0.19 <= uses["axis"].busy < 0.6
    assert 0 < uses["gripper"].share <= 1
    assert report.counts == {
        "run": 4,
        "finished": 4,
        "failed": 0,
        "skipped": 0,
        "not taken": 0,
    }


def test_a_plan_wider_than_the_pool_runs_in_the_order_its_waits_allow():
    # Branch 0 waits for the last branch's label; a pool that blocked a
    # worker per waiting action would hang here with one worker.
    modules = [Module(f"m{i}") for i in range(6)]
    branches = [block(m, f"b{i}", seconds=0.01) for i, m in enumerate(modules)]
    branches[-1] = block(modules[-1], "b5", seconds=0.01, identifier="last")
    branches[0].first().add_dependencies(ZarnId("last"))
    group = parallel(*branches)
    executor = Executor(group, workers=1)
    report = executor.run()
    assert report.ok
    runs = by_label(report)
    assert runs["b0"].start >= runs["b5"].end
    ordered = sorted(report.actions, key=lambda r: r.start)
    for earlier, later in zip(ordered, ordered[1:]):
        assert later.start >= earlier.end, "one worker runs one action at a time"
    assert report.threads == 1


def test_the_pool_is_capped_and_never_runs_more_at_once():
    group = parallel(
        *(block(Module(f"m{i}"), f"s{i}", seconds=0.05) for i in range(12))
    )
    report = Executor(group, max_workers=3).run()
    assert report.ok and report.workers == 3
    events = sorted(
        [(r.start, 1) for r in report.actions] + [(r.end, -1) for r in report.actions]
    )
    running = most = 0
    for _, change in events:
        running += change
        most = max(most, running)
    assert 2 <= most <= 3


@pytest.mark.parametrize("workers", [1, 3])
def test_competing_branches_take_turns_by_priority_on_the_pool(workers):
    low = block(AXIS, "low-1", "low-2", seconds=0.01)
    low.priority = ZarnPriority.LOW
    high = block(AXIS, "high-1", "high-2", seconds=0.01)
    high.priority = ZarnPriority.HIGH
    normal = block(AXIS, "normal-1", "normal-2", seconds=0.01)
    group = parallel(competing(low, normal, high), block(GRIPPER, "grip", seconds=0.05))
    group.next_block = block(CONVEYOR, "last")
    report = Executor(group, workers=workers).run()
    assert report.ok
    axis = [r.action.label for r in sorted(report.actions, key=lambda r: r.start)]
    axis = [label for label in axis if "-" in label]
    assert axis == ["high-1", "high-2", "normal-1", "normal-2", "low-1", "low-2"]
    runs = by_label(report)
    assert runs["last"].start >= max(runs["low-2"].end, runs["grip"].end)


def test_an_action_that_ran_is_not_run_again():
    sequence = block(AXIS, "once")
    plan = sequence.run_plan()
    assert Executor(plan).run().ok
    with pytest.raises(ValueError, match="has run already"):
        Executor(plan)
    executor = Executor(block(AXIS, "fresh"))
    executor.run()
    with pytest.raises(RuntimeError, match="runs its plan once"):
        executor.run()


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"workers": 0}, ValueError),
        ({"max_workers": True}, ValueError),
        ({"action_timeout": -1}, ValueError),
        ({"action_timeout": "60"}, TypeError),
        ({"timeouts": [("Step", 1)]}, TypeError),
        ({"timeouts": {3: 1}}, TypeError),
        ({"on_event": "print"}, TypeError),
    ],
)
def test_settings_are_checked(settings, error):
    with pytest.raises(error):
        Executor(block(AXIS, "x"), **settings)


def test_only_blocks_and_plans_are_run():
    with pytest.raises(TypeError, match="compiled block"):
        Executor([Step(AXIS)])


# --- failures --------------------------------------------------------------------------


def test_a_guarded_failure_runs_the_exception_part_and_the_script_goes_on():
    handler = block(GRIPPER, "recover")
    guarded = RunExceptBlock(handler)
    guarded.add(block(AXIS, "risky", fail=RuntimeError("jammed")))
    guarded.add(block(AXIS, "never"))
    head = chain(block(AXIS, "before"), guarded, block(AXIS, "after"))
    seen = []
    report = Executor(head, on_event=seen.append).run()
    assert report.status == "finished" and report.exit_code == 0
    runs = by_label(report)
    assert runs["risky"].outcome == "failed" and runs["risky"].handled
    assert "jammed" in runs["risky"].reason
    assert runs["never"].outcome == "skipped"
    assert runs["recover"].outcome == "finished" and runs["recover"].exception_part
    assert runs["recover"].start >= runs["risky"].end
    assert runs["after"].start >= runs["recover"].end
    (recovery,) = report.recoveries
    assert recovery.recovered and recovery.failed.action.label == "risky"
    assert [r.action.label for r in recovery.exception_actions] == ["recover"]
    told = [(e.kind, e.action.label if e.kind != "recover" else None) for e in seen]
    assert ("stop", None) not in told
    assert told.index(("recover", None)) < told.index(("start", "recover"))


def test_a_failing_exception_part_fails_the_run():
    guarded = RunExceptBlock(block(GRIPPER, "recover", fail=RuntimeError("no air")))
    guarded.add(block(AXIS, "risky", fail=RuntimeError("jammed")))
    guarded.next_block = block(AXIS, "after")
    report = Executor(guarded).run()
    assert report.status == "failed" and report.exit_code == 1
    assert report.failure.action.label == "recover"
    assert "no air" in report.reason
    runs = by_label(report)
    assert runs["after"].outcome == "skipped"
    assert not report.recoveries[0].recovered


def test_a_guarded_part_without_exception_part_just_ends():
    guarded = RunExceptBlock(None)
    guarded.add(block(AXIS, "risky", "rest", fail=RuntimeError("jammed")))
    guarded.next_block = block(AXIS, "after")
    report = Executor(guarded).run()
    assert report.ok
    runs = by_label(report)
    assert runs["rest"].outcome == "skipped" and runs["after"].outcome == "finished"


def test_an_exception_part_that_is_no_block_fails_the_run():
    guarded = RunExceptBlock("recover somehow")
    guarded.add(block(AXIS, "risky", fail=RuntimeError("jammed")))
    guarded.next_block = block(AXIS, "after")
    report = Executor(guarded).run()
    assert report.status == "failed" and report.failure is None
    assert "exception part" in report.reason and "must be a block" in report.reason
    assert by_label(report)["after"].outcome == "skipped"
    assert isinstance(report.recoveries[0].error, TypeError)


def test_an_inner_guard_recovers_without_troubling_the_outer_one():
    inner = RunExceptBlock(block(AXIS, "inner-handler"))
    inner.add(block(AXIS, "inner-risky", fail=RuntimeError("slip")))
    outer = RunExceptBlock(block(AXIS, "outer-handler"))
    outer.add(inner)
    outer.add(block(AXIS, "outer-rest"))
    report = Executor(outer).run()
    assert report.ok
    runs = by_label(report)
    assert runs["inner-handler"].outcome == "finished"
    assert runs["outer-rest"].outcome == "finished"
    assert "outer-handler" not in runs, "the outer exception part never ran"


def test_a_guarded_failure_in_a_competing_branch_hands_the_module_on():
    guarded = RunExceptBlock(block(AXIS, "recover"))
    guarded.add(block(AXIS, "first", fail=RuntimeError("dropped")))
    report = Executor(competing(guarded, block(AXIS, "second")), workers=1).run()
    assert report.ok
    runs = by_label(report)
    assert runs["second"].start >= runs["recover"].end


class StoppingMachine(RecordingMachine):
    """Fails a move of device 13 as the controller would; counts stops."""

    def __init__(self, fail_after=None):
        super().__init__()
        self.stops = 0
        self.cancelled = []
        self.fail_after = fail_after

    def move(self, moves):
        super().move(moves)
        if self.fail_after is not None:
            assert self.fail_after.wait(5)
        if any(move.device == 13 for move in moves):
            raise MachineError(
                "the drive reported an error",
                device=13,
                command_id="PC0101-4",
                result=-3,
            )

    def stop_all(self):
        self.stops += 1
        return ["device 13", "device 14"]

    def cancel(self, action):
        self.cancelled.append(action)


def test_an_unguarded_failure_stops_the_run_and_the_axes():
    slow = block(GRIPPER, "slow", block=True)
    # The move fails while the slow action is under way.
    machine = StoppingMachine(fail_after=slow.first().began)
    x = Axis("x", 13, {"pick": 10.0})
    sequence = StandardBlock()
    sequence.add([x.move_action("pick")])
    group = parallel(sequence, slow)
    group.next_block = block(CONVEYOR, "after")
    # The script's stop handler runs once, once the run has come to rest.
    report = Executor(
        group,
        machine=machine,
        cancel=cancel_step,
        stop_handler=block(CONVEYOR, "handled"),
    ).run()
    assert report.status == "failed" and report.exit_code == 1
    handled = [(action.label, status) for action, status, _ in report.stop_handler]
    assert handled == [("handled", "finished")]
    failure = report.failure
    assert failure.operation == "move" and failure.module == "x"
    assert (failure.device, failure.command_id, failure.result) == (13, "PC0101-4", -3)
    assert "device 13" in report.reason and "PC0101-4" in report.reason
    assert machine.stops == 1 and report.stopped == ["device 13", "device 14"]
    assert [r.action.label for r in report.cancelled] == ["slow"]
    assert report.cancelled[0].outcome == "cancelled"
    assert [r.action.label for r in report.skipped] == ["after"]
    summary = report.summary()
    assert "stopped: device 13, device 14" in summary and "1 action skipped" in summary


def test_the_default_hooks_reach_the_machine_of_the_actions():
    machine = StoppingMachine()
    x = Axis("x", 13, {"pick": 10.0})
    y = Axis("y", 14, {"pick": 1.0})
    sequence = StandardBlock()
    sequence.add([x.move_action("pick")])
    other = StandardBlock()
    other.add([y.move_action("pick"), y.move_action("pick")])
    plan = parallel(sequence, other).run_plan()
    attach([step.action for step in plan.steps], machine)  # as the run's owner does
    report = Executor(plan).run()
    assert report.status == "failed"
    assert machine.stops == 1


def test_a_failure_reported_only_through_the_state_counts():
    class QuietFailure(Step):
        def execute(self):
            self.state = ZarnState.Error
            self.finish_signal.set()

    sequence = StandardBlock()
    sequence.add([QuietFailure(AXIS, label="quiet"), Step(AXIS, label="next")])
    report = Executor(sequence).run()
    assert report.status == "failed"
    assert report.failure.action.label == "quiet"
    assert "state Error" in report.failure.reason
    assert by_label(report)["next"].outcome == "skipped"


def test_a_broken_stop_hook_is_reported_and_the_run_still_ends():
    def stop():
        raise OSError("controller unreachable")

    report = Executor(block(AXIS, "bad", fail=RuntimeError("x")), stop=stop).run()
    assert report.status == "failed"
    assert [(name, str(error)) for name, error in report.hook_errors] == [
        ("stop", "controller unreachable")
    ]


# --- time-outs and stopping ------------------------------------------------------------


def test_an_action_over_its_time_limit_is_cancelled_and_fails():
    group = parallel(block(AXIS, "stuck", block=True), block(GRIPPER, "quick"))
    cancelled = []
    began = time.monotonic()
    report = Executor(
        group,
        action_timeout=0.2,
        cancel=lambda a: (cancelled.append(a.label), a.cancel()),
    ).run()
    assert time.monotonic() - began < 5
    assert report.status == "failed"
    stuck = report.failure
    assert stuck.action.label == "stuck" and stuck.outcome == "timed out"
    assert isinstance(stuck.error, ActionTimeout) and stuck.error.seconds == 0.2
    assert isinstance(stuck.error.__cause__, MachineError)
    assert stuck.device == 7, "the cancelled call's error says where"
    assert cancelled[0] == "stuck"
    assert by_label(report)["quick"].outcome == "finished"


def test_time_limits_per_kind_and_what_an_action_expects():
    class Sleeping(RecordingMachine):
        def sleep(self, seconds):
            time.sleep(seconds)

    pause = StandardBlock()
    pause.add([Wait(AXIS, seconds=1.0)])
    # The wait's own second comes on top of the half-second limit.
    assert Executor(pause, machine=Sleeping(), action_timeout=0.5).run().ok

    stuck = block(AXIS, "stuck", block=True)
    report = Executor(
        stuck, action_timeout=None, timeouts={"Step": 0.1}, cancel=cancel_step
    ).run()
    assert report.failure.outcome == "timed out"
    assert report.failure.error.seconds == 0.1

    relaxed = block(AXIS, "slowish", seconds=0.3)
    assert Executor(relaxed, action_timeout=0.1, timeouts={Step: None}).run().ok


def test_an_action_that_ignores_its_cancel_is_given_up_on():
    stuck = Step(AXIS, label="deaf", ignore_cancel=True)
    sequence = StandardBlock()
    sequence.add([stuck])
    began = time.monotonic()
    report = Executor(sequence, action_timeout=0.1, cancel_grace=0.2).run()
    assert time.monotonic() - began < 3
    record = report.failure
    assert record.outcome == "timed out" and record.abandoned
    stuck.release.set()  # the thread left behind ends on its own
    assert stuck.finish_signal.wait(5)


def test_stop_from_another_thread_stops_the_run():
    sequence = chain(block(AXIS, "long", block=True), block(AXIS, "later"))
    started = threading.Event()

    def on_event(event):
        if event.kind == "start":
            started.set()

    executor = Executor(sequence, cancel=cancel_step, on_event=on_event)
    timer = threading.Thread(target=lambda: started.wait(5) and executor.stop())
    timer.start()
    report = executor.run()
    timer.join(5)
    assert report.status == "stopped" and report.exit_code == 1
    runs = by_label(report)
    assert runs["long"].outcome == "cancelled"
    assert runs["later"].outcome == "skipped"


# Each way an unguarded failure ends a run, in a process of its own: whatever
# the run leaves behind must be freed by the time the process ends, which is
# when the binding layer reports what it still holds.
ENDED_RUN = """
import sys, threading
sys.path.insert(0, {tests!r})
from support.actions import Module
from support.runs import block, cancel_step, chain, competing, parallel
from Zarn.blocks import RunExceptBlock
from Zarn.executor import Executor

AXIS, GRIPPER = Module("axis"), Module("gripper")

def plan(kind):
    slip = RuntimeError("slip")
    if kind == "sequence":
        return chain(block(AXIS, "a"), block(AXIS, "b", fail=slip), block(AXIS, "c"))
    if kind == "parallel":
        return parallel(block(AXIS, "a", seconds=0.2), block(GRIPPER, "b", fail=slip))
    if kind == "compete":
        return competing(block(AXIS, "a", fail=slip), block(AXIS, "b"))
    if kind == "exception part":
        guarded = RunExceptBlock(block(GRIPPER, "recover", fail=slip))
        guarded.add(block(AXIS, "a", fail=slip))
        return guarded
    return chain(block(AXIS, "a", block=True), block(AXIS, "b"))

# At the top level, as a user's script would be: what the run left is freed
# only as the interpreter shuts down.
kind = sys.argv[1]
executor = Executor(
    plan(kind), cancel=cancel_step, action_timeout=0.2 if kind == "time-out" else 30
)
if kind == "stop":
    threading.Timer(0.2, executor.stop).start()
print(executor.run().status)
"""


@pytest.mark.parametrize(
    "kind", ["sequence", "parallel", "compete", "exception part", "time-out", "stop"]
)
def test_a_run_ended_by_a_failure_leaves_nothing_behind_at_exit(kind):
    code = ENDED_RUN.format(tests=str(Path(__file__).parents[1]))
    child = subprocess.run(
        [sys.executable, "-c", code, kind],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["stopped" if kind == "stop" else "failed"]
    assert "leaked" not in child.stderr, child.stderr


# --- events ------------------------------------------------------------------------------


def test_events_tell_each_start_and_finish_in_order():
    seen = []
    group = parallel(block(AXIS, "a", seconds=0.05), block(GRIPPER, "g", seconds=0.02))
    report = Executor(group, on_event=seen.append).run()
    assert report.ok
    assert sorted((e.kind, e.action.label) for e in seen) == [
        ("finish", "a"),
        ("finish", "g"),
        ("start", "a"),
        ("start", "g"),
    ]
    times = [event.time for event in seen]
    assert times == sorted(times)
    finish = next(e for e in seen if e.kind == "finish" and e.action.label == "a")
    assert finish.module == "axis" and finish.operation == "step"
    assert finish.outcome == "finished" and finish.state == ZarnState.Finished
    assert finish.duration == pytest.approx(by_label(report)["a"].duration)
    assert "@axis step" in finish.message


def test_a_failing_event_callback_is_switched_off_and_the_run_goes_on(capsys):
    calls = []

    def broken(event):
        calls.append(event)
        raise ValueError("display broke")

    report = Executor(block(AXIS, "a", "b", "c"), on_event=broken).run()
    assert report.ok and len(calls) == 1
    assert isinstance(report.event_error, ValueError)
    assert "display broke" in capsys.readouterr().out


# --- threads -------------------------------------------------------------------------------


def test_many_runs_in_a_row_leave_no_threads_behind():
    def run_once():
        group = parallel(*(block(Module(f"m{i}"), f"s{i}") for i in range(5)))
        group.next_block = block(AXIS, "after")
        assert Executor(group).run().ok

    run_once()
    before = thread_count()
    for _ in range(30):
        run_once()
    # At most: a thread of an earlier test may end meanwhile.
    assert thread_count() <= before


def test_an_execute_set_on_the_action_itself_is_the_one_run():
    sequence = block(AXIS, "patched")
    action = sequence.first()
    ran = []

    def execute():
        ran.append("own")
        action.state = ZarnState.Finished
        action.finish_signal.set()

    action.execute = execute
    assert Executor(sequence).run().ok
    assert ran == ["own"]
