"""What a drive is told: the parts of a move, the rates left to the drive,
the axis commands, and the travel every move's end is checked against."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

from Zarn.errors import MachineError

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


# The axis commands without arguments, and the drive function of each.
AXIS_FUNCTIONS = {
    "enable": "MOTOR_ENABLE",
    "disable": "MOTOR_DISABLE",
    "stop": "MOTOR_STOP",
    "reset": "MOTOR_RESET",
}

# The drives' own homing method that Akribis drives know as 0 (the client's
# motor_home makes the same change).
GENERIC_HOMING_METHOD = 17
