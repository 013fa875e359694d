"""Zarn.parse with semantics objects written for the tests: which rules are
called, in which order, with which entries, and what the parse nodes offer;
and its errors: syntax errors with their place, failures of the semantics
wrapped with the rule's place, and hostile scripts."""

import copy
import gc
import pickle
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path

import pytest

import Zarn
from Zarn.lang.nodes import RULES, TOKEN_RULES, ParseNode, SourcePosition
from Zarn.lang.parsing import parse_body


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
        # Every rule of the syntax before conditions, parameters and `on stop`.
        assert {call.rule for call in recorder.calls} == set(
            RULES[: RULES.index("action") + 1]
        )
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

    def test_plain_statements_and_groups_mix_in_a_sequence(self):
        body = main_body(
            "block main {\n  @x move park\n"
            "  parallel { @x move input } and { @y move input }\n}"
        )
        assert body == seq(move("park"), ident("_parallel@L3C3"))

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


class TestBlocksWithParameters:
    # The comment's letters take two bytes each: offsets count bytes.
    SCRIPT = (
        "# \u00e9t\u00e9\n"
        "block pick_at(tray, slot) {\n"
        "    @arm pick from tray[slot]\n"
        "    repeat 2 { @arm.nudge(slot) }\n"
        "}\n"
        "block main { pick_at(feeder, 3) }\n"
    )

    def body_place(self):
        declaration = Zarn.parse(self.SCRIPT, None).declarations[0]
        return (
            int(declaration.bodystart),
            int(declaration.bodyline),
            int(declaration.bodycolumn),
        )

    def test_the_declaration_holds_its_parameters_and_where_its_body_is(self):
        recorder = Recorder()
        Zarn.parse(self.SCRIPT, recorder)
        declaration = recorder.named("declaration")[0]
        entries = shape(declaration)[1]
        assert entries.pop("params") == [ident("tray"), ident("slot")]
        assert entries.pop("ident") == ident("pick_at")
        assert entries == {
            "bodystart": "34",
            "bodyend": "101",
            "bodyline": "2",
            "bodycolumn": "27",
        }
        body = self.SCRIPT.encode()[34:101].decode()
        assert body.startswith("{\n    @arm pick") and body.endswith("}\n}")
        # The body is not valued where it is declared.
        assert not recorder.named("transfer") and not recorder.named("loop")
        call = shape(recorder.named("blockcall")[0])
        assert call == (
            "blockcall",
            {"ident": ident("pick_at"), "args": [ident("feeder"), ("number", "3")]},
        )

    def test_a_body_read_at_a_use_is_valued_in_its_real_places(self):
        recorder = Recorder()
        positions = {}
        value = parse_body(
            self.SCRIPT, recorder, "job.zarn", positions, *self.body_place()
        )
        assert value is recorder.calls[-1]
        assert shape(value) == seq(
            (
                "transfer",
                {
                    "mod": ("module", "@arm"),
                    "ident": ident("pick"),
                    "tray": (ident("tray"), ident("slot")),
                },
            ),
            ident("_repeat@L4C5"),
        )
        hoisted = recorder.named("declaration")
        assert [call.ast["ident"].ast for call in hoisted] == ["_repeat@L4C5"]
        assert sorted((p, p.value.ast) for p in positions.values()) == [
            ((3, 10), "pick"),
            ((3, 20), "tray"),
            ((3, 25), "slot"),
            ((4, 5), "_repeat@L4C5"),
            ((4, 5), "_repeat@L4C5"),
            ((4, 21), "nudge"),
            ((4, 27), "slot"),
        ]

        with pytest.raises(Zarn.ZarnCompileError) as caught:
            parse_body(
                self.SCRIPT,
                Failing("transfer", LookupError("no tray")),
                "job.zarn",
                None,
                *self.body_place(),
            )
        assert (caught.value.line, caught.value.column) == (3, 5)
        assert "      @arm pick from tray[slot]" in str(caught.value)
        with pytest.raises(ValueError, match="a place in the script"):
            parse_body(self.SCRIPT, None, "job.zarn", None, 10_000, 1, 1)


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


def syntax_error(text, filename="job.zarn"):
    with pytest.raises(Zarn.ZarnSyntaxError) as caught:
        Zarn.parse(text, None, filename=filename)
    return caught.value


class TestSyntaxErrors:
    def test_carries_what_syntax_error_carries(self):
        error = syntax_error("block main {\n  @x move\n}")
        assert isinstance(error, SyntaxError)
        assert error.msg == "expected the name of a position after 'move', found '}'"
        assert (error.filename, error.lineno, error.offset) == ("job.zarn", 3, 1)
        assert error.text == "}"
        assert (error.end_lineno, error.end_offset) == (3, 2)
        assert error.column == 3 - 2

    def test_str_shows_file_line_column_the_line_and_a_caret(self):
        error = syntax_error("block main {\n    @x set vacuum maybe\n}")
        assert str(error) == (
            "job.zarn:2:19: expected the value to set after the signal's name: a number, "
            "a quoted text, on or off, found the name 'maybe'\n"
            "        @x set vacuum maybe\n"
            "                      ^"
        )

    def test_caret_lines_up_under_tabs_and_wide_characters(self):
        error = syntax_error("block main {\n\t@x set s '\u00fc\u00fc' !\n}")
        assert error.offset == 16
        lines = str(error).splitlines()
        assert lines[1] == "    \t@x set s '\u00fc\u00fc' !"
        assert lines[2] == "    \t" + " " * 14 + "^"
        assert lines[2].index("^") == lines[1].index("!")

    def test_a_missing_bracket_is_reported_after_the_last_thing_written(self):
        error = syntax_error("block main {\n  @x move home   # last\n\n\n")
        assert (error.lineno, error.offset) == (2, 15)
        assert "expected '}' to close the '{' at line 1, column 12" in error.msg

    def test_traceback_shows_the_place(self):
        error = syntax_error("block main { @x move a } junk")
        shown = "".join(traceback.format_exception_only(type(error), error))
        assert 'File "job.zarn", line 1' in shown
        assert "block main { @x move a } junk" in shown
        assert "ZarnSyntaxError: expected a block declaration" in shown

    def test_pickles(self):
        error = syntax_error("block main { }")
        twin = pickle.loads(pickle.dumps(error))
        assert type(twin) is Zarn.ZarnSyntaxError
        assert str(twin) == str(error)

    def test_no_semantics_call_is_made_for_a_script_with_an_error(self):
        calls = []

        class Noting:
            def identifier(self, ast):
                calls.append(ast)
                return ast

        with pytest.raises(Zarn.ZarnSyntaxError):
            Zarn.parse("block main { @x move a }\nblock other {", Noting())
        assert calls == []


class TestHostileScripts:
    def test_brackets_nested_ten_thousand_deep(self):
        error = syntax_error("block main " + "{" * 10_000)
        assert error.msg == "blocks are nested more than 200 levels deep"
        assert (error.lineno, error.offset) == (1, 212)
        for opening in "([":
            error = syntax_error("block main { @x.f" + opening * 10_000)
            assert error.lineno == 1

    def test_a_one_megabyte_statement(self):
        megabyte = "a" * 1_000_000
        assert (
            "at most 255 characters"
            in syntax_error(f"block main {{ @x move {megabyte} }}").msg
        )
        assert (
            "at most 65536 bytes"
            in syntax_error(f"block main {{ @x set s '{megabyte}' }}").msg
        )
        many = "block main { @x move a" + ", @x move a" * 100_000 + " }"
        assert "too many items in one statement" in syntax_error(many).msg
        waits = "block main { @x move a after " + "b, " * 400_000 + "b }"
        assert "too many names after 'after'" in syntax_error(waits).msg

    def test_bytes_that_are_not_utf8(self):
        error = syntax_error(b"block main {\n  @x move \xff\xfe }")
        assert error.msg == (
            "the script is not UTF-8 text: byte 0xFF cannot start a character (save it as UTF-8)"
        )
        assert (error.lineno, error.offset) == (2, 11)
        assert error.text == "  @x move \ufffd\ufffd }"
        error = syntax_error("block main { @x set s '\udcff' }")
        assert "not UTF-8 text" in error.msg and error.offset == 24


class Failing:
    """Raises the exception it was given from the named rule."""

    def __init__(self, rule, exception):
        self.exception = exception
        setattr(self, rule, self._fail)

    def _fail(self, ast):
        raise self.exception


class TestSemanticsFailures:
    def test_a_failure_is_wrapped_with_the_rules_place(self):
        original = LookupError("no module named 'grip'")
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.parse(
                "block main {\n  @grip set vacuum on\n}",
                Failing("module", original),
                filename="job.zarn",
            )
        error = caught.value
        assert error.__cause__ is original
        assert error.__cause__.__traceback__ is not None
        assert (error.filename, error.line, error.column, error.rule) == (
            "job.zarn",
            2,
            3,
            "module",
        )
        assert str(error) == (
            "job.zarn:2:3: LookupError: no module named 'grip' (rule 'module')\n"
            "      @grip set vacuum on\n"
            "      ^"
        )
        twin = pickle.loads(pickle.dumps(error))
        assert (twin.line, twin.rule, str(twin)) == (2, "module", str(error))

    def test_a_block_failure_names_the_statement(self):
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.parse(
                "block main {\n  @x move a\n  lbl: @y move b after q\n}",
                Failing("block", AssertionError()),
            )
        error = caught.value
        # The chain is built from its end: the last statement fails first.
        assert (error.line, error.column, error.rule) == (3, 3, "block")
        assert error.message == "AssertionError (rule 'block')"
        assert isinstance(error.__cause__, AssertionError)

    def test_the_start_rule_failure_points_at_the_script(self):
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.parse("block other { @x move a }", Failing("action", AssertionError()))
        assert (caught.value.line, caught.value.column, caught.value.rule) == (
            1,
            1,
            "action",
        )

    @pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3)])
    def test_exits_pass_unwrapped(self, exception):
        with pytest.raises(type(exception)):
            Zarn.parse("block main { @x move a }", Failing("move", exception))

    def test_errors_that_carry_a_place_pass_unchanged(self):
        placed = Zarn.ZarnCompileError("already placed", "other.zarn", 7, 1, "block")
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.parse("block main { @x move a }", Failing("move", placed))
        assert caught.value is placed
        nested = Zarn.ZarnSyntaxError("inner", "inner.zarn", 1, 1, "x")
        with pytest.raises(Zarn.ZarnSyntaxError) as caught:
            Zarn.parse("block main { @x move a }", Failing("identifier", nested))
        assert caught.value is nested

    def test_an_exception_that_cannot_be_shown_still_wraps(self):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no")

        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.parse("block main { @x move a }", Failing("move", Unprintable()))
        assert "Unprintable" in caught.value.message


def grammar_examples():
    """The ```zarn examples of docs/grammar.md: whole scripts, or lines that
    each are one statement."""
    page = (Path(__file__).parents[3] / "docs" / "grammar.md").read_text()
    blocks = page.split("```")[1::2]
    for block in blocks:
        kind, _, body = block.partition("\n")
        if kind != "zarn":
            continue
        if body.lstrip().startswith(("block", "#")):
            yield body
        else:
            for line in body.splitlines():
                if line.strip():
                    yield "block main { " + line + " }"


@pytest.mark.parametrize("example", list(grammar_examples()))
def test_the_grammar_pages_examples_read(example):
    # The parser refuses none of them: what the page calls refused is the
    # compile path's to refuse.
    assert Zarn.parse(example, None).rule == "action"
