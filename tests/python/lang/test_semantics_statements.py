"""ZarnSemantics driven with parse nodes: the token rules, the statements that
ask machine modules for actions, declarations, the start rule, the registry
the names after "@" come from, and subclasses."""

import subprocess
import sys
import textwrap

import pytest
from support.actions import RecordingAction
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import StandardBlock
from Zarn.compiler import ZarnSemantics, module_registry

import Zarn
from Zarn import _zarnmodule
from Zarn.lang.nodes import ParseNode


def node(rule, **entries):
    return ParseNode(rule, (1, 1), **entries)


class Station:
    """A machine module as the statement rules see it: it notes every call."""

    def __init__(self, name):
        self.name = name
        self.calls = []

    def _made(self, what, *args):
        self.calls.append((what, args))
        return RecordingAction(self, label=what)

    def io_action(self, *args):
        return self._made("io", *args)

    def move_action(self, *args):
        return self._made("move", *args)

    def tray_action(self, *args):
        return self._made("tray", *args)

    def __call__(self):
        self.calls.append(("instance", ()))
        return self

    def shoot(self, *args):
        return self._made("shoot", *args)


@pytest.fixture
def station():
    return Station("cam")


@pytest.fixture
def semantics(station):
    return ZarnSemantics(registry={"cam": station})


def ident(text):
    return ZarnId(text)


class TestTokenRules:
    def test_number_keeps_integers_and_reads_base_ten_text(self, semantics):
        big = 10**30
        assert semantics.number(big) is big
        assert semantics.number(True) is True  # an integer already
        assert semantics.number("042") == 42
        assert semantics.number(ast="-17") == -17
        for bad in ("0x10", "1.5", "", "four"):
            with pytest.raises(ValueError):
                semantics.number(bad)

    def test_module_drops_every_at_sign_before_the_lookup(self, semantics, station):
        assert semantics.module("@cam") is station
        assert semantics.module("@@cam") is station
        assert semantics.module("c@a@m") is station
        with pytest.raises(LookupError):
            semantics.module("@")  # the empty name is bound to nothing
        with pytest.raises(LookupError):
            semantics.module("@camera")

    def test_identifier_is_a_new_name_without_dependencies(self, semantics):
        first, second = semantics.identifier("pick"), semantics.identifier("pick")
        assert isinstance(first, ZarnId) and first is not second
        assert first.id == "pick" and first.dependency == []

    @pytest.mark.parametrize(
        ("token", "text"),
        [('"part A"', "part A"), ("''", ""), ('"', ""), ("", ""), ("'x'", "x")],
    )
    def test_extern_str_strips_the_delimiters(self, semantics, token, text):
        assert semantics.extern_str(token) == text


class TestStatements:
    def test_external_collects_left_then_right_and_calls_an_instance(
        self, semantics, station
    ):
        def call(**entries):
            station.calls.clear()
            semantics.external(
                node("external", mod=station, ident=ident("shoot"), **entries)
            )
            return station.calls

        assert call(argLeft=0, argRight=[5, "b"]) == [
            ("instance", ()),
            ("shoot", (0, 5, "b")),
        ]
        assert call(argLeft="", argRight=["only"])[-1] == ("shoot", ("", "only"))
        assert call(argLeft=None, argRight=[1, 2])[-1] == ("shoot", ())
        assert call(argRight=[1, 2])[-1] == ("shoot", ())
        assert call(argLeft=False, argRight=(1, 2))[-1] == ("shoot", (False, (1, 2)))
        assert call(argLeft=7)[-1] == ("shoot", (7,))
        made = semantics.external(node("external", mod=station, ident=ident("shoot")))
        assert made.label == "shoot"  # what the operation returned

    def test_an_unknown_operation_is_a_lookup_error_naming_it(self, semantics, station):
        with pytest.raises(LookupError, match="'wiggle'") as caught:
            semantics.external(node("external", mod=station, ident=ident("wiggle")))
        assert isinstance(caught.value, AttributeError)
        assert isinstance(caught.value.__cause__, AttributeError)

    def test_an_operations_own_failure_passes_through(self, semantics):
        class Jammed:
            def __call__(self):
                return self

            def go(self):
                raise OSError("jammed")

        with pytest.raises(OSError, match="jammed"):
            semantics.external(node("external", mod=Jammed(), ident=ident("go")))

    def test_io_move_and_transfer_keep_their_argument_orders(self, semantics, station):
        valve, home, pick = ident("valve"), ident("home"), ident("pick")
        tray = (ident("outbox"), 3)
        io = semantics.io(node("io", mod=station, ident=valve, status=1))
        move = semantics.move(node("move", mod=station, ident=home))
        transfer = semantics.transfer(
            node("transfer", mod=station, ident=pick, tray=tray)
        )
        assert [a.label for a in (io, move, transfer)] == ["io", "move", "tray"]
        assert station.calls == [
            ("io", ("valve", 1)),
            ("move", ("home",)),
            ("tray", (tray, "pick")),
        ]
        # The statement forms call the module object itself, not an instance.
        assert ("instance", ()) not in station.calls

    @pytest.mark.parametrize("rule", ["io", "move", "transfer"])
    def test_a_module_without_the_operation_is_a_lookup_error(self, semantics, rule):
        statement = getattr(semantics, rule)
        entries = {"mod": object(), "ident": ident("p"), "status": 1, "tray": "t"}
        with pytest.raises(LookupError, match="_action") as caught:
            statement(node(rule, **entries))
        assert isinstance(caught.value, AttributeError)

    def test_the_example_modules_accept_what_the_parser_delivers(self):
        example = _zarnmodule.load_modules(_examples() / "modules.py")
        semantics = ZarnSemantics(registry=_zarnmodule.registry(example))
        main = Zarn.parse(
            "block main parallel { @gripper set valve on  @gripper set closed 1 }"
            " and { @arm place into output_tray[3]  @arm pick from input_tray }"
            ' and { @x move input  @x.move_to("212.5")  @x.log("at", 3) }',
            semantics,
        )
        actions = [a for a in main.run_plan().steps if a.kind == "action"]
        shown = [repr(step.action) for step in actions]
        assert shown == [
            "SetOutput(@gripper valve=1 dev 11 pin 0)",
            "WaitInput(@gripper closed==1 dev 11 pin 0 timeout 2.0s)",
            "Transfer(@arm place output_tray[3])",
            "Transfer(@arm pick input_tray[next])",
            "MoveAxis(@x input=150.0 dev 15)",
            "MoveAxis(@x 212.5 dev 15)",
            "Log(@x 'at 3')",
        ]


def _examples():
    from pathlib import Path

    return Path(__file__).resolve().parents[3] / "examples"


class TestDeclarationsAndTheStartRule:
    def declare(self, semantics, name, block):
        return semantics.declaration(
            node("declaration", ident=ident(name), action=block)
        )

    def test_a_declaration_names_its_block_and_records_it(self, semantics):
        first, second = StandardBlock(identifier="label"), StandardBlock()
        assert self.declare(semantics, "pick", first) is first
        assert first.id == "pick" and semantics.global_zone == {"pick": first}
        assert self.declare(semantics, "pick", second) is second
        assert semantics.global_zone["pick"] is second
        assert first.id == "pick"  # the replaced block keeps the name

    def test_a_value_that_cannot_take_a_name_stores_nothing(self, semantics):
        with pytest.raises(TypeError, match="'pick'"):
            self.declare(semantics, "pick", 5)
        with pytest.raises(TypeError):
            self.declare(semantics, "pick", None)
        assert semantics.global_zone == {}

    def test_the_start_rule_prints_the_map_then_returns_main(self, semantics, capsys):
        main = StandardBlock()
        self.declare(semantics, "pick", StandardBlock())
        self.declare(semantics, "main", main)
        assert semantics.action(node("action", declarations=[])) is main
        out = capsys.readouterr().out
        assert out.count("\n") == 1
        assert out.startswith("{'pick': <StandardBlock 'pick'") and "'main': " in out

    def test_without_main_the_map_is_printed_before_the_assertion(
        self, semantics, capsys
    ):
        self.declare(semantics, "pick", StandardBlock())
        with pytest.raises(AssertionError):
            semantics.action(None)
        assert capsys.readouterr().out.startswith("{'pick': <StandardBlock")

    def test_one_object_keeps_the_declarations_of_every_parse(self, station):
        semantics = ZarnSemantics(registry={"cam": station})
        assert semantics.global_zone == {}
        Zarn.parse("block a { @cam move p } block main { a }", semantics)
        second = Zarn.parse("block main { a }", semantics)  # a: the first script's
        assert set(semantics.global_zone) == {"a", "main"}
        assert [step.action.label for step in second.run_plan().steps] == ["move"]


class TestRegistry:
    def test_the_default_registry_holds_the_package_names_in_order(self):
        from Zarn._zarnprimitives import ZarnState

        from Zarn import blocks

        assert module_registry["StandardBlock"] is blocks.StandardBlock
        assert module_registry["timer"] is _zarnmodule.timer
        assert module_registry["ZarnState"] is ZarnState
        assert ZarnSemantics().registry is module_registry
        assert ZarnSemantics().module("@timer") is _zarnmodule.timer

    def run(self, code, cwd):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=cwd,
            capture_output=True,
            text=True,
            timeout=60,
            check=False,
        )

    def test_a_top_level_modules_comes_first(self, tmp_path):
        (tmp_path / "modules.py").write_text(
            "from Zarn._zarnmodule import Axis\nx = Axis('x', 15)\ntimer = 'mine'\n"
        )
        done = self.run(
            """
            from Zarn.compiler import ZarnSemantics, module_registry
            import Zarn._zarnmodule as zm
            print(type(ZarnSemantics().module('@x')).__name__)
            print(module_registry['timer'] is zm.timer)
            """,
            tmp_path,
        )
        assert done.stdout.split() == ["Axis", "True"], done.stderr

    def test_a_broken_top_level_modules_does_not_stop_the_compiler(self, tmp_path):
        (tmp_path / "modules.py").write_text("import nothing_of_that_name\n")
        done = self.run(
            """
            from Zarn.compiler import ZarnSemantics
            try:
                ZarnSemantics().module('@x')
            except LookupError as error:
                print(error)
            """,
            tmp_path,
        )
        assert done.returncode == 0, done.stderr
        assert "unknown machine module '@x': the top-level module 'modules' failed" in (
            done.stdout
        )
        assert "No module named 'nothing_of_that_name'" in done.stdout
        assert "modules.py beside the script" in done.stdout

    def test_without_modules_a_lookup_says_how_modules_are_declared(self, tmp_path):
        done = self.run(
            """
            from Zarn.compiler import ZarnSemantics
            try:
                ZarnSemantics().module('@gripper')
            except LookupError as error:
                print(type(error).__name__, error)
            """,
            tmp_path,
        )
        assert done.stdout.startswith(
            "UnknownModuleError unknown machine module '@gripper': no machine modules "
            "are declared: machine modules are declared in a modules.py"
        ), done.stderr


class TestSubclasses:
    def test_a_subclass_replaces_rules_and_keeps_the_others(self, station):
        class Doubling(ZarnSemantics):
            def __init__(self):
                super().__init__(registry={"cam": station})
                self.numbers = []

            def number(self, ast):
                self.numbers.append(ast)
                return 2 * super().number(ast)

        semantics = Doubling()
        main = Zarn.parse("block main { @cam set lamp 3 }", semantics)
        assert semantics.numbers == ["3"]
        assert station.calls == [("io", ("lamp", 6))]
        assert main.id == "main" and semantics.global_zone == {"main": main}

    def test_a_subclass_that_skips_the_base_init_is_told_so(self):
        class Forgetful(ZarnSemantics):
            def __init__(self):
                pass

        with pytest.raises(TypeError, match=r"super\(\).__init__\(\)"):
            Forgetful().declaration(node("declaration"))
