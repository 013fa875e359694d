import importlib.machinery
import os
import subprocess
import sys

from controller_double import fields_of

import Zarn.morvo_client
from Zarn import cli

DEMONSTRATION = [sys.executable, "-m", "Zarn.morvo_client"]


def run_demonstration(config, cwd):
    environment = {**os.environ, "ZARN_CONFIG": str(config)}
    return subprocess.run(
        DEMONSTRATION,
        env=environment,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def test_the_client_module_is_an_extension_and_a_program():
    assert isinstance(
        Zarn.morvo_client.__loader__, importlib.machinery.ExtensionFileLoader
    )
    assert Zarn.morvo_client.__spec__.submodule_search_locations  # runnable by -m
    assert hasattr(Zarn.morvo_client, "MorvoClient")


def test_the_demonstration_sequence_against_the_controller(controller, tmp_path):
    example = cli.EXAMPLE_CONFIG.read_text(encoding="utf-8")
    config = tmp_path / "machine.yaml"
    config.write_text(
        example.replace(
            "server_address: localhost", f"server_address: {controller.address}"
        )
    )
    done = run_demonstration(config, tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    # The double accepts every record and publishes a result of 1 at once; its
    # logger answers device * 10 + index.
    assert done.stdout.splitlines() == [
        "result of motor 13 homing: 1",
        "result of motor 14 homing1: 1",
        "result of motor 14 homing2: 1",
        "result of motor 13 moving1: 1",
        "motor 13 output: 0.132",  # 132 counts at 1000 per mm
        "result of motor 13 moving2: 1",
        "result of motor 13 moving3: 1",
        "result of motor 13 moving4: 1",
        "io 10 output before control: 103",
        "io 1 input: 14",
        "io 10 output after control1: 103",
        "io 10 output after control2: 103",
    ]
    sent = [fields_of(record) for record in controller.records]
    # Seven blocking commands of four records each, a move, four outputs.
    moves = [(f[0], f[1], f[2]) for f in sent if f[0] != 0]
    assert moves == [
        (2, 3, 17), (3, 3, 17), (3, 3, 17),
        (2, 1, 20000), (2, 1, 30000), (2, 1, 20000), (2, 1, 20000),
        (3, 1, 20000),
        (1, 0, 0), (1, 0, 22), (1, 0, 23), (1, 0, 23),
    ]  # fmt: skip
    assert [f[4] for f in sent if f[1] == 0] == [1, 1, 1, 0]  # the pin values
    assert len(sent) == 7 * 4 + 1 + 4
    assert controller.logger_requests == [(13, 2), (10, 3), (1, 4), (10, 3), (10, 3)]


def test_the_demonstration_without_a_configuration(tmp_path):
    missing = tmp_path / "absent.yaml"
    done = run_demonstration(missing, tmp_path)
    assert done.returncode == 1
    assert done.stdout.startswith(f"[Warning] Filed to load config file at {missing}")
    assert f"cannot use configuration {missing}" in done.stderr
    assert "ZARN_CONFIG=examples/handler_settings.yaml python -m Zarn.morvo_client" in (
        done.stderr
    )
