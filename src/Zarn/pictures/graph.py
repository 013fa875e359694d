"""The compiled action graph: `graph_dot` writes it as Graphviz DOT text,
`graph_svg` lays it out with Graphviz's `dot`."""

from __future__ import annotations

import bisect
import shutil
import subprocess
import textwrap

from Zarn.errors import GraphvizError
from Zarn.executor.events import _description
from Zarn.lang.control import exception_part_numbers, script_actions
from Zarn.machine_modules.control import CHECK, IF
from Zarn.pictures.folding import fold_plan
from Zarn.pictures.text import _one_line, _xml
from Zarn.wording import counted, guarded_part_names, part_name_of, steps_numbered

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
_WAY_EDGE = 'color="#1b2a3a", penwidth=1.3, fontcolor="#1b2a3a", fontsize=9'
_AGAIN_EDGE = (
    'color="#117a65", style=dashed, fontcolor="#117a65", fontsize=9, constraint=false'
)
_GUARD_COLOUR = "#c0392b"
_FOLD_COLOUR = "#117a65"
_LIMIT_COLOUR = "#b9770e"
_MARKER_STYLES = {
    "start": 'shape=invtriangle, fillcolor="#5f6368"',
    "join": 'shape=triangle, fillcolor="#5f6368"',
    "turn": 'shape=diamond, fillcolor="#8e44ad"',
    "release": 'shape=diamond, fillcolor="#c39bd3"',
}
_MARKER_NAMES = {"start": "begin", "join": "end", "turn": "turn", "release": "release"}
# What the arrow back to a folded round's start says.
_AGAIN = {"loop": "next round", "retry": "failed: again", "repeat": "next round"}
# The legend, one entry per thing a graph can show: (key, sample, meaning),
# the sample as Graphviz HTML; only the entries of what a graph shows are
# drawn, two to a row.
_LEGEND = (
    ("order", '<FONT COLOR="#9aa0a6">\u2500\u2500\u25b6</FONT>', "the step before"),
    ("wait", '<FONT COLOR="#1f6fbf"><B>\u2500\u2500\u25b6</B></FONT>', "a wait clause"),
    (
        "join",
        '<FONT COLOR="#9aa0a6">\u2508\u2508\u25b6</FONT>',
        "a group ends when all its branches have",
    ),
    ("group", '<FONT COLOR="#5f6368">\u25bd \u25b3</FONT>', "a group begins, ends"),
    (
        "competition",
        '<FONT COLOR="#8e44ad">\u25c6</FONT> <FONT COLOR="#c39bd3">\u25c6</FONT>',
        "a competing branch takes, hands on its module",
    ),
    ("decision", "\u25c7 yes / no", "a condition's check and its two ways"),
    (
        "fold",
        f'<FONT COLOR="{_FOLD_COLOUR}">\u2504 frame \u2504</FONT>',
        "rounds or attempts folded: the first drawn",
    ),
    (
        "again",
        f'<FONT COLOR="{_FOLD_COLOUR}">\u2504\u2504\u25b6</FONT>',
        "back to the folded round's start",
    ),
    (
        "limit",
        f'<FONT COLOR="{_LIMIT_COLOUR}">\u2504 frame \u2504</FONT>',
        "a part with a time limit",
    ),
    (
        "guard",
        f'<FONT COLOR="{_GUARD_COLOUR}">\u2504 frame \u2504</FONT>',
        "a guarded part (try)",
    ),
    (
        "exception",
        f'<FONT COLOR="{_GUARD_COLOUR}">\u2504\u2504\u25b6 \u2592 frame</FONT>',
        "on failure: its exception part",
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

    def __init__(self, ident, steps, attributes, size=0):
        self.ident = ident
        self.steps = frozenset(steps)
        self.attributes = attributes
        # Of two regions with the same steps drawn, the one of more steps in
        # the plan (marks and folded rounds counted) holds the other.
        self.size = size
        self.children = []
        self.own = []


def _frame(label, colour, style="rounded,dashed"):
    return (
        f'label="{_dot(label)}", style="{style}", color="{colour}", '
        f'fontcolor="{colour}", fontname="Helvetica", penwidth=1.4'
    )


def _question(decide):
    """What a condition's check asks, short enough for its diamond."""
    if decide.role == CHECK:
        return f"within {counted(decide.rounds, 'round')}?"
    return (
        f"{decide.condition_shown()}?"
        if decide.role == IF
        else decide.condition_shown()
    )


def _fold_label(fold, number):
    first, last = fold.copies[0][0], fold.copies[-1][-1]
    steps = f"steps {number(first)}-{number(last)}"
    if fold.kind == "loop":
        return (
            f"repeat {fold.condition}: at most {counted(fold.bound, 'round')}, "
            f"round 1 drawn ({steps})"
        )
    if fold.kind == "retry":
        return (
            f"retry: up to {counted(fold.bound, 'attempt')}, attempt 1 drawn ({steps})"
        )
    # Unrolled, a `repeat N` leaves no mark: these are N copies in a row,
    # however they were written.
    return f"{fold.bound} rounds of the same steps: round 1 drawn ({steps})"


class _GraphWriter:
    def __init__(self, numbers):
        self.lines = []
        self.edges = []
        self.parts_seen = set()
        self.numbers = numbers  # {id(exception part): (plan, its first number)}
        self.shown = set()  # what the legend explains

    def plan(self, plan, prefix, first, part_name, indent):
        """Writes the nodes and clusters of `plan` (its steps numbered from
        `first`; `part_name` the guarded part whose exception part it is),
        its edges, and its guarded parts' exception parts (each a cluster of
        its own). Returns its Drawing."""
        drawing = _Drawing(plan, prefix, first, part_name)
        folding, node = drawing.folding, drawing.node

        frames = []
        for count, fold in enumerate(folding.folds):
            frames.append(
                _Region(
                    f"cluster_{prefix}f{count}",
                    [index for index in fold.copies[0] if index in node],
                    _frame(_fold_label(fold, drawing.number), _FOLD_COLOUR),
                    len(fold.span),
                )
            )
        fold_regions = dict(zip(map(id, folding.folds), frames))
        limits = []
        for count, limit in enumerate(folding.time_limits):
            limits.append(
                _Region(
                    f"cluster_{prefix}t{count}",
                    [index for index in limit.steps if index in node],
                    _frame(f"time limit: within {limit.seconds:g} s", _LIMIT_COLOUR),
                    len(limit.steps),
                )
            )
        competing = []
        for count, competition in enumerate(getattr(plan, "competitions", ())):
            held = {competition.start, competition.join}
            for branch in competition.branches:
                held.update([branch.turn, branch.release, *branch.steps])
            competing.append(
                _Region(
                    f"cluster_{prefix}c{count}",
                    held & node.keys(),
                    f'label="{_dot(f"branches compete for @{competition.module_name}")}", '
                    'style="rounded,dashed", color="#8e44ad", fontcolor="#6c3483", '
                    'fontname="Helvetica"',
                    len(held),
                )
            )
        guards = list(plan.guards)
        names = guarded_part_names(len(guards), part_name)
        guard_regions = {}
        for count, part in enumerate(guards):
            exception = part.exception
            if exception is None:
                then = "when a step fails, the part ends"
            else:
                then = f"when a step fails, {part_name_of(exception)} runs"
            guard_regions[count] = _Region(
                f"cluster_{prefix}g{count}",
                [index for index in part.steps if index in node],
                _frame(f"guarded part {names[count]}: {then}", _GUARD_COLOUR),
                len(part.steps),
            )
        modules = {index: _module_of(plan.steps[index]) for index in node}
        placed = self._place(
            node,
            [*frames, *limits, *competing, *guard_regions.values()],
            modules,
            prefix,
        )
        for kind, regions in (("fold", frames), ("limit", limits)):
            if any(region in placed for region in regions):
                self.shown.add(kind)
        if any(region in placed for region in guard_regions.values()):
            self.shown.add("guard")

        self._write_region(placed[0], drawing, indent)
        self._edges(drawing, fold_regions, placed)
        for count, part in enumerate(guards):
            self._exception_part(
                part, names[count], guard_regions[count], placed, drawing, count
            )
        return drawing

    def _place(self, node, regions, modules, prefix):
        """Nests the regions, with each module's steps framed: a region on
        one module within that module's frame, one on several around the
        frames of its modules. Returns the regions placed, the top first."""
        top = _Region(None, node, "")
        regions = [region for region in regions if region.steps]
        for region in regions:
            held = {modules[index] for index in region.steps}
            region.single = len(held) == 1 and None not in held
        around = sorted(
            (region for region in regions if not region.single),
            key=lambda r: (-len(r.steps), -r.size),
        )
        placed = [top, *self._nest(top, around)]
        module_regions = []
        for holder in placed:
            inner = set().union(*(child.steps for child in holder.children))
            # A module's steps before a frame and after it are framed apart,
            # so that the module's frame does not reach past that frame.
            starts = sorted(min(child.steps) for child in holder.children)
            by_module = {}
            for index in sorted(holder.steps - inner):
                if modules[index] is not None:
                    segment = bisect.bisect(starts, index)
                    by_module.setdefault((modules[index], segment), []).append(index)
            for (name, _), held in by_module.items():
                region = _Region(
                    f"cluster_{prefix}m{len(module_regions)}",
                    held,
                    f'label="{_dot("@" + name)}", style="rounded,filled", '
                    'fillcolor="#f4f7fb", color="#b3c2d6", fontname="Helvetica-Bold", fontsize=9, '
                    'fontcolor="#1b2a3a", margin=2',
                )
                holder.children.append(region)
                module_regions.append(region)
        placed += module_regions
        singles = sorted(
            (region for region in regions if region.single),
            key=lambda r: (-len(r.steps), -r.size),
        )
        for frame in module_regions:
            placed += self._nest(frame, [r for r in singles if r.steps <= frame.steps])

        innermost = {}
        for region in placed:
            for index in region.steps:
                current = innermost.get(index)
                if current is None or len(region.steps) <= len(current.steps):
                    innermost[index] = region
        for index in sorted(node):
            innermost[index].own.append(index)
        return placed

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

    def _write_region(self, region, drawing, indent):
        pad = "  " * indent
        inner = indent
        if region.ident is not None:
            self.lines.append(f"{pad}subgraph {region.ident} {{")
            self.lines.append(f"{pad}  graph [{region.attributes}];")
            inner = indent + 1
        # In script order: dot keeps the order of what it is given where it can.
        for child in sorted(region.children, key=lambda child: min(child.steps)):
            self._write_region(child, drawing, inner)
        for index in region.own:
            attributes = self._node(drawing.plan.steps[index], drawing)
            self.lines.append("  " * inner + f"{drawing.node[index]} [{attributes}];")
        if region.ident is not None:
            self.lines.append(f"{pad}}}")

    def _node(self, step, drawing):
        number = drawing.number
        stand_ins = drawing.folding.stand_ins(step.index)
        where = steps_numbered(number(index) for index in stand_ins)
        if drawing.part_name:
            where += f" (exception part of guarded part {drawing.part_name})"
        if len(stand_ins) > 1:
            where += ", one drawn for all: the same step in each round"
        if step.kind != "action":
            self.shown.add(
                "competition" if step.kind in ("turn", "release") else "group"
            )
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
                'width=0.16, height=0.16, fixedsize=true, label="", '
                f'xlabel="{_dot(f"{number(step.index)} {name}")}", fontsize=8, '
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
        tip = f"{where}: {description}"
        if step.index in drawing.folding.decisions:
            self.shown.add("decision")
            label = [f"{number(step.index)}  {operation}", _question(action)]
            return (
                'shape=diamond, style="filled", fillcolor="#fdf6e3", margin="0,0", '
                f'label="{_dot_lines(label)}", tooltip="{_dot(tip)}"'
            )
        label = [f"{number(step.index)}  {operation}", *wrapped]
        return f'label="{_dot_lines(label)}", tooltip="{_dot(tip)}"'

    def _edges(self, drawing, fold_regions, placed):
        """An edge for everything a drawn step waits for, and for what each
        step of a later round waits for, drawn to or from its fold's frame."""
        plan, folding, node = drawing.plan, drawing.folding, drawing.node
        drawn_edges = set()
        for step in plan.steps:
            if step.index in folding.marks:
                continue
            head = folding.shown(step.index)
            for source, label, bridged in folding.sources(plan, step.index):
                tail = folding.shown(source)
                if tail is None or tail not in node or head not in node:
                    continue
                fold = next(
                    (
                        fold
                        for fold in reversed(folding.folds)
                        if source in fold.span
                        and step.index in fold.span
                        and fold.copy_of(source) != fold.copy_of(step.index)
                    ),
                    None,
                )
                extra = ""
                if fold is not None:
                    if (tail, head, "again") in drawn_edges:
                        continue
                    drawn_edges.add((tail, head, "again"))
                    self.shown.add("again")
                    self.edges.append(
                        f"{node[tail]} -> {node[head]} [{_AGAIN_EDGE}, "
                        f'label="{_AGAIN[fold.kind]}"];'
                    )
                    continue
                leaving = folding.leaving(source, step.index)
                entering = folding.entering(source, step.index)
                for fold, end in ((leaving, "ltail"), (entering, "lhead")):
                    region = fold_regions.get(id(fold)) if fold is not None else None
                    if region is not None and region in placed:
                        extra += f", {end}={region.ident}"
                if (tail, head) in drawn_edges:
                    continue
                drawn_edges.add((tail, head))
                if label is not None:
                    style = f'{_WAY_EDGE}, label="{_dot(label)}"'
                elif bridged or source == step.after:
                    style = _ORDER_EDGE
                    self.shown.add("order")
                elif step.kind == "join":
                    style = _JOIN_EDGE
                    self.shown.add("join")
                else:
                    style = _WAIT_EDGE
                    self.shown.add("wait")
                self.edges.append(f"{node[tail]} -> {node[head]} [{style}{extra}];")

    def _exception_part(self, part, name, region, placed, drawing, count):
        exception = part.exception
        shown = [index for index in part.steps if index in drawing.node]
        if exception is None or not shown:
            return
        self.shown.add("exception")
        prefix = drawing.prefix
        cluster = f"cluster_{prefix}x{count}"
        inner_prefix = f"{prefix}x{count}_"
        label = (
            f"guarded part {name} failed: {part_name_of(exception)} runs, "
            "then the script goes on after the part"
        )
        self.lines.append(f"  subgraph {cluster} {{")
        self.lines.append(
            f'    graph [label="{_dot(label)}", style="rounded,dashed,filled", '
            f'fillcolor="#fdf2f1", color="{_GUARD_COLOUR}", '
            f'fontcolor="{_GUARD_COLOUR}"];'
        )
        target = note = None
        numbered = self.numbers.get(id(exception))
        if id(exception) in self.parts_seen:
            note = "the same part as drawn above"
        elif numbered is None:
            try:
                self.plan_of(exception)
            except Exception as error:  # noqa: BLE001 -- shown in the picture instead
                note = f"cannot be shown: {type(error).__name__}: {error}"
            else:
                note = "cannot be shown"
        else:
            self.parts_seen.add(id(exception))
            sub_plan, first = numbered
            # Its own guarded parts' exception parts are drawn inside it.
            inner = self.plan(sub_plan, inner_prefix, first, name, 2)
            starts = [
                index
                for index in sorted(inner.node)
                if not inner.folding.sources(sub_plan, index)
            ]
            if starts:
                target = inner.node[starts[0]]
        if note is not None or target is None:
            target = f"{inner_prefix}note"
            shown_note = note or "an empty part"
            self.lines.append(f'    {target} [shape=note, label="{_dot(shown_note)}"];')
        self.lines.append("  }")
        source = drawing.node[max(shown)]
        tail = f", ltail={region.ident}" if region in placed else ""
        self.edges.append(
            f'{source} -> {target} [color="{_GUARD_COLOUR}", style=dashed, '
            f'label="on failure", fontcolor="{_GUARD_COLOUR}", fontsize=9, '
            f"lhead={cluster}{tail}];"
        )


class _Drawing:
    """What the nodes and edges of one plan are drawn with."""

    def __init__(self, plan, prefix, first, part_name):
        self.plan = plan
        self.prefix = prefix
        self.first = first
        self.part_name = part_name
        self.folding = fold_plan(plan)
        self.node = {
            step.index: f"{prefix}s{step.index}"
            for step in plan.steps
            if self.folding.drawn(step.index)
        }

    def number(self, index):
        return index + self.first


def _legend(heading, summary, shown):
    """The graph's label: its heading, then the legend of what it shows, as
    Graphviz HTML."""
    entries = [(sample, text) for key, sample, text in _LEGEND if key in shown]
    rows = [
        (
            '<TR><TD COLSPAN="4"><FONT POINT-SIZE="14"><B>'
            f"{_xml(heading)}: {_xml(summary)}</B></FONT></TD></TR>"
        )
    ]
    for pair in range(0, len(entries), 2):
        cells = []
        for sample, text in entries[pair : pair + 2]:
            cells.append(
                f'<TD ALIGN="RIGHT">{sample}</TD><TD ALIGN="LEFT">{_xml(text)}</TD>'
            )
        rows.append(f"<TR>{''.join(cells)}</TR>")
    return (
        '<<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="0" CELLPADDING="2">'
        + "".join(rows)
        + "</TABLE>>"
    )


def graph_dot(plan_or_block, *, title=None, plan_of=None):
    """The compiled action graph of a block (or of its `run_plan()`) as
    Graphviz DOT text: each machine module's steps in a cluster of their
    own, the groups' markers as small nodes, an edge for everything a step
    waits for (its predecessor in script order grey, its wait clauses blue),
    the guarded parts outlined with what runs when one fails, a condition's
    check with its two ways, and the rounds of a loop, the attempts of a
    retried part and the copies of `repeat N` folded into the first. Steps
    are numbered as `zarn check` numbers them, the exception parts' after
    main's. `plan_of(part)` gives an exception part's run plan (default: its
    `run_plan()`)."""
    plan = _plan_of(plan_or_block)
    plan_of = plan_of or _plan_of
    writer = _GraphWriter(exception_part_numbers(plan, plan_of))
    writer.plan_of = plan_of
    drawing = writer.plan(plan, "", 1, "", 1)
    heading = _one_line(title) if title else "the compiled action graph"
    summary = (
        f"{counted(script_actions(plan), 'action')}, {counted(len(plan.steps), 'step')}"
    )
    folded = len(drawing.folding.stands_for)
    if folded:
        summary += f" ({folded} of them folded into the first round)"
    lines = [
        f'digraph "{_dot(heading)}" {{',
        (
            f"  graph [label={_legend(heading, summary, writer.shown)}, labelloc=t, "
            'fontname="Helvetica", fontsize=11, rankdir=TB, newrank=true, '
            "compound=true, nodesep=0.2, ranksep=0.2];"
        ),
        (
            '  node [shape=box, style="rounded,filled", fillcolor="#ffffff", '
            'color="#7f8c9d", fontname="Helvetica", fontsize=10, margin="0.08,0.02"];'
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


def graph_svg(plan_or_block, *, title=None, plan_of=None, timeout=DOT_TIMEOUT):
    """`graph_dot(...)` laid out by Graphviz's `dot` as SVG text."""
    return run_dot(
        graph_dot(plan_or_block, title=title, plan_of=plan_of), timeout=timeout
    )
