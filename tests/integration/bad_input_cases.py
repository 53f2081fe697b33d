"""Bad input from the receiver at every point of the conversation, as one
simulator scenario, and what the host must log for each case.

Each connection walks the conversation (before HELLO, after HELLO, while the
user is asked, paired without DEVICE_INFO, streaming, hidden) and at each of
its points sends a batch of frames that only drop one message: every message
type with a payload that is neither JSON nor long enough, short binary
payloads, broken JSON. A batch is bracketed by two ERROR messages with codes
of its own, so that the host's log lines for it can be cut out. Each
connection then ends with one case that breaks the framing (the host ends
the connection and reconnects) or that leaves a frame incomplete (the host
waits for the rest; the receiver then closes)."""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(__file__))
from session_peers import wire  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")

JSON_TYPES = sorted(wire.JSON_TYPES & wire.RECEIVER_TYPES)
# Every named type, both directions, and codes nobody defined.
ALL_TYPES = sorted(wire.NAMES) + [0, 12, 18, 200, 0x100, 0xFFFF]
INPUT_TYPES = (wire.TOUCH, wire.SCROLL, wire.KEY)
# All the host reads from a receiver this PC has not allowed yet.
BEFORE_APPROVAL_TYPES = (wire.HELLO, wire.DEVICE_INFO, wire.PAIR_ACCEPTED, wire.PING, wire.PONG,
                         wire.ERROR)
JUNK = b"\x00\xffjunk!"     # neither JSON nor long enough for any binary payload

BEFORE_HELLO, AFTER_HELLO, ASKING, PAIRED, STREAMING, HIDDEN = (
    "before HELLO", "after HELLO", "asking the user", "paired, no DEVICE_INFO", "streaming",
    "hidden")
POINTS = [BEFORE_HELLO, AFTER_HELLO, ASKING, PAIRED, STREAMING, HIDDEN]
# This PC's user answers a second or so after HELLO_ACK; the receiver's own
# approval (the "paired" point) comes later.
NOT_ALLOWED = (BEFORE_HELLO, AFTER_HELLO, ASKING)


def corpus(fuzzer, name, skip_seed=False):
    with open(os.path.join(CORPUS, fuzzer, name), "rb") as f:
        data = f.read()
    return data[1:] if skip_seed else data


def framing_outcome(data):
    """What the stream does to the framing, by the simulator's own codec:
    ("lost", reason), or ("waits", leftover byte count) or ("clean", 0)."""
    reader = wire.FrameReader()
    reader.feed(data)
    if reader.failed:
        return "lost", reader.failed
    return ("waits", reader.pending()) if reader.pending() else ("clean", 0)


def seeded_garbage(rng, size):
    data = bytes(rng.randrange(256) for _ in range(size))
    return data if data[:4] != wire.MAGIC else b"x" + data


def end_cases(rng):
    """(name, raw bytes) that end a connection: framing broken, or a frame
    left incomplete and then the receiver closing."""
    cases = [
        ("bad magic", wire.encode_header(wire.PING, 0, magic=b"vyra")),
        ("bad version", wire.encode_header(wire.PING, 0, version=2)),
        ("declared 16 MiB + 1", wire.encode_header(wire.VIDEO_FRAME, wire.MAX_PAYLOAD + 1)),
        ("random bytes", seeded_garbage(rng, 200)),
        ("corpus bad_version", corpus("wire_frame_fuzzer", "bad_version")),
        ("corpus one_piece_then_bad_magic",
         corpus("frame_decoder_fuzzer", "one_piece_then_bad_magic", True)),
        ("random bytes after a whole frame",
         wire.encode_frame(200, b"ok") + seeded_garbage(rng, 64)),
        ("corpus claims_16mib", corpus("wire_frame_fuzzer", "claims_16mib")),
        ("corpus partial_frame", corpus("frame_decoder_fuzzer", "partial_frame", True)),
        ("truncated frame", wire.encode_frame(wire.DEVICE_INFO, b'{"widthPx":1080}')[:30]),
        ("truncated payload", wire.encode_frame(wire.SET_BITRATE, b'{"bitrateBps":1}')[:44]),
        ("declared 16 MiB, never sent", wire.encode_header(200, wire.MAX_PAYLOAD)),
    ]
    return [(name, data, framing_outcome(data)) for name, data in cases]


def host_name(code):
    """The host's log name of a message type: VISIBILITY has none."""
    return "UNKNOWN" if code == wire.VISIBILITY else wire.message_name(code)


def expected_for(code, payload, streaming, refused=False, allowed=True):
    """The host's line for one received frame, as (level, text, exact), or
    None when it drops the frame without a word."""
    name = host_name(code)
    if refused:
        return ("DEBUG", "ignoring %s after a refusal" % name, True)
    if not allowed and code not in BEFORE_APPROVAL_TYPES:
        return ("DEBUG", "ignoring %s before the receiver is allowed" % name, True)
    if code in INPUT_TYPES and not streaming:
        return None
    if code in wire.MIN_PAYLOAD:
        if len(payload) >= wire.MIN_PAYLOAD[code]:
            return None
        short = "PING" if code == wire.PONG else name
        return ("WARN", "failed handling %s: short %s" % (name, short), True)
    if code in JSON_TYPES:
        return ("WARN", "failed handling %s: " % name, False)
    if code == wire.REQUEST_IDR:
        return ("DEBUG", "receiver requested an IDR", True)
    return ("DEBUG", "ignoring %s" % name, True)


def batch_frames():
    """(code, payload) of one batch: every type with junk, every binary
    payload one byte short and empty, every JSON type with broken JSON."""
    frames = [(code, JUNK) for code in ALL_TYPES]
    frames += [(code, bytes(n)) for code, least in sorted(wire.MIN_PAYLOAD.items())
               for n in (least - 1, 0)]
    frames += [(code, b'{"unterminated":') for code in JSON_TYPES]
    frames += [(code, b"[1,2") for code in JSON_TYPES]
    return frames


def send_step(code, payload):
    return "send %d hex:%s" % (code, payload.hex()) if payload else "send %d" % code


class Scenario:
    """The simulator's steps and the expectations, connection by connection."""

    def __init__(self, seed, connections, streams=True):
        rng = random.Random(seed)
        self.streams = streams
        self.steps = []
        self.connections = []     # per connection: dict(point, end, batches)
        ends = end_cases(rng)
        points = POINTS if streams else POINTS[:4] + ["degraded"]
        for n in range(1, connections + 1):
            point = points[(n - 1) % len(points)]
            end = ends[(n - 1) % len(ends)]
            self.connections.append(self._connection(n, points, point, end))
        self.corpus = connections + 1
        self._corpus_connection(self.corpus, "stream+0.5" if streams else "paired+1.2")
        self.refusal = connections + 2
        self._refusal_connection(self.refusal)

    def _corpus_connection(self, n, anchor):
        """Every JSON corpus text as the payload of every JSON type, and the
        wire corpora that frame cleanly; the host may act on some of them,
        and must survive all of them on one connection."""
        at = "%s@%d" % (anchor, n)
        self.steps += ["connect+0.5@%d hello deviceId=faults-%d" % (n, n),
                       "paired+0.6@%d device-info" % n, "%s error MARK-%d begin" % (at, n)]
        folder = os.path.join(CORPUS, "json_fuzzer")
        self.corpus_frames = 0
        for name in sorted(os.listdir(folder)):
            text = corpus("json_fuzzer", name)
            for code in JSON_TYPES:
                # Raw: the simulator would decode its own JSON for its log.
                self.steps.append("%s raw %s" % (at, wire.encode_frame(code, text).hex()))
                self.corpus_frames += 1
        for name in sorted(os.listdir(os.path.join(CORPUS, "wire_frame_fuzzer"))):
            data = corpus("wire_frame_fuzzer", name)
            if framing_outcome(data)[0] == "clean" and name != "visibility_error":
                self.steps.append("%s raw %s" % (at, data.hex()))
                self.corpus_frames += len(wire.FrameReader().feed(data))
        # The host ends the connection itself once it has read them all.
        self.steps += ["%s error MARK-%d end" % (at, n), "%s bad-magic" % at]

    def _refusal_connection(self, n):
        """The receiver refuses, then sends everything: the host ignores it
        all, and Run ends once the connection ends (here on broken framing)."""
        at = "hello-ack+0.2@%d" % n
        self.steps += ["connect+0.3@%d hello deviceId=refusing" % n,
                       "%s error PERMISSION_DENIED faults" % at]
        self.refused = []
        for code, payload in batch_frames():
            self.steps.append("%s %s" % (at, send_step(code, payload)))
            self.refused.append(expected_for(code, payload, False, refused=True))
        self.steps.append("%s raw %s" % (at, corpus("wire_frame_fuzzer", "visibility_error").hex()))
        self.refused += [expected_for(wire.VISIBILITY, b"", False, True),
                         expected_for(wire.ERROR, b"", False, True)]
        self.steps.append("%s bad-magic" % at)

    def _connection(self, n, points, last, end):
        anchors = {BEFORE_HELLO: ("connect", 0.2), AFTER_HELLO: ("connect", 0.5),
                   ASKING: ("hello-ack", 0.2), PAIRED: ("paired", 0.2),
                   STREAMING: ("stream", 0.5), HIDDEN: ("stream", 1.2),
                   "degraded": ("paired", 1.2)}

        def when(point, later=0.0):
            anchor, seconds = anchors[point]
            return "%s+%g@%d" % (anchor, seconds + later, n)

        steps = ["connect+0.5@%d hello deviceId=faults-%d" % (n, n),
                 "paired+0.6@%d device-info" % n]
        if self.streams:
            steps += ["stream+1.0@%d visibility false faults" % n]
        batches = []
        for point in points[:points.index(last) + 1]:
            at = when(point)
            mark = "MARK-%d-%d" % (n, len(batches))
            steps.append("%s error %s begin" % (at, mark))
            # Input is read only while the picture streams and shows.
            streaming = point == STREAMING
            allowed = point not in NOT_ALLOWED
            for code, payload in batch_frames():
                steps.append("%s %s" % (at, send_step(code, payload)))
            steps.append("%s pieces 5 0.01 send %d hex:%s" % (at, wire.SCROLL, JUNK.hex()))
            steps.append("%s error %s end" % (at, mark))
            expected = [expected_for(c, p, streaming, allowed=allowed) for c, p in batch_frames()]
            expected.append(expected_for(wire.SCROLL, JUNK, streaming, allowed=allowed))
            batches.append((point, mark, [e for e in expected if e]))
        name, data, outcome = end
        # Raw bytes and a close do not wait for a frame going out in pieces;
        # both come before the receiver's approval (3 s or more after HELLO_ACK).
        steps.append("%s raw %s" % (when(last, 0.5), data.hex()))
        if outcome[0] != "lost":
            steps.append("%s close" % when(last, 1.0))
        self.steps += steps
        return {"point": last, "end": name, "outcome": outcome, "batches": batches}

    def words(self):
        out = []
        for step in self.steps:
            out += ["--action", step]
        return out
