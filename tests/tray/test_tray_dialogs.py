"""The tray's boxes and dialogs under Wine (tray_harness.py drives them):
forgetting the approved phones, and the address typed by hand."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_harness import (IDCANCEL, IDM, IDNO, IDOK, IDYES, VK_RETURN, driver,  # noqa: E402
                          host_line, must, poll, screenshot)
from tray_harness import tray  # noqa: E402,F401 (the fixture, used by name)

FORGET_ASK = ("Forget every phone this computer has been allowed to connect to?\n\nEach one "
              "will ask you to allow this computer again the next time it connects. Do this if "
              "you reinstalled Veyra on the phone - the app gets a new identity when you do, and "
              "this computer no longer recognises it.")
FORGET_DONE = ("Done. Connect again: this computer asks whether to allow the phone and shows a "
               "code. Allow it here and on the phone only if the phone shows the same code.")
FORGET_FAILED = "Could not clear the approvals."


def forget(tray, answer):
    must("command", IDM["forget"])
    must("wait-window", "#32770", 10000)
    assert must("box-text") == "Veyra\n" + FORGET_ASK + "\n"
    must("press", answer)


@pytest.mark.parametrize("exit_code,text", [("0", FORGET_DONE), ("3", FORGET_FAILED)],
                         ids=["done", "failed"])
def test_forget_approved_phones_reports_the_exit_code(tray, exit_code, text):
    tray.start(VEYRA_STAND_IN_FORGET_EXIT=exit_code)
    forget(tray, IDYES)
    assert poll(lambda: driver("box-text")[1] == "Veyra\n" + text + "\n", 15)
    assert tray.calls() == ['"%s" --forget-all' % tray.host]
    must("press", IDOK)
    assert poll(lambda: driver("wait-window", "#32770", 0)[0] != 0, 10)


def test_forget_answered_no_runs_nothing(tray):
    tray.start()
    forget(tray, IDNO)
    assert poll(lambda: driver("wait-window", "#32770", 0)[0] != 0, 10)
    time.sleep(1)
    assert tray.calls() == []


def test_address_dialog_trims_stores_and_connects(tray):
    must("set-setting", "ReceiverAddress", "10.0.0.9")
    must("set-setting", "ReceiverName", "Old phone")
    tray.start()
    must("command", IDM["address"])
    must("wait-window", "#32770", 10000)
    assert must("dialog-texts").split("\n")[:5] == [
        "Veyra - connect", "Address shown on the phone's waiting screen:", "10.0.0.9",
        "Connect", "Cancel"]
    must("dialog-set-text", "  192.168.1.20\t")
    screenshot("dialog-english")
    must("dialog-key", VK_RETURN)
    assert tray.wait_calls(1) == [host_line(tray, "192.168.1.20")]
    assert must("get-setting", "ReceiverAddress") == "192.168.1.20\n"
    assert must("get-setting", "ReceiverName") == "\n"


@pytest.mark.parametrize("how", ["blanks", "cancel"])
def test_address_dialog_with_blanks_or_cancel_starts_nothing(tray, how):
    must("set-setting", "ReceiverAddress", "10.0.0.9")
    tray.start()
    must("command", IDM["address"])
    must("wait-window", "#32770", 10000)
    if how == "blanks":
        must("dialog-set-text", " \t \t")
        must("dialog-key", VK_RETURN)
    else:
        must("dialog-set-text", "192.168.1.20")
        must("press", IDCANCEL)
    assert poll(lambda: driver("wait-window", "#32770", 0)[0] != 0, 10)
    time.sleep(2)
    assert tray.calls() == []
    assert must("get-setting", "ReceiverAddress") == "10.0.0.9\n"

