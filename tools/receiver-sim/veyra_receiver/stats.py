"""Counts and latencies as the receiver sees them, and the exit summary."""

import collections


def percentile(values, q):
    """The element at min(n-1, trunc((n-1)*q)) of the sorted values; None when empty."""
    if not values:
        return None
    s = sorted(values)
    return s[min(len(s) - 1, int((len(s) - 1) * q))]


def _ms_figures(values_us):
    if not values_us:
        return None
    return {"n": len(values_us),
            "p50": round(percentile(values_us, 0.5) / 1000, 3),
            "p95": round(percentile(values_us, 0.95) / 1000, 3),
            "max": round(max(values_us) / 1000, 3)}


class Stats:
    MAX_SAMPLES = 200000

    def __init__(self):
        self.connections = 0
        self.frames = 0
        self.keyframes = 0
        self.video_bytes = 0
        self.config_data = 0
        self.frame_intervals = 0      # frames after the first of each connection
        self.stream_seconds = 0.0     # first to last frame, summed over connections
        self.max_frame_gap_us = 0
        self.video_sequence_gaps = 0
        self.e2e_us = []              # capture to arrival here
        self.presented_us = []        # capture to the presentation the FRAME_ACK reports
        self.broken_references = 0    # P-frames after a sequence gap, no IDR since
        self.rtt_us = []
        self.received = collections.Counter()
        self.sent = collections.Counter()
        self.bytes_in = 0
        self.bytes_out = 0
        self.problems = 0
        self.problem_kinds = collections.Counter()
        self.protocol_errors = []
        self.host_errors = []
        self.host_stats = None
        self.video_config = None
        self.pairing = []

    def add_sample(self, values, value):
        if len(values) < self.MAX_SAMPLES:
            values.append(value)

    def end_connection(self, link):
        """Fold one finished connection's video span and sequence numbers in."""
        if link.frames:
            self.frame_intervals += link.frames - 1
            self.stream_seconds += (link.last_frame_us - link.first_frame_us) / 1e6
        if link.video_seq_count:
            span = ((link.video_seq_max - link.video_seq_min) & 0xFFFFFFFF) + 1
            self.video_sequence_gaps += max(0, span - link.video_seq_count)

    def summary(self):
        fps = self.frame_intervals / self.stream_seconds if self.stream_seconds > 0 else 0.0
        mbps = (self.video_bytes * 8 / self.stream_seconds / 1e6) if self.stream_seconds > 0 else 0.0
        rtt = _ms_figures(self.rtt_us)
        network = None
        if self.rtt_us:
            network = _ms_figures([r / 2 for r in self.rtt_us])
        return {
            "connections": self.connections,
            "frames": self.frames,
            "keyframes": self.keyframes,
            "videoBytes": self.video_bytes,
            "configData": self.config_data,
            "streamSeconds": round(self.stream_seconds, 3),
            "fps": round(fps, 2),
            "mbps": round(mbps, 3),
            "maxFrameGapMs": round(self.max_frame_gap_us / 1000, 3),
            "videoSequenceGaps": self.video_sequence_gaps,
            "endToEndMs": _ms_figures(self.e2e_us),
            "presentedMs": _ms_figures(self.presented_us),
            "brokenReferences": self.broken_references,
            "networkMs": network,
            "rttMs": rtt,
            "hostStats": self.host_stats,
            "videoConfig": self.video_config,
            "received": dict(self.received),
            "sent": dict(self.sent),
            "bytesIn": self.bytes_in,
            "bytesOut": self.bytes_out,
            "problems": self.problems,
            "problemKinds": dict(self.problem_kinds.most_common(20)),
            "protocolErrors": self.protocol_errors,
            "hostErrors": self.host_errors,
            "pairing": self.pairing,
        }


def _fmt_ms(fig):
    if not fig:
        return "n/a"
    return "p50 %.1f ms, p95 %.1f ms, max %.1f ms (%d samples)" % (
        fig["p50"], fig["p95"], fig["max"], fig["n"])


def _n(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def format_summary(s):
    lines = ["summary: %s; %s (%s, %s), %.2f MB of video"
             % (_n(s["connections"], "connection"), _n(s["frames"], "frame"),
                _n(s["keyframes"], "keyframe"), _n(s["configData"], "codec config"),
                s["videoBytes"] / 1e6)]
    if s["frames"]:
        lines.append("  stream: %.1f fps, %.2f Mbps over %.1f s; longest gap %.0f ms; "
                     "%d video frames missing in the sequence numbers, %d P-frames after "
                     "a gap without a keyframe"
                     % (s["fps"], s["mbps"], s["streamSeconds"], s["maxFrameGapMs"],
                        s["videoSequenceGaps"], s["brokenReferences"]))
    if s["videoConfig"]:
        vc = s["videoConfig"]
        lines.append("  last video config: %sx%s @ %s fps, %s bps, %s %s" % tuple(
            vc.get(k, "?") for k in ("width", "height", "fps", "bitrateBps", "profile", "level")))
    lines.append("  end-to-end (capture to arrival here): %s" % _fmt_ms(s["endToEndMs"]))
    lines.append("  capture to presented (as acknowledged; the host's e2e): %s"
                 % _fmt_ms(s["presentedMs"]))
    lines.append("  network (half the PING round trip): %s" % _fmt_ms(s["networkMs"]))
    hs = s["hostStats"]
    if isinstance(hs, dict):
        lines.append("  host's last HOST_STATS: fps=%s net=%s ms e2e p50=%s p95=%s ms rtt=%s ms dropped=%s"
                     % tuple(hs.get(k, "?") for k in ("fps", "networkMs", "e2eP50Ms", "e2eP95Ms",
                                                      "rttMs", "droppedFrames")))
    received = ", ".join("%s %d" % kv for kv in sorted(s["received"].items()))
    sent = ", ".join("%s %d" % kv for kv in sorted(s["sent"].items()))
    lines.append("  received: %s" % (received or "nothing"))
    lines.append("  sent: %s" % (sent or "nothing"))
    if s["hostErrors"]:
        lines.append("  host errors: %s" % "; ".join(s["hostErrors"]))
    lines.append("  problems with the host's input: %d%s" % (
        s["problems"], "" if not s["problems"] else " (" + "; ".join(
            "%s x%d" % kv for kv in list(s["problemKinds"].items())[:5]) + ")"))
    if s["protocolErrors"]:
        lines.append("  protocol errors that ended a connection: %s" % "; ".join(s["protocolErrors"]))
    return lines
