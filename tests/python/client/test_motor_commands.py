import struct

import pytest
from support.controllers import Publish, Reply, action_record, fields_of

from Zarn import morvo_client as mc


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def arguments(record):
    return list(struct.unpack_from("6i", record, 8))


@pytest.mark.parametrize(
    "command, festo_code, akribis_code",
    [
        ("motor_reset", 5, 55),
        ("motor_enable", 7, 57),
        ("motor_disable", 6, 56),
        ("motor_stop", 4, 54),
    ],
)
def test_commands_without_arguments(
    machine, controller, command, festo_code, akribis_code
):
    client = machine()
    first = getattr(client, command)(13)  # Festo, SlaveNo 3
    second = getattr(client, command)(15, ["PC-before"])  # Akribis, axis B
    third = getattr(client, command)(16)  # Akribis, axis C
    prefix = client.func_id_prefix
    assert [first, second, third] == [prefix + "0", prefix + "1", prefix + "2"]
    assert controller.records == [
        action_record(3, festo_code, [], first, [502]),
        action_record(2, akribis_code, [], second, ["PC-before", 503]),
        action_record(3, akribis_code, [], third, [503]),
    ]


def test_the_administration_code_is_appended_to_the_callers_list(machine, controller):
    client = machine()
    two = ["PC-a", "PC-b"]
    client.motor_reset(13, two)
    assert two == ["PC-a", "PC-b", 502]
    four = ["PC-a", "PC-b", "PC-c", "PC-d"]
    client.motor_ptp(15, 1, dep_list=four)
    assert four[-1] == 503 and len(four) == 5
    # Only four dependencies fit the record: the code is pushed out.
    assert fields_of(controller.records[-1])[9:13] == ["PC-a", "PC-b", "PC-c", "PC-d"]


def test_moves_are_scaled_and_truncated_toward_zero(machine, controller):
    client = machine()  # drive 13: factors 1000, 100, 10
    client.motor_ptp(13, 20, 0.5, 0.5, 0.5)
    client.motor_ptp(13, 20)
    client.motor_ptp(13, -1, -1.0, 0.25, -0.25)  # a position of -1 is scaled
    client.motor_relmv(13, -0.0025, 0.029)  # -2.5 and 2.9 counts
    client.motor_relmv(15, 0.00025)  # Akribis: 2.5 counts
    sent = [(fields_of(r)[:2], arguments(r)[:4]) for r in controller.records]
    assert sent == [
        ([3, 1], [20000, 50, 5, 5]),
        ([3, 1], [20000, -1, -1, -1]),
        ([3, 1], [-1000, -1, 2, -2]),
        ([3, 2], [-2, 2, -1, -1]),
        ([2, 52], [2, -1, -1, -1]),
    ]


def test_a_drive_with_only_a_distance_factor(machine, controller):
    client = machine()  # drive 14 has no SpeedFactor or AccelerationFactor
    assert client.motor_ptp(14, 1) == client.func_id_prefix + "0"
    with pytest.raises(
        KeyError, match="Festo drive with MorvoID 14 .* Params/SpeedFactor"
    ):
        client.motor_ptp(14, 1, vel=0.5)
    assert len(controller.records) == 1


def test_homing_methods(machine, controller):
    client = machine()
    client.motor_home(15)  # Akribis: 17 is its method 0
    client.motor_home(15, 17)
    client.motor_home(15, 35)
    client.motor_home(13)  # Festo: sent as given
    sent = [(fields_of(r)[1], arguments(r)[0]) for r in controller.records]
    assert sent == [(53, 0), (53, 0), (53, 35), (3, 17)]


def published_in_turn(fields):
    """Each record's result names its place: the first record sent gets 101."""
    published_in_turn.count += 1
    return Reply(publish=[Publish(result=100 + published_in_turn.count)])


@pytest.mark.parametrize(
    "command, start, end",
    [
        (lambda client: client.motor_ptp(13, 20, 0.5, 0.5, 0.5, block=True), 1, 3),
        (lambda client: client.motor_home(13, block=True), 4, 6),
    ],
)
def test_a_blocking_command_and_its_conditions(
    machine, controller, command, start, end
):
    published_in_turn.count = 0
    controller.script = published_in_turn
    client = machine()
    result = command(client)
    move, first, last, static = controller.records
    ids = [fields_of(record)[8] for record in controller.records]
    assert fields_of(move)[:2] == [3, 1 if start == 1 else 3]
    assert first == action_record(0, 271, [start], ids[1], [ids[0]])
    assert last == action_record(0, 271, [end], ids[2], [ids[0]])
    assert static == action_record(0, 277, [], ids[3], [ids[0], ids[1]])
    # The end condition's own result, the third published.
    assert result == 103
    pause = controller.received_at[3] - controller.received_at[2]
    assert 2.0 <= pause < 4.0


def test_conditions_that_cannot_be_built_send_nothing(machine, controller, capsys):
    client = machine()
    # Device 0 is a drive, but owns no condition ids.
    assert client.motor_ptp(0, 5, block=True) == -2
    (line,) = lines(capsys)
    assert line.startswith("Invalid Condition Input: MORBO_ID_SLAVE_STATUS_CONDITION")
    assert controller.records == []
    assert client.motor_ptp(0, 5) == client.func_id_prefix + "1"  # without waiting


def test_devices_that_are_no_motors(machine, controller):
    client = machine()
    for command in ("motor_reset", "motor_enable", "motor_disable", "motor_stop"):
        assert getattr(client, command)(10) == -2
    assert client.motor_home(10, block=True) == -2
    assert client.generate_motor_action(10, "MOTOR_HOME") == -2
    assert client.motor_action_template(10, "MOTOR_MOVE_ABS", [1], block=True) == -2
    assert client.motor_monitor(10) == -2
    with pytest.raises(KeyError, match="IO module with MorvoID 10 .*not a motor"):
        client.motor_ptp(10, 1)
    with pytest.raises(KeyError, match="no device in configuration .* MorvoID 99"):
        client.motor_reset(99)
    with pytest.raises(KeyError, match="MorvoID 99, so there is no Params"):
        client.motor_relmv(99, 1)
    with pytest.raises(KeyError, match="MorvoID 99, so there is no Params"):
        client.motor_monitor(99)
    assert controller.records == [] and controller.logger_requests == []


def test_function_names_that_are_no_motor_functions(machine, controller):
    client = machine()
    for device, name in [(13, "MOTOR_FLY"), (15, "IO_SET_IO"), (13, "IO_SET_IO")]:
        deps = []
        with pytest.raises(KeyError, match="is not a motor function .* MOTOR_ENABLE"):
            client.motor_action_template(device, name, [], deps)
        assert deps == []
    assert controller.records == []


def test_motor_monitor(machine, controller, capsys):
    client = machine()
    controller.logger = lambda device, index: b"250"
    assert client.motor_monitor(14) == 2.5  # DistanceFactor 100
    assert controller.logger_requests == [(14, 2)]

    controller.logger = lambda device, index: None  # no answer
    assert client.motor_monitor(14) == -3  # the failure, not -0.03
    assert lines(capsys)[0].startswith("[Enqueue Action Error] ")

    controller.logger = lambda device, index: b"2.5mm"
    with pytest.raises(ValueError, match="logged position of device 14 .*'2.5mm'"):
        client.motor_monitor(14)


def test_a_refusal_or_a_failed_channel_is_the_result(machine, controller):
    controller.script = lambda fields: Reply(result=-105, publish=[])
    client = machine()
    assert client.motor_stop(13) == -105
    assert client.motor_ptp(13, 1, block=True) == -105
    assert len(controller.records) == 2  # no condition follows a refused move
    assert isinstance(client.generate_motor_action(13, "MOTOR_STOP"), mc.KVTAction)
