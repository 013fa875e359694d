"""Machine modules: the objects a script names with "@", and the actions they make.

A machine's modules are declared in a Python file, `modules.py`, whose public
names become the names a script can use after "@" (see `registry`). The kinds:

- `Axis`: one servo axis with named positions (`@x move pick`).
- `IOModule`: one IO module with named output and input pins
  (`@gripper set valve on` sets an output, `@sensors set part on` waits for
  an input).
- `Tray`: a grid (or list) of slots and the cursor that walks it.
- `Handler`: an arm that picks and places at tray slots with its axes and
  gripper (`@arm pick from input_tray`, `@arm place into output_tray[3]`).
- `MachineModule`: the base of all of them; subclass it for modules of your
  own whose operations a script calls as `@camera.inspect("part", 3)`.

Every module answers the statements through `move_action`, `io_action` and
`tray_action`, and the call form through `module()`, an object whose
attributes are the module's operations. Each returns an action, a
`ModuleAction`, which carries its settings in `params` and, when executed,
drives the `Zarn.machine.Machine` that the run attached to it.
"""

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnId, ZarnState
from Zarn.errors import (
    MachineNotAttachedError,
    ModulesFileError,
    TrayExhaustedError,
    UnknownModuleError,
    UnknownNameError,
    UnknownOperationError,
)
from Zarn.machine.motion import (
    AXIS_FUNCTIONS,
    GENERIC_HOMING_METHOD,
    NO_RATE,
    AxisMove,
    given_rates,
)
from Zarn.machine.running import running_action
from Zarn.machine_modules.actions import ExternalCall, Log, ModuleAction, Wait, attach
from Zarn.machine_modules.axis import (
    AXIS_COMMANDS,
    DEFAULT_HOMING_METHOD,
    HOME,
    Axis,
    AxisCommand,
    HomeAxis,
    MoveAxis,
    MoveAxisBy,
)
from Zarn.machine_modules.handler import NEXT_SLOT, TRANSFERS, Handler, Transfer
from Zarn.machine_modules.io_module import IOModule, SetOutput, WaitInput
from Zarn.machine_modules.loading import (
    HOW_TO_DECLARE,
    MODULES_FILE,
    USER_MODULES,
    find_modules_file,
    load_modules,
)
from Zarn.machine_modules.module import MachineModule, Operations, timer
from Zarn.machine_modules.operations import builds_action, operation, operation_table
from Zarn.machine_modules.registry import (
    PACKAGE_MODULES,
    ModuleRegistry,
    default_registry,
    public_names,
    registry,
)
from Zarn.machine_modules.tray import ResetTray, Tray
from Zarn.machine_modules.values import (
    commanded_by,
    drive,
    output,
    shown_device,
    status_value,
)

# What a user's modules file reaches through the registry (and `import *`):
# the module kinds and what declaring one of one's own needs. The compiler
# builds its registry from exactly these names.
__all__ = [
    "Axis",
    "Handler",
    "IOModule",
    "MachineModule",
    "Tray",
    "builds_action",
    "drive",
    "operation",
    "output",
    "timer",
]
