"""Loading a machine's `modules.py`: `load_modules` and `find_modules_file`."""

from __future__ import annotations

import importlib.util
import itertools
import os
import sys
import types
from pathlib import Path

from Zarn.errors import ModulesFileError
from Zarn.machine_modules.values import _described

USER_MODULES = "modules"
MODULES_FILE = "modules.py"
HOW_TO_DECLARE = (
    f"machine modules are declared in a {MODULES_FILE} beside the script or in the "
    f"file given with --modules FILE"
)

_private_names = itertools.count(1)
_absent = object()


def _frame_line(traceback, path):
    """The last line of `path` on the way to an error, if the file was on it."""
    line = None
    target = os.path.realpath(path)
    while traceback is not None:
        code = traceback.tb_frame.f_code
        if os.path.realpath(code.co_filename) == target:
            line = traceback.tb_lineno
        traceback = traceback.tb_next
    return line


def load_modules(source):
    """The user's modules as a Python module: `source` is one already (it is
    returned), a path to a modules file, or a folder holding `modules.py`.

    The file is imported under a private name of its own (kept in
    `sys.modules` under that name), with its folder on `sys.path` while it
    runs, so it can import files beside it; `sys.modules["modules"]` is left
    as it was. Each call loads the file afresh, with fresh trays and cursors.
    An error in the file is raised as `ModulesFileError` naming file and line.
    """
    if isinstance(source, types.ModuleType):
        return source
    try:
        path = Path(os.fspath(source))
    except TypeError:
        raise TypeError(
            f"machine modules come from a module or a path to a {MODULES_FILE}, "
            f"not {_described(source)}"
        ) from None
    if path.is_dir():
        path = path / MODULES_FILE
    if not path.is_file():
        raise FileNotFoundError(f"no machine modules file at {path}")

    name = f"_zarn_modules_{next(_private_names)}"
    # Absolute, so that the file is found again whatever the working folder.
    spec = importlib.util.spec_from_file_location(name, path.resolve())
    module = importlib.util.module_from_spec(spec)
    folder = str(path.resolve().parent)
    saved = sys.modules.get(USER_MODULES, _absent)
    sys.modules[name] = module
    sys.path.insert(0, folder)
    try:
        spec.loader.exec_module(module)
    except BaseException as error:
        sys.modules.pop(name, None)
        if not isinstance(error, Exception):  # Ctrl-C and exits pass as they are
            raise
        if isinstance(error, SyntaxError) and error.lineno is not None:
            # Possibly in a file the modules file imports: name that one.
            shown, line, reason = error.filename or path, error.lineno, error.msg
        else:
            shown, line = path, _frame_line(error.__traceback__, path)
            reason = f"{type(error).__name__}: {error}"
        where = f"{shown}, line {line}" if line else str(shown)
        raise ModulesFileError(
            f"cannot load machine modules from {where}: {reason}", path=path, line=line
        ) from error
    finally:
        try:
            sys.path.remove(folder)
        except ValueError:
            pass
        # A file that imports itself as "modules" must not leave that behind.
        if saved is _absent:
            sys.modules.pop(USER_MODULES, None)
        else:
            sys.modules[USER_MODULES] = saved
    return module


def find_modules_file(script):
    """The `modules.py` beside a script, or None."""
    candidate = Path(script).resolve().parent / MODULES_FILE
    return candidate if candidate.is_file() else None
