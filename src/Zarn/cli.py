"""The `zarn` command line."""

import argparse
import os
import sys
import tempfile
from pathlib import Path

import Zarn

DEFAULT_CONFIG = "/opt/kvt/configs/handler_settings.yaml"
EXAMPLES = Path(Zarn.__file__).parent / "examples"
EXAMPLE_CONFIG = EXAMPLES / "handler_settings.yaml"
# Names the configuration the programs use when none is given; MorvoClient
# itself keeps its own default.
CONFIG_VARIABLE = "ZARN_CONFIG"


def configured_path():
    """The configuration file named by ZARN_CONFIG, else the default path."""
    return os.environ.get(CONFIG_VARIABLE) or DEFAULT_CONFIG


def find_devices(tree, path=(), where=""):
    """Yields (section path, place, device entry) for every map with a MorvoID,
    in document order; entries beneath a device are not devices of their own.
    The place names list positions too, as in kvt_handler/Festo[1]."""
    if isinstance(tree, dict):
        if "MorvoID" in tree:
            yield path, where or "the top of the document", tree
            return
        for key, value in tree.items():
            inner = f"{where}/{key}" if where else str(key)
            yield from find_devices(value, (*path, str(key)), inner)
    elif isinstance(tree, list):
        for position, item in enumerate(tree):
            yield from find_devices(item, path, f"{where}[{position}]")


def unusable_ids(client):
    """One message per MorvoID that no device lookup could match: the client
    compares ids as integers, so such an entry would make every lookup fail."""
    problems = []
    for _, where, entry in find_devices(client.config_data):
        try:
            int(entry["MorvoID"])  # the client's own conversion
        except (TypeError, ValueError, ArithmeticError) as error:
            problems.append(
                f"MorvoID {entry['MorvoID']!r} at {where} is not an integer ({error})"
            )
    return problems


def fail(message):
    print(f"zarn: {message}", file=sys.stderr)


def describe_machine(config_path, out=print, shown_as=None):
    """Prints what the client reads from a configuration file (named
    `shown_as` in the heading when given). Returns the client, or None when
    the file cannot be used (the reasons go to standard error)."""
    from Zarn.morvo_client import MorvoClient

    try:
        client = MorvoClient(str(config_path))
    except (KeyError, TypeError, ValueError) as error:
        fail(f"cannot use configuration {config_path}: {error}")
        return None
    problems = unusable_ids(client)
    if problems:
        for problem in problems:
            fail(f"cannot use configuration {config_path}: {problem}")
        return None

    out(f"Configuration {shown_as or config_path}")
    out(
        f"  controller service at {client.server_address}, ports "
        f"{client.action_dequeue_sub_port} (results), {client.action_enqueue_req_port} "
        f"(actions), {client.logger_req_port} (logger)"
    )
    modules = client.config_data["kvt_handler"]["IOModule"]["Modules"]
    out(
        f"  IO image: {client.input_start_byte[-1]} input bytes, "
        f"{client.output_start_byte[-1]} output bytes"
    )
    for module in sorted(modules, key=lambda m: m["Slot"]):
        slot = module["Slot"]
        index = slot - 1 if isinstance(slot, int) else None
        inputs = client.input_start_byte[index] if index is not None else "?"
        outputs = client.output_start_byte[index] if index is not None else "?"
        out(f"    slot {slot}: inputs from byte {inputs}, outputs from byte {outputs}")
    out("  devices:")
    for path, _, entry in find_devices(client.config_data):
        name = entry.get("Name", "")
        out(f"    {entry['MorvoID']!s:>4}  {'/'.join(path):<28} {name}")
    return client


def _cmd_config(args):
    path = args.path if args.path is not None else configured_path()
    if describe_machine(path) is not None:
        return 0
    if args.path is None and not Path(path).exists():
        where = (
            f"{CONFIG_VARIABLE} ({path})"
            if os.environ.get(CONFIG_VARIABLE)
            else "the default path"
        )
        fail(
            f"no configuration at {where}; name one with `zarn config PATH` or "
            f"{CONFIG_VARIABLE}=PATH, for example the example machine installed with "
            f"the package:\n  zarn config {EXAMPLE_CONFIG}"
        )
    return 1


# Simulated seconds per real second of `zarn demo`: the moves are quick, and
# the sequence's own pauses (2 s in every blocking motor command, two sleeps
# of 1 s) set its pace.
DEMO_SPEED = 10.0
# What the client answers instead of a result when it could not do a command.
FAILURE_RESULTS = (-2, -3)


def demonstration_failures(shown):
    """The printed results of the demonstration sequence that show it did not
    go through: a command whose result is not 1, a reading that failed."""
    failures = []
    for label, result in shown:
        command = label.startswith("result of ")
        if (command and result != 1) or (
            not command and isinstance(result, int) and result in FAILURE_RESULTS
        ):
            failures.append(f"{label}{result}")
    return failures


def _run_machine_demo(speed, verbose):
    from Zarn.morvo_client.__main__ import run_demonstration
    from Zarn.sim import SimulatedController, SimulatorError

    with tempfile.TemporaryDirectory(prefix="zarn-demo-") as scratch:
        try:
            with SimulatedController(
                EXAMPLE_CONFIG, speed=speed, verbose=verbose
            ) as simulator:
                config = simulator.client_config(
                    Path(scratch) / "handler_settings.yaml"
                )
                print(
                    "Started a simulated controller of the example machine, "
                    f"{speed:g} times real time"
                )
                client = describe_machine(
                    config, shown_as=f"{EXAMPLE_CONFIG}, at the simulator's address"
                )
                if client is None:
                    return 1
                print()
                shown = run_demonstration(client)
        except SimulatorError as error:
            fail(f"the simulated controller: {error}")
            return 1
    print("Simulated controller stopped.")
    failures = demonstration_failures(shown)
    if failures:
        fail("the demonstration did not go through: " + "; ".join(failures))
        return 1
    return 0


def _cmd_demo(args):
    if not args.actions:
        try:
            return _run_machine_demo(args.speed, args.verbose)
        except KeyboardInterrupt:
            return 130

    from Zarn import demo

    if describe_machine(EXAMPLE_CONFIG) is None:
        return 1
    print()
    try:
        demo.run_sequence()
    except RuntimeError as error:
        fail(error)
        return 1
    return 0


def _marker_text(step):
    """(module, operation, text) of a group's marker step."""
    action = step.action
    competition = action.competition
    if competition is None:
        if step.kind == "start":
            return "-", "begin", "a parallel group begins: its branches start together"
        return "-", "end", "the parallel group ends: every branch has finished"
    module = f"@{competition.module_name}"
    if step.kind == "start":
        return module, "begin", f"a competing group for {module} begins"
    if step.kind == "join":
        return module, "end", f"the competing group for {module} ends: every branch ran"
    number = action.branch + 1
    if step.kind == "turn":
        priority = competition.priorities[action.branch]
        level = (
            getattr(priority, "name", "NORMAL") if priority is not None else "NORMAL"
        )
        return (
            module,
            "turn",
            f"branch {number} ({level}) waits for its turn on {module}",
        )
    return module, "release", f"branch {number} hands {module} on"


def plan_lines(plan):
    """The lines `zarn check` prints for a run plan: one per step, with its
    module, its operation, the steps it waits for (numbered from 1) and what
    it does; then the guarded parts."""
    rows = []
    for step in plan.steps:
        action = step.action
        if step.kind != "action":
            module, operation, text = _marker_text(step)
        else:
            name = getattr(getattr(action, "module", None), "name", None)
            module = "-" if name is None else f"@{name}"
            operation = str(getattr(action, "operation", type(action).__name__))
            describe = getattr(action, "describe", None)
            text = describe() if callable(describe) else repr(action)
        if step.guard is not None:
            text += f"  [guarded part {step.guard + 1}]"
        waits = ", ".join(str(index + 1) for index in step.waits) or "-"
        rows.append((str(step.index + 1), module, operation, waits, text))
    header = ("step", "module", "operation", "waits for", "action")
    widths = [max(len(row[k]) for row in [header, *rows]) for k in range(4)]
    lines = []
    for row in [header, *rows]:
        cells = [row[0].rjust(widths[0])]
        cells += [row[k].ljust(widths[k]) for k in (1, 2, 3)]
        lines.append("  ".join(cells + [row[4]]).rstrip())
    for number, part in enumerate(plan.guards, 1):
        steps = ", ".join(str(index + 1) for index in part.steps)
        lines.append(
            f"guarded part {number}: steps {steps}; when one fails: {part.exception!r}"
        )
    return lines


def find_script(text):
    """The script file: the path given, or else an example installed with the
    package named by its bare name (`pick_and_place`, `pick_and_place.zarn`)."""
    path = Path(text)
    if path.exists() or path.parent != Path("."):
        return path
    for candidate in (EXAMPLES / text, EXAMPLES / f"{text}.zarn"):
        if candidate.is_file():
            return candidate
    return path


def compile_script(script, modules):
    """The script's main block, or None once standard error says why it
    cannot be had."""
    from Zarn.compiling import compile
    from Zarn.errors import ZarnCompileError, ZarnSyntaxError

    try:
        return compile(script, modules=modules)
    except (ZarnSyntaxError, ZarnCompileError) as error:
        print(error, file=sys.stderr)
    except FileNotFoundError as error:
        fail(error)
        if not script.exists():
            fail(
                f"the example scripts installed with the package are in {EXAMPLES}; "
                f"their bare names (pick_and_place) will do"
            )
    except (OSError, ImportError) as error:
        fail(error)
    return None


def _cmd_check(args):
    script = find_script(args.script)
    main = compile_script(script, args.modules)
    if main is None:
        return 1
    plan = main.run_plan()
    actions = sum(1 for step in plan.steps if step.kind == "action")
    print(
        f"{script}: 'main' compiles to {actions} actions "
        f"({len(plan.steps)} steps with the groups' markers)"
    )
    for line in plan_lines(plan):
        print(line)
    return 0


# What `zarn graph` writes, by the output file's suffix.
GRAPH_FORMATS = {".svg": "svg", ".dot": "dot", ".gv": "dot"}


def _cmd_graph(args):
    from Zarn import pictures

    output = Path(args.output) if args.output is not None else None
    kind = "dot" if output is None else GRAPH_FORMATS.get(output.suffix.lower())
    if kind is None:
        fail(
            f"cannot tell what to write to {output}: name a .svg file for the "
            "picture or a .dot file for the DOT text"
        )
        return 2
    script = find_script(args.script)
    main = compile_script(script, args.modules)
    if main is None:
        return 1
    title = script.name
    try:
        if kind == "svg":
            text = pictures.graph_svg(main, title=title)
        else:
            text = pictures.graph_dot(main, title=title)
    except pictures.GraphvizError as error:
        fail(f"{error}; or write the DOT text with -o {output.with_suffix('.dot')}")
        return 1
    if output is None:
        sys.stdout.write(text)
        return 0
    try:
        output.write_text(text, encoding="utf-8")
    except OSError as error:
        fail(f"cannot write {output}: {error}")
        return 1
    print(f"wrote the action graph of 'main' in {script} to {output}")
    return 0


def _cmd_run(args):
    from Zarn.runner import run_command

    return run_command(args)


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(
            f"a time is a number of seconds from 0 up, not {text!r}"
        )
    return value


def speed_factor(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(
            f"a speed factor is a number above 0, not {text!r}"
        )
    return value


def _cmd_sim(arguments):
    from Zarn import sim

    configured = os.environ.get(CONFIG_VARIABLE)
    if configured:
        # In front, so that a --config of the user's own comes later and wins.
        arguments = ["--config", configured, *arguments]
    return sim.run_program(arguments)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["sim"]:
        # Every option after "sim" is the simulator program's own.
        return _cmd_sim(argv[1:])
    parser = argparse.ArgumentParser(
        prog="zarn",
        description="Runtime of the ZARN handling-machine scripting language.",
    )
    parser.add_argument(
        "--version", action="version", version=f"zarn {Zarn.__version__}"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser(
        "demo",
        help="run the client's demonstration sequence against a simulated "
        "controller of the example machine",
        description="Starts a simulated controller of the example machine on a "
        "free loopback address, runs the client's demonstration sequence (the one "
        "python -m Zarn.morvo_client runs) against it, and stops it.",
    )
    demo.add_argument(
        "--speed",
        type=speed_factor,
        default=DEMO_SPEED,
        metavar="F",
        help=f"simulated seconds per real second (default {DEMO_SPEED:g})",
    )
    demo.add_argument(
        "--verbose",
        action="store_true",
        help="print the simulated controller's log as it goes",
    )
    demo.add_argument(
        "--actions",
        action="store_true",
        help="instead, run a pick-and-place sequence of actions on threads of "
        "their own, with no controller",
    )
    demo.set_defaults(handler=_cmd_demo)

    config = commands.add_parser(
        "config",
        help="show the controller address, IO image and devices of a configuration",
    )
    config.add_argument(
        "path",
        nargs="?",
        help=f"configuration file (default: ${CONFIG_VARIABLE}, else {DEFAULT_CONFIG})",
    )
    config.set_defaults(handler=_cmd_config)

    check = commands.add_parser(
        "check",
        help="compile a script and show its actions, each with what it waits for",
    )
    check.add_argument("script", help="the script file (.zarn)")
    check.add_argument(
        "--modules",
        metavar="FILE",
        help="the machine modules file (default: the modules.py beside the script)",
    )
    check.set_defaults(handler=_cmd_check)

    graph = commands.add_parser(
        "graph",
        help="draw a script's compiled action graph (SVG, laid out by Graphviz, "
        "or DOT text)",
        description="Compiles a script and draws its action graph: the actions "
        "grouped by machine module, and what each waits for.",
    )
    graph.add_argument(
        "script",
        help="the script file (.zarn), or the bare name of an example installed "
        "with the package (pick_and_place)",
    )
    graph.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="FILE.svg for the picture (needs Graphviz's dot), FILE.dot for the "
        "DOT text (default: the DOT text on standard output)",
    )
    graph.add_argument(
        "--modules",
        metavar="FILE",
        help="the machine modules file (default: the modules.py beside the script)",
    )
    graph.set_defaults(handler=_cmd_graph)

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
        "of the live view",
    )
    run.set_defaults(handler=_cmd_run)

    commands.add_parser(
        "sim",
        add_help=False,
        help="run a simulated controller service: zarn sim [--config FILE] "
        f"[--address HOST] [--speed F] ... (FILE defaults to ${CONFIG_VARIABLE}; "
        "zarn sim --help)",
    )

    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return args.handler(args)
    except BrokenPipeError:
        # The reader went away (`zarn demo | head`): stop quietly, as a filter would.
        sys.stdout = None
        return 0


if __name__ == "__main__":
    sys.exit(main())
