"""`zarn sim ...`: becomes the simulated controller program, with every
option after "sim" its own."""

import os

from Zarn import sim
from Zarn.configuration import CONFIG_VARIABLE


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
    commands.add_parser(
        "sim",
        add_help=False,
        help="run a simulated controller service: zarn sim [--config FILE] "
        f"[--address HOST] [--speed F] ... (FILE defaults to ${CONFIG_VARIABLE}; "
        "zarn sim --help)",
    )


def command(arguments):
    configured = os.environ.get(CONFIG_VARIABLE)
    if configured:
        # In front, so that a --config of the user's own comes later and wins.
        arguments = ["--config", configured, *arguments]
    return sim.run_program(arguments)
