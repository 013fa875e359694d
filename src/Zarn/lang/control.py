"""The parts of a compiled plan that its control constructs make: the ways of
a condition, the rounds of a bounded loop, the attempts of a retried part and
the time-limited parts, found from the `Decide` and `Mark` steps that the
compile path puts around their bodies, and laid out with the plan's guarded
parts (try/except) as one table for the run (`ControlTable`).

A construct's body stands between its marks in the plan's order of steps: a
sequence's statements, and a group's markers and branches, follow one
another there, so each part is the steps between two of its marks, and parts
nest as their constructs do. A copy of a construct (a block used twice, a
loop's rounds, a retry's attempts) has marks of its own, and so parts of its
own.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from Zarn.machine_modules.control import CHECK, IF, LOOP, ROUND, Decide, Mark

__all__ = [
    "ControlTable",
    "Part",
    "control_table",
    "exception_part_numbers",
    "script_actions",
]


@dataclass
class Part:
    """One part of a plan: `kind` ("try", "way", "attempt", "time limit"),
    its `steps`, the part around it (`outer`), and what its kind needs: a
    way's deciding step (`decision`) and the result that takes it
    (`taken_when`), an attempt's `next` attempt, a time limit's `seconds`,
    a try's `exception` part. `opened_at` is the step of the mark (or
    decision) that opens it, where it has one; `construct` what it belongs
    to ("if", "else", "loop", "retry", "timeout", "try")."""

    kind: str
    steps: list
    construct: str
    outer: int | None = None
    decision: int | None = None
    taken_when: bool = True
    next: int | None = None
    seconds: float | None = None
    exception: object = None
    opened_at: int | None = None
    round: int | None = None  # a loop's round, or a retry's attempt, from 1


@dataclass
class ControlTable:
    """What the run needs of a plan's parts: `parts` (Part, the plan's own
    guarded parts first, with their indices), `step_parts` (each step's
    innermost part, or None), the `deciding` steps and the `quiet` ones
    (marks: they run, but are not the script's actions)."""

    parts: list
    step_parts: list
    deciding: list = field(default_factory=list)
    quiet: list = field(default_factory=list)


class _Frame:
    def __init__(self, construct, opened_at, action):
        self.construct = construct
        self.opened_at = opened_at
        self.action = action
        self.points = []  # (step, action) of its dividing steps


def _between(first, last):
    return list(range(first + 1, last))


def control_table(plan, columns=None):
    """The ControlTable of a plan, or None when the plan holds no control
    construct (the run then reads the plan's guarded parts as they are)."""
    if columns is not None:
        actions = columns["action"]
    elif callable(getattr(plan, "columns", None)):
        actions = plan.columns()["action"]
    else:  # a plan of another make: read step by step
        actions = [step.action for step in plan.steps]
    found = [
        (index, action)
        for index, action in enumerate(actions)
        if isinstance(action, (Decide, Mark))
    ]
    if not found:
        return None
    parts = [
        Part(
            "try",
            list(guard.steps),
            "try",
            outer=guard.outer,
            exception=guard.exception,
        )
        for guard in plan.guards
    ]
    tries = len(parts)
    deciding, quiet = [], []
    open_frames = []
    for index, action in found:
        if isinstance(action, Mark):
            quiet.append(index)
            role = action.role
            if role in ("retry", "timeout"):
                open_frames.append(_Frame(role, index, action))
            elif role in ("else", "attempt"):
                open_frames[-1].points.append((index, action))
            else:
                parts.extend(_close(open_frames.pop(), index))
            continue
        if action.role == IF:
            deciding.append(index)
            open_frames.append(_Frame("if", index, action))
        elif action.role == LOOP:
            deciding.append(index)
            open_frames.append(_Frame("loop", index, action))
        elif action.role == ROUND:
            deciding.append(index)
            open_frames[-1].points.append((index, action))
        elif action.role == CHECK:
            open_frames[-1].points.append((index, action))
    if open_frames:
        raise ValueError("a control construct of the plan has no end mark")
    _nest(parts, tries, len(actions))
    step_parts = _innermost(parts, len(actions))
    return ControlTable(parts, step_parts, deciding, quiet)


def _close(frame, end):
    """The parts of a construct whose end mark stands at `end`."""
    if frame.construct == "if":
        points = [step for step, _ in frame.points]
        middle = points[0] if points else end
        made = [
            Part(
                "way",
                _between(frame.opened_at, middle),
                "if",
                decision=frame.opened_at,
                taken_when=True,
                opened_at=frame.opened_at,
            )
        ]
        if points:
            made.append(
                Part(
                    "way",
                    _between(middle, end),
                    "else",
                    decision=frame.opened_at,
                    taken_when=False,
                    opened_at=middle,
                )
            )
        return made
    if frame.construct == "loop":
        decides = [frame.opened_at] + [
            step
            for step, action in frame.points
            if isinstance(action, Decide) and action.role == ROUND
        ]
        return [
            Part(
                "way",
                _between(step, end),
                "loop",
                decision=step,
                taken_when=True,
                opened_at=step,
                round=number,
            )
            for number, step in enumerate(decides, 1)
        ]
    if frame.construct == "retry":
        starts = [step for step, _ in frame.points]
        made = []
        for number, (start, stop) in enumerate(zip(starts, starts[1:] + [end]), 1):
            made.append(
                Part(
                    "attempt",
                    _between(start, stop),
                    "retry",
                    opened_at=start,
                    round=number,
                )
            )
        return made
    return [
        Part(
            "time limit",
            _between(frame.opened_at, end),
            "timeout",
            seconds=frame.action.seconds,
            opened_at=frame.opened_at,
        )
    ]


def _nest(parts, tries, step_count):
    """Sets every part's `outer`, the smallest part that holds it, and chains
    the attempts of each retry. Between parts of equal steps, a construct's
    part holds a guarded part (the marks of a construct inside a guarded part
    would make that part larger), and guarded parts keep their own order."""
    try_depth = []
    for part in parts[:tries]:
        depth, outer = 0, part.outer
        while outer is not None:
            depth, outer = depth + 1, parts[outer].outer
        try_depth.append(depth)
    order = sorted(
        range(len(parts)),
        key=lambda p: (
            -len(parts[p].steps),
            p < tries,
            try_depth[p] if p < tries else parts[p].opened_at or 0,
        ),
    )
    innermost = [None] * step_count
    for p in order:
        part = parts[p]
        part.outer = innermost[part.steps[0]] if part.steps else None
        for step in part.steps:
            innermost[step] = p
    previous = None
    for index in range(tries, len(parts)):
        part = parts[index]
        if part.kind == "attempt":
            if previous is not None and parts[previous].round == part.round - 1:
                parts[previous].next = index
            previous = index
        else:
            previous = None


def _innermost(parts, step_count):
    """Each step's innermost part."""
    depth = [0] * len(parts)
    for index, part in enumerate(parts):
        outer, level = part.outer, 0
        while outer is not None:
            level += 1
            outer = parts[outer].outer
        depth[index] = level
    innermost = [None] * step_count
    for index in sorted(range(len(parts)), key=depth.__getitem__):
        for step in parts[index].steps:
            innermost[step] = index
    return innermost


# --- what users count and number ------------------------------------------------------


def script_actions(plan):
    """How many of a plan's steps are the script's actions: neither a group's
    markers nor the marks of a construct (a condition's check is one)."""
    return sum(
        1
        for step in plan.steps
        if step.kind == "action" and not isinstance(step.action, Mark)
    )


def exception_part_numbers(plan, plan_of):
    """{id(exception part): (its run plan, the number of its first step)}.

    Steps are numbered for users from 1: main's first, then each exception
    part's after all the steps numbered before it, depth first in the
    order of the guarded parts (a part's own exception parts right after
    it), so that no two steps of a script share a number; a run numbers the
    steps of the first exception part it runs the same way. A part that
    several guarded parts share is numbered once; one whose plan cannot be
    made (`plan_of` raises) is left out."""
    numbers = {}
    following = len(plan.steps) + 1

    def number(plan):
        nonlocal following
        for guard in plan.guards:
            part = guard.exception
            if part is None or id(part) in numbers:
                continue
            try:
                part_plan = plan_of(part)
            except Exception:  # noqa: BLE001, S112 -- whoever shows the part tells why
                continue
            numbers[id(part)] = (part_plan, following)
            following += len(part_plan.steps)
            number(part_plan)

    number(plan)
    return numbers
