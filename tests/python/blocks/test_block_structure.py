import gc
import subprocess
import sys
import textwrap
import weakref

import pytest
from support.actions import Module, RecordingAction, block_of, chain
from Zarn._zarnblock import ZarnBlock
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import AsyncBlock, CompeteBlock, StandardBlock

NOT_RESOLVED = "ZarnBlock not resolved... Can't evaluate. "


# --- the abstract base ---------------------------------------------------------------


def test_base_and_kinds_lacking_an_abstract_member_cannot_be_constructed():
    class NoFlags(ZarnBlock):
        def setup(self, **settings):
            pass

    class NoCompete(ZarnBlock):
        isAsync = False

        def setup(self, **settings):
            pass

    class NoSetup(ZarnBlock):
        isAsync = isCompete = False

    for kind, missing in (
        (ZarnBlock, "isAsync"),
        (NoFlags, "isCompete"),
        (NoCompete, "isCompete"),
        (NoSetup, "setup"),
    ):
        with pytest.raises(TypeError, match=missing):
            kind()


def test_construction_sets_the_fields_then_calls_setup_with_the_settings():
    seen = {}

    class Kind(ZarnBlock):
        isAsync = isCompete = False

        def setup(self, speed=0, **rest):
            seen.update(seq=self.action_seq, next=self.next_block, id=self.id)
            seen.update(module=self.module_name, speed=speed, rest=rest)

    block = Kind("label", speed=3, extra=[1])
    assert seen == {
        "seq": [],
        "next": None,
        "id": "label",
        "module": None,
        "speed": 3,
        "rest": {"extra": [1]},
    }
    assert Kind(identifier="named").id == "named"
    assert Kind().id is None
    assert block.action_seq == [] and type(block.action_seq) is list


def test_flags_are_class_values_that_one_block_can_override():
    one, other = StandardBlock(), StandardBlock()
    one.isAsync = True
    assert one.isAsync is True
    assert other.isAsync is False and StandardBlock.isAsync is False
    one.extra = "kinds may add attributes"
    assert one.extra == "kinds may add attributes"


def test_a_kind_that_skips_the_base_init_gets_a_clear_error():
    class Forgetful(StandardBlock):
        def __init__(self):
            pass

    block = Forgetful()
    for call in (block.evaluate, block.first, block.copy, lambda: block.add([])):
        with pytest.raises(TypeError, match="super"):
            call()


# --- add and the module check -----------------------------------------------------------


def test_add_skips_separators_and_fixes_the_module_from_the_first_action(module):
    a1, a2 = RecordingAction(module), RecordingAction(Module("axis"))
    block = StandardBlock()
    block.add([a1, ";", a2])
    assert block.action_seq == [a1, a2]
    assert block.module_name == "axis"


def test_add_of_another_module_fails_and_keeps_what_came_before(module):
    a1, a2 = RecordingAction(module), RecordingAction(module)
    stranger = RecordingAction(Module("gripper"))
    block = StandardBlock()
    with pytest.raises(AssertionError, match="gripper"):
        block.add([a1, a2, stranger, RecordingAction(module)])
    assert block.action_seq == [a1, a2]
    assert block.module_name == "axis"


def test_module_check_is_made_under_python_optimisation():
    script = textwrap.dedent(
        """
        from Zarn.blocks import StandardBlock
        block = StandardBlock()
        block._check_module_name("axis")
        try:
            block._check_module_name("gripper")
        except AssertionError:
            print("refused")
        """
    )
    result = subprocess.run(
        [sys.executable, "-O", "-c", script],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout.strip() == "refused", result.stderr


def test_add_keeps_identifiers_and_adding_a_block_flattens_its_chain(module):
    name = ZarnId("later")
    holder = StandardBlock()
    holder.add([name])
    assert holder.action_seq == [name] and not holder.is_resolved()

    x1, x2, x3 = (RecordingAction(module) for _ in range(3))
    source = chain(block_of(x1), block_of(x2, x3))
    target = StandardBlock()
    target.add(source)
    assert target.action_seq == [x1, x2, x3]
    assert target.next_block is None


def test_add_of_its_own_list_appends_a_snapshot(module):
    a = RecordingAction(module)
    block = block_of(a)
    block.add(block.action_seq)
    assert block.action_seq == [a, a]


def test_groups_cannot_be_added_into_a_sequence(module):
    group = AsyncBlock([block_of(RecordingAction(module))])
    competition = CompeteBlock([block_of(RecordingAction(module))])
    for item in (group, competition, chain(block_of(RecordingAction(module)), group)):
        with pytest.raises(TypeError, match="group"):
            StandardBlock().add(item)


# --- evaluate -------------------------------------------------------------------------


def test_evaluate_flattens_the_chain_and_links_block_boundaries(module):
    a, b, c, d = (RecordingAction(module) for _ in range(4))
    head = chain(block_of(a, b), block_of(c), block_of(d))
    actions = head.evaluate()
    assert actions == [a, b, c, d]
    assert actions is not head.action_seq
    assert c.script_dep is b.finish_signal
    assert d.script_dep is c.finish_signal
    # Inside one block evaluate links nothing.
    assert a.script_dep is None and b.script_dep is None


def test_evaluate_of_a_lone_block_returns_its_own_list(module):
    block = block_of(RecordingAction(module))
    assert block.evaluate() is block.action_seq


def test_evaluate_refuses_unresolved_blocks_anywhere_in_the_chain(module):
    with pytest.raises(
        Exception, match=r"^ZarnBlock not resolved\.\.\. Can't evaluate\. $"
    ):
        block_of(ZarnId("x")).evaluate()
    a = RecordingAction(module)
    tail = StandardBlock()
    tail.add([RecordingAction(module), "junk"])
    with pytest.raises(Exception) as failure:
        chain(block_of(a), tail).evaluate()
    assert str(failure.value) == NOT_RESOLVED


def test_evaluate_with_empty_blocks_at_a_boundary_fails(module):
    with pytest.raises(IndexError):
        chain(StandardBlock(), block_of(RecordingAction(module))).evaluate()
    with pytest.raises(AttributeError):
        chain(block_of(RecordingAction(module)), StandardBlock()).evaluate()


def test_evaluate_of_a_competing_block_leaves_the_map_of_its_branches(module):
    x, y, z = (RecordingAction(module) for _ in range(3))
    group = CompeteBlock([block_of(x, y), block_of(z)])
    result = group.evaluate()
    assert result == {0: [x, y], 1: [z]}
    assert group.action_seq is result


def test_evaluate_refuses_a_competing_group_inside_a_chain(module):
    group = CompeteBlock([block_of(RecordingAction(module))])
    with pytest.raises(TypeError, match="competing"):
        chain(block_of(RecordingAction(module)), group).evaluate()


# --- copy -----------------------------------------------------------------------------


def test_copy_of_a_chain_is_one_block_with_the_waits_inside_the_copy(module):
    predecessor = RecordingAction(module)
    x1, x2, x3 = (RecordingAction(module, label=n) for n in ("x1", "x2", "x3"))
    x1.set_script_dep(predecessor.finish_signal)
    x3.add_dependencies(x1)
    head = chain(block_of(x1, x2, identifier="src"), block_of(x3))

    copied = head.copy()
    y1, y2, y3 = copied.action_seq
    assert type(copied) is StandardBlock and copied.id == "src"
    assert copied.next_block is None and copied.module_name == "axis"
    assert [y.label for y in (y1, y2, y3)] == ["x1", "x2", "x3"]
    assert not {y1, y2, y3} & {x1, x2, x3}
    assert y3.dependency == [y1]
    assert y1.script_dep is predecessor.finish_signal
    assert y2.script_dep is y1.finish_signal and y3.script_dep is y2.finish_signal
    # The source keeps the links its evaluate made.
    assert x3.script_dep is x2.finish_signal


def test_copy_refuses_waits_outside_the_chain_and_chains_without_actions(module):
    waiting = RecordingAction(module)
    waiting.add_dependencies(ZarnId("elsewhere"))
    with pytest.raises(ValueError, match="elsewhere"):
        block_of(waiting).copy()
    other = RecordingAction(module)
    waiting_on_other = RecordingAction(module)
    waiting_on_other.add_dependencies(other)
    with pytest.raises(ValueError, match="not one of the copied"):
        block_of(waiting_on_other).copy()
    with pytest.raises(IndexError):
        StandardBlock().copy()


# --- lookups ---------------------------------------------------------------------------


def test_first_last_and_is_resolved(module):
    a, b = RecordingAction(module), RecordingAction(module)
    assert StandardBlock().first() is None
    with pytest.raises(IndexError):
        StandardBlock().last()
    head = chain(block_of(a), block_of(b))
    assert head.first() is a and head.last() is b
    assert StandardBlock().is_resolved()
    assert not block_of(a, ZarnId("x")).is_resolved()


def test_local_variables_map_shares_the_lists_and_the_earlier_id_wins(module):
    first = block_of(RecordingAction(module), identifier="x")
    middle = block_of(RecordingAction(module))
    last = block_of(RecordingAction(module), identifier="x")
    names = chain(first, middle, last).get_local_variables_map()
    assert list(names) == ["x"]
    assert names["x"] is first.action_seq
    first.add([RecordingAction(module)])
    assert len(names["x"]) == 2


def test_module_consistency_compares_neighbours_of_the_flattened_chain(module):
    gripper = Module("gripper")
    assert StandardBlock().is_module_consistent()
    assert block_of(RecordingAction(module)).is_module_consistent()
    mixed = chain(block_of(RecordingAction(module)), block_of(RecordingAction(gripper)))
    assert not mixed.is_module_consistent()
    # Same name, different module objects: not consistent either.
    twin = chain(
        block_of(RecordingAction(module)), block_of(RecordingAction(Module("axis")))
    )
    assert not twin.is_module_consistent()


def test_remembered_checks_follow_changes_anywhere_down_the_chain(module):
    # The compiler's pattern: each new head is checked once its tail is.
    gripper = Module("gripper")
    tail = block_of(RecordingAction(module))
    middle = chain(block_of(RecordingAction(module)), tail)
    assert middle.is_module_consistent()
    head = chain(block_of(RecordingAction(module)), middle)
    assert head.is_module_consistent()
    assert head.resolve_global({}) is True

    tail.action_seq = [RecordingAction(gripper)]  # deep down the chain
    assert not head.is_module_consistent()
    tail.action_seq = [RecordingAction(module)]
    assert head.is_module_consistent()
    tail.add([RecordingAction(Module("axis"))])  # same name, another module object
    assert not head.is_module_consistent()
    tail.action_seq = [RecordingAction(module)]
    tail.next_block = block_of(ZarnId("new"))
    assert head.resolve_global({}) is True  # the name was dropped with a warning
    assert tail.next_block.action_seq == []
    middle.isCompete = True
    with pytest.raises(TypeError, match="competing"):
        head.is_module_consistent()  # the flag is seen: no stale answer


# --- long chains --------------------------------------------------------------------------


def test_long_chains_need_no_recursion(module):
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        head = None
        for i in range(30_000):
            block = block_of(RecordingAction(module), identifier=f"b{i}")
            block.next_block = head
            head = block
        assert head.is_module_consistent()
        assert head.resolve_global({}) is True
        assert len(head.evaluate()) == 30_000
        assert len(head.get_local_variables_map()) == 30_000
        assert head.resolve_local({}) is True
        assert len(head.async_copy().evaluate()) == 30_000
        assert len(head.copy().action_seq) == 30_000
        assert len(head.run_plan().steps) == 30_000
        alive = weakref.ref(head.next_block.next_block)
        del head, block
        gc.collect()
        assert alive() is None
    finally:
        sys.setrecursionlimit(limit)


def test_a_chain_that_loops_back_is_reported_not_walked_forever(module):
    one, two = block_of(RecordingAction(module)), block_of(RecordingAction(module))
    chain(one, two)
    two.next_block = one
    for call in (one.evaluate, one.last, one.is_module_consistent, one.run_plan):
        with pytest.raises(ValueError, match="loops back"):
            call()
    with pytest.raises(ValueError, match="loops back"):
        one.resolve_global({})
    two.next_block = None


def test_reference_cycles_through_blocks_are_collected(module):
    block = block_of(RecordingAction(module))
    block.next_block = block
    block.action_seq.append(block)
    block.me = block
    alive = weakref.ref(block)
    del block
    gc.collect()
    assert alive() is None
