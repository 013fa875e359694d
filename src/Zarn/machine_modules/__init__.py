"""Machine modules: the objects a script names with "@", and the actions
they make. `Zarn._zarnmodule` gathers them for users and the compiler.

Read bottom up:

- `values`: values as scripts write them, checked; the keys of the
  devices a module commands (`drive`, `output`).
- `operations`: `@operation` and `@builds_action`, the operations table.
- `actions`: `ModuleAction`, `attach`, and the actions of every module
  (`Wait`, `Log`, `ExternalCall`).
- `module`: `MachineModule`, its call form, and `timer`.
- `axis`, `io_module`, `tray`, `handler`: each kind of module with the
  actions it makes, so a kind and what it does are read in one place.
- `loading`: loading a `modules.py`.
- `registry`: the names a script can use after "@".
"""
