"""What a move costs a script: a ClientMachine's move against the client's own
blocking motor_ptp, on the same simulated controller, in one run.

The simulator runs 100 times real time, so a 1 mm move takes a few
milliseconds of motion; the rest is the command's own cost. motor_ptp pauses
2 seconds before its last condition by design; the machine's move sends the
move and its end-of-motion condition and waits for nothing else. Prints the
median time per move of each and their ratio.

    python3 bench/bench_machine.py [--moves N] [--blocking M]

Uses the installed package (pip install . first).
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

from comparisons import Figure, Target, compared, main

from Zarn import cli
from Zarn.machine import AxisMove, ClientMachine
from Zarn.morvo_client import MorvoClient
from Zarn.sim import SimulatedController

SPEED = 100.0


def per_move(count, move):
    times = []
    for n in range(count):
        began = time.perf_counter()
        move(n)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--moves", type=int, default=200)
    parser.add_argument("--blocking", type=int, default=3, help="motor_ptp calls")
    return parser


def measure(options):
    with (
        tempfile.TemporaryDirectory() as scratch,
        SimulatedController(cli.EXAMPLE_CONFIG, speed=SPEED) as sim,
    ):
        client = MorvoClient(str(sim.client_config(Path(scratch) / "machine.yaml")))
        machine = ClientMachine(client, speed=SPEED)
        machine.home(13, 17)
        machine.move([AxisMove(13, 0.0)])  # the first blocking call's settling
        ours = per_move(
            options.moves, lambda n: machine.move([AxisMove(13, float(n % 2), 1, 1, 1)])
        )
        theirs = per_move(
            options.blocking,
            lambda n: client.motor_ptp(13, float(n % 2), 1, 1, 1, block=True),
        )
    # No target is stated: a script's move waits for the end of the motion
    # only, so it must cost less than the client's blocking command.
    return [
        compared(
            "1 mm move",
            Figure(ours * 1000, "ms"),
            Figure(theirs * 1000, "ms", "motor_ptp"),
            Target("<", 1),
        )
    ]


if __name__ == "__main__":
    main(command_line(), measure)
