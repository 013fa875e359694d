"""How counts and lists of step numbers read wherever the package prints them:
the command line, the run's summary, the pictures."""


def counted(count, noun):
    """`count` with its noun: "1 action", "2 actions", "0 actions"."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def number_ranges(numbers, dash="-"):
    """Numbers as runs: "3, 5-7" for 3, 5, 6, 7 (in the order given, which
    is ascending wherever steps are listed)."""
    runs = []
    for number in numbers:
        if runs and number == runs[-1][1] + 1:
            runs[-1][1] = number
        else:
            runs.append([number, number])
    return ", ".join(
        str(first) if first == last else f"{first}{dash}{last}" for first, last in runs
    )


def steps_numbered(numbers, dash="-"):
    """ "step 4", or "steps 3, 5-7": the steps with these numbers."""
    numbers = list(numbers)
    word = "step" if len(numbers) == 1 else "steps"
    return f"{word} {number_ranges(numbers, dash)}"


def guarded_part_names(count, outer=""):
    """The names of a plan's `count` guarded parts: "1", "2", ..., or "1.1",
    "1.2" for those of the exception part of guarded part "1" (`outer`)."""
    return [f"{outer}.{n}" if outer else str(n) for n in range(1, count + 1)]


def part_name_of(exception):
    """How an exception part is called: by its block's name, or "its
    exception part" when it is written in place."""
    name = getattr(exception, "id", None)
    # Parts written in place get a name of the parser's own, with an "@".
    if isinstance(name, str) and name and "@" not in name:
        return f"'{name}'"
    return "its exception part"
