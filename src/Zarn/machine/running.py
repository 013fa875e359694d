"""Which module action is executing on this thread, and on which machine.

A module action marks itself here while it executes (`executing`): the
operations of a user's module reach the machine through it, and a machine
tells the commands of different actions apart by it. It lives in the machine
layer, below the modules, because the machines read it.
"""

import contextlib
import threading

_running = threading.local()


def running_action():
    """The module action executing on this thread, or None."""
    return getattr(_running, "action", None)


def running_machine():
    """The machine of the action executing on this thread, or None."""
    return getattr(_running, "machine", None)


@contextlib.contextmanager
def executing(action, machine):
    """Marks `action` as executing on `machine` on this thread, and puts back
    what was marked before when it ends (an operation may execute another
    action inside its own)."""
    previous_machine, previous_action = running_machine(), running_action()
    _running.machine = machine
    _running.action = action
    try:
        yield
    finally:
        _running.machine = previous_machine
        _running.action = previous_action
