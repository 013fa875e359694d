"""Cost of packing and decoding action records against plain Python `struct`.

The baseline packs and decodes the same record the obvious way in Python
(int() of each field, str().encode() of the texts, struct.pack/unpack, then
decode and strip zeros). Prints microseconds per record and the ratio (below 1
means the package is faster), each the median of several runs.

    python3 bench/bench_records.py [--records N] [--runs R]
"""

import argparse
import statistics
import struct
import time

from Zarn.morvo_client import KVTAction, MorvoClient, action_datatype


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


def per_record(work, records, runs):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        work(records)
        times.append((time.perf_counter() - started) / records)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=50_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    fields = (13, 1, [20000, 500, 500, 500], [502, "PC1208101010-1"], "PC1208101010-2")
    action = KVTAction(*fields)
    record = action.get_transmit_data()
    assert record == python_pack(*fields)
    assert MorvoClient.unpack_struct_helper(action_datatype, record) == python_unpack(
        record
    )

    def zarn_pack(n):
        for _ in range(n):
            action.get_transmit_data()

    def py_pack(n):
        for _ in range(n):
            python_pack(*fields)

    def zarn_unpack(n):
        for _ in range(n):
            MorvoClient.unpack_struct_helper(action_datatype, record)

    def py_unpack(n):
        for _ in range(n):
            python_unpack(record)

    for what, ours, baseline in (
        ("pack", zarn_pack, py_pack),
        ("decode", zarn_unpack, py_unpack),
    ):
        mine = per_record(ours, args.records, args.runs)
        base = per_record(baseline, args.records, args.runs)
        print(
            f"{what:<7} Zarn {mine * 1e6:6.2f} us   Python struct {base * 1e6:6.2f} us   "
            f"ratio {mine / base:.2f}"
        )


if __name__ == "__main__":
    main()
