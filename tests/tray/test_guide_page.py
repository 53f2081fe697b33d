"""The connection guide page in a real browser: headless Chromium opens
setup.html from a file URL beside a status.js for each state the tray can be
in, and the test reads the steps and the banner back from the DOM. A
screenshot of each state goes to VEYRA_GUIDE_SHOTS (default: a temporary
folder) for a reviewer to look at; the browser path's QR code is read back
from its screenshots with zbarimg."""

import html.parser
import json
import os
import shutil
import subprocess
import tempfile

import pytest

GUIDE = os.path.join(os.path.dirname(__file__), "..", "..", "tray", "guide")
QRCODE_JS = os.path.join(GUIDE, "node_modules", "qrcode-generator", "dist", "qrcode.js")
CHROMIUM = shutil.which("chromium")
SHOTS = os.environ.get("VEYRA_GUIDE_SHOTS") or tempfile.mkdtemp(prefix="veyra-guide-")
os.makedirs(SHOTS, exist_ok=True)

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")

LINK = "https://192.168.1.5:47820/#kQ3vV1b0yq2dL2Jq4mC5WA"
USB = "http://localhost:47820/#kQ3vV1b0yq2dL2Jq4mC5WA"
OTHER = "https://10.0.0.7:47820/#kQ3vV1b0yq2dL2Jq4mC5WA"


def status(driver=False, phone=False, found=False, connected=False, lang="en", updated=5000):
    flags = dict(driver=driver, phone=phone, found=found, connected=connected)
    words = ",".join("%s:%s" % (k, "true" if v else "false") for k, v in flags.items())
    return ('window.VEYRA_STATUS={app:true,%s,arch:"x64",lang:"%s",updated:%d};\n'
            % (words, lang, updated))


def browser_line(state, link="", usb="", others=(), phone=""):
    """The tray's second line; json.dumps with ensure_ascii writes strings
    as JS string escapes (\\uXXXX), as the tray does."""
    return ("window.VEYRA_BROWSER={state:%s,link:%s,usb:%s,others:%s,phone:%s};\n"
            % tuple(json.dumps(v) for v in (state, link, usb, list(others), phone)))


class PageReader(html.parser.HTMLParser):
    """Each element with an id (its attributes and text, nested text
    included), the steps of each list by the list's id ([done, heading]),
    and the page's language."""

    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
            "source", "track", "wbr"}

    def __init__(self):
        super().__init__()
        self.lang = None
        self.elements = {}  # id -> {"attrs": dict, "text": str, "tags": [tag names inside]}
        self.lists = {}     # list id -> [[done, heading]]
        self._open = []     # (tag, id) of the open elements
        self._list = None
        self._heading = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "html":
            self.lang = a.get("lang")
        for _, open_id in self._open:
            if open_id:
                self.elements[open_id]["tags"].append(tag)
        if a.get("id"):
            self.elements[a["id"]] = {"attrs": a, "text": "", "tags": []}
        if tag == "ol":
            self._list = self.lists.setdefault(a.get("id"), [])
        elif tag == "li" and a.get("class") == "step":
            self._list.append([a.get("data-done") == "true", ""])
        elif tag == "h2" and self._list:
            self._heading = True
        if tag not in self.VOID:
            self._open.append((tag, a.get("id")))

    def handle_endtag(self, tag):
        if tag == "h2":
            self._heading = False
        elif tag == "ol":
            self._list = None
        while self._open:
            if self._open.pop()[0] == tag:
                break

    def handle_data(self, data):
        for _, open_id in self._open:
            if open_id:
                self.elements[open_id]["text"] += data
        if self._heading:
            self._list[-1][1] += data

    def text(self, element_id):
        return self.elements[element_id]["text"]

    def attr(self, element_id, name):
        return self.elements[element_id]["attrs"].get(name)

    def shown(self, element_id):
        return "hidden" not in self.elements[element_id]["attrs"]

    @property
    def banner_kind(self):
        return self.attr("banner", "data-kind")

    @property
    def banner(self):
        return self.text("banner")

    @property
    def steps(self):
        return self.lists.get("steps", [])

    @property
    def browser_steps(self):
        return self.lists.get("browser-steps", [])


def open_page(name, script, budget_ms=3000, extra_shots=(), query="", with_qrcode=False):
    """Opens the page with |script| as status.js (None: no file) for
    |budget_ms| of the browser's virtual time; returns the PageReader with
    .shots, the screenshots' paths by suffix. |extra_shots| are (suffix,
    browser flags) of further screenshots; |query| follows "?refresh=1234";
    |with_qrcode| puts qrcode.js beside the page, as the tray does."""
    folder = tempfile.mkdtemp(prefix="guide-")
    try:
        for asset in ("setup.html", "veyra-icon.png"):
            shutil.copy(os.path.join(GUIDE, asset), os.path.join(folder, asset))
        if with_qrcode:
            if not os.path.isfile(QRCODE_JS):
                pytest.fail("%s is missing: run scripts/bootstrap (npm ci in tray/guide)" % QRCODE_JS)
            shutil.copy(QRCODE_JS, os.path.join(folder, "qrcode.js"))
        if script is not None:
            with open(os.path.join(folder, "status.js"), "w", encoding="ascii") as f:
                f.write(script)
        url = "file://" + os.path.join(folder, "setup.html") + "?refresh=1234" + query
        common = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu",
                  "--hide-scrollbars", "--virtual-time-budget=%d" % budget_ms]
        dom = subprocess.run(common + ["--dump-dom", url], capture_output=True, text=True,
                             timeout=120, check=True).stdout
        shots = {}
        for suffix, flags in (("", []),) + tuple(extra_shots):
            shots[suffix] = os.path.join(SHOTS, name + suffix + ".png")
            subprocess.run(common + flags + ["--window-size=900,1300",
                                             "--screenshot=" + shots[suffix], url],
                           capture_output=True, timeout=120, check=True)
        reader = PageReader()
        reader.feed(dom)
        reader.shots = shots
        return reader
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def qr_codes_in(shot):
    """Every QR code zbarimg finds in the screenshot |shot|."""
    zbarimg = shutil.which("zbarimg")
    if zbarimg is None:
        pytest.fail("zbarimg is missing: install zbar-tools (scripts/bootstrap does)")
    # Exit status 4: no code found, which the assertion then reports.
    found = subprocess.run([zbarimg, "--raw", "-q", "-Sdisable", "-Sqrcode.enable", shot],
                           capture_output=True, text=True, timeout=60)
    assert found.returncode in (0, 4), found.stderr
    return found.stdout.splitlines()


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


BROWSER_STEPS_EN = ["Open the link or scan the code with the phone's camera",
                    "Accept the certificate warning once",
                    "Answer this PC's question",
                    "Tap the picture for full screen"]


def test_the_browser_path_shows_a_code_that_reads_back_as_the_link():
    # Also in dark mode (still black on white) and at 200 % zoom.
    page = open_page("browser-waiting",
                     status() + browser_line("waiting", LINK, USB, [OTHER]),
                     query="&show=browser", with_qrcode=True,
                     extra_shots=(("-dark", ["--force-dark-mode"]),
                                  ("-200", ["--force-device-scale-factor=2"])))
    assert page.shown("path-browser") and not page.shown("path-app")
    assert page.attr("tab-browser", "aria-selected") == "true"
    assert page.banner_kind == "progress"
    assert [heading for _, heading in page.browser_steps] == BROWSER_STEPS_EN
    assert page.attr("browser-qr", "data-link") == LINK
    assert page.text("browser-link") == LINK
    assert OTHER in page.text("browser-others")
    assert page.attr("browser-state", "data-state") == "waiting"
    assert page.text("browser-state") == "Waiting for the phone: open the link or scan the code."
    assert page.text("browser-usb-link") == USB
    assert "adb reverse tcp:47820 tcp:47820" in page.text("browser-usb")
    for suffix, shot in page.shots.items():
        assert qr_codes_in(shot) == [LINK], "screenshot" + suffix


def test_korean_names_the_streaming_phone_as_text_only():
    # No show=browser in the address: the live state alone picks the path.
    name = "<b>지현</b>의 Pixel \u202e"
    page = open_page("browser-korean",
                     status(lang="ko") + browser_line("streaming", LINK, USB, phone=name),
                     with_qrcode=True)
    assert page.lang == "ko"
    assert page.shown("path-browser")
    assert page.banner_kind == "connected"
    assert [heading for _, heading in page.browser_steps] == [
        "링크를 열거나 휴대폰 카메라로 코드 스캔", "인증서 경고를 한 번 수락",
        "이 PC의 질문에 답하기", "화면을 탭해 전체 화면으로 보기"]
    assert page.attr("browser-state", "data-state") == "streaming"
    assert page.text("browser-state") == "연결됨: “<b>지현</b>의 Pixel \u202e”에 이 PC의 화면이 표시되고 있습니다."
    assert page.elements["browser-state"]["tags"] == ["bdi"]
    assert page.text("browser-link") == LINK


def test_an_older_status_without_the_browser_line_keeps_the_app_path():
    page = open_page("browser-absent", status(phone=True), with_qrcode=True)
    assert page.shown("path-app") and not page.shown("path-browser")
    assert page.attr("browser-state", "data-state") == "off"
    assert page.attr("browser-qr", "data-link") is None
    assert "Connect a phone's browser..." in page.text("browser-note")
    assert done_flags(page) == [True, False, True, False, False, False]


def test_without_qrcode_js_the_address_still_shows():
    page = open_page("browser-no-qrcode", status() + browser_line("lost", LINK, USB))
    assert page.shown("path-browser")
    assert page.attr("browser-qr", "data-link") is None
    assert page.text("browser-note").startswith("The code could not be drawn here.")
    assert page.text("browser-link") == LINK
    assert page.attr("browser-state", "data-state") == "lost"
