"""The `zarn` command line."""

import argparse
import sys

import Zarn


def _cmd_demo(args):
    from Zarn import demo

    demo.run_sequence()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="zarn",
        description="Runtime of the ZARN handling-machine scripting language.",
    )
    parser.add_argument("--version", action="version", version=f"zarn {Zarn.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser("demo", help="run a simulated pick-and-place sequence")
    demo.set_defaults(handler=_cmd_demo)

    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
