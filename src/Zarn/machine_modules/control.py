"""The steps a script's control constructs compile into: `Decide`, which
reads a condition when the run reaches it (an input, or whether a tray has a
slot left), and `Mark`, which marks where a way, a loop, an attempt or a
time-limited part begins and ends. Both are module actions; a `Mark` does
nothing when it runs. `Zarn.lang.control` reads the marks of a compiled plan
to find its parts."""

from __future__ import annotations

from Zarn.errors import ConditionError
from Zarn.machine_modules.actions import ModuleAction
from Zarn.machine_modules.values import _name
from Zarn.wording import counted

# What a Decide step is for: an `if`; a loop's first round (which opens the
# loop) and each later round; the check after a loop's last round.
IF, LOOP, ROUND, CHECK = "if", "loop", "round", "check"
ROLES = (IF, LOOP, ROUND, CHECK)
# What a Mark stands for; the first of each pair opens a part, the rest
# divide or close it.
MARK_ROLES = (
    "else",
    "endif",
    "endloop",
    "retry",
    "attempt",
    "endretry",
    "timeout",
    "endtimeout",
)


class Decide(ModuleAction):
    """A condition's check. Settings: role (`if`: its result takes the
    then-way or the else-way; `loop` and `round`: a loop's first and later
    rounds, each taken while the loop goes on; `check`: after a loop's last
    round, fails when the loop would still go on), the condition (an input: device, pin, value, pin_name; or
    a tray: which, "empty" or "full", both meaning that it has no slot left
    for its next transfer), negate, and for loops until (True: the loop ends
    once the condition holds; False: while it holds), rounds (the bound)."""

    operation = "if"
    decision = None

    def setup(
        self,
        role,
        device=None,
        pin=None,
        value=1,
        pin_name=None,
        which=None,
        negate=False,
        until=True,
        rounds=None,
    ):
        if role not in ROLES:
            raise ValueError(
                f"a condition's check is one of {', '.join(ROLES)}, not {role!r}"
            )
        self.role = role
        self.device, self.pin, self.value = device, pin, 1 if value else 0
        self.pin_name = None if pin_name is None else _name(pin_name, "a pin name")
        self.which = which
        self.negate = bool(negate)
        self.until = bool(until)
        self.rounds = rounds
        loop_word = "until" if until else "while"
        self.operation = {IF: "if", LOOP: loop_word, ROUND: loop_word, CHECK: "check"}[
            role
        ]

    def holds(self, machine):
        """Whether the condition holds now."""
        if self.which is not None:
            found = self.module.next_slot is None
        else:
            found = machine.read_input(self.device, self.pin) == self.value
        return found != self.negate

    def goes_on(self, holds):
        """For a loop: whether another round follows, given the condition."""
        return not holds if self.until else holds

    def perform(self, machine):
        holds = self.holds(machine)
        if self.role == IF:
            self.decision = holds
        elif self.role in (LOOP, ROUND):
            self.decision = self.goes_on(holds)
        elif self.goes_on(holds):
            word = "until" if self.until else "while"
            state = "is still not met" if self.until else "still holds"
            raise ConditionError(
                f"repeat {word} {self.condition_shown()}: the condition {state} "
                f"after {counted(self.rounds, 'round')}"
            )

    def condition_shown(self):
        name = self._module_name()
        if self.which is not None:
            shown = f"{name} {self.which}"
        else:
            pin = self.pin_name if self.pin_name else f"pin {self.pin}"
            shown = f"@{name} {pin} {'on' if self.value else 'off'}"
        return f"not {shown}" if self.negate else shown

    def _summary(self):
        return f"{self.operation} {self.condition_shown()}"

    def describe(self):
        if self.role == IF:
            return f"if {self.condition_shown()}"
        word = "until" if self.until else "while"
        if self.role in (LOOP, ROUND):
            return f"repeat {word} {self.condition_shown()}: another round?"
        return (
            f"repeat {word} {self.condition_shown()}: ended within "
            f"{counted(self.rounds, 'round')}?"
        )


class Mark(ModuleAction):
    """Where a part of a control construct begins or ends. Settings: role
    (one of MARK_ROLES), seconds (a time-limited part's limit), attempts (a
    retried part's number of attempts). It does nothing when it runs."""

    operation = "mark"
    structural = True

    def setup(self, role, seconds=None, attempts=None):
        if role not in MARK_ROLES:
            raise ValueError(f"a mark is one of {', '.join(MARK_ROLES)}, not {role!r}")
        self.role = role
        self.seconds = seconds
        self.attempts = attempts
        self.operation = role

    def perform(self, machine):
        pass

    def _summary(self):
        return self.role

    def describe(self):
        if self.role == "timeout":
            return f"the next part must finish within {self.seconds:g} s"
        if self.role == "retry":
            return f"the next part is tried up to {self.attempts} times"
        return {
            "else": "otherwise",
            "endif": "the condition's ways end",
            "endloop": "the loop ends",
            "attempt": "an attempt begins",
            "endretry": "the retried part ends",
            "endtimeout": "the time-limited part ends",
        }[self.role]
