"""Where the machine's configuration file is found, and the example machine
installed with the package.

The programs (`zarn`, `python -m Zarn.morvo_client`) take the file named by
ZARN_CONFIG, else the machine's own at the default path; `zarn run` falls
back to the example machine on a simulated controller. `MorvoClient` itself
keeps its own default.
"""

import os
from pathlib import Path

from Zarn.errors import RunError

DEFAULT_CONFIG = "/opt/kvt/configs/handler_settings.yaml"
EXAMPLES = Path(__file__).parent / "examples"
EXAMPLE_CONFIG = EXAMPLES / "handler_settings.yaml"
# Names the configuration the programs use when none is given.
CONFIG_VARIABLE = "ZARN_CONFIG"


def configured_path():
    """The configuration file named by ZARN_CONFIG, else the default path."""
    return os.environ.get(CONFIG_VARIABLE) or DEFAULT_CONFIG


def choose_config(given, controller):
    """(path, where it comes from) of the configuration a run uses: the one
    given, $ZARN_CONFIG, the machine's own at the default path, or, on the
    simulated controller only, the example machine's."""
    if given is not None:
        return Path(given), "given with --config"
    named = os.environ.get(CONFIG_VARIABLE)
    if named:
        return Path(named), f"from {CONFIG_VARIABLE}"
    if Path(DEFAULT_CONFIG).is_file():
        return Path(DEFAULT_CONFIG), "the machine's own, at the default path"
    if controller is None:
        return EXAMPLE_CONFIG, "the example machine's"
    raise RunError(
        f"no configuration at {DEFAULT_CONFIG}: name the machine's configuration "
        f"with --config FILE (or {CONFIG_VARIABLE}=FILE)"
    )
