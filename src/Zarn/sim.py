"""A simulated controller service for tests and demonstrations.

``SimulatedController`` starts the package's ``zarn-sim`` program on a
loopback address, waits until it serves, switches its faults at run time and
stops it cleanly::

    from Zarn.sim import SimulatedController

    with SimulatedController("examples/handler_settings.yaml", speed=50) as sim:
        config = sim.client_config(tmp_path / "machine.yaml")  # its address
        client = MorvoClient(str(config))
        sim.reject(1)  # the next action record is refused with -105

docs/simulator.md describes what it simulates and every fault.
"""

import collections
import os
import random
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

from Zarn.errors import SimulatorError

PROGRAM = Path(__file__).parent / "bin" / "zarn-sim"
DEFAULT_PORTS = (5001, 5002, 5003)
# zarn-sim's exit status when a port is taken.
EXIT_ADDRESS_IN_USE = 3


def random_loopback():
    """A random address in 127.0.0.0/8, so that simulators of concurrent test
    runs do not meet on the fixed ports."""
    return "127." + ".".join(str(random.randint(1, 254)) for _ in range(3))


def _count(value):
    # Booleans first: True == 1 would otherwise read as a count of one.
    if isinstance(value, bool):
        return "all" if value else "off"
    if value is None or value == 0 or value == "off":
        return "off"
    if value == -1 or value == "all":
        return "all"
    if isinstance(value, int) and value > 0:
        return str(value)
    raise ValueError(
        f"a fault count is a number above 0, 'all' or 'off', not {value!r}"
    )


class SimulatedController:
    """The zarn-sim program, running. Use as a context manager, or call
    ``start()`` and ``stop()``.

    ``address`` is the address to bind (a random loopback address when None,
    retried when taken); ``speed`` the simulated seconds per real second. The
    fault arguments are those of the program's options: ``withhold_replies``,
    ``withhold_logger`` and ``reject`` take a count (or "all"),
    ``delay_replies`` and ``delay_logger`` seconds, ``silent_publisher`` a
    flag, ``restart_after`` and ``restart_down`` seconds. With ``verbose``
    the program's log is printed as it comes. With ``new_session`` the
    program runs in a session of its own, so that a Ctrl-C at the terminal
    reaches only this process, which can then stop its axes on the
    simulator before stopping it.
    """

    def __init__(
        self,
        config,
        address=None,
        speed=1.0,
        *,
        verbose=False,
        ports=DEFAULT_PORTS,
        withhold_replies=0,
        withhold_logger=0,
        delay_replies=0.0,
        delay_logger=0.0,
        reject=0,
        silent_publisher=False,
        restart_after=None,
        restart_down=None,
        program=None,
        ready_timeout=10.0,
        new_session=False,
    ):
        self.config = Path(config)
        self.address = address
        self._pick_address = address is None
        self.speed = speed
        self.verbose = verbose
        self.ports = tuple(ports)
        self.program = Path(program) if program is not None else PROGRAM
        self.ready_timeout = ready_timeout
        self.new_session = new_session
        options = []
        for flag, value in (
            ("--withhold-replies", withhold_replies),
            ("--withhold-logger", withhold_logger),
            ("--reject", reject),
        ):
            if _count(value) != "off":
                options += [flag, _count(value)]
        for flag, value in (
            ("--delay-replies", delay_replies),
            ("--delay-logger", delay_logger),
            ("--restart-after", restart_after),
            ("--restart-down", restart_down),
        ):
            if value:
                options += [flag, repr(float(value))]
        if silent_publisher:
            options.append("--silent-publisher")
        if verbose:
            options.append("--verbose")
        self._options = options
        self._process = None
        self._lock = threading.Lock()  # one control command at a time
        self._changed = threading.Condition()
        self._answers = collections.deque()
        self._ready_lines = 0
        self._log = collections.deque(maxlen=200)
        self._readers = []

    # -- life cycle ---------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def running(self):
        return self._process is not None and self._process.poll() is None

    def endpoint(self, port):
        return f"tcp://{self.address}:{port}"

    def log(self):
        """The last lines the program wrote to its error stream (warnings, and
        its log when verbose)."""
        return list(self._log)

    def wait_for_log(self, text, timeout=5.0):
        """Waits until a line of the program's error stream holds `text`, and
        returns that line, or None when the time ran out. The ready line and
        the warnings come on two streams, read by two threads, so a warning
        printed before the program served may still be on its way."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self._log:
                    if text in line:
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._changed.wait(min(left, 0.1))

    def start(self):
        if self.running:
            raise SimulatorError("the simulator is already running")
        if not self.program.exists():
            raise SimulatorError(
                f"the simulator program is not installed at {self.program}"
            )
        for _attempt in range(20):
            if self._pick_address:
                self.address = random_loopback()
            if self._launch():
                return self
            if self._process.returncode != EXIT_ADDRESS_IN_USE:
                break
            if not self._pick_address:
                raise SimulatorError(
                    f"the address {self.address} is in use: another program "
                    f"listens there on one of the ports "
                    f"{', '.join(map(str, self.ports))}"
                )
        raise SimulatorError(
            f"zarn-sim did not start (exit status {self._process.returncode}): "
            + " | ".join(self.log()[-5:])
        )

    def _launch(self):
        command = [
            str(self.program),
            "--config",
            str(self.config),
            "--address",
            self.address,
            "--speed",
            repr(float(self.speed)),
            "--ports",
            ",".join(str(p) for p in self.ports),
            *self._options,
        ]
        self._ready_lines = 0
        self._answers.clear()
        self._log.clear()
        self._process = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
            start_new_session=self.new_session,
        )
        self._readers = [
            threading.Thread(
                target=self._read, args=(self._process.stdout, False), daemon=True
            ),
            threading.Thread(
                target=self._read, args=(self._process.stderr, True), daemon=True
            ),
        ]
        for reader in self._readers:
            reader.start()
        if self.wait_ready(1, self.ready_timeout):
            return True
        self._finish_process()
        return False

    def _read(self, stream, is_log):
        try:
            for line in stream:
                line = line.rstrip("\n")
                with self._changed:
                    if is_log:
                        self._log.append(line)
                    elif line.startswith("zarn-sim ready"):
                        self._ready_lines += 1
                    elif line.startswith(("ok", "error")):
                        self._answers.append(line)
                    self._changed.notify_all()
                if is_log and self.verbose:
                    print(line, file=sys.stdout, flush=True)
            with self._changed:
                self._changed.notify_all()
        except ValueError:
            # The pipe was closed under us while stopping: nothing more to read.
            return

    def wait_ready(self, count=1, timeout=10.0):
        """Waits until the program has said it serves `count` times (once at
        start, once more after every restart). False when it exited first or
        the time ran out."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while self._ready_lines < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._process.poll() is not None:
                    return self._ready_lines >= count
                self._changed.wait(min(left, 0.1))
        return True

    def _finish_process(self, timeout=5.0):
        process = self._process
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # The readers end at the pipes' end of file once the program has gone;
        # closing a pipe under a reader still iterating it would fail there.
        for reader in self._readers:
            reader.join(timeout)
        for stream in (process.stdin, process.stdout, process.stderr):
            try:
                stream.close()
            except (OSError, ValueError):
                pass
        return process.returncode

    def stop(self, timeout=5.0):
        """Stops the program (SIGTERM, then SIGKILL after `timeout` seconds)
        and returns its exit status; 0 is a clean stop."""
        if self._process is None:
            return None
        return self._finish_process(timeout)

    # -- control commands ---------------------------------------------------

    def command(self, line, timeout=5.0):
        """Sends one control command and returns its answer. Raises
        SimulatorError for an answer that starts with "error"."""
        if not self.running:
            raise SimulatorError("the simulator is not running")
        with self._lock:
            with self._changed:
                self._answers.clear()
            try:
                self._process.stdin.write(line.strip() + "\n")
                self._process.stdin.flush()
            except (BrokenPipeError, ValueError) as error:
                raise SimulatorError(f"the simulator is gone: {error}") from None
            deadline = time.monotonic() + timeout
            with self._changed:
                while not self._answers:
                    left = deadline - time.monotonic()
                    if left <= 0 or self._process.poll() is not None:
                        raise SimulatorError(f"no answer to {line!r}")
                    self._changed.wait(min(left, 0.1))
                answer = self._answers.popleft()
        if answer.startswith("error"):
            raise SimulatorError(answer[len("error ") :])
        return answer

    def withhold_replies(self, count=1, channel="actions"):
        """The next `count` requests on `channel` ("actions" or "logger") get
        no reply and are not acted on; "all" for every one, 0 to stop."""
        return self.command(f"withhold {channel} {_count(count)}")

    def delay_replies(self, seconds, channel="actions"):
        """Replies on `channel` are sent `seconds` late (0 to stop)."""
        return self.command(f"delay {channel} {float(seconds)!r}")

    def reject(self, count=1):
        """The next `count` action records are refused with result -105."""
        return self.command(f"reject {_count(count)}")

    def silent_publisher(self, on=True):
        """Results are computed but not published while on."""
        return self.command(f"silent {'on' if on else 'off'}")

    def restart(self, down=1.0, wait=True):
        """Closes the ports for `down` seconds, then serves a freshly started
        controller (drives need homing again). With `wait`, returns once it
        serves again."""
        with self._changed:
            expected = self._ready_lines + 1
        answer = self.command(f"restart {float(down)!r}")
        if wait and not self.wait_ready(expected, down + self.ready_timeout):
            raise SimulatorError("the simulator did not come back after its restart")
        return answer

    def set_input(self, device, pin, value):
        """Sets input `pin` of IO module `device` (MorvoID) by hand."""
        return self.command(f"input {int(device)} {int(pin)} {int(value)}")

    def status(self):
        """The program's counters and fault switches, as a dict of texts."""
        answer = self.command("status")
        fields = {}
        for word in answer.split()[2:]:
            if "=" in word:
                key, value = word.split("=", 1)
                fields[key] = value
            elif word in ("up", "down"):
                fields["state"] = word
        return fields

    # -- configuration for clients -----------------------------------------

    def client_config(self, path):
        """Writes a copy of the configuration whose server_address is this
        simulator's address (the client takes the file's address over its
        own keyword) and returns its path."""
        return config_with_address(self.config, self.address, path)


def config_with_address(config, address, path):
    """Writes to `path` a copy of the configuration file `config` whose
    kvt_handler/server_address is `address` (added when the file has none),
    leaving every other line as it was; returns the path."""
    config = Path(config)
    text = config.read_text(encoding="utf-8")
    # Quoted, so that no host name is read as another kind of value.
    quoted = "'" + str(address).replace("'", "''") + "'"
    line = re.compile(r"^(\s+server_address\s*:)[^\n#]*", re.MULTILINE)
    if line.search(text):
        text = line.sub(lambda m: f"{m.group(1)} {quoted}", text, count=1)
    else:
        section = re.search(r"^kvt_handler\s*:[^\n]*\n", text, re.MULTILINE)
        if section is None:
            raise SimulatorError(f"{config} has no kvt_handler section")
        following = re.compile(r"^([ \t]+)\S", re.MULTILINE).search(text, section.end())
        indent = following.group(1) if following else "  "
        at = section.end()
        text = f"{text[:at]}{indent}server_address: {quoted}\n{text[at:]}"
    path = Path(path)
    path.write_text(text, encoding="utf-8")
    return path


def run_program(arguments):
    """`zarn sim ARGS`: becomes the zarn-sim program with ARGS, so that signals
    and the exit status are the program's own."""
    if not PROGRAM.exists():
        print(f"zarn: the simulator program is not installed at {PROGRAM}")
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(PROGRAM, [str(PROGRAM), *arguments])
