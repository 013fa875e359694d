"""`zarn run`: scripts run on the simulated controller, what the user sees,
and how failures, lost results and Ctrl-C end a run."""

import io
import os
import pathlib
import re
import select
import signal
import subprocess
import sys
import textwrap
import time
import types
from xml.etree import ElementTree

import pytest
from support.controllers import EXAMPLE, example_with

from Zarn import cli, configuration
from Zarn.errors import RunError
from Zarn.morvo_client import MorvoDataIdxEnum
from Zarn.sim import SimulatedController, random_loopback

EXAMPLE_MODULES = cli.EXAMPLES / "modules.py"
STOP = 7
# time, step, module, operation, what happened
EVENT = re.compile(
    r"^ *(\d+\.\d{3})s  #(\d+) +@(\S+) +(\S+) +(start|finished|failed|timed out|"
    r"cancelled) +(.*)$"
)


def run(capsys, *args):
    """zarn run ARGS in this process: (exit status, output, errors)."""
    code = cli.main(["run", *map(str, args)])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def on(sim, config=EXAMPLE):
    """The options that aim a run at a simulator of the test's own."""
    return ["--controller", sim.address, "--config", config, "--speed", sim.speed]


def spans(output):
    """[(module, operation, start, end, description, outcome)] of the actions
    in a run's lines, in the order they started."""
    started, ended = {}, {}
    for line in output.splitlines():
        found = EVENT.match(line)
        if found is None:
            continue
        at, step, module, operation, what, detail = found.groups()
        if what == "start":
            started[step] = (module, operation, float(at), detail)
        else:
            ended[step] = (float(at), what)
    assert set(ended) == set(started), "every action that started also ended"
    return [
        (module, operation, at, ended[step][0], detail, ended[step][1])
        for step, (module, operation, at, detail) in sorted(
            started.items(), key=lambda item: item[1][2]
        )
    ]


def of(found, module, operation=None):
    return [s for s in found if s[0] == module and operation in (None, s[1])]


def overlap(a, b):
    return a[2] < b[3] and b[2] < a[3]


def after(later, *earlier):
    return all(later[2] >= e[3] for e in earlier)


def after_homing(found):
    """The spans of a run that start once its axes have homed."""
    homed = max((s[3] for s in found if s[1] == "home"), default=0.0)
    return [s for s in found if s[2] >= homed]


def stopped(out):
    """The axes a run's summary says it stopped."""
    found = re.search(r"^  stopped: (.*)$", out, re.MULTILINE)
    return set(found.group(1).split(", ")) if found else set()


def state_of(client, device):
    return int(
        client.get_logger(device, int(MorvoDataIdxEnum["MORVO_ID_SLAVE_STATUS"]))
    )


def output_pins(client, device):
    image = bytes.fromhex(client.io_monitor(device, "MORVO_ID_OUTPUT_DATA"))
    return [n for n in range(len(image) * 8) if image[n // 8] >> (n % 8) & 1]


def write_script(tmp_path, text, modules=EXAMPLE_MODULES):
    script = tmp_path / "job.zarn"
    script.write_text(textwrap.dedent(text), encoding="utf-8")
    return ["--modules", modules, script]


# --- the examples ---------------------------------------------------------------------


def test_every_example_runs_to_completion_with_its_parallelism(simulated, capsys):
    sim, _ = simulated(speed=20)
    # A machine is homed once when it is switched on; the examples after
    # home_all take a homed machine.
    for name in ("home_all", "parallel_moves", "pick_and_place", "gripper_test"):
        code, out, err = run(capsys, name, *on(sim))
        assert (code, err) == (0, ""), out
        assert "\nthe run finished\n" in out
        found = spans(out)
        assert all(outcome == "finished" for *_, outcome in found)
        if name != "home_all":
            found = after_homing(found)
        if name == "home_all":
            z_home, r_home = of(found, "z", "home")[0], of(found, "r", "home")[0]
            x_home, y_home = of(found, "x", "home")[0], of(found, "y", "home")[0]
            assert overlap(z_home, r_home) and overlap(x_home, y_home)
            assert after(x_home, of(found, "z", "move")[0], of(found, "r", "move")[0])
            assert after(of(found, "panel")[0], *of(found, "x"), *of(found, "y"))
        elif name == "parallel_moves":
            x_in, y_in = of(found, "x")[0], of(found, "y")[0]
            z_down, z_up = of(found, "z")
            assert overlap(x_in, y_in) and after(z_down, x_in, y_in)
            assert after(of(found, "camera")[0], z_down)
            x_out, y_out = of(found, "x")[1], of(found, "y")[1]
            assert after(x_out, z_up) and after(y_out, z_up) and overlap(x_out, y_out)
        elif name == "pick_and_place":
            picks, places = of(found, "arm", "pick"), of(found, "arm", "place")
            inspections = of(found, "camera")
            assert len(picks) == len(places) == len(inspections) == 10
            to_camera = [
                [s for s in of(found, axis, "move") if "to camera" in s[4]]
                for axis in ("x", "y", "z")
            ]
            for cycle in range(10):
                x, y, z = (moves[cycle] for moves in to_camera)
                assert after(x, picks[cycle]) and after(y, picks[cycle])
                assert overlap(x, y) and overlap(x, z) and overlap(y, z)
                assert after(inspections[cycle], x, y, z)
                assert after(places[cycle], inspections[cycle])
                if cycle:
                    assert after(picks[cycle], places[cycle - 1])
        else:  # gripper_test: the lamp goes off once the three cycles are done
            lamp_off = of(found, "panel")[1]
            assert after(lamp_off, *of(found, "gripper"))
            assert len(of(found, "gripper", "wait")) == 3

    # Competing jobs on the arm take turns, the rush order first.
    code, out, _ = run(capsys, "shared_arm", *on(sim))
    assert code == 0
    transfers = of(after_homing(spans(out)), "arm")
    assert all(after(b, a) for a, b in zip(transfers, transfers[1:]))
    assert "slot 1 of tray input_tray" in transfers[0][4]

    code, out, _ = run(capsys, "tray_walk", *on(sim))
    assert code == 0
    found = spans(out)
    assert after(of(found, "input_tray")[0], of(found, "arm", "pick")[-1])

    # An operator puts a tray in and closes the door.
    sim.set_input(1, 0, 1)
    sim.set_input(1, 8, 1)
    code, out, _ = run(capsys, "guarded_pick", *on(sim))
    assert code == 0 and "recover" not in out
    assert [s[1] for s in of(spans(out), "arm")] == ["pick", "place"]


def test_every_example_runs_alone_on_a_simulated_controller_of_its_own(capsys):
    # What a user who tries the examples one by one meets: each run starts a
    # fresh simulated controller, whose drives are unhomed.
    for script in sorted(cli.EXAMPLES.glob("*.zarn")):
        if script.stem == "sort_blanks":  # waits for a start button nobody presses
            continue
        code, out, err = run(capsys, script.stem, "--speed", 50)
        if script.stem == "guarded_pick":  # nobody puts a tray in
            assert code == 1 and "input 0 did not show 1 within 30 s" in err
        else:
            assert (code, err) == (0, ""), f"{script.stem}: {out}"
            assert "\nthe run finished\n" in out
        assert out.rstrip().endswith("Simulated controller stopped.")


def test_the_sorting_example_with_an_operator_and_a_camera(simulated, capsys):
    # The operator holds the start button down, so each wait for it ends at
    # once; the camera's verdict (part_ok) passes every blank, then none.
    sim, _ = simulated(speed=50)
    sim.set_input(1, 9, 1)
    for verdict, tray, resets in ((1, "output_tray", 1), (0, "reject_bins", 5)):
        sim.set_input(1, 10, verdict)
        code, out, err = run(capsys, "sort_blanks", *on(sim))
        assert (code, err) == (0, ""), out
        found = spans(out)
        assert all(outcome == "finished" for *_, outcome in found)
        # The input tray is emptied; a full tray or pair of bins is emptied
        # by the operator (a reset) and the job goes on.
        assert len(of(found, "arm", "pick")) == 12
        places = [s[4].split()[-1] for s in of(found, "arm", "place")]
        assert places == [tray] * 12
        assert len(of(found, tray, "reset")) == resets

    # Stopped while the gripper holds a blank: the stop handler lights the
    # red lamp and leaves the gripper closed on the blank.
    sim, client = simulated(speed=5)
    sim.set_input(1, 9, 1)
    process = start_run("sort_blanks", *on(sim))
    wait_for_line(process, r"@arm +pick +finished")
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130, err
    assert "the stop handler ran 3 actions, all finished" in out
    assert output_pins(client, 10) == [23]  # only the red lamp
    assert output_pins(client, 11) == [0]  # the gripper's valve, still closed


def test_a_script_that_moves_unhomed_axes_fails_with_a_hint(tmp_path, capsys):
    args = write_script(tmp_path, "block main { @x move camera }")
    code, out, err = run(capsys, *args, "--speed", 50)
    assert code == 1
    assert "needs homing" in err and "home_all" in err
    assert "Simulated controller stopped." in out


# --- what the user sees ------------------------------------------------------------------


def test_plain_lines_when_the_output_is_redirected(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "Zarn", "run", "home_all", "--speed", "50"],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0] == (
        f"Script {cli.EXAMPLES / 'home_all.zarn'}: 11 actions on the modules "
        "@z, @r, @x, @y, @gripper, @panel"
    )
    assert re.fullmatch(
        r"Controller: a simulated controller at 127(\.\d+){3}, ports 5001 "
        r"\(results\), 5002 \(actions\), 5003 \(logger\), 50 times real time; "
        rf"configuration {re.escape(str(EXAMPLE))} \(the example machine's\)",
        lines[1],
    )
    events = lines[2 : lines.index("")]
    assert len(events) == 22 and all(EVENT.match(line) for line in events)
    assert EVENT.match(events[0]).group(3, 4, 5) == ("z", "home", "start")
    summary = lines[lines.index("") + 1 :]
    assert summary[0] == "the run finished"
    assert summary[1].startswith("11 actions run, 0 failed, 0 skipped, in ")
    assert re.fullmatch(r"  @z: 2 actions, busy \d\.\d{3} s \(\d+%\)", summary[2])
    assert summary[-1] == "Simulated controller stopped."


def test_a_terminal_gets_the_live_view(tmp_path):
    import pty

    leader, follower = pty.openpty()
    process = subprocess.Popen(
        [sys.executable, "-m", "Zarn", "run", "home_all", "--speed", "50"],
        stdin=follower,
        stdout=follower,
        stderr=follower,
        cwd=tmp_path,
        env={**os.environ, "TERM": "xterm", "COLUMNS": "120"},
    )
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal is closed once the process has ended
            break
        if not chunk:
            break
        shown += chunk
    assert process.wait(30) == 0
    os.close(leader)
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown.decode())
    assert "11 of 11 actions done" in text
    assert re.search(r"@gripper +\S+ +2/2 +done", text)
    assert not any(EVENT.match(line) for line in text.splitlines())
    assert "the run finished" in text


class Terminal:
    """zarn run ARGS on a pseudo-terminal of its own (standard input and
    output): what it has shown, keys typed into it."""

    def __init__(self, *args, cwd):
        import pty

        self.leader, self.follower = pty.openpty()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "Zarn", "run", *map(str, args)],
            stdin=self.follower,
            stdout=self.follower,
            stderr=self.follower,
            cwd=cwd,
            env={**os.environ, "TERM": "xterm", "COLUMNS": "140"},
        )
        self.shown = ""

    def read(self, within):
        """Reads what comes for `within` seconds, or until the process ends."""
        deadline = time.monotonic() + within
        while (left := deadline - time.monotonic()) > 0:
            ready, _, _ = select.select([self.leader], [], [], min(left, 0.1))
            if ready:
                chunk = os.read(self.leader, 65536).decode(errors="replace")
                self.shown += re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", chunk)
            elif self.process.poll() is not None:
                return

    def wait_for(self, pattern, after=0, within=20):
        """The match of `pattern` in what is shown from `after` on."""
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            found = re.compile(pattern).search(self.shown, after)
            if found:
                return found
            self.read(0.2)
        self.process.kill()
        pytest.fail(f"{pattern!r} was not shown: {self.shown[after:]}")

    def press(self, key):
        os.write(self.leader, key.encode())

    def headings(self, after):
        """(actions done, paused) of each picture of the view from `after` on."""
        return [
            (int(done), "PAUSED" in rest)
            for done, rest in re.findall(
                r"(\d+) of 71 actions done([^\n]*)", self.shown[after:]
            )
        ]


def test_the_live_view_pauses_steps_and_stops_with_keys(tmp_path):
    import termios

    address = random_loopback()
    picture = tmp_path / "run.svg"
    terminal = Terminal(
        "pick_and_place", "--speed", 5, "--step", "--sim-address", address,
        "--timeline", picture, cwd=tmp_path,
    )  # fmt: skip
    try:
        terminal.wait_for(rf"simulated controller at {re.escape(address)},")
        # --step: paused before the first action; nothing starts meanwhile.
        terminal.wait_for(r"0 of 71 actions done +PAUSED")
        mark = len(terminal.shown)
        terminal.read(1.0)
        assert {done for done, _ in terminal.headings(mark)} == {0}
        # s: exactly one action, then paused again; the next would start at
        # once (the other homing), but does not.
        terminal.press("s")
        mark = terminal.wait_for(r"1 of 71 actions done +PAUSED").start()
        terminal.read(1.5)
        assert set(terminal.headings(mark)) == {(1, True)}
        # space: the run goes on, not paused.
        terminal.press(" ")
        found = terminal.wait_for(r"\b([4-9]|\d\d) of 71 actions done", mark)
        assert "PAUSED" not in terminal.shown[found.end() :].split("\n")[0]
        assert re.search(r"@z .*(under @arm|pick_and_place\.zarn:\d+ )", terminal.shown)
        # q: the run stops, its axes are stopped, the simulator too.
        terminal.press("q")
        terminal.wait_for(r"Simulated controller stopped\.", found.end())
        assert terminal.process.wait(20) == 1
        terminal.read(0.5)
        # The terminal is given back as it was: lines, echo.
        mode = termios.tcgetattr(terminal.follower)[3]
        assert mode & termios.ICANON and mode & termios.ECHO
    finally:
        terminal.process.kill()
        os.close(terminal.follower)
        os.close(terminal.leader)
    shown = terminal.shown.replace("\r\n", "\n")
    summary = shown[shown.index("\nthe run was stopped on request\n") :]
    assert re.search(r"\n  paused 1 time, \d+\.\d{3} s in all\n", summary)
    assert "stopped: @z (device 13)" in summary
    assert "zarn: the run was stopped on request" in summary
    assert picture.read_text().count('class="pause"') == 1


def test_on_failure_ask_takes_the_answer_from_standard_input(
    tmp_path, capsys, monkeypatch
):
    args = write_script(tmp_path, "block main {\n @x move camera\n @z move home\n}\n")
    monkeypatch.setattr(sys, "stdin", io.StringIO("k\n"))
    code, out, err = run(capsys, *args, "--speed", 50, "--on-failure", "ask")
    assert (code, err) == (0, "")
    assert "failed: retry, skip or stop? [r/k/s]\n" in out
    # Skipped: the next statement runs.
    assert [(s[0], s[5]) for s in spans(out)] == [("x", "failed"), ("z", "finished")]
    assert re.search(
        r"^  #1 move @x to camera \(300\.0\) .* failed \(MachineError: .*needs "
        r"homing first.*\): skip chosen \(prompt\)$",
        out,
        re.MULTILINE,
    )
    # No answer (the end of the input) stops the run.
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    code, out, _ = run(capsys, *args, "--speed", 50, "--on-failure", "ask")
    assert code == 1 and "stop chosen (prompt)" in out
    assert [s[0] for s in spans(out)] == ["x"]


def test_the_simulated_controller_listens_where_it_is_told(capsys):
    address = random_loopback()
    with SimulatedController(EXAMPLE, address=address):
        for verb in (["run", "home_all"], ["demo"]):
            code = cli.main([*verb, "--sim-address", address])
            assert code == 1
            assert capsys.readouterr().err == (
                f"zarn: the simulated controller: the address {address} is in use: "
                "another program listens there on one of the ports 5001, 5002, 5003\n"
            )
    code, out, _ = run(capsys, "home_all", "--sim-address", address, "--speed", 50)
    assert code == 0
    assert f"Controller: a simulated controller at {address}, ports" in out
    for wrong in ("10.0.0.1", "localhost"):
        with pytest.raises(SystemExit):
            cli.main(["run", "home_all", "--sim-address", wrong])
        assert "a loopback address 127.x.y.z" in capsys.readouterr().err


def test_a_dry_run_sends_nothing_and_shows_what_it_would(capsys):
    code, out, err = run(capsys, "pick_and_place", "--dry-run")
    assert (code, err) == (0, "")
    assert "Controller" not in out
    assert "would home 13 17" in out
    assert "would move dev 15 to 300.0 (v=1.0 a=1.0 d=1.0)" in out
    assert out.count("would wait_input 11 0 1 2.0") == 10  # every pick's gripper
    assert "71 actions run, 0 failed, 0 skipped" in out


# --- failures -------------------------------------------------------------------------------


def test_a_failure_in_a_guarded_part_runs_its_exception_part(
    simulated, capsys, tmp_path
):
    # Without the wire of its closed sensor, the gripper never reports a part.
    wire = "      - {FromDevice: 11, FromPin: 0, ToDevice: 11, ToPin: 0, Delay: 0.2}\n"
    config = example_with(tmp_path, replace=[(wire, "")])
    sim, client = simulated(config, speed=40)
    assert run(capsys, "home_all", *on(sim, config))[0] == 0
    sim.set_input(1, 0, 1)
    sim.set_input(1, 8, 1)
    code, out, err = run(capsys, "guarded_pick", *on(sim, config))
    assert (code, err) == (0, "")
    found = spans(out)
    pick = of(found, "arm", "pick")[0]
    assert pick[5] == "failed" and "did not show 1 within 2 s" in out
    assert of(found, "arm", "place") == []  # the rest of the guarded part
    assert "recover: pick with @arm" in out
    valve, lamp = of(found, "gripper", "set")[-1], of(found, "panel", "set")[-1]
    assert after(valve, pick) and after(lamp, pick)
    assert "the run finished (1 guarded part recovered)" in out
    # The exception part opened the jaws and lit the red lamp.
    assert output_pins(client, 11) == [] and 23 in output_pins(client, 10)


def test_an_unguarded_failure_stops_the_moving_axes(
    simulated, capsys, tmp_path, monkeypatch
):
    sim, client = simulated(speed=1)
    drawn = []
    pictures = types.ModuleType("Zarn.pictures")
    pictures.timeline_svg = lambda report, title: (
        drawn.append((report, title)) or "<svg/>"
    )
    monkeypatch.setitem(sys.modules, "Zarn.pictures", pictures)
    code, out, err = run(
        capsys,
        *on(sim),
        "--timeline",
        tmp_path / "run.svg",
        *write_script(
            tmp_path,
            """\
                block main parallel {
                    @x move home
                    @x move output
                } and {
                    @sensors.wait_for("start_button", 1, "1.5")
                }
                """,
        ),
    )
    assert code == 1
    assert err.startswith(
        "zarn: the run failed: wait until start_button of @sensors is on"
    )
    assert "did not show 1 within 1.5 s (it shows 0)" in err
    move = of(spans(out), "x", "move")[0]
    assert move[5] == "cancelled" and move[3] < 3
    assert stopped(out) == {"@x (device 15)"}
    assert state_of(client, 15) == STOP and 0 < client.motor_monitor(15) < 450
    # The timeline is drawn for a failed run too, titled with the script's name.
    ((report, title),) = drawn
    assert report.status == "failed" and title.endswith(".zarn")
    assert (tmp_path / "run.svg").read_text() == "<svg/>"


def test_a_lost_result_ends_in_the_time_out(simulated, capsys):
    sim, client = simulated(speed=20, silent_publisher=True)
    began = time.monotonic()
    code, out, err = run(capsys, "home_all", *on(sim), "--action-timeout", 1)
    assert code == 1 and time.monotonic() - began < 8
    assert "timed out" in err and "did not finish within 1 s" in err
    assert stopped(out) == {"@z (device 13)", "@r (device 14)"}
    assert [state_of(client, drive) for drive in (13, 14)] == [STOP, STOP]


# --- Ctrl-C ----------------------------------------------------------------------------


def start_run(*args, **popen):
    return subprocess.Popen(
        [sys.executable, "-m", "Zarn", "run", "--plain", *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **popen,
    )


def wait_for_line(process, pattern, within=20):
    """Reads the child's lines until one matches; all read so far."""
    seen = []
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        seen.append(line)
        if re.search(pattern, line):
            return seen
    process.kill()
    pytest.fail(f"no line matched {pattern!r}: {''.join(seen)}")


def test_ctrl_c_during_motion_stops_the_axes_and_ends_promptly(simulated):
    sim, client = simulated(speed=1)
    process = start_run("pick_and_place", *on(sim))
    wait_for_line(process, r"@arm +pick +start")
    time.sleep(0.3)  # the arm's z axis is on its way
    interrupted = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=10)
    assert process.returncode == 130 and time.monotonic() - interrupted < 5
    assert "the run was interrupted (Ctrl-C)" in out
    assert stopped(out) == {
        "@z (device 13)",
        "@r (device 14)",
        "@x (device 15)",
        "@y (device 16)",
    }
    assert err == "zarn: the run was interrupted (Ctrl-C)\n"
    assert [state_of(client, drive) for drive in (13, 14, 15, 16)] == [STOP] * 4


def test_a_controller_killed_mid_motion_ends_the_run_in_seconds():
    # The results are published only when a motion ends, so the silence of a
    # long move must not hide a controller that is gone.
    sim = SimulatedController(EXAMPLE, speed=1).start()
    process = start_run("pick_and_place", *on(sim))
    try:
        wait_for_line(process, r"@arm +pick +start")
        time.sleep(0.3)  # the arm's z axis is on its way
        sim._process.kill()
        killed = time.monotonic()
        out, err = process.communicate(timeout=30)
        ended = time.monotonic() - killed
    finally:
        process.kill()
        sim.stop()
    assert process.returncode == 1 and ended < 5, (ended, out, err)
    # The probes on the logger port, or the run's own commands on the action
    # port, whichever went unanswered first; a command that failed for want
    # of an answer is told after the cause.
    port = r"(logger port 5003|action port 5002)"
    assert re.match(
        rf"zarn: the run failed: the controller at {re.escape(sim.address)} stopped "
        rf"answering: no answer on its {port}( and {port})? since "
        r"\d\d:\d\d:\d\d\.\d{3} \(\d+ requests in a row\)",
        err,
    ), err
    # The stops are tried until one goes unanswered; the rest would each
    # cost a time-out.
    line = re.search(r"^  stopped: (.*)$", out, re.MULTILINE).group(1)
    assert line.count("@") == 4 and "the stop failed" in line, line
    assert "no stop sent, the controller does not answer" in line, line


@pytest.mark.parametrize(
    "send",
    [
        # A terminal sends Ctrl-C to its whole foreground process group; the
        # simulator started for the run must outlive it to stop the axes.
        lambda process: os.killpg(process.pid, signal.SIGINT),
        # A kill, or a terminal that closes, is taken as a Ctrl-C.
        lambda process: process.send_signal(signal.SIGTERM),
        lambda process: process.send_signal(signal.SIGHUP),
    ],
    ids=["ctrl-c-at-the-terminal", "terminated", "hung-up"],
)
def test_the_simulator_serves_until_the_axes_are_stopped(send):
    process = start_run("pick_and_place", "--speed", 1, start_new_session=True)
    wait_for_line(process, r"@arm +pick +start")
    send(process)
    out, err = process.communicate(timeout=10)
    assert process.returncode == 130, err
    assert "the run was interrupted (Ctrl-C)" in out
    assert {"@z (device 13)", "@r (device 14)"} <= stopped(out)
    assert "the stop failed" not in out
    assert out.endswith("Simulated controller stopped.\n")


# --- before the run ------------------------------------------------------------------------


def test_what_stops_a_run_before_it_begins(capsys, tmp_path, monkeypatch):
    code, _, err = run(capsys, "no_such_job")
    assert err.startswith("zarn: no script file at no_such_job\n")
    assert code == 1 and "their bare names (pick_and_place) will do" in err

    modules = tmp_path / "machine.py"
    modules.write_text(
        "from Zarn._zarnmodule import Axis, IOModule\n"
        "q = Axis('q', 30, {'a': 1.0})\n"
        "g = IOModule('g', 13, outputs={'v': 0})\n"
    )
    script = write_script(
        tmp_path, "block main parallel { @q move a } and { @g set v on }\n", modules
    )
    code, out, err = run(capsys, *script)
    assert code == 1 and "Controller: a simulated" in out and "#" not in out
    assert f"@q drives device 30, which configuration {EXAMPLE} lacks" in err
    assert f"@g needs an IO module on device 13, which configuration {EXAMPLE}" in err

    nowhere = "127." + ".".join(str(1 + byte % 254) for byte in os.urandom(3))
    code, _, err = run(capsys, "home_all", "--controller", nowhere, "--config", EXAMPLE)
    assert code == 1 and f"no controller answers at {nowhere}" in err

    code, _, err = run(capsys, "home_all", "--config", tmp_path / "absent.yaml")
    assert code == 1 and "no configuration file at" in err

    # An installation without the pictures: nothing runs for a lost picture.
    monkeypatch.setitem(sys.modules, "Zarn.pictures", None)
    code, out, err = run(capsys, "home_all", "--timeline", tmp_path / "t.svg")
    assert code == 1 and "--timeline needs the pictures module" in err and out == ""


def test_where_the_script_and_the_configuration_come_from(monkeypatch, tmp_path):
    assert cli.find_script("pick_and_place") == cli.EXAMPLES / "pick_and_place.zarn"
    assert cli.find_script("tray_walk.zarn") == cli.EXAMPLES / "tray_walk.zarn"
    assert cli.find_script("mine/pick_and_place") == pathlib.Path("mine/pick_and_place")

    own = tmp_path / "own.yaml"
    monkeypatch.setattr(configuration, "DEFAULT_CONFIG", str(tmp_path / "absent.yaml"))
    monkeypatch.delenv(cli.CONFIG_VARIABLE, raising=False)
    assert configuration.choose_config(None, None) == (EXAMPLE, "the example machine's")
    with pytest.raises(RunError, match="name the machine's configuration"):
        configuration.choose_config(
            None, "10.0.0.5"
        )  # never the example, for a machine
    own.write_text("")
    monkeypatch.setattr(configuration, "DEFAULT_CONFIG", str(own))
    assert configuration.choose_config(None, "10.0.0.5")[0] == own
    monkeypatch.setenv(cli.CONFIG_VARIABLE, "named.yaml")
    assert configuration.choose_config(None, None) == (
        pathlib.Path("named.yaml"),
        f"from {cli.CONFIG_VARIABLE}",
    )
    assert configuration.choose_config("given.yaml", None)[0] == pathlib.Path(
        "given.yaml"
    )


def test_the_timeline_picture_is_valid_svg(simulated, capsys, tmp_path):
    pytest.importorskip("Zarn.pictures")
    sim, _ = simulated(speed=40)
    picture = tmp_path / "home_all.svg"
    code, out, _ = run(capsys, "home_all", *on(sim), "--timeline", picture)
    assert code == 0 and f"Timeline written to {picture}" in out
    assert ElementTree.parse(picture).getroot().tag.endswith("svg")
