"""The module registry: the names a script can use after "@"."""

from __future__ import annotations

import importlib

from Zarn.errors import UnknownModuleError
from Zarn.machine_modules.loading import HOW_TO_DECLARE, USER_MODULES, load_modules
from Zarn.machine_modules.module import MachineModule
from Zarn.machine_modules.values import _listed, _nearest

# The package modules whose public names follow the user's modules in the
# registry; a later one's name replaces an earlier one's.
PACKAGE_MODULES = (
    "Zarn.blocks",
    "Zarn._zarnaction",
    "Zarn._zarnmodule",
    "Zarn._zarnblock",
    "Zarn._zarnprimitives",
)


def public_names(module):
    """{name: object} of a module's public names: those in `__all__` when it
    has one, else those not starting with "_"."""
    names = getattr(module, "__all__", None)
    if names is None:
        return {
            name: value
            for name, value in vars(module).items()
            if not name.startswith("_")
        }
    public = {}
    for name in names:
        try:
            public[name] = getattr(module, name)
        except AttributeError:
            raise ImportError(
                f"{module.__name__} lists {name!r} in __all__ but does not define it"
            ) from None
    return public


def _import_if_present(name):
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        # Only the module itself missing counts as absent; a module that is
        # there but fails to import is an error to see.
        if error.name == name:
            return None
        raise


class ModuleRegistry(dict):
    """The names a script can use after "@", each bound to its object.
    Looking up a name it does not hold raises `UnknownModuleError`.

    `user_modules` is the user's module (None when there is none), `sources`
    the modules whose names it holds, in order, and `shadowed` the user's
    names that a package module's name of the same spelling replaced, each
    with that package module's name.
    """

    # The error of a top-level `modules` that is there but failed to import
    # (see `default_registry`), or None.
    load_error = None

    def __init__(self, user_modules=None):
        super().__init__()
        self.user_modules = user_modules
        self.sources = []
        self.shadowed = {}

    def add(self, module):
        user_names = (
            public_names(self.user_modules)
            if self.user_modules is not None and self.sources
            else {}
        )
        for name, value in public_names(module).items():
            if name in user_names and user_names[name] is not value:
                self.shadowed[name] = module.__name__
            self[name] = value
        self.sources.append(module)

    def modules(self):
        """{name: module object} of the machine modules it holds."""
        return {
            name: value
            for name, value in self.items()
            if isinstance(value, MachineModule)
        }

    def __missing__(self, name):
        if not name:
            raise UnknownModuleError("a machine module's name is missing after '@'")
        known = self.modules()
        if self.user_modules is None and self.load_error is not None:
            error = self.load_error
            detail = (
                f"the top-level module {USER_MODULES!r} failed to import "
                f"({type(error).__name__}: {error}); {HOW_TO_DECLARE}"
            )
        elif self.user_modules is None:
            detail = f"no machine modules are declared: {HOW_TO_DECLARE}"
        else:
            origin = (
                getattr(self.user_modules, "__file__", None)
                or self.user_modules.__name__
            )
            detail = (
                f"{origin} declares no module of that name (known modules: "
                f"{_listed(known)}); {HOW_TO_DECLARE}"
            )
        raise UnknownModuleError(
            f"unknown machine module '@{name}': {detail}{_nearest(name, known)}"
        )


def registry(user_modules=None):
    """The module registry for one compile: the public names of the user's
    modules, then of the package modules `Zarn.blocks`, `Zarn._zarnaction`,
    `Zarn._zarnmodule`, `Zarn._zarnblock`, `Zarn._zarnprimitives` (those
    that exist), a later name replacing an earlier one.

    `user_modules` is a module, a path to a modules file or a folder holding
    one; without it the top-level module `modules` is used when it can be
    imported, and the registry is built without it when it cannot.
    """
    if user_modules is None:
        first = _import_if_present(USER_MODULES)
    else:
        first = load_modules(user_modules)
    return _registry_of(first)


def _registry_of(first):
    names = ModuleRegistry(first)
    if first is not None:
        names.add(first)
    for package_module in PACKAGE_MODULES:
        found = _import_if_present(package_module)
        if found is not None:
            names.add(found)
    return names


def default_registry():
    """The registry `Zarn.compiler` builds when it is imported: `registry()`,
    except that a top-level `modules` which is there but fails to import does
    not stop the compiler from importing. The registry is then built without
    it, keeps the error in `load_error`, and a script naming a module is told
    why there is none."""
    try:
        first = _import_if_present(USER_MODULES)
    except Exception as error:  # noqa: BLE001 -- kept and shown at the first lookup
        names = _registry_of(None)
        names.load_error = error
        return names
    return _registry_of(first)
