"""What `zarn run` shows while a script runs: one line per action start
and finish, or, on a terminal, a live view per machine module that the
operator steers with keys; and how a failure is put to the operator."""

from __future__ import annotations

import os
import re
import select
import sys
import threading
import time
import types
from pathlib import Path

from Zarn.machine.interface import print_line
from Zarn.machine_modules.control import Decide
from Zarn.wording import counted

# The keys of the live view, as its caption and docs/running.md list them.
RUN_KEYS = "space pauses/resumes, s steps, q stops"
CHOICE_KEYS = "r retry, k skip, q stop"
# A statement's text is cut to this many characters in the live view.
STATEMENT_CHARS = 48


def decision_shown(action):
    """What a condition's check found, in words."""
    if action.role == "if":
        way = "its first way" if action.decision else "the other way ('else')"
        holds = "holds" if action.decision else "does not hold"
        return f"the condition {holds}: {way} is taken"
    return "another round" if action.decision else "the loop ends"


def event_line(event, width=8):
    """One line for a run event: time, step, module, operation, result."""
    at = f"{event.time:9.3f}s"
    if event.kind not in ("start", "finish"):
        # The operator's turns say what they are themselves ("paused: ...").
        said = event.message.startswith(event.kind)
        return f"{at}  {event.message if said else f'{event.kind}: {event.message}'}"
    if event.kind == "start":
        label, detail = "start", event.description
    else:
        label = event.outcome
        detail = f"in {event.duration:.3f} s"
        if event.error is not None:
            detail += f": {type(event.error).__name__}: {event.error}"
        decision = getattr(event.action, "decision", None)
        if event.outcome == "finished" and decision is not None:
            detail += f": {decision_shown(event.action)}"
    return (
        f"{at}  #{event.step + 1:<4} {'@' + event.module:<{width + 1}} "
        f"{event.operation:<9} {label:<9} {detail}"
    )


class NoView:
    """Nothing while the run runs (an estimate, over in milliseconds): the
    summary says it all."""

    on_event = None
    # Whether the operator steers the run with keys (the live view's).
    keys = False

    def attach(self, executor):
        """The view learns the run it shows (its machine time, its pause)."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class PlainLines(NoView):
    """One line per action start and finish, for logs and pipes."""

    def __init__(self, modules, out):
        self.out = out
        self.width = max((len(name) for name in modules), default=8)

    def on_event(self, event):
        print_line(event_line(event, self.width), self.out)


# --- the program pointer ----------------------------------------------------------------


def _module_of(action):
    name = getattr(getattr(action, "module", None), "name", None)
    return name if isinstance(name, str) else "?"


def _moved_by(action):
    """The modules other than its own whose devices an action moves (a
    handler's transfer: its axes and gripper)."""
    moved = getattr(action, "moved_modules", None)
    if not callable(moved):
        return []
    names = (getattr(module, "name", None) for module in moved())
    own = _module_of(action)
    return [name for name in names if isinstance(name, str) and name != own]


class ScriptText:
    """Where the plan's statements stand in the script: `file:line` and the
    line's text, read once."""

    def __init__(self, filename):
        self.name = Path(filename).name if filename else "?"
        try:
            self.lines = Path(filename).read_text(encoding="utf-8").splitlines()
        except (OSError, TypeError, UnicodeDecodeError):
            self.lines = []

    def _line(self, action):
        source = getattr(action, "source", None)
        line = getattr(source, "line", None)
        if not isinstance(line, int) or not 0 < line <= len(self.lines):
            return None, ""
        return line, self.lines[line - 1]

    def where(self, action):
        """ "job.zarn:12 @x move camera", or the action's description when
        it has no place in the script (a module's own operation)."""
        line, text = self._line(action)
        if line is None:
            return _cut(str(action.describe()), STATEMENT_CHARS)
        return f"{self.name}:{line} {_cut(text.strip(), STATEMENT_CHARS)}"

    def label(self, action):
        """The label in front of the action's statement (`at_x: @x move
        camera`), or None."""
        line, text = self._line(action)
        column = getattr(getattr(action, "source", None), "column", None)
        if line is None or not isinstance(column, int):
            return None
        found = re.search(r"(\w+)\s*:\s*$", text[: max(column - 1, 0)])
        return found.group(1) if found else None


def _cut(text, length):
    return text if len(text) <= length else text[: length - 1] + "\u2026"


class Waits:
    """What an idle module waits for: its next action's wait clauses (by the
    labels they name) or the module of the action it follows. Markers of
    groups are looked through once, when the view is made."""

    def __init__(self, plan, script):
        steps = plan.steps
        self._steps = steps
        self._script = script
        self._actions_behind = {}
        # name: its action steps in plan order, for the next one to come.
        self.next_of = {}
        for step in steps:
            if step.kind == "action":
                self.next_of.setdefault(_module_of(step.action), []).append(step.index)

    def _behind(self, index):
        """The action steps a step stands for: itself, or, for a marker,
        the actions it waits for."""
        if index in self._actions_behind:
            return self._actions_behind[index]
        step = self._steps[index]
        if step.kind == "action":
            found = (index,)
        else:
            found = tuple(
                dict.fromkeys(a for wait in step.waits for a in self._behind(wait))
            )
        self._actions_behind[index] = found
        return found

    def of(self, index, ended):
        """What step `index` still waits for, in words, or "" when nothing:
        "waits for at_x, at_y" (its wait clauses), "after @z" (the module
        of the action it follows)."""
        step = self._steps[index]
        clauses, follows = [], []
        for wait in step.waits:
            for waited in self._behind(wait):
                if waited in ended:
                    continue
                action = self._steps[waited].action
                if wait == step.after:
                    follows.append(f"@{_module_of(action)}")
                else:
                    label = self._script.label(action)
                    clauses.append(label or f"#{waited + 1} @{_module_of(action)}")
        shown = []
        if clauses:
            shown.append("waits for " + ", ".join(dict.fromkeys(clauses)))
        if follows:
            shown.append("after " + ", ".join(dict.fromkeys(follows)))
        return "; ".join(shown)


# --- messages of actions ------------------------------------------------------------------


class StampedOutput:
    """Stands for sys.stdout while the live view runs: each line an action
    prints goes above the view with the run's machine time and the step
    that printed it."""

    def __init__(self, view, original):
        self._view = view
        self._original = original
        self._pending = {}  # thread: the start of a line not yet ended
        self._lock = threading.Lock()

    def write(self, text):
        thread = threading.get_ident()
        with self._lock:
            text = self._pending.pop(thread, "") + text
            *lines, rest = text.split("\n")
            if rest:
                self._pending[thread] = rest
        for line in lines:
            self._view.message(line, thread)
        return len(text)

    def flush(self):
        pass

    def __getattr__(self, name):
        return getattr(self._original, name)


# --- keys ------------------------------------------------------------------------------------


class KeyReader:
    """Reads the operator's keys from a terminal, one at a time (cbreak
    mode: no Enter needed, Ctrl-C still interrupts), on a thread of its own
    until stopped; the terminal's mode is restored however the run ends."""

    POLL = 0.1  # seconds between looks at whether the run has ended

    def __init__(self, stream, on_key):
        self._fd = stream.fileno()
        self._on_key = on_key
        self._ended = threading.Event()
        self._saved = None
        self._thread = None

    def start(self):
        import termios
        import tty

        self._saved = termios.tcgetattr(self._fd)
        tty.setcbreak(self._fd)
        self._thread = threading.Thread(
            target=self._read, name="zarn-keys", daemon=True
        )
        self._thread.start()

    def stop(self):
        import termios

        self._ended.set()
        if self._thread is not None:
            self._thread.join()
        if self._saved is not None:
            termios.tcsetattr(self._fd, termios.TCSADRAIN, self._saved)
            self._saved = None

    def _read(self):
        while not self._ended.is_set():
            ready, _, _ = select.select([self._fd], [], [], self.POLL)
            if not ready:
                continue
            try:
                key = os.read(self._fd, 1).decode(errors="replace")
            except OSError:
                return
            if not key:  # the terminal has gone
                return
            self._on_key(key)


class LinePrompt:
    """Asks the operator on standard input, a line per answer, what to do
    with a failure: retry, skip or stop; the end of the input stops."""

    ANSWERS = types.MappingProxyType(
        {"r": "retry", "retry": "retry", "k": "skip", "skip": "skip"}
        | {"s": "stop", "stop": "stop", "q": "stop"}
    )

    def __init__(self, out=None, stdin=None):
        self._executor = None
        self._out = out
        self._stdin = stdin
        self._lock = threading.Lock()  # one question at a time

    def attach(self, executor):
        self._executor = executor

    def on_failure(self, event):
        stdin = self._stdin if self._stdin is not None else sys.stdin
        with self._lock:
            choice = None
            while choice is None:
                print_line(
                    f"#{event.step + 1} {event.description} failed: "
                    f"retry, skip or stop? [r/k/s]",
                    self._out,
                )
                answer = stdin.readline()
                if not answer:
                    choice = "stop"
                else:
                    choice = self.ANSWERS.get(answer.strip().lower())
            self._executor.choose(event.step, choice, by="prompt")


# --- the live view ---------------------------------------------------------------------------


class _ModuleProgress:
    __slots__ = ("cancelled", "done", "failed", "running", "total", "under")

    def __init__(self, total):
        self.total = total
        self.done = 0  # finished
        self.failed = 0  # failed or timed out
        self.cancelled = 0
        self.running = {}  # step: (the statement, monotonic start)
        self.under = {}  # step: (a transfer that moves it, monotonic start)

    @property
    def ended(self):
        return self.done + self.failed + self.cancelled


class LiveView:
    """A view that redraws itself on a terminal: one row per machine module
    with its progress, the statement it runs (`file:line`, its text, for how
    long) or what it waits for; failures, the run's turns and the actions'
    messages are printed above it as they happen. With `keys` (a terminal
    to read), the operator pauses, steps and stops the run, and chooses
    what a failure held for a choice comes to."""

    def __init__(self, plan, out, filename=None, keys=None):
        from rich.console import Console
        from rich.live import Live

        self.console = Console(file=out)
        self.out = out
        self.script = ScriptText(filename)
        self.waits = Waits(plan, self.script)
        self.modules = {}
        # With conditions, loops or retries in the plan not every step runs:
        # its count is a bound, and says so.
        self.bounded = False
        for step in plan.steps:
            if step.kind == "action":
                name = _module_of(step.action)
                self.modules.setdefault(name, _ModuleProgress(0)).total += 1
                self.bounded = self.bounded or isinstance(step.action, Decide)
        for step in plan.steps:
            if step.kind == "action":
                for name in _moved_by(step.action):
                    self.modules.setdefault(name, _ModuleProgress(0))
        self.width = max((len(name) for name in self.modules), default=8)
        self._lock = threading.Lock()
        self._ended = set()  # steps that have ended, for what idle modules wait for
        self._started_steps = set()
        self._thread_steps = {}  # worker thread: the step it runs
        self._started = time.monotonic()
        self._scale = 1.0
        self.executor = None
        self._keys_from = keys
        self._keys = None
        self.keys = keys is not None
        self._stdout = None
        self._live = Live(
            self,
            console=self.console,
            refresh_per_second=8,
            redirect_stdout=False,
            redirect_stderr=False,
        )

    def attach(self, executor):
        self.executor = executor
        self._scale = executor.time_scale

    def __enter__(self):
        self._started = time.monotonic()
        self._live.start()
        self._stdout = sys.stdout
        sys.stdout = StampedOutput(self, self._stdout)
        try:
            if self._keys_from is not None:
                self._keys = KeyReader(self._keys_from, self.on_key)
                self._keys.start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        try:
            if self._keys is not None:
                self._keys.stop()
        finally:
            if self._stdout is not None:
                sys.stdout = self._stdout
            self._live.stop()
        return False

    def machine_time(self):
        return (time.monotonic() - self._started) * self._scale

    # --- what the run tells

    def on_event(self, event):
        if event.kind in ("start", "finish"):
            self._count(event)
            if event.kind == "start" or event.outcome == "finished":
                return
        style = "red" if event.kind in ("finish", "stop", "failure") else "yellow"
        self._live.console.print(
            event_line(event, self.width), style=style, markup=False, highlight=False
        )

    def _count(self, event):
        now = time.monotonic()
        step = event.step
        with self._lock:
            progress = self.modules.get(event.module)
            if progress is None:  # an exception part's module
                progress = self.modules[event.module] = _ModuleProgress(0)
            moved = [] if event.stop_handler else _moved_by(event.action)
            if event.kind == "start":
                if not event.stop_handler:
                    self._thread_steps[threading.get_ident()] = step
                    self._started_steps.add(step)
                progress.running[(event.stop_handler, step)] = (
                    self.script.where(event.action),
                    now,
                )
                if event.exception_part or event.stop_handler:
                    progress.total += 1
                shown = f"@{event.module} {event.operation} #{step + 1}"
                for name in moved:
                    self.modules.setdefault(name, _ModuleProgress(0)).under[step] = (
                        shown,
                        now,
                    )
                return
            self._thread_steps.pop(threading.get_ident(), None)
            progress.running.pop((event.stop_handler, step), None)
            for name in moved:
                self.modules[name].under.pop(step, None)
            if not event.stop_handler:
                self._ended.add(step)
            if event.outcome == "finished":
                progress.done += 1
            elif event.outcome == "cancelled":
                progress.cancelled += 1
            else:
                progress.failed += 1

    def message(self, text, thread):
        """A line an action printed, put above the view with the time and
        the step that printed it."""
        with self._lock:
            step = self._thread_steps.get(thread)
        shown = f"#{step + 1:<4}" if step is not None else " " * 5
        self._live.console.print(
            f"{self.machine_time():9.3f}s  {shown} {text}",
            markup=False,
            highlight=False,
        )

    # --- the operator's keys

    def on_failure(self, event):
        """Holds a failure for the operator's key (r, k or q): the view
        shows it until then (the executor waits, as this returns None)."""

    def on_key(self, key):
        executor = self.executor
        if executor is None:
            return
        waiting = executor.waiting_choices
        if waiting:
            choice = {"r": "retry", "k": "skip", "q": "stop"}.get(key.lower())
            if choice is not None:
                executor.choose(min(waiting), choice, by="key")
        elif key == " ":
            if not executor.resume():
                executor.pause()
        elif key.lower() == "s":
            executor.step()
        elif key.lower() == "q":
            executor.stop()

    # --- the picture

    def _now_of(self, progress, now):
        """What a module's row says it does: its statements with how long
        they have run, the transfer that moves it, or what it waits for."""
        shown = [
            f"{where} ({(now - began) * self._scale:.1f} s)"
            for where, began in progress.running.values()
        ] + [
            f"under {what} ({(now - began) * self._scale:.1f} s)"
            for what, began in progress.under.values()
        ]
        if shown:
            return "; ".join(shown)
        if progress.total and progress.ended >= progress.total:
            return "done"
        return ""

    def _waiting_of(self, name, ended, paused):
        for index in self.waits.next_of.get(name, ()):
            if index not in self._started_steps:
                waits = self.waits.of(index, ended)
                if waits:
                    return waits
                return "ready, held by the pause" if paused else "ready"
        return "-"

    def _heading(self, done, total, failed, cancelled):
        bound = "at most " if self.bounded else ""
        counts = f"{done} of {bound}{counted(total, 'action')} done"
        if failed:
            counts += f", {failed} failed"
        if cancelled:
            counts += f", {cancelled} cancelled"
        state = ""
        executor = self.executor
        if executor is not None and executor.paused:
            state = "   PAUSED"
        return f"{self.machine_time():8.1f} s   {counts}{state}"

    def _caption(self):
        executor = self.executor
        if executor is None or not self.keys:
            return None
        waiting = executor.waiting_choices
        if waiting:
            event = waiting[min(waiting)]
            return f"#{event.step + 1} {event.description} failed: {CHOICE_KEYS}"
        return RUN_KEYS

    def __rich__(self):
        from rich import box
        from rich.progress_bar import ProgressBar
        from rich.table import Table

        now = time.monotonic()
        paused = self.executor is not None and self.executor.paused
        with self._lock:
            ended = set(self._ended)
            rows = []
            for name, p in self.modules.items():
                doing = self._now_of(p, now) or self._waiting_of(name, ended, paused)
                rows.append((name, p.total, p.done, p.failed, p.cancelled, doing))
        total = sum(row[1] for row in rows)
        done = sum(row[2] for row in rows)
        failed = sum(row[3] for row in rows)
        cancelled = sum(row[4] for row in rows)
        # As wide as the terminal whatever the rows say, so that the lines
        # under the heading keep their width from one picture to the next.
        table = Table(
            box=box.SIMPLE,
            expand=True,
            title=self._heading(done, total, failed, cancelled),
            title_justify="left",
            caption=self._caption(),
            caption_justify="left",
        )
        table.add_column("module", no_wrap=True)
        table.add_column("progress", no_wrap=True, width=24)
        table.add_column("done", justify="right", no_wrap=True)
        table.add_column("now", no_wrap=True, overflow="ellipsis", ratio=1)
        for name, module_total, module_done, module_failed, cancels, doing in rows:
            count = f"{module_done}/{module_total}"
            troubles = [f"{module_failed} failed"] if module_failed else []
            if cancels:
                troubles.append(f"{cancels} cancelled")
            if troubles:
                count += f" ({', '.join(troubles)})"
            table.add_row(
                f"@{name}",
                ProgressBar(
                    total=max(module_total, 1), completed=module_done, width=24
                ),
                count,
                doing,
            )
        return table


def live_view_keys(out, plain, stdin=None):
    """Whether the live view will be shown on `out` and steered with keys
    read from standard input (`stdin`): both terminals, no --plain."""
    stdin = sys.stdin if stdin is None else stdin
    return not plain and _is_terminal(out) and _is_terminal(stdin)


def make_view(plan, modules, out, plain, filename=None, stdin=None):
    """The live view on a terminal (steered with keys when standard input is
    one too), else a line per action start and finish."""
    if not plain and _is_terminal(out):
        stdin = sys.stdin if stdin is None else stdin
        keys = stdin if live_view_keys(out, plain, stdin) else None
        try:
            return LiveView(plan, out, filename, keys)
        except ImportError:  # no rich in this environment: lines will do
            pass
    return PlainLines(modules, out)


def _is_terminal(out):
    isatty = getattr(out, "isatty", None)
    return bool(isatty and isatty()) and os.environ.get("TERM") != "dumb"
