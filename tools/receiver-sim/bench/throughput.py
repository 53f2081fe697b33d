#!/usr/bin/env python3
"""How fast the simulated receiver takes in video: a fake host sends frames
as fast as the acknowledgements allow (a window of frames in flight) and
prints frames per second, megabits per second and the acknowledgement round
trip.  Not a test: it asserts nothing.

    /usr/bin/python3 tools/receiver-sim/bench/throughput.py [--frames N] [--size BYTES] [--no-tls]
"""

import argparse
import io
import os
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from conftest import CONFIG_1080, FakeHost, hello_ack  # noqa: E402
from veyra_receiver import cli, wire  # noqa: E402
from veyra_receiver.receiver import Receiver  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--frames", type=int, default=600)
    p.add_argument("--size", type=int, default=50_000, help="bytes per access unit (default 50000)")
    p.add_argument("--window", type=int, default=8, help="frames in flight (default 8)")
    p.add_argument("--no-tls", action="store_true")
    a = p.parse_args()
    with tempfile.TemporaryDirectory() as state:
        argv = ["--port", "0", "--bind", "127.0.0.1", "--state", state, "--ping-interval", "0"]
        if a.no_tls:
            argv.append("--no-tls")
        rx = Receiver(cli.parse_config(argv), out=io.StringIO())
        thread = threading.Thread(target=rx.run, daemon=True)
        thread.start()
        rx.ready.wait(30)
        host = FakeHost(rx.port, tls=not a.no_tls)
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack())
        host.expect(wire.DEVICE_INFO)
        host.send(wire.VIDEO_CONFIG_DATA, CONFIG_1080, channel=1, flags=2)
        idr = b"\x00\x00\x00\x01\x65" + os.urandom(a.size - 5)
        delta = b"\x00\x00\x00\x01\x41" + os.urandom(a.size - 5)
        sent_at = {}
        rtts = []
        start = time.perf_counter()
        acked = 0
        for i in range(a.frames):
            key = i % 60 == 0
            sent_at[i] = time.perf_counter()
            host.send(wire.VIDEO_FRAME, idr if key else delta, channel=1, flags=5 if key else 4,
                      frame_id=i)
            while i - acked >= a.window:
                ack = wire.decode_frame_ack(host.expect(wire.FRAME_ACK)[1])
                rtts.append(time.perf_counter() - sent_at.pop(ack["frameId"]))
                acked += 1
        while acked < a.frames:
            ack = wire.decode_frame_ack(host.expect(wire.FRAME_ACK)[1])
            rtts.append(time.perf_counter() - sent_at.pop(ack["frameId"]))
            acked += 1
        elapsed = time.perf_counter() - start
        host.close()
        rx.request_stop("benchmark done")
        thread.join(30)
        rtts.sort()
        print("%s, %d frames of %d bytes: %.0f frames/s, %.1f Mbit/s; ack round trip p50 %.2f ms, "
              "p95 %.2f ms" % ("plaintext" if a.no_tls else "TLS", a.frames, a.size,
                               a.frames / elapsed, a.frames * a.size * 8 / elapsed / 1e6,
                               rtts[len(rtts) // 2] * 1e3, rtts[int(len(rtts) * 0.95)] * 1e3))


if __name__ == "__main__":
    main()
