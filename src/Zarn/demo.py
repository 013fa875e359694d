"""A small pick-and-place sequence run on simulated actions.

Shows how actions wait for one another: each runs on a thread of its own and
starts only when the actions it depends on (and its predecessor in script
order) have finished.
"""

import threading
import time

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState


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
