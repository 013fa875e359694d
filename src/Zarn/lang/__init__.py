"""The language: reading ZARN scripts and compiling them into blocks.

Read bottom up:

- `nodes`: what the parser hands a semantics (parse nodes, positions, rule
  names); imports nothing of the package, the extensions load it.
- `parsing`: `parse`, the entry point of the parser extension.
- `plan_checks`: the safety checks of a compiled script's whole run plan.
- `compiling`: `compile`, from script text or file to its "main" block.

`Zarn.parse` and `Zarn.compile` are the last two's entry points.
"""
