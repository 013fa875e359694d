import _thread
import gc
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest
from support.actions import RecordingAction
from Zarn._zarnaction import ZarnAction, ZarnEvent
from Zarn._zarnprimitives import ZarnId, ZarnState

# --- construction ---------------------------------------------------------------


def test_base_and_incomplete_kinds_cannot_be_constructed(module):
    class OnlySetup(ZarnAction):
        def setup(self, **settings):
            pass

    class OnlyExecute(ZarnAction):
        def execute(self):
            pass

    for kind in (ZarnAction, OnlySetup, OnlyExecute):
        with pytest.raises(TypeError, match="abstract"):
            kind(module)


def test_construction_sets_base_fields_before_setup(module):
    settings = {"speed": [1, {"nested": [2]}], "label": "move"}
    action = RecordingAction(module, **settings)

    assert action.setup_saw["state"] is ZarnState.NotExecuted
    assert action.setup_saw["dependency"] == []
    assert action.setup_saw["rest"] == {"speed": [1, {"nested": [2]}]}
    assert action.state is ZarnState.NotExecuted
    assert isinstance(action.finish_signal, ZarnEvent)
    assert not action.finish_signal.is_set()
    assert action.module is module
    assert action.dependency == []
    assert action.script_dep is None
    assert action.params == settings

    settings["speed"][1]["nested"].append(3)
    settings["speed"].append(4)
    assert action.params["speed"] == [1, {"nested": [2]}]


def test_setup_receives_the_callers_objects_not_the_copy(module):
    seen = {}

    class Keeper(ZarnAction):
        def setup(self, target=None):
            seen["target"] = target

        def execute(self):
            pass

    target = [1, 2]
    action = Keeper(module, target=target)
    assert seen["target"] is target
    assert action.params["target"] is not target


def test_state_accepts_only_states(module):
    action = RecordingAction(module)
    with pytest.raises(TypeError, match="ZarnState"):
        action.state = 3
    action.state = ZarnState.Error
    assert action.state is ZarnState.Error


# --- dependencies ----------------------------------------------------------------


def test_dependency_is_resolved_stops_at_the_first_identifier(module):
    action = RecordingAction(module)
    assert action.dependency_is_resolved()
    action.add_dependencies([RecordingAction(module), RecordingAction(module)])
    assert action.dependency_is_resolved()
    action.add_dependencies(ZarnId("later"))
    assert not action.dependency_is_resolved()


def test_resolve_replaces_known_names_by_the_last_action_of_their_block(module):
    first, last = RecordingAction(module), RecordingAction(module)
    x, y = ZarnId("x"), ZarnId("y")
    action = RecordingAction(module)
    action.add_dependencies([x, y, ZarnId("x")])

    action.resolve_dependencies({"x": [first, last]})

    assert action.dependency[0] is last
    assert action.dependency[1] is y
    assert action.dependency[2] is last
    assert not action.dependency_is_resolved()


def test_resolve_on_a_resolved_list_changes_nothing(module):
    other = RecordingAction(module)
    action = RecordingAction(module)
    action.add_dependencies(other)
    action.resolve_dependencies({})
    assert action.dependency == [other]


def test_resolve_against_an_empty_block_is_out_of_range(module):
    done = RecordingAction(module)
    action = RecordingAction(module)
    action.add_dependencies([ZarnId("full"), ZarnId("empty")])
    with pytest.raises(IndexError, match="empty"):
        action.resolve_dependencies({"full": [done], "empty": []})
    assert action.dependency[0] is done


def test_resolve_accepts_any_mapping_with_get(module):
    class Table:
        def get(self, key):
            return {"x": ["a", "b"]}.get(key)

    action = RecordingAction(module)
    action.add_dependencies(ZarnId("x"))
    action.resolve_dependencies(Table())
    assert action.dependency == ["b"]


# --- copy ------------------------------------------------------------------------


def test_copy_is_a_fresh_action_with_shared_dependency_items(module):
    journal = []
    other = RecordingAction(module)
    original = RecordingAction(module, journal=journal, label="a", extra=[1])
    original.add_dependencies([other, ";", ZarnId("y")])
    original.set_script_dep(threading.Event())
    original.finish_signal.set()
    original.state = ZarnState.Finished

    twin = original.copy()

    assert type(twin) is RecordingAction
    assert twin.module is module
    assert twin.params == original.params and twin.params is not original.params
    assert twin.params["extra"] is not original.params["extra"]
    assert twin.state is ZarnState.NotExecuted
    assert not twin.finish_signal.is_set()
    assert twin.script_dep is None
    assert twin.dependency == original.dependency
    assert twin.dependency[0] is other
    twin.dependency.append("only in the copy")
    assert "only in the copy" not in original.dependency
    # setup ran again with the copied settings
    assert twin.setup_saw["rest"] == {"extra": [1]}


def test_copy_removes_the_first_separator_from_the_originals_list(module):
    original = RecordingAction(module)
    original.dependency = ["a", ";", "b", ";"]
    twin = original.copy()
    assert original.dependency == ["a", "b", ";"]
    assert twin.dependency == ["a", "b", ";"]


# --- running ---------------------------------------------------------------------


def test_run_with_an_unresolved_identifier_fails_before_anything(module):
    action = RecordingAction(module)
    action.add_dependencies(ZarnId("missing"))
    with pytest.raises(AssertionError):
        action.run()
    assert action.journal == []
    assert action.state is ZarnState.NotExecuted


def test_run_of_a_ready_action_executes_at_once(module):
    done = RecordingAction(module)
    done.run()
    action = RecordingAction(module, label="ready")
    action.add_dependencies(done)
    action.set_script_dep(done.finish_signal)
    action.run()
    assert action.journal == ["ready"]
    assert action.state is ZarnState.Finished and action.finish_signal.is_set()


def test_wait_signals_waits_for_dependencies_in_order_then_the_predecessor(module):
    order = []

    class Probe:
        def __init__(self, name):
            self.name = name

        def wait(self):
            order.append(self.name)

    class Holder:
        def __init__(self, name):
            self.finish_signal = Probe(name)

    action = RecordingAction(module)
    action.add_dependencies([Holder("first"), Holder("second")])
    action.set_script_dep(Probe("script"))
    action.wait_signals()
    assert order == ["first", "second", "script"]

    RecordingAction(module).wait_signals()  # nothing to wait for: returns


def test_actions_on_their_own_threads_run_in_dependency_order(module, run_in_thread):
    journal = []
    a = RecordingAction(module, journal=journal, label="a")
    b = RecordingAction(module, journal=journal, label="b")
    c = RecordingAction(module, journal=journal, label="c")
    d = RecordingAction(module, journal=journal, label="d")
    b.add_dependencies(a)  # b after a
    c.set_script_dep(b.finish_signal)  # c after b in script order
    d.add_dependencies([a, c])  # d after a and c

    # Started in the worst order: every thread but the last must wait.
    for action in (d, c, b):
        run_in_thread(action.run)
    time.sleep(0.05)
    assert journal == []
    run_in_thread(a.run)
    assert d.finish_signal.wait(5)
    assert journal == ["a", "b", "c", "d"]


def test_a_thread_waiting_in_run_does_not_stop_python(module, run_in_thread):
    gate = RecordingAction(module, label="gate")
    waiter = RecordingAction(module, label="waiter")
    waiter.add_dependencies(gate)
    thread = run_in_thread(waiter.run)

    # The main thread keeps running Python while the other waits in C++.
    deadline = time.monotonic() + 0.3
    spins = 0
    while time.monotonic() < deadline:
        spins += 1
    assert thread.is_alive()
    assert spins > 10_000

    gate.run()
    thread.join(5)
    assert waiter.state is ZarnState.Finished


def test_threading_events_serve_as_script_predecessor(module, run_in_thread):
    predecessor = threading.Event()
    action = RecordingAction(module, label="after")
    action.set_script_dep(predecessor)
    run_in_thread(action.run)
    time.sleep(0.05)
    assert action.journal == []
    predecessor.set()
    assert action.finish_signal.wait(5)
    assert action.journal == ["after"]


def test_unresolved_identifier_fails_in_wait_signals(module):
    action = RecordingAction(module)
    action.add_dependencies(ZarnId("x"))
    with pytest.raises(AttributeError):
        action.wait_signals()


# --- events ----------------------------------------------------------------------


def test_event_behaves_like_threading_event():
    event = ZarnEvent()
    assert not event.is_set()
    assert event.wait(0.01) is False
    assert event.wait(-1) is False
    event.set()
    assert event.is_set() and event.wait() is True and event.wait(0) is True
    event.clear()
    assert not event.is_set()


def test_one_event_releases_many_waiters(run_in_thread):
    event = ZarnEvent()
    released = []
    for n in range(4):
        run_in_thread(lambda n=n: released.append(event.wait(5)))
    time.sleep(0.05)
    assert released == []
    event.set()
    deadline = time.monotonic() + 5
    while len(released) < 4 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert released == [True] * 4


def test_ctrl_c_interrupts_a_wait_on_the_main_thread():
    event = ZarnEvent()
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        event.wait()
    assert time.monotonic() - started < 5
    timer.join()


# The scenario runs in a child process: before events were shared, dropping
# the event froze the whole interpreter, which no in-process test survives.
DROP_WHILE_WAITING = textwrap.dedent(
    """
    import threading, time
    from Zarn._zarnaction import ZarnAction, ZarnEvent

    class Step(ZarnAction):
        def setup(self):
            pass

        def execute(self):
            self.finish_signal.set()

    forgotten = Step(None)
    forgotten.set_script_dep(ZarnEvent())  # its only reference
    threading.Thread(target=forgotten.run, daemon=True).start()

    awaited = ZarnEvent()
    watched = Step(None)
    watched.set_script_dep(awaited)
    waiter = threading.Thread(target=watched.run, daemon=True)
    waiter.start()
    time.sleep(0.2)

    forgotten.script_dep = None  # destroys nothing a waiter still uses
    print("dropped", flush=True)
    watched.script_dep = None  # the waiter still waits on the same event
    time.sleep(0.05)
    print("still waiting" if waiter.is_alive() else "released early", flush=True)
    awaited.set()
    waiter.join(5)
    print("finished" if watched.finish_signal.is_set() else "stuck", flush=True)
    """
)


def test_dropping_an_event_while_a_thread_waits_on_it_freezes_nothing():
    result = subprocess.run(
        [sys.executable, "-c", DROP_WHILE_WAITING],
        check=False,
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["dropped", "still waiting", "finished"]


# --- memory ----------------------------------------------------------------------


def test_reference_cycles_through_base_fields_are_collected(module):
    action = RecordingAction(module)
    action.add_dependencies(action)
    action.params["me"] = action
    alive = weakref.ref(action)
    del action
    gc.collect()
    assert alive() is None


def test_a_kind_that_skips_the_base_init_gets_a_clear_error():
    class Forgetful(ZarnAction):
        def __init__(self):
            pass

        def setup(self):
            pass

        def execute(self):
            pass

    action = Forgetful()
    for method in (action.run, action.wait_signals, action.copy):
        with pytest.raises(TypeError, match="super"):
            method()
