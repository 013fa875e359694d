import pytest
from support.actions import Module, RecordingAction
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import AsyncBlock, CompeteBlock, StandardBlock


def block_of(*items, identifier=None):
    block = StandardBlock(identifier=identifier)
    block.add(list(items))
    return block


def name(text, *waits):
    identifier = ZarnId(text)
    for wait in waits:
        identifier.add_dependencies(ZarnId(wait))
    return identifier


# --- global resolution of plain declared blocks ----------------------------------------


def test_a_declared_block_is_inserted_as_a_fresh_copy_in_place(module):
    a1, a2 = RecordingAction(module, label="a1"), RecordingAction(module, label="a2")
    b1, b2 = RecordingAction(module, label="b1"), RecordingAction(module, label="b2")
    declared = block_of(b1, b2, identifier="x")
    x = name("x", "wait")
    block = block_of(a1, x, a2)

    assert block.resolve_global({"x": declared}) is True
    assert [a.label for a in block.action_seq] == ["a1", "b1", "b2", "a2"]
    c1, c2 = block.action_seq[1:3]
    assert c1 not in (b1, b2) and c2 not in (b1, b2)
    assert [d.id for d in c1.dependency] == ["wait"]
    assert c2.script_dep is c1.finish_signal
    assert declared.action_seq == [b1, b2]


def test_the_same_declared_block_named_twice_gives_two_copies(module):
    declared = block_of(RecordingAction(module))
    block = block_of(name("x"), name("x"))
    block.resolve_global({"x": declared})
    first, second = block.action_seq
    assert first is not second and declared.action_seq[0] not in (first, second)


def test_an_undeclared_name_is_dropped_with_the_warning_line(module, capsys):
    a = RecordingAction(module)
    block = block_of(a, name("missing"))
    assert block.resolve_global({"other": block_of(RecordingAction(module))}) is True
    assert block.action_seq == [a]
    line = capsys.readouterr().out
    assert line.startswith(
        "[WARN] Global variable: missing doesn't exist in {'other': "
    )
    assert line.count("\n") == 1

    assert block_of(name("nothing")).resolve_global() is True
    assert "Global variable: nothing doesn't exist in {}" in capsys.readouterr().out


def test_the_warning_goes_through_pythons_stdout(module, monkeypatch):
    import io
    import sys

    captured = io.StringIO()
    monkeypatch.setattr(sys, "stdout", captured)
    block_of(name("ghost")).resolve_global({})
    assert "ghost doesn't exist in {}" in captured.getvalue()


def test_the_walk_stops_at_the_first_unresolved_block(module, capsys):
    second = block_of(name("later"))
    first = block_of("junk")
    first.next_block = second
    assert first.resolve_global({}) is False
    assert second.action_seq[0].id == "later"  # not visited
    assert capsys.readouterr().out == ""

    only_a_name = block_of(name("gone"))
    tail = block_of(RecordingAction(module), name("gone too"))
    only_a_name.next_block = tail
    assert only_a_name.resolve_global({}) is True
    assert only_a_name.action_seq == [] and len(tail.action_seq) == 1


def test_a_failing_insertion_leaves_the_sequence_as_it_was(module):
    gripper = Module("gripper")
    block = block_of(name("grip"), RecordingAction(module))
    before = list(block.action_seq)
    with pytest.raises(AssertionError):
        block.resolve_global({"grip": block_of(RecordingAction(gripper))})
    assert block.action_seq == before
    with pytest.raises(Exception, match="not resolved"):
        block.resolve_global({"grip": block_of(name("unresolved"))})
    assert block.action_seq == before

    # Only the first item of the new sequence is compared.
    later = block_of(RecordingAction(module), name("grip"))
    assert later.resolve_global({"grip": block_of(RecordingAction(gripper))}) is True
    assert not later.is_module_consistent()


def test_a_block_without_names_keeps_its_list(module):
    block = block_of(RecordingAction(module), identifier="x")
    names = block.get_local_variables_map()
    block.resolve_global({})
    assert names["x"] is block.action_seq


# --- the hand-over to a parallel or competing substitute -----------------------------------


def parallel_of(*branches, identifier=None):
    group = AsyncBlock(list(branches), identifier=identifier)
    assert group.resolve_parallel()
    return group


def test_naming_a_declared_parallel_group_hands_the_chain_over(module):
    gripper = Module("gripper")
    declared = parallel_of(
        block_of(RecordingAction(module)),
        block_of(RecordingAction(gripper)),
        identifier="g",
    )
    x = name("g")
    block = block_of(x, identifier=None)
    rest = block_of(RecordingAction(module), name("undeclared"))
    block.next_block = rest

    assert block.resolve_global({"g": declared}) is None
    assert block.isAsync is True and block.isCompete is False
    assert block.action_seq == [x]
    substitute = block.tmp_async_block
    assert isinstance(substitute, AsyncBlock) and substitute is not declared
    assert sorted(substitute.async_block_map) == ["axis", "gripper"]
    # The rest of the chain follows as a copy, still unresolved.
    copied_rest = substitute.next_block
    assert copied_rest is not rest and copied_rest.action_seq[1].id == "undeclared"
    assert rest.action_seq[1].id == "undeclared"


def test_the_names_wait_clause_and_label_carry_over_to_the_substitute(module):
    declared = parallel_of(block_of(RecordingAction(module)), identifier="g")
    block = block_of(name("g", "before"), identifier="step")
    block.resolve_global({"g": declared})
    substitute = block.tmp_async_block
    assert [d.id for d in substitute.first().dependency] == ["before"]
    assert substitute.id == "step"

    unlabelled = block_of(name("g"))
    unlabelled.resolve_global({"g": declared})
    assert unlabelled.tmp_async_block.id == "g"
    assert unlabelled.tmp_async_block.first().dependency == []


def test_a_declared_groups_own_tail_is_kept_before_the_rest(module):
    declared = parallel_of(
        block_of(RecordingAction(module, label="inside")), identifier="g"
    )
    declared.next_block = block_of(RecordingAction(module, label="declared tail"))
    block = block_of(name("g"))
    block.next_block = block_of(RecordingAction(module, label="rest"))
    block.resolve_global({"g": declared})
    plan = block.tmp_async_block.run_plan()
    labels = [s.action.label for s in plan.steps if s.kind == "action"]
    assert labels == ["inside", "declared tail", "rest"]


def test_a_group_name_must_stand_alone_in_its_statement(module):
    declared = parallel_of(block_of(RecordingAction(module)), identifier="g")
    other = RecordingAction(module)
    block = block_of(other, name("g"))
    with pytest.raises(ValueError, match="must stand alone"):
        block.resolve_global({"g": declared})
    assert block.isAsync is False and block.action_seq[0] is other
    with pytest.raises(ValueError, match="must stand alone"):
        block_of(name("g"), name("g")).resolve_global({"g": declared})


def test_naming_a_declared_competing_group_takes_its_module(module):
    declared = CompeteBlock(
        [block_of(RecordingAction(module)), block_of(RecordingAction(module))]
    )
    declared.module_name = "axis"
    assert declared.resolve_within_competition()
    block = block_of(name("c"))
    block.next_block = block_of(RecordingAction(module))
    assert block.resolve_global({"c": declared}) is None
    assert block.isCompete is True and block.isAsync is False
    assert block.module_name == "axis"
    substitute = block.tmp_compete_block
    assert isinstance(substitute, CompeteBlock) and substitute is not declared
    assert len(substitute.compete_blocks) == 2
    assert substitute.next_block is not None


# --- local resolution -----------------------------------------------------------------------


def test_local_names_resolve_to_the_last_action_of_the_labelled_block(module):
    a1 = RecordingAction(module)
    a2 = RecordingAction(module)
    a2.add_dependencies([ZarnId("x"), ZarnId("nowhere")])
    head = block_of(a1, identifier="x")
    head.next_block = block_of(a2, identifier="y")
    assert head.resolve_local(head.get_local_variables_map()) is True
    assert a2.dependency[0] is a1
    assert a2.dependency[1].id == "nowhere"


def test_local_resolution_needs_global_resolution_first(module):
    with pytest.raises(AttributeError):
        block_of(ZarnId("x")).resolve_local({})
    waiting = RecordingAction(module)
    waiting.add_dependencies(ZarnId("empty"))
    with pytest.raises(IndexError):
        block_of(waiting).resolve_local({"empty": []})
