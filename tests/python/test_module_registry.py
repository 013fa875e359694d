"""Loading a machine's modules file and building the module registry."""

import importlib.util
import pathlib
import sys
import types

import pytest
import yaml
from Zarn._zarnprimitives import ZarnId

from Zarn import _zarnmodule as zm

ROOT = pathlib.Path(__file__).resolve().parents[2]
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
