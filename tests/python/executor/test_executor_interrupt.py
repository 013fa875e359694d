"""Ctrl-C during a run, in a child process: the run stops the way a failure
does, and the process leaves promptly."""

import json
import queue
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

CHILD = """
import json, signal, sys, time

# Says when the run's Ctrl-C handler is called, so that the test sends the
# next Ctrl-C only then (two signals that arrive together count once).
install = signal.signal

def tell_each_call(signum, handler):
    if signum == signal.SIGINT and handler is not signal.default_int_handler:
        run_handler = handler

        def handler(signum, frame):
            print("interrupt", flush=True)
            run_handler(signum, frame)

    return install(signum, handler)

signal.signal = tell_each_call
sys.path.insert(0, {tests!r})
from support.actions import Module
from support.runs import block, parallel
from Zarn.executor import Executor, RunInterrupted

deaf = sys.argv[1] == "deaf"
slow_stop = sys.argv[1] == "slow-stop"
stops = []

def stop():
    stops.append(True)
    if slow_stop:
        print("stopping", flush=True)
        time.sleep(30)  # a controller that does not answer
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


class Child:
    """The child process, its output read line by line on a thread of its
    own (a pipe read by halves would lose what one half buffered)."""

    def __init__(self, tmp_path, mode):
        script = tmp_path / "child.py"
        script.write_text(
            CHILD.format(tests=str(Path(__file__).parents[1])), encoding="utf-8"
        )
        self.errors = tmp_path / "stderr.txt"
        with self.errors.open("w") as errors:
            self.process = subprocess.Popen(
                [sys.executable, str(script), mode],
                stdout=subprocess.PIPE,
                stderr=errors,
                text=True,
            )
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.next_line() == "running"

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def next_line(self, within=10):
        try:
            return self.lines.get(timeout=within)
        except queue.Empty:
            self.process.kill()
            pytest.fail(f"the child said nothing for {within} s")

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)
        assert self.next_line() == "interrupt"

    def finish(self, within):
        """Waits for the child to end; returns its last line, parsed."""
        try:
            self.process.wait(timeout=within)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            pytest.fail(f"the interrupted run did not end within {within} s")
        lines = []
        while (line := self.next_line()) is not None:
            lines.append(line)
        assert self.process.returncode == 130, self.errors.read_text()
        assert lines, self.errors.read_text()
        return json.loads(lines[-1])


@pytest.mark.timeout(60)
def test_ctrl_c_stops_the_run_cancels_what_runs_and_exits(tmp_path):
    child = Child(tmp_path, "cancellable")
    interrupted_at = time.monotonic()
    child.interrupt()
    told = child.finish(within=10)
    assert time.monotonic() - interrupted_at < 5, "the process left promptly"
    assert told["status"] == "interrupted"
    assert told["cancelled"] == ["x-move", "y-move"]
    assert told["abandoned"] == []
    assert told["skipped"] == ["after"]
    assert told["stops"] == 1 and told["stopped"] == ["all axes"]
    assert "Ctrl-C" in told["reason"]
    assert "leaked" not in child.errors.read_text()


@pytest.mark.timeout(60)
def test_a_second_ctrl_c_stops_waiting_for_actions_that_ignore_their_cancel(tmp_path):
    child = Child(tmp_path, "deaf")
    child.interrupt()
    time.sleep(0.5)
    assert child.process.poll() is None, "with a grace of 30 s the run still waits"
    interrupted_at = time.monotonic()
    child.interrupt()
    told = child.finish(within=10)
    assert time.monotonic() - interrupted_at < 5
    assert told["abandoned"] == ["x-move", "y-move"]
    assert told["stops"] == 1
    assert "leaked" not in child.errors.read_text(), "left behind on purpose"


@pytest.mark.timeout(60)
def test_a_third_ctrl_c_leaves_a_stop_that_hangs(tmp_path):
    child = Child(tmp_path, "slow-stop")
    child.interrupt()
    assert child.next_line() == "stopping"
    child.interrupt()
    time.sleep(0.3)
    assert child.process.poll() is None, "the stop hook still runs after a 2nd Ctrl-C"
    interrupted_at = time.monotonic()
    child.interrupt()
    told = child.finish(within=10)
    assert time.monotonic() - interrupted_at < 5
    assert told["status"] == "interrupted" and told["stops"] == 1
