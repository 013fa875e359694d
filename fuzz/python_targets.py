"""Python-level fuzz targets: the paths behind the C++ targets that only the
package reaches.

- compile: `Zarn.compile` of any bytes, for the example machine's modules,
  raises only the documented errors (ZarnSyntaxError, ZarnCompileError,
  ModulesFileError), never anything else, a crash or a hang;
- client_config: the client's configuration reading, the steps of
  `MorvoClient(file)` that read the file (load_config, decode_io_config),
  then `getMorvoDict` of the devices, raises only the documented errors
  (TypeError, KeyError, ValueError; docs/configuration.md). The constructor's
  last step, which connects to the file's server_address, is left out: a
  fuzzed file names any host.

Replaying a corpus (what the test suite does; each input has 30 seconds, then
the stack of the hang is dumped and the replay fails):

    python fuzz/python_targets.py compile fuzz/corpus/parser
    python fuzz/python_targets.py client_config fuzz/corpus/config

With `--fuzz` (and atheris installed) the target is fuzzed instead, from the
given corpus folders; the other arguments go to libFuzzer.
"""

import contextlib
import faulthandler
import io
import os
import pathlib
import sys
import tempfile

import Zarn
from Zarn._zarnmodule import ModulesFileError, load_modules
from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.morvo_client import MorvoClient

EXAMPLES = pathlib.Path(EXAMPLE_CONFIG).parent
HANG_SECONDS = 30

_modules = None
_client = None
_scratch = tempfile.mkdtemp(prefix="zarn-fuzz-")


def compile_script(data):
    global _modules
    if _modules is None:
        _modules = load_modules(EXAMPLES / "modules.py")
    try:
        Zarn.compile(bytes(data), modules=_modules, filename="<fuzz>")
    except (Zarn.ZarnSyntaxError, Zarn.ZarnCompileError, ModulesFileError):
        pass


def client_config(data):
    global _client
    with contextlib.redirect_stdout(io.StringIO()):
        if _client is None:
            # The example machine's controller is on localhost.
            _client = MorvoClient(str(EXAMPLE_CONFIG))
        path = os.path.join(_scratch, "config.yaml")
        with open(path, "wb") as file:
            file.write(data)
        _client.config_fp = path
        _client.config_data = None
        _client.module_data_map = {}
        try:
            _client.load_config()
            _client.decode_io_config()
            for device in _device_ids(_client.config_data):
                _client.getMorvoDict(device)
        except (TypeError, KeyError, ValueError):
            pass


def _device_ids(tree):
    """The MorvoIDs of the document, as written."""
    found = []
    stack = [tree]
    while stack and len(found) < 50:
        node = stack.pop()
        if isinstance(node, dict):
            if "MorvoID" in node:
                found.append(node["MorvoID"])
            stack.extend(node.values())
        elif isinstance(node, list):
            stack.extend(node)
    return found


TARGETS = {"compile": compile_script, "client_config": client_config}


def replay(target, folders):
    count = 0
    for folder in folders:
        for path in sorted(pathlib.Path(folder).iterdir()):
            # A hang dumps every thread's stack and ends the replay.
            faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
            try:
                target(path.read_bytes())
            except BaseException:
                print(f"finding: {path}", file=sys.stderr)
                raise
            finally:
                faulthandler.cancel_dump_traceback_later()
            count += 1
    print(f"replayed {count} inputs")
    return 0 if count else 1


def main(argv):
    if len(argv) < 2 or argv[0] not in TARGETS:
        print(__doc__, file=sys.stderr)
        return 2
    target = TARGETS[argv[0]]
    if "--fuzz" in argv:
        import atheris  # only needed to fuzz, not to replay

        args = [sys.argv[0]] + [a for a in argv[1:] if a != "--fuzz"]
        atheris.Setup(args, target)
        atheris.Fuzz()
        return 0
    return replay(target, argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
