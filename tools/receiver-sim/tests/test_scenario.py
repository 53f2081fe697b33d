"""Scenario parsing and the order in which steps come due."""

import json

import pytest

from veyra_receiver import messages, scenario, wire
from veyra_receiver.scenario import ALL_CONNECTIONS, ScenarioError


def test_time_specs():
    assert scenario.parse_time("2.5") == ("connect", 2.5, 1)
    assert scenario.parse_time("stream+1@2") == ("stream", 1.0, 2)
    assert scenario.parse_time("frame@*") == ("frame", 0.0, ALL_CONNECTIONS)
    assert scenario.parse_time(".5") == ("connect", 0.5, 1)
    for bad in ("soon", "-1", "stream+", "stream+1@x", "1s"):
        with pytest.raises(ScenarioError):
            scenario.parse_time(bad)


def run_timeline(steps, anchors):
    """Fire anchors at the given (time, anchor, connection) moments and return
    the steps' texts and ops in the order the timeline releases them."""
    runner = scenario.ScenarioRunner(steps)
    timeline = scenario.Timeline()
    for when, anchor, conn in anchors:
        for due, step in runner.on_anchor(anchor, conn, when):
            timeline.add(due, step, order=step.order, owner=conn)
    out = []
    while True:
        item = timeline.pop_due(float("inf"))
        if item is None:
            return out, runner
        out.append((item.op, item.params.get("action"), item.text))


def test_steps_run_in_time_order_then_in_given_order():
    steps = []
    lines = ["stream+0.5 idr",           # 10.5
             "3 close",                  # 3.0
             "1 tap 0.2 0.2",            # 1.0 down, 1.05 up
             "1 log same time, second",  # 1.0, after the tap's down
             "hello-ack+0.01 ping",      # 0.21
             "stream+0.5@2 exit"]        # connection 2 never comes
    for i, line in enumerate(lines):
        steps += scenario.parse_step(line, i)
    order, runner = run_timeline(steps, [(0.0, "connect", 1), (0.2, "hello-ack", 1),
                                         (10.0, "stream", 1)])
    assert [(op, a) for op, a, _ in order] == [
        ("ping", None), ("touch", 0), ("log", None), ("touch", 2), ("close", None), ("idr", None)]
    assert [s.text for s in runner.never_started()] == ["stream+0.5@2 exit"]


def test_steps_for_every_connection_repeat_and_anchors_start_steps_once():
    steps = scenario.parse_step("connect+1@* ping", 0) + scenario.parse_step("connect+2 close", 1)
    order, _ = run_timeline(steps, [(0, "connect", 1), (0, "connect", 1), (10, "connect", 2)])
    assert [op for op, _, _ in order] == ["ping", "close", "ping"]


def test_expansions_keep_their_timing():
    drag = scenario.parse_step("2 drag 0 0 1 1 0.1", 0)
    assert [s.params["action"] for s in drag][:2] == [0, 1] and drag[-1].params["action"] == 2
    assert drag[0].seconds == 2 and drag[-1].seconds == pytest.approx(2.1)
    assert all(a.seconds <= b.seconds for a, b in zip(drag, drag[1:]))
    combo = scenario.parse_step("0 key ctrl+c", 0)
    assert [(s.params["usage"], s.params["action"]) for s in combo] == [(224, 0), (6, 0), (6, 1), (224, 1)]
    typed = scenario.parse_step("0 text Hi", 0)
    assert [s.params["usage"] for s in typed] == [225, 11, 11, 225, 12, 12]


@pytest.mark.parametrize("line, message", [
    ("1 fly", "unknown action"),
    ("1 tap 0.5", "tap X Y"),
    ("1 touch hover 0.5 0.5", "touch action"),
    ("1 key nosuchkey", "unknown key"),
    ("1 short HELLO", "no minimum length"),
    ("1 send NOPE", "unknown message type"),
    ("1 raw 0g", "not hexadecimal"),
    ("tomorrow close", "unknown anchor"),
    ("1", "expected TIME ACTION"),
])
def test_bad_steps_say_what_is_wrong(line, message):
    with pytest.raises(ScenarioError, match=message):
        scenario.parse_step(line)


def build_one(line, ctx):
    (step,) = scenario.parse_step(line)
    return messages.build(step.op, step.params, ctx)


def test_messages_built_from_steps():
    ctx = messages.FixedContext(clock_us=77)
    (kind, code, payload), = build_one("0 display 1768 2208 folded=true", ctx)
    assert code == wire.DISPLAY_CHANGED
    assert list(wire.decode_json(payload).items()) == [
        ("widthPx", 1768), ("heightPx", 2208), ("densityDpi", 420), ("refreshHz", 60.0),
        ("folded", True), ("rotation", 0)]
    (_, code, payload), = build_one("0 device-info model=Fold", ctx)
    info = wire.decode_json(payload)
    assert list(info) == list(messages.DEVICE_INFO_KEYS)
    assert (info["model"], info["widthPx"], info["folded"]) == ("Fold", 1768, True)
    (_, code, payload), = build_one('0 send VISIBILITY {"visible": true, "x": [1, 2]}', ctx)
    assert code == wire.VISIBILITY and wire.decode_json(payload)["x"] == [1, 2]
    (_, code, payload), = build_one("0 visibility false gone to background", ctx)
    assert wire.decode_json(payload) == {"visible": False, "reason": "gone to background", "atUs": 77}
    (_, code, payload), = build_one("0 bitrate 4M 30", ctx)
    assert wire.decode_json(payload) == {"bitrateBps": 4000000, "fps": 30}
    (kind, data), = build_one("0 oversize", ctx)
    assert kind == "raw" and wire.FrameReader().feed(data) == []
    (_, code, payload), = build_one("0 short touch", ctx)
    assert code == wire.TOUCH and len(payload) == 27


def test_scenario_file_accepts_strings_and_objects(tmp_path):
    path = tmp_path / "s.json"
    path.write_text(json.dumps({"steps": [
        "stream+1 tap 0.5 0.5",
        {"at": 2, "do": "visibility false"},
        {"at": "frame+0.5", "connection": "*", "action": "bitrate", "args": [2000000]},
        {"at": 1, "anchor": "stream", "action": "send", "args": ["ERROR", '{"code":"X"}']},
    ]}))
    steps = scenario.load_file(str(path))
    assert [(s.anchor, s.seconds, s.connection, s.op) for s in steps] == [
        ("stream", 1.0, 1, "touch"), ("stream", 1.05, 1, "touch"), ("connect", 2.0, 1, "visibility"),
        ("frame", 0.5, ALL_CONNECTIONS, "bitrate"), ("stream", 1.0, 1, "frame")]
    path.write_text('[{"at": 1}]')
    with pytest.raises(ScenarioError, match="needs"):
        scenario.load_file(str(path))
