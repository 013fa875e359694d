"""What the verbs of the `zarn` command line share: reporting an error,
finding and compiling a script, reading a configuration, and the types of
their options."""

import argparse
import ipaddress
import sys
from pathlib import Path

from Zarn.configuration import EXAMPLES
from Zarn.errors import ZarnCompileError, ZarnSyntaxError
from Zarn.morvo_client import MorvoClient


def fail(message):
    print(f"zarn: {message}", file=sys.stderr)


def find_script(text):
    """The script file: the path given, or else an example installed with the
    package named by its bare name (`pick_and_place`, `pick_and_place.zarn`)."""
    path = Path(text)
    if path.exists() or path.parent != Path("."):
        return path
    for candidate in (EXAMPLES / text, EXAMPLES / f"{text}.zarn"):
        if candidate.is_file():
            return candidate
    return path


def compile_script(script, modules):
    """The compiled script (a `CompiledScript`: main and its run plans), or
    None once standard error says why it cannot be had."""
    # Here, not at the top: loading the compiler imports a top-level
    # `modules`, which only the verbs that compile may do.
    from Zarn.lang.compiling import compile_script as compile_plans

    try:
        return compile_plans(script, modules=modules)
    except (ZarnSyntaxError, ZarnCompileError) as error:
        print(error, file=sys.stderr)
    except FileNotFoundError as error:
        fail(error)
        if not script.exists():
            fail(
                f"the example scripts installed with the package are in {EXAMPLES}; "
                f"their bare names (pick_and_place) will do"
            )
    except (OSError, ImportError) as error:
        fail(error)
    return None


def find_devices(tree, path=(), where=""):
    """Yields (section path, place, device entry) for every map with a MorvoID,
    in document order; entries beneath a device are not devices of their own.
    The place names list positions too, as in kvt_handler/Festo[1]."""
    if isinstance(tree, dict):
        if "MorvoID" in tree:
            yield path, where or "the top of the document", tree
            return
        for key, value in tree.items():
            inner = f"{where}/{key}" if where else str(key)
            yield from find_devices(value, (*path, str(key)), inner)
    elif isinstance(tree, list):
        for position, item in enumerate(tree):
            yield from find_devices(item, path, f"{where}[{position}]")


def unusable_ids(client):
    """One message per MorvoID that no device lookup could match: the client
    compares ids as integers, so such an entry would make every lookup fail."""
    problems = []
    for _, where, entry in find_devices(client.config_data):
        try:
            int(entry["MorvoID"])  # the client's own conversion
        except (TypeError, ValueError, ArithmeticError) as error:
            problems.append(
                f"MorvoID {entry['MorvoID']!r} at {where} is not an integer ({error})"
            )
    return problems


def describe_machine(config_path, out=print, shown_as=None):
    """Prints what the client reads from a configuration file (named
    `shown_as` in the heading when given). Returns the client, or None when
    the file cannot be used (the reasons go to standard error)."""
    try:
        client = MorvoClient(str(config_path))
    except (KeyError, TypeError, ValueError) as error:
        fail(f"cannot use configuration {config_path}: {error}")
        return None
    problems = unusable_ids(client)
    if problems:
        for problem in problems:
            fail(f"cannot use configuration {config_path}: {problem}")
        return None

    out(f"Configuration {shown_as or config_path}")
    out(
        f"  controller service at {client.server_address}, ports "
        f"{client.action_dequeue_sub_port} (results), {client.action_enqueue_req_port} "
        f"(actions), {client.logger_req_port} (logger)"
    )
    modules = client.config_data["kvt_handler"]["IOModule"]["Modules"]
    out(
        f"  IO image: {client.input_start_byte[-1]} input bytes, "
        f"{client.output_start_byte[-1]} output bytes"
    )
    for module in sorted(modules, key=lambda m: m["Slot"]):
        slot = module["Slot"]
        index = slot - 1 if isinstance(slot, int) else None
        inputs = client.input_start_byte[index] if index is not None else "?"
        outputs = client.output_start_byte[index] if index is not None else "?"
        out(f"    slot {slot}: inputs from byte {inputs}, outputs from byte {outputs}")
    out("  devices:")
    for path, _, entry in find_devices(client.config_data):
        name = entry.get("Name", "")
        out(f"    {entry['MorvoID']!s:>4}  {'/'.join(path):<28} {name}")
    return client


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(
            f"a time is a number of seconds from 0 up, not {text!r}"
        )
    return value


def speed_factor(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(
            f"a speed factor is a number above 0, not {text!r}"
        )
    return value


def loopback_address(text):
    """A simulated controller's address: one of this computer's loopback
    addresses (127.x.y.z), so that the simulator never listens on a network."""
    try:
        address = ipaddress.IPv4Address(text)
    except ValueError:
        address = None
    if address is None or not address.is_loopback:
        raise argparse.ArgumentTypeError(
            f"a simulated controller listens on a loopback address 127.x.y.z, "
            f"not {text!r}"
        )
    return str(address)
