"""What the tests of the real veyra-tray.exe under Wine and Xvfb drive it
with, from outside as the shell and the user would: a helper
(tray_driver.exe) posts the icon's callback, menu keys and dialog input,
reads windows and settings; a recording stand-in for veyra-host.exe writes
each command line it was started with to a log and holds the host's mutex
for as long as it "runs". The tray fixture gives each test its own program
folder with both.

Every wait is bounded and polls; nothing depends on how fast the machine is.
Screenshots go to $VEYRA_TRAY_OUTPUT/screenshots."""

import json
import os
import re
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
IDM = {"exit": 100, "connect": 104, "disconnect": 105, "address": 106, "browser": 107,
       "forget": 111, "sharper": 202, "battery": 211}
KOREAN_ENV = {"LC_ALL": "ko_KR.UTF-8"}
GUIDE_SOURCE = os.environ.get("VEYRA_GUIDE_DIR", "")


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


def serve_line(t, port=None, fps=60, bitrate=12000):
    return ('"%s" --serve%s --source dd --fps %d --bitrate %d --log "%s\\host.log"'
            % (t.host, " --port %d" % port if port else "", fps, bitrate, data_folder()))


def copy_guide(t):
    """The guide's files beside the tray, as installed."""
    for name in ("setup.html", "veyra-icon.png"):
        shutil.copy(os.path.join(GUIDE_SOURCE, name), t.folder)
    shutil.copy(os.path.join(GUIDE_SOURCE, "node_modules", "qrcode-generator", "dist", "qrcode.js"),
                t.folder)


def browser_status(folder):
    """The phone's-browser line of status.js as a dict; {} while there is none."""
    try:
        with open(os.path.join(folder, "status.js"), "rb") as f:
            lines = f.read().decode("ascii").split("\n")
    except FileNotFoundError:
        return {}
    prefix = "window.VEYRA_BROWSER="
    for line in lines:
        if line.startswith(prefix) and line.endswith(";"):
            body = re.sub(r'([{,])(\w+):', r'\1"\2":', line[len(prefix):-1])
            return json.loads(body)
    return {}


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
    # The icons sit in the window's last row, below the caption Wine draws.
    row = y + int(values["HEIGHT"]) - 12
    # Move in, then within the first icon, so the tooltip's hover starts.
    for dx in (4, 8, 9):
        subprocess.run(["xdotool", "mousemove", str(x + dx), str(row)], env=env, timeout=30)
        time.sleep(0.3)
    code, out = driver("tooltip", 8000)
    subprocess.run(["xdotool", "mousemove", "600", "600"], env=env, timeout=30)
    return out.strip() if code == 0 else None


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
