"""Memory that compiling costs per action, for a generated script of 200,000
actions (the script of bench_compile: sequences, named blocks used by name,
waits across the branches of parallel groups, loops).

Each measurement runs in a fresh Python process, so that what one leaves
behind cannot hide the next one's cost: the process makes its input first,
then reads its resident size, does the work and reads its peak resident
size (ru_maxrss). The growth counts everything the work allocated, in C++
as well as in Python, at the moment the most of it was alive.

The baseline, measured the same way beside it, is one plain dict per action
holding a move's settings (device, target, position, rates): a yardstick
that the package's code does not change, so that the ratio falls exactly as
the compile's cost does, on any machine. For comparison it also prints what
the same number of actions made by their modules directly cost (the actions
alone, without blocks, places or a plan) and the compile time.

    python3 bench/bench_compile_memory.py [--actions N]   (default 200,000)
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

from comparisons import Figure, Target, compared, main

HERE = Path(__file__).resolve().parent

# Run in the child: `measure(work)` is the growth of the peak resident size
# over the resident size before `work`, in bytes.
CHILD = """
import gc, json, resource, sys, time
sys.path.insert(0, {here!r})
import bench_compile
from Zarn._zarnmodule import registry
from Zarn.lang.compiling import compile_script

def resident():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize()
    except OSError:
        return peak()

def peak():
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale

kind, actions = sys.argv[1], int(sys.argv[2])
modules = registry(bench_compile.MODULES).user_modules
# Every module and extension loaded, every cache filled, before measuring.
compile_script(bench_compile.script(100), modules=modules)
if kind == "compile":
    statements = actions * bench_compile.bench_parse.STATEMENTS_PER_CHUNK // bench_compile.ACTIONS_PER_CHUNK
    text = bench_compile.script(statements)
    def work():
        return compile_script(text, modules=modules)
elif kind == "actions":
    places = ("input", "camera", "output", "park")
    def work():
        return [
            (modules.x if k % 2 else modules.y).move_action(places[k % 4])
            for k in range(actions)
        ]
else:
    places = ("input", "camera", "output", "park")
    def work():
        return [
            {{"device": 15 + k % 2, "target": float(k), "position": places[k % 4],
              "velocity": 1.0, "acceleration": 1.0, "deceleration": 1.0}}
            for k in range(actions)
        ]
gc.collect()
before = resident()
started = time.perf_counter()
result = work()
seconds = time.perf_counter() - started
grown = peak() - before
counted = len(result.plan.steps) if kind == "compile" else len(result)
print(json.dumps({{"bytes": grown, "seconds": seconds, "items": counted}}))
"""


def measured(kind, actions):
    """{bytes, seconds, items} of one measurement in a fresh process."""
    done = subprocess.run(
        [sys.executable, "-c", CHILD.format(here=str(HERE)), kind, str(actions)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout.splitlines()[-1])


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actions", type=int, default=200_000)
    return parser


def measure(args):
    actions = args.actions
    compiled = measured("compile", actions)
    alone = measured("actions", actions)
    plain = measured("settings", actions)
    ours = compiled["bytes"] / actions / 1024
    base = plain["bytes"] / actions / 1024
    print(
        f"compile {actions:,} actions ({compiled['items']:,} steps): "
        f"{compiled['bytes'] / 2**20:,.0f} MiB, {ours:.2f} KiB per action, "
        f"{compiled['seconds']:.1f} s"
    )
    print(
        f"the same number of actions made by their modules: "
        f"{alone['bytes'] / 2**20:,.0f} MiB, "
        f"{alone['bytes'] / actions / 1024:.2f} KiB per action"
    )
    print(
        f"a dict of a move's settings per action: "
        f"{plain['bytes'] / 2**20:,.0f} MiB, {base:.2f} KiB per action"
    )
    return [
        compared(
            f"compile {actions // 1000:,}k actions, memory",
            Figure(ours, "KiB/action"),
            Figure(base, "KiB/action", "settings dicts"),
            # Half of what compiling cost per action before the compile
            # stopped keeping what the run plan does not need: 7.97 KiB at
            # 200,000 actions, 26 times the settings dicts.
            Target("<=", 13),
        )
    ]


if __name__ == "__main__":
    main(command_line(), measure)
