"""Scripted receiver behaviour: timed steps such as touches, key presses,
visibility changes, bad bytes, closing the connection.

A step is written "TIME ACTION [ARGS...]", for example

    stream+1.5 tap 0.5 0.5
    3@2 visibility false "app in background"
    frame+0.2 key ctrl+c

TIME is [ANCHOR+]SECONDS[@CONNECTION] or ANCHOR[@CONNECTION].  The anchor is
the moment the seconds count from; CONNECTION is the 1-based number of the
connection the step belongs to (default 1; "*" repeats the step on every
connection).  Steps run once each, in time order; steps due at the same
moment run in the order they were given.
"""

import heapq
import itertools
import json
import re
import shlex

from .scenario_actions import ACTIONS, ScenarioError, parse_action

ANCHORS = {
    "start": "when the simulator starts (not tied to a connection)",
    "connect": "when a connection is accepted and, with TLS, handshaken (the default)",
    "hello-ack": "when HELLO_ACK arrives",
    "paired": "when pairing is settled (token known or PAIR_ACCEPTED sent), before DEVICE_INFO",
    "stream": "when STREAM_START arrives",
    "frame": "when the first VIDEO_FRAME arrives",
}
ALL_CONNECTIONS = 0


class Step:
    """One action at one time.  `op` and `params` are the parsed action."""

    __slots__ = ("anchor", "seconds", "connection", "op", "params", "order", "text")

    def __init__(self, anchor, seconds, connection, op, params, order, text):
        self.anchor = anchor
        self.seconds = seconds
        self.connection = connection
        self.op = op
        self.params = params
        self.order = order
        self.text = text

    def __repr__(self):
        return "Step(%s+%g@%s %s %r)" % (self.anchor, self.seconds, self.connection or "*",
                                        self.op, self.params)


_TIME = re.compile(r"^(?:(?P<anchor>[a-z][a-z-]*)(?:\+(?P<off1>[0-9]*\.?[0-9]+))?"
                   r"|(?P<off2>[0-9]*\.?[0-9]+))(?:@(?P<conn>[0-9]+|\*))?$")


def parse_time(text):
    """(anchor, seconds, connection) of a TIME word."""
    m = _TIME.match(text.strip())
    if not m:
        raise ScenarioError("bad time %r: expected [ANCHOR+]SECONDS[@N], e.g. 2.5, "
                            "stream+1 or frame@2" % text)
    anchor = m.group("anchor") or "connect"
    if anchor not in ANCHORS:
        raise ScenarioError("unknown anchor %r (one of %s)" % (anchor, ", ".join(ANCHORS)))
    seconds = float(m.group("off1") or m.group("off2") or 0)
    conn = m.group("conn")
    connection = ALL_CONNECTIONS if conn == "*" else int(conn or 1)
    if conn and conn != "*" and connection < 1:
        raise ScenarioError("connections are numbered from 1")
    return anchor, seconds, connection


# --- argument helpers ---------------------------------------------------------

def _steps(anchor, seconds, connection, words, index, text):
    return [Step(anchor, seconds + delay, connection, op, params, (index, sub), text)
            for sub, (delay, op, params) in enumerate(parse_action(words))]


def split_action(text):
    """The words of an action.  Arguments are split as a shell would, except
    the payload of "send", which is taken verbatim so JSON needs no quoting."""
    parts = text.strip().split(None, 2)
    if parts and parts[0].lower() == "send" and len(parts) == 3:
        return parts
    try:
        return shlex.split(text)
    except ValueError as e:
        raise ScenarioError("%r: %s" % (text, e)) from None


def parse_step(text, index=0):
    """The steps of one "TIME ACTION ARGS" line."""
    parts = text.strip().split(None, 1)
    if len(parts) < 2:
        raise ScenarioError("%r: expected TIME ACTION [ARGS]" % text)
    anchor, seconds, connection = parse_time(parts[0])
    return _steps(anchor, seconds, connection, split_action(parts[1]), index, text)


def parse_entry(entry, index):
    """A step of a scenario file: a "TIME ACTION ARGS" string, or an object
    {"at": 2.5 | "stream+1", "anchor": ..., "connection": N | "*",
     "do": "tap 0.5 0.5"} or with "action" and "args" instead of "do"."""
    if isinstance(entry, str):
        return parse_step(entry, index)
    if not isinstance(entry, dict):
        raise ScenarioError("step %d: expected a string or an object" % (index + 1))
    at = entry.get("at", 0)
    if isinstance(at, (int, float)) and not isinstance(at, bool):
        anchor, seconds, connection = "connect", float(at), 1
    elif isinstance(at, str):
        anchor, seconds, connection = parse_time(at)
    else:
        raise ScenarioError("step %d: bad \"at\"" % (index + 1))
    if "anchor" in entry:
        anchor = entry["anchor"]
        if anchor not in ANCHORS:
            raise ScenarioError("step %d: unknown anchor %r" % (index + 1, anchor))
    if "connection" in entry:
        c = entry["connection"]
        connection = ALL_CONNECTIONS if c in ("*", "all") else int(c)
    if "do" in entry:
        words = split_action(str(entry["do"]))
    elif "action" in entry:
        words = [str(entry["action"])] + [a if isinstance(a, str) else json.dumps(a)
                                          for a in entry.get("args", [])]
    else:
        raise ScenarioError("step %d: needs \"do\" or \"action\"" % (index + 1))
    return _steps(anchor, seconds, connection, words, index, json.dumps(entry))


def load_file(path, first_index=0):
    try:
        with open(path, "rb") as f:
            data = json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError) as e:
        raise ScenarioError("cannot read scenario %s: %s" % (path, e)) from None
    if isinstance(data, dict):
        data = data.get("steps")
    if not isinstance(data, list):
        raise ScenarioError("scenario %s: expected a list of steps (or {\"steps\": [...]})" % path)
    steps = []
    for i, entry in enumerate(data):
        try:
            steps += parse_entry(entry, first_index + i)
        except ScenarioError as e:
            raise ScenarioError("%s: %s" % (path, e)) from None
    return steps


class Timeline:
    """Pending timed items, taken out in (time, order) sequence.  Items carry
    an owner; dropping an owner forgets its pending items."""

    def __init__(self):
        self._heap = []
        self._count = itertools.count()
        self._dropped = set()

    def add(self, when, item, order=(), owner=None):
        heapq.heappush(self._heap, (when, order, next(self._count), owner, item))

    def drop_owner(self, owner):
        self._dropped.add(owner)

    def _prune(self):
        while self._heap and self._heap[0][3] is not None and self._heap[0][3] in self._dropped:
            heapq.heappop(self._heap)

    def next_time(self):
        self._prune()
        return self._heap[0][0] if self._heap else None

    def pop_due(self, now):
        """The next item due at or before now, or None."""
        self._prune()
        if self._heap and self._heap[0][0] <= now:
            return heapq.heappop(self._heap)[4]
        return None

    def __len__(self):
        self._prune()
        return sum(1 for e in self._heap if e[3] is None or e[3] not in self._dropped)


class ScenarioRunner:
    """Tells which steps an anchor starts, once per step (and connection, for
    steps that repeat on every connection)."""

    def __init__(self, steps):
        self.steps = list(steps)
        self.started = set()

    def on_anchor(self, anchor, connection, now):
        """[(when, step)] for the steps this anchor starts."""
        out = []
        for i, step in enumerate(self.steps):
            if step.anchor != anchor:
                continue
            if anchor != "start" and step.connection not in (ALL_CONNECTIONS, connection):
                continue
            key = (i, connection if step.connection == ALL_CONNECTIONS else None)
            if key in self.started:
                continue
            self.started.add(key)
            out.append((now + step.seconds, step))
        return out

    def never_started(self):
        return [s for i, s in enumerate(self.steps)
                if s.connection != ALL_CONNECTIONS and not any(k[0] == i for k in self.started)]


def usage_text():
    lines = ["Scenario steps: \"TIME ACTION [ARGS]\"; TIME is [ANCHOR+]SECONDS[@N] "
             "(N: connection number, * for every connection).",
             "Anchors:"]
    lines += ["  %-12s %s" % (k, v) for k, v in ANCHORS.items()]
    lines.append("Actions:")
    lines += ["  " + usage for _, usage in ACTIONS.values()]
    return "\n".join(lines)
