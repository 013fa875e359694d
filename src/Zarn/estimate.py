"""An instant estimate of a job's machine time: `estimate` runs a script
against the simulated controller of a machine configuration, in this
process, on a simulated clock.

Nothing is sent anywhere and nothing sleeps: the simulated controller (the
same model as `zarn sim`'s: motion profiles, homing, settling, the IO wiring
and its delays) tells when each command ends, and the clock jumps from one
event to the next, so a cycle of minutes takes milliseconds to estimate.
Conditions take their way from the simulated inputs, which start as the
simulator's do and may be preset (`inputs`). A wait that nothing simulated
could ever end (an input that no one sets) stops the estimate with the
statement named, as the report's reason.

    from Zarn.estimate import estimate
    report = estimate("examples/pick_and_place.zarn", inputs=[(1, 9, 1)])
    print(report.duration)      # machine seconds
"""

from __future__ import annotations

from pathlib import Path

from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.errors import RunError
from Zarn.executor import DEFAULT_ACTION_TIMEOUT, Executor
from Zarn.machine import ClientMachine
from Zarn.morvo_client import LocalController, MorvoClient


def estimating_machine(config=EXAMPLE_CONFIG, inputs=(), device_names=None):
    """A `ClientMachine` on a new in-process simulated controller of `config`
    (a machine configuration file), with `inputs` ([(device, pin, value)])
    set as an operator would set them; RunError names an input that cannot
    be set."""
    config = str(Path(config))
    controller = LocalController(config)
    client = MorvoClient(config)
    client.attach_local(controller)
    for device, pin, value in inputs:
        problem = controller.force_input(device, pin, value)
        if problem:
            raise RunError(f"input {device} {pin} {value}: {problem}")
    return ClientMachine(client, device_names=device_names)


def estimate(
    script,
    *,
    modules=None,
    config=EXAMPLE_CONFIG,
    inputs=(),
    on_event=None,
    action_timeout=DEFAULT_ACTION_TIMEOUT,
):
    """The `RunReport` of `script` (a path, or a `CompiledScript` of
    `Zarn.lang.compiling.compile_script`) run on the simulated machine of
    `config` on simulated time: every time in it is machine seconds.
    `modules` is the machine modules file for a script given as a path;
    `inputs` are (device, pin, value) set before the run; `on_event` and
    `action_timeout` are the executor's."""
    compiled = script
    if not hasattr(compiled, "plan"):
        from Zarn.lang.compiling import compile_script

        compiled = compile_script(script, modules=modules)
    machine = estimating_machine(config, inputs)
    executor = Executor(
        compiled, machine=machine, on_event=on_event, action_timeout=action_timeout
    )
    return executor.run()
