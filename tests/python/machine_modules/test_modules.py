"""Machine modules: declaration, the actions they make and their execution
against a recording machine; loading a machine's modules file and building
the module registry."""

import importlib.util
import pathlib
import sys
import threading
import types

import pytest
import yaml
from Zarn._zarnprimitives import ZarnId, ZarnState

from Zarn import _zarnmodule as zm
from Zarn._zarnmodule import (
    Axis,
    AxisCommand,
    ExternalCall,
    Handler,
    HomeAxis,
    IOModule,
    Log,
    MachineModule,
    MoveAxis,
    MoveAxisBy,
    ResetTray,
    SetOutput,
    Transfer,
    Tray,
    Wait,
    WaitInput,
    operation,
)
from Zarn.machine import AxisMove, MachineError, RecordingMachine


class Machine:
    """A small machine: gantry x/y, lift z, a gripper and one 3 x 4 tray."""

    def __init__(self):
        self.x = Axis(
            "x", 15, {"park": 0.0, "pick": 120.0}, velocity=100, limits=(0, 600)
        )
        self.y = Axis("y", 16, {"park": 0.0}, limits=(0, 400))
        self.z = Axis(
            "z", 13, {"up": 0.0, "low": 90.0}, homing_method=35, limits=(0, 120)
        )
        self.gripper = IOModule(
            "gripper", 11, outputs={"valve": 0, "blow": (1, 2)}, inputs={"closed": 3}
        )
        self.tray = Tray(
            "tray", 3, 4, origin=(100.0, 50.0), pitch=(20.0, 30.0), height=80.0
        )
        self.spare = Tray("spare", slots=[(500.0, 10.0)], height=70.0)
        self.arm = Handler(
            "arm",
            x=self.x,
            y=self.y,
            z=self.z,
            gripper=self.gripper,
            grip="valve",
            gripped="closed",
            travel="up",
            trays=[self.tray, self.spare],
        )


@pytest.fixture
def m():
    return Machine()


def executed(action, machine=None):
    action.machine = machine or RecordingMachine()
    action.execute()
    return action.machine.calls


# --- declaring modules ---------------------------------------------------------------


@pytest.mark.parametrize(
    "settings, error, message",
    [
        ({"device": "13"}, TypeError, "integer MorvoID"),
        ({"device": True}, TypeError, "integer MorvoID"),
        ({"device": 0}, ValueError, "from 1 up"),
        ({"positions": {"home": 1.0}}, ValueError, "runs the homing"),
        ({"positions": {"pick": "far"}}, TypeError, "position 'pick'.*number"),
        (
            {"positions": {"pick": 700}, "limits": (0, 600)},
            ValueError,
            "outside the travel",
        ),
        ({"positions": {"two words": 1}}, TypeError, "must be a name"),
        ({"velocity": 0}, ValueError, "positive"),
        ({"limits": (5, 1)}, ValueError, "limits"),
    ],
)
def test_axis_declaration_errors(settings, error, message):
    settings = {"device": 13, **settings}
    with pytest.raises(error, match=message):
        Axis("x", **settings)


@pytest.mark.parametrize(
    "settings, error, message",
    [
        (
            {"outputs": {"a": 0}, "inputs": {"a": 1}},
            ValueError,
            "both an output and an input",
        ),
        ({"outputs": {"a": 3, "b": (0, 3)}}, ValueError, "pin 3 twice: 'a' and 'b'"),
        ({"inputs": {"a": -1}}, ValueError, "from 0 up"),
        ({"inputs": {"a": (1, 8)}}, ValueError, "bits run 0 to 7"),
        ({"device": 11.0}, TypeError, "integer MorvoID"),
        ({"input_timeout": 0}, ValueError, "more than 0"),
    ],
)
def test_io_module_declaration_errors(settings, error, message):
    settings = {"device": 11, **settings}
    with pytest.raises(error, match=message):
        IOModule("io", **settings)


def test_tray_slots_are_numbered_along_rows_from_the_origin(m):
    assert m.tray.slot_count == 12
    assert m.tray.slot_position(1) == (100.0, 50.0)
    assert m.tray.slot_position(2) == (120.0, 50.0)
    assert m.tray.slot_position(5) == (100.0, 80.0)
    assert m.tray.slot_position(12) == (160.0, 110.0)
    assert m.tray.slot_at(2, 1) == 5
    assert m.spare.slot_position(1) == (500.0, 10.0)
    with pytest.raises(TypeError, match="either"):
        Tray("t", 1, 2, origin=(0, 0), pitch=(1, 0), slots=[(0, 0)])
    with pytest.raises(TypeError, match="pitch"):
        Tray("t", 2, 2, origin=(0, 0))
    with pytest.raises(ValueError, match="at least 1"):
        Tray("t", 0, 2, origin=(0, 0), pitch=(1, 1))
    with pytest.raises(TypeError, match="slot 2 .* pair"):
        Tray("t", slots=[(0, 0), 5])


def test_handler_refuses_what_it_could_not_reach(m):
    def arm(**changes):
        settings = {
            "x": m.x,
            "y": m.y,
            "z": m.z,
            "gripper": m.gripper,
            "grip": "valve",
            "travel": "up",
            "trays": [m.tray],
        }
        settings.update(changes)
        return Handler("arm", **settings)

    with pytest.raises(ValueError, match="no height"):
        arm(trays=[Tray("flat", 1, 1, origin=(0, 0))])
    with pytest.raises(ValueError, match="slot 2 of tray 'far'.*outside the travel"):
        arm(trays=[Tray("far", 1, 2, origin=(590, 0), pitch=(20, 0), height=10)])
    with pytest.raises(LookupError, match="no pin 'closed'"):
        arm(grip="closed")
    with pytest.raises(ValueError, match="no rotation axis"):
        arm(trays=[Tray("turned", 1, 1, origin=(0, 0), height=10, angle=90)])
    with pytest.raises(ValueError, match="different devices"):
        arm(y=Axis("y2", 15))
    with pytest.raises(LookupError, match="no position 'top'"):
        arm(travel="top")


# --- statements ------------------------------------------------------------------------


def test_move_action_named_position_home_and_numbers(m):
    move = m.x.move_action("pick")
    assert type(move) is MoveAxis and move.module is m.x
    assert move.params == {
        "device": 15,
        "target": 120.0,
        "position": "pick",
        "velocity": 100.0,
        "acceleration": -1,
        "deceleration": -1,
    }
    assert m.x.move_action(ZarnId("park")).target == 0.0
    home = m.z.move_action("home")
    assert type(home) is HomeAxis and home.params == {"device": 13, "method": 35}
    assert m.x.move_action(250).params["position"] is None
    with pytest.raises(ValueError, match="outside the travel"):
        m.x.move_action(601)


def test_unknown_position_names_the_axis_the_position_and_the_known_ones(m):
    with pytest.raises(LookupError) as caught:
        m.x.move_action("pik")
    assert str(caught.value) == (
        "axis @x has no position 'pik' (its positions: park, pick; 'home' runs the "
        "homing); did you mean 'pick'?"
    )


@pytest.mark.parametrize(
    "status, value",
    [(1, 1), (0, 0), (True, 1), (False, 0), ("on", 1), ("OFF", 0), ("1", 1)]
    + [(ZarnId("on"), 1), (ZarnId("low"), 0), (1.0, 1)],
)
def test_io_action_takes_on_off_in_every_form(m, status, value):
    assert m.gripper.io_action("valve", status).value == value


@pytest.mark.parametrize("status", [2, -1, "maybe", 0.5, None, "", [1]])
def test_io_action_refuses_what_is_not_on_or_off(m, status):
    with pytest.raises(ValueError, match="not an on/off value"):
        m.gripper.io_action("valve", status)


def test_io_action_sets_outputs_and_waits_for_inputs(m):
    output = m.gripper.io_action("blow", "on")
    assert type(output) is SetOutput
    assert output.params == {"device": 11, "pin": 10, "value": 1, "pin_name": "blow"}
    assert (output.byte, output.bit) == (1, 2)
    wait = m.gripper.io_action(ZarnId("closed"), 1)
    assert type(wait) is WaitInput
    assert wait.params["timeout"] == m.gripper.input_timeout == 5.0
    assert m.gripper().wait_for("closed", 0, 0.5).timeout == 0.5
    with pytest.raises(
        LookupError, match=r"no pin 'vlave' \(outputs: blow, valve; inputs"
    ):
        m.gripper.io_action("vlave", 1)
    with pytest.raises(ValueError, match="is an input"):
        m.gripper().set("closed", 1)
    with pytest.raises(ValueError, match="is an output"):
        m.gripper().wait_for("valve", 1)


@pytest.mark.parametrize(
    "place, slot",
    [
        ("tray", None),
        (ZarnId("tray"), None),
        (["tray", 3], 3),
        (("tray", "7"), 7),
        ([ZarnId("tray"), ZarnId("next")], None),
        (["tray", 2, 1], 5),
        ({"tray": "tray", "slot": 12}, 12),
        ({"name": "tray", "row": 3, "col": 4}, 12),
    ],
)
def test_tray_action_takes_a_tray_with_or_without_its_slot(m, place, slot):
    transfer = m.arm.tray_action(place, "pick")
    assert type(transfer) is Transfer
    assert transfer.tray is m.tray and transfer.slot == slot
    assert m.arm.tray_action(m.tray, ZarnId("place")).operation == "place"


def test_tray_action_errors(m):
    with pytest.raises(IndexError, match="slots 1 to 12, not 13"):
        m.arm.tray_action(["tray", 13], "pick")
    with pytest.raises(IndexError, match="not row 4"):
        m.arm.tray_action(["tray", 4, 1], "pick")
    with pytest.raises(LookupError, match="no tray 'tary'.*did you mean 'tray'"):
        m.arm.tray_action("tary", "pick")
    with pytest.raises(LookupError, match="not one of the trays"):
        m.arm.tray_action(Tray("tray", 1, 1, origin=(0, 0), height=1), "pick")
    with pytest.raises(ValueError, match="pick or place, not 'grab'"):
        m.arm.tray_action("tray", "grab")
    with pytest.raises(TypeError, match="list of slots"):
        m.arm.tray_action(["spare", 1, 1], "pick")


def test_statements_a_module_has_no_use_for_are_lookup_errors(m):
    for statement in (
        lambda: m.x.io_action("valve", 1),
        lambda: m.gripper.move_action("pick"),
        lambda: m.x.tray_action("tray", "pick"),
        lambda: m.arm.move_action("park"),
    ):
        with pytest.raises(LookupError, match="has no .* statement"):
            statement()


# --- the call form ----------------------------------------------------------------------


def test_call_form_reaches_each_kinds_operations(m):
    assert m.z().home().params == {"device": 13, "method": 35}
    assert m.z().home(17).params["method"] == 17
    assert [getattr(m.x(), c)().operation for c in zm.AXIS_COMMANDS] == list(
        zm.AXIS_COMMANDS
    )
    assert type(m.x().move_by(-5, 50)) is MoveAxisBy
    assert m.x().move_to("pick", 20).velocity == 20.0
    assert m.x().move_to("42.5").target == 42.5
    assert m.gripper().on("valve").value == 1 and m.gripper().off("valve").value == 0
    assert m.arm().place("spare").slot is None and m.arm().pick("tray", 4).slot == 4
    assert type(m.tray().reset(3)) is ResetTray
    for module in (m.x, m.gripper, m.tray, m.arm, zm.timer):
        assert type(module().wait(0.5)) is Wait
        assert module().log("part", 3).text == "part 3"


def test_call_form_errors_name_the_operation(m):
    operations = m.x()
    with pytest.raises(LookupError, match="no operation 'hom'.*did you mean 'home'"):
        _ = operations.hom
    assert getattr(operations, "fly", None) is None  # also an AttributeError
    assert "move_to" in dir(operations) and "move_action" not in dir(operations)
    with pytest.raises(TypeError, match=r"@x.wait\(seconds\): missing"):
        operations.wait()
    with pytest.raises(TypeError, match=r"@z.home\(method=None\): too many"):
        m.z().home(1, 2)
    with pytest.raises(ValueError, match="must not be negative"):
        operations.wait(-1)


class Camera(MachineModule):
    def __init__(self, name):
        super().__init__(name)
        self.seen = []

    @operation
    def inspect(self, recipe, shots=1):
        self.seen.append((recipe, shots, self.machine))

    def helper(self):
        pass


def test_user_operations_run_when_the_action_executes():
    camera = Camera("camera")
    action = camera().inspect(ZarnId("part"), 3)
    assert type(action) is ExternalCall
    assert action.params == {"operation": "inspect", "args": ["part", 3]}
    assert repr(action) == "ExternalCall(@camera inspect('part', 3))"
    assert camera.seen == []
    machine = RecordingMachine()
    executed(action, machine)
    assert camera.seen == [("part", 3, machine)]
    with pytest.raises(zm.MachineNotAttachedError):
        _ = camera.machine
    with pytest.raises(TypeError, match=r"inspect\(recipe, shots=1\)"):
        camera().inspect()
    with pytest.raises(LookupError, match="no operation 'helper'"):
        camera().helper()


# --- copies and printing -----------------------------------------------------------------


def every_kind(m):
    return [
        m.x.move_action("pick"),
        m.x().move_by(-2.5),
        m.z.move_action("home"),
        m.x().enable(),
        m.gripper.io_action("valve", "on"),
        m.gripper.io_action("closed", 1),
        m.arm.tray_action("tray", "pick"),
        m.arm.tray_action(["tray", 3], "place"),
        m.tray().reset(),
        m.x().wait(0.5),
        m.x().log("hello"),
        Camera("camera")().inspect("part", 3),
    ]


def test_printed_forms(m):
    assert [repr(action) for action in every_kind(m)] == [
        "MoveAxis(@x pick=120.0 dev 15)",
        "MoveAxisBy(@x by=-2.5 dev 15)",
        "HomeAxis(@z method=35 dev 13)",
        "AxisCommand(@x enable dev 15)",
        "SetOutput(@gripper valve=1 dev 11 pin 0)",
        "WaitInput(@gripper closed==1 dev 11 pin 3 timeout 5.0s)",
        "Transfer(@arm pick tray[next])",
        "Transfer(@arm place tray[3])",
        "ResetTray(@tray slot 1)",
        "Wait(@x 0.5s)",
        "Log(@x 'hello')",
        "ExternalCall(@camera inspect('part', 3))",
    ]
    assert m.x.move_action("pick").describe() == (
        "move @x to pick (120.0) on device 15 at velocity 100.0"
    )
    assert str(m.arm.tray_action("tray", "pick")) == "Transfer(@arm pick tray[next])"


def test_copy_is_a_fresh_action_of_the_same_kind_module_and_settings(m):
    for action in every_kind(m):
        action.machine = RecordingMachine()
        action.execute()
        twin = action.copy()
        assert type(twin) is type(action) and twin.module is action.module
        assert twin.params == action.params and twin.params is not action.params
        assert twin.state is ZarnState.NotExecuted and not twin.finish_signal.is_set()
        assert twin.machine is None and repr(twin) == repr(action)
        assert twin.operation == action.operation
    transfer = m.arm.tray_action("tray", "pick")
    twin = transfer.copy()
    assert twin.params["tray"] is m.tray and twin.tray is m.tray
    twin.params["slot"] = 9
    assert transfer.params["slot"] is None


def test_actions_refuse_bad_settings_when_constructed_directly(m):
    with pytest.raises(TypeError, match="integer MorvoID"):
        MoveAxis(m.x, device="15", target=1.0)
    with pytest.raises(ValueError, match="enable, disable, stop, reset"):
        AxisCommand(m.x, device=15, command="jump")
    with pytest.raises(TypeError, match="made by a Handler"):
        Transfer(m.x, operation="pick", tray=m.tray)
    with pytest.raises(TypeError, match="construct one of its kinds"):
        zm.ModuleAction(m.x)
    with pytest.raises(TypeError, match="unexpected keyword"):
        Wait(m.x, seconds=1, speed=2)


# --- executing -------------------------------------------------------------------------


def test_execution_drives_the_machine_and_finishes(m):
    move = m.x.move_action("pick")
    assert executed(move) == [("move", ((AxisMove(15, 120.0, 100.0, -1, -1),),))]
    assert move.state is ZarnState.Finished and move.finish_signal.is_set()
    assert executed(m.x().move_by(-5)) == [
        ("move", ((AxisMove(15, -5.0, 100.0, relative=True),),))
    ]
    assert executed(m.z.move_action("home")) == [("home", (13, 35))]
    assert executed(m.x().stop()) == [("axis_command", (15, "stop"))]
    assert executed(m.gripper.io_action("blow", 0)) == [("set_output", (11, 10, 0))]
    assert executed(m.gripper.io_action("closed", 1)) == [
        ("wait_input", (11, 3, 1, 5.0))
    ]
    assert executed(m.x().wait(2)) == [("sleep", (2.0,))]
    assert executed(m.x().log("hi")) == [("log", ("hi",))]


def test_a_pick_lifts_moves_over_the_slot_lowers_grips_and_lifts(m):
    calls = executed(m.arm.tray_action(["tray", 6], "pick"))
    assert calls == [
        ("move", ((AxisMove(13, 0.0),),)),
        ("move", ((AxisMove(15, 120.0, 100.0), AxisMove(16, 80.0)),)),
        ("move", ((AxisMove(13, 80.0),),)),
        ("set_output", (11, 0, 1)),
        ("wait_input", (11, 3, 1, 5.0)),
        ("move", ((AxisMove(13, 0.0),),)),
    ]
    place = [call for call in executed(m.arm.tray_action("spare", "place"))]
    assert ("set_output", (11, 0, 0)) in place
    assert not any(name == "wait_input" for name, _ in place)  # no release sensor


class FailingMachine(RecordingMachine):
    def set_output(self, device, pin, value):
        raise MachineError(
            "rejected", device=device, command_id="PC0101000000-7", result=-3
        )


def test_a_failure_ends_in_error_and_still_sets_the_finish_signal(m):
    action = m.gripper.io_action("valve", 1)
    with pytest.raises(MachineError) as caught:
        executed(action, FailingMachine())
    assert (
        str(caught.value) == "device 11, command PC0101000000-7: rejected (result -3)"
    )
    assert action.state is ZarnState.Error and action.error is caught.value
    assert action.finish_signal.is_set()

    lonely = m.x.move_action("pick")
    with pytest.raises(zm.MachineNotAttachedError, match="no machine"):
        lonely.execute()
    assert lonely.state is ZarnState.Error and lonely.finish_signal.is_set()


# --- the tray cursor --------------------------------------------------------------------


def test_cursor_transfers_walk_the_tray_when_they_execute(m):
    first = m.arm.tray_action("tray", "pick")
    loop = [first.copy() for _ in range(3)]
    assert m.tray.next_slot == 1  # building and copying takes no slot
    for action in reversed(loop):  # execution order decides, not creation order
        executed(action)
    assert [action.slot_used for action in reversed(loop)] == [1, 2, 3]
    executed(m.arm.tray_action(["tray", 10], "pick"))  # a given slot moves no cursor
    assert m.tray.next_slot == 4
    assert executed(first)[1] == (
        "move",
        ((AxisMove(15, 160.0, 100.0), AxisMove(16, 50.0)),),
    )


def test_an_exhausted_tray_fails_the_transfer_until_reset(m):
    transfer = m.arm.tray_action("spare", "place")
    executed(transfer.copy())
    assert m.spare.next_slot is None
    failed = transfer.copy()
    with pytest.raises(zm.TrayExhaustedError, match=r"no slot left.*@spare.reset\(\)"):
        executed(failed)
    assert failed.state is ZarnState.Error and failed.machine.calls == []
    reset = m.spare().reset()
    assert m.spare.next_slot is None  # the reset waits for its turn too
    executed(reset)
    assert m.spare.next_slot == 1
    with pytest.raises(IndexError):
        m.tray.reset_cursor(13)


def test_concurrent_transfers_take_distinct_slots(m):
    taken = []
    lock = threading.Lock()

    def take():
        slot = m.tray.take_next_slot()
        with lock:
            taken.append(slot)

    threads = [threading.Thread(target=take) for _ in range(12)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(5)
    assert sorted(taken) == list(range(1, 13))
    with pytest.raises(zm.TrayExhaustedError):
        m.tray.take_next_slot()


def test_modules_compare_by_identity_and_survive_deep_copies(m):
    import copy

    twin = Axis("x", 15, {"park": 0.0, "pick": 120.0}, velocity=100, limits=(0, 600))
    assert twin != m.x and m.x == m.x and len({m.x, twin}) == 2
    assert copy.deepcopy({"tray": m.tray})["tray"] is m.tray


def test_log_text_must_be_text(m):
    with pytest.raises(TypeError, match="must be text"):
        Log(m.x, text=5)


ROOT = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples"


def fake_module(name, **names):
    module = types.ModuleType(name)
    module.__dict__.update(names)
    return module


@pytest.fixture
def no_top_level_modules(monkeypatch):
    # None in sys.modules makes `import modules` fail as if there were none.
    monkeypatch.setitem(sys.modules, "modules", None)


def write(path, text):
    path.write_text(text)
    return path


AXIS_FILE = (
    "from Zarn._zarnmodule import Axis\n"
    "x = Axis('x', 15, {'park': 0.0})\n"
    "ZarnId = 'mine'\n"
    "_hidden = Axis('hidden', 16)\n"
)


# --- the registry ------------------------------------------------------------------


def test_registry_puts_user_names_first_and_package_names_after(monkeypatch):
    blocks = fake_module("Zarn.blocks", x="a block kind", StandardBlock="block")
    user = fake_module(
        "modules", x=zm.Axis("x", 15), ZarnId="mine", _hidden=1, timer="mine"
    )
    monkeypatch.setitem(sys.modules, "Zarn.blocks", blocks)
    monkeypatch.setitem(sys.modules, "modules", user)

    names = zm.registry()

    assert names.user_modules is user
    present = [
        n for n in zm.PACKAGE_MODULES if n in sys.modules or importlib.util.find_spec(n)
    ]
    assert [module.__name__ for module in names.sources] == ["modules", *present]
    assert "Zarn.blocks" in present and "Zarn._zarnprimitives" == present[-1]
    assert names["x"] == "a block kind"  # Zarn.blocks comes after the user's file
    assert names["ZarnId"] is ZarnId  # and _zarnprimitives last of all
    assert names["timer"] is zm.timer
    assert names["StandardBlock"] == "block"
    assert "_hidden" not in names
    assert names.shadowed == {
        "x": "Zarn.blocks",
        "timer": "Zarn._zarnmodule",
        "ZarnId": "Zarn._zarnprimitives",
    }


def test_registry_honours_all_and_reports_a_missing_name(monkeypatch):
    monkeypatch.setitem(
        sys.modules, "modules", fake_module("modules", a=1, b=2, __all__=["b"])
    )
    names = zm.registry()
    assert "b" in names and "a" not in names
    monkeypatch.setitem(
        sys.modules, "modules", fake_module("modules", __all__=["gone"])
    )
    with pytest.raises(ImportError, match="lists 'gone' in __all__"):
        zm.registry()


def test_without_any_modules_file_a_lookup_says_how_to_declare_modules(
    no_top_level_modules,
):
    names = zm.registry()
    assert names.user_modules is None
    assert names["ZarnId"] is ZarnId and names["timer"] is zm.timer
    with pytest.raises(LookupError) as caught:
        names["camera"]
    assert isinstance(caught.value, KeyError)
    assert str(caught.value) == (
        "unknown machine module '@camera': no machine modules are declared: machine "
        "modules are declared in a modules.py beside the script or in the file given "
        "with --modules FILE"
    )
    with pytest.raises(LookupError, match="name is missing after '@'"):
        names[""]


def test_an_unknown_name_lists_the_declared_modules(tmp_path, no_top_level_modules):
    path = write(tmp_path / "modules.py", AXIS_FILE)
    with pytest.raises(LookupError) as caught:
        zm.registry(path)["y"]
    message = str(caught.value)
    assert message.startswith(f"unknown machine module '@y': {path} declares no module")
    assert "(known modules: timer, x)" in message and "--modules FILE" in message


def test_a_user_file_replaces_the_top_level_modules_for_one_registry(
    tmp_path, monkeypatch
):
    top = fake_module("modules", z=zm.Axis("z", 13))
    monkeypatch.setitem(sys.modules, "modules", top)
    names = zm.registry(write(tmp_path / "modules.py", AXIS_FILE))
    assert "x" in names and "z" not in names
    assert names.shadowed["ZarnId"] == "Zarn._zarnprimitives"
    assert sys.modules["modules"] is top
    assert "z" in zm.registry()


# --- loading a modules file ------------------------------------------------------------


@pytest.mark.parametrize("present", [False, True])
def test_loading_by_path_leaves_sys_modules_modules_as_it_was(
    tmp_path, monkeypatch, present
):
    if present:
        sentinel = fake_module("modules")
        monkeypatch.setitem(sys.modules, "modules", sentinel)
    else:
        monkeypatch.delitem(sys.modules, "modules", raising=False)
    write(tmp_path / "helpers.py", "PARK = 0.0\n")
    # A file that imports a sibling, and even itself under the public name.
    write(
        tmp_path / "modules.py",
        "import helpers\nimport modules as itself\n" + AXIS_FILE,
    )
    path_before = list(sys.path)

    by_file = zm.load_modules(tmp_path / "modules.py")
    by_folder = zm.load_modules(str(tmp_path))

    assert by_file.x.name == "x" and by_file.x is not by_folder.x  # loaded afresh
    assert sys.modules[by_file.__name__] is by_file
    assert by_file.__name__ != "modules"
    assert sys.path == path_before
    if present:
        assert sys.modules["modules"] is sentinel
    else:
        assert "modules" not in sys.modules
    module = types.ModuleType("given")
    assert zm.load_modules(module) is module


def test_loading_errors_name_the_file_and_line(tmp_path):
    with pytest.raises(FileNotFoundError, match="no machine modules file"):
        zm.load_modules(tmp_path / "absent.py")
    with pytest.raises(TypeError, match="path to a modules.py"):
        zm.load_modules(42)
    bad = write(
        tmp_path / "modules.py",
        "from Zarn._zarnmodule import Axis\n\nx = Axis('x', 15, {'home': 1.0})\n",
    )
    with pytest.raises(zm.ModulesFileError) as caught:
        zm.load_modules(bad)
    assert caught.value.line == 3 and caught.value.path == str(bad)
    assert f"{bad}, line 3: ValueError: Axis 'x' may not name a position 'home'" in str(
        caught.value
    )
    assert not any(
        name.startswith("_zarn_modules_") and sys.modules[name].__file__ == str(bad)
        for name in list(sys.modules)
    )
    write(bad, "x = (\n")
    with pytest.raises(zm.ModulesFileError, match=r"line 1: '\(' was never closed"):
        zm.load_modules(bad)


def test_the_modules_file_beside_a_script_is_found(tmp_path):
    script = tmp_path / "job.zarn"
    assert zm.find_modules_file(script) is None
    write(tmp_path / "modules.py", "")
    assert zm.find_modules_file(script) == tmp_path / "modules.py"


# --- the example machine ------------------------------------------------------------------


def devices_of(config):
    """{MorvoID: (section, entry)} of the example configuration."""
    handler = config["kvt_handler"]
    found = {
        entry["MorvoID"]: ("io", entry) for entry in handler["IOModule"]["Modules"]
    }
    found.update({entry["MorvoID"]: ("festo", entry) for entry in handler["Festo"]})
    found.update({entry["MorvoID"]: ("akribis", entry) for entry in handler["Akribis"]})
    return found


def test_the_example_modules_fit_the_example_machine():
    example = zm.load_modules(EXAMPLES / "modules.py")
    config = yaml.safe_load((EXAMPLES / "handler_settings.yaml").read_text())
    devices = devices_of(config)
    modules = zm.registry(example).modules()
    assert {"x", "y", "z", "r", "gripper", "panel", "sensors", "arm", "camera"} <= set(
        modules
    )
    assert {"input_tray", "output_tray"} <= set(modules)
    assert modules["input_tray"].rows == 3 and modules["input_tray"].cols == 4

    for name, module in zm.public_names(example).items():
        if isinstance(module, zm.MachineModule):
            assert module.name == name  # a script's @name is what it prints
        if isinstance(module, zm.Axis):
            assert devices[module.device][0] in ("festo", "akribis"), name
        if isinstance(module, zm.IOModule):
            section, entry = devices[module.device]
            assert section == "io", name
            for pin in module.outputs.values():
                assert pin < 8 * entry["OutputBytes"], (name, pin)
            for pin in module.inputs.values():
                assert pin < 8 * entry["InputBytes"], (name, pin)
    axes = [m.device for m in modules.values() if isinstance(m, zm.Axis)]
    assert sorted(axes) == [13, 14, 15, 16]
