"""Runs the host program under test: natively, or under Wine when the build
is the Windows one (VEYRA_WINE_RUN and VEYRA_WINE_DIR set by CTest)."""

import os
import subprocess
import sys
import threading

HOST = os.environ.get("VEYRA_HOST", "")
WINE_RUN = os.environ.get("VEYRA_WINE_RUN", "")
WINE_DIR = os.environ.get("VEYRA_WINE_DIR", "")
APPROVAL_BOX = os.environ.get("VEYRA_APPROVAL_BOX", "")
UNDER_WINE = bool(WINE_RUN)
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ANSWER_QUESTION = os.path.join(ROOT, "scripts", "answer-question")


def command(program, *args):
    """The command line that runs |program| (a path) with |args|."""
    if UNDER_WINE:
        return [WINE_RUN, "--dir", WINE_DIR, program, *args]
    return [program, *args]


def run_host(*args, timeout=60, cwd=None, env=None):
    """Runs veyra-host to completion; returns the CompletedProcess with bytes."""
    return subprocess.run(command(HOST, *args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, cwd=cwd, env=env)


def popen(program, *args, **kwargs):
    return subprocess.Popen(command(program, *args), **kwargs)


def answer_box(action, wait_ms):
    """Under Wine: waits up to |wait_ms| for the host's approval box, presses
    |action| ("yes", "no" or "read" for none) and returns the box's text, or
    None when no box came."""
    done = subprocess.run(command(APPROVAL_BOX, action, str(wait_ms)), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=wait_ms / 1000 + 60)
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else None


class Approver:
    """This PC's user for one host process: natively, a line on its standard
    input once a question has stood in |log| (the host's log file) for a
    moment, as a person answers; under Wine, a thread that answers every
    approval box with |answer|. answer "yes" or "no"; None answers nothing
    (natively the input stays open and silent); "eof" closes the input at
    once."""

    LINES = 32

    def __init__(self, answer="yes", log=None):
        self.answer = answer
        self.log = log
        self.boxes = []   # texts of the boxes answered under Wine
        self._stop = threading.Event()
        self._thread = None
        self._process = None
        self._answerer = None

    def stdin(self):
        """What to pass as Popen's stdin."""
        if UNDER_WINE or self.answer == "eof":
            return subprocess.DEVNULL
        if self.answer in ("yes", "no"):
            self._answerer = subprocess.Popen(
                [sys.executable, ANSWER_QUESTION, self.log, self.answer[0], "--count",
                 str(self.LINES)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            return self._answerer.stdout
        return subprocess.PIPE

    def attach(self, process):
        self._process = process
        if self._answerer is not None:
            # The host holds the pipe's read end now.
            self._answerer.stdout.close()
        if UNDER_WINE and self.answer in ("yes", "no"):
            self._thread = threading.Thread(target=self._press, daemon=True)
            self._thread.start()

    def _press(self):
        while not self._stop.is_set() and self._process.poll() is None:
            text = answer_box(self.answer, 2000)
            if text is not None:
                self.boxes.append(text)

    def close(self):
        self._stop.set()
        if self._answerer is not None and self._answerer.poll() is None:
            self._answerer.kill()
            self._answerer.wait()
        if self._process is not None and self._process.stdin is not None:
            try:
                self._process.stdin.close()
            except OSError:
                pass
        if self._thread is not None:
            self._thread.join(90)


def windows_path(path):
    """A Linux path as the Windows program sees it (Wine maps / to Z:)."""
    if not UNDER_WINE:
        return path
    return "Z:" + path.replace("/", "\\")


def host_env(data_home):
    """Environment for a native host whose local data folder is |data_home|."""
    env = dict(os.environ)
    env["XDG_DATA_HOME"] = data_home
    return env


def store_file(data_home):
    """Where the host keeps its pairing store, as a Linux path, and as the
    host prints it."""
    if UNDER_WINE:
        user = os.environ.get("USER") or "root"
        local = os.path.join(WINE_DIR, "prefix", "drive_c", "users", user, "AppData", "Local")
        return (os.path.join(local, "Veyra", "pairing.json"),
                "C:\\users\\%s\\AppData\\Local\\Veyra\\pairing.json" % user)
    path = os.path.join(data_home, "veyra", "pairing.json")
    return path, path


class Xvfb:
    """A private X display for the native host's X11 capture and input:
    Xvfb picks a free display number itself (-displayfd), so it never meets
    another test's or Wine's."""

    def __init__(self, screen="640x480x24"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            self.name = ":" + numbers.readline().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
