"""The real veyra-tray.exe under Wine and Xvfb, driven from outside as the
shell and the user would: a helper (tray_driver.exe) posts the icon's
callback, menu keys and dialog input, reads windows and settings; a
recording stand-in for veyra-host.exe writes each command line it was started
with to a log and holds the host's mutex for as long as it "runs".

Every wait is bounded and polls; nothing depends on how fast the machine is.
Screenshots go to $VEYRA_TRAY_OUTPUT/screenshots."""

import os
import shutil
import signal
import subprocess
import time

import pytest

TRAY = os.environ["VEYRA_TRAY"]
STAND_IN = os.environ["VEYRA_STAND_IN"]
DRIVER = os.environ["VEYRA_TRAY_DRIVER"]
WINE_RUN = os.environ["VEYRA_WINE_RUN"]
WINE_DIR = os.environ["VEYRA_WINE_DIR"]
OUTPUT = os.environ["VEYRA_TRAY_OUTPUT"]
SCREENSHOTS = os.path.join(OUTPUT, "screenshots")

VK_RETURN, VK_ESCAPE, VK_RIGHT, VK_DOWN = 13, 27, 39, 40
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
IDM = {"exit": 100, "connect": 104, "disconnect": 105, "address": 106, "forget": 111,
       "sharper": 202, "battery": 211}
KOREAN_ENV = {"LC_ALL": "ko_KR.UTF-8"}

FORGET_ASK = ("Forget every phone this computer has been allowed to connect to?\n\nEach one "
              "will ask you to allow this computer again the next time it connects. Do this if "
              "you reinstalled Veyra on the phone - the app gets a new identity when you do, and "
              "this computer no longer recognises it.")
FORGET_DONE = ("Done. Connect again: this computer asks whether to allow the phone and shows a "
               "code. Allow it here and on the phone only if the phone shows the same code.")
FORGET_FAILED = "Could not clear the approvals."


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, env=None, timeout=60):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([WINE_RUN, "--dir", WINE_DIR, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, env=full_env)


def driver(*args, env=None, timeout=60):
    result = wine(DRIVER, *[str(a) for a in args], env=env, timeout=timeout)
    return result.returncode, result.stdout.decode("utf-8").replace("\r\n", "\n")


def must(*args, env=None):
    code, out = driver(*args, env=env)
    assert code == 0, (args, out)
    return out


def poll(test, limit_s, step_s=0.2):
    deadline = time.monotonic() + limit_s
    while True:
        value = test()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step_s)


def display():
    out = subprocess.run([WINE_RUN, "--dir", WINE_DIR, "--display"], capture_output=True,
                         timeout=120, check=True).stdout.decode()
    return out.strip()


def screenshot(name):
    os.makedirs(SCREENSHOTS, exist_ok=True)
    path = os.path.join(SCREENSHOTS, name + ".png")
    subprocess.run(["import", "-display", display(), "-window", "root", path], check=True,
                   timeout=60)
    return path


def processes():
    """(pid, command line) of every process of this machine."""
    listed = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    out = []
    for line in listed.splitlines():
        pid, _, args = line.strip().partition(" ")
        if pid.isdigit():
            out.append((int(pid), args))
    return out


def trays_running():
    """(pid, command line) of every tray process."""
    return [(pid, args) for pid, args in processes()
            if "veyra-tray.exe" in args.lower() and "timeout" not in args]


class Tray:
    """One test's program folder with the tray and the stand-in side by side."""

    def __init__(self, folder):
        self.folder = folder
        self.process = None
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copy(TRAY, os.path.join(folder, "veyra-tray.exe"))
        shutil.copy(STAND_IN, os.path.join(folder, "veyra-host.exe"))
        self.log = os.path.join(folder, "host-calls.txt")
        self.host = windows_path(os.path.join(folder, "veyra-host.exe"))

    def start(self, **env):
        # An earlier tray still running holds the single-instance mutex (this
        # one would quietly exit) and its window would pass for this one's:
        # start only once it is gone, ending it if it does not go by itself.
        if not poll(lambda: not trays_running(), 5):
            for pid, _ in trays_running():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        assert poll(lambda: not trays_running(), 15), trays_running()
        assert driver("wait-tray-gone", 15000)[0] == 0, "an earlier tray's window is still there"
        full_env = dict(os.environ)
        full_env.update(env)
        full_env["VEYRA_WINE_TIMEOUT"] = "600"
        self.process = subprocess.Popen(
            [WINE_RUN, "--dir", WINE_DIR, os.path.join(self.folder, "veyra-tray.exe")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=full_env)
        # A tray still running from an earlier test holds the single-instance
        # mutex, and this one would quietly exit: say so when it happens.
        code, _ = driver("wait-tray", 30000)
        assert code == 0, ("no tray window", "tray exit status %s" % self.process.poll(),
                           trays_running())
        assert self.process.poll() is None, "the tray exited at once (another one running?)"

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return [line for line in f.read().decode("utf-8").split("\n") if line]

    def wait_calls(self, count, limit_s=30):
        assert poll(lambda: len(self.calls()) >= count, limit_s), self.calls()
        return self.calls()

    def exit(self):
        if self.process is None:
            return
        driver("command", IDM["exit"])
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=30)
        self.process = None

    def cleanup(self):
        self.exit()
        # A stand-in that outlived a failed test would look like a running
        # host to the next one, and a tray left with a box open (killing the
        # wrapper does not end the Windows process) would fail every later
        # test that looks for boxes; end those of this folder, by their ids.
        # The tray was started by its Unix path, which Wine may show either way.
        tray = os.path.join(self.folder, "veyra-tray.exe").replace("/", "\\").lower()
        own = (self.host.lower(), tray)
        for pid, args in processes():
            if any(name in args.lower().replace("/", "\\") for name in own):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        # The next test's tray starts only once this one's mutex is free.
        poll(lambda: not [args for _, args in trays_running()
                          if tray in args.lower().replace("/", "\\")], 15)
        driver("wait-host", "stopped", 10000)


@pytest.fixture
def tray(request):
    must("reset-settings")
    # The guide is not what these tests look at.
    must("set-setting", "SetupGuideShown", "1")
    t = Tray(os.path.join(OUTPUT, "work", request.node.name.replace("[", "_").rstrip("]")))
    assert driver("wait-host", "stopped", 10000)[0] == 0, "a host is running before the test"
    yield t
    t.cleanup()


def data_folder():
    return must("env", "LOCALAPPDATA").strip() + "\\Brenvik\\Veyra"


def host_line(t, address, fps=60, bitrate=12000):
    return ('"%s" --host %s --source dd --fps %d --bitrate %d --log "%s\\host.log"'
            % (t.host, address, fps, bitrate, data_folder()))


def tooltip_text(geometry_name="Wine System Tray"):
    """The tooltip the notification area shows over the tray's icon."""
    env = dict(os.environ, DISPLAY=display())
    found = subprocess.run(["xdotool", "search", "--name", geometry_name], capture_output=True,
                           text=True, env=env, timeout=30).stdout.split()
    if not found:
        return None
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", found[0]],
                              capture_output=True, text=True, env=env, timeout=30).stdout
    values = dict(line.split("=", 1) for line in geometry.split())
    x, y = int(values["X"]), int(values["Y"])
    # Move in, then within the first icon, so the tooltip's hover starts.
    for dx in (4, 8, 9):
        subprocess.run(["xdotool", "mousemove", str(x + dx), str(y + 10)], env=env, timeout=30)
        time.sleep(0.3)
    code, out = driver("tooltip", 8000)
    subprocess.run(["xdotool", "mousemove", "600", "600"], env=env, timeout=30)
    return out.strip() if code == 0 else None


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
    assert tooltip_text() == "Veyra - ready to connect"
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
    # Guide, Connect, Enter address, Picture quality > Data saver,
    # Standard, Sharper.
    must("menu-keys", VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RIGHT)
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
    # Third item: the address dialog, with its texts in Korean.
    must("menu-keys", VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN)
    caption = must("wait-window", "#32770", 10000).split("\n")[0]
    assert caption == "Veyra - 연결"
    texts = must("dialog-texts").split("\n")
    assert texts[:5] == ["Veyra - 연결", "폰 대기 화면에 표시된 주소:", "", "연결", "취소"]
    screenshot("dialog-korean")
    must("dialog-key", VK_ESCAPE)
    assert poll(lambda: driver("wait-window", "#32770", 0)[0] != 0, 10)
    assert tray.calls() == []


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


GUIDE_SOURCE = os.environ.get("VEYRA_GUIDE_DIR", "")
GUIDE_MISSING = "The local connection guide is missing. Reinstall or repair Veyra."
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"


def prefix_path(windows):
    """The Linux path of a C: path in the test prefix."""
    assert windows[1:3] == ":\\", windows
    return os.path.join(WINE_DIR, "prefix", "drive_c", *windows[3:].split("\\"))


def fresh_data_folder():
    folder = prefix_path(data_folder())
    for name in ("setup.html", "veyra-icon.png", "status.js", "status.js.tmp"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    return folder


def updated(folder):
    with open(os.path.join(folder, "status.js"), "rb") as f:
        line = f.read()
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
