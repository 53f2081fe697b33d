"""The two ends of a streaming session for the end-to-end tests: the receiver
simulator, run in this process through its Python API, and the host program,
run natively or under Wine, with its log read back from its --log file."""

import io
import os
import re
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "receiver-sim"))
from veyra_receiver import cli, wire  # noqa: E402
from veyra_receiver.receiver import Receiver  # noqa: E402

__all__ = ["HOST_NAME", "WAIT_S", "Host", "LogLine", "Simulator", "parse_log", "state_line",
           "states", "wait_for", "wire"]

HOST_NAME = "Veyra Test PC"
# Under Wine every host start pays for the emulator; waits are generous and
# bounded, never a measure of speed.
WAIT_S = 120 if hostproc.UNDER_WINE else 60


def wait_for(condition, timeout=WAIT_S, interval=0.02):
    """Polls until |condition| gives something true; returns it, or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Simulator:
    """The receiver simulator on 127.0.0.1, serving from a thread of this
    process; every event it records stays in memory."""

    def __init__(self, state_dir, *words):
        config = cli.parse_config(["--state", str(state_dir), "--port", "0", "--bind",
                                   "127.0.0.1", "-q", *words])
        config.keep_events = True
        self._receiver = Receiver(config, out=io.StringIO())
        self._thread = threading.Thread(target=self._receiver.run, name="simulator", daemon=True)
        self._thread.start()
        if not self._receiver.ready.wait(30) or self._receiver.port is None:
            raise RuntimeError("the simulator did not start: %s" % self._receiver.out.getvalue())
        self.port = self._receiver.port
        self.device_id = self._receiver.device_id
        ident = self._receiver.identity
        self.key_hash = ident.key_hash if ident else ""
        self.short_code = ident.short_code if ident else ""

    @property
    def events(self):
        # A copy: the simulator's thread appends while a test reads.
        return list(self._receiver.events)

    def of(self, kind, **match):
        return [e for e in self.events if e["event"] == kind and
                all(e.get(k) == v for k, v in match.items())]

    def received(self, conn=None, types=None):
        """Frames from the host, in arrival order."""
        return [e for e in self.events if e["event"] == "recv" and
                (conn is None or e["conn"] == conn) and (types is None or e["type"] in types)]

    def stop(self):
        self._receiver.request_stop("test finished")
        self._thread.join(30)
        return self._receiver.summary

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


LOG_LINE = re.compile(r"^\[ *(\d+)\.(\d{3})\] (TRACE|DEBUG|INFO |WARN |ERROR) ", re.M)


class LogLine:
    __slots__ = ("us", "level", "text")

    def __init__(self, us, level, text):
        self.us = us
        self.level = level
        self.text = text

    def __repr__(self):
        return "%s %s %r" % (self.us, self.level, self.text)


def parse_log(text):
    """The host's log lines; a message may span several lines of text."""
    text = text.replace("\r\n", "\n")
    starts = list(LOG_LINE.finditer(text))
    lines = []
    for i, m in enumerate(starts):
        end = starts[i + 1].start() if i + 1 < len(starts) else len(text)
        body = text[m.end():end]
        if body.endswith("\n"):
            body = body[:-1]
        lines.append(LogLine(int(m.group(1)) * 1000000 + int(m.group(2)) * 1000,
                             m.group(3).strip(), body))
    return lines


class Host:
    """One run of veyra-host against 127.0.0.1:|port|, logging to a file."""

    def __init__(self, workdir, port, *args, data_home=None, name="host", approve="yes"):
        """|approve|: how this PC's user answers a receiver that is not
        trusted (see hostproc.Approver)."""
        self.log_path = os.path.join(str(workdir), name + ".log")
        if os.path.exists(self.log_path):
            os.remove(self.log_path)
        env = hostproc.host_env(str(data_home)) if data_home else None
        self.approver = hostproc.Approver(approve, self.log_path)
        self.process = hostproc.popen(
            hostproc.HOST, "--host", "127.0.0.1", "--port", str(port), "--name", HOST_NAME,
            "--log", hostproc.windows_path(self.log_path), *args,
            stdin=self.approver.stdin(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=env)
        self.approver.attach(self.process)
        self.returncode = None

    def lines(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return parse_log(f.read())
        except FileNotFoundError:
            return []

    def texts(self, level=None):
        return [line.text for line in self.lines() if level is None or line.level == level]

    def has(self, text, level=None):
        return text in self.texts(level)

    def first(self, text):
        for line in self.lines():
            if line.text == text:
                return line
        return None

    def wait_line(self, text, timeout=WAIT_S):
        return wait_for(lambda: self.first(text), timeout)

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def wait(self, timeout=WAIT_S):
        try:
            self.returncode = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        finally:
            self.approver.close()
        return self.returncode

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.approver.close()


def state_line(before, after, reason):
    return "state %s -> %s (%s)" % (before, after, reason)


def states(lines):
    """The (old, new, reason) of every state change, in order."""
    out = []
    for line in lines:
        m = re.fullmatch(r"state (\S+) -> (\S+) \((.*)\)", line.text)
        if m:
            out.append(m.groups())
    return out
