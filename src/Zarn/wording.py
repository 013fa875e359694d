"""How counts read wherever the package prints them: the command line, the
run's summary, the pictures."""


def counted(count, noun):
    """`count` with its noun: "1 action", "2 actions", "0 actions"."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"
