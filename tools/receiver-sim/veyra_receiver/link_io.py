"""Sockets of the simulated receiver: accepting the host, reading and
writing through TLS on memory buffers, framing, and closing a connection."""

import os
import queue
import selectors
import socket
import ssl
import struct
import time

from . import wire
from .link import Link

HANDSHAKE_TIMEOUT = 10.0
READ_SIZE = 256 * 1024
PLAINTEXT_HOST = ("the host speaks plaintext but this simulator expects TLS: "
                  "give --no-tls to both, or to neither")
# With --read-kbps: the most read at once, and the least worth waking for.
READ_BURST = 16 * 1024
READ_MIN = 1500


class LinkIO:
    """The receiver's socket work; mixed into Receiver, runs on its loop thread."""

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
        link.on_event = lambda m, l=link: self._on_link(l, m)
        self._sel.register(sock, selectors.EVENT_READ, link.on_event)
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

    def _read_allowance(self, link):
        """Bytes the read rate allows now; 0 pauses reading until enough
        budget has built up again."""
        rate = self.cfg.read_kbps * 125          # bytes a second
        if not rate:
            return READ_SIZE
        now = time.monotonic()
        if link.read_at is None:
            link.read_budget = READ_BURST
        else:
            link.read_budget = min(READ_BURST, link.read_budget + (now - link.read_at) * rate)
        link.read_at = now
        if link.read_budget >= READ_MIN:
            return int(link.read_budget)
        link.read_paused = True
        self._interest(link)
        self._timeline.add(now + (READ_MIN - link.read_budget) / rate,
                           lambda: self._resume_read(link), owner=link)
        return 0

    def _resume_read(self, link):
        link.read_paused = False
        self._interest(link)

    def _interest(self, link):
        """Registers the events the link waits for: reading unless paused,
        writing while output waits."""
        if link.closed:
            return
        events = (0 if link.read_paused else selectors.EVENT_READ) | (
            selectors.EVENT_WRITE if link.outbuf else 0)
        try:
            key = self._sel.get_key(link.sock)
        except (KeyError, ValueError):
            key = None
        if key is None:
            if events:
                self._sel.register(link.sock, events, link.on_event)
        elif not events:
            self._sel.unregister(link.sock)
        elif key.events != events:
            self._sel.modify(link.sock, events, key.data)

    def _read(self, link):
        allowance = self._read_allowance(link)
        if not allowance:
            return
        try:
            data = link.sock.recv(allowance)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self._close(link, "receive failed: %s" % e, flush=False)
            return
        arrival = self.now_us()
        if not data:
            self._close(link, "the host closed the connection", flush=False)
            return
        link.read_budget -= len(data)
        self.stats.bytes_in += len(data)
        if not link.ssl:
            self._feed(link, data, arrival)
            return
        if not link.ready and not link.inbio.pending and data.startswith(wire.MAGIC):
            self._mismatch(link, PLAINTEXT_HOST)
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
                self._send_failed(link, e)
                return
            del link.outbuf[:n]
        self._interest(link)

    def _send_failed(self, link, error):
        """A host that gave up on this connection (a TLS client meeting a
        plaintext simulator, say) often sent why before its reset: what
        arrived is read first, so the reason does not depend on which of
        the two this side noticed first."""
        try:
            data = link.sock.recv(READ_SIZE)
        except OSError:
            data = b""
        if data:
            self.stats.bytes_in += len(data)
            link.outbuf.clear()
            if not link.ssl:
                self._feed(link, data, self.now_us())
            elif not link.ready and data.startswith(wire.MAGIC):
                self._mismatch(link, PLAINTEXT_HOST)
        if not link.closed:
            self._close(link, "send failed: %s" % error, flush=False)

    def _close(self, link, reason, flush=True, reset=False):
        """Ends a connection: with flush, after the TLS close and what is
        queued; with reset, at once with a TCP reset (no FIN, no TLS close),
        as a phone whose app is killed or whose network resets looks to
        the host."""
        if link.closed:
            return
        if flush and link.ssl and link.ready and not reset:
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
        if reset:
            # A zero linger time makes close() send RST and drop unsent data
            # (struct linger holds two ints, two u_shorts on Windows).
            linger = struct.pack("HH" if os.name == "nt" else "ii", 1, 0)
            try:
                link.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
            except OSError:
                pass
        else:
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
