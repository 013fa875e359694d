"""The stand-in controllers of the tests, in one place.

- `ControllerDouble`: a scriptable stand-in for the controller service, for
  the tests of the client's channels and commands.
- The simulated controller of the package (`Zarn.sim`), for the tests that
  need a machine that moves: `EXAMPLE`, `SPEED`, `example_with`; the
  `simulated` fixture starts one.
- `client_config`: a configuration that aims a client at either.

The double listens where a controller does (requests on 5002 and 5003, results
published on 5001), but on a loopback address of its own, so that tests
running at the same time never meet. The request endpoints answer like REP
sockets; underneath they are ROUTERs, so a reply can also be delayed or
withheld. The publisher is a plain one: it never reads its socket's events
before publishing, as a real controller does not.

A script decides what happens to each action record: `Reply(...)` says what
to answer and what to publish, when.
"""

import dataclasses
import errno
import heapq
import itertools
import random
import struct
import textwrap
import threading
import time

import zmq

from Zarn.configuration import EXAMPLE_CONFIG

ACTION_LAYOUT = "iiiiiiii36s36s36s36s36si"


def fields_of(record):
    """The record's values, texts without their zero bytes."""
    return [
        v.rstrip(b"\0").decode("ascii", "replace") if isinstance(v, bytes) else v
        for v in struct.unpack(ACTION_LAYOUT, record)
    ]


def with_result(record, result):
    return record[:212] + struct.pack("i", result)


def action_record(module_id, func_id, args, cmd_id, deps=()):
    """The 216 bytes a client sends for these values, written out by hand:
    missing arguments -1, texts zero-padded, the result field -1."""
    args = list(args) + [-1] * (6 - len(args))
    texts = [str(dep).encode() for dep in deps][:4]
    texts += [b""] * (4 - len(texts))
    return struct.pack(
        ACTION_LAYOUT, module_id, func_id, *args, cmd_id.encode(), *texts, -1
    )


@dataclasses.dataclass
class Publish:
    """One result message: by default the record with `result` under its id."""

    result: int = 1
    delay: float = 0.0
    topic: bytes = None  # the record's command id when None
    pad: int = 0  # zero bytes after the topic
    frames: list = None  # raw frames, instead of topic and record


@dataclasses.dataclass
class Reply:
    result: int = 1  # the reply is the request with this result field
    data: bytes = None  # or exactly these bytes
    delay: float = 0.0
    withhold: bool = False  # never answer
    # Published the moment the request is in, before the reply goes out.
    publish: list = dataclasses.field(default_factory=lambda: [Publish()])


def accept_and_publish(fields):
    return Reply()


def logged_value(device, index):
    return f"{device * 10 + index}".encode()


class ControllerDouble:
    def __init__(self, script=accept_and_publish, logger=logged_value, ports=None):
        self.script = script
        self.logger = logger
        self.records = []  # every action record received, in order
        self.logger_requests = []
        self.received_at = []  # time.monotonic() of each action record
        self._ctx = zmq.Context()
        self._timers = []
        self._seq = itertools.count()
        self._bind(ports or (5001, 5002, 5003))
        self._wake_rx = self._ctx.socket(zmq.PAIR)
        self._wake_rx.bind(f"inproc://double-{id(self)}")
        self._wake_tx = self._ctx.socket(zmq.PAIR)
        self._wake_tx.connect(f"inproc://double-{id(self)}")
        self._lock = threading.Lock()
        self._running = True
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _bind(self, ports):
        for _ in range(50):
            self.address = "127.{}.{}.{}".format(
                *(random.randint(1, 254) for _ in range(3))
            )
            sockets = []
            try:
                for kind, port in zip((zmq.PUB, zmq.ROUTER, zmq.ROUTER), ports):
                    sock = self._ctx.socket(kind)
                    sock.linger = 0
                    sockets.append(sock)
                    sock.bind(f"tcp://{self.address}:{port}")
            except zmq.ZMQError as error:
                for sock in sockets:
                    sock.close()
                if error.errno != errno.EADDRINUSE:
                    raise
                continue
            self.publisher, self.action, self.logger_socket = sockets
            return
        raise RuntimeError("no free loopback address for the controller double")

    # --- from the test's thread ---------------------------------------------

    def publish(self, topic, record, delay=0.0):
        self.later(delay, lambda: self._send_frames([topic, record]))

    def publish_frames(self, frames, delay=0.0):
        self.later(delay, lambda: self._send_frames(frames))

    def later(self, delay, work):
        with self._lock:
            heapq.heappush(
                self._timers, (time.monotonic() + delay, next(self._seq), work)
            )
            self._wake_tx.send(b"")

    def close(self):
        with self._lock:
            self._running = False
            self._wake_tx.send(b"")
        self._thread.join(timeout=5)
        for sock in (self.publisher, self.action, self.logger_socket, self._wake_rx):
            sock.close()
        self._wake_tx.close()
        self._ctx.term()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- the double's own thread ----------------------------------------------

    def _send_frames(self, frames):
        self.publisher.send_multipart(frames)

    def _answer(self, sock, identity, body):
        sock.send_multipart([identity, b"", body])

    def _serve_action(self, identity, record):
        self.records.append(record)
        self.received_at.append(time.monotonic())
        plan = (
            self.script(fields_of(record)) if len(record) == 216 else Reply(publish=[])
        )
        cmd_id = record[32:68].rstrip(b"\0")
        for publication in plan.publish:
            if publication.frames is not None:
                frames = publication.frames
            else:
                topic = publication.topic if publication.topic is not None else cmd_id
                frames = [
                    topic + b"\0" * publication.pad,
                    with_result(record, publication.result),
                ]
            if publication.delay:
                self.later(publication.delay, lambda f=frames: self._send_frames(f))
            else:
                self._send_frames(frames)
        if plan.withhold:
            return
        body = plan.data if plan.data is not None else with_result(record, plan.result)
        if plan.delay:
            self.later(plan.delay, lambda: self._answer(self.action, identity, body))
        else:
            self._answer(self.action, identity, body)

    def _serve_logger(self, identity, request):
        device, index = struct.unpack("ii", request[:8])
        self.logger_requests.append((device, index))
        answer = self.logger(device, index)
        if answer is None:
            return  # withheld
        if isinstance(answer, Reply):
            body = answer.data
        else:
            body = struct.pack("ii80s", device, index, answer)
        self._answer(self.logger_socket, identity, body)

    def _run(self):
        poller = zmq.Poller()
        for sock in (self.action, self.logger_socket, self._wake_rx):
            poller.register(sock, zmq.POLLIN)
        while True:
            with self._lock:
                if not self._running:
                    return
                due = self._timers[0][0] if self._timers else None
            timeout = None if due is None else max(0, (due - time.monotonic()) * 1000)
            events = dict(poller.poll(timeout))
            if self._wake_rx in events:
                while self._wake_rx.poll(0):
                    self._wake_rx.recv()
            if self.action in events:
                identity, _, record = self.action.recv_multipart()
                self._serve_action(identity, record)
            if self.logger_socket in events:
                identity, _, request = self.logger_socket.recv_multipart()
                self._serve_logger(identity, request)
            now = time.monotonic()
            while True:
                with self._lock:
                    if not self._timers or self._timers[0][0] > now:
                        break
                    _, _, work = heapq.heappop(self._timers)
                work()


# --- configurations that aim a client at a stand-in ---------------------------------

# A configuration with no devices, for the tests of the channels.
BARE = """\
kvt_handler:
  server_address: '{address}'
  IOModule:
    SlaveNo: 1
    Modules: []
"""

# A machine whose numbers make every conversion visible: the factors of
# drive 13 and the IO modules' output bytes (0, 2 and 1, in slots 1 to 3).
MACHINE = """\
kvt_handler:
  server_address: '{address}'
  IOModule:
    SlaveNo: 1
    Modules:
      - {{MorvoID: 1, Slot: 1, InputBytes: 2, OutputBytes: 0}}
      - {{MorvoID: 11, Slot: 2, InputBytes: 0, OutputBytes: 2}}
      - {{MorvoID: 10, Slot: 3, InputBytes: 1, OutputBytes: 1}}
  Festo:
    - {{MorvoID: 13, SlaveNo: 3, Params: {{DistanceFactor: 1000, SpeedFactor: 100,
        AccelerationFactor: 10}}}}
    - {{MorvoID: 14, SlaveNo: 4, Params: {{DistanceFactor: 100}}}}
    - {{MorvoID: 0, SlaveNo: 6, Params: {{DistanceFactor: 1}}}}
    - {{MorvoID: 36, SlaveNo: 7, Params: {{DistanceFactor: 1}}}}
  Akribis:
    - {{MorvoID: 15, Axis: B, Params: {{DistanceFactor: 10000, SpeedFactor: 1,
        AccelerationFactor: 1}}}}
    - {{MorvoID: 16, Axis: C, Params: {{DistanceFactor: 1}}}}
"""


def client_config(path, address, text=MACHINE):
    """Writes to `path` the configuration `text` (with {address} in it)
    aimed at `address`; returns the path."""
    path.write_text(text.format(address=address), encoding="utf-8")
    return path


# --- the simulated controller ----------------------------------------------------------

EXAMPLE = EXAMPLE_CONFIG
SPEED = 20


def example_with(tmp_path, settings="", replace=()):
    """The example machine with more keys in its Simulator section and texts
    replaced."""
    text = EXAMPLE.read_text(encoding="utf-8")
    for old, new in replace:
        assert old in text
        text = text.replace(old, new)
    if settings:
        section = "  Simulator:\n"
        assert section in text
        added = textwrap.indent(textwrap.dedent(settings), "    ")
        text = text.replace(section, section + added, 1)
    path = tmp_path / "simulated.yaml"
    path.write_text(text, encoding="utf-8")
    return path
