"""Runs the host program under test: natively, or under Wine when the build
is the Windows one (VEYRA_WINE_RUN and VEYRA_WINE_DIR set by CTest)."""

import os
import subprocess

HOST = os.environ.get("VEYRA_HOST", "")
WINE_RUN = os.environ.get("VEYRA_WINE_RUN", "")
WINE_DIR = os.environ.get("VEYRA_WINE_DIR", "")
UNDER_WINE = bool(WINE_RUN)


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
