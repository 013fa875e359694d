"""`zarn check SCRIPT`: compile a script and show its steps."""

from Zarn.cli.common import compile_script, find_script
from Zarn.wording import counted, guarded_part_names, part_name_of, steps_numbered


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


def _step_rows(plan, first, guard_names):
    """(number, module, operation, waits, text) of each step of a plan whose
    first step has the number `first`."""
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
            text += f"  [guarded part {guard_names[step.guard]}]"
        waits = ", ".join(str(index + first) for index in step.waits) or "-"
        rows.append((str(step.index + first), module, operation, waits, text))
    return rows


def _part_sections(plan, first, outer_name, numbers, listed):
    """For each guarded part of a plan: the line that says what runs when it
    fails, then the rows of its exception part when they are not listed
    yet; the parts of that part follow it."""
    sections = []
    for guard, name in zip(
        plan.guards, guarded_part_names(len(plan.guards), outer_name)
    ):
        steps = steps_numbered(index + first for index in guard.steps)
        part = guard.exception
        heading = f"guarded part {name} ({steps}): when one of its steps fails, "
        found = numbers.get(id(part)) if part is not None else None
        if part is None:
            sections.append((heading + "the part ends", []))
            continue
        if found is None:
            sections.append(
                (heading + f"{part_name_of(part)} runs, which cannot be listed", [])
            )
            continue
        part_plan, part_first = found
        shown = steps_numbered(range(part_first, part_first + len(part_plan.steps)))
        then = "then the script goes on after the part"
        if id(part) in listed:
            sections.append(
                (heading + f"{part_name_of(part)} runs ({shown}, above); {then}", [])
            )
            continue
        listed.add(id(part))
        names = guarded_part_names(len(part_plan.guards), name)
        sections.append(
            (
                heading + f"{part_name_of(part)} runs ({shown}); {then}",
                _step_rows(part_plan, part_first, names),
            )
        )
        sections += _part_sections(part_plan, part_first, name, numbers, listed)
    return sections


def plan_lines(plan, plan_of=None):
    """The lines `zarn check` prints for a run plan: one per step, with its
    number, its module, its operation, the steps it waits for and what it
    does; then each guarded part with what runs when it fails, and the steps
    of its exception part, numbered on from main's. `plan_of(part)` gives
    an exception part's run plan (default: the part's `run_plan()`)."""
    from Zarn.lang.control import exception_part_numbers

    if plan_of is None:
        plan_of = _built_plan
    numbers = exception_part_numbers(plan, plan_of)
    sections = [(None, _step_rows(plan, 1, guarded_part_names(len(plan.guards))))]
    sections += _part_sections(plan, 1, "", numbers, set())
    header = ("step", "module", "operation", "waits for", "action")
    every_row = [header, *(row for _, rows in sections for row in rows)]
    widths = [max(len(row[k]) for row in every_row) for k in range(4)]

    def line(row):
        cells = [row[0].rjust(widths[0])]
        cells += [row[k].ljust(widths[k]) for k in (1, 2, 3)]
        return "  ".join(cells + [row[4]]).rstrip()

    lines = [line(header)]
    for heading, rows in sections:
        if heading is not None:
            lines.append(heading)
        lines.extend(line(row) for row in rows)
    return lines


def _built_plan(part):
    return part.run_plan()


def command(args):
    from Zarn.lang.control import script_actions
    from Zarn.machine_modules.control import Mark

    script = find_script(args.script)
    compiled = compile_script(script, args.modules)
    if compiled is None:
        return 1
    plan = compiled.plan
    with_marks = any(isinstance(step.action, Mark) for step in plan.steps)
    markers = "the groups' markers" + (
        " and the constructs' marks" if with_marks else ""
    )
    print(
        f"{script}: 'main' compiles to {counted(script_actions(plan), 'action')} "
        f"({counted(len(plan.steps), 'step')} with {markers})"
    )
    for line in plan_lines(plan, compiled.plan_of):
        print(line)
    return 0
