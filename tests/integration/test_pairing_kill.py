"""The host killed with SIGKILL at random moments while it saves its pairing
store: the store file is always the old or the new complete file, byte for
byte, and the next host start reads it.

A receiver that pairs in a loop (pairing_loop.py) makes the host save after
every PAIR_ACCEPTED; a store of a few thousand devices makes each save take a
while, so that many kills land while the temporary file is being written.
One host process per trial, all against one listening peer."""

import json
import os
import random
import signal
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402
import pairing_loop  # noqa: E402
import tls_peer  # noqa: E402

TRIALS = int(os.environ.get("VEYRA_KILL_TRIALS", "200"))
SEED = int(os.environ.get("VEYRA_KILL_SEED", "18"))
DEVICES = int(os.environ.get("VEYRA_KILL_DEVICES", "2000"))
HOST_ID = "0123456789abcdef0123456789abcdef"
HOST_NAME = "Kill Test PC"

pytestmark = pytest.mark.skipif(hostproc.UNDER_WINE, reason="SIGKILL of a native host only")


class SaveTiming:
    """How long one save takes and how long its temporary file lives,
    watched on the running host once, so that the kill times fit the
    machine's speed."""

    def __init__(self, temporary):
        self._temporary = temporary
        self.cycle = 0.02
        self.lifetime = 0.002

    def watch(self, seconds=1.0):
        lives, starts = [], []
        seen = None
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            now = time.monotonic()
            present = os.path.exists(self._temporary)
            if present and seen is None:
                seen = now
                starts.append(now)
            elif not present and seen is not None:
                lives.append(now - seen)
                seen = None
            time.sleep(0.0002)
        if len(starts) > 2:
            self.cycle = (starts[-1] - starts[0]) / (len(starts) - 1)
        if lives:
            self.lifetime = sorted(lives)[len(lives) // 2]

    def kill_plan(self, rng):
        """(delay, after_temporary): a quarter of the kills fall at random
        over two saves, the rest early in a temporary file's life once one
        has appeared (the signal takes a while to land)."""
        if rng.random() < 0.25:
            return rng.uniform(0, 2 * min(self.cycle, 0.5)), False
        return rng.uniform(0, min(self.lifetime, 0.5) / 2), True


def start_host(port, home, log):
    env = hostproc.host_env(home)
    return subprocess.Popen(
        [hostproc.HOST, "--host", "127.0.0.1", "--port", str(port),
         "--source", "synthetic", "--log", log],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def first_save(store, temporary, timeout=30):
    """Waits until the host's first save of this run has begun (its
    temporary file appeared, or the store file was replaced); returns when."""
    before = os.stat(store).st_ino
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(temporary) or os.stat(store).st_ino != before:
            return time.monotonic()
        time.sleep(0.0005)
    raise AssertionError("the host did not start saving within %d s" % timeout)


def next_temporary(temporary, timeout=5):
    """Waits for a temporary file to exist, so that a kill can aim at a save
    being written: each save re-reads the store first, and its temporary
    file lives only a small part of the save."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(temporary) and time.monotonic() < deadline:
        time.sleep(0.0001)


def token_in(found):
    """The loop device's token in a store file, or None when the file is not
    a store at all."""
    try:
        return json.loads(found)["receivers"][pairing_loop.DEVICE]
    except (ValueError, KeyError, TypeError):
        return None


def test_a_killed_host_leaves_the_old_or_the_new_store_and_the_next_start_reads_it(tmp_path):
    print("seed %d, %d trials, %d devices" % (SEED, TRIALS, DEVICES))
    rng = random.Random(SEED)
    home = str(tmp_path / "data")
    store, _ = hostproc.store_file(home)
    temporary = store + ".tmp"
    os.makedirs(os.path.dirname(store))
    cert, key = tls_peer.make_identity(tmp_path)
    template, _, _ = pairing_loop.big_store(HOST_ID, HOST_NAME, DEVICES,
                                            pairing_loop.key_hash(cert))
    first = pairing_loop.token(0, 0)
    with open(store, "wb") as f:
        f.write(template)
    print("store file %d bytes" % len(template))

    def expected(value):
        return template.replace(first.encode(), value.encode())

    loop = pairing_loop.PairingLoop(cert, key)
    timing = SaveTiming(temporary)
    current = first
    inside = 0      # kills that left a temporary file: the save was under way
    changed = 0     # trials whose saves reached the store file
    started = time.monotonic()
    try:
        for trial in range(1, TRIALS + 2):
            log = str(tmp_path / "host.log")
            if os.path.exists(log):
                os.remove(log)
            host = start_host(loop.port, home, log)
            try:
                conversation = loop.serve(trial)
                # The next start read what the last kill left.
                assert conversation.ack["token"] == current, (trial, conversation.ack)
                assert conversation.ack["hostId"] == HOST_ID
                if trial > TRIALS:
                    break
                first_save(store, temporary)
                if trial == 1:
                    timing.watch()
                    first_save(store, temporary)
                delay, after_temporary = timing.kill_plan(rng)
                if after_temporary:
                    next_temporary(temporary)
                time.sleep(delay)
                host.send_signal(signal.SIGKILL)
                assert host.wait(30) == -signal.SIGKILL
            finally:
                if host.poll() is None:
                    host.kill()
                    host.wait()
            conversation.finish()

            if os.path.exists(temporary):
                inside += 1
                os.remove(temporary)  # so that the next trial counts only its own
            found = read_bytes(store)
            value = token_in(found)
            candidates = [current] + conversation.tokens()
            assert value in candidates and found == expected(value), (
                "trial %d: the store file is neither the old nor a new one (%d bytes: %r...)"
                % (trial, len(found), found[:80]))
            changed += value != current
            current = value
            with open(log, encoding="utf-8", errors="replace") as f:
                text = f.read()
            assert "pairing store unreadable" not in text
            assert "new host identity" not in text
    finally:
        loop.close()

    seconds = time.monotonic() - started
    print("%d of %d kills landed while %s existed; %d trials saved; a save every %.1f ms, "
          "its temporary file lives %.1f ms; %.2f s per trial" % (
              inside, TRIALS, os.path.basename(temporary), changed, timing.cycle * 1000,
              timing.lifetime * 1000, seconds / (TRIALS + 1)))
    # Without these the trials proved nothing about a save cut short.
    assert inside > 0
    assert changed > 0
