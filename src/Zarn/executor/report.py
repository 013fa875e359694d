"""What a run did: `RunReport`, with an `ActionRecord` per action, a
`ModuleUse` per machine module and a `Recovery` per guarded part that
failed. docs/running.md describes the report for users."""

from __future__ import annotations

import functools
from dataclasses import dataclass

from Zarn import wording
from Zarn.errors import ActionTimeout, PartTimeout
from Zarn.executor.events import _carried, _description, _module_name, _operation

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # the shells' code for a process ended by Ctrl-C


@dataclass(eq=False)
class ActionRecord:
    """One script action of a run (group markers are left out).

    `outcome`: "finished", "failed", "timed out", "cancelled" (in flight
    when the run stopped, and did not finish), "skipped" (never started) or
    "not taken" (on a way its condition did not take, a loop's round after
    it ended, an attempt not needed).
    `start` and `end` count machine seconds from the start of the run (None when it
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
    """A part that failed and handled it, or passed the failure on: a
    guarded part (`kind` "try"), an attempt of a retried part ("attempt")
    or a time-limited part ("time limit"). `failed` is the action that
    failed it (None when its cause was an exception part that could not be
    made, then in `error`, or its time limit), `exception_actions` the
    actions of its exception part, `recovered` whether the script went on
    after it (with the next attempt, for an attempt); if not, the failure
    went on to the part around it or stopped the run."""

    guard: int
    failed: ActionRecord | None
    exception_actions: tuple
    recovered: bool
    error: BaseException | None = None
    kind: str = "try"


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
        self._part_limits = list(executor.part_limits)
        # (action, status, error) of each action of the stop handler, if it ran.
        self.stop_handler = list(executor.stop_handler_records)
        self._limits = executor._limit_of
        self._part_errors = dict(executor._part_errors)
        self.started_at = started_at
        # Machine seconds (the run's own times its machine's speed), as
        # every time of the report; and the wall time it took.
        self._scale = executor.time_scale
        self.duration = duration * self._scale
        self.wall_duration = duration if executor._clock is None else None
        # (start, end) of each pause, end None for one that lasted to the end;
        # a run paused before it started was paused from its start.
        self.pauses = [
            (max(start, 0.0) * self._scale, None if end is None else end * self._scale)
            for start, end in run.pauses()
        ]
        # (step, action, error, choice, by) of each failure the operator chose for.
        self.choices = list(executor.choices)
        self.workers = run.workers
        self.threads = run.threads_started
        self.stopped = list(executor._stopped)
        self.hook_errors = list(executor._hook_errors)
        self.event_error = executor._event_error
        self._stop_reason = run.stop_reason
        self._fatal_step = run.fatal_step
        self._fatal_guard = run.fatal_guard
        # Why the run was told to stop (Executor.stop's reason), once it has.
        self.cause = executor._cause if self._stop_reason != "none" else None
        self.status = {
            "none": "finished",
            "failure": "failed",
            "stalled": "failed",
            "interrupted": "interrupted",
            "requested": "stopped" if self.cause is None else "failed",
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
        counted = {"run": 0, "finished": 0, "failed": 0, "skipped": 0, "not taken": 0}
        for record in self.actions:
            if record.outcome in ("skipped", "not taken"):
                counted[record.outcome] += 1
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
        for index, entry in enumerate(self._guards):
            _, _, failed, recovered, step, bad_part, kind = entry[:7]
            if not failed:
                continue
            error = (
                self._part_errors.get(bad_part)
                if bad_part is not None
                else self._part_errors.get(index)
            )
            # A part that failed because a time limit inside it ran out
            # carries that time-out.
            timed = bad_part if bad_part is not None else index
            if error is None and self._guards[timed][6] == "time limit":
                error = PartTimeout(self._part_seconds(timed))
            found.append(
                Recovery(
                    guard=index,
                    failed=None if step is None else self._record_of(step),
                    exception_actions=tuple(part_actions.get(index, ())),
                    recovered=recovered,
                    error=error,
                    kind=kind,
                )
            )
        return found

    def _part_seconds(self, index):
        limits = self._part_limits
        seconds = limits[index] if index < len(limits) else None
        return 0.0 if seconds is None else seconds

    @functools.cached_property
    def reason(self):
        if self.status == "finished":
            handled = sum(1 for r in self.recoveries if r.recovered)
            extra = (
                f" ({wording.counted(handled, 'guarded part')} recovered)"
                if handled
                else ""
            )
            return f"the run finished{extra}"
        if self.status == "interrupted":
            return "the run was interrupted (Ctrl-C)"
        if self.status == "stopped":
            return "the run was stopped on request"
        if self.cause is not None:
            failure = self.failure
            # A failure that stopped the run first is told after the cause:
            # a controller that stops answering fails a command or two first.
            earlier = (
                f"; the run had stopped at an earlier failure: {self._failure_text(failure)}"
                if failure is not None
                else ""
            )
            return f"{self.cause}{earlier}"
        if self._stop_reason == "stalled":
            return "the run could not go on: the remaining actions wait for something that never ends"
        failure = self.failure
        if failure is not None:
            return self._failure_text(failure)
        if self._fatal_guard is not None:
            if self._guards[self._fatal_guard][6] == "time limit":
                seconds = self._part_seconds(self._fatal_guard)
                return f"a part with a time limit failed: {PartTimeout(seconds)}"
            error = self._part_errors.get(self._fatal_guard)
            return f"the exception part of a guarded part could not be run: {error}"
        return "the run failed"

    @staticmethod
    def _failure_text(failure):
        where = failure.where()
        return (
            f"{failure.description} on @{failure.module} {failure.outcome}"
            f"{f' ({where})' if where else ''}: {failure.reason}"
        )

    @functools.cached_property
    def modules(self):
        """{module name: ModuleUse}, in the order the modules first appear."""
        spans = {}
        counts = {}
        for record in self.actions:
            ran = record.outcome != "not taken"
            counts[record.module] = counts.get(record.module, 0) + ran
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

    def _wall_text(self):
        if self.wall_duration is None:
            return " of simulated machine time"
        if self._scale == 1.0:
            return ""
        return f" of machine time ({self.wall_duration:.3f} s of wall time)"

    def summary(self):
        """A few lines for the user: the outcome, the counts, each module's
        busy time, and on failure what failed, was stopped and skipped."""
        counted = self.counts
        lines = [
            self.reason,
            (
                f"{wording.counted(counted['run'], 'action')} run, {counted['failed']} failed, "
                f"{counted['skipped']} skipped"
                + (
                    f", {counted['not taken']} not taken"
                    if counted["not taken"]
                    else ""
                )
                + f", in {self.duration:.3f} s"
                + self._wall_text()
                + f" on {wording.counted(self.workers, 'worker')}"
            ),
        ]
        if self.pauses:
            paused = sum(
                (self.duration if end is None else end) - start
                for start, end in self.pauses
            )
            lines.append(
                f"  paused {wording.counted(len(self.pauses), 'time')}, "
                f"{paused:.3f} s in all"
            )
        for step, action, error, choice, by in self.choices:
            lines.append(
                f"  #{step + 1} {_description(action)} failed"
                + (f" ({type(error).__name__}: {error})" if error is not None else "")
                + f": {choice} chosen ({by})"
            )
        for use in self.modules.values():
            lines.append(
                f"  @{use.name}: {wording.counted(use.actions, 'action')}, busy {use.busy:.3f} s "
                f"({use.share:.0%})"
            )
        for recovery in self.recoveries:
            if recovery.failed is not None:
                cause = f"{recovery.failed.description}: {recovery.failed.reason}"
            elif isinstance(recovery.error, PartTimeout):
                cause = str(recovery.error)
            else:
                cause = f"its exception part could not be run: {recovery.error}"
            if recovery.kind == "time limit":
                # A time limit has no way out of its own; a try around it
                # tells whether the run recovered.
                lines.append(f"  a time limit ran out: {cause}")
                continue
            what = "an attempt" if recovery.kind == "attempt" else "a guarded part"
            outcome = "retried" if recovery.kind == "attempt" else "recovered"
            lines.append(
                f"  {what} failed: {cause}; "
                + (outcome if recovery.recovered else f"not {outcome}")
            )
        if self.cancelled:
            lines.append(
                "  cancelled: " + "; ".join(r.description for r in self.cancelled)
            )
        if self.stopped:
            lines.append("  stopped: " + ", ".join(map(str, self.stopped)))
        if self.status != "finished" and counted["skipped"]:
            lines.append(f"  {wording.counted(counted['skipped'], 'action')} skipped")
        if self.stop_handler:
            failed = [
                (action, error)
                for action, status, error in self.stop_handler
                if status == "failed"
            ]
            lines.append(
                f"  the stop handler ran {wording.counted(len(self.stop_handler), 'action')}"
                + (f", {len(failed)} failed:" if failed else ", all finished")
            )
            for action, error in failed:
                lines.append(
                    f"    {_description(action)}: {type(error).__name__ if error else 'failed'}"
                    + (f": {error}" if error else "")
                )
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
        elif status in ("skipped", "not taken"):
            outcome = status
        elif status == "failed":
            part_limit = self._timed_out_part(guard) if timed_out else None
            if part_limit is not None:
                error = PartTimeout(part_limit)
                outcome = "timed out"
            elif timed_out:
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
        scale = self._scale
        return ActionRecord(
            step,
            action,
            outcome,
            None if start is None else start * scale,
            None if end is None else end * scale,
            error,
            part is not None,
            guard,
            handled,
            abandoned,
        )

    def part_around(self, record, kind):
        """The index of the innermost part of `kind` ("try", "attempt",
        "time limit", "way") around the step of `record`, or None; the index
        of one of main's tries is its guarded part's number less one."""
        guard = record.guard
        while guard is not None:
            if self._guards[guard][6] == kind:
                return guard
            guard = self._guards[guard][0]
        return None

    def _in_failed_guard(self, guard):
        while guard is not None:
            outer, _, failed = self._guards[guard][:3]
            if failed:
                return True
            guard = outer
        return False

    def _timed_out_part(self, guard):
        """The limit of the time-limited part around a step that timed out
        with it, or None."""
        while guard is not None:
            entry = self._guards[guard]
            if entry[6] == "time limit" and entry[8]:
                return self._part_seconds(guard)
            guard = entry[0]
        return None
