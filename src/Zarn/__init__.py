"""Zarn: the runtime of the ZARN handling-machine scripting language and the
client of the machine's controller service.

The deliverable modules are C++ extensions:

- ``Zarn._zarnprimitives``: ``ZarnState``, ``ZarnId``
- ``Zarn._zarnaction``: ``ZarnAction`` and its ``ZarnEvent``
- ``Zarn._zarnblock``: ``ZarnBlock``, chains of blocks and their run plan
- ``Zarn.blocks``: the block kinds ``StandardBlock``, ``AsyncBlock``,
  ``CompeteBlock``, ``RunExceptBlock``
- ``Zarn._zarnpq``: ``ZarnPriority`` and ``ZarnPriorityQueue``
- ``Zarn.morvo_client``: records, configuration and ``MorvoClient``
"""

__version__ = "0.1.0"
