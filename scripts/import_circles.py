"""Checks that the Python modules of the Zarn package import one another in
one direction only: builds the import graph of the installed package (or of
the folder given) and exits with status 1, printing each circle, when a
module can reach itself.

Every import counts, wherever it stands: at the top of a module, inside a
function (a lazy import), or as `importlib.import_module("literal")`.
`from P import name` counts as an import of the module `P.name` when there
is one, else of `P`. Importing `P.sub` also runs `P/__init__.py` first; that
implicit step does not count, since a package that gathers its parts would
otherwise always close a circle with them.

The extension modules import Python modules too (`nb::module_::import_`,
`import_attr`): their imports are read from their binding units in the
source tree (bindings/CMakeLists.txt names each module's units and the
libraries it links, whose units count for it as well).

    .venv/bin/python scripts/import_circles.py [PACKAGE_FOLDER]
"""

import ast
import importlib.machinery
import importlib.util
import re
import sys
from collections import deque
from pathlib import Path

PACKAGE = "Zarn"
BINDINGS = Path(__file__).resolve().parent.parent / "bindings"
EXTENSION_SUFFIXES = tuple(importlib.machinery.EXTENSION_SUFFIXES)


def package_folder():
    spec = importlib.util.find_spec(PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        sys.exit(f"import_circles: the package {PACKAGE} is not installed")
    return Path(next(iter(spec.submodule_search_locations)))


def module_name(folder, path):
    """The dotted name of the module at `path` (an extension's too)."""
    parts = list(path.relative_to(folder).parts)
    last = parts[-1]
    for suffix in EXTENSION_SUFFIXES + (".py",):
        if last.endswith(suffix):
            last = last[: -len(suffix)]
            break
    parts[-1] = last
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join([PACKAGE, *parts])


def modules_of(folder):
    """({name: path} of the Python modules, {names of the extensions})."""
    python, extensions = {}, set()
    for path in sorted(folder.rglob("*")):
        if "__pycache__" in path.parts or not path.is_file():
            continue
        if path.suffix == ".py":
            python[module_name(folder, path)] = path
        elif path.name.endswith(EXTENSION_SUFFIXES):
            extensions.add(module_name(folder, path))
    return python, extensions


def imported(name, path, known):
    """The package's modules that the module `name` imports, with the line
    of each import."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    is_package = path.name == "__init__.py"
    found = []

    def add(target, line):
        if target == PACKAGE or target.startswith(PACKAGE + "."):
            found.append((target, line))

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(alias.name, node.lineno)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = name.split(".")
                # A package's own __init__ is the anchor of its relative imports.
                drop = node.level - 1 if is_package else node.level
                anchor = anchor[: len(anchor) - drop] if drop else anchor
                base = ".".join(anchor + ([base] if base else []))
            for alias in node.names:
                whole = f"{base}.{alias.name}"
                add(whole if whole in known else base, node.lineno)
        elif (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Attribute)
            and node.func.attr == "import_module"
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
        ):
            add(node.args[0].value, node.lineno)
    return found


def _cmake_calls(text, command):
    for match in re.finditer(rf"^\s*{command}\(([^)]*)\)", text, re.MULTILINE):
        yield match.group(1).split()


def extension_imports(bindings=BINDINGS):
    """{extension module: [(imported module, "unit:line")]} from the binding
    units: each module's own units and those of the libraries it links."""
    listing = bindings / "CMakeLists.txt"
    if not listing.is_file():
        return {}
    text = listing.read_text(encoding="utf-8")
    libraries = {}
    for words in _cmake_calls(text, "add_library"):
        libraries[words[0]] = [w for w in words[1:] if w.endswith(".cpp")]
    found = {}
    pattern = re.compile(r'import_(?:attr)?\(\s*"(Zarn[\w.]*)"')
    for words in _cmake_calls(text, "zarn_add_extension"):
        name, units = words[0], []
        for word in words[1:]:
            units += libraries.get(word, [word] if word.endswith(".cpp") else [])
        imports = []
        for unit in units:
            path = bindings / unit
            if not path.is_file():
                continue
            for number, line in enumerate(
                path.read_text(encoding="utf-8").splitlines(), 1
            ):
                for target in pattern.findall(line):
                    imports.append((target, f"{unit}:{number}"))
        found[f"{PACKAGE}.{name}"] = imports
    return found


def circles(graph):
    """The strongly connected parts of `graph` that hold a circle (Tarjan's
    algorithm, without recursion), each as a list of module names."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for root in graph:
        if root in index:
            continue
        work = [(root, iter(graph[root]))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, targets = work[-1]
            advanced = False
            for target in targets:
                if target not in index:
                    index[target] = low[target] = counter
                    counter += 1
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(graph[target])))
                    advanced = True
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            if advanced:
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                part = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    part.append(member)
                    if member == node:
                        break
                if len(part) > 1 or node in graph[node]:
                    found.append(sorted(part))
    return found


def one_circle(graph, part):
    """A shortest path through `part` from its first module back to it."""
    members, start = set(part), part[0]
    came_from, waiting = {start: None}, deque([start])
    while waiting:
        node = waiting.popleft()
        for target in graph[node]:
            if target == start:
                path = [node]
                while came_from[path[-1]] is not None:
                    path.append(came_from[path[-1]])
                return [*reversed(path), start]
            if target in members and target not in came_from:
                came_from[target] = node
                waiting.append(target)
    raise AssertionError(f"no circle through {start}")


def main(argv):
    folder = Path(argv[1]) if len(argv) > 1 else package_folder()
    python, extensions = modules_of(folder)
    known = set(python) | extensions
    graph = {name: [] for name in sorted(known)}
    lines = {}
    for name, path in python.items():
        for target, line in imported(name, path, known):
            if target not in graph:
                graph[target] = []
            if target not in graph[name]:
                graph[name].append(target)
                lines[(name, target)] = line
    for name, imports in extension_imports().items():
        graph.setdefault(name, [])
        for target, where in imports:
            graph.setdefault(target, [])
            if target != name and target not in graph[name]:
                graph[name].append(target)
                lines[(name, target)] = where
    edges = sum(len(targets) for targets in graph.values())
    found = circles(graph)
    if not found:
        print(
            f"import_circles: no circle among the {len(python)} Python modules "
            f"and {len(extensions)} extensions of {folder} ({edges} imports)"
        )
        return 0
    for part in found:
        path = one_circle(graph, part)
        shown = " -> ".join(
            f"{a} ({lines[(a, b)]})"
            if isinstance(lines[(a, b)], str)
            else f"{a} (line {lines[(a, b)]})"
            for a, b in zip(path, path[1:])
        )
        print(f"import_circles: circle of {len(part)} modules: {shown} -> {path[-1]}")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
