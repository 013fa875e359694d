"""Text as the pictures show it: escaped for XML, on one line, cut short,
and durations in words."""

import re

# --- text -------------------------------------------------------------------------

# What XML 1.0 cannot carry at all, even escaped: control characters other
# than tab and line ends, lone surrogates, and the two non-characters.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
_CONTROL = re.compile("[\x00-\x1f\x7f\ud800-\udfff\ufffe\uffff]")


def _xml(text):
    """`text` as XML character data or attribute value."""
    text = _NOT_XML.sub("\ufffd", str(text))
    return (
        text.replace("&", "&amp;")
        .replace("<", "&lt;")
        .replace(">", "&gt;")
        .replace('"', "&quot;")
    )


def _one_line(text):
    return _CONTROL.sub(" ", str(text)).strip()


def _cut(text, most):
    """`text` in at most `most` characters; a shortened text ends in an
    ellipsis."""
    return text if len(text) <= most else text[: most - 1].rstrip() + "\u2026"


def _duration_text(seconds):
    if seconds is None:
        return "-"
    if seconds < 0.01:
        return f"{seconds * 1000:.1f} ms"
    if seconds < 1:
        return f"{seconds * 1000:.0f} ms"
    if seconds < 100:
        return f"{seconds:.2f} s"
    return f"{seconds:.0f} s"
