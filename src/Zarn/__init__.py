"""Zarn: the runtime of the ZARN handling-machine scripting language and the
client of the machine's controller service.

The deliverable modules are C++ extensions:

- ``Zarn._zarnprimitives``: ``ZarnState``, ``ZarnId``
- ``Zarn._zarnaction``: ``ZarnAction`` and its ``ZarnEvent``
- ``Zarn._zarnmodule`` (Python): the machine modules a script names with "@"
- ``Zarn.morvo_client``: records, configuration and ``MorvoClient``
"""

__version__ = "0.1.0"
