"""`Axis`, one servo axis with named positions, and the actions it makes:
moves, the homing, the axis commands."""

from __future__ import annotations

from collections.abc import Mapping

from Zarn.errors import UnknownNameError
from Zarn.machine.motion import (
    AXIS_FUNCTIONS,
    GENERIC_HOMING_METHOD,
    NO_RATE,
    AxisMove,
    given_rates,
)
from Zarn.machine_modules.actions import ModuleAction
from Zarn.machine_modules.module import MachineModule
from Zarn.machine_modules.operations import builds_action
from Zarn.machine_modules.values import (
    _described,
    _device,
    _integer,
    _is_number_text,
    _listed,
    _name,
    _nearest,
    _pair,
    _plain,
    _rate,
    _real,
    drive,
)

# The commands an axis takes without arguments, in the drive's own words.
AXIS_COMMANDS = tuple(AXIS_FUNCTIONS)
# The homing method that `motor_home` takes by default.
DEFAULT_HOMING_METHOD = GENERIC_HOMING_METHOD
# A move statement to this name runs the axis' homing, so no position may
# carry it.
HOME = "home"


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
    def move_offset(
        self, position, offset, velocity=None, acceleration=None, deceleration=None
    ):
        """Moves to a named position plus `offset` (`@z move camera + 2.5`);
        the end is checked against the travel like every target."""
        name = _plain(position)
        offset = _real(offset, f"the offset of @{self.name}", text=True)
        value = self.check_target(
            self.position(name) + offset,
            f"a move of @{self.name} to {name} {offset:+g}",
        )
        return MoveAxis(
            self,
            device=self.device,
            target=value,
            position=name,
            offset=offset,
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


def _rates_shown(action):
    rates = given_rates(action.velocity, action.acceleration, action.deceleration)
    shown = ", ".join(f"{name} {value!r}" for name, value in rates)
    return f" at {shown}" if shown else ""


class _RatedMove(ModuleAction):
    __slots__ = ("acceleration", "deceleration", "velocity")

    def _setup_rates(self, velocity, acceleration, deceleration):
        self.velocity = _rate(velocity, "the velocity of a move")
        self.acceleration = _rate(acceleration, "the acceleration of a move")
        self.deceleration = _rate(deceleration, "the deceleration of a move")


class MoveAxis(_RatedMove):
    """An absolute move. Settings: device, target, position (its name, or
    None for a plain number), offset (added to the position's target, or
    None), velocity, acceleration, deceleration."""

    operation = "move"
    __slots__ = ("device", "offset", "position", "target")

    def setup(
        self,
        device,
        target,
        position=None,
        velocity=NO_RATE,
        acceleration=NO_RATE,
        deceleration=NO_RATE,
        offset=None,
    ):
        self.device = _device(device, "a move")
        self.target = _real(target, "the target of a move")
        self.position = None if position is None else _name(position, "a position")
        self.offset = None if offset is None else _real(offset, "the offset of a move")
        self._setup_rates(velocity, acceleration, deceleration)

    def _where(self):
        if not self.position:
            return repr(self.target)
        offset = f" {self.offset:+g}" if self.offset else ""
        return f"{self.position}{offset}"

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
            f"{self._where()}={self.target!r}" if self.position else repr(self.target)
        )
        return f"{where} dev {self.device}"

    def describe(self):
        where = (
            f"{self._where()} ({self.target!r})" if self.position else repr(self.target)
        )
        return f"move @{self._module_name()} to {where} on device {self.device}{_rates_shown(self)}"


class MoveAxisBy(_RatedMove):
    """A relative move. Settings: device, step, velocity, acceleration,
    deceleration."""

    operation = "move_by"
    __slots__ = ("device", "step")

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
    __slots__ = ("device", "method")

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

    __slots__ = ("device", "operation")

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
