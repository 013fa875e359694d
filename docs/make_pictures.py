"""Draws the two pictures of docs/pictures.md from examples/pick_and_place.zarn.

    python docs/make_pictures.py [--only graph|timeline]

- docs/pick_and_place-graph.svg: what `zarn graph examples/pick_and_place.zarn
  -o FILE.svg` draws (it needs Graphviz's `dot`);
- docs/pick_and_place-timeline.svg: what `zarn run pick_and_place --estimate
  --timeline FILE.svg` draws: the script run on the simulated example machine
  on simulated time, every bar in machine seconds.
"""

import argparse
import sys
from pathlib import Path

from Zarn import cli
from Zarn.estimate import estimate
from Zarn.lang.compiling import compile_script
from Zarn.pictures import timeline_svg

DOCS = Path(__file__).resolve().parent
SCRIPT = DOCS.parent / "examples" / "pick_and_place.zarn"


def draw_graph(script, path):
    if cli.main(["graph", str(script), "-o", str(path)]) != 0:
        raise SystemExit(f"the graph of {script} could not be drawn")


def draw_timeline(script, path):
    report = estimate(compile_script(script))
    title = f"{script.name}, estimated on the simulated example machine"
    path.write_text(timeline_svg(report, title=title), encoding="utf-8")
    print(f"wrote the timeline of {script} to {path}: {report.reason}")
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DOCS, metavar="DIR")
    parser.add_argument(
        "--only", choices=("graph", "timeline"), help="draw this picture alone"
    )
    args = parser.parse_args(argv)
    if args.only != "timeline":
        draw_graph(SCRIPT, args.out / "pick_and_place-graph.svg")
    if args.only == "graph":
        return 0
    report = draw_timeline(SCRIPT, args.out / "pick_and_place-timeline.svg")
    return report.exit_code


if __name__ == "__main__":
    sys.exit(main())
