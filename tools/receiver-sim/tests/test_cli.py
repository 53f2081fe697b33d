"""The veyra-receiver program as a user (or a C++ test) runs it."""

import json
import os
import shutil
import signal
import subprocess
import time

import pytest

from veyra_receiver import cli, wire
from conftest import PYTHON, SCRIPT, FakeHost, hello_ack, wait_for

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")


def run(*args, **kw):
    return subprocess.run([PYTHON, SCRIPT] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, **kw)


def test_help_documents_every_option():
    proc = run("--help")
    assert proc.returncode == 0
    text = proc.stdout.decode()
    for action in cli.build_parser()._actions:
        for option in action.option_strings:
            assert option in text, option
        if action.option_strings and action.dest not in ("help", "version"):
            assert action.help, action.option_strings
    for anchor_or_action in ("hello-ack", "offline SECONDS", "bad-magic", "oversize", "short TYPE"):
        assert anchor_or_action in text


def test_hex_hook_for_other_decoders():
    proc = run("--wire-encode", "tap 0.5 0.25")
    lines = proc.stdout.decode().split()
    assert proc.returncode == 0 and len(lines) == 2
    assert lines[0] == wire.encode_frame(wire.TOUCH, wire.encode_touch("down", 0.5, 0.25)).hex()
    proc = run("--wire-decode", "-", input="".join(lines).encode())
    decoded = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    assert [(d["type"], d["sequence"], d["payload"]["action"]) for d in decoded] == \
        [("TOUCH", 0, 0), ("TOUCH", 1, 2)]
    proc = run("--wire-decode", "00")
    assert proc.returncode == 1 and b"incomplete frame" in proc.stderr
    assert run("--action", "1 jump").returncode == 2


def start(tmp_path, *args):
    port_file = tmp_path / "port"
    proc = subprocess.Popen([PYTHON, SCRIPT, "--port", "0", "--bind", "127.0.0.1", "--port-file",
                             str(port_file), "--state", str(tmp_path / "state")] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert wait_for(lambda: port_file.exists() and port_file.read_text().strip(), 30), \
        proc.stderr.read1().decode() if proc.poll() is not None else "no port"
    return proc, int(port_file.read_text())


def test_sigterm_stops_with_a_summary_and_strict_reports_bad_input(tmp_path):
    log = tmp_path / "events.jsonl"
    proc, port = start(tmp_path, "--no-tls", "--strict", "--log", str(log))
    host = FakeHost(port)
    host.expect(wire.HELLO)
    host.send(wire.HELLO_ACK, b"{oops")
    assert wait_for(lambda: "HELLO_ACK: bad JSON" in log.read_text())
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    host.close()
    assert proc.returncode == 3
    assert "stopping: interrupted (SIGTERM)" in err.decode() and "summary:" in err.decode()
    records = [json.loads(line) for line in log.read_text().splitlines()]
    assert records[-2]["event"] == "summary" and records[-2]["problems"] == 1


def h264_units(data):
    """Codec config (SPS, PPS) and the access units of an encoder's byte stream."""
    config, units, pending = b"", [], b""
    for nal in wire.split_nals(data):
        t = nal[0] & 0x1F
        if t in (7, 8):
            config += b"\x00\x00\x00\x01" + nal
        else:
            pending += b"\x00\x00\x00\x01" + nal
            if t in (1, 5):
                units.append((pending, t == 5))
                pending = b""
    return config, units


@pytest.mark.skipif(not (FFMPEG and FFPROBE), reason="ffmpeg is not installed")
def test_saved_stream_and_snapshot_decode_with_ffmpeg(tmp_path):
    source = tmp_path / "source.h264"
    subprocess.run([FFMPEG, "-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i",
                    "testsrc=size=96x64:rate=10", "-frames:v", "6", "-pix_fmt", "yuv420p",
                    "-c:v", "libx264", "-g", "3", "-bf", "0", "-f", "h264", str(source)], check=True)
    config, units = h264_units(source.read_bytes())
    assert len(units) == 6
    stream, png, log = tmp_path / "out.h264", tmp_path / "last.png", tmp_path / "events.jsonl"
    proc, port = start(tmp_path, "--once", "--strict", "--save-stream", str(stream),
                       "--snapshot", str(png), "--log", str(log))
    host = FakeHost(port, tls=True)
    host.expect(wire.HELLO)
    host.send_json(wire.HELLO_ACK, hello_ack())
    host.expect(wire.DEVICE_INFO)
    host.send_json(wire.VIDEO_CONFIG, {"codec": "h264", "width": 96, "height": 64, "fps": 10,
                                       "bitrateBps": 1000000, "profile": "high", "level": "4.2"})
    host.send(wire.STREAM_START)
    host.send(wire.VIDEO_CONFIG_DATA, config, channel=1, flags=wire.FLAG_CODEC_CONFIG)
    for i, (unit, idr) in enumerate(units):
        host.send(wire.VIDEO_FRAME, unit, channel=1, flags=4 | (1 if idr else 0), frame_id=i + 1,
                  timestamp_us=time.monotonic_ns() // 1000)
        host.expect(wire.FRAME_ACK)
    host.close()
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err.decode()
    assert stream.read_bytes() == config + b"".join(u for u, _ in units)
    probe = subprocess.run([FFPROBE, "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames,width,height", "-of", "json",
                            str(stream)], stdout=subprocess.PIPE, check=True)
    info = json.loads(probe.stdout)["streams"][0]
    assert (info["width"], info["height"], int(info["nb_read_frames"])) == (96, 64, 6)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    summary = [json.loads(line) for line in log.read_text().splitlines()][-2]
    assert (summary["frames"], summary["keyframes"], summary["problems"]) == \
        (6, sum(idr for _, idr in units), 0)
    assert "saved %s (96x64)" % png in err.decode()


def test_missing_ffmpeg_degrades_with_a_clear_message(tmp_path):
    proc, port = start(tmp_path, "--no-tls", "--once", "--snapshot", str(tmp_path / "x.png"),
                       "--ffmpeg", str(tmp_path / "no-such-ffmpeg"))
    FakeHost(port).close()
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0
    assert "ffmpeg not found; snapshots cannot be saved" in err.decode() and "ffmpeg is not installed" in err.decode()
    assert not os.path.exists(tmp_path / "x.png")
