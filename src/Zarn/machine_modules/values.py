"""Values as scripts and users write them, checked and made plain, and the
keys of the devices a module commands."""

from __future__ import annotations

import difflib
import math
import numbers

from Zarn._zarnprimitives import ZarnId
from Zarn.machine.motion import NO_RATE


def _described(value):
    return f"{value!r} ({type(value).__name__})"


def _plain(value):
    """Names reach modules as text or, from some parse rules, as identifiers."""
    return value.id if isinstance(value, ZarnId) else value


def _name(value, what):
    value = _plain(value)
    if not isinstance(value, str) or not value.isidentifier():
        raise TypeError(
            f"{what} must be a name (letters, digits, _), not {_described(value)}"
        )
    return value


def _real(value, what, *, text=False):
    """A finite number; with `text`, also number text as a script may pass it."""
    value = _plain(value)
    if text and isinstance(value, str):
        try:
            value = float(value)
        except ValueError:
            raise ValueError(f"{what} must be a number, not {value!r}") from None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {_described(value)}")
    if not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number, not {value!r}")
    return float(value)


def _integer(value, what, *, text=False):
    value = _plain(value)
    if text and isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {_described(value)}")
    return int(value)


def _device(value, owner):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            f"the device of {owner} must be an integer MorvoID of the machine "
            f"configuration, not {_described(value)}"
        )
    if value < 1:
        raise ValueError(
            f"the device of {owner} must be a MorvoID from 1 up, not {value}"
        )
    return int(value)


def _rate(value, what):
    """Velocity, acceleration or deceleration: positive, or -1 (or None) for
    the drive's own setting."""
    if value is None:
        return NO_RATE
    rate = _real(value, what, text=True)
    if rate == NO_RATE:
        return NO_RATE
    if rate <= 0:
        raise ValueError(
            f"{what} must be positive (or -1 for the drive's own), not {rate!r}"
        )
    return rate


def _seconds(value, what):
    seconds = _real(value, what, text=True)
    if seconds < 0:
        raise ValueError(f"{what} must not be negative, not {seconds!r}")
    return seconds


_ON = frozenset({"on", "1", "true", "high", "yes"})
_OFF = frozenset({"off", "0", "false", "low", "no"})


def status_value(value, where="a status"):
    """0 or 1 from the ways a script writes a pin's state: on/off (any case),
    1/0, True/False, high/low, yes/no, as text, number or identifier."""
    value = _plain(value)
    if isinstance(value, str):
        word = value.strip().lower()
        if word in _ON:
            return 1
        if word in _OFF:
            return 0
    elif isinstance(value, numbers.Real) and value in (0, 1):
        return int(value)
    raise ValueError(
        f"{where}: {value!r} is not an on/off value (write on or off, 1 or 0)"
    )


def _nearest(name, known):
    close = difflib.get_close_matches(str(name), list(known), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


def _listed(names):
    return ", ".join(sorted(names)) if names else "none"


def _pair(value, what, names=("x", "y")):
    if (
        isinstance(value, (str, bytes))
        or not hasattr(value, "__len__")
        or len(value) != 2
    ):
        shown = ", ".join(names)
        raise TypeError(
            f"{what} must be a pair of numbers ({shown}), not {_described(value)}"
        )
    return tuple(_real(item, f"{what} ({name})") for item, name in zip(value, names))


def _is_number_text(text):
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False


def _pin_number(value, what):
    """A pin counted from 0 across the module's bytes, or a (byte, bit) pair."""
    if isinstance(value, tuple) and len(value) == 2:
        byte = _integer(value[0], f"the byte of {what}")
        bit = _integer(value[1], f"the bit of {what}")
        if byte < 0 or not 0 <= bit < 8:
            raise ValueError(
                f"{what}: byte {byte}, bit {bit} is no pin (bits run 0 to 7)"
            )
        return byte * 8 + bit
    pin = _integer(value, what)
    if pin < 0:
        raise ValueError(f"{what} must be a pin number from 0 up, not {pin}")
    return pin


def drive(device):
    """The key of a drive that a module commands: `("drive", device)`."""
    return ("drive", _device(device, "a commanded drive"))


def output(device, pin):
    """The key of an output pin that a module commands: `("output", device,
    pin)`, the pin counted from 0 across the IO module's own bytes."""
    return (
        "output",
        _device(device, "a commanded output"),
        _pin_number(pin, "an output pin"),
    )


def commanded_by(action):
    """The devices an action commands: its `commanded()` when it has one
    (every module action has), else none."""
    commanded = getattr(action, "commanded", None)
    if not callable(commanded):
        return frozenset()
    return frozenset(commanded())


def shown_device(key):
    """'drive 13' or 'output 23 of IO module 10' for a commanded key."""
    if key[0] == "drive":
        return f"drive {key[1]}"
    return f"output {key[2]} of IO module {key[1]}"
