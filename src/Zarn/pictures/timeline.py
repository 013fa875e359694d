"""`timeline_svg(report)`: a run as a standalone SVG picture, one lane per
machine module, one bar per action."""

from __future__ import annotations

import math
import textwrap

from Zarn.pictures.text import _cut, _duration_text, _one_line, _xml

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
