"""Every exception the package raises, in one place, by the layer that
raises it (the C++ extensions keep their own).

Each layer's module re-exports its own (`from Zarn.machine import
MachineError` works as before), so a user imports an error from where the
thing that raises it lives, or from here.

The script errors name the place to fix as ``file:line:column`` and show the
line with a caret under the column, so that printing the error is enough for
a user.

This module imports nothing of the package: every layer can import it.
"""

import time

# --- reading and compiling scripts (Zarn.lang) ----------------------------------------


def _pointer(text, column):
    """The line and a caret line under character ``column`` (counted from 1).

    Tabs before the column are kept in the caret line so that it lines up
    with the text however wide the terminal shows a tab.
    """
    if not text:
        return ""
    prefix = "".join("\t" if ch == "\t" else " " for ch in text[: max(column - 1, 0)])
    return f"\n    {text}\n    {prefix}^"


class ZarnSyntaxError(SyntaxError):
    """A script that does not follow the grammar, or breaks one of its limits.

    Carries what ``SyntaxError`` carries: ``msg`` (what was expected),
    ``filename``, ``lineno``, ``offset`` (the column, counted from 1, in
    characters), ``text`` (the offending line), ``end_lineno`` and
    ``end_offset`` (just after the offending token).
    """

    def __init__(self, msg, filename, lineno, offset, text, end_offset=None):
        if end_offset is None:
            end_offset = offset + 1
        super().__init__(msg, (filename, lineno, offset, text, lineno, end_offset))

    @property
    def column(self):
        return self.offset

    def __reduce__(self):
        return (
            type(self),
            (
                self.msg,
                self.filename,
                self.lineno,
                self.offset,
                self.text,
                self.end_offset,
            ),
        )

    def __str__(self):
        return (
            f"{self.filename}:{self.lineno}:{self.offset}: {self.msg}"
            f"{_pointer(self.text, self.offset)}"
        )


class ZarnLookupError(LookupError, AttributeError):
    """Something a semantic rule looks up on an object is not there (the first
    item of an empty block, to which a wait clause would go). A LookupError,
    and an AttributeError too, since the lookup is that of an attribute."""


class ZarnCompileError(Exception):
    """A failure raised by the semantics while it built one rule of a script.

    ``filename``, ``line`` and ``column`` (counted from 1) name where the rule
    stands in the script (for a statement: where the statement starts),
    ``rule`` the rule's name, ``text`` the line itself. The semantics' own
    exception is the ``__cause__``; its kind and message are part of the text.
    """

    def __init__(self, message, filename, line, column, rule, text=""):
        super().__init__(message)
        self.message = message
        self.filename = filename
        self.line = line
        self.column = column
        self.rule = rule
        self.text = text

    def __reduce__(self):
        return (
            type(self),
            (self.message, self.filename, self.line, self.column, self.rule, self.text),
        )

    def __str__(self):
        return (
            f"{self.filename}:{self.line}:{self.column}: {self.message}"
            f"{_pointer(self.text, self.column)}"
        )


class PlanRefusal(Exception):
    """A plan that must not run: the message, and the action whose
    statement is at fault (its `source` is the statement's place)."""

    def __init__(self, message, action=None):
        super().__init__(message)
        self.action = action


# --- the machine (Zarn.machine) -------------------------------------------------------


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


class ControllerLost(MachineError):
    """The controller stopped answering while a run talked to it: `requests`
    requests in a row to `address` went unanswered, on the `ports` given as
    [(channel, port)], from `since` (a `time.time()`) on."""

    def __init__(self, *, address, ports, since, requests):
        stamp = time.strftime("%H:%M:%S", time.localtime(since))
        where = " and ".join(f"{channel} port {port}" for channel, port in ports)
        super().__init__(
            f"the controller at {address} stopped answering: no answer on its "
            f"{where} since {stamp}.{int(since % 1 * 1000):03d} "
            f"({requests} requests in a row)"
        )
        self.address = address
        self.ports = list(ports)
        self.since = since
        self.requests = requests


# --- machine modules (Zarn._zarnmodule) -----------------------------------------------


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


class ConditionError(RuntimeError):
    """A bounded loop whose condition still asked for another round after
    its last one."""


class PartTimeout(TimeoutError):
    """A part of a script with a time limit (`timeout S { ... }`) that did
    not finish within it; what ran in it was cancelled."""

    def __init__(self, seconds):
        super().__init__(
            f"the part did not finish within {seconds:g} s; what ran in it was cancelled"
        )
        self.seconds = seconds


class MachineNotAttachedError(RuntimeError):
    """An action executed before the run gave it a machine."""


class ModulesFileError(ImportError):
    """A machine modules file could not be loaded; names the file and line."""

    def __init__(self, message, *, path, line=None):
        super().__init__(message, path=str(path))
        self.line = line


# --- running (Zarn.executor) ----------------------------------------------------------


class ActionTimeout(TimeoutError):
    """An action that did not finish within its time limit. Its `__cause__`
    is what the action raised after it was cancelled, if anything."""

    def __init__(self, action, seconds):
        limit = f"{seconds:g} s" if seconds is not None else "its time limit"
        super().__init__(f"did not finish within {limit}; it was cancelled")
        self.action = action
        self.seconds = seconds


class RunInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a run. `report` tells what ran, failed, was stopped and
    skipped; uncaught, it ends the program as Ctrl-C does."""

    def __init__(self, report):
        super().__init__(report.reason)
        self.report = report


# --- pictures (Zarn.pictures) ---------------------------------------------------------


class GraphvizError(RuntimeError):
    """Graphviz's `dot` is missing, failed or took too long."""


# --- the simulated controller (Zarn.sim) and the command line (Zarn.cli) --------------


class SimulatorError(RuntimeError):
    """The simulator could not be started, or refused a control command."""


class RunError(Exception):
    """A run that cannot start; the message, a line per problem, is for the
    user."""
