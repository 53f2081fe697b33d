"""Runs that end with a refusal, each with a host of its own because each
ends Run: this PC's user saying no, a changed key, an impostor, a protocol
version the host does not speak, and the receiver's own refusal. They start
from the pairing the journey (conftest.py) stored."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from session_peers import HOST_NAME, Host, Simulator, wait_for, wire  # noqa: E402
from session_runs import NATIVE, Refusal, copy_state, native_only  # noqa: E402

# Closed from the host's side, as the simulator words it.
HOST_CLOSED = ("the host ended the TLS session", "the host closed the connection")


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
    # The question led with this PC's code, then named the phone and its
    # address.
    question = run.boxes[0] if run.boxes else "\n".join(run.texts[run.texts.index(
        "Code: %s" % run.sim.short_code):])
    assert question.startswith("Code: %s\n" % run.sim.short_code)
    assert "It calls itself \"%s\"." % run.sim.device_id in question
    assert "Address: 127.0.0.1:%d" % run.sim.port in question


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


QUESTION_END = "Allow? Type y and Enter for yes, anything else for no."


@native_only
def test_an_answer_meant_for_a_phone_that_went_away_does_not_allow_the_next(store, tmp_path):
    """Phone A is asked about and resets its connection; device B, with
    another key, takes A's address; a "y" typed for A, arriving just as B's
    question appears, allows nothing: B is neither paired nor streamed."""
    a = Simulator(tmp_path / "a", "--once", "--approve", "never", "--action", "hello-ack+1 reset")
    port = a.port
    host = Host(tmp_path, port, "--source", "synthetic", "--verbose", data_home=store.home,
                approve=None)
    try:
        assert wait_for(lambda: host.texts().count(QUESTION_END) == 1)
        wait_for(lambda: a.of("closed"), timeout=10)
        a.stop()
        b = Simulator(tmp_path / "b", "--once", "--port", str(port), "--approve", "yes")
        try:
            assert wait_for(lambda: host.texts().count(QUESTION_END) == 2)
            host.process.stdin.write(b"y\n")
            host.process.stdin.flush()
            assert wait_for(lambda: host.has(
                "ignoring a line that came before the question had been shown for a second"))
            time.sleep(1.5)
            host.process.stdin.write(b"n\n")
            host.process.stdin.flush()
            assert host.wait() == 3
        finally:
            b.stop()
    finally:
        host.kill()
    texts = host.texts()
    assert "the phone went away; nothing was allowed" in texts
    assert "It is a different device from the one asked about a moment ago." in texts
    assert texts.index("the phone went away; nothing was allowed") < texts.index(
        "Code: %s" % b.short_code)
    assert not b.received(types=("VIDEO_CONFIG", "STREAM_START", "VIDEO_FRAME"))
    assert not any(t.startswith("paired with") or t.startswith("pinned") for t in texts)
    stored = store.read()
    assert b.device_id not in stored["receivers"] and b.device_id not in stored["pins"]
