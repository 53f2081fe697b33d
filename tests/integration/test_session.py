"""The host's session end to end against the receiver simulator over TLS:
pairing, streaming, loss and reconnection, refusals and bad input. Natively
the FFmpeg back end streams real H.264; under Wine the pipeline cannot start
(no video processor) and the session runs degraded.

One long host run (the "journey") serves most checks; the refusals, the
impostor and Ctrl+C each need a run of their own because each ends Run."""

import json
import os
import re
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from session_peers import (HOST_NAME, Host, Simulator, state_line, states,  # noqa: E402
                           wait_for, wire)
from session_runs import Journey, Refusal, Store, copy_state, free_port  # noqa: E402

NATIVE = not hostproc.UNDER_WINE
FEATURES = ["idr-request", "set-bitrate", "keepalive", "host-stats", "pairing"]
# Closed from the host's side, as the simulator words it.
HOST_CLOSED = ("the host ended the TLS session", "the host closed the connection")
NO_TOKEN = "no pairing token for this device; it will ask the user to allow \"%s\"" % HOST_NAME
CODE_LINE = "  Check this code matches the one on the phone:  %s"
WARNING_LINE = "  If it does not match, do NOT approve - something else answered."
WAITING = "waiting for the device to allow \"%s\" - tap Allow on its screen." % HOST_NAME


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    s = Store(tmp_path_factory.mktemp("data"))
    yield s
    s.restore()


@pytest.fixture(scope="module")
def no_receiver(store, tmp_path_factory):
    """A host run against a port where nothing listens; it also tells whether
    this build's host gets past its graphics devices at all."""
    host = Host(tmp_path_factory.mktemp("none"), free_port(), "--source", "synthetic",
                data_home=store.home)
    code = host.wait()
    return code, host.lines()


@pytest.fixture(scope="module")
def session_runs(no_receiver):
    code, lines = no_receiver
    failed = [line.text for line in lines if line.text.startswith("GraphicsContext failed")]
    if failed:
        pytest.skip("this build's host has no graphics devices (%s); the session cannot start"
                    % failed[0])


def test_without_a_receiver_run_fails_and_the_host_exits_1(no_receiver):
    code, lines = no_receiver
    assert code == 1
    texts = [line.text for line in lines]
    if any(t.startswith("GraphicsContext failed") for t in texts):
        # Ends before connecting: no state change, no connect attempt.
        assert not any(t.startswith("state ") and "CONNECTING" in t for t in texts)
        return
    assert any(re.fullmatch(r"transport connect failed: 0x[0-9A-F]{8}", t) for t in texts), texts
    assert states(lines)[0] == ("IDLE", "CONNECTING", "127.0.0.1")
    assert not any(s[1] == "NEGOTIATING" for s in states(lines))


# --- the journey ---------------------------------------------------------------

@pytest.fixture(scope="module")
def journey(session_runs, store, tmp_path_factory):
    return Journey(tmp_path_factory.mktemp("journey"), store)


def test_the_journey_ends_with_exit_0(journey):
    assert journey.code == 0, journey.texts[-20:]
    print("journey took %.1f s" % journey.seconds)


def test_the_receiver_found_nothing_wrong_in_what_the_host_sent(journey):
    assert [e["reason"] for e in journey.events if e["event"] == "problem"] == []
    assert not [e for e in journey.events if e["event"] in ("protocol-error", "internal-error")]


def test_a_new_receiver_gets_hello_ack_with_the_constants_and_no_token(journey):
    acks = journey.received(1, "HELLO_ACK")
    assert len(acks) == 1
    assert acks[0]["payload"] == {
        "protocolVersion": 1, "hostPlatform": "windows", "hostVersion": "0.1.0",
        "codec": "h264", "features": FEATURES, "hostId": journey.pairing["hostId"],
        "hostName": HOST_NAME, "token": ""}
    assert list(acks[0]["payload"]) == ["protocolVersion", "hostPlatform", "hostVersion", "codec",
                                        "features", "hostId", "hostName", "token"]


def test_the_host_shows_the_code_the_receiver_computes_from_its_key(journey):
    i = journey.index(NO_TOKEN)
    assert journey.texts[i + 1:i + 5] == [
        "", CODE_LINE % journey.sim.short_code, WARNING_LINE, ""]
    assert re.fullmatch(r"[0-9A-F]{4}(-[0-9A-F]{4}){3}", journey.sim.short_code)


def test_this_pc_is_asked_once_with_the_code_and_yes_pairs(journey):
    """The new receiver waits for this PC's user: natively a question in the
    log answered on standard input, under Wine the real message box."""
    question = journey.boxes if hostproc.UNDER_WINE else [
        t for t in journey.texts if t.startswith("Code: ")]
    assert len(question) == 1
    assert "Code: %s" % journey.sim.short_code in question[0]
    assert journey.texts.count("this PC's user allowed the receiver") == 1
    assert journey.index("this PC's user allowed the receiver") < journey.index(
        "paired with %s; it will connect without asking from now on" % journey.sim.device_id)


def test_after_5_s_the_host_asks_to_tap_allow_once(journey):
    assert journey.texts.count(WAITING) == 1
    connected = next(line for line in journey.lines if line.text.startswith("connected to "))
    waiting = journey.line(WAITING)
    # Never earlier than 5 s after the connection, and before the approval.
    assert waiting.us - connected.us >= 5000000 - 1000
    assert journey.index(WAITING) < journey.index(
        "paired with %s; it will connect without asking from now on" % journey.sim.device_id)
    assert not any(t.startswith("receiver has not sent DEVICE_INFO") for t in journey.texts)


def test_pair_accepted_stores_token_and_pin(journey):
    device = journey.sim.device_id
    assert journey.token
    assert journey.pairing["receivers"] == {device: journey.token}
    assert journey.pairing["pins"] == {device: journey.sim.key_hash}
    assert journey.pairing["hostName"] == HOST_NAME
    pinned = journey.index("pinned the device's TLS key: %s" % journey.sim.key_hash)
    paired = journey.index("paired with %s; it will connect without asking from now on" % device)
    assert pinned < paired


def test_the_next_connection_gets_the_token_and_no_approval_lines(journey):
    acks = journey.received(2, "HELLO_ACK")
    assert len(acks) == 1
    assert acks[0]["payload"]["token"] == journey.token
    assert not journey.sim.of("prompt", conn=2)
    for text in (NO_TOKEN, CODE_LINE % journey.sim.short_code, WAITING):
        assert journey.texts.count(text) == 1
    assert len([t for t in journey.texts if t.startswith("paired with ")]) == 1


def test_a_lost_receiver_that_comes_back_gets_a_new_pipeline(journey):
    changes = states(journey.lines)
    lost = changes.index(("DEGRADED" if not NATIVE else "STREAMING", "RECONNECTING",
                          "receiver closed the connection"))
    assert changes[lost + 1:lost + 4] == [
        ("RECONNECTING", "CONNECTING", "reconnecting"),
        ("CONNECTING", "NEGOTIATING", "waiting for HELLO"),
        ("NEGOTIATING", "DISPLAY_CREATING", "starting capture")]
    if NATIVE:
        assert changes[lost + 4] == ("DISPLAY_CREATING", "STREAMING", "pipeline running")
        types = [e["type"] for e in journey.received(2, "VIDEO_CONFIG", "STREAM_START",
                                                     "VIDEO_CONFIG_DATA")]
        assert types == ["VIDEO_CONFIG", "STREAM_START", "VIDEO_CONFIG_DATA"]
    else:
        assert changes[lost + 4] == ("DISPLAY_CREATING", "DEGRADED", "pipeline start failed")
    assert journey.texts.count(
        "receiver disconnected (receiver closed the connection); keeping display for 8000 ms") == 2


def test_a_receiver_that_does_not_come_back_ends_run(journey):
    warn = "receiver did not come back within 8000 ms"
    assert journey.texts.count(warn) == 1
    assert states(journey.lines)[-2:] == [("CONNECTING", "IDLE", "run finished"),
                                          ("IDLE", "STOPPING", "stop requested")]
    i = journey.index(warn)
    assert journey.texts[i + 1:] == [state_line("CONNECTING", "IDLE", "run finished"),
                                     state_line("IDLE", "STOPPING", "stop requested")]
    # One attempt after each one-second pause of the 8-second window.
    last_loss = max(k for k, t in enumerate(journey.texts) if t.startswith("receiver disconnected"))
    attempts = [t for t in journey.texts[last_loss:i] if re.fullmatch(
        r"connect to 127\.0\.0\.1:\d+ failed", t)]
    assert 1 <= len(attempts) <= 8
    assert len(journey.sim.of("accept")) == 2


def test_bad_input_is_logged_and_the_connection_stays_up(journey):
    warns = [line.text for line in journey.lines if line.level == "WARN"]
    if NATIVE:
        assert "failed handling SCROLL: short SCROLL" in warns
    else:
        # Not streaming: input is dropped before it is even decoded.
        assert not any(t.startswith("failed handling SCROLL") for t in journey.texts)
    for name in ("UNKNOWN", "HELLO", "DEVICE_INFO"):
        assert len([t for t in warns if t.startswith("failed handling %s: " % name)]) == 1, name
    debug = [line.text for line in journey.lines if line.level == "DEBUG"]
    assert "ignoring UNKNOWN" in debug
    assert "ignoring STREAM_STOP" in debug
    # Nothing was answered or rebuilt, and the connection lived on.
    assert len(journey.received(1, "HELLO_ACK")) == 1
    assert len([t for t in journey.texts if t.startswith("receiver Veyra")]) == 2
    bad_sent = journey.sent("STREAM_STOP")[0]["t"]
    later = [e for e in journey.received(1, "PONG") if e["t"] > bad_sent]
    assert len(later) >= 2
    closed = journey.sim.of("closed", conn=1)[0]
    assert closed["reason"].startswith("going offline")


# --- streaming, natively -------------------------------------------------------

native_only = pytest.mark.skipif(not NATIVE, reason="Wine has no video processor or encoder")


@native_only
def test_device_info_gives_video_config_stream_start_then_config_data_and_a_keyframe(journey):
    config = journey.received(1, "VIDEO_CONFIG")
    assert len(config) == 1
    assert config[0]["payload"] == {"codec": "h264", "width": 1728, "height": 1080, "fps": 60,
                                    "bitrateBps": 12000000, "profile": "high", "level": "4.2"}
    order = [e["type"] for e in journey.received(1, "VIDEO_CONFIG", "STREAM_START",
                                                 "VIDEO_CONFIG_DATA", "VIDEO_FRAME")]
    assert order[:4] == ["VIDEO_CONFIG", "STREAM_START", "VIDEO_CONFIG_DATA", "VIDEO_FRAME"]
    assert order.count("VIDEO_CONFIG_DATA") == 1
    video = journey.received(1, "VIDEO_CONFIG_DATA", "VIDEO_FRAME")
    # Next on the video channel: nothing went out between the two.
    assert video[1]["sequence"] == (video[0]["sequence"] + 1) & 0xFFFFFFFF
    first = video[1]
    assert first["flags"] == wire.FLAG_ACCESS_UNIT | wire.FLAG_KEYFRAME
    assert 5 in first["payload"]["nalTypes"]


@native_only
def test_the_saved_stream_decodes_at_the_stream_size(journey):
    result = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                             "-show_entries", "stream=width,height,nb_read_frames", "-of", "json",
                             journey.stream_file], capture_output=True, timeout=120, check=True)
    stream = json.loads(result.stdout)["streams"][0]
    assert (stream["width"], stream["height"]) == (1728, 1080)
    frames = len(journey.received(1, "VIDEO_FRAME")) + len(journey.received(2, "VIDEO_FRAME"))
    assert int(stream["nb_read_frames"]) == frames


def keyframes(frames):
    return [f for f in frames if f["flags"] & wire.FLAG_KEYFRAME]


@native_only
def test_request_idr_and_visibility_bring_the_only_keyframes(journey):
    frames = journey.received(1, "VIDEO_FRAME")
    idr = journey.sent("REQUEST_IDR")[0]["t"]
    hidden = journey.sent("VISIBILITY")[1]["t"]     # the first one is the broken payload
    keys = keyframes(frames)
    assert len(keys) == 3, [(f["frameId"], f["t"]) for f in keys]
    assert keys[0] is frames[0]
    assert idr < keys[1]["t"] < hidden
    assert "receiver requested an IDR" in journey.texts


@native_only
def test_a_hidden_receiver_gets_keepalives_and_no_delta_frames(journey):
    shown = journey.sent("VISIBILITY")[2]["t"]
    hidden_at = journey.line("receiver stopped showing the picture (background); still "
                             "connected, so this is not a fault").us
    assert journey.texts.count("receiver is in the background; capture and encoding paused") == 1
    frames = journey.received(1, "VIDEO_FRAME")
    # No delta frame captured after the host took the message (its log has
    # millisecond resolution) reaches the receiver while it hides.
    late = [f for f in frames if f["timestampUs"] > hidden_at + 1000 and f["t"] < shown and
            not f["flags"] & wire.FLAG_KEYFRAME]
    assert late == []
    alive = [e for e in journey.received(1, "STREAM_KEEPALIVE") if e["t"] < shown]
    assert len(alive) >= 2
    gaps = [b["timestampUs"] - a["timestampUs"] for a, b in zip(alive, alive[1:])]
    assert min(gaps) >= 1000000


@native_only
def test_a_receiver_showing_the_picture_again_resumes_with_a_keyframe(journey):
    shown = journey.sent("VISIBILITY")[2]["t"]
    after = [f for f in journey.received(1, "VIDEO_FRAME") if f["t"] > shown]
    assert after and after[0]["flags"] & wire.FLAG_KEYFRAME
    i = journey.index("receiver is showing the picture again (scenario)")
    assert journey.texts.index("receiver is back; resuming capture with a keyframe") > i


@native_only
def test_set_bitrate_changes_the_encoder_and_the_next_pipeline(journey):
    # Once for SET_BITRATE; the link's own adaptation may come back to it.
    assert journey.texts.count("bitrate -> 4000 kbps") >= 1
    assert journey.received(2, "VIDEO_CONFIG")[0]["payload"]["bitrateBps"] == 4000000


@native_only
def test_host_stats_come_every_second_with_the_receivers_latencies(journey):
    stats = journey.received(1, "HOST_STATS")
    gaps = [b["timestampUs"] - a["timestampUs"] for a, b in zip(stats, stats[1:])]
    assert min(gaps) >= 1000000
    start = journey.received(1, "STREAM_START")[0]["timestampUs"]
    span_s = (stats[-1]["timestampUs"] - start) / 1e6
    assert len(stats) >= span_s / 2
    visible = [s["payload"] for s in stats if s["t"] < journey.sent("VISIBILITY")[1]["t"]]
    assert any(s["fps"] > 0 and s["bitrateBps"] > 0 for s in visible)
    assert any(s["networkMs"] > 0 and s["e2eP50Ms"] > 0 and s["e2eP95Ms"] >= s["e2eP50Ms"]
               for s in visible)
    # A second into the pause the rates have fallen to 0.
    hidden = journey.sent("VISIBILITY")[1]["t"]
    shown = journey.sent("VISIBILITY")[2]["t"]
    paused = [s["payload"] for s in stats if hidden + 2 < s["t"] < shown]
    assert paused and all(s["fps"] == 0 and s["bitrateBps"] == 0 for s in paused)
    assert len([t for t in journey.texts if t.startswith("fps=")]) >= len(stats)


# --- under Wine: degraded ----------------------------------------------------------

wine_only = pytest.mark.skipif(NATIVE, reason="natively the pipeline starts")


@wine_only
def test_under_wine_the_pipeline_cannot_start_and_the_session_degrades(journey):
    failed = [t for t in journey.texts if t.startswith("pipeline start failed: ")]
    assert len(failed) == 2
    changes = states(journey.lines)
    assert changes.count(("DISPLAY_CREATING", "DEGRADED", "pipeline start failed")) == 2
    assert not journey.received(1, "VIDEO_CONFIG") and not journey.received(1, "STREAM_START")


@wine_only
def test_under_wine_a_degraded_session_keeps_pinging_and_drops_touch(journey):
    degraded = next(line for line in journey.lines if line.text == state_line(
        "DISPLAY_CREATING", "DEGRADED", "pipeline start failed"))
    closed = journey.sim.of("closed", conn=1)[0]["t"]
    pings = [e for e in journey.received(1, "PING")
             if e["timestampUs"] > degraded.us and e["t"] < closed]
    assert len(pings) >= 3
    ids = [p["payload"]["pingId"] for p in pings]
    assert ids == list(range(ids[0], ids[0] + len(ids)))
    gaps = [b["timestampUs"] - a["timestampUs"] for a, b in zip(pings, pings[1:])]
    assert min(gaps) >= 1000000
    assert not any(t.startswith("failed handling TOUCH") for t in journey.texts)
    # Nothing but the loss moved the session on.
    changes = states(journey.lines)
    i = changes.index(("DISPLAY_CREATING", "DEGRADED", "pipeline start failed"))
    assert changes[i + 1] == ("DEGRADED", "RECONNECTING", "receiver closed the connection")


# --- runs that end with a refusal ----------------------------------------------------

@pytest.mark.parametrize("answer", ["no", "eof"])
def test_a_receiver_this_pc_refuses_gets_nothing_and_the_host_exits_3(journey, store, tmp_path,
                                                                      answer):
    """This PC's user answers No (natively "n" on standard input, under Wine
    the box's No button) or nothing at all (natively end of input): the
    phone gets no picture, nothing is stored, and the host exits with 3."""
    if answer == "eof" and not NATIVE:
        pytest.skip("end of input is the native build's way of not answering")
    before = store.raw()
    run = Refusal(tmp_path, store, tmp_path / ("refused-" + answer), approve=answer)
    run.ended_without_reconnecting(code=3)
    assert store.raw() == before
    # Told that this PC's answer is awaited only when the answer took a while.
    errors = [e["payload"] for e in run.sim.received(types=("ERROR",))]
    assert errors[-1] == {"code": "PERMISSION_DENIED", "message": "not allowed on this PC"}
    assert errors[:-1] in ([], [{"code": "NO_DISPLAY",
                                 "message": "waiting for approval on the PC"}])
    assert not run.sim.received(types=("VIDEO_CONFIG", "STREAM_START", "VIDEO_FRAME"))
    assert run.sim.received(types=("HELLO_ACK",))[0]["payload"]["token"] == ""
    # The question named the phone, its address and the code the phone shows.
    question = run.boxes[0] if run.boxes else "\n".join(run.texts)
    assert "Allow \"%s\" to use this PC?" % run.sim.device_id in question
    assert "Address: 127.0.0.1:%d" % run.sim.port in question
    assert "Code: %s" % run.sim.short_code in question


def test_a_receiver_with_a_new_key_is_refused(journey, store, tmp_path):
    before = store.raw()
    run = Refusal(tmp_path, store, copy_state(journey, tmp_path), "--new-key")
    run.ended_without_reconnecting()
    device = journey.sim.device_id
    assert run.sim.device_id == device and run.sim.key_hash != journey.sim.key_hash
    block = ("the device's TLS key does not match the one pinned when it was approved.\n"
             "  pinned: %s\n  now:    %s\n"
             "Either the receiver app was reinstalled, or something is impersonating it. If you "
             "reinstalled it, run --forget %s and pair again.") % (
                 journey.sim.key_hash, run.sim.key_hash, device)
    assert block in run.texts
    errors = run.sim.received(types=("ERROR",))
    assert [e["payload"] for e in errors] == [
        {"code": "PERMISSION_DENIED", "message": "TLS key does not match the pinned key"}]
    assert not run.sim.received(types=("HELLO_ACK",))
    assert run.sim.of("closed")[0]["reason"] in HOST_CLOSED
    assert store.raw() == before


def test_an_impostor_with_a_paired_device_id_cannot_pair(journey, store, tmp_path):
    """HELLO with the victim's id from another key, and PAIR_ACCEPTED right
    behind it in the same write: the refusal must not let the second pair."""
    before = store.raw()
    hello = wire.encode_frame(wire.HELLO, wire.encode_json(
        {"protocolVersion": 1, "deviceId": journey.sim.device_id, "appVersion": "0.1.0"}))
    accept = wire.encode_frame(wire.PAIR_ACCEPTED, wire.encode_json({"token": "stolen-token"}))
    run = Refusal(tmp_path, store, tmp_path / "impostor", "--no-hello",
                  "--action", "connect+0.2 raw " + (hello + accept).hex())
    run.ended_without_reconnecting()
    assert run.sim.key_hash != journey.sim.key_hash
    assert store.raw() == before
    assert not any(t.startswith("paired with") or t.startswith("pinned") for t in run.texts)
    assert [e["payload"]["code"] for e in run.sim.received(types=("ERROR",))] == [
        "PERMISSION_DENIED"]


def test_protocol_version_2_is_refused_with_bad_version(journey, store, tmp_path):
    run = Refusal(tmp_path, store, tmp_path / "v2", "--protocol-version", "2")
    run.ended_without_reconnecting()
    assert [e["payload"] for e in run.sim.received(types=("ERROR",))] == [
        {"code": "BAD_VERSION", "message": "unsupported protocol version"}]
    assert not run.sim.received(types=("HELLO_ACK",))
    assert "receiver hello: device=%s app=0.1.0 protocol=2" % run.sim.device_id in run.texts
    assert run.sim.of("closed")[0]["reason"] in HOST_CLOSED


def test_the_receivers_own_refusal_ends_run(journey, store, tmp_path):
    before = store.read()
    run = Refusal(tmp_path, store, tmp_path / "denied", "--approve", "no",
                  "--deny-message", "not this one")
    run.ended_without_reconnecting()
    assert ("the device did not allow this computer (not this one). Tap Allow on the \"%s\" "
            "prompt on the device, then reconnect." % HOST_NAME) in run.texts
    assert store.read()["receivers"] == before["receivers"]
    assert run.sim.device_id not in store.read()["pins"]


def test_a_pairing_behind_the_receivers_refusal_is_not_stored(journey, store, tmp_path):
    # The host does not close on the receiver's refusal, so what follows in
    # the same write still reaches the session.
    before = store.raw()
    refuse = wire.encode_frame(wire.ERROR, wire.encode_json(
        {"code": "PERMISSION_DENIED", "message": "no"}))
    accept = wire.encode_frame(wire.PAIR_ACCEPTED, wire.encode_json({"token": "late-token"}))
    run = Refusal(tmp_path, store, tmp_path / "late", "--approve", "never",
                  "--action", "hello-ack+0.2 raw " + (refuse + accept).hex(),
                  "--action", "hello-ack+0.5 close")
    run.ended_without_reconnecting()
    assert store.raw() == before
    assert not any(t.startswith("paired with") or t.startswith("pinned") for t in run.texts)


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
