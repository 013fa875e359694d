"""The errors a ZARN script can raise while it is read and compiled.

Both name the place to fix as ``file:line:column`` and show the line with a
caret under the column, so that printing the error is enough for a user.
"""


def _pointer(text, column):
    """The line and a caret line under character ``column`` (counted from 1).

    Tabs before the column are kept in the caret line so that it lines up
    with the text however wide the terminal shows a tab.
    """
    if not text:
        return ""
    prefix = "".join("\t" if ch == "\t" else " " for ch in text[: max(column - 1, 0)])
    return f"\n    {text}\n    {prefix}^"


class ZarnSyntaxError(SyntaxError):
    """A script that does not follow the grammar, or breaks one of its limits.

    Carries what ``SyntaxError`` carries: ``msg`` (what was expected),
    ``filename``, ``lineno``, ``offset`` (the column, counted from 1, in
    characters), ``text`` (the offending line), ``end_lineno`` and
    ``end_offset`` (just after the offending token).
    """

    def __init__(self, msg, filename, lineno, offset, text, end_offset=None):
        if end_offset is None:
            end_offset = offset + 1
        super().__init__(msg, (filename, lineno, offset, text, lineno, end_offset))

    @property
    def column(self):
        return self.offset

    def __reduce__(self):
        return (
            type(self),
            (
                self.msg,
                self.filename,
                self.lineno,
                self.offset,
                self.text,
                self.end_offset,
            ),
        )

    def __str__(self):
        return (
            f"{self.filename}:{self.lineno}:{self.offset}: {self.msg}"
            f"{_pointer(self.text, self.offset)}"
        )


class ZarnLookupError(LookupError, AttributeError):
    """Something a semantic rule looks up on an object is not there (the first
    item of an empty block, to which a wait clause would go). A LookupError,
    and an AttributeError too, since the lookup is that of an attribute."""


class ZarnCompileError(Exception):
    """A failure raised by the semantics while it built one rule of a script.

    ``filename``, ``line`` and ``column`` (counted from 1) name where the rule
    stands in the script (for a statement: where the statement starts),
    ``rule`` the rule's name, ``text`` the line itself. The semantics' own
    exception is the ``__cause__``; its kind and message are part of the text.
    """

    def __init__(self, message, filename, line, column, rule, text=""):
        super().__init__(message)
        self.message = message
        self.filename = filename
        self.line = line
        self.column = column
        self.rule = rule
        self.text = text

    def __reduce__(self):
        return (
            type(self),
            (self.message, self.filename, self.line, self.column, self.rule, self.text),
        )

    def __str__(self):
        return (
            f"{self.filename}:{self.line}:{self.column}: {self.message}"
            f"{_pointer(self.text, self.column)}"
        )
