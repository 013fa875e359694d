"""ZarnSemantics driven with parse nodes: the block rules (block, loop,
actionclause, asyncblock, competeblock), with their wait clauses, global
resolution and hand-over, and every listed failure."""

import pytest
from support.actions import Module, RecordingAction, chain
from support.actions import block_of as plain
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import (
    AsyncBlock,
    CompeteBlock,
    RunExceptBlock,
    StandardBlock,
    ZarnPriority,
)
from Zarn.compiler import ZarnSemantics

from Zarn.lang.nodes import ParseNode

X, Y = Module("x"), Module("y")


def node(rule, **entries):
    return ParseNode(rule, (1, 1), **entries)


def act(label, module=X):
    return RecordingAction(module, label=label)


def labels(actions):
    return [getattr(a, "label", None) for a in actions]


def run_labels(block):
    return labels(s.action for s in block.run_plan().steps if s.kind == "action")


@pytest.fixture
def semantics():
    return ZarnSemantics(registry={})


class TestBlock:
    def test_a_statement_without_label_wait_or_follower(self, semantics):
        a = act("a")
        made = semantics.block(node("block", primary=a))
        assert type(made) is StandardBlock
        assert made.id is None and made.next_block is None
        assert made.action_seq == [a]

    def test_a_label_names_the_block_and_a_list_fills_it_in_order(self, semantics):
        a, b = act("a"), act("b")
        made = semantics.block(node("block", ident=ZarnId("grip"), primary=[a, ";", b]))
        assert made.id == "grip" and made.action_seq == [a, b]

    def test_a_single_dependency_wins_over_left_and_right(self, semantics):
        made = semantics.block(
            node(
                "block",
                primary=act("a"),
                wait="after",
                dependency="p",
                dependLeft="q",
                dependRight=["r"],
            )
        )
        assert made.first().dependency == ["p"]

    def test_left_then_each_right_dependency_goes_to_the_first_item(self, semantics):
        a, b = act("a"), act("b")
        p, q, r = ZarnId("p"), ZarnId("q"), ZarnId("r")
        made = semantics.block(
            node(
                "block", primary=[a, b], wait="after", dependLeft=p, dependRight=[q, r]
            )
        )
        assert made.first() is a
        assert a.dependency == [p, q, r] and b.dependency == []
        one = semantics.block(
            node("block", primary=act("c"), wait="x", dependLeft=p, dependRight=q)
        )
        assert one.first().dependency == [p, q]

    def test_without_the_wait_marker_no_dependency_is_added(self, semantics):
        made = semantics.block(node("block", primary=act("a"), dependency="p"))
        assert made.first().dependency == []

    def test_a_wait_on_an_empty_block_is_a_lookup_error(self, semantics):
        with pytest.raises(LookupError, match="empty"):
            semantics.block(node("block", primary=[], wait="after", dependency="p"))

    def test_the_follower_is_linked_and_the_chain_checked(self, semantics):
        later = semantics.block(node("block", primary=act("b")))
        made = semantics.block(node("block", primary=act("a"), others=later))
        assert made.next_block is later
        assert run_labels(made) == ["a", "b"]
        other_module = semantics.block(node("block", primary=act("c", Y)))
        with pytest.raises(AssertionError):
            semantics.block(node("block", primary=act("d"), others=other_module))

    def test_a_declared_name_is_inserted_with_the_names_waits(self, semantics):
        semantics.global_zone["pick"] = plain(act("p1"), act("p2"), identifier="pick")
        grip = ZarnId("grip")
        made = semantics.block(
            node(
                "block",
                primary=[act("a"), ZarnId("pick")],
                wait="after",
                dependency=grip,
            )
        )
        assert labels(made.action_seq) == ["a", "p1", "p2"]
        # The wait went to the first item, an action here, not to the name.
        assert made.action_seq[0].dependency == [grip]
        name_first = semantics.block(
            node("block", primary=ZarnId("pick"), wait="after", dependency=grip)
        )
        assert name_first.action_seq[0].dependency == [grip]  # handed to the copy
        assert semantics.global_zone["pick"].action_seq[0].dependency == []

    def test_a_name_of_a_declared_group_returns_its_substitute(self, semantics, capsys):
        group = AsyncBlock([plain(act("g1")), plain(act("g2", Y))])
        group.resolve_parallel()
        semantics.global_zone["both"] = group
        rest = semantics.block(node("block", primary=act("after")))
        made = semantics.block(
            node("block", ident=ZarnId("lbl"), primary=ZarnId("both"), others=rest)
        )
        assert isinstance(made, AsyncBlock) and made is not group
        assert made.id == "lbl"
        follower = made.next_block
        assert follower is not rest and labels(follower.action_seq) == ["after"]
        assert follower.action_seq[0] is not rest.action_seq[0]  # a copy of the rest
        assert sorted(run_labels(made)) == ["after", "g1", "g2"]
        assert capsys.readouterr().out == ""

    def test_a_name_of_a_declared_competing_group_returns_its_substitute(
        self, semantics
    ):
        group = CompeteBlock([plain(act("c1")), plain(act("c2"))])
        group.module_name = "x"
        group.resolve_within_competition()
        semantics.global_zone["turns"] = group
        made = semantics.block(node("block", primary=ZarnId("turns")))
        assert isinstance(made, CompeteBlock) and made is not group
        assert run_labels(made) == ["c1", "c2"]

    def test_an_undeclared_name_is_dropped_with_the_warning(self, semantics, capsys):
        made = semantics.block(node("block", primary=[act("a"), ZarnId("ghost")]))
        assert labels(made.action_seq) == ["a"]
        assert capsys.readouterr().out.startswith(
            "[WARN] Global variable: ghost doesn't exist in {}"
        )


class TestLoop:
    def test_a_plain_block_is_copied_count_times_into_a_new_block(self, semantics):
        a, b = act("a"), act("b")
        body = plain(a, b)
        once = semantics.loop(node("loop", iterateBlock=body, cnt=1))
        assert type(once) is StandardBlock and once is not body
        assert labels(once.action_seq) == ["a", "b"]
        assert not {id(x) for x in once.action_seq} & {id(a), id(b)}
        thrice = semantics.loop(node("loop", iterateBlock=body, cnt="3"))
        assert labels(thrice.action_seq) == ["a", "b"] * 3
        assert len({id(x) for x in thrice.action_seq}) == 6

    @pytest.mark.parametrize("count", [0, -2, "0"])
    def test_a_plain_block_with_a_count_below_one_gives_an_empty_block(
        self, semantics, count
    ):
        result = semantics.loop(node("loop", iterateBlock=plain(act("a")), cnt=count))
        assert type(result) is StandardBlock and result.action_seq == []

    def test_a_count_that_is_no_integer_is_a_value_error(self, semantics):
        with pytest.raises(ValueError):
            semantics.loop(node("loop", iterateBlock=plain(act("a")), cnt="two"))

    def test_a_count_beyond_64_bits_is_refused_not_wrapped(self, semantics):
        with pytest.raises(
            ValueError, match="a loop count of 18446744073709551616 is too large"
        ):
            semantics.loop(node("loop", iterateBlock=plain(act("a")), cnt=2**64))

    def group(self):
        made = AsyncBlock([plain(act("x1")), plain(act("y1", Y))])
        assert made.resolve_parallel()
        return made

    def test_a_parallel_group_gets_count_minus_one_further_rounds(self, semantics):
        group = self.group()
        branches_before = dict(group.async_block_map)
        result = semantics.loop(node("loop", iterateBlock=group, cnt=3))
        assert result is group
        # Every branch was replaced by a new plain block of the same actions.
        for key, branch in group.async_block_map.items():
            assert branch is not branches_before[key]
            assert type(branch) is StandardBlock
            assert branch.action_seq == branches_before[key].action_seq
        rounds = list(_chain_of(group))
        assert len(rounds) == 3 and all(isinstance(r, AsyncBlock) for r in rounds)
        assert sorted(run_labels(group)) == sorted(["x1", "y1"] * 3)

    def test_a_parallel_group_once_is_the_group_itself(self, semantics):
        group = self.group()
        assert semantics.loop(node("loop", iterateBlock=group, cnt=1)) is group
        assert group.next_block is None

    @pytest.mark.parametrize("count", [0, -1])
    def test_a_parallel_group_refuses_a_count_below_one_unchanged(
        self, semantics, count
    ):
        group = self.group()
        branches = dict(group.async_block_map)
        with pytest.raises(ValueError, match="at least 1"):
            semantics.loop(node("loop", iterateBlock=group, cnt=count))
        assert group.async_block_map == branches and group.next_block is None


def _chain_of(block):
    while block is not None:
        yield block
        block = block.next_block


class TestActionclause:
    def test_an_exception_part_makes_a_guarded_block(self, semantics):
        handler = plain(act("h"))
        guarded = semantics.actionclause(
            node("actionclause", primary=plain(act("a"), act("b")), exception=handler)
        )
        assert type(guarded) is RunExceptBlock and guarded.exception is handler
        assert labels(guarded.action_seq) == ["a", "b"]
        assert all(a.guard is guarded.guard for a in guarded.action_seq)

    def test_the_key_counts_not_its_value(self, semantics):
        keyed = semantics.actionclause(
            node("actionclause", primary=plain(act("a")), exception=None)
        )
        assert type(keyed) is RunExceptBlock and keyed.exception is None
        bare = semantics.actionclause(node("actionclause", primary=plain(act("a"))))
        assert type(bare) is StandardBlock

    def test_a_group_is_returned_as_it_is_with_its_handler_unused(self, semantics):
        group = AsyncBlock([plain(act("x")), plain(act("y", Y))])
        assert (
            semantics.actionclause(
                node("actionclause", primary=group, exception=plain(act("h")))
            )
            is group
        )
        turns = CompeteBlock([plain(act("c"))])
        assert semantics.actionclause(node("actionclause", primary=turns)) is turns


class Unresolvable(StandardBlock):
    """A kind whose local resolution always reports failure."""

    def resolve_local(self, local_dep):
        return False


class TestAsyncblock:
    def test_without_a_right_side_the_left_chain_resolves_its_own_names(
        self, semantics
    ):
        first = plain(act("a"), identifier="lbl")
        waiting = act("b")
        waiting.add_dependencies(ZarnId("lbl"))
        left = chain(first, plain(waiting))
        for right in (None, []):
            result = semantics.asyncblock(
                node("asyncblock", asyncleft=left, asyncright=right)
            )
            assert result is left
        assert waiting.dependency == [first.action_seq[-1]]

    def test_the_group_list_is_the_right_side_then_the_left(self, semantics):
        r1, r2, left = plain(act("r1")), plain(act("r2", Y)), plain(act("l"))
        right = [r1, r2]
        group = semantics.asyncblock(
            node("asyncblock", asyncleft=left, asyncright=right)
        )
        assert isinstance(group, AsyncBlock)
        assert right == [r1, r2, left]  # the node's own list was extended
        assert labels(group.async_block_map["x"].action_seq) == ["r1", "l"]
        single = semantics.asyncblock(
            node("asyncblock", asyncleft=plain(act("a")), asyncright=plain(act("b", Y)))
        )
        assert sorted(single.async_block_map) == ["x", "y"]

    def test_waits_resolve_across_the_branches(self, semantics):
        waiting = act("y1", Y)
        waiting.add_dependencies(ZarnId("there"))
        target = plain(act("x1"), identifier="there")
        group = semantics.asyncblock(
            node("asyncblock", asyncleft=plain(waiting), asyncright=[target])
        )
        assert waiting.dependency == [target.action_seq[-1]]
        assert group.run_plan()

    def test_a_failed_resolution_is_an_assertion_error(self, semantics):
        with pytest.raises(AssertionError):
            semantics.asyncblock(node("asyncblock", asyncleft=Unresolvable()))


class TestCompeteblock:
    def test_the_group_takes_the_left_blocks_module_and_the_branches_in_order(
        self, semantics
    ):
        r, left = plain(act("r")), plain(act("l"))
        group = semantics.competeblock(
            node("competeblock", competeleft=left, competeright=[r])
        )
        assert isinstance(group, CompeteBlock) and group.module_name == "x"
        assert [labels(b.action_seq) for b in group.compete_blocks] == [["r"], ["l"]]

    def test_written_priorities_go_to_their_branches(self, semantics):
        first, second, third = plain(act("a")), plain(act("b")), plain(act("c"))
        group = semantics.competeblock(
            node(
                "competeblock",
                competeleft=third,
                competeright=[first, second],
                priorities=["HIGH", None, "low"],
            )
        )
        assert [b.priority for b in group.compete_blocks] == [
            ZarnPriority.HIGH,
            ZarnPriority.NORMAL,
            ZarnPriority.LOW,
        ]
        plan = group.run_plan()
        assert [b.priority for b in plan.competitions[0].branches] == [
            ZarnPriority.HIGH,
            ZarnPriority.NORMAL,
            ZarnPriority.LOW,
        ]

    @pytest.mark.parametrize(
        ("priorities", "error"),
        [(["HIGH"], "2 branches got 1 priorities"), (["URGENT", None], "not 'URGENT'")],
    )
    def test_priorities_that_do_not_fit_are_refused(self, semantics, priorities, error):
        with pytest.raises(ValueError, match=error):
            semantics.competeblock(
                node(
                    "competeblock",
                    competeleft=plain(act("a")),
                    competeright=[plain(act("b"))],
                    priorities=priorities,
                )
            )

    def test_an_empty_left_block_is_an_index_error(self, semantics):
        with pytest.raises(IndexError):
            semantics.competeblock(
                node(
                    "competeblock", competeleft=plain(), competeright=[plain(act("b"))]
                )
            )

    def test_branches_of_different_modules_are_refused(self, semantics):
        with pytest.raises(ValueError, match="one machine module"):
            semantics.competeblock(
                node(
                    "competeblock",
                    competeleft=plain(act("a")),
                    competeright=[plain(act("b", Y))],
                )
            )

    def test_without_a_right_side_the_left_resolves_alone(self, semantics):
        left = plain(act("a"))
        assert semantics.competeblock(node("competeblock", competeleft=left)) is left
        with pytest.raises(AssertionError):
            semantics.competeblock(node("competeblock", competeleft=Unresolvable()))
