"""The host's TLS channel on Schannel, under Wine, against TLS servers that
run natively: the receiver simulator and a scripted peer (tls_peer.py)."""

import base64
import os
import pathlib
import re
import ssl
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from tls_peer import TlsPeer, make_identity  # noqa: E402

PROBE = os.environ.get("VEYRA_TLS_PROBE", "")
SIMULATOR = str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "receiver-sim" /
                "veyra-receiver")

pytestmark = pytest.mark.skipif(not (PROBE and hostproc.UNDER_WINE),
                                reason="needs the Windows build's tls_probe under Wine")


def run_probe(port, *args, timeout=180):
    result = subprocess.run(hostproc.command(PROBE, "127.0.0.1", str(port), *args),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    # Windows text mode writes CR LF.
    return (result.returncode, result.stdout.decode().replace("\r\n", "\n"),
            result.stderr.decode().replace("\r\n", "\n"))


def fields(stdout):
    return dict(line.split("=", 1) for line in stdout.splitlines() if "=" in line and
                not line.startswith("packet"))


def openssl_key_hash(cert):
    """Base64 SHA-256 of the certificate's SubjectPublicKeyInfo DER."""
    pubkey = subprocess.run(["openssl", "x509", "-in", str(cert), "-pubkey", "-noout"],
                            check=True, capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pubkey,
                         check=True, capture_output=True).stdout
    digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=der, check=True,
                            capture_output=True).stdout
    return base64.b64encode(digest).decode()


def short_code(key_hash):
    hex_digits = base64.b64decode(key_hash)[:8].hex().upper()
    return "-".join(hex_digits[i:i + 4] for i in range(0, 16, 4))


class Simulator:
    """The receiver simulator serving one connection on 127.0.0.1."""

    def __init__(self, state, *extra):
        state.mkdir(exist_ok=True)
        self.port_file = state / "port"
        if self.port_file.exists():
            self.port_file.unlink()
        self.process = subprocess.Popen(
            [sys.executable, SIMULATOR, "--state", str(state), "--port", "0", "--port-file",
             str(self.port_file), "--bind", "127.0.0.1", "--once", "-q", "--duration", "60",
             *extra], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not (self.port_file.exists() and self.port_file.read_text().strip()):
            assert self.process.poll() is None, self.process.stderr.read().decode()
            assert time.monotonic() < deadline, "simulator did not start"
            time.sleep(0.05)
        self.port = int(self.port_file.read_text())

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()


def identity_from_simulator(state, *extra):
    simulator = Simulator(state, *extra)
    try:
        code, out, err = run_probe(simulator.port, "identity")
    finally:
        simulator.stop()
    assert code == 0, out + err
    return fields(out), err, simulator.port


def test_handshake_with_the_simulator_gives_the_openssl_key_hash_and_code(tmp_path):
    state = tmp_path / "sim"
    identity, log, port = identity_from_simulator(state, "--tls-version", "1.2")
    expected = openssl_key_hash(state / "cert.pem")
    assert identity["hash"] == expected
    assert len(expected) == 44 and expected.endswith("=")
    assert identity["code"] == short_code(expected)
    assert re.search(r"INFO  TLS established \(TLS1\.2\), peer key %s\n" % re.escape(expected),
                     log), log
    assert "INFO  connected to 127.0.0.1:%d over TLS1.2\n" % port in log, log


def test_a_renewed_certificate_of_the_same_key_keeps_the_hash(tmp_path):
    state = tmp_path / "sim"
    first, _, _ = identity_from_simulator(state, "--tls-version", "1.2")
    first_cert = (state / "cert.pem").read_bytes()
    second, _, _ = identity_from_simulator(state, "--tls-version", "1.2", "--renew-cert")
    assert (state / "cert.pem").read_bytes() != first_cert
    assert second["hash"] == first["hash"]
    assert second["code"] == first["code"]
    assert second["hash"] == openssl_key_hash(state / "cert.pem")


def test_a_tls13_only_receiver_fails_the_handshake_with_the_failing_status(tmp_path):
    # Wine's Schannel has no TLS 1.3: the handshake must fail cleanly.
    simulator = Simulator(tmp_path / "sim", "--tls-version", "1.3")
    try:
        code, out, err = run_probe(simulator.port, "identity")
    finally:
        simulator.stop()
    assert code == 1, out + err
    status = fields(out)["status"]
    assert int(status, 16) & 0x80000000, status
    assert ("ERROR TLS handshake with 127.0.0.1:%d failed: %s\n" % (simulator.port, status)
            in err), err
    assert re.search(r"ERROR (InitializeSecurityContext failed: %s|TLS handshake: peer closed)"
                     % status, err), err


def frame(message_type, sequence, payload, channel=0):
    header = struct.pack(">4sHHBBHIQQI", b"VYRA", 1, message_type, channel, 0, 0, sequence, 0,
                         0, len(payload))
    return header + payload


def test_a_100000_byte_send_leaves_as_seven_records(tmp_path):
    cert, key = make_identity(tmp_path)
    peer = TlsPeer(cert, key)
    code, out, err = run_probe(peer.port, "send", "100000")
    peer.join()
    assert peer.error is None, repr(peer.error)
    assert code == 0, out + err
    records = peer.application_records()
    assert len(records) == 7, records
    sent = bytes(peer.plaintext)
    payload = bytes((i * 7) & 0xFF for i in range(100000 - 36))
    assert len(sent) == 100000
    assert sent[:4] == b"VYRA" and struct.unpack(">H", sent[6:8])[0] == 16
    assert struct.unpack(">I", sent[32:36])[0] == len(payload)
    assert sent[36:] == payload


def test_records_behind_the_last_handshake_message_and_split_records_are_decrypted(tmp_path):
    cert, key = make_identity(tmp_path)
    first = frame(48, 1, bytes(range(24)))
    second = frame(3, 2, b'{"model":"x"}')
    third = frame(16, 3, bytes((i * 13) & 0xFF for i in range(20000)), channel=1)
    peer = TlsPeer(cert, key, bundle=first + second, trickle=third, piece=7)
    code, out, err = run_probe(peer.port, "receive", "3", timeout=120)
    peer.join()
    assert peer.error is None, repr(peer.error)
    assert code == 0, out + err
    packets = [line for line in out.splitlines() if line.startswith("packet")]
    expected = []
    for data in (first, second, third):
        kind, sequence, length = struct.unpack(">H", data[6:8])[0], \
            struct.unpack(">I", data[12:16])[0], len(data) - 36
        expected.append("packet type=%d sequence=%d length=%d sum=%d" %
                        (kind, sequence, length, sum(data[36:]) & 0xFFFFFFFF))
    assert packets == expected, out + err
