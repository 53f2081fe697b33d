"""A TLS server for the host's TLS tests that controls exactly how its
bytes go out: Python's ssl module over memory BIOs, so that application
records can ride in the same write as the last handshake message, or trickle
out a few bytes at a time. It also counts the TLS records the host sends."""

import socket
import ssl
import subprocess
import threading
import time

APPLICATION_DATA = 23


def make_identity(folder):
    """A self-signed RSA key and certificate in |folder|; (cert, key)."""
    cert = str(folder / "cert.pem")
    key = str(folder / "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=tls-peer", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def record_types(stream):
    """(content type, length) of every complete TLS record in |stream|."""
    records = []
    offset = 0
    while offset + 5 <= len(stream):
        length = int.from_bytes(stream[offset + 3:offset + 5], "big")
        if offset + 5 + length > len(stream):
            break
        records.append((stream[offset], length))
        offset += 5 + length
    return records


class TlsPeer:
    """Serves one connection on 127.0.0.1 in a thread. |bundle| goes out in
    the same write as the server's last handshake flight; |trickle| after it,
    |piece| bytes at a time."""

    def __init__(self, cert, key, *, versions=(ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_2),
                 bundle=b"", trickle=b"", piece=7):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        if versions[0] < ssl.TLSVersion.TLSv1_2:
            # OpenSSL 3 allows the old versions only at security level 0.
            self.context.set_ciphers("DEFAULT:@SECLEVEL=0")
        self.context.minimum_version, self.context.maximum_version = versions
        self.bundle = bundle
        self.trickle = trickle
        self.piece = piece
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.from_host = bytearray()   # every raw byte the host sent
        self.plaintext = bytearray()   # what the host sent, decrypted
        self.handshake_done = False
        self.version = None
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def join(self, timeout=200):
        self.thread.join(timeout)
        self.listener.close()
        assert not self.thread.is_alive(), "peer still running"

    def application_records(self):
        records = [length for kind, length in record_types(bytes(self.from_host))
                   if kind == APPLICATION_DATA]
        # TLS 1.3 hides the client's Finished in the first such record.
        return records[1:] if self.version == "TLSv1.3" else records

    def _run(self):
        try:
            self.listener.settimeout(180)
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(180)
                self._serve(conn)
        except Exception as e:  # reported through self.error
            self.error = e

    def _receive(self, conn, incoming):
        data = conn.recv(65536)
        if data:
            self.from_host += data
            incoming.write(data)
        return data

    def _serve(self, conn):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context.wrap_bio(incoming, outgoing, server_side=True)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pending = outgoing.read()
                if pending:
                    conn.sendall(pending)
                if not self._receive(conn, incoming):
                    return
            except ssl.SSLError:
                # The alert tells the host why, as a real receiver's would.
                conn.sendall(outgoing.read())
                raise
        self.handshake_done = True
        self.version = tls.version()
        # The last handshake flight is still in |outgoing|: application data
        # written now travels in the same send.
        if self.bundle:
            tls.write(self.bundle)
        conn.sendall(outgoing.read())
        if self.trickle:
            tls.write(self.trickle)
            records = outgoing.read()
            for i in range(0, len(records), self.piece):
                conn.sendall(records[i:i + self.piece])
                time.sleep(0.002)
        # Then take what the host sends until it closes.
        while True:
            try:
                data = self._receive(conn, incoming)
            except (ConnectionResetError, socket.timeout):
                return
            if not data:
                return
            while True:
                try:
                    self.plaintext += tls.read(65536)
                except ssl.SSLWantReadError:
                    break
                except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                    return
