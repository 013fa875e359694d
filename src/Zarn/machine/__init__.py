"""What the actions of machine modules execute on.

A module action (`Zarn._zarnmodule`) knows which device, position or pin it
concerns; it does not know how to reach the machine. When it executes it calls
the few operations of a `Machine`, which the one running the script provides:
`ClientMachine`, which talks to the controller through a `MorvoClient`, or
`RecordingMachine`, which only notes what would have been sent (a dry run).

Every operation blocks until the command has ended (a move until the axis
stands still, a wait until the input shows the value) and raises
`MachineError` when the machine refuses it or it does not end in time, so an
action fails with the device, the command id and the reason.

Read bottom up:

- `running`: which action executes on this thread, and on which machine.
- `motion`: the parts of a move, the rates, the axis commands, the travel.
- `interface`: `Machine`, the operations, the gate a stop closes.
- `recording`: `RecordingMachine`, the dry run.
- `watchdog`: `ControllerWatchdog`, which tells when the controller stops
  answering.
- `client`: `ClientMachine`, the machine behind the controller client.
"""

from Zarn._zarnexec import CommandGate
from Zarn.errors import ControllerLost, MachineError
from Zarn.machine.client import (
    DEFAULT_POLL_INTERVAL,
    ID_RENEWAL_AT,
    INPUT_DATA,
    RESULT_MEANINGS,
    STOP_CLEAR_WAIT,
    ClientMachine,
    result_text,
)
from Zarn.machine.interface import REFUSED_BY_GATE, Machine
from Zarn.machine.motion import (
    AXIS_FUNCTIONS,
    GENERIC_HOMING_METHOD,
    NO_RATE,
    AxisMove,
    Travel,
    given_rates,
)
from Zarn.machine.recording import RecordingMachine
from Zarn.machine.watchdog import (
    MISSES_TO_LOSE,
    PROBE_INTERVAL,
    SLAVE_STATUS,
    ControllerWatchdog,
)

__all__ = [
    "AXIS_FUNCTIONS",
    "DEFAULT_POLL_INTERVAL",
    "GENERIC_HOMING_METHOD",
    "ID_RENEWAL_AT",
    "INPUT_DATA",
    "MISSES_TO_LOSE",
    "NO_RATE",
    "PROBE_INTERVAL",
    "REFUSED_BY_GATE",
    "RESULT_MEANINGS",
    "SLAVE_STATUS",
    "STOP_CLEAR_WAIT",
    "AxisMove",
    "ClientMachine",
    "CommandGate",
    "ControllerLost",
    "ControllerWatchdog",
    "Machine",
    "MachineError",
    "RecordingMachine",
    "Travel",
    "given_rates",
    "result_text",
]
