"""The controller client's demonstration sequence: ``python -m Zarn.morvo_client``.

Homes and moves the Festo drives 13 and 14, reads back a position, and switches
outputs of IO module 10 while reading its outputs and the inputs of IO module
1, printing each result after its label. It drives a real machine: run it
against a controller service (or the simulated one, ``zarn sim``; ``zarn demo``
starts one and runs this sequence against it).

The machine's configuration is /opt/kvt/configs/handler_settings.yaml, or the
file that the environment variable ZARN_CONFIG names::

    ZARN_CONFIG=examples/handler_settings.yaml python -m Zarn.morvo_client
"""

import sys

from Zarn.configuration import CONFIG_VARIABLE, configured_path
from Zarn.morvo_client import MorvoClient
from Zarn.morvo_client.demonstration import run_demonstration

PROGRAM = "python -m Zarn.morvo_client"


def main():
    path = configured_path()
    try:
        client = MorvoClient(path)
    except (KeyError, TypeError, ValueError) as error:
        print(
            f"{PROGRAM}: cannot use configuration {path}: {error}\n"
            f"{PROGRAM}: name the machine's configuration file with {CONFIG_VARIABLE}, "
            f"for example:\n  {CONFIG_VARIABLE}=examples/handler_settings.yaml {PROGRAM}",
            file=sys.stderr,
        )
        return 1
    try:
        run_demonstration(client)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as a filter would.
        sys.stdout = None
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
