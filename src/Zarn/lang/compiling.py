"""Compiling ZARN scripts: `compile`, from script text or file to the block
declared as "main", with every mistake reported at its place in the script.

`Zarn.compile` reads a script with `Zarn.parse` and a `ScriptSemantics`, the
language's `ZarnSemantics` with the checks a user needs on top: an unknown
block name, a sequence that mixes machine modules, a wait for a label that
labels nothing the statement can wait for, and a missing "main" are all
`ZarnCompileError`s that name the place; and nothing is left that could never
run (the compiled chain's run plan is built before it is returned).
"""

import collections
import difflib
import os
import re
from dataclasses import dataclass
from pathlib import Path

from Zarn import blocks, compiler
from Zarn._zarnblock import ZarnBlock
from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import exception_parts
from Zarn.errors import PlanRefusal, ZarnCompileError
from Zarn.lang.constructs import (
    ConstructSemantics,
    Template,
    actions_of,
    chain_copy,
    is_group,
    link,
    needs_chain_copy,
    tail_of,
)
from Zarn.lang.control import control_table
from Zarn.lang.nodes import ParseNode
from Zarn.lang.parsing import collector_paused, parse, parse_body
from Zarn.lang.plan_checks import check_plan
from Zarn.machine_modules.loading import find_modules_file
from Zarn.machine_modules.registry import registry

__all__ = [
    "CompiledScript",
    "ScriptSemantics",
    "compile",
    "compile_script",
    "exception_parts",
    "read_script",
    "unresolved_waits",
]

DEFAULT_FILENAME = "<script>"

# --- where things stand in a script -----------------------------------------------


def _line_of(text, number):
    """Line `number` (from 1) of the script, as the parser counts lines: LF,
    CR LF and a lone CR end one; a leading byte order mark is not part of it."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8", "replace")
    text = text.removeprefix("\ufeff")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return lines[number - 1] if 0 < number <= len(lines) else ""


def _closest(name, known):
    found = difflib.get_close_matches(str(name), [str(k) for k in known], n=1)
    return f"; did you mean '{found[0]}'?" if found else ""


def _listed(names, most=12):
    names = sorted(str(name) for name in names)
    if not names:
        return "none"
    shown = ", ".join(names[:most])
    return shown + (f", ... ({len(names)} in all)" if len(names) > most else "")


def _user_names(zone):
    # The parser names the blocks it hoists "_keyword@L..C.."; users never
    # wrote those names, so messages leave them out.
    return [name for name in zone if not (isinstance(name, str) and "@" in name)]


def _module_name(action):
    module = getattr(action, "module", None)
    return getattr(module, "name", None)


def _chain(head):
    """The blocks of the chain that starts at `head`."""
    seen = set()
    while head is not None and id(head) not in seen:
        seen.add(id(head))
        yield head
        head = getattr(head, "next_block", None)


def _items(block):
    sequence = getattr(block, "action_seq", None)
    if isinstance(sequence, dict):  # a competing group once evaluated
        for actions in sequence.values():
            yield from actions
    elif sequence is not None:
        yield from sequence


def unresolved_waits(head, parts=None):
    """(action, ZarnId) for every wait name left in the actions of the chain
    that starts at `head`, its exception parts included, in script order.
    `parts`: the exception parts of `head`, when already found."""
    if parts is None:
        parts = exception_parts(head)
    return blocks.unresolved_waits(head, parts)


def _first_module(block):
    """The name of the module of a block's (or chain's) first action."""
    name = getattr(block, "module_name", None)
    if name is not None:
        return name
    for current in _chain(block):
        for item in _items(current):
            name = _module_name(item)
            if name is not None:
                return name
    return None


# --- the semantics of compiled scripts ----------------------------------------------

# A name as the lexer reads it: a letter or "_", then letters, digits and "_".
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class _LastUses:
    """When a declared block will never be looked up again, so that the
    compile need not keep it (its uses hold copies): every spelling of a
    name in the script is counted up front, counted down when the parser
    reads it, and counted off when it has been used by name (the statement
    that names the block, or its declaration). A name whose every spelling
    was read and used that way is done with. Any spelling not used that way
    (a label, a position, a construct's body, the body of a block with
    parameters, read again at every use; a name the count missed) keeps the
    name for good, so a name is never let go too early."""

    def __init__(self, text):
        if isinstance(text, (bytes, bytearray)):
            text = bytes(text).decode("utf-8", "replace")
        # Comments and quoted text may hold more spellings: counted too,
        # they only keep a name longer.
        self.unread = collections.Counter(_NAME.findall(text))
        self.unused = collections.Counter()

    def read(self, name):
        self.unread[name] -= 1
        self.unused[name] += 1

    def used(self, name):
        """Counts off a use by name; whether the name is done with."""
        self.unused[name] -= 1
        if self.unread[name] or self.unused[name]:
            return False
        del self.unread[name], self.unused[name]
        return True


def _as_list(value):
    if value is None:
        return []
    return value if type(value) is list else [value]


def _plain_statement(items, position=None):
    """A statement node of these items alone: no label, no wait, nothing after."""
    return ParseNode(
        "block", position, primary=list(items) if len(items) > 1 else items[0]
    )


class ScriptSemantics(ConstructSemantics, compiler.ZarnSemantics):
    """The semantics `Zarn.compile` parses with: `ZarnSemantics` with the
    checks of a compiled script.

    - A statement naming a block that is not declared above it is refused
      (the language's own rule would drop the name with a warning).
    - A statement mixing machine modules, within itself or with the
      statement after it, is refused with the modules named.
    - A declared plain block whose waits name labels it cannot see is
      refused where the wait stands (used by name, it could never be
      copied).
    - `repeat N` of a competing group repeats the group N times.
    - The start rule says which blocks there are when "main" is missing,
      and prints the declaration map only when `quiet` is false.
    - A statement naming a declared group hands the rest of its sequence
      to the group's copy as it is; the plain rule copies it first, which
      a long sequence of groups would pay for once per group.

    `filename` and `text` are the script's, for the errors' places. A name
    is shown where the parser read it (`ZarnId.source`); `positions`, a map
    `Zarn.parse` fills (`positions=`), or None, serves for other values.
    """

    def __init__(self, filename, text, positions, *, registry=None, quiet=True):
        super().__init__(registry=registry)
        self.filename = filename
        self.text = text
        self.positions = positions
        self.quiet = quiet
        self.declared_at = {}
        self._init_constructs()
        # Blocks let go once no statement can name them again; the printed
        # declaration map shows every block, so it keeps them all.
        self.last_uses = _LastUses(text) if quiet else None
        self.forgotten = []
        self.replaying = 0  # bodies of blocks with parameters being compiled

    def declared_names(self):
        """The names of the blocks declared so far, for messages."""
        return _user_names([*self.global_zone, *self.forgotten])

    def identifier(self, ast):
        if self.last_uses is not None and not self.replaying:
            self.last_uses.read(ast)
        return super().identifier(ast)

    def used_by_name(self, names):
        """Counts off uses of declared blocks by name; lets go of those that
        no statement can name again ("main" is the compile's result)."""
        if self.last_uses is None or self.replaying:
            return
        for name in names:
            done = self.last_uses.used(name) and name != "main"
            if done and self.global_zone.pop(name, None) is not None:
                self.forgotten.append(name)

    # -- errors ------------------------------------------------------------

    def error(self, message, position, rule):
        line, column = (position or (1, 1))[:2]
        return ZarnCompileError(
            message,
            self.filename,
            line,
            column,
            rule,
            _line_of(self.text, line),
        )

    def position_of(self, value, fallback=None):
        if isinstance(value, ZarnId) and value.source is not None:
            return value.source
        if self.positions is None:
            return fallback
        return self.positions.get(id(value), fallback)

    def refuse_waits(self, head, rule, fallback, parts=None):
        for action, name in unresolved_waits(head, parts):
            raise self.error(
                f"'{name.id}' labels no statement that {action!r} can wait for: "
                "a statement waits for a labelled statement before it in its own "
                "sequence, or in another branch of its parallel group (a sequence "
                "used by name does not see the labels around it, nor they its own; "
                "a group used by name sees those of the sequence it stands in)",
                self.position_of(name, fallback),
                rule,
            )

    # -- rules -----------------------------------------------------------------

    def block(self, ast):
        primary = ast.get("primary")
        items = primary if type(primary) is list else [primary]
        names = [item.id for item in items if isinstance(item, ZarnId)]
        made = self.statement(ast, items)
        self.used_by_name(names)
        return made

    def statement(self, ast, items):
        zone = self.global_zone
        group = None
        chained = False
        for item in items:
            if not isinstance(item, ZarnId):
                continue
            declared = zone.get(item.id)
            if declared is None:
                raise self.error(
                    f"there is no block named '{item.id}' above this statement "
                    f"(declared: {_listed(self.declared_names())}); a block is "
                    "declared with 'block NAME { ... }' before it is used"
                    f"{_closest(item.id, self.declared_names())}",
                    self.position_of(item, ast.position),
                    "block",
                )
            if declared.isAsync or declared.isCompete:
                group = declared
            chained = chained or needs_chain_copy(declared)
        # A block with parameters, used, is a chain of its own already.
        chained = chained or any(isinstance(item, ZarnBlock) for item in items)
        rest = ast.get("others")
        if chained:
            return self.statement_chain(ast, items, rest)
        if group is not None and len(items) == 1 and rest is not None:
            # A statement naming a group hands the rest of its sequence to
            # the group's copy as it is.
            ast.pop("others")
            return link([super().block(ast), rest])
        if self.mixes(items, rest):
            return self.statement_chain(ast, items, rest)
        return super().block(ast)

    def asyncblock(self, ast):
        # A branch that runs several modules in turn (a mixed sequence, a
        # construct whose checks are another module's) is a lane of its own:
        # its blocks run one after another, beside the other branches.
        for key in ("asyncleft", "asyncright"):
            for branch in _as_list(ast.get(key)):
                if isinstance(branch, ZarnBlock) and self.runs_in_turn(branch):
                    branch.lane = True
        return super().asyncblock(ast)

    @staticmethod
    def runs_in_turn(head):
        if getattr(head, "structured", False):
            return True
        names = {_module_name(action) for action in actions_of(head)} - {None}
        return len(names) > 1

    def mixes(self, items, rest):
        """Whether a statement's items, or the statement and the statements
        after it, are not all for one module: the sequence then runs them in
        turn, as a chain of one block per module. (The chain after it knows
        whether it is of one module: asking costs no walk along it.)"""
        names = {self.module_of(item) for item in items} - {None}
        if len(names) > 1:
            return True
        if rest is None or not names:
            return False
        if is_group(rest) or getattr(rest, "structured", False):
            return True
        if _first_module(rest) not in names:
            return True
        return not rest.is_module_consistent()

    def module_of(self, item):
        if isinstance(item, ZarnId):
            declared = self.global_zone.get(item.id)
            return None if declared is None else _first_module(declared)
        return _module_name(item)

    def statement_chain(self, ast, items, rest):
        """A statement whose items run several modules in turn, or that names
        a chain of several modules: one block per run of one module's items,
        chained; the wait clause goes to the first action, the label to the
        last block, and the statements after it follow."""
        pieces, run = [], []

        def flush():
            if run:
                pieces.append(
                    super(ScriptSemantics, self).block(
                        _plain_statement(run, ast.position)
                    )
                )
                run.clear()

        for item in items:
            if isinstance(item, ZarnBlock):
                flush()
                pieces.append(item)
                continue
            declared = (
                self.global_zone.get(item.id) if isinstance(item, ZarnId) else None
            )
            if declared is not None and (
                needs_chain_copy(declared) or is_group(declared)
            ):
                flush()
                pieces.append(chain_copy(declared))
                continue
            if run and self.module_of(item) != self.module_of(run[-1]):
                flush()
            run.append(item)
        flush()
        head = link(pieces)
        waits = [
            name
            for key in ("dependency", "dependLeft", "dependRight")
            for name in _as_list(ast.get(key))
        ]
        if waits:
            first = actions_of(head)[0]
            first.add_dependencies(waits)
        label = ast.get("ident")
        if label is not None:
            tail_of(head).id = label.id
        return self.structured(link([head, rest]))

    def declaration(self, ast):
        params = ast.get("params")
        if params is not None:
            return self.declare_template(ast, params)
        declared = super().declaration(ast)
        name = ast.get("ident")
        self.declared_at[name.id] = ast.position
        if not (declared.isAsync or declared.isCompete):
            # A group's waits may still name labels of the sequence it
            # is used in; whatever stays unresolved is refused at the end.
            self.refuse_waits(declared, "declaration", ast.position)
        self.used_by_name([name.id])
        # The script's list of declarations, which the parser holds to the
        # end, would keep every declared block alive; the start rule finds
        # "main" among the declarations instead.
        return None

    def declare_template(self, ast, params):
        """A block with parameters: its body is compiled at every use."""
        name = ast.get("ident").id
        params = [param.id for param in (params if type(params) is list else [params])]
        self.templates[name] = Template(
            name,
            params,
            int(ast.get("bodystart")),
            int(ast.get("bodyend")),
            int(ast.get("bodyline")),
            int(ast.get("bodycolumn")),
            ast.position,
        )
        self.declared_at[name] = ast.position

    def parse_template(self, template):
        template.uses += 1
        # The body's names were never counted: it is read again at every use.
        self.replaying += 1
        try:
            return parse_body(
                self.text,
                self,
                self.filename,
                self.positions,
                template.start,
                template.line,
                template.column,
            )
        finally:
            self.replaying -= 1

    def loop(self, ast):
        repeated = ast.get("iterateBlock")
        if repeated is not None and repeated.isCompete and not repeated.isAsync:
            count = self.number(ast.get("cnt"))
            if count < 1:
                raise ValueError(f"a loop count must be at least 1, not {count}")
            copies = [repeated.compete_copy() for _ in range(count - 1)]
            repeated.compete_concat(copies)
            return repeated
        if repeated is not None and not repeated.isAsync:
            self.refuse_waits(repeated, "loop", ast.position)
        return super().loop(ast)

    def action(self, ast):
        if self.global_zone.get("main") is None:
            raise self.error(
                "the script declares no block named 'main', the job it runs "
                f"(declared: {_listed(self.declared_names())}); declare it "
                "with 'block main { ... }'",
                ast.position if ast is not None else None,
                "action",
            )
        if not self.quiet:
            return super().action(ast)
        return self.global_zone["main"]


# --- the entry point ------------------------------------------------------------------


def read_script(source, filename=None):
    """(text, filename, path) of a script given as text or as a file.

    `source` is a path (`os.PathLike`, or a `str` holding neither a '{' nor a
    line break: every script has a '{'), script text (`str`), or UTF-8 bytes.
    `path` is the file's, or None for text.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), filename or DEFAULT_FILENAME, None
    if isinstance(source, str) and ("{" in source or "\n" in source or "\r" in source):
        return source, filename or DEFAULT_FILENAME, None
    try:
        path = Path(os.fspath(source))
    except TypeError:
        raise TypeError(
            "a script is text (str), UTF-8 bytes or the path of a script file, not "
            f"{type(source).__name__}"
        ) from None
    if path.is_dir():
        raise IsADirectoryError(f"{path} is a folder, not a script file")
    if not path.is_file():
        raise FileNotFoundError(f"no script file at {path}")
    return path.read_bytes(), filename or str(path), path


def _registry_for(modules, path):
    if modules is None and path is not None:
        modules = find_modules_file(path)
    if modules is None:
        return compiler.module_registry
    return registry(modules)


def _handler_shown(handler):
    name = getattr(handler, "id", None)
    if isinstance(name, str) and name and "@" not in name:
        return f"the exception part '{name}'"
    return "an exception part (the part after 'except')"


@dataclass(frozen=True)
class CompiledScript:
    """A compiled script: its `main` block, main's run plan (`plan`) and the
    run plans of its exception parts (`part_plans`, by the part's `id()`),
    each built once, when the script compiled, and handed along to whatever
    checks, draws or runs it."""

    main: object
    plan: object
    part_plans: dict
    filename: str
    # {id(plan): ControlTable} of the plans that hold control constructs.
    controls: dict = None
    # The plan of the script's stop handler (`on stop { ... }`), or None.
    stop_plan: object = None

    def plan_of(self, part):
        """The run plan of an exception part of this script."""
        plan = self.part_plans.get(id(part))
        return plan if plan is not None else part.run_plan()


def compile(source, modules=None, filename=None, *, quiet=True):
    """Compiles a ZARN script and returns its "main" block, ready to run
    (`compile_script` gives its run plans too).

    `source` is the script: its text, UTF-8 bytes, or the path of a script
    file (see `read_script`). `filename` is the name errors show (default:
    the path, or "<script>" for text).

    Machine modules, the names after "@": `modules` is a module object, the
    path of a `modules.py`, or a folder holding one, loaded afresh for this
    compile (with fresh tray cursors), so scripts for different machines
    compile in one process. Without it, a `modules.py` beside the script file
    is used when there is one; otherwise the registry built when
    `Zarn.compiler` was imported (with the top-level module `modules`, when
    Python can import one).

    Each compile uses a fresh `ScriptSemantics`. The start rule's printed
    declaration map is left out unless `quiet` is false.

    Raises `Zarn.ZarnSyntaxError` for a script that does not follow the
    grammar and `Zarn.ZarnCompileError` for one that cannot be compiled,
    both with file, line and column; `FileNotFoundError` for a missing
    script; `Zarn._zarnmodule.ModulesFileError` for a modules file that
    cannot be loaded.
    """
    return compile_script(source, modules, filename, quiet=quiet).main


def compile_script(source, modules=None, filename=None, *, quiet=True):
    """Compiles a ZARN script as `compile` does and returns a
    `CompiledScript`: main with its run plan and its exception parts'."""
    text, filename, path = read_script(source, filename)
    names = _registry_for(modules, path)
    # No map of places: each name keeps its own, and a map would keep every
    # name of the script alive until the end of the compile.
    semantics = ScriptSemantics(filename, text, None, registry=names, quiet=quiet)
    # Like the parse, the checks make many objects that all stay alive.
    with collector_paused():
        main = parse(text, semantics, filename)
        plan, part_plans, controls, stop_plan = _check_compiled(main, semantics)
    return CompiledScript(main, plan, part_plans, filename, controls, stop_plan)


def _check_compiled(main, semantics):
    """Refuses waits left unresolved, a run (of main or of an exception
    part) that could never finish, and a plan that breaks a safety rule
    (Zarn.lang.plan_checks); returns main's plan and {id(part): plan} of
    the exception parts."""
    at = semantics.declared_at.get("main")
    handlers = exception_parts(main)
    semantics.refuse_waits(main, "action", at, handlers)
    plans = []
    for part, what in [(main, "the block 'main'")] + [
        (handler, _handler_shown(handler)) for handler in handlers
    ]:
        try:
            plans.append(part.run_plan())
        except ValueError as failure:
            raise semantics.error(
                f"{what} could never run to its end: {failure}", at, "action"
            ) from failure
    part_plans = {id(handler): plan for handler, plan in zip(handlers, plans[1:])}
    stop_plan = None
    if semantics.stop_handler is not None:
        try:
            stop_plan = semantics.stop_handler.run_plan()
        except ValueError as failure:
            raise semantics.error(
                f"the stop handler could never run to its end: {failure}",
                semantics.stop_handler_at,
                "onstop",
            ) from failure
        plans.append(stop_plan)
    controls = {}
    for plan in plans:
        control = control_table(plan)
        if control is not None:
            controls[id(plan)] = control
        try:
            check_plan(plan, part_plans, control)
        except PlanRefusal as refusal:
            source = getattr(refusal.action, "source", None)
            raise semantics.error(str(refusal), source or at, "action") from None
    return plans[0], part_plans, controls, stop_plan
