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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    results = {}
    for name, make in (("threading.Event", threading.Event), ("ZarnEvent", ZarnEvent)):
        runs = [ping_pong(make, args.rounds) for _ in range(args.runs)]
        results[name] = statistics.median(runs)
        print(f"{name:<16} {results[name] * 1e6:8.1f} us per hand-over")
    ratio = results["ZarnEvent"] / results["threading.Event"]
    print(f"ratio ZarnEvent / threading.Event: {ratio:.2f}")


if __name__ == "__main__":
    main()
