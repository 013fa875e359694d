import threading

import pytest
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


@pytest.fixture
def module():
    return Module("axis")


@pytest.fixture
def run_in_thread():
    """Starts callables on threads of their own and joins them all at the end."""
    threads = []

    def start(target):
        thread = threading.Thread(target=target, daemon=True)
        thread.start()
        threads.append(thread)
        return thread

    yield start
    for thread in threads:
        thread.join(timeout=5)
        assert not thread.is_alive(), (
            "a thread was still blocked at the end of the test"
        )


@pytest.fixture
def controller():
    """A controller double on a loopback address of its own; see
    controller_double.py. Its script can be replaced inside the test."""
    from controller_double import ControllerDouble

    double = ControllerDouble()
    yield double
    double.close()


@pytest.fixture
def make_client(tmp_path):
    """Builds MorvoClients aimed at an address (a double's, usually)."""
    from Zarn.morvo_client import MorvoClient

    def make(address):
        path = tmp_path / f"settings-{address}.yaml"
        path.write_text(
            "kvt_handler:\n"
            f"  server_address: '{address}'\n"
            "  IOModule:\n    SlaveNo: 1\n    Modules: []\n",
            encoding="utf-8",
        )
        return MorvoClient(str(path))

    return make


def thread_count():
    """Threads of this process, the C++ ones included."""
    import os

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
        import time

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
