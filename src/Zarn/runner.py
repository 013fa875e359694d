"""`zarn run`: runs a script on a controller, or on a simulated one.

Compiles the script, picks the machine configuration, starts a simulated
controller for the run unless a controller is named, and executes the
script through `Zarn.executor.Executor` on a `Zarn.machine.ClientMachine`
(on a `RecordingMachine` for a dry run). While it runs it shows one line per
action start and finish, or, on a terminal, a live view per machine module;
at the end the run's summary, and the reason on standard error when it did
not finish. docs/running.md describes it for users.
"""

from __future__ import annotations

import os
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path

from Zarn.cli import (
    CONFIG_VARIABLE,
    DEFAULT_CONFIG,
    EXAMPLE_CONFIG,
    compile_script,
    fail,
    find_script,
    unusable_ids,
)

# The simulated controller's pace when none is given: ten times real time,
# as for zarn demo, so that the example job takes seconds, not minutes.
DEFAULT_SPEED = 10.0
RESULT_PORTS = "5001 (results), 5002 (actions), 5003 (logger)"
# The logger datum a liveness check asks for: the slave status, which every
# controller keeps for every device.
SLAVE_STATUS = 0
# The simulated controller's answer to an absolute move of a drive not homed.
NOT_HOMED = -110


class RunError(Exception):
    """A run that cannot start; the message, a line per problem, is for the
    user."""


# --- what to run, and where ------------------------------------------------------------


def choose_config(given, controller):
    """(path, where it comes from) of the configuration a run uses: the one
    given, $ZARN_CONFIG, the machine's own at the default path, or, on the
    simulated controller only, the example machine's."""
    if given is not None:
        return Path(given), "given with --config"
    named = os.environ.get(CONFIG_VARIABLE)
    if named:
        return Path(named), f"from {CONFIG_VARIABLE}"
    if Path(DEFAULT_CONFIG).is_file():
        return Path(DEFAULT_CONFIG), "the machine's own, at the default path"
    if controller is None:
        return EXAMPLE_CONFIG, "the example machine's"
    raise RunError(
        f"no configuration at {DEFAULT_CONFIG}: name the machine's configuration "
        f"with --config FILE (or {CONFIG_VARIABLE}=FILE)"
    )


def script_modules(plan):
    """The machine modules the plan's actions belong to, in plan order."""
    found = {}
    for step in plan.steps:
        if step.kind != "action":
            continue
        module = getattr(step.action, "module", None)
        name = getattr(module, "name", None)
        if isinstance(name, str):
            found.setdefault(name, module)
    return found


def devices_of(modules):
    """[(module name, device, "drive" or "io")] that the modules drive: an
    axis' drive, an IO module's module, a handler's axes and gripper."""
    from Zarn._zarnmodule import Axis, Handler, IOModule

    used = []
    for name, module in modules.items():
        if isinstance(module, Axis):
            used.append((name, module.device, "drive"))
        elif isinstance(module, IOModule):
            used.append((name, module.device, "io"))
        elif isinstance(module, Handler):
            for role in ("x", "y", "z", "r"):
                axis = getattr(module, role)
                if axis is not None:
                    used.append(
                        (f"{name}'s {role} ({axis.name})", axis.device, "drive")
                    )
            used.append((f"{name}'s gripper", module.gripper.device, "io"))
    return used


def device_problems(client, used, config):
    """What stops the modules from working on the configured machine: a
    device it lacks, or one of another kind."""
    problems = []
    for name, device, kind in used:
        data = client.getMorvoDict(device)
        if not data:
            problems.append(
                f"@{name} drives device {device}, which configuration {config} lacks"
            )
        elif client.check_io_helper(data) != (kind == "io"):
            wanted = "an IO module" if kind == "io" else "a drive"
            problems.append(
                f"@{name} needs {wanted} on device {device}, which configuration "
                f"{config} declares as {'a drive' if kind == 'io' else 'an IO module'}"
            )
    return problems


def axis_names(modules):
    """{device: "@x"} of the axes among the modules (a handler's too)."""
    from Zarn._zarnmodule import Axis, Handler

    names = {}
    for module in modules.values():
        axes = [module] if isinstance(module, Axis) else []
        if isinstance(module, Handler):
            axes = [
                a for a in (module.x, module.y, module.z, module.r) if a is not None
            ]
        for axis in axes:
            names.setdefault(axis.device, f"@{axis.name}")
    return names


# --- showing the run -----------------------------------------------------------------


def event_line(event, width=8):
    """One line for a run event: time, step, module, operation, result."""
    at = f"{event.time:9.3f}s"
    if event.kind not in ("start", "finish"):
        return f"{at}  {event.kind}: {event.message}"
    if event.kind == "start":
        label, detail = "start", event.description
    else:
        label = event.outcome
        detail = f"in {event.duration:.3f} s"
        if event.error is not None:
            detail += f": {type(event.error).__name__}: {event.error}"
    return (
        f"{at}  #{event.step + 1:<4} {'@' + event.module:<{width + 1}} "
        f"{event.operation:<9} {label:<9} {detail}"
    )


class PlainLines:
    """One line per action start and finish, for logs and pipes."""

    def __init__(self, modules, out):
        self.out = out
        self.width = max((len(name) for name in modules), default=8)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def on_event(self, event):
        print(event_line(event, self.width), file=self.out, flush=True)


class _ModuleProgress:
    __slots__ = ("done", "failed", "running", "total")

    def __init__(self, total):
        self.total = total
        self.done = 0
        self.failed = 0
        self.running = {}  # step: what it does


class LiveView:
    """A view that redraws itself on a terminal: one row per machine module
    with its progress and what it does now; failures and the run's turns
    are printed above it as they happen."""

    def __init__(self, plan, out):
        from rich.console import Console
        from rich.live import Live

        self.console = Console(file=out)
        self.modules = {}
        for step in plan.steps:
            if step.kind == "action":
                name = getattr(getattr(step.action, "module", None), "name", "?")
                self.modules.setdefault(name, _ModuleProgress(0)).total += 1
        self.width = max((len(name) for name in self.modules), default=8)
        self._lock = threading.Lock()
        self._started = time.monotonic()
        self._live = Live(
            self, console=self.console, refresh_per_second=8, redirect_stderr=False
        )

    def __enter__(self):
        self._started = time.monotonic()
        self._live.start()
        return self

    def __exit__(self, *exc):
        self._live.stop()
        return False

    def on_event(self, event):
        if event.kind in ("start", "finish"):
            with self._lock:
                progress = self.modules.get(event.module)
                if progress is None:  # an exception part's module
                    progress = self.modules[event.module] = _ModuleProgress(0)
                if event.kind == "start":
                    progress.running[event.step] = event.description
                    if event.exception_part:
                        progress.total += 1
                else:
                    progress.running.pop(event.step, None)
                    progress.done += 1
                    if event.outcome != "finished":
                        progress.failed += 1
            if event.kind == "start" or event.outcome == "finished":
                return
        style = "red" if event.kind in ("finish", "stop") else "yellow"
        self._live.console.print(event_line(event, self.width), style=style)

    def __rich__(self):
        from rich import box
        from rich.progress_bar import ProgressBar
        from rich.table import Table

        with self._lock:
            rows = [
                (name, p.total, p.done, p.failed, list(p.running.values()))
                for name, p in self.modules.items()
            ]
        done = sum(row[2] for row in rows)
        total = sum(row[1] for row in rows)
        failed = sum(row[3] for row in rows)
        elapsed = time.monotonic() - self._started
        table = Table(
            box=box.SIMPLE,
            title=f"{elapsed:6.1f} s   {done} of {total} actions done"
            + (f", {failed} failed" if failed else ""),
            title_justify="left",
        )
        table.add_column("module")
        table.add_column("progress")
        table.add_column("done", justify="right")
        table.add_column("now")
        for name, module_total, module_done, module_failed, running in rows:
            count = f"{module_done}/{module_total}"
            if module_failed:
                count += f" ({module_failed} failed)"
            now = "; ".join(running) or ("done" if module_done >= module_total else "-")
            table.add_row(
                f"@{name}",
                ProgressBar(
                    total=max(module_total, 1), completed=module_done, width=24
                ),
                count,
                now,
            )
        return table


def make_view(plan, modules, out, plain):
    if not plain and _is_terminal(out):
        try:
            return LiveView(plan, out)
        except ImportError:  # no rich in this environment: lines will do
            pass
    return PlainLines(modules, out)


def _is_terminal(out):
    isatty = getattr(out, "isatty", None)
    return bool(isatty and isatty()) and os.environ.get("TERM") != "dumb"


# --- the timeline picture ------------------------------------------------------------


def timeline_writer(target):
    """A function that writes a run's timeline to `target`, checked before
    the run so that a machine job never runs for a picture that cannot be
    drawn."""
    path = Path(target)
    if not path.parent.is_dir():
        raise RunError(f"--timeline {target}: there is no folder {path.parent}")
    try:
        from Zarn.pictures import timeline_svg
    except ImportError as error:
        raise RunError(
            f"--timeline needs the pictures module Zarn.pictures, which this "
            f"installation cannot import ({error})"
        ) from None

    def write(report):
        path.write_text(timeline_svg(report), encoding="utf-8")

    return write


# --- the run ---------------------------------------------------------------------------


class Run:
    """One `zarn run`: what it runs, with which options, and where it prints."""

    def __init__(self, args, out=None):
        self.args = args
        self.out = out if out is not None else sys.stdout

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def main(self):
        args = self.args
        script = find_script(args.script)
        write_timeline = timeline_writer(args.timeline) if args.timeline else None
        main = compile_script(script, args.modules)
        if main is None:
            return 1
        plan = main.run_plan()
        modules = script_modules(plan)
        actions = sum(1 for step in plan.steps if step.kind == "action")
        shown = ", ".join(f"@{name}" for name in modules) or "none"
        self.say(f"Script {script}: {actions} actions on the modules {shown}")

        if args.dry_run:
            from Zarn.machine import RecordingMachine

            self.say("Dry run: nothing is sent; every command is shown as 'would ...'")
            machine = RecordingMachine(out=self.out)
            view = PlainLines(modules, self.out)
            return self.execute(plan, machine, view, write_timeline)

        config, origin = choose_config(args.config, args.controller)
        if not config.is_file():
            raise RunError(f"no configuration file at {config} ({origin})")
        with tempfile.TemporaryDirectory(prefix="zarn-run-") as scratch:
            client_config = Path(scratch) / config.name
            if args.controller is not None:
                from Zarn.sim import config_with_address

                config_with_address(config, args.controller, client_config)
                self.say(
                    f"Controller: {args.controller}, ports {RESULT_PORTS}; "
                    f"configuration {config} ({origin})"
                )
                # A controller named runs in real time, unless it is a
                # simulated one of the user's own (zarn sim --speed F).
                speed = self.args.speed if self.args.speed is not None else 1.0
                return self.on_controller(
                    plan, modules, client_config, config, speed, write_timeline
                )
            return self.on_simulator(
                plan, modules, config, origin, client_config, write_timeline
            )

    def on_simulator(
        self, plan, modules, config, origin, client_config, write_timeline
    ):
        from Zarn.sim import SimulatedController, SimulatorError

        speed = self.args.speed if self.args.speed is not None else DEFAULT_SPEED
        try:
            with SimulatedController(config, speed=speed, new_session=True) as sim:
                sim.client_config(client_config)
                self.say(
                    f"Controller: a simulated controller at {sim.address}, ports "
                    f"{RESULT_PORTS}, {speed:g} times real time; configuration "
                    f"{config} ({origin})"
                )
                code = self.on_controller(
                    plan, modules, client_config, config, speed, write_timeline
                )
        except SimulatorError as error:
            raise RunError(f"the simulated controller: {error}") from None
        self.say("Simulated controller stopped.")
        return code

    def on_controller(
        self, plan, modules, client_config, config, speed, write_timeline
    ):
        from Zarn.machine import ClientMachine
        from Zarn.morvo_client import MorvoClient

        try:
            client = MorvoClient(str(client_config))
        except (KeyError, TypeError, ValueError) as error:
            raise RunError(f"cannot use configuration {config}: {error}") from None
        used = devices_of(modules)
        problems = unusable_ids(client) + device_problems(client, used, config)
        if problems:
            raise RunError("\n".join(problems))
        timeout = self.args.action_timeout
        client.result_timeout = timeout if timeout else None
        if used and not isinstance(client.get_logger(used[0][1], SLAVE_STATUS), str):
            raise RunError(
                f"no controller answers at {client.server_address} (logger port "
                f"{client.logger_req_port})"
            )
        machine = ClientMachine(client, speed=speed, device_names=axis_names(modules))
        view = make_view(plan, modules, self.out, self.args.plain)
        return self.execute(plan, machine, view, write_timeline)

    def execute(self, plan, machine, view, write_timeline):
        from Zarn.executor import Executor, RunInterrupted

        timeout = self.args.action_timeout
        executor = Executor(
            plan, machine=machine, on_event=view.on_event, action_timeout=timeout
        )
        with view:
            try:
                report = executor.run()
            except RunInterrupted as interrupted:
                report = interrupted.report
        self.say()
        self.say(report.summary())
        code = report.exit_code
        if write_timeline is not None:
            try:
                write_timeline(report)
            except OSError as error:
                fail(f"cannot write the timeline: {error}")
                code = code or 1
            else:
                self.say(f"Timeline written to {self.args.timeline}")
        if report.status == "failed":
            fail(f"the run failed: {report.reason}")
            if self.args.controller is None and any(
                record.result == NOT_HOMED for record in report.failures
            ):
                fail(
                    "the simulated controller starts with its drives unhomed, as a "
                    "machine does when it is switched on: home them at the start of "
                    "the script (as examples/home_all.zarn does), or keep one "
                    "simulated controller running (zarn sim --config FILE &) and run "
                    "home_all and then this script on it with --controller localhost"
                )
        elif not report.ok:
            fail(report.reason)
        return code


# Signals that end the process (a `kill`, a terminal closing) are taken as a
# Ctrl-C while zarn run runs, so that the run stops its axes the same way and
# the simulated controller, in a session of its own, is stopped too.
ENDING_SIGNALS = ("SIGTERM", "SIGHUP")


def _as_ctrl_c(signum, frame):
    os.kill(os.getpid(), signal.SIGINT)


def _take_ending_signals():
    """Turns the ending signals into Ctrl-C; returns what undoes it."""
    # Where Ctrl-C itself is ignored (a job started in the background) the
    # signals keep their own effect.
    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is signal.SIG_IGN
    ):
        return lambda: None
    previous = {}
    for name in ENDING_SIGNALS:
        number = getattr(signal, name, None)
        if number is not None and signal.getsignal(number) is signal.SIG_DFL:
            previous[number] = signal.signal(number, _as_ctrl_c)

    def restore():
        for number, handler in previous.items():
            signal.signal(number, handler)

    return restore


def run_command(args):
    """`zarn run`: the process' exit status."""
    restore = _take_ending_signals()
    try:
        return _run_command(args)
    finally:
        restore()


def _run_command(args):
    if args.controller is not None and not args.controller.strip():
        fail("--controller needs a host name or address")
        return 2
    try:
        return Run(args).main()
    except RunError as error:
        for line in str(error).splitlines():
            fail(line)
        return 1
    except KeyboardInterrupt:
        fail("interrupted")
        return 130
