"""The tray's first start and its start at sign-in, under Wine
(tray_harness.py drives it): the connection guide copied to the data folder
with a status script kept current, the warning when the guide is missing,
and the Run key."""

import os
import shutil
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (GUIDE_SOURCE, IDOK, WINE_DIR, WINE_RUN, driver,  # noqa: E402
                          fresh_data_folder, must, poll, wine, windows_path)
from tray_harness import tray  # noqa: E402,F401 (the fixture, used by name)

GUIDE_MISSING = "The local connection guide is missing. Reinstall or repair Veyra."
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"


def updated(folder):
    with open(os.path.join(folder, "status.js"), "rb") as f:
        line = f.read().split(b"\n")[0] + b"\n"
    assert line.startswith(b"window.VEYRA_STATUS={app:true,") and line.endswith(b"};\n"), line
    return int(line.rsplit(b"updated:", 1)[1][:-3])


def test_first_start_keeps_the_status_script_current_beside_the_copied_guide(tray):
    for name in ("setup.html", "veyra-icon.png"):
        shutil.copy(os.path.join(GUIDE_SOURCE, name), tray.folder)
    folder = fresh_data_folder()
    must("set-setting", "SetupGuideShown", "")  # anything but "1" is a first start
    tray.start()
    assert poll(lambda: os.path.exists(os.path.join(folder, "status.js")), 20)
    for name in ("setup.html", "veyra-icon.png"):
        with open(os.path.join(folder, name), "rb") as copied, \
                open(os.path.join(GUIDE_SOURCE, name), "rb") as source:
            assert copied.read() == source.read(), name
    first = updated(folder)
    time.sleep(2.5)
    second = updated(folder)
    assert second - first >= 1500, (first, second)
    assert not os.path.exists(os.path.join(folder, "status.js.tmp"))


def test_a_missing_guide_warns_only_when_asked_for_from_the_menu(tray):
    fresh_data_folder()
    must("set-setting", "SetupGuideShown", "")
    tray.start()
    assert driver("wait-window", "#32770", 1500)[0] != 0  # the first start says nothing
    must("command", 109)
    must("wait-window", "#32770", 10000)
    assert must("box-text") == "Veyra\n" + GUIDE_MISSING + "\n"
    must("press", IDOK)
    assert driver("get-setting", "SetupGuideShown")[1] != "1\n"


def run_value():
    out = wine("reg", "query", RUN_KEY, "/v", "Veyra").stdout.decode("utf-8", "replace")
    for line in out.replace("\r", "").split("\n"):
        if "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


@pytest.mark.parametrize("name", ["veyra-tray.exe", "Veyra-Tray.exe"])
def test_sign_in_startup_through_the_run_key(tray, name):
    program = os.path.join(tray.folder, name)
    if name != "veyra-tray.exe":
        os.rename(os.path.join(tray.folder, "veyra-tray.exe"), program)
    tray.process = subprocess.Popen(
        [WINE_RUN, "--dir", WINE_DIR, program], stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, VEYRA_WINE_TIMEOUT="600"))
    must("wait-tray", 30000)
    assert run_value() is None
    must("command", 103)
    assert poll(lambda: run_value() == '"%s"' % windows_path(program), 10), run_value()
    # Read back as on (in either spelling), so choosing it again turns it off.
    must("command", 103)
    assert poll(lambda: run_value() is None, 10), run_value()
    # Another program's value reads as off: choosing the item writes ours.
    wine("reg", "add", RUN_KEY, "/v", "Veyra", "/d", '"C:\\Tools\\other.exe"', "/f")
    must("command", 103)
    assert poll(lambda: run_value() == '"%s"' % windows_path(program), 10), run_value()
    assert driver("wait-window", "#32770", 500)[0] != 0  # no failure box

