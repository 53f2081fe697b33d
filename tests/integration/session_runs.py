"""The host runs the session tests look at: the host's data folder, the
long "journey" against one simulator, and the short runs that end with a
refusal. Each run is made once; the tests only read what it left."""

import json
import os
import shutil
import socket
import time

import pytest

import hostproc
from session_peers import Host, Simulator, states, wait_for

NATIVE = not hostproc.UNDER_WINE
native_only = pytest.mark.skipif(not NATIVE, reason="Wine has no video processor or encoder")
wine_only = pytest.mark.skipif(NATIVE, reason="natively the pipeline starts")
GOP = "100000"   # no keyframes but the requested ones
BAD_INPUT = ["short SCROLL 20", "send 11 not json", "bad-json HELLO", "bad-json DEVICE_INFO",
             "send 200", "send STREAM_STOP"]


class Store:
    """The host's data folder: private natively; under Wine the prefix's
    one, emptied for the session tests and restored afterwards."""

    def __init__(self, home):
        self.home = str(home)
        self.path, _ = hostproc.store_file(self.home)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self._saved = self.raw()
        if self._saved is not None:
            os.remove(self.path)

    def raw(self):
        try:
            with open(self.path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def read(self):
        return json.loads(self.raw())

    def restore(self):
        if self._saved is None:
            if os.path.exists(self.path):
                os.remove(self.path)
        else:
            with open(self.path, "wb") as f:
                f.write(self._saved)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Journey:
    """A new receiver pairs after a delayed approval, streams (natively) or
    stays degraded (under Wine), gets bad input, goes offline for 3 s, comes
    back, and then goes away for good."""

    def __init__(self, workdir, store):
        anchor = "stream" if NATIVE else "paired"
        steps = ["%s+1.5 idr" % anchor, "%s+2.5 bitrate 4M" % anchor]
        steps += ["%s+3 %s" % (anchor, step) for step in BAD_INPUT]
        if NATIVE:
            steps += ["stream+4 visibility false background", "stream+7.5 visibility true",
                      "stream+9 offline 3"]
        else:
            steps += ["paired+3.5 tap 0.5 0.5", "paired+3.5 short TOUCH", "paired+6 offline 3"]
        steps.append("%s+1.5@2 offline 30" % anchor)
        self.stream_file = os.path.join(str(workdir), "stream.h264")
        args = []
        for step in steps:
            args += ["--action", step]
        self.sim = Simulator(os.path.join(str(workdir), "receiver"), "--approve", "after=7",
                             "--screen", "2208x1768", "--max-decode", "1920x1080",
                             "--save-stream", self.stream_file, *args)
        self.started = time.monotonic()
        host = Host(workdir, self.sim.port, "--source", "synthetic", "--verbose", "--gop", GOP,
                    data_home=store.home)
        try:
            self.code = host.wait(timeout=180)
        finally:
            host.kill()
            self.sim.stop()
        self.seconds = time.monotonic() - self.started
        self.boxes = host.approver.boxes
        self.lines = host.lines()
        self.texts = [line.text for line in self.lines]
        self.events = self.sim.events
        self.pairing = store.read()
        accepted = self.sim.of("send", type="PAIR_ACCEPTED")
        self.token = accepted[0]["payload"]["token"] if accepted else None

    def received(self, conn, *types):
        return [e for e in self.events if e["event"] == "recv" and e["conn"] == conn and
                (not types or e["type"] in types)]

    def sent(self, type_name, conn=1):
        return [e for e in self.events if e["event"] == "send" and e["conn"] == conn and
                e["type"] == type_name]

    def line(self, text):
        return next(line for line in self.lines if line.text == text)

    def index(self, text):
        return self.texts.index(text)


class Refusal:
    """One host run against a simulator that Run refuses or is refused by."""

    def __init__(self, workdir, store, state, *words, host_args=(), approve="yes"):
        self.sim = Simulator(state, "--once", *words)
        host = Host(workdir, self.sim.port, "--source", "synthetic", "--verbose", *host_args,
                    data_home=store.home, approve=approve)
        try:
            self.code = host.wait()
        finally:
            host.kill()
        self.boxes = host.approver.boxes
        wait_for(lambda: self.sim.of("closed"), timeout=10)
        self.sim.stop()
        self.lines = host.lines()
        self.texts = [line.text for line in self.lines]

    def ended_without_reconnecting(self, code=0):
        assert self.code == code
        changes = states(self.lines)
        assert ("RECONNECTING", "CONNECTING", "reconnecting") not in changes
        assert not any(t.startswith("receiver did not come back") for t in self.texts)
        assert changes[-2:] == [(changes[-2][0], "IDLE", "run finished"),
                                ("IDLE", "STOPPING", "stop requested")]
        assert len(self.sim.of("accept")) == 1


def copy_state(journey, tmp_path):
    state = tmp_path / "receiver"
    shutil.copytree(journey.sim._receiver.cfg.state_dir, state)
    return state
