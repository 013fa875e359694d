"""The pictures: a run's timeline (SVG) and the compiled action graph (DOT,
and SVG through Graphviz's dot)."""

import pathlib
import re
import shutil
import threading
import time
import xml.etree.ElementTree as ET

import pytest
from support.actions import Module
from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.blocks import AsyncBlock, RunExceptBlock, StandardBlock

from Zarn import pictures
from Zarn.executor import Executor
from Zarn.lang.compiling import compile, compile_script
from Zarn.machine import MachineError, RecordingMachine
from Zarn.pictures import timeline

ROOT = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples"
SVG = "{http://www.w3.org/2000/svg}"
HOSTILE = '<&">\\'
needs_dot = pytest.mark.skipif(
    shutil.which("dot") is None, reason="Graphviz's dot is not installed"
)


class Step(ZarnAction):
    """Takes `seconds` (cut short by a cancel request, which makes it fail),
    then raises `fail` if given."""

    operation = "step"

    def setup(self, label="", seconds=0.0, fail=None, text=None):
        self.label = label
        self.seconds = seconds
        self.fail = fail
        self.text = text
        self.cancelled = threading.Event()

    def execute(self):
        self.state = ZarnState.Executing
        try:
            if self.cancelled.wait(self.seconds):
                raise MachineError("cancelled", device=7, command_id="PC-test-1")
            if self.fail is not None:
                raise self.fail
        except BaseException:
            self.state = ZarnState.Error
            raise
        else:
            self.state = ZarnState.Finished
        finally:
            self.finish_signal.set()

    def describe(self):
        return self.text if self.text is not None else f"step {self.label}"


class Slow(Step):
    """A Step of a kind of its own, to give it a time limit of its own."""


def block(module, *labels, kind=Step, **settings):
    made = StandardBlock()
    made.add([kind(module, label=label, **settings) for label in labels])
    return made


def parallel(*branches):
    group = AsyncBlock(list(branches))
    assert group.resolve_parallel()
    return group


def cancel(action):
    action.cancelled.set()


def parse_svg(text):
    root = ET.fromstring(text)
    assert root.tag == f"{SVG}svg"
    return root


def lanes_of(root):
    return {
        lane.get("data-module"): lane
        for lane in root.iter(f"{SVG}g")
        if lane.get("class") == "lane"
    }


def bars_of(lane):
    return [g for g in lane.iter(f"{SVG}g") if g.get("class") == "action"]


def box(bar):
    rect = bar.find(f"{SVG}rect")
    return float(rect.get("x")), float(rect.get("width"))


def headed(root, kind):
    (found,) = [e for e in root.iter() if e.get("class") == kind]
    return "".join(found.itertext())


def tooltip(element):
    return element.find(f"{SVG}title").text


# --- the timeline ------------------------------------------------------------------


def test_timeline_lanes_and_bars_follow_the_run():
    axis, gripper, conveyor = Module("axis"), Module("gripper"), Module("conveyor")
    group = parallel(
        block(axis, "a1", seconds=0.12), block(gripper, "g1", "g2", seconds=0.05)
    )
    group.next_block = block(conveyor, "c1", seconds=0.06)
    report = Executor(group).run()
    assert report.ok

    root = parse_svg(pictures.timeline_svg(report, title="three modules"))
    lanes = lanes_of(root)
    assert list(lanes) == ["axis", "gripper", "conveyor"]
    records = {record.step + 1: record for record in report.actions}
    drawn = {}
    for name, lane in lanes.items():
        for bar in bars_of(lane):
            assert records[int(bar.get("data-step"))].module == name
            drawn[int(bar.get("data-step"))] = bar
    assert sorted(drawn) == sorted(records)
    assert [len(bars_of(lane)) for lane in lanes.values()] == [1, 2, 1]

    # x = origin + scale * start and width = scale * duration, for every bar,
    # with the origin where the axis' "0" tick stands.
    first = records[min(records)]
    x, width = box(drawn[first.step + 1])
    scale = width / first.duration
    origin = x - scale * first.start
    for step, bar in drawn.items():
        x, width = box(bar)
        assert x == pytest.approx(origin + scale * records[step].start, abs=0.05)
        assert width == pytest.approx(scale * records[step].duration, abs=0.05)
    axis_texts = {
        t.text: float(t.get("x"))
        for g in root.iter(f"{SVG}g")
        if g.get("class") == "axis"
        for t in g.iter(f"{SVG}text")
    }
    assert axis_texts["0"] == pytest.approx(origin, abs=0.05)
    c1 = next(r for r in records.values() if r.module == "conveyor")

    assert headed(root, "heading").startswith("three modules: finished in ")
    assert headed(root, "status").startswith("finished in ")
    assert headed(root, "status").endswith("4 actions run, 0 failed, 0 skipped")
    assert "busy" in "".join(lanes["axis"].itertext())
    tip = tooltip(drawn[c1.step + 1])
    assert tip.splitlines()[0] == f"step {c1.step + 1} \u00b7 @conveyor step"
    assert "step c1" in tip and "finished" in tip


def test_timeline_shows_each_outcome_the_exception_part_and_skipped_actions():
    axis, gripper, conveyor = Module("axis"), Module("gripper"), Module("conveyor")
    # A guarded failure, handled by its exception part.
    handler = block(gripper, "recover", seconds=0.02)
    guarded = RunExceptBlock(handler)
    guarded.add(block(axis, "risky", seconds=0.02, fail=RuntimeError("jammed")))
    guarded.add(block(axis, "never"))
    guarded.next_block = block(axis, "after", seconds=0.02)
    handled = Executor(guarded).run()
    assert handled.ok
    root = parse_svg(pictures.timeline_svg(handled))
    lanes = lanes_of(root)
    outcomes = {
        tooltip(bar).splitlines()[1]: bar
        for lane in lanes.values()
        for bar in bars_of(lane)
    }
    assert set(outcomes) == {"step risky", "step recover", "step after"}
    assert outcomes["step risky"].get("data-outcome") == "failed"
    assert "jammed" in tooltip(outcomes["step risky"])
    assert "handled" in tooltip(outcomes["step risky"])
    hatched = [
        rect.get("fill") == "url(#zarn-hatch)"
        for rect in outcomes["step recover"].iter(f"{SVG}rect")
    ]
    assert hatched == [False, True]
    assert not any(
        rect.get("fill") == "url(#zarn-hatch)"
        for rect in outcomes["step after"].iter(f"{SVG}rect")
    )
    assert "1 skipped" in "".join(lanes["axis"].itertext())
    assert "recovered" in "".join(root.itertext())

    # A time-out stops the run: the action in flight on the other module is
    # cancelled and what follows is skipped.
    group = parallel(
        block(axis, "stuck", kind=Slow, seconds=5), block(gripper, "held", seconds=5)
    )
    group.next_block = block(conveyor, "later")
    stopped = Executor(group, timeouts={Slow: 0.1}, cancel=cancel).run()
    assert stopped.status == "failed"
    root = parse_svg(pictures.timeline_svg(stopped))
    lanes = lanes_of(root)
    (stuck,) = bars_of(lanes["axis"])
    (held,) = bars_of(lanes["gripper"])
    assert (stuck.get("data-outcome"), held.get("data-outcome")) == (
        "timed out",
        "cancelled",
    )
    assert stuck.find(f"{SVG}rect").get("stroke-width") == "2"  # stopped the run
    assert held.find(f"{SVG}rect").get("stroke-width") != "2"
    assert bars_of(lanes["conveyor"]) == []
    assert "did not run, 1 skipped" in "".join(lanes["conveyor"].itertext())
    texts = "".join(root.itertext())
    assert "failed in" in texts and "did not finish within 0.1 s" in texts
    legend = next(g for g in root.iter(f"{SVG}g") if g.get("class") == "legend")
    assert {"finished", "failed", "timed out", "cancelled", "exception part"} <= {
        t.text for t in legend.iter(f"{SVG}text")
    }


class Flaky(RecordingMachine):
    """Moves take a little time; the first move of device 15 to each of 150
    and 450 fails."""

    def __init__(self):
        super().__init__()
        self.failed = set()

    def move(self, moves):
        time.sleep(0.005)
        for move in moves:
            if move.device == 15 and move.target in {150.0, 450.0} - self.failed:
                self.failed.add(move.target)
                raise MachineError("drive refused", device=15, command_id="PC-1")
        super().move(moves)


def test_timeline_of_constructs_handler_transfers_and_thin_parts():
    compiled = compile_script(CONSTRUCTS, EXAMPLES / "modules.py")
    report = Executor(compiled, machine=Flaky()).run()
    assert report.ok
    root = parse_svg(pictures.timeline_svg(report, title="constructs.zarn"))
    assert headed(root, "heading").startswith("constructs.zarn: finished in ")
    assert headed(root, "status").endswith(", 1 not taken")
    lanes = lanes_of(root)
    # The way not taken has no bar, and is not counted as skipped or failed.
    panel = "".join(lanes["panel"].itertext())
    assert "1 not taken" in panel and "skipped" not in panel
    assert {bar.get("data-outcome") for bar in bars_of(lanes["panel"])} == {"finished"}
    # The first attempt failed and was retried: its bar is hatched, the
    # second attempt's not; the exception part's bar, too thin to show its
    # hatching, has a mark above it.
    moves = [b for b in bars_of(lanes["x"]) if "move @x to input" in tooltip(b)]
    assert [m.get("data-outcome") for m in moves] == ["failed", "finished"]
    fills = [[r.get("fill") for r in m.iter(f"{SVG}rect")] for m in moves]
    assert fills[0][1] == "url(#zarn-hatch-attempt)" and len(fills[1]) == 1
    assert "tried again" in tooltip(moves[0])
    (lamp,) = [b for b in bars_of(lanes["panel"]) if "lamp_red" in tooltip(b)]
    assert box(lamp)[1] < 6 and lamp.find(f"{SVG}path").get("class") == "part-mark"
    # The arm's transfers are drawn on the lanes of the axes and the gripper
    # they move, and count in those lanes' busy time.
    transfers = bars_of(lanes["arm"])
    for name in ("x", "y", "z", "gripper"):
        carried = [
            g for g in lanes[name].iter(f"{SVG}g") if g.get("class") == "carried"
        ]
        assert len(carried) == len(transfers) == 20
        assert tooltip(carried[0]).startswith(f"@{name} moved by @arm in its pick")
    busy = float(re.search(r"(\d+)% busy", "".join(lanes["z"].itertext())).group(1))
    assert busy > 50
    # A bar wide enough says what it is.
    assert any(bar.find(f"{SVG}text") is not None for bar in bars_of(lanes["arm"]))


def test_timeline_escapes_what_it_is_given():
    odd = Module(HOSTILE + "\x01")
    action = block(odd, "x", text=f"say {HOSTILE}\x00\x1b", fail=RuntimeError(HOSTILE))
    report = Executor(action).run()
    text = pictures.timeline_svg(report, title=f"run {HOSTILE}")
    root = parse_svg(text)
    (lane,) = lanes_of(root).values()
    assert lane.get("data-module") == HOSTILE + "\ufffd"
    (bar,) = bars_of(lane)
    tip = tooltip(bar)
    assert f"say {HOSTILE}" in tip and f"RuntimeError: {HOSTILE}" in tip
    assert not re.search("[\x00-\x08\x1b]", text)
    assert headed(root, "heading").startswith(f"run {HOSTILE}: failed")
    long_title = "a title far longer than the line that the status shares " * 3
    root = parse_svg(pictures.timeline_svg(report, title=long_title))
    assert headed(root, "heading").endswith("\u2026")
    assert headed(root, "status").startswith("failed in ")


def test_timeline_of_instant_module_actions_and_of_many_actions():
    # Module actions on a recording machine take no time at all.
    main = compile(EXAMPLES / "tray_walk.zarn")
    report = Executor(main, machine=RecordingMachine()).run()
    assert report.ok
    root = parse_svg(pictures.timeline_svg(report))
    lanes = lanes_of(root)
    # The arm's transfers move the gripper too, which gets a lane of its own.
    assert list(lanes) == [*report.modules, "gripper"]
    assert sum(len(bars_of(lane)) for lane in lanes.values()) == len(report.actions)
    assert all(box(bar)[1] >= 1 for lane in lanes.values() for bar in bars_of(lane))

    axis = Module("a-module-name-far-too-long-for-the-label-column")
    chain = block(axis, *(f"s{n}" for n in range(300)))
    many = Executor(chain).run()
    root = parse_svg(pictures.timeline_svg(many))
    (lane,) = lanes_of(root).values()
    assert len(bars_of(lane)) == 300
    assert float(root.get("height")) < 250  # one lane, however many actions
    label = next(t for t in lane.iter(f"{SVG}text") if t.get("text-anchor") == "end")
    assert label.text.endswith("\u2026") and len(label.text) <= 22
    assert axis.name in tooltip(lane)


@pytest.mark.parametrize(
    ("span", "last"),
    [
        (0.0003, "0.3 ms"),
        (0.05, "50 ms"),
        (0.284, "300 ms"),
        (1.0, "1 s"),
        (3.53, "4 s"),
        (17, "17.5 s"),
        (640, "700 s"),
    ],
)
def test_time_axis_ticks(span, last):
    times, labels, end = timeline._ticks(span)
    assert end >= span and end == pytest.approx(times[-1])
    assert labels[0] == "0" and labels[-1] == last
    assert 4 <= len(times) <= 11
    steps = {round(b - a, 12) for a, b in zip(times, times[1:])}
    assert len(steps) == 1


def test_overlapping_actions_of_a_lane_stack_in_a_few_rows():
    bars = [(0, 2, "a"), (1, 3, "b"), (2, 4, "c"), (0.5, 1, "d")]
    placed, rows = timeline._rows_of(bars)
    row_of = {bar[2]: row for row, bar in placed}
    assert rows == 2
    assert row_of == {"a": 0, "c": 0, "d": 1, "b": 1}

    crowd = [(0, 10, n) for n in range(10)]
    placed, rows = timeline._rows_of(crowd)
    assert rows == 4 and len(placed) == 10
    assert {row for row, _ in placed} == {0, 1, 2, 3}


# --- the graph ---------------------------------------------------------------------

_ATTRIBUTE = re.compile(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|([^,\]\s]+))')


def attributes(text):
    return {
        m.group(1): m.group(2) if m.group(2) is not None else m.group(3)
        for m in _ATTRIBUTE.finditer(text)
    }


def read_dot(text):
    """Loosely: {cluster: (label, parent)}, {node: (attributes, cluster)},
    [(tail, head, attributes)]."""
    clusters, nodes, edges, inside = {}, {}, [], []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("digraph "):
            inside.append(None)
            continue
        opened = re.match(r"subgraph (cluster_\w+) \{$", line)
        if opened:
            clusters[opened.group(1)] = [None, inside[-1]]
            inside.append(opened.group(1))
        elif line == "}":
            inside.pop()
        elif line.startswith("graph [") and inside[-1] is not None:
            clusters[inside[-1]][0] = attributes(line)["label"]
        elif edge := re.match(r"(\w+) -> (\w+) \[(.*)\];$", line):
            edges.append((edge.group(1), edge.group(2), attributes(edge.group(3))))
        elif node := re.match(r"((?:x\d+_)*s\d+) \[(.*)\];$", line):
            nodes[node.group(1)] = (attributes(node.group(2)), inside[-1])
    assert inside == [], "the braces of the DOT text do not match"
    return {k: tuple(v) for k, v in clusters.items()}, nodes, edges


def node_named(nodes, text):
    (found,) = [name for name, (attrs, _) in nodes.items() if text in attrs["label"]]
    return found


def module_cluster(clusters, cluster):
    """The module cluster a cluster lies in (or is)."""
    while cluster is not None and not clusters[cluster][0].startswith("@"):
        cluster = clusters[cluster][1]
    return clusters[cluster][0] if cluster is not None else None


def test_graph_groups_steps_by_module_and_draws_what_each_waits_for():
    main = compile(EXAMPLES / "parallel_moves.zarn")
    plan = main.run_plan()
    clusters, nodes, edges = read_dot(pictures.graph_dot(main, title="moves"))
    assert sorted(label for label, _ in clusters.values()) == [
        "@camera",
        "@r",
        "@x",
        "@y",
        "@z",
    ]
    assert len(nodes) == len(plan.steps)
    for step in plan.steps:
        attrs, cluster = nodes[f"s{step.index}"]
        module = getattr(getattr(step.action, "module", None), "name", None)
        if step.kind == "action":
            assert module_cluster(clusters, cluster) == f"@{module}"
            assert attrs["label"].startswith(
                f"{step.index + 1}  {step.action.operation}"
            )
        else:  # a parallel group's markers stand outside every module
            assert cluster is None and attrs["label"] == ""
            assert attrs["xlabel"] == f"{step.index + 1} " + (
                "begin" if step.kind == "start" else "end"
            )
            assert attrs["shape"] in ("invtriangle", "triangle")

    waits = {(t, h) for t, h, a in edges if a.get("color") == "#1f6fbf"}
    order = {(t, h) for t, h, a in edges if a.get("color") == "#9aa0a6"}
    expected = {(f"s{w}", f"s{step.index}") for step in plan.steps for w in step.waits}
    assert waits | order == expected and not waits & order
    lowered = node_named(nodes, "@z to camera")
    assert {t for t, h in waits if h == lowered} == {
        node_named(nodes, "@x to camera"),
        node_named(nodes, "@y to camera"),
    }
    # The step before in script order is drawn as such, not as a wait clause.
    for step in plan.steps:
        if step.after is not None:
            assert (f"s{step.after}", f"s{step.index}") in order


def test_graph_outlines_guarded_parts_and_draws_their_exception_part():
    main = compile(EXAMPLES / "guarded_pick.zarn")
    clusters, nodes, edges = read_dot(pictures.graph_dot(main))
    (guard,) = [
        c for c, (label, _) in clusters.items() if label.startswith("guarded part 1:")
    ]
    assert (
        clusters[guard][0]
        == "guarded part 1: when a step fails, 'release_and_warn' runs"
    )
    assert clusters[clusters[guard][1]][0] == "@arm"
    inside = {name for name, (_, cluster) in nodes.items() if cluster == guard}
    # Steps 1 to 9 home the axes.
    assert inside == {node_named(nodes, "14  pick"), node_named(nodes, "15  place")}
    (part,) = [c for c, (label, _) in clusters.items() if "failed:" in label]
    assert clusters[part][1] is None
    in_part = [n for n, (_, c) in nodes.items() if c is not None and c.startswith(part)]
    assert sorted(module_cluster(clusters, nodes[n][1]) or "-" for n in in_part) == [
        "-",
        "-",
        "@gripper",
        "@panel",
    ]
    (failure,) = [e for e in edges if e[2].get("label") == "on failure"]
    assert failure[0] == node_named(nodes, "15  place")
    assert failure[1] in in_part
    assert failure[2]["lhead"] == part and failure[2]["ltail"] == guard


def test_graph_of_competing_branches_shows_turns_and_priorities():
    clusters, nodes, _ = read_dot(
        pictures.graph_dot(compile(EXAMPLES / "shared_arm.zarn"))
    )
    competing = [
        c for c, (label, _) in clusters.items() if label.startswith("branches")
    ]
    # 'rush', then the two rounds of `repeat 2 compete`, folded into the first
    assert len(competing) == 2
    assert all(module_cluster(clusters, c) == "@arm" for c in competing)
    (folded,) = [
        c for c, (label, _) in clusters.items() if label.startswith("2 rounds")
    ]
    assert [clusters[c][1] for c in competing].count(folded) == 1
    turns = [
        a["xlabel"]
        for a, _ in nodes.values()
        if a.get("shape") == "diamond" and "turn" in a.get("xlabel", "")
    ]
    assert turns[:2] == ["11 turn HIGH", "15 turn"]  # after 9 steps of homing
    assert "25 turn LOW" in turns


CONSTRUCTS = """\
block main {
    @z move home
    if @sensors door_closed on { @panel set lamp_green on } else { @panel set lamp_yellow on }
    retry 1 { @x move input }
    try { timeout 1 { @x move output } } except { @panel set lamp_red on }
    repeat until output_tray full { @arm pick from input_tray  @arm place into output_tray }
}
"""


def test_graph_draws_conditions_and_folds_loops_retries_and_time_limits():
    compiled = compile_script(CONSTRUCTS, EXAMPLES / "modules.py")
    clusters, nodes, edges = read_dot(
        pictures.graph_dot(compiled.plan, plan_of=compiled.plan_of)
    )
    labels = {label for label, _ in clusters.values()}
    node = {n: attrs["label"] for n, (attrs, _) in nodes.items()}
    ways = {a["label"]: h for t, h, a in edges if t == node_named(nodes, "2  if")}
    assert nodes[node_named(nodes, "2  if")][0]["shape"] == "diamond"
    assert "lamp_green" in node[ways["yes"]] and "lamp_yellow" in node[ways["no"]]
    # One round of the loop and one attempt are drawn, framed with the bound.
    (loop,) = [c for c, (label, _) in clusters.items() if "at most 10 rounds" in label]
    assert "retry: up to 2 attempts, attempt 1 drawn (steps 8-11)" in labels
    assert "time limit: within 1 s" in labels
    assert [label.split("\\n")[0] for label in node.values() if "pick" in label] == [
        "17  pick"
    ]
    assert len([label for label in node.values() if "to input" in label]) == 1
    # The check after the last round waits for it: drawn from the loop's frame.
    check = node_named(nodes, "46  check")
    assert [a.get("ltail") for t, h, a in edges if h == check] == [loop]
    again = {(node[t][:2], node[h][:2]) for t, h, a in edges if "label" in a}
    assert {("18", "16"), ("9 ", "9 ")} <= again  # next round, try again
    # The exception part's step is numbered on from main's 47.
    assert "48  set" in [label.split("\\n")[0] for label in node.values()]


def test_folding_repeats_keeps_every_wait():
    compiled = compile_script(EXAMPLES / "pick_and_place.zarn")
    plan = compiled.plan
    clusters, nodes, edges = read_dot(pictures.graph_dot(plan))
    (frame,) = [
        c for c, (label, _) in clusters.items() if label.startswith("10 rounds")
    ]
    assert len(nodes) == 97 - 9 * 8  # the rounds 2 to 10 of `repeat 10 cycle`
    drawn = {(t, h) for t, h, _ in edges}
    for step in plan.steps:
        first = step.index if step.index < 19 else (step.index - 11) % 8 + 11
        for wait in step.waits:
            shown = wait if wait < 19 or wait > 90 else (wait - 11) % 8 + 11
            head = first if step.index <= 90 else step.index
            assert (f"s{shown}", f"s{head}") in drawn
    # Park waits for the last round's end: drawn from the frame.
    (leaving,) = [a for t, h, a in edges if h == "s91"]
    assert leaving["ltail"] == frame


@needs_dot
def test_graph_svg_parses_and_keeps_hostile_text():
    odd = Module(HOSTILE)
    chain = block(odd, "x", text=f"say {HOSTILE} &amp; done")
    svg = pictures.graph_svg(chain, title=f"graph {HOSTILE}")
    root = parse_svg(svg)
    titles = [
        a.get("{http://www.w3.org/1999/xlink}title") for a in root.iter(f"{SVG}a")
    ]
    assert f"step 1: say {HOSTILE} &amp; done" in titles
    texts = ["".join(t.itertext()) for t in root.iter(f"{SVG}text")]
    assert f"@{HOSTILE}" in texts
    assert f"say {HOSTILE} &amp; done" in texts
    assert any(t.startswith(f"graph {HOSTILE}: 1 action, 1 step") for t in texts)


def test_missing_failing_and_slow_dot(tmp_path, monkeypatch):
    main = compile(EXAMPLES / "parallel_moves.zarn")
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(
        pictures.GraphvizError, match=r"`dot` program was not found.*graphviz"
    ):
        pictures.graph_svg(main)

    fake = tmp_path / "dot"
    fake.write_text("#!/bin/sh\necho 'syntax error in line 1' >&2\nexit 3\n")
    fake.chmod(0o755)
    with pytest.raises(
        pictures.GraphvizError, match="exit code 3: syntax error in line 1"
    ):
        pictures.graph_svg(main)

    fake.write_text("#!/bin/sh\nexec /bin/sleep 30\n")
    with pytest.raises(pictures.GraphvizError, match="within 0.2 s"):
        pictures.run_dot("digraph {}", timeout=0.2)


def test_the_pictures_in_the_docs_are_svg():
    graph = parse_svg((ROOT / "docs" / "pick_and_place-graph.svg").read_text("utf-8"))
    assert any(
        "pick_and_place.zarn" in "".join(t.itertext()) for t in graph.iter(f"{SVG}text")
    )
    timeline = parse_svg(
        (ROOT / "docs" / "pick_and_place-timeline.svg").read_text("utf-8")
    )
    assert {"arm", "camera", "x", "y", "z"} <= set(lanes_of(timeline))
