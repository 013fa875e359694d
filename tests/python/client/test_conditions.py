import struct

import pytest
from support.controllers import Publish, Reply, action_record

from Zarn import morvo_client as mc

INVALID = "Invalid Condition Input"


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize(
    "device, type_name, expected",
    [
        (1, "MORVO_ID_POS_CONDITION", 153),
        (13, "MORBO_ID_SLAVE_STATUS_CONDITION", 271),
        (13, "MORVO_ID_STATIC_TIME_CONDITION", 277),
        (13, "POS_NEAR", 273),  # any member name, by its value
        (36, "MORBO_ID_SLAVE_STATUS_CONDITION", 501),
        (13, "ADMIN_FESTO_STATE_SPAWNED", 502),
        (0, "ADMIN_FESTO_STATE_SPAWNED", 502),
        (-4, "ADMIN_AKRIBIS_STATE_SPAWNED", 503),
        (13.0, "MORVO_ID_INPUT_CONDITION", 275),
    ],
)
def test_condition_ids_of_each_device(machine, controller, device, type_name, expected):
    client = machine()
    condition = client.generate_condition(device, condition_type_name=type_name)
    assert isinstance(condition, mc.KVTAction)
    assert (condition.module_id, condition.func_id) == (0, expected)
    assert condition.cmd_id == client.func_id_prefix + "0"
    assert controller.records == []  # built, not sent


def test_arguments_are_converted_in_the_callers_list(machine):
    client = machine()
    position = ["POS_GRATER", 20, -0.0127, 0.0127]
    record = client.generate_condition(13, None, "MORVO_ID_POS_CONDITION", position)
    assert position == [0, 20000, -12.7, 12.7] and record.arg_list is position
    assert struct.unpack_from("6i", record.get_transmit_data(), 8) == (
        0,
        20000,
        -12,
        12,
        -1,
        -1,
    )

    # Other types leave numbers alone; names of states become their values.
    signal = ["DIGITAL", 20, "NEED_HOMING", "CONTROLABLE", "END_HOMING"]
    client.generate_condition(
        13, condition_type_name="MORVO_ID_INPUT_CONDITION", arg_list=signal
    )
    assert signal == [0, 20, -2, 0, 6]

    # An explicit id is used as it is, and the type name still decides scaling.
    explicit = [2]
    record = client.generate_condition(13, 400, "MORVO_ID_POS_CONDITION", explicit)
    assert (record.func_id, explicit) == (400, [2000])


def test_inputs_that_cannot_work_print_why_and_build_nothing(machine, capsys):
    client = machine()
    assert client.generate_condition(13, condition_type_name="MORVO_ID_FLOW") == -2
    assert client.generate_condition(13) == -2  # no func_id, no name
    partly = ["POS_GRATER", "SOON", "STOP"]
    assert client.generate_condition(13, None, "MORVO_ID_POS_CONDITION", partly) == -2
    assert partly == [0, "SOON", "STOP"]
    assert lines(capsys) == [
        f"{INVALID}'MORVO_ID_FLOW'",
        f"{INVALID}''",
        f"{INVALID}'SOON'",
    ]
    assert client.func_count == 0


@pytest.mark.parametrize(
    "device, type_name, reason",
    [
        # Ids that would name another device's condition, or no device's.
        (0, "MORBO_ID_SLAVE_STATUS_CONDITION", "device ids start at 1"),
        (-2, "MORVO_ID_POS_CONDITION", "device ids start at 1"),
        (13, "NEED_HOMING", "is not one of a device's condition types"),
        (13, "NOTMOTOR", "is not one of a device's condition types"),
        # Device 36's block holds the two administration codes.
        (36, "MORVO_ID_ERROR_STATE_CONDITION", "id 502 is the administration state"),
        (36, "MORVO_ID_POS_CONDITION", "id 503 is the administration state"),
        (13.5, "MORVO_ID_POS_CONDITION", "not a whole number"),
        ("13", "MORVO_ID_POS_CONDITION", "not a whole number"),
        (2**40, "MORVO_ID_POS_CONDITION", "32-bit"),
    ],
)
def test_condition_ids_outside_the_devices_own_block_are_refused(
    machine, capsys, device, type_name, reason
):
    client = machine()
    assert client.generate_condition(device, condition_type_name=type_name) == -2
    (line,) = lines(capsys)
    assert line.startswith(f"{INVALID}: {type_name} of device {device!r} ")
    assert reason in line


def test_positions_of_a_device_without_a_distance_factor(machine, capsys):
    client = machine()
    for device in (10, 99):  # an IO module, and no device at all
        arguments = ["POS_EQUAL", 5]
        assert (
            client.generate_condition(device, None, "MORVO_ID_POS_CONDITION", arguments)
            == -2
        )
    first, second = lines(capsys)
    assert first.startswith(f"{INVALID}: the IO module with MorvoID 10 ")
    assert "has no Params/DistanceFactor to scale the position 5 by" in first
    assert "no device in configuration" in second and "MorvoID 99" in second


def test_sending_a_condition(machine, controller):
    client = machine()
    sent = client.generate_condition_and_send(
        13, None, "MORVO_ID_INPUT_CONDITION", ["DIGITAL", 1], ["PC-move"]
    )
    assert sent == client.func_id_prefix + "0"
    assert controller.records == [action_record(0, 275, [0, 1], sent, ["PC-move"])]

    controller.script = lambda fields: Reply(result=0, publish=[])
    assert client.generate_condition_and_send(13, 400) == 0  # the refusal status

    # Blocking: the result published under the condition's own id.
    controller.script = lambda fields: Reply(publish=[Publish(result=7)])
    assert client.generate_condition_and_send(13, 271, block=True) == 7
    assert len(controller.records) == 3

    assert client.generate_condition_and_send(13, None, "MORVO_ID_NOISE") == -2
    assert (
        client.generate_condition_and_send(
            0, None, "MORVO_ID_POS_CONDITION", block=True
        )
        == -2
    )
    assert len(controller.records) == 3  # nothing more was sent
