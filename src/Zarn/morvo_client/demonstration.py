"""The controller client's demonstration sequence: homes and moves the Festo
drives 13 and 14 of the example machine, reads back a position, and switches
outputs of IO module 10 while reading its outputs and the inputs of IO module
1, printing each result after its label.

`python -m Zarn.morvo_client` runs it against the configured controller,
`zarn demo` against a simulated one it starts.
"""

import time

RATE = 0.5  # velocity, acceleration and deceleration of every move


def run_demonstration(client, sleep=time.sleep, out=print):
    """The sequence itself, on a constructed client. Returns the (label,
    result) pairs it printed, in order."""
    shown = []

    def show(label, result):
        shown.append((label, result))
        out(f"{label}{result}")

    show("result of motor 13 homing: ", client.motor_home(13, block=True))
    show("result of motor 14 homing1: ", client.motor_home(14, block=True))
    show("result of motor 14 homing2: ", client.motor_home(14, block=True))
    show(
        "result of motor 13 moving1: ",
        client.motor_ptp(13, 20, RATE, RATE, RATE, block=True),
    )
    show("motor 13 output: ", client.motor_monitor(13))
    for label, target in (("moving2", 30), ("moving3", 20), ("moving4", 20)):
        show(
            f"result of motor 13 {label}: ",
            client.motor_ptp(13, target, RATE, RATE, RATE, block=True),
        )
    client.motor_ptp(14, 20, RATE, RATE, RATE)
    show(
        "io 10 output before control: ",
        client.io_monitor(10, "MORVO_ID_OUTPUT_DATA"),
    )
    for pin in (0, 22, 23):
        client.io_set(10, pin, 1)
    show("io 1 input: ", client.io_monitor(1))
    sleep(1)
    show(
        "io 10 output after control1: ",
        client.io_monitor(10, "MORVO_ID_OUTPUT_DATA"),
    )
    client.io_set(10, 23, 0)
    sleep(1)
    show(
        "io 10 output after control2: ",
        client.io_monitor(10, "MORVO_ID_OUTPUT_DATA"),
    )
    return shown
