"""The steps and blocks of the executor's tests: a `Step` that takes its
time, fails or blocks until cancelled, and the blocks built of them."""

import threading

from Zarn._zarnaction import ZarnAction
from Zarn._zarnprimitives import ZarnState
from Zarn.blocks import AsyncBlock, CompeteBlock, StandardBlock

from Zarn.machine import MachineError


class Step(ZarnAction):
    """A test action: takes `seconds`, then raises `fail` if given; with
    `block` it waits until cancelled (and fails then), unless it ignores
    cancels, when it waits for `release` instead."""

    operation = "step"

    def setup(self, label="", seconds=0.0, fail=None, block=False, ignore_cancel=False):
        self.label = label
        self.seconds = seconds
        self.fail = fail
        self.block = block
        self.ignore_cancel = ignore_cancel
        self.cancelled = threading.Event()
        self.release = threading.Event()
        self.began = threading.Event()
        self.error = None

    def execute(self):
        self.state = ZarnState.Executing
        self.began.set()
        try:
            if self.ignore_cancel:
                self.release.wait(30)
            elif self.block:
                if self.cancelled.wait(30):
                    raise MachineError("cancelled", device=7, command_id="PC-test-1")
            elif self.seconds:
                self.cancelled.wait(self.seconds)
            if self.fail is not None:
                raise self.fail
        except BaseException as error:
            self.error = error
            self.state = ZarnState.Error
            raise
        else:
            self.state = ZarnState.Finished
        finally:
            self.finish_signal.set()

    def cancel(self):
        self.cancelled.set()

    def describe(self):
        return f"step {self.label}"


def block(module, *labels, identifier=None, **settings):
    made = StandardBlock(identifier=identifier)
    made.add([Step(module, label=label, **settings) for label in labels])
    return made


def chain(*blocks):
    for earlier, later in zip(blocks, blocks[1:]):
        earlier.next_block = later
    return blocks[0]


def parallel(*branches):
    group = AsyncBlock(list(branches))
    assert group.resolve_parallel()
    return group


def competing(*branches, module_name="axis"):
    group = CompeteBlock(list(branches))
    group.module_name = module_name
    assert group.resolve_within_competition()
    return group


def cancel_step(action):
    action.cancel()
