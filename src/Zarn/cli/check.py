"""`zarn check SCRIPT`: compile a script and show its steps."""

from Zarn.cli.common import compile_script, find_script


def add_to(commands):
    """Adds the verb and its options to the command line's verbs."""
    check = commands.add_parser(
        "check",
        help="compile a script and show its actions, each with what it waits for",
    )
    check.add_argument("script", help="the script file (.zarn)")
    check.add_argument(
        "--modules",
        metavar="FILE",
        help="the machine modules file (default: the modules.py beside the script)",
    )
    check.set_defaults(handler=command)


def _marker_text(step):
    """(module, operation, text) of a group's marker step."""
    action = step.action
    competition = action.competition
    if competition is None:
        if step.kind == "start":
            return "-", "begin", "a parallel group begins: its branches start together"
        return "-", "end", "the parallel group ends: every branch has finished"
    module = f"@{competition.module_name}"
    if step.kind == "start":
        return module, "begin", f"a competing group for {module} begins"
    if step.kind == "join":
        return module, "end", f"the competing group for {module} ends: every branch ran"
    number = action.branch + 1
    if step.kind == "turn":
        priority = competition.priorities[action.branch]
        level = (
            getattr(priority, "name", "NORMAL") if priority is not None else "NORMAL"
        )
        return (
            module,
            "turn",
            f"branch {number} ({level}) waits for its turn on {module}",
        )
    return module, "release", f"branch {number} hands {module} on"


def plan_lines(plan):
    """The lines `zarn check` prints for a run plan: one per step, with its
    module, its operation, the steps it waits for (numbered from 1) and what
    it does; then the guarded parts."""
    rows = []
    for step in plan.steps:
        action = step.action
        if step.kind != "action":
            module, operation, text = _marker_text(step)
        else:
            name = getattr(getattr(action, "module", None), "name", None)
            module = "-" if name is None else f"@{name}"
            operation = str(getattr(action, "operation", type(action).__name__))
            describe = getattr(action, "describe", None)
            text = describe() if callable(describe) else repr(action)
        if step.guard is not None:
            text += f"  [guarded part {step.guard + 1}]"
        waits = ", ".join(str(index + 1) for index in step.waits) or "-"
        rows.append((str(step.index + 1), module, operation, waits, text))
    header = ("step", "module", "operation", "waits for", "action")
    widths = [max(len(row[k]) for row in [header, *rows]) for k in range(4)]
    lines = []
    for row in [header, *rows]:
        cells = [row[0].rjust(widths[0])]
        cells += [row[k].ljust(widths[k]) for k in (1, 2, 3)]
        lines.append("  ".join(cells + [row[4]]).rstrip())
    for number, part in enumerate(plan.guards, 1):
        steps = ", ".join(str(index + 1) for index in part.steps)
        lines.append(
            f"guarded part {number}: steps {steps}; when one fails: {part.exception!r}"
        )
    return lines


def command(args):
    script = find_script(args.script)
    compiled = compile_script(script, args.modules)
    if compiled is None:
        return 1
    plan = compiled.plan
    actions = sum(1 for step in plan.steps if step.kind == "action")
    print(
        f"{script}: 'main' compiles to {actions} actions "
        f"({len(plan.steps)} steps with the groups' markers)"
    )
    for line in plan_lines(plan):
        print(line)
    return 0
