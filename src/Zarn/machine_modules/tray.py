"""`Tray`, a grid or list of slots with the cursor that walks it, and the
action that puts its cursor back."""

from __future__ import annotations

import threading
from collections.abc import Mapping

from Zarn.errors import TrayExhaustedError
from Zarn.machine_modules.actions import ModuleAction
from Zarn.machine_modules.module import MachineModule
from Zarn.machine_modules.operations import builds_action
from Zarn.machine_modules.values import _described, _integer, _pair, _real


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

    def give_back(self, slot):
        """Frees `slot` again when it is the last one taken (no transfer has
        taken a later slot since): a pick that failed leaves its part where
        it was, for the next attempt to take. Returns whether it did."""
        with self._cursor_lock:
            if self._cursor != slot + 1:
                return False
            self._cursor = slot
            return True

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
