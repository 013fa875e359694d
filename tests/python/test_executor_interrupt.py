"""Ctrl-C during a run, in a child process: the run stops the way a failure
does, and the process leaves promptly."""

import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

CHILD = """
import json, sys
sys.path.insert(0, {tests!r})
from conftest import Module
from test_executor import block, parallel
from Zarn.executor import Executor, RunInterrupted

deaf = sys.argv[1] == "deaf"
stops = []

def stop():
    stops.append(True)
    return ["all axes"]

group = parallel(
    block(Module("x"), "x-move", block=not deaf, ignore_cancel=deaf),
    block(Module("y"), "y-move", block=not deaf, ignore_cancel=deaf),
)
group.next_block = block(Module("z"), "after")
started = []

def on_event(event):
    if event.kind == "start":
        started.append(event.action.label)
        if len(started) == 2:
            print("running", flush=True)

executor = Executor(
    group, cancel=lambda action: action.cancel(), stop=stop, on_event=on_event,
    cancel_grace=30,
)
try:
    executor.run()
except RunInterrupted as interrupted:
    report = interrupted.report
    print(json.dumps({{
        "status": report.status,
        "cancelled": sorted(r.action.label for r in report.cancelled),
        "abandoned": sorted(r.action.label for r in report.actions if r.abandoned),
        "skipped": [r.action.label for r in report.skipped],
        "stopped": report.stopped,
        "stops": len(stops),
        "reason": report.reason,
    }}), flush=True)
    sys.exit(report.exit_code)
print("not interrupted", flush=True)
"""


def start_child(tmp_path, mode):
    script = tmp_path / "child.py"
    script.write_text(CHILD.format(tests=str(Path(__file__).parent)), encoding="utf-8")
    child = subprocess.Popen(
        [sys.executable, str(script), mode],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline().strip() == "running"
    return child


def finish(child, within):
    try:
        out, err = child.communicate(timeout=within)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"the interrupted run did not end within {within} s")
    return out, err


@pytest.mark.timeout(60)
def test_ctrl_c_stops_the_run_cancels_what_runs_and_exits(tmp_path):
    child = start_child(tmp_path, "cancellable")
    interrupted_at = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = finish(child, within=10)
    assert time.monotonic() - interrupted_at < 5, "the process left promptly"
    assert child.returncode == 130, err
    told = json.loads(out.strip().splitlines()[-1])
    assert told["status"] == "interrupted"
    assert told["cancelled"] == ["x-move", "y-move"]
    assert told["abandoned"] == []
    assert told["skipped"] == ["after"]
    assert told["stops"] == 1 and told["stopped"] == ["all axes"]
    assert "Ctrl-C" in told["reason"]


@pytest.mark.timeout(60)
def test_a_second_ctrl_c_stops_waiting_for_actions_that_ignore_their_cancel(tmp_path):
    child = start_child(tmp_path, "deaf")
    child.send_signal(signal.SIGINT)
    time.sleep(0.5)
    assert child.poll() is None, "with a grace of 30 s the run still waits"
    interrupted_at = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = finish(child, within=10)
    assert time.monotonic() - interrupted_at < 5
    assert child.returncode == 130, err
    told = json.loads(out.strip().splitlines()[-1])
    assert told["abandoned"] == ["x-move", "y-move"]
    assert told["stops"] == 1
