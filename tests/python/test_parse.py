"""Zarn.parse with semantics objects written for the tests: which rules are
called, in which order, with which entries, and what the parse nodes offer."""

import copy
import gc
import pickle
import subprocess
import sys
import threading
import time

import pytest

import Zarn
from Zarn.parsing import RULES, TOKEN_RULES, ParseNode, SourcePosition


class Value:
    """What a recorded rule returned: its rule, its call number and its input."""

    def __init__(self, rule, number, ast):
        self.rule, self.number, self.ast = rule, number, ast

    def __repr__(self):
        return f"<{self.rule} #{self.number}>"


class Recorder:
    """Has a method for every rule; each returns a fresh Value and notes the call."""

    def __init__(self):
        self.calls = []

    def _record(self, rule, ast):
        value = Value(rule, len(self.calls), ast)
        self.calls.append(value)
        return value

    def named(self, rule):
        return [call for call in self.calls if call.rule == rule]


for _rule in RULES:
    setattr(Recorder, _rule, lambda self, ast, _rule=_rule: self._record(_rule, ast))


def values_in(ast):
    """The values a node holds, lists and tray pairs opened up."""
    for value in ast.values():
        if isinstance(value, (list, tuple)):
            yield from value
        else:
            yield value


def shape(value):
    """A recorded value as nested tuples: (rule, {entry: shape}) or (rule, text)."""
    if isinstance(value, Value):
        if value.rule in TOKEN_RULES:
            return (value.rule, value.ast)
        return (value.rule, {key: shape(entry) for key, entry in value.ast.items()})
    if isinstance(value, list):
        return [shape(item) for item in value]
    if isinstance(value, tuple):
        return tuple(shape(item) for item in value)
    return value


def main_body(text):
    """The shape of what `block main ...` declares (the script's last declaration)."""
    recorder = Recorder()
    result = Zarn.parse(text, recorder)
    declaration = recorder.named("declaration")[-1]
    assert result is recorder.calls[-1]
    return shape(declaration.ast["action"])


def only_statement(text):
    body = main_body("block main { " + text + " }")
    assert body[0] == "asyncblock" and list(body[1]) == ["asyncleft"]
    block = body[1]["asyncleft"]
    assert block[0] == "block" and list(block[1]) == ["primary"]
    return block[1]["primary"]


MOD = ("module", "@x")


def ident(name):
    return ("identifier", name)


def seq(*blocks):
    """The shape of a braced sequence of plain statements (primaries given)."""
    chain = None
    for primary in reversed(blocks):
        entries = {"primary": primary}
        if chain is not None:
            entries["others"] = chain
        chain = ("block", entries)
    return ("asyncblock", {"asyncleft": chain})


def move(name, module=MOD):
    return ("move", {"mod": module, "ident": ident(name)})


class TestRules:
    def test_token_rules_get_their_text(self):
        assert only_statement("@gripper set vacuum on") == (
            "io",
            {
                "mod": ("module", "@gripper"),
                "ident": ident("vacuum"),
                "status": ("number", "1"),
            },
        )
        assert only_statement("@io set lamp off")[1]["status"] == ("number", "0")
        assert only_statement("@io set level -12")[1]["status"] == ("number", "-12")
        assert only_statement("@io set mode 'fast'")[1]["status"] == (
            "extern_str",
            "'fast'",
        )

    def test_external_collects_left_and_a_list_on_the_right(self):
        assert only_statement("@cam.start()") == (
            "external",
            {"mod": ("module", "@cam"), "ident": ident("start")},
        )
        assert only_statement("@cam.shoot(0)")[1] == {
            "mod": ("module", "@cam"),
            "ident": ident("shoot"),
            "argLeft": ("number", "0"),
        }
        assert only_statement('@cam.shoot("part", 3)')[1]["argRight"] == [
            ("number", "3")
        ]
        assert only_statement('@cam.shoot(1, "two", \'thr"ee\')')[1]["argRight"] == [
            ("extern_str", '"two"'),
            ("extern_str", "'thr\"ee'"),
        ]

    def test_move_and_transfer(self):
        assert only_statement("@x move home") == move("home")
        assert only_statement("@arm pick from feeder") == (
            "transfer",
            {
                "mod": ("module", "@arm"),
                "ident": ident("pick"),
                "tray": ident("feeder"),
            },
        )
        assert only_statement("@arm place into outbox[4]")[1]["tray"] == (
            ident("outbox"),
            ("number", "4"),
        )

    def test_statements_chain_through_others_with_labels_and_waits(self):
        body = main_body(
            """block main {
                a: @x move p
                b: @x move q after a
                @x move r after a, b
            }"""
        )
        first = body[1]["asyncleft"]
        assert first == (
            "block",
            {
                "ident": ident("a"),
                "primary": move("p"),
                "others": (
                    "block",
                    {
                        "ident": ident("b"),
                        "primary": move("q"),
                        "wait": "after",
                        "dependency": ident("a"),
                        "others": (
                            "block",
                            {
                                "primary": move("r"),
                                "wait": "after",
                                "dependLeft": ident("a"),
                                "dependRight": [ident("b")],
                            },
                        ),
                    },
                ),
            },
        )

    def test_several_items_make_a_list_primary(self):
        primary = main_body(
            "block step { @x move a } block main { @x move p, step, @x move q }"
        )[1]["asyncleft"][1]["primary"]
        assert primary == [move("p"), ident("step"), move("q")]

    def test_groups_loops_and_guards(self):
        y = ("module", "@y")
        assert main_body(
            "block main parallel { @x move a } and { @y move b } and { @x move c }"
        ) == (
            "asyncblock",
            {
                "asyncleft": seq(move("c")),
                "asyncright": [seq(move("a")), seq(move("b", y))],
            },
        )
        assert main_body(
            "block main compete priority low { @x move a } or { @x move b }"
        ) == (
            "competeblock",
            {
                "competeleft": seq(move("b")),
                "competeright": [seq(move("a"))],
                "priorities": ["LOW", None],
            },
        )
        assert main_body("block main repeat 3 { @x move a }") == (
            "loop",
            {"iterateBlock": seq(move("a")), "cnt": ("number", "3")},
        )
        assert main_body("block main try { @x move a } except { @x move b }") == (
            "actionclause",
            {"primary": seq(move("a")), "exception": seq(move("b"))},
        )
        assert "exception" not in main_body("block main try { @x move a }")[1]

    def test_every_value_is_used_once_and_only_after_it_was_made(self):
        recorder = Recorder()
        Zarn.parse(
            """
            block pick { @x move above  @x move down }
            block main {
                compete priority high { @z set s 1 } or { @z set s 0 }
                g: parallel { a: pick  @x move up after b } and { b: @y move q }
                repeat 2 { @x.wiggle(1, "two") }
                try { @arm place into box[1] } except { @arm move safe }
                @x move last
            }""",
            recorder,
        )
        assert {call.rule for call in recorder.calls} == set(RULES)
        used = set()
        for call in recorder.calls:
            if call.rule in TOKEN_RULES:
                assert isinstance(call.ast, str)
                continue
            for value in values_in(call.ast):
                if isinstance(value, Value):
                    assert value.number < call.number, (call, value)
                    assert value.number not in used, f"{value} used twice"
                    used.add(value.number)
        # What is never used: the start rule's result, the top-level
        # declarations' values (listed in the start rule, so used), and the
        # hoisted declarations, called only for what they declare.
        unused = [
            call
            for call in recorder.calls
            if call.number not in used and call.rule not in ("action",)
        ]
        assert {call.rule for call in unused} == {"declaration"}
        hoisted = sorted(call.ast["ident"].ast for call in unused)
        assert hoisted == [
            "_compete@L4C17",
            "_parallel@L5C20",
            "_repeat@L6C17",
            "_try@L7C17",
        ]

    def test_hoisted_declaration_comes_before_the_statement_that_names_it(self):
        recorder = Recorder()
        Zarn.parse(
            "block main {\n  p: @x move a\n  r: repeat 2 { @x move b } after p\n}",
            recorder,
        )
        declarations = recorder.named("declaration")
        hoisted = declarations[0]
        assert hoisted.ast["ident"].ast == "_repeat@L3C6"
        assert hoisted.ast["action"].rule == "loop"
        statement = next(
            call
            for call in recorder.named("block")
            if call.ast.get("ident") is not None and call.ast["ident"].ast == "r"
        )
        assert statement.ast["primary"].rule == "identifier"
        assert statement.ast["primary"].ast == "_repeat@L3C6"
        assert hoisted.number < statement.ast["primary"].number < statement.number
        assert shape(statement.ast["dependency"]) == ident("p")
        assert declarations[-1].ast["ident"].ast == "main"

    def test_top_level_declarations_come_in_script_order_and_feed_the_start_rule(self):
        recorder = Recorder()
        result = Zarn.parse(
            "block a { @x move p }\nblock b { a }\nblock main { b }", recorder
        )
        assert result.rule == "action"
        declarations = result.ast["declarations"]
        assert [d.ast["ident"].ast for d in declarations] == ["a", "b", "main"]
        assert [d.number for d in declarations] == sorted(
            d.number for d in declarations
        )
        assert result.ast.position == (1, 1)


class TestSemanticsObjects:
    def test_rules_without_methods_keep_their_text_or_node(self):
        class OnlyNumbers:
            def number(self, ast):
                return int(ast)

        result = Zarn.parse("block main repeat 3 { @x move a }", OnlyNumbers())
        assert isinstance(result, ParseNode) and result.rule == "action"
        loop = result.declarations[0].action
        assert loop.rule == "loop"
        assert loop.cnt == 3
        move_node = loop.iterateBlock.asyncleft.primary
        assert move_node.rule == "move"
        assert move_node.mod == "@x" and move_node.ident == "a"

    def test_any_object_serves(self):
        for semantics in (object(), None, 42):
            assert Zarn.parse("block main { @x move a }", semantics).rule == "action"

    def test_a_long_chain_is_walked_without_deep_recursion(self):
        statements = 20_000
        text = "block main {\n" + "".join(
            f"  s{i}: @x move p{i}" + (f" after s{i - 1}\n" if i else "\n")
            for i in range(statements)
        )
        text += "}\n"

        class Counting:
            blocks = 0

            def block(self, ast):
                self.blocks += 1
                return ("block", ast.ident, ast.others)

        semantics = Counting()
        outcome = {}

        def run():
            outcome["result"] = Zarn.parse(text, semantics)

        # A small stack for the thread: walking 20,000 statements must not
        # use one C frame per statement.
        previous = threading.stack_size(256 * 1024)
        try:
            thread = threading.Thread(target=run)
            thread.start()
            thread.join(timeout=50)
        finally:
            threading.stack_size(previous)
        assert not thread.is_alive()
        assert semantics.blocks == statements
        chain = outcome["result"].declarations[0].action.asyncleft
        length = 0
        while chain is not None:
            length += 1
            chain = chain[2]
        assert length == statements

        # And with no block method the nodes nest 20,000 deep; their repr
        # stays short and freeing them does not overflow the stack.
        nested = Zarn.parse(text, object())
        assert len(repr(nested)) < 200
        del nested

    def test_the_collector_is_restored_after_a_parse(self):
        assert gc.isenabled()
        Zarn.parse("block main { @x move a }", object())
        assert gc.isenabled()
        with pytest.raises(Zarn.ZarnSyntaxError):
            Zarn.parse("block main {", object())
        assert gc.isenabled()
        gc.disable()
        try:
            Zarn.parse("block main { @x move a }", object())
            assert not gc.isenabled()
        finally:
            gc.enable()

    def test_import_zarn_does_not_load_the_parser(self):
        code = (
            "import sys, Zarn\n"
            "assert 'Zarn._zarnparser' not in sys.modules\n"
            "assert Zarn.parse('block main { @x move a }', None).rule == 'action'\n"
            "assert 'Zarn._zarnparser' in sys.modules\n"
        )
        subprocess.run([sys.executable, "-c", code], check=True, timeout=30)


class TestParseNode:
    def test_reads_as_map_and_as_fields(self):
        node = Zarn.parse("block main { a: @x move p }", object()).declarations[0]
        block = node.action.asyncleft
        assert block.rule == "block"
        assert block.position == (1, 14)
        assert block.position.line == 1 and block.position.column == 14
        assert block.ident == "a" and block["ident"] == "a"
        assert block.others is None and block.wait is None
        assert block.get("others") is None
        assert block.get("others", "none") == "none"
        assert list(block.keys()) == ["ident", "primary"]
        assert list(block) == ["ident", "primary"] and len(block) == 2
        assert "primary" in block and "others" not in block
        with pytest.raises(KeyError):
            block["others"]
        assert "position" not in block and "rule" not in block

    def test_repr_is_short_and_readable(self):
        block = Zarn.parse(
            "block main { a: @x move p  @x move q }", object()
        ).declarations[0]
        text = repr(block.action.asyncleft)
        assert text == (
            "block(ident='a', primary=<move node at 1:17>, "
            "others=<block node at 1:28>) at 1:14"
        )

    def test_copies_and_pickles_keep_rule_and_position(self):
        node = ParseNode("move", SourcePosition(3, 5), mod="@x", ident="p")
        for twin in (
            copy.copy(node),
            copy.deepcopy(node),
            pickle.loads(pickle.dumps(node)),
        ):
            assert twin == node and twin is not node
            assert twin.rule == "move" and twin.position == (3, 5)
            assert twin.ident == "p"
        assert not hasattr(node, "__deepcopy__")


class TestPositions:
    def test_every_identifier_value_gets_its_place_and_is_held(self):
        recorder = Recorder()
        positions = {}
        Zarn.parse(
            "block main {\n  grip: @g set vacuum on\n  @x move home after grip\n}",
            recorder,
            positions=positions,
        )
        idents = recorder.named("identifier")
        assert [i.ast for i in idents] == ["main", "grip", "vacuum", "home", "grip"]
        assert len(positions) == len(idents)
        places = [positions[id(i)] for i in idents]
        assert places == [(1, 7), (2, 3), (2, 16), (3, 11), (3, 22)]
        assert all(p.value is i for p, i in zip(places, idents))
        assert isinstance(places[0], SourcePosition)
        assert repr(places[4]) == "SourcePosition(line=3, column=22)"

    def test_values_stay_alive_while_their_entry_lives(self):
        class Fresh:
            def identifier(self, ast):
                return [ast]  # a new object nobody else keeps

        positions = {}
        Zarn.parse("block main { @x move home }", Fresh(), positions=positions)
        assert sorted(p.value[0] for p in positions.values()) == ["home", "main"]
        for key, position in positions.items():
            assert id(position.value) == key


class TestEntryPoint:
    def test_bytes_and_text_read_alike(self):
        text = "block main { @x set s 'caf\u00e9' }"
        as_text = Zarn.parse(text, object())
        as_bytes = Zarn.parse(text.encode(), object())
        assert as_text == as_bytes
        assert Zarn.parse(b"\xef\xbb\xbf" + text.encode(), object()) == as_text

    def test_a_script_must_be_text(self):
        with pytest.raises(TypeError, match="must be text"):
            Zarn.parse(12, object())

    def test_reading_releases_the_interpreter_lock(self):
        # A thread that wakes every half millisecond keeps waking while a
        # large script is read (12 MB of comments: slow to check, no nodes).
        # Were the lock held for the reading, its longest pause would be
        # about as long as the whole parse.
        text = (
            b"block main { @x move p }\n"
            + ("# " + "\u00e9" * 2000 + "\n").encode() * 3000
        )
        wakes = []
        stop = threading.Event()

        def wake_often():
            while not stop.is_set():
                wakes.append(time.perf_counter())
                time.sleep(0.0005)

        thread = threading.Thread(target=wake_often)
        thread.start()
        try:
            while len(wakes) < 3:
                time.sleep(0.001)
            started = time.perf_counter()
            Zarn.parse(text, None)
            ended = time.perf_counter()
        finally:
            stop.set()
            thread.join(timeout=10)
        during = [started] + [t for t in wakes if started < t < ended] + [ended]
        longest = max(b - a for a, b in zip(during, during[1:]))
        assert longest < (ended - started) / 2, (longest, ended - started)
