"""The real veyra-tray.exe under Wine and Xvfb (tray_harness.py drives it):
one instance only, its icon and tooltip, its menu in English and Korean,
and the version, icons and manifest both programs carry."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (IDM, KOREAN_ENV, TRAY, VK_DOWN, VK_ESCAPE, VK_RETURN,  # noqa: E402
                          VK_RIGHT, driver, must, poll, screenshot, tooltip_text, windows_path,
                          wine)
from tray_harness import tray  # noqa: E402,F401 (the fixture, used by name)


def test_second_instance_exits_at_once_and_shows_nothing(tray):
    tray.start()
    assert must("count-windows", "VeyraTrayWindow").strip() == "1"
    second = wine(os.path.join(tray.folder, "veyra-tray.exe"), timeout=60)
    assert second.returncode == 0
    assert must("count-windows", "VeyraTrayWindow").strip() == "1"
    assert driver("wait-window", "#32770", 500)[0] != 0  # no box either


def test_icon_shows_with_the_tooltip_of_the_state(tray):
    must("set-setting", "ReceiverAddress", "192.168.1.20")
    must("set-setting", "ReceiverName", "Pixel")
    tray.start()
    screenshot("icon-ready")
    # A hover can miss while the notification area is still settling.
    assert poll(lambda: tooltip_text() == "Veyra - ready to connect", 20)
    must("command", IDM["connect"])  # no phone answers under Wine: the remembered one
    tray.wait_calls(1)
    assert driver("wait-host", "running", 10000)[0] == 0
    # The refresh timer notices the host within 2 s.
    assert poll(lambda: tooltip_text() == "Veyra - showing this PC on Pixel", 20)
    screenshot("icon-showing")


@pytest.mark.parametrize("button", ["right", "left"])
def test_menu_opens_on_a_click_and_keys_reach_its_items(tray, button):
    tray.start()
    must("click", button)
    must("wait-window", "#32768", 10000)
    if button == "right":
        screenshot("menu-english")
    # Guide, Connect, the phone's browser, Enter address, Picture quality >
    # Data saver, Standard, Sharper.
    must("menu-keys", VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RIGHT)
    assert poll(lambda: int(must("count-windows", "#32768")) >= 2, 10)
    if button == "right":
        time.sleep(0.5)
        screenshot("menu-english-quality")
    must("menu-keys", VK_DOWN, VK_DOWN, VK_RETURN)
    assert poll(lambda: driver("get-setting", "BitrateKbps")[1].strip() == "20000", 10)
    assert tray.calls() == []  # a preset starts nothing


def test_menu_in_korean(tray):
    tray.start(**KOREAN_ENV)
    assert must("ui-language", env=KOREAN_ENV).strip() == "1042"
    must("click")
    must("wait-window", "#32768", 10000)
    time.sleep(0.5)
    screenshot("menu-korean")
    # Fourth item: the address dialog, with its texts in Korean.
    must("menu-keys", VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN)
    caption = must("wait-window", "#32770", 10000).split("\n")[0]
    assert caption == "Veyra - 연결"
    texts = must("dialog-texts").split("\n")
    assert texts[:5] == ["Veyra - 연결", "폰 대기 화면에 표시된 주소:", "", "연결", "취소"]
    screenshot("dialog-korean")
    must("dialog-key", VK_ESCAPE)
    assert poll(lambda: driver("wait-window", "#32770", 0)[0] != 0, 10)
    assert tray.calls() == []


@pytest.mark.parametrize("program,group,description", [
    (TRAY, 101, "Veyra tray: connects this PC to your phone"),
    (os.environ.get("VEYRA_HOST", ""), 1, "Veyra host: streams this PC's screen to your phone")])
def test_programs_carry_version_icon_and_manifest(program, group, description):
    lines = must("resources", windows_path(program), group).strip().split("\n")
    assert lines[:3] == ["product=Veyra", "version=0.1.0/0.1.0", "description=" + description]
    sizes = ",".join("%dx32" % s for s in (16, 20, 24, 32, 40, 48, 64, 128, 256))
    assert lines[3] == "icons=%s png=9" % sizes
    assert lines[4] == "manifest=permonitorv2,comctl6,asInvoker"
    if group == 101:
        assert lines[5] == "dialog=1/65535 style=80C808C0 exstyle=0 items=4 size=220x74"
