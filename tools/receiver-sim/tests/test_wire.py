"""The frame codec against bytes written out by hand from the protocol tables."""

import json
import struct

import pytest

from veyra_receiver import h264, wire
from conftest import CONFIG_1080, PPS_1080, SPS_1080

# VIDEO_FRAME, channel 1, flags KEYFRAME|ACCESS_UNIT, sequence 7,
# frameId 0x0102030405060708, timestampUs 1,000,000, payload "abc".
VIDEO_FRAME_BYTES = bytes.fromhex(
    "56595241"            # magic "VYRA"
    "0001"                # version 1
    "0010"                # type 16
    "01" "05"             # channel, flags
    "0000"                # reserved
    "00000007"            # sequence
    "0102030405060708"    # frameId
    "00000000000f4240"    # timestampUs
    "00000003"            # payloadLength
) + b"abc"


def header_bytes(type=0x0030, length=0, version=b"\x00\x01", magic=b"VYRA", reserved=b"\x00\x00"):
    return (magic + version + struct.pack(">H", type) + b"\x00\x00" + reserved + bytes(4)
            + bytes(8) + bytes(8) + struct.pack(">I", length))


def test_header_encodes_and_decodes_byte_exact():
    frame = wire.encode_frame(wire.VIDEO_FRAME, b"abc", channel=1, flags=5, sequence=7,
                              frame_id=0x0102030405060708, timestamp_us=1_000_000)
    assert frame == VIDEO_FRAME_BYTES
    h = wire.decode_header(VIDEO_FRAME_BYTES)
    assert (h.type, h.channel, h.flags, h.sequence, h.frame_id, h.timestamp_us, h.payload_length) == \
        (16, 1, 5, 7, 0x0102030405060708, 1_000_000, 3)
    empty = wire.encode_frame(wire.STREAM_START)
    assert len(empty) == 36 and wire.decode_header(empty).payload_length == 0


@pytest.mark.parametrize("data, error", [
    (header_bytes()[:35], "short header"),
    (header_bytes(magic=b"vyra"), "bad magic"),
    (header_bytes(version=b"\x00\x02"), "bad version"),
    (header_bytes(version=b"\x01\x00"), "bad version"),
    (header_bytes(length=16 * 1024 * 1024 + 1), "payload too large"),
])
def test_bad_headers_are_refused_with_their_reason(data, error):
    with pytest.raises(wire.WireError, match="^%s$" % error):
        wire.decode_header(data)


def test_header_limits_and_reserved_bytes():
    assert wire.decode_header(header_bytes(length=16 * 1024 * 1024)).payload_length == 16 * 1024 * 1024
    assert wire.decode_header(header_bytes(reserved=b"\xab\xcd")).type == wire.PING
    with pytest.raises(wire.WireError, match="payload too large"):
        wire.encode_frame(wire.VIDEO_FRAME, bytes(16 * 1024 * 1024 + 1))


def test_sequence_counters_per_channel():
    c = wire.SequenceCounters()
    assert [c.next(0), c.next(1), c.next(0), c.next(7), c.next(1), c.next(0)] == [0, 0, 1, 2, 1, 3]


def test_binary_payloads_against_hand_written_bytes():
    touch = bytes.fromhex("00" "03" "0001" "3f000000" "3f800000" "3f800000" "00000002"
                          "0000000000000064")
    assert wire.encode_touch("down", 0.5, 1.0, buttons=2, pointer_id=3, event_time_us=100) == touch
    assert wire.decode_touch(touch + b"extra") == {
        "action": 0, "pointerId": 3, "pointerCount": 1, "x": 0.5, "y": 1.0, "pressure": 1.0,
        "buttons": 2, "eventTimeUs": 100}
    scroll = bytes.fromhex("3e800000" "bf000000" "3f000000" "3f000000" "0000000000000000")
    assert wire.encode_scroll(0.25, -0.5, 0.5, 0.5) == scroll
    key = bytes.fromhex("00000004" "01" "02" "0000" "0000000000000009")
    assert wire.encode_key(4, wire.KEY_UP, modifiers=2, event_time_us=9) == key
    ack = bytes.fromhex("000000000000002a" "0000000000000064" "00000000000000c8"
                        "0000000000000000" "00" "00" "0000")
    assert wire.encode_frame_ack(42, 100, 200, 0) == ack
    assert wire.decode_frame_ack(ack)["decodedUs"] == 200
    ping = bytes.fromhex("0000000000000001" "00000000000003e8" "0000000000000000")
    assert wire.encode_ping(1, 1000) == ping
    assert wire.decode_ping(ping) == {"pingId": 1, "originUs": 1000, "replyUs": 0}
    assert struct.unpack(">f", struct.pack(">I", 0x3F800000))[0] == 1.0
    assert wire.f32_bits(1.0) == 0x3F800000


@pytest.mark.parametrize("code, length, error", [
    (wire.TOUCH, 27, "short TOUCH"), (wire.SCROLL, 20, "short SCROLL"), (wire.KEY, 15, "short KEY"),
    (wire.FRAME_ACK, 35, "short FRAME_ACK"), (wire.PING, 23, "short PING"),
    (wire.PONG, 10, "short PING"),
])
def test_short_binary_payloads(code, length, error):
    with pytest.raises(wire.WireError, match="^%s$" % error):
        wire.describe_payload(code, bytes(length))


def test_message_names():
    assert wire.message_name(255) == "ERROR"
    assert wire.message_name(0) == wire.message_name(0x100) == "UNKNOWN"
    assert wire.message_code("frame-ack") == 17 and wire.message_code("0x42") == 66


def test_reader_cuts_frames_from_any_split_and_stops_at_a_bad_header():
    frames = VIDEO_FRAME_BYTES + wire.encode_frame(wire.PING, wire.encode_ping(1, 2))
    r = wire.FrameReader()
    got = []
    for i in range(len(frames)):
        got += r.feed(frames[i:i + 1])
        if i == len(VIDEO_FRAME_BYTES) - 2:
            assert got == []
    assert [h.type for h, _ in got] == [wire.VIDEO_FRAME, wire.PING] and got[0][1] == b"abc"

    r = wire.FrameReader()
    got = r.feed(VIDEO_FRAME_BYTES + header_bytes(magic=b"XXXX") + VIDEO_FRAME_BYTES)
    assert len(got) == 1 and r.failed == "bad magic" and r.bad_header[:4] == b"XXXX"
    with pytest.raises(wire.WireError):
        r.feed(b"more")


def test_hex_hook_round_trip():
    stream = VIDEO_FRAME_BYTES + wire.encode_frame(wire.ERROR, b'{"code":"NO_DISPLAY","message":"x"}')
    decoded = wire.decode_stream(wire.from_hex(stream.hex().upper()))
    assert decoded[0]["type"] == "VIDEO_FRAME" and decoded[0]["frameId"] == 0x0102030405060708
    assert decoded[1]["payload"] == {"code": "NO_DISPLAY", "message": "x"}
    with pytest.raises(wire.WireError, match="incomplete frame"):
        wire.decode_stream(stream[:-1])
    bad = wire.decode_stream(wire.encode_frame(wire.TOUCH, bytes(3)))
    assert bad[0]["payloadError"] == "short TOUCH"


def test_json_payloads():
    assert wire.encode_json({"visible": False, "reason": "é", "atUs": 5}) == \
        '{"visible":false,"reason":"é","atUs":5}'.encode("utf-8")
    assert wire.decode_json(b'{"a":"\xff"}')["a"] == "\udcff"   # raw bytes survive
    for bad in (b"", b"{", b"[1,]", b"NaN"):
        with pytest.raises(wire.WireError, match="^bad JSON"):
            wire.decode_json(bad)


def test_deeply_nested_json_is_logged_with_a_marker():
    # A peer may nest as deep as the host accepts; the event log must still
    # take the payload as a line.
    deep = wire.decode_json(b"[" * 600 + b"]" * 600)
    line = json.dumps(wire.jsonable({"payload": deep}))
    assert line.count("[") == wire.JSONABLE_DEPTH - 1  # the record is one level
    assert "<nested deeper than 64>" in line


def test_annex_b_and_sps():
    assert wire.split_nals(CONFIG_1080) == [SPS_1080, PPS_1080]
    assert wire.nal_types(b"\x00\x00\x01\x09\xf0" + CONFIG_1080 + b"\x00\x00\x01\x65\x88") == [9, 7, 8, 5]
    assert h264.parse_sps(SPS_1080) == {"profileIdc": 100, "profile": "high", "levelIdc": 42,
                                        "level": "4.2", "width": 1920, "height": 1080}
    small = bytes.fromhex("6742c00ad902847e5c0440000003004000000503c48992")
    assert (h264.parse_sps(small)["width"], h264.parse_sps(small)["height"]) == (160, 120)
    with pytest.raises(wire.WireError):
        h264.parse_sps(SPS_1080[:6])
