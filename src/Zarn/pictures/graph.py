"""The compiled action graph: `graph_dot` writes it as Graphviz DOT text,
`graph_svg` lays it out with Graphviz's `dot`."""

from __future__ import annotations

import shutil
import subprocess
import textwrap

from Zarn.errors import GraphvizError
from Zarn.executor.events import _description
from Zarn.pictures.text import _one_line

# --- the action graph -----------------------------------------------------------------


# How long `dot` may take to lay out a graph before it is given up on.
DOT_TIMEOUT = 60.0
INSTALL_HINT = (
    "install Graphviz (on Debian or Ubuntu `sudo apt-get install graphviz`, "
    "which `bash scripts/install.sh --system` does)"
)

_DESCRIPTION_WIDTH = 30
_DESCRIPTION_LINES = 2
_ORDER_EDGE = 'color="#9aa0a6"'
_JOIN_EDGE = 'color="#9aa0a6", style=dotted'
_WAIT_EDGE = 'color="#1f6fbf", penwidth=1.6'
_GUARD_COLOUR = "#c0392b"
_MARKER_STYLES = {
    "start": 'shape=invtriangle, fillcolor="#5f6368"',
    "join": 'shape=triangle, fillcolor="#5f6368"',
    "turn": 'shape=diamond, fillcolor="#8e44ad"',
    "release": 'shape=diamond, fillcolor="#c39bd3"',
}
_MARKER_NAMES = {"start": "begin", "join": "end", "turn": "turn", "release": "release"}
_LEGEND = (
    (
        "grey arrow: the step before in script order \u00b7 blue arrow: a wait clause \u00b7 "
        "dotted: a group ends when its branches have"
    ),
    (
        "\u25bd \u25b3 a group begins, ends \u00b7 \u25c7 a competing branch takes, hands on "
        "its module \u00b7 red dashed: guarded parts and what runs when one fails"
    ),
)


def _dot(text):
    """`text` inside a DOT string: backslashes and quotes escaped, and `&`
    too, since Graphviz reads character entities in labels."""
    return (
        _one_line(text).replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;")
    )


def _dot_lines(lines):
    return "\\n".join(_dot(line) for line in lines)


def _plan_of(plan_or_block):
    if hasattr(plan_or_block, "steps") and hasattr(plan_or_block, "guards"):
        return plan_or_block
    run_plan = getattr(plan_or_block, "run_plan", None)
    if callable(run_plan):
        return run_plan()
    raise TypeError(
        f"a graph is drawn of a compiled block or its run_plan(), not {plan_or_block!r}"
    )


def _part_name(exception):
    name = getattr(exception, "id", None)
    # Parts written in place get a name of the parser's own, with an "@".
    if isinstance(name, str) and name and "@" not in name:
        return f"'{name}'"
    return "its exception part"


def _module_of(step):
    """The module a step belongs to: an action's, a competing group's for its
    markers, None for a parallel group's markers."""
    action = step.action
    if step.kind == "action":
        name = getattr(getattr(action, "module", None), "name", None)
        return name if isinstance(name, str) else None
    competition = getattr(action, "competition", None)
    name = getattr(competition, "module_name", None)
    return name if isinstance(name, str) else None


def _priority_of(step):
    """The name of a competing branch's priority when it is not the usual
    one, else None."""
    marker = step.action
    try:
        priority = marker.competition.priorities[marker.branch]
    except (AttributeError, IndexError, KeyError, TypeError):
        return None
    name = getattr(priority, "name", None)
    return name if isinstance(name, str) and name != "NORMAL" else None


class _Region:
    """A cluster: the steps it holds, the clusters inside it."""

    def __init__(self, ident, steps, attributes):
        self.ident = ident
        self.steps = frozenset(steps)
        self.attributes = attributes
        self.children = []
        self.own = []


class _GraphWriter:
    def __init__(self):
        self.lines = []
        self.edges = []
        self.parts_seen = set()

    def plan(self, plan, prefix, part_number, indent):
        """Writes the nodes and clusters of `plan`, its edges, and its
        guarded parts' exception parts (each a cluster of its own)."""
        steps = list(plan.steps)
        node = {step.index: f"{prefix}s{step.index}" for step in steps}

        modules, order = {}, []
        for step in steps:
            name = _module_of(step)
            if name is not None:
                if name not in modules:
                    order.append(name)
                modules.setdefault(name, []).append(step.index)
        regions = [
            _Region(
                f"cluster_{prefix}m{number}",
                modules[name],
                f'label="{_dot("@" + name)}", style="rounded,filled", '
                'fillcolor="#f4f7fb", color="#b3c2d6", fontname="Helvetica-Bold", '
                'fontcolor="#1b2a3a"',
            )
            for number, name in enumerate(order)
        ]
        for number, competition in enumerate(getattr(plan, "competitions", ())):
            held = {competition.start, competition.join}
            for branch in competition.branches:
                held.update([branch.turn, branch.release, *branch.steps])
            regions.append(
                _Region(
                    f"cluster_{prefix}c{number}",
                    held,
                    f'label="{_dot(f"branches compete for @{competition.module_name}")}", '
                    'style="rounded,dashed", color="#8e44ad", fontcolor="#6c3483", '
                    'fontname="Helvetica"',
                )
            )
        guards = list(plan.guards)
        names = [
            f"{part_number}.{g + 1}" if part_number else str(g + 1)
            for g in range(len(guards))
        ]
        guard_regions = {}
        for number, part in enumerate(guards):
            exception = part.exception
            if exception is None:
                then = "when a step fails, the part ends"
            else:
                then = f"when a step fails, {_part_name(exception)} runs"
            guard_regions[number] = _Region(
                f"cluster_{prefix}g{number}",
                part.steps,
                f'label="{_dot(f"guarded part {names[number]}: {then}")}", '
                f'style="rounded,dashed", color="{_GUARD_COLOUR}", '
                f'fontcolor="{_GUARD_COLOUR}", fontname="Helvetica", penwidth=1.4',
            )
        # A region nests in one placed before it, so the larger go in first
        # (a guarded part around a competing group, an outer part around an
        # inner one); each module's steps are apart from the others'.
        groups = regions[len(order) :] + list(guard_regions.values())
        regions = regions[: len(order)] + sorted(groups, key=lambda r: -len(r.steps))
        top = _Region(None, node, "")
        placed = self._nest(top, regions)

        innermost = {}
        for region in [top, *placed]:
            for index in region.steps:
                current = innermost.get(index)
                if current is None or len(region.steps) <= len(current.steps):
                    innermost[index] = region
        for step in steps:
            innermost[step.index].own.append(step)

        self._write_region(top, node, part_number, indent)

        for step in steps:
            seen = set()
            for wait in step.waits:
                if wait in seen or wait not in node:
                    continue
                seen.add(wait)
                if wait == step.after:
                    style = _ORDER_EDGE
                elif step.kind == "join":
                    style = _JOIN_EDGE
                else:
                    style = _WAIT_EDGE
                self.edges.append(f"{node[wait]} -> {node[step.index]} [{style}];")

        for number, part in enumerate(guards):
            self._exception_part(
                part, names[number], guard_regions[number], placed, node, prefix, number
            )

    def _nest(self, top, regions):
        """Puts each region into the smallest placed one that holds all of
        its steps. A region that holds a placed one whole, or overlaps one
        only in part, is not drawn, since clusters cannot cross (scripts and
        blocks keep a guarded part or a competing group in one module).
        Returns the regions placed."""
        placed = []
        for region in regions:
            if not region.steps:
                continue
            if any(
                region.steps & other.steps and not region.steps <= other.steps
                for other in placed
            ):
                continue
            holders = [other for other in placed if region.steps <= other.steps]
            parent = min(holders, key=lambda r: len(r.steps)) if holders else top
            parent.children.append(region)
            placed.append(region)
        return placed

    def _write_region(self, region, node, part_number, indent):
        pad = "  " * indent
        inner = indent
        if region.ident is not None:
            self.lines.append(f"{pad}subgraph {region.ident} {{")
            self.lines.append(f"{pad}  graph [{region.attributes}];")
            inner = indent + 1
        for child in region.children:
            self._write_region(child, node, part_number, inner)
        for step in region.own:
            self.lines.append(
                "  " * inner + f"{node[step.index]} [{self._node(step, part_number)}];"
            )
        if region.ident is not None:
            self.lines.append(f"{pad}}}")

    @staticmethod
    def _node(step, part_number):
        number = step.index + 1
        where = (
            f"step {number} of the exception part of guarded part {part_number}"
            if part_number
            else f"step {number}"
        )
        if step.kind != "action":
            name = _MARKER_NAMES.get(step.kind, step.kind)
            module = _module_of(step)
            group = (
                f"the competing group for @{module}"
                if module is not None
                else "the parallel group"
            )
            if step.kind == "turn":
                tip = f"branch {step.branch + 1} waits for its turn on @{module}"
                priority = _priority_of(step)
                if priority is not None:
                    name += f" {priority}"
                    tip += f" (priority {priority})"
            elif step.kind == "release":
                tip = f"branch {step.branch + 1} hands @{module} on"
            else:
                tip = f"{group} {'begins' if step.kind == 'start' else 'ends'}"
            return (
                f"{_MARKER_STYLES.get(step.kind, 'shape=circle')}, style=filled, "
                'width=0.22, height=0.22, fixedsize=true, label="", '
                f'xlabel="{_dot(f"{number} {name}")}", fontsize=8, '
                f'tooltip="{_dot(f"{where}: {tip}")}"'
            )
        action = step.action
        operation = getattr(action, "operation", None)
        if not isinstance(operation, str):
            operation = type(action).__name__
        description = _one_line(_description(action))
        shown = description
        if shown.startswith(operation + " "):
            shown = shown[len(operation) + 1 :]
        wrapped = textwrap.wrap(
            shown,
            width=_DESCRIPTION_WIDTH,
            max_lines=_DESCRIPTION_LINES,
            placeholder=" \u2026",
        )
        label = [f"{number}  {operation}", *wrapped]
        tip = f"{where}: {description}"
        return f'label="{_dot_lines(label)}", tooltip="{_dot(tip)}"'

    def _exception_part(self, part, name, region, placed, node, prefix, number):
        exception = part.exception
        if exception is None or not part.steps:
            return
        cluster = f"cluster_{prefix}x{number}"
        inner_prefix = f"{prefix}x{number}_"
        label = (
            f"guarded part {name} failed: {_part_name(exception)} runs, "
            "then the script goes on after the part"
        )
        self.lines.append(f"  subgraph {cluster} {{")
        self.lines.append(
            f'    graph [label="{_dot(label)}", style="rounded,dashed,filled", '
            f'fillcolor="#fdf2f1", color="{_GUARD_COLOUR}", '
            f'fontcolor="{_GUARD_COLOUR}"];'
        )
        target = note = None
        if id(exception) in self.parts_seen:
            note = "the same part as drawn above"
        else:
            self.parts_seen.add(id(exception))
            try:
                sub_plan = _plan_of(exception)
            except Exception as error:  # noqa: BLE001 -- shown in the picture instead
                note = f"cannot be shown: {type(error).__name__}: {error}"
            else:
                # Its own guarded parts' exception parts are drawn inside it.
                self.plan(sub_plan, inner_prefix, name, 2)
                starts = [step.index for step in sub_plan.steps if not step.waits]
                if starts:
                    target = f"{inner_prefix}s{starts[0]}"
        if note is not None or target is None:
            target = f"{inner_prefix}note"
            shown = note or "an empty part"
            self.lines.append(f'    {target} [shape=note, label="{_dot(shown)}"];')
        self.lines.append("  }")
        source = node[max(part.steps)]
        tail = f", ltail={region.ident}" if region in placed else ""
        self.edges.append(
            f'{source} -> {target} [color="{_GUARD_COLOUR}", style=dashed, '
            f'label="on failure", fontcolor="{_GUARD_COLOUR}", fontsize=9, '
            f"lhead={cluster}{tail}];"
        )


def graph_dot(plan_or_block, *, title=None):
    """The compiled action graph of a block (or of its `run_plan()`) as
    Graphviz DOT text: each machine module's steps in a cluster of their
    own, the groups' markers as small nodes, an edge for everything a step
    waits for (its predecessor in script order grey, its wait clauses blue),
    and the guarded parts outlined, with what runs when one fails."""
    plan = _plan_of(plan_or_block)
    writer = _GraphWriter()
    writer.plan(plan, "", "", 1)
    heading = _one_line(title) if title else "the compiled action graph"
    actions = sum(1 for step in plan.steps if step.kind == "action")
    summary = f"{heading}: {actions} actions, {len(plan.steps)} steps"
    lines = [
        f'digraph "{_dot(heading)}" {{',
        (
            f'  graph [label="{_dot_lines([summary, *_LEGEND])}\\n", labelloc=t, '
            'fontname="Helvetica", fontsize=13, rankdir=TB, newrank=true, '
            "compound=true, nodesep=0.25, ranksep=0.3];"
        ),
        (
            '  node [shape=box, style="rounded,filled", fillcolor="#ffffff", '
            'color="#7f8c9d", fontname="Helvetica", fontsize=10, margin="0.08,0.04"];'
        ),
        '  edge [arrowsize=0.6, fontname="Helvetica"];',
        *writer.lines,
        *("  " + edge for edge in writer.edges),
        "}",
        "",
    ]
    return "\n".join(lines)


def run_dot(dot_text, *, output_format="svg", timeout=DOT_TIMEOUT):
    """Lays out DOT text with Graphviz's `dot` and returns what it drew
    (`-T<output_format>`) as text. Raises GraphvizError when `dot` is not
    installed, fails or takes longer than `timeout` seconds."""
    program = shutil.which("dot")
    if program is None:
        raise GraphvizError(
            f"Graphviz's `dot` program was not found on PATH, and it lays out the "
            f"graph: {INSTALL_HINT}"
        )
    try:
        done = subprocess.run(
            [program, f"-T{output_format}"],
            input=dot_text.encode("utf-8"),
            capture_output=True,
            timeout=timeout,
            check=False,
        )
    except subprocess.TimeoutExpired:
        raise GraphvizError(
            f"Graphviz's `dot` ({program}) did not lay out the graph within "
            f"{timeout:g} s"
        ) from None
    except OSError as error:
        raise GraphvizError(
            f"Graphviz's `dot` ({program}) could not be started: {error}; {INSTALL_HINT}"
        ) from error
    if done.returncode != 0:
        said = done.stderr.decode("utf-8", "replace").strip() or "no message"
        raise GraphvizError(
            f"Graphviz's `dot` ({program}) failed with exit code {done.returncode}: {said}"
        )
    return done.stdout.decode("utf-8", "replace")


def graph_svg(plan_or_block, *, title=None, timeout=DOT_TIMEOUT):
    """`graph_dot(...)` laid out by Graphviz's `dot` as SVG text."""
    return run_dot(graph_dot(plan_or_block, title=title), timeout=timeout)
