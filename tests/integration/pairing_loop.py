"""A paired receiver that makes the host save its pairing store over and
over: over TLS with the key the store pins for it, after HELLO_ACK it sends
PAIR_ACCEPTED with a fresh token, again and again, each of which the host
stores and saves. Used to kill the host in the middle of a save. Also renders
the store file the host must write, byte for byte."""

import base64
import json
import os
import socket
import ssl
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "receiver-sim"))
from veyra_receiver import wire  # noqa: E402

DEVICE = "loop-device"
TOKEN_WIDTH = 14


def token(trial, index):
    """Unique per save, all of one length, so that a store file holding any
    of them is the template with that token put in."""
    return "t%04d-%08d" % (trial, index)


def render_store(host_id, host_name, receivers, pins):
    """The store file as the host writes it: compact JSON, keys in a fixed
    order, map members in ascending byte order."""
    def text(value):
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"))

    def members(mapping):
        return "{" + ",".join("%s:%s" % (text(k), text(v)) for k, v in sorted(mapping.items())) + "}"

    return ('{"hostId":%s,"hostName":%s,"receivers":%s,"pins":%s}' % (
        text(host_id), text(host_name), members(receivers), members(pins))).encode("utf-8")


def key_hash(cert):
    """Base64 SHA-256 of the certificate's SubjectPublicKeyInfo: what the host
    pins."""
    run = lambda args, data: subprocess.run(args, input=data, check=True,  # noqa: E731
                                            capture_output=True).stdout
    pubkey = run(["openssl", "x509", "-in", cert, "-pubkey", "-noout"], None)
    der = run(["openssl", "pkey", "-pubin", "-outform", "DER"], pubkey)
    digest = run(["openssl", "dgst", "-sha256", "-binary"], der)
    return base64.b64encode(digest).decode()


def big_store(host_id, host_name, devices, pin):
    """A store of |devices| paired devices besides DEVICE, which is paired
    with the key |pin|, so that writing it takes a while; returns (bytes,
    receivers, pins)."""
    receivers = {"dev-%06d" % i: "tok-%06d-%s" % (i, "x" * 24) for i in range(devices)}
    pins = {"dev-%06d" % i: "pin%06d%s=" % (i, "P" * 34) for i in range(devices)}
    receivers[DEVICE] = token(0, 0)
    pins[DEVICE] = pin
    return render_store(host_id, host_name, receivers, pins), receivers, pins


def hello():
    body = json.dumps({"protocolVersion": 1, "deviceId": DEVICE, "appVersion": "loop"})
    return wire.encode_frame(wire.HELLO, body.encode())


def pair_accepted(value):
    return wire.encode_frame(wire.PAIR_ACCEPTED, json.dumps({"token": value}).encode())


class PairingLoop:
    """Listens on 127.0.0.1 with TLS (|cert|, |key|); serves one host
    connection per `serve` call."""

    def __init__(self, cert, key):
        self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._tls.load_cert_chain(cert, key)
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self._listener.settimeout(60)
        self.port = self._listener.getsockname()[1]

    def close(self):
        self._listener.close()

    def serve(self, trial):
        """Accepts the host, sends HELLO, waits for HELLO_ACK and then sends
        PAIR_ACCEPTED until the host goes. Returns a Conversation at once,
        once the first PAIR_ACCEPTED is on its way."""
        conn, _ = self._listener.accept()
        conn.settimeout(60)
        conn = self._tls.wrap_socket(conn, server_side=True)
        conversation = Conversation(conn, trial)
        conversation.start()
        return conversation


class Conversation:
    def __init__(self, conn, trial):
        self._conn = conn
        self._trial = trial
        self.ack = None          # the HELLO_ACK payload
        self.sent = 0            # PAIR_ACCEPTED frames handed to the socket
        self.acked = threading.Event()
        self._reader = threading.Thread(target=self._read, daemon=True)

    def start(self):
        self._conn.sendall(hello())
        self._reader.start()
        if not self.acked.wait(60):
            raise RuntimeError("no HELLO_ACK from the host")
        self._writer = threading.Thread(target=self._write, daemon=True)
        self._writer.start()

    def tokens(self):
        """Every token this conversation may have got into the store."""
        return [token(self._trial, i) for i in range(1, self.sent + 1)]

    def _read(self):
        # Reads only up to HELLO_ACK: the TLS connection is not to be used
        # from two threads at once, and the writer starts after it.
        reader = wire.FrameReader()
        try:
            while self.ack is None:
                data = self._conn.recv(65536)
                if not data:
                    break
                for header, payload in reader.feed(data):
                    if header.type == wire.HELLO_ACK and self.ack is None:
                        self.ack = json.loads(payload)
                        self.acked.set()
        except OSError:
            pass

    def _write(self):
        try:
            while True:
                batch = b"".join(pair_accepted(token(self._trial, self.sent + 1 + i))
                                 for i in range(8))
                self.sent += 8
                self._conn.sendall(batch)
        except OSError:
            pass

    def finish(self):
        self._writer.join(30)
        self._reader.join(30)
        self._conn.close()
