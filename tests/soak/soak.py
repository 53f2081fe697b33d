#!/usr/bin/python3
"""A long run of the native host under a sanitizer against the simulated
receiver, which drops the connection every 20 s and comes back 0 to 6 s
later, while it asks for keyframes, hides and shows the picture, changes the
bit rate and touches the screen.

    soak.py --host build/asan/host/veyra-host --sanitizer address --seconds 600
    soak.py --table asan.json tsan.json     # one table for several runs

Prints the run's figures and writes them as JSON (--result); exits 1 on a
lost reconnection, a connection nobody planned to end, a sanitizer report,
a crash or an unclean exit, descriptors or threads left over, or resident
memory that grew beyond the bound."""

import argparse
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
ANSWER_QUESTION = os.path.join(ROOT, "scripts", "answer-question")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools", "receiver-sim"))

from soak_figures import Figures, LogFollower  # noqa: E402
from soak_plan import Plan  # noqa: E402
from soak_table import format_table, verdict  # noqa: E402
import soak_watch  # noqa: E402
from veyra_receiver import cli  # noqa: E402
from veyra_receiver.receiver import Receiver  # noqa: E402

DEFAULT_SEED = 18
SETTLE_S = 8.0          # a sample counts once a connection has streamed this long
STOP_WAIT_S = 90.0      # LSan's leak check at exit takes a while under load
# A small quarantine fills within the warm-up, so that later growth is the
# host's own and not ASan holding freed blocks back.
ASAN_QUARANTINE_MB = 16
# Resident memory may grow this much from the first steady sample after a
# reconnection to the last. Under ASan the host levels off within a minute
# (10 minutes measured: 138 to 145 MiB, flat after the first minute); TSan's
# own bookkeeping keeps growing for minutes and flattens out (311 to 334 MiB
# over 3 minutes, 1 MiB in the last minute).
RSS_GROWTH_MB = {"address": 16.0, "thread": 32.0, "none": 16.0}


def sanitizer_env(kind, report_prefix):
    env = dict(os.environ)
    if kind == "address":
        env["ASAN_OPTIONS"] = ("detect_leaks=1:log_path=%s:quarantine_size_mb=%d"
                               % (report_prefix, ASAN_QUARANTINE_MB))
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1:log_path=%s" % report_prefix
    elif kind == "thread":
        # Keep going after a race, so that one run counts them all.
        env["TSAN_OPTIONS"] = "halt_on_error=0:second_deadlock_stack=1:log_path=%s" % report_prefix
    return env


class Soak:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.workdir)
        os.makedirs(self.work, exist_ok=True)
        for name in os.listdir(self.work):
            if name.startswith(("sanitizer.", "host.log", "receiver.jsonl")):
                os.remove(os.path.join(self.work, name))
        self.report_prefix = os.path.join(self.work, "sanitizer")
        self.plan = Plan(args.seconds, args.seed)
        self.figures = Figures()
        self.samples = []
        self.notes = []

    def start_receiver(self):
        words = ["--state", os.path.join(self.work, "receiver"), "--port", "0",
                 "--bind", "127.0.0.1", "-q", "--log", os.path.join(self.work, "receiver.jsonl")]
        self.receiver = Receiver(cli.parse_config(words + self.plan.simulator_words()),
                                 out=io.StringIO())
        self.receiver_thread = threading.Thread(target=self.receiver.run, name="receiver",
                                                daemon=True)
        self.receiver_thread.start()
        if not self.receiver.ready.wait(60) or not self.receiver.port:
            raise RuntimeError("the simulator did not start: " + self.receiver.out.getvalue())
        self.follower = LogFollower(os.path.join(self.work, "receiver.jsonl"))

    def start_host(self):
        env = sanitizer_env(self.args.sanitizer, self.report_prefix)
        # Pairings of its own, from nothing: the user's are never touched.
        data = os.path.join(self.work, "data")
        shutil.rmtree(data, ignore_errors=True)
        os.makedirs(data)
        env["XDG_DATA_HOME"] = data
        if self.args.source != "dd":
            # The receiver's random touches would land on whatever X display
            # the soak was started from.
            env.pop("DISPLAY", None)
        log = os.path.join(self.work, "host.log")
        # This PC's user allows the new receiver once, after reading the
        # question; after that it is paired and every reconnection streams
        # without asking.
        answerer = subprocess.Popen([sys.executable, ANSWER_QUESTION, log, "y"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        with open(os.path.join(self.work, "host.stderr"), "wb") as stderr:
            self.host = subprocess.Popen(
                [self.args.host, "--host", "127.0.0.1", "--port", str(self.receiver.port),
                 "--source", self.args.source, "--name", "Veyra Soak PC", "--log", log],
                stdin=answerer.stdout, stdout=subprocess.DEVNULL, stderr=stderr, env=env)
        answerer.stdout.close()

    def now(self):
        return time.monotonic() - self.receiver.t0

    def tick(self):
        for event in self.follower.new_events():
            self.figures.feed(event)
        s = soak_watch.sample(self.host.pid, self.now())
        if s is not None and self.host.poll() is None:
            self.samples.append(s)

    def run(self):
        self.start_receiver()
        self.start_host()
        end = time.monotonic() + self.args.seconds
        while time.monotonic() < end and self.host.poll() is None:
            self.tick()
            time.sleep(1.0)
        # Stop while connected, so that every drop so far had its chance.
        deadline = time.monotonic() + 15.0
        while (self.host.poll() is None and not self.figures.connected
               and time.monotonic() < deadline):
            self.tick()
            time.sleep(0.2)
        self.tick()
        early_exit = self.host.poll()
        self.figures.stop_t = self.now()
        exit_code = self.stop_host() if early_exit is None else early_exit
        self.receiver.request_stop("soak finished")
        self.receiver_thread.join(60)
        for event in self.follower.new_events():
            self.figures.feed(event)
        self.follower.close()
        return self.result(exit_code, early_exit is not None)

    def stop_host(self):
        self.host.send_signal(signal.SIGINT)
        try:
            return self.host.wait(STOP_WAIT_S)
        except subprocess.TimeoutExpired:
            self.notes.append("the host did not stop within %g s of SIGINT" % STOP_WAIT_S)
            self.host.kill()
            self.host.wait()
            return "killed"

    def result(self, exit_code, early_exit):
        steady = soak_watch.steady_samples(self.samples, self.figures.spans, SETTLE_S)
        after_reconnect = [s for s in steady if self.figures.spans
                           and len(self.figures.spans) > 1 and s.t >= self.figures.spans[1][0]]
        first = (after_reconnect or steady or [None])[0]
        last = steady[-1] if steady else None
        reports, files = soak_watch.sanitizer_reports(self.report_prefix)
        if early_exit:
            self.notes.append("the host ended by itself (exit %s) before the soak was over"
                              % exit_code)
        return {
            "name": self.args.name, "sanitizer": self.args.sanitizer,
            "seconds": self.args.seconds, "seed": self.args.seed,
            "workdir": self.work, "hostExit": exit_code,
            "figures": self.figures.as_dict(),
            "start": first.as_dict() if first else None,
            "end": last.as_dict() if last else None,
            "rssGrowthBoundMb": self.args.rss_growth_mb,
            "sanitizerReports": reports, "reportFiles": files,
            "notes": self.notes,
            # [t, rssKb, fds, threads] once a second, for a closer look at growth.
            "samples": [[round(x.t, 1), x.rss_kb, x.fds, x.threads] for x in self.samples],
        }


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--host", help="the veyra-host program to soak")
    p.add_argument("--sanitizer", choices=("address", "thread", "none"), default="none")
    p.add_argument("--seconds", type=float, default=600.0)
    p.add_argument("--source", choices=("synthetic", "dd"), default="synthetic",
                   help="what the host mirrors; dd is the X display DISPLAY names")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED)
    p.add_argument("--workdir", default="soak")
    p.add_argument("--name", default=None, help="the run's name in the table")
    p.add_argument("--rss-growth-mb", type=float,
                   help="how much resident memory may grow from start to end "
                        "(default 16 under ASan, 32 under TSan)")
    p.add_argument("--result", help="write the figures as JSON here")
    p.add_argument("--table", nargs="+", metavar="RESULT", help="print results as one table")
    args = p.parse_args(argv)
    if args.table:
        results = []
        for path in args.table:
            with open(path, encoding="utf-8") as f:
                results.append(json.load(f))
        print(format_table(results))
        return 0 if all(not verdict(r) for r in results) else 1
    if not args.host:
        p.error("--host is required")
    args.name = args.name or args.sanitizer
    if args.rss_growth_mb is None:
        args.rss_growth_mb = RSS_GROWTH_MB[args.sanitizer]
    print("soak: %s for %g s, seed %d (--seed to change), in %s"
          % (args.name, args.seconds, args.seed, os.path.abspath(args.workdir)), flush=True)
    result = Soak(args).run()
    if args.result:
        with open(args.result, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)
    print(format_table([result]))
    return 1 if verdict(result) else 0


if __name__ == "__main__":
    sys.exit(main())
