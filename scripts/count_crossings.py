"""Counts the crossings between Python code and the package's extension code
for one `@x move` statement, while compiling and while its action executes
on a ClientMachine against a simulated controller.

    .venv/bin/python scripts/count_crossings.py [examples/modules.py]


The callables of the extension modules (functions, methods, property
accessors) are wrapped in counting Python wrappers; a profiler tells which
Python functions run directly under a wrapper, that is, were called from
C++. Counted:
- Python -> C++: a wrapper called from Python code;
- C++ -> Python: Python code called from inside a wrapper's C++;
- C++ -> C++ through Python: a wrapper called from inside another
  wrapper's C++ (one extension reaching another through a Python attribute).
"""

import collections
import importlib
import os
import sys
from pathlib import Path

EXTENSIONS = [
    "Zarn._zarnprimitives",
    "Zarn._zarnaction",
    "Zarn._zarnblock",
    "Zarn._zarnpq",
    "Zarn.blocks",
    "Zarn.compiler",
    "Zarn.morvo_client",
    "Zarn._zarnexec",
    "Zarn._zarnparser",
]
MODULES = (
    sys.argv[1]
    if len(sys.argv) > 1
    else str(Path(__file__).resolve().parent.parent / "examples" / "modules.py")
)
count = collections.Counter()
enabled = [False]
WRAPPER_CODE = set()


def native(obj):
    return type(obj).__name__ in (
        "nb_func",
        "nb_method",
        "builtin_function_or_method",
        "nb_bound_method",
    )


def wrap(owner_name, name, func):
    def wrapper(*args, **kwargs):
        if enabled[0]:
            caller = sys._getframe(1)
            where = (
                "C++ -> C++ via Python"
                if caller.f_code in WRAPPER_CODE
                else "Python -> C++"
            )
            count[f"{where}: {owner_name}.{name}"] += 1
        return func(*args, **kwargs)

    WRAPPER_CODE.add(wrapper.__code__)
    return wrapper


def instrument():
    for modname in EXTENSIONS:
        try:
            mod = importlib.import_module(modname)
        except ImportError:
            continue
        for name, value in list(vars(mod).items()):
            if native(value):
                setattr(mod, name, wrap(modname.split(".")[-1], name, value))
            elif isinstance(value, type) and value.__module__ == modname:
                for attr, member in list(vars(value).items()):
                    if attr.startswith("__") and attr not in (
                        "__init__",
                        "__call__",
                        "__getitem__",
                        "__setitem__",
                        "__len__",
                        "__iter__",
                        "__eq__",
                        "__hash__",
                        "__repr__",
                    ):
                        continue
                    try:
                        if native(member):
                            setattr(value, attr, wrap(value.__name__, attr, member))
                        elif isinstance(member, property):
                            fget = (
                                wrap(value.__name__, attr + " (get)", member.fget)
                                if member.fget and native(member.fget)
                                else member.fget
                            )
                            fset = (
                                wrap(value.__name__, attr + " (set)", member.fset)
                                if member.fset and native(member.fset)
                                else member.fset
                            )
                            setattr(value, attr, property(fget, fset))
                        elif type(member).__name__ in (
                            "nb_static_property",
                            "getset_descriptor",
                        ):
                            pass
                    except (TypeError, AttributeError):
                        pass


def profiler(frame, event, arg):
    if event == "call" and enabled[0] and frame.f_code not in WRAPPER_CODE:
        back = frame.f_back
        if (
            back is not None
            and back.f_code in WRAPPER_CODE
            and "/collections/" not in frame.f_code.co_filename
        ):
            code = frame.f_code
            count[
                f"C++ -> Python: {code.co_qualname if hasattr(code, 'co_qualname') else code.co_name} ({os.path.basename(code.co_filename)})"
            ] += 1


instrument()
import Zarn


def script(n):
    body = "\n".join(
        "    @x move park" if i % 2 else "    @x move input" for i in range(n)
    )
    return "block main {\n    @x move home\n" + body + "\n}\n"


def compile_count(n):
    count.clear()
    enabled[0] = True
    sys.setprofile(profiler)
    Zarn.compile(script(n), modules=MODULES)
    sys.setprofile(None)
    enabled[0] = False
    return collections.Counter(count)


def diff(x, y):
    d = collections.Counter(y)
    d.subtract(x)
    return {k: v for k, v in d.items() if v}


def show(title, counts):
    print(title, sum(counts.values()))
    for k, v in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"   {v:3d}  {k}")


show("compile, per statement:", diff(compile_count(40), compile_count(41)))

from importlib.resources import files

from Zarn._zarnmodule import attach
from Zarn.machine import ClientMachine
from Zarn.morvo_client import MorvoClient
from Zarn.sim import SimulatedController

config = files("Zarn") / "examples" / "handler_settings.yaml"
with SimulatedController(config, speed=50) as sim:
    client = MorvoClient(str(sim.client_config("/tmp/crossings.yaml")))
    machine = ClientMachine(client, speed=50)
    main = Zarn.compile(
        "block main { @x move home\n @x move input\n @x move park\n @x move input }",
        modules=MODULES,
    )
    steps = [s.action for s in main.run_plan().steps if s.kind == "action"]
    attach(steps, machine)
    for s in steps[:3]:
        s.execute()
    count.clear()
    enabled[0] = True
    sys.setprofile(profiler)
    steps[3].execute()
    sys.setprofile(None)
    enabled[0] = False
show(
    "execute of one move (the worker's own call of execute and the view's two event hooks come on top):",
    collections.Counter(count),
)

# The wrappers stay in the extension types until the end; leave without the
# interpreter's final clean-up, which would report them as leaks.
sys.stdout.flush()
os._exit(0)
