"""`zarn graph SCRIPT`: draw a script's compiled action graph."""

import sys
from pathlib import Path

from Zarn.cli.common import compile_script, fail, find_script

# What `zarn graph` writes, by the output file's suffix.
GRAPH_FORMATS = {".svg": "svg", ".dot": "dot", ".gv": "dot"}


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
    graph = commands.add_parser(
        "graph",
        help="draw a script's compiled action graph (SVG, laid out by Graphviz, "
        "or DOT text)",
        description="Compiles a script and draws its action graph: the actions "
        "grouped by machine module, and what each waits for.",
    )
    graph.add_argument(
        "script",
        help="the script file (.zarn), or the bare name of an example installed "
        "with the package (pick_and_place)",
    )
    graph.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="FILE.svg for the picture (needs Graphviz's dot), FILE.dot for the "
        "DOT text (default: the DOT text on standard output)",
    )
    graph.add_argument(
        "--modules",
        metavar="FILE",
        help="the machine modules file (default: the modules.py beside the script)",
    )
    graph.set_defaults(handler=command)


def command(args):
    # Loaded when a graph is drawn: the pictures bring the run engine along.
    from Zarn import pictures

    output = Path(args.output) if args.output is not None else None
    kind = "dot" if output is None else GRAPH_FORMATS.get(output.suffix.lower())
    if kind is None:
        fail(
            f"cannot tell what to write to {output}: name a .svg file for the "
            "picture or a .dot file for the DOT text"
        )
        return 2
    script = find_script(args.script)
    compiled = compile_script(script, args.modules)
    if compiled is None:
        return 1
    plan = compiled.plan
    title = script.name
    try:
        if kind == "svg":
            text = pictures.graph_svg(plan, title=title, plan_of=compiled.plan_of)
        else:
            text = pictures.graph_dot(plan, title=title, plan_of=compiled.plan_of)
    except pictures.GraphvizError as error:
        fail(f"{error}; or write the DOT text with -o {output.with_suffix('.dot')}")
        return 1
    if output is None:
        sys.stdout.write(text)
        return 0
    try:
        output.write_text(text, encoding="utf-8")
    except OSError as error:
        fail(f"cannot write {output}: {error}")
        return 1
    print(f"wrote the action graph of 'main' in {script} to {output}")
    return 0
