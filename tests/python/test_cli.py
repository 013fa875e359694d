import pytest

from Zarn import cli


def test_demo_runs_actions_in_dependency_order(capsys):
    assert cli.main(["demo"]) == 0
    lines = capsys.readouterr().out.splitlines()
    events = [line.split(None, 3)[1:] for line in lines if line.startswith("  ")]
    position = {(module, kind, what): n for n, (module, kind, what) in enumerate(events)}

    def at(module, kind, what):
        return position[(module, kind, what)]

    assert at("gripper", "start", "close") > at("axis_x", "done", "move to pick position")
    assert at("gripper", "start", "close") > at("axis_y", "done", "move to pick position")
    assert at("axis_x", "start", "move to place position") > at("gripper", "done", "close")
    assert at("gripper", "start", "open") > at("axis_x", "done", "move to place position")
    assert lines[-1].startswith("All finished") and "['Finished']" in lines[-1]


def test_no_command_prints_help_and_fails(capsys):
    assert cli.main([]) == 2
    assert "demo" in capsys.readouterr().out


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.startswith("zarn ")
