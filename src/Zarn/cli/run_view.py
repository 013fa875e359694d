"""What `zarn run` shows while a script runs: one line per action start
and finish, or, on a terminal, a live view per machine module."""

from __future__ import annotations

import os
import threading
import time

from Zarn.wording import counted


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
        return f"{at}  {event.kind}: {event.message}"
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

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class PlainLines:
    """One line per action start and finish, for logs and pipes."""

    def __init__(self, modules, out):
        self.out = out
        self.width = max((len(name) for name in modules), default=8)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def on_event(self, event):
        print(event_line(event, self.width), file=self.out, flush=True)


class _ModuleProgress:
    __slots__ = ("done", "failed", "running", "total")

    def __init__(self, total):
        self.total = total
        self.done = 0
        self.failed = 0
        self.running = {}  # step: what it does


class LiveView:
    """A view that redraws itself on a terminal: one row per machine module
    with its progress and what it does now; failures and the run's turns
    are printed above it as they happen."""

    def __init__(self, plan, out):
        from rich.console import Console
        from rich.live import Live

        self.console = Console(file=out)
        self.modules = {}
        for step in plan.steps:
            if step.kind == "action":
                name = getattr(getattr(step.action, "module", None), "name", "?")
                self.modules.setdefault(name, _ModuleProgress(0)).total += 1
        self.width = max((len(name) for name in self.modules), default=8)
        self._lock = threading.Lock()
        self._started = time.monotonic()
        self._live = Live(
            self, console=self.console, refresh_per_second=8, redirect_stderr=False
        )

    def __enter__(self):
        self._started = time.monotonic()
        self._live.start()
        return self

    def __exit__(self, *exc):
        self._live.stop()
        return False

    def on_event(self, event):
        if event.kind in ("start", "finish"):
            with self._lock:
                progress = self.modules.get(event.module)
                if progress is None:  # an exception part's module
                    progress = self.modules[event.module] = _ModuleProgress(0)
                if event.kind == "start":
                    progress.running[event.step] = event.description
                    if event.exception_part:
                        progress.total += 1
                else:
                    progress.running.pop(event.step, None)
                    progress.done += 1
                    if event.outcome != "finished":
                        progress.failed += 1
            if event.kind == "start" or event.outcome == "finished":
                return
        style = "red" if event.kind in ("finish", "stop") else "yellow"
        self._live.console.print(event_line(event, self.width), style=style)

    def __rich__(self):
        from rich import box
        from rich.progress_bar import ProgressBar
        from rich.table import Table

        with self._lock:
            rows = [
                (name, p.total, p.done, p.failed, list(p.running.values()))
                for name, p in self.modules.items()
            ]
        done = sum(row[2] for row in rows)
        total = sum(row[1] for row in rows)
        failed = sum(row[3] for row in rows)
        elapsed = time.monotonic() - self._started
        table = Table(
            box=box.SIMPLE,
            title=f"{elapsed:6.1f} s   {done} of {counted(total, 'action')} done"
            + (f", {failed} failed" if failed else ""),
            title_justify="left",
        )
        table.add_column("module")
        table.add_column("progress")
        table.add_column("done", justify="right")
        table.add_column("now")
        for name, module_total, module_done, module_failed, running in rows:
            count = f"{module_done}/{module_total}"
            if module_failed:
                count += f" ({module_failed} failed)"
            now = "; ".join(running) or ("done" if module_done >= module_total else "-")
            table.add_row(
                f"@{name}",
                ProgressBar(
                    total=max(module_total, 1), completed=module_done, width=24
                ),
                count,
                now,
            )
        return table


def make_view(plan, modules, out, plain):
    if not plain and _is_terminal(out):
        try:
            return LiveView(plan, out)
        except ImportError:  # no rich in this environment: lines will do
            pass
    return PlainLines(modules, out)


def _is_terminal(out):
    isatty = getattr(out, "isatty", None)
    return bool(isatty and isatty()) and os.environ.get("TERM") != "dumb"
