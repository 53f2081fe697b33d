"""Judging a soak run and printing runs side by side as one table."""


def _mb(kb):
    return kb / 1024.0


def verdict(r):
    """The reasons the run failed; empty when it passed."""
    f = r["figures"]
    out = list(r.get("notes", []))
    if f["reconnections"] < f["drops"]:
        out.append("%d of %d reconnections lost" % (f["drops"] - f["reconnections"], f["drops"]))
    if f["unplannedCloses"]:
        t, reason = f["unplannedCloses"][0]
        out.append("%d connection(s) ended unplanned, first at %.1f s: %s"
                   % (len(f["unplannedCloses"]), t, reason))
    if r["hostExit"] != 0:
        out.append("the host exited with %s" % r["hostExit"])
    if r["sanitizerReports"]:
        out.append("%d sanitizer report(s): %s" % (r["sanitizerReports"],
                                                 ", ".join(r["reportFiles"])))
    if f["problems"]:
        out.append("%d protocol problem(s) in what the host sent, e.g. %s"
                   % (f["problems"], "; ".join(f["problemSamples"][:2])))
    if not f["frames"]:
        out.append("no video arrived")
    start, end = r["start"], r["end"]
    if not start or not end:
        out.append("no steady sample of the host's memory, descriptors and threads")
    else:
        growth = _mb(end["rssKb"] - start["rssKb"])
        if growth > r["rssGrowthBoundMb"]:
            out.append("resident memory grew %.1f MiB, more than %g MiB"
                       % (growth, r["rssGrowthBoundMb"]))
        if end["fds"] > start["fds"]:
            out.append("file descriptors grew from %d to %d" % (start["fds"], end["fds"]))
        if end["threads"] > start["threads"]:
            out.append("threads grew from %d to %d" % (start["threads"], end["threads"]))
    return out


def _rows(r):
    f, start, end = r["figures"], r["start"] or {}, r["end"] or {}

    def pair(key, fmt="%d"):
        a, b = start.get(key), end.get(key)
        if a is None or b is None:
            return "n/a"
        return (fmt + " / " + fmt) % (a, b)

    rss = "n/a"
    if start and end:
        rss = "%.1f / %.1f MiB (%+.1f, bound +%g)" % (
            _mb(start["rssKb"]), _mb(end["rssKb"]), _mb(end["rssKb"] - start["rssKb"]),
            r["rssGrowthBoundMb"])
    reports = "%d" % r["sanitizerReports"]
    if r["reportFiles"]:
        reports += " (%s)" % ", ".join(r["reportFiles"])
    failures = verdict(r)
    return [
        ("duration, seed", "%.1f min, seed %d" % (r["seconds"] / 60.0, r["seed"])),
        ("connections", "%d" % f["connections"]),
        ("reconnections succeeded / needed", "%d / %d (longest %.1f s)"
         % (f["reconnections"], f["drops"], f["longestReconnectS"])),
        ("frames sent / acknowledged", "%d / %d" % (f["frames"], f["acks"])),
        ("keyframes", "%d" % f["keyframes"]),
        ("largest gap, connected and visible", "%.0f ms" % (f["longestGapS"] * 1000)),
        ("longest wait for a first frame", "%.0f ms" % (f["longestFirstFrameS"] * 1000)),
        ("resident memory start / end", rss),
        ("file descriptors start / end", pair("fds")),
        ("threads start / end", pair("threads")),
        ("sanitizer findings", reports),
        ("protocol problems", "%d" % f["problems"]),
        ("host exit status", "%s" % r["hostExit"]),
        ("result", "PASS" if not failures else "FAIL: " + "; ".join(failures)),
    ]


def format_table(results):
    columns = [_rows(r) for r in results]
    labels = [label for label, _ in columns[0]]
    names = [r["name"] for r in results]
    width = max(len(label) for label in labels)
    cells = [[value for _, value in col] for col in columns]
    col_w = [max(len(names[i]), max(len(v) for v in cells[i][:-1])) for i in range(len(cells))]
    lines = ["%-*s  %s" % (width, "", "  ".join("%-*s" % (w, n) for w, n in zip(col_w, names)))]
    for row, label in enumerate(labels):
        lines.append("%-*s  %s" % (width, label, "  ".join(
            "%-*s" % (col_w[i], cells[i][row]) for i in range(len(cells)))))
    return "\n".join(line.rstrip() for line in lines)
