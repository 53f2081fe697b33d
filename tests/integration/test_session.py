"""The host's session end to end against the receiver simulator over TLS:
pairing, loss and reconnection, and bad input, read from one long host run
(the "journey", made in conftest.py). Natively the FFmpeg back end streams
real H.264; under Wine the pipeline cannot start (no video processor) and
the session runs degraded.

What the stream itself carries is in test_session_streaming.py; runs that
end with a refusal, and runs that fail or are stopped on purpose, need a
host of their own each (test_session_refusals.py, test_session_recovery.py)."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from session_peers import HOST_NAME, state_line, states  # noqa: E402
from session_runs import NATIVE  # noqa: E402

FEATURES = ["idr-request", "set-bitrate", "keepalive", "host-stats", "pairing"]
NO_TOKEN = "no pairing token for this device; it will ask the user to allow \"%s\"" % HOST_NAME
CODE_LINE = "  Check this code matches the one on the phone:  %s"
WARNING_LINE = "  If it does not match, do NOT approve - something else answered."
WAITING = "waiting for the device to allow \"%s\" - tap Allow on its screen." % HOST_NAME


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
