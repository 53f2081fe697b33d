"""One connection from the host, and the JSON-lines event log."""

import json
import sys
import time

from . import wire


class EventLog:
    """JSON lines, one per event; optionally also kept in memory."""

    def __init__(self, path, t0, keep=False):
        self.t0 = t0
        self.events = [] if keep else None
        self.file = None
        self.own = False
        if path == "-":
            self.file = sys.stdout
        elif path:
            self.file = open(path, "w", encoding="utf-8")
            self.own = True

    def write(self, event, **fields):
        record = {"t": round(time.monotonic() - self.t0, 6), "event": event}
        record.update(fields)
        record = wire.jsonable(record)
        if self.events is not None:
            self.events.append(record)
        if self.file:
            try:
                self.file.write(json.dumps(record, ensure_ascii=False) + "\n")
                self.file.flush()
            except (OSError, ValueError):
                pass

    def close(self):
        if self.own and self.file:
            self.file.close()
        self.file = None


class Link:
    """One connection from the host."""

    def __init__(self, index, sock, peer):
        self.index = index
        self.sock = sock
        self.peer = "%s:%s" % peer[:2] if isinstance(peer, tuple) else str(peer)
        self.ssl = None
        self.inbio = None
        self.outbio = None
        self.ready = False               # handshake done (or plaintext)
        self.protocol = "plaintext"
        self.reader = wire.FrameReader()
        self.outbuf = bytearray()
        self.closed = False
        self.anchors = set()
        self.pairing = "none"            # none, hello-sent, prompt, paired, denied
        self.host_id = ""
        self.host_name = ""
        self.pings = {}
        self.best_rtt = None
        self.offset_us = None            # host clock minus receiver clock
        self.need_config = True          # no VIDEO_CONFIG_DATA yet for this pipeline
        self.expect_idr = False
        self.last_frame_id = None
        self.frames = 0
        self.first_frame_us = 0
        self.last_frame_us = 0
        self.video_seq_min = 0
        self.video_seq_max = 0
        self.video_seq_count = 0
        self.video_config = None
        self.on_event = None             # the selector's callback for this link
        self.read_paused = False         # over the read rate; resumes on the timeline
        self.read_budget = 0.0           # bytes that may be read now (--read-kbps)
        self.read_at = None              # when the budget was last topped up
        self.video_seq_last = None       # the last video sequence number seen
        self.chain_broken = False        # a video sequence gap with no IDR picture since
        self.held = None                 # output held back while a frame goes out in pieces
        self.raw_reader = None           # raw bytes left a frame incomplete: its framing; nothing more is sent
        self.after_pieces = []           # close, reset or offline steps waiting for the pieces

    def fileno(self):
        return self.sock.fileno()
