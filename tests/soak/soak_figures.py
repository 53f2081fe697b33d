"""The soak's figures, read from the simulated receiver's event log (JSON
lines, one event each, times in seconds since the simulator started): the
connections and the planned drops they recovered from, the video that
arrived and was acknowledged, and the longest time without video while a
connection was up and the receiver was showing the picture."""

import json

FLAG_KEYFRAME = 0x01
PLANNED_DROPS = ("going offline", "reset by the scenario")


class Figures:
    """Fed the events in order; |stop_t| is when the soak began to stop the
    host, after which closes are the host's orderly exit."""

    def __init__(self, stop_t=None):
        self.stop_t = stop_t
        self.connections = 0
        self.spans = []                  # [accepted, closed or None] per connection
        self.drops = 0                   # planned drops before the stop
        self.reconnections = 0           # planned drops followed by a new connection
        self.longest_reconnect_s = 0.0   # planned drop to the next accepted connection
        self.unplanned_closes = []       # (t, reason) of closes nobody planned
        self.frames = 0
        self.keyframes = 0
        self.acks = 0
        self.problems = []
        self.longest_gap_s = 0.0         # no video while connected and visible
        self.longest_first_frame_s = 0.0  # connection accepted to its first frame
        self._drop_t = None
        self._conn = None                # the live connection's number
        self._accepted_t = 0.0
        self._had_frame = False
        self._visible = True
        self._mark = None                # since when video is due, or None

    def _before_stop(self, t):
        return self.stop_t is None or t < self.stop_t

    def feed(self, e):
        kind = e.get("event")
        t = e.get("t", 0.0)
        if kind == "accept":
            self.connections += 1
            self.spans.append([t, None])
            if self._drop_t is not None:
                self.reconnections += 1
                self.longest_reconnect_s = max(self.longest_reconnect_s, t - self._drop_t)
                self._drop_t = None
            self._conn, self._accepted_t = e.get("conn"), t
            self._had_frame, self._visible, self._mark = False, True, None
        elif kind == "closed" and e.get("conn") == self._conn:
            self._gap_until(t)
            self.spans[-1][1] = t
            self._conn, self._mark = None, None
            reason = e.get("reason", "")
            if reason.startswith(PLANNED_DROPS):
                if self._before_stop(t):
                    self.drops += 1
                    self._drop_t = t
            elif self._before_stop(t):
                self.unplanned_closes.append((t, reason))
        elif kind == "action" and e.get("op") == "visibility" and e.get("conn") == self._conn:
            visible = bool(e.get("params", {}).get("visible"))
            if visible and not self._visible and self._had_frame:
                self._mark = t
            elif not visible:
                self._gap_until(t)
                self._mark = None
            self._visible = visible
        elif kind == "recv" and e.get("type") == "VIDEO_FRAME" and e.get("conn") == self._conn:
            self.frames += 1
            if e.get("flags", 0) & FLAG_KEYFRAME:
                self.keyframes += 1
            if not self._had_frame:
                self._had_frame = True
                self.longest_first_frame_s = max(self.longest_first_frame_s, t - self._accepted_t)
            elif self._visible:
                self._gap_until(t)
            if self._visible:
                self._mark = t
        elif kind == "send" and e.get("type") == "FRAME_ACK":
            self.acks += 1
        elif kind in ("problem", "protocol-error"):
            self.problems.append(e.get("reason", ""))

    def _gap_until(self, t):
        if self._mark is not None and self._visible:
            self.longest_gap_s = max(self.longest_gap_s, t - self._mark)

    @property
    def connected(self):
        return self._conn is not None

    @property
    def lost_reconnections(self):
        return self.drops - self.reconnections

    def as_dict(self):
        return {"connections": self.connections, "drops": self.drops,
                "reconnections": self.reconnections,
                "longestReconnectS": round(self.longest_reconnect_s, 3),
                "unplannedCloses": self.unplanned_closes[:10],
                "frames": self.frames, "keyframes": self.keyframes, "acks": self.acks,
                "problems": len(self.problems), "problemSamples": self.problems[:5],
                "longestGapS": round(self.longest_gap_s, 3),
                "longestFirstFrameS": round(self.longest_first_frame_s, 3)}


class LogFollower:
    """Reads the events a running simulator appends to its log; a line not
    yet complete waits for the next read."""

    def __init__(self, path):
        self.path = path
        self._file = None
        self._partial = ""

    def new_events(self):
        if self._file is None:
            try:
                self._file = open(self.path, encoding="utf-8", errors="replace")
            except FileNotFoundError:
                return []
        events = []
        for line in (self._partial + self._file.read()).splitlines(keepends=True):
            if not line.endswith("\n"):
                self._partial = line
                break
            self._partial = ""
            try:
                events.append(json.loads(line))
            except ValueError:
                continue
        return events

    def close(self):
        if self._file:
            self._file.close()
