"""Cost of the executor against calling the same actions in a plain loop.

Two plans of no-op actions, built fresh for every run (an action runs once):

- chain: 10,000 actions, each waiting for the one before;
- lanes: a parallel group of 8 modules, 1,250 actions each.

Each is timed through `Executor(plan).run()` (reading the plan, pool,
scheduling, report included) and as a Python loop over the plan's steps
calling the same `execute` methods one after another, in the same run; the
figure is the median over several runs, and the ratio executor / loop
(target: 3 at most). Then the idle cost: the CPU
time the process spends while the executor waits on one slow action.

    python3 bench/bench_executor.py [--runs R] [--actions N] [--idle SECONDS]
"""

import argparse
import statistics
import threading
import time

from comparisons import Figure, Target, compared, idle_row, main
from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.blocks import AsyncBlock, StandardBlock

from Zarn.executor import Executor

LANES = 8


class Module:
    def __init__(self, name):
        self.name = name


class NoOp(ZarnAction):
    def setup(self):
        pass

    def execute(self):
        self.state = ZarnState.Executing
        self.state = ZarnState.Finished
        self.finish_signal.set()


class Slow(ZarnAction):
    """Waits without using the processor, as a move waits for its axis."""

    def setup(self, seconds):
        self.seconds = seconds

    def execute(self):
        self.state = ZarnState.Executing
        threading.Event().wait(self.seconds)
        self.state = ZarnState.Finished
        self.finish_signal.set()


def chain_plan(count):
    block = StandardBlock()
    block.add([NoOp(Module("axis")) for _ in range(count)])
    return block.run_plan()


def lanes_plan(count):
    lanes = []
    for lane in range(LANES):
        block = StandardBlock()
        module = Module(f"lane{lane}")
        block.add([NoOp(module) for _ in range(count // LANES)])
        lanes.append(block)
    group = AsyncBlock(lanes)
    group.resolve_parallel()
    return group.run_plan()


def loop_time(plan):
    # From the plan, as the executor starts: both walk the same fresh objects.
    started = time.perf_counter()
    for step in plan.steps:
        step.action.execute()
    return time.perf_counter() - started


def executor_time(plan):
    started = time.perf_counter()
    report = Executor(plan).run()
    elapsed = time.perf_counter() - started
    assert report.ok, report.summary()
    return elapsed


def compare(name, make, count, runs):
    loops, runs_ = [], []
    for _ in range(runs):
        loops.append(loop_time(make(count)))
        runs_.append(executor_time(make(count)))
    return compared(
        f"executor, {name}",
        Figure(statistics.median(runs_) * 1e3, "ms"),
        Figure(statistics.median(loops) * 1e3, "ms", "loop"),
        Target("<=", 3),
    )


def idle_cost(seconds):
    block = StandardBlock()
    block.add([Slow(Module("axis"), seconds=seconds)])
    executor = Executor(block)
    cpu, wall = time.process_time(), time.perf_counter()
    executor.run()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return idle_row("executor idle", cpu, wall)


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--actions", type=int, default=10_000)
    parser.add_argument("--idle", type=float, default=2.0)
    return parser


def measure(args):
    return [
        compare("chain", chain_plan, args.actions, args.runs),
        compare("lanes", lanes_plan, args.actions, args.runs),
        idle_cost(args.idle),
    ]


if __name__ == "__main__":
    main(command_line(), measure)
