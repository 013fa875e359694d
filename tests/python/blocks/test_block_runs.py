"""Compiled blocks run on real threads: the order the actions run in."""

import threading

import pytest
from support.actions import Journal, Module, TimedAction, run_plan_on_threads
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import AsyncBlock, CompeteBlock, StandardBlock, ZarnPriority

AXIS, GRIPPER, CONVEYOR = Module("axis"), Module("gripper"), Module("conveyor")


@pytest.fixture
def journal():
    return Journal()


@pytest.fixture
def make(journal):
    def block(module, *labels, seconds=0.02, identifier=None):
        made = StandardBlock(identifier=identifier)
        made.add(
            [
                TimedAction(module, journal=journal, label=l, seconds=seconds)
                for l in labels
            ]
        )
        return made

    return block


def chain(*blocks):
    for earlier, later in zip(blocks, blocks[1:]):
        earlier.next_block = later
    return blocks[0]


def overlap(journal, one, other):
    """Whether the two actions ran at the same time."""
    return journal.position("start", one) < journal.position(
        "end", other
    ) and journal.position("start", other) < journal.position("end", one)


def branch_runs(journal, branch_labels):
    """The journal entries of each branch must form one unbroken stretch."""
    owner = {label: i for i, labels in enumerate(branch_labels) for label in labels}
    stretches = []
    for _, label in journal.entries:
        branch = owner.get(label)
        if branch is None:
            continue
        if not stretches or stretches[-1] != branch:
            stretches.append(branch)
    return stretches


def test_a_sequence_runs_its_actions_one_after_another(journal, make):
    head = chain(make(AXIS, "a", "b"), make(AXIS, "c"), make(AXIS, "d"))
    run_plan_on_threads(head)
    assert journal.entries == [(w, l) for l in "abcd" for w in ("start", "end")]


def test_evaluated_actions_of_single_action_blocks_run_in_chain_order(journal, make):
    head = chain(*(make(AXIS, label) for label in "wxyz"))
    threads = [
        threading.Thread(target=a.run, daemon=True) for a in reversed(head.evaluate())
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
        assert not thread.is_alive()
    assert journal.starts() == list("wxyz")


def test_parallel_branches_overlap_and_the_next_block_waits_for_all(journal, make):
    group = AsyncBlock(
        [
            make(AXIS, "a1", "a2", seconds=0.1),
            make(GRIPPER, "g1", seconds=0.25),
            make(AXIS, "a3"),
        ]
    )
    assert group.resolve_parallel()
    group.next_block = make(CONVEYOR, "after")
    run_plan_on_threads(group)
    assert overlap(journal, "a1", "g1")
    # Blocks of one module keep their order in one branch.
    assert journal.position("start", "a2") > journal.position("end", "a1")
    assert journal.position("start", "a3") > journal.position("end", "a2")
    follower = journal.position("start", "after")
    assert follower > journal.position("end", "g1") and follower > journal.position(
        "end", "a3"
    )


def test_a_branch_waits_for_a_labelled_block_of_another_branch(journal, make):
    opened = make(GRIPPER, "open", seconds=0.15, identifier="opened")
    reach = make(AXIS, "reach", seconds=0.0)
    reach.first().add_dependencies(ZarnId("opened"))
    group = AsyncBlock([chain(make(AXIS, "approach"), reach), opened])
    assert group.resolve_parallel()
    run_plan_on_threads(group)
    assert overlap(journal, "approach", "open")
    assert journal.position("start", "reach") > journal.position("end", "open")


def test_repeated_rounds_run_one_after_another(journal, make):
    rounds = []

    def round_of(n):
        group = AsyncBlock(
            [make(AXIS, f"a{n}", seconds=0.05), make(GRIPPER, f"g{n}", seconds=0.05)]
        )
        group.resolve_parallel()
        rounds.append(group)
        return group

    first = round_of(0)
    first.async_concat([round_of(1), round_of(2)])
    run_plan_on_threads(first)
    for n in range(2):
        ends = max(journal.position("end", f"a{n}"), journal.position("end", f"g{n}"))
        starts = min(
            journal.position("start", f"a{n + 1}"),
            journal.position("start", f"g{n + 1}"),
        )
        assert starts > ends
    assert overlap(journal, "a1", "g1")


def competing(*branches, module_name="axis"):
    group = CompeteBlock(list(branches))
    group.module_name = module_name
    assert group.resolve_within_competition()
    return group


def test_competing_branches_never_interleave_and_each_runs_once(journal, make):
    branches = [make(AXIS, f"b{i}-1", f"b{i}-2", seconds=0.01) for i in range(5)]
    group = competing(*branches)
    group.next_block = make(AXIS, "after")
    run_plan_on_threads(group)
    names = [[f"b{i}-1", f"b{i}-2"] for i in range(5)]
    assert sorted(branch_runs(journal, names)) == [0, 1, 2, 3, 4]
    assert sorted(journal.starts()[:-1]) == sorted(
        label for pair in names for label in pair
    )
    assert journal.entries[-2:] == [("start", "after"), ("end", "after")]


def test_ready_branches_go_in_priority_order_then_in_script_order(journal, make):
    low = make(AXIS, "low")
    low.priority = ZarnPriority.LOW
    normal_1 = make(AXIS, "normal-1")
    high = make(AXIS, "high")
    high.priority = ZarnPriority.HIGH
    normal_2 = make(AXIS, "normal-2")
    run_plan_on_threads(competing(low, normal_1, high, normal_2))
    assert journal.starts() == ["high", "normal-1", "normal-2", "low"]


def test_a_branch_that_is_not_ready_lets_the_ready_ones_go_first(journal, make):
    # The urgent branch waits for the conveyor, which is still busy: the
    # module must not sit idle meanwhile.
    urgent = make(AXIS, "urgent")
    urgent.priority = ZarnPriority.HIGH
    urgent.first().add_dependencies(ZarnId("delivered"))
    routine = make(AXIS, "routine", seconds=0.0)
    group = AsyncBlock(
        [
            competing(urgent, routine),
            make(CONVEYOR, "deliver", seconds=0.5, identifier="delivered"),
        ]
    )
    assert group.resolve_parallel()
    run_plan_on_threads(group)
    assert journal.starts().index("routine") < journal.starts().index("urgent")
    assert journal.position("end", "routine") < journal.position("end", "deliver")
    assert journal.position("start", "urgent") > journal.position("end", "deliver")


def test_a_competition_inside_a_parallel_branch(journal, make):
    group = AsyncBlock(
        [
            chain(competing(make(AXIS, "x1"), make(AXIS, "x2")), make(AXIS, "x-after")),
            make(GRIPPER, "grip", seconds=0.1),
        ]
    )
    assert group.resolve_parallel()
    group.next_block = make(CONVEYOR, "end")
    run_plan_on_threads(group)
    assert journal.starts()[-1] == "end"
    assert journal.position("start", "x-after") > max(
        journal.position("end", "x1"), journal.position("end", "x2")
    )
    assert branch_runs(journal, [["x1"], ["x2"]]) in ([0, 1], [1, 0])


def test_a_small_pool_runs_the_plan_from_its_waits(journal, make):
    # An executor's way: count each step's unfinished waits, queue it when
    # none is left, and ask for turns instead of blocking a worker on them.
    low = make(AXIS, "low")
    low.priority = ZarnPriority.LOW
    group = AsyncBlock(
        [competing(low, make(AXIS, "high")), make(GRIPPER, "g", seconds=0.05)]
    )
    group.resolve_parallel()
    group.next_block = make(CONVEYOR, "last")
    plan = group.run_plan()

    pending = [len(step.waits) for step in plan.steps]
    waiting_on = {i: [] for i in range(len(plan.steps))}
    for step in plan.steps:
        for j in step.waits:
            waiting_on[j].append(step.index)
    ready = []
    lock = threading.Condition()
    finished = threading.Event()

    def done(index):
        with lock:
            for later in waiting_on[index]:
                pending[later] -= 1
                if pending[later] == 0:
                    ready.append(later)
            if index == len(plan.steps) - 1:
                finished.set()
            lock.notify_all()

    def worker():
        while not finished.is_set():
            with lock:
                while not ready and not finished.is_set():
                    lock.wait(0.05)
                if finished.is_set():
                    return
                index = ready.pop(0)
            step = plan.steps[index]
            if step.kind == "turn":
                step.action.request(lambda index=index: done(index))
            else:
                step.action.run()
                done(index)

    ready.extend(i for i, n in enumerate(pending) if n == 0)
    workers = [threading.Thread(target=worker, daemon=True) for _ in range(2)]
    for thread in workers:
        thread.start()
    assert finished.wait(10)
    for thread in workers:
        thread.join(5)
    assert journal.starts().index("high") < journal.starts().index("low")
    assert journal.starts()[-1] == "last"
