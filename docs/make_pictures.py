"""Draws the two pictures of docs/pictures.md from examples/pick_and_place.zarn.

    python docs/make_pictures.py [--speed F] [--only graph|timeline]

- docs/pick_and_place-graph.svg: what `zarn graph examples/pick_and_place.zarn
  -o FILE.svg` draws (it needs Graphviz's `dot`);
- docs/pick_and_place-timeline.svg: a run of the same script on the executor.
  The machine is a recording one that takes the time the real machine would:
  a move as long as its distance, speed and acceleration make it, a homing,
  a gripper's valve and sensor as long as the example machine's do; all of it
  F times faster (default 10), so that the run takes a few seconds.
"""

import argparse
import math
import sys
import threading
import time
from pathlib import Path

from Zarn import cli
from Zarn.executor import Executor
from Zarn.lang.compiling import compile
from Zarn.machine import NO_RATE, RecordingMachine
from Zarn.pictures import timeline_svg

DOCS = Path(__file__).resolve().parent
SCRIPT = DOCS.parent / "examples" / "pick_and_place.zarn"

# Machine seconds of what the recording machine cannot compute from a move.
HOMING_SECONDS = 1.5
OUTPUT_SECONDS = 0.03
INPUT_SECONDS = 0.12  # a gripper sensor following its valve
# Rates of a move that gives none (the drive's own settings).
DRIVE_VELOCITY = 200.0
DRIVE_ACCELERATION = 1000.0


def move_seconds(distance, velocity, acceleration, deceleration):
    """How long a point-to-point move takes on a trapezoidal profile."""
    distance = abs(distance)
    if distance == 0:
        return 0.0
    velocity = DRIVE_VELOCITY if velocity == NO_RATE else velocity
    speeding = DRIVE_ACCELERATION if acceleration == NO_RATE else acceleration
    braking = DRIVE_ACCELERATION if deceleration == NO_RATE else deceleration
    ramps = velocity**2 / 2 * (1 / speeding + 1 / braking)
    if distance >= ramps:
        return distance / velocity + velocity / 2 * (1 / speeding + 1 / braking)
    # Never at full speed: a triangle.
    peak = math.sqrt(2 * distance / (1 / speeding + 1 / braking))
    return peak / speeding + peak / braking


class PacedMachine(RecordingMachine):
    """Records what would be sent, and takes as long as the machine would,
    `speed` times faster."""

    def __init__(self, speed):
        super().__init__()
        self.speed = speed
        self.positions = {}
        self._places = threading.Lock()

    def _take(self, seconds):
        time.sleep(seconds / self.speed)

    def move(self, moves):
        super().move(moves)
        longest = 0.0
        with self._places:
            for move in moves:
                here = self.positions.get(move.device, 0.0)
                there = here + move.target if move.relative else move.target
                self.positions[move.device] = there
                longest = max(
                    longest,
                    move_seconds(
                        there - here,
                        move.velocity,
                        move.acceleration,
                        move.deceleration,
                    ),
                )
        self._take(longest)

    def home(self, device, method):
        super().home(device, method)
        with self._places:
            self.positions[device] = 0.0
        self._take(HOMING_SECONDS)

    def set_output(self, device, pin, value):
        super().set_output(device, pin, value)
        self._take(OUTPUT_SECONDS)

    def wait_input(self, device, pin, value, timeout):
        super().wait_input(device, pin, value, timeout)
        self._take(min(INPUT_SECONDS, timeout))

    def sleep(self, seconds):
        super().sleep(seconds)
        self._take(seconds)


def draw_graph(script, path):
    if cli.main(["graph", str(script), "-o", str(path)]) != 0:
        raise SystemExit(f"the graph of {script} could not be drawn")


def draw_timeline(script, path, speed):
    main = compile(script)
    machine = PacedMachine(speed)
    report = Executor(main, machine=machine).run()
    title = (
        f"{script.name} on a recording machine {speed:g} times as fast as the "
        "example machine"
    )
    path.write_text(timeline_svg(report, title=title), encoding="utf-8")
    print(f"wrote the timeline of a run of {script} to {path}: {report.reason}")
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--speed", type=cli.speed_factor, default=10.0, metavar="F")
    parser.add_argument("--out", type=Path, default=DOCS, metavar="DIR")
    parser.add_argument(
        "--only", choices=("graph", "timeline"), help="draw this picture alone"
    )
    args = parser.parse_args(argv)
    if args.only != "timeline":
        draw_graph(SCRIPT, args.out / "pick_and_place-graph.svg")
    if args.only == "graph":
        return 0
    report = draw_timeline(SCRIPT, args.out / "pick_and_place-timeline.svg", args.speed)
    return report.exit_code


if __name__ == "__main__":
    sys.exit(main())
