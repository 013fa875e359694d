import pytest
from support.controllers import Publish, Reply, action_record, fields_of


def coupler(*modules):
    """A configuration of IO modules (MorvoID, Slot, OutputBytes) behind a
    coupler with SlaveNo 4."""
    entries = "".join(
        f"      - {{{{MorvoID: {device}, Slot: {slot}, InputBytes: 1, "
        f"OutputBytes: {outputs}}}}}\n"
        for device, slot, outputs in modules
    )
    return (
        "kvt_handler:\n  server_address: '{address}'\n"
        "  IOModule:\n    SlaveNo: 4\n    Modules:\n" + entries
    )


def test_setting_an_output_addresses_the_modules_start_byte(machine, controller):
    client = machine()
    assert client.output_start_byte == [-1, 0, 2, 3]
    deps = ["PC-move"]
    sent = client.io_set(10, 23, 1, deps)  # slot 3: outputs from byte 2
    assert sent == client.func_id_prefix + "0"
    assert deps == ["PC-move", 502]
    assert client.io_set(11, 5, 0.0) == client.func_id_prefix + "1"  # slot 2: byte 0
    assert controller.records == [
        action_record(1, 0, [23, 2, 1], sent, ["PC-move", 502]),
        action_record(1, 0, [5, 0, 0], client.func_id_prefix + "1", [502]),
    ]


def test_setting_an_output_and_waiting_for_its_result(machine, controller):
    controller.script = lambda fields: Reply(publish=[Publish(result=9)])
    client = machine()
    assert client.io_set(10, 0, 1, block=True) == 9
    (record,) = controller.records
    assert fields_of(record)[:5] == [1, 0, 0, 2, 1]

    controller.script = lambda fields: Reply(result=0, publish=[])
    assert client.io_set(10, 0, 1) == 0  # refused: the status comes back


def test_devices_that_are_no_io_modules_or_have_no_outputs(machine, controller):
    client = machine()
    deps = []
    assert client.io_set(1, 0, 1, deps) == -2  # slot 1 has no output bytes
    assert deps == [502]  # appended before the start byte was looked up
    for device in (13, 15, 99):  # drives, and no device at all
        others = []
        assert client.io_set(device, 0, 1, others) == -2 and others == []
        assert client.io_monitor(device) == -2
        assert client.io_monitor(device, "MORVO_ID_OUTPUT_DATA") == -2
    with pytest.raises(KeyError, match="'MORVO_ID_FLOW' is not a kind of logged data"):
        client.io_monitor(10, "MORVO_ID_FLOW")
    assert controller.records == [] and controller.logger_requests == []


def test_reading_inputs_and_outputs(machine, controller, capsys):
    client = machine()
    controller.logger = lambda device, index: f"{device}:{index}:0x0F".encode()
    assert client.io_monitor(1) == "1:4:0x0F"
    assert client.io_monitor(10, "MORVO_ID_OUTPUT_DATA") == "10:3:0x0F"
    assert controller.logger_requests == [(1, 4), (10, 3)]
    controller.logger = lambda device, index: None
    assert client.io_monitor(10) == -3


def test_slots_with_gaps_use_the_modules_own_start_byte(machine, controller):
    # Slots 1, 3 and 4 with 1, 2 and 4 output bytes: starts 0, 1 and 3.
    client = machine(coupler((21, 1, 1), (23, 3, 2), (24, 4, 4)))
    assert client.output_start_byte == [0, 1, 3, 7]
    client.io_set(21, 0, 1)
    client.io_set(23, 0, 1)  # its own byte 1, not slot 4's byte 3
    assert [fields_of(record)[3] for record in controller.records] == [0, 1]
    # Slot 4 of three modules is past the last module's entry: the image size.
    assert client.io_set(24, 0, 1) == -2
    assert len(controller.records) == 2


def test_slots_outside_the_modules(machine, controller):
    client = machine(coupler((30, 0, 1), (31, 1, 1), (37, 7, 1)))
    assert client.io_set(30, 0, 1) == -2  # slot 0 would take the image size
    with pytest.raises(IndexError, match="IO module 37 is in slot 7, beyond the 3"):
        client.io_set(37, 0, 1)
    assert controller.records == []
    client.io_set(31, 0, 1)  # second in slot order
    assert fields_of(controller.records[0])[3] == 1


def test_the_coupler_needs_a_slave_number(machine, controller):
    text = coupler((10, 1, 1)).replace("    SlaveNo: 4\n", "")
    client = machine(text)
    with pytest.raises(KeyError, match="IO module with MorvoID 10 .* IOModule/SlaveNo"):
        client.io_set(10, 0, 1)
    assert controller.records == []
