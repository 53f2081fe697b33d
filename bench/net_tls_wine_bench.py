#!/usr/bin/python3
"""The connection over TLS under Wine: the Windows build's tls_probe (Schannel)
sends 40 KB video frames at full speed to a TLS 1.2 server running natively
(Python's ssl), then PINGs behind a full video queue that this server answers
with PONGs. Prints what the server received per second and the PING round
trips, and one RESULT line of key=value figures. Figures only; nothing is
asserted.

  bench/net_tls_wine_bench.py BUILD_DIR [SECONDS]

BUILD_DIR is a Windows build (cmake --preset windows) with tls_probe built;
its Wine prefix is BUILD_DIR/wine. Given a native build instead, the native
tls_probe (OpenSSL) runs against the same server, the figure the Wine one is
compared with.
"""

import pathlib
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
HEADER = struct.Struct(">4sHHBBHIQQI")
VIDEO_FRAME, STREAM_STOP, PING, PONG = 16, 7, 48, 49


def serve(listener, context, results):
    conn, _ = listener.accept()
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)
    stream = bytearray()
    video = video_bytes = 0
    first = stopped = None
    with conn:
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                conn.sendall(outgoing.read())
                incoming.write(conn.recv(65536))
        conn.sendall(outgoing.read())
        while True:
            data = conn.recv(262144)
            if not data:
                break
            incoming.write(data)
            try:
                while True:
                    stream += tls.read(262144)
            except ssl.SSLWantReadError:
                pass
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                break
            offset = 0
            while len(stream) - offset >= HEADER.size:
                fields = HEADER.unpack_from(stream, offset)
                kind, length = fields[2], fields[9]
                if len(stream) - offset < HEADER.size + length:
                    break
                if kind == VIDEO_FRAME and stopped is None:
                    first = first or time.monotonic()
                    video += 1
                    video_bytes += HEADER.size + length
                elif kind == STREAM_STOP:
                    stopped = time.monotonic()
                elif kind == PING:
                    payload = bytes(stream[offset + HEADER.size:offset + HEADER.size + length])
                    pong = HEADER.pack(b"VYRA", 1, PONG, 0, 0, 0, 0, 0, fields[8], len(payload))
                    tls.write(pong + payload)
                    conn.sendall(outgoing.read())
                offset += HEADER.size + length
            del stream[:offset]
    results.update(video=video, video_bytes=video_bytes, first=first, stopped=stopped)


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    seconds = sys.argv[2] if len(sys.argv) > 2 else "3"
    with tempfile.TemporaryDirectory() as folder:
        cert, key = folder + "/cert.pem", folder + "/key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=bench", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        listener = socket.create_server(("127.0.0.1", 0))
        results = {}
        server = threading.Thread(target=serve, args=(listener, context, results))
        server.start()
        native = build / "tests" / "integration" / "tls_probe"
        if native.exists():
            command, where = [str(native)], "natively"
        else:
            command = [str(ROOT / "scripts" / "wine-run"), "--dir", str(build / "wine"),
                       str(build / "tests" / "integration" / "tls_probe.exe")]
            where = "under Wine"
        probe = subprocess.run(
            command + ["127.0.0.1", str(listener.getsockname()[1]), "bench", seconds],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        server.join(60)
        out = probe.stdout.decode().replace("\r\n", "\n")
        if probe.returncode != 0:
            print(out, probe.stderr.decode(), file=sys.stderr)
            return 1
        sent = int(out.split("sent_video=")[1].split()[0])
        elapsed = results["stopped"] - results["first"]
        print("TLS 1.2 %s, 40 KB video at full speed for %s s:" % (where, seconds))
        print("  received %d of %d queued frames (%.1f%% dropped by the full queue)" %
              (results["video"], sent, 100.0 * (1 - results["video"] / sent)))
        print("  %.0f frames/s, %.1f MB/s" % (results["video"] / elapsed,
                                               results["video_bytes"] / elapsed / 1e6))
        rtt = ""
        for line in out.splitlines():
            if line.startswith("rtt_us"):
                print("  PING behind a full video queue, round trip (us): " + line[7:])
                for pair in line[7:].split():
                    name, value = pair.split("=")
                    rtt += " rtt_%s_us=%s" % (name, value)
        print("RESULT frames_per_s=%.0f mb_per_s=%.1f dropped_pct=%.1f%s" %
              (results["video"] / elapsed, results["video_bytes"] / elapsed / 1e6,
               100.0 * (1 - results["video"] / sent), rtt))
    return 0


if __name__ == "__main__":
    sys.exit(main())
