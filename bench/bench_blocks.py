"""Cost of compiling a long sequence, the way the compiler's block rule works.

A chain is built from its end: each statement becomes a StandardBlock that is
filled, given its wait clause, linked to the blocks after it, resolved
against the declarations and checked for module consistency. Every tenth
statement waits for the label of the one before it; every fiftieth names a
declared block, which is inserted as a copy. Afterwards the whole sequence's
local names are resolved once and its run plan is made.

Prints the time for 10,000 and 20,000 statements and the ratio 20k / 10k: a
cost linear in the number of statements gives about 2, a quadratic one 4.
It also times the last 1,000 block rules of each run, whose tails are the
longest: their ratio is about 1 when a new head costs the same whatever the
length of the chain behind it, and about 2 when it walks that chain.
The run is timed twice: as a program sees it, and with Python's garbage
collector paused. A full collection walks every live object, and whether one
falls into a run or not moves the first figure by up to half a unit; the
second shows the cost of the block operations themselves.

    python3 bench/bench_blocks.py [--small N] [--runs R]
"""

import argparse
import gc
import statistics
import sys
import time

from comparisons import LINEAR, Target, doubled, main
from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnId, ZarnState
from Zarn.blocks import StandardBlock


class Module:
    def __init__(self, name):
        self.name = name


class Step(ZarnAction):
    def setup(self, **settings):
        pass

    def execute(self):
        self.state = ZarnState.Finished
        self.finish_signal.set()


LAST_HEADS = 1000


def declared_block(module):
    declared = StandardBlock(identifier="pick")
    declared.add([Step(module), Step(module)])
    return declared


def compile_sequence(count, module, declarations):
    """Returns the head of the chain, the seconds the block rules took, and
    the seconds the last LAST_HEADS of them took (on the longest tails)."""
    started = time.perf_counter()
    last_heads_started = started
    others = None
    for i in range(count - 1, -1, -1):
        if i == LAST_HEADS - 1:
            last_heads_started = time.perf_counter()
        block = StandardBlock(identifier=f"s{i}")
        primary = ZarnId("pick") if i % 50 == 0 else Step(module)
        block.add([primary])
        if i % 10 == 0 and i > 0:
            block.first().add_dependencies(ZarnId(f"s{i - 1}"))
        block.next_block = others
        block.resolve_global(declarations)
        if block.isAsync or block.isCompete:
            raise SystemExit("a plain statement was taken for a group")
        if not block.is_module_consistent():
            raise SystemExit("the sequence lost its module consistency")
        others = block
    ended = time.perf_counter()
    return others, ended - started, ended - last_heads_started


def measure_run(count, collector):
    gc.collect()  # start each run without the garbage of the one before
    if not collector:
        gc.disable()
    try:
        return timed_run(count)
    finally:
        gc.enable()


def timed_run(count):
    module = Module("axis")
    declarations = {"pick": declared_block(module)}
    head, rules, last_heads = compile_sequence(count, module, declarations)
    started = time.perf_counter()
    if not head.resolve_local(head.get_local_variables_map()):
        raise SystemExit("local resolution failed")
    plan = head.run_plan()
    finishing = time.perf_counter() - started
    expected = count + count // 50  # each inserted copy holds two actions
    if len(plan.steps) != expected:
        raise SystemExit(
            f"expected {expected} actions, the plan holds {len(plan.steps)}"
        )
    return rules, finishing, last_heads


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=7)
    return parser


def measure(args):
    sys.setrecursionlimit(1000)  # nothing here may depend on deep recursion
    rows = []
    for collector in (True, False):
        print(
            "with the garbage collector" if collector else "with the collector paused"
        )
        results = {}
        for count in (args.small, 2 * args.small):
            runs = [measure_run(count, collector) for _ in range(args.runs)]
            rules = statistics.median(r[0] for r in runs)
            finishing = statistics.median(r[1] for r in runs)
            last_heads = statistics.median(r[2] for r in runs)
            results[count] = (rules + finishing, last_heads)
            print(
                f"  {count:>7} statements: block rules {rules:7.3f} s, "
                f"local resolution + run plan {finishing:6.3f} s, "
                f"last {LAST_HEADS} heads {last_heads * 1e3:6.1f} ms"
            )
        small, large = results[args.small], results[2 * args.small]
        how = "GC on" if collector else "GC paused"
        # With the collector on, whether a full collection falls into a run
        # moves the ratio by up to half a unit (see above): linear is 2.5
        # plus that. The row with the collector paused holds the rule's own
        # cost to 2.5.
        target = LINEAR if not collector else Target("<=", 3.0)
        rows.append(
            doubled(f"block rules, {how}", args.small, large[0], small[0], target)
        )
        # No target is stated: the last heads' ratio is about 1 when a head
        # costs the same whatever the tail behind it and about 2 when it walks
        # the tail, so 1.5 tells the two apart.
        heads = f"last {LAST_HEADS:,} heads, {how}"
        rows.append(doubled(heads, args.small, large[1], small[1], Target("<=", 1.5)))
    return rows


if __name__ == "__main__":
    main(command_line(), measure)
