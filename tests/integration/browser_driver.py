"""The page veyra-host serves, in headless Chromium, for pytest: a wrapper of
tests/browser/drive_page.mjs (one JSON command a line in, one JSON answer a
line out). Each driver is one browser with its own fresh profile; a second
driver is a second browser with an identity of its own.

    with BrowserDriver.start(tmp_path / "phone") as phone:
        phone.command("open", url="https://127.0.0.1:47820/#" + secret)
        phone.command("waitState", state="streaming", timeoutMs=20000)
        assert phone.command("pixel", fx=0.5, fy=0.5)["rgb"] == [255, 0, 0]

command() raises DriverError when the driver answers ok: false, and when no
answer comes within the command's own bound plus a margin.
"""

import json
import os
import queue
import shutil
import signal
import subprocess
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BROWSER_TESTS = os.path.join(ROOT, "tests", "browser")
DRIVER = os.path.join(BROWSER_TESTS, "drive_page.mjs")
CHROMIUM = "/usr/bin/chromium"

# The driver's own bounds (drive_page.mjs), and what the answer may take on
# top: a loaded machine, a browser that starts slowly.
DEFAULT_TIMEOUT_MS = 10000
LONG_TIMEOUT_MS = 20000
LONG_COMMANDS = ("open", "reload")
MARGIN_S = 15
START_S = 60
CLOSE_S = 15


class DriverError(RuntimeError):
    """The driver answered ok: false, gave no answer in time, or ended."""


def unavailable():
    """Why the browser tests cannot run here (a text), or None when they can."""
    if shutil.which("node") is None:
        return "node is not installed (scripts/bootstrap)"
    if not os.path.exists(CHROMIUM):
        return "chromium is not installed (scripts/bootstrap)"
    if not os.path.isdir(os.path.join(BROWSER_TESTS, "node_modules", "puppeteer-core")):
        return "tests/browser/node_modules is missing (scripts/bootstrap runs npm ci)"
    return None


class BrowserDriver:
    def __init__(self, process, log_path):
        self._process = process
        self._log_path = log_path
        self._answers = queue.Queue()
        self._next_id = 1
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    @classmethod
    def start(cls, profile_dir, viewport="412x915", scale=2, lang=None):
        """Starts a driver with a fresh browser profile in |profile_dir| (made
        here; it must not hold an earlier run's profile). Its standard error
        goes to a file beside the profile."""
        profile_dir = os.fspath(profile_dir)
        os.makedirs(profile_dir, exist_ok=False)
        args = ["node", DRIVER, "--profile", profile_dir, "--viewport", viewport,
                "--scale", str(scale)]
        if lang:
            args += ["--lang", lang]
        log_path = profile_dir.rstrip(os.sep) + ".driver.log"
        with open(log_path, "wb") as log:
            # A session of its own: a driver that must be killed takes its
            # browser with it.
            process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=log, cwd=BROWSER_TESTS, start_new_session=True)
        driver = cls(process, log_path)
        try:
            driver.command("ping", timeout_s=START_S)
        except DriverError:
            driver.close()
            raise
        return driver

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read(self):
        for line in self._process.stdout:
            try:
                self._answers.put(json.loads(line))
            except ValueError:
                self._answers.put({"ok": False, "error": "not JSON: %r" % line[:200]})
        self._answers.put(None)

    def command(self, cmd, timeout_s=None, **params):
        """Sends one command and returns its answer (a dict without "ok" and
        "id"). The driver bounds the command by params["timeoutMs"]; this
        waits that long plus a margin."""
        ident = self._next_id
        self._next_id += 1
        line = json.dumps(dict(params, cmd=cmd, id=ident)) + "\n"
        try:
            self._process.stdin.write(line.encode("utf-8"))
            self._process.stdin.flush()
        except OSError as e:
            raise DriverError("%s: the driver is gone (%s); %s" % (cmd, e, self._log_tail())) from None
        if timeout_s is None:
            bound_ms = params.get("timeoutMs") or (
                LONG_TIMEOUT_MS if cmd in LONG_COMMANDS else DEFAULT_TIMEOUT_MS)
            timeout_s = bound_ms / 1000 + MARGIN_S
        try:
            answer = self._answers.get(timeout=timeout_s)
        except queue.Empty:
            raise DriverError("%s: no answer within %g s" % (cmd, timeout_s)) from None
        if answer is None:
            raise DriverError("%s: the driver ended; %s" % (cmd, self._log_tail()))
        if answer.get("id") != ident:
            raise DriverError("%s: answer out of order: %r" % (cmd, answer))
        if not answer.get("ok"):
            raise DriverError("%s: %s" % (cmd, answer.get("error")))
        return {k: v for k, v in answer.items() if k not in ("ok", "id")}

    def _log_tail(self):
        try:
            with open(self._log_path, "rb") as log:
                return "driver log: " + log.read()[-2000:].decode("utf-8", "replace")
        except OSError:
            return "no driver log"

    def close(self):
        """Closes the browser (the driver exits when its input closes); kills
        it after CLOSE_S."""
        if self._process.poll() is None:
            try:
                self._process.stdin.close()
            except OSError:
                pass
            try:
                self._process.wait(timeout=CLOSE_S)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait(timeout=CLOSE_S)
        self._process.stdout.close()
        self._reader.join(timeout=CLOSE_S)
