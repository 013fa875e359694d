import gc
import struct
import weakref

import pytest

from Zarn import morvo_client as mc

KVTAction = mc.KVTAction
unpack = mc.MorvoClient.unpack_struct_helper
LAYOUT = "iiiiiiii36s36s36s36s36si"

# name=value in declaration order; several names share a value.
CONDITION_TABLE = """
    MORBO_ID_SLAVE_STATUS_CONDITION=0 MORVO_ID_ERROR_STATE_CONDITION=1
    MORVO_ID_POS_CONDITION=2 MORVO_ID_OUTPUT_CONDITION=3 MORVO_ID_INPUT_CONDITION=4
    MORVO_ID_THERMAL_CONDITION=5 MORVO_ID_STATIC_TIME_CONDITION=6
    POS_GRATER=0 POS_EQUAL=1 POS_NEAR=2 POS_LESSTHAN=3
    DIGITAL=0 ANALOG_GRATER=1 ANALOG_EQUAL=2 ANALOG_LESSTHAN=3
    ADMIN_FESTO_STATE_SPAWNED=502 ADMIN_AKRIBIS_STATE_SPAWNED=503
    NEED_HOMING=-2 NOTMOTOR=-1 CONTROLABLE=0 START_MOVING=1 MOVING=2 END_MOVING=3
    START_HOMING=4 HOMING=5 END_HOMING=6 STOP=7"""
CONDITIONS = {n: int(v) for n, v in (i.split("=") for i in CONDITION_TABLE.split())}


def fields(action):
    return list(struct.unpack(LAYOUT, action.get_transmit_data()))


def text_field(text):
    data = text.encode()
    return data[:36] + b"\0" * (36 - len(data[:36]))


def test_enumerations_and_constants():
    assert mc.FestoFunctionEnum["MOTOR_HOME"] == 3
    assert mc.AkribisFunctionEnum["MOTOR_HOME"] == 53
    assert "IO_SET_IO" not in mc.AkribisFunctionEnum.__members__
    assert mc.MorvoDataIdxEnum["MORVO_ID_INPUT_DATA"] == 4
    assert dict(mc.MorvoConditionEnum.__members__) == CONDITIONS
    assert list(mc.MorvoConditionEnum.__members__) == list(CONDITIONS)
    with pytest.raises(KeyError):
        mc.MorvoConditionEnum["MORVO_ID_SLAVE_STATUS_CONDITION"]
    assert mc.MorvoConditionEnum.__module__ == "Zarn.morvo_client"
    constants = (mc.BLANK_CONDITION, mc.CONDITION_START, mc.EACH_MORVO_CONDITION_NUM)
    assert constants == (150, 151, 10)
    assert mc.action_datatype == "iiiiiiii36s36s36s36s36si"
    assert mc.log_datatype == "ii80s"


def test_constructor_defaults_and_shared_lists():
    args, deps = [1], ["PC-1"]
    action = KVTAction(5, 7, args)
    assert action.dep_list == [] and action.cmd_id == ""
    assert KVTAction(5, 7, dep_list=deps).arg_list == []
    action = KVTAction(5, 7, args, deps, "PC-2")
    assert action.arg_list is args and action.dep_list is deps
    args.append(9)
    deps.append(502)
    assert fields(action)[2:4] == [1, 9]
    assert fields(action)[10] == text_field("502")


def test_packing_matches_struct_layout():
    action = KVTAction("3", 1.9, [2.9, -2.9, "12", True], ["PC-9", 502], "x" * 17)
    ints = [3, 1, 2, -2, 12, 1, -1, -1]
    texts = [b"x" * 17, b"PC-9", b"502", b"", b""]
    assert action.get_transmit_data() == struct.pack(LAYOUT, *ints, *texts, -1)
    assert action.arg_list == [2.9, -2.9, "12", True]  # not changed by packing

    assert fields(KVTAction(0, 0, [1, 2, 3, 4, 5, 6]))[2:8] == [1, 2, 3, 4, 5, 6]
    assert fields(KVTAction(0, 0))[2:] == [-1] * 6 + [b"\0" * 36] * 5 + [-1]
    five_deps = fields(KVTAction(0, 0, [], ["a", "b", "c", "d", "e"]))
    assert five_deps[9:13] == [text_field(t) for t in "abcd"]


def test_text_fields_cut_at_36_bytes():
    assert fields(KVTAction(0, 0, cmd_id="c" * 40))[8] == b"c" * 36
    # The cut falls inside the two-byte UTF-8 character that starts at byte 35.
    cut = fields(KVTAction(0, 0, [], ["x" + "ä" * 18]))[9]
    assert cut == ("x" + "ä" * 18).encode()[:36] and cut[-1:] == b"\xc3"


def test_int32_bounds():
    edge = KVTAction(-(2**31), 2**31 - 1, [2**31 - 1])
    assert fields(edge)[:3] == [-(2**31), 2**31 - 1, 2**31 - 1]
    for value in (2**31, -(2**31) - 1, 2**80):
        with pytest.raises(struct.error, match=str(value)):
            KVTAction(0, 0, [1, value]).get_transmit_data()


@pytest.mark.parametrize(
    "action, error, message",
    [
        (KVTAction(0, 0, [1] * 7), struct.error, "at most 6 arguments, got 7"),
        (KVTAction(0, 0, [1] * 6 + ["not a number"]), struct.error, "at most 6"),
        (KVTAction(0, 0, [1, "abc"]), ValueError, "argument 2 .*'abc'"),
        (KVTAction("x", 0), ValueError, "module_id"),
        (KVTAction(0, None), TypeError, "func_id"),
        (KVTAction(0, 0, [float("inf")]), OverflowError, "argument 1"),
        (KVTAction(0, 0, cmd_id=None), TypeError, "cmd_id must be text"),
        (KVTAction(0, 0, cmd_id=b"PC-1"), TypeError, "cmd_id must be text"),
        (KVTAction(0, 0, arg_list=5), TypeError, "arg_list must be a list"),
    ],
)
def test_packing_failures(action, error, message):
    with pytest.raises(error, match=message):
        action.get_transmit_data()


def test_unpack_action_record_and_text_rules():
    record = bytearray(KVTAction(7, 8, [-5], ["502"], "PC-12").get_transmit_data())
    record[104:111] = b"AB\0XY\0\0"
    values = unpack(mc.action_datatype, bytes(record))
    assert values == [7, 8, -5] + [-1] * 5 + ["PC-12", "502", "ABXY", "", "", -1]
    # Any bytes-like object will do, as with struct.
    assert unpack(mc.action_datatype, memoryview(record)) == values
    assert unpack(mc.log_datatype, struct.pack("ii80s", 13, 2, b"250")) == [
        13,
        2,
        "250",
    ]
    assert unpack("5si", struct.pack("5si", b"ab", -9)) == ["ab", -9]


def test_unpack_failures():
    with pytest.raises(struct.error, match="88 bytes long, got 87"):
        unpack(mc.log_datatype, b"\0" * 87)
    with pytest.raises(struct.error, match="216 bytes long"):
        unpack(mc.action_datatype, b"\0" * 217)
    with pytest.raises(struct.error, match="unsupported item 'q'"):
        unpack("iq", b"\0" * 12)
    with pytest.raises(TypeError):
        unpack(mc.log_datatype, "x" * 88)

    with pytest.raises(UnicodeDecodeError) as info:
        unpack(mc.log_datatype, struct.pack("ii80s", 1, 4, b"AB\x80C"))
    err = info.value
    assert (err.encoding, err.start, err.end) == ("ascii", 2, 3)
    assert err.reason == "ordinal not in range(128)"
    assert err.object == b"AB\x80C" + b"\0" * 76


def test_reference_cycles_through_an_action_are_collected():
    class Payload:
        pass

    payload = Payload()
    alive = weakref.ref(payload)
    action = KVTAction(0, 0, [payload])
    action.dep_list = [action]
    del action, payload
    gc.collect()
    assert alive() is None


class Number(int):
    """An int subclass: int() of it runs through Python, not the fast path."""


def test_every_kind_of_value_packs_as_python_would():
    """Plain values take a fast path and odd ones the general path; both must
    give exactly struct's bytes."""

    def expected(module_id, func_id, args, deps, cmd_id):
        ints = [int(module_id), int(func_id)] + [int(a) for a in args]
        texts = [cmd_id.encode()] + [str(d).encode() for d in deps[:4]]
        texts += [b""] * (5 - len(texts))
        return struct.pack(LAYOUT, *ints, *[-1] * (8 - len(ints)), *texts, -1)

    edge_values = [
        0, -1, 2**31 - 1, -(2**31), True, False, Number(7), 2.999, -2.999, -0.0,
        2147483647.9, -2147483648.9, "12", "+12", "-0012", " 12 ", "1_2", "٣",
        "2147483647", "-2147483648",
    ]  # fmt: skip
    deps_choices = [
        [], [502], ["PC-1", 503, "ä" * 20], [True, Number(9), 2**70, -5, "x"],
        ["a", "b", "c", "d", "e"],
    ]  # fmt: skip
    for i, value in enumerate(edge_values):
        args = [value] + edge_values[: i % 6]
        deps = deps_choices[i % len(deps_choices)]
        action = KVTAction(value, edge_values[-i], args[:6], deps, f"PC-{i}")
        assert action.get_transmit_data() == expected(
            value, edge_values[-i], args[:6], deps, f"PC-{i}"
        ), (value, args, deps)

    class Text(str):
        pass

    assert fields(KVTAction(0, 0, cmd_id=Text("PC-7")))[8] == text_field("PC-7")
    for bad in (2147483648.0, -2147483649.0, "2147483648", "99999999999"):
        with pytest.raises(struct.error, match="outside the signed 32-bit range"):
            KVTAction(0, 0, [bad]).get_transmit_data()
    with pytest.raises(ValueError, match="argument 1"):
        KVTAction(0, 0, [float("nan")]).get_transmit_data()
    with pytest.raises(UnicodeEncodeError):
        KVTAction(0, 0, [], ["\ud800"]).get_transmit_data()


def test_decoding_agrees_with_struct_on_every_text_shape():
    def expected(record):
        return [
            v.decode("ascii").replace("\x00", "") if isinstance(v, bytes) else v
            for v in struct.unpack(LAYOUT, record)
        ]

    shapes = [b"", b"A" * 36, b"A" * 35, b"AB\0XY", b"\0\0\0Z", b"PC1208101010-999"]
    for i, shape in enumerate(shapes):
        texts = [shape.ljust(36, b"\0")] + [
            s.ljust(36, b"\0") for s in shapes[i : i + 4]
        ]
        texts += [b"\0" * 36] * (5 - len(texts))
        record = struct.pack(LAYOUT, *range(-4, 4), *texts, 2**31 - 1)
        assert unpack(mc.action_datatype, record) == expected(record)
        assert unpack(mc.action_datatype, bytearray(record)) == expected(record)
    # A non-ASCII byte anywhere in a field is found at its own position, also
    # behind a zero byte and in the zero padding.
    for position in (0, 9, 35):
        field = bytearray(b"AB\0" + b"\0" * 33)
        field[position] = 0xC3
        record = struct.pack(LAYOUT, *[0] * 8, bytes(field), *[b""] * 4, 0)
        with pytest.raises(UnicodeDecodeError) as info:
            unpack(mc.action_datatype, record)
        assert info.value.start == position
