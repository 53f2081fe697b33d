"""The tray starting and watching the host, under Wine (tray_harness.py
drives it, with a recording stand-in for veyra-host.exe): the command line
it starts, the one restart after an early exit, none after a refusal, and
Disconnect and Exit ending every host; the host serving the phone's browser
started, followed through the lines it prints and stopped the same way."""

import os
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (IDM, IDOK, WINE_DIR, WINE_RUN, browser_status, copy_guide,  # noqa: E402
                          driver, fresh_data_folder, host_line, must, poll, serve_line,
                          windows_path)
from tray_harness import tray  # noqa: E402,F401 (the fixture, used by name)


@pytest.mark.parametrize("presets,fps,bitrate", [([], 60, 12000),
                                                 (["sharper", "battery"], 30, 20000)])
def test_connect_starts_the_host_with_the_remembered_address(tray, presets, fps, bitrate):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    tray.start()
    for preset in presets:
        must("command", IDM[preset])
    must("command", IDM["connect"])
    assert tray.wait_calls(1) == [host_line(tray, "192.168.1.20", fps, bitrate)]
    assert driver("wait-host", "running", 10000)[0] == 0


@pytest.mark.parametrize("command", ["connect", "browser"])
def test_a_host_exiting_at_once_is_restarted_exactly_once(tray, command):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    copy_guide(tray)
    tray.start(VEYRA_STAND_IN_RUN_MS="0")
    must("command", IDM[command])
    calls = tray.wait_calls(2, limit_s=60)
    expected = host_line(tray, "192.168.1.20") if command == "connect" else serve_line(tray)
    assert calls[0] == calls[1] == expected
    # The retry timer is 2 s; several more periods bring no third start.
    time.sleep(8)
    assert len(tray.calls()) == 2


def test_a_host_refused_on_this_pc_is_not_restarted(tray):
    # Exit code 3: this PC's user said no to the phone; starting the host
    # again would only ask again.
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    tray.start(VEYRA_STAND_IN_RUN_MS="0", VEYRA_STAND_IN_EXIT_CODE="3")
    must("command", IDM["connect"])
    tray.wait_calls(1, limit_s=60)
    # The retry timer is 2 s; a few periods bring no second start.
    time.sleep(6)
    assert len(tray.calls()) == 1


def test_a_host_that_ran_past_the_early_exit_limit_is_restarted_again(tray):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    # First start dies at once (the one restart is used), the restart runs
    # past the early-exit limit (shortened to 4 s for this test): its end
    # earns a fresh restart.
    tray.start(VEYRA_STAND_IN_RUN_MS="0,5000,600000", VEYRA_TRAY_EARLY_EXIT_MS="4000")
    must("command", IDM["connect"])
    tray.wait_calls(2, limit_s=60)
    calls = tray.wait_calls(3, limit_s=60)
    assert len(set(calls)) == 1


def test_disconnect_and_exit_end_every_running_host(tray):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    tray.start()
    # Two more hosts of this session that the tray did not start.
    others = [subprocess.Popen([WINE_RUN, "--dir", WINE_DIR,
                                os.path.join(tray.folder, "veyra-host.exe"), "--host", "x"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL) for _ in range(2)]
    # Both must be up before the connect, which ends every host it finds.
    tray.wait_calls(2)
    assert driver("wait-host", "running", 10000)[0] == 0
    must("command", IDM["connect"])
    calls = tray.wait_calls(3)
    assert calls[2] == host_line(tray, "192.168.1.20")
    must("command", IDM["disconnect"])
    assert driver("wait-host", "stopped", 15000)[0] == 0
    for other in others:
        other.wait(timeout=30)
    time.sleep(5)  # the watcher's report must not restart anything
    assert len(tray.calls()) == 3

    must("command", IDM["connect"])
    tray.wait_calls(4)
    assert driver("wait-host", "running", 10000)[0] == 0
    tray.exit()
    assert driver("wait-host", "stopped", 15000)[0] == 0
    assert driver("wait-tray-gone", 10000)[0] == 0


SERVE_SCRIPT = """Open this address on the phone: https://192.168.1.5:47999/#s3cret-1
Or, on another network: https://10.0.0.7:47999/#s3cret-1
Or, over a USB cable after adb reverse tcp:47999 tcp:47999: http://localhost:47999/#s3cret-1
Waiting for the phone.
wait-for asked
Asking this PC's user about the phone: Pixel "7" </script>
wait-for shown
Showing this PC on the phone: Pixel "7" </script>
wait-for gone
The phone went away: Pixel "7" </script>
Open this address on the phone: https://192.168.1.5:47999/#s3cret-2
Waiting for the phone.
"""


def test_the_browser_path_follows_the_serving_host_until_disconnect(tray):
    # The stand-in prints what a serving host prints, a step each time the
    # test lets it; the tray's status script for the guide follows.
    copy_guide(tray)
    folder = fresh_data_folder()
    script = os.path.join(tray.folder, "serve-script.txt")
    with open(script, "w", encoding="utf-8") as f:
        f.write(SERVE_SCRIPT)
    must("set-setting", "ServePort", "47999")
    tray.start(VEYRA_STAND_IN_SERVE_SCRIPT=windows_path(script))
    must("command", IDM["browser"])
    # Wine has no browser to open the page with, so the tray says the guide
    # could not be shown; the page's files and status are there all the same.
    must("wait-window", "#32770", 10000)
    must("press", IDOK)
    assert tray.wait_calls(1) == [serve_line(tray, port=47999)]
    assert driver("get-setting", "LastConnection")[1] == "browser\n"
    assert os.path.exists(os.path.join(folder, "qrcode.js"))

    def reaches(state):
        return poll(lambda: browser_status(folder).get("state") == state and
                    browser_status(folder), 20)

    assert reaches("waiting") == {
        "state": "waiting", "link": "https://192.168.1.5:47999/#s3cret-1",
        "usb": "http://localhost:47999/#s3cret-1", "others": ["https://10.0.0.7:47999/#s3cret-1"],
        "phone": ""}
    phone = 'Pixel "7" </script>'
    for step, state in (("asked", "asking"), ("shown", "streaming"), ("gone", "lost")):
        open(os.path.join(tray.folder, step), "w").close()
        status = reaches(state)
        assert status and status["phone"] == phone, (state, browser_status(folder))
    # The secret used up, the host offers a new one; the news stays the
    # phone that left.
    assert poll(lambda: browser_status(folder).get("link", "").endswith("#s3cret-2"), 20)
    assert browser_status(folder)["state"] == "lost"

    must("command", IDM["disconnect"])
    assert driver("wait-host", "stopped", 15000)[0] == 0
    assert reaches("off")
    time.sleep(5)  # the watcher's report must not restart anything
    assert len(tray.calls()) == 1
