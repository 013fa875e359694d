"""The executor: `Executor` runs a compiled block's plan on a pool of worker
threads (the work of the `Zarn._zarnexec` extension), stops the machine on
a failure, runs the exception parts of guarded parts, and hands back a
`RunReport`."""

from __future__ import annotations

import contextlib
import math
import numbers
import signal
import sys
import threading
import time
from collections.abc import Mapping

from Zarn import wording
from Zarn._zarnexec import CommandGate, ZarnRun
from Zarn.errors import RunInterrupted
from Zarn.executor.events import RunEvent, _description, _module_name, _operation
from Zarn.executor.report import RunReport
from Zarn.lang.control import control_table
from Zarn.machine_modules.actions import attach

# How long one action may take unless its kind says otherwise.
DEFAULT_ACTION_TIMEOUT = 60.0
# How long a cancelled action is given to return before the run gives up on it.
DEFAULT_CANCEL_GRACE = 5.0
# The most worker threads a run starts, however wide its plan.
MAX_WORKERS = 16


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

    - `plan`: a compiled block (its `run_plan()` is taken), a `ZarnRunPlan`,
      or a `CompiledScript` (`Zarn.lang.compiling.compile_script`), whose
      plans, main's and its exception parts', are run as they were built.
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
    - `stop_handler`: the script's stop handler (a block or its plan; a
      compiled script gives its own): it runs once when the run stops
      without finishing, after the axes have been stopped, with only
      outputs let through the machines' gates; a failure in it ends only
      that action. Its actions are in `report.stop_handler`.

    - `on_failure(event)`: asked at a failure outside every guarded part
      instead of stopping the run (None: the run stops). The failed action's
      axes are stopped, the run pauses (what runs finishes, the gates stay
      open) and the callback, called on a thread of its own with a
      `RunEvent` of kind "failure", answers "retry" (a fresh copy of the
      action runs), "skip" (what waits for it goes on) or "stop". The
      choice is in `report.choices`; `choose(step, choice)` answers instead
      when the callback returns None (a key pressed later).

    Every machine's `watch(on_lost)` watches its controller while the run
    runs; a machine that loses its controller stops the run with the loss
    as its reason (`stop(reason)`).

    Times are machine seconds: the run's own seconds times the machine's
    `speed` (a simulated controller running F times real time), or the
    simulated clock's (an estimate). `pause()`, `resume()` and `step()`
    hold the run between actions; see their docs.
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
        stop_handler=None,
        on_failure=None,
    ):
        # A compiled script hands over the plans it built: main's and its
        # exception parts', with their control tables.
        self._part_plans = dict(getattr(plan, "part_plans", None) or {})
        self._controls = dict(getattr(plan, "controls", None) or {})
        if stop_handler is None:
            stop_handler = getattr(plan, "stop_plan", None)
        plan = getattr(plan, "plan", plan)
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
        for name, hook in (
            ("on_event", on_event),
            ("cancel", cancel),
            ("stop", stop),
            ("on_failure", on_failure),
        ):
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
        self._cause = None  # the reason stop() was given, if any
        self._on_failure = on_failure
        # (step, action, error, choice, by) of each failure the operator chose for.
        self.choices = []
        self._asked = {}  # step: the failure event of a choice not yet made
        # Reentrant: an event callback may pause or step the run it watches.
        self._event_lock = threading.RLock()
        self._event_error = None
        self._hook_errors = []
        self._stopped = []
        self._part_errors = {}
        self._interrupts = 0
        self._axes_stopped = False
        self._started = False
        self.report = None

        if machine is not None:
            attach((step.action for step in plan.steps), machine)
        # The machines' gates close the moment the run decides to stop, so
        # that nothing an action in flight sends can overtake the stops; the
        # run watches their controllers.
        self._plan_machines = self._machines_of(step.action for step in plan.steps)
        self._gates = self._gates_of(self._plan_machines)
        self._clock = self._clock_of(self._plan_machines)
        # Machine seconds per second of the run's clock.
        self.time_scale = self._scale_of(self._plan_machines)
        # The parts of the plan's control constructs (ways, attempts, time
        # limits) with its guarded parts; None for a plan without any.
        control = self._controls.pop(id(plan), None) or control_table(plan)
        # Every part's time limit in machine seconds, by guard index, for
        # the report; the run converts them to its own seconds (time_scale).
        self.part_limits = self._limits_of(plan, control)
        self._control = control
        self._run = ZarnRun(
            plan,
            self._limit_for,
            workers or 0,
            max_workers,
            grace or 0.0,
            self._gates,
            self._control,
            False,
            self._clock,
            on_failure is not None,
            self.time_scale,
        )
        self._plan_size = len(self._run.actions)
        self._exception_parts = self._exceptions_of(plan, self._control)
        self._stop_handler = self._handler_plan(stop_handler)
        self.stop_handler_records = []

    @property
    def workers(self):
        """How many worker threads the run uses (it may grow for an
        exception part)."""
        return self._run.workers

    def stop(self, reason=None):
        """Stops the run from another thread (a stop button): the same path
        as a failure, and `run()` returns a report with status "stopped".
        With a `reason` (a text or an exception: why the run cannot go on,
        as a machine's lost controller), the run fails with it instead:
        status "failed", and the reason leads the report's."""
        if reason is not None and self._cause is None:
            self._cause = reason
        self._run.stop(False)

    # --- the operator

    def pause(self):
        """Pauses the run: nothing new starts, what runs finishes, the axes
        are not stopped; the parts' time limits stand still. False when it
        is paused or over already."""
        done = self._run.pause()
        if done:
            self._tell_pause("paused", "paused: nothing new starts")
        return done

    def resume(self):
        """Resumes a paused run; False when it is not paused (or a failure
        still waits for its choice)."""
        done = self._run.resume()
        if done:
            self._tell_pause("resumed", "resumed")
        return done

    def step(self):
        """Lets exactly one more action start, then the run is paused again
        (a run that runs is paused first)."""
        self._run.step()
        self._tell_pause("step", "one step")

    @property
    def paused(self):
        return self._run.paused

    def choose(self, step, choice, by="program"):
        """Answers the failure of `step` held for a choice: "retry", "skip"
        or "stop"; `by` names who chose (the report keeps it). False when
        the step waits for no choice."""
        if choice not in ("retry", "skip", "stop"):
            raise ValueError(f"a choice is 'retry', 'skip' or 'stop', not {choice!r}")
        event = self._asked.pop(step, None)
        if event is None:
            return False
        run = self._run
        if choice == "retry":
            fresh = run.actions[step].copy()
            if self.machine is not None:
                self._attach([fresh])
            run.replace_action(step, fresh)
        done = run.choose(step, choice)
        if not done:
            return False  # the run stopped meanwhile
        self.choices.append((step, event.action, event.error, choice, by))
        self._tell_pause(
            "choice", f"{choice} chosen ({by}) for #{step + 1} {event.description}"
        )
        return done

    @property
    def waiting_choices(self):
        """The failure events that wait for a choice, by step."""
        return dict(self._asked)

    def _tell_pause(self, kind, message):
        self._emit(
            RunEvent(
                kind=kind, time=self._machine_time(self._run.elapsed()), message=message
            )
        )

    def _ask(self, step):
        """A failure held for the operator: its axes are stopped, then the
        callback chooses, on a thread of its own, so that the run goes on
        being served meanwhile."""
        run = self._run
        self._cancel(step)
        action = run.actions[step]
        error = run.errors[step]
        if error is None:
            error = getattr(action, "error", None)
        event = RunEvent(
            kind="failure",
            time=self._machine_time(run.elapsed()),
            step=step,
            action=action,
            module=_module_name(action),
            operation=_operation(action),
            state=action.state,
            outcome="failed",
            error=error,
            message=f"#{step + 1} {_description(action)} failed"
            + (f": {type(error).__name__}: {error}" if error is not None else "")
            + "; the run is paused: retry, skip or stop?",
        )
        self._asked[step] = event
        self._emit(event)

        def answer():
            try:
                choice = self._on_failure(event)
            except Exception as error:  # noqa: BLE001 -- kept in the report
                # A chooser that breaks must not leave the run paused for ever.
                self._hook_errors.append(("on_failure", error))
                choice = "stop"
            if choice is None:
                return  # answered later through choose()
            if choice not in ("retry", "skip", "stop"):
                self._hook_errors.append(
                    (
                        "on_failure",
                        ValueError(f"{choice!r} is no choice; the run stops"),
                    )
                )
                choice = "stop"
            self.choose(step, choice, by="callback")

        threading.Thread(target=answer, name="zarn-choice", daemon=True).start()

    # --- machine time

    @staticmethod
    def _scale_of(machines):
        speeds = {
            float(getattr(machine, "speed", 1.0) or 1.0)
            for machine in machines
            if getattr(machine, "clock", None) is None
        }
        return speeds.pop() if len(speeds) == 1 else 1.0

    def _machine_time(self, seconds):
        return None if seconds is None else seconds * self.time_scale

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
        watching = self._watch_machines()
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
                watching.close()
                run.set_hooks(None, None)
                restore()
        if self._stop_handler is not None and run.stop_reason != "none":
            self._run_stop_handler(run)
        duration = run.elapsed()
        self.report = RunReport(self, started_at, duration)
        if left_early is not None and not isinstance(left_early, KeyboardInterrupt):
            raise left_early
        if left_early is not None or self.report.status == "interrupted":
            raise RunInterrupted(self.report) from left_early
        return self.report

    # --- the stop handler

    def _handler_plan(self, handler):
        if handler is None:
            return None
        plan = handler if hasattr(handler, "steps") else handler.run_plan()
        if self.machine is not None:
            attach((step.action for step in plan.steps), self.machine)
        return plan

    def _run_stop_handler(self, stopped):
        """Runs the stop handler once the run has come to rest: outputs may
        pass the closed gates while it runs, nothing else."""
        plan = self._stop_handler
        origin = stopped.elapsed()
        self._emit(
            RunEvent(
                kind="stop handler",
                time=self._machine_time(origin),
                message="the stop handler runs: outputs only, the axes stay stopped",
            )
        )
        handler = ZarnRun(
            plan,
            self._limit_for,
            0,
            MAX_WORKERS,
            DEFAULT_CANCEL_GRACE,
            [],
            self._controls.pop(id(plan), None) or control_table(plan),
            True,
            self._clock,
            False,
            self.time_scale,
        )

        def started(step, at):
            self._tell_handler("start", handler, step, self._machine_time(origin + at))

        def finished(step, succeeded, begun, at):
            outcome = "finished" if succeeded else "failed"
            self._tell_handler(
                "finish",
                handler,
                step,
                self._machine_time(origin + at),
                outcome,
                self._machine_time(at - begun),
            )

        if self._on_event is not None:
            handler.set_hooks(started, finished)
        for gate in self._gates:
            gate.outputs_through = True
        try:
            handler.start()
            while True:
                handler.wait()
                timed_out, cancel, _, _, _, done, _ = handler.take()
                for step in timed_out + cancel:
                    self._call_hook(
                        "cancel",
                        self._cancel_hook or self._default_cancel,
                        handler.actions[step],
                    )
                if done:
                    break
        finally:
            handler.join()
            handler.set_hooks(None, None)
            for gate in self._gates:
                gate.outputs_through = False
        kinds = handler.kinds
        for step, (status, *_rest) in enumerate(handler.records()):
            if kinds[step] == "action":
                self.stop_handler_records.append(
                    (handler.actions[step], status, handler.errors[step])
                )

    def _tell_handler(self, kind, handler, step, at, outcome=None, duration=None):
        if handler.kinds[step] != "action":
            return
        action = handler.actions[step]
        error = handler.errors[step] if outcome == "failed" else None
        label = kind if outcome is None else outcome
        self._emit(
            RunEvent(
                kind=kind,
                time=at,
                step=step,
                action=action,
                module=_module_name(action),
                operation=_operation(action),
                state=action.state,
                outcome=outcome,
                error=error,
                duration=duration,
                message=f"{label:<9} @{_module_name(action)} {_operation(action)}",
                stop_handler=True,
            )
        )

    # --- the controlling thread

    def _serve(self):
        run = self._run
        while True:
            run.wait()
            (
                timed_out,
                cancel,
                failed_guards,
                stopping,
                in_flight,
                finished,
                to_choose,
            ) = run.take()
            # Past its time limit, or in a failed attempt or time-limited
            # part: the action is cancelled (its axes stopped); the run goes on.
            for step in timed_out + cancel:
                self._cancel(step)
            for step in to_choose:
                self._ask(step)
            if stopping:
                self._stop_machine(in_flight)
            for guard in failed_guards:
                self._recover(guard)
            if finished:
                return

    @staticmethod
    def _clock_of(machines):
        """The simulated clock the run runs on: that of its machines when they
        run on one (an in-process controller's), else None (real time)."""
        clocks = [
            machine.clock
            for machine in machines
            if getattr(machine, "clock", None) is not None
        ]
        if clocks and len(clocks) != len(machines):
            raise ValueError(
                "a run's machines all run on simulated time or none does: "
                "one is on an in-process controller, another is not"
            )
        if len({id(getattr(m, "local", None)) for m in machines}) > 1 and clocks:
            raise ValueError(
                "a run on simulated time has one in-process controller for all its "
                "machines"
            )
        return clocks[0] if clocks else None

    def _watch_machines(self):
        """Starts watching the machines' controllers; returns what ends it.
        A watch that cannot start leaves the run unstarted."""
        watching = contextlib.ExitStack()
        with watching:
            for machine in self._plan_machines:
                watch = getattr(machine, "watch", None)
                if callable(watch):
                    watching.enter_context(watch(self.stop))
            return watching.pop_all()

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
                time=self._machine_time(run.elapsed()),
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
            return "stop requested" if self._cause is None else str(self._cause)
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
            control = self._controls.pop(id(plan), None) or control_table(plan)
            try:
                base = run.add_exception_part(guard, plan, control)
            except Exception as error:  # noqa: BLE001 -- as above
                self._part_errors[guard] = error
                run.exception_part_failed(guard)
                return
            if base < 0:
                return
            self._exception_parts.extend(self._exceptions_of(plan, control))
            self.part_limits.extend(self._limits_of(plan, control))
            assert len(self._exception_parts) == run.guard_count, "guards out of step"
            self._tell_recovery(guard, len(plan.steps))

    @staticmethod
    def _limits_of(plan, control):
        if control is None:
            return [None] * len(plan.guards)
        return [part.seconds for part in control.parts]

    @staticmethod
    def _exceptions_of(plan, control):
        """The exception part of each of a plan's parts, in the run's order
        (None for the parts of control constructs)."""
        if control is None:
            return [guard.exception for guard in plan.guards]
        return [part.exception for part in control.parts]

    def _tell_recovery(self, guard, part_size):
        run = self._run
        step, _ = run.guard_cause(guard)
        cause = run.actions[step] if step is not None else None
        shown = f"{_description(cause)} failed" if cause is not None else "a failure"
        self._emit_locked(
            RunEvent(
                kind="recover",
                time=self._machine_time(run.elapsed()),
                step=step,
                action=cause,
                module=_module_name(cause) if cause is not None else None,
                operation=_operation(cause) if cause is not None else None,
                error=run.errors[step] if step is not None else None,
                message=f"{shown} in a guarded part: running its exception part "
                f"({wording.counted(part_size, 'step')})",
            )
        )

    def _plan_of(self, exception):
        if exception is None:
            return _NoExceptionPart()
        built = self._part_plans.pop(id(exception), None)
        if built is not None:
            return built
        run_plan = getattr(exception, "run_plan", None)
        if not callable(run_plan):
            raise TypeError(
                f"a guarded part's exception part must be a block (or None), not {exception!r}"
            )
        return run_plan()

    def _attach(self, actions):
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
                time=self._machine_time(at),
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
            duration=self._machine_time(at - started),
        )
