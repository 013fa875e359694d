import math
import os
import pathlib
import time

import pytest
import yaml

from Zarn import morvo_client as mc

ROOT = pathlib.Path(__file__).resolve().parents[3]
EXAMPLE = ROOT / "examples" / "handler_settings.yaml"
DATA = pathlib.Path(__file__).resolve().parent / "data"
NOT_LOADED = "was not loaded"

MINIMAL = """
kvt_handler:
  IOModule:
    SlaveNo: 1
    Modules: []
"""


def write(tmp_path, text, name="settings.yaml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def same_tree(a, b):
    """Equal, with equal types and equal key order (so True is not 1)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return same_tree(list(a), list(b)) and all(same_tree(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_tree(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


@pytest.fixture
def client():
    return mc.MorvoClient(str(EXAMPLE), server_address="ignored", timeout=3)


def test_construction_of_the_example_machine(client):
    ports = client.action_dequeue_sub_port, client.action_enqueue_req_port
    assert ports + (client.logger_req_port,) == (5001, 5002, 5003)
    # Connecting does not wait for the service, so the sockets are set up.
    assert client.action_req_socket_status and client.logger_req_socket_status
    assert client.server_address == "localhost"  # the file's value wins
    assert (client.config_fp, client.module_data_map) == (str(EXAMPLE), {})
    assert client.input_start_byte == [0, 2, -1, 10, 11]
    assert client.output_start_byte == [-1, -1, 0, 4, 5]


# Only files on which every PyYAML release of the pinned range gives the same
# tree; merge keys with a list of maps are checked against written values below.
@pytest.mark.parametrize(
    "path",
    [EXAMPLE, DATA / "scalars.yaml", DATA / "anchors.yaml", DATA / "layout.yaml"],
    ids=lambda p: p.name,
)
def test_loaded_tree_agrees_with_pyyaml_safe_loader(client, path):
    client.config_fp = str(path)
    client.load_config()
    with open(path, encoding="utf-8") as f:
        expected = yaml.safe_load(f)
    assert same_tree(client.config_data, expected), client.config_data


def test_merge_key_sequences_let_earlier_maps_win(client):
    # The YAML merge-key type: of the maps in a merge list, the earlier one
    # wins; the map's own keys win over all. The keys of later maps come first,
    # the order configuration tools built on older PyYAML releases show.
    client.config_fp = str(DATA / "merge_sequences.yaml")
    client.load_config()
    loaded = client.config_data
    expected = {
        "two": {"SpeedFactor": 100, "MaxSpeed": 2, "DistanceFactor": 1000, "Jerk": 3},
        "reversed": {"DistanceFactor": 1000, "SpeedFactor": 50, "MaxSpeed": 2},
        "three": {"MaxSpeed": 2, "Jerk": 9, "SpeedFactor": 100, "DistanceFactor": 1000},
        "own_key_wins": {"SpeedFactor": 7, "MaxSpeed": 2, "DistanceFactor": 1000},
    }
    for name, want in expected.items():
        assert loaded[name] == want, name
        assert list(loaded[name]) == list(want), name
    # The anchored maps themselves are left as written.
    assert loaded["units"] == {"DistanceFactor": 1000, "SpeedFactor": 100}
    assert loaded["fast"] == {"MaxSpeed": 5, "Jerk": 9}


def test_server_address_sources(tmp_path):
    path = write(tmp_path, MINIMAL)
    assert mc.MorvoClient(path).server_address == "localhost"
    assert mc.MorvoClient(path, server_address="10.0.0.7").server_address == "10.0.0.7"
    with_address = write(tmp_path, MINIMAL + "  server_address: cell-3\n")
    chosen = mc.MorvoClient(config_file_path=with_address, server_address="10.0.0.7")
    assert chosen.server_address == "cell-3"
    assert (chosen.input_start_byte, chosen.output_start_byte) == ([0], [0])
    with pytest.raises(TypeError):
        mc.MorvoClient(path, "positional extra")


def test_missing_file_warns_then_construction_fails(tmp_path, capsys):
    path = str(tmp_path / "absent.yaml")
    with pytest.raises(TypeError, match=NOT_LOADED):
        mc.MorvoClient(path)
    assert capsys.readouterr().out == (
        f"[Warning] Filed to load config file at {path}, because "
        f"[Errno 2] No such file or directory: '{path}'\n"
    )


@pytest.mark.parametrize(
    "text, warning, error, message",
    [
        ("kvt_handler: [unclosed\n", "line", TypeError, NOT_LOADED),
        ("", "empty or null", TypeError, NOT_LOADED),
        ("kvt_handler: 5\n", "'int' is not iterable", TypeError, "is of type int"),
        ("- a list\n", None, TypeError, "the document is of type list, not a map"),
        ("kvt_handler: {}\n", None, KeyError, "kvt_handler has no key 'IOModule'"),
        ("kvt_handler: {IOModule: {Modules: 3}}", None, TypeError, "int, not a list"),
    ],
)
def test_unusable_configurations(tmp_path, capsys, text, warning, error, message):
    path = write(tmp_path, text)
    with pytest.raises(error, match=message):
        mc.MorvoClient(path)
    out = capsys.readouterr().out
    if warning is None:
        assert out == ""
    else:
        assert out.startswith(
            f"[Warning] Filed to load config file at {path}, because "
        )
        assert warning in out and out.count("\n") == 1


def test_failed_lookup_of_server_address_keeps_the_document(tmp_path, capsys):
    client = mc.MorvoClient(write(tmp_path, MINIMAL))
    client.config_fp = write(tmp_path, "kvt_handler: 5\n", "number.yaml")
    client.load_config()
    assert client.config_data == {"kvt_handler": 5}
    assert client.server_address == "localhost"
    assert "Filed to load" in capsys.readouterr().out


def modules_file(tmp_path, modules):
    return write(tmp_path, "kvt_handler: {IOModule: {Modules: [" + modules + "]}}")


def test_offsets_follow_slot_order(tmp_path):
    # Slots 2, 1, 3 with (input, output) bytes (2, 0), (0, 4), (1, 2).
    modules = """{Slot: 2, InputBytes: 2, OutputBytes: 0},
                 {Slot: 1, InputBytes: 0, OutputBytes: 4},
                 {Slot: 3, InputBytes: 1, OutputBytes: 2}"""
    client = mc.MorvoClient(modules_file(tmp_path, modules))
    assert client.input_start_byte == [-1, 0, 2, 3]
    assert client.output_start_byte == [0, -1, 4, 6]
    # Equal slots keep their order in the file.
    ties = "{Slot: 1, InputBytes: 3, OutputBytes: 0}, {Slot: 1, InputBytes: 5, OutputBytes: 0}"
    assert mc.MorvoClient(modules_file(tmp_path, ties)).input_start_byte == [0, 3, 8]


GOOD = "{Slot: 1, InputBytes: 1, OutputBytes: 1}"


@pytest.mark.parametrize(
    "modules, error, message",
    [
        ("{Slot: 1, InputBytes: 1}", KeyError, r"module 1 .* has no 'OutputBytes'"),
        (
            GOOD + ", {MorvoID: 12}",
            KeyError,
            r"module 2 .*\(MorvoID 12\) has no 'Slot'",
        ),
        ("5", TypeError, "IO module 1 .* is of type int, not a map"),
        (GOOD + ", {Slot: '2'}", TypeError, "Slot values .* cannot be ordered"),
        ("{Slot: 1, InputBytes: '8', OutputBytes: 0}", TypeError, "byte count: '8'"),
    ],
)
def test_bad_module_entries(tmp_path, modules, error, message):
    with pytest.raises(error, match=message):
        mc.MorvoClient(modules_file(tmp_path, modules))


def test_device_map_of_an_io_module(client):
    device = client.getMorvoDict(10)
    section = client.config_data["kvt_handler"]
    own = section["IOModule"]["Modules"][2]
    assert list(device) == ["kvt_handler", "IOModule", "Modules"] + list(own)
    assert own["MorvoID"] == 10
    assert device["IOModule"] == section["IOModule"]
    assert device["Modules"] == section["IOModule"]["Modules"]
    # Path values are copies: changing them leaves the configuration alone.
    assert device["kvt_handler"] is not section
    assert device["Modules"] is not device["IOModule"]["Modules"]
    device["Modules"].clear()
    assert len(section["IOModule"]["Modules"]) == 4


def test_device_maps_of_drives(client):
    festo = client.getMorvoDict(13)
    assert list(festo)[:2] == ["kvt_handler", "Festo"] and "IOModule" not in festo
    assert (festo["SlaveNo"], festo["Params"]["DistanceFactor"]) == (2, 1000)
    akribis = client.getMorvoDict(16)
    assert "Akribis" in akribis and akribis["Axis"] == "B"
    assert akribis["Params"]["DistanceFactor"] == 5000  # merged over the X axis' units


def test_memo_keys_are_ids_as_given(client):
    first = client.getMorvoDict(13)
    assert client.getMorvoDict(13) is first
    assert client.getMorvoDict("13") == first and client.getMorvoDict("13") is not first
    missing = client.getMorvoDict(99)
    assert missing == {}
    client.config_data = None  # a repeated lookup must not search again
    assert client.getMorvoDict(99) is missing and client.getMorvoDict(13) is first
    assert list(client.module_data_map) == [13, "13", 99]


def search(tmp_path, text, target):
    path = write(tmp_path, MINIMAL + text)
    return mc.MorvoClient(path).getMorvoDict(target)


def test_lookup_rules(tmp_path):
    # Decimal text on either side, and a real id truncated toward zero.
    assert search(tmp_path, "Festo: [{MorvoID: '13', SlaveNo: 3}]", 13)["SlaveNo"] == 3
    assert search(tmp_path, "Festo: [{MorvoID: 13, SlaveNo: 3}]", "13")["SlaveNo"] == 3
    assert search(tmp_path, "Festo: [{MorvoID: 13.7, SlaveNo: 3}]", 13)["SlaveNo"] == 3
    # Devices anywhere in the document are found.
    assert search(tmp_path, "Spare: {Drive: {MorvoID: 4, Axis: C}}", 4)["Axis"] == "C"
    # A non-matching MorvoID hides what lies beneath it.
    assert search(tmp_path, "Rack: {MorvoID: 1, Inner: {MorvoID: 7, X: 1}}", 7) == {}
    # Several matches merge in document order.
    merged = search(tmp_path, "A: {MorvoID: 5, X: 1, Y: 1}\nB: {MorvoID: 5, Y: 2}", 5)
    assert list(merged) == ["A", "MorvoID", "X", "Y", "B"]
    assert (merged["X"], merged["Y"]) == (1, 2)


def test_unconvertible_ids_raise_value_error_and_store_nothing(tmp_path):
    path = write(tmp_path, MINIMAL + "Festo: [{MorvoID: 13}, {MorvoID: abc}]")
    client = mc.MorvoClient(path)
    with pytest.raises(ValueError, match=r"MorvoID 'abc' at Festo\[1\] is not"):
        client.getMorvoDict(14)
    with pytest.raises(ValueError, match="device id None is not an integer"):
        client.getMorvoDict(None)
    assert client.module_data_map == {}


def test_helper_with_a_start_map_and_cyclic_input(client):
    found = client.getMorvoDictHelper({"MorvoID": 3, "X": 1}, 3, {"Start": [1]})
    assert found == {"Start": [1], "MorvoID": 3, "X": 1}
    cyclic = []
    cyclic.append(cyclic)
    with pytest.raises(RecursionError):
        client.getMorvoDictHelper(cyclic, 3, {})


def nested(depth):
    return "a: " + "[" * depth + "]" * depth + "\n"


def aliases(levels):
    lines = ["l0: &l0 [x, x, x, x, x, x, x, x, x, x]"]
    for i in range(1, levels):
        lines.append(f"l{i}: &l{i} [" + ", ".join([f"*l{i - 1}"] * 10) + "]")
    return "\n".join(lines) + "\n"


TOO_BIG = "larger than 16777216 bytes"


@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda p: p.write_text(nested(100_000)), "deeper than 256 levels"),
        (lambda p: p.write_text(aliases(9)), "more than 1000000 nodes"),
        (lambda p: p.write_text("# filler\n" * 2_000_000), TOO_BIG),
        (lambda p: (p.touch(), os.truncate(p, 300 << 20)), TOO_BIG),  # sparse
    ],
    ids=["nesting", "alias-expansion", "over-16-MiB", "300-MiB"],
)
def test_hostile_files_are_rejected_cleanly(tmp_path, capsys, make, reason):
    path = tmp_path / "hostile.yaml"
    make(path)
    started = time.monotonic()
    with pytest.raises(TypeError, match=NOT_LOADED):
        mc.MorvoClient(str(path))
    assert time.monotonic() - started < 10
    out = capsys.readouterr().out
    assert out.startswith("[Warning] Filed to load config file at ") and reason in out
