"""Runs a compiled script on a machine: the executor.

`Executor(block_or_plan, ...)` takes a compiled block (or its
`run_plan()`), and `run()` executes its actions on a small pool of worker
threads: an action starts as soon as everything it waits for has finished,
so independent machine modules move at the same time, and no worker ever
blocks waiting for another action. `run()` returns a `RunReport`.

Failures, time-outs, Ctrl-C and what the run reports are described in
docs/running.md. In short:

- An action fails when its `execute()` raises or leaves it in state `Error`,
  and when it runs longer than its time limit (it is then cancelled).
- In a guarded part (try/except), a failure skips the rest of the part, runs
  its exception part, and the script goes on after the part.
- Anywhere else, a failure stops the run: nothing new starts, actions in
  flight are cancelled, every moving axis is stopped, and the report says
  what failed, why, what was stopped and what was skipped.

The machine layer provides the hooks the stop path needs: a machine's
`cancel(action)` and `stop_all()` (see `Zarn.machine.Machine`), or the
`cancel` and `stop` callables given to the executor.
"""

from __future__ import annotations

import functools
import math
import numbers
import signal
import sys
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass

from Zarn._zarnexec import CommandGate, ZarnRun

__all__ = [
    "ActionRecord",
    "ActionTimeout",
    "Executor",
    "ModuleUse",
    "Recovery",
    "RunEvent",
    "RunInterrupted",
    "RunReport",
]

# How long one action may take unless its kind says otherwise.
DEFAULT_ACTION_TIMEOUT = 60.0
# How long a cancelled action is given to return before the run gives up on it.
DEFAULT_CANCEL_GRACE = 5.0
# The most worker threads a run starts, however wide its plan.
MAX_WORKERS = 16

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # the shells' code for a process ended by Ctrl-C


class ActionTimeout(TimeoutError):
    """An action that did not finish within its time limit. Its `__cause__`
    is what the action raised after it was cancelled, if anything."""

    def __init__(self, action, seconds):
        limit = f"{seconds:g} s" if seconds is not None else "its time limit"
        super().__init__(f"did not finish within {limit}; it was cancelled")
        self.action = action
        self.seconds = seconds


class RunInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a run. `report` tells what ran, failed, was stopped and
    skipped; uncaught, it ends the program as Ctrl-C does."""

    def __init__(self, report):
        super().__init__(report.reason)
        self.report = report


# --- what actions say about themselves ---------------------------------------------


def _module_name(action):
    module = getattr(action, "module", None)
    name = getattr(module, "name", None)
    return name if isinstance(name, str) else repr(module)


def _operation(action):
    operation = getattr(action, "operation", None)
    return operation if isinstance(operation, str) else type(action).__name__


def _description(action):
    describe = getattr(action, "describe", None)
    if callable(describe):
        try:
            return str(describe())
        except Exception:  # noqa: BLE001 -- a description must never break a report
            return repr(action)
    return repr(action)


def _carried(error, action, name):
    """What a failure carries (a MachineError's device, command id, result),
    else what the action knows itself."""
    for source in (error, getattr(error, "__cause__", None)):
        value = getattr(source, name, None)
        if value is not None:
            return value
    return getattr(action, name, None) if name == "device" else None


# --- events ----------------------------------------------------------------------


@dataclass(frozen=True)
class RunEvent:
    """Something that happened in a run, for a display.

    `kind` is "start" or "finish" (of a script action), "recover" (a guarded
    part failed; its exception part runs now) or "stop" (the run is
    stopping). `time` counts seconds from the start of the run. For a
    finish, `outcome` is "finished", "failed", "timed out" or "cancelled",
    `error` what the action raised and `duration` how long it ran. `message`
    is a line of text for a log.
    """

    kind: str
    time: float
    step: int | None = None
    action: object = None
    module: str | None = None
    operation: str | None = None
    state: object = None
    outcome: str | None = None
    error: BaseException | None = None
    duration: float | None = None
    exception_part: bool = False
    message: str = ""

    @property
    def description(self):
        return _description(self.action) if self.action is not None else None


# --- the report --------------------------------------------------------------------


@dataclass(eq=False)
class ActionRecord:
    """One script action of a run (group markers are left out).

    `outcome`: "finished", "failed", "timed out", "cancelled" (in flight
    when the run stopped, and did not finish) or "skipped" (never started).
    `start` and `end` count seconds from the start of the run (None when it
    never ran). `handled` tells a failure that a guarded part's exception
    part dealt with. `device`, `command_id` and `result` come from the error
    when it carries them (a `MachineError`), the device also from the action.
    """

    step: int
    action: object
    outcome: str
    start: float | None
    end: float | None
    error: BaseException | None
    exception_part: bool
    guard: int | None
    handled: bool
    abandoned: bool

    @property
    def module(self):
        return _module_name(self.action)

    @property
    def operation(self):
        return _operation(self.action)

    @property
    def description(self):
        return _description(self.action)

    @property
    def duration(self):
        if self.start is None or self.end is None:
            return None
        return self.end - self.start

    @property
    def failed(self):
        return self.outcome in ("failed", "timed out", "cancelled")

    @property
    def device(self):
        return _carried(self.error, self.action, "device")

    @property
    def command_id(self):
        return _carried(self.error, self.action, "command_id")

    @property
    def result(self):
        return _carried(self.error, self.action, "result")

    @property
    def reason(self):
        """The failure in words: the error's type and text."""
        if self.error is None:
            return ""
        text = str(self.error)
        cause = self.error.__cause__
        if isinstance(self.error, ActionTimeout) and cause is not None:
            text += f" ({type(cause).__name__}: {cause})"
        return (
            f"{type(self.error).__name__}: {text}"
            if text
            else type(self.error).__name__
        )

    def where(self):
        """'device 13, command PC0101120000-7' as far as known."""
        parts = []
        if self.device is not None:
            parts.append(f"device {self.device}")
        if self.command_id is not None:
            parts.append(f"command {self.command_id}")
        if self.result is not None:
            parts.append(f"result {self.result}")
        return ", ".join(parts)

    def __repr__(self):
        return f"<ActionRecord {self.step} {self.outcome} {self.description}>"


@dataclass(frozen=True)
class ModuleUse:
    """How one machine module spent the run: `busy` seconds while any of its
    actions ran, `share` of the run's duration."""

    name: str
    actions: int
    busy: float
    first_start: float | None
    last_end: float | None
    share: float


@dataclass(frozen=True)
class Recovery:
    """A guarded part that failed: the action that failed it (None when its
    cause was an exception part that could not be made, then in `error`),
    the actions of its exception part, and whether the script went on after
    it (`recovered`); if not, the failure went on to the part around it or
    stopped the run."""

    guard: int
    failed: ActionRecord | None
    exception_actions: tuple
    recovered: bool
    error: BaseException | None = None


class RunReport:
    """What a run did. `status`: "finished", "failed" (a failure stopped
    it), "interrupted" (Ctrl-C) or "stopped" (`Executor.stop()`); `reason`
    says it in a line, `exit_code` as a process status. `failure` is the
    action whose failure stopped the run. The lists are built when first
    read."""

    def __init__(self, executor, started_at, duration):
        run = executor._run
        self._run = run
        self._actions_of_steps = list(run.actions)
        self._errors = list(run.errors)
        self._guards = run.guards()
        self._limits = executor._limit_of
        self._part_errors = dict(executor._part_errors)
        self.started_at = started_at
        self.duration = duration
        self.workers = run.workers
        self.threads = run.threads_started
        self.stopped = list(executor._stopped)
        self.hook_errors = list(executor._hook_errors)
        self.event_error = executor._event_error
        self._stop_reason = run.stop_reason
        self._fatal_step = run.fatal_step
        self._fatal_guard = run.fatal_guard
        self.status = {
            "none": "finished",
            "failure": "failed",
            "stalled": "failed",
            "interrupted": "interrupted",
            "requested": "stopped",
        }[self._stop_reason]

    # --- summary figures

    @property
    def ok(self):
        return self.status == "finished"

    @property
    def exit_code(self):
        if self.status == "finished":
            return 0
        return EXIT_INTERRUPTED if self.status == "interrupted" else EXIT_FAILED

    @functools.cached_property
    def actions(self):
        """Every script action, in plan order; exception parts' actions
        follow the plan's, in the order they ran."""
        return [self._record_of(step) for step in self._action_steps()]

    @property
    def failures(self):
        """Actions that did not finish: failed, timed out or cancelled."""
        return [record for record in self.actions if record.failed]

    @property
    def skipped(self):
        return [record for record in self.actions if record.outcome == "skipped"]

    @property
    def cancelled(self):
        """Actions in flight when the run stopped, which it asked to cancel."""
        return [
            record
            for record in self.actions
            if self._records[record.step][3] and record.step != self._fatal_step
        ]

    @property
    def counts(self):
        counted = {"run": 0, "finished": 0, "failed": 0, "skipped": 0}
        for record in self.actions:
            if record.outcome == "skipped":
                counted["skipped"] += 1
                continue
            counted["run"] += 1
            counted["finished" if record.outcome == "finished" else "failed"] += 1
        return counted

    @functools.cached_property
    def failure(self):
        """The action whose failure stopped the run, or None."""
        if self._fatal_step is None:
            return None
        return self._record_of(self._fatal_step)

    @functools.cached_property
    def recoveries(self):
        found = []
        part_actions = {}
        for record in self.actions:
            part = self._records[record.step][5]
            if part is not None:
                part_actions.setdefault(part, []).append(record)
        for index, (_, _, failed, recovered, step, bad_part) in enumerate(self._guards):
            if not failed:
                continue
            found.append(
                Recovery(
                    guard=index,
                    failed=None if step is None else self._record_of(step),
                    exception_actions=tuple(part_actions.get(index, ())),
                    recovered=recovered,
                    error=self._part_errors.get(bad_part)
                    if bad_part is not None
                    else self._part_errors.get(index),
                )
            )
        return found

    @functools.cached_property
    def reason(self):
        if self.status == "finished":
            handled = sum(1 for r in self.recoveries if r.recovered)
            extra = f" ({handled} guarded part(s) recovered)" if handled else ""
            return f"the run finished{extra}"
        if self.status == "interrupted":
            return "the run was interrupted (Ctrl-C)"
        if self.status == "stopped":
            return "the run was stopped on request"
        if self._stop_reason == "stalled":
            return "the run could not go on: the remaining actions wait for something that never ends"
        failure = self.failure
        if failure is not None:
            where = failure.where()
            return (
                f"{failure.description} on @{failure.module} {failure.outcome}"
                f"{f' ({where})' if where else ''}: {failure.reason}"
            )
        if self._fatal_guard is not None:
            error = self._part_errors.get(self._fatal_guard)
            return f"the exception part of a guarded part could not be run: {error}"
        return "the run failed"

    @functools.cached_property
    def modules(self):
        """{module name: ModuleUse}, in the order the modules first appear."""
        spans = {}
        counts = {}
        for record in self.actions:
            counts[record.module] = counts.get(record.module, 0) + 1
            if record.start is not None and record.end is not None:
                spans.setdefault(record.module, []).append((record.start, record.end))
            else:
                spans.setdefault(record.module, [])
        used = {}
        for name, intervals in spans.items():
            intervals.sort()
            busy = 0.0
            current_start = current_end = None
            for start, end in intervals:
                if current_end is None or start > current_end:
                    if current_end is not None:
                        busy += current_end - current_start
                    current_start, current_end = start, end
                else:
                    current_end = max(current_end, end)
            if current_end is not None:
                busy += current_end - current_start
            used[name] = ModuleUse(
                name=name,
                actions=counts[name],
                busy=busy,
                first_start=intervals[0][0] if intervals else None,
                last_end=max(end for _, end in intervals) if intervals else None,
                share=busy / self.duration if self.duration > 0 else 0.0,
            )
        return used

    def summary(self):
        """A few lines for the user: the outcome, the counts, each module's
        busy time, and on failure what failed, was stopped and skipped."""
        counted = self.counts
        lines = [
            self.reason,
            (
                f"{counted['run']} actions run, {counted['failed']} failed, "
                f"{counted['skipped']} skipped, in {self.duration:.3f} s "
                f"on {self.workers} worker(s)"
            ),
        ]
        for use in self.modules.values():
            lines.append(
                f"  @{use.name}: {use.actions} actions, busy {use.busy:.3f} s "
                f"({use.share:.0%})"
            )
        for recovery in self.recoveries:
            if recovery.failed is not None:
                cause = f"{recovery.failed.description}: {recovery.failed.reason}"
            else:
                cause = f"its exception part could not be run: {recovery.error}"
            lines.append(
                f"  guarded part failed at {cause}; "
                + ("recovered" if recovery.recovered else "not recovered")
            )
        if self.cancelled:
            lines.append(
                "  cancelled: " + "; ".join(r.description for r in self.cancelled)
            )
        if self.stopped:
            lines.append("  stopped: " + ", ".join(map(str, self.stopped)))
        if self.status != "finished" and counted["skipped"]:
            lines.append(f"  {counted['skipped']} actions skipped")
        for name, error in self.hook_errors:
            lines.append(f"  the {name} hook failed: {type(error).__name__}: {error}")
        return "\n".join(lines)

    def __repr__(self):
        return f"<RunReport {self.status} in {self.duration:.3f} s>"

    # --- building records

    @functools.cached_property
    def _records(self):
        return self._run.records()

    @functools.cached_property
    def _kinds(self):
        return self._run.kinds

    def _action_steps(self):
        return [i for i, kind in enumerate(self._kinds) if kind == "action"]

    def _record_of(self, step):
        status, timed_out, abandoned, cancel_requested, guard, part, start, end = (
            self._records[step]
        )
        action = self._actions_of_steps[step]
        error = self._errors[step]
        if status == "finished":
            outcome = "finished"
        elif status == "skipped":
            outcome = "skipped"
        elif status == "failed":
            if timed_out:
                timeout = ActionTimeout(action, self._limits(action))
                timeout.__cause__ = error
                error = timeout
                outcome = "timed out"
            elif cancel_requested and step != self._fatal_step:
                outcome = "cancelled"
            else:
                outcome = "failed"
            if error is None:
                error = getattr(action, "error", None)
                if not isinstance(error, BaseException):
                    error = RuntimeError(
                        "ended in state Error"
                        + (" after it was cancelled" if cancel_requested else "")
                    )
        else:
            outcome = "not run"
        handled = outcome in ("failed", "timed out") and self._in_failed_guard(guard)
        return ActionRecord(
            step,
            action,
            outcome,
            start,
            end,
            error,
            part is not None,
            guard,
            handled,
            abandoned,
        )

    def _in_failed_guard(self, guard):
        while guard is not None:
            outer, _, failed, _, _, _ = self._guards[guard]
            if failed:
                return True
            guard = outer
        return False


# --- the executor --------------------------------------------------------------------


class _NoExceptionPart:
    """What a guarded part without an exception part runs when it fails."""

    steps = ()
    guards = ()


def _seconds_or_none(value, what):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number of seconds or None, not {value!r}")
    value = float(value)
    if math.isnan(value) or value < 0:
        raise ValueError(f"{what} must be 0 or more seconds (or None), not {value!r}")
    return value if value > 0 else None


class Executor:
    """Runs the run plan of a compiled block.

    - `plan`: a compiled block (its `run_plan()` is taken) or a `ZarnRunPlan`.
    - `machine`: given, it is attached to every module action of the plan
      and of the exception parts (`Zarn._zarnmodule.attach`), and its
      `cancel(action)` and `stop_all()` are the default hooks.
    - `workers`: the size of the pool; by default the plan's widest level,
      at most `max_workers`, at least 1.
    - `action_timeout`: seconds an action may take (None or 0: no limit),
      plus what an action expects by design (its `expected_seconds`, e.g. a
      wait's seconds); `timeouts` overrides it per kind of action:
      `{MoveAxis: 120, "Wait": None}` (a class or a class name; the value
      replaces the whole limit).
    - `cancel_grace`: seconds a cancelled action is given to return before
      the run gives up on it.
    - `on_event(RunEvent)`: called for every action start and finish (on the
      worker running it) and when a guarded part recovers or the run stops;
      never twice at once.
    - `cancel(action)`: asks an action in flight to stop (default: its
      machine's `cancel(action)`); `stop()`: stops every moving axis and
      returns what it stopped (default: every machine's `stop_all()`).
    """

    def __init__(
        self,
        plan,
        *,
        machine=None,
        workers=None,
        max_workers=MAX_WORKERS,
        action_timeout=DEFAULT_ACTION_TIMEOUT,
        timeouts=None,
        cancel_grace=DEFAULT_CANCEL_GRACE,
        on_event=None,
        cancel=None,
        stop=None,
    ):
        if not hasattr(plan, "steps") and callable(getattr(plan, "run_plan", None)):
            plan = plan.run_plan()
        if not hasattr(plan, "steps") or not hasattr(plan, "guards"):
            raise TypeError(
                f"an Executor runs a compiled block or its run_plan(), not {plan!r}"
            )
        if workers is not None and (
            isinstance(workers, bool) or not isinstance(workers, int) or workers < 1
        ):
            raise ValueError(
                f"workers must be a whole number from 1 up, not {workers!r}"
            )
        if (
            isinstance(max_workers, bool)
            or not isinstance(max_workers, int)
            or max_workers < 1
        ):
            raise ValueError(
                f"max_workers must be a whole number from 1 up, not {max_workers!r}"
            )
        for name, hook in (("on_event", on_event), ("cancel", cancel), ("stop", stop)):
            if hook is not None and not callable(hook):
                raise TypeError(f"{name} must be callable, not {hook!r}")
        self.plan = plan
        self.machine = machine
        self._default_timeout = _seconds_or_none(action_timeout, "action_timeout")
        self._timeouts = self._kind_timeouts(timeouts)
        grace = _seconds_or_none(cancel_grace, "cancel_grace")
        self._on_event = on_event
        self._cancel_hook = cancel
        self._stop_hook = stop
        self._event_lock = threading.Lock()
        self._event_error = None
        self._hook_errors = []
        self._stopped = []
        self._part_errors = {}
        self._interrupts = 0
        self._axes_stopped = False
        self._started = False
        self.report = None

        if machine is not None:
            from Zarn._zarnmodule import attach

            attach((step.action for step in plan.steps), machine)
        # The machines' gates close the moment the run decides to stop, so
        # that nothing an action in flight sends can overtake the stops.
        self._gates = self._gates_of(
            self._machines_of(step.action for step in plan.steps)
        )
        self._run = ZarnRun(
            plan,
            self._limit_for,
            workers or 0,
            max_workers,
            grace or 0.0,
            self._gates,
        )
        self._plan_size = len(self._run.actions)
        self._exception_parts = [guard.exception for guard in plan.guards]

    @property
    def workers(self):
        """How many worker threads the run uses (it may grow for an
        exception part)."""
        return self._run.workers

    def stop(self):
        """Stops the run from another thread (a stop button): the same path
        as a failure, and `run()` returns a report with status "stopped"."""
        self._run.stop(False)

    def run(self):
        """Runs the plan once and returns its RunReport. Ctrl-C stops the run
        (see docs/running.md) and raises RunInterrupted with the report."""
        if self._started:
            raise RuntimeError("an Executor runs its plan once; make a new one")
        self._started = True
        run = self._run
        if self._on_event is not None:
            run.set_hooks(self._on_start, self._on_finish)
        for gate in self._gates:
            if not gate.reopen():
                raise RuntimeError(
                    "a machine of this run is still sending for another run; a "
                    "machine serves one run at a time"
                )
        restore = self._take_ctrl_c()
        started_at = time.time()
        left_early = None
        try:
            run.start()
            self._serve()
        except BaseException as error:  # noqa: BLE001 -- a third Ctrl-C or a fault
            left_early = error
            self._emergency_stop()
        finally:
            try:
                run.join()
            finally:
                run.set_hooks(None, None)
                restore()
        duration = run.elapsed()
        self.report = RunReport(self, started_at, duration)
        if left_early is not None and not isinstance(left_early, KeyboardInterrupt):
            raise left_early
        if left_early is not None or self.report.status == "interrupted":
            raise RunInterrupted(self.report) from left_early
        return self.report

    # --- the controlling thread

    def _serve(self):
        run = self._run
        while True:
            run.wait()
            timed_out, failed_guards, stopping, in_flight, finished = run.take()
            for step in timed_out:
                self._cancel(step)
            if stopping:
                self._stop_machine(in_flight)
            for guard in failed_guards:
                self._recover(guard)
            if finished:
                return

    def _take_ctrl_c(self):
        """Makes Ctrl-C stop the run instead of raising in the middle of it;
        returns what puts the previous handler back."""
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = signal.getsignal(signal.SIGINT)
        if previous is None or previous is signal.SIG_IGN:
            return lambda: None

        def interrupted(signum, frame):
            self._interrupts += 1
            if self._interrupts == 1:
                self._run.stop(True)
            elif self._interrupts == 2:
                self._run.abandon()  # stop waiting for actions in flight
            else:
                raise KeyboardInterrupt

        signal.signal(signal.SIGINT, interrupted)
        return lambda: signal.signal(signal.SIGINT, previous)

    def _call_hook(self, name, hook, *arguments):
        try:
            return hook(*arguments)
        except Exception as error:  # noqa: BLE001 -- kept in the report; the stop goes on
            self._hook_errors.append((name, error))
            return None

    def _cancel(self, step):
        action = self._run.actions[step]
        hook = self._cancel_hook or self._default_cancel
        self._call_hook("cancel", hook, action)

    def _default_cancel(self, action):
        machine = (
            self.machine
            if self.machine is not None
            else getattr(action, "machine", None)
        )
        cancel = getattr(machine, "cancel", None)
        if callable(cancel):
            cancel(action)

    def _machines(self):
        return self._machines_of(self._run.actions)

    def _machines_of(self, actions):
        if self.machine is not None:
            return [self.machine]
        found = {}
        for action in actions:
            machine = getattr(action, "machine", None)
            if machine is not None:
                found.setdefault(id(machine), machine)
        return list(found.values())

    @staticmethod
    def _gates_of(machines):
        gates = {}
        for machine in machines:
            gate = getattr(machine, "gate", None)
            if isinstance(gate, CommandGate):
                gates.setdefault(id(gate), gate)
        return list(gates.values())

    def _default_stop(self):
        stopped = []
        for machine in self._machines():
            stop_all = getattr(machine, "stop_all", None)
            if callable(stop_all):
                stopped.extend(stop_all() or ())
        return stopped

    def _stop_machine(self, in_flight):
        run = self._run
        self._emit(
            RunEvent(
                kind="stop",
                time=run.elapsed(),
                message=f"stopping: {self._stop_cause()}",
            )
        )
        for step in in_flight:
            self._cancel(step)
        self._stop_axes()

    def _stop_axes(self):
        self._axes_stopped = True
        hook = self._stop_hook or self._default_stop
        stopped = self._call_hook("stop", hook)
        if stopped:
            self._stopped.extend(stopped)

    def _stop_cause(self):
        run = self._run
        reason = run.stop_reason
        if reason == "interrupted":
            return "interrupted (Ctrl-C)"
        if reason == "requested":
            return "stop requested"
        if reason == "stalled":
            return "the remaining actions could never start"
        if run.fatal_step is not None:
            action = run.actions[run.fatal_step]
            _, timed_out = run.record(run.fatal_step)[:2]
            what = "timed out" if timed_out else "failed"
            return f"{_description(action)} on @{_module_name(action)} {what}"
        return "an exception part could not be run"

    def _emergency_stop(self):
        """The control loop was left abnormally: stop everything at once."""
        self._run.stop(True)
        self._run.abandon()
        if not self._axes_stopped:
            self._stop_axes()

    def _recover(self, guard):
        run = self._run
        exception = self._exception_parts[guard]
        try:
            plan = self._plan_of(exception)
            if self.machine is not None:
                self._attach(step.action for step in plan.steps)
        except Exception as error:  # noqa: BLE001 -- a failure of the part around the guard
            self._part_errors[guard] = error
            run.exception_part_failed(guard)
            return
        # Held while the part is added, so that the start of its first action
        # is told after the recovery.
        with self._event_lock:
            try:
                base = run.add_exception_part(guard, plan)
            except Exception as error:  # noqa: BLE001 -- as above
                self._part_errors[guard] = error
                run.exception_part_failed(guard)
                return
            if base < 0:
                return
            self._exception_parts.extend(part.exception for part in plan.guards)
            assert len(self._exception_parts) == run.guard_count, "guards out of step"
            self._tell_recovery(guard, len(plan.steps))

    def _tell_recovery(self, guard, part_size):
        run = self._run
        step, _ = run.guard_cause(guard)
        cause = run.actions[step] if step is not None else None
        shown = f"{_description(cause)} failed" if cause is not None else "a failure"
        self._emit_locked(
            RunEvent(
                kind="recover",
                time=run.elapsed(),
                step=step,
                action=cause,
                module=_module_name(cause) if cause is not None else None,
                operation=_operation(cause) if cause is not None else None,
                error=run.errors[step] if step is not None else None,
                message=f"{shown} in a guarded part: running its exception part "
                f"({part_size} steps)",
            )
        )

    @staticmethod
    def _plan_of(exception):
        if exception is None:
            return _NoExceptionPart()
        run_plan = getattr(exception, "run_plan", None)
        if not callable(run_plan):
            raise TypeError(
                f"a guarded part's exception part must be a block (or None), not {exception!r}"
            )
        return run_plan()

    def _attach(self, actions):
        from Zarn._zarnmodule import attach

        attach(actions, self.machine)

    # --- time limits

    def _kind_timeouts(self, timeouts):
        if timeouts is None:
            return {}
        if not isinstance(timeouts, Mapping):
            raise TypeError(
                f"timeouts must map action kinds (classes or class names) to seconds, "
                f"not {timeouts!r}"
            )
        checked = {}
        for kind, seconds in timeouts.items():
            if not isinstance(kind, (type, str)):
                raise TypeError(
                    f"a key of timeouts must be an action class or its name, not {kind!r}"
                )
            checked[kind] = _seconds_or_none(seconds, f"the time-out of {kind!r}")
        return checked

    def _limit_for(self, kind):
        """(seconds or None, whether the action's expected_seconds is added)."""
        for klass in kind.__mro__:
            for key in (klass, klass.__name__):
                if key in self._timeouts:
                    return (self._timeouts[key], False)
        if self._default_timeout is None:
            return (None, False)
        return (self._default_timeout, hasattr(kind, "expected_seconds"))

    def _limit_of(self, action):
        seconds, add_expected = self._limit_for(type(action))
        if seconds is not None and add_expected:
            expected = getattr(action, "expected_seconds", None)
            if expected is not None and expected > 0:
                seconds += expected
        return seconds

    # --- events

    def _emit(self, event):
        with self._event_lock:
            self._emit_locked(event)

    def _emit_locked(self, event):
        on_event = self._on_event
        if on_event is None:
            return
        try:
            on_event(event)
        except Exception as error:  # noqa: BLE001 -- reported below
            # A broken display must not stop the machine halfway.
            self._on_event = None
            self._event_error = error
            print(
                f"[Zarn] the run's event callback failed and is no longer called: "
                f"{type(error).__name__}: {error}",
                file=sys.stdout,
                flush=True,
            )

    def _tell_action(self, kind, step, at, label, detail, **more):
        action = self._run.actions[step]
        module, operation = _module_name(action), _operation(action)
        self._emit(
            RunEvent(
                kind=kind,
                time=at,
                step=step,
                action=action,
                module=module,
                operation=operation,
                state=action.state,
                exception_part=step >= self._plan_size,
                message=f"{label:<9} @{module} {operation}"
                + (f": {detail}" if detail else ""),
                **more,
            )
        )

    def _on_start(self, step, at):
        detail = _description(self._run.actions[step])
        self._tell_action("start", step, at, "start", detail)

    def _on_finish(self, step, succeeded, started, at):
        run = self._run
        action = run.actions[step]
        error = None
        if succeeded:
            outcome = "finished"
        else:
            _, timed_out, _, cancel_requested = run.record(step)
            outcome = (
                "timed out"
                if timed_out
                else "cancelled"
                if cancel_requested
                else "failed"
            )
            error = run.errors[step]
            if error is None:
                error = getattr(action, "error", None)
        detail = f"{type(error).__name__}: {error}" if error is not None else ""
        self._tell_action(
            "finish",
            step,
            at,
            outcome,
            detail,
            outcome=outcome,
            error=error,
            duration=at - started,
        )
