"""Zarn.compile: scripts to their main block, the example scripts, which
machine modules a compile uses, and every kind of mistake reported at its
place."""

import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest
from Zarn.compiler import ZarnSemantics

import Zarn
from Zarn._zarnmodule import load_modules, registry
from Zarn.lang.compiling import read_script

ROOT = Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples"
MODULES = EXAMPLES / "modules.py"
SCRIPTS = sorted(EXAMPLES.glob("*.zarn"))


@pytest.fixture(scope="module")
def machine():
    return load_modules(MODULES)


def compile_text(text, machine, **options):
    return Zarn.compile(
        textwrap.dedent(text), modules=machine, filename="job.zarn", **options
    )


def actions_of(main):
    return [step.action for step in main.run_plan().steps if step.kind == "action"]


def shown(main):
    return [repr(action) for action in actions_of(main)]


class TestExamples:
    def test_there_are_the_example_scripts_the_users_guide_names(self):
        names = {path.stem for path in SCRIPTS}
        assert len(names) >= 6 and "pick_and_place" in names

    def test_pick_and_place_homes_then_runs_ten_cycles_then_parks(self):
        main = Zarn.compile(EXAMPLES / "pick_and_place.zarn")
        plan = main.run_plan()
        actions = [step for step in plan.steps if step.kind == "action"]
        operations = [step.action.operation for step in actions]
        assert operations[:4] == ["home", "move", "home", "home"]
        assert operations.count("pick") == 10 and operations.count("place") == 10
        assert operations.count("inspect") == 10
        # Every place waits for the inspection of its own cycle, which waits
        # for the three axes that brought the part to the camera.
        for step in actions:
            if step.action.operation == "place":
                waited = [plan.steps[i].action.operation for i in step.waits]
                assert "inspect" in waited
            if step.action.operation == "inspect":
                waited = [plan.steps[i].action for i in step.waits]
                assert sorted(a.module.name for a in waited if a.module) == [
                    "x",
                    "y",
                    "z",
                ]
        assert [a.action.module.name for a in actions[-4:]] == ["z", "x", "y", "panel"]


class TestWhichModules:
    MACHINE = (
        "from Zarn._zarnmodule import Axis\nx = Axis('x', {device}, {{'p': 1.0}})\n"
    )

    def folder(self, tmp_path, name, device):
        folder = tmp_path / name
        folder.mkdir()
        (folder / "modules.py").write_text(self.MACHINE.format(device=device))
        script = folder / "job.zarn"
        script.write_text("block main { @x move p }\n")
        return folder, script

    def device_of(self, main):
        return actions_of(main)[0].device

    def test_the_modules_file_beside_the_script_is_used(self, tmp_path):
        _, first = self.folder(tmp_path, "one", 13)
        _, second = self.folder(tmp_path, "two", 14)
        assert self.device_of(Zarn.compile(first)) == 13
        assert self.device_of(Zarn.compile(str(second))) == 14
        assert self.device_of(Zarn.compile(first)) == 13

    def test_modules_given_as_file_folder_or_module_come_first(self, tmp_path):
        _, script = self.folder(tmp_path, "one", 13)
        other, _ = self.folder(tmp_path, "two", 14)
        assert self.device_of(Zarn.compile(script, modules=other / "modules.py")) == 14
        assert self.device_of(Zarn.compile(script, modules=other)) == 14
        assert self.device_of(Zarn.compile(script, modules=load_modules(other))) == 14

    def test_each_compile_loads_the_file_afresh(self, tmp_path):
        _, script = self.folder(tmp_path, "one", 13)
        first, second = Zarn.compile(script), Zarn.compile(script)
        assert actions_of(first)[0].module is not actions_of(second)[0].module

    def test_text_without_modules_uses_the_default_registry(self):
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            Zarn.compile("block main { @x move p }")
        assert "unknown machine module '@x'" in str(caught.value)
        assert "modules.py beside the script" in str(caught.value)

    def test_a_broken_modules_file_is_reported_with_its_line(self, tmp_path):
        folder, script = self.folder(tmp_path, "one", 13)
        (folder / "modules.py").write_text(
            "from Zarn._zarnmodule import Axis\nx = Axis('x', 0)\n"
        )
        with pytest.raises(ImportError, match=r"modules.py, line 2: ValueError"):
            Zarn.compile(script)


class TestReadingTheSource:
    def test_text_bytes_and_paths(self, tmp_path):
        text = "block main { @x move p }"
        assert read_script(text) == (text, "<script>", None)
        assert read_script(text.encode(), "mine.zarn")[1:] == ("mine.zarn", None)
        path = tmp_path / "job.zarn"
        path.write_text(text)
        assert read_script(path) == (text.encode(), str(path), path)
        assert read_script(str(path))[2] == path
        with pytest.raises(FileNotFoundError, match="no script file at"):
            read_script(str(tmp_path / "jbo.zarn"))
        with pytest.raises(IsADirectoryError):
            read_script(tmp_path)
        with pytest.raises(TypeError, match="a script is text"):
            read_script(42)

    def test_the_declaration_map_is_printed_only_when_asked(self, machine, capsys):
        compile_text("block main { @x move park }", machine)
        assert capsys.readouterr().out == ""
        compile_text("block main { @x move park }", machine, quiet=False)
        out = capsys.readouterr().out
        assert out.startswith("{'main': <StandardBlock 'main'") and out.count("\n") == 1


def error_of(text, machine):
    with pytest.raises((Zarn.ZarnSyntaxError, Zarn.ZarnCompileError)) as caught:
        compile_text(text, machine)
    error = caught.value
    line = error.lineno if isinstance(error, SyntaxError) else error.line
    column = error.offset if isinstance(error, SyntaxError) else error.column
    return error, (line, column)


# Every kind of mistake a script can make: the script, the kind of error, its
# place (line, column) and what its message must say.
MISTAKES = [
    (
        "block main {\n  @x move\n}",
        Zarn.ZarnSyntaxError,
        (3, 1),
        "expected the name of a position after 'move', found '}'",
    ),
    ("block main { }", Zarn.ZarnSyntaxError, (1, 14), "expected a statement"),
    (
        "block main { repeat 0 { @x move park } }",
        Zarn.ZarnSyntaxError,
        (1, 21),
        "a repeat count must be at least 1, not 0",
    ),
    (
        "block main { @x move park\n",
        Zarn.ZarnSyntaxError,
        (1, 26),
        "expected '}' to close the '{' at line 1, column 12",
    ),
    (
        "block main { @x move park }\nblock main { @x move park }",
        Zarn.ZarnSyntaxError,
        (2, 7),
        "a block named 'main' is already declared",
    ),
    (
        "block main { pick }\nblock pick { @x move park }",
        Zarn.ZarnSyntaxError,
        (1, 14),
        "declared further down",
    ),
    (
        "block main { a: @x move park  @x move input after b  b: @x move park }",
        Zarn.ZarnSyntaxError,
        (1, 51),
        "labels a statement further down",
    ),
    (
        "block main try parallel { @x move park } and { @y move park } except { @x move park }",
        Zarn.ZarnSyntaxError,
        (1, 63),
        "'except' cannot guard a parallel group",
    ),
    (
        "block main { @camra move park }",
        Zarn.ZarnCompileError,
        (1, 14),
        "unknown machine module '@camra'",
    ),
    (
        "block main {\n  @x move nowhere\n}",
        Zarn.ZarnCompileError,
        (2, 3),
        "axis @x has no position 'nowhere'",
    ),
    (
        "block main { @arm pick from input_tray[13] }",
        Zarn.ZarnCompileError,
        (1, 14),
        "tray 'input_tray' has slots 1 to 12, not 13",
    ),
    (
        "block main { @gripper set valve 3 }",
        Zarn.ZarnCompileError,
        (1, 14),
        "3 is not an on/off value",
    ),
    (
        "block main { @x.spin(1) }",
        Zarn.ZarnCompileError,
        (1, 14),
        "has no operation 'spin'",
    ),
    (
        "block main { @x.wait() }",
        Zarn.ZarnCompileError,
        (1, 14),
        "missing a required argument: 'seconds'",
    ),
    (
        "block main {\n  @x move park\n  pikc\n}",
        Zarn.ZarnCompileError,
        (3, 3),
        "there is no block named 'pikc' above this statement",
    ),
    (
        "block pick { @x move park }\nblock main { @x move input, pikc }",
        Zarn.ZarnCompileError,
        (2, 29),
        "did you mean 'pick'?",
    ),
    (
        "block main {\n  @x move park after gripped\n}",
        Zarn.ZarnCompileError,
        (2, 22),
        "'gripped' labels no statement that MoveAxis(@x park=0.0 dev 15) can wait for",
    ),
    (
        "block inner { a: @x move park }\nblock main { inner  @x move input after a }",
        Zarn.ZarnCompileError,
        (2, 41),
        "'a' labels no statement",
    ),
    (
        (
            "block lower { @z move camera after at_x }\n"
            "block main parallel { at_x: @x move camera } and { lower }"
        ),
        Zarn.ZarnCompileError,
        (1, 36),
        "a sequence used by name does not see the labels around it",
    ),
    (
        "block main { repeat 2 { @x move park after nothing } }",
        Zarn.ZarnCompileError,
        (1, 44),
        "'nothing' labels no statement",
    ),
    (
        "block main parallel { a: @x move park after b } and { b: @y move park after a }",
        Zarn.ZarnCompileError,
        (1, 1),
        "could never run to its end: run_plan(): these actions wait for one another",
    ),
    (
        (
            "block h parallel { @x move park after nope } and { @y move park }\n"
            "block main { try { @x move input } except h }"
        ),
        Zarn.ZarnCompileError,
        (1, 39),
        "'nope' labels no statement",
    ),
    (
        (
            "block main { try { @x move input } except parallel { a: @x move park after b }"
            " and { b: @y move park after a } }"
        ),
        Zarn.ZarnCompileError,
        (1, 1),
        "an exception part (the part after 'except') could never run to its end",
    ),
    (
        "block mian { @x move park }",
        Zarn.ZarnCompileError,
        (1, 1),
        "the script declares no block named 'main', the job it runs (declared: mian)",
    ),
    (
        (
            "block main compete parallel { @x move park } and { @y move park } or "
            "{ @x move park }"
        ),
        Zarn.ZarnCompileError,
        (1, 12),
        "a branch runs on one machine module",
    ),
    (
        "block go(where) { @x move where }\nblock main {\n  go(nowhere)\n}",
        Zarn.ZarnCompileError,
        (3, 3),
        "'go' as used here: UnknownNameError: axis @x has no position 'nowhere'",
    ),
]


@pytest.mark.parametrize(
    ("text", "kind", "place", "message"), MISTAKES, ids=lambda value: None
)
def test_every_mistake_is_reported_at_its_place(text, kind, place, message, machine):
    error, at = error_of(text, machine)
    assert type(error) is kind
    assert message in str(error)
    assert at == place, str(error)
    # The text a user reads: file:line:column, the line itself and a caret
    # under the column.
    first, line, caret = str(error).split("\n")[:3]
    assert first.startswith(f"job.zarn:{place[0]}:{place[1]}: ")
    assert line == "    " + text.splitlines()[place[0] - 1]
    assert caret.index("^") == place[1] - 1 + 4


class TestWaits:
    def test_a_declared_group_may_wait_for_labels_of_the_sequence_it_is_used_in(
        self, machine
    ):
        main = compile_text(
            """
            block late parallel { @x move input after first } and { @y move input }
            block main {
                first: parallel { @x move park } and { @y move park }
                late
            }
            """,
            machine,
        )
        plan = main.run_plan()
        join = next(step for step in plan.steps if step.kind == "join")
        waiting = next(
            step
            for step in plan.steps
            if step.kind == "action"
            and repr(step.action).startswith("MoveAxis(@x input")
        )
        assert join.index in waiting.waits

    def test_a_declared_group_whose_wait_finds_nothing_is_refused_where_used(
        self, machine
    ):
        error, at = error_of(
            "block late parallel { @x move input after first } and { @y move input }\n"
            "block main { late }",
            machine,
        )
        assert at == (1, 43) and "'first' labels no statement" in str(error)


def test_the_exception_parts_of_nested_guards_are_found(machine):
    from Zarn.lang.compiling import exception_parts

    main = compile_text(
        """
        block warn { @panel set lamp_red on }
        block main {
            try { try { @x move input } except { @x move park } } except warn
        }
        """,
        machine,
    )
    parts = exception_parts(main)
    assert [repr(a) for part in parts for a in part.action_seq] == [
        "MoveAxis(@x park=0.0 dev 15)",
        "SetOutput(@panel lamp_red=1 dev 10 pin 23)",
    ]
    guard = actions_of(main)[0].guard
    assert guard.exception is parts[0] and guard.outer.exception is parts[1]


class TestRepeatingGroups:
    def test_a_competing_group_repeats_as_rounds_of_the_whole_group(self, machine):
        main = compile_text(
            """
            block main {
                repeat 3 compete priority high { @arm pick from input_tray }
                      or { @arm place into output_tray }
                @arm place into output_tray[5]
            }
            """,
            machine,
        )
        plan = main.run_plan()
        assert len(plan.competitions) == 3
        for competition in plan.competitions:
            assert competition.module_name == "arm"
            assert [b.priority.name for b in competition.branches] == ["HIGH", "NORMAL"]
        assert shown(main)[-1] == "Transfer(@arm place output_tray[5])"
        assert plan.steps[-1].waits == [plan.competitions[-1].join]

    def test_a_parallel_group_repeats_with_its_waits_in_every_round(self, machine):
        main = compile_text(
            "block main repeat 2 parallel { a: @x move input } and { @y move input after a }",
            machine,
        )
        plan = main.run_plan()
        ys = [
            s for s in plan.steps if s.kind == "action" and s.action.module.name == "y"
        ]
        xs = [
            s for s in plan.steps if s.kind == "action" and s.action.module.name == "x"
        ]
        assert len(xs) == len(ys) == 2
        for x, y in zip(xs, ys):
            assert x.index in y.waits  # each round's own x, not the first one's


class TestHandOver:
    GROUPS = """
    block both parallel { a: @x move input } and { @y move input after a }
    block turns compete { @arm pick from input_tray } or { @arm place into output_tray }
    block main {
        both
        g: turns
        both after g
        parallel { @x move park } and { @y move park }
        turns
        @arm place into reject_bins[1] after g
    }
    """

    def structure(self, main):
        plan = main.run_plan()
        return [
            (step.kind, repr(step.action) if step.kind == "action" else "", step.waits)
            for step in plan.steps
        ]

    def test_handing_the_rest_over_uncopied_gives_the_same_run(self, machine, capsys):
        compiled = compile_text(self.GROUPS, machine)
        names = registry(machine)
        plain = Zarn.parse(textwrap.dedent(self.GROUPS), ZarnSemantics(registry=names))
        capsys.readouterr()
        assert self.structure(compiled) == self.structure(plain)
        assert len(self.structure(compiled)) == 4 + 8 + 4 + 4 + 8 + 1

    # shared_arm repeats a competing group, and the examples of the control
    # constructs use rules and mixed sequences, which only the compile knows.
    @pytest.mark.parametrize(
        "script",
        [
            path
            for path in SCRIPTS
            if path.stem not in ("shared_arm", "slot_photos", "sort_blanks")
        ],
        ids=lambda path: path.stem,
    )
    def test_the_examples_run_alike_either_way(self, script, machine, capsys):
        text = script.read_text()
        plain = Zarn.parse(text, ZarnSemantics(registry=registry(machine)))
        capsys.readouterr()
        assert self.structure(compile_text(text, machine)) == self.structure(plain)

    def test_a_long_sequence_of_groups_is_not_copied_once_per_group(self, machine):
        # Each hand-over of the plain rule copies the rest of the sequence, so
        # 300 groups would copy about 45,000 actions; handed over as they are,
        # each action is made once (and once more for its declared group).
        made = []
        original = type(
            actions_of(compile_text("block main { @x move park }", machine))[0]
        )
        counting = original.__init__

        def note(self, *args, **kwargs):
            made.append(1)
            counting(self, *args, **kwargs)

        text = "block both parallel { @x move input } and { @y move input }\n"
        text += "block main {\n" + "    both\n" * 300 + "}\n"
        original.__init__ = note
        try:
            main = compile_text(text, machine)
        finally:
            original.__init__ = counting
        assert len(actions_of(main)) == 600
        assert len(made) < 2 * 600 + 10


class TestLettingGoOfDeclaredBlocks:
    # A block let go of too early is missing when a later rule names it: the
    # statements of a sequence complete from its last one back, a construct
    # copies its body once per round, a template's body is read at each use.
    SCRIPT = """
    block approach {
        @x move input
        @x move camera
    }
    block pair parallel { approach } and { @y move input }
    block twice {
        approach
        approach
    }
    block go(place) {
        approach
        @y move place
    }
    block main {
        approach
        twice
        pair
        repeat 2 approach
        retry 1 approach
        if @sensors part_on_conveyor on approach else { @x move park }
        go(output)
        pair
        twice
    }
    """

    def test_the_compile_gives_the_run_it_gives_keeping_every_block(
        self, machine, capsys
    ):
        kept = compile_text(self.SCRIPT, machine, quiet=False)  # keeps them all
        capsys.readouterr()
        compiled = compile_text(self.SCRIPT, machine)
        structure = TestHandOver.structure
        assert structure(None, compiled) == structure(None, kept)


class TestHostileScripts:
    def test_brackets_nested_ten_thousand_deep(self, machine):
        error, _ = error_of("block main " + "{" * 10_000, machine)
        assert "nested more than 200 levels deep" in error.msg

    def test_a_statement_of_a_megabyte(self, machine):
        huge = '"' + "a" * 1_000_000 + '"'
        error, at = error_of(f"block main {{ @x.log({huge}) }}", machine)
        assert error.msg.startswith("a quoted text may be at most 65536 bytes long")
        assert at == (1, 21)
        listed = ", ".join(["@x move park"] * 80_000)
        error, _ = error_of(f"block main {{ {listed} }}", machine)
        assert "too many items in one statement" in error.msg

    def test_bytes_that_are_not_utf8(self, machine, tmp_path):
        script = tmp_path / "job.zarn"
        script.write_bytes(b"block main {\n  @x move p\xe4rk\n}\n")
        with pytest.raises(Zarn.ZarnSyntaxError) as caught:
            Zarn.compile(script, modules=machine)
        error = caught.value
        assert (error.lineno, error.offset) == (2, 12)
        assert "not UTF-8" in error.msg and "0xE4" in error.msg

    def test_a_chain_of_20000_statements_compiles_on_a_small_stack(self, machine):
        count = 20_000
        lines = [
            f"  s{i}: @x move park" + (f" after s{i - 1}" if i else "")
            for i in range(count)
        ]
        text = "block main {\n" + "\n".join(lines) + "\n}\n"
        outcome = {}

        def run():
            try:
                outcome["main"] = compile_text(text, machine)
            except BaseException as error:  # noqa: BLE001 -- checked below
                outcome["error"] = error

        previous = threading.stack_size(512 * 1024)
        try:
            thread = threading.Thread(target=run)
            thread.start()
            thread.join(timeout=55)
        finally:
            threading.stack_size(previous)
        assert not thread.is_alive()
        assert "error" not in outcome, outcome.get("error")
        plan = outcome["main"].run_plan()
        assert len(plan.steps) == count
        assert plan.steps[-1].waits == [count - 2]


def test_checks_are_made_under_python_dash_o():
    # With -O, Python skips assert statements; the language's checks stay,
    # in ZarnSemantics driven directly and in Zarn.compile.
    code = textwrap.dedent(
        f"""
        import Zarn
        from Zarn.compiler import ZarnSemantics
        try:
            ZarnSemantics(registry={{}}).action(None)
        except AssertionError:
            print("refused")
        for text in ("block mian {{ @x move park }}",
                     "block main {{ @x move park  @y move nowhere }}",
                     "block main {{ @x move park after nowhere }}"):
            try:
                Zarn.compile(text, modules={str(MODULES)!r})
            except Zarn.ZarnCompileError as error:
                print(error.line, error.column)
        """
    )
    done = subprocess.run(
        [sys.executable, "-O", "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    lines = done.stdout.split("\n")
    assert lines[:5] == ["{}", "refused", "1 1", "1 28", "1 33"], done.stderr


class TestSafetyRefusals:
    """Plans that could harm the machine are refused at the statement at
    fault, with the other statement named; safe orderings compile."""

    OWN_MODULES = """\
        from Zarn._zarnmodule import Axis, Handler, IOModule, MachineModule, Tray, drive
        from Zarn._zarnmodule import operation

        x = Axis("x", 15, {"a": 0.0}, limits=(0.0, 600.0))
        y = Axis("y", 16, {"a": 0.0}, limits=(0.0, 400.0))
        z = Axis("z", 13, {"up": 0.0}, limits=(0.0, 120.0))
        jaws = IOModule("jaws", 11, outputs={"valve": 0, "light": 1})
        tray = Tray("tray", 1, 2, origin=(10.0, 10.0), pitch=(10.0, 0.0), height=50.0)
        left = Handler("left", x=x, y=y, z=z, gripper=jaws, grip="valve", travel="up",
                       trays=[tray])
        right = Handler("right", x=x, y=y, z=z, gripper=jaws, grip="valve", travel="up",
                        trays=[tray])

        class Pusher(MachineModule):
            def commanded(self):
                return {drive(13)}

            @operation
            def push(self):
                pass

        class Camera(MachineModule):
            @operation
            def snap(self):
                pass

        pusher, camera = Pusher("pusher"), Camera("camera")
        """

    @pytest.fixture(scope="class")
    @classmethod
    def own(cls, tmp_path_factory):
        path = tmp_path_factory.mktemp("own") / "modules.py"
        path.write_text(textwrap.dedent(cls.OWN_MODULES))
        return load_modules(path)

    @pytest.mark.parametrize(
        ("text", "place", "expected"),
        [
            (  # a handler's transfer and a plain move of its gantry
                "block main parallel { @arm pick from input_tray } and { @x move park }",
                (1, 57),
                "both command drive 15",
            ),
            (  # a relative step past the travel, after a known position
                "block main { @z move home\n @z move conveyor\n @z.move_by(30) }",
                (3, 2),
                "would end at 125",
            ),
            (
                "block main { @z move camera\n repeat 3 { @z.move_by(35) } }",
                (2, 13),
                "would end at 125",
            ),
            (  # eleven cycles into a tray of ten slots
                (
                    "block cycle { @arm pick from input_tray\n"
                    " @arm place into output_tray }\nblock main { repeat 11 cycle }"
                ),
                (2, 2),
                "tray @output_tray has 10 slots, but the script makes 11 transfers",
            ),
        ],
    )
    def test_an_unsafe_plan_is_refused_where_it_goes_wrong(
        self, machine, text, place, expected
    ):
        with pytest.raises(Zarn.ZarnCompileError) as caught:
            compile_text(text, machine)
        assert expected in str(caught.value)
        assert (caught.value.line, caught.value.column) == place

    def test_two_handlers_on_one_gantry_and_a_declared_module_are_refused(self, own):
        with pytest.raises(Zarn.ZarnCompileError, match="drive 1[356]"):
            compile_text(
                "block main parallel { @left pick from tray } and "
                "{ @right place into tray }",
                own,
            )
        with pytest.raises(Zarn.ZarnCompileError, match="both command drive 13"):
            compile_text(
                "block main parallel { @z move up } and { @pusher.push() }", own
            )
        with pytest.raises(Zarn.ZarnCompileError, match="output 0 of IO module 11"):
            compile_text(
                "block main parallel { @left pick from tray } and "
                "{ @jaws set valve off }",
                own,
            )

    @pytest.mark.parametrize(
        "text",
        [
            # ordered by a label, turns of a competing group, a step whose
            # start is not known when the script compiles, reads and own
            # modules that declare nothing, a reset between two rounds
            (
                "block main parallel { done: @left pick from tray } and "
                "{ @x move a after done }"
            ),
            "block main compete { @left pick from tray } or { @left place into tray }",
            "block main { @z move home\n repeat 30 { @z.move_by(5) } }",
            "block main parallel { @jaws set light on } and { @camera.snap() }",
            (
                "block cycle { @left pick from tray\n @left place into tray }\n"
                "block main parallel { repeat 1 cycle\n walked: @left pick from tray\n"
                " @left place into tray } and { @tray.reset() after walked }"
            ),
        ],
    )
    def test_safe_orderings_compile(self, own, text):
        assert actions_of(compile_text(text, own))
