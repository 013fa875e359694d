"""Parse time of generated ZARN scripts of 1,000, 10,000 and 20,000 statements.

The scripts mix sequences, named blocks, wait clauses (within a branch and
across the branches of a parallel group), loops and parallel groups. Each is
parsed with two trivial semantics objects: one without methods (every rule
keeps its node) and one whose every rule method hands its argument back (so
that every rule costs a call). Prints the median time of several runs and the
ratio of 20,000 to 10,000 statements, which stays near 2 when the cost is
linear in the script's size.

    python3 bench/bench_parse.py [--runs R]   (default 7)
"""

import argparse
import statistics
import time

from comparisons import doubled, main

import Zarn
from Zarn.lang.nodes import RULES


class Echo:
    """Every rule method returns what it was given."""


for _rule in RULES:
    setattr(Echo, _rule, lambda self, ast: ast)


# One chunk: ten statements in a named block, a parallel group of two
# branches that wait for each other (one holding a loop), and main's use of
# the group.
CHUNK = """\
block approach_{k} {{
    @x move above_{k}
    @x move down_{k}
}}
block cycle_{k} parallel {{
    x{k}: approach_{k}
    @x move up after y{k}
    repeat 2 {{ @x move shake }}
}} and {{
    y{k}: @y move q{k}
    @y set clamp on
    @y.sync("cycle {k}", {k}, off) after x{k}
    @y pick from tray_{k}[3]
}}
"""
STATEMENTS_PER_CHUNK = 10


def script(statements, chunk=CHUNK):
    """`statements` // 10 chunks (each of ten statements, numbered k), then
    main's use of every chunk's group."""
    chunks = statements // STATEMENTS_PER_CHUNK
    parts = [chunk.format(k=k) for k in range(chunks)]
    parts.append("block main {\n")
    parts.extend(f"    cycle_{k}\n" for k in range(chunks))
    parts.append("}\n")
    return "".join(parts)


def time_parse(text, semantics):
    started = time.perf_counter()
    result = Zarn.parse(text, semantics)
    elapsed = time.perf_counter() - started
    del result
    return elapsed


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    return parser


def measure(args):
    sizes = (1_000, 10_000, 20_000)
    texts = {size: script(size) for size in sizes}
    rows = []
    for name, semantics in (("no methods", object()), ("echo methods", Echo())):
        # The sizes take turns within each run, so that a busy spell of the
        # machine slows all of them rather than one.
        times = {size: [] for size in sizes}
        for _ in range(args.runs):
            for size in sizes:
                times[size].append(time_parse(texts[size], semantics))
        figures = {size: statistics.median(times[size]) for size in sizes}
        for size in sizes:
            print(
                f"{name:<13} {size:>6} statements ({len(texts[size]) / 1024:6.0f} KiB): "
                f"{figures[size] * 1000:8.1f} ms"
            )
        rows.append(doubled(f"parse, {name}", 10_000, figures[20_000], figures[10_000]))
    return rows


if __name__ == "__main__":
    main(command_line(), measure)
