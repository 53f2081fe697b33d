"""The served page in a real browser: headless Chromium opens it from the
native host over TLS (certificate errors ignored by the driver, for the test
only) while the host mirrors a private X display. The canvas shows the
desktop's colours where they are, a tap reaches the right pixel, typed text
arrives, a browser without the link gets nothing, a second browser is
refused, and after the host comes back the page streams again by itself."""

import os
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from browser_driver import BrowserDriver, unavailable  # noqa: E402
from page_client import ServedHost  # noqa: E402
from session_peers import wait_for  # noqa: E402
from session_runs import free_port  # noqa: E402

pytestmark = [
    pytest.mark.skipif(hostproc.UNDER_WINE, reason="the browser opens the native host's page"),
    pytest.mark.skipif(unavailable() is not None, reason=str(unavailable())),
]

STREAM_MS = 60000


def near(rgb, expected, slack=48):
    return all(abs(a - b) <= slack for a, b in zip(rgb, expected))


def pointer(display):
    out = subprocess.run(["xdotool", "getmouselocation"], capture_output=True, text=True,
                         env=dict(os.environ, DISPLAY=display), timeout=10).stdout
    fields = dict(part.split(":") for part in out.split() if ":" in part)
    return int(fields["x"]), int(fields["y"])


def test_a_phone_browser_sees_and_drives_this_pc(tmp_path):
    with hostproc.Xvfb("640x480x24") as x:
        env = dict(os.environ, DISPLAY=x.name)
        typed = tmp_path / "typed.txt"
        # The left part of the screen is a red terminal whose input goes to a
        # file, the right part a blue one. No window manager: the keyboard
        # follows the pointer.
        terms = [subprocess.Popen(
            ["xterm", "-geometry", "40x36+0+0", "-bg", "red", "-fg", "red", "-e", "sh", "-c",
             "cat > '%s'" % typed], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
            subprocess.Popen(["xterm", "-geometry", "40x36+400+0", "-bg", "blue", "-fg", "blue"],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        data = tmp_path / "data"
        port = free_port()
        host = None
        try:
            host = ServedHost(tmp_path, port, data_home=data, env_extra={"DISPLAY": x.name})
            url = "https://127.0.0.1:%d/" % port

            # Without the link: no question here, no picture there.
            with BrowserDriver.start(tmp_path / "stranger") as stranger:
                stranger.command("open", url=url)
                assert stranger.command("waitState", state="invalid", timeoutMs=20000)
                assert stranger.command("stats")["stats"]["decodedFrames"] == 0
            assert not host.wait_text("asking this PC's user", timeout=1)

            with BrowserDriver.start(tmp_path / "phone") as phone:
                phone.command("open", url=url + "#" + host.secret(1))
                waiting = phone.command("waitState", state="approval", timeoutMs=20000)
                code = host.wait_text("Code: ")[0].split("Code: ")[1].strip()
                assert code in waiting["text"]
                phone.command("waitState", state="streaming", timeoutMs=STREAM_MS)
                assert wait_for(lambda: near(phone.command("pixel", fx=0.05, fy=0.5)["rgb"],
                                             (255, 0, 0)), timeout=30)
                assert near(phone.command("pixel", fx=0.95, fy=0.5)["rgb"], (0, 0, 255))

                phone.command("tap", fx=0.25, fy=0.5)
                assert wait_for(lambda: abs(pointer(x.name)[0] - 160) <= 3, timeout=20)
                assert abs(pointer(x.name)[1] - 240) <= 3
                phone.command("type", text="hello")
                phone.command("pressKey", name="Enter")
                assert wait_for(lambda: typed.exists() and typed.read_text() == "hello\n",
                                timeout=20)

                # A second browser, with the link shown now, is told the
                # screen is taken.
                with BrowserDriver.start(tmp_path / "second") as second:
                    second.command("open", url=url + "#" + host.secret(2))
                    second.command("waitState", state="busy", timeoutMs=20000)

                # The connection drops (the host goes and comes back): the
                # page streams again by itself, without a question.
                host.stop()
                phone.command("waitState", state="lost", timeoutMs=20000)
                host = ServedHost(tmp_path, port, data_home=data, name="again",
                                  env_extra={"DISPLAY": x.name})
                phone.command("waitState", state="streaming", timeoutMs=STREAM_MS)
                assert not host.wait_text("asking this PC's user", timeout=1)
        finally:
            if host is not None:
                host.stop()
            for term in terms:
                term.kill()
                term.wait()
