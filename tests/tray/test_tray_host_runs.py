"""The tray starting and watching the host, under Wine (tray_harness.py
drives it, with a recording stand-in for veyra-host.exe): the command line
it starts, the one restart after an early exit, none after a refusal, and
Disconnect and Exit ending every host."""

import os
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import IDM, WINE_DIR, WINE_RUN, driver, host_line, must  # noqa: E402
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


def test_a_host_exiting_at_once_is_restarted_exactly_once(tray):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    tray.start(VEYRA_STAND_IN_RUN_MS="0")
    must("command", IDM["connect"])
    calls = tray.wait_calls(2, limit_s=60)
    assert calls[0] == calls[1] == host_line(tray, "192.168.1.20")
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
