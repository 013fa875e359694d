"""The `zarn` command line: `main` reads the verb and hands over to its
module, one per verb (`check`, `graph`, `run`, `demo`, `config`, `sim`);
`common` holds what they share, `run_view` what `zarn run` shows.

A verb loads the compiler and the pictures only when it runs: loading the
compiler imports a top-level `modules` (the machine modules of the working
folder), which `zarn config` or `zarn --version` must not do.
"""

import argparse
import sys

import Zarn
from Zarn.cli import check, config, demo, graph, run, sim
from Zarn.cli.check import plan_lines
from Zarn.cli.common import (
    compile_script,
    describe_machine,
    fail,
    find_devices,
    find_script,
    seconds,
    speed_factor,
    unusable_ids,
)
from Zarn.cli.demo import DEMO_SPEED, FAILURE_RESULTS, demonstration_failures
from Zarn.cli.graph import GRAPH_FORMATS
from Zarn.configuration import (
    CONFIG_VARIABLE,
    DEFAULT_CONFIG,
    EXAMPLE_CONFIG,
    EXAMPLES,
    configured_path,
)

# The verbs in the order `zarn --help` lists them.
VERBS = (demo, config, check, graph, run, sim)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["sim"]:
        # Every option after "sim" is the simulator program's own.
        return sim.command(argv[1:])
    parser = argparse.ArgumentParser(
        prog="zarn",
        description="Runtime of the ZARN handling-machine scripting language.",
    )
    parser.add_argument(
        "--version", action="version", version=f"zarn {Zarn.__version__}"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for verb in VERBS:
        verb.add_to(commands)

    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        return args.handler(args)
    except BrokenPipeError:
        # The reader went away (`zarn demo | head`): stop quietly, as a filter would.
        sys.stdout = None
        return 0
