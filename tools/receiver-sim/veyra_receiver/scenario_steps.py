"""Running the scenario's steps on a connection: input, control messages,
bad bytes, pieces, offline periods and snapshots."""

import time

from . import media, messages


class ScenarioSteps:
    """Scenario actions; mixed into Receiver, run on its loop thread."""

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
        if live and link.held is not None and op in ("close", "reset", "offline"):
            # A frame is going out in pieces: the connection ends after it.
            link.after_pieces.append(step)
            return
        if op == "offline":
            secs = step.params["seconds"]
            if live:
                self._close(link, "going offline for %g s (scenario)" % secs, flush=True)
            self._go_offline(secs)
            return
        if op == "reset":
            secs = step.params["seconds"]
            if live:
                self._close(link, "reset by the scenario", flush=False, reset=True)
            if secs is not None:
                self._go_offline(secs)
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
            waiting, link.after_pieces = link.after_pieces, []
            for step in waiting:
                self._run_step(link, step)
        self._timeline.add(now + max(0, len(chunks) - 1) * interval, release, owner=link)

    def _go_offline(self, secs):
        self._unlisten()
        self.say(1, "scenario: not listening for %g s" % secs)
        self._timeline.add(time.monotonic() + secs, self._relisten)

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
