"""`MachineModule`, the base of every machine module, and the call form
`module()` through which a script reaches a module's operations."""

from __future__ import annotations

from Zarn._zarnaction import ZarnAction
from Zarn.errors import MachineNotAttachedError, UnknownOperationError
from Zarn.machine.running import running_machine
from Zarn.machine_modules.actions import ExternalCall, Log, Wait
from Zarn.machine_modules.operations import (
    _RUNS,
    _check_arguments,
    builds_action,
    operation_table,
)
from Zarn.machine_modules.values import _described, _listed, _name, _nearest, _plain


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
        machine = running_machine()
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


# A module without hardware, for pauses and messages on a line of their own.
timer = MachineModule("timer")
