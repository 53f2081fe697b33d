"""The soak driver's own logic: the plan it gives the simulator, the figures
it reads from the simulator's log, and the verdict on a run."""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "receiver-sim"))

from soak_figures import Figures, LogFollower  # noqa: E402
from soak_plan import MAX_OFFLINE_S, RECONNECT_WINDOW_S, Plan  # noqa: E402
from soak_table import format_table, verdict  # noqa: E402
import soak_watch  # noqa: E402
from veyra_receiver import scenario  # noqa: E402


def test_plan_drops_every_connection_alternating_close_and_reset_within_the_window():
    plan = Plan(600, seed=7)
    assert len(plan.drops) >= 30
    assert [d.kind for d in plan.drops[:4]] == ["close", "reset", "close", "reset"]
    # The host tries once a second: it needs an attempt after the receiver is back.
    assert all(0 <= d.offline_s <= MAX_OFFLINE_S < RECONNECT_WINDOW_S - 1 for d in plan.drops)
    steps = [s for i, text in enumerate(plan.steps) for s in scenario.parse_step(text, i)]
    drops = [s for s in steps if s.op in ("offline", "reset")]
    assert [(s.anchor, s.seconds, s.connection) for s in drops[:2]] == [
        ("connect", 20.0, 1), ("connect", 20.0, 2)]
    ops = {s.op for s in steps}
    assert {"idr", "visibility", "bitrate", "touch"} <= ops


def test_plan_shows_the_picture_again_before_each_drop_and_follows_its_seed():
    plan = Plan(120, seed=3)
    for n in range(1, len(plan.drops) + 1):
        vis = [scenario.parse_step(s)[0] for s in plan.steps if "@%d visibility" % n in s]
        assert [v.params["visible"] for v in vis] == [False, True]
        assert vis[0].seconds < vis[1].seconds < 20.0
    assert Plan(120, seed=3).steps == plan.steps
    assert Plan(120, seed=4).steps != plan.steps


def frame(t, conn, key=False):
    return {"t": t, "event": "recv", "conn": conn, "type": "VIDEO_FRAME", "flags": 5 if key else 4}


def visibility(t, conn, visible):
    return {"t": t, "event": "action", "conn": conn, "op": "visibility",
            "params": {"visible": visible}}


def test_figures_count_reconnections_and_gaps_only_while_visible():
    events = [{"t": 0.0, "event": "accept", "conn": 1}, frame(0.5, 1, key=True), frame(0.6, 1),
              visibility(1.0, 1, False), frame(4.0, 1, key=True),       # hidden: no gap
              visibility(5.0, 1, True), frame(5.3, 1, key=True),        # 0.3 s to come back
              frame(5.35, 1), {"t": 5.4, "event": "send", "type": "FRAME_ACK"},
              {"t": 6.0, "event": "closed", "conn": 1, "reason": "reset by the scenario"},
              {"t": 9.5, "event": "accept", "conn": 2}, frame(10.5, 2, key=True),
              frame(10.9, 2),                                           # 0.4 s apart
              {"t": 11.0, "event": "closed", "conn": 2,
               "reason": "going offline for 4 s (scenario)"},
              {"t": 20.0, "event": "problem", "reason": "frameId went from 9 to 3"}]
    f = Figures()
    for e in events:
        f.feed(e)
    d = f.as_dict()
    assert (d["connections"], d["drops"], d["reconnections"]) == (2, 2, 1)
    assert f.lost_reconnections == 1      # the second drop never saw a connection
    assert (d["frames"], d["keyframes"], d["acks"]) == (7, 4, 1)
    assert abs(d["longestGapS"] - 0.65) < 1e-9     # 5.35 to the reset at 6.0
    assert abs(d["longestFirstFrameS"] - 1.0) < 1e-9
    assert abs(d["longestReconnectS"] - 3.5) < 1e-9
    assert d["problems"] == 1 and f.spans == [[0.0, 6.0], [9.5, 11.0]]


def test_figures_tell_unplanned_closes_from_the_stop():
    f = Figures(stop_t=30.0)
    for e in [{"t": 0.0, "event": "accept", "conn": 1},
              {"t": 8.0, "event": "closed", "conn": 1, "reason": "the host closed the connection"},
              {"t": 9.0, "event": "accept", "conn": 2},
              {"t": 31.0, "event": "closed", "conn": 2, "reason": "the host closed the connection"}]:
        f.feed(e)
    assert f.unplanned_closes == [(8.0, "the host closed the connection")]
    assert f.drops == 0


def test_log_follower_waits_for_a_line_to_be_complete(tmp_path):
    path = tmp_path / "events.jsonl"
    follower = LogFollower(str(path))
    assert follower.new_events() == []              # not written yet
    with open(path, "w") as out:
        out.write(json.dumps({"event": "accept"}) + "\n" + '{"event": "clo')
        out.flush()
        assert follower.new_events() == [{"event": "accept"}]
        out.write('sed"}\n')
        out.flush()
        assert follower.new_events() == [{"event": "closed"}]
    follower.close()


def test_steady_samples_skip_connection_starts_and_ends():
    samples = [soak_watch.Sample(t, 1000, 5, 9) for t in (3, 9, 15, 19.8, 25, 40)]
    steady = soak_watch.steady_samples(samples, [[0, 20], [22, None]], settle_s=8)
    assert [s.t for s in steady] == [9, 15, 40]


def test_sanitizer_reports_are_counted_per_report(tmp_path):
    prefix = str(tmp_path / "sanitizer")
    with open(prefix + ".101", "w") as f:
        f.write("==101==ERROR: LeakSanitizer: detected memory leaks\n...\n"
                "x.cpp:3:5: runtime error: signed integer overflow\n")
    with open(prefix + ".102", "w") as f:
        f.write("WARNING: ThreadSanitizer: data race (pid=102)\n")
    open(prefix + ".103", "w").close()             # an empty file is no report
    assert soak_watch.sanitizer_reports(prefix) == (3, [prefix + ".101", prefix + ".102"])


def result(**changes):
    r = {"name": "asan", "seconds": 60, "seed": 18, "hostExit": 0, "sanitizerReports": 0,
         "reportFiles": [], "notes": [], "rssGrowthBoundMb": 32,
         "start": {"rssKb": 100000, "fds": 5, "threads": 10},
         "end": {"rssKb": 110000, "fds": 5, "threads": 10},
         "figures": {"connections": 3, "drops": 2, "reconnections": 2, "longestReconnectS": 4.0,
                     "unplannedCloses": [], "frames": 900, "keyframes": 9, "acks": 900,
                     "problems": 0, "problemSamples": [], "longestGapS": 0.1,
                     "longestFirstFrameS": 0.3}}
    r.update(changes)
    return r


def test_verdict_passes_a_clean_run_and_names_each_failure():
    assert verdict(result()) == []
    bad = result(end={"rssKb": 150000, "fds": 7, "threads": 11}, hostExit=23,
                 sanitizerReports=1, reportFiles=["sanitizer.9"])
    bad["figures"]["reconnections"] = 1
    reasons = verdict(bad)
    assert len(reasons) == 6
    assert "1 of 2 reconnections lost" in reasons
    assert "resident memory grew 48.8 MiB, more than 32 MiB" in reasons
    table = format_table([result(), bad])
    assert "2 / 2 (longest 4.0 s)" in table and "FAIL: 1 of 2 reconnections lost" in table
