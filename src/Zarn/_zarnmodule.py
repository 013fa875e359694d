"""Machine modules: the objects a script names with "@", and the actions they make.

A machine's modules are declared in a Python file, `modules.py`, whose public
names become the names a script can use after "@" (see `registry`). The kinds:

- `Axis`: one servo axis with named positions (`@x move pick`).
- `IOModule`: one IO module with named output and input pins
  (`@gripper set valve on` sets an output, `@sensors set part on` waits for
  an input).
- `Tray`: a grid (or list) of slots and the cursor that walks it.
- `Handler`: an arm that picks and places at tray slots with its axes and
  gripper (`@arm pick from input_tray`, `@arm place into output_tray[3]`).
- `MachineModule`: the base of all of them; subclass it for modules of your
  own whose operations a script calls as `@camera.inspect("part", 3)`.

Every module answers the statements through `move_action`, `io_action` and
`tray_action`, and the call form through `module()`, an object whose
attributes are the module's operations. Each returns an action, a
`ModuleAction`, which carries its settings in `params` and, when executed,
drives the `Zarn.machine.Machine` that the run attached to it.
"""

from __future__ import annotations

import difflib
import functools
import importlib
import importlib.util
import inspect
import itertools
import math
import numbers
import os
import sys
import threading
import types
from collections.abc import Mapping
from pathlib import Path

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnId, ZarnState
from Zarn.machine import (
    AXIS_FUNCTIONS,
    GENERIC_HOMING_METHOD,
    NO_RATE,
    AxisMove,
    given_rates,
)

__all__ = [
    "Axis",
    "Handler",
    "IOModule",
    "MachineModule",
    "Tray",
    "builds_action",
    "drive",
    "operation",
    "output",
    "timer",
]

# The commands an axis takes without arguments, in the drive's own words.
AXIS_COMMANDS = tuple(AXIS_FUNCTIONS)
# The homing method that `motor_home` takes by default.
DEFAULT_HOMING_METHOD = GENERIC_HOMING_METHOD
# A move statement to this name runs the axis' homing, so no position may
# carry it.
HOME = "home"
TRANSFERS = ("pick", "place")
# What a cursor transfer names instead of a slot number, where a slot is
# written.
NEXT_SLOT = "next"


# --- errors ----------------------------------------------------------------------


class UnknownNameError(LookupError):
    """A script names a position, pin, tray or slot that its module lacks."""


class UnknownOperationError(UnknownNameError, AttributeError):
    """A module has no operation of that name. Also an AttributeError, so
    `getattr(module(), name, None)` and `hasattr` behave as usual."""


class UnknownModuleError(KeyError):
    """A script names, after "@", a module that the registry does not hold."""

    def __str__(self):
        # KeyError would show the message in quotes.
        return str(self.args[0]) if self.args else ""


class TrayExhaustedError(RuntimeError):
    """A transfer at a tray's next slot found every slot used."""


class MachineNotAttachedError(RuntimeError):
    """An action executed before the run gave it a machine."""


class ModulesFileError(ImportError):
    """A machine modules file could not be loaded; names the file and line."""

    def __init__(self, message, *, path, line=None):
        super().__init__(message, path=str(path))
        self.line = line


# --- values as scripts and users write them --------------------------------------


def _described(value):
    return f"{value!r} ({type(value).__name__})"


def _plain(value):
    """Names reach modules as text or, from some parse rules, as identifiers."""
    return value.id if isinstance(value, ZarnId) else value


def _name(value, what):
    value = _plain(value)
    if not isinstance(value, str) or not value.isidentifier():
        raise TypeError(
            f"{what} must be a name (letters, digits, _), not {_described(value)}"
        )
    return value


def _real(value, what, *, text=False):
    """A finite number; with `text`, also number text as a script may pass it."""
    value = _plain(value)
    if text and isinstance(value, str):
        try:
            value = float(value)
        except ValueError:
            raise ValueError(f"{what} must be a number, not {value!r}") from None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {_described(value)}")
    if not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number, not {value!r}")
    return float(value)


def _integer(value, what, *, text=False):
    value = _plain(value)
    if text and isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {_described(value)}")
    return int(value)


def _device(value, owner):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            f"the device of {owner} must be an integer MorvoID of the machine "
            f"configuration, not {_described(value)}"
        )
    if value < 1:
        raise ValueError(
            f"the device of {owner} must be a MorvoID from 1 up, not {value}"
        )
    return int(value)


def _rate(value, what):
    """Velocity, acceleration or deceleration: positive, or -1 (or None) for
    the drive's own setting."""
    if value is None:
        return NO_RATE
    rate = _real(value, what, text=True)
    if rate == NO_RATE:
        return NO_RATE
    if rate <= 0:
        raise ValueError(
            f"{what} must be positive (or -1 for the drive's own), not {rate!r}"
        )
    return rate


def _seconds(value, what):
    seconds = _real(value, what, text=True)
    if seconds < 0:
        raise ValueError(f"{what} must not be negative, not {seconds!r}")
    return seconds


_ON = frozenset({"on", "1", "true", "high", "yes"})
_OFF = frozenset({"off", "0", "false", "low", "no"})


def status_value(value, where="a status"):
    """0 or 1 from the ways a script writes a pin's state: on/off (any case),
    1/0, True/False, high/low, yes/no, as text, number or identifier."""
    value = _plain(value)
    if isinstance(value, str):
        word = value.strip().lower()
        if word in _ON:
            return 1
        if word in _OFF:
            return 0
    elif isinstance(value, numbers.Real) and value in (0, 1):
        return int(value)
    raise ValueError(
        f"{where}: {value!r} is not an on/off value (write on or off, 1 or 0)"
    )


def _nearest(name, known):
    close = difflib.get_close_matches(str(name), list(known), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


def _listed(names):
    return ", ".join(sorted(names)) if names else "none"


def _pair(value, what, names=("x", "y")):
    if (
        isinstance(value, (str, bytes))
        or not hasattr(value, "__len__")
        or len(value) != 2
    ):
        shown = ", ".join(names)
        raise TypeError(
            f"{what} must be a pair of numbers ({shown}), not {_described(value)}"
        )
    return tuple(_real(item, f"{what} ({name})") for item, name in zip(value, names))


def _is_number_text(text):
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False


# --- what modules command -------------------------------------------------------------


def drive(device):
    """The key of a drive that a module commands: `("drive", device)`."""
    return ("drive", _device(device, "a commanded drive"))


def output(device, pin):
    """The key of an output pin that a module commands: `("output", device,
    pin)`, the pin counted from 0 across the IO module's own bytes."""
    return (
        "output",
        _device(device, "a commanded output"),
        _pin_number(pin, "an output pin"),
    )


def commanded_by(action):
    """The devices an action commands: its `commanded()` when it has one
    (every module action has), else none."""
    commanded = getattr(action, "commanded", None)
    if not callable(commanded):
        return frozenset()
    return frozenset(commanded())


def shown_device(key):
    """'drive 13' or 'output 23 of IO module 10' for a commanded key."""
    if key[0] == "drive":
        return f"drive {key[1]}"
    return f"output {key[2]} of IO module {key[1]}"


# --- operations --------------------------------------------------------------------

_OPERATION_MARK = "_zarn_operation"
_RUNS, _BUILDS = "runs", "builds"


def operation(function):
    """Marks a method of a `MachineModule` subclass as an operation a script
    calls with `@module.name(args)`. The method runs when the action executes,
    with the script's arguments; inside it `self.machine` is the machine the
    run is on. Arguments are checked against its signature when the script
    compiles."""
    setattr(function, _OPERATION_MARK, _RUNS)
    return function


def builds_action(function):
    """Marks a method as an operation that builds its action itself when the
    script compiles: it must return a `ZarnAction`."""
    setattr(function, _OPERATION_MARK, _BUILDS)
    return function


def operation_table(kind):
    """{name: (how, function)} of a module kind's operations, `how` being
    "runs" or "builds"."""
    table = kind.__dict__.get("_zarn_operation_table")
    if table is None:
        table = {}
        for name in dir(kind):
            if name.startswith("_"):
                continue
            function = inspect.getattr_static(kind, name)
            how = getattr(function, _OPERATION_MARK, None)
            if how is not None and inspect.isfunction(function):
                table[name] = (how, function)
        kind._zarn_operation_table = table
    return table


# Reading a signature costs more than building the action; each operation's
# is read once.
_signature = functools.lru_cache(maxsize=None)(inspect.signature)


def _signature_shown(function):
    signature = _signature(function)
    return str(signature.replace(parameters=list(signature.parameters.values())[1:]))


def _check_arguments(module, name, function, args):
    try:
        _signature(function).bind(module, *args)
    except TypeError as error:
        raise TypeError(
            f"@{module.name}.{name}{_signature_shown(function)}: {error}"
        ) from None


class Operations:
    """What `module()` returns: one attribute per operation of the module,
    each a callable that takes the script's arguments and returns an action."""

    __slots__ = ("_module",)

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        module = self._module
        entry = operation_table(type(module)).get(name)
        if entry is None:
            raise UnknownOperationError(module._unknown_operation(name))
        how, function = entry

        def call(*args):
            # An identifier given as an argument stands for its name.
            args = [_plain(arg) for arg in args]
            _check_arguments(module, name, function, args)
            if how == _RUNS:
                return ExternalCall(module, operation=name, args=args)
            action = function(module, *args)
            if not isinstance(action, ZarnAction):
                raise TypeError(
                    f"operation {name} of @{module.name} returned "
                    f"{_described(action)}, not an action"
                )
            return action

        call.__name__ = name
        call.__doc__ = function.__doc__
        return call

    def __dir__(self):
        return sorted(operation_table(type(self._module)))

    def __repr__(self):
        return f"<operations of @{self._module.name}: {', '.join(dir(self))}>"


# The machine and the action executing on this thread: user operations reach
# the machine through it, and a machine tells its callers apart by it.
_running = threading.local()


def running_action():
    """The module action executing on this thread, or None."""
    return getattr(_running, "action", None)


# --- modules -----------------------------------------------------------------------


class MachineModule:
    """The base of every machine module: a `name`, identity as equality (two
    modules are the same module only if they are one object), the statement
    operations, and the call form.

    Subclass it for a module of your own and mark its operations with
    `@operation` (runs when the action executes) or `@builds_action`. Every
    module offers `wait(seconds)` and `log(*parts)`, so a block of one
    module's actions can pause or report without leaving the module.
    """

    def __init__(self, name):
        self.name = _name(name, f"the name given to {type(self).__name__}()")

    def __repr__(self):
        return f"<{type(self).__name__} @{self.name}>"

    # A module stands for a part of the machine: copies of actions share it,
    # and deep copies of settings that hold it (a transfer's tray) keep it.
    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __call__(self):
        return Operations(self)

    def commanded(self):
        """The devices this module's operations command: keys made by
        `drive(device)` and `output(device, pin)`. A module of your own
        commands nothing unless it says so here; the compiler refuses a
        script in which two actions that command one device could run at
        the same time."""
        return frozenset()

    @property
    def machine(self):
        """The machine of the action that is executing on this thread."""
        machine = getattr(_running, "machine", None)
        if machine is None:
            raise MachineNotAttachedError(
                f"@{self.name}.machine is there only while one of its actions executes"
            )
        return machine

    def _unknown_operation(self, name):
        known = operation_table(type(self))
        return (
            f"@{self.name} ({type(self).__name__}) has no operation {name!r} "
            f"(its operations: {_listed(known)}){_nearest(name, known)}"
        )

    def _no_statement(self, statement, needs):
        return UnknownOperationError(
            f"@{self.name} is a {type(self).__name__}, which has no {statement} "
            f"statement: {needs}"
        )

    def move_action(self, position_name):
        raise self._no_statement(
            "move", "a move statement names an Axis and a position"
        )

    def io_action(self, pin_name, status):
        raise self._no_statement(
            "io", "an io statement names an IOModule, a pin and a status"
        )

    def tray_action(self, tray, operation):
        raise self._no_statement(
            "transfer",
            "a transfer statement names a Handler, pick or place, and a tray",
        )

    @builds_action
    def wait(self, seconds):
        """Pauses this module's line for `seconds`."""
        return Wait(self, seconds=seconds)

    @builds_action
    def log(self, *parts):
        """Shows the parts, separated by spaces, when the action runs."""
        return Log(self, text=" ".join(str(part) for part in parts))


class Axis(MachineModule):
    """A servo axis: its device, its named positions in user units, and the
    rates its moves use (-1: the drive's own).

    `@x move pick` moves to the position named pick; `@x move home` runs the
    homing (so no position may be named home). Through the call form:
    `home(method)`, `enable()`, `disable()`, `stop()`, `reset()`,
    `move_to(target)` (a number or a position name) and `move_by(step)`, the
    last two with optional velocity, acceleration and deceleration.
    `limits=(low, high)` refuses positions and targets outside the travel.
    """

    def __init__(
        self,
        name,
        device,
        positions=None,
        *,
        velocity=NO_RATE,
        acceleration=NO_RATE,
        deceleration=NO_RATE,
        homing_method=DEFAULT_HOMING_METHOD,
        limits=None,
    ):
        super().__init__(name)
        owner = f"Axis {self.name!r}"
        self.device = _device(device, owner)
        self.velocity = _rate(velocity, f"the velocity of {owner}")
        self.acceleration = _rate(acceleration, f"the acceleration of {owner}")
        self.deceleration = _rate(deceleration, f"the deceleration of {owner}")
        self.homing_method = _integer(homing_method, f"the homing method of {owner}")
        self.limits = None
        if limits is not None:
            low, high = _pair(limits, f"the limits of {owner}", ("low", "high"))
            if low > high:
                raise ValueError(
                    f"the limits of {owner} run from {low!r} down to {high!r}"
                )
            self.limits = (low, high)
        if positions is None:
            positions = {}
        if not isinstance(positions, Mapping):
            raise TypeError(
                f"the positions of {owner} must be a mapping of names to numbers, "
                f"not {_described(positions)}"
            )
        self.positions = {}
        for position, target in positions.items():
            position = _name(position, f"a position name of {owner}")
            if position == HOME:
                raise ValueError(
                    f"{owner} may not name a position {HOME!r}: '@{self.name} move home' "
                    f"runs the homing; call the place of rest e.g. 'park'"
                )
            what = f"position {position!r} of {owner}"
            self.positions[position] = self.check_target(_real(target, what), what)

    def __repr__(self):
        return f"<Axis @{self.name} device {self.device}>"

    def commanded(self):
        return frozenset({drive(self.device)})

    def check_target(self, target, what):
        """Returns `target`, refusing one outside the axis' limits."""
        if self.limits is not None and not self.limits[0] <= target <= self.limits[1]:
            low, high = self.limits
            raise ValueError(
                f"{what}: {target!r} is outside the travel of axis {self.name!r} "
                f"({low!r} to {high!r})"
            )
        return target

    def position(self, name):
        """The target of a named position."""
        name = _plain(name)
        try:
            return self.positions[name]
        except (KeyError, TypeError):
            pass
        raise UnknownNameError(
            f"axis @{self.name} has no position {name!r} (its positions: "
            f"{_listed(self.positions)}; 'home' runs the homing){_nearest(name, self.positions)}"
        )

    def axis_move(self, target, velocity=None, acceleration=None, deceleration=None):
        """The `AxisMove` of this axis to `target` at its own rates unless
        others are given; transfers use it for each axis they drive."""
        return AxisMove(
            self.device,
            target,
            self.velocity if velocity is None else velocity,
            self.acceleration if acceleration is None else acceleration,
            self.deceleration if deceleration is None else deceleration,
            limits=self.limits,
            axis=self.name,
        )

    def _rates(self, velocity, acceleration, deceleration):
        chosen = {}
        for key, given, own in (
            ("velocity", velocity, self.velocity),
            ("acceleration", acceleration, self.acceleration),
            ("deceleration", deceleration, self.deceleration),
        ):
            chosen[key] = (
                own if given is None else _rate(given, f"the {key} of @{self.name}")
            )
        return chosen

    def move_action(self, position_name):
        if _plain(position_name) == HOME:
            return self.home()
        return self.move_to(position_name)

    @builds_action
    def move_to(self, target, velocity=None, acceleration=None, deceleration=None):
        """Moves to `target`: a number, or the name of a position."""
        target = _plain(target)
        position = None
        if isinstance(target, str) and not _is_number_text(target):
            position, value = target, self.position(target)
        else:
            value = self.check_target(
                _real(target, f"the target of @{self.name}", text=True),
                f"a move of @{self.name}",
            )
        return MoveAxis(
            self,
            device=self.device,
            target=value,
            position=position,
            **self._rates(velocity, acceleration, deceleration),
        )

    @builds_action
    def move_by(self, step, velocity=None, acceleration=None, deceleration=None):
        """Moves by `step` from where the axis stands."""
        return MoveAxisBy(
            self,
            device=self.device,
            step=_real(step, f"the step of @{self.name}", text=True),
            **self._rates(velocity, acceleration, deceleration),
        )

    @builds_action
    def home(self, method=None):
        """Runs the homing with `method`, or the axis' homing method."""
        method = self.homing_method if method is None else method
        return HomeAxis(self, device=self.device, method=method)

    @builds_action
    def enable(self):
        return AxisCommand(self, device=self.device, command="enable")

    @builds_action
    def disable(self):
        return AxisCommand(self, device=self.device, command="disable")

    @builds_action
    def stop(self):
        return AxisCommand(self, device=self.device, command="stop")

    @builds_action
    def reset(self):
        return AxisCommand(self, device=self.device, command="reset")


def _pin_number(value, what):
    """A pin counted from 0 across the module's bytes, or a (byte, bit) pair."""
    if isinstance(value, tuple) and len(value) == 2:
        byte = _integer(value[0], f"the byte of {what}")
        bit = _integer(value[1], f"the bit of {what}")
        if byte < 0 or not 0 <= bit < 8:
            raise ValueError(
                f"{what}: byte {byte}, bit {bit} is no pin (bits run 0 to 7)"
            )
        return byte * 8 + bit
    pin = _integer(value, what)
    if pin < 0:
        raise ValueError(f"{what} must be a pin number from 0 up, not {pin}")
    return pin


class IOModule(MachineModule):
    """An IO module: its device and its named pins. `outputs` and `inputs`
    map names to pin numbers, counted from 0 across the module's own bytes
    (pin 11 is bit 3 of its second byte), or to (byte, bit) pairs.

    `@m set NAME STATUS` sets the output NAME to STATUS, or, for an input,
    waits until it shows STATUS, at most `input_timeout` seconds. Through the
    call form: `set(pin, status)`, `on(pin)`, `off(pin)` and
    `wait_for(pin, status, timeout)`.
    """

    def __init__(self, name, device, outputs=None, inputs=None, *, input_timeout=5.0):
        super().__init__(name)
        owner = f"IOModule {self.name!r}"
        self.device = _device(device, owner)
        self.input_timeout = self._timeout(
            input_timeout, f"the input_timeout of {owner}"
        )
        self.outputs = self._pins(outputs, "output", owner)
        self.inputs = self._pins(inputs, "input", owner)
        both = self.outputs.keys() & self.inputs.keys()
        if both:
            raise ValueError(
                f"{owner} names {_listed(both)} both an output and an input"
            )

    def __repr__(self):
        return f"<IOModule @{self.name} device {self.device}>"

    def commanded(self):
        return frozenset(output(self.device, pin) for pin in self.outputs.values())

    @staticmethod
    def _timeout(value, what):
        seconds = _seconds(value, what)
        if seconds == 0:
            raise ValueError(f"{what} must be more than 0 seconds")
        return seconds

    @staticmethod
    def _pins(pins, direction, owner):
        if pins is None:
            return {}
        if not isinstance(pins, Mapping):
            raise TypeError(
                f"the {direction}s of {owner} must be a mapping of names to pins, "
                f"not {_described(pins)}"
            )
        named = {}
        by_pin = {}
        for name, pin in pins.items():
            name = _name(name, f"an {direction} name of {owner}")
            number = _pin_number(pin, f"{direction} {name!r} of {owner}")
            if number in by_pin:
                raise ValueError(
                    f"{owner} names {direction} pin {number} twice: "
                    f"{by_pin[number]!r} and {name!r}"
                )
            by_pin[number] = name
            named[name] = number
        return named

    def _unknown_pin(self, name, among=None):
        known = among if among is not None else {**self.outputs, **self.inputs}
        return UnknownNameError(
            f"IO module @{self.name} has no pin {name!r} (outputs: "
            f"{_listed(self.outputs)}; inputs: {_listed(self.inputs)}){_nearest(name, known)}"
        )

    def io_action(self, pin_name, status):
        name = _plain(pin_name)
        if name in self.outputs:
            return self.set(name, status)
        if name in self.inputs:
            return self.wait_for(name, status)
        raise self._unknown_pin(name)

    @builds_action
    def set(self, pin, status):
        """Sets the output `pin` to `status` (on/off, 1/0)."""
        name = _plain(pin)
        if name not in self.outputs:
            if name in self.inputs:
                raise ValueError(
                    f"{name!r} of @{self.name} is an input: it can be waited for "
                    f"(wait_for), not set"
                )
            raise self._unknown_pin(name, self.outputs)
        value = status_value(status, f"@{self.name} {name}")
        return SetOutput(
            self, device=self.device, pin=self.outputs[name], value=value, pin_name=name
        )

    @builds_action
    def on(self, pin):
        return self.set(pin, 1)

    @builds_action
    def off(self, pin):
        return self.set(pin, 0)

    @builds_action
    def wait_for(self, pin, status, timeout=None):
        """Waits until the input `pin` shows `status`, at most `timeout`
        seconds (the module's input_timeout unless given)."""
        name = _plain(pin)
        if name not in self.inputs:
            if name in self.outputs:
                raise ValueError(
                    f"{name!r} of @{self.name} is an output: it can be set, not waited for"
                )
            raise self._unknown_pin(name, self.inputs)
        value = status_value(status, f"@{self.name} {name}")
        if timeout is None:
            timeout = self.input_timeout
        return WaitInput(
            self,
            device=self.device,
            pin=self.inputs[name],
            value=value,
            pin_name=name,
            timeout=self._timeout(timeout, f"the timeout of @{self.name} {name}"),
        )


class Tray(MachineModule):
    """A tray of slots, numbered from 1, each with its (x, y) position.

    A grid: `Tray(name, rows, cols, origin=(x, y), pitch=(dx, dy))`, slot 1
    at `origin`, numbered along each row (slot 2 at x + dx), then row by row
    (slot cols + 1 at y + dy). Or a list: `Tray(name, slots=[(x, y), ...])`.
    `height` is the z position at which a handler grips in it; `angle` the
    position of a handler's rotation axis there.

    The tray keeps a cursor: a transfer that names no slot takes the slot
    under the cursor when it executes and moves the cursor on, so a loop of
    transfers walks the tray. `reset_cursor(slot)` (and the script's
    `@tray.reset(slot)`, when it executes) puts it back.
    """

    def __init__(
        self,
        name,
        rows=None,
        cols=None,
        *,
        origin=None,
        pitch=None,
        slots=None,
        height=None,
        angle=None,
    ):
        super().__init__(name)
        owner = f"Tray {self.name!r}"
        if slots is not None:
            if any(value is not None for value in (rows, cols, origin, pitch)):
                raise TypeError(
                    f"{owner}: give either rows, cols, origin and pitch, or slots"
                )
            if isinstance(slots, (str, bytes, Mapping)) or not hasattr(
                slots, "__iter__"
            ):
                raise TypeError(
                    f"the slots of {owner} must be a list of (x, y), not {_described(slots)}"
                )
            positions = [
                _pair(p, f"slot {n} of {owner}") for n, p in enumerate(slots, 1)
            ]
            if not positions:
                raise ValueError(f"{owner} has no slots")
            self.rows = self.cols = None
        else:
            self.rows = self._count(rows, "rows", owner)
            self.cols = self._count(cols, "cols", owner)
            if origin is None:
                raise TypeError(f"{owner} needs origin=(x, y), the position of slot 1")
            x0, y0 = _pair(origin, f"the origin of {owner}")
            if pitch is None:
                if self.rows * self.cols > 1:
                    raise TypeError(
                        f"{owner} needs pitch=(dx, dy), the distance between slots"
                    )
                pitch = (0.0, 0.0)
            dx, dy = _pair(pitch, f"the pitch of {owner}")
            positions = [
                (x0 + col * dx, y0 + row * dy)
                for row in range(self.rows)
                for col in range(self.cols)
            ]
        self.slots = tuple(positions)
        self.height = (
            None if height is None else _real(height, f"the height of {owner}")
        )
        self.angle = None if angle is None else _real(angle, f"the angle of {owner}")
        self._cursor_lock = threading.Lock()
        self._cursor = 1

    def __repr__(self):
        shape = f"{self.rows}x{self.cols}" if self.rows else f"{self.slot_count} slots"
        return f"<Tray @{self.name} {shape}>"

    @staticmethod
    def _count(value, what, owner):
        if value is None:
            raise TypeError(f"{owner} needs {what} (or a list of slots)")
        count = _integer(value, f"the {what} of {owner}")
        if count < 1:
            raise ValueError(f"the {what} of {owner} must be at least 1, not {count}")
        return count

    @property
    def slot_count(self):
        return len(self.slots)

    def check_slot(self, slot):
        """Returns `slot` (a number or number text) as an int, refusing one
        the tray does not have."""
        number = _integer(slot, f"a slot of tray {self.name!r}", text=True)
        if not 1 <= number <= self.slot_count:
            raise IndexError(
                f"tray {self.name!r} has slots 1 to {self.slot_count}, not {number}"
            )
        return number

    def slot_at(self, row, col):
        """The slot number of a grid place, row and col counted from 1."""
        if self.rows is None:
            raise TypeError(
                f"tray {self.name!r} is a list of slots, not a grid of rows"
            )
        row = _integer(row, f"a row of tray {self.name!r}", text=True)
        col = _integer(col, f"a column of tray {self.name!r}", text=True)
        if not (1 <= row <= self.rows and 1 <= col <= self.cols):
            raise IndexError(
                f"tray {self.name!r} has rows 1 to {self.rows} and columns 1 to "
                f"{self.cols}, not row {row}, column {col}"
            )
        return (row - 1) * self.cols + col

    def slot_position(self, slot):
        return self.slots[self.check_slot(slot) - 1]

    @property
    def next_slot(self):
        """The slot the next cursor transfer takes, or None when all are used."""
        with self._cursor_lock:
            return self._cursor if self._cursor <= self.slot_count else None

    def take_next_slot(self):
        """Takes the slot under the cursor and moves the cursor on; one slot
        per call also when transfers run on several threads."""
        with self._cursor_lock:
            if self._cursor > self.slot_count:
                raise TrayExhaustedError(
                    f"tray {self.name!r} has no slot left: all {self.slot_count} are "
                    f"used (@{self.name}.reset() starts it again)"
                )
            slot = self._cursor
            self._cursor += 1
            return slot

    def reset_cursor(self, slot=1):
        """Puts the cursor on `slot` now (the script's reset does it when it
        executes)."""
        slot = self.check_slot(slot)
        with self._cursor_lock:
            self._cursor = slot

    @builds_action
    def reset(self, slot=1):
        """Puts the cursor back on `slot` when the action executes."""
        return ResetTray(self, slot=slot)


class Handler(MachineModule):
    """A pick-and-place arm: gantry axes `x` and `y`, lift axis `z`, an
    optional rotation axis `r`, and a gripper worked by one output of an IO
    module.

    A transfer at a slot of one of its `trays` lifts z to its `travel`
    position, moves x and y (and r to the tray's angle) to the slot
    together, lowers z to the tray's height, closes (pick) or opens (place)
    the gripper and waits for its sensor (`gripped` on a pick, `released` on
    a place, each an input of the gripper module, optional), waits
    `grip_time` seconds, and lifts z back to travel.

    `@arm pick from input_tray` takes the tray's next slot; a slot can be
    given with the tray. Through the call form: `pick(tray, slot)` and
    `place(tray, slot)`, the slot optional.
    """

    def __init__(
        self,
        name,
        *,
        x,
        y,
        z,
        gripper,
        grip,
        trays,
        travel,
        r=None,
        gripped=None,
        released=None,
        grip_time=0.0,
    ):
        super().__init__(name)
        owner = f"Handler {self.name!r}"
        for role, axis in (("x", x), ("y", y), ("z", z), ("r", r)):
            if not (axis is None and role == "r") and not isinstance(axis, Axis):
                raise TypeError(
                    f"{role} of {owner} must be an Axis, not {_described(axis)}"
                )
        self.x, self.y, self.z, self.r = x, y, z, r
        axes = [axis for axis in (x, y, z, r) if axis is not None]
        if len({axis.device for axis in axes}) != len(axes):
            raise ValueError(f"the axes of {owner} must be different devices")
        if not isinstance(gripper, IOModule):
            raise TypeError(
                f"the gripper of {owner} must be an IOModule, not {_described(gripper)}"
            )
        self.gripper = gripper
        if grip not in gripper.outputs:
            raise gripper._unknown_pin(grip, gripper.outputs)
        self.grip = grip
        for sensor in (gripped, released):
            if sensor is not None and sensor not in gripper.inputs:
                raise gripper._unknown_pin(sensor, gripper.inputs)
        self.gripped, self.released = gripped, released
        z.position(travel)
        self.travel = travel
        self.grip_time = _seconds(grip_time, f"the grip_time of {owner}")
        if isinstance(trays, Tray) or not hasattr(trays, "__iter__"):
            raise TypeError(f"the trays of {owner} must be a list of Tray")
        self.trays = {}
        for tray in trays:
            self._add_tray(tray, owner)
        if not self.trays:
            raise ValueError(f"{owner} has no trays to transfer at")

    def __repr__(self):
        return f"<Handler @{self.name} trays {', '.join(self.trays)}>"

    def commanded(self):
        axes = (self.x, self.y, self.z, self.r)
        keys = {drive(axis.device) for axis in axes if axis is not None}
        keys.add(output(self.gripper.device, self.gripper.outputs[self.grip]))
        return frozenset(keys)

    def _add_tray(self, tray, owner):
        if not isinstance(tray, Tray):
            raise TypeError(
                f"the trays of {owner} must be Tray objects, not {_described(tray)}"
            )
        if tray.name in self.trays:
            raise ValueError(f"{owner} has two trays named {tray.name!r}")
        if tray.height is None:
            raise ValueError(
                f"tray {tray.name!r} has no height: give Tray(..., height=Z), the "
                f"position of z at which {owner} grips there"
            )
        self.z.check_target(tray.height, f"the height of tray {tray.name!r}")
        if tray.angle is not None:
            if self.r is None:
                raise ValueError(
                    f"tray {tray.name!r} has an angle but {owner} has no rotation axis r"
                )
            self.r.check_target(tray.angle, f"the angle of tray {tray.name!r}")
        for number, (slot_x, slot_y) in enumerate(tray.slots, 1):
            what = f"slot {number} of tray {tray.name!r}"
            self.x.check_target(slot_x, what)
            self.y.check_target(slot_y, what)
        self.trays[tray.name] = tray

    def tray(self, name):
        """One of the handler's trays, by object, name or identifier."""
        if isinstance(name, Tray):
            if self.trays.get(name.name) is name:
                return name
            raise UnknownNameError(
                f"tray {name.name!r} is not one of the trays of @{self.name} "
                f"({_listed(self.trays)})"
            )
        name = _plain(name)
        if isinstance(name, str) and name in self.trays:
            return self.trays[name]
        raise UnknownNameError(
            f"@{self.name} has no tray {name!r} (its trays: {_listed(self.trays)})"
            f"{_nearest(name, self.trays)}"
        )

    def _tray_and_slot(self, place):
        """A tray with its slot (None: the next), from the forms a script
        gives: a tray (object, name, identifier), [tray, slot], [tray, row,
        col], or a map with tray (or name), and slot or row and col."""
        slot = row = col = None
        if isinstance(place, Mapping) or (
            hasattr(place, "keys") and hasattr(place, "get")
        ):
            tray = place.get("tray") or place.get("name")
            slot, row, col = place.get("slot"), place.get("row"), place.get("col")
        elif isinstance(place, (list, tuple)):
            if not 1 <= len(place) <= 3:
                raise TypeError(
                    f"@{self.name}: a tray with its slot is [tray], [tray, slot] or "
                    f"[tray, row, col], not {place!r}"
                )
            tray, *rest = place
            if len(rest) == 1:
                slot = rest[0]
            elif len(rest) == 2:
                row, col = rest
        else:
            tray = place
        tray = self.tray(tray)
        if row is not None or col is not None:
            return tray, tray.slot_at(row, col)
        if slot is None or _plain(slot) == NEXT_SLOT:
            return tray, None
        return tray, tray.check_slot(slot)

    def tray_action(self, tray, operation):
        op = _plain(operation)
        if op not in TRANSFERS:
            raise ValueError(f"@{self.name} can pick or place, not {op!r}")
        tray, slot = self._tray_and_slot(tray)
        return Transfer(self, operation=op, tray=tray, slot=slot)

    @builds_action
    def pick(self, tray, slot=None):
        """Picks at `slot` of `tray`, or at its next slot."""
        return self.tray_action([tray, slot], "pick")

    @builds_action
    def place(self, tray, slot=None):
        """Places at `slot` of `tray`, or at its next slot."""
        return self.tray_action([tray, slot], "place")


# --- actions -----------------------------------------------------------------------


class ModuleAction(ZarnAction):
    """The base of the actions that machine modules make.

    `operation` names what the action does ("move", "home", "set", "pick",
    ...); `describe()` says it in a sentence; `repr()` is the compact form
    `Kind(@module details)`.

    Executing: the run gives each action its `machine` (a
    `Zarn.machine.Machine`) before it starts. `execute()` moves `state` to
    `Executing`, calls `perform(machine)`, then moves `state` to `Finished`,
    or on any failure to `Error` keeping the exception in `error` and
    raising it again; `finish_signal` is set in every case.
    """

    operation = "act"
    machine = None
    error = None
    # Where the statement that made it stands in its script, (line, column),
    # when it was compiled from one; copies keep it.
    source = None

    def setup(self, **settings):
        raise TypeError(
            "ModuleAction is the base of the module actions; construct one of its "
            "kinds (MoveAxis, SetOutput, Transfer, ...)"
        )

    def perform(self, machine):
        raise NotImplementedError(f"{type(self).__name__} does not say how it executes")

    def commanded(self):
        """The devices this action commands (see `drive` and `output`);
        reading inputs, waiting and showing messages command nothing."""
        return frozenset()

    def copy(self):
        twin = super().copy()
        if self.source is not None:
            twin.source = self.source
        return twin

    def execute(self):
        machine = self.machine
        self.state = ZarnState.Executing
        previous = getattr(_running, "machine", None)
        previous_action = getattr(_running, "action", None)
        try:
            if machine is None:
                raise MachineNotAttachedError(
                    f"{self!r} has no machine to execute on: the run attaches one "
                    f"(Zarn._zarnmodule.attach) before it starts the actions"
                )
            _running.machine = machine
            _running.action = self
            self.perform(machine)
        except BaseException as error:
            self.error = error
            self.state = ZarnState.Error
            raise
        else:
            self.state = ZarnState.Finished
        finally:
            _running.machine = previous
            _running.action = previous_action
            self.finish_signal.set()

    def _module_name(self):
        return getattr(self.module, "name", repr(self.module))

    def _summary(self):
        return ""

    def __repr__(self):
        summary = self._summary()
        return f"{type(self).__name__}(@{self._module_name()}{' ' if summary else ''}{summary})"

    def describe(self):
        return repr(self)


def attach(actions, machine):
    """Gives every module action among `actions` the machine to execute on;
    returns how many it gave one."""
    count = 0
    for action in actions:
        if isinstance(action, ModuleAction):
            action.machine = machine
            count += 1
    return count


def _rates_shown(action):
    rates = given_rates(action.velocity, action.acceleration, action.deceleration)
    shown = ", ".join(f"{name} {value!r}" for name, value in rates)
    return f" at {shown}" if shown else ""


class _RatedMove(ModuleAction):
    def _setup_rates(self, velocity, acceleration, deceleration):
        self.velocity = _rate(velocity, "the velocity of a move")
        self.acceleration = _rate(acceleration, "the acceleration of a move")
        self.deceleration = _rate(deceleration, "the deceleration of a move")


class MoveAxis(_RatedMove):
    """An absolute move. Settings: device, target, position (its name, or
    None for a plain number), velocity, acceleration, deceleration."""

    operation = "move"

    def setup(
        self,
        device,
        target,
        position=None,
        velocity=NO_RATE,
        acceleration=NO_RATE,
        deceleration=NO_RATE,
    ):
        self.device = _device(device, "a move")
        self.target = _real(target, "the target of a move")
        self.position = None if position is None else _name(position, "a position")
        self._setup_rates(velocity, acceleration, deceleration)

    def axis_move(self):
        return AxisMove(
            self.device,
            self.target,
            self.velocity,
            self.acceleration,
            self.deceleration,
            limits=getattr(self.module, "limits", None),
            axis=getattr(self.module, "name", None),
        )

    def perform(self, machine):
        machine.move([self.axis_move()])

    def commanded(self):
        return frozenset({drive(self.device)})

    def _summary(self):
        where = (
            f"{self.position}={self.target!r}" if self.position else repr(self.target)
        )
        return f"{where} dev {self.device}"

    def describe(self):
        where = (
            f"{self.position} ({self.target!r})" if self.position else repr(self.target)
        )
        return f"move @{self._module_name()} to {where} on device {self.device}{_rates_shown(self)}"


class MoveAxisBy(_RatedMove):
    """A relative move. Settings: device, step, velocity, acceleration,
    deceleration."""

    operation = "move_by"

    def setup(
        self, device, step, velocity=NO_RATE, acceleration=NO_RATE, deceleration=NO_RATE
    ):
        self.device = _device(device, "a move")
        self.step = _real(step, "the step of a move")
        self._setup_rates(velocity, acceleration, deceleration)

    def perform(self, machine):
        move = AxisMove(
            self.device,
            self.step,
            self.velocity,
            self.acceleration,
            self.deceleration,
            True,
            limits=getattr(self.module, "limits", None),
            axis=getattr(self.module, "name", None),
        )
        machine.move([move])

    def commanded(self):
        return frozenset({drive(self.device)})

    def _summary(self):
        return f"by={self.step!r} dev {self.device}"

    def describe(self):
        return (
            f"move @{self._module_name()} by {self.step!r} on device {self.device}"
            f"{_rates_shown(self)}"
        )


class HomeAxis(ModuleAction):
    """The homing run. Settings: device, method (the drive's homing method)."""

    operation = "home"

    def setup(self, device, method=DEFAULT_HOMING_METHOD):
        self.device = _device(device, "a homing")
        self.method = _integer(method, "a homing method", text=True)

    def perform(self, machine):
        machine.home(self.device, self.method)

    def commanded(self):
        return frozenset({drive(self.device)})

    def _summary(self):
        return f"method={self.method} dev {self.device}"

    def describe(self):
        return f"home @{self._module_name()} (method {self.method}) on device {self.device}"


class AxisCommand(ModuleAction):
    """An axis command without arguments. Settings: device, command (one of
    enable, disable, stop, reset), which is also the action's operation."""

    def setup(self, device, command):
        self.device = _device(device, "an axis command")
        if command not in AXIS_COMMANDS:
            raise ValueError(
                f"an axis command is one of {', '.join(AXIS_COMMANDS)}, not {command!r}"
            )
        self.operation = command

    def perform(self, machine):
        machine.axis_command(self.device, self.operation)

    def commanded(self):
        return frozenset({drive(self.device)})

    def _summary(self):
        return f"{self.operation} dev {self.device}"

    def describe(self):
        return f"{self.operation} @{self._module_name()} on device {self.device}"


class _PinAction(ModuleAction):
    def _setup_pin(self, device, pin, value, pin_name):
        self.device = _device(device, f"{type(self).__name__}")
        self.pin = _pin_number(pin, "a pin")
        self.value = status_value(value, "a pin's status")
        self.pin_name = None if pin_name is None else _name(pin_name, "a pin name")

    @property
    def byte(self):
        """The byte of the pin within the module's own bytes."""
        return self.pin // 8

    @property
    def bit(self):
        return self.pin % 8

    def _pin_shown(self):
        return self.pin_name if self.pin_name else f"pin {self.pin}"


class SetOutput(_PinAction):
    """Sets an output. Settings: device, pin, value (0 or 1), pin_name."""

    operation = "set"

    def setup(self, device, pin, value, pin_name=None):
        self._setup_pin(device, pin, value, pin_name)

    def perform(self, machine):
        machine.set_output(self.device, self.pin, self.value)

    def commanded(self):
        return frozenset({output(self.device, self.pin)})

    def _summary(self):
        return f"{self._pin_shown()}={self.value} dev {self.device} pin {self.pin}"

    def describe(self):
        state = "on" if self.value else "off"
        return (
            f"set {self._pin_shown()} of @{self._module_name()} {state} "
            f"(device {self.device}, pin {self.pin})"
        )


class WaitInput(_PinAction):
    """Waits for an input. Settings: device, pin, value (0 or 1), pin_name,
    timeout (seconds)."""

    operation = "wait_for"

    def setup(self, device, pin, value, pin_name=None, timeout=5.0):
        self._setup_pin(device, pin, value, pin_name)
        self.timeout = _seconds(timeout, "the timeout of an input wait")
        if self.timeout == 0:
            raise ValueError("the timeout of an input wait must be more than 0 seconds")

    def perform(self, machine):
        machine.wait_input(self.device, self.pin, self.value, self.timeout)

    @property
    def expected_seconds(self):
        """How long it may wait by design, beyond a command's own time (a run's
        time-out for the action comes on top of it)."""
        return self.timeout

    def _summary(self):
        return (
            f"{self._pin_shown()}=={self.value} dev {self.device} pin {self.pin} "
            f"timeout {self.timeout!r}s"
        )

    def describe(self):
        state = "on" if self.value else "off"
        return (
            f"wait until {self._pin_shown()} of @{self._module_name()} is {state} "
            f"(device {self.device}, pin {self.pin}), at most {self.timeout!r} s"
        )


class Transfer(ModuleAction):
    """A pick or place by a Handler at a tray slot. Settings: operation
    ("pick" or "place", also the action's operation), tray (the Tray object,
    shared by every copy), slot (a number, or None for the tray's next slot,
    taken when the action executes; `slot_used` then tells which)."""

    slot_used = None

    def setup(self, operation, tray, slot=None):
        if not isinstance(self.module, Handler):
            raise TypeError(
                f"a transfer is made by a Handler, not {_described(self.module)}"
            )
        if operation not in TRANSFERS:
            raise ValueError(f"a transfer picks or places, not {operation!r}")
        self.operation = operation
        self.tray = self.module.tray(tray)
        self.slot = None if slot is None else self.tray.check_slot(slot)

    def perform(self, machine):
        handler, tray = self.module, self.tray
        slot = self.slot if self.slot is not None else tray.take_next_slot()
        self.slot_used = slot
        slot_x, slot_y = tray.slot_position(slot)
        travel = handler.z.position(handler.travel)
        gripper = handler.gripper

        machine.move([handler.z.axis_move(travel)])
        over = [handler.x.axis_move(slot_x), handler.y.axis_move(slot_y)]
        if tray.angle is not None:
            over.append(handler.r.axis_move(tray.angle))
        machine.move(over)
        machine.move([handler.z.axis_move(tray.height)])
        picking = self.operation == "pick"
        machine.set_output(
            gripper.device, gripper.outputs[handler.grip], 1 if picking else 0
        )
        sensor = handler.gripped if picking else handler.released
        if sensor is not None:
            machine.wait_input(
                gripper.device, gripper.inputs[sensor], 1, gripper.input_timeout
            )
        if handler.grip_time:
            machine.sleep(handler.grip_time)
        machine.move([handler.z.axis_move(travel)])

    def commanded(self):
        return self.module.commanded()

    @property
    def expected_seconds(self):
        """The waits a transfer makes by design: the gripper's input and its
        grip time (a run's time-out comes on top of them)."""
        handler = self.module
        awaited = handler.gripped if self.operation == "pick" else handler.released
        waiting = handler.gripper.input_timeout if awaited is not None else 0.0
        return waiting + (handler.grip_time or 0.0)

    def _place_shown(self):
        return f"{self.tray.name}[{NEXT_SLOT if self.slot is None else self.slot}]"

    def _summary(self):
        return f"{self.operation} {self._place_shown()}"

    def describe(self):
        where = "the next slot" if self.slot is None else f"slot {self.slot}"
        return f"{self.operation} with @{self._module_name()} at {where} of tray {self.tray.name}"


class ResetTray(ModuleAction):
    """Puts a tray's cursor on `slot` when it executes. Settings: slot."""

    operation = "reset"

    def setup(self, slot=1):
        if not isinstance(self.module, Tray):
            raise TypeError(
                f"a tray reset belongs to a Tray, not {_described(self.module)}"
            )
        self.slot = self.module.check_slot(slot)

    def perform(self, machine):
        self.module.reset_cursor(self.slot)

    def _summary(self):
        return f"slot {self.slot}"

    def describe(self):
        return f"start tray @{self._module_name()} again at slot {self.slot}"


class Wait(ModuleAction):
    """A pause. Settings: seconds."""

    operation = "wait"

    def setup(self, seconds):
        self.seconds = _seconds(seconds, "the seconds of a wait")

    def perform(self, machine):
        machine.sleep(self.seconds)

    @property
    def expected_seconds(self):
        """How long it takes by design (a run's time-out comes on top of it)."""
        return self.seconds

    def _summary(self):
        return f"{self.seconds!r}s"

    def describe(self):
        return f"wait {self.seconds!r} s on @{self._module_name()}"


class Log(ModuleAction):
    """A message to the user. Settings: text."""

    operation = "log"

    def setup(self, text):
        if not isinstance(text, str):
            raise TypeError(f"the text of a log must be text, not {_described(text)}")
        self.text = text

    def perform(self, machine):
        machine.log(self.text)

    def _summary(self):
        return repr(self.text)

    def describe(self):
        return f"show {self.text!r} from @{self._module_name()}"


class ExternalCall(ModuleAction):
    """A call of an operation that a module kind defines with `@operation`.
    Settings: operation (its name, also the action's operation), args (the
    script's arguments, in order)."""

    def setup(self, operation, args=()):
        entry = operation_table(type(self.module)).get(operation)
        if entry is None:
            raise UnknownOperationError(self.module._unknown_operation(operation))
        if entry[0] != _RUNS:
            raise TypeError(
                f"operation {operation} of @{self.module.name} builds its own action; "
                f"call it through @{self.module.name}() instead of an ExternalCall"
            )
        self.args = tuple(args)
        _check_arguments(self.module, operation, entry[1], self.args)
        self.operation = operation

    def perform(self, machine):
        getattr(self.module, self.operation)(*self.args)

    def commanded(self):
        return frozenset(self.module.commanded())

    def _summary(self):
        return f"{self.operation}({', '.join(repr(arg) for arg in self.args)})"

    def describe(self):
        return f"@{self._module_name()}.{self._summary()}"


# A module without hardware, for pauses and messages on a line of their own.
timer = MachineModule("timer")


# --- declaring a machine's modules ---------------------------------------------------

# The package modules whose public names follow the user's modules in the
# registry; a later one's name replaces an earlier one's.
PACKAGE_MODULES = (
    "Zarn.blocks",
    "Zarn._zarnaction",
    "Zarn._zarnmodule",
    "Zarn._zarnblock",
    "Zarn._zarnprimitives",
)
USER_MODULES = "modules"
MODULES_FILE = "modules.py"
HOW_TO_DECLARE = (
    f"machine modules are declared in a {MODULES_FILE} beside the script or in the "
    f"file given with --modules FILE"
)

_private_names = itertools.count(1)
_absent = object()


def _frame_line(traceback, path):
    """The last line of `path` on the way to an error, if the file was on it."""
    line = None
    target = os.path.realpath(path)
    while traceback is not None:
        code = traceback.tb_frame.f_code
        if os.path.realpath(code.co_filename) == target:
            line = traceback.tb_lineno
        traceback = traceback.tb_next
    return line


def load_modules(source):
    """The user's modules as a Python module: `source` is one already (it is
    returned), a path to a modules file, or a folder holding `modules.py`.

    The file is imported under a private name of its own (kept in
    `sys.modules` under that name), with its folder on `sys.path` while it
    runs, so it can import files beside it; `sys.modules["modules"]` is left
    as it was. Each call loads the file afresh, with fresh trays and cursors.
    An error in the file is raised as `ModulesFileError` naming file and line.
    """
    if isinstance(source, types.ModuleType):
        return source
    try:
        path = Path(os.fspath(source))
    except TypeError:
        raise TypeError(
            f"machine modules come from a module or a path to a {MODULES_FILE}, "
            f"not {_described(source)}"
        ) from None
    if path.is_dir():
        path = path / MODULES_FILE
    if not path.is_file():
        raise FileNotFoundError(f"no machine modules file at {path}")

    name = f"_zarn_modules_{next(_private_names)}"
    # Absolute, so that the file is found again whatever the working folder.
    spec = importlib.util.spec_from_file_location(name, path.resolve())
    module = importlib.util.module_from_spec(spec)
    folder = str(path.resolve().parent)
    saved = sys.modules.get(USER_MODULES, _absent)
    sys.modules[name] = module
    sys.path.insert(0, folder)
    try:
        spec.loader.exec_module(module)
    except BaseException as error:
        sys.modules.pop(name, None)
        if not isinstance(error, Exception):  # Ctrl-C and exits pass as they are
            raise
        if isinstance(error, SyntaxError) and error.lineno is not None:
            # Possibly in a file the modules file imports: name that one.
            shown, line, reason = error.filename or path, error.lineno, error.msg
        else:
            shown, line = path, _frame_line(error.__traceback__, path)
            reason = f"{type(error).__name__}: {error}"
        where = f"{shown}, line {line}" if line else str(shown)
        raise ModulesFileError(
            f"cannot load machine modules from {where}: {reason}", path=path, line=line
        ) from error
    finally:
        try:
            sys.path.remove(folder)
        except ValueError:
            pass
        # A file that imports itself as "modules" must not leave that behind.
        if saved is _absent:
            sys.modules.pop(USER_MODULES, None)
        else:
            sys.modules[USER_MODULES] = saved
    return module


def find_modules_file(script):
    """The `modules.py` beside a script, or None."""
    candidate = Path(script).resolve().parent / MODULES_FILE
    return candidate if candidate.is_file() else None


def public_names(module):
    """{name: object} of a module's public names: those in `__all__` when it
    has one, else those not starting with "_"."""
    names = getattr(module, "__all__", None)
    if names is None:
        return {
            name: value
            for name, value in vars(module).items()
            if not name.startswith("_")
        }
    public = {}
    for name in names:
        try:
            public[name] = getattr(module, name)
        except AttributeError:
            raise ImportError(
                f"{module.__name__} lists {name!r} in __all__ but does not define it"
            ) from None
    return public


def _import_if_present(name):
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        # Only the module itself missing counts as absent; a module that is
        # there but fails to import is an error to see.
        if error.name == name:
            return None
        raise


class ModuleRegistry(dict):
    """The names a script can use after "@", each bound to its object.
    Looking up a name it does not hold raises `UnknownModuleError`.

    `user_modules` is the user's module (None when there is none), `sources`
    the modules whose names it holds, in order, and `shadowed` the user's
    names that a package module's name of the same spelling replaced, each
    with that package module's name.
    """

    # The error of a top-level `modules` that is there but failed to import
    # (see `default_registry`), or None.
    load_error = None

    def __init__(self, user_modules=None):
        super().__init__()
        self.user_modules = user_modules
        self.sources = []
        self.shadowed = {}

    def add(self, module):
        user_names = (
            public_names(self.user_modules)
            if self.user_modules is not None and self.sources
            else {}
        )
        for name, value in public_names(module).items():
            if name in user_names and user_names[name] is not value:
                self.shadowed[name] = module.__name__
            self[name] = value
        self.sources.append(module)

    def modules(self):
        """{name: module object} of the machine modules it holds."""
        return {
            name: value
            for name, value in self.items()
            if isinstance(value, MachineModule)
        }

    def __missing__(self, name):
        if not name:
            raise UnknownModuleError("a machine module's name is missing after '@'")
        known = self.modules()
        if self.user_modules is None and self.load_error is not None:
            error = self.load_error
            detail = (
                f"the top-level module {USER_MODULES!r} failed to import "
                f"({type(error).__name__}: {error}); {HOW_TO_DECLARE}"
            )
        elif self.user_modules is None:
            detail = f"no machine modules are declared: {HOW_TO_DECLARE}"
        else:
            origin = (
                getattr(self.user_modules, "__file__", None)
                or self.user_modules.__name__
            )
            detail = (
                f"{origin} declares no module of that name (known modules: "
                f"{_listed(known)}); {HOW_TO_DECLARE}"
            )
        raise UnknownModuleError(
            f"unknown machine module '@{name}': {detail}{_nearest(name, known)}"
        )


def registry(user_modules=None):
    """The module registry for one compile: the public names of the user's
    modules, then of the package modules `Zarn.blocks`, `Zarn._zarnaction`,
    `Zarn._zarnmodule`, `Zarn._zarnblock`, `Zarn._zarnprimitives` (those
    that exist), a later name replacing an earlier one.

    `user_modules` is a module, a path to a modules file or a folder holding
    one; without it the top-level module `modules` is used when it can be
    imported, and the registry is built without it when it cannot.
    """
    if user_modules is None:
        first = _import_if_present(USER_MODULES)
    else:
        first = load_modules(user_modules)
    return _registry_of(first)


def _registry_of(first):
    names = ModuleRegistry(first)
    if first is not None:
        names.add(first)
    for package_module in PACKAGE_MODULES:
        found = _import_if_present(package_module)
        if found is not None:
            names.add(found)
    return names


def default_registry():
    """The registry `Zarn.compiler` builds when it is imported: `registry()`,
    except that a top-level `modules` which is there but fails to import does
    not stop the compiler from importing. The registry is then built without
    it, keeps the error in `load_error`, and a script naming a module is told
    why there is none."""
    try:
        first = _import_if_present(USER_MODULES)
    except Exception as error:  # noqa: BLE001 -- kept and shown at the first lookup
        names = _registry_of(None)
        names.load_error = error
        return names
    return _registry_of(first)
