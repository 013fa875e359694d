"""The fixtures and hooks of the suite; what the tests share besides
fixtures is in support/."""

import signal
import threading

import pytest
from support.actions import Module
from support.controllers import (
    BARE,
    EXAMPLE,
    MACHINE,
    SPEED,
    ControllerDouble,
    client_config,
)


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
    support/controllers.py. Its script can be replaced inside the test."""
    double = ControllerDouble()
    yield double
    double.close()


@pytest.fixture
def make_client(tmp_path):
    """Builds MorvoClients aimed at an address (a double's, usually)."""
    from Zarn.morvo_client import MorvoClient

    def make(address):
        path = client_config(tmp_path / f"settings-{address}.yaml", address, BARE)
        return MorvoClient(str(path))

    return make


@pytest.fixture
def machine(controller, tmp_path):
    """A MorvoClient of MACHINE (or of the configuration text given, with
    {address} in it) aimed at the controller double."""
    from Zarn.morvo_client import MorvoClient

    def make(text=MACHINE):
        path = client_config(tmp_path / "machine.yaml", controller.address, text)
        return MorvoClient(str(path))

    return make


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
