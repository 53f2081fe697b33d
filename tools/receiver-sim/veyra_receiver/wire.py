"""Frame codec of the Veyra wire protocol, written from the receiver's side.

Every frame is a 36-byte big-endian header followed by its payload.  This
module encodes and decodes headers, the binary payloads (TOUCH, SCROLL, KEY,
FRAME_ACK, PING/PONG) and the JSON payloads of the control messages.  It keeps
no state except the sequence counters a sender owns, and never trusts the
bytes it is given: every malformed input raises `WireError` with a short
reason text.
"""

import json
import math
import struct

MAGIC = b"VYRA"
FRAMING_VERSION = 1
HEADER_SIZE = 36
MAX_PAYLOAD = 16 * 1024 * 1024

CONTROL = 0
VIDEO = 1

FLAG_KEYFRAME = 0x01
FLAG_CODEC_CONFIG = 0x02
FLAG_ACCESS_UNIT = 0x04

HELLO = 1
HELLO_ACK = 2
DEVICE_INFO = 3
VIDEO_CONFIG = 4
VIDEO_CONFIG_DATA = 5
STREAM_START = 6
STREAM_STOP = 7
STREAM_KEEPALIVE = 8
HOST_STATS = 9
PAIR_ACCEPTED = 10
VISIBILITY = 11
VIDEO_FRAME = 16
FRAME_ACK = 17
TOUCH = 32
SCROLL = 33
KEY = 34
PING = 48
PONG = 49
SET_BITRATE = 64
DISPLAY_CHANGED = 65
REQUEST_IDR = 66
ERROR = 255

# The host's log names 11 "UNKNOWN"; the simulator names it for readability.
NAMES = {
    HELLO: "HELLO",
    HELLO_ACK: "HELLO_ACK",
    DEVICE_INFO: "DEVICE_INFO",
    VIDEO_CONFIG: "VIDEO_CONFIG",
    VIDEO_CONFIG_DATA: "VIDEO_CONFIG_DATA",
    STREAM_START: "STREAM_START",
    STREAM_STOP: "STREAM_STOP",
    STREAM_KEEPALIVE: "STREAM_KEEPALIVE",
    HOST_STATS: "HOST_STATS",
    PAIR_ACCEPTED: "PAIR_ACCEPTED",
    VISIBILITY: "VISIBILITY",
    VIDEO_FRAME: "VIDEO_FRAME",
    FRAME_ACK: "FRAME_ACK",
    TOUCH: "TOUCH",
    SCROLL: "SCROLL",
    KEY: "KEY",
    PING: "PING",
    PONG: "PONG",
    SET_BITRATE: "SET_BITRATE",
    DISPLAY_CHANGED: "DISPLAY_CHANGED",
    REQUEST_IDR: "REQUEST_IDR",
    ERROR: "ERROR",
}
CODES = {name: code for code, name in NAMES.items()}

JSON_TYPES = frozenset({HELLO, HELLO_ACK, DEVICE_INFO, VIDEO_CONFIG, HOST_STATS,
                        PAIR_ACCEPTED, VISIBILITY, SET_BITRATE, DISPLAY_CHANGED, ERROR})
EMPTY_TYPES = frozenset({STREAM_START, STREAM_STOP, STREAM_KEEPALIVE, REQUEST_IDR})
HOST_TYPES = frozenset({HELLO_ACK, VIDEO_CONFIG, VIDEO_CONFIG_DATA, STREAM_START,
                        STREAM_KEEPALIVE, HOST_STATS, VIDEO_FRAME, PING, PONG, ERROR})
RECEIVER_TYPES = frozenset({HELLO, DEVICE_INFO, PAIR_ACCEPTED, VISIBILITY, FRAME_ACK,
                            TOUCH, SCROLL, KEY, PING, PONG, SET_BITRATE,
                            DISPLAY_CHANGED, REQUEST_IDR, ERROR})

TOUCH_ACTIONS = {"down": 0, "move": 1, "up": 2, "cancel": 3}

_HEADER = struct.Struct(">4sHHBBHIQQI")
_TOUCH = struct.Struct(">BBHfffIQ")
_SCROLL = struct.Struct(">ffffQ")
_KEY = struct.Struct(">IBBHQ")
_FRAME_ACK = struct.Struct(">QQQQBBH")
_PING = struct.Struct(">QQQ")

MIN_PAYLOAD = {TOUCH: _TOUCH.size, SCROLL: _SCROLL.size, KEY: _KEY.size,
               FRAME_ACK: _FRAME_ACK.size, PING: _PING.size, PONG: _PING.size}

U64 = (1 << 64) - 1


class WireError(ValueError):
    """Malformed wire data; the text says what was wrong."""


def message_name(code):
    return NAMES.get(code, "UNKNOWN")


def message_code(text):
    """A message type from its name (any case) or its decimal/0x code."""
    t = str(text).strip()
    name = t.upper().replace("-", "_")
    if name in CODES:
        return CODES[name]
    try:
        code = int(t, 0)
    except ValueError:
        raise WireError("unknown message type %r" % text) from None
    if not 0 <= code <= 0xFFFF:
        raise WireError("message type %d out of range" % code)
    return code


class Header:
    """A decoded frame header (magic and version are checked, not kept)."""

    __slots__ = ("type", "channel", "flags", "reserved", "sequence", "frame_id",
                 "timestamp_us", "payload_length")

    def __init__(self, type, channel=CONTROL, flags=0, sequence=0, frame_id=0,
                 timestamp_us=0, payload_length=0, reserved=0):
        self.type = type
        self.channel = channel
        self.flags = flags
        self.reserved = reserved
        self.sequence = sequence
        self.frame_id = frame_id
        self.timestamp_us = timestamp_us
        self.payload_length = payload_length

    @property
    def name(self):
        return message_name(self.type)

    def as_dict(self):
        return {"type": self.name, "code": self.type, "channel": self.channel,
                "flags": self.flags, "sequence": self.sequence, "frameId": self.frame_id,
                "timestampUs": self.timestamp_us, "payloadLength": self.payload_length}

    def __eq__(self, other):
        return isinstance(other, Header) and all(
            getattr(self, s) == getattr(other, s) for s in self.__slots__)

    def __repr__(self):
        return "Header(%s)" % ", ".join("%s=%r" % (s, getattr(self, s)) for s in self.__slots__)


def encode_header(type, payload_length, *, channel=CONTROL, flags=0, sequence=0,
                  frame_id=0, timestamp_us=0, magic=MAGIC, version=FRAMING_VERSION,
                  reserved=0):
    """The 36 header bytes.  Magic, version and length are not checked here so
    that malformed headers can be built on purpose; use `encode_frame` for
    ordinary frames."""
    return _HEADER.pack(magic, version & 0xFFFF, type & 0xFFFF, channel & 0xFF,
                        flags & 0xFF, reserved & 0xFFFF, sequence & 0xFFFFFFFF,
                        frame_id & U64, timestamp_us & U64, payload_length & 0xFFFFFFFF)


def encode_frame(type, payload=b"", *, channel=CONTROL, flags=0, sequence=0,
                 frame_id=0, timestamp_us=0):
    payload = bytes(payload)
    if len(payload) > MAX_PAYLOAD:
        raise WireError("payload too large")
    return encode_header(type, len(payload), channel=channel, flags=flags,
                         sequence=sequence, frame_id=frame_id,
                         timestamp_us=timestamp_us) + payload


def decode_header(data):
    if len(data) < HEADER_SIZE:
        raise WireError("short header")
    magic, version, type, channel, flags, reserved, sequence, frame_id, ts, length = \
        _HEADER.unpack_from(data, 0)
    if magic != MAGIC:
        raise WireError("bad magic")
    if version != FRAMING_VERSION:
        raise WireError("bad version")
    if length > MAX_PAYLOAD:
        raise WireError("payload too large")
    return Header(type, channel, flags, sequence, frame_id, ts, length, reserved)


class SequenceCounters:
    """One counter per channel 0, 1 and 2; any other channel draws from 0."""

    def __init__(self):
        self.counters = [0, 0, 0]

    def next(self, channel):
        i = channel if channel in (0, 1, 2) else 0
        value = self.counters[i]
        self.counters[i] = (value + 1) & 0xFFFFFFFF
        return value


class FrameReader:
    """Cuts a byte stream into (Header, payload) pairs.

    `feed` returns the complete frames found so far.  A malformed header
    stops the cutting: `failed` then holds the reason and `bad_header` the
    offending bytes; framing is lost, and feeding more raises `WireError`."""

    def __init__(self):
        self.buffer = bytearray()
        self.failed = None
        self.bad_header = b""

    def pending(self):
        return len(self.buffer)

    def feed(self, data):
        if self.failed:
            raise WireError(self.failed)
        self.buffer += data
        frames = []
        pos = 0
        while len(self.buffer) - pos >= HEADER_SIZE:
            try:
                header = decode_header(bytes(self.buffer[pos:pos + HEADER_SIZE]))
            except WireError as e:
                self.failed = str(e)
                self.bad_header = bytes(self.buffer[pos:pos + HEADER_SIZE])
                break
            end = pos + HEADER_SIZE + header.payload_length
            if end > len(self.buffer):
                break
            frames.append((header, bytes(self.buffer[pos + HEADER_SIZE:end])))
            pos = end
        if pos:
            del self.buffer[:pos]
        return frames


# --- binary payloads -----------------------------------------------------

def _need(payload, code):
    if len(payload) < MIN_PAYLOAD[code]:
        raise WireError("short " + ("PING" if code == PONG else NAMES[code]))


def f32_bits(value):
    """The 32-bit pattern of a float as it goes on the wire."""
    return struct.unpack(">I", struct.pack(">f", value))[0]


def encode_touch(action, x, y, *, buttons=0, pointer_id=0, pointer_count=1,
                 pressure=1.0, event_time_us=0):
    if isinstance(action, str):
        action = TOUCH_ACTIONS[action]
    return _TOUCH.pack(action & 0xFF, pointer_id & 0xFF, pointer_count & 0xFFFF, x, y,
                       pressure, buttons & 0xFFFFFFFF, event_time_us & U64)


def decode_touch(payload):
    _need(payload, TOUCH)
    a, pid, count, x, y, pressure, buttons, t = _TOUCH.unpack_from(payload, 0)
    return {"action": a, "pointerId": pid, "pointerCount": count, "x": x, "y": y,
            "pressure": pressure, "buttons": buttons, "eventTimeUs": t}


def encode_scroll(dx, dy, x, y, *, event_time_us=0):
    return _SCROLL.pack(dx, dy, x, y, event_time_us & U64)


def decode_scroll(payload):
    _need(payload, SCROLL)
    dx, dy, x, y, t = _SCROLL.unpack_from(payload, 0)
    return {"dx": dx, "dy": dy, "x": x, "y": y, "eventTimeUs": t}


KEY_DOWN = 0
KEY_UP = 1


def encode_key(usage, action, *, modifiers=0, event_time_us=0):
    return _KEY.pack(usage & 0xFFFFFFFF, action & 0xFF, modifiers & 0xFF, 0, event_time_us & U64)


def decode_key(payload):
    _need(payload, KEY)
    usage, action, modifiers, _, t = _KEY.unpack_from(payload, 0)
    return {"usage": usage, "action": action, "modifiers": modifiers, "eventTimeUs": t}


def encode_frame_ack(frame_id, received_us, decoded_us, presented_us, *, dropped=0, queued=0):
    return _FRAME_ACK.pack(frame_id & U64, received_us & U64, decoded_us & U64,
                           presented_us & U64, dropped & 0xFF, queued & 0xFF, 0)


def decode_frame_ack(payload):
    _need(payload, FRAME_ACK)
    fid, rx, dec, pres, dropped, queued, _ = _FRAME_ACK.unpack_from(payload, 0)
    return {"frameId": fid, "receivedUs": rx, "decodedUs": dec, "presentedUs": pres,
            "dropped": dropped, "queued": queued}


def encode_ping(ping_id, origin_us, reply_us=0):
    return _PING.pack(ping_id & U64, origin_us & U64, reply_us & U64)


def decode_ping(payload, code=PING):
    _need(payload, code)
    pid, origin, reply = _PING.unpack_from(payload, 0)
    return {"pingId": pid, "originUs": origin, "replyUs": reply}


# --- JSON payloads --------------------------------------------------------

def encode_json(obj):
    """Compact JSON text as the wire carries it (UTF-8, no spaces)."""
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False,
                      allow_nan=False).encode("utf-8")


def _no_constants(name):
    raise ValueError("%s is not JSON" % name)


def decode_json(payload):
    """Parse a JSON payload.  Bytes that are not UTF-8 are kept as escapes
    rather than refused, since texts on the wire are raw bytes."""
    try:
        text = bytes(payload).decode("utf-8", errors="surrogateescape")
        return json.loads(text, parse_constant=_no_constants)
    except (ValueError, RecursionError) as e:
        raise WireError("bad JSON: %s" % (str(e).splitlines()[0] if str(e) else type(e).__name__)) from None


# --- H.264 byte stream -----------------------------------------------------

def has_start_code(data):
    return data[:3] == b"\x00\x00\x01" or data[:4] == b"\x00\x00\x00\x01"


def split_nals(data):
    """The NAL units of an Annex B byte stream, without their start codes."""
    data = bytes(data)
    starts = []
    i = 0
    n = len(data)
    while True:
        i = data.find(b"\x00\x00\x01", i)
        if i < 0:
            break
        starts.append(i + 3)
        i += 3
    nals = []
    for k, s in enumerate(starts):
        e = starts[k + 1] - 3 if k + 1 < len(starts) else n
        # a unit never ends in a zero byte; zeros there belong to the next start code
        while e > s and data[e - 1] == 0:
            e -= 1
        if e > s:
            nals.append(data[s:e])
    return nals


def nal_types(data):
    return [nal[0] & 0x1F for nal in split_nals(data)]


# --- decoding for logs -------------------------------------------------------

BINARY_DECODERS = {TOUCH: decode_touch, SCROLL: decode_scroll, KEY: decode_key,
                   FRAME_ACK: decode_frame_ack, PING: decode_ping,
                   PONG: lambda p: decode_ping(p, PONG)}


def describe_payload(code, payload):
    """A JSON-friendly description of a payload; raises `WireError` when it
    does not decode."""
    if code in JSON_TYPES:
        return decode_json(payload)
    if code in BINARY_DECODERS:
        return BINARY_DECODERS[code](payload)
    if code in (VIDEO_FRAME, VIDEO_CONFIG_DATA):
        info = {"bytes": len(payload), "nalTypes": nal_types(payload)[:32]}
        if code == VIDEO_CONFIG_DATA and len(payload) <= 512:
            info["hex"] = payload.hex()
        return info
    if not payload:
        return None
    return {"bytes": len(payload), "hex": payload[:64].hex()}


# Deeper values are logged as a marker: the log line must stay writable (and
# within Python's recursion limit) whatever a peer nests.
JSONABLE_DEPTH = 64


def jsonable(value, depth=0):
    """Make a value safe for a JSON log line (no NaN, no bytes, bounded nesting)."""
    if isinstance(value, float):
        if math.isnan(value) or math.isinf(value):
            return repr(value)
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, (dict, list, tuple)) and depth >= JSONABLE_DEPTH:
        return "<nested deeper than %d>" % JSONABLE_DEPTH
    if isinstance(value, dict):
        return {jsonable(str(k)): jsonable(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v, depth + 1) for v in value]
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    return value


def decode_stream(data):
    """Decode a complete byte stream of frames, for the hex hook: a list of
    dicts, one per frame.  Trailing bytes that do not form a frame, and any
    malformed header, raise `WireError`."""
    reader = FrameReader()
    frames = reader.feed(bytes(data))
    if reader.failed:
        raise WireError(reader.failed)
    if reader.pending():
        raise WireError("incomplete frame: %d bytes left over" % reader.pending())
    out = []
    for header, payload in frames:
        entry = header.as_dict()
        try:
            entry["payload"] = jsonable(describe_payload(header.type, payload))
        except WireError as e:
            entry["payloadError"] = str(e)
        out.append(entry)
    return out


def from_hex(text):
    cleaned = "".join(text.split()).replace(":", "")
    if cleaned.lower().startswith("0x"):
        cleaned = cleaned[2:]
    try:
        return bytes.fromhex(cleaned)
    except ValueError:
        raise WireError("not hexadecimal") from None
