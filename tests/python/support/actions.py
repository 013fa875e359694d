"""Stand-in actions and modules for the tests of actions, blocks and runs."""

import os
import threading
import time

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState


class Module:
    """Stands in for a machine module: actions only need its name."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Module({self.name!r})"


class RecordingAction(ZarnAction):
    """A concrete action that notes, in a shared journal, when it executed."""

    def setup(self, journal=None, label="", **rest):
        self.journal = journal if journal is not None else []
        self.label = label
        self.setup_saw = {
            "state": self.state,
            "dependency": self.dependency,
            "rest": rest,
        }

    def execute(self):
        self.state = ZarnState.Executing
        self.journal.append(self.label)
        self.state = ZarnState.Finished
        self.finish_signal.set()


def thread_count():
    """Threads of this process, the C++ ones included."""
    return len(os.listdir("/proc/self/task"))


class Journal:
    """A thread-safe record of when actions started and ended."""

    def __init__(self):
        self.entries = []
        self._lock = threading.Lock()

    def __deepcopy__(self, memo):
        # Actions deep-copy their settings; copies must write to the same journal.
        return self

    def note(self, what, label):
        with self._lock:
            self.entries.append((what, label))

    def starts(self):
        return [label for what, label in self.entries if what == "start"]

    def position(self, what, label):
        return self.entries.index((what, label))


class TimedAction(ZarnAction):
    """Notes its start and end in a Journal, taking `seconds` in between."""

    def setup(self, journal=None, label="", seconds=0.0):
        self.journal = journal
        self.label = label
        self.seconds = seconds

    def execute(self):
        self.state = ZarnState.Executing
        self.journal.note("start", self.label)
        time.sleep(self.seconds)
        self.journal.note("end", self.label)
        self.state = ZarnState.Finished
        self.finish_signal.set()

    def __repr__(self):
        return f"TimedAction({self.label!r})"


def run_plan_on_threads(block, timeout=10):
    """Runs every action of `block`'s run plan on a thread of its own."""
    plan = block.run_plan()
    threads = [
        threading.Thread(target=step.action.run, daemon=True) for step in plan.steps
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
        assert not thread.is_alive(), "an action was still waiting"
    return plan


def block_of(*actions, identifier=None):
    """A plain block holding the actions."""
    from Zarn.blocks import StandardBlock

    block = StandardBlock(identifier=identifier)
    block.add(list(actions))
    return block


def chain(*blocks):
    """Links the blocks into one chain; its head."""
    for earlier, later in zip(blocks, blocks[1:]):
        earlier.next_block = later
    return blocks[0]
