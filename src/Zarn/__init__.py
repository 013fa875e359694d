"""Zarn: the runtime of the ZARN handling-machine scripting language and the
client of the machine's controller service.

The deliverable modules are C++ extensions:

- ``Zarn._zarnprimitives``: ``ZarnState``, ``ZarnId``
- ``Zarn._zarnaction``: ``ZarnAction`` and its ``ZarnEvent``
- ``Zarn._zarnblock``: ``ZarnBlock``, chains of blocks and their run plan
- ``Zarn.blocks``: the block kinds ``StandardBlock``, ``AsyncBlock``,
  ``CompeteBlock``, ``RunExceptBlock``
- ``Zarn._zarnpq``: ``ZarnPriority`` and ``ZarnPriorityQueue``
- ``Zarn._zarnmodule`` (Python): the machine modules a script names with "@"
- ``Zarn.executor`` (Python, on the ``Zarn._zarnexec`` extension): runs a
  compiled block on a small pool of threads and reports what happened
- ``Zarn.morvo_client``: records, configuration and ``MorvoClient`` with its
  conditions, motor and IO commands (``python -m Zarn.morvo_client`` runs
  its demonstration sequence)

- ``Zarn.compiler``: ``ZarnSemantics``, the semantic actions of the language

Scripts are compiled by ``Zarn.compile`` (see ``Zarn.lang.compiling``) and
read by ``Zarn.parse`` (see ``Zarn.lang.parsing``); their errors are
``Zarn.ZarnSyntaxError`` and ``Zarn.ZarnCompileError``. Every exception of
the package is defined in ``Zarn.errors``.

The Python parts, read bottom up: ``errors``; ``lang.nodes``; ``machine``
(what actions execute on); ``machine_modules`` (behind ``_zarnmodule``);
``lang`` (parsing, the plan checks, compiling); ``executor``; ``pictures``;
``sim`` and ``configuration``; ``cli`` (the ``zarn`` command).
"""

from .errors import ZarnCompileError, ZarnSyntaxError

__version__ = "0.1.0"

__all__ = ["ZarnCompileError", "ZarnSyntaxError", "compile", "parse"]


def __getattr__(name):
    # The parser and the compiler load their extension modules only when a
    # script is read, so that `import Zarn` stays cheap.
    if name == "parse":
        from .lang.parsing import parse

        return parse
    if name == "compile":
        from .lang.compiling import compile

        return compile
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
