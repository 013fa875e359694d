"""Wall time of an estimate of examples/pick_and_place.zarn: what
`zarn run examples/pick_and_place.zarn --estimate` does, in this process:
`Zarn.estimate.estimate` of the compiled script on the simulated machine of
the example configuration, on simulated time.

The baseline is the machine time the estimate finds, in the same run: the
estimate must take a small share of it (target: under 0.5 s of wall time,
which the row states as a ratio of wall to machine seconds). Prints the
median wall seconds per estimate over several runs (each on a script
compiled afresh, as an action runs once; the compile is not timed, but its
median is printed beside it), the machine seconds and how many machine
seconds one wall second estimates. The first estimate of the process,
which loads what the others find loaded, is printed and not counted.

    python3 bench/bench_estimate.py [--runs R]   (default 11)
"""

import argparse
import contextlib
import os
import statistics
import time
from pathlib import Path

from comparisons import Figure, Target, compared, main

from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.estimate import estimate
from Zarn.lang.compiling import compile_script

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "pick_and_place.zarn"
# The most wall time an estimate of pick_and_place may take.
BUDGET_SECONDS = 0.5


def estimated_once():
    """(compile seconds, estimate wall seconds, the estimate's machine seconds)."""
    started = time.perf_counter()
    compiled = compile_script(SCRIPT)
    compiled_at = time.perf_counter()
    # The camera of the example machine tells what it does; keep it off the
    # report.
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        report = estimate(compiled, config=EXAMPLE_CONFIG)
    finished = time.perf_counter()
    if report.status != "finished":
        raise RuntimeError(f"the estimate did not finish: {report.summary()}")
    return compiled_at - started, finished - compiled_at, report.duration


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=11)
    return parser


def measure(args):
    _, first, _ = estimated_once()
    print(f"first estimate of the process: {first:.3f} s of wall time")
    compiles, walls, machine = [], [], []
    for _ in range(args.runs):
        compile_seconds, wall, machine_seconds = estimated_once()
        compiles.append(compile_seconds)
        walls.append(wall)
        machine.append(machine_seconds)
    machine_seconds = statistics.median(machine)
    wall = statistics.median(walls)
    print(
        f"{SCRIPT.name}: {machine_seconds:.2f} s of machine time "
        f"({min(machine):.2f} to {max(machine):.2f})"
    )
    print(
        f"estimate: {wall:.3f} s of wall time (median of {args.runs}; "
        f"{min(walls):.3f} to {max(walls):.3f}); compile beside it: "
        f"{statistics.median(compiles) * 1000:.1f} ms"
    )
    print(f"machine seconds per wall second: {machine_seconds / wall:,.0f}")
    return [
        compared(
            "estimate pick_and_place",
            Figure(wall, "s"),
            Figure(machine_seconds, "s", "machine time"),
            Target("<", BUDGET_SECONDS / machine_seconds),
        )
    ]


if __name__ == "__main__":
    main(command_line(), measure)
