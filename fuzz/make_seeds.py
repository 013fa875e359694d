"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/
from the project's own material:

- parser: the example scripts and the ZARN code of the documentation;
- config: the example machine, the test configurations and the YAML of the
  documentation;
- records, controller: the real records of a run, captured on the wire. The
  example pick-and-place script and the client's demonstration sequence run
  against a simulated controller through a recording relay on another
  loopback address, which keeps every request, reply and published record.

Seeds are named by the hash of their bytes, as libFuzzer names what it adds,
so running this again adds nothing twice. Run it from the project's
environment (the package installed):

    .venv/bin/python fuzz/make_seeds.py
"""

import hashlib
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time

import zmq

from Zarn.configuration import EXAMPLE_CONFIG
from Zarn.sim import SimulatedController, random_loopback

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
RECORD_PORTS = {"results": 5001, "actions": 5002, "logger": 5003}
# The record target's first byte: which kind of record follows.
ACTION_RECORD, LOGGER_RECORD = b"\x00", b"\x01"


def save(target, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def fenced_blocks(text, languages):
    pattern = r"```(" + "|".join(languages) + r")\n(.*?)```"
    return [m.group(2) for m in re.finditer(pattern, text, re.DOTALL)]


def text_seeds():
    for script in sorted((ROOT / "examples").glob("*.zarn")):
        save("parser", script.read_bytes())
    for doc in sorted((ROOT / "docs").glob("*.md")):
        text = doc.read_text()
        for block in fenced_blocks(text, ["zarn", ""]):
            if "block " in block:
                save("parser", block.encode())
        for block in fenced_blocks(text, ["yaml"]):
            save("config", block.encode())
    save("config", pathlib.Path(EXAMPLE_CONFIG).read_bytes())
    for data in sorted((ROOT / "tests" / "python" / "client" / "data").glob("*.yaml")):
        save("config", data.read_bytes())


class Relay:
    """Passes the client's traffic on to the simulated controller and keeps
    it: (time, channel, bytes) for each request, reply and published record."""

    def __init__(self, address, upstream):
        self.context = zmq.Context()
        self.seen = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.sockets = []
        for name in ("actions", "logger"):
            front = self.socket(
                zmq.ROUTER, f"tcp://{address}:{RECORD_PORTS[name]}", bind=True
            )
            back = self.socket(zmq.DEALER, f"tcp://{upstream}:{RECORD_PORTS[name]}")
            self.sockets.append((name, front, back))
        self.xpub = self.socket(zmq.XPUB, f"tcp://{address}:5001", bind=True)
        self.xsub = self.socket(zmq.XSUB, f"tcp://{upstream}:5001")
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def socket(self, kind, endpoint, bind=False):
        sock = self.context.socket(kind)
        sock.linger = 0
        (sock.bind if bind else sock.connect)(endpoint)
        return sock

    def note(self, channel, body):
        with self.lock:
            self.seen.append((time.monotonic(), channel, body))

    def run(self):
        poller = zmq.Poller()
        for _, front, back in self.sockets:
            poller.register(front, zmq.POLLIN)
            poller.register(back, zmq.POLLIN)
        poller.register(self.xpub, zmq.POLLIN)
        poller.register(self.xsub, zmq.POLLIN)
        while not self.stop.is_set():
            ready = dict(poller.poll(50))
            for name, front, back in self.sockets:
                if front in ready:
                    frames = front.recv_multipart()
                    self.note(name, frames[-1])
                    back.send_multipart(frames)
                if back in ready:
                    frames = back.recv_multipart()
                    self.note(name + " reply", frames[-1])
                    front.send_multipart(frames)
            if self.xpub in ready:
                self.xsub.send_multipart(self.xpub.recv_multipart())
            if self.xsub in ready:
                frames = self.xsub.recv_multipart()
                self.note("results", frames[-1])
                self.xpub.send_multipart(frames)

    def close(self):
        self.stop.set()
        self.thread.join()
        self.context.destroy(linger=0)


def capture():
    """The records of the example script and of the demonstration sequence."""
    relay_address = random_loopback()
    with tempfile.TemporaryDirectory() as scratch:
        config = pathlib.Path(scratch) / "machine.yaml"
        text = pathlib.Path(EXAMPLE_CONFIG).read_text()
        config.write_text(
            re.sub(r"server_address: \S+", f"server_address: {relay_address}", text)
        )
        with SimulatedController(EXAMPLE_CONFIG, speed=50) as sim:
            relay = Relay(relay_address, sim.address)
            try:
                zarn = [sys.executable, "-m", "Zarn"]
                script = ROOT / "examples" / "pick_and_place.zarn"
                subprocess.run(
                    zarn
                    + ["run", str(script), "--config", str(config)]
                    + ["--controller", relay_address, "--plain"],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    timeout=300,
                )
                env = dict(os.environ, ZARN_CONFIG=str(config))
                subprocess.run(
                    [sys.executable, "-m", "Zarn.morvo_client"],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    timeout=300,
                    env=env,
                )
            finally:
                relay.close()
    return relay.seen


def record_seeds(seen):
    for _, channel, body in seen:
        kind = LOGGER_RECORD if channel.startswith("logger") else ACTION_RECORD
        save("records", kind + body)
    # Any layout, and values to pack (see fuzz_records.cpp).
    save("records", b"\x02" + b"ii80s|" + bytes(88))
    save("records", b"\x02" + b"2i 3s i|" + bytes(16))
    first = next(body for _, channel, body in seen if channel == "actions")
    values = struct.unpack("iiiiiiii36s36s36s36s36si", first)
    packed = struct.pack("<B8q", 8, *values[:8])
    save("records", b"\x03" + packed)
    texts = b"|".join(v.rstrip(b"\0") for v in values[8:13])
    save("records", b"\x03" + packed + texts)


def controller_seeds(seen, per_seed=24):
    """Runs of consecutive requests in the controller target's steps, with the
    real pauses between them (at the simulator's speed)."""
    requests = [(t, ch, body) for t, ch, body in seen if ch in ("actions", "logger")]
    for start in range(0, len(requests), per_seed):
        steps = b""
        previous = requests[start][0]
        for t, channel, body in requests[start : start + per_seed]:
            # (dt / 16)^2 simulated seconds; the simulator ran at 50 times.
            dt = min(255, round(16 * ((t - previous) * 50) ** 0.5))
            previous = t
            op = 0 if channel == "actions" else 2
            steps += bytes([op, dt]) + body
        save("controller", steps)


def main():
    text_seeds()
    seen = capture()
    record_seeds(seen)
    controller_seeds(seen)
    for target in sorted(p.name for p in CORPUS.iterdir()):
        files = list((CORPUS / target).iterdir())
        size = sum(f.stat().st_size for f in files)
        print(f"{target}: {len(files)} seeds, {size} bytes")


if __name__ == "__main__":
    main()
