"""The host's wire codec against the receiver simulator's, which was written
separately from the same protocol tables: frames the simulator writes must
decode the same with the host's decoder, and frames the host writes must
decode, with the right keys in the right order, with the simulator's.

The host's side is the wire_probe program (VEYRA_WIRE_PROBE), run under Wine
in the Windows build; the simulator runs natively through its --wire-encode
and --wire-decode hooks."""

import json
import os
import struct
import subprocess
import sys

import pytest

import hostproc

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SIM_DIR = os.path.join(ROOT, "tools", "receiver-sim")
SIM = [sys.executable, os.path.join(SIM_DIR, "veyra-receiver")]
PROBE = os.environ.get("VEYRA_WIRE_PROBE", "")

sys.path.insert(0, SIM_DIR)
from veyra_receiver import messages  # noqa: E402  (the simulator's key-order checks)

pytestmark = pytest.mark.skipif(not PROBE, reason="VEYRA_WIRE_PROBE is not set")


def sim_encode(action):
    out = subprocess.run(SIM + ["--wire-encode", action], capture_output=True, text=True,
                         timeout=60, check=True)
    return out.stdout.split()


def sim_decode(hex_text):
    """(frames, error): the simulator's decoding of a hex stream."""
    out = subprocess.run(SIM + ["--wire-decode", "-"], input=hex_text, capture_output=True,
                         text=True, timeout=60)
    if out.returncode != 0:
        return [], out.stderr.strip().removeprefix("error: ")
    return [json.loads(line) for line in out.stdout.splitlines()], None


def probe(command, stdin=""):
    out = subprocess.run(hostproc.command(PROBE, command), input=stdin.encode(),
                         capture_output=True, timeout=120)
    return out.returncode, out.stdout.decode("utf-8", "surrogateescape")


def probe_decode(hex_text):
    """(frames, error): the host's decoding of a hex stream."""
    status, text = probe("decode", hex_text)
    lines = [json.loads(line) for line in text.splitlines() if line.strip()]
    if status != 0:
        assert lines and "error" in lines[-1], text
        return lines[:-1], lines[-1]["error"]
    return lines, None


def float_of_bits(bits):
    return struct.unpack(">f", struct.pack(">I", bits))[0]


def same_payload(code, ours, theirs):
    """Compares the two decodings of one payload; returns a complaint or None."""
    if code == 32:  # TOUCH
        mapped = dict(ours)
        mapped["pressure"] = float_of_bits(mapped.pop("pressureBits"))
        mapped["eventTimeUs"] = int(mapped["eventTimeUs"])
        return None if mapped == theirs else "TOUCH %r != %r" % (mapped, theirs)
    if code == 33:  # SCROLL (the host does not read the last 8 bytes)
        theirs = {k: v for k, v in theirs.items() if k != "eventTimeUs"}
        return None if ours == theirs else "SCROLL %r != %r" % (ours, theirs)
    if code == 34:  # KEY (the host reads usage and action only)
        theirs = {k: theirs[k] for k in ("usage", "action")}
        return None if ours == theirs else "KEY %r != %r" % (ours, theirs)
    if code == 17:  # FRAME_ACK
        mapped = {k: int(ours[k]) for k in ("frameId", "receivedUs", "decodedUs", "presentedUs")}
        mapped["dropped"] = ours["byte32"]
        mapped["queued"] = ours["byte33"]
        return None if mapped == theirs else "FRAME_ACK %r != %r" % (mapped, theirs)
    if code in (48, 49):  # PING, PONG
        mapped = {k: int(v) for k, v in ours.items()}
        return None if mapped == theirs else "PING %r != %r" % (mapped, theirs)
    # JSON: same kinds and values, same key order (json.loads keeps a repeated
    # key where it first appeared, with the last value, as the host's parser
    # does).
    if normalised(ours) != normalised(theirs):
        return "JSON %s != %s" % (json.dumps(ours), json.dumps(theirs))
    return None


def normalised(value):
    """A JSON value with its kind spelled out, so that 60 equals 60.0 but 1
    is not true, and members keep their order."""
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, (int, float)):
        return ("number", float(value))
    if isinstance(value, list):
        return ("array", [normalised(v) for v in value])
    if isinstance(value, dict):
        return ("object", [(k, normalised(v)) for k, v in value.items()])
    return (type(value).__name__, value)


# What the simulator sends, with every kind of payload and the broken ones.
RECEIVER_ACTIONS = [
    "hello",
    "hello protocolVersion=2",
    "device-info",
    "device-info widthPx=\"1080\" touch=0 model=7",
    "pair-accepted tok-abc",
    "tap 0.5 0.25",
    "touch move 0.125 0.875 buttons=2 pointer=3",
    "tap 0.333333 1 right",
    "scroll 0.1 -0.2 0.5 0.5",
    "key a",
    "key ctrl+alt+delete",
    "text Hi",
    "frame-ack 5 10 20 30",
    "frame-ack 18446744073709551615 1 2 0",
    "ping",
    "visibility false background",
    "visibility true",
    "bitrate 4M 30",
    "display 1768 2208 folded=true rotation=90",
    "idr",
    "error PERMISSION_DENIED the user said no",
    "send PONG hex:000000000000000700000000000003e8000000000000000f",
    "send 200 hex:0102",
    "send SET_BITRATE {\"bitrateBps\":1,\"bitrateBps\":2,\"fps\":3}",
    "send DISPLAY_CHANGED {\"widthPx\":1e2,\"t\":\"\\u00e9\\/\\u0001\",\"n\":[null,-0.5]}",
    "short TOUCH",
    "short PONG",
    "short FRAME_ACK 35",
    "bad-json SET_BITRATE",
]


@pytest.mark.parametrize("action", RECEIVER_ACTIONS)
def test_receiver_frames_decode_alike(action):
    hex_text = "".join(sim_encode(action))
    theirs, their_error = sim_decode(hex_text)
    ours, our_error = probe_decode(hex_text)
    assert their_error is None and our_error is None, (their_error, our_error)
    assert len(ours) == len(theirs) > 0
    for mine, other in zip(ours, theirs):
        # The host has no log name for VISIBILITY.
        assert mine["type"] == ("UNKNOWN" if other["code"] == 11 else other["type"])
        for key in ("code", "channel", "flags", "sequence", "payloadLength"):
            assert mine[key] == other[key], key
        for key in ("frameId", "timestampUs"):
            assert int(mine[key]) == other[key], key
        if "payloadError" in other:
            assert "payloadError" in mine, mine
            if other["payloadError"].startswith("short "):
                assert mine["payloadError"] == other["payloadError"]
            continue
        assert "payloadError" not in mine, mine
        if other["code"] in (200, 66):
            continue  # no decoder on either side
        problem = same_payload(other["code"], mine["payload"], other["payload"])
        assert problem is None, problem


@pytest.mark.parametrize("action,error", [
    ("bad-magic", "bad magic"),
    ("bad-version", "bad version"),
    ("oversize", "payload too large"),
])
def test_broken_headers_fail_alike(action, error):
    hex_text = "".join(sim_encode(action))
    _, their_error = sim_decode(hex_text)
    _, our_error = probe_decode(hex_text)
    assert their_error == error
    assert our_error == error


def test_split_stream_waits_for_the_rest():
    hex_text = "".join(sim_encode("device-info"))
    _, our_error = probe_decode(hex_text[:-2])
    assert our_error == "incomplete frame"


HOST_TEXTS = {
    "HELLO_ACK": '{"protocolVersion":1,"hostPlatform":"windows","hostVersion":"0.1.0",'
                 '"codec":"h264","features":["idr-request","set-bitrate","keepalive",'
                 '"host-stats","pairing"],"hostId":"host-0123",'
                 '"hostName":"Desk PC \u00e9 \\"quoted\\"","token":""}',
    "VIDEO_CONFIG": '{"codec":"h264","width":1080,"height":2400,"fps":60,'
                    '"bitrateBps":12000000,"profile":"high","level":"4.2"}',
    "HOST_STATS": '{"fps":59.94,"bitrateBps":11873024,"captureMs":1.25,"convertMs":0.5,'
                  '"encodeMs":4,"networkMs":16.67,"e2eP50Ms":28.5,"e2eP95Ms":1e-7,'
                  '"encoderQueue":1,"droppedFrames":17,"rttMs":12.5}',
    "ERROR": '{"code":"NO_DISPLAY","message":"the PC is locked; the desktop will appear '
             'when it is unlocked"}',
}


def test_host_frames_decode_with_the_simulator():
    status, text = probe("encode")
    assert status == 0, text
    names, frames = [], []
    for line in text.splitlines():
        name, hex_text = line.split()
        names.append(name)
        frames.append(bytes.fromhex(hex_text))
    decoded, error = sim_decode("".join(f.hex() for f in frames))
    assert error is None
    assert [d["type"] for d in decoded] == [
        "HELLO_ACK", "HELLO_ACK", "VIDEO_CONFIG", "VIDEO_CONFIG_DATA", "STREAM_START",
        "VIDEO_FRAME", "VIDEO_FRAME", "PING", "PONG", "HOST_STATS", "STREAM_KEEPALIVE", "ERROR"]

    # Sequence numbers count per channel from 0; flags and channels as the
    # host sets them.
    sequences = {0: 0, 1: 0}
    for name, d in zip(names, decoded):
        assert d["sequence"] == sequences[d["channel"]], name
        sequences[d["channel"]] += 1
        video = name.startswith("VIDEO_FRAME") or name == "VIDEO_CONFIG_DATA"
        assert d["channel"] == (1 if video else 0), name
        expected_flags = {"VIDEO_CONFIG_DATA": 2, "VIDEO_FRAME_IDR": 5, "VIDEO_FRAME": 4}
        assert d["flags"] == expected_flags.get(name, 0), name
        if not name.startswith("VIDEO_FRAME"):
            assert d["frameId"] == 0, name

    by_name = dict(zip(names, zip(frames, decoded)))
    for name, expected in HOST_TEXTS.items():
        frame, d = by_name[name]
        assert frame[36:].decode("utf-8") == expected, name
        assert messages.check_shape(d["code"], d["payload"]) == [], name
    frame, d = by_name["HELLO_ACK_TOKEN"]
    assert list(d["payload"])[-1] == "token" and d["payload"]["token"] == "tok-9"
    assert messages.check_shape(d["code"], d["payload"]) == []

    assert by_name["VIDEO_CONFIG_DATA"][1]["payload"]["nalTypes"] == [7, 8]
    assert by_name["VIDEO_FRAME_IDR"][1]["payload"]["nalTypes"] == [5]
    slice_frame = by_name["VIDEO_FRAME"][1]
    assert slice_frame["payload"]["nalTypes"] == [1]
    assert slice_frame["frameId"] == 0x8000000000000002
    assert slice_frame["timestampUs"] == 0xFFFFFFFFFFFFFFF0
    assert by_name["PING"][1]["payload"] == {"pingId": 1, "originUs": 4000, "replyUs": 0}
    assert by_name["PONG"][1]["payload"] == {"pingId": 77, "originUs": 123456789012,
                                              "replyUs": 4100}
    assert by_name["STREAM_START"][1]["payloadLength"] == 0
