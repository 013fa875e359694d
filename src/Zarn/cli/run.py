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

from Zarn.cli.common import (
    compile_script,
    fail,
    find_script,
    loopback_address,
    seconds,
    speed_factor,
    unusable_ids,
)
from Zarn.cli.run_view import (
    CHOICE_KEYS,
    RUN_KEYS,
    LinePrompt,
    NoView,
    PlainLines,
    live_view_keys,
    make_view,
)
from Zarn.configuration import CONFIG_VARIABLE, DEFAULT_CONFIG, choose_config
from Zarn.errors import RunError, RunInterrupted, SimulatorError
from Zarn.estimate import estimating_machine
from Zarn.executor import Executor
from Zarn.lang.control import script_actions
from Zarn.machine import SLAVE_STATUS, ClientMachine, RecordingMachine
from Zarn.machine_modules.axis import Axis
from Zarn.machine_modules.handler import Handler
from Zarn.machine_modules.io_module import IOModule
from Zarn.morvo_client import MorvoClient
from Zarn.sim import SimulatedController, config_with_address
from Zarn.wording import counted

# The simulated controller's pace when none is given: ten times real time,
# as for zarn demo, so that the example job takes seconds, not minutes.
DEFAULT_SPEED = 10.0
RESULT_PORTS = "5001 (results), 5002 (actions), 5003 (logger)"
# The simulated controller's answer to an absolute move of a drive not homed.
NOT_HOMED = -110
STEP_NEEDS_KEYS = (
    "--step is stepped with the live view's keys: run it on a terminal (standard "
    "input and output), without --plain or --dry-run"
)


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
    run = commands.add_parser(
        "run",
        help="run a script on the machine, or on a simulated controller",
        description="Compiles a script and runs it: on a simulated controller of "
        "the configuration's machine (started for the run on a free loopback "
        "address) unless --controller names one. Shows each action's start and "
        "finish, and a summary at the end; exit status 0 when every action "
        "finished (or its failure was handled by a guarded part), 1 when the run "
        "failed, 130 after Ctrl-C.",
    )
    run.add_argument(
        "script",
        help="the script file (.zarn), or the bare name of an example installed "
        "with the package (pick_and_place)",
    )
    run.add_argument(
        "--modules",
        metavar="FILE",
        help="the machine modules file (default: the modules.py beside the script)",
    )
    run.add_argument(
        "--config",
        metavar="FILE",
        help=f"the machine configuration (default: ${CONFIG_VARIABLE}, else "
        f"{DEFAULT_CONFIG} when it exists, else, on the simulated controller, "
        "the example machine installed with the package)",
    )
    run.add_argument(
        "--controller",
        metavar="HOST",
        help="the controller service's host; its address wins over the "
        "configuration's server_address (default: a simulated controller)",
    )
    run.add_argument(
        "--speed",
        type=speed_factor,
        metavar="F",
        help="simulated seconds per real second of the simulated controller "
        "(default 10); with --controller, the pace of that controller when it is "
        "a simulated one of your own (zarn sim --speed F), so that the script's "
        "waits keep step (default 1)",
    )
    run.add_argument(
        "--dry-run",
        action="store_true",
        help="execute nothing: show each command the run would send",
    )
    run.add_argument(
        "--estimate",
        action="store_true",
        help="estimate the run's machine time: run it in this process against the "
        "simulated machine of the configuration on simulated time, with no "
        "controller and no waiting; ends with the summary in machine seconds",
    )
    run.add_argument(
        "--input",
        nargs=3,
        type=int,
        action="append",
        metavar=("DEVICE", "PIN", "VALUE"),
        help="with --estimate: input PIN of IO module DEVICE is set to VALUE (0 or "
        "1) before the run, as zarn sim's input command sets it; with --dry-run: "
        "it reads VALUE where a condition reads it, every other input 0 "
        "(repeatable)",
    )
    run.add_argument(
        "--timeline",
        metavar="FILE.svg",
        help="after the run, draw it to FILE.svg: one lane per machine module, "
        "one bar per action",
    )
    run.add_argument(
        "--action-timeout",
        type=seconds,
        default=60.0,
        metavar="S",
        help="seconds an action may take before it fails and is cancelled, "
        "beyond what it waits by design (default 60; 0: no limit)",
    )
    run.add_argument(
        "--plain",
        action="store_true",
        help="one line per action start and finish also on a terminal, instead "
        f"of the live view (whose keys: {RUN_KEYS})",
    )
    run.add_argument(
        "--step",
        action="store_true",
        help="start paused, before the first action: in the live view s lets "
        "one action start, space resumes (needs a terminal, without --plain)",
    )
    run.add_argument(
        "--on-failure",
        choices=("stop", "ask"),
        default="stop",
        help="at a failure outside every guarded part: stop the run (default), "
        "or stop the failed action's axes, pause and ask: in the live view the "
        f"keys {CHOICE_KEYS}, else a line on standard input (r, k or s; its end "
        "stops)",
    )
    run.add_argument(
        "--sim-address",
        type=loopback_address,
        metavar="127.X.Y.Z",
        help="the loopback address the simulated controller started for the run "
        "listens on (default: a free one picked at random)",
    )
    run.set_defaults(handler=command)


# --- what to run, and where ------------------------------------------------------------


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


# --- the timeline picture ------------------------------------------------------------


def timeline_writer(target, script):
    """A function that writes a run's timeline to `target`, titled with the
    script's name, checked before the run so that a machine job never runs
    for a picture that cannot be drawn."""
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
        path.write_text(timeline_svg(report, title=Path(script).name), encoding="utf-8")

    return write


# --- the run ---------------------------------------------------------------------------


class Run:
    """One `zarn run`: what it runs, with which options, and where it prints."""

    def __init__(self, args, out=None):
        self.args = args
        self.out = out if out is not None else sys.stdout
        self.compiled = None

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def main(self):
        args = self.args
        script = find_script(args.script)
        write_timeline = (
            timeline_writer(args.timeline, script) if args.timeline else None
        )
        compiled = compile_script(script, args.modules)
        if compiled is None:
            return 1
        self.compiled = compiled
        plan = compiled.plan
        modules = script_modules(plan)
        actions = counted(script_actions(plan), "action")
        shown = ", ".join(f"@{name}" for name in modules) or "none"
        self.say(f"Script {script}: {actions} on the modules {shown}")

        if args.estimate:
            return self.estimate(plan, modules, write_timeline)
        if args.step and (args.dry_run or not live_view_keys(self.out, args.plain)):
            raise RunError(STEP_NEEDS_KEYS)
        if args.dry_run:
            self.say("Dry run: nothing is sent; every command is shown as 'would ...'")
            inputs = {(device, pin): value for device, pin, value in args.input or ()}
            machine = RecordingMachine(out=self.out, inputs=inputs)
            view = PlainLines(modules, self.out)
            return self.execute(plan, machine, view, write_timeline)

        config, origin = choose_config(args.config, args.controller)
        if not config.is_file():
            raise RunError(f"no configuration file at {config} ({origin})")
        with tempfile.TemporaryDirectory(prefix="zarn-run-") as scratch:
            client_config = Path(scratch) / config.name
            if args.controller is not None:
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

    def estimate(self, plan, modules, write_timeline):
        config, origin = choose_config(self.args.config, None)
        if not config.is_file():
            raise RunError(f"no configuration file at {config} ({origin})")
        try:
            machine = estimating_machine(
                config, self.args.input or (), device_names=axis_names(modules)
            )
        except (KeyError, TypeError, ValueError) as error:
            raise RunError(f"cannot use configuration {config}: {error}") from None
        self.say(
            f"Estimate: on the simulated machine of configuration {config} "
            f"({origin}), in this process, on simulated time"
        )
        began = time.perf_counter()
        code = self.execute(plan, machine, NoView(), write_timeline)
        self.say(f"Estimated in {time.perf_counter() - began:.3f} s of wall time.")
        return code

    def on_simulator(
        self, plan, modules, config, origin, client_config, write_timeline
    ):
        speed = self.args.speed if self.args.speed is not None else DEFAULT_SPEED
        try:
            with SimulatedController(
                config, address=self.args.sim_address, speed=speed, new_session=True
            ) as sim:
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
        filename = getattr(self.compiled, "filename", None)
        view = make_view(plan, modules, self.out, self.args.plain, filename)
        return self.execute(plan, machine, view, write_timeline)

    def execute(self, plan, machine, view, write_timeline):
        args = self.args
        if args.step and not view.keys:
            raise RunError(STEP_NEEDS_KEYS)
        # The compiled script hands over the plans it built (main's and its
        # exception parts'), so none is built twice.
        compiled = self.compiled
        asker = None
        if args.on_failure == "ask":
            asker = view if view.keys else LinePrompt()
        executor = Executor(
            compiled if compiled is not None and compiled.plan is plan else plan,
            machine=machine,
            on_event=view.on_event,
            action_timeout=args.action_timeout,
            on_failure=asker.on_failure if asker is not None else None,
        )
        view.attach(executor)
        if asker is not None:
            asker.attach(executor)
        if args.step:
            executor.pause()  # before the first action: the operator steps
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


def command(args):
    """`zarn run`: the process' exit status."""
    restore = _take_ending_signals()
    try:
        return _run_command(args)
    finally:
        restore()


def _refused(args):
    """What the options given ask that cannot be done together, or None."""
    if args.controller is not None and not args.controller.strip():
        return "--controller needs a host name or address"
    if args.sim_address is not None:
        for other, given in (
            ("--controller", args.controller is not None),
            ("--dry-run", args.dry_run),
            ("--estimate", args.estimate),
        ):
            if given:
                return (
                    "--sim-address is the address of the simulated controller "
                    f"zarn run starts; with {other} none is started"
                )
    if args.estimate and (args.step or args.on_failure == "ask"):
        return (
            "--estimate runs on simulated time with nobody at the machine: "
            "--step and --on-failure ask need a run on a controller or a dry run"
        )
    return None


def _run_command(args):
    refused = _refused(args)
    if refused is not None:
        fail(refused)
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
