"""The rows of docs/performance.md: each benchmark's figures turned into table
rows with what they are compared with. scripts/bench runs the benchmarks and
feeds their output to one Figures, in the order the table shows them.
"""

import re

from performance_report import FRAME_INTERVAL_60_MS, fmt, number, ratio, spread

P50_95_99_US = [("p50", "%s_p50_us"), ("p95", "%s_p95_us"), ("p99", "%s_p99_us")]
SIMULATOR = re.compile(r"([\d.]+) frames/s, ([\d.]+) Mbit/s; ack round trip p50 ([\d.]+) ms, "
                       r"p95 ([\d.]+) ms")


def _keys(stage):
    return [(label, key % stage) for label, key in P50_95_99_US]


def _counter(runs, name, counter):
    run = runs.get(name)
    return None if run is None or counter not in run else float(run[counter])


def _nanoseconds(runs, name):
    run = runs.get(name)
    if run is None:
        return None
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
    return float(run["real_time"]) * scale


LINK_NOTE = ("- The link rows: veyra-host --source noise (1280x720, 12 Mbit/s configured) in a "
             "network namespace, a router namespace with tbf toward the receiver's namespace, the "
             "link stepped 20 -> 10 -> 5 -> 20 Mbit/s; before is the host as of the commit "
             "scripts/bench names (LINK_BASELINE) with the same noise source added. Steady "
             "figures start 2 s after each step; recovery is when the median of every 250 ms "
             "stays within 100 ms of the first phase's p95.")

WIFI_NOTE = ("- The wifi rows: veyra-host --source dd on a private Xvfb whose xterm is scripted "
             "(a scroll, typing, a still screen with a blinking caret), over the link namespaces "
             "of the link rows whose tbf a persistent `tc -batch` changes every few tens of "
             "milliseconds (scripts/bench-wifi names the phases). Age is decoded minus captured; "
             "the rate is the controller's mean over the phase, goodput what the xterm's "
             "content needed of it; the bound is what a user accepts.")

WIFI_BOUNDS = {
    "start": "age p95 <= 150 ms",
    "bursts": "age p95 <= 150 ms",
    "stalls": "no cut; longest gap <= 500 ms stall + 100 ms",
    "powersave": "rate at the scroll >= 70 % of before the still period",
    "flaps": "age p95 <= 150 ms",
    "bulk": "rate >= 3 Mbit/s beside the bulk flow",
}


class Figures:
    def __init__(self):
        self.rows = []
        self._plain_mb = None
        self._tls_mb = None
        self._speed_mb = None
        self._native_probe_mb = None
        self._tls_row = (None, None, None)
        self._sim_tls = [None] * 4

    def add(self, group, figure, value, compared, ratio_text, command):
        self.rows.append(dict(group=group, figure=figure, value=value, compared=compared,
                              ratio=ratio_text, command=command))

    def media(self, command, r):
        ms = {key: (number(r, key) or 0) / 1000 for key in r if key.endswith("_us")}
        self.add("media", "capture (synthetic 1920x1200 picture), wall per frame",
                 spread(ms, _keys("capture"), "ms", 2), "none: a memory picture, not a desktop capture", "-", command)
        self.add("media", "conversion to 1728x1080 NV12, wall per frame",
                 spread(ms, _keys("convert"), "ms", 2),
                 "libswscale alone, same settings, p50 %s ms" % fmt(ms.get("swscale_p50_us"), 2),
                 ratio(ms.get("convert_p50_us"), ms.get("swscale_p50_us")), command)
        self.add("media", "conversion, CPU per frame", "%s ms" % fmt(number(r, "convert_cpu_ms"), 2),
                 "libswscale alone: %s ms" % fmt(number(r, "swscale_cpu_ms"), 2),
                 ratio(number(r, "convert_cpu_ms"), number(r, "swscale_cpu_ms")), command)
        self.add("media", "conversion, CPU per frame",
                 "%s ms" % fmt(number(r, "convert_cpu_ms"), 2),
                 "ffmpeg command line, scale filter only: %s ms" %
                 fmt(number(r, "ffmpeg_convert_cpu_ms"), 2),
                 ratio(number(r, "convert_cpu_ms"), number(r, "ffmpeg_convert_cpu_ms")), command)
        self.add("media", "H.264 encode (libx264, 12 Mbit/s), wall per frame",
                 spread(ms, _keys("encode"), "ms", 2), "none: the command line gives no "
                 "per-frame times", "-", command)
        self.add("media", "H.264 encode, CPU per frame", "%s ms" % fmt(number(r, "encode_cpu_ms"), 2),
                 "ffmpeg command line, libx264 at the same settings on the same NV12: %s ms" %
                 fmt(number(r, "ffmpeg_encode_cpu_ms"), 2),
                 ratio(number(r, "encode_cpu_ms"), number(r, "ffmpeg_encode_cpu_ms")), command)
        self.add("media", "whole pipeline, CPU per frame (%s fps one frame at a time)" %
                 fmt(number(r, "pipeline_fps")), "%s ms" % fmt(number(r, "pipeline_cpu_ms"), 2),
                 "ffmpeg command line, scale and encode: %s ms" %
                 fmt(number(r, "ffmpeg_both_cpu_ms"), 2),
                 ratio(number(r, "pipeline_cpu_ms"), number(r, "ffmpeg_both_cpu_ms")), command)

    def wire(self, command, runs):
        frame = _nanoseconds(runs, "BM_EncodeFrameVideo40KB")
        copy = _nanoseconds(runs, "BM_CopyVideo40KB")
        self.add("connection", "framing a 40 KB VIDEO_FRAME", "%s us" % fmt(_div(frame, 1e3), 2),
                 "a copy of the same bytes into a new buffer: %s us" % fmt(_div(copy, 1e3), 2),
                 ratio(frame, copy), command)
        for name, what in (("BM_SerializeHostStats", "HOST_STATS to JSON (once a second)"),
                           ("BM_ParseDeviceInfo", "DEVICE_INFO from JSON (once a connection)")):
            self.add("connection", what, "%s us" % fmt(_div(_nanoseconds(runs, name), 1e3), 2),
                     "none: off the per-frame path", "-", command)

    def connection(self, command, runs):
        ours = _counter(runs, "BM_VideoAtFullSpeed/min_time:2.000/real_time", "recv_MB_per_s")
        bare = _counter(runs, "BM_BareSocketAtFullSpeed/min_time:2.000/real_time", "recv_MB_per_s")
        dropped = _counter(runs, "BM_VideoAtFullSpeed/min_time:2.000/real_time", "dropped_pct")
        self._plain_mb = ours
        self.add("connection", "40 KB video at full speed, plaintext, received",
                 "%s MB/s (%s%% dropped by the full queue)" % (fmt(ours), fmt(dropped)),
                 "a bare socket writing the same frames: %s MB/s" % fmt(bare), ratio(ours, bare),
                 command)
        full = runs.get("BM_ControlBehindFullVideoQueue/1/iterations:2000/real_time", {})
        idle = runs.get("BM_ControlBehindFullVideoQueue/0/iterations:2000/real_time", {})
        self.add("connection", "control frame behind a full video queue, Send to receipt",
                 spread(full, [("p50", "p50_us"), ("p95", "p95_us"), ("p99", "p99_us")], "us", 0),
                 "the same on an idle connection: p50 %s us" % fmt(number(idle, "p50_us"), 0),
                 ratio(number(full, "p50_us"), number(idle, "p50_us")), command)

    def tls(self, command, runs):
        name = "BM_TlsVideoAtFullSpeed/min_time:2.000/real_time"
        self._tls_mb = _counter(runs, name, "recv_MB_per_s")
        cipher = runs.get(name, {}).get("label", "TLS_AES_256_GCM_SHA384")
        self._tls_row = (command, cipher, _counter(runs, name, "dropped_pct"))
        self.add("connection", "40 KB video at full speed over TLS (%s), received" % cipher,
                 "%s MB/s" % fmt(self._tls_mb), "the plaintext connection: %s MB/s" %
                 fmt(self._plain_mb), ratio(self._tls_mb, self._plain_mb), command)
        return "aes-256-gcm" if "AES_256_GCM" in cipher else "aes-128-gcm"

    def openssl_speed(self, command, cipher, out):
        for line in out.splitlines():
            if line.startswith("+F:"):
                self._speed_mb = float(line.split(":")[-1]) / 1e6
        self.add("connection", "40 KB video at full speed over TLS, received",
                 "%s MB/s" % fmt(self._tls_mb),
                 "`openssl speed -evp %s` at 16 KB records, one core: %s MB/s" %
                 (cipher, fmt(self._speed_mb)), ratio(self._tls_mb, self._speed_mb),
                 self._tls_row[0])
        self.rows[-1]["compared"] += " (`%s`)" % command

    def probe(self, command, r, wine):
        mb = number(r, "mb_per_s")
        rtt = spread(r, [("p50", "rtt_p50_us"), ("p99", "rtt_p99_us"), ("max", "rtt_max_us")],
                     "us", 0)
        if not wine:
            self._native_probe_mb = mb
            self.add("connection", "TLS 1.2 probe, OpenSSL natively, 40 KB video to Python's ssl",
                     "%s MB/s; PING round trip %s" % (fmt(mb), rtt),
                     "the TLS 1.3 connection above: %s MB/s" % fmt(self._tls_mb),
                     ratio(mb, self._tls_mb), command)
            return
        self.add("connection", "TLS 1.2 probe, Schannel under Wine, same peer",
                 "%s MB/s; PING round trip %s" % (fmt(mb), rtt) if command else
                 "not run (`scripts/bench --no-windows`)",
                 "the same probe with OpenSSL natively: %s MB/s" % fmt(self._native_probe_mb),
                 ratio(mb, self._native_probe_mb), command)

    def simulator(self, command, out, tls):
        match = SIMULATOR.search(out)
        values = [float(v) for v in match.groups()] if match else [None] * 4
        if tls:
            self._sim_tls = values
            return
        tls_values = self._sim_tls
        self.add("connection", "simulated receiver (Python) taking 50 KB video over TLS",
                 "%s frames/s, %s Mbit/s; ack round trip p50 %s / p95 %s ms" %
                 tuple(fmt(v, 2 if i > 1 else 0) for i, v in enumerate(tls_values)),
                 "the same in plaintext: %s frames/s" % fmt(values[0], 0),
                 ratio(tls_values[0], values[0]), command.replace(" --no-tls", ""))

    def session(self, command, runs):
        o = runs.get("overhead", {})
        fps, mbps = number(o, "overhead_fps"), number(o, "overhead_mbps")
        frame_bytes = mbps * 1e6 / 8 / fps if fps and mbps else None
        floor_us = frame_bytes / (self._speed_mb * 1e6) * 1e6 if frame_bytes and \
            self._speed_mb else None
        compared = "`openssl speed` encrypting a frame of the mean size (%s KB): %s us" % (
            fmt(_div(frame_bytes, 1e3)), fmt(floor_us))
        self.add("session", "host cost per frame, encoder callback to last byte written (TLS)",
                 spread(o, _keys("overhead"), "us", 0), compared,
                 ratio(number(o, "overhead_p50_us"), floor_us), command)
        self.add("session", "send thread CPU per frame (pop, TLS, socket)",
                 spread(o, [("p50", "cpu_send_p50_us"), ("p95", "cpu_send_p95_us"),
                            ("p99", "cpu_send_p99_us")], "us", 0), compared,
                 ratio(number(o, "cpu_send_p50_us"), floor_us), command)
        labels = {"loopback": "loopback", "loopback-gop1": "loopback, every frame a keyframe",
                  "link": "10 Mbit/s link", "link-scaled": "link at 10/12 of the keyframe rate",
                  "x11": "loopback, X11 desktop playing testsrc2 (--source dd)",
                  "x11-link": "10 Mbit/s link, X11 desktop playing testsrc2 (--source dd)"}
        interval = "one frame interval at 60 fps: %.1f ms" % FRAME_INTERVAL_60_MS
        for name, label in labels.items():
            r = runs.get(name)
            if r is None:
                self.add("session", "glass-to-glass, %s" % label, "not run (no network "
                         "namespace)" if "link" in name else "not run", interval, "-",
                         command)
                continue
            self.add("session", "glass-to-glass capture to decoded, %s (%s fps, %s Mbit/s)" %
                     (label, fmt(number(r, "fps")), fmt(number(r, "mbps"), 2)),
                     spread(r, [("p50", "g2g_decoded_p50_ms"), ("p95", "g2g_decoded_p95_ms"),
                                ("p99", "g2g_decoded_p99_ms")], "ms"), interval,
                     ratio(number(r, "g2g_decoded_p50_ms"), FRAME_INTERVAL_60_MS), command)
        app, page = runs.get("loopback", {}), runs.get("browser")
        app_p95 = number(app, "hs_e2e_p95_ms")
        compared = "the app path on loopback, same measure: p50 %s / p95 %s ms; %s" % (
            fmt(number(app, "hs_e2e_p50_ms")), fmt(app_p95), interval)
        if page is None or number(page, "hs_e2e_p95_ms") is None:
            self.add("session", "glass-to-glass capture to presented in Chromium over the page, "
                     "loopback", "not run (no browser tools)", compared, "-", command)
        else:
            self.add("session", "glass-to-glass capture to presented in Chromium over the page, "
                     "loopback (the host's measure, %s fps presented)" % fmt(number(page, "fps")),
                     spread(page, [("p50", "hs_e2e_p50_ms"), ("p95", "hs_e2e_p95_ms")], "ms"),
                     compared, ratio(number(page, "hs_e2e_p95_ms"), app_p95), command)
        r = app
        self.add("session", "capture to last byte received, loopback",
                 spread(r, [("p50", "host_side_p50_ms"), ("p95", "host_side_p95_ms"),
                            ("p99", "host_side_p99_ms")], "ms"), interval,
                 ratio(number(r, "host_side_p50_ms"), FRAME_INTERVAL_60_MS), command)

    def link(self, command, results):
        """scripts/bench-link's RESULT lines (performance_report.parse_result_lines):
        one row per run and phase, after compared with before."""
        phases = {}
        totals = {}
        for r in results:
            if "phase" in r:
                phases[(r["run"], int(r["phase"]))] = r
            elif "run" in r:
                totals[r["run"]] = r
        previous = None
        for index in sorted({i for _, i in phases}):
            for run in ("before", "after"):
                r = phases.get((run, index))
                if r is None:
                    continue
                step = ("%s Mbit/s" % r["link_mbps"] if previous is None else
                        "%s -> %s Mbit/s" % (previous, r["link_mbps"]))
                value = ("p50 %s / p95 %s / p99 %s / max %s ms; peak after the step %s ms, "
                         "back within 100 ms of the first phase's p95 after %s s; goodput %s "
                         "Mbit/s (%s%% of what the link could carry), %s fps, %s keyframes, %s "
                         "P-frames after a gap" % (
                             fmt(number(r, "p50_ms"), 0), fmt(number(r, "p95_ms"), 0),
                             fmt(number(r, "p99_ms"), 0), fmt(number(r, "max_ms"), 0),
                             fmt(number(r, "peak_ms"), 0), fmt(number(r, "recover_s"), 1),
                             fmt(number(r, "goodput_mbps"), 2), r.get("goodput_pct", "-"),
                             fmt(number(r, "fps")), r.get("keyframes", "-"),
                             r.get("broken", "-")))
                before = phases.get(("before", index))
                if run == "after" and before is not None:
                    compared = "before: p95 %s ms" % fmt(number(before, "p95_ms"), 0)
                    ratio_text = ratio(number(r, "p95_ms"), number(before, "p95_ms"))
                else:
                    compared, ratio_text = "-", "-"
                self.add("link", "capture to decoded over a shaped link, %s, %s" % (step, run),
                         value, compared, ratio_text, command)
            previous = phases.get(("after", index), phases.get(("before", index)))["link_mbps"]
        for run in ("before", "after"):
            t = totals.get(run)
            if t is not None:
                self.add("link", "whole schedule, %s" % run,
                         "%s decoder errors, %s bit rate changes, %s forced keyframes" % (
                             t.get("decode_errors", "-"), t.get("rate_changes", "-"),
                             t.get("forced_keyframes", "-")), "-", "-", command)

    def wifi(self, command, results):
        """scripts/bench-wifi's RESULT lines: one row per phase and one for
        the whole run."""
        for r in results:
            phase = r.get("phase")
            if phase is None:
                if "decode_errors" in r:
                    self.add("wifi", "Wi-Fi-like link, whole run",
                             "%s decoder errors, %s bit rate changes" % (
                                 r.get("decode_errors", "-"), r.get("rate_changes", "-")),
                             "0 decoder errors", "-", command)
                continue
            value = ("age p50 %s / p95 %s / max %s ms; longest gap %s ms; %s cuts, mean rate %s "
                     "Mbit/s (goodput %s), %s s at the floor; %s packets dropped by the link" % (
                         fmt(number(r, "p50_ms"), 0), fmt(number(r, "p95_ms"), 0),
                         fmt(number(r, "max_ms"), 0), fmt(number(r, "gap_ms"), 0),
                         r.get("cuts", "-"), fmt(number(r, "rate_mbps"), 2),
                         fmt(number(r, "goodput_mbps"), 2), fmt(number(r, "floor_s"), 1),
                         r.get("drops", "-")))
            if "scroll_pct" in r:
                value += "; rate at the scroll %s %% of before the still period" % r["scroll_pct"]
            self.add("wifi", "Wi-Fi-like link, %s" % phase, value,
                     WIFI_BOUNDS.get(phase, "-"), "-", command)

    def notes(self, wine):
        notes = [
            "How to read the table:",
            "",
            "- Ratio is our figure divided by the one it is compared with: below 1 is faster or "
            "cheaper for times and CPU, above 1 is more for throughputs (MB/s, frames/s).",
            "- CPU times per frame come from getrusage and the thread CPU clock, so they hold "
            "under load better than wall times; the command line's come from its process as a "
            "child of media_bench, fed the same frames through a pipe (its reading of the pipe "
            "counts).",
            "- Wall times per frame on this shared machine include the time other programs held "
            "the cores, so their ratios move from run to run far more than the CPU times; "
            "the command line's NV12 for the encode-only run comes from libswscale called with "
            "the converter's settings.",
            "- The synthetic picture stands still once its bands have filled it, so the "
            "encoder runs far below its rate limit in media_bench; send_overhead_bench moves "
            "a band of noise across the picture to keep it at the limit, and the X11 rows "
            "mirror a private Xvfb on which ffplay plays FFmpeg's testsrc2 at 60 fps.",
            "- Glass-to-glass runs veyra-host against bench/glass_receiver, which decodes with "
            "libavcodec on the same machine: both programs share the two cores.",
            LINK_NOTE,
            WIFI_NOTE,
        ]
        if not wine:
            notes.append("- This run skipped TLS under Wine (`--no-windows`); without that option "
                         "scripts/bench builds tls_probe.exe in the windows preset and runs it.")
        else:
            notes.append("- TLS under Wine: the Windows build's tls_probe.exe (Schannel as Wine "
                         "provides it) and the native tls_probe (OpenSSL) send to the same TLS 1.2 "
                         "server, Python's ssl, natively; Wine's Schannel does its cryptography "
                         "through the host's GnuTLS.")
        return notes


def _div(value, by):
    return None if value is None else value / by
