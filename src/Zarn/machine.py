"""What the actions of machine modules execute on.

A module action (`Zarn._zarnmodule`) knows which device, position or pin it
concerns; it does not know how to reach the machine. When it executes it calls
the few operations of a `Machine` below, which the one running the script
provides: `ClientMachine`, which talks to the controller through a
`MorvoClient`, or `RecordingMachine`, which only notes what would have been
sent (a dry run).

Every operation blocks until the command has ended (a move until the axis
stands still, a wait until the input shows the value) and raises
`MachineError` when the machine refuses it or it does not end in time, so an
action fails with the device, the command id and the reason.
"""

from __future__ import annotations

import contextlib
import secrets
import struct
import sys
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, field

from Zarn._zarnexec import CommandGate

# Velocity, acceleration and deceleration take this value when none is given;
# the controller then uses the drive's own setting.
NO_RATE = -1


@dataclass(frozen=True)
class AxisMove:
    """One axis' part of a move, in user units (mm, mm/s, mm/s^2 on the
    example machine). `relative` moves by `target` instead of to it.
    `limits` is the axis' travel (low, high), which the move's end must not
    leave; `axis` its name, for messages."""

    device: int
    target: float
    velocity: float = NO_RATE
    acceleration: float = NO_RATE
    deceleration: float = NO_RATE
    relative: bool = False
    # What the axis is, not what the move does: two moves of one device to
    # one target are the same move.
    limits: tuple | None = field(default=None, compare=False)
    axis: str | None = field(default=None, compare=False)

    @property
    def shown_axis(self):
        return f"@{self.axis}" if self.axis else f"the axis on device {self.device}"

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


class Travel:
    """Where each axis was last commanded to, so that every move's end is
    checked against the axis' travel before anything is sent.

    A position is known after a move to it has ended; it is lost (None)
    when a motion of the axis failed, was stopped or cancelled on its way,
    or after a homing or an axis command. A relative step from a lost
    position needs the axis' actual position: `read(device)` gives it, or,
    without `read`, the step is refused.
    """

    def __init__(self, positions=None):
        self._lock = threading.Lock()
        self._at = dict(positions or {})

    def position(self, device):
        with self._lock:
            return self._at.get(device)

    def ends(self, moves, read=None, *, unchecked_when_unknown=False):
        """The end of every move in `moves` (None where it cannot be known);
        raises MachineError, before anything is sent, for one whose end lies
        outside its travel or, unless `unchecked_when_unknown`, whose start
        cannot be known."""
        ends = []
        for move in moves:
            end = move.target
            if move.relative:
                start = self.position(move.device)
                if start is None and read is not None:
                    start = read(move.device)
                if start is None:
                    if move.limits is None or unchecked_when_unknown:
                        ends.append(None)
                        continue
                    raise MachineError(
                        f"{move.shown_axis} cannot step by {move.target:g}: where it "
                        f"stands is not known (move it to a position or home it first)",
                        device=move.device,
                    )
                end = start + move.target
            if move.limits is not None:
                low, high = move.limits
                if not low <= end <= high:
                    how = (
                        f"a step by {move.target:g} from {end - move.target:g} would end at {end:g}"
                        if move.relative
                        else f"the target {end:g}"
                    )
                    raise MachineError(
                        f"{move.shown_axis}: {how}, outside its travel {low:g} to {high:g}; "
                        f"nothing was sent",
                        device=move.device,
                    )
            ends.append(end)
        return ends

    def arrived(self, device, end):
        with self._lock:
            self._at[device] = end

    def lost(self, device):
        with self._lock:
            self._at.pop(device, None)


# What a record refused by the machine's gate answers: it was never sent.
REFUSED_BY_GATE = -4


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
    the line `would <operation> <arguments>`.

    Moves are checked against their axes' travel as on the machine; a
    homing is taken to end at 0. Where an axis stands before its first
    move or homing is not known, so a relative step then goes unchecked.
    After `stop_all` nothing more is noted but stops."""

    def __init__(self, out=None):
        self.calls = []
        self._out = out
        self._lock = threading.Lock()
        self.travel = Travel()

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

    def sleep(self, seconds):
        self._note("sleep", seconds)

    def log(self, text):
        self._note("log", text)


# --- a machine behind the controller client -------------------------------------------

STATUS_CONDITION = "MORBO_ID_SLAVE_STATUS_CONDITION"
INPUT_DATA = "MORVO_ID_INPUT_DATA"
# How often a wait for an input reads the module's inputs, in real seconds.
DEFAULT_POLL_INTERVAL = 0.01

AXIS_FUNCTIONS = {
    "enable": "MOTOR_ENABLE",
    "disable": "MOTOR_DISABLE",
    "stop": "MOTOR_STOP",
    "reset": "MOTOR_RESET",
}
# A controller takes a repeated command id for the command that had it
# before: a condition on it is met at once, while the new motion has not even
# begun. A client's ids repeat once its counter wraps at 1000, and two clients
# made in the same second (two runs in a row on one controller) give out the
# same ids from the start. So a machine gives its client a prefix of its own,
# the present second and a random part, and a new one before the counter
# wraps. One operation takes at most a few ids, and at most a pool's width of
# operations start between two checks.
ID_RENEWAL_AT = 800


def fresh_id_prefix(used=()):
    """A command-id prefix that no other client is likely to use: "PC", the
    local time as %m%d%H%M%S, six random hex digits and "-" (at most 23
    characters with the counter, well within a record's 36)."""
    while True:
        prefix = time.strftime("PC%m%d%H%M%S-") + secrets.token_hex(3) + "-"
        if prefix not in used:
            return prefix


# The drives' own homing method that Akribis drives know as 0 (the client's
# motor_home makes the same change).
GENERIC_HOMING_METHOD = 17

# How long a stop waits for a command that is being sent to have gone out.
STOP_CLEAR_WAIT = 5.0

# What the client and the controller answer instead of 1. The codes from -101
# on are those of the simulated controller (docs/simulator.md), which follows
# the machine's controller service.
RESULT_MEANINGS = {
    -2: "the device is not of the kind the command needs",
    -3: "the request failed: the controller did not answer",
    -4: "not sent: the machine's commands are stopped (the run has stopped)",
    -101: "the controller could not read the record",
    -102: "the controller has no such device",
    -103: "the device does not serve that function",
    -104: "the controller refused a field of the record",
    -105: "the controller refused the record",
    -106: "the controller holds too many waiting records",
    -110: "the drive needs homing first",
    -111: "the drive is disabled",
    -112: "the target lies beyond the drive's range",
    -113: "the motion was ended by a stop",
    -114: "the controller gave up waiting for it",
    -115: "the motion's end lies outside the drive's travel",
}


def result_text(result):
    """'result -113 (the motion was ended by a stop)' for a client's answer."""
    meaning = RESULT_MEANINGS.get(result) if isinstance(result, int) else None
    return f"result {result}" + (f" ({meaning})" if meaning else "")


class _InFlight:
    """What one action has under way on a ClientMachine: whether it was
    cancelled, and the motions it waits for (device: command id)."""

    __slots__ = ("cancelled", "moving", "users")

    def __init__(self):
        self.cancelled = threading.Event()
        self.moving = {}
        self.users = 0


class ClientMachine(Machine):
    """The machine behind a `MorvoClient`: every operation sends the
    controller its records and waits until the command has ended.

    A motion goes out as its record followed by a condition on the drive's
    slave status (the end of the motion, depending on the move), whose
    published result ends the wait; unlike the client's own blocking motor
    commands there is no fixed pause, so a run on a fast simulator is not
    held to 2 s per move. The axes of one move all start before the first
    end is awaited. Outputs are set with the client's blocking `io_set`;
    a wait for an input reads the module's inputs every `poll_interval`
    seconds. Any answer but 1 is a `MachineError` with the device, the
    command id and the reason.

    `speed` is the machine's pace against real time (a simulated controller
    running F times real time): sleeps and input time-outs, given in machine
    seconds, then take 1/F as long. `device_names` ({device: name}) names
    the axes in what `stop_all` reports.
    """

    def __init__(
        self,
        client,
        *,
        speed=1.0,
        poll_interval=DEFAULT_POLL_INTERVAL,
        device_names=None,
    ):
        for name, value in (("speed", speed), ("poll_interval", poll_interval)):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {value!r}")
            if not 0 < value < float("inf"):
                raise ValueError(f"{name} must be above 0, not {value!r}")
        self.client = client
        self.speed = float(speed)
        self.poll_interval = float(poll_interval)
        self.device_names = dict(device_names or {})
        self.travel = Travel()
        # Every record the client sends passes the machine's gate; machines
        # that share a client share its gate.
        if client.gate is None:
            client.gate = self.gate
        else:
            self._gate = client.gate
        self._lock = threading.Lock()
        self._renewal_lock = threading.Lock()
        self._used_prefixes = set()
        self._renew_ids()
        self._in_flight = {}  # action (or thread id outside actions): _InFlight
        self._moved = {}  # devices given a motion, in order: None
        self._driven_by = {}  # device: the _InFlight whose motion it is in

    # --- the operations

    def move(self, moves):
        moves = list(moves)
        with self._acting() as entry:
            ends = self.travel.ends(moves, read=self._actual_position)
            records = [(move, self._motion_record(move)) for move in moves]
            devices = [move.device for move in moves]
            self._take_devices(entry, devices)
            started = []
            failure = None
            try:
                for move, record in records:
                    try:
                        self._check_cancelled(entry, move.device)
                        self._enqueue(record, move.device, f"the move {move}")
                    except MachineError as error:
                        failure = error
                        break
                    self._motion_started(entry, move.device, record.cmd_id)
                    started.append((move, record))
                # Every axis that started is awaited, so that the action never
                # ends while an axis of it still moves; once the action is
                # cancelled its axes have been stopped, and a result that is
                # lost must not hold it any longer.
                arrived = set()
                for move, record in started:
                    try:
                        self._await_end(entry, move.device, record.cmd_id, "END_MOVING")
                    except MachineError as error:
                        failure = failure or error
                    else:
                        arrived.add(move.device)
            finally:
                self._release_devices(entry, devices)
            for move, end in zip(moves, ends):
                if move.device in arrived and end is not None:
                    self.travel.arrived(move.device, end)
                else:
                    self.travel.lost(move.device)
            if failure is not None:
                raise failure

    def home(self, device, method):
        with self._acting() as entry:
            data = self._device_map(device, drive=True)
            if "Akribis" in data and method == GENERIC_HOMING_METHOD:
                method = 0
            record = self._motor_record(device, "MOTOR_HOME", [method])
            self._take_devices(entry, [device])
            # Wherever the homing ends is read from the drive when needed.
            self.travel.lost(device)
            try:
                self._check_cancelled(entry, device)
                self._enqueue(record, device, "the homing")
                self._motion_started(entry, device, record.cmd_id)
                self._await_end(entry, device, record.cmd_id, "END_HOMING")
            finally:
                self._release_devices(entry, [device])

    def axis_command(self, device, command):
        function = AXIS_FUNCTIONS.get(command)
        if function is None:
            raise MachineError(
                f"no axis command {command!r} (one of {', '.join(AXIS_FUNCTIONS)})",
                device=device,
            )
        with self._acting() as entry:
            self._device_map(device, drive=True)
            record = self._motor_record(device, function, [])
            self._check_cancelled(entry, device)
            self.travel.lost(device)
            with self._decoding(device, record.cmd_id):
                result = self.client.receive_dequeue_action(
                    [record], record.cmd_id, [record.cmd_id]
                )
            self._check_result(result, entry, device, record.cmd_id, command)

    def set_output(self, device, pin, value):
        with self._acting() as entry:
            self._device_map(device, drive=False)
            self._check_cancelled(entry, device)
            with self._decoding(device, None):
                result = self.client.io_set(device, pin, value, block=True)
            if result == -2:  # an IO module the configuration gives no outputs
                raise MachineError(
                    "the IO module has no output bytes to set", device=device, result=-2
                )
            self._check_result(result, entry, device, None, f"setting output {pin}")

    def wait_input(self, device, pin, value, timeout):
        with self._acting() as entry:
            self._device_map(device, drive=False)
            deadline = time.monotonic() + timeout / self.speed
            while True:
                self._check_cancelled(entry, device)
                shown = self._input(device, pin)
                if shown == value:
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    raise MachineError(
                        f"input {pin} did not show {value} within {timeout:g} s "
                        f"(it shows {shown})",
                        device=device,
                    )
                entry.cancelled.wait(min(self.poll_interval, left))

    def sleep(self, seconds):
        with self._acting() as entry:
            if entry.cancelled.wait(seconds / self.speed):
                raise MachineError("cancelled during a wait")

    # --- the hooks of a run

    def cancel(self, action):
        """Cancels `action`: a wait or sleep it is in ends at once, its axes in
        motion are stopped (their motion then ends with the stop's result),
        and every command it would send next is refused. The blocking calls
        of other actions go on; a result that never comes ends with the
        client's result_timeout, or with `stop_all`."""
        with self._lock:
            entry = self._in_flight.get(action)
            if entry is None:
                entry = self._in_flight[action] = _InFlight()
            entry.cancelled.set()
            moving = list(entry.moving)
        for device in moving:
            self.client.motor_stop(device)

    def stop_all(self):
        """The machine's stop: closes its gate (nothing but stops leaves from
        then on), waits until whatever was being sent has gone out, sends
        `motor_stop` to every axis this machine has moved, and then ends
        every blocking call in flight on the client. Returns one entry per
        axis: its name and device, and why its stop failed if it did."""
        gate = self.gate
        gate.close()
        with self._lock:
            for entry in self._in_flight.values():
                entry.cancelled.set()
        # An exchange takes at most the client's send and receive time-outs
        # (a second each); a stop that waited longer would do more harm.
        cleared = gate.wait_clear(STOP_CLEAR_WAIT)
        with self._lock:
            devices = list(self._moved)
        stopped = []
        for device in devices:
            name = self.device_names.get(device)
            shown = f"{name} (device {device})" if name else f"device {device}"
            status = self.client.motor_stop(device)
            if not isinstance(status, str):
                shown += f": the stop failed, {result_text(status)}"
            stopped.append(shown)
            self.travel.lost(device)
        if not cleared:
            stopped.append(
                f"(a command was still being sent {STOP_CLEAR_WAIT:g} s after the stop "
                f"began; the stops went out all the same)"
            )
        self.client.cancel()
        return stopped

    # --- helpers

    @contextlib.contextmanager
    def _acting(self):
        from Zarn._zarnmodule import running_action

        self._renew_ids_if_due()
        key = running_action()
        if key is None:
            key = threading.get_ident()
        with self._lock:
            entry = self._in_flight.get(key)
            if entry is None:
                entry = self._in_flight[key] = _InFlight()
            entry.users += 1
        try:
            yield entry
        finally:
            with self._lock:
                entry.users -= 1
                # A cancelled action's entry stays, so that it sends nothing more.
                if entry.users == 0 and not entry.cancelled.is_set():
                    self._in_flight.pop(key, None)

    def _renew_ids_if_due(self):
        if self.client.func_count < ID_RENEWAL_AT:
            return
        with self._renewal_lock:
            if self.client.func_count < ID_RENEWAL_AT:
                return
            self._renew_ids()

    def _renew_ids(self):
        client = self.client
        self._used_prefixes.add(client.func_id_prefix)
        fresh = fresh_id_prefix(self._used_prefixes)
        # Under the counter's lock, so that no id is made half old, half new.
        with client.count_lock:
            client.func_id_prefix = fresh
            client.func_count = 0

    @staticmethod
    @contextlib.contextmanager
    def _decoding(device, command_id):
        """Turns a published result that is not an action record into a
        MachineError: the command's fate is then unknown, which is not the
        same as a controller that published nothing."""
        try:
            yield
        except (struct.error, UnicodeDecodeError) as error:
            raise MachineError(
                f"the controller published a result that is not an action record "
                f"({type(error).__name__}: {error}); the command's outcome is unknown",
                device=device,
                command_id=command_id,
            ) from error

    def _take_devices(self, entry, devices):
        """Marks `devices` as driven by `entry`'s action; refuses, before
        anything is sent, a drive that another action's motion holds."""
        with self._lock:
            for device in devices:
                holder = self._driven_by.get(device)
                if holder is not None and holder is not entry:
                    name = (
                        self.device_names.get(device) or f"the axis on device {device}"
                    )
                    raise MachineError(
                        f"{name} is already moving for another action: two actions "
                        f"may not command one drive at once; nothing was sent",
                        device=device,
                    )
            for device in devices:
                self._driven_by[device] = entry

    def _release_devices(self, entry, devices):
        with self._lock:
            for device in devices:
                if self._driven_by.get(device) is entry:
                    del self._driven_by[device]

    def _actual_position(self, device):
        """Where the drive stands, as the controller logs it, or None."""
        position = self.client.motor_monitor(device)
        if isinstance(position, bool) or not isinstance(position, (int, float)):
            return None
        return float(position)

    @staticmethod
    def _check_cancelled(entry, device):
        if entry.cancelled.is_set():
            raise MachineError("the action was cancelled", device=device)

    def _device_map(self, device, *, drive):
        data = self.client.getMorvoDict(device)
        if not data:
            raise MachineError(
                "no device of the configuration has this MorvoID", device=device
            )
        if self.client.check_io_helper(data) == drive:
            kind = "an IO module, not a drive" if drive else "a drive, not an IO module"
            raise MachineError(f"the device is {kind}", device=device)
        return data

    def _motion_record(self, move):
        data = self._device_map(move.device, drive=True)
        params = data.get("Params")

        def scaled(value, factor, rate):
            # As the client's motor_ptp scales: truncated toward zero, and a
            # rate of -1 is "not given" and never scaled.
            if rate and value == NO_RATE:
                return NO_RATE
            try:
                return int(value * params[factor])
            except (KeyError, TypeError):
                raise MachineError(
                    f"the configuration gives the drive no Params/{factor}",
                    device=move.device,
                ) from None

        arguments = [
            scaled(move.target, "DistanceFactor", False),
            scaled(move.velocity, "SpeedFactor", True),
            scaled(move.acceleration, "AccelerationFactor", True),
            scaled(move.deceleration, "AccelerationFactor", True),
        ]
        function = "MOTOR_MOVE_REL" if move.relative else "MOTOR_MOVE_ABS"
        return self._motor_record(move.device, function, arguments)

    def _motor_record(self, device, function, arguments):
        try:
            record = self.client.generate_motor_action(device, function, arguments, [])
        except (LookupError, TypeError, ValueError) as error:
            raise MachineError(
                f"cannot build the {function} record: {error}", device=device
            ) from error
        if isinstance(record, int):
            raise MachineError(
                f"cannot build the {function} record", device=device, result=record
            )
        try:
            # Packed here so that a value out of the record's range is told
            # before any axis of a move has started.
            record.get_transmit_data()
        except (struct.error, ValueError, TypeError, OverflowError) as error:
            raise MachineError(
                f"the {function} record cannot carry {arguments}: {error}",
                device=device,
                command_id=record.cmd_id,
            ) from error
        return record

    def _enqueue(self, record, device, what):
        status = self.client.enqueue_action(record)
        if status != 1:
            raise MachineError(
                f"{what} was not taken: {result_text(status)}",
                device=device,
                command_id=record.cmd_id,
                result=status,
            )

    def _motion_started(self, entry, device, command_id):
        with self._lock:
            self._moved.setdefault(device, None)
            entry.moving[device] = command_id
            cancelled = entry.cancelled.is_set()
        if cancelled:  # cancelled while the record went out
            self.client.motor_stop(device)

    def _await_end(self, entry, device, command_id, end_state):
        try:
            self._check_cancelled(entry, device)
            with self._decoding(device, command_id):
                result = self.client.generate_condition_and_send(
                    device,
                    None,
                    STATUS_CONDITION,
                    [end_state],
                    [command_id],
                    block=True,
                )
        finally:
            with self._lock:
                entry.moving.pop(device, None)
        what = "the homing" if end_state == "END_HOMING" else "the move"
        self._check_result(result, entry, device, command_id, what)

    def _check_result(self, result, entry, device, command_id, what):
        if result == 1:
            return
        if isinstance(result, list):
            if entry.cancelled.is_set():
                reason = f"{what} was cancelled before its result came"
            else:
                timeout = self.client.result_timeout
                within = f" within {timeout:g} s" if timeout is not None else ""
                reason = (
                    f"no result came for {what}{within}: the controller did not "
                    f"publish it"
                )
            raise MachineError(reason, device=device, command_id=command_id)
        raise MachineError(
            f"{what} failed: {result_text(result)}",
            device=device,
            command_id=command_id,
            result=result,
        )

    def _input(self, device, pin):
        text = self.client.io_monitor(device, INPUT_DATA)
        if not isinstance(text, str):
            raise MachineError(
                f"the inputs could not be read: {result_text(text)}",
                device=device,
                result=text,
            )
        try:
            data = bytes.fromhex(text)
        except ValueError:
            raise MachineError(
                f"the logged inputs do not read as bytes: {text!r}", device=device
            ) from None
        if pin // 8 >= len(data):
            raise MachineError(
                f"input {pin} lies beyond the module's {len(data)} input byte(s)",
                device=device,
            )
        return (data[pin // 8] >> (pin % 8)) & 1
