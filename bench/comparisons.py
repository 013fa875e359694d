"""What a benchmark hands back: one row per comparison of the package's figure
with a baseline measured in the same run, and the table that prints them.

A benchmark builds its rows with `compared` (ratio = ours / baseline, both in
one unit) or with `Row` itself (a ratio of another kind, such as CPU time over
wall time); `main` runs a benchmark on its own and prints its rows.
"""

import operator
import os
import platform
from dataclasses import dataclass

RELATIONS = {"<": operator.lt, "<=": operator.le, ">=": operator.ge, "=": operator.eq}


def decimals(value):
    """Three or four significant digits; whole numbers (counts) as they are."""
    size = abs(value)
    if size >= 100 or value == int(value):
        return 0
    if size >= 10:
        return 1
    return 2 if size >= 1 else 3


@dataclass(frozen=True)
class Figure:
    value: float
    unit: str
    what: str = ""  # names the baseline, or the size a figure was taken at

    def __str__(self):
        text = f"{self.value:,.{decimals(self.value)}f} {self.unit}".rstrip()
        return f"{self.what}: {text}" if self.what else text


@dataclass(frozen=True)
class Target:
    relation: str
    bound: float

    def __post_init__(self):
        if self.relation not in RELATIONS:
            raise ValueError(f"no relation {self.relation!r}")

    def met(self, ratio):
        return RELATIONS[self.relation](ratio, self.bound)

    def __str__(self):
        return f"{self.relation} {self.bound:g}"


@dataclass(frozen=True)
class Row:
    workload: str
    ours: Figure
    baseline: Figure
    ratio: float
    target: Target

    @property
    def met(self):
        return self.target.met(self.ratio)

    def cells(self):
        return (
            self.workload,
            str(self.ours),
            str(self.baseline),
            f"{self.ratio:.3g}",
            str(self.target),
            "yes" if self.met else "no",
        )


def compared(workload, ours, baseline, target):
    if ours.unit != baseline.unit:
        raise ValueError(f"{workload}: {ours.unit} against {baseline.unit}")
    return Row(workload, ours, baseline, ours.value / baseline.value, target)


# Twice the statements in at most 2.5 times the time: the project's bound for
# a linear cost, with room for noise (a cost that walks what came before gives 4).
LINEAR = Target("<=", 2.5)


def doubled(workload, size, larger_seconds, smaller_seconds, target=LINEAR):
    """The row of a workload timed at `size` statements and at twice as many."""
    return compared(
        workload,
        Figure(larger_seconds * 1000, "ms", f"{2 * size // 1000:,}k"),
        Figure(smaller_seconds * 1000, "ms", f"{size // 1000:,}k"),
        target,
    )


def idle_row(workload, cpu_seconds, wall_seconds):
    """The CPU time spent waiting against the time waited. No target is stated
    beyond using no CPU while idle; 1% of one core allows for the wake-ups."""
    return Row(
        workload,
        Figure(cpu_seconds * 1000, "ms CPU"),
        Figure(wall_seconds, "s", "waited"),
        cpu_seconds / wall_seconds,
        Target("<", 0.01),
    )


HEADINGS = ("workload", "ours", "baseline", "ratio", "target", "met")
# Text columns read from the left, figures from the right.
ALIGN_LEFT = (True, False, False, False, True, True)


def table(rows, markdown=False):
    """The rows as lines of text: aligned columns, or a Markdown table."""
    cells = [HEADINGS] + [row.cells() for row in rows]
    if markdown:
        rule = tuple("---" if left else "---:" for left in ALIGN_LEFT)
        return ["| " + " | ".join(line) + " |" for line in (cells[0], rule, *cells[1:])]
    widths = [max(len(line[i]) for line in cells) for i in range(len(HEADINGS))]
    lines = []
    for line in cells:
        padded = (
            text.ljust(width) if left else text.rjust(width)
            for text, width, left in zip(line, widths, ALIGN_LEFT)
        )
        lines.append("  ".join(padded).rstrip())
    return lines


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine():
    """The line that says where the figures were taken."""
    return (
        f"machine: {cpu_model()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}"
    )


def main(command_line, measure):
    """Runs one benchmark on its own: its options, then its rows as a table."""
    options = command_line.parse_args()
    print("\n".join(table(measure(options))))
