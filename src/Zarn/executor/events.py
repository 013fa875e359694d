"""What a run tells as it goes: `RunEvent`, and what an action says about
itself (its module, operation and description) in events and the report."""

from __future__ import annotations

from dataclasses import dataclass

# --- what actions say about themselves ---------------------------------------------


def _module_name(action):
    module = getattr(action, "module", None)
    name = getattr(module, "name", None)
    return name if isinstance(name, str) else repr(module)


def _operation(action):
    operation = getattr(action, "operation", None)
    return operation if isinstance(operation, str) else type(action).__name__


def _description(action):
    describe = getattr(action, "describe", None)
    if callable(describe):
        try:
            return str(describe())
        except Exception:  # noqa: BLE001 -- a description must never break a report
            return repr(action)
    return repr(action)


def _carried(error, action, name):
    """What a failure carries (a MachineError's device, command id, result),
    else what the action knows itself."""
    for source in (error, getattr(error, "__cause__", None)):
        value = getattr(source, name, None)
        if value is not None:
            return value
    return getattr(action, name, None) if name == "device" else None


@dataclass(frozen=True)
class RunEvent:
    """Something that happened in a run, for a display.

    `kind` is "start" or "finish" (of a script action), "recover" (a guarded
    part failed; its exception part runs now), "stop" (the run is
    stopping), "paused", "resumed", "step" and "choice" (the operator's hold
    on the run), "failure" (a failure waits for the operator's choice) or
    "stop handler" (the script's stop handler runs now; its
    actions' starts and finishes follow, with `stop_handler` set). `time` counts seconds from the start of the run. For a
    finish, `outcome` is "finished", "failed", "timed out" or "cancelled",
    `error` what the action raised and `duration` how long it ran. `message`
    is a line of text for a log.
    """

    kind: str
    time: float
    step: int | None = None
    action: object = None
    module: str | None = None
    operation: str | None = None
    state: object = None
    outcome: str | None = None
    error: BaseException | None = None
    duration: float | None = None
    exception_part: bool = False
    message: str = ""
    stop_handler: bool = False

    @property
    def description(self):
        return _description(self.action) if self.action is not None else None
