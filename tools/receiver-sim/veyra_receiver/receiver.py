"""The simulated receiver: listens for the host, speaks the phone's side of
the protocol, acknowledges video, runs a scenario and records everything.

One thread does all the work: a selector loop over the listening socket, the
one active connection and a wake-up socket, with a timeline for everything
that happens later (pings, scenario steps, delayed approval).  TLS runs on
memory buffers (ssl.SSLObject), so reads and writes never block and never
race.  Nothing the host sends can end the loop: bad input is recorded as a
problem with its reason, and a broken frame header closes only that
connection.
"""

import os
import queue
import selectors
import socket
import ssl
import sys
import threading
import time
import traceback

from . import identity, media, messages, scenario, stats, wire
from .conversation import Conversation
from .host_messages import HostMessages
from .link import EventLog
from .link_io import LinkIO
from .scenario_steps import ScenarioSteps

VERSION = "0.1.0"
# The receive buffer with --read-kbps.
READ_LIMIT_RCVBUF = 64 * 1024


class Config:
    """Everything the command line can set; the defaults are the tool's."""

    def __init__(self, **kw):
        self.port = 47820
        self.bind = "0.0.0.0"
        self.tls = True
        self.tls_version = "any"         # any, 1.2, 1.3
        self.tls_tickets = None          # TLS 1.3 session tickets after the handshake
        self.key_type = "rsa"
        self.state_dir = identity.default_state_dir()
        self.new_key = False
        self.renew_cert = False
        self.openssl = "openssl"
        self.device_id = None
        self.app_version = VERSION
        self.protocol_version = 1
        self.approve = "yes"             # yes, no, never, ask, after
        self.approve_after = 0.0
        self.deny_message = "the user did not allow this computer"
        self.device_info = dict(messages.DEFAULT_DEVICE_INFO)
        self.send_hello = True
        self.send_device_info = True
        self.ping_interval = 1.0
        self.frame_ack = True
        self.clock_offset_us = 0
        self.read_kbps = 0               # 0: no limit
        self.decode_us = 3000
        self.present_us = 8000
        self.steps = []
        self.connections = 0             # stop after this many; 0: never
        self.duration = None
        self.log_path = None
        self.save_stream = None
        self.snapshot = None
        self.ffmpeg = "ffmpeg"
        self.port_file = None
        self.verbosity = 1
        self.strict = False
        self.keep_events = False
        for k, v in kw.items():
            if not hasattr(self, k):
                raise TypeError("unknown setting %s" % k)
            setattr(self, k, v)


class Receiver(LinkIO, Conversation, HostMessages, ScenarioSteps):
    def __init__(self, config, out=None):
        self.cfg = config
        self.out = out or sys.stderr
        self.ready = threading.Event()
        self.port = None
        self.identity = None
        self.device_id = None
        self.events = None
        self.summary = None
        self.exit_code = 0
        self.stats = stats.Stats()
        self.device_info = dict(config.device_info)
        self.app_version = config.app_version
        self.protocol_version = config.protocol_version
        self.modifiers = 0
        self._stop_reason = None
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self._sel = selectors.DefaultSelector()
        self._timeline = scenario.Timeline()
        self._runner = scenario.ScenarioRunner(config.steps)
        self._listener = None
        self._link = None
        self._counters = wire.SequenceCounters()
        self._ping_id = 0
        self._said = {}
        self._stream_file = None
        self._recent = media.RecentPictures()
        self._ffmpeg = None
        self._answers = queue.Queue()
        self._asking = None
        self._stdin_thread = None
        self._keep_pictures = False
        self.log = None

    # --- context for message building -------------------------------------

    def now_us(self):
        return max(0, time.monotonic_ns() // 1000 + self.cfg.clock_offset_us)

    def next_ping_id(self):
        self._ping_id += 1
        return self._ping_id

    # --- output -------------------------------------------------------------

    def say(self, level, text):
        if self.cfg.verbosity >= level:
            try:
                print(text, file=self.out, flush=True)
            except (OSError, ValueError):
                pass

    def problem(self, link, text, kind=None):
        """Something the host sent that it should not have; never fatal."""
        kind = kind or text
        self.stats.problems += 1
        self.stats.problem_kinds[kind] += 1
        self.log.write("problem", conn=link.index if link else None, reason=text)
        n = self._said.get(kind, 0) + 1
        self._said[kind] = n
        if n <= 3:
            self.say(1, "problem: %s" % text)
        elif n == 4:
            self.say(1, "problem: %s (again; further ones are only counted)" % text)

    # --- control from other threads ------------------------------------------

    def request_stop(self, reason="stop requested"):
        """Ask the loop to finish; safe from any thread and from signal handlers."""
        if self._stop_reason is None:
            self._stop_reason = reason
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _stop(self, reason):
        if self._stop_reason is None:
            self._stop_reason = reason

    # --- run ----------------------------------------------------------------

    def run(self):
        """Serve until stopped; returns the exit code."""
        self.t0 = time.monotonic()
        self.log = EventLog(self.cfg.log_path, self.t0, keep=self.cfg.keep_events)
        self.events = self.log.events
        try:
            self._setup()
        except (identity.StateError, OSError, ssl.SSLError) as e:
            self.say(0, "veyra-receiver: %s" % e)
            self.log.write("fatal", reason=str(e))
            self.log.close()
            self.ready.set()
            self.exit_code = 1
            return 1
        self.ready.set()
        try:
            self._loop()
        finally:
            self._finish()
        return self.exit_code

    def _setup(self):
        cfg = self.cfg
        os.makedirs(cfg.state_dir, exist_ok=True)
        self.device_id = cfg.device_id or identity.load_device_id(cfg.state_dir)
        self.pairings = identity.PairingMemory(cfg.state_dir)
        self._ctx = None
        if cfg.tls:
            self.identity = identity.ensure_identity(
                cfg.state_dir, key_type=cfg.key_type, new_key=cfg.new_key,
                renew_cert=cfg.renew_cert, openssl=cfg.openssl)
            self._ctx = self._tls_context()
            if cfg.new_key:
                n = self.pairings.forget_all()
                self.say(1, "new key made; forgot %d paired host%s" % (n, "" if n == 1 else "s"))
        if cfg.save_stream:
            self._stream_file = open(cfg.save_stream, "wb")
        self._keep_pictures = bool(cfg.snapshot) or any(s.op == "snapshot" for s in cfg.steps)
        if self._keep_pictures:
            self._ffmpeg = media.find_ffmpeg(cfg.ffmpeg)
            if not self._ffmpeg:
                self.say(0, "warning: ffmpeg not found; snapshots cannot be saved")
        self._sel.register(self._wake_r, selectors.EVENT_READ, self._on_wake)
        try:
            self._listen()
        except OSError as e:
            raise OSError("cannot listen on %s port %d: %s" % (cfg.bind, cfg.port, e.strerror or e)) from None
        if cfg.port_file:
            with open(cfg.port_file, "w") as f:
                f.write("%d\n" % self.port)
        self.log.write("start", version=VERSION, port=self.port, bind=cfg.bind, tls=cfg.tls,
                       deviceId=self.device_id, stateDir=cfg.state_dir,
                       keyHash=self.identity.key_hash if self.identity else None,
                       shortCode=self.identity.short_code if self.identity else None,
                       wall=time.strftime("%Y-%m-%dT%H:%M:%S%z"))
        self.say(1, "veyra-receiver %s: device %s, state in %s" % (VERSION, self.device_id, cfg.state_dir))
        if self.identity:
            made = " (new: %s)" % " and ".join(self.identity.created) if self.identity.created else ""
            self.say(0, "TLS key hash:      %s%s" % (self.identity.key_hash, made))
            self.say(0, "verification code: %s" % self.identity.short_code)
        self.say(0, "listening on %s:%d (%s)" % (cfg.bind, self.port, self._tls_text()))
        if cfg.duration:
            self._timeline.add(time.monotonic() + cfg.duration,
                               lambda: self._stop("ran for %g s" % cfg.duration))
        self._anchor(None, "start")

    def _tls_text(self):
        if not self.cfg.tls:
            return "plaintext; start the host with --no-tls"
        return {"any": "TLS 1.2 or 1.3", "1.2": "TLS 1.2 only", "1.3": "TLS 1.3 only"}[self.cfg.tls_version]

    def _tls_context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        lo, hi = {"any": (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3),
                  "1.2": (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_2),
                  "1.3": (ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_3)}[self.cfg.tls_version]
        ctx.minimum_version = lo
        ctx.maximum_version = hi
        ctx.load_cert_chain(self.identity.cert_path, self.identity.key_path)
        if self.cfg.tls_tickets is not None:
            ctx.num_tickets = self.cfg.tls_tickets
        return ctx

    def _listen(self):
        infos = socket.getaddrinfo(self.cfg.bind or None, self.port if self.port is not None else self.cfg.port,
                                   type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
        family, kind, proto, _, addr = infos[0]
        s = socket.socket(family, kind, proto)
        try:
            if os.name != "nt":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6 and hasattr(socket, "IPV6_V6ONLY"):
                try:
                    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
                except OSError:
                    pass
            if self.cfg.read_kbps:
                # A slow reader with the system's megabytes of receive buffer
                # would hide the queue here; a phone's link queues at the
                # sender. Set before listening, so accepted sockets inherit it.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, READ_LIMIT_RCVBUF)
            s.bind(addr)
            s.listen(4)
            s.setblocking(False)
        except OSError:
            s.close()
            raise
        self.port = s.getsockname()[1]
        self._listener = s
        self._sel.register(s, selectors.EVENT_READ, self._on_accept)
        self.log.write("listen", port=self.port)

    def _unlisten(self):
        if self._listener:
            try:
                self._sel.unregister(self._listener)
            except (KeyError, ValueError):
                pass
            self._listener.close()
            self._listener = None
            self.log.write("unlisten")

    def _loop(self):
        while self._stop_reason is None:
            now = time.monotonic()
            while self._stop_reason is None:
                item = self._timeline.pop_due(now)
                if item is None:
                    break
                self._guard(item)
            if self._stop_reason is not None:
                break
            nxt = self._timeline.next_time()
            timeout = 1.0 if nxt is None else min(1.0, max(0.0, nxt - time.monotonic()))
            for key, mask in self._sel.select(timeout):
                self._guard(key.data, mask)

    def _guard(self, fn, *args):
        try:
            fn(*args)
        except Exception as e:  # the simulator must outlive any surprise
            self.log.write("internal-error", error="%s: %s" % (type(e).__name__, e),
                           trace=traceback.format_exc())
            self.say(0, "internal error: %s: %s" % (type(e).__name__, e))
            if self._link and not self._link.closed:
                self._close(self._link, "internal error", flush=False)

    def _finish(self):
        reason = self._stop_reason or "stopped"
        if self._link and not self._link.closed:
            self._close(self._link, "simulator stopping", flush=True)
        self._unlisten()
        if self._stream_file:
            self._stream_file.close()
            self.say(1, "stream saved to %s" % self.cfg.save_stream)
        if self.cfg.snapshot:
            self._take_snapshot(self.cfg.snapshot)
        left = self._runner.never_started()
        if left:
            self.say(1, "%d scenario step%s never ran: %s" % (
                len(left), "" if len(left) == 1 else "s", "; ".join(s.text for s in left[:5])))
            self.log.write("steps-not-run", steps=[s.text for s in left])
        self.summary = self.stats.summary()
        self.log.write("summary", reason=reason, **self.summary)
        self.say(0, "stopping: %s" % reason)
        for line in stats.format_summary(self.summary):
            self.say(0, line)
        if self.cfg.strict and (self.stats.problems or self.stats.protocol_errors):
            self.exit_code = 3
        self.log.write("exit", code=self.exit_code)
        self.log.close()
        self._sel.close()
        self._wake_r.close()
        self._wake_w.close()

    # --- sockets ------------------------------------------------------------

    # --- sending --------------------------------------------------------------

    def send(self, link, code, payload=b"", channel=wire.CONTROL, flags=0, frame_id=0):
        if link is None or link.closed or link.raw_reader is not None:
            # After a frame left incomplete on purpose, any frame (a PONG, an
            # acknowledgement) would only become the rest of it.
            return
        self._write(link, self._frame(link, code, payload, channel, flags, frame_id))

    def _frame(self, link, code, payload, channel=wire.CONTROL, flags=0, frame_id=0):
        """The bytes of one outgoing frame, counted and logged."""
        ts = self.now_us()
        seq = self._counters.next(channel)
        frame = wire.encode_frame(code, payload, channel=channel, flags=flags, sequence=seq,
                                  frame_id=frame_id, timestamp_us=ts)
        if code == wire.PING and len(payload) >= 24:
            ping = wire.decode_ping(payload)
            link.pings[ping["pingId"]] = ping["originUs"]
            if len(link.pings) > 64:
                link.pings.pop(next(iter(link.pings)))
        name = wire.message_name(code)
        self.stats.sent[name] += 1
        try:
            desc = wire.describe_payload(code, payload)
        except wire.WireError as e:
            desc = {"bytes": len(payload), "hex": payload[:64].hex(), "note": str(e)}
        self.log.write("send", conn=link.index, type=name, code=code, channel=channel, flags=flags,
                       sequence=seq, frameId=frame_id, timestampUs=ts, payloadLength=len(payload),
                       payload=desc)
        if code not in (wire.FRAME_ACK, wire.PING, wire.PONG):
            self.say(2, "-> %s %s" % (name, payload[:200].decode("utf-8", "replace")
                                      if code in wire.JSON_TYPES else ""))
        return frame

    def send_json(self, link, code, obj):
        self.send(link, code, wire.encode_json(obj))

    def send_raw(self, link, data):
        if link is None or link.closed:
            return
        self.stats.sent["raw bytes"] += 1
        self.log.write("send-raw", conn=link.index, bytes=len(data), hex=data[:64].hex())
        self._write(link, data)
        # Where the raw bytes leave the outgoing framing: a later raw step
        # may finish the frame this one started.
        reader = link.raw_reader or wire.FrameReader()
        reader.feed(data)
        link.raw_reader = reader if not reader.failed and reader.pending() else None
