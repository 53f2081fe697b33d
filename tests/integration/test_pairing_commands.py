"""The pairing commands of the host, run as real processes against the real
store file: whole outputs, and whether the file was rewritten."""

import json
import os
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402

HOST_ID = "00112233445566778899aabbccddeeff"


@pytest.fixture
def store():
    data_home = tempfile.mkdtemp(prefix="veyra-data-")
    path, shown = hostproc.store_file(data_home)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    saved = open(path, "rb").read() if os.path.exists(path) else None

    class Store:
        env = hostproc.host_env(data_home)
        file = path
        printed_path = shown

        def write(self, obj):
            with open(path, "w") as f:
                json.dump(obj, f, separators=(",", ":"))

        def read(self):
            with open(path) as f:
                return json.load(f)

        def stamp(self):
            st = os.stat(path)
            return (st.st_ino, st.st_mtime_ns, open(path, "rb").read())

        def run(self, *args):
            result = hostproc.run_host(*args, env=self.env)
            return result.returncode, result.stdout.replace(b"\r\n", b"\n").decode()

    yield Store()
    # Leave the shared Wine prefix's store as it was.
    if saved is None:
        if os.path.exists(path):
            os.remove(path)
    else:
        with open(path, "wb") as f:
            f.write(saved)
    shutil.rmtree(data_home, ignore_errors=True)


def test_first_listing_creates_the_store(store):
    if os.path.exists(store.file):
        os.remove(store.file)
    code, out = store.run("--pairings")
    data = store.read()
    assert list(data) == ["hostId", "hostName", "receivers", "pins"]
    assert len(data["hostId"]) == 32 and data["hostId"] == data["hostId"].lower()
    assert code == 0
    assert out == ("this PC: %s (id %s)\nstored at %s\n\n"
                   "no devices have approved this PC yet; the first connection will ask.\n"
                   % (data["hostName"], data["hostId"], store.printed_path))


def test_listing_shows_pin_only_and_approved_devices(store):
    store.write({"hostId": HOST_ID, "hostName": "Desk",
                 "receivers": {"phone-b": "tok"},
                 "pins": {"phone-a": "KEYA=", "phone-b": "KEYB="}})
    code, out = store.run("--pairings")
    assert code == 0
    assert out == (
        "this PC: Desk (id %s)\nstored at %s\n\n"
        "known to 2 device(s), 1 approved:\n"
        "  phone-a\n"
        "    no token - pin only; --forget phone-a to pair afresh\n"
        "    pinned key KEYA=\n"
        "  phone-b\n"
        "    pinned key KEYB=\n" % (HOST_ID, store.printed_path))


def test_forget_of_an_unknown_device_fails_and_lists_the_stored_ids_escaped(store):
    store.write({"hostId": HOST_ID, "hostName": "Desk",
                 "receivers": {"p": "t", "evil\u009b2J\nid": "t"}, "pins": {}})
    before = store.stamp()
    code, out = store.run("--forget", "nobody")
    assert (code, out) == (1, "no device with the id nobody is stored; nothing was forgotten.\n"
                              "stored ids:\n  evil\\u009b2J\\x0aid\n  p\n")
    assert store.stamp() == before


def test_forget_of_a_pin_only_device_saves(store):
    store.write({"hostId": HOST_ID, "hostName": "Desk", "receivers": {"p": "t"},
                 "pins": {"q": "K="}})
    code, _ = store.run("--forget", "q")
    assert code == 0
    assert store.read() == {"hostId": HOST_ID, "hostName": "Desk", "receivers": {"p": "t"},
                            "pins": {}}


def test_forget_all(store):
    store.write({"hostId": HOST_ID, "hostName": "Desk", "receivers": {}, "pins": {}})
    before = store.stamp()
    assert store.run("--forget-all") == (0, "all pairings dropped.\n")
    assert store.stamp() == before, "nothing to drop: no rewrite"

    store.write({"hostId": HOST_ID, "hostName": "Desk", "receivers": {"p": "t"},
                 "pins": {"p": "K="}})
    assert store.run("--forget-all") == (0, "all pairings dropped.\n")
    assert store.read() == {"hostId": HOST_ID, "hostName": "Desk", "receivers": {}, "pins": {}}


def test_name_is_stored_before_the_session_only_when_it_changes(store):
    store.write({"hostId": HOST_ID, "hostName": "Desk", "receivers": {}, "pins": {}})
    before = store.stamp()
    store.run("--name", "Desk", "--host", "127.0.0.1", "--port", "1")
    assert store.stamp() == before

    store.run("--name", "Büro", "--host", "127.0.0.1", "--port", "1")
    assert store.read()["hostName"] == "Büro"
