"""The pieces of docs/performance.md that do not run anything: reading the
benchmarks' figures (RESULT key=value lines, Google Benchmark's JSON), the
machine's description, and the Markdown of the document. scripts/bench runs
the benchmarks and hands their output here.
"""

import datetime
import json
import os
import platform
import subprocess

FRAME_INTERVAL_60_MS = 1000.0 / 60


def parse_results(text):
    """Every key=value of the RESULT lines in |text|, later lines winning."""
    values = {}
    for line in text.splitlines():
        if not line.startswith("RESULT "):
            continue
        for pair in line.split()[1:]:
            key, sep, value = pair.partition("=")
            if sep:
                values[key] = value
    return values


def number(values, key):
    """values[key] as a float, or None when it is missing or not a number."""
    try:
        return float(values[key])
    except (KeyError, TypeError, ValueError):
        return None


def benchmark_runs(json_text):
    """Google Benchmark's JSON output as {name: run}: the median aggregate
    where there were repetitions, the single run otherwise."""
    runs = {}
    for run in json.loads(json_text).get("benchmarks", []):
        name = run.get("run_name", run["name"])
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                runs[name] = run
        elif name not in runs:
            runs[name] = run
    return runs


def fmt(value, digits=1):
    """A figure for the table: '-' when it was not measured."""
    if value is None:
        return "-"
    return "%.*f" % (digits, value)


def spread(values, keys, unit, digits=1):
    """'p50 A / p95 B / p99 C unit' from the keys of one run."""
    parts = []
    for label, key in keys:
        parts.append("%s %s" % (label, fmt(number(values, key), digits)))
    return " / ".join(parts) + " " + unit


def ratio(ours, theirs):
    """ours / theirs as 'x.xx', or '-' when either is missing or zero."""
    if ours is None or theirs is None or theirs == 0:
        return "-"
    return "%.2f" % (ours / theirs)


def _first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "not found"
    lines = (out.stdout or out.stderr).strip().splitlines()
    return lines[0].strip() if lines else "not found"


def _cpu_model():
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def _memory_gib():
    with open("/proc/meminfo", encoding="utf-8") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) / 1024 / 1024
    return 0.0


def load_average():
    with open("/proc/loadavg", encoding="utf-8") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def machine_facts(wine):
    """(label, value) pairs describing this machine and its libraries."""
    def pkg(name):
        return _first_line(["pkg-config", "--modversion", name])

    facts = [
        ("CPU", _cpu_model()),
        ("Cores", str(os.cpu_count())),
        ("Memory", "%.1f GiB" % _memory_gib()),
        ("Kernel", "%s %s" % (platform.system(), platform.release())),
        ("Compiler", _first_line(["g++", "--version"])),
        ("OpenSSL", _first_line(["openssl", "version"])),
        ("libavcodec / libswscale / x264",
         "%s / %s / %s" % (pkg("libavcodec"), pkg("libswscale"),
                           _first_line(["dpkg-query", "-W", "-f=${Version}\n", "libx264-*"]))),
        ("ffmpeg command line", _first_line(["ffmpeg", "-version"])),
        ("Google Benchmark", pkg("benchmark")),
        ("Python", platform.python_version()),
    ]
    if wine:
        facts.append(("Wine", _first_line(["wine", "--version"])))
    return facts


def now_utc():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def _cell(text):
    return text.replace("|", "\\|")


def parse_result_lines(text):
    """Each RESULT line of |text| as its own dict of key=value, in order."""
    out = []
    for line in text.splitlines():
        if line.startswith("RESULT "):
            out.append(dict(pair.partition("=")[::2] for pair in line.split()[1:] if "=" in pair))
    return out


def _row_line(row):
    command = "`%s`" % row["command"] if row["command"] else "-"
    return "| %s | %s | %s | %s | %s | %s |" % tuple(
        _cell(text) for text in (row["group"], row["figure"], row["value"], row["compared"],
                                 row["ratio"], command))


def replace_group(document, group, rows, stamp):
    """|document| with the table rows of |group| replaced by |rows| (placed
    where the old ones were, or at the end of the table), and |stamp| as the
    paragraph that says when that group was last written."""
    lines = document.rstrip("\n").split("\n")
    prefix = "| %s |" % group
    kept, at = [], None
    for line in lines:
        if line.startswith(prefix):
            at = len(kept) if at is None else at
            continue
        kept.append(line)
    if at is None:
        last_row = max(i for i, line in enumerate(kept) if line.startswith("| "))
        at = last_row + 1
    kept[at:at] = [_row_line(row) for row in rows]
    marker = stamp.split(" written by ")[0]
    kept = [line for line in kept if not line.startswith(marker)]
    header_end = next(i for i, line in enumerate(kept) if line.startswith("| Machine"))
    kept[header_end - 1:header_end - 1] = ["", stamp]
    return "\n".join(kept) + "\n"


def render(header, facts, rows, notes):
    """The document: |header| lines, the machine table, one table of |rows|
    (dicts with group, figure, value, compared, ratio, command) and notes."""
    lines = list(header) + ["", "| Machine | |", "|---|---|"]
    lines += ["| %s | %s |" % (_cell(k), _cell(v)) for k, v in facts]
    lines += ["", "| Group | Figure | Value | Compared with | Ratio | Command |",
              "|---|---|---|---|---|---|"]
    for row in rows:
        lines.append(_row_line(row))
    lines.append("")
    lines += notes
    return "\n".join(lines).rstrip() + "\n"


