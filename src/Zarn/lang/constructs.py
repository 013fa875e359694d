"""How the compile path lowers the language's constructs above the
semantics of statements and blocks (`ZarnSemantics`, which stays as it is):
mixed sequences, conditions, bounded loops, retries, time limits, waits
without a limit, move offsets, fractions, blocks with parameters and the
stop handler. Each becomes a chain of the blocks every script is made of,
with `Decide` and `Mark` steps around the bodies (Zarn.machine_modules.
control); `Zarn.lang.control` finds the parts between them in the plan.

`ConstructSemantics` is a mixin of `ScriptSemantics`: its methods are the
rules of the new constructs, called by the parser like every rule.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from Zarn._zarnprimitives import ZarnId
from Zarn.blocks import StandardBlock
from Zarn.errors import ZarnCompileError
from Zarn.machine_modules.axis import Axis
from Zarn.machine_modules.control import CHECK, IF, LOOP, ROUND, Decide, Mark
from Zarn.machine_modules.handler import Transfer
from Zarn.machine_modules.io_module import IOModule
from Zarn.machine_modules.tray import Tray
from Zarn.machine_modules.values import commanded_by

# How long a wait of the stop handler may take when it names no limit.
STOP_HANDLER_WAIT = 10.0


# --- chains -------------------------------------------------------------------------


def chain_of(head):
    """The blocks of the chain from `head`."""
    blocks = []
    while head is not None:
        blocks.append(head)
        head = head.next_block
    return blocks


def tail_of(head):
    return chain_of(head)[-1]


def actions_of(head):
    """The actions of a chain in order, groups' markers and branches included."""
    found = []
    for block in chain_of(head):
        sequence = block.action_seq
        if isinstance(sequence, dict):
            for actions in sequence.values():
                found.extend(actions)
        else:
            found.extend(item for item in sequence if not isinstance(item, ZarnId))
    return found


def is_group(block):
    return bool(block.isAsync or block.isCompete)


def needs_chain_copy(head):
    """Whether a declared chain must be used as a chain (its blocks kept):
    it runs several modules in turn, holds groups after its start, or holds
    the steps of a construct. A chain of one module's plain statements is
    used as today, by a flat copy of its actions."""
    if head is None or is_group(head):
        return False
    blocks = chain_of(head)
    names = set()
    for block in blocks:
        if is_group(block):
            return True
        for item in block.action_seq:
            if isinstance(item, (Decide, Mark)):
                return True
            module = getattr(item, "module", None)
            names.add(getattr(module, "name", None))
    return len(names - {None}) > 1


def chain_copy(head):
    """A copy of a chain with its blocks, groups and parts; its blocks lose
    their labels, which are not seen outside the block they were written in."""
    copied = head.async_copy()
    for block in chain_of(copied):
        if not is_group(block):
            block.id = None
    return copied


def link(pieces):
    """Links chains one after the other; the first one's head."""
    pieces = [piece for piece in pieces if piece is not None]
    for before, after in zip(pieces, pieces[1:]):
        tail_of(before).next_block = after
    return pieces[0] if pieces else None


def one_block(*actions):
    block = StandardBlock()
    block.add(list(actions))
    return block


# --- conditions ------------------------------------------------------------------------


@dataclass
class Condition:
    """A condition as written: an input (`module` an IOModule, `pin` its
    name, `value` 1/0) or a tray (`module` a Tray, `which` "empty" or
    "full"), maybe negated; `position` where it stands."""

    module: object
    pin: str | None = None
    value: int = 1
    which: str | None = None
    negate: bool = False
    position: tuple | None = None
    shown: str = ""

    def decide(self, role, **more):
        """A Decide step of this condition."""
        if self.which is not None:
            return Decide(
                self.module, role=role, which=self.which, negate=self.negate, **more
            )
        return Decide(
            self.module,
            role=role,
            device=self.module.device,
            pin=self.module.inputs[self.pin],
            value=self.value,
            pin_name=self.pin,
            negate=self.negate,
            **more,
        )


@dataclass
class Template:
    """A block with parameters: where its body stands, to be compiled anew
    at every use with the parameters bound."""

    name: str
    params: list
    start: int
    end: int
    line: int
    column: int
    position: tuple = None
    uses: int = field(default=0)


class ConstructSemantics:
    """The rules of the constructs above statements and blocks; mixed into
    ScriptSemantics, which gives `error`, `position_of`, the registry, the
    declarations and the script's text."""

    def _init_constructs(self):
        self.templates = {}
        self.bindings = []  # the parameter bindings of the bodies being compiled
        self.stop_handler = None
        self.stop_handler_at = None

    # --- values

    def real(self, ast):
        return float(ast)

    def identifier(self, ast):
        for bound in reversed(self.bindings):
            if ast in bound:
                return bound[ast]
        return super().identifier(ast)

    # --- statements

    def waituntil(self, ast):
        module = ast.get("mod")
        pin = (
            ast.get("ident").id
            if isinstance(ast.get("ident"), ZarnId)
            else ast.get("ident")
        )
        if not isinstance(module, IOModule):
            raise self.error(
                f"'wait until' waits for an input of an IO module, and @{module.name} is "
                f"a {type(module).__name__}",
                ast.position,
                "waituntil",
            )
        within = ast.get("within")
        return module.wait_until(
            pin, ast.get("status"), None if within is None else float(within)
        )

    def moveoffset(self, ast):
        module = ast.get("mod")
        name = ast.get("ident").id
        if not isinstance(module, Axis):
            raise self.error(
                f"an offset is added to a named position of an axis, and @{module.name} "
                f"is a {type(module).__name__}",
                ast.position,
                "moveoffset",
            )
        return module.move_offset(name, float(ast.get("offset")))

    def condition(self, ast):
        negate = ast.get("negate") is not None
        if ast.get("tray") is not None:
            name = ast.get("tray")
            name = name.id if isinstance(name, ZarnId) else name
            tray = self.registry_lookup(name, ast.position)
            if not isinstance(tray, Tray):
                raise self.error(
                    f"'{name} {ast.get('which')}' needs a tray, and '{name}' is not one",
                    ast.position,
                    "condition",
                )
            which = str(ast.get("which"))
            shown = f"{'not ' if negate else ''}{name} {which}"
            return Condition(
                tray, which=which, negate=negate, position=ast.position, shown=shown
            )
        module = ast.get("mod")
        pin = ast.get("ident").id
        if not isinstance(module, IOModule) or pin not in module.inputs:
            what = (
                f"@{module.name} has no input '{pin}' (its inputs: "
                f"{', '.join(sorted(module.inputs)) or 'none'})"
                if isinstance(module, IOModule)
                else f"@{module.name} is a {type(module).__name__}, not an IO module"
            )
            raise self.error(
                f"a condition reads an input: {what}", ast.position, "condition"
            )
        value = 1 if str(ast.get("status")) in ("1", "1.0") else 0
        shown = (
            f"{'not ' if negate else ''}@{module.name} {pin} {'on' if value else 'off'}"
        )
        return Condition(
            module,
            pin=pin,
            value=value,
            negate=negate,
            position=ast.position,
            shown=shown,
        )

    # --- constructs

    def body_of(self, value, position):
        """A construct's body as a chain of its own, to be linked into the
        construct's chain: a copy of the declared block a name stands for,
        or of the chain given (which stays as it is, so that a loop or a
        retry can copy it once per round)."""
        if isinstance(value, ZarnId):
            declared = self.global_zone.get(value.id)
            if declared is None:
                raise self.error(
                    f"there is no block named '{value.id}'", position, "block"
                )
            return chain_copy(declared)
        return chain_copy(value)

    def ifblock(self, ast):
        condition = ast.get("condition")
        decide = condition.decide(IF)
        decide.source = ast.position
        module = condition.module
        then = self.body_of(ast.get("primary"), ast.position)
        pieces = [one_block(decide), then]
        otherwise = ast.get("otherwise")
        if otherwise is not None:
            pieces += [
                one_block(Mark(module, role="else")),
                self.body_of(otherwise, ast.position),
            ]
        pieces.append(one_block(Mark(module, role="endif")))
        return self.structured(link(pieces))

    def loopcond(self, ast):
        condition = ast.get("condition")
        until = str(ast.get("kind")) == "until"
        body = ast.get("iterateBlock")
        count = ast.get("cnt")
        if count is not None:
            rounds = self.number(count)
            if rounds < 1:
                raise self.error(
                    f"a loop's 'max' is at least 1, not {rounds}",
                    ast.position,
                    "loopcond",
                )
        else:
            rounds = self.tray_bound(condition, body, ast.position)
        module = condition.module
        pieces = []
        for number in range(1, rounds + 1):
            decide = condition.decide(
                LOOP if number == 1 else ROUND, until=until, rounds=rounds
            )
            decide.source = ast.position
            pieces += [one_block(decide), self.body_of(body, ast.position)]
        check = condition.decide(CHECK, until=until, rounds=rounds)
        check.source = ast.position
        pieces += [one_block(check), one_block(Mark(module, role="endloop"))]
        return self.structured(link(pieces))

    def tray_bound(self, condition, body, position):
        """The rounds of a loop without 'max': the slots of the tray its
        condition names, when every round of the body transfers at that
        tray's next slot."""
        tray = condition.module if condition.which is not None else None
        sample = self.body_of(body, position) if tray is not None else None
        if tray is None or not self.transfers_every_round(sample, tray):
            raise self.error(
                "a loop 'repeat until' or 'repeat while' needs 'max N', the most rounds it "
                "may take, unless its condition is a tray's ('TRAY empty' or 'TRAY full') "
                "and every round transfers at that tray's next slot",
                position,
                "loopcond",
            )
        return tray.slot_count

    @staticmethod
    def transfers_every_round(head, tray):
        """Whether the chain transfers at the tray's next slot whatever its
        conditions decide: outside every way of a condition inside it."""
        depth = 0
        for action in actions_of(head):
            if isinstance(action, Decide) and action.role in (IF, LOOP):
                depth += 1
            elif isinstance(action, Mark) and action.role in ("endif", "endloop"):
                depth -= 1
            elif (
                depth == 0
                and isinstance(action, Transfer)
                and action.tray is tray
                and action.slot is None
            ):
                return True
        return False

    def retry(self, ast):
        attempts = self.number(ast.get("cnt")) + 1
        if attempts < 2:
            raise self.error(
                "'retry N' tries again at least once: N is at least 1",
                ast.position,
                "retry",
            )
        body = ast.get("iterateBlock")
        first = self.body_of(body, ast.position)
        module = actions_of(first)[0].module
        pieces = [one_block(Mark(module, role="retry", attempts=attempts))]
        for number in range(attempts):
            attempt = first if number == 0 else self.body_of(body, ast.position)
            pieces += [one_block(Mark(module, role="attempt")), attempt]
        pieces.append(one_block(Mark(module, role="endretry")))
        return self.structured(link(pieces))

    def timeout(self, ast):
        seconds = float(ast.get("seconds"))
        if not seconds > 0:
            raise self.error(
                f"a time limit is more than 0 seconds, not {seconds:g}",
                ast.position,
                "timeout",
            )
        body = self.body_of(ast.get("iterateBlock"), ast.position)
        module = actions_of(body)[0].module
        return self.structured(
            link(
                [
                    one_block(Mark(module, role="timeout", seconds=seconds)),
                    body,
                    one_block(Mark(module, role="endtimeout")),
                ]
            )
        )

    @staticmethod
    def structured(head):
        head.structured = True
        return head

    # --- blocks with parameters

    def template_of(self, name, position):
        template = self.templates.get(name)
        if template is None:
            raise self.error(
                f"there is no block with parameters named '{name}' above this statement",
                position,
                "blockcall",
            )
        return template

    def blockcall(self, ast):
        name = ast.get("ident").id
        template = self.template_of(name, ast.position)
        args = ast.get("args")
        args = [] if args is None else args if type(args) is list else [args]
        if len(args) != len(template.params):
            raise self.error(
                f"'{name}' takes {len(template.params)} argument(s) "
                f"({', '.join(template.params)}), not {len(args)}",
                ast.position,
                "blockcall",
            )
        bound = {}
        for param, value in zip(template.params, args):
            bound[param] = value
        self.bindings.append(bound)
        try:
            made = self.parse_template(template)
        except ZarnCompileError as error:
            # The body is sound as declared (it compiled when it was); what
            # fails is this use's arguments: point at the use.
            raise self.error(
                f"'{name}' as used here: {error.message} (at line {error.line}, "
                f"column {error.column}, in the body of '{name}')",
                ast.position,
                "blockcall",
            ) from error
        finally:
            self.bindings.pop()
        return self.structured(made)

    def parse_template(self, template):
        raise NotImplementedError  # ScriptSemantics parses the body's text

    def onstop(self, ast):
        body = self.body_of(ast.get("action"), ast.position)
        for action in actions_of(body):
            drives = [key for key in commanded_by(action) if key[0] == "drive"]
            if drives:
                raise self.error(
                    "the stop handler runs after the axes have been stopped, so it may "
                    f"set outputs and wait for inputs but not command a drive: "
                    f"{action.describe()} commands drive {drives[0][1]}",
                    getattr(action, "source", None) or ast.position,
                    "onstop",
                )
            if (
                getattr(action, "operation", None) == "wait_for"
                and action.timeout is None
            ):
                action.timeout = STOP_HANDLER_WAIT
        self.stop_handler = body
        self.stop_handler_at = ast.position
        return body

    def registry_lookup(self, name, position):
        try:
            return self.registry[name]
        except KeyError as error:
            raise self.error(str(error), position, "condition") from None
