"""Every whole script the documentation shows (a ```zarn block, or an
untagged one, that declares `block main`) compiles against the example
machine, so that a reader can copy it onto that machine as it is."""

import re
from pathlib import Path

import pytest

import Zarn

ROOT = Path(__file__).resolve().parents[3]
MODULES = ROOT / "examples" / "modules.py"
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\S*)")
DECLARES_MAIN = re.compile(r"^\s*block\s+main\b", re.MULTILINE)


def fenced(text):
    """(first line, info string, body) of every fenced block of a page."""
    lines = text.splitlines(keepends=True)
    opened = None
    for number, line in enumerate(lines, 1):
        found = FENCE.match(line)
        if found is None:
            continue
        if opened is None:
            opened = (number + 1, found.group(1))
        else:
            first, info = opened
            yield first, info, "".join(lines[first - 1 : number - 1])
            opened = None


def scripts():
    for page in PAGES:
        for line, info, body in fenced(page.read_text(encoding="utf-8")):
            if info in ("", "zarn") and DECLARES_MAIN.search(body):
                yield pytest.param(body, id=f"{page.relative_to(ROOT)}:{line}")


EXAMPLES = list(scripts())


def test_the_pages_show_whole_scripts():
    # A fence the pattern stopped seeing would pass every example below.
    shown = {param.id.split(":")[0] for param in EXAMPLES}
    assert {"README.md", "docs/grammar.md"} <= shown


@pytest.mark.parametrize("script", EXAMPLES)
def test_the_script_compiles_on_the_example_machine(script, request):
    filename = request.node.callspec.id
    Zarn.compile(script, modules=MODULES, filename=filename)
