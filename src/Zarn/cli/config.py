"""`zarn config [PATH]`: what the client reads from a configuration file."""

import os
from pathlib import Path

from Zarn import configuration
from Zarn.cli.common import describe_machine, fail
from Zarn.configuration import CONFIG_VARIABLE, EXAMPLE_CONFIG


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
    config = commands.add_parser(
        "config",
        help="show the controller address, IO image and devices of a configuration",
    )
    config.add_argument(
        "path",
        nargs="?",
        help=f"configuration file (default: ${CONFIG_VARIABLE}, else "
        f"{configuration.DEFAULT_CONFIG})",
    )
    config.set_defaults(handler=command)


def command(args):
    path = args.path if args.path is not None else configuration.configured_path()
    if describe_machine(path) is not None:
        return 0
    if args.path is None and not Path(path).exists():
        where = (
            f"{CONFIG_VARIABLE} ({path})"
            if os.environ.get(CONFIG_VARIABLE)
            else "the default path"
        )
        fail(
            f"no configuration at {where}; name one with `zarn config PATH` or "
            f"{CONFIG_VARIABLE}=PATH, for example the example machine installed with "
            f"the package:\n  zarn config {EXAMPLE_CONFIG}"
        )
    return 1
