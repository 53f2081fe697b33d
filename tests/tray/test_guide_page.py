"""The connection guide page in a real browser: headless Chromium opens
setup.html from a file URL beside a status.js for each state the tray can be
in, and the test reads the steps and the banner back from the DOM. A
screenshot of each state goes to VEYRA_GUIDE_SHOTS (default: a temporary
folder) for a reviewer to look at."""

import html.parser
import os
import shutil
import subprocess
import tempfile

import pytest

PAGE = os.path.join(os.path.dirname(__file__), "..", "..", "tray", "guide", "setup.html")
CHROMIUM = shutil.which("chromium")
SHOTS = os.environ.get("VEYRA_GUIDE_SHOTS") or tempfile.mkdtemp(prefix="veyra-guide-")
os.makedirs(SHOTS, exist_ok=True)

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


def status(driver=False, phone=False, found=False, connected=False, lang="en", updated=5000):
    flags = dict(driver=driver, phone=phone, found=found, connected=connected)
    words = ",".join("%s:%s" % (k, "true" if v else "false") for k, v in flags.items())
    return ('window.VEYRA_STATUS={app:true,%s,arch:"x64",lang:"%s",updated:%d};\n'
            % (words, lang, updated))


class PageReader(html.parser.HTMLParser):
    """The banner's kind and text, and each step's done flag and heading."""

    def __init__(self):
        super().__init__()
        self.banner_kind = None
        self.banner = ""
        self.steps = []  # [done, heading]
        self.lang = None
        self._in = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "html":
            self.lang = a.get("lang")
        if a.get("id") == "banner":
            self.banner_kind = a.get("data-kind")
            self._in = "banner"
        elif tag == "li" and a.get("class") == "step":
            self.steps.append([a.get("data-done") == "true", ""])
        elif tag == "h2" and self.steps:
            self._in = "heading"

    def handle_endtag(self, tag):
        if tag in ("div", "h2"):
            self._in = None

    def handle_data(self, data):
        if self._in == "banner":
            self.banner += data
        elif self._in == "heading":
            self.steps[-1][1] += data


def open_page(name, script, budget_ms=3000, extra_shots=()):
    """Opens the page with |script| as status.js (None: no file) for
    |budget_ms| of the browser's virtual time; returns the PageReader.
    |extra_shots| are (suffix, browser flags) of further screenshots."""
    folder = tempfile.mkdtemp(prefix="guide-")
    try:
        shutil.copy(PAGE, os.path.join(folder, "setup.html"))
        if script is not None:
            with open(os.path.join(folder, "status.js"), "w", encoding="ascii") as f:
                f.write(script)
        url = "file://" + os.path.join(folder, "setup.html") + "?refresh=1234"
        common = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu",
                  "--hide-scrollbars", "--virtual-time-budget=%d" % budget_ms]
        dom = subprocess.run(common + ["--dump-dom", url], capture_output=True, text=True,
                             timeout=120, check=True).stdout
        for suffix, flags in (("", []),) + tuple(extra_shots):
            shot = os.path.join(SHOTS, name + suffix + ".png")
            subprocess.run(common + flags + ["--window-size=900,1300", "--screenshot=" + shot, url],
                           capture_output=True, timeout=120, check=True)
        reader = PageReader()
        reader.feed(dom)
        return reader
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def done_flags(page):
    return [done for done, _ in page.steps]


def test_first_start_ticks_only_what_runs():
    page = open_page("first-start", status())
    assert page.banner_kind == "progress"
    assert done_flags(page) == [True, False, False, False, False, False]
    assert page.steps[2][1] == "Install and open the receiver app on your phone"


def test_a_found_phone_and_the_driver_tick_their_steps():
    page = open_page("phone-found", status(driver=True, phone=True, found=True))
    assert page.banner_kind == "progress"
    assert done_flags(page) == [True, True, True, True, False, False]


def test_connected_ticks_everything_and_says_so():
    # Also as a dark-mode user and at 200 % zoom sees it.
    page = open_page("connected",
                     status(driver=True, phone=True, found=True, connected=True),
                     extra_shots=(("-dark", ["--force-dark-mode"]),
                                  ("-200", ["--force-device-scale-factor=2"])))
    assert page.banner_kind == "connected"
    assert page.banner.startswith("Connected: your phone is showing this PC's extra screen.")
    assert all(done_flags(page))


def test_korean_follows_the_tray_language():
    page = open_page("korean", status(phone=True, lang="ko"))
    assert page.lang == "ko"
    assert page.steps[0][1] == "이 PC에서 Veyra 실행"
    assert done_flags(page) == [True, False, True, False, False, False]


def test_a_status_that_stops_changing_is_reported_stale():
    # The tray rewrites the file every 2 s; this one never changes, so after
    # three periods the page says the tray has stopped and ticks nothing.
    page = open_page("stale", status(phone=True, found=True, connected=True), budget_ms=12000)
    assert page.banner_kind == "stale"
    assert "Veyra has stopped" in page.banner
    assert not any(done_flags(page))


def test_no_status_file_at_all_asks_to_start_veyra():
    page = open_page("no-status", None, budget_ms=12000)
    assert page.banner_kind == "missing"
    assert "No status from Veyra." in page.banner
    assert not any(done_flags(page))
