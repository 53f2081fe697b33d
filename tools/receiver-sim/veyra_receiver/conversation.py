"""The receiver's side of a connection's start: HELLO, the HELLO_ACK check,
pings, the moments steps count from, and asking the user to allow the host."""

import sys
import threading
import time

from . import identity, messages, wire

HELLO_ACK_TIMEOUT = 5.0


class Conversation:
    """Connection start and pairing; mixed into Receiver, runs on its loop thread
    (the answer reader thread only queues what it reads)."""

    def _connected(self, link):
        link.ready = True
        self._anchor(link, "connect")
        if link.closed:
            return
        if self.cfg.send_hello:
            self.send_json(link, wire.HELLO, messages.hello_payload(self))
            link.pairing = "hello-sent"
            self._timeline.add(time.monotonic() + HELLO_ACK_TIMEOUT, lambda: self._check_hello_ack(link),
                               owner=link)
        if self.cfg.ping_interval > 0:
            self._ping_tick(link)

    def _check_hello_ack(self, link):
        if link.pairing == "hello-sent":
            self.problem(link, "no HELLO_ACK within %g s of HELLO" % HELLO_ACK_TIMEOUT)

    def _ping_tick(self, link):
        if link.closed:
            return
        self.send(link, wire.PING, wire.encode_ping(self.next_ping_id(), self.now_us(), 0))
        self._timeline.add(time.monotonic() + self.cfg.ping_interval, lambda: self._ping_tick(link),
                           owner=link)

    def _anchor(self, link, name):
        if link is not None:
            if name in link.anchors:
                return
            link.anchors.add(name)
            self.log.write("anchor", conn=link.index, anchor=name)
        now = time.monotonic()
        for when, step in self._runner.on_anchor(name, link.index if link else None, now):
            self._timeline.add(when, lambda s=step, l=link: self._run_step(l, s),
                               order=step.order, owner=link)

    def _paired(self, link):
        link.pairing = "paired"
        self._anchor(link, "paired")
        if self.cfg.send_device_info and not link.closed:
            self.send_json(link, wire.DEVICE_INFO,
                           messages.ordered(self.device_info, messages.DEVICE_INFO_KEYS))

    def _ask(self, link, why):
        link.pairing = "prompt"
        code = self.identity.short_code if (self.identity and link.ssl) else None
        self.say(1, "pairing: \"%s\" asks to use this device as a display (%s)" % (link.host_name, why))
        if code:
            self.say(1, "         the host should show the code %s" % code)
        self.log.write("prompt", conn=link.index, hostId=link.host_id, hostName=link.host_name,
                       why=why, approve=self.cfg.approve)
        mode = self.cfg.approve
        if mode == "yes":
            self._decide(link, True)
        elif mode == "no":
            self._decide(link, False)
        elif mode == "after":
            self.say(1, "         allowing it in %g s" % self.cfg.approve_after)
            self._timeline.add(time.monotonic() + self.cfg.approve_after,
                               lambda: self._decide(link, True), owner=link)
        elif mode == "ask":
            self._asking = link
            self._start_stdin()
            try:
                print("Allow \"%s\" to use this device as a display? [y/n] " % link.host_name,
                      end="", file=self.out, flush=True)
            except (OSError, ValueError):
                pass
        else:
            self.say(1, "         leaving the prompt unanswered (--approve never)")

    def _start_stdin(self):
        if self._stdin_thread:
            return

        def reader():
            while True:
                try:
                    line = sys.stdin.readline()
                except (OSError, ValueError):
                    line = ""
                self._answers.put(line if line else None)
                try:
                    self._wake_w.send(b"a")
                except OSError:
                    return
                if not line:
                    return

        self._stdin_thread = threading.Thread(target=reader, name="stdin", daemon=True)
        self._stdin_thread.start()

    def _on_answer(self, line):
        link = self._asking
        if link is None or link.closed:
            return
        if line is None:
            self.say(1, "no answer (standard input closed); denying")
            self._decide(link, False)
            return
        answer = line.strip().lower()
        if answer in ("y", "yes", "allow"):
            self._decide(link, True)
        elif answer in ("n", "no", "deny"):
            self._decide(link, False)
        else:
            print("Please answer y or n: ", end="", file=self.out, flush=True)

    def _decide(self, link, allow):
        if link.closed or link.pairing != "prompt":
            return
        self._asking = None
        if allow:
            token = identity.new_token()
            self.pairings.remember(link.host_id, token, link.host_name)
            self.stats.pairing.append("allowed %s" % link.host_id)
            self.log.write("pairing", conn=link.index, decision="allow", hostId=link.host_id)
            self.say(1, "pairing: allowed; sending PAIR_ACCEPTED with a new token")
            self.send_json(link, wire.PAIR_ACCEPTED, {"token": token})
            self._paired(link)
        else:
            link.pairing = "denied"
            self.stats.pairing.append("denied %s" % link.host_id)
            self.log.write("pairing", conn=link.index, decision="deny", hostId=link.host_id)
            self.say(1, "pairing: denied; sending ERROR PERMISSION_DENIED and closing")
            self.send_json(link, wire.ERROR, {"code": "PERMISSION_DENIED",
                                              "message": self.cfg.deny_message})
            self._close(link, "the user did not allow the host", flush=True)
