"""Pictures of a script and of its run.

- `timeline_svg(report)`: a run as a standalone SVG picture: one lane per
  machine module, one bar per action from its start to its end, coloured by
  how it ended, so a user sees at a glance what ran in parallel and where the
  time went.
- `graph_dot(plan_or_block)`: the compiled action graph as Graphviz DOT text:
  the actions grouped by module, the groups' markers, and what each step
  waits for. `graph_svg(...)` lays it out with Graphviz's `dot`.

docs/pictures.md shows both and says how to read them.
"""

from __future__ import annotations

import math
import re
import shutil
import subprocess
import textwrap

__all__ = ["GraphvizError", "graph_dot", "graph_svg", "timeline_svg"]


# --- text -------------------------------------------------------------------------

# What XML 1.0 cannot carry at all, even escaped: control characters other
# than tab and line ends, lone surrogates, and the two non-characters.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
_CONTROL = re.compile("[\x00-\x1f\x7f\ud800-\udfff\ufffe\uffff]")


def _xml(text):
    """`text` as XML character data or attribute value."""
    text = _NOT_XML.sub("\ufffd", str(text))
    return (
        text.replace("&", "&amp;")
        .replace("<", "&lt;")
        .replace(">", "&gt;")
        .replace('"', "&quot;")
    )


def _one_line(text):
    return _CONTROL.sub(" ", str(text)).strip()


def _cut(text, most):
    """`text` in at most `most` characters; a shortened text ends in an
    ellipsis."""
    return text if len(text) <= most else text[: most - 1].rstrip() + "\u2026"


def _duration_text(seconds):
    if seconds is None:
        return "-"
    if seconds < 0.01:
        return f"{seconds * 1000:.1f} ms"
    if seconds < 1:
        return f"{seconds * 1000:.0f} ms"
    if seconds < 100:
        return f"{seconds:.2f} s"
    return f"{seconds:.0f} s"


def _described(action):
    describe = getattr(action, "describe", None)
    if callable(describe):
        try:
            return str(describe())
        except Exception:  # noqa: BLE001 -- a picture must never fail on a description
            return repr(action)
    return repr(action)


# --- the timeline -------------------------------------------------------------------

OUTCOME_COLOURS = {
    "finished": "#3d9a57",
    "failed": "#d23a3f",
    "timed out": "#ef8c1a",
    "cancelled": "#8b919a",
}
_STATUS_COLOURS = {
    "finished": "#2d7d45",
    "failed": "#c0272d",
    "interrupted": "#c66a00",
    "stopped": "#c66a00",
}

_WIDTH = 1100
_MARGIN = 16
_FONT = 12
_CHAR = 6.8  # the mean width of a character at _FONT, for lay-out only
_LABEL_CHARS = 22  # longer module names are cut (the lane's tooltip has all of it)
_ROW = 16  # height of one row of bars in a lane
_BAR = 12
_LANE_PAD = 5
# A module normally runs one action at a time; actions of one module that do
# overlap stack in rows, up to this many (more go into the row freed first).
_MAX_ROWS = 4
_MIN_BAR = 1.5  # px: an action too short to see still shows
_TARGET_TICKS = 8
_REASON_CHARS = 160  # how the reason a run ended is wrapped under the title
_HEADING_CHARS = 120  # of the title and status, in bold; a longer title gets a line


def _nice_step(raw):
    """(m, k) with m in 1, 2, 2.5, 5 and m * 10**k the smallest such step at
    least `raw`."""
    k = math.floor(math.log10(raw))
    for m in (1, 2, 2.5, 5, 10):
        if m * 10**k >= raw * (1 - 1e-9):
            return (1, k + 1) if m == 10 else (m, k)
    return 1, k + 1


def _ticks(span):
    """(tick times, their labels, the axis' end) for a run of `span`
    seconds: steps of 1, 2, 2.5 or 5 times a power of ten, in milliseconds
    for a run shorter than a second."""
    m, k = _nice_step(span / _TARGET_TICKS)
    step = m * 10.0**k
    count = max(1, math.ceil(span / step - 1e-9))
    end = count * step
    in_ms = end < 1 - 1e-9
    scale, unit = (1000, "ms") if in_ms else (1, "s")
    decimals = max(0, -(k + 3 if in_ms else k)) + (1 if m == 2.5 else 0)
    times = [i * step for i in range(count + 1)]
    labels = ["0"] + [
        _trimmed(f"{t * scale:.{decimals}f}") + f" {unit}" for t in times[1:]
    ]
    return times, labels, end


def _trimmed(number):
    return number.rstrip("0").rstrip(".") if "." in number else number


def _rows_of(bars):
    """Gives each (start, end, record) a row so that bars of one lane that
    overlap in time do not cover each other; returns [(row, bar)], rows used."""
    placed, row_ends = [], []
    for bar in sorted(bars, key=lambda b: (b[0], b[1])):
        start, end = bar[0], bar[1]
        for row, row_end in enumerate(row_ends):
            if start >= row_end - 1e-12:
                break
        else:
            if len(row_ends) < _MAX_ROWS:
                row_ends.append(end)
                placed.append((len(row_ends) - 1, bar))
                continue
            row = min(range(len(row_ends)), key=row_ends.__getitem__)
        row_ends[row] = max(row_ends[row], end)
        placed.append((row, bar))
    return placed, max(1, len(row_ends))


def _tooltip(record, ran_to):
    lines = [
        f"step {record.step + 1} \u00b7 @{record.module} {record.operation}",
        _one_line(record.description),
    ]
    end = record.end
    if end is None:
        lines.append(
            f"{_duration_text(record.start)} \u2192 never returned "
            f"(given up on at {_duration_text(ran_to)})"
        )
    else:
        lines.append(
            f"{_duration_text(record.start)} \u2192 {_duration_text(end)} "
            f"({_duration_text(end - record.start)})"
        )
    outcome = record.outcome
    if record.exception_part:
        outcome += ", in an exception part"
    if record.guard is not None and not record.exception_part:
        outcome += f", in guarded part {record.guard + 1}"
    lines.append(outcome)
    if record.error is not None:
        lines.append(_one_line(record.reason))
        where = record.where()
        if where:
            lines.append(where)
    if record.handled:
        lines.append("handled: its guarded part's exception part ran")
    if record.abandoned:
        lines.append("given up on: it did not return after its cancel request")
    return "\n".join(lines)


def _lane_names(report, records):
    names = list(getattr(report, "modules", {}) or {})
    for record in records:
        if record.module not in names:
            names.append(record.module)
    return names


def _status_words(report):
    status = report.status
    return {"interrupted": "interrupted (Ctrl-C)", "stopped": "stopped on request"}.get(
        status, status
    )


def timeline_svg(report, *, title=None):
    """The run of `report` (a `Zarn.executor.RunReport`) as a standalone SVG
    picture: a lane per machine module with its busy share, a bar per action
    coloured by outcome (actions of exception parts hatched, the action whose
    failure stopped the run outlined), a time axis, a legend, and a title
    line with `title`, the run's status and duration. Each bar's tooltip
    tells the action, its times, its outcome and its error. Skipped actions
    never ran: they are counted at the right of their lane."""
    records = list(report.actions)
    lanes = _lane_names(report, records)
    uses = getattr(report, "modules", {}) or {}
    fatal = getattr(report, "failure", None)
    fatal_step = fatal.step if fatal is not None else None

    # --- how far the time axis reaches
    duration = report.duration or 0.0
    ran_to = max(
        [duration]
        + [r.end for r in records if r.end is not None]
        + [r.start for r in records if r.start is not None]
    )
    span = ran_to if ran_to > 0 else 0.001
    tick_times, tick_labels, axis_end = _ticks(span)

    # --- what each lane holds
    bars = {name: [] for name in lanes}
    not_run = dict.fromkeys(lanes, 0)
    for record in records:
        if record.start is None or record.outcome not in OUTCOME_COLOURS:
            not_run[record.module] += 1
            continue
        end = record.end if record.end is not None else ran_to
        bars[record.module].append((record.start, max(end, record.start), record))
    placed = {name: _rows_of(bars[name]) for name in lanes}

    def right_text(name):
        use = uses.get(name)
        parts = []
        if not bars[name]:
            parts.append("did not run")
        elif use is not None:
            parts.append(f"{use.share:.0%} busy, {_duration_text(use.busy)}")
        if not_run[name]:
            parts.append(f"{not_run[name]} skipped")
        return ", ".join(parts)

    labels = {name: _cut(_one_line(f"@{name}"), _LABEL_CHARS) for name in lanes}
    label_width = min(
        max([len(text) for text in labels.values()] + [6]) * _CHAR + 16, 170
    )
    right_width = min(
        max([len(right_text(name)) for name in lanes] + [10]) * _CHAR + 16, 260
    )
    x0 = _MARGIN + label_width
    plot_width = _WIDTH - x0 - right_width - _MARGIN
    scale = plot_width / axis_end

    def x_of(seconds):
        return x0 + seconds * scale

    # --- the heading
    counts = report.counts
    heading = _one_line(title) if title else "Run"
    status_line = (
        f"{_status_words(report)} in {_duration_text(duration)} \u00b7 "
        f"{counts['run']} actions run, {counts['failed']} failed, "
        f"{counts['skipped']} skipped"
    )
    handled = any(r.handled for r in records)
    reason = _one_line(report.reason) if (not report.ok or handled) else ""

    out = []
    y = _MARGIN + 14
    colour = _STATUS_COLOURS.get(report.status, "#333")
    if len(heading) + len(status_line) + 2 <= _HEADING_CHARS:
        out.append(
            f'<text class="heading" x="{_MARGIN}" y="{y}" font-size="15" '
            f'font-weight="bold">{_xml(heading)}: <tspan class="status" '
            f'fill="{colour}">{_xml(status_line)}</tspan></text>'
        )
    else:
        out.append(
            f'<text class="heading" x="{_MARGIN}" y="{y}" font-size="15" '
            f'font-weight="bold">{_xml(_cut(heading, _HEADING_CHARS))}</text>'
        )
        y += 18
        out.append(
            f'<text class="status" x="{_MARGIN}" y="{y}" font-size="13" '
            f'font-weight="bold" fill="{colour}">{_xml(status_line)}</text>'
        )
    for line in textwrap.wrap(
        reason, _REASON_CHARS, max_lines=3, placeholder=" \u2026"
    ):
        y += 17
        out.append(
            f'<text x="{_MARGIN}" y="{y}" fill="#444"><title>{_xml(reason)}</title>'
            f"{_xml(line)}</text>"
        )
    lanes_top = y + 14

    # --- the lanes
    lane_tops = []
    top = lanes_top
    for name in lanes:
        lane_tops.append(top)
        top += placed[name][1] * _ROW + 2 * _LANE_PAD
    lanes_bottom = top

    out.append('<g class="grid" stroke="#e1e4e8" stroke-width="1">')
    for t in tick_times:
        x = x_of(t)
        out.append(
            f'<line x1="{x:.2f}" y1="{lanes_top}" x2="{x:.2f}" y2="{lanes_bottom}"/>'
        )
    out.append("</g>")

    for number, (name, lane_top) in enumerate(zip(lanes, lane_tops)):
        rows_placed, rows = placed[name]
        height = rows * _ROW + 2 * _LANE_PAD
        middle = lane_top + height / 2 + 4
        out.append(f'<g class="lane" data-module="{_xml(name)}">')
        out.append(f"<title>{_xml(f'@{name}: {right_text(name)}')}</title>")
        if number % 2 == 0:
            out.append(
                f'<rect x="{_MARGIN}" y="{lane_top}" width="{_WIDTH - 2 * _MARGIN}" '
                f'height="{height}" fill="#000" fill-opacity="0.035"/>'
            )
        out.append(
            f'<text x="{x0 - 8}" y="{middle:.1f}" text-anchor="end" '
            f'font-weight="bold">{_xml(labels[name])}</text>'
        )
        for row, (start, end, record) in rows_placed:
            x = x_of(start)
            width = max((end - start) * scale, _MIN_BAR)
            bar_y = lane_top + _LANE_PAD + row * _ROW + (_ROW - _BAR) / 2
            box = f'x="{x:.2f}" y="{bar_y:.1f}" width="{width:.2f}" height="{_BAR}"'
            if record.step == fatal_step:
                stroke = ' stroke="#111" stroke-width="2"'
            elif width >= 3:
                # A thin white edge keeps back-to-back actions apart.
                stroke = ' stroke="#fff" stroke-width="0.6"'
            else:
                stroke = ""
            out.append(
                f'<g class="action" data-step="{record.step + 1}" '
                f'data-outcome="{_xml(record.outcome)}">'
                f"<title>{_xml(_tooltip(record, ran_to))}</title>"
                f'<rect {box} rx="1.5" fill="{OUTCOME_COLOURS[record.outcome]}"'
                f"{stroke}/>"
            )
            if record.exception_part:
                out.append(f'<rect {box} rx="1.5" fill="url(#zarn-hatch)"/>')
            out.append("</g>")
        out.append(
            f'<text x="{x0 + plot_width + 8:.1f}" y="{middle:.1f}" fill="#444">'
            f"{_xml(right_text(name))}</text>"
        )
        out.append("</g>")
    if not lanes:
        out.append(
            f'<text x="{x0 + 8}" y="{lanes_top + 17}" fill="#666">'
            "the run had no actions</text>"
        )
        lanes_bottom = lanes_top + 26

    # --- the time axis
    axis = [
        (
            f'<g class="axis" fill="#333"><line x1="{x0}" y1="{lanes_bottom}" '
            f'x2="{x0 + plot_width:.2f}" y2="{lanes_bottom}" stroke="#555"/>'
        )
    ]
    for t, text in zip(tick_times, tick_labels):
        x = x_of(t)
        axis.append(
            f'<line x1="{x:.2f}" y1="{lanes_bottom}" x2="{x:.2f}" '
            f'y2="{lanes_bottom + 5}" stroke="#555"/>'
            f'<text x="{x:.2f}" y="{lanes_bottom + 18}" text-anchor="middle" '
            f'font-size="11">{text}</text>'
        )
    axis.append(
        f'<text x="{x0 - 8}" y="{lanes_bottom + 18}" text-anchor="end" '
        f'font-size="11" fill="#666">time</text></g>'
    )
    out.extend(axis)

    # --- the legend
    legend_y = lanes_bottom + 40
    x = float(x0)
    items = [(OUTCOME_COLOURS[o], o, "") for o in OUTCOME_COLOURS]
    items += [
        ("#3d9a57", "exception part", "hatch"),
        ("#d23a3f", "stopped the run", "outline"),
        ("none", "skipped (never ran; counted at right)", "hollow"),
    ]
    legend = ['<g class="legend" font-size="11">']
    for colour, text, kind in items:
        box = f'x="{x:.1f}" y="{legend_y - 10}" width="18" height="{_BAR}" rx="1.5"'
        if kind == "hollow":
            legend.append(f'<rect {box} fill="none" stroke="#666" stroke-width="1"/>')
        else:
            outline = ' stroke="#111" stroke-width="2"' if kind == "outline" else ""
            legend.append(f'<rect {box} fill="{colour}"{outline}/>')
            if kind == "hatch":
                legend.append(f'<rect {box} fill="url(#zarn-hatch)"/>')
        legend.append(f'<text x="{x + 23:.1f}" y="{legend_y}">{_xml(text)}</text>')
        x += 23 + len(text) * 6.2 + 16
    legend.append("</g>")
    out.extend(legend)

    height = legend_y + _MARGIN
    document = heading if title else "Run timeline"
    head = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        (
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{_WIDTH}" '
            f'height="{height:.0f}" viewBox="0 0 {_WIDTH} {height:.0f}" '
            f'font-family="Helvetica, Arial, sans-serif" font-size="{_FONT}" '
            'fill="#222">'
        ),
        f"<title>{_xml(document)}</title>",
        (
            "<defs>"
            '<pattern id="zarn-hatch" width="6" height="6" '
            'patternUnits="userSpaceOnUse" patternTransform="rotate(45)">'
            '<rect width="3" height="6" fill="#fff" fill-opacity="0.55"/></pattern>'
            "</defs>"
        ),
        f'<rect width="{_WIDTH}" height="{height:.0f}" fill="#fff"/>',
    ]
    return "\n".join(head + out + ["</svg>", ""])


# --- the action graph -----------------------------------------------------------------


class GraphvizError(RuntimeError):
    """Graphviz's `dot` is missing, failed or took too long."""


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
        description = _one_line(_described(action))
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
