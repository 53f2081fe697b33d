"""The host's TLS channel against TLS servers that run natively: the receiver
simulator and a scripted peer (tls_peer.py). The probe is the native build's
(OpenSSL) or the Windows build's under Wine (Schannel); Wine's Schannel has no
TLS 1.3, so the 1.3 cases run natively and check the refusal under Wine."""

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
ROOT = pathlib.Path(__file__).resolve().parents[2]
SIMULATOR = str(ROOT / "tools" / "receiver-sim" / "veyra-receiver")

pytestmark = pytest.mark.skipif(not PROBE, reason="needs the build's tls_probe")

NATIVE = not hostproc.UNDER_WINE
# The versions each back end negotiates.
VERSIONS = ["1.2", "1.3"] if NATIVE else ["1.2"]
PEER_VERSIONS = {"1.2": (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_2),
                 "1.3": (ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_3)}


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


def status_text(name):
    """A status value named in host/base/status_codes.h, as the log prints it."""
    header = (ROOT / "host" / "base" / "status_codes.h").read_text()
    value = re.search(r"\b%s = Hr\((0x[0-9A-Fa-f]+)\)" % name, header).group(1)
    return "0x%08X" % int(value, 16)


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


def probe_the_simulator(state, *extra):
    simulator = Simulator(state, *extra)
    try:
        return run_probe(simulator.port, "identity"), simulator.port
    finally:
        simulator.stop()


def identity_from_simulator(state, *extra):
    (code, out, err), port = probe_the_simulator(state, *extra)
    assert code == 0, out + err
    return fields(out), err, port


@pytest.mark.parametrize("key_type", ["rsa", "ec"])
@pytest.mark.parametrize("version", VERSIONS + (["any"] if NATIVE else []))
def test_handshake_with_the_simulator_gives_the_openssl_key_hash_and_code(tmp_path, version,
                                                                          key_type):
    state = tmp_path / "sim"
    identity, log, port = identity_from_simulator(state, "--tls-version", version,
                                                  "--key-type", key_type)
    expected = openssl_key_hash(state / "cert.pem")
    assert identity["hash"] == expected
    assert len(expected) == 44 and expected.endswith("=")
    assert identity["code"] == short_code(expected)
    name = "TLS1.2" if version == "1.2" else "TLS1.3"
    assert re.search(r"INFO  TLS established \(%s\), peer key %s\n" % (re.escape(name),
                                                                      re.escape(expected)),
                     log), log
    assert "INFO  connected to 127.0.0.1:%d over %s\n" % (port, name) in log, log


def test_a_renewed_certificate_of_the_same_key_keeps_the_hash(tmp_path):
    state = tmp_path / "sim"
    first, _, _ = identity_from_simulator(state, "--tls-version", "1.2")
    first_cert = (state / "cert.pem").read_bytes()
    second, _, _ = identity_from_simulator(state, "--tls-version", "1.2", "--renew-cert")
    assert (state / "cert.pem").read_bytes() != first_cert
    assert second["hash"] == first["hash"]
    assert second["code"] == first["code"]
    assert second["hash"] == openssl_key_hash(state / "cert.pem")


def assert_refused(code, out, err, port):
    assert code == 1, out + err
    status = fields(out)["status"]
    assert int(status, 16) & 0x80000000, status
    assert "ERROR TLS handshake with 127.0.0.1:%d failed: %s\n" % (port, status) in err, err
    assert re.search(r"ERROR (InitializeSecurityContext failed: %s|TLS handshake: peer closed)"
                     % status, err), err


@pytest.mark.skipif(NATIVE, reason="the native channel speaks TLS 1.3")
def test_a_tls13_only_receiver_fails_the_handshake_with_the_failing_status(tmp_path):
    (code, out, err), port = probe_the_simulator(tmp_path / "sim", "--tls-version", "1.3")
    assert_refused(code, out, err, port)


# Wine's Schannel (Wine 8) negotiates TLS 1.1 in spite of the credentials'
# disabled-protocol bits, so this one holds natively only.
@pytest.mark.skipif(not NATIVE, reason="Wine's Schannel accepts TLS 1.1")
@pytest.mark.filterwarnings("ignore:ssl.TLSVersion.TLSv1_1 is deprecated")
def test_a_tls11_only_receiver_fails_the_handshake_with_the_failing_status(tmp_path):
    cert, key = make_identity(tmp_path)
    peer = TlsPeer(cert, key, versions=(ssl.TLSVersion.TLSv1_1, ssl.TLSVersion.TLSv1_1))
    code, out, err = run_probe(peer.port, "identity")
    peer.join()
    assert_refused(code, out, err, peer.port)
    # The peer's protocol_version alert: no common version.
    assert fields(out)["status"] == status_text("kSecEAlgorithmMismatch"), out + err
    assert "ERROR SSL_do_handshake failed: " in err, err


@pytest.mark.skipif(not NATIVE, reason="Wine's Schannel has no TLS 1.3")
@pytest.mark.parametrize("tickets", ["0", "3"])
def test_a_tls13_receiver_s_session_tickets_do_not_hold_up_its_hello(tmp_path, tickets):
    simulator = Simulator(tmp_path / "sim", "--tls-version", "1.3", "--tls-tickets", tickets)
    try:
        code, out, err = run_probe(simulator.port, "receive", "1")
    finally:
        simulator.stop()
    assert code == 0, out + err
    packets = [line for line in out.splitlines() if line.startswith("packet")]
    # HELLO comes first, whatever the tickets before it.
    assert packets and packets[0].startswith("packet type=1 "), out + err


def frame(message_type, sequence, payload, channel=0):
    header = struct.pack(">4sHHBBHIQQI", b"VYRA", 1, message_type, channel, 0, 0, sequence, 0,
                         0, len(payload))
    return header + payload


@pytest.mark.parametrize("version", VERSIONS)
def test_a_100000_byte_send_leaves_as_seven_records(tmp_path, version):
    cert, key = make_identity(tmp_path)
    peer = TlsPeer(cert, key, versions=PEER_VERSIONS[version])
    code, out, err = run_probe(peer.port, "send", "100000")
    peer.join()
    assert peer.error is None, repr(peer.error)
    assert code == 0, out + err
    records = peer.application_records()
    assert len(records) == 7, records
    # At most 16 KiB of plaintext each, plus the cipher's overhead.
    assert all(length <= 16384 + 256 for length in records), records
    sent = bytes(peer.plaintext)
    payload = bytes((i * 7) & 0xFF for i in range(100000 - 36))
    assert len(sent) == 100000
    assert sent[:4] == b"VYRA" and struct.unpack(">H", sent[6:8])[0] == 16
    assert struct.unpack(">I", sent[32:36])[0] == len(payload)
    assert sent[36:] == payload


@pytest.mark.parametrize("version", VERSIONS)
def test_records_behind_the_last_handshake_message_and_split_records_are_decrypted(tmp_path,
                                                                                   version):
    cert, key = make_identity(tmp_path)
    first = frame(48, 1, bytes(range(24)))
    second = frame(3, 2, b'{"model":"x"}')
    third = frame(16, 3, bytes((i * 13) & 0xFF for i in range(20000)), channel=1)
    peer = TlsPeer(cert, key, versions=PEER_VERSIONS[version], bundle=first + second,
                   trickle=third, piece=7)
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
