"""The machine behind the controller client: `ClientMachine`."""

from __future__ import annotations

import contextlib
import secrets
import struct
import threading
import time

from Zarn.errors import MachineError
from Zarn.machine.interface import Machine
from Zarn.machine.motion import (
    AXIS_FUNCTIONS,
    GENERIC_HOMING_METHOD,
    NO_RATE,
    Travel,
)
from Zarn.machine.running import running_action

STATUS_CONDITION = "MORBO_ID_SLAVE_STATUS_CONDITION"
INPUT_DATA = "MORVO_ID_INPUT_DATA"
# How often a wait for an input reads the module's inputs, in real seconds.
DEFAULT_POLL_INTERVAL = 0.01

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
