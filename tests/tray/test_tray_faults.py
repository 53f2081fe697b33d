"""Faults under the real veyra-tray.exe, under Wine and Xvfb, driven from
outside with the same helpers (tray_harness.py):

- the real veyra-host.exe, started by the tray against the receiver
  simulator, ended from the Windows side (TerminateProcess, through
  taskkill /F) while it is connected: the tray starts it once more, and
  after the second early end it stops trying;
- settings of the wrong type or size, written byte for byte by a helper
  (settings_raw.exe): the tray starts, reads the defaults for the bad
  values, keeps the good ones, and leaves every value it does not write
  exactly as it was.

Under Wine the host negotiates and pairs, but its pipeline cannot start (no
video processor), so it stays connected in DEGRADED. Being connected past
the negotiation, with the receiver told about the screen, stands in here
for streaming.

Every wait is bounded and polls; the one wait for something not to happen
is a few periods of the tray's 2 s retry timer."""

import os
import shutil
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "integration"))
from tray_harness import (GUIDE_SOURCE, IDM, IDOK, data_folder, driver,  # noqa: E402
                          fresh_data_folder, host_line, must, poll, prefix_path, tooltip_text,
                          wine)
from tray_harness import tray  # noqa: E402,F401 (the fixture, used by name)
import hostproc  # noqa: E402
from session_peers import Simulator, parse_log, states  # noqa: E402
from session_runs import Store  # noqa: E402

REAL_HOST = os.environ["VEYRA_HOST"]
SETTINGS_RAW = os.environ["VEYRA_SETTINGS_RAW"]
# The tray gives the host no port for an address it remembers, so the host
# uses its default and the simulator must listen there.
DEFAULT_PORT = 47820
RETRY_PERIODS_S = 4 * 2

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = (
    0, 1, 2, 3, 4, 7, 11)
NO_PHONE = ("No phone found on this network.\n\nOpen Veyra on the phone and make sure both are on "
            "the same Wi-Fi. If your network blocks device discovery, use \"Enter the address by "
            "hand\" with the address the phone shows.")


# --- the host ended while it is connected ------------------------------------------

@pytest.fixture
def receiver(tray, tmp_path):
    """The simulator on the default port; the host's pairings in the Wine
    prefix are set aside for the test and put back after it, once the
    tray (and so every host) has ended."""
    store = Store(tmp_path / "data")
    sim = Simulator(tmp_path / "receiver", "--port", str(DEFAULT_PORT))
    # This PC's user allows the simulator when the host first asks.
    stop = threading.Event()

    def press_yes():
        while not stop.is_set():
            hostproc.answer_box("yes", 2000)

    presser = threading.Thread(target=press_yes, daemon=True)
    presser.start()
    yield sim
    stop.set()
    tray.cleanup()  # again in the tray's own teardown, then without effect
    presser.join(90)
    sim.stop()
    store.restore()


def host_log():
    path = os.path.join(prefix_path(data_folder()), "host.log")
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return parse_log(f.read())
    except FileNotFoundError:
        return []


def connected(sim, conn):
    """Connection |conn| got past the negotiation: the simulator paired or
    recognised the host and told it the screen, and the host (which logs
    to a fresh file at every start) gave up on the pipeline and went on
    without it."""
    return (sim.of("send", conn=conn, type="DEVICE_INFO") and
            ("DISPLAY_CREATING", "DEGRADED", "pipeline start failed") in states(host_log()))


def seen(sim):
    """What a failed wait shows: the simulator's last events, the host's
    last log lines, and any box the tray put up."""
    return (sim.events[-5:], [line.text for line in host_log()][-8:], driver("box-text")[1])


def end_host_from_windows():
    """TerminateProcess, as a crash or the Task Manager ends it: no clean-up."""
    result = wine("taskkill", "/F", "/IM", "veyra-host.exe")
    assert result.returncode == 0, result.stdout


def test_a_host_ended_twice_while_connected_is_restarted_once_then_left(tray, receiver):
    shutil.copy(REAL_HOST, os.path.join(tray.folder, "veyra-host.exe"))
    must("set-setting", "ReceiverAddress", "127.0.0.1")
    must("set-setting", "ReceiverName", "Simulator")
    tray.start()
    must("command", IDM["connect"])  # no phone answers under Wine: the remembered one
    assert poll(lambda: connected(receiver, 1), 90), seen(receiver)
    assert poll(lambda: tooltip_text() == "Veyra - showing this PC on Simulator", 20)

    end_host_from_windows()
    assert poll(lambda: connected(receiver, 2), 90), seen(receiver)
    assert driver("wait-host", "running", 10000)[0] == 0
    assert poll(lambda: tooltip_text() == "Veyra - showing this PC on Simulator", 20)

    end_host_from_windows()
    assert driver("wait-host", "stopped", 15000)[0] == 0
    assert poll(lambda: tooltip_text() == "Veyra - ready to connect", 20)
    time.sleep(RETRY_PERIODS_S)
    assert len(receiver.of("accept")) == 2
    assert driver("wait-host", "stopped", 0)[0] == 0
    # Giving up is silent: no box, just the tooltip of a tray that is ready
    # to connect again to the address it still remembers.
    assert driver("wait-window", "#32770", 0)[0] != 0
    assert tooltip_text() == "Veyra - ready to connect"
    assert must("get-setting", "ReceiverAddress") == "127.0.0.1\n"


# --- settings of the wrong type or size --------------------------------------------

def text(value, terminated=True):
    return (value + ("\0" if terminated else "")).encode("utf-16-le").hex()


def number(value, size):
    return value.to_bytes(size, "little").hex()


def set_raw(values):
    """|values|: name -> (type, hex[, repeat])."""
    specs = []
    for name, spec in values.items():
        kind, data = spec[0], spec[1]
        specs.append("%s=%d:%s" % (name, kind, data) + ("*%d" % spec[2] if len(spec) > 2 else ""))
    result = wine(SETTINGS_RAW, "set", *specs)
    assert result.returncode == 0, result.stdout


def dump():
    """Every value of the key: name -> (type, size, hash of the bytes)."""
    result = wine(SETTINGS_RAW, "dump")
    assert result.returncode == 0, result.stdout
    values = {}
    for line in result.stdout.decode("utf-8").replace("\r\n", "\n").splitlines():
        name, kind, size, digest = line.rsplit(" ", 3)
        values[name] = (int(kind), int(size), digest)
    return values


def stored_text(value):
    """What the dump shows for a text the tray wrote: REG_SZ, terminated."""
    data = (value + "\0").encode("utf-16-le")
    digest = 14695981039346656037
    for b in data:
        digest = ((digest ^ b) * 1099511628211) % 2 ** 64
    return (REG_SZ, len(data), "%016X" % digest)


def exit_cleanly(t):
    """The tray is still there, answers Exit, and ends with code 0."""
    assert must("count-windows", "VeyraTrayWindow").strip() == "1"
    must("command", IDM["exit"])
    code = t.process.wait(timeout=30)
    t.process = None
    assert code == 0


# Values the tray reads, and values it only writes or never touches, each
# of a kind it must not trip over. The address is good in both sets (an
# unterminated text, a text with bytes after its terminator): the host is
# started with it and with the defaults for everything bad.
WRONG_TYPES = {
    "ReceiverAddress": (REG_SZ, text("192.168.1.20", terminated=False)),
    "ReceiverName": (REG_MULTI_SZ, text("Pixel\0Tablet\0")),
    "Fps": (REG_DWORD, number(30, 4)),
    "BitrateKbps": (REG_QWORD, number(20000, 8)),
    "LastDisplayDeviceName": (REG_BINARY, "ff", 65536),
    "LastDisplayAdapterId": (REG_EXPAND_SZ, text("%SystemRoot%")),
    "LastWidth": (REG_DWORD, number(0xFFFFFFFF, 4)),
    "LastX": (REG_SZ, text("-1", terminated=False) + "2d"),  # an odd byte count
    "Unrelated": (REG_NONE, ""),
}
WRONG_SIZES = {
    "ReceiverAddress": (REG_SZ, text("192.168.1.20") + text("junk")),
    "ReceiverName": (REG_SZ, text("N", terminated=False), 100000),  # far beyond any buffer
    "Fps": (REG_SZ, text("4294967296")),  # beyond 32 bits: saturates
    "BitrateKbps": (REG_SZ, ""),  # not even a terminator
    "LastDisplayDeviceName": (REG_SZ, text("\\\\.\\DISPLAY" + "9" * 300)),
    "LastDisplayAdapterId": (REG_MULTI_SZ, text("a\0b\0")),
    "LastY": (REG_QWORD, number(2 ** 64 - 1, 8)),
    "Unrelated": (REG_BINARY, "00"),
}


@pytest.mark.parametrize("values,fps,bitrate", [(WRONG_TYPES, 60, 12000),
                                                (WRONG_SIZES, 2147483647, 12000)],
                         ids=["types", "sizes"])
def test_bad_values_read_as_defaults_and_the_rest_is_left_alone(tray, values, fps, bitrate):
    set_raw(values)
    before = dump()
    tray.start()
    must("command", IDM["connect"])
    assert tray.wait_calls(1) == [host_line(tray, "192.168.1.20", fps, bitrate)]
    exit_cleanly(tray)
    after = dump()
    # Connecting stores the address and the name it used, as terminated
    # text (the name read as absent, so it is stored empty), and the way it
    # connected.
    assert after["ReceiverAddress"] == stored_text("192.168.1.20")
    assert after["ReceiverName"] == stored_text("")
    assert after["LastConnection"] == stored_text("app")
    for name in set(before) - {"ReceiverAddress", "ReceiverName"}:
        assert after.get(name) == before[name], name
    assert set(after) == set(before) | {"LastConnection"}


def test_an_unreadable_address_and_guide_flag_fall_back_and_stay_untouched(tray):
    for name in ("setup.html", "veyra-icon.png"):
        shutil.copy(os.path.join(GUIDE_SOURCE, name), tray.folder)
    folder = fresh_data_folder()
    set_raw({"ReceiverAddress": (REG_SZ, text("1", terminated=False), 40000),
             "SetupGuideShown": (REG_DWORD, number(1, 4))})
    before = dump()
    tray.start()
    # The guide flag read as absent: a first start, which opens the guide.
    assert poll(lambda: os.path.exists(os.path.join(folder, "status.js")), 20)
    # No address to fall back on when no phone answers: the user is told.
    must("command", IDM["connect"])
    must("wait-window", "#32770", 20000)
    assert must("box-text") == "Veyra\n" + NO_PHONE + "\n"
    must("press", IDOK)
    assert tray.calls() == []
    exit_cleanly(tray)
    assert dump()["ReceiverAddress"] == before["ReceiverAddress"]
