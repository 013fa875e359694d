"""The errors of Zarn.parse: syntax errors with their place, failures of the
semantics wrapped with the rule's place, and hostile scripts."""

import pickle
import traceback
from pathlib import Path

import pytest

import Zarn


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
    page = (Path(__file__).parents[2] / "docs" / "grammar.md").read_text()
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
def test_the_grammar_pages_examples_read_as_the_page_says(example):
    if "# refused" in example:
        with pytest.raises(Zarn.ZarnSyntaxError, match="cannot come after plain"):
            Zarn.parse(example, None)
    else:
        assert Zarn.parse(example, None).rule == "action"
