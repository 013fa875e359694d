"""Cost of the executor against calling the same actions in a plain loop.

Three plans of no-op actions, built fresh for every run (an action runs once):

- chain: 10,000 actions, each waiting for the one before;
- lanes: a parallel group of 8 modules, 1,250 actions each;
- constructs: a compiled script of about as many steps, a sequence of
  conditions with both ways and retried parts around no-op operations (every
  condition holds, every first attempt succeeds), run as `zarn run` runs a
  compiled script: its plan and control table as the compile built them.

Each is timed through `Executor(plan).run()` (reading the plan, pool,
scheduling, report included) and as a Python loop over the plan's steps
calling the same `execute` methods one after another, in the same run (for
the constructs, the steps that run: the way not taken and the attempts not
needed are left out); the figure is the median over several runs, and the
ratio executor / loop (target: 3 at most). Then the idle cost: the CPU
time the process spends while the executor waits on one slow action.

    python3 bench/bench_executor.py [--runs R] [--actions N] [--idle SECONDS]
"""

import argparse
import statistics
import threading
import time
import types

from comparisons import Figure, Target, compared, idle_row, main
from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.blocks import AsyncBlock, StandardBlock

from Zarn._zarnmodule import IOModule, MachineModule, attach, operation
from Zarn.executor import Executor
from Zarn.lang.compiling import compile_script
from Zarn.machine import Machine

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


class Station(MachineModule):
    @operation
    def step(self):
        """Does nothing: what is timed is the run around it."""


class ReadyMachine(Machine):
    """A machine whose every input shows 1: every condition on one holds."""

    def read_input(self, device, pin):
        return 1


MODULES = types.ModuleType("bench_executor_modules")
MODULES.lane = Station("lane")
MODULES.sensors = IOModule("sensors", device=1, inputs={"ready": 0})

# Seventeen steps, twelve of which run: the condition's check, the way it
# takes and its two marks; the retry's marks and its first attempt.
CONSTRUCTS = """\
    if @sensors ready on { @lane.step()  @lane.step() } else { @lane.step()  @lane.step() }
    retry 1 { @lane.step()  @lane.step()  @lane.step() }
"""
STEPS_PER_CONSTRUCTS = 17


def constructs_script(count):
    """A compiled script of about `count` steps."""
    chunks = max(1, count // STEPS_PER_CONSTRUCTS)
    text = "block main {\n" + CONSTRUCTS * chunks + "}\n"
    return compile_script(text, modules=MODULES)


def steps_that_run(plan, control):
    """The steps of a plan of `constructs_script` that a run runs, in plan
    order: none of a way that its condition does not take (they all hold)
    nor of an attempt after the first (the first ones all succeed)."""
    running = []
    for index, step in enumerate(plan.steps):
        part = control.step_parts[index]
        while part is not None:
            around = control.parts[part]
            if (around.kind == "way" and not around.taken_when) or (
                around.kind == "attempt" and around.round > 1
            ):
                break
            part = around.outer
        else:
            running.append(step)
    return running


def loop_time(made):
    # From the plan, as the executor starts: both walk the same fresh objects.
    plan, steps = made, None
    if hasattr(made, "controls"):  # a compiled script: only its steps that run
        plan = made.plan
        steps = steps_that_run(plan, made.controls[id(plan)])
        attach((step.action for step in plan.steps), ReadyMachine())
    started = time.perf_counter()
    for step in plan.steps if steps is None else steps:
        step.action.execute()
    return time.perf_counter() - started


def executor_time(plan):
    machine = ReadyMachine() if hasattr(plan, "controls") else None
    started = time.perf_counter()
    report = Executor(plan, machine=machine).run()
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
        compare("constructs", constructs_script, args.actions, args.runs),
        idle_cost(args.idle),
    ]


if __name__ == "__main__":
    main(command_line(), measure)
