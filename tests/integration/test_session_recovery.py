"""Runs with a host of their own that go wrong on purpose and must go on
or end cleanly: a capture source that fails, Ctrl+C during the pause before
reconnecting, an X display that goes away, and a link slower than the
stream. They start from the pairing the journey (conftest.py) stored."""

import os
import re
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from session_peers import Host, Simulator, state_line, states, wait_for  # noqa: E402
from session_runs import NATIVE, Refusal, copy_state, native_only  # noqa: E402


def test_a_capture_source_that_fails_is_reported_and_the_session_stays(journey, store,
                                                                        tmp_path):
    # No desktop to duplicate here: natively there is none, and Wine has no
    # desktop duplication.
    run = Refusal(tmp_path, store, copy_state(journey, tmp_path),
                  "--action", "paired+3 error PERMISSION_DENIED enough",
                  "--action", "paired+3.2 close",
                  host_args=("--source", "dd"))
    run.ended_without_reconnecting()
    errors = [e["payload"] for e in run.sim.received(types=("ERROR",))]
    assert errors == [{"code": "NO_DISPLAY", "message": "capture source failed"}]
    assert any(t.startswith("pipeline start failed: ") for t in run.texts)
    changes = states(run.lines)
    degraded = changes.index(("DISPLAY_CREATING", "DEGRADED", "pipeline start failed"))
    assert changes[degraded + 1][1] in ("RECONNECTING", "IDLE")
    error_at = run.sim.of("send", type="ERROR")[0]["t"]
    assert len([e for e in run.sim.received(types=("PING",)) if e["t"] < error_at]) >= 2


@pytest.mark.skipif(not NATIVE, reason="SIGINT reaches the native host only")
def test_ctrl_c_during_the_reconnection_pause_ends_promptly(journey, store, tmp_path):
    sim = Simulator(copy_state(journey, tmp_path), "--action", "stream+0.5 offline 60")
    host = Host(tmp_path, sim.port, "--source", "synthetic", data_home=store.home)
    try:
        assert host.wait_line(state_line("STREAMING", "RECONNECTING",
                                         "receiver closed the connection"))
        host.interrupt()
        interrupted = time.monotonic()
        code = host.wait()
        took = time.monotonic() - interrupted
    finally:
        host.kill()
        sim.stop()
    texts = host.texts()
    assert code == 0
    assert not any(t.startswith("receiver did not come back") for t in texts)
    i = texts.index("shutting down")
    assert [t for t in texts[i:] if t.startswith("state ")] == [
        state_line("RECONNECTING", "STOPPING", "stop requested"),
        state_line("STOPPING", "IDLE", "run finished")]
    # Well inside the 8-second window the host would otherwise wait out.
    assert took < 5, took


@pytest.mark.skipif(not NATIVE, reason="the X11 capture is the native host's")
def test_an_x_display_that_goes_away_mid_stream_is_recovered_from(journey, store, tmp_path,
                                                                   monkeypatch):
    with hostproc.Xvfb() as display:
        monkeypatch.setenv("DISPLAY", display.name)
        # The empty display stands still: the keyframe asked for is the kept
        # picture sent again.
        sim = Simulator(copy_state(journey, tmp_path), "--once", "--action", "stream+1 idr")
        host = Host(tmp_path, sim.port, "--source", "dd", "--verbose", data_home=store.home)
        try:
            assert host.wait_line(
                "desktop is still; re-sending the last frame as the requested keyframe")
            display.stop()
            assert host.wait_line("capture lost; rebuilding the complete pipeline")
            assert wait_for(lambda: len(sim.received(types=("ERROR",))) >= 2)
            host.interrupt()
            assert host.wait() == 0
        finally:
            host.kill()
            sim.stop()
    texts = host.texts()
    assert "capture loop started (x11)" in texts
    assert any(t.startswith("capturing X display %s monitor 0 \"screen\": 640x480" % display.name)
               for t in texts)
    assert "X display %s went away" % display.name in texts
    errors = [e["payload"] for e in sim.received(types=("ERROR",))]
    assert errors[:2] == [{"code": "NO_DISPLAY", "message": "display changed or locked; recovering"},
                          {"code": "NO_DISPLAY", "message": "capture source failed"}]
    changes = states(host.lines())
    assert ("STREAMING", "DEGRADED", "display changed; rebuilding pipeline") in changes


@native_only
def test_over_a_slow_link_no_p_frame_follows_a_gap_and_the_stream_goes_on(journey, store,
                                                                          tmp_path):
    # A link at a quarter of the stream's rate: the receiver reads 4 Mbit/s
    # of a 16 Mbit/s stream of noise. A host that queues what it cannot send
    # fills its buffers in about two seconds and then drops frames from the
    # middle of the stream, which reach the receiver well within the run.
    # Asserts order, not speed.
    sim = Simulator(copy_state(journey, tmp_path), "--read-kbps", "4000")
    host = Host(tmp_path, sim.port, "--source", "noise", "--size", "1280x720", "--fps", "30",
                "--bitrate", "16000", "--verbose", data_home=store.home)
    try:
        first = wait_for(lambda: sim.received(types=("VIDEO_FRAME",)), timeout=30)
        assert first, host.texts()[-20:]
        time.sleep(9)
        host.interrupt()
        code = host.wait()
    finally:
        host.kill()
        summary = sim.stop()
    assert code == 0
    frames = sim.received(types=("VIDEO_FRAME",))
    assert summary["brokenReferences"] == 0, summary["problemKinds"]
    assert summary["problems"] == 0, summary["problemKinds"]
    # The stream kept going to the end, without a stall.
    times = [e["t"] for e in frames]
    assert times[-1] - times[0] > 8
    assert max(b - a for a, b in zip(times, times[1:])) < 3
    # The host lowered its rate for the link, and said why.
    assert any(re.fullmatch(r"bit rate [\d.]+ -> [\d.]+ Mbit/s: .+", t) for t in host.texts())
