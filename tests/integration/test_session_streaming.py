"""What the journey's stream carried (the host run is made in conftest.py):
natively the configuration, keyframes, pauses, bit rate and statistics of
real H.264; under Wine, where the pipeline cannot start, the degraded
session."""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from session_peers import state_line, states, wire  # noqa: E402
from session_runs import native_only, wine_only  # noqa: E402


# --- streaming, natively -------------------------------------------------------

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
