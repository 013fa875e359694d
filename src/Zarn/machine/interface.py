"""The interface module actions execute on: `Machine`."""

from __future__ import annotations

import contextlib
import sys
import threading
from collections.abc import Sequence

from Zarn._zarnexec import CommandGate
from Zarn.errors import MachineError
from Zarn.machine.motion import AxisMove

# What a record refused by the machine's gate answers: it was never sent.
REFUSED_BY_GATE = -4

# Lines come from the run's workers at once: print() writes the text and its
# line end apart, so two threads' lines could run into one another.
_PRINTING = threading.Lock()


def print_line(text, out=None):
    """Writes `text` as one line to `out` (sys.stdout by default) in one
    write, whole, whatever other threads print meanwhile."""
    out = sys.stdout if out is None else out
    with _PRINTING:
        out.write(f"{text}\n")
        out.flush()


class Machine:
    """The operations module actions execute on. Each blocks its thread until
    the command has ended and raises `MachineError` when it fails.

    A subclass implements all of them; `log` has a default that prints.

    Every machine has a `gate` (a `CommandGate`) that its commands pass while
    they are sent. A run's stop closes it: from then on nothing but the
    stops goes out (see docs/running.md, "What a stop guarantees").
    """

    _gate = None

    @property
    def gate(self):
        gate = self._gate
        if gate is None:
            gate = self._gate = CommandGate()
        return gate

    @contextlib.contextmanager
    def _through_gate(self, kind, device):
        """Holds the gate open for one command of `kind` while it is sent;
        raises MachineError when the gate refuses it."""
        gate = self.gate
        if not gate.enter(kind):
            raise MachineError(
                "not sent: the machine's commands are stopped (the run has stopped)",
                device=device,
                result=REFUSED_BY_GATE,
            )
        try:
            yield
        finally:
            gate.leave()

    def move(self, moves: Sequence[AxisMove]) -> None:
        """Starts every move at once and returns when all axes have stopped."""
        self._missing("move")

    def home(self, device: int, method: int) -> None:
        """Runs the homing of one axis with the drive's homing method."""
        self._missing("home")

    def axis_command(self, device: int, command: str) -> None:
        """One of "enable", "disable", "stop", "reset" for one axis."""
        self._missing("axis_command")

    def set_output(self, device: int, pin: int, value: int) -> None:
        """Sets output `pin` (counted from 0 across the module's output bytes)
        of IO module `device` to 0 or 1."""
        self._missing("set_output")

    def wait_input(self, device: int, pin: int, value: int, timeout: float) -> None:
        """Returns once input `pin` of IO module `device` shows `value`; raises
        `MachineError` when it does not within `timeout` seconds (None: it
        waits as long as it takes, until the run cancels it)."""
        self._missing("wait_input")

    def read_input(self, device: int, pin: int) -> int:
        """What input `pin` of IO module `device` shows now: 0 or 1."""
        self._missing("read_input")

    def sleep(self, seconds: float) -> None:
        """Pauses for `seconds` of machine time (a run may go faster)."""
        self._missing("sleep")

    def log(self, text: str) -> None:
        """Shows a script's message to the user."""
        print_line(text)

    # What a run calls when it stops (Zarn.executor). Both must return
    # promptly and may be called from another thread than the one executing
    # the action; the defaults do nothing, for machines that have nothing
    # in flight and nothing that moves.

    def cancel(self, action) -> None:
        """Makes the blocking command that `action` is executing return at once
        with a `MachineError` (a machine that cannot tell its commands apart
        may cancel every command in flight)."""

    def stop_all(self) -> Sequence:
        """Stops every axis that may be moving; returns what it stopped (for
        the run's report, e.g. the devices)."""
        return ()

    def watch(self, on_lost):
        """A context manager that watches the machine's controller while a
        run runs: when the controller stops answering it calls
        `on_lost(error)` once, from whichever thread found it, with a
        `MachineError` that says so (the run then stops with it as its
        reason). The default watches nothing."""
        return contextlib.nullcontext()

    def _missing(self, operation):
        raise NotImplementedError(
            f"{type(self).__name__} cannot {operation}: a machine that runs module "
            f"actions implements every operation of Zarn.machine.Machine"
        )
