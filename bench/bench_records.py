"""Cost of packing and decoding action records against plain Python `struct`.

The baseline packs and decodes the same records the obvious way in Python
(int() of each field, str().encode() of the texts, struct.pack/unpack, then
decode and strip zeros). The records vary as real commands do: integer, float
and decimal-text arguments, two to four dependencies, full and short command
ids. Every record is checked to come out byte for byte the same both ways.
Prints microseconds per record for pack, decode and both together, and the
ratios (below 1 means the package is faster), each the median of several runs.

    python3 bench/bench_records.py [--records N] [--runs R]
"""

import argparse
import random
import statistics
import struct
import time

from comparisons import Figure, Target, compared, main

from Zarn.morvo_client import KVTAction, MorvoClient, action_datatype

unpack_struct_helper = MorvoClient.unpack_struct_helper


def python_pack(module_id, func_id, args, deps, cmd_id):
    values = [int(module_id), int(func_id)] + [int(a) for a in args]
    values += [-1] * (8 - len(values))
    texts = [cmd_id.encode()] + [str(d).encode() for d in deps[:4]]
    texts += [b""] * (5 - len(texts))
    return struct.pack(action_datatype, *values, *texts, -1)


def python_unpack(data):
    return [
        v.decode("ascii").replace("\x00", "") if isinstance(v, bytes) else v
        for v in struct.unpack(action_datatype, data)
    ]


def varied_fields(count, seed=7):
    """Records like the commands build: moves, homing, IO and conditions."""
    rng = random.Random(seed)
    prefix = "PC1208101010-"
    records = []
    for i in range(count):
        kind = i % 4
        if kind == 0:  # a move with scaled floats and integers
            args = [rng.uniform(-30, 30) * 1000, rng.randint(1, 900), 5.5, -1]
        elif kind == 1:  # homing, a method given as decimal text
            args = [str(rng.choice([17, 35, 0]))]
        elif kind == 2:  # IO: pin, byte, value
            args = [rng.randint(0, 31), rng.randint(0, 11), rng.randint(0, 1)]
        else:  # a condition with comparison kind and threshold
            args = [rng.randint(0, 3), rng.uniform(-500, 500), "12", 3, 0, -2]
        deps = [f"{prefix}{rng.randint(0, 999)}" for _ in range(rng.randint(1, 3))]
        deps.append(rng.choice([502, 503, "502"]))
        cmd_id = f"{prefix}{i % 1000}" if i % 3 else f"X{i % 10}"
        records.append((rng.randint(0, 14), rng.randint(0, 57), args, deps, cmd_id))
    return records


def timed(work):
    started = time.perf_counter()
    work()
    return time.perf_counter() - started


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20_000)
    parser.add_argument("--runs", type=int, default=7)
    return parser


def measure(args):
    fields = varied_fields(512)
    actions = [KVTAction(*f) for f in fields]
    for f, action in zip(fields, actions):
        record = action.get_transmit_data()
        assert record == python_pack(*f), f
        assert unpack_struct_helper(action_datatype, record) == python_unpack(record)
    records = [a.get_transmit_data() for a in actions]
    rounds = max(1, args.records // len(fields))
    n = rounds * len(fields)

    def zarn_pack():
        for _ in range(rounds):
            for action in actions:
                action.get_transmit_data()

    def py_pack():
        for _ in range(rounds):
            for f in fields:
                python_pack(*f)

    def zarn_decode():
        for _ in range(rounds):
            for record in records:
                unpack_struct_helper(action_datatype, record)

    def py_decode():
        for _ in range(rounds):
            for record in records:
                python_unpack(record)

    def zarn_both():
        for _ in range(rounds):
            for action in actions:
                unpack_struct_helper(action_datatype, action.get_transmit_data())

    def py_both():
        for _ in range(rounds):
            for f in fields:
                python_unpack(python_pack(*f))

    # Interleaved, so that a burst of load on the machine hits both sides.
    rows = []
    for what, ours, baseline in (
        ("pack", zarn_pack, py_pack),
        ("decode", zarn_decode, py_decode),
        ("both", zarn_both, py_both),
    ):
        mine, base = [], []
        for _ in range(args.runs):
            mine.append(timed(ours) / n)
            base.append(timed(baseline) / n)
        rows.append(
            compared(
                f"record {what}",
                Figure(statistics.median(mine) * 1e6, "us"),
                Figure(statistics.median(base) * 1e6, "us", "struct"),
                Target("<", 1),
            )
        )
    return rows


if __name__ == "__main__":
    main(command_line(), measure)
