"""The former home of the script reader, kept so that the names keep
importing from here: the parse nodes now live in `Zarn.lang.nodes` (which
the extensions import), `parse` in `Zarn.lang.parsing`."""

from Zarn.lang.nodes import RULES, TOKEN_RULES, ParseNode, SourcePosition
from Zarn.lang.parsing import collector_paused, parse

__all__ = [
    "RULES",
    "TOKEN_RULES",
    "ParseNode",
    "SourcePosition",
    "collector_paused",
    "parse",
]
