"""The controller watchdog: while a run waits on the controller, it asks the
controller something cheap about once a second and tells when it stops
answering.

The result channel is published, so it is silent during any long motion:
silence there proves nothing, and a dead controller would otherwise be
noticed only when a wait for a result runs out (a minute by default). A
request on the logger channel is answered at once by a live controller, so
two unanswered requests in a row are proof enough.
"""

from __future__ import annotations

import struct
import threading
import time

from Zarn.errors import ControllerLost

# The logger datum a liveness probe asks for: the slave status, which every
# controller keeps for every device.
SLAVE_STATUS = 0
# Seconds from the start of one probe to the start of the next.
PROBE_INTERVAL = 1.0
# Unanswered requests in a row that make the controller lost: one alone may
# be a hiccup of the network.
MISSES_TO_LOSE = 2
# The request channels, as the reason names them.
ACTIONS, LOGGER = "action", "logger"


class ControllerWatchdog:
    """Tells when the controller behind `client` stops answering.

    Its thread probes the controller on the logger channel (the slave status
    of the MorvoID `device()` gives) while anything is busy (between
    `begin()` and `end()`), one probe every `interval` seconds from one
    interval after the busy time began. The requests of the machine's own
    operations count as well (`note`): after `misses` requests in a row went
    unanswered, probes or not, it calls `on_lost(ControllerLost)` once, from
    the thread that saw the last of them, and stops probing.

    The thread waits with the interpreter lock released (a condition wait,
    or the client's exchange), and it is no worker of a run: a run's
    controlling thread goes on serving while a probe waits for its answer.
    """

    def __init__(
        self,
        client,
        device,
        on_lost,
        *,
        interval=PROBE_INTERVAL,
        misses=MISSES_TO_LOSE,
    ):
        self.client = client
        self.device = device
        self.on_lost = on_lost
        self.interval = interval
        self.misses = misses
        self.lost = None
        self._changed = threading.Condition()
        self._busy = 0
        self._closing = False
        self._missed = []  # the channels of the unanswered requests in a row
        self._first_miss = None
        self._thread = threading.Thread(
            target=self._watch, name="zarn-controller-watchdog", daemon=True
        )

    def start(self):
        self._thread.start()
        return self

    def close(self, timeout=None):
        """Ends the watch; waits at most `timeout` seconds for a probe that is
        on its way (it is left to end by itself after that)."""
        with self._changed:
            self._closing = True
            self._changed.notify_all()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(timeout)

    def begin(self):
        with self._changed:
            self._busy += 1
            self._changed.notify_all()

    def end(self):
        with self._changed:
            self._busy -= 1

    def note(self, channel, answered):
        """Counts one request on `channel` (ACTIONS or LOGGER) that was
        answered or not; the second unanswered one in a row loses the
        controller."""
        with self._changed:
            if self.lost is not None or self._closing:
                return  # told already, or the run is over
            if answered:
                self._missed.clear()
                return
            if not self._missed:
                self._first_miss = time.time()
            self._missed.append(channel)
            if len(self._missed) < self.misses:
                return
            ports = {
                ACTIONS: self.client.action_enqueue_req_port,
                LOGGER: self.client.logger_req_port,
            }
            self.lost = ControllerLost(
                address=self.client.server_address,
                ports=[(name, ports[name]) for name in dict.fromkeys(self._missed)],
                since=self._first_miss,
                requests=len(self._missed),
            )
            self._changed.notify_all()
        self.on_lost(self.lost)

    def _probe(self):
        try:
            answer = self.client.get_logger(self.device(), SLAVE_STATUS)
        except (struct.error, UnicodeDecodeError):
            answer = ""  # a reply that does not read as a logger record is a reply
        self.note(LOGGER, isinstance(answer, str))

    def _watch(self):
        due = None
        with self._changed:
            while self.lost is None and not self._closing:
                now = time.monotonic()
                if self._busy == 0:
                    due = None
                    self._changed.wait()
                    continue
                if due is None:
                    due = now + self.interval
                if now < due:
                    self._changed.wait(due - now)
                    continue
                # The next probe is due an interval after this one began, at
                # once when this one takes longer (a controller that does not
                # answer takes an exchange's time-out).
                due = now + self.interval
                self._changed.release()
                try:
                    self._probe()
                finally:
                    self._changed.acquire()
