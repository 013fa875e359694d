"""Runs every benchmark and prints one table of what each compares.

Each row is the package's figure, the baseline measured beside it in the same
run, their ratio and the target it is held to.

    python3 bench/run_all.py [--quick] [--markdown] [--details] [NAME ...]

The benchmarks run one after the other in this process, each with its own
defaults (--quick: fewer runs of the slow ones), and each measures its
baseline beside its own figure as it does on its own. What they print of their
own is kept back (--details shows it). NAME picks benchmarks, e.g. bench_parse.
The machine line and the load average tell where and how busy the machine was.
"""

import argparse
import contextlib
import gc
import importlib
import io
import os
import sys
import time

from comparisons import machine, table

# Every benchmark, with what --quick gives it instead of its defaults: fewer
# runs of the three slow ones; the others take seconds, and fewer runs would
# only make their medians noisier.
BENCHMARKS = {
    "bench_records": [],
    "bench_events": [],
    "bench_client": ["--rounds", "3", "--first-use", "100"],
    "bench_parse": [],
    "bench_blocks": [],
    "bench_compile": ["--runs", "3"],
    "bench_compile_memory": [],
    "bench_sim": ["--runs", "3"],
    "bench_executor": [],
    "bench_machine": [],
}


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", metavar="NAME", help="; ".join(BENCHMARKS))
    parser.add_argument("--quick", action="store_true", help="fewer runs")
    parser.add_argument("--markdown", action="store_true", help="a Markdown table")
    parser.add_argument(
        "--details", action="store_true", help="what each benchmark prints itself"
    )
    return parser


def run(name, quick, details):
    module = importlib.import_module(name)
    options = module.command_line().parse_args(BENCHMARKS[name] if quick else [])
    own = io.StringIO()
    try:
        with contextlib.redirect_stdout(own):
            return module.measure(options)
    except BaseException:
        # A failed benchmark ends the run, with what it had printed.
        print(f"{name} failed after printing:\n{own.getvalue()}", file=sys.stderr)
        raise
    finally:
        if details:
            print(own.getvalue(), end="")
        gc.collect()  # the next benchmark starts without this one's garbage


def main():
    parser = command_line()
    options = parser.parse_args()
    unknown = set(options.names) - set(BENCHMARKS)
    if unknown:
        parser.error(f"no benchmark {', '.join(sorted(unknown))}")
    load_at_start = os.getloadavg()[0]
    began = time.monotonic()
    rows = []
    for name in options.names or BENCHMARKS:
        started = time.monotonic()
        rows.extend(run(name, options.quick, options.details))
        print(f"{name}: {time.monotonic() - started:.0f} s", flush=True)
    print()
    print(machine())
    print(
        f"load average {load_at_start:.2f} at start, {os.getloadavg()[0]:.2f} at end; "
        f"{time.monotonic() - began:.0f} s{', quick' if options.quick else ''}"
    )
    print()
    print("\n".join(table(rows, markdown=options.markdown)))


if __name__ == "__main__":
    main()
