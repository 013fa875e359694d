import queue
import threading
import time

import pytest
from support.actions import Module, RecordingAction
from Zarn._zarnblock import ZarnGuard, ZarnMarker
from Zarn._zarnpq import ZarnPriority as PqPriority
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import (
    AsyncBlock,
    CompeteBlock,
    RunExceptBlock,
    StandardBlock,
    ZarnPriority,
    ZarnPriorityQueue,
)

GRIPPER = Module("gripper")


def block_of(*items, identifier=None):
    block = StandardBlock(identifier=identifier)
    block.add(list(items))
    return block


def act(module, label):
    return RecordingAction(module, label=label)


def labels(plan):
    return [s.action.label for s in plan.steps if s.kind == "action"]


# --- the kinds' contract ----------------------------------------------------------------


def test_kinds_flags_and_constructors(module):
    assert StandardBlock().isAsync is False and StandardBlock().isCompete is False
    assert StandardBlock(identifier="x").id == "x"
    group = AsyncBlock([block_of(act(module, "a"))])
    assert group.isAsync is True and group.isCompete is False
    competition = CompeteBlock([block_of(act(module, "a"))])
    assert competition.isCompete is True and competition.isAsync is False
    competition.module_name = "axis"
    assert competition.module_name == "axis"
    guarded = RunExceptBlock("handler")
    assert guarded.exception == "handler" and guarded.action_seq == []
    assert ZarnPriority is PqPriority
    for block in (StandardBlock(), guarded, group, competition):
        assert block.priority is ZarnPriority.NORMAL


def test_a_parallel_group_has_one_branch_per_module_in_the_order_given(module):
    a1, a2, g1 = act(module, "a1"), act(module, "a2"), act(GRIPPER, "g1")
    group = AsyncBlock([block_of(a1), block_of(g1), StandardBlock(), block_of(a2)])
    assert list(group.async_block_map) == ["axis", "gripper"]
    assert group.async_block_map["axis"].evaluate() == [a1, a2]
    assert group.async_block_map["gripper"].module_name == "gripper"
    assert group.resolve_parallel() is True
    seq = group.action_seq
    assert isinstance(seq[0], ZarnMarker) and seq[0].role == "start"
    assert seq[-1].role == "join" and set(seq[-1].dependency) == {a2, g1}
    assert a2.script_dep is a1.finish_signal
    assert (
        a1.script_dep is seq[0].finish_signal and g1.script_dep is seq[0].finish_signal
    )


def test_a_branch_must_run_on_one_module(module):
    mixed = block_of(act(module, "a"))
    mixed.next_block = block_of(act(GRIPPER, "g"))
    with pytest.raises(ValueError, match="one machine module"):
        AsyncBlock([mixed])
    nested = AsyncBlock([block_of(act(module, "a")), block_of(act(GRIPPER, "g"))])
    with pytest.raises(ValueError, match="parallel groups cannot be nested"):
        AsyncBlock([nested])
    competition = CompeteBlock(
        [block_of(act(module, "a")), block_of(act(GRIPPER, "g"))]
    )
    competition.module_name = "axis"
    with pytest.raises(ValueError, match="contend for one machine module"):
        competition.resolve_within_competition()
    with pytest.raises(TypeError, match="must be a block"):
        AsyncBlock(["not a block"])


def test_a_branch_may_wait_for_a_labelled_block_of_another_branch(module):
    gate = act(GRIPPER, "gate")
    waiting = act(module, "waiting")
    waiting.add_dependencies(ZarnId("opened"))
    group = AsyncBlock([block_of(waiting), block_of(gate, identifier="opened")])
    assert group.resolve_parallel() is True
    assert waiting.dependency == [gate]


def test_the_hand_over_protocol_of_the_kinds(module):
    group = AsyncBlock([block_of(act(module, "a"))])
    rounds = group.async_evaluate()
    assert rounds == [group]
    group.async_concat(rounds[1:])  # nothing new: nothing changes
    assert group.next_block is None
    copy = group.async_copy()
    assert isinstance(copy, AsyncBlock) and copy is not group
    assert (
        copy.async_block_map["axis"].action_seq[0]
        is not group.async_block_map["axis"].action_seq[0]
    )
    competition = CompeteBlock([block_of(act(module, "a"))])
    assert competition.compete_evaluate() == [competition]
    assert isinstance(competition.compete_copy(), CompeteBlock)
    # Whatever may follow a referring block provides both copies.
    plain = block_of(act(module, "p"), identifier="p")
    for copied in (plain.async_copy(), plain.compete_copy()):
        assert type(copied) is StandardBlock and copied.id == "p"


def test_the_loop_rule_on_a_parallel_group_repeats_it_in_rounds(module):
    # What the compiler's loop rule does for a count of three.
    body = AsyncBlock([block_of(act(module, "a")), block_of(act(GRIPPER, "g"))])
    body.resolve_parallel()
    for key in list(body.async_block_map):
        replacement = StandardBlock()
        replacement.add(body.async_block_map[key].evaluate())
        body.async_block_map[key] = replacement
    copies = [body.async_copy() for _ in range(2)]
    body.async_concat(copies)
    assert body.async_evaluate() == [body, *copies]
    plan = body.run_plan()
    assert labels(plan) == ["a", "g"] * 3
    joins = [s.index for s in plan.steps if s.kind == "join"]
    starts = [s for s in plan.steps if s.kind == "start"]
    # Each round starts when the round before has joined.
    assert [s.waits for s in starts] == [[], [joins[0]], [joins[1]]]
    assert len({id(s.action) for s in plan.steps}) == len(plan.steps)


def test_the_loop_rule_on_a_plain_block_repeats_it_one_after_another(module):
    body = block_of(act(module, "a"), act(module, "b"))
    repeated = StandardBlock()
    for _ in range(3):
        repeated.add(body.copy())
    plan = repeated.run_plan()
    assert labels(plan) == ["a", "b"] * 3
    assert [s.after for s in plan.steps] == [None, 0, 1, 2, 3, 4]


def test_python_subclasses_of_the_kinds_work(module):
    class Slow(StandardBlock):
        def setup(self, speed=1.0, **rest):
            self.speed = speed

    class Lanes(AsyncBlock):
        pass

    slow = Slow(identifier="s", speed=0.5)
    slow.add([act(module, "a")])
    assert slow.speed == 0.5 and slow.copy().speed == 1.0 and type(slow.copy()) is Slow
    lanes = Lanes([slow, block_of(act(GRIPPER, "g"))])
    assert lanes.resolve_parallel()
    assert type(lanes.async_copy()) is Lanes
    assert labels(lanes.run_plan()) == ["a", "g"]


# --- competitions ---------------------------------------------------------------------------


def test_competing_branches_carry_their_priorities_through_copies(module):
    low = block_of(act(module, "low"))
    low.priority = ZarnPriority.LOW
    high = block_of(act(module, "high"))
    high.priority = ZarnPriority.HIGH
    competition = CompeteBlock([low, high, block_of(act(module, "normal"))])
    competition.module_name = "axis"
    assert competition.resolve_within_competition()
    copied = competition.compete_copy()
    for group in (competition, copied):
        plan = group.run_plan()
        (entry,) = plan.competitions
        assert entry.module_name == "axis"
        assert [b.priority for b in entry.branches] == [
            ZarnPriority.LOW,
            ZarnPriority.HIGH,
            ZarnPriority.NORMAL,
        ]
        for branch in entry.branches:
            turn = plan.steps[branch.turn]
            assert turn.kind == "turn" and turn.waits == [entry.start]
            assert plan.steps[branch.release].kind == "release"
            assert all(plan.steps[i].branch == branch.index for i in branch.steps)
        assert plan.steps[entry.join].waits == [b.release for b in entry.branches]
    assert (
        plan.competitions[0].competition
        is not competition.run_plan().competitions[0].competition
    )


def test_a_branch_priority_set_after_construction_counts(module):
    first, second = block_of(act(module, "1")), block_of(act(module, "2"))
    competition = CompeteBlock([first, second])
    competition.compete_blocks[1].priority = ZarnPriority.HIGH
    (entry,) = competition.run_plan().competitions
    assert entry.branches[1].priority is ZarnPriority.HIGH


def test_a_branch_that_waits_outside_itself_asks_for_its_turn_only_then(module):
    gate = act(GRIPPER, "gate")
    inner = act(module, "inner")
    inner.add_dependencies(gate)
    competition = CompeteBlock([block_of(act(module, "first"), inner)])
    plan = StandardBlock.run_plan(AsyncBlock([competition, block_of(gate)]))
    turn = next(s for s in plan.steps if s.kind == "turn")
    gate_step = next(s for s in plan.steps if s.kind == "action" and s.action is gate)
    assert gate_step.index in turn.waits


# --- guarded parts --------------------------------------------------------------------------


def test_guarded_actions_stay_guarded_when_copied_inserted_and_repeated(module):
    handler = block_of(act(GRIPPER, "recover"))
    guarded = RunExceptBlock(handler)
    guarded.add(block_of(act(module, "g1"), act(module, "g2")))
    assert isinstance(guarded.guard, ZarnGuard) and guarded.guard.exception is handler
    assert all(a.guard is guarded.guard for a in guarded.action_seq)

    copied = guarded.copy()
    assert type(copied) is RunExceptBlock
    assert (
        copied.exception is not handler
        and copied.exception.action_seq[0].label == "recover"
    )
    assert (
        copied.guard is not guarded.guard and copied.guard.exception is copied.exception
    )
    assert all(a.guard is copied.guard for a in copied.action_seq)

    # Inserted by name twice: two guarded parts, each with its own handler.
    user = block_of(ZarnId("safe"), ZarnId("safe"))
    user.resolve_global({"safe": guarded})
    parts = [a.guard for a in user.action_seq]
    assert parts[0] is parts[1] and parts[2] is parts[3] and parts[0] is not parts[2]
    plan = user.run_plan()
    assert [g.steps for g in plan.guards] == [[0, 1], [2, 3]]
    assert plan.guards[0].exception is not plan.guards[1].exception
    assert [s.guard for s in plan.steps] == [0, 0, 1, 1]


def test_guarded_parts_nest(module):
    inner = RunExceptBlock("inner handler")
    inner.add([act(module, "risky")])
    outer = RunExceptBlock("outer handler")
    outer.add(inner)
    outer.add([act(module, "after")])
    plan = outer.run_plan()
    assert [(g.exception, g.steps, g.outer) for g in plan.guards] == [
        ("inner handler", [0], 1),
        ("outer handler", [0, 1], None),
    ]
    assert [s.guard for s in plan.steps] == [0, 1]


# --- the run plan --------------------------------------------------------------------------


def test_the_plan_completes_script_order_and_lists_every_wait(module):
    a, b, c = act(module, "a"), act(module, "b"), act(module, "c")
    c.add_dependencies(a)
    head = block_of(a, b)
    head.next_block = block_of(c)
    plan = head.run_plan()
    assert [s.kind for s in plan.steps] == ["action"] * 3
    assert [s.waits for s in plan.steps] == [[], [0], [0, 1]]
    assert [s.after for s in plan.steps] == [None, 0, 1]
    assert plan.steps[2].events == [a.finish_signal, b.finish_signal]
    assert b.script_dep is a.finish_signal
    assert len(plan) == 3 and plan.competitions == [] and plan.guards == []


def test_the_plan_refuses_what_could_never_run(module):
    unresolved = act(module, "u")
    unresolved.add_dependencies(ZarnId("nowhere"))
    with pytest.raises(ValueError, match="unresolved name 'nowhere'"):
        block_of(unresolved).run_plan()

    outsider = act(module, "outside")
    waiting = act(module, "waiting")
    waiting.add_dependencies(outsider)
    with pytest.raises(ValueError, match="not part of this run"):
        block_of(waiting).run_plan()
    outsider.finish_signal.set()
    assert len(block_of(waiting).run_plan().steps) == 1  # it finished already

    twice = act(module, "twice")
    with pytest.raises(ValueError, match="stands twice"):
        block_of(twice, twice).run_plan()

    early, late = act(module, "early"), act(module, "late")
    early.add_dependencies(late)  # waits for what comes after it
    with pytest.raises(ValueError, match="wait for one another"):
        block_of(early, late).run_plan()

    with pytest.raises(ValueError, match="unresolved name 'x'"):
        block_of(ZarnId("x")).run_plan()


def test_a_wait_on_a_later_branch_of_the_same_competition_is_refused(module):
    first = act(module, "first")
    second = act(module, "second")
    second.add_dependencies(first)
    competition = CompeteBlock([block_of(second), block_of(first)])
    # The second branch's turn waits for the first, which is fine ...
    assert len(competition.run_plan().steps) == 8
    looping = act(module, "loop")
    looping.add_dependencies(second)
    first.add_dependencies(looping)
    inside = CompeteBlock([block_of(second), block_of(first), block_of(looping)])
    with pytest.raises(ValueError, match="wait for one another"):
        inside.run_plan()


# --- the priority queue ----------------------------------------------------------------------


def test_priority_queue_order_and_blocking():
    q = ZarnPriorityQueue()
    q.put("low", ZarnPriority.LOW)
    q.put("first normal")
    q.put("high", ZarnPriority.HIGH)
    q.put("second normal", ZarnPriority.NORMAL)
    q.put("above high", 7)
    assert len(q) == 5 and q.qsize() == 5 and not q.empty()
    got = [q.get() for _ in range(5)]
    assert got == ["above high", "high", "first normal", "second normal", "low"]
    with pytest.raises(queue.Empty):
        q.get_nowait()
    with pytest.raises(queue.Empty):
        q.get(timeout=0.01)
    with pytest.raises(TypeError, match="priority"):
        q.put("x", "urgent")

    threading.Timer(0.05, q.put, args=("late",)).start()
    started = time.monotonic()
    assert q.get(timeout=5) == "late"
    assert time.monotonic() - started < 5


def test_an_arbiter_misused_raises_a_python_error(module):
    competition = CompeteBlock([block_of(act(module, "a")), block_of(act(module, "b"))])
    (entry,) = competition.run_plan().competitions
    arbiter = entry.competition
    assert len(arbiter) == 2 and arbiter.holder is None
    with pytest.raises(RuntimeError, match="does not hold"):
        arbiter.release(1)
    arbiter.acquire(0)
    assert arbiter.holder == 0
    with pytest.raises(RuntimeError, match="once"):
        arbiter.acquire(0)
    arbiter.release(0)
    assert arbiter.finished(0) and not arbiter.finished(1)
