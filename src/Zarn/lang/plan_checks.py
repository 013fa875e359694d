"""The safety checks of a compiled script, made on its whole run plan before
anything runs: every step that can run is known when the script compiles,
so these refusals cost the machine nothing.

- One device, one commander at a time: two actions that command the same
  drive or output pin must not be able to run at the same time, that is,
  one must be ordered before the other by the plan, unless they are turns of
  one competing group (which never interleave).
- Every move stays inside its travel: a relative step whose start the plan
  knows (an absolute move before it on the same axis, with nothing between
  that could leave the axis elsewhere) must end inside the axis' limits.
- A tray is not overfilled or emptied past its slots: the transfers at a
  tray's next slot that the plan runs must not outnumber its slots.

`check_plan` raises `PlanRefusal`, which the compile path turns into a
`ZarnCompileError` at the offending statement.
"""

from __future__ import annotations

from collections import deque

from Zarn.errors import PlanRefusal
from Zarn.machine_modules.axis import Axis, HomeAxis, MoveAxis, MoveAxisBy
from Zarn.machine_modules.handler import Transfer
from Zarn.machine_modules.tray import ResetTray
from Zarn.machine_modules.values import commanded_by, shown_device

__all__ = ["PlanRefusal", "check_plan"]


def _where(action):
    source = getattr(action, "source", None)
    if source is None:
        return ""
    return f" (line {source[0]}, column {source[1]})"


def _shown(action):
    describe = getattr(action, "describe", None)
    text = describe() if callable(describe) else repr(action)
    return f"'{text}'{_where(action)}"


class _Graph:
    """The plan's steps as a graph of waits, with a reachability question
    cheap enough to ask once per device hand-over.

    Extra nodes stand for exception parts: one runs after its guarded part
    has come to rest and before whatever waits for the guarded part.
    """

    def __init__(self, plan, part_plans, control=None):
        self.part_plans = part_plans
        # The parts a step lies in, innermost first: the guarded parts, and
        # the ways, attempts and time limits of control constructs.
        self.step_parts = None if control is None else control.step_parts
        self.part_outer = (
            None if control is None else [part.outer for part in control.parts]
        )
        self.part_kind = (
            None if control is None else [part.kind for part in control.parts]
        )
        columns = plan.columns()  # one call for the whole plan
        self.actions = columns["action"]
        self.kinds = columns["kind"]
        self.waits = [list(waits) for waits in columns["waits"]]
        self.guards = columns["guard"]
        self.competition = [
            None if competition is None else (competition, branch)
            for competition, branch in zip(columns["competition"], columns["branch"])
        ]
        count = len(self.actions)
        self.part_of = [None] * count  # the guard an extra node stands for
        for index, guard in enumerate(plan.guards):
            members = set(guard.steps)
            node = len(self.waits)
            self.actions.append(guard.exception)
            self.kinds.append("exception part")
            self.waits.append(sorted(members))
            self.guards.append(guard.outer)
            self.competition.append(None)
            self.part_of.append(index)
            # Whatever waits for the guarded part from outside waits for its
            # exception part too.
            for step, waits in enumerate(self.waits[:count]):
                if step not in members and any(w in members for w in waits):
                    waits.append(node)
        self.rank = self._ranks()
        self._seen = [0] * len(self.waits)
        self._stamp = 0

    def _ranks(self):
        """A topological rank of every node (waits point to lower ranks)."""
        count = len(self.waits)
        successors = [[] for _ in range(count)]
        pending = [0] * count
        for node, waits in enumerate(self.waits):
            for wait in waits:
                successors[wait].append(node)
                pending[node] += 1
        ready = deque(node for node in range(count) if pending[node] == 0)
        rank = [0] * count
        order = 0
        while ready:
            node = ready.popleft()
            rank[node] = order
            order += 1
            for successor in successors[node]:
                pending[successor] -= 1
                if pending[successor] == 0:
                    ready.append(successor)
        return rank

    def before(self, earlier, later):
        """Whether `later` waits for `earlier`, directly or through others."""
        floor = self.rank[earlier]
        if self.rank[later] <= floor:
            return False
        self._stamp += 1
        stamp, seen, waits, rank = self._stamp, self._seen, self.waits, self.rank
        queue = [later]
        seen[later] = stamp
        while queue:
            node = queue.pop()
            for wait in waits[node]:
                if wait == earlier:
                    return True
                if seen[wait] != stamp and rank[wait] > floor:
                    seen[wait] = stamp
                    queue.append(wait)
        return False

    def take_turns(self, one, other):
        """Whether two nodes are turns of one competing group (different
        branches), which never run at the same time."""
        a, b = self.competition[one], self.competition[other]
        return a is not None and b is not None and a[0] == b[0] and a[1] != b[1]

    def guarded_alike(self, earlier, later):
        """Whether `later` surely follows `earlier` when `earlier` ran: every
        part `earlier` lies in (a guarded part a failure may cut short, a
        way a condition may leave, an attempt) holds `later` too."""
        if self.step_parts is None or earlier >= len(self.step_parts):
            guard = self.guards[earlier]
            return guard is None or guard == self.guards[later]
        around_later = set(self.parts_around(later))
        return all(part in around_later for part in self.parts_around(earlier))

    def parts_around(self, step):
        if self.step_parts is None or step >= len(self.step_parts):
            return []
        found, part = [], self.step_parts[step]
        while part is not None:
            found.append(part)
            part = self.part_outer[part]
        return found

    def conditional(self, step):
        """Whether a step may not run however the run goes: it lies on a way
        of a condition or in an attempt of a retried part."""
        return any(
            self.part_kind[part] in ("way", "attempt")
            for part in self.parts_around(step)
        )


def _plan_of(part, part_plans):
    if part is None or not callable(getattr(part, "run_plan", None)):
        return None
    plan = part_plans.get(id(part))
    return plan if plan is not None else part.run_plan()


def _exception_keys(part, part_plans, seen=None):
    """Every device the exception part (a block) and the exception parts
    inside it command."""
    plan = _plan_of(part, part_plans)
    seen = set() if seen is None else seen
    if plan is None or id(part) in seen:
        return frozenset()
    seen.add(id(part))
    columns = plan.columns()
    keys = set()
    for kind, action in zip(columns["kind"], columns["action"]):
        if kind == "action":
            keys |= commanded_by(action)
    for guard in plan.guards:
        keys |= _exception_keys(guard.exception, part_plans, seen)
    return frozenset(keys)


def _check_commanders(graph):
    """Two nodes that command one device must be ordered (or take turns)."""
    last = {}  # device key: the nodes that command it last, taking turns
    order = sorted(range(len(graph.waits)), key=graph.rank.__getitem__)
    for node in order:
        kind = graph.kinds[node]
        if kind == "action":
            keys = commanded_by(graph.actions[node])
        elif kind == "exception part":
            keys = _exception_keys(graph.actions[node], graph.part_plans)
        else:
            continue
        for key in sorted(keys):  # the same message on every run
            kept = []
            for earlier in last.get(key, ()):
                if graph.before(earlier, node):
                    continue
                if graph.take_turns(earlier, node):
                    kept.append(earlier)
                    continue
                raise PlanRefusal(
                    f"{_node_shown(graph, earlier)} and {_node_shown(graph, node)} both "
                    f"command {shown_device(key)} and could run at the same time: one "
                    "device takes commands from one statement at a time. Order them "
                    "(a wait clause, 'after LABEL', or one sequence), or let them take "
                    "turns in a competing group",
                    _node_action(graph, node),
                )
            kept.append(node)
            last[key] = kept


def _node_shown(graph, node):
    part = graph.part_of[node]
    if part is None:
        return _shown(graph.actions[node])
    first = _first_action(graph.actions[node], graph.part_plans)
    where = _where(first) if first is not None else ""
    return f"the exception part of guarded part {part + 1}{where}"


def _node_action(graph, node):
    if graph.part_of[node] is None:
        return graph.actions[node]
    return _first_action(graph.actions[node], graph.part_plans)


def _first_action(part, part_plans):
    plan = _plan_of(part, part_plans)
    if plan is None:
        return None
    columns = plan.columns()
    for kind, action in zip(columns["kind"], columns["action"]):
        if kind == "action":
            return action
    return None


def _axes_of(action):
    """{device: axis} of the axes a move-like action drives."""
    module = getattr(action, "module", None)
    if isinstance(action, Transfer):
        handler = module
        return {
            axis.device: axis
            for axis in (handler.x, handler.y, handler.z, handler.r)
            if axis is not None
        }
    if isinstance(module, Axis):
        return {module.device: module}
    return {}


def _ends(action, device):
    """Where `action` leaves the axis on `device` when it has run, if the
    plan knows it: a number, None (not known), or a function of the start
    (a relative step)."""
    if isinstance(action, MoveAxis):
        return action.target
    if isinstance(action, MoveAxisBy):
        step = action.step
        return lambda start: start + step
    if isinstance(action, Transfer):
        handler, tray = action.module, action.tray
        if device == handler.z.device:
            return handler.z.position(handler.travel)
        if handler.r is not None and device == handler.r.device:
            if tray.angle is None:  # r stays where it is
                return lambda start: start
            return tray.angle
        if action.slot is None:
            return None
        x, y = tray.slot_position(action.slot)
        return x if device == handler.x.device else y
    return None


def _check_travel(graph):
    """A relative step from a position the plan knows must end inside the
    axis' travel."""
    known = {}  # device: (node, position) after the last commander
    order = sorted(range(len(graph.waits)), key=graph.rank.__getitem__)
    for node in order:
        kind = graph.kinds[node]
        if kind == "exception part":
            for key in _exception_keys(graph.actions[node], graph.part_plans):
                if key[0] == "drive":
                    known.pop(key[1], None)
            continue
        if kind != "action":
            continue
        action = graph.actions[node]
        axes = _axes_of(action)
        drives = {key[1] for key in commanded_by(action) if key[0] == "drive"}
        for device in drives - set(axes):
            known.pop(device, None)
        for device, axis in axes.items():
            before = known.pop(device, None)
            start = None
            if before is not None:
                earlier, position = before
                if graph.before(earlier, node) and graph.guarded_alike(earlier, node):
                    start = position
            end = _ends(action, device)
            if callable(end):
                if start is None:
                    continue
                end = end(start)
                if (
                    axis.limits is not None
                    and not axis.limits[0] <= end <= axis.limits[1]
                ):
                    low, high = axis.limits
                    raise PlanRefusal(
                        f"{_shown(action)} would end at {end:g}: it starts at {start:g}, "
                        f"where {_shown(graph.actions[earlier])} leaves @{axis.name}, and "
                        f"the travel of @{axis.name} is {low:g} to {high:g}",
                        action,
                    )
            if isinstance(action, HomeAxis) or end is None:
                continue
            known[device] = (node, end)


def _check_trays(graph):
    """Transfers at a tray's next slot must not outnumber its slots, where
    the plan knows their count (no reset of the tray anywhere in it)."""
    taken = {}  # tray: [transfers at its next slot, in plan order]
    reset = set()
    for step, (kind, action) in enumerate(zip(graph.kinds, graph.actions)):
        if kind != "action":
            continue
        if isinstance(action, ResetTray):
            reset.add(id(action.module))
        elif (
            isinstance(action, Transfer)
            and action.slot is None
            and not graph.conditional(step)
        ):
            # A transfer that a condition or a retry may leave out is not
            # counted: its count is not known when the script compiles.
            taken.setdefault(action.tray, []).append(action)
    for tray, transfers in taken.items():
        if id(tray) in reset or len(transfers) <= tray.slot_count:
            continue
        beyond = transfers[tray.slot_count]
        raise PlanRefusal(
            f"tray @{tray.name} has {tray.slot_count} slots, but the script makes "
            f"{len(transfers)} transfers at its next slot: the transfer "
            f"{_shown(beyond)} would find no slot left (reset the tray with "
            f"@{tray.name}.reset() between, or transfer fewer times)",
            beyond,
        )


def check_plan(plan, part_plans=None, control=None):
    """Refuses (PlanRefusal) a plan that breaks one of the rules above.
    Exception parts are checked with the plan they belong to, and each on
    its own plan too; `part_plans` ({id(part): plan}) holds their plans when
    they are built already; `control` is the plan's ControlTable, when it
    holds control constructs."""
    graph = _Graph(plan, part_plans or {}, control)
    _check_commanders(graph)
    _check_travel(graph)
    _check_trays(graph)
