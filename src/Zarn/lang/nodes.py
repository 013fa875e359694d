"""What a semantics receives from the parser: parse nodes, source positions
and the names of the rules.

The parser extension (`Zarn._zarnparser`) and the compiler extension
(`Zarn.compiler`) import these classes when they load, so this module imports
nothing of the package: it is the leaf under both the extensions and
`Zarn.lang.parsing`. The language itself is described in docs/grammar.md.
"""

# The rules a semantics object can have methods for, in the order the parser
# knows them; the token rules' methods get the text.
RULES = (
    "number",
    "module",
    "identifier",
    "extern_str",
    "external",
    "io",
    "move",
    "transfer",
    "declaration",
    "block",
    "loop",
    "actionclause",
    "asyncblock",
    "competeblock",
    "action",
    "real",
    "waituntil",
    "moveoffset",
    "ifblock",
    "condition",
    "loopcond",
    "retry",
    "timeout",
    "blockcall",
    "onstop",
)
TOKEN_RULES = ("number", "module", "identifier", "extern_str", "real")

_SHORT_REPR = 60


class SourcePosition(tuple):
    """Where something stands in a script: ``(line, column)``, counted from 1,
    the column in characters.

    In the ``positions`` map filled by :func:`parse`, ``value`` is the value
    the position belongs to: holding it keeps its ``id()`` from being reused
    by another object while the entry lives. Elsewhere it is None.
    """

    value = None

    def __new__(cls, line, column, value=None):
        self = tuple.__new__(cls, (line, column))
        if value is not None:
            self.value = value
        return self

    def __getnewargs__(self):
        return (self[0], self[1])

    @property
    def line(self):
        return self[0]

    @property
    def column(self):
        return self[1]

    def __repr__(self):
        return f"SourcePosition(line={self[0]}, column={self[1]})"


def _short(value):
    if isinstance(value, ParseNode):
        return f"<{value.rule} node at {_at(value)}>"
    if type(value) is list:
        return "[" + ", ".join(_short(item) for item in value) + "]"
    text = repr(value)
    return text if len(text) <= _SHORT_REPR else text[: _SHORT_REPR - 3] + "..."


def _at(node):
    position = node.position
    return "?" if position is None else f"{position[0]}:{position[1]}"


class ParseNode(dict):
    """One completed rule of a script, as its semantics method receives it.

    A map from entry names to the values the sub-rules' methods returned;
    the entries also read as attributes, and an absent entry reads as None
    (``node.others``), as does ``node.get("others")``. ``rule`` is the rule's
    name and ``position`` where the rule stands in the script, a
    :class:`SourcePosition`; neither is an entry.
    """

    __slots__ = ("position", "rule")

    def __init__(self, rule=None, position=None, /, **entries):
        super().__init__(entries)
        self.rule = rule
        self.position = position

    def __getattr__(self, name):
        # Only reached for names that are not attributes; protocol names
        # (__deepcopy__, __getstate__...) must stay missing for copy and pickle.
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        return self.get(name)

    def __reduce__(self):
        return (_rebuild_node, (self.rule, self.position, dict(self)))

    def __copy__(self):
        return _rebuild_node(self.rule, self.position, self)

    def __repr__(self):
        # Nested nodes are shown by rule and place only: a chain of 20,000
        # statements nests as deep, and its repr must stay one short line.
        entries = ", ".join(f"{key}={_short(value)}" for key, value in self.items())
        return f"{self.rule}({entries}) at {_at(self)}"


def _rebuild_node(rule, position, entries):
    node = ParseNode(rule, position)
    node.update(entries)
    return node
