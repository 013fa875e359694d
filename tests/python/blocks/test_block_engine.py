import subprocess
import sys
import textwrap

import pytest

# Made in a fresh interpreter, after only `first` was imported.
GROUPS = textwrap.dedent(
    """
    import {first}
    from Zarn._zarnaction import ZarnAction
    from Zarn.blocks import AsyncBlock, CompeteBlock, StandardBlock

    class Step(ZarnAction):
        def setup(self):
            pass

        def execute(self):
            pass

    class Module:
        def __init__(self, name):
            self.name = name

    def branch(name):
        block = StandardBlock()
        block.add([Step(Module(name))])
        return block

    parallel = AsyncBlock([branch("x"), branch("y")])
    assert type(parallel.async_block_map["x"]) is StandardBlock
    competing = CompeteBlock([branch("arm"), branch("arm")])
    print(len(parallel.run_plan().steps), len(competing.run_plan().steps))
    """
)


@pytest.mark.parametrize(
    "first", ["Zarn._zarnblock", "Zarn.blocks", "Zarn.compiler", "Zarn._zarnexec"]
)
def test_groups_work_whichever_module_of_the_block_engine_comes_first(first):
    result = subprocess.run(
        [sys.executable, "-c", GROUPS.format(first=first)],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout.split() == ["4", "8"], result.stderr
