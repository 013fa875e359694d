"""Module actions: `ModuleAction`, the base of the actions machine modules
make, and the kinds every module can make (a pause, a message, a call of a
module's own operation). The kinds of the axis, IO, tray and handler
modules stand beside their modules."""

from __future__ import annotations

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.errors import MachineNotAttachedError, UnknownOperationError
from Zarn.machine.running import executing
from Zarn.machine_modules.operations import _RUNS, _check_arguments, operation_table
from Zarn.machine_modules.values import _described, _seconds


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
    # Slots rather than a dict per action: a compiled script holds an action
    # per statement, and every declared block used by name twice over. The
    # module kinds below name theirs too; a kind that does not gets a dict.
    # `source`: where the statement that made it stands in its script, (line,
    # column), when it was compiled from one; copies keep it.
    __slots__ = ("error", "machine", "source")

    def __init__(self, module, **settings):
        self.machine = None
        self.error = None
        self.source = None
        super().__init__(module, **settings)

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
        try:
            if machine is None:
                raise MachineNotAttachedError(
                    f"{self!r} has no machine to execute on: the run attaches one "
                    f"(Zarn._zarnmodule.attach) before it starts the actions"
                )
            with executing(self, machine):
                self.perform(machine)
        except BaseException as error:
            self.error = error
            self.state = ZarnState.Error
            raise
        else:
            self.state = ZarnState.Finished
        finally:
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


class Wait(ModuleAction):
    """A pause. Settings: seconds."""

    operation = "wait"
    __slots__ = ("seconds",)

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
    __slots__ = ("text",)

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

    __slots__ = ("args", "operation")

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
