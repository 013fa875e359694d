"""Pictures of a script and of its run.

- `timeline_svg(report)`: a run as a standalone SVG picture: one lane per
  machine module, one bar per action from its start to its end, coloured by
  how it ended, so a user sees at a glance what ran in parallel and where the
  time went.
- `graph_dot(plan_or_block)`: the compiled action graph as Graphviz DOT text:
  the actions grouped by module, the groups' markers, what each step waits
  for, the guarded parts and the control constructs, with repeated rounds
  folded. `graph_svg(...)` lays it out with Graphviz's `dot`.

docs/pictures.md shows both and says how to read them.

Read bottom up: `text` (text as the pictures show it), `timeline`, `folding`
(what the graph draws of a plan), `graph`.
"""

from Zarn.errors import GraphvizError
from Zarn.pictures.graph import DOT_TIMEOUT, INSTALL_HINT, graph_dot, graph_svg, run_dot
from Zarn.pictures.timeline import OUTCOME_COLOURS, timeline_svg

__all__ = ["GraphvizError", "graph_dot", "graph_svg", "timeline_svg"]
