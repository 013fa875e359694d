"""`zarn demo`: the client's demonstration sequence against a simulated
controller of the example machine, or, with --actions, a small
pick-and-place sequence of actions, each on a thread of its own, that shows
how actions wait for one another (no controller)."""

import tempfile
import threading
import time
from pathlib import Path

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.cli.common import describe_machine, fail, loopback_address, speed_factor
from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.errors import SimulatorError
from Zarn.morvo_client.demonstration import run_demonstration
from Zarn.sim import SimulatedController

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
        commanded = label.startswith("result of ")
        if (commanded and result != 1) or (
            not commanded and isinstance(result, int) and result in FAILURE_RESULTS
        ):
            failures.append(f"{label}{result}")
    return failures


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
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
        "--sim-address",
        type=loopback_address,
        metavar="127.X.Y.Z",
        help="the loopback address the simulated controller listens on "
        "(default: a free one picked at random)",
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
    demo.set_defaults(handler=command)


def _run_machine_demo(speed, verbose, address=None):
    with tempfile.TemporaryDirectory(prefix="zarn-demo-") as scratch:
        try:
            with SimulatedController(
                EXAMPLE_CONFIG, address=address, speed=speed, verbose=verbose
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


def command(args):
    if not args.actions:
        try:
            return _run_machine_demo(args.speed, args.verbose, args.sim_address)
        except KeyboardInterrupt:
            return 130

    if args.sim_address is not None:
        fail("--sim-address is for the simulated controller; --actions runs none")
        return 2
    if describe_machine(EXAMPLE_CONFIG) is None:
        return 1
    print()
    try:
        run_sequence()
    except RuntimeError as error:
        fail(error)
        return 1
    return 0


# --- zarn demo --actions: actions on threads of their own -------------------------


class DemoModule:
    """Stands in for a machine module; actions only need its name."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


class TimedAction(ZarnAction):
    """Takes `seconds` to do `what`, printing when it starts and ends."""

    def setup(self, what="", seconds=0.1, clock=None):
        self.what = what
        self.seconds = seconds
        self.clock = clock or time.monotonic

    def execute(self):
        self.state = ZarnState.Executing
        try:
            print(f"  {self.clock():5.2f}s  {self.module.name:<8} start  {self.what}")
            time.sleep(self.seconds)
            print(f"  {self.clock():5.2f}s  {self.module.name:<8} done   {self.what}")
            self.state = ZarnState.Finished
        except BaseException:
            self.state = ZarnState.Error
            raise
        finally:
            # Whatever happened, the actions waiting on this one must not hang.
            self.finish_signal.set()


def build_sequence(clock):
    axis_x, axis_y, gripper = (DemoModule(n) for n in ("axis_x", "axis_y", "gripper"))

    def act(module, what, seconds):
        return TimedAction(module, what=what, seconds=seconds, clock=clock)

    home_x = act(axis_x, "home", 0.3)
    home_y = act(axis_y, "home", 0.2)
    to_pick_x = act(axis_x, "move to pick position", 0.2)
    to_pick_y = act(axis_y, "move to pick position", 0.25)
    grip = act(gripper, "close", 0.1)
    to_place_x = act(axis_x, "move to place position", 0.3)
    release = act(gripper, "open", 0.1)

    # Each axis moves after its own homing, in script order; the gripper waits
    # for both axes, and the place move for the grip.
    to_pick_x.set_script_dep(home_x.finish_signal)
    to_pick_y.set_script_dep(home_y.finish_signal)
    grip.add_dependencies([to_pick_x, to_pick_y])
    to_place_x.add_dependencies(grip)
    release.set_script_dep(to_place_x.finish_signal)
    return [home_x, home_y, to_pick_x, to_pick_y, grip, to_place_x, release]


def run_sequence(out=print):
    start = time.monotonic()
    actions = build_sequence(lambda: time.monotonic() - start)
    out(f"Running {len(actions)} actions, each on a thread of its own:")
    failures = []

    def run(action):
        try:
            action.run()
        except BaseException as error:  # noqa: BLE001 -- reported below, not lost with the thread
            failures.append((action, error))

    threads = [threading.Thread(target=run, args=(a,), daemon=True) for a in actions]
    for thread in reversed(threads):  # start order does not matter
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        action, error = failures[0]
        if isinstance(error, BrokenPipeError):
            raise error  # the reader of our output has gone; nothing to report to
        raise RuntimeError(
            f"{len(failures)} of {len(actions)} actions failed; first: {action.what!r} "
            f"on {action.module.name}: {error}"
        ) from error
    elapsed = time.monotonic() - start
    out(f"All finished in {elapsed:.2f}s: {sorted({a.state.name for a in actions})}")
    return actions
