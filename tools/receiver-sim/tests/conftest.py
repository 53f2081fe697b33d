import contextlib
import io
import os
import socket
import ssl
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from veyra_receiver import cli, wire  # noqa: E402
from veyra_receiver.receiver import Receiver  # noqa: E402

SCRIPT = os.path.join(ROOT, "veyra-receiver")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# SPS and PPS of a 1920x1080 High profile, level 4.2 stream (made with an
# ordinary encoder), in Annex B form.
SPS_1080 = bytes.fromhex("6764002aacd940780227e5c044000003000400000300503c60c658")
PPS_1080 = bytes.fromhex("68ebe3cb22c0")
CONFIG_1080 = b"\x00\x00\x00\x01" + SPS_1080 + b"\x00\x00\x00\x01" + PPS_1080
IDR_UNIT = b"\x00\x00\x00\x01\x65\x88\x84\x00\x33"
P_UNIT = b"\x00\x00\x00\x01\x41\x9a\x22\x11"

def hello_ack(host_id="0123456789abcdef0123456789abcdef", token="", name="Test PC"):
    return {"protocolVersion": 1, "hostPlatform": "windows", "hostVersion": "0.1.0",
            "codec": "h264", "features": ["idr-request", "set-bitrate", "keepalive",
                                          "host-stats", "pairing"],
            "hostId": host_id, "hostName": name, "token": token}


VIDEO_CONFIG = {"codec": "h264", "width": 1920, "height": 1080, "fps": 60,
                "bitrateBps": 12000000, "profile": "high", "level": "4.2"}


class FakeHost:
    """The host's side of a connection, just enough to drive the receiver."""

    def __init__(self, port, tls=False, tls_max=None):
        raw = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.peer_der = None
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            if tls_max:
                ctx.maximum_version = tls_max
            self.sock = ctx.wrap_socket(raw)
            self.peer_der = self.sock.getpeercert(binary_form=True)
        else:
            self.sock = raw
        self.reader = wire.FrameReader()
        self.queue = []
        self.seen = []
        self.counters = wire.SequenceCounters()
        self.eof = False

    def send(self, code, payload=b"", channel=0, flags=0, frame_id=0, timestamp_us=None):
        ts = time.monotonic_ns() // 1000 if timestamp_us is None else timestamp_us
        self.sock.sendall(wire.encode_frame(code, payload, channel=channel, flags=flags,
                                            sequence=self.counters.next(channel),
                                            frame_id=frame_id, timestamp_us=ts))

    def send_json(self, code, obj):
        self.send(code, wire.encode_json(obj))

    def raw(self, data):
        self.sock.sendall(data)

    def next(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.queue:
            if self.eof:
                raise EOFError("receiver closed the connection")
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError("no frame within %g s" % timeout) from None
            except (ConnectionResetError, ssl.SSLError):
                data = b""
            if not data:
                self.eof = True
                continue
            self.queue += self.reader.feed(data)
        frame = self.queue.pop(0)
        self.seen.append(frame)
        return frame

    def expect(self, code, timeout=10, answer_pings=True):
        """Read up to the next frame of this type, answering PINGs on the way."""
        while True:
            h, p = self.next(timeout)
            if h.type == wire.PING and answer_pings and code != wire.PING:
                ping = wire.decode_ping(p)
                self.send(wire.PONG, wire.encode_ping(ping["pingId"], ping["originUs"],
                                                      time.monotonic_ns() // 1000))
            if h.type == code:
                return h, p

    def expect_json(self, code, timeout=10):
        return wire.decode_json(self.expect(code, timeout)[1])

    def drain_until_closed(self, timeout=10):
        """Every frame up to the receiver's close."""
        frames = []
        try:
            while True:
                frames.append(self.next(timeout))
        except EOFError:
            return frames

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


@contextlib.contextmanager
def serve(state_dir, *args):
    """A receiver on a free loopback port, in a thread, for one test."""
    cfg = cli.parse_config(["--port", "0", "--bind", "127.0.0.1", "--state", str(state_dir)]
                           + list(args))
    cfg.keep_events = True
    cfg.verbosity = 0
    rx = Receiver(cfg, out=io.StringIO())
    thread = threading.Thread(target=rx.run, name="receiver", daemon=True)
    thread.start()
    assert rx.ready.wait(30), "receiver did not start"
    assert rx.port, "receiver failed to start: %r" % (rx.events[-1:] if rx.events else None)
    try:
        yield rx
    finally:
        rx.request_stop("test finished")
        thread.join(30)
        assert not thread.is_alive(), "receiver did not stop"


def wait_for(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


def events(rx, kind):
    return [e for e in list(rx.events) if e["event"] == kind]


@pytest.fixture
def state(tmp_path):
    return tmp_path / "state"
