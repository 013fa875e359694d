import signal
import textwrap
import threading

import pytest
from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState

from Zarn import cli


def _ignore_hang_up(signum, frame):
    pass


def pytest_configure(config):
    # A suite started in the background by a shell without job control (a
    # script's `&`) inherits SIGINT ignored, under nohup SIGHUP too, and so
    # would every program the tests start, while the tests of Ctrl-C and of
    # hang-ups need them delivered. A signal with a handler is back at its
    # default in the programs the tests start; the suite itself still
    # ignores a hang-up.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if signal.getsignal(signal.SIGHUP) is signal.SIG_IGN:
        signal.signal(signal.SIGHUP, _ignore_hang_up)


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


# A machine whose numbers make every conversion visible: the factors of
# drive 13 and the IO modules' output bytes (0, 2 and 1, in slots 1 to 3).
MACHINE = """\
kvt_handler:
  server_address: '{address}'
  IOModule:
    SlaveNo: 1
    Modules:
      - {{MorvoID: 1, Slot: 1, InputBytes: 2, OutputBytes: 0}}
      - {{MorvoID: 11, Slot: 2, InputBytes: 0, OutputBytes: 2}}
      - {{MorvoID: 10, Slot: 3, InputBytes: 1, OutputBytes: 1}}
  Festo:
    - {{MorvoID: 13, SlaveNo: 3, Params: {{DistanceFactor: 1000, SpeedFactor: 100,
        AccelerationFactor: 10}}}}
    - {{MorvoID: 14, SlaveNo: 4, Params: {{DistanceFactor: 100}}}}
    - {{MorvoID: 0, SlaveNo: 6, Params: {{DistanceFactor: 1}}}}
    - {{MorvoID: 36, SlaveNo: 7, Params: {{DistanceFactor: 1}}}}
  Akribis:
    - {{MorvoID: 15, Axis: B, Params: {{DistanceFactor: 10000, SpeedFactor: 1,
        AccelerationFactor: 1}}}}
    - {{MorvoID: 16, Axis: C, Params: {{DistanceFactor: 1}}}}
"""


@pytest.fixture
def machine(controller, tmp_path):
    """A MorvoClient of MACHINE (or of the configuration text given, with
    {address} in it) aimed at the controller double."""
    from Zarn.morvo_client import MorvoClient

    def make(text=MACHINE):
        path = tmp_path / "machine.yaml"
        path.write_text(text.format(address=controller.address), encoding="utf-8")
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


# --- the simulated controller -------------------------------------------------------

EXAMPLE = cli.EXAMPLE_CONFIG
SPEED = 20


def example_with(tmp_path, settings="", replace=()):
    """The example machine with more keys in its Simulator section and texts
    replaced."""
    text = EXAMPLE.read_text(encoding="utf-8")
    for old, new in replace:
        assert old in text
        text = text.replace(old, new)
    if settings:
        section = "  Simulator:\n"
        assert section in text
        added = textwrap.indent(textwrap.dedent(settings), "    ")
        text = text.replace(section, section + added, 1)
    path = tmp_path / "simulated.yaml"
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture
def simulated(tmp_path):
    """Starts a simulator (config, speed and fault options as for
    SimulatedController) and gives it with a client aimed at it. Every
    simulator is stopped, and must stop cleanly, at the end."""
    from Zarn.morvo_client import MorvoClient
    from Zarn.sim import SimulatedController

    running = []

    def start(config=EXAMPLE, speed=SPEED, **options):
        sim = SimulatedController(config, speed=speed, **options).start()
        running.append(sim)
        path = sim.client_config(tmp_path / f"client-{len(running)}.yaml")
        client = MorvoClient(str(path))
        # A condition that never comes true fails the test in seconds.
        client.result_timeout = 5
        return sim, client

    yield start
    for sim in running:
        assert sim.stop() == 0, sim.log()
