#!/usr/bin/env python3
"""Checks that the C++ depends one way only, and fails (exit status 1) on a
finding:

- includes: no circle of #include "..." among the project's files, and each
  concern of the core (cpp/include/zarn/<concern>, cpp/src/<concern>)
  includes only itself and the concerns below it (base <- lang, run,
  client <- sim);
- calls, for each build folder given: no circle of calls between units.
  Unit A calls unit B when A's object file needs a symbol that B's defines
  (nm), so a circle is two or more units that reach one another.

    python3 scripts/check_cycles.py                  # includes only
    python3 scripts/check_cycles.py build/dev build/t

build/dev is the folder of the package build (bindings and core), build/t
one of the C++ tests; build them first (a unit changed since its build is
reported).
"""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_FOLDERS = ["cpp", "bindings", "tests/cpp", "bench/cpp", "fuzz"]
INCLUDE_ROOTS = ["cpp/include", "bindings", "tests/cpp"]
# What each concern of the core may include besides itself.
BELOW = {
    "base": set(),
    "lang": {"base"},
    "run": {"base"},
    "client": {"base"},
    "sim": {"base", "client"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def sources():
    for folder in SOURCE_FOLDERS:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in (".cpp", ".hpp") and path.is_file():
                yield path


def resolve(including, name):
    for base in [including.parent] + [ROOT / r for r in INCLUDE_ROOTS]:
        candidate = (base / name).resolve()
        if candidate.is_file():
            return candidate
    return None


def concern_of(path):
    parts = path.relative_to(ROOT).parts
    if parts[:3] == ("cpp", "include", "zarn") and len(parts) > 4:
        return parts[3]
    if parts[:2] == ("cpp", "src") and len(parts) > 3:
        return parts[2]
    return None


def circles(graph):
    """The strongly connected parts of `graph` with more than one node, or a
    node that reaches itself (Tarjan's algorithm, without recursion)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in graph:
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, successors = work[-1]
            advanced = False
            for succ in successors:
                if succ not in graph:
                    continue
                if succ not in index:
                    index[succ] = low[succ] = counter
                    counter += 1
                    stack.append(succ)
                    on_stack.add(succ)
                    work.append((succ, iter(sorted(graph[succ]))))
                    advanced = True
                    break
                if succ in on_stack:
                    low[node] = min(low[node], index[succ])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
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


def check_includes():
    findings = []
    graph = {}
    for path in sources():
        edges = graph.setdefault(path, set())
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = resolve(path, name)
            if target is None:
                continue  # a system header written with quotes
            edges.add(target)
            own, other = concern_of(path), concern_of(target)
            if own and other and other != own and other not in BELOW[own]:
                findings.append(
                    f"{path.relative_to(ROOT)} ({own}) includes "
                    f"{target.relative_to(ROOT)} ({other}), which is not below it"
                )
    for part in circles(graph):
        names = ", ".join(str(p.relative_to(ROOT)) for p in part)
        findings.append(f"these files include one another: {names}")
    return findings, len(graph)


def symbols(obj):
    """The global symbols an object file defines (strongly) and needs."""

    def nm(*options):
        lines = subprocess.run(
            ["nm", *options, "-g", str(obj)], check=True, capture_output=True, text=True
        ).stdout.splitlines()
        return [line.split() for line in lines if line.strip()]

    defined = {f[-1] for f in nm("--defined-only") if len(f) == 3 and f[1] in "TDBR"}
    needed = {f[-1] for f in nm("--undefined-only")}
    return defined, needed


def source_of(obj, build):
    """The project's source file an object file was built from, or None for
    one of another project's files or one whose source is gone."""
    # <folder>/CMakeFiles/<target>.dir/<path of the source>.o, where the
    # source lies at <path> below the project's <folder>.
    parts = obj.relative_to(build).parts
    if "CMakeFiles" not in parts:
        return None
    at = parts.index("CMakeFiles")
    source = ROOT.joinpath(*parts[:at], *parts[at + 2 :]).with_suffix("")
    ours = any(source.is_relative_to(ROOT / folder) for folder in SOURCE_FOLDERS)
    return source if ours and source.is_file() else None


def check_calls(build):
    findings = []
    objects = {}  # source -> its object files
    for obj in sorted(Path(build).rglob("*.o")):
        source = source_of(obj, Path(build))
        if source is not None:
            objects.setdefault(source, []).append(obj)
    if not objects:
        return [f"{build}: no object files of the project (build it first)"], 0
    definer, needs = {}, {}
    for source, built in objects.items():
        unit = str(source.relative_to(ROOT))
        # An object older than its source is left over from an earlier layout
        # or not rebuilt yet; a source with no newer one is not checked.
        fresh = [o for o in built if o.stat().st_mtime >= source.stat().st_mtime]
        if not fresh:
            findings.append(f"{build}: {unit} changed since it was built; build first")
            continue
        for obj in fresh:
            defined, needed = symbols(obj)
            needs.setdefault(unit, set()).update(needed)
            for symbol in defined:
                definer.setdefault(symbol, set()).add(unit)
    graph = {unit: set() for unit in needs}
    for unit, needed in needs.items():
        for symbol in needed:
            graph[unit].update(definer.get(symbol, set()) - {unit})
    findings += [
        f"{build}: these units call one another: {', '.join(part)}"
        for part in circles(graph)
    ]
    return findings, len(graph)


def main(builds):
    findings, files = check_includes()
    print(f"includes: {files} files checked")
    for build in builds:
        found, units = check_calls(build)
        findings += found
        print(f"calls in {build}: {units} units checked")
    for finding in findings:
        print(finding, file=sys.stderr)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
