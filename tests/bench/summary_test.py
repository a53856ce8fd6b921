"""The summary's arithmetic and verdicts, on made-up results.

    summary_test.py <folder of summary.py>
"""

import contextlib
import io
import json
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, sys.argv.pop(1) if len(sys.argv) > 1 else "bench")
import summary  # noqa: E402


def gbench(name, cpu_ms, **counters):
    """A median entry as Google Benchmark writes it, plus a mean to ignore."""
    median = {"name": name + "_median", "run_name": name, "run_type": "aggregate",
              "aggregate_name": "median", "cpu_time": cpu_ms, "real_time": cpu_ms * 2,
              "time_unit": "ms", **counters}
    mean = dict(median, name=name + "_mean", aggregate_name="mean", cpu_time=cpu_ms * 100)
    return [mean, median]


def driver(**figures):
    return {"figures": [{"name": k, "median": v} for k, v in figures.items()]}


GOOD = {
    "bench_receive.json": {"benchmarks": [
        *gbench("BM_Reader/1460", 40, **{"msgs/s": 8e6, "s/frame": 120e-9, "bytes_per_second": 4e8}),
        *gbench("BM_Reader/0", 27, **{"msgs/s": 11e6, "s/frame": 90e-9, "bytes_per_second": 6e8}),
        *gbench("BM_Reader/1", 155, **{"msgs/s": 1.9e6, "s/frame": 500e-9}),
        *gbench("BM_ReaderLargeFrames", 2, **{"bytes_per_second": 8e9, "s/frame": 7e-6}),
        {"name": "BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1",
         "run_name": "BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1",
         "run_type": "iteration", "cpu_time": 131.5, "time_unit": "s", "s/frame": 420e-6},
    ]},
    "bench_control.json": {"benchmarks": [
        *gbench("BM_RemoveHtml/204800", 0.5, bytes_per_second=4.0e8),
        *gbench("BM_RemoveHtml/2097152", 5, bytes_per_second=4.1e8),
    ]},
    "bench_console.json": driver(**{
        "console.peak_rss_signed_on_1000_buddies": 3.8, "empty_cpp_program.peak_rss": 3.1,
        "console.cpu_idle_10s": 0.0, "console.wakeups_idle_10s": 0.0}),
    "bench_window.json": driver(**{"window.start_to_shown": 110.0}),
    "bench_server.json": driver(**{
        "server.rss_1000_sessions": 5.2, "server.room_100_fanout": 0.45,
        "server.room_100_fanout_p99": 1.5, "server.ims_per_second_1000_clients": 3.0e5}),
}


def table(files):
    """Runs the summary on `files`; returns {figure: (measured, verdict)}."""
    with tempfile.TemporaryDirectory() as folder:
        for name, content in files.items():
            pathlib.Path(folder, name).write_text(json.dumps(content))
        out = io.StringIO()
        sys.argv[1:] = [folder]
        with contextlib.redirect_stdout(out):
            summary.main()
    rows = {}
    for line in out.getvalue().splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 5 and cells[0] not in ("Figure", "---"):
            rows[cells[0]] = (cells[2], cells[4])
    return rows


def changed(file, entry, **values):
    """GOOD with the fields of one entry (benchmark run name or figure) changed."""
    files = json.loads(json.dumps(GOOD))
    for b in files[file].get("benchmarks", []):
        if b["run_name"] == entry and b.get("aggregate_name") != "mean":
            b.update(values)
    for f in files[file].get("figures", []):
        if f["name"] == entry:
            f.update(values)
    return files


class Verdicts(unittest.TestCase):
    def test_every_target_met(self):
        rows = table(GOOD)
        verdicts = {k: v for k, (_, v) in rows.items() if v}
        self.assertEqual(set(verdicts.values()), {"met"})
        self.assertEqual(len(verdicts), 13)
        # The 1-byte arrivals are shown but have no target.
        self.assertEqual(rows["Receive path, 1-byte arrivals: messages dispatched"][1], "")

    def test_each_miss_is_called_one(self):
        cases = [
            ("bench_receive.json", "BM_Reader/1460", {"msgs/s": 1.99e6},
             "Receive path, 1460-byte arrivals: messages dispatched"),
            ("bench_receive.json", "BM_ReaderLargeFrames", {"bytes_per_second": 1.9e9},
             "Receive path, 64 KiB frames"),
            ("bench_receive.json", "BM_Reader/0", {"s/frame": 181e-9},
             "Receive path, cost per frame: one 16 MiB arrival ÷ 1460-byte arrivals"),
            # Slower on the long text: too slow, and no longer linear.
            ("bench_control.json", "BM_RemoveHtml/2097152", {"bytes_per_second": 1.9e8},
             ["RemoveHtml, 2 MB with 200,000 tags", "RemoveHtml, cost per byte: 2 MB ÷ 200 KB"]),
            ("bench_console.json", "console.peak_rss_signed_on_1000_buddies", {"median": 5.1},
             "Console, peak resident signed on (1,000 buddies)"),
            ("bench_console.json", "console.wakeups_idle_10s", {"median": 1.0},
             "Console, CPU over 10 idle seconds signed on"),
            ("bench_window.json", "window.start_to_shown", {"median": 251.0},
             "Window, start to shown (offscreen)"),
            ("bench_server.json", "server.rss_1000_sessions", {"median": 64.0},
             "Server, resident with 1,000 sessions signed on"),
            ("bench_server.json", "server.room_100_fanout_p99", {"median": 2.5},
             "Server, one line to a 100-member room, until all have it"),
            ("bench_server.json", "server.ims_per_second_1000_clients", {"median": 2.4e5},
             "Server, instant messages relayed (1,000 clients)"),
        ]
        for file, entry, values, figures in cases:
            figures = figures if isinstance(figures, list) else [figures]
            with self.subTest(figure=figures[0]):
                rows = table(changed(file, entry, **values))
                missed = [k for k, (_, v) in rows.items() if v == "MISSED"]
                self.assertEqual(missed, figures)

    def test_speedup_compares_cpu_times_across_units(self):
        rows = table(GOOD)
        # 131.5 s against the median 27 ms, not the mean.
        measured = rows["Receive path, one 16 MiB arrival: speed-up over the naive reader"][0]
        self.assertTrue(measured.startswith("4,870×"), measured)

    def test_linearity_is_a_ratio_of_costs_per_unit(self):
        rows = table(GOOD)
        self.assertTrue(rows["Receive path, cost per frame: one 16 MiB arrival ÷ 1460-byte arrivals"][0]
                        .startswith("0.75 "))
        self.assertEqual(rows["RemoveHtml, cost per byte: 2 MB ÷ 200 KB"][0], "0.98")

    def test_missing_results_leave_rows_out(self):
        rows = table({"bench_window.json": GOOD["bench_window.json"]})
        self.assertEqual(list(rows), ["Window, start to shown (offscreen)"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
