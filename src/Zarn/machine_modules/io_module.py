"""`IOModule`, an IO module with named output and input pins, and the
actions it makes: setting an output, waiting for an input."""

from __future__ import annotations

from collections.abc import Mapping

from Zarn.errors import UnknownNameError
from Zarn.machine_modules.actions import ModuleAction
from Zarn.machine_modules.module import MachineModule
from Zarn.machine_modules.operations import builds_action
from Zarn.machine_modules.values import (
    _described,
    _device,
    _listed,
    _name,
    _nearest,
    _pin_number,
    _plain,
    _seconds,
    output,
    status_value,
)


class IOModule(MachineModule):
    """An IO module: its device and its named pins. `outputs` and `inputs`
    map names to pin numbers, counted from 0 across the module's own bytes
    (pin 11 is bit 3 of its second byte), or to (byte, bit) pairs.

    `@m set NAME STATUS` sets the output NAME to STATUS, or, for an input,
    waits until it shows STATUS, at most `input_timeout` seconds. Through the
    call form: `set(pin, status)`, `on(pin)`, `off(pin)` and
    `wait_for(pin, status, timeout)`.
    """

    def __init__(self, name, device, outputs=None, inputs=None, *, input_timeout=5.0):
        super().__init__(name)
        owner = f"IOModule {self.name!r}"
        self.device = _device(device, owner)
        self.input_timeout = self._timeout(
            input_timeout, f"the input_timeout of {owner}"
        )
        self.outputs = self._pins(outputs, "output", owner)
        self.inputs = self._pins(inputs, "input", owner)
        both = self.outputs.keys() & self.inputs.keys()
        if both:
            raise ValueError(
                f"{owner} names {_listed(both)} both an output and an input"
            )

    def __repr__(self):
        return f"<IOModule @{self.name} device {self.device}>"

    def commanded(self):
        return frozenset(output(self.device, pin) for pin in self.outputs.values())

    @staticmethod
    def _timeout(value, what):
        seconds = _seconds(value, what)
        if seconds == 0:
            raise ValueError(f"{what} must be more than 0 seconds")
        return seconds

    @staticmethod
    def _pins(pins, direction, owner):
        if pins is None:
            return {}
        if not isinstance(pins, Mapping):
            raise TypeError(
                f"the {direction}s of {owner} must be a mapping of names to pins, "
                f"not {_described(pins)}"
            )
        named = {}
        by_pin = {}
        for name, pin in pins.items():
            name = _name(name, f"an {direction} name of {owner}")
            number = _pin_number(pin, f"{direction} {name!r} of {owner}")
            if number in by_pin:
                raise ValueError(
                    f"{owner} names {direction} pin {number} twice: "
                    f"{by_pin[number]!r} and {name!r}"
                )
            by_pin[number] = name
            named[name] = number
        return named

    def _unknown_pin(self, name, among=None):
        known = among if among is not None else {**self.outputs, **self.inputs}
        return UnknownNameError(
            f"IO module @{self.name} has no pin {name!r} (outputs: "
            f"{_listed(self.outputs)}; inputs: {_listed(self.inputs)}){_nearest(name, known)}"
        )

    def io_action(self, pin_name, status):
        name = _plain(pin_name)
        if name in self.outputs:
            return self.set(name, status)
        if name in self.inputs:
            return self.wait_for(name, status)
        raise self._unknown_pin(name)

    @builds_action
    def set(self, pin, status):
        """Sets the output `pin` to `status` (on/off, 1/0)."""
        name = _plain(pin)
        if name not in self.outputs:
            if name in self.inputs:
                raise ValueError(
                    f"{name!r} of @{self.name} is an input: it can be waited for "
                    f"(wait_for), not set"
                )
            raise self._unknown_pin(name, self.outputs)
        value = status_value(status, f"@{self.name} {name}")
        return SetOutput(
            self, device=self.device, pin=self.outputs[name], value=value, pin_name=name
        )

    @builds_action
    def on(self, pin):
        return self.set(pin, 1)

    @builds_action
    def off(self, pin):
        return self.set(pin, 0)

    @builds_action
    def wait_until(self, pin, status, within=None):
        """Waits until the input `pin` shows `status`, at most `within`
        seconds, or as long as it takes when none is given (no time-out of
        the run applies to it then)."""
        name = _plain(pin)
        if within is None:
            self.wait_for(name, status)  # the same checks of the pin and status
            return WaitInput(
                self,
                device=self.device,
                pin=self.inputs[name],
                value=status_value(status, f"@{self.name} {name}"),
                pin_name=name,
                timeout=None,
            )
        return self.wait_for(name, status, within)

    @builds_action
    def wait_for(self, pin, status, timeout=None):
        """Waits until the input `pin` shows `status`, at most `timeout`
        seconds (the module's input_timeout unless given)."""
        name = _plain(pin)
        if name not in self.inputs:
            if name in self.outputs:
                raise ValueError(
                    f"{name!r} of @{self.name} is an output: it can be set, not waited for"
                )
            raise self._unknown_pin(name, self.inputs)
        value = status_value(status, f"@{self.name} {name}")
        if timeout is None:
            timeout = self.input_timeout
        return WaitInput(
            self,
            device=self.device,
            pin=self.inputs[name],
            value=value,
            pin_name=name,
            timeout=self._timeout(timeout, f"the timeout of @{self.name} {name}"),
        )


class _PinAction(ModuleAction):
    __slots__ = ("device", "pin", "pin_name", "value")

    def _setup_pin(self, device, pin, value, pin_name):
        self.device = _device(device, f"{type(self).__name__}")
        self.pin = _pin_number(pin, "a pin")
        self.value = status_value(value, "a pin's status")
        self.pin_name = None if pin_name is None else _name(pin_name, "a pin name")

    @property
    def byte(self):
        """The byte of the pin within the module's own bytes."""
        return self.pin // 8

    @property
    def bit(self):
        return self.pin % 8

    def _pin_shown(self):
        return self.pin_name if self.pin_name else f"pin {self.pin}"


class SetOutput(_PinAction):
    """Sets an output. Settings: device, pin, value (0 or 1), pin_name."""

    operation = "set"
    __slots__ = ()

    def setup(self, device, pin, value, pin_name=None):
        self._setup_pin(device, pin, value, pin_name)

    def perform(self, machine):
        machine.set_output(self.device, self.pin, self.value)

    def commanded(self):
        return frozenset({output(self.device, self.pin)})

    def _summary(self):
        return f"{self._pin_shown()}={self.value} dev {self.device} pin {self.pin}"

    def describe(self):
        state = "on" if self.value else "off"
        return (
            f"set {self._pin_shown()} of @{self._module_name()} {state} "
            f"(device {self.device}, pin {self.pin})"
        )


class WaitInput(_PinAction):
    """Waits for an input. Settings: device, pin, value (0 or 1), pin_name,
    timeout (seconds; None: as long as it takes, and no action time-out of
    the run applies)."""

    operation = "wait_for"
    __slots__ = ("timeout",)

    def setup(self, device, pin, value, pin_name=None, timeout=5.0):
        self._setup_pin(device, pin, value, pin_name)
        if timeout is None:
            self.timeout = None
            return
        self.timeout = _seconds(timeout, "the timeout of an input wait")
        if self.timeout == 0:
            raise ValueError("the timeout of an input wait must be more than 0 seconds")

    def perform(self, machine):
        machine.wait_input(self.device, self.pin, self.value, self.timeout)

    @property
    def expected_seconds(self):
        """How long it may wait by design, beyond a command's own time (a run's
        time-out for the action comes on top of it); a wait without a limit
        may take for ever."""
        return float("inf") if self.timeout is None else self.timeout

    def _summary(self):
        limit = "no timeout" if self.timeout is None else f"timeout {self.timeout!r}s"
        return f"{self._pin_shown()}=={self.value} dev {self.device} pin {self.pin} {limit}"

    def describe(self):
        state = "on" if self.value else "off"
        limit = (
            "as long as it takes"
            if self.timeout is None
            else f"at most {self.timeout!r} s"
        )
        return (
            f"wait until {self._pin_shown()} of @{self._module_name()} is {state} "
            f"(device {self.device}, pin {self.pin}), {limit}"
        )
