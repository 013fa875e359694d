"""What the actions of machine modules execute on.

A module action (`Zarn._zarnmodule`) knows which device, position or pin it
concerns; it does not know how to reach the machine. When it executes it calls
the few operations of a `Machine` below, which the one running the script
provides: one that talks to the controller through a `MorvoClient`, or
`RecordingMachine`, which only notes what would have been sent (a dry run).

Every operation blocks until the command has ended (a move until the axis
stands still, a wait until the input shows the value) and raises
`MachineError` when the machine refuses it or it does not end in time, so an
action fails with the device, the command id and the reason.
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Sequence
from dataclasses import dataclass

# Velocity, acceleration and deceleration take this value when none is given;
# the controller then uses the drive's own setting.
NO_RATE = -1


@dataclass(frozen=True)
class AxisMove:
    """One axis' part of a move, in user units (mm, mm/s, mm/s^2 on the
    example machine). `relative` moves by `target` instead of to it."""

    device: int
    target: float
    velocity: float = NO_RATE
    acceleration: float = NO_RATE
    deceleration: float = NO_RATE
    relative: bool = False

    def __str__(self):
        verb = "by" if self.relative else "to"
        rates = given_rates(self.velocity, self.acceleration, self.deceleration)
        shown = " ".join(f"{name[0]}={value!r}" for name, value in rates)
        return f"dev {self.device} {verb} {self.target!r}" + (
            f" ({shown})" if shown else ""
        )


def given_rates(velocity, acceleration, deceleration):
    """[(name, value)] of the rates that are given, leaving out NO_RATE."""
    return [
        (name, value)
        for name, value in (
            ("velocity", velocity),
            ("acceleration", acceleration),
            ("deceleration", deceleration),
        )
        if value != NO_RATE
    ]


class MachineError(RuntimeError):
    """A command that the machine refused, that failed, or that did not end in
    time. Carries what a user needs to find it: the device, the command id the
    controller knows it by, and the client's result code."""

    def __init__(self, reason, *, device=None, command_id=None, result=None):
        super().__init__(reason)
        self.reason = reason
        self.device = device
        self.command_id = command_id
        self.result = result

    def __str__(self):
        where = []
        if self.device is not None:
            where.append(f"device {self.device}")
        if self.command_id is not None:
            where.append(f"command {self.command_id}")
        text = f"{', '.join(where)}: {self.reason}" if where else str(self.reason)
        if self.result is not None:
            text += f" (result {self.result})"
        return text


class Machine:
    """The operations module actions execute on. Each blocks its thread until
    the command has ended and raises `MachineError` when it fails.

    A subclass implements all of them; `log` has a default that prints.
    """

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
        `MachineError` when it does not within `timeout` seconds."""
        self._missing("wait_input")

    def sleep(self, seconds: float) -> None:
        """Pauses for `seconds` of machine time (a run may go faster)."""
        self._missing("sleep")

    def log(self, text: str) -> None:
        """Shows a script's message to the user."""
        print(text, file=sys.stdout, flush=True)

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

    def _missing(self, operation):
        raise NotImplementedError(
            f"{type(self).__name__} cannot {operation}: a machine that runs module "
            f"actions implements every operation of Zarn.machine.Machine"
        )


class RecordingMachine(Machine):
    """A dry run: notes every operation in `calls` as (operation, arguments)
    and reports success at once. Waits do not wait and inputs are taken to
    show the awaited value. With `out`, each call is also printed there as
    the line `would <operation> <arguments>`."""

    def __init__(self, out=None):
        self.calls = []
        self._out = out
        self._lock = threading.Lock()

    def _note(self, operation, *arguments):
        with self._lock:
            self.calls.append((operation, arguments))
        if self._out is not None:
            shown = " ".join(
                "; ".join(map(str, argument)) if operation == "move" else repr(argument)
                for argument in arguments
            )
            print(f"would {operation} {shown}".rstrip(), file=self._out)

    def move(self, moves):
        self._note("move", tuple(moves))

    def home(self, device, method):
        self._note("home", device, method)

    def axis_command(self, device, command):
        self._note("axis_command", device, command)

    def set_output(self, device, pin, value):
        self._note("set_output", device, pin, value)

    def wait_input(self, device, pin, value, timeout):
        self._note("wait_input", device, pin, value, timeout)

    def sleep(self, seconds):
        self._note("sleep", seconds)

    def log(self, text):
        self._note("log", text)
