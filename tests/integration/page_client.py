"""The browser's side of the served page for the end-to-end tests, without a
browser: HTTP over TLS (or plaintext from this machine), and a WebSocket
client that carries the simulator's wire frames. Also the host run with
--serve, whose stdout names the page's address."""

import base64
import hashlib
import os
import re
import socket
import ssl
import struct
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from session_peers import WAIT_S, parse_log, wait_for  # noqa: E402

ADDRESS_LINE = re.compile(r"^Open this address on the phone: https://([0-9.]+):(\d+)/#([A-Za-z0-9_-]{22})$")


class ServedHost:
    """veyra-host --serve on |port|, logging to a file; its address lines
    are collected as they come."""

    def __init__(self, workdir, port, *args, data_home=None, approve="yes", name="served",
                 env_extra=None):
        self.log_path = os.path.join(str(workdir), name + ".log")
        env = hostproc.host_env(str(data_home)) if data_home else dict(os.environ)
        env.update(env_extra or {})
        self.approver = hostproc.Approver(approve, self.log_path)
        self.process = hostproc.popen(
            hostproc.HOST, "--serve", "--port", str(port), "--name", "Veyra Test PC",
            "--log", hostproc.windows_path(self.log_path), *args,
            stdin=self.approver.stdin(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=env)
        self.approver.attach(self.process)
        self.port = port
        self.addresses = []
        self.lines = []  # everything printed, in order
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
            m = ADDRESS_LINE.match(self.lines[-1])
            if m:
                self.addresses.append(m.groups())

    def secret(self, count=1):
        """The secret of the |count|-th address line, once it is printed."""
        if not wait_for(lambda: len(self.addresses) >= count):
            raise AssertionError("the host printed no address line %d" % count)
        return self.addresses[count - 1][2]

    def texts(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return [line.text for line in parse_log(f.read())]
        except FileNotFoundError:
            return []

    def wait_text(self, fragment, timeout=WAIT_S):
        return wait_for(lambda: [t for t in self.texts() if fragment in t], timeout)

    def stop(self):
        if self.process.poll() is None:
            if hostproc.UNDER_WINE:
                self.process.kill()
            else:
                self.process.send_signal(2)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.approver.close()


def open_stream(port, tls=True, address="127.0.0.1", timeout=10):
    raw = socket.create_connection((address, port), timeout=timeout)
    if not tls:
        return raw
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context.wrap_socket(raw)


def read_all(stream):
    data = b""
    try:
        while True:
            chunk = stream.recv(65536)
            if not chunk:
                return data
            data += chunk
    except (OSError, ssl.SSLError):
        return data


def http_get(port, path, headers=(), tls=True):
    """One request; the whole response (the server closes after it)."""
    stream = open_stream(port, tls)
    lines = ["GET %s HTTP/1.1" % path, "Host: 127.0.0.1:%d" % port, *headers, "", ""]
    stream.sendall("\r\n".join(lines).encode())
    return read_all(stream)


def new_key():
    return base64.urlsafe_b64encode(os.urandom(32)).rstrip(b"=").decode()


def key_code(key):
    digest = hashlib.sha256(base64.urlsafe_b64decode(key + "=")).digest()
    h = digest[:8].hex().upper()
    return "-".join(h[i:i + 4] for i in range(0, 16, 4))


class PageSocket:
    """A browser's WebSocket to /link: masked binary messages out, each one
    wire frame; the host's messages read back one at a time."""

    def __init__(self, port, key, secret=None, tls=True, origin=None):
        self.stream = open_stream(port, tls)
        host = "127.0.0.1:%d" % port
        query = "key=" + key + ("&secret=" + secret if secret else "")
        origin = origin or ("https://" if tls else "http://") + host
        nonce = base64.b64encode(os.urandom(16)).decode()
        request = ("GET /link?%s HTTP/1.1\r\nHost: %s\r\nOrigin: %s\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                   "\r\n" % (query, host, origin, nonce))
        self.stream.sendall(request.encode())
        self.buffer = b""
        head = self._read_until(b"\r\n\r\n")
        self.status = int(head.split(b" ", 2)[1]) if head else 0
        expected = base64.b64encode(hashlib.sha1(
            (nonce + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
        self.accepted = self.status == 101 and b"Sec-WebSocket-Accept: " + expected in head

    def _read_until(self, marker):
        while marker not in self.buffer:
            try:
                chunk = self.stream.recv(65536)
            except (OSError, ssl.SSLError):
                chunk = b""
            if not chunk:
                return None
            self.buffer += chunk
        head, self.buffer = self.buffer.split(marker, 1)
        return head

    def _read_exact(self, count):
        while len(self.buffer) < count:
            try:
                chunk = self.stream.recv(65536)
            except (OSError, ssl.SSLError):
                chunk = b""
            if not chunk:
                return None
            self.buffer += chunk
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def send_raw(self, opcode, payload, mask=True, fin=True):
        first = (0x80 if fin else 0) | opcode
        length = len(payload)
        if length < 126:
            head = bytes([first, (0x80 if mask else 0) | length])
        elif length < 65536:
            head = bytes([first, (0x80 if mask else 0) | 126]) + struct.pack(">H", length)
        else:
            head = bytes([first, (0x80 if mask else 0) | 127]) + struct.pack(">Q", length)
        if mask:
            key = os.urandom(4)
            payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
            head += key
        self.stream.sendall(head + payload)

    def send(self, frame):
        self.send_raw(2, frame)

    def receive(self):
        """(opcode, payload) of the host's next frame; None once closed."""
        head = self._read_exact(2)
        if head is None:
            return None
        length = head[1] & 0x7F
        if length == 126:
            length = struct.unpack(">H", self._read_exact(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._read_exact(8))[0]
        payload = self._read_exact(length)
        return None if payload is None else (head[0] & 0x0F, payload)

    def close(self):
        try:
            self.stream.close()
        except OSError:
            pass
