"""A dry run: `RecordingMachine` notes what would have been sent."""

from __future__ import annotations

import threading

from Zarn.machine.interface import Machine, print_line
from Zarn.machine.motion import Travel


class RecordingMachine(Machine):
    """A dry run: notes every operation in `calls` as (operation, arguments)
    and reports success at once. Waits do not wait and inputs are taken to
    show the awaited value. With `out`, each call is also printed there as
    the line `would <operation> <arguments>`.

    Moves are checked against their axes' travel as on the machine; a
    homing is taken to end at 0. Where an axis stands before its first
    move or homing is not known, so a relative step then goes unchecked.
    After `stop_all` nothing more is noted but stops.

    `inputs` ({(device, pin): 0 or 1}) are the inputs a condition reads;
    every other input reads 0 (off)."""

    def __init__(self, out=None, inputs=None):
        self.calls = []
        self._out = out
        self._lock = threading.Lock()
        self.travel = Travel()
        self.inputs = {
            (int(device), int(pin)): 1 if value else 0
            for (device, pin), value in dict(inputs or {}).items()
        }

    def _note(self, operation, *arguments):
        with self._lock:
            self.calls.append((operation, arguments))
        if self._out is not None:
            shown = " ".join(
                "; ".join(map(str, argument)) if operation == "move" else repr(argument)
                for argument in arguments
            )
            print_line(f"would {operation} {shown}".rstrip(), self._out)

    def move(self, moves):
        moves = tuple(moves)
        ends = self.travel.ends(moves, unchecked_when_unknown=True)
        with self._through_gate("drive", moves[0].device if moves else None):
            self._note("move", moves)
        for move, end in zip(moves, ends):
            if end is None:
                self.travel.lost(move.device)
            else:
                self.travel.arrived(move.device, end)

    def home(self, device, method):
        with self._through_gate("drive", device):
            self._note("home", device, method)
        self.travel.arrived(device, 0.0)

    def axis_command(self, device, command):
        kind = "stop" if command == "stop" else "drive"
        with self._through_gate(kind, device):
            self._note("axis_command", device, command)
        self.travel.lost(device)

    def set_output(self, device, pin, value):
        with self._through_gate("output", device):
            self._note("set_output", device, pin, value)

    def stop_all(self):
        self.gate.close()
        return ()

    def wait_input(self, device, pin, value, timeout):
        self._note("wait_input", device, pin, value, timeout)

    def read_input(self, device, pin):
        value = self.inputs.get((device, pin), 0)
        self._note("read_input", device, pin)
        return value

    def sleep(self, seconds):
        self._note("sleep", seconds)

    def log(self, text):
        self._note("log", text)
