"""The machine behind the controller client: `ClientMachine`."""

from __future__ import annotations

import contextlib
import struct
import threading
import time

from Zarn.errors import MachineError
from Zarn.machine.interface import REFUSED_BY_GATE, Machine
from Zarn.machine.motion import AXIS_FUNCTIONS, Travel
from Zarn.machine.running import running_action
from Zarn.machine.watchdog import ACTIONS, LOGGER, ControllerWatchdog
from Zarn.morvo_client import MachineLink

INPUT_DATA = "MORVO_ID_INPUT_DATA"
# How often a wait for an input reads the module's inputs, in real seconds.
DEFAULT_POLL_INTERVAL = 0.01
# How often it reads them at most, early in a wait.
MIN_POLL_INTERVAL = 0.001

# A controller takes a repeated command id for the command that had it
# before: a condition on it is met at once, while the new motion has not even
# begun. A client's ids repeat once its counter wraps at 1000, and two clients
# made in the same second (two runs in a row on one controller) give out the
# same ids from the start. So the machine's link gives its client a prefix of
# its own, the present second and a random part, and a new one when the
# counter reaches this.
ID_RENEWAL_AT = MachineLink.RENEW_AT

# How long a stop waits for a command that is being sent to have gone out.
STOP_CLEAR_WAIT = 5.0
# How long the end of a run waits for a probe of the watchdog on its way: an
# exchange's send and receive time-outs.
WATCHDOG_CLOSE_WAIT = 2.0

# What the client answers for an exchange the controller did not answer.
NO_ANSWER = -3
# What the client answers for a record it did not send: a device of the
# other kind, a closed gate. No answer of the controller, nor a lack of one.
NOT_SENT = (-2, REFUSED_BY_GATE)
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
    MachineLink.STUCK: "nothing the simulated machine does would ever publish it",
}


def result_text(result):
    """'result -113 (the motion was ended by a stop)' for a client's answer."""
    meaning = RESULT_MEANINGS.get(result) if isinstance(result, int) else None
    return f"result {result}" + (f" ({meaning})" if meaning else "")


def _input_timed_out(device, pin, value, timeout, shown):
    return MachineError(
        f"input {pin} did not show {value} within {timeout:g} s (it shows {shown})",
        device=device,
    )


class _InFlight:
    """What one action has under way on a ClientMachine: whether it was
    cancelled, and the motions it waits for (device: command id)."""

    __slots__ = ("cancelled", "moving", "users")

    def __init__(self, cancelled):
        # A threading.Event, or on an in-process controller a flag whose
        # waits run on its simulated clock.
        self.cancelled = cancelled
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
    end is awaited. Records go out through a `MachineLink` of the client,
    which builds, packs and sends each in one call. A wait for an input
    reads the module's inputs every `poll_interval` seconds. Any answer but
    1 is a `MachineError` with the device, the command id and the reason.

    `speed` is the machine's pace against real time (a simulated controller
    running F times real time): sleeps and input time-outs, given in machine
    seconds, then take 1/F as long. `device_names` ({device: name}) names
    the axes in what `stop_all` reports.

    While a run watches it (`watch`), a watchdog asks the controller for a
    device's slave status about once a second whenever an operation talks
    to the controller, and declares the controller lost after two
    unanswered requests in a row, its own or the operations' (see `watch`).

    On a client attached to an in-process controller (`client.local`, a
    `LocalController`: an estimate) every wait runs on that controller's
    simulated clock, which the machine hands to the run as `clock`: the
    run then takes its machine time without waiting through it. A wait
    that nothing simulated could ever end (an input that no one sets)
    stops the run, naming the statement, instead of waiting forever.
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
        self.local = getattr(client, "local", None)
        if self.local is not None and speed != 1:
            raise ValueError(
                "a machine on an in-process controller runs in its simulated time: "
                f"its speed is 1, not {speed!r}"
            )
        # The simulated clock a run of this machine runs on, or None.
        self.clock = self.local.clock_handle() if self.local is not None else None
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
        self.link = MachineLink(client)
        self._in_flight = {}  # action (or thread id outside actions): _InFlight
        self._moved = {}  # devices given a motion, in order: None
        self._driven_by = {}  # device: the _InFlight whose motion it is in
        # The device the watchdog asks about: an axis of the run, else the
        # first device an operation addresses.
        self._probe_device = next(iter(self.device_names), None)
        self._watchdog = None
        self._lost = None  # the ControllerLost, once the watchdog has declared it
        self._on_stuck = None  # a run's stop, on an in-process controller

    # --- the operations

    def move(self, moves):
        moves = list(moves)
        with self._acting(moves[0].device if moves else None) as entry:
            ends = self.travel.ends(moves, read=self._actual_position)
            devices = [move.device for move in moves]
            commands = [
                (
                    move.device,
                    "MOTOR_MOVE_REL" if move.relative else "MOTOR_MOVE_ABS",
                    (move.target, move.velocity, move.acceleration, move.deceleration),
                    True,
                )
                for move in moves
            ]
            self._check_cancelled(entry, devices[0] if devices else None)
            self._take_devices(entry, devices)
            arrived = set()
            try:
                started, failure = self._send(entry, commands, "the move")
                # Every axis that started is awaited, so that the action never
                # ends while an axis of it still moves; once the action is
                # cancelled its axes have been stopped, and a result that is
                # lost must not hold it any longer.
                for device, command_id in started:
                    try:
                        self._await_end(entry, device, command_id, "END_MOVING")
                    except MachineError as error:
                        failure = failure or error
                    else:
                        arrived.add(device)
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
        with self._acting(device) as entry:
            self._check_cancelled(entry, device)
            self._take_devices(entry, [device])
            # Wherever the homing ends is read from the drive when needed.
            self.travel.lost(device)
            try:
                started, failure = self._send(
                    entry, [(device, "MOTOR_HOME", (method,), False)], "the homing"
                )
                if failure is not None:
                    raise failure
                self._await_end(entry, device, started[0][1], "END_HOMING")
            finally:
                self._release_devices(entry, [device])

    def axis_command(self, device, command):
        function = AXIS_FUNCTIONS.get(command)
        if function is None:
            raise MachineError(
                f"no axis command {command!r} (one of {', '.join(AXIS_FUNCTIONS)})",
                device=device,
            )
        with self._acting(device) as entry:
            self._check_cancelled(entry, device)
            self.travel.lost(device)
            with self._building(device, function), self._decoding(device, None):
                result, command_id = self.link.command(device, function, ())
            self._check_result(result, entry, device, command_id, command)

    def set_output(self, device, pin, value):
        with self._acting(device) as entry:
            self._check_cancelled(entry, device)
            with self._building(device, "IO_SET_IO"), self._decoding(device, None):
                result, command_id = self.link.set_output(device, pin, value)
            if result == -2:  # an IO module the configuration gives no outputs
                raise MachineError(
                    "the IO module has no output bytes to set", device=device, result=-2
                )
            self._check_result(
                result, entry, device, command_id, f"setting output {pin}"
            )

    def wait_input(self, device, pin, value, timeout):
        if self.local is not None:
            return self._wait_input_simulated(device, pin, value, timeout)
        with self._acting(device) as entry:
            began = time.monotonic()
            deadline = None if timeout is None else began + timeout / self.speed
            while True:
                self._check_cancelled(entry, device)
                shown = self._input(device, pin)
                if shown == value:
                    return
                now = time.monotonic()
                # A short wait (a sensor behind a valve) is read often, so
                # that it ends close to when the input changed; a long one
                # (a button) settles to the poll interval.
                pause = min(
                    self.poll_interval, max(MIN_POLL_INTERVAL, (now - began) / 10)
                )
                left = pause if deadline is None else min(pause, deadline - now)
                if left <= 0:
                    raise _input_timed_out(device, pin, value, timeout, shown)
                entry.cancelled.wait(left)

    def _wait_input_simulated(self, device, pin, value, timeout):
        with self._acting(device) as entry:
            self._check_cancelled(entry, device)
            shown = self._input(device, pin)  # an input that does not exist fails here
            if shown == value:
                return
            woken = self.local.await_input(device, pin, value, timeout, entry.cancelled)
            self._check_cancelled(entry, device)
            if woken == "ready":
                return
            if woken == "due":
                shown = self._input(device, pin)
                raise _input_timed_out(device, pin, value, timeout, shown)
            if woken == "stuck":
                self._stuck(
                    device,
                    f"input {pin} of device {device} would never show {value}: nothing "
                    f"in the simulated machine sets it (preset it: input {device} "
                    f"{pin} {value})",
                )
            raise MachineError("the in-process controller was closed", device=device)

    def _stuck(self, device, why):
        """A wait that nothing simulated could end: the run stops, naming the
        statement that waits."""
        action = running_action()
        where = getattr(action, "source", None)
        line = getattr(where, "line", None)
        statement = f"line {line}: " if line is not None else ""
        describe = getattr(action, "describe", None)
        if callable(describe):
            statement += describe()
        reason = f"the run cannot go on at {statement or 'an action'}: {why}"
        on_stuck = self._on_stuck
        if on_stuck is not None:
            on_stuck(reason)
        raise MachineError(why, device=device)

    def read_input(self, device, pin):
        with self._acting(device) as entry:
            self._check_cancelled(entry, device)
            return self._input(device, pin)

    def sleep(self, seconds):
        with self._acting(None, talks=False) as entry:
            if entry.cancelled.wait(seconds / self.speed):
                raise MachineError("cancelled during a wait")

    # --- the hooks of a run

    @contextlib.contextmanager
    def watch(self, on_lost):
        """Watches the controller while a run runs (the executor's watch
        hook): whenever an operation talks to the controller, a watchdog
        thread asks it for a device's slave status on the logger channel
        about once a second. Once two requests in a row went unanswered
        (the watchdog's or the operations') the controller is lost:
        `on_lost` is called with a `ControllerLost` that names the address,
        the ports and since when (the executor stops the run with it as its
        reason), then the machine closes its gate and ends every blocking
        call in flight on the client. From then on, until a run watches it
        again, it refuses every operation, and its stop tries the axes'
        stops only until one goes unanswered."""
        self._lost = None
        if self.local is not None:
            # An in-process controller cannot be lost; a wait that nothing
            # can end stops the run instead.
            self._on_stuck = on_lost
            try:
                yield None
            finally:
                self._on_stuck = None
            return
        watchdog = ControllerWatchdog(
            self.client,
            lambda: self._probe_device,
            lambda lost: self._controller_lost(lost, on_lost),
        )
        self._watchdog = watchdog.start()
        try:
            yield watchdog
        finally:
            self._watchdog = None
            watchdog.close(WATCHDOG_CLOSE_WAIT)

    def _controller_lost(self, lost, on_lost):
        # The run learns its reason first, so that what fails next is told
        # as a consequence of the stop, not as its cause.
        on_lost(lost)
        with self._lock:
            self._lost = lost
            for entry in self._in_flight.values():
                entry.cancelled.set()
        self.gate.close()
        self.client.cancel()

    def cancel(self, action):
        """Cancels `action`: a wait or sleep it is in ends at once, its axes in
        motion are stopped (their motion then ends with the stop's result),
        and every command it would send next is refused. The blocking calls
        of other actions go on; a result that never comes ends with the
        client's result_timeout, or with `stop_all`."""
        with self._lock:
            entry = self._in_flight.get(action)
            if entry is None:
                entry = self._in_flight[action] = self._new_entry()
            entry.cancelled.set()
            moving = list(entry.moving)
        # To a controller that no longer answers each stop costs an
        # exchange's time-out: stop_all tries them once for all.
        if self._lost is None:
            for device in moving:
                self._stop(device)

    def stop_all(self):
        """The machine's stop: closes its gate (nothing but stops leaves from
        then on), waits until whatever was being sent has gone out, sends
        `motor_stop` to every axis this machine has moved, and then ends
        every blocking call in flight on the client. Returns one entry per
        axis: its name and device, and why its stop failed if it did. Once
        the controller is lost (see `watch`), the stops after the first that
        gets no answer are not sent: each would only cost an exchange's
        time-out."""
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
        unanswered = False
        for device in devices:
            name = self.device_names.get(device)
            shown = f"{name} (device {device})" if name else f"device {device}"
            if unanswered and self._lost is not None:
                shown += ": no stop sent, the controller does not answer"
            else:
                status = self._stop(device)
                if not isinstance(status, str):
                    shown += f": the stop failed, {result_text(status)}"
                    unanswered = status == NO_ANSWER
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

    def _new_entry(self):
        flag = self.local.flag() if self.local is not None else threading.Event()
        return _InFlight(flag)

    def _heard(self, channel, result):
        """Tells the watchdog whether the controller answered a request on
        `channel` whose outcome is `result`."""
        watchdog = self._watchdog
        if watchdog is None or isinstance(result, list) or result in NOT_SENT:
            return  # no watch, or a result wait that ended without one
        watchdog.note(channel, result != NO_ANSWER)

    def _stop(self, device):
        status = self.client.motor_stop(device)
        self._heard(ACTIONS, status)
        return status

    @contextlib.contextmanager
    def _acting(self, device, talks=True):
        """The in-flight entry of the running action for one operation on
        `device`; one that `talks` to the controller keeps the watchdog
        probing while it lasts."""
        key = running_action()
        if key is None:
            key = threading.get_ident()
        with self._lock:
            if self._lost is not None:
                raise MachineError(f"not sent: {self._lost.reason}", device=device)
            entry = self._in_flight.get(key)
            if entry is None:
                entry = self._in_flight[key] = self._new_entry()
            entry.users += 1
            if self._probe_device is None and device is not None:
                self._probe_device = device
        watchdog = self._watchdog if talks else None
        if watchdog is not None:
            watchdog.begin()
        try:
            yield entry
        finally:
            if watchdog is not None:
                watchdog.end()
            with self._lock:
                entry.users -= 1
                # A cancelled action's entry stays, so that it sends nothing more.
                if entry.users == 0 and not entry.cancelled.is_set():
                    self._in_flight.pop(key, None)

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
        self._heard(LOGGER, position)
        if isinstance(position, bool) or not isinstance(position, (int, float)):
            return None
        return float(position)

    @staticmethod
    def _check_cancelled(entry, device):
        if entry.cancelled.is_set():
            raise MachineError("the action was cancelled", device=device)

    @staticmethod
    @contextlib.contextmanager
    def _building(device, function):
        """Turns a record that cannot be built (a device the configuration
        lacks or of the other kind, a missing Params factor, a value the
        record cannot carry) into a MachineError: nothing was sent."""
        try:
            yield
        except (LookupError, TypeError, ValueError, OverflowError) as error:
            device = getattr(error, "device", device)
            reason = str(error)
            if isinstance(error, KeyError):  # a setting the drive lacks
                reason = f"cannot build the {function} record: {error.args[0]}"
            raise MachineError(f"{reason}; nothing was sent", device=device) from error

    def _send(self, entry, commands, what):
        """Sends the records of `commands` (built first, all of them: a
        record that cannot be built sends none); ([(device, command id)]
        of the motions that started, the failure of the one not taken)."""
        with self._building(commands[0][0], commands[0][1]):
            sent = self.link.send_all(commands)
        started, failure = [], None
        for (device, *_), (status, command_id) in zip(commands, sent):
            self._heard(ACTIONS, status)
            if status != 1:
                failure = MachineError(
                    f"{what} was not taken: {result_text(status)}",
                    device=device,
                    command_id=command_id,
                    result=status,
                )
                break
            self._motion_started(entry, device, command_id)
            started.append((device, command_id))
        return started, failure

    def _motion_started(self, entry, device, command_id):
        with self._lock:
            self._moved.setdefault(device, None)
            entry.moving[device] = command_id
            cancelled = entry.cancelled.is_set() and self._lost is None
        if cancelled:  # cancelled while the record went out
            self._stop(device)

    def _await_end(self, entry, device, command_id, end_state):
        try:
            self._check_cancelled(entry, device)
            with self._decoding(device, command_id):
                result = self.link.await_end(device, command_id, end_state)
        finally:
            with self._lock:
                entry.moving.pop(device, None)
        what = "the homing" if end_state == "END_HOMING" else "the move"
        self._check_result(result, entry, device, command_id, what)

    def _check_result(self, result, entry, device, command_id, what):
        self._heard(ACTIONS, result)
        if result == 1:
            return
        if result == MachineLink.STUCK and self.local is not None:
            self._stuck(device, f"no result would ever come for {what}")
        if isinstance(result, list):
            if self._lost is not None:
                reason = f"no result came for {what}: {self._lost.reason}"
            elif entry.cancelled.is_set():
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
        self._heard(LOGGER, text)
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
