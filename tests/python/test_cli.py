import pytest

from Zarn import cli


def test_demo_runs_actions_in_dependency_order(capsys):
    assert cli.main(["demo"]) == 0
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


def test_no_command_prints_help_and_fails(capsys):
    assert cli.main([]) == 2
    assert "demo" in capsys.readouterr().out


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.startswith("zarn ")


def test_a_failing_action_is_reported_and_hangs_nothing(monkeypatch, capsys):
    from Zarn import demo

    def jammed(seconds):
        if seconds == 0.1:  # the gripper's actions
            raise OSError("gripper jammed")

    monkeypatch.setattr(demo.time, "sleep", jammed)
    assert cli.main(["demo"]) == 1
    out = capsys.readouterr().out
    assert (
        "zarn: 2 of 7 actions failed; first: 'close' on gripper: gripper jammed" in out
    )


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
    out = capsys.readouterr().out
    assert f"[Warning] Filed to load config file at {missing}" in out
    assert f"zarn: cannot use configuration {missing}" in out
