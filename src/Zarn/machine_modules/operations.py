"""Operations: the methods of a module kind that a script calls with
`@module.name(args)`, marked by `@operation` or `@builds_action`."""

from __future__ import annotations

import functools
import inspect

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
