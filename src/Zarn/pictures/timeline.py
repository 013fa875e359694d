"""`timeline_svg(report)`: a run as a standalone SVG picture, one lane per
machine module, one bar per action."""

from __future__ import annotations

import math
import textwrap

from Zarn.pictures.text import _cut, _duration_text, _one_line, _xml
from Zarn.wording import counted

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
_BAR_FONT = 9
_BAR_CHAR = 5.1  # the mean width of a character at _BAR_FONT, for lay-out only
_BAR_LABEL_CHARS = 12  # a description cut shorter says less than the operation
_HATCH_SEEN = 6  # px: a bar narrower than one hatch period gets a marker above
_HANDLER_OPACITY = 0.45  # a handler's time on its axes' lanes, beside their own
_PAUSE_COLOUR = "#5a6b7d"
_PAUSE_OPACITY = 0.18  # light enough that the bars under a pause still read
# What hatches a bar, and the colour of the mark above one too thin to show it.
_HATCHES = {"exception part": "zarn-hatch", "failed attempt": "zarn-hatch-attempt"}
_PART_MARKERS = {"exception part": "#7b241c", "failed attempt": "#6c3483"}
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


def _tooltip(record, ran_to, report, marked, moved=None):
    lines = [
        f"step {record.step + 1} \u00b7 @{record.module} {record.operation}",
        _one_line(record.description),
    ]
    if moved is not None:
        lines.insert(0, f"@{moved} moved by @{record.module} in its {record.operation}")
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
    guarded = report.part_around(record, "try") if record.guard is not None else None
    if guarded is not None and not record.exception_part:
        outcome += f", in guarded part {guarded + 1}"
    if marked == "failed attempt":
        outcome += ", in an attempt that failed: its part was tried again"
    lines.append(outcome)
    if record.error is not None:
        lines.append(_one_line(record.reason))
        where = record.where()
        if where:
            lines.append(where)
    if record.handled:
        lines.append(
            "handled: its part was tried again"
            if marked == "failed attempt"
            else "handled: its guarded part's exception part ran"
        )
    if record.abandoned:
        lines.append("given up on: it did not return after its cancel request")
    return "\n".join(lines)


def _lane_names(report, records):
    names = list(getattr(report, "modules", {}) or {})
    for record in records:
        if record.module not in names:
            names.append(record.module)
    for record in records:
        for name in _moved_by(record):
            if name not in names:
                names.append(name)
    return names


def _moved_by(record):
    """The modules, other than its own, whose devices an action moves: a
    handler's transfer moves the handler's axes and gripper."""
    moved = getattr(record.action, "moved_modules", None)
    if not callable(moved):
        return []
    names = (getattr(module, "name", None) for module in moved())
    return [name for name in names if isinstance(name, str) and name != record.module]


def _bar_label(record, moved, width):
    """The text a bar of `width` px shows, or None when too little fits:
    what the action does, cut short, or at least its operation; on the lane
    of a module that a handler's transfer moves, the handler and its
    operation."""
    room = int((width - 4) / _BAR_CHAR)
    operation = f"@{record.module} {record.operation}"
    if moved is not None:
        candidates = [operation, record.operation]
    else:
        described = _one_line(record.description)
        if room >= _BAR_LABEL_CHARS:
            described = _cut(described, room)
        candidates = [described, record.operation]
    return next((text for text in candidates if len(text) <= room), None)


def _failed_attempts(report):
    """The parts of the attempts that failed and were tried again."""
    return {
        recovery.guard
        for recovery in getattr(report, "recoveries", ())
        if recovery.kind == "attempt"
    }


def _part_marked(record, report, failed_attempts):
    """What hatches a bar: "exception part", "failed attempt" (of a retried
    part), or None."""
    if record.exception_part:
        return "exception part"
    if (
        failed_attempts
        and record.guard is not None
        and report.part_around(record, "attempt") in failed_attempts
    ):
        return "failed attempt"
    return None


def _bar(record, moved, marked, place, fatal, tip):
    """The SVG of one bar: its rectangle, the hatching of the part it ran
    in (with a mark above a bar too thin to show it), its label where it
    fits. `moved`: the module on whose lane a handler's transfer is drawn."""
    x, y, width = place
    box = f'x="{x:.2f}" y="{y:.1f}" width="{width:.2f}" height="{_BAR}"'
    if fatal:
        stroke = ' stroke="#111" stroke-width="2"'
    elif width >= 3:
        # A thin white edge keeps back-to-back actions apart.
        stroke = ' stroke="#fff" stroke-width="0.6"'
    else:
        stroke = ""
    kind = "carried" if moved is not None else "action"
    faded = f' fill-opacity="{_HANDLER_OPACITY}"' if moved is not None else ""
    opening = (
        f'<g class="{kind}" data-step="{record.step + 1}" '
        f'data-outcome="{_xml(record.outcome)}">'
    )
    parts = [
        opening,
        f"<title>{_xml(tip)}</title>",
        f'<rect {box} rx="1.5" fill="{OUTCOME_COLOURS[record.outcome]}"{faded}{stroke}/>',
    ]
    if marked is not None:
        parts.append(f'<rect {box} rx="1.5" fill="url(#{_HATCHES[marked]})"/>')
        if width < _HATCH_SEEN:
            middle = x + width / 2
            parts.append(
                f'<path class="part-mark" d="M{middle - 3:.2f} {y - 4:.1f} '
                f'h6 l-3 4 z" fill="{_PART_MARKERS[marked]}"/>'
            )
    label = _bar_label(record, moved, width)
    if label is not None:
        colour = "#1b2a3a" if moved is not None else "#fff"
        parts.append(
            f'<text x="{x + 3:.2f}" y="{y + _BAR - 3:.1f}" font-size="{_BAR_FONT}" '
            f'fill="{colour}" pointer-events="none">{_xml(label)}</text>'
        )
    parts.append("</g>")
    return parts


def _pause_bands(pauses, ran_to, x_of, top, bottom):
    """The run's pauses as shaded bands across every lane, under the bars,
    each labelled; a pause that lasted to the end reaches the end."""
    parts = []
    for start, end in pauses:
        end = ran_to if end is None else end
        x, width = x_of(start), max(x_of(end) - x_of(start), _MIN_BAR)
        tip = (
            f"paused from {_duration_text(start)} to {_duration_text(end)} "
            f"({_duration_text(end - start)}): nothing new started"
        )
        parts.append(
            f'<g class="pause"><title>{_xml(tip)}</title>'
            f'<rect x="{x:.2f}" y="{top}" width="{width:.2f}" '
            f'height="{bottom - top}" fill="{_PAUSE_COLOUR}" '
            f'fill-opacity="{_PAUSE_OPACITY}"/>'
            f'<text x="{x + 2:.2f}" y="{top - 3}" font-size="{_BAR_FONT}" '
            f'fill="#44505c">paused</text></g>'
        )
    return parts


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
    pauses = list(getattr(report, "pauses", ()) or ())
    ran_to = max(
        [duration]
        + [r.end for r in records if r.end is not None]
        + [r.start for r in records if r.start is not None]
        + [end for _, end in pauses if end is not None]
    )
    span = ran_to if ran_to > 0 else 0.001
    tick_times, tick_labels, axis_end = _ticks(span)

    # --- what each lane holds: its module's actions, and the transfers of
    # a handler that moves its module's device (drawn fainter)
    failed_attempts = _failed_attempts(report)
    bars = {name: [] for name in lanes}
    not_run = {name: {"skipped": 0, "not taken": 0} for name in lanes}
    moved_seconds = dict.fromkeys(lanes, 0.0)
    for record in records:
        if record.start is None or record.outcome not in OUTCOME_COLOURS:
            # A step on a way not taken never ran, and did not fail either.
            kind = "not taken" if record.outcome == "not taken" else "skipped"
            not_run[record.module][kind] += 1
            continue
        end = max(record.end if record.end is not None else ran_to, record.start)
        marked = _part_marked(record, report, failed_attempts)
        bars[record.module].append((record.start, end, record, None, marked))
        for name in _moved_by(record):
            bars[name].append((record.start, end, record, name, marked))
            # A device takes commands from one module at a time, so the
            # handler's time adds to the axis' own.
            moved_seconds[name] += end - record.start
    placed = {name: _rows_of(bars[name]) for name in lanes}
    shown = {marked for lane in bars.values() for *_, marked in lane} - {None}
    if any(moved_seconds.values()):
        shown.add("moved")

    def right_text(name):
        use = uses.get(name)
        busy = (use.busy if use is not None else 0.0) + moved_seconds[name]
        parts = []
        if not bars[name]:
            parts.append("did not run")
        elif use is not None or moved_seconds[name]:
            share = busy / duration if duration > 0 else 0.0
            parts.append(f"{share:.0%} busy, {_duration_text(busy)}")
        for kind, count in not_run[name].items():
            if count:
                parts.append(f"{count} {kind}")
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
        f"{counted(counts['run'], 'action')} run, {counts['failed']} failed, "
        f"{counts['skipped']} skipped"
        + (f", {counts['not taken']} not taken" if counts.get("not taken") else "")
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
    out.extend(_pause_bands(pauses, ran_to, x_of, lanes_top, lanes_bottom))

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
        for row, (start, end, record, moved, marked) in rows_placed:
            x = x_of(start)
            width = max((end - start) * scale, _MIN_BAR)
            bar_y = lane_top + _LANE_PAD + row * _ROW + (_ROW - _BAR) / 2
            tip = _tooltip(record, ran_to, report, marked, moved)
            fatal_bar = record.step == fatal_step and moved is None
            out.extend(_bar(record, moved, marked, (x, bar_y, width), fatal_bar, tip))
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

    # --- the legend: what every run can show, then what this one shows
    legend_y = lanes_bottom + 40
    x = float(x0)
    items = [(OUTCOME_COLOURS[o], o, "") for o in OUTCOME_COLOURS]
    items += [
        ("#3d9a57", "exception part", "exception part"),
        ("#d23a3f", "stopped the run", "outline"),
        ("none", "skipped (never ran; counted at right)", "hollow"),
    ]
    if "failed attempt" in shown:
        items.append(
            ("#d23a3f", "an attempt that failed, tried again", "failed attempt")
        )
    if "moved" in shown:
        items.append(("#3d9a57", "moved by a handler's transfer", "moved"))
    if counts.get("not taken"):
        items.append(("none", "not taken: a way or round not needed (counted)", "none"))
    if pauses:
        items.append((_PAUSE_COLOUR, "paused: nothing new started", "paused"))
    legend = ['<g class="legend" font-size="11">']
    for colour, text, kind in items:
        width = 23 + len(text) * 6.2 + 16
        if x + width > _WIDTH - _MARGIN and x > x0:
            x, legend_y = float(x0), legend_y + 18
        box = f'x="{x:.1f}" y="{legend_y - 10}" width="18" height="{_BAR}" rx="1.5"'
        if kind == "hollow":
            legend.append(f'<rect {box} fill="none" stroke="#666" stroke-width="1"/>')
        elif kind == "none":
            pass
        else:
            outline = ' stroke="#111" stroke-width="2"' if kind == "outline" else ""
            faded = {"moved": _HANDLER_OPACITY, "paused": _PAUSE_OPACITY}.get(kind)
            faded = f' fill-opacity="{faded}"' if faded is not None else ""
            legend.append(f'<rect {box} fill="{colour}"{faded}{outline}/>')
            if kind in _HATCHES:
                legend.append(f'<rect {box} fill="url(#{_HATCHES[kind]})"/>')
        legend.append(f'<text x="{x + 23:.1f}" y="{legend_y}">{_xml(text)}</text>')
        x += width
    if shown & set(_HATCHES):
        legend_y += 18
        legend.append(
            f'<path d="M{x0 + 6:.1f} {legend_y - 8} h6 l-3 4 z" fill="#444"/>'
            f'<text x="{x0 + 23:.1f}" y="{legend_y}">above a bar too thin to show its '
            "hatching</text>"
        )
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
            '<pattern id="zarn-hatch-attempt" width="5" height="5" '
            'patternUnits="userSpaceOnUse" patternTransform="rotate(-45)">'
            '<rect width="1.6" height="5" fill="#2b0f3a" fill-opacity="0.5"/></pattern>'
            "</defs>"
        ),
        f'<rect width="{_WIDTH}" height="{height:.0f}" fill="#fff"/>',
    ]
    return "\n".join(head + out + ["</svg>", ""])
