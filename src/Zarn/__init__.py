"""Zarn: the runtime of the ZARN handling-machine scripting language and the
client of the machine's controller service."""
