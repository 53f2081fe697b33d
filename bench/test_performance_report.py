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
    assert len(figures.rows) == 24
    assert all(row["ratio"] == "-" for row in figures.rows)
    assert figures.rows[-1]["command"] == "b"
