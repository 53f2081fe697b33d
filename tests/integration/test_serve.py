"""The host serving the phone's browser, end to end without a browser: the
page and its refusals over HTTP, and the WebSocket path through this PC's
question to the stream. Natively over TLS; under Wine, where the system's
TLS has no server side, over plaintext from this machine (a USB cable's
path), after checking that a TLS client is refused with a clear log line."""

import json
import os
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
from page_client import PageSocket, ServedHost, http_get, key_code, new_key, open_stream, read_all  # noqa: E402,E501
from session_peers import WAIT_S, wait_for, wire  # noqa: E402
from session_runs import Store, free_port  # noqa: E402

TLS = not hostproc.UNDER_WINE


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    store = Store(tmp_path_factory.mktemp("data"))
    host = ServedHost(tmp_path_factory.mktemp("served"), free_port(), "--source", "synthetic",
                      "--size", "320x240", "--verbose", data_home=store.home)
    host.secret(1)
    yield host
    host.stop()
    store.restore()


def status_of(response):
    return int(response.split(b" ", 2)[1]) if response.startswith(b"HTTP/1.1 ") else None


def lan_address():
    """This machine's address on its network, when it has one."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))
            address = s.getsockname()[0]
            return None if address.startswith("127.") else address
    except OSError:
        return None


def test_the_page_is_served_and_bad_requests_are_refused(served):
    port = served.port
    page = http_get(port, "/", tls=TLS)
    assert status_of(page) == 200
    assert b"Content-Security-Policy: default-src 'self'" in page
    assert b"<canvas" in page
    # The first address offered is the one the default route sends from.
    if lan_address() is not None:
        assert served.addresses[0][0] == lan_address()

    # A slow request runs beside the others: the server answers them while
    # it waits out the slow one's deadline.
    slow = open_stream(port, TLS)
    slow.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    slow_result = {}
    waiter = threading.Thread(target=lambda: slow_result.update(data=read_all(slow)))
    waiter.start()

    cases = [
        ("/nothing/here", (), 404),
        ("/", ("X-Long: " + "a" * 17000,), 431),
        ("/link?key=" + new_key(), ("Upgrade: websocket", "Connection: Upgrade",
                                    "Sec-WebSocket-Version: 13",
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                    "Origin: https://evil.example"), 403),
        ("/link?key=short", (), 400),
    ]
    for path, headers, expected in cases:
        assert status_of(http_get(port, path, headers, tls=TLS)) == expected, path

    # No secret and no approved key: the page is told why, and nothing else.
    refused = PageSocket(port, new_key(), tls=TLS)
    assert refused.accepted
    opcode, payload = refused.receive()
    header = wire.decode_header(payload)
    assert (opcode, header.type) == (2, wire.ERROR)
    assert json.loads(payload[wire.HEADER_SIZE:])["message"] == \
        "no valid link: open the address this PC shows now"
    assert refused.receive()[0] == 8

    other = lan_address()
    if other is not None:
        # Plain HTTP from another machine: closed without a word.
        assert http_get_from(other, port) == b""
        assert served.wait_text("did not start TLS")

    waiter.join(30)
    assert slow_result.get("data") == b""
    assert served.wait_text("to send a request; closed")
    assert served.wait_text("came without this PC's current link")


def http_get_from(address, port):
    stream = open_stream(port, tls=False, address=address)
    stream.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    return read_all(stream)


@pytest.mark.skipif(TLS, reason="natively the host speaks TLS")
def test_under_wine_a_tls_client_is_refused_with_a_log_line(served):
    with pytest.raises(OSError):
        open_stream(served.port, tls=True).sendall(b"GET / HTTP/1.1\r\n\r\n")
    assert served.wait_text("no TLS session with 127.0.0.1")


def hello(page, device_id):
    page.send(wire.encode_frame(wire.HELLO, wire.encode_json(
        {"protocolVersion": 1, "deviceId": device_id, "appVersion": "page test"})))
    page.send(wire.encode_frame(wire.DEVICE_INFO, wire.encode_json(
        {"model": "browser test", "widthPx": 320, "heightPx": 240, "densityDpi": 160,
         "refreshHz": 60.0, "h264LowLatency": True, "maxDecodeWidth": 1920,
         "maxDecodeHeight": 1080, "touch": True, "rotation": 0})))


def frames_until(page, wanted, limit=2000):
    """Types of the host's messages up to the first of |wanted|; the last
    payload too."""
    seen = []
    for _ in range(limit):
        message = page.receive()
        if message is None:
            return seen, None
        header = wire.decode_header(message[1])
        seen.append(header.type)
        if header.type == wire.HELLO_ACK:
            token = json.loads(message[1][wire.HEADER_SIZE:]).get("token", "")
            if not token:
                page.send(wire.encode_frame(wire.PAIR_ACCEPTED, wire.encode_json(
                    {"token": os.urandom(16).hex()})))
        if header.type in wanted:
            return seen, message[1]
    return seen, None


def test_a_browser_is_asked_about_once_then_streams_and_comes_back_with_its_key(served):
    port = served.port
    key = new_key()
    device = "browser-" + os.urandom(8).hex()
    page = PageSocket(port, key, served.secret(1), tls=TLS)
    assert page.accepted
    hello(page, device)
    # The link was used up: a new one is shown at once.
    assert served.secret(2) != served.secret(1)
    goal = {wire.VIDEO_FRAME} if TLS else {wire.HELLO_ACK}
    seen, _ = frames_until(page, goal)
    assert goal & set(seen), seen
    assert served.wait_text("paired with " + device)
    questions = served.wait_text("asking this PC's user")
    assert len(questions) == 1
    if hostproc.UNDER_WINE:
        assert wait_for(lambda: served.approver.boxes)
        assert key_code(key) in served.approver.boxes[0]
    else:
        assert served.wait_text("Code: " + key_code(key))

    # A second browser while this one streams is told so.
    second = PageSocket(port, new_key(), served.secret(2), tls=TLS)
    opcode, payload = second.receive()
    assert json.loads(payload[wire.HEADER_SIZE:])["code"] == "BUSY"
    second.close()

    # Bad framing ends the connection with a close and a log line.
    page.send_raw(2, b"\x00" * 8, mask=False)
    assert served.wait_text("browser connection closed: ")
    page.close()

    # The same browser returns with its key and no link: no second question.
    back = connect_when_free(port, key)
    hello(back, device)
    seen, _ = frames_until(back, goal)
    assert goal & set(seen), seen
    assert len(served.wait_text("asking this PC's user")) == 1
    # A close in the middle of a frame ends the connection with its line.
    back.stream.sendall(b"\x82\xfe\x01")
    back.close()
    assert served.wait_text("ended in the middle of a WebSocket frame")

    # What a person at the console (and the tray) read of it, in order: the
    # returning browser is no news where it shows nothing (Wine has no
    # encoder).
    name = ": browser test"
    told = ["Waiting for the phone.", "Asking this PC's user about the phone" + name]
    if TLS:
        told += ["Showing this PC on the phone" + name, "The phone went away" + name,
                 "Waiting for the phone.", "Showing this PC on the phone" + name]
    told += ["The phone went away" + name, "Waiting for the phone."]
    phases = ("Waiting", "Asking", "Showing", "This PC did not", "The phone went")
    assert wait_for(lambda: [line for line in served.lines if line.startswith(phases)] == told), \
        served.lines


def connect_when_free(port, key):
    """A WebSocket with |key| once the host has let the last browser go; a
    host still holding it answers BUSY."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        page = PageSocket(port, key, tls=TLS)
        if page.accepted:
            # A refused browser is told at once; an admitted one hears the
            # host's pings, or nothing yet.
            page.stream.settimeout(1.0)
            first = page.receive()
            page.stream.settimeout(10)
            if first is None or wire.decode_header(first[1]).type != wire.ERROR:
                return page
            assert json.loads(first[1][wire.HEADER_SIZE:])["code"] == "BUSY"
        page.close()
        time.sleep(0.2)
    raise AssertionError("the host did not let the browser back in")
