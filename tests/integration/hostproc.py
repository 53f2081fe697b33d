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
