"""The receiver sends bad input at every point of the conversation, over
TLS, in one host run (bad_input_cases.py builds the scenario): the host
never crashes (exit 0, no sanitizer report), drops each bad message with its
log line and keeps the connection, ends the connection on broken framing
and reconnects, waits on an incomplete frame until the receiver closes, and
ends Run after the receiver's refusal. Natively the session streams; under
Wine it runs degraded (no video processor) but handles every message."""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import bad_input_cases as cases  # noqa: E402
import hostproc  # noqa: E402
from session_peers import Simulator, parse_log, states  # noqa: E402
from session_runs import Store  # noqa: E402

NATIVE = not hostproc.UNDER_WINE
SEED = int(os.environ.get("VEYRA_BAD_INPUT_SEED", "18"))
# The receiver's own approval comes well after this PC's, which waits for
# the question to stand its second (under Wine each press of the box also
# starts a Windows program).
RECEIVER_APPROVES = "after=3" if NATIVE else "after=6"
CONNECTIONS = int(os.environ.get("VEYRA_BAD_INPUT_CONNECTIONS", "12" if NATIVE else "5"))
CLOSED = ("receiver closed the connection", "TLS receive failed")
SANITIZER = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
             "WARNING: ThreadSanitizer")


class Run:
    def __init__(self, workdir, store):
        self.scenario = cases.Scenario(SEED, CONNECTIONS, streams=NATIVE)
        self.sim = Simulator(os.path.join(str(workdir), "receiver"), "--no-hello",
                             "--no-device-info", "--approve", RECEIVER_APPROVES,
                             "--ping-interval", "0", "--no-frame-ack", *self.scenario.words())
        log = os.path.join(str(workdir), "host.log")
        err = os.path.join(str(workdir), "host.stderr")
        # This PC's user allows whatever connects: the garbage is meant to
        # reach every point of the conversation, streaming included.
        approver = hostproc.Approver("yes", log)
        with open(err, "wb") as stderr:
            host = hostproc.popen(
                hostproc.HOST, "--host", "127.0.0.1", "--port", str(self.sim.port),
                "--source", "synthetic", "--verbose", "--gop", "100000",
                "--log", hostproc.windows_path(log), stdin=approver.stdin(),
                stdout=subprocess.DEVNULL, stderr=stderr, env=hostproc.host_env(store.home))
            approver.attach(host)
            try:
                self.code = host.wait(600)
            finally:
                if host.poll() is None:
                    host.kill()
                    host.wait()
                approver.close()
                self.sim.stop()
        with open(log, encoding="utf-8", errors="replace") as f:
            self.lines = parse_log(f.read())
        with open(err, encoding="utf-8", errors="replace") as f:
            self.stderr = f.read()
        self.segments = self._segments()

    def _segments(self):
        """The log lines of each connection, from its "connected to" line."""
        out = []
        for line in self.lines:
            if line.text.startswith("connected to 127.0.0.1:"):
                out.append([])
            if out:
                out[-1].append(line)
        return out


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    store = Store(tmp_path_factory.mktemp("data"))
    try:
        yield Run(tmp_path_factory.mktemp("bad_input"), store)
    finally:
        store.restore()


def dropped(lines):
    """The lines that say a message was dropped or ignored."""
    return [line for line in lines if line.text.startswith(("failed handling ", "ignoring "))
            or line.text == "receiver requested an IDR"]


def between(segment, mark):
    texts = [line.text for line in segment]
    begin = texts.index("receiver error %s: begin" % mark)
    end = texts.index("receiver error %s: end" % mark)
    return segment[begin + 1:end]


def lost_reasons(segment):
    return [line.text[len("transport lost: "):] for line in segment
            if line.text.startswith("transport lost: ")]


def test_the_host_survives_everything_and_ends_run_after_the_refusal(run):
    assert not [s for s in SANITIZER if s in run.stderr], run.stderr[-4000:]
    assert run.code == 0, [line.text for line in run.lines[-20:]]
    # One connection per case, then the corpus and the refusal; never more.
    assert len(run.segments) == run.scenario.refusal
    assert len(run.sim.of("accept")) == run.scenario.refusal
    assert states(run.lines)[-2:] == [(states(run.lines)[-2][0], "IDLE", "run finished"),
                                      ("IDLE", "STOPPING", "stop requested")]
    print("%d connections, %d batches, %d dropped messages checked" % (
        len(run.segments), sum(len(c["batches"]) for c in run.scenario.connections),
        sum(len(b[2]) for c in run.scenario.connections for b in c["batches"])))


def test_each_bad_message_is_dropped_with_its_line_at_every_point(run):
    for n, connection in enumerate(run.scenario.connections, start=1):
        segment = run.segments[n - 1]
        for point, mark, expected in connection["batches"]:
            got = dropped(between(segment, mark))
            assert len(got) == len(expected), (n, point, [g.text for g in got])
            for line, (level, text, exact) in zip(got, expected):
                assert line.level == level, (n, point, line, text)
                assert (line.text == text) if exact else line.text.startswith(text), (
                    n, point, line, text)


def test_broken_framing_ends_the_connection_and_the_host_reconnects(run):
    for n, connection in enumerate(run.scenario.connections, start=1):
        segment = run.segments[n - 1]
        kind, detail = connection["outcome"]
        if kind == "lost":
            want = ["protocol error: " + detail]
        else:
            # The host waits for the rest of the frame until the receiver closes.
            assert len(lost_reasons(segment)) == 1 and lost_reasons(segment)[0] in CLOSED, (
                n, connection["end"], lost_reasons(segment))
            want = lost_reasons(segment)
        assert lost_reasons(segment) == want, (n, connection["point"], connection["end"])
        assert any(line.text.startswith("state ") and
                   line.text.endswith(" -> RECONNECTING (%s)" % want[0]) for line in segment), (
                       n, want)


def test_corpus_payloads_keep_the_connection(run):
    segment = run.segments[run.scenario.corpus - 1]
    handled = between(segment, "MARK-%d" % run.scenario.corpus)
    assert len(dropped(handled)) <= run.scenario.corpus_frames
    assert lost_reasons(segment) == ["protocol error: bad magic"]


def test_after_the_refusal_every_message_is_ignored(run):
    segment = run.segments[run.scenario.refusal - 1]
    texts = [line.text for line in segment]
    assert any(t.startswith("the device did not allow this computer (faults)") for t in texts)
    got = [line.text for line in dropped(segment)]
    for _, text, _ in run.scenario.refused:
        assert text in got, text
    assert not any(t.startswith("failed handling ") for t in got)
    assert not any(t.startswith(("paired with ", "receiver error ")) for t in texts)
    assert lost_reasons(segment) == ["protocol error: bad magic"]
    assert not any(t.startswith("state RECONNECTING -> CONNECTING") for t in texts)
