"""What the action graph draws of a plan: a bounded loop's rounds, a retried
part's attempts and the copies that `repeat N` unrolls are folded into their
first round (the others stand for it), the marks of the constructs are left
out (what waits for one waits for what the mark waits for), and a
condition's ways leave its check as two labelled arrows.

A fold keeps every wait: a wait between two rounds becomes the arrow back to
the round's start, a wait that reaches into or out of a later round is drawn
to or from the round drawn, at the fold's frame (`Folding.leaving` and
`Folding.entering` name the fold)."""

from __future__ import annotations

from dataclasses import dataclass, field

from Zarn.executor.events import _description
from Zarn.lang.control import control_table
from Zarn.machine_modules.control import CHECK, Decide, Mark

# `repeat N` folds only where that hides a few steps: two equal steps in a
# row are more likely written twice than repeated.
_FEWEST_STEPS_FOLDED = 3


@dataclass
class Fold:
    """Copies of the same steps in a row: `kind` "loop" (a `repeat until` or
    `repeat while`, `bound` its most rounds), "retry" (`bound` attempts) or
    "repeat" (`repeat N`); `copies` the step indices of each round, the
    first drawn; `decide` the loop's check of its first round."""

    kind: str
    copies: list
    bound: int
    condition: str | None = None

    @property
    def span(self):
        return range(self.copies[0][0], self.copies[-1][-1] + 1)

    @property
    def hidden(self):
        """The steps of the rounds after the first."""
        return range(self.copies[1][0], self.copies[-1][-1] + 1)

    def copy_of(self, index):
        for number, copy in enumerate(self.copies):
            if copy[0] <= index <= copy[-1]:
                return number
        return None


@dataclass
class TimeLimit:
    steps: list
    seconds: float


@dataclass
class Folding:
    """`stands_for` {step of a later round: the step of the first round
    drawn for it}; `marks` the steps left out; `waits` what a mark stands
    for when it is not what it waits for ({mark: [(step, label)]});
    `labels` {(decision, step): label} of a condition's arrows; `folds`
    (outer before inner), `time_limits`, `decisions` (the deciding
    steps)."""

    stands_for: dict = field(default_factory=dict)
    marks: set = field(default_factory=set)
    waits: dict = field(default_factory=dict)
    labels: dict = field(default_factory=dict)
    folds: list = field(default_factory=list)
    time_limits: list = field(default_factory=list)
    decisions: set = field(default_factory=set)

    def shown(self, index):
        """The step drawn for `index`, or None for a mark."""
        if index in self.marks:
            return None
        while index in self.stands_for:
            index = self.stands_for[index]
        return index

    def drawn(self, index):
        return index not in self.marks and index not in self.stands_for

    def sources(self, plan, index):
        """[(step, label, through a mark)] of what the step `index` waits
        for, a mark replaced by what it stands for."""
        found = []
        seen = set()

        def walk(waited, label, bridged):
            if waited in seen:
                return
            seen.add(waited)
            if waited not in self.marks:
                found.append((waited, label, bridged))
                return
            given = self.waits.get(waited)
            if given is None:
                given = [(wait, None) for wait in plan.steps[waited].waits]
            for wait, own in given:
                walk(wait, own or label, True)

        for wait in plan.steps[index].waits:
            walk(wait, self.labels.get((wait, index)), False)
        return found

    def leaving(self, tail, head):
        """The outermost fold that hides `tail` and does not hold `head`."""
        return self._outermost(tail, head)

    def entering(self, tail, head):
        return self._outermost(head, tail)

    def _outermost(self, hidden, other):
        for fold in self.folds:  # outer folds come first
            if hidden in fold.hidden and other not in fold.span:
                return fold
        return None

    def stand_ins(self, index):
        """The steps a drawn step stands for, itself first."""
        return [index] + sorted(
            step for step in self.stands_for if self.shown(step) == index
        )


def fold_plan(plan):
    """The Folding of a run plan."""
    folding = Folding()
    table = control_table(plan)
    actions = [step.action for step in plan.steps]
    regions = [set(guard.steps) for guard in plan.guards]
    for competition in getattr(plan, "competitions", ()):
        held = {competition.start, competition.join}
        for branch in competition.branches:
            held.update([branch.turn, branch.release, *branch.steps])
        regions.append(held)
    if table is not None:
        _fold_constructs(folding, table, actions, plan)
        regions += [set(part.steps) for part in table.parts]
    _fold_repeats(folding, plan, regions)
    # Outer folds first: a wait that leaves several is drawn from the outer.
    folding.folds.sort(key=lambda fold: (fold.span.start, -len(fold.span)))
    return folding


def _fold_constructs(folding, table, actions, plan):
    folding.marks.update(
        index for index, action in enumerate(actions) if isinstance(action, Mark)
    )
    folding.decisions.update(
        index for index, action in enumerate(actions) if isinstance(action, Decide)
    )
    parts = table.parts
    for number, part in enumerate(parts):
        if part.kind == "time limit":
            folding.time_limits.append(TimeLimit(part.steps, part.seconds))
        elif part.kind == "way" and part.construct == "if":
            following = parts[number + 1] if number + 1 < len(parts) else None
            otherwise = (
                following if following and following.construct == "else" else None
            )
            _condition(folding, part, otherwise, plan)
        elif part.kind == "way" and part.construct == "loop" and part.round == 1:
            rounds = [part]
            for later in parts[number + 1 :]:
                if later.construct != "loop" or later.round != len(rounds) + 1:
                    break
                rounds.append(later)
            _loop(folding, rounds, actions, plan)
        elif part.kind == "attempt" and part.round == 1:
            attempts = [part]
            while attempts[-1].next is not None:
                attempts.append(parts[attempts[-1].next])
            _retry(folding, attempts, actions)


def _condition(folding, then, otherwise, plan):
    decision = then.decision
    for step in then.steps:
        if decision in plan.steps[step].waits:
            folding.labels[(decision, step)] = "yes"
    if otherwise is None:
        end = (then.steps[-1] if then.steps else decision) + 1
        folding.waits[end] = [(end - 1, None), (decision, "no")]
        return
    middle = otherwise.opened_at
    end = (otherwise.steps[-1] if otherwise.steps else middle) + 1
    folding.waits[middle] = [(decision, "no")]
    folding.waits[end] = [(middle - 1, None), (end - 1, None)]
    if middle - 1 == decision:  # nothing to do when it holds
        folding.waits[end][0] = (decision, "yes")


def _loop(folding, rounds, actions, plan):
    decides = [part.decision for part in rounds]
    check = rounds[-1].steps[-1]
    ends = decides[1:] + [check]
    copies = [list(range(start, end)) for start, end in zip(decides, ends)]
    first = actions[decides[0]]
    bound = first.rounds or len(rounds)
    word = "until" if first.until else "while"
    fold = Fold("loop", copies, bound, f"{word} {first.condition_shown()}")
    for step in copies[0][1:]:
        if decides[0] in plan.steps[step].waits:
            folding.labels[(decides[0], step)] = "another round"
    _add_fold(folding, fold)
    if isinstance(actions[check], Decide) and actions[check].role == CHECK:
        folding.decisions.add(check)


def _retry(folding, attempts, actions):
    starts = [part.opened_at for part in attempts]
    last = attempts[-1]
    end = (last.steps[-1] if last.steps else last.opened_at) + 1
    copies = [
        list(range(start, stop)) for start, stop in zip(starts, starts[1:] + [end])
    ]
    if len(copies) > 1:
        _add_fold(folding, Fold("retry", copies, len(copies)))


def _add_fold(folding, fold):
    if len(fold.copies) < 2 or len({len(copy) for copy in fold.copies}) != 1:
        return  # rounds of different steps are not copies: drawn as they are
    first = fold.copies[0]
    for copy in fold.copies[1:]:
        for mine, drawn in zip(copy, first):
            folding.stands_for[mine] = drawn
    folding.folds.append(fold)


def _signature(step):
    """What two steps share when one is a copy of the other, what each waits
    for counted back from it."""
    action = step.action
    module = getattr(getattr(action, "module", None), "name", None)
    return (
        step.kind,
        module,
        getattr(action, "operation", None),
        _description(action) if step.kind == "action" else None,
        step.branch,
        step.guard is None,
        tuple(sorted({wait - step.index for wait in step.waits})),
        None if step.after is None else step.after - step.index,
    )


def _fold_repeats(folding, plan, regions):
    """Folds the copies that `repeat N` unrolls: runs of equal steps whose
    copies hold each guarded part, group and construct whole."""
    signatures = [_signature(step) for step in plan.steps]
    hidden = set(folding.stands_for)
    constructs = list(folding.folds)

    def keeps_regions(start, length, count):
        run = range(start, start + length * count)
        for region in regions:
            inside = [step for step in region if step in run]
            if not inside or all(step in region for step in run):
                continue
            if len(inside) != len(region):
                return False  # it crosses the run's first or last step
            if len({(step - start) // length for step in region}) != 1:
                return False  # it crosses from one copy into the next
        return all(keeps_fold(fold, run, length) for fold in constructs)

    def keeps_fold(fold, run, length):
        """Whether a run holds a loop's or retry's rounds whole, in one of
        its copies, or stands in one round, or apart."""
        span = fold.span
        if span.stop <= run.start or run.stop <= span.start:
            return True
        if span.start >= run.start and span.stop <= run.stop:
            return (span.start - run.start) // length == (
                span.stop - 1 - run.start
            ) // length
        return any(
            copy[0] <= run.start and run.stop - 1 <= copy[-1] for copy in fold.copies
        )

    def search(low, high):
        start = low
        while start < high:
            if start in hidden:
                start += 1
                continue
            best = None
            for length in range(1, (high - start) // 2 + 1):
                if signatures[start] != signatures[start + length]:
                    continue
                pattern = signatures[start : start + length]
                count = 1
                while (
                    start + (count + 1) * length <= high
                    and signatures[
                        start + count * length : start + (count + 1) * length
                    ]
                    == pattern
                ):
                    count += 1
                if count < 2 or length * count < _FEWEST_STEPS_FOLDED:
                    continue
                if not keeps_regions(start, length, count):
                    continue
                if best is None or length * count > best[0] * best[1]:
                    best = (length, count)
            if best is None:
                start += 1
                continue
            length, count = best
            copies = [
                list(range(start + n * length, start + (n + 1) * length))
                for n in range(count)
            ]
            _add_fold(folding, Fold("repeat", copies, count))
            hidden.update(range(start + length, start + length * count))
            search(start, start + length)
            start += length * count

    search(0, len(plan.steps))
