"""A tiny fake host talks to the receiver over loopback, with and without TLS."""

import contextlib
import random
import ssl
import time

import pytest

from veyra_receiver import identity, wire
from conftest import (CONFIG_1080, IDR_UNIT, P_UNIT, VIDEO_CONFIG, FakeHost,
                      events, hello_ack, serve, wait_for)


def stream_frames(host, count=3):
    """VIDEO_CONFIG, STREAM_START, config data, then an IDR and P frames;
    returns the FRAME_ACKs."""
    host.send_json(wire.VIDEO_CONFIG, VIDEO_CONFIG)
    host.send(wire.STREAM_START)
    host.send(wire.VIDEO_CONFIG_DATA, CONFIG_1080, channel=1, flags=wire.FLAG_CODEC_CONFIG)
    acks = []
    for i in range(count):
        idr = i == 0
        host.send(wire.VIDEO_FRAME, IDR_UNIT if idr else P_UNIT, channel=1,
                  flags=wire.FLAG_ACCESS_UNIT | (wire.FLAG_KEYFRAME if idr else 0), frame_id=100 + i)
        acks.append(wire.decode_frame_ack(host.expect(wire.FRAME_ACK)[1]))
    return acks


@pytest.mark.parametrize("tls", [True, False], ids=["tls", "plaintext"])
def test_first_pairing_then_streaming_then_known_host(state, tls):
    args = [] if tls else ["--no-tls"]
    with serve(state, *args) as rx:
        host = FakeHost(rx.port, tls=tls)
        if tls:
            spki = identity.spki_from_cert_der(host.peer_der)
            assert identity.key_hash(spki) == rx.identity.key_hash
        h, p = host.expect(wire.HELLO)
        assert (h.channel, h.flags, h.frame_id) == (0, 0, 0)
        hello = wire.decode_json(p)
        assert list(hello) == ["protocolVersion", "deviceId", "appVersion"]
        assert hello["protocolVersion"] == 1 and hello["deviceId"] == rx.device_id

        host.send_json(wire.HELLO_ACK, hello_ack(token=""))
        token = host.expect_json(wire.PAIR_ACCEPTED)["token"]
        info = host.expect_json(wire.DEVICE_INFO)
        assert len(token) >= 16
        assert list(info) == ["model", "widthPx", "heightPx", "densityDpi", "refreshHz",
                              "h264LowLatency", "hevc", "maxDecodeWidth", "maxDecodeHeight",
                              "touch", "folded", "rotation"]

        sent_at = time.monotonic_ns() // 1000
        host.send(wire.PING, wire.encode_ping(7, sent_at))
        pong = wire.decode_ping(host.expect(wire.PONG)[1])
        assert (pong["pingId"], pong["originUs"]) == (7, sent_at) and pong["replyUs"] > 0

        acks = stream_frames(host)
        assert [a["frameId"] for a in acks] == [100, 101, 102]
        assert all(a["receivedUs"] < a["decodedUs"] < a["presentedUs"] for a in acks)
        host.close()
        assert wait_for(lambda: events(rx, "closed"))

        # The same host again: its token is known, so no prompt and no PAIR_ACCEPTED.
        host = FakeHost(rx.port, tls=tls)
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack(token=token))
        info = host.expect_json(wire.DEVICE_INFO)
        assert wire.PAIR_ACCEPTED not in [f[0].type for f in host.seen]
        host.close()
        assert wait_for(lambda: len(events(rx, "closed")) == 2)
    s = rx.summary
    assert (s["connections"], s["frames"], s["keyframes"], s["configData"]) == (2, 3, 1, 1)
    assert s["problems"] == 0, [e["reason"] for e in events(rx, "problem")]
    assert s["endToEndMs"]["n"] == 3 and s["rttMs"]["n"] >= 1

    # A new run with the same state folder still knows the host.
    with serve(state, *args) as rx2:
        host = FakeHost(rx2.port, tls=tls)
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack(token=token))
        host.expect(wire.DEVICE_INFO)
        assert wire.PAIR_ACCEPTED not in [f[0].type for f in host.seen]
        host.close()
        if tls:
            assert rx2.identity.key_hash == rx.identity.key_hash


def test_tls_1_2_client_and_delayed_approval(state):
    with serve(state, "--approve", "after=0.3", "--ping-interval", "0") as rx:
        host = FakeHost(rx.port, tls=True, tls_max=ssl.TLSVersion.TLSv1_2)
        assert host.sock.version() == "TLSv1.2"
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack(token="a token this receiver never issued"))
        host.expect(wire.PAIR_ACCEPTED)
        host.expect(wire.DEVICE_INFO)
        host.close()
        prompt, decision = events(rx, "prompt")[0], events(rx, "pairing")[0]
        assert prompt["why"] == "its token is not one this device issued"
        assert decision["decision"] == "allow" and decision["t"] - prompt["t"] >= 0.3


def test_denial_sends_permission_denied_and_closes(state):
    with serve(state, "--no-tls", "--approve", "no") as rx:
        host = FakeHost(rx.port)
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack())
        frames = host.drain_until_closed()
        errors = [wire.decode_json(p) for h, p in frames if h.type == wire.ERROR]
        assert errors == [{"code": "PERMISSION_DENIED", "message": "the user did not allow this computer"}]
        assert wire.DEVICE_INFO not in [h.type for h, _ in frames]
    assert identity.PairingMemory(str(state)).hosts == {}


def test_garbage_from_the_host_is_reported_and_survived(state):
    with serve(state, "--no-tls") as rx:
        host = FakeHost(rx.port)
        host.expect(wire.HELLO)
        host.send(wire.HELLO_ACK, b'{"hostId": "x", ')                    # broken JSON
        host.send_json(wire.HELLO_ACK, {"hostId": 5, "token": ""})         # wrong shape
        host.send(wire.PING, bytes(10))                                    # short
        host.send(200, b"?")                                               # unknown type
        host.send(wire.TOUCH, bytes(28))                                   # receiver-only type
        host.send(wire.VIDEO_FRAME, b"not annex b", channel=0, flags=0, frame_id=1)
        host.send_json(wire.VIDEO_CONFIG, [1, 2])                          # not an object
        host.send(wire.PONG, wire.encode_ping(999, 1, 2))                  # never pinged
        host.raw(b"JUNK" + bytes(40))                                      # framing lost
        host.drain_until_closed()
        assert wait_for(lambda: events(rx, "closed"))
        reasons = [e["reason"] for e in events(rx, "problem")]
        for expected in ("HELLO_ACK: bad JSON", 'HELLO_ACK: missing key "protocolVersion"',
                         'HELLO_ACK: key "hostId" should be a string', "PING: short PING",
                         "unknown message type 200", "TOUCH, which only the receiver sends",
                         "VIDEO_FRAME on channel 0", "VIDEO_FRAME with flags 0x00",
                         "VIDEO_FRAME 1 is not an Annex B", "VIDEO_FRAME 1 before VIDEO_CONFIG_DATA",
                         "VIDEO_CONFIG: payload is a JSON list", "PONG for a PING"):
            assert any(expected in r for r in reasons), (expected, reasons)
        assert events(rx, "protocol-error")[0]["reason"] == "bad magic"
        assert events(rx, "closed")[0]["reason"] == "protocol error: bad magic"

        # Still serving: the next connection works.
        host = FakeHost(rx.port)
        host.expect(wire.HELLO)
        host.close()
    assert not events(rx, "internal-error")


def test_random_payloads_of_every_type_leave_the_connection_usable(state):
    rng = random.Random(4)
    pieces = [b"{", b"}", b"[", b"]", b'"', b"\\", b":", b",", b"1e999", b"-", b"null", b"\xff",
              b'"hostId"', b'"token"', b'"width"', b"\x00\x00\x01\x65", b"\x00\x00\x01\x67\x64"]
    types = sorted(wire.NAMES) + [0, 12, 300, 0xFFFF]
    with serve(state, "--no-tls", "--ping-interval", "0") as rx:
        host = FakeHost(rx.port)
        host.expect(wire.HELLO)
        for _ in range(400):
            if rng.random() < 0.5:
                payload = b"".join(rng.choice(pieces) for _ in range(rng.randrange(12)))
            else:
                payload = bytes(rng.randrange(256) for _ in range(rng.randrange(48)))
            host.send(rng.choice(types), payload, channel=rng.randrange(3), flags=rng.randrange(8),
                      frame_id=rng.randrange(1 << 64))
        host.send(wire.PING, wire.encode_ping(123456, 1))
        while wire.decode_ping(host.expect(wire.PONG)[1])["pingId"] != 123456:
            pass    # PONGs for the random PINGs come first
        assert rx.stats.problems > 0
    assert not events(rx, "internal-error")
    assert not events(rx, "protocol-error")


@contextlib.contextmanager
def streaming(state, steps):
    """One plaintext connection run with these scenario steps: the receiver,
    and a host that has negotiated and started the stream."""
    args = ["--no-tls", "--once", "--ping-interval", "0"]
    for s in steps:
        args += ["--action", s]
    with serve(state, *args) as rx:
        host = FakeHost(rx.port)
        host.expect(wire.HELLO)
        host.send_json(wire.HELLO_ACK, hello_ack())
        host.expect(wire.DEVICE_INFO)
        host.send(wire.STREAM_START)
        yield rx, host


def test_scenario_steps_reach_the_host_in_order(state):
    steps = ["stream+0.05 tap 0.25 0.75", "stream+0.05 key a", "stream+0.2 visibility false hidden",
             "stream+0.3 bitrate 4M", "paired+0 display 1768 2208", "stream+0.4 idr",
             "stream+0.4 error NO_DISPLAY testing", "stream+0.5 bad-json SET_BITRATE",
             "stream+0.55 pieces 1 0.001 bitrate 1000", "stream+0.56 idr", "stream+0.9 close"]
    with streaming(state, steps) as (rx, host):
        frames = host.drain_until_closed()
        got = [(h.name, p) for h, p in frames]
        names = [n for n, _ in got]
        assert names == ["DISPLAY_CHANGED", "TOUCH", "KEY", "KEY", "TOUCH", "VISIBILITY",
                         "SET_BITRATE", "REQUEST_IDR", "ERROR", "SET_BITRATE", "SET_BITRATE",
                         "REQUEST_IDR"]
        touches = [wire.decode_touch(p) for n, p in got if n == "TOUCH"]
        assert [(t["action"], t["x"], t["y"]) for t in touches] == [(0, 0.25, 0.75), (2, 0.25, 0.75)]
        keys = [wire.decode_key(p) for n, p in got if n == "KEY"]
        assert [(k["usage"], k["action"]) for k in keys] == [(4, 0), (4, 1)]
        assert wire.decode_json(got[5][1])["visible"] is False
        assert wire.decode_json(got[6][1])["bitrateBps"] == 4000000
        assert wire.decode_json(got[8][1]) == {"code": "NO_DISPLAY", "message": "testing"}
        with pytest.raises(wire.WireError):
            wire.decode_json(got[9][1])
        assert wire.decode_json(got[10][1]) == {"bitrateBps": 1000, "fps": 0}   # sent a byte at a time
        assert wait_for(lambda: rx.summary is not None)   # --once: the run ended by itself
    assert rx.summary["connections"] == 1


def test_a_close_waits_for_a_frame_going_out_in_pieces(state):
    steps = ["stream+0.05 pieces 1 0.01 bitrate 1000", "stream+0.06 idr", "stream+0.07 close"]
    with streaming(state, steps) as (rx, host):
        names = [h.name for h, _ in host.drain_until_closed()]
        assert names == ["SET_BITRATE", "REQUEST_IDR"]


def assert_listened_again(rx):
    # A connect can succeed between listen() and the "listen" line reaching the event reader.
    def kinds():
        return [e["event"] for e in list(rx.events) if e["event"] in ("listen", "unlisten", "accept")]
    wait_for(lambda: len(kinds()) >= 4)
    assert kinds()[:4] == ["listen", "accept", "unlisten", "listen"]


def test_offline_then_listening_again(state):
    with serve(state, "--no-tls", "--action", "connect+0.05 offline 0.3") as rx:
        host = FakeHost(rx.port)
        host.drain_until_closed()
        assert wait_for(lambda: events(rx, "unlisten"))

        def reconnects():
            try:
                FakeHost(rx.port).close()
                return True
            except OSError:
                return False
        assert wait_for(reconnects)
        assert_listened_again(rx)


@pytest.mark.parametrize("tls", [True, False], ids=["tls", "plaintext"])
def test_reset_aborts_the_connection_with_a_tcp_reset_then_goes_offline(state, tls):
    args = ["--action", "connect+0.05 reset 0.3"] + ([] if tls else ["--no-tls"])
    with serve(state, *args) as rx:
        host = FakeHost(rx.port, tls=tls)
        host.expect(wire.HELLO)
        host.sock.settimeout(10)
        # Plaintext sees the reset itself; over TLS the missing close_notify
        # (OpenSSL reports the reset as an unexpected end of file).
        if tls:
            host.sock.suppress_ragged_eofs = False
        with pytest.raises((ConnectionResetError, ssl.SSLEOFError) if tls else ConnectionResetError):
            while host.sock.recv(65536):
                pass
        assert wait_for(lambda: events(rx, "closed"))
        assert events(rx, "closed")[0]["reason"] == "reset by the scenario"
        # The listener closes just after the connection: connect only then.
        assert wait_for(lambda: events(rx, "unlisten"))

        def reconnects():
            try:
                FakeHost(rx.port).close()
                return True
            except OSError:
                return False
        assert wait_for(reconnects)
        assert_listened_again(rx)


def test_a_new_connection_replaces_a_stale_one(state):
    with serve(state, "--no-tls") as rx:
        stale = FakeHost(rx.port)
        stale.expect(wire.HELLO)
        fresh = FakeHost(rx.port)
        fresh.expect(wire.HELLO)
        stale.drain_until_closed()
        assert events(rx, "closed")[0]["reason"].startswith("replaced by a new connection")
        fresh.send_json(wire.HELLO_ACK, hello_ack())
        fresh.expect(wire.DEVICE_INFO)


def test_tls_and_plaintext_mismatches_are_explained(state):
    with serve(state) as rx:
        host = FakeHost(rx.port)
        host.send(wire.PING, wire.encode_ping(1, 1))
        host.drain_until_closed()
        assert wait_for(lambda: events(rx, "closed"))
        assert "the host speaks plaintext" in events(rx, "closed")[0]["reason"]
    with serve(state, "--no-tls") as rx:
        with pytest.raises((ssl.SSLError, OSError)):
            FakeHost(rx.port, tls=True)
        assert wait_for(lambda: events(rx, "closed"))
        assert "the host started a TLS handshake" in events(rx, "closed")[0]["reason"]
