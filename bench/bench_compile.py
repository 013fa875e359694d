"""Compile time of generated ZARN scripts of 1,000, 10,000 and 20,000 statements.

The scripts mix sequences, blocks with parameters, wait clauses (within a
sequence and across the branches of a parallel group), parallel groups and
the control constructs (a condition with both ways, a retry, a bounded loop
on a tray's condition, a time limit), with fractions and move offsets among
their values, for the example machine (examples/modules.py). Their main block is
one long sequence of group statements, the shape of a job that runs its
steps one after another, each step moving several axes at once: every
statement that names a group hands the rest of the sequence over to the
group's copy. Each script is compiled through `Zarn.compile`, which checks
the result and builds its run plan. Prints the median time of several runs
and the ratio of 20,000 to 10,000 statements, which stays near 2 when the
cost is linear in the script's size.

For comparison, scripts of the same shape without the constructs and
parameters that only `Zarn.compile` knows, at the smaller sizes only, are
parsed with the plain `ZarnSemantics`, whose hand-over copies the rest of the
sequence each time: its ratio shows the cost that `Zarn.compile` avoids, and
`Zarn.compile` is timed on the same 1,000 statements beside it.

    python3 bench/bench_compile.py [--runs R]   (default 5)
"""

import argparse
import contextlib
import gc
import os
import statistics
import time
from pathlib import Path

import bench_parse
from comparisons import Figure, Target, compared, doubled, main
from Zarn.compiler import ZarnSemantics

import Zarn
from Zarn._zarnmodule import registry
from Zarn.lang.compiling import compile_script
from Zarn.lang.control import script_actions

MODULES = Path(__file__).resolve().parents[1] / "examples" / "modules.py"

# Ten statements: a block with parameters (a fraction among its values, a
# move with an offset) and a parallel group whose branches wait for each
# other: one retries a use of that block, the other takes one way of a
# condition and runs a bounded loop within a time limit; and main's
# statement naming the group.
CHUNK = """\
block approach_{k}(speed) {{
    @z.move_to(12.5, speed)
    @x move camera + 2.5
}}
block cycle_{k} parallel {{
    x{k}: retry 1 approach_{k}(0.2)
    @x move output after y{k}
}} and {{
    y{k}: if @sensors part_ok on {{ @y move park }} else {{ @y move output }}
    timeout 2.5 repeat while not output_tray full max 2 {{ @y move camera }} after x{k}
}}
"""
# As `zarn check` counts them: both attempts of the retry, both ways of the
# condition, both rounds of the loop, and the steps that decide.
ACTIONS_PER_CHUNK = 13

# The chunk the plain semantics can read: named blocks used by name, waits, a
# counted loop and groups, ten statements again, eight actions.
PLAIN_ACTIONS_PER_CHUNK = 8
PLAIN_CHUNK = """\
block approach_{k} {{
    @x move input
    @x move camera
}}
block cycle_{k} parallel {{
    x{k}: approach_{k}
    @x move park after y{k}
    repeat 2 {{ @x move output }}
}} and {{
    y{k}: @y move input
    s{k}: @y move park after x{k}
    @y move camera after s{k}
}}
"""


def script(statements, chunk=CHUNK):
    return bench_parse.script(statements, chunk)


def timed(function):
    started = time.perf_counter()
    result = function()
    return time.perf_counter() - started, result


def median_times(texts, sizes, runs, compile_one):
    # The sizes take turns within each run, so that a busy spell of the
    # machine slows all of them rather than one.
    times = {size: [] for size in sizes}
    for _ in range(runs):
        for size in sizes:
            elapsed, result = timed(lambda size=size: compile_one(texts[size]))
            times[size].append(elapsed)
            del result
            gc.collect()
    return {size: statistics.median(times[size]) for size in sizes}


def report(name, figures, texts, first, second):
    for size, seconds in figures.items():
        print(
            f"{name:<22} {size:>6} statements ({len(texts[size]) / 1024:5.0f} KiB): "
            f"{seconds * 1000:9.1f} ms"
        )
    print(
        f"{name:<22} ratio {first:,} / {second:,}: "
        f"{figures[first] / figures[second]:.2f}"
    )


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    return parser


def measure(args):
    sizes = (1_000, 10_000, 20_000)
    texts = {size: script(size) for size in sizes}

    # The same modules for every compile: what is timed is the compile.
    names = registry(MODULES)
    plan = compile_script(texts[1_000], modules=names.user_modules).plan
    expected = ACTIONS_PER_CHUNK * (1_000 // bench_parse.STATEMENTS_PER_CHUNK)
    if script_actions(plan) != expected:
        raise RuntimeError(
            f"1,000 statements compile to {script_actions(plan)} actions, not "
            f"{expected}: ACTIONS_PER_CHUNK no longer counts the chunk's actions"
        )
    print(
        f"(1,000 statements compile to {len(plan.steps)} steps, {expected} of them "
        "actions)"
    )

    def compiled(text):
        return Zarn.compile(text, modules=names.user_modules)

    figures = median_times(texts, sizes, args.runs, compiled)
    report("Zarn.compile", figures, texts, 20_000, 10_000)

    small = (1_000, 2_000)
    small_texts = {size: script(size, PLAIN_CHUNK) for size in small}

    def plain(text):
        # The start rule prints the declaration map; keep it off the report.
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            return Zarn.parse(text, ZarnSemantics(registry=names))

    baseline = median_times(small_texts, small, args.runs, plain)
    report("plain ZarnSemantics", baseline, small_texts, 2_000, 1_000)
    ours = median_times(small_texts, (1_000,), args.runs, compiled)[1_000]
    # No target is stated for the plain semantics, which shows the cost that
    # Zarn.compile avoids: at the size both compile, Zarn.compile must be the
    # faster, its checks and run plan included.
    return [
        doubled("Zarn.compile", 10_000, figures[20_000], figures[10_000]),
        compared(
            "compile 1k, vs plain",
            Figure(ours * 1000, "ms"),
            Figure(baseline[1_000] * 1000, "ms", "ZarnSemantics"),
            Target("<", 1),
        ),
    ]


if __name__ == "__main__":
    main(command_line(), measure)
