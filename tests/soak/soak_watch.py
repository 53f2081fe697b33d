"""What the soak watches in the host process from outside: resident memory,
open file descriptors and threads from /proc, and the sanitizer reports the
process leaves behind."""

import glob
import os
import re

# One report each: ASan/LSan errors, UBSan's runtime errors, TSan warnings.
REPORT_START = re.compile(r"^(==\d+==ERROR: (Address|Leak)Sanitizer|.*: runtime error: "
                          r"|WARNING: ThreadSanitizer)", re.M)


class Sample:
    __slots__ = ("t", "rss_kb", "fds", "threads")

    def __init__(self, t, rss_kb, fds, threads):
        self.t = t
        self.rss_kb = rss_kb
        self.fds = fds
        self.threads = threads

    def as_dict(self):
        return {"t": round(self.t, 3), "rssKb": self.rss_kb, "fds": self.fds,
                "threads": self.threads}


def sample(pid, t):
    """The process's figures now, or None once it has gone."""
    try:
        with open("/proc/%d/status" % pid, encoding="ascii", errors="replace") as f:
            status = f.read()
        fds = len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    try:
        rss_kb = int(fields["VmRSS"].split()[0])
        threads = int(fields["Threads"])
    except (KeyError, ValueError, IndexError):
        return None
    return Sample(t, rss_kb, fds, threads)


def steady_samples(samples, connections, settle_s):
    """The samples taken while a connection had been streaming for at least
    |settle_s|: its pipeline built, the encoder warmed up, no teardown under
    way. |connections| holds (accepted, closed or None) times."""
    out = []
    for s in samples:
        for accepted, closed in connections:
            if s.t >= accepted + settle_s and (closed is None or s.t < closed - 0.5):
                out.append(s)
                break
    return out


def sanitizer_reports(prefix):
    """(number of reports, files holding them) written under |prefix|.PID."""
    count, files = 0, []
    for path in sorted(glob.glob(prefix + ".*")):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                n = len(REPORT_START.findall(f.read()))
        except OSError:
            continue
        if n or os.path.getsize(path):
            count += max(n, 1)
            files.append(path)
    return count, files
