"""Records accepted and results published per second by the simulated
controller, against a raw request/reply echo on the same machine.

Both servers are started on random loopback addresses and loaded in turn by
the same C++ generator (cpp/tools/sim_load.cpp): request sockets that send
216-byte IO records one after the other, and for the simulator one subscriber
that receives every published result. The simulator's figure counts a record
done when its reply and its published result are both in; the echo's when its
reply is. Prints the median rate of each and their ratio (target: at least
0.5) for one client and for several.

    python3 bench/bench_sim.py [--records N] [--runs R] [--clients 1,4]

The programs are built into build/bench first (cmake, ninja, -j2).
"""

import argparse
import random
import statistics
import subprocess
import sys
from pathlib import Path

from comparisons import Figure, Target, compared, main

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
EXAMPLE = ROOT / "examples" / "handler_settings.yaml"


def build():
    subprocess.run(
        ["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DZARN_BUILD_BENCH=ON"]
        + ["-DCMAKE_BUILD_TYPE=Release"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", BUILD, "-j2", "--target", "zarn-sim", "zarn-sim-load"],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def loopback():
    return "127." + ".".join(str(random.randint(1, 254)) for _ in range(3))


def start(command, ready):
    """Starts a server and waits for its ready line; None when the address
    was taken (another run on this machine), so the caller tries another."""
    process = subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    line = process.stdout.readline()
    if line.startswith(ready):
        return process
    process.wait()
    return None


def serve(kind):
    for _ in range(20):
        host = loopback()
        if kind == "echo":
            command = [BUILD / "zarn-sim-load", "echo", host, "5002"]
            process = start(command, "echo ready")
        else:
            command = [BUILD / "zarn-sim", "--config", EXAMPLE, "--address", host]
            process = start(command + ["--no-control"], "zarn-sim ready")
        if process is not None:
            return host, process
    sys.exit(f"bench_sim: no free loopback address for the {kind} server")


def rate(kind, records, clients):
    host, process = serve(kind)
    try:
        command = [BUILD / "zarn-sim-load", "load", host, str(records), str(clients)]
        if kind == "echo":
            command.append("--no-results")
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            sys.exit(
                f"bench_sim: load on the {kind} failed: {done.stdout}{done.stderr}"
            )
        fields = done.stdout.split()
        return float(fields[fields.index("rate") + 1])
    finally:
        process.terminate()
        process.wait(10)


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--clients", default="1,4")
    return parser


def measure(args):
    build()
    rows = []
    for clients in (int(c) for c in args.clients.split(",")):
        echo, simulator = [], []
        for run in range(args.runs):
            # Alternate the order so that neither always meets a warmer machine.
            kinds = ("echo", "sim") if run % 2 == 0 else ("sim", "echo")
            for kind in kinds:
                figure = rate(kind, args.records, clients)
                (echo if kind == "echo" else simulator).append(figure)
        rows.append(
            compared(
                f"simulator, {clients} client{'s' if clients > 1 else ''}",
                Figure(statistics.median(simulator), "records/s"),
                Figure(statistics.median(echo), "records/s", "echo"),
                Target(">=", 0.5),
            )
        )
    return rows


if __name__ == "__main__":
    main(command_line(), measure)
