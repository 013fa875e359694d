"""`Handler`, a pick-and-place arm of axes and a gripper, and its
`Transfer`: a pick or place at a tray slot."""

from __future__ import annotations

from collections.abc import Mapping

from Zarn.errors import UnknownNameError
from Zarn.machine_modules.actions import ModuleAction
from Zarn.machine_modules.axis import Axis
from Zarn.machine_modules.io_module import IOModule
from Zarn.machine_modules.module import MachineModule
from Zarn.machine_modules.operations import builds_action
from Zarn.machine_modules.tray import Tray
from Zarn.machine_modules.values import (
    _described,
    _listed,
    _nearest,
    _plain,
    _seconds,
    drive,
    output,
)

TRANSFERS = ("pick", "place")
# What a cursor transfer names instead of a slot number, where a slot is
# written.
NEXT_SLOT = "next"


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


class Transfer(ModuleAction):
    """A pick or place by a Handler at a tray slot. Settings: operation
    ("pick" or "place", also the action's operation), tray (the Tray object,
    shared by every copy), slot (a number, or None for the tray's next slot,
    taken when the action executes; `slot_used` then tells which)."""

    __slots__ = ("operation", "slot", "slot_used", "tray")

    def setup(self, operation, tray, slot=None):
        self.slot_used = None
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
        taken = self.slot is None
        slot = self.slot if not taken else self.tray.take_next_slot()
        self.slot_used = slot
        try:
            self._transfer(machine, slot)
        except BaseException:
            # A pick that failed leaves its part in the slot, which the next
            # attempt then takes again (unless a later slot was taken since);
            # a place that failed may have left its part there: the slot
            # stays used.
            if taken and self.operation == "pick":
                self.tray.give_back(slot)
            raise

    def moved_modules(self):
        """The modules whose devices the transfer moves: the handler's x, y
        and z, r where the tray gives an angle, and the gripper."""
        handler = self.module
        axes = [handler.x, handler.y, handler.z]
        if self.tray.angle is not None:
            axes.append(handler.r)
        return [*axes, handler.gripper]

    def _transfer(self, machine, slot):
        handler, tray = self.module, self.tray
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
