"""Runs a compiled script on a machine: the executor.

`Executor(block_or_plan, ...)` takes a compiled block (or its
`run_plan()`), and `run()` executes its actions on a small pool of worker
threads: an action starts as soon as everything it waits for has finished,
so independent machine modules move at the same time, and no worker ever
blocks waiting for another action. `run()` returns a `RunReport`.

Failures, time-outs, Ctrl-C and what the run reports are described in
docs/running.md. In short:

- An action fails when its `execute()` raises or leaves it in state `Error`,
  and when it runs longer than its time limit (it is then cancelled).
- In a guarded part (try/except), a failure skips the rest of the part, runs
  its exception part, and the script goes on after the part.
- Anywhere else, a failure stops the run: nothing new starts, actions in
  flight are cancelled, every moving axis is stopped, and the report says
  what failed, why, what was stopped and what was skipped.

The machine layer provides the hooks the stop path needs: a machine's
`cancel(action)` and `stop_all()` (see `Zarn.machine.Machine`), or the
`cancel` and `stop` callables given to the executor.

Read bottom up: `events` (what a run tells as it goes), `report` (what it
did), `engine` (the `Executor`).
"""

from Zarn._zarnexec import CommandGate, ZarnRun
from Zarn.errors import ActionTimeout, RunInterrupted
from Zarn.executor.engine import (
    DEFAULT_ACTION_TIMEOUT,
    DEFAULT_CANCEL_GRACE,
    MAX_WORKERS,
    Executor,
)
from Zarn.executor.events import RunEvent
from Zarn.executor.report import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    ActionRecord,
    ModuleUse,
    Recovery,
    RunReport,
)

__all__ = [
    "ActionRecord",
    "ActionTimeout",
    "Executor",
    "ModuleUse",
    "Recovery",
    "RunEvent",
    "RunInterrupted",
    "RunReport",
]
