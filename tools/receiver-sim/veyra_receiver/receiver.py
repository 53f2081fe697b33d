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

import json
import os
import queue
import selectors
import socket
import ssl
import sys
import threading
import time
import traceback

from . import h264, identity, media, messages, scenario, stats, wire

VERSION = "0.1.0"
HANDSHAKE_TIMEOUT = 10.0
HELLO_ACK_TIMEOUT = 5.0
READ_SIZE = 256 * 1024


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
        self.held = None                 # output held back while a frame goes out in pieces

    def fileno(self):
        return self.sock.fileno()


class Receiver:
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

    def _on_wake(self, mask):
        try:
            while self._wake_r.recv(4096):
                pass
        except (BlockingIOError, InterruptedError):
            pass
        while True:
            try:
                answer = self._answers.get_nowait()
            except queue.Empty:
                break
            self._on_answer(answer)

    def _on_accept(self, mask):
        try:
            sock, peer = self._listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self.log.write("accept-failed", error=str(e))
            return
        if self._link and not self._link.closed:
            # One host at a time; a new connection means the old one is stale
            # (the host reconnected before this side noticed the drop).
            self._close(self._link, "replaced by a new connection from %s:%s" % peer[:2], flush=False)
        if self._stop_reason is not None:
            sock.close()
            return
        self.stats.connections += 1
        link = Link(self.stats.connections, sock, peer)
        sock.setblocking(False)
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        self._link = link
        self._sel.register(sock, selectors.EVENT_READ, lambda m, l=link: self._on_link(l, m))
        self.say(1, "connection %d from %s" % (link.index, link.peer))
        self.log.write("accept", conn=link.index, peer=link.peer)
        if self._ctx:
            link.inbio = ssl.MemoryBIO()
            link.outbio = ssl.MemoryBIO()
            link.ssl = self._ctx.wrap_bio(link.inbio, link.outbio, server_side=True)
            self._timeline.add(time.monotonic() + HANDSHAKE_TIMEOUT,
                               lambda: self._close(link, "no TLS handshake within %g s" % HANDSHAKE_TIMEOUT,
                                                   flush=False) if not link.ready else None,
                               owner=link)
        else:
            self._connected(link)

    def _on_link(self, link, mask):
        if link.closed:
            return
        if mask & selectors.EVENT_WRITE:
            self._flush(link)
        if mask & selectors.EVENT_READ and not link.closed:
            self._read(link)

    def _read(self, link):
        try:
            data = link.sock.recv(READ_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self._close(link, "receive failed: %s" % e, flush=False)
            return
        arrival = self.now_us()
        if not data:
            self._close(link, "the host closed the connection", flush=False)
            return
        self.stats.bytes_in += len(data)
        if not link.ssl:
            self._feed(link, data, arrival)
            return
        if not link.ready and not link.inbio.pending and data.startswith(wire.MAGIC):
            self._mismatch(link, "the host speaks plaintext but this simulator expects TLS: "
                                 "give --no-tls to both, or to neither")
            return
        link.inbio.write(data)
        if not link.ready:
            try:
                link.ssl.do_handshake()
            except ssl.SSLWantReadError:
                self._pump(link)
                return
            except ssl.SSLError as e:
                self._pump(link)
                self._close(link, "TLS handshake failed: %s" % (e.reason or e), flush=True)
                return
            link.ready = True
            link.protocol = link.ssl.version() or "TLS"
            self._pump(link)
            self.say(1, "%s established with %s (%s)" % (link.protocol, link.peer,
                                                         link.ssl.cipher()[0] if link.ssl.cipher() else "?"))
            self.log.write("tls", conn=link.index, protocol=link.protocol,
                           cipher=link.ssl.cipher()[0] if link.ssl.cipher() else None)
            self._connected(link)
            if link.closed:
                return
        plain = bytearray()
        ended = None
        while True:
            try:
                chunk = link.ssl.read(READ_SIZE)
            except ssl.SSLWantReadError:
                break
            except ssl.SSLZeroReturnError:
                ended = "the host ended the TLS session"
                break
            except ssl.SSLError as e:
                ended = "TLS error: %s" % (e.reason or e)
                break
            if not chunk:
                break
            plain += chunk
        self._pump(link)
        if plain:
            self._feed(link, bytes(plain), arrival)
        if ended and not link.closed:
            self._close(link, ended, flush=False)

    def _feed(self, link, data, arrival):
        frames = link.reader.feed(data)
        for header, payload in frames:
            if link.closed:
                return
            self._on_frame(link, header, payload, arrival)
        if link.reader.failed and not link.closed:
            if link.ssl is None and link.reader.bad_header[:2] == b"\x16\x03" and link.frames == 0:
                self._mismatch(link, "the host started a TLS handshake but this simulator runs "
                                     "with --no-tls: give --no-tls to both, or to neither")
                return
            reason = "protocol error: %s" % link.reader.failed
            self.stats.protocol_errors.append(reason)
            self.log.write("protocol-error", conn=link.index, reason=link.reader.failed,
                           header=link.reader.bad_header)
            self.say(0, "%s (header bytes %s); closing the connection"
                     % (reason, link.reader.bad_header.hex()))
            self._close(link, reason, flush=True)

    def _mismatch(self, link, text):
        self.stats.protocol_errors.append(text)
        self.log.write("protocol-error", conn=link.index, reason=text)
        self.say(0, text)
        self._close(link, text, flush=False)

    def _write(self, link, data, *, bypass_hold=False):
        if link.closed:
            return
        if link.held is not None and not bypass_hold:
            link.held += data       # a frame is going out in pieces; the rest waits
            return
        self.stats.bytes_out += len(data)
        if link.ssl:
            view = memoryview(data)
            try:
                while view:
                    n = link.ssl.write(view)
                    view = view[n:]
            except ssl.SSLError as e:
                self._close(link, "TLS error while sending: %s" % (e.reason or e), flush=False)
                return
            self._pump(link)
        else:
            link.outbuf += data
            self._flush(link)

    def _pump(self, link):
        if link.ssl:
            pending = link.outbio.read()
            if pending:
                link.outbuf += pending
        self._flush(link)

    def _flush(self, link):
        if link.closed:
            return
        while link.outbuf:
            try:
                n = link.sock.send(link.outbuf)
            except (BlockingIOError, InterruptedError):
                break
            except OSError as e:
                self._close(link, "send failed: %s" % e, flush=False)
                return
            del link.outbuf[:n]
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if link.outbuf else 0)
        try:
            if self._sel.get_key(link.sock).events != events:
                self._sel.modify(link.sock, events, self._sel.get_key(link.sock).data)
        except (KeyError, ValueError):
            pass

    def _close(self, link, reason, flush=True):
        if link.closed:
            return
        if flush and link.ssl and link.ready:
            try:
                link.ssl.unwrap()
            except (ssl.SSLError, ValueError):
                pass
            link.outbuf += link.outbio.read()
        link.closed = True
        self._timeline.drop_owner(link)
        try:
            self._sel.unregister(link.sock)
        except (KeyError, ValueError):
            pass
        if flush and link.outbuf:
            try:
                link.sock.settimeout(1.0)
                link.sock.sendall(link.outbuf)
            except OSError:
                pass
        try:
            link.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        link.sock.close()
        if self._link is link:
            self._link = None
        if self._asking is link:
            self._asking = None
        self.stats.end_connection(link)
        self.say(1, "connection %d closed: %s" % (link.index, reason))
        self.log.write("closed", conn=link.index, reason=reason, frames=link.frames)
        if self.cfg.connections and self.stats.connections >= self.cfg.connections:
            self._stop("served %d connection%s" % (self.cfg.connections,
                                                   "" if self.cfg.connections == 1 else "s"))

    # --- sending --------------------------------------------------------------

    def send(self, link, code, payload=b"", channel=wire.CONTROL, flags=0, frame_id=0):
        if link is None or link.closed:
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

    # --- the conversation ---------------------------------------------------------

    def _connected(self, link):
        link.ready = True
        self._anchor(link, "connect")
        if link.closed:
            return
        if self.cfg.send_hello:
            self.send_json(link, wire.HELLO, messages.hello_payload(self))
            link.pairing = "hello-sent"
            self._timeline.add(time.monotonic() + HELLO_ACK_TIMEOUT, lambda: self._check_hello_ack(link),
                               owner=link)
        if self.cfg.ping_interval > 0:
            self._ping_tick(link)

    def _check_hello_ack(self, link):
        if link.pairing == "hello-sent":
            self.problem(link, "no HELLO_ACK within %g s of HELLO" % HELLO_ACK_TIMEOUT)

    def _ping_tick(self, link):
        if link.closed:
            return
        self.send(link, wire.PING, wire.encode_ping(self.next_ping_id(), self.now_us(), 0))
        self._timeline.add(time.monotonic() + self.cfg.ping_interval, lambda: self._ping_tick(link),
                           owner=link)

    def _anchor(self, link, name):
        if link is not None:
            if name in link.anchors:
                return
            link.anchors.add(name)
            self.log.write("anchor", conn=link.index, anchor=name)
        now = time.monotonic()
        for when, step in self._runner.on_anchor(name, link.index if link else None, now):
            self._timeline.add(when, lambda s=step, l=link: self._run_step(l, s),
                               order=step.order, owner=link)

    def _paired(self, link):
        link.pairing = "paired"
        self._anchor(link, "paired")
        if self.cfg.send_device_info and not link.closed:
            self.send_json(link, wire.DEVICE_INFO,
                           messages.ordered(self.device_info, messages.DEVICE_INFO_KEYS))

    def _ask(self, link, why):
        link.pairing = "prompt"
        code = self.identity.short_code if (self.identity and link.ssl) else None
        self.say(1, "pairing: \"%s\" asks to use this device as a display (%s)" % (link.host_name, why))
        if code:
            self.say(1, "         the host should show the code %s" % code)
        self.log.write("prompt", conn=link.index, hostId=link.host_id, hostName=link.host_name,
                       why=why, approve=self.cfg.approve)
        mode = self.cfg.approve
        if mode == "yes":
            self._decide(link, True)
        elif mode == "no":
            self._decide(link, False)
        elif mode == "after":
            self.say(1, "         allowing it in %g s" % self.cfg.approve_after)
            self._timeline.add(time.monotonic() + self.cfg.approve_after,
                               lambda: self._decide(link, True), owner=link)
        elif mode == "ask":
            self._asking = link
            self._start_stdin()
            try:
                print("Allow \"%s\" to use this device as a display? [y/n] " % link.host_name,
                      end="", file=self.out, flush=True)
            except (OSError, ValueError):
                pass
        else:
            self.say(1, "         leaving the prompt unanswered (--approve never)")

    def _start_stdin(self):
        if self._stdin_thread:
            return

        def reader():
            while True:
                try:
                    line = sys.stdin.readline()
                except (OSError, ValueError):
                    line = ""
                self._answers.put(line if line else None)
                try:
                    self._wake_w.send(b"a")
                except OSError:
                    return
                if not line:
                    return

        self._stdin_thread = threading.Thread(target=reader, name="stdin", daemon=True)
        self._stdin_thread.start()

    def _on_answer(self, line):
        link = self._asking
        if link is None or link.closed:
            return
        if line is None:
            self.say(1, "no answer (standard input closed); denying")
            self._decide(link, False)
            return
        answer = line.strip().lower()
        if answer in ("y", "yes", "allow"):
            self._decide(link, True)
        elif answer in ("n", "no", "deny"):
            self._decide(link, False)
        else:
            print("Please answer y or n: ", end="", file=self.out, flush=True)

    def _decide(self, link, allow):
        if link.closed or link.pairing != "prompt":
            return
        self._asking = None
        if allow:
            token = identity.new_token()
            self.pairings.remember(link.host_id, token, link.host_name)
            self.stats.pairing.append("allowed %s" % link.host_id)
            self.log.write("pairing", conn=link.index, decision="allow", hostId=link.host_id)
            self.say(1, "pairing: allowed; sending PAIR_ACCEPTED with a new token")
            self.send_json(link, wire.PAIR_ACCEPTED, {"token": token})
            self._paired(link)
        else:
            link.pairing = "denied"
            self.stats.pairing.append("denied %s" % link.host_id)
            self.log.write("pairing", conn=link.index, decision="deny", hostId=link.host_id)
            self.say(1, "pairing: denied; sending ERROR PERMISSION_DENIED and closing")
            self.send_json(link, wire.ERROR, {"code": "PERMISSION_DENIED",
                                              "message": self.cfg.deny_message})
            self._close(link, "the user did not allow the host", flush=True)

    # --- what the host sends -----------------------------------------------------

    def _on_frame(self, link, h, payload, arrival):
        name = h.name
        self.stats.received[name] += 1
        try:
            desc = wire.describe_payload(h.type, payload)
            error = None
        except wire.WireError as e:
            desc, error = None, str(e)
        record = h.as_dict()
        if error:
            record["error"] = error
        self.log.write("recv", conn=link.index, payload=desc, **record)
        if h.type not in (wire.VIDEO_FRAME, wire.PING, wire.PONG):
            self.say(2, "<- %s %s" % (name, payload[:200].decode("utf-8", "replace")
                                      if h.type in wire.JSON_TYPES else ""))
        self._check_header(link, h)
        if error:
            self.problem(link, "%s: %s" % (name, error), kind="%s: %s" % (name, error.split(":")[0]))
            return
        handler = self._handlers.get(h.type)
        if handler is not None:
            handler(self, link, h, payload, desc, arrival)
        elif h.type == wire.STREAM_STOP:
            self.problem(link, "the host sent STREAM_STOP, which it never sends")
        elif h.type in wire.RECEIVER_TYPES:
            self.problem(link, "the host sent %s, which only the receiver sends" % name)
        else:
            self.problem(link, "unknown message type %d (%d payload bytes)" % (h.type, len(payload)),
                         kind="unknown message type %d" % h.type)

    def _check_header(self, link, h):
        name = h.name
        if h.type == wire.VIDEO_FRAME:
            want_channel, ok_flags = wire.VIDEO, (wire.FLAG_ACCESS_UNIT,
                                                  wire.FLAG_ACCESS_UNIT | wire.FLAG_KEYFRAME)
        elif h.type == wire.VIDEO_CONFIG_DATA:
            want_channel, ok_flags = wire.VIDEO, (wire.FLAG_CODEC_CONFIG,)
        else:
            want_channel, ok_flags = wire.CONTROL, (0,)
        if h.channel != want_channel:
            self.problem(link, "%s on channel %d, expected %d" % (name, h.channel, want_channel))
        if h.flags not in ok_flags:
            self.problem(link, "%s with flags 0x%02X, expected %s" % (
                name, h.flags, " or ".join("0x%02X" % f for f in ok_flags)))
        if h.type != wire.VIDEO_FRAME and h.frame_id != 0:
            self.problem(link, "%s with frameId %d, expected 0" % (name, h.frame_id))
        if h.channel == wire.VIDEO:
            if link.video_seq_count == 0:
                link.video_seq_min = link.video_seq_max = h.sequence
            else:
                if ((h.sequence - link.video_seq_min) & 0xFFFFFFFF) >= 0x80000000:
                    link.video_seq_min = h.sequence
                if ((h.sequence - link.video_seq_max) & 0xFFFFFFFF) < 0x80000000:
                    link.video_seq_max = h.sequence
            link.video_seq_count += 1

    def _json_object(self, link, h, desc):
        for p in messages.check_shape(h.type, desc):
            self.problem(link, "%s: %s" % (h.name, p))
        return desc if isinstance(desc, dict) else {}

    def _on_hello_ack(self, link, h, payload, desc, arrival):
        ack = self._json_object(link, h, desc)
        host_id = ack.get("hostId") if isinstance(ack.get("hostId"), str) else ""
        host_name = ack.get("hostName") if isinstance(ack.get("hostName"), str) else ""
        token = ack.get("token") if isinstance(ack.get("token"), str) else ""
        self.say(1, "host \"%s\" (id %s), version %s, protocol %s, features %s" % (
            host_name, host_id or "?", ack.get("hostVersion", "?"), ack.get("protocolVersion", "?"),
            ",".join(f for f in ack.get("features", []) if isinstance(f, str))
            if isinstance(ack.get("features"), list) else "?"))
        self._anchor(link, "hello-ack")
        if link.pairing not in ("hello-sent", "none"):
            return
        link.host_id, link.host_name = host_id, host_name
        if not host_id:
            self.problem(link, "HELLO_ACK without a host id; pairing cannot be remembered")
        if self.pairings.knows(host_id, token):
            self.say(1, "pairing: this host is already allowed (its token matches); no prompt")
            self.log.write("pairing", conn=link.index, decision="known", hostId=host_id)
            self._paired(link)
        else:
            self._ask(link, "it has no token" if not token else "its token is not one this device issued")

    def _on_video_config(self, link, h, payload, desc, arrival):
        vc = self._json_object(link, h, desc)
        link.video_config = vc
        link.need_config = True
        self.stats.video_config = vc
        self.say(1, "video config: %sx%s @ %s fps, %s kbps, %s %s %s" % (
            vc.get("width"), vc.get("height"), vc.get("fps"),
            vc.get("bitrateBps") // 1000 if isinstance(vc.get("bitrateBps"), int) else "?",
            vc.get("codec"), vc.get("profile"), vc.get("level")))

    def _on_config_data(self, link, h, payload, desc, arrival):
        self.stats.config_data += 1
        types = wire.nal_types(payload)
        if not wire.has_start_code(payload):
            self.problem(link, "VIDEO_CONFIG_DATA does not start with an Annex B start code")
        if h264.NAL_SPS not in types or h264.NAL_PPS not in types:
            self.problem(link, "VIDEO_CONFIG_DATA lacks %s (NAL types %s)" % (
                " and ".join(n for n, t in (("an SPS", h264.NAL_SPS), ("a PPS", h264.NAL_PPS))
                             if t not in types), types))
        try:
            sps = h264.find_sps(payload)
        except wire.WireError as e:
            sps = None
            self.problem(link, "VIDEO_CONFIG_DATA: unreadable SPS: %s" % e)
        if sps:
            self.log.write("sps", conn=link.index, **sps)
            vc = link.video_config or {}
            if vc and (vc.get("width"), vc.get("height")) != (sps["width"], sps["height"]):
                self.problem(link, "the SPS describes %dx%d pictures but VIDEO_CONFIG said %sx%s"
                             % (sps["width"], sps["height"], vc.get("width"), vc.get("height")))
            self.say(1, "codec config: %dx%d, %s profile, level %s" % (
                sps["width"], sps["height"], sps["profile"], sps["level"]))
        link.need_config = False
        link.expect_idr = True
        self._recent.add_config(payload)
        if self._stream_file:
            self._stream_file.write(payload)

    def _on_stream_start(self, link, h, payload, desc, arrival):
        if payload:
            self.problem(link, "STREAM_START carries %d payload bytes" % len(payload))
        self.say(1, "stream started")
        self._anchor(link, "stream")

    def _on_keepalive(self, link, h, payload, desc, arrival):
        if payload:
            self.problem(link, "STREAM_KEEPALIVE carries %d payload bytes" % len(payload))

    def _on_host_stats(self, link, h, payload, desc, arrival):
        hs = self._json_object(link, h, desc)
        self.stats.host_stats = hs
        self.say(2, "host stats: " + " ".join("%s=%s" % kv for kv in hs.items()))

    def _on_error(self, link, h, payload, desc, arrival):
        err = self._json_object(link, h, desc)
        code = err.get("code", "INTERNAL")
        message = err.get("message", "")
        self.stats.host_errors.append("%s: %s" % (code, message))
        self.say(0, "host error %s: %s" % (code, message))

    def _on_ping(self, link, h, payload, desc, arrival):
        self.send(link, wire.PONG, wire.encode_ping(desc["pingId"], desc["originUs"], self.now_us()))

    def _on_pong(self, link, h, payload, desc, arrival):
        origin = link.pings.pop(desc["pingId"], None)
        if origin is None:
            self.problem(link, "PONG for a PING this receiver did not send (pingId %d)" % desc["pingId"],
                         kind="PONG for an unknown PING")
            return
        if desc["originUs"] != origin:
            self.problem(link, "PONG %d echoed originUs %d instead of %d" % (
                desc["pingId"], desc["originUs"], origin), kind="PONG with a changed originUs")
        rtt = arrival - origin
        if rtt < 0:
            return
        self.stats.add_sample(self.stats.rtt_us, rtt)
        offset = desc["replyUs"] - (origin + rtt // 2)
        if link.best_rtt is None or rtt <= link.best_rtt:
            link.best_rtt = rtt
            link.offset_us = offset

    def _on_video_frame(self, link, h, payload, desc, arrival):
        types = desc["nalTypes"]
        idr = h264.NAL_IDR in types
        keyflag = bool(h.flags & wire.FLAG_KEYFRAME)
        fid = h.frame_id
        if not wire.has_start_code(payload):
            self.problem(link, "VIDEO_FRAME %d is not an Annex B byte stream" % fid,
                         kind="VIDEO_FRAME not in Annex B form")
        if keyflag != idr:
            self.problem(link, "VIDEO_FRAME %d: KEYFRAME flag %s but the access unit %s an IDR picture "
                         "(NAL types %s)" % (fid, "set" if keyflag else "clear",
                                             "holds" if idr else "holds no", types),
                         kind="VIDEO_FRAME KEYFRAME flag does not match the picture")
        if link.need_config:
            self.problem(link, "VIDEO_FRAME %d before VIDEO_CONFIG_DATA" % fid,
                         kind="VIDEO_FRAME before VIDEO_CONFIG_DATA")
            link.need_config = False
        if link.expect_idr:
            link.expect_idr = False
            if not idr:
                self.problem(link, "the first VIDEO_FRAME after VIDEO_CONFIG_DATA (%d) is not an IDR "
                             "picture" % fid, kind="first VIDEO_FRAME is not an IDR picture")
        if link.last_frame_id is not None and fid <= link.last_frame_id:
            self.problem(link, "frameId went from %d to %d" % (link.last_frame_id, fid),
                         kind="frameId not increasing")
        link.last_frame_id = fid
        if self.cfg.frame_ack:
            decoded = arrival + self.cfg.decode_us
            presented = decoded + self.cfg.present_us if self.cfg.present_us > 0 else 0
            self.send(link, wire.FRAME_ACK, wire.encode_frame_ack(fid, arrival, decoded, presented))
        st = self.stats
        st.frames += 1
        st.video_bytes += len(payload)
        if keyflag or idr:
            st.keyframes += 1
        if link.frames:
            st.max_frame_gap_us = max(st.max_frame_gap_us, arrival - link.last_frame_us)
        else:
            link.first_frame_us = arrival
        link.frames += 1
        link.last_frame_us = arrival
        if link.offset_us is not None:
            st.add_sample(st.e2e_us, arrival + link.offset_us - h.timestamp_us)
        if self._stream_file:
            self._stream_file.write(payload)
        if self._keep_pictures and not self._recent.add_unit(payload, idr):
            self.say(1, "no IDR for a long time; asking the host for one to keep a picture at hand")
            self.send(link, wire.REQUEST_IDR)
        if link.frames == 1:
            self.say(1, "first video frame (%d bytes%s)" % (len(payload), ", IDR" if idr else ""))
        self._anchor(link, "frame")

    _handlers = {
        wire.HELLO_ACK: _on_hello_ack,
        wire.VIDEO_CONFIG: _on_video_config,
        wire.VIDEO_CONFIG_DATA: _on_config_data,
        wire.STREAM_START: _on_stream_start,
        wire.STREAM_KEEPALIVE: _on_keepalive,
        wire.HOST_STATS: _on_host_stats,
        wire.ERROR: _on_error,
        wire.PING: _on_ping,
        wire.PONG: _on_pong,
        wire.VIDEO_FRAME: _on_video_frame,
    }

    # --- scenario steps ----------------------------------------------------------

    def _run_step(self, link, step):
        if link is None:
            link = self._link
        live = link is not None and not link.closed
        self.log.write("action", conn=link.index if link else None, step=step.text, op=step.op,
                       params=step.params)
        op = step.op
        if op == "exit":
            self.say(1, "scenario: exit")
            self._stop("scenario exit step")
            return
        if op == "log":
            self.log.write("mark", text=step.params["text"])
            return
        if op == "snapshot":
            self._take_snapshot(step.params["text"])
            return
        if op == "offline":
            secs = step.params["seconds"]
            if live:
                self._close(link, "going offline for %g s (scenario)" % secs, flush=True)
            self._unlisten()
            self.say(1, "scenario: not listening for %g s" % secs)
            self._timeline.add(time.monotonic() + secs, self._relisten)
            return
        if not live:
            self.log.write("skipped", step=step.text, reason="no connection")
            self.say(1, "scenario: skipped \"%s\" (no connection)" % step.text)
            return
        if op == "close":
            self._close(link, "closed by the scenario", flush=True)
            return
        self.say(1 if op not in ("touch", "key") else 2, "scenario: %s" % step.text)
        if op == "pieces":
            self._send_in_pieces(link, step.params)
            return
        items = messages.build(op, step.params, self)
        for item in items or ():
            if item[0] == "raw":
                self.send_raw(link, item[1])
            else:
                self.send(link, item[1], item[2])

    def _send_in_pieces(self, link, params):
        data = bytearray()
        for op, p in params["ops"]:
            for item in messages.build(op, p, self) or ():
                data += item[1] if item[0] == "raw" else self._frame(link, item[1], item[2])
        size, interval = params["size"], params["interval"]
        chunks = [bytes(data[i:i + size]) for i in range(0, len(data), size)]
        if link.held is None:
            link.held = bytearray()
        now = time.monotonic()
        for i, chunk in enumerate(chunks):
            self._timeline.add(now + i * interval,
                               lambda c=chunk: self._write(link, c, bypass_hold=True), owner=link)

        def release():
            held, link.held = link.held, None
            if held:
                self._write(link, bytes(held))
        self._timeline.add(now + max(0, len(chunks) - 1) * interval, release, owner=link)

    def _relisten(self):
        if self._stop_reason is not None or self._listener is not None:
            return
        try:
            self._listen()
            self.say(1, "listening again on port %d" % self.port)
        except OSError as e:
            self.say(0, "cannot listen on port %d again: %s; retrying in 1 s" % (self.port, e))
            self._timeline.add(time.monotonic() + 1.0, self._relisten)

    def _take_snapshot(self, path):
        ok, text = media.snapshot(self._ffmpeg or media.find_ffmpeg(self.cfg.ffmpeg),
                                  self._recent.stream(), path)
        self.log.write("snapshot", path=path, ok=ok, text=text)
        self.say(0 if not ok else 1, "snapshot: %s" % text)
        return ok
