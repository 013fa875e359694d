import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import Zarn.configuration
from Zarn import cli, pictures
from Zarn.lang.compiling import compile

ROOT = pathlib.Path(__file__).resolve().parents[3]


def test_demo_runs_actions_in_dependency_order(capsys):
    assert cli.main(["demo", "--actions"]) == 0
    lines = capsys.readouterr().out.splitlines()
    events = [line.split(None, 3)[1:] for line in lines if line.strip()[:1].isdigit()]
    events = [event for event in events if event[1] in ("start", "done")]
    position = {
        (module, kind, what): n for n, (module, kind, what) in enumerate(events)
    }

    def at(module, kind, what):
        return position[(module, kind, what)]

    assert at("gripper", "start", "close") > at(
        "axis_x", "done", "move to pick position"
    )
    assert at("gripper", "start", "close") > at(
        "axis_y", "done", "move to pick position"
    )
    assert at("axis_x", "start", "move to place position") > at(
        "gripper", "done", "close"
    )
    assert at("gripper", "start", "open") > at(
        "axis_x", "done", "move to place position"
    )
    assert lines[-1].startswith("All finished") and "['Finished']" in lines[-1]


def test_demo_runs_the_demonstration_against_a_simulated_controller(tmp_path):
    done = run_zarn("demo", "--speed", "20", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0] == (
        "Started a simulated controller of the example machine, 20 times real time"
    )
    assert lines[1] == f"Configuration {cli.EXAMPLE_CONFIG}, at the simulator's address"
    assert lines[2].startswith("  controller service at 127.")
    sequence = lines[lines.index("") + 1 :]
    clamp_sensor = sequence.pop(9)  # may or may not have followed its valve yet
    assert clamp_sensor in ("io 1 input: 00 00", "io 1 input: 01 00")
    assert sequence == [
        "result of motor 13 homing: 1",
        "result of motor 14 homing1: 1",
        "result of motor 14 homing2: 1",
        "result of motor 13 moving1: 1",
        "motor 13 output: 20.0",
        "result of motor 13 moving2: 1",
        "result of motor 13 moving3: 1",
        "result of motor 13 moving4: 1",
        "io 10 output before control: 00 00 00 00",
        "io 10 output after control1: 01 00 C0 00",
        "io 10 output after control2: 01 00 40 00",
        "Simulated controller stopped.",
    ]


def test_demo_fails_when_the_simulator_cannot_start(monkeypatch, tmp_path, capsys):
    from Zarn import sim

    monkeypatch.setattr(sim, "PROGRAM", tmp_path / "zarn-sim")
    assert cli.main(["demo"]) == 1
    assert capsys.readouterr().err == (
        "zarn: the simulated controller: the simulator program is not installed "
        f"at {tmp_path / 'zarn-sim'}\n"
    )


def test_demo_results_that_show_a_failure():
    shown = [
        ("result of motor 13 homing: ", 1),
        ("result of motor 14 homing1: ", -110),
        ("result of motor 13 moving1: ", []),  # the end condition never came
        ("motor 13 output: ", 20.0),
        ("motor 13 output: ", -3),
        ("io 1 input: ", "00 00"),
        ("io 1 input: ", -2),
    ]
    assert cli.demonstration_failures(shown) == [
        "result of motor 14 homing1: -110",
        "result of motor 13 moving1: []",
        "motor 13 output: -3",
        "io 1 input: -2",
    ]
    assert cli.demonstration_failures(shown[:1] + shown[3:4] + shown[5:6]) == []


def test_demo_options_are_checked(capsys):
    for speed in ("0", "-2", "fast", "nan"):
        with pytest.raises(SystemExit) as stop:
            cli.main(["demo", "--speed", speed])
        assert stop.value.code == 2
        assert f"a speed factor is a number above 0, not '{speed}'" in (
            capsys.readouterr().err
        )


def test_no_command_prints_help_to_stderr_and_fails(capsys):
    assert cli.main([]) == 2
    captured = capsys.readouterr()
    assert "demo" in captured.err and captured.out == ""


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.startswith("zarn ")


def test_a_failing_action_is_reported_and_hangs_nothing(monkeypatch, capsys):
    from Zarn.cli import demo

    def jammed(seconds):
        if seconds == 0.1:  # the gripper's actions
            raise OSError("gripper jammed")

    monkeypatch.setattr(demo.time, "sleep", jammed)
    assert cli.main(["demo", "--actions"]) == 1
    captured = capsys.readouterr()
    assert captured.err == (
        "zarn: 2 of 7 actions failed; first: 'close' on gripper: gripper jammed\n"
    )
    assert "zarn:" not in captured.out


def test_config_describes_the_example_machine(capsys):
    assert cli.main(["config", str(cli.EXAMPLE_CONFIG)]) == 0
    out = capsys.readouterr().out
    assert "IO image: 11 input bytes, 5 output bytes" in out
    devices = [
        line.split()[0] for line in out.splitlines() if line.startswith("      ")
    ]
    assert devices == ["1", "2", "10", "11", "13", "14", "15", "16"]


def test_config_of_a_missing_file_fails_with_the_reason(capsys, tmp_path):
    missing = tmp_path / "absent.yaml"
    assert cli.main(["config", str(missing)]) == 1
    captured = capsys.readouterr()
    # The client's own warning stays on stdout; the command's error is on stderr.
    assert captured.out.startswith(f"[Warning] Filed to load config file at {missing}")
    assert captured.out.count("\n") == 1
    assert captured.err.startswith(f"zarn: cannot use configuration {missing}: ")
    # A path the user named needs no advice on how to name one.
    assert "zarn config PATH" not in captured.err


def test_missing_default_configuration_says_how_to_name_one(
    capsys, tmp_path, monkeypatch
):
    monkeypatch.delenv("ZARN_CONFIG", raising=False)
    monkeypatch.setattr(
        Zarn.configuration, "DEFAULT_CONFIG", str(tmp_path / "absent.yaml")
    )
    assert cli.main(["config"]) == 1
    err = capsys.readouterr().err
    assert "no configuration at the default path" in err
    assert "`zarn config PATH` or ZARN_CONFIG=PATH" in err
    assert f"  zarn config {cli.EXAMPLE_CONFIG}\n" in err
    assert cli.EXAMPLE_CONFIG.is_file()  # the advice names a file that is there


def test_zarn_config_names_the_default_configuration(capsys, tmp_path, monkeypatch):
    monkeypatch.setenv("ZARN_CONFIG", str(cli.EXAMPLE_CONFIG))
    assert cli.main(["config"]) == 0
    assert "IO image: 11 input bytes, 5 output bytes" in capsys.readouterr().out
    missing = tmp_path / "absent.yaml"
    monkeypatch.setenv("ZARN_CONFIG", str(missing))
    assert cli.main(["config"]) == 1
    assert f"no configuration at ZARN_CONFIG ({missing})" in capsys.readouterr().err
    # The client itself keeps its own default.
    from Zarn.morvo_client import MorvoClient

    if pathlib.Path(cli.DEFAULT_CONFIG).exists():
        assert MorvoClient().config_fp == cli.DEFAULT_CONFIG
    else:
        with pytest.raises(TypeError):
            MorvoClient()
        assert cli.DEFAULT_CONFIG in capsys.readouterr().out


def test_zarn_sim_takes_its_configuration_from_zarn_config(monkeypatch):
    from Zarn import sim

    ran = []
    monkeypatch.setattr(sim, "run_program", lambda arguments: ran.append(arguments))
    monkeypatch.setenv("ZARN_CONFIG", "machine.yaml")
    cli.main(["sim", "--speed", "5"])
    cli.main(["sim", "--config", "other.yaml"])  # the user's own comes last and wins
    monkeypatch.delenv("ZARN_CONFIG")
    cli.main(["sim"])
    assert ran == [
        ["--config", "machine.yaml", "--speed", "5"],
        ["--config", "machine.yaml", "--config", "other.yaml"],
        [],
    ]


def configuration(tmp_path, devices):
    path = tmp_path / "settings.yaml"
    path.write_text(
        "kvt_handler:\n  IOModule:\n    SlaveNo: 1\n    Modules:\n"
        "      - {MorvoID: 10, Slot: 1, InputBytes: 1, OutputBytes: 0}\n" + devices,
        encoding="utf-8",
    )
    return str(path)


def test_config_rejects_ids_no_lookup_could_match(capsys, tmp_path):
    path = configuration(
        tmp_path,
        "  Festo:\n    - {MorvoID: 13}\n    - {MorvoID: abc}\n"
        "  Akribis:\n    - {MorvoID: [15]}\n    - {MorvoID: .inf}\n",
    )
    assert cli.main(["config", path]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert [line.split(": ", 1)[0] for line in lines] == ["zarn"] * 3
    assert (
        f"cannot use configuration {path}: MorvoID 'abc' at kvt_handler/Festo[1]"
        in (lines[0])
    )
    assert "MorvoID [15] at kvt_handler/Akribis[0] is not an integer" in lines[1]
    assert "MorvoID inf at kvt_handler/Akribis[1] is not an integer" in lines[2]


def test_config_accepts_ids_the_client_converts(capsys, tmp_path):
    path = configuration(
        tmp_path, "  Festo:\n    - {MorvoID: '13'}\n    - {MorvoID: 14.0}\n"
    )
    assert cli.main(["config", path]) == 0
    captured = capsys.readouterr()
    assert captured.err == ""
    devices = [line.split()[:2] for line in captured.out.splitlines()[-3:]]
    assert devices == [
        ["10", "kvt_handler/IOModule/Modules"],
        ["13", "kvt_handler/Festo"],
        ["14.0", "kvt_handler/Festo"],
    ]


def run_zarn(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "Zarn", *args],
        check=False,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_streams_of_the_command_line_process(tmp_path):
    missing = tmp_path / "absent.yaml"
    failed = run_zarn("config", str(missing), cwd=tmp_path)
    assert failed.returncode == 1
    assert failed.stdout.startswith("[Warning] Filed to load config file at ")
    assert "zarn:" not in failed.stdout
    assert failed.stderr.startswith(f"zarn: cannot use configuration {missing}")
    shown = run_zarn("config", str(cli.EXAMPLE_CONFIG), cwd=tmp_path)
    assert (shown.returncode, shown.stderr) == (0, "")
    assert "IO image: 11 input bytes, 5 output bytes" in shown.stdout


def run_readme_example(after, tmp_path, appended=""):
    """Runs the first Python example of the README after the text `after`, in
    a folder outside the repository."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split(after, 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    script = tmp_path / "example.py"
    script.write_text(code + appended)
    return subprocess.run(
        [sys.executable, str(script)],
        check=False,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_readme_client_tour_runs_outside_the_repository(tmp_path):
    done = run_readme_example(
        "## The controller client",
        tmp_path,
        "\nprint(repr(client.getMorvoDict(13)['Params']))\n",
    )
    assert done.returncode == 0, done.stderr
    assert "'DistanceFactor': 1000" in done.stdout


# --- zarn check ---------------------------------------------------------------------

EXAMPLE_SCRIPTS = sorted((ROOT / "examples").glob("*.zarn"))


@pytest.mark.parametrize("script", EXAMPLE_SCRIPTS, ids=lambda path: path.stem)
def test_check_compiles_every_example(script, capsys):
    assert cli.main(["check", str(script)]) == 0
    captured = capsys.readouterr()
    assert captured.err == ""
    assert captured.out.startswith(f"{script}: 'main' compiles to ")


def check_rows(out):
    """{step number: (module, operation, [waited steps], text)} of check's
    output, read by the columns of its header line."""
    lines = out.splitlines()
    header = lines[1]
    starts = [
        header.index(word) for word in ("module", "operation", "waits for", "action")
    ]
    rows = {}
    for line in lines[2:]:
        if line.startswith("guarded part"):
            continue
        number = int(line[: starts[0]])
        module, operation, waits = (
            line[a:b].strip() for a, b in zip(starts, starts[1:])
        )
        waited = [] if waits == "-" else [int(w) for w in waits.split(", ")]
        rows[number] = (module, operation, waited, line[starts[3] :])
    return rows


def test_check_shows_each_step_with_module_operation_and_waits(capsys):
    script = ROOT / "examples" / "parallel_moves.zarn"
    assert cli.main(["check", str(script)]) == 0
    out = capsys.readouterr().out
    lines = out.splitlines()
    assert (
        lines[0]
        == f"{script}: 'main' compiles to 12 actions (20 steps with the groups' markers)"
    )
    assert lines[1].split() == ["step", "module", "operation", "waits", "for", "action"]
    rows = check_rows(out)
    assert sorted(rows) == list(range(1, 21))
    assert rows[1][:3] == ("-", "begin", [])
    assert rows[2][:3] == ("@z", "home", [1])
    # Steps 1 to 9 home the axes; the group that follows waits for them.
    assert rows[10][:3] == ("-", "begin", [9])
    assert rows[11][:3] == ("@x", "move", [10])
    assert rows[11][3].startswith("move @x to camera (300.0) on device 15")
    # The lift waits for both gantry axes, the camera for the lift.
    assert rows[13][:3] == ("@z", "move", [11, 12, 10])
    assert rows[14][:3] == ("@camera", "inspect", [13, 10])
    assert rows[15][:3] == ("-", "end", [11, 12, 13, 14])
    for number, (_, _, waited, _) in rows.items():
        assert all(w < number for w in waited)  # waits name earlier steps only


def test_check_shows_turns_priorities_and_guarded_parts(capsys):
    assert cli.main(["check", str(ROOT / "examples" / "shared_arm.zarn")]) == 0
    out = capsys.readouterr().out
    assert "branch 1 (HIGH) waits for its turn on @arm" in out
    assert "branch 2 (LOW) waits for its turn on @arm" in out
    assert "the competing group for @arm ends: every branch ran" in out
    assert cli.main(["check", str(ROOT / "examples" / "guarded_pick.zarn")]) == 0
    out = capsys.readouterr().out
    assert "pick with @arm at the next slot of tray input_tray  [guarded part 1]" in out
    # The exception part is listed step by step, numbered on from main's 16.
    lines = out.splitlines()
    heading = lines.index(
        "guarded part 1 (steps 14-15): when one of its steps fails, "
        "'release_and_warn' runs (steps 17-20); then the script goes on after the part"
    )
    part = [line.split(maxsplit=3) for line in lines[heading + 1 :]]
    assert [row[:3] for row in part] == [
        ["17", "-", "begin"],
        ["18", "@gripper", "set"],
        ["19", "@panel", "set"],
        ["20", "-", "end"],
    ]
    assert part[3][3].startswith("18, 19 ")


def test_check_reports_a_mistake_with_its_place_on_stderr(tmp_path, capsys):
    script = tmp_path / "job.zarn"
    script.write_text("block main {\n    @x move park\n    @y move far\n}\n")
    modules = ROOT / "examples" / "modules.py"
    assert cli.main(["check", str(script), "--modules", str(modules)]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.splitlines()
    assert lines[0].startswith(f"{script}:3:") and "has no position 'far'" in lines[0]
    assert lines[1:] == ["        @y move far", lines[2]] and lines[2].strip() == "^"
    script.write_text("block main {\n    @x move\n}\n")
    assert cli.main(["check", str(script), "--modules", str(modules)]) == 1
    assert capsys.readouterr().err.startswith(f"{script}:3:1: expected the name")


def test_check_shows_actions_of_kinds_without_a_description(tmp_path, capsys):
    (tmp_path / "modules.py").write_text(
        "from Zarn._zarnaction import ZarnAction\n"
        "from Zarn._zarnmodule import MachineModule, builds_action\n"
        "class Beep(ZarnAction):\n"
        "    def setup(self): pass\n"
        "    def execute(self): pass\n"
        "class Horn(MachineModule):\n"
        "    @builds_action\n"
        "    def beep(self): return Beep(self)\n"
        "horn = Horn('horn')\n"
    )
    script = tmp_path / "job.zarn"
    script.write_text("block main { @horn.beep() }")
    assert cli.main(["check", str(script)]) == 0
    out = capsys.readouterr().out
    # The action's own repr, which names its module: no memory address.
    assert check_rows(out)[1] == (
        "@horn",
        "Beep",
        [],
        "<Beep on <Horn @horn>, ZarnState.NotExecuted>",
    )


def test_check_of_missing_files_and_bad_usage(tmp_path, capsys):
    assert cli.main(["check", str(tmp_path / "absent.zarn")]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"zarn: no script file at {tmp_path / 'absent.zarn'}\n")
    assert f"installed with the package are in {cli.EXAMPLES}" in err
    script = tmp_path / "job.zarn"
    script.write_text("block main { @x move p }")
    assert cli.main(["check", str(script), "--modules", str(tmp_path / "none.py")]) == 1
    assert capsys.readouterr().err.startswith("zarn: no machine modules file at")
    with pytest.raises(SystemExit) as stop:
        cli.main(["check"])
    assert stop.value.code == 2


def test_check_works_on_the_installed_examples(tmp_path):
    installed = cli.EXAMPLES
    names = {path.name for path in installed.glob("*.zarn")}
    assert names == {path.name for path in EXAMPLE_SCRIPTS}
    assert (installed / "modules.py").is_file()
    done = run_zarn("check", str(installed / "pick_and_place.zarn"), cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert "'main' compiles to 71 actions" in done.stdout.splitlines()[0]


def test_readme_simulated_controller_tour_runs(tmp_path):
    done = run_readme_example("With no machine at hand", tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "20.0\n"
    assert "server_address: '127." in (tmp_path / "machine.yaml").read_text()


# --- zarn graph ----------------------------------------------------------------------


EXAMPLES = ROOT / "examples"
SVG = "{http://www.w3.org/2000/svg}"


@pytest.mark.skipif(
    shutil.which("dot") is None, reason="Graphviz's dot is not installed"
)
def test_zarn_graph_writes_svg_or_dot_by_the_suffix(tmp_path, capsys):
    script = EXAMPLES / "guarded_pick.zarn"
    picture = tmp_path / "graph.svg"
    assert cli.main(["graph", str(script), "-o", str(picture)]) == 0
    root = ET.fromstring(picture.read_text(encoding="utf-8"))
    assert root.tag == f"{SVG}svg"
    assert any(
        "guarded part 1" in "".join(t.itertext()) for t in root.iter(f"{SVG}text")
    )
    assert str(picture) in capsys.readouterr().out

    text = tmp_path / "graph.dot"
    assert cli.main(["graph", str(script), "-o", str(text)]) == 0
    assert text.read_text(encoding="utf-8") == pictures.graph_dot(
        compile(script), title=script.name
    )
    capsys.readouterr()
    assert cli.main(["graph", str(script)]) == 0
    assert capsys.readouterr().out.startswith('digraph "guarded_pick.zarn" {')


def test_zarn_graph_errors(tmp_path, capsys, monkeypatch):
    script = tmp_path / "bad.zarn"
    script.write_text("block main {\n    @nowhere move up\n}\n")
    out = tmp_path / "out.svg"
    assert cli.main(["graph", str(script), "-o", str(out)]) == 1
    said = capsys.readouterr()
    assert f"{script}:2:" in said.err and not out.exists()
    assert cli.main(["check", str(script)]) == 1
    assert capsys.readouterr().err == said.err  # as zarn check reports it

    good = EXAMPLES / "tray_walk.zarn"
    assert cli.main(["graph", str(good), "-o", str(tmp_path / "out.png")]) == 2
    assert "a .svg file" in capsys.readouterr().err
    assert cli.main(["graph", str(tmp_path / "none.zarn"), "-o", str(out)]) == 1
    assert "no script file" in capsys.readouterr().err
    assert cli.main(["graph", str(good), "-o", str(tmp_path / "no" / "g.dot")]) == 1
    assert "cannot write" in capsys.readouterr().err

    monkeypatch.setenv("PATH", str(tmp_path))
    assert cli.main(["graph", str(good), "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert "apt-get install graphviz" in err and f"-o {tmp_path / 'out.dot'}" in err
    assert cli.main(["graph", str(good), "-o", str(tmp_path / "g.dot")]) == 0
