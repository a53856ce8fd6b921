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
        *gbench("BM_BaselineReader/16777216/1460", 60, **{"msgs/s": 6e6, "s/frame": 160e-9}),
        *gbench("BM_ReaderLargeFrames", 2, **{"bytes_per_second": 8e9, "s/frame": 7e-6}),
        *gbench("BM_MemcpyLargeFrames", 1.2, **{"bytes_per_second": 13e9}),
        {"name": "BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1",
         "run_name": "BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1",
         "run_type": "iteration", "repetitions": 1, "cpu_time": 131.5, "time_unit": "s",
         "s/frame": 420e-6},
    ]},
    "bench_control.json": {"benchmarks": [
        *gbench("BM_RemoveHtml/204800", 0.5, bytes_per_second=4.0e8),
        *gbench("BM_RemoveHtml/2097152", 5, bytes_per_second=4.1e8),
        *gbench("BM_RemoveHtmlBaseline/204800", 130, bytes_per_second=1.6e6),
    ]},
    "bench_console.json": driver(**{
        "console.peak_rss_signed_on_1000_buddies": 3.8, "empty_cpp_program.peak_rss": 3.1,
        "console.cpu_idle_10s": 0.0, "console.wakeups_idle_10s": 0.0}),
    "bench_window.json": driver(**{"window.start_to_shown": 110.0,
                                   "window.bare_start_to_shown": 80.0}),
    "bench_server.json": driver(**{
        "server.kib_per_session_1000_clients": 1.8, "server.room_100_fanout": 0.45,
        "server.ims_per_second_1000_clients": 3.0e5, "server.room_100_fanout_p99_1000_clients": 0.5,
        "server.im_under_attack_p99_1000_clients": 5.0,
        "server.idle_wakeups_1000_sessions": 0.0, "server.idle_cpu_1000_sessions": 0.0,
        "server.scrape_cpu_1000_sessions": 0.3}),
    "bench_server_crowd.json": driver(**{"server.kib_per_session_10000_clients": 1.7}),
    "bench_echo.json": driver(**{"echo.room_100_fanout": 0.3,
                                 "echo.ims_per_second_1000_clients": 4.0e5}),
    "bench_store.json": driver(**{
        "store.burst_10000_seconds": 0.13, "store.plain_10000_seconds": 0.05,
        "store.burst_longest_wait": 13.0, "store.plain_longest_wait": 3.0,
        "store.start_10000x200": 410.0, "store.start_empty": 50.0,
        "store.registered_sign_ons_per_second": 240.0,
        "store.password_checks_per_second": 250.0,
        "store.backup_longest_wait": 12.0, "store.live_add_to_sign_on_longest": 11.0}),
}


def run(files, *args):
    """Runs the summary on `files` (or `args` then the folder); its output."""
    with tempfile.TemporaryDirectory() as folder:
        for name, content in files.items():
            path = pathlib.Path(folder, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(json.dumps(content))
        out = io.StringIO()
        sys.argv[1:] = [*args, folder] if not args else [args[0], folder, *args[1:]]
        with contextlib.redirect_stdout(out):
            summary.main()
    return out.getvalue()


def table(files):
    """{figure: (measured, ratio, verdict)} of the main table."""
    rows = {}
    for line in run(files).splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 6 and cells[0] not in ("Figure", "---"):
            rows[cells[0]] = (cells[2], cells[4], cells[5])
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
        verdicts = {k: v for k, (_, _, v) in rows.items() if v}
        self.assertEqual(set(verdicts.values()), {"met"})
        self.assertEqual(len(verdicts), 19)
        # The 1-byte arrivals are shown but have no target.
        self.assertEqual(rows["Receive path, 1-byte arrivals: messages dispatched"][2], "")

    def test_each_miss_is_called_one(self):
        # Each changes a figure or its reference just past the ratio allowed.
        cases = [
            ("bench_receive.json", "BM_BaselineReader/16777216/1460", {"msgs/s": 6.7e6},
             "Receive path, 1460-byte arrivals: messages dispatched"),
            ("bench_receive.json", "BM_MemcpyLargeFrames", {"bytes_per_second": 16.1e9},
             "Receive path, 64 KiB frames"),
            ("bench_receive.json", "BM_Reader/0", {"s/frame": 133e-9},
             "Receive path, one 16 MiB arrival: cost per message"),
            # Slower on the long text: too slow, and no longer linear.
            ("bench_control.json", "BM_RemoveHtml/2097152", {"bytes_per_second": 1.5e8},
             ["RemoveHtml, 2 MB with 200,000 tags", "RemoveHtml, cost per byte: 2 MB ÷ 200 KB"]),
            ("bench_console.json", "console.peak_rss_signed_on_1000_buddies", {"median": 5.0},
             "Console, peak resident signed on (1,000 buddies)"),
            ("bench_console.json", "console.wakeups_idle_10s", {"median": 1.0},
             "Console, CPU over 10 idle seconds signed on"),
            ("bench_window.json", "window.bare_start_to_shown", {"median": 54.0},
             "Window, start to shown (offscreen)"),
            ("bench_server_crowd.json", "server.kib_per_session_10000_clients", {"median": 2.8},
             "Server, memory per session with 10,000 signed on"),
            ("bench_echo.json", "echo.room_100_fanout", {"median": 0.2},
             "Server, one line to a 100-member room, until all have it"),
            ("bench_echo.json", "echo.ims_per_second_1000_clients", {"median": 6.1e5},
             "Server, instant messages relayed (1,000 clients)"),
            ("bench_server.json", "server.im_under_attack_p99_1000_clients", {"median": 10.5},
             "Server, an instant message while one client floods its costliest commands "
             "(1,000 clients)"),
            ("bench_store.json", "store.plain_10000_seconds", {"median": 0.02},
             "Server database, 10,000 buddies added and removed by one client, all acknowledged"),
            ("bench_store.json", "store.password_checks_per_second", {"median": 500.0},
             "Server database, registered sign-ons while a guesser tries another name"),
            # One wake-up is one too many, however fast the machine.
            ("bench_server.json", "server.idle_wakeups_1000_sessions", {"median": 1.0},
             "Server, wake-ups over 10 idle seconds, metrics served, no scrape (1,000 sessions)"),
            ("bench_store.json", "store.backup_longest_wait", {"median": 30.5},
             "Server database, longest wait of an instant message during an online backup of "
             "10,000 accounts × 200 buddies"),
        ]
        for file, entry, values, figures in cases:
            figures = figures if isinstance(figures, list) else [figures]
            with self.subTest(figure=figures[0]):
                rows = table(changed(file, entry, **values))
                missed = [k for k, (_, _, v) in rows.items() if v == "MISSED"]
                self.assertEqual(missed, figures)

    def test_ratios_compare_like_units(self):
        rows = table(GOOD)
        # 131.5 s against the median 27 ms, not the mean.
        once = rows["Receive path, one 16 MiB arrival: speed-up over the naive reader"]
        self.assertEqual(once[1], "4,870×")
        self.assertEqual(rows["Receive path, one 16 MiB arrival: cost per message"][1], "0.75×")
        self.assertEqual(rows["RemoveHtml, cost per byte: 2 MB ÷ 200 KB"][1], "0.98×")

    def test_runs_in_several_files_count_by_their_median(self):
        files = dict(GOOD)
        files["bench_echo.2.json"] = driver(**{"echo.ims_per_second_1000_clients": 5.0e5})
        files["bench_echo.3.json"] = driver(**{"echo.ims_per_second_1000_clients": 9.0e5})
        rows = table(files)
        self.assertEqual(rows["Server, instant messages relayed (1,000 clients)"][1], "0.60×")

    def test_missing_results_leave_rows_out(self):
        rows = table({"bench_window.json": GOOD["bench_window.json"]})
        self.assertEqual(list(rows), ["Window, start to shown (offscreen)"])


class Peers(unittest.TestCase):
    def test_each_peer_beside_ours_with_who_is_ahead(self):
        files = dict(GOOD)
        files["bench_inspircd.json"] = driver(**{
            "inspircd.ims_per_second_1000_clients": 1.5e5, "inspircd.room_100_fanout": 0.9})
        out = run(files)
        self.assertIn("| Messages relayed, 1,000 clients | 300 k/s | 150 k/s | 2.00× | ahead |", out)
        self.assertIn("| One line to 100 members | 0.45 ms | 0.9 ms | 2.00× | ahead |", out)
        self.assertNotIn("ircd-hybrid", out)
        self.assertNotIn("Memory per session", out)  # no peer to set it beside
        files["bench_inspircd.json"]["figures"][0]["median"] = 6e5
        self.assertIn("| 600 k/s | 0.50× | BEHIND |", run(files))


class Compare(unittest.TestCase):
    def test_each_label_beside_the_first_with_the_ratio(self):
        def rounds(cpu_ms):
            return {"benchmarks": [{"name": "BM_X", "run_name": "BM_X", "run_type": "iteration",
                                    "repetitions": 1, "cpu_time": cpu_ms, "time_unit": "ms"}]}
        # Medians 2 and 6, but each round's ratio: 1/4, 3/6, 2/16.
        files = {f"{label}/bench_receive.{n}.json": rounds(ms)
                 for label, values in (("new", (1, 3, 2)), ("old", (4, 6, 16)))
                 for n, ms in enumerate(values, 1)}
        files["new/bench_server.1.json"] = driver(**{"server.x": 10.0})
        files["old/bench_server.1.json"] = driver(**{"server.x": 5.0})
        out = run(files, "--compare", "new", "old")
        self.assertIn("| BM_X | 2.00 ms | 6.00 ms | 0.25 |", out)
        self.assertIn("| server.x | 10.00 | 5.00 | 2.00 |", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
