"""Reading ZARN scripts: `parse`, the entry point of the parser extension.

The nodes and positions a semantics receives are in `Zarn.lang.nodes`; the
language itself is described in docs/grammar.md.
"""

import contextlib
import gc
import os

from Zarn import _zarnparser
from Zarn.lang.nodes import RULES, TOKEN_RULES, ParseNode, SourcePosition

__all__ = [
    "RULES",
    "TOKEN_RULES",
    "ParseNode",
    "SourcePosition",
    "collector_paused",
    "parse",
    "parse_body",
]


def parse(text, semantics, filename="<script>", *, positions=None):
    """Reads a ZARN script and calls ``semantics`` rule by rule, bottom-up.

    ``text`` is the script as ``str`` or as UTF-8 ``bytes``. For every rule it
    completes, the parser calls the semantics method of the rule's name with
    one argument: the token's text for ``number``, ``real``, ``module``,
    ``identifier`` and ``extern_str``, a :class:`ParseNode` for every other
    rule. What the method returns takes the node's place in the enclosing
    rule. A rule the semantics has no method for keeps its text or node, so
    any object (even ``object()``) can serve. Returns the value of the start
    rule ``action``.

    Reading happens in C++ without the interpreter lock; the lock is taken
    for the semantics calls. The text is read completely before the first
    call, so a script with a syntax error makes no call at all. While the
    semantics is called, Python's cyclic garbage collector is paused (and
    resumed afterwards if it was on): a long script makes hundreds of
    thousands of objects that all live until the end, and the collector's
    full passes over them would make the cost grow faster than the script.

    ``positions``, when given, is a dict (or any object with item
    assignment) filled, for every value the ``identifier`` rule returned,
    with ``positions[id(value)] = SourcePosition(line, column, value)``. The
    entry holds the value, so the id stays that value's while the entry
    lives; the compile step uses it to name the place of a name that no
    block resolved. (A semantics whose ``identifier`` returns one shared
    object for several names gets one entry for them, the last.) With or
    without the map, an ``identifier`` value that is a ``ZarnId`` gets its
    place as its ``source``, a ``SourcePosition(line, column)``.

    Raises :class:`Zarn.ZarnSyntaxError` for a script that cannot be read,
    and :class:`Zarn.ZarnCompileError` when a semantics method raises an
    ``Exception``: it names the rule and its place, and the method's own
    exception is its ``__cause__``.
    """
    with collector_paused():
        return _zarnparser.parse(text, semantics, os.fsdecode(filename), positions)


def parse_body(text, semantics, filename, positions, start, line, column):
    """Reads the body of a block with parameters again, on its own, and calls
    ``semantics`` for it as :func:`parse` does for a whole script; returns the
    body's value (for ``{ ... }`` the ``asyncblock`` value, as a declared body
    gives it).

    ``text`` is the whole script, as given to :func:`parse`; ``start`` is the
    declaration's ``bodystart`` (a byte offset in the script's UTF-8 text, a
    byte order mark included) and ``line`` and ``column`` its ``bodyline`` and
    ``bodycolumn``, so that every position and every error is the body's real
    place in the script. ``filename`` and ``positions`` are as for
    :func:`parse`. A name stands as a value or a slot anywhere in the body
    (the parameters: they were checked when the script was read), delivered
    through the ``identifier`` rule for the semantics to bind.

    Raises :class:`Zarn.ZarnSyntaxError` and :class:`Zarn.ZarnCompileError`
    as :func:`parse` does, and ``ValueError`` for a start that is not a place
    in the script.
    """
    with collector_paused():
        return _zarnparser.parse_body(
            text, semantics, os.fsdecode(filename), positions, start, line, column
        )


@contextlib.contextmanager
def collector_paused():
    """Pauses Python's cyclic garbage collector, and resumes it afterwards if
    it was on: work that makes many objects which all stay alive gains
    nothing from the collector's passes over them."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()
