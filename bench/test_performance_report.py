"""The parts of scripts/bench that turn benchmark output into the table."""

import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import performance_report as report  # noqa: E402
from performance_figures import Figures  # noqa: E402


def test_results_are_read_from_result_lines_only_and_later_lines_win():
    text = "fps=1\nRESULT a=1 b=x junk\nnoise RESULT c=3\nRESULT a=2\n"
    values = report.parse_results(text)
    assert values == {"a": "2", "b": "x"}
    assert report.number(values, "a") == 2.0
    assert report.number(values, "b") is None and report.number(values, "c") is None


def test_benchmark_runs_take_the_median_aggregate_over_repetitions():
    runs = [{"name": "BM_X", "run_name": "BM_X", "run_type": "aggregate",
             "aggregate_name": name, "real_time": value}
            for name, value in (("mean", 5.0), ("median", 4.0), ("stddev", 1.0))]
    runs.append({"name": "BM_Y", "run_name": "BM_Y", "run_type": "iteration", "real_time": 7})
    parsed = report.benchmark_runs(json.dumps({"benchmarks": runs}))
    assert parsed["BM_X"]["real_time"] == 4.0
    assert parsed["BM_Y"]["real_time"] == 7


def test_ratio_and_figures_show_a_dash_for_what_was_not_measured():
    assert report.ratio(3.0, 2.0) == "1.50"
    assert report.ratio(None, 2.0) == report.ratio(3.0, 0) == "-"
    assert report.spread({"x_p50_us": "5"}, [("p50", "x_p50_us"), ("p99", "x_p99_us")],
                         "us", 0) == "p50 5 / p99 - us"


def test_render_escapes_pipes_inside_cells():
    row = dict(group="g", figure="f", value="v", compared="c", ratio="1.00",
               command="bench --filter='A|B'")
    text = report.render(["# T"], [("CPU", "x")], [row], ["note"])
    assert "`bench --filter='A\\|B'`" in text
    assert text.endswith("note\n")


def test_figures_with_every_benchmark_missing_still_give_one_row_each():
    figures = Figures()
    figures.media("m", {})
    figures.wire("w", {})
    figures.connection("n", {})
    cipher = figures.tls("t", {})
    figures.openssl_speed("s", cipher, "")
    figures.probe("p", {}, wine=False)
    figures.probe(None, {}, wine=True)
    figures.simulator("r", "", True)
    figures.simulator("r --no-tls", "", False)
    figures.session("b", {})
    assert cipher == "aes-256-gcm"
    assert len(figures.rows) == 27
    assert all(row["ratio"] == "-" for row in figures.rows)
    assert figures.rows[-1]["command"] == "b"


def _row(figures, start):
    return next(row for row in figures.rows if row["figure"].startswith(start))


def test_figures_compare_each_value_with_its_own_baseline():
    figures = Figures()
    figures.media("m", report.parse_results(
        "RESULT convert_p50_us=8000 convert_p95_us=9000 convert_p99_us=9500 swscale_p50_us=4000 "
        "convert_cpu_ms=6 swscale_cpu_ms=3 encode_cpu_ms=5 ffmpeg_encode_cpu_ms=10"))
    assert _row(figures, "conversion to")["value"] == "p50 8.00 / p95 9.00 / p99 9.50 ms"
    assert _row(figures, "conversion to")["ratio"] == "2.00"
    assert _row(figures, "H.264 encode, CPU")["ratio"] == "0.50"
    full = "BM_ControlBehindFullVideoQueue/%d/iterations:2000/real_time"
    figures.connection("n", {
        "BM_VideoAtFullSpeed/min_time:2.000/real_time": {"recv_MB_per_s": 100, "dropped_pct": 9},
        "BM_BareSocketAtFullSpeed/min_time:2.000/real_time": {"recv_MB_per_s": 400},
        full % 1: {"p50_us": 30, "p95_us": 40, "p99_us": 50}, full % 0: {"p50_us": 10}})
    assert _row(figures, "40 KB video at full speed, plaintext")["ratio"] == "0.25"
    assert _row(figures, "control frame")["value"] == "p50 30 / p95 40 / p99 50 us"
    assert _row(figures, "control frame")["ratio"] == "3.00"
    figures.openssl_speed("s", "aes-256-gcm", "+H:16384\n+F:25:AES-256-GCM:1000000000.0\n")
    # 8 Mbit/s at 50 fps: 20 KB frames, 20 us to encrypt at 1000 MB/s.
    figures.session("b", {"overhead": {"overhead_fps": "50", "overhead_mbps": "8",
                                       "overhead_p50_us": "100", "cpu_send_p50_us": "40"}})
    assert "20.0 KB): 20.0 us" in _row(figures, "host cost per frame")["compared"]
    assert _row(figures, "host cost per frame")["ratio"] == "5.00"
    assert _row(figures, "send thread CPU")["ratio"] == "2.00"


def test_only_the_link_rows_are_replaced_and_after_is_compared_with_before():
    lines = ["RESULT run=%s phase=0 link_mbps=20 p50_ms=%s p95_ms=%s p99_ms=1 max_ms=1 peak_ms=1 "
             "recover_s=0 goodput_mbps=1 goodput_pct=99 fps=60 keyframes=1 broken=0" % (run, v, v)
             for run, v in (("before", 40), ("after", 20))]
    figures = Figures()
    figures.link("bench-link", report.parse_result_lines("\n".join(lines) + "\nnoise\n"))
    assert [r["figure"][-6:] for r in figures.rows] == ["before", " after"]
    assert figures.rows[1]["compared"] == "before: p95 40 ms" and figures.rows[1]["ratio"] == "0.50"
    old = report.render(["# Performance", "", "Written by scripts/bench."], [("CPU", "x")],
                        [dict(group=g, figure=g, value="1", compared="-", ratio="-", command="c")
                         for g in ("session", "link", "link")], ["notes"])
    new = report.replace_group(old, "link", figures.rows, "The link rows were written by now.")
    assert new.count("| link |") == 2 and new.count("| session |") == 1
    assert new.index("| session |") < new.index("| link | capture")
    assert new.count("The link rows were written by") == 1
    again = report.replace_group(new, "link", figures.rows, "The link rows were written by later.")
    assert "written by now" not in again and again.count("| link |") == 2
