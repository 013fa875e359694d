"""Wake-up cost of the package's event against threading.Event.

Two threads hand a token back and forth through a pair of events; the figure
is the time of one hand-over. Prints both and their ratio (below 1 means the
package's event is faster), each the median of several runs.

    python3 bench/bench_events.py [--rounds N] [--runs R]
"""

import argparse
import statistics
import threading
import time

from comparisons import Figure, Target, compared, main
from Zarn._zarnaction import ZarnEvent


def ping_pong(make_event, rounds):
    ping, pong = make_event(), make_event()

    def partner():
        for _ in range(rounds):
            ping.wait()
            ping.clear()
            pong.set()

    thread = threading.Thread(target=partner)
    thread.start()
    started = time.perf_counter()
    for _ in range(rounds):
        ping.set()
        pong.wait()
        pong.clear()
    elapsed = time.perf_counter() - started
    thread.join()
    return elapsed / (2 * rounds)


def command_line():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=5)
    return parser


def measure(args):
    results = {}
    for name, make in (("threading.Event", threading.Event), ("ZarnEvent", ZarnEvent)):
        runs = [ping_pong(make, args.rounds) for _ in range(args.runs)]
        results[name] = statistics.median(runs) * 1e6
    # No target is stated: actions hand control to each other through these
    # events, so the package's own must be no slower than the standard one.
    return [
        compared(
            "event hand-over",
            Figure(results["ZarnEvent"], "us"),
            Figure(results["threading.Event"], "us", "threading.Event"),
            Target("<=", 1),
        )
    ]


if __name__ == "__main__":
    main(command_line(), measure)
