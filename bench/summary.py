#!/usr/bin/env python3
"""Reads what bench/run measured (build/bench/results/*.json) and prints the
table of figures against their targets, as docs/performance.md holds it.

Every target is a ratio to a reference measured in the same run (a memcpy of
the same bytes, the naive reader, an empty program, a bare Qt window, the
echo relay), so a verdict holds on a slower or busier machine; the absolute
figures are there for reading. A second table sets reposa-server beside the
IRC daemons measured with the same driver.

    bench/summary.py build/bench/results
    bench/summary.py --compare DIR LABEL...   figures of DIR/LABEL/*.json side by side
"""

import json
import pathlib
import shutil
import statistics
import sys
import tempfile

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
PEERS = [("inspircd", "InspIRCd 3"), ("hybrid", "ircd-hybrid 8")]


def median_entry(entries):
    """One benchmark entry whose numbers are the medians of `entries`."""
    merged = dict(entries[0])
    for key, value in entries[0].items():
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            merged[key] = statistics.median(e[key] for e in entries if key in e)
    return merged


def load(results):
    """Google Benchmark medians by run name, and driver figures by name.
    A benchmark or figure found in several files (runs taken in turns with
    other programs) counts by the median of them all."""
    runs, samples, every = {}, {}, {}
    for path in sorted(pathlib.Path(results).glob("*.json")):
        data = json.loads(path.read_text())
        for b in data.get("benchmarks", []):
            name = b.get("run_name", b["name"])
            if b.get("aggregate_name") == "median" or (
                b.get("run_type", "iteration") == "iteration" and b.get("repetitions", 1) <= 1
            ):
                runs.setdefault(name, []).append(b)
        for f in data.get("figures", []):
            samples.setdefault(f["name"], []).append(f["median"])
            every.setdefault(f["name"], []).extend(f.get("samples", [f["median"]]))
    bench = {name: median_entry(entries) for name, entries in runs.items()}
    figures = {name: {"name": name, "median": statistics.median(v), "samples": every[name]}
               for name, v in samples.items()}
    return bench, figures


def seconds(b, key="cpu_time"):
    return b[key] * UNIT[b.get("time_unit", "ns")]


def fmt(value, unit=""):
    if value is None:
        return "not measured"
    if abs(value) >= 1e9:
        text = f"{value / 1e9:.2f} G"
    elif abs(value) >= 1e6:
        text = f"{value / 1e6:.2f} M"
    elif abs(value) >= 1e4:
        text = f"{value / 1e3:.0f} k"
    elif abs(value) >= 100:
        text = f"{value:.0f} "
    elif abs(value) >= 1:
        text = f"{value:.2f} "
    else:
        text = f"{value:.3g} "
    return (text + unit).strip()


def times(ratio):
    return f"{ratio:,.0f}×" if ratio >= 100 else f"{ratio:.2f}×"


class Table:
    """Rows of (figure, target, measured, reference, ratio, verdict)."""

    def __init__(self, bench, figures):
        self.bench, self.figures, self.rows = bench, figures, []

    def b(self, name):
        return self.bench.get(name)

    def fig(self, name):
        f = self.figures.get(name)
        return None if f is None else f["median"]

    def info(self, figure, measured, reference=""):
        self.rows.append((figure, "", measured, reference, "", ""))

    def ratio(self, figure, target, measured, reference, ratio, ok):
        """A verdict row: `ratio` (a number) against the target it must meet."""
        verdict = "met" if ok else "MISSED"
        self.rows.append((figure, target, measured, reference, times(ratio), verdict))

    def at_least(self, figure, target, value, ref, limit, measured, reference):
        if value is None or not ref:
            return
        r = value / ref
        self.ratio(figure, target, measured, reference, r, r >= limit)

    def at_most(self, figure, target, value, ref, limit, measured, reference):
        if value is None or not ref:
            return
        r = value / ref
        self.ratio(figure, target, measured, reference, r, r <= limit)

    def lines(self):
        out = [
            "| Figure | Target (same-run ratio) | Measured (median) | Reference (same run) | Ratio | |",
            "| --- | --- | --- | --- | --- | --- |",
        ]
        return out + [f"| {' | '.join(r)} |" for r in self.rows]


def receive_rows(t):
    naive = t.b("BM_BaselineReader/16777216/1460")
    r1460 = t.b("BM_Reader/1460")
    for arrival, label in [(1, "1-byte arrivals"), (7, "7-byte arrivals")]:
        r = t.b(f"BM_Reader/{arrival}")
        if r:
            t.info(f"Receive path, {label}: messages dispatched",
                   f"{fmt(r.get('msgs/s'), '/s')} (per-arrival cost dominates)")
    if r1460 and naive:
        t.at_least("Receive path, 1460-byte arrivals: messages dispatched",
                   "≥ 1.2× the naive reader's", r1460["msgs/s"], naive["msgs/s"], 1.2,
                   f"{fmt(r1460['msgs/s'], '/s')} ({fmt(r1460.get('bytes_per_second'), 'B/s')})",
                   f"naive reader: {fmt(naive['msgs/s'], '/s')}")
    for arrival, label in [(65536, "64 KiB arrivals"), (0, "one 16 MiB arrival")]:
        r = t.b(f"BM_Reader/{arrival}")
        if r and r1460:
            t.at_most(f"Receive path, {label}: cost per message",
                      "≤ 1.1× that of 1460-byte arrivals", r["s/frame"], r1460["s/frame"], 1.1,
                      f"{fmt(r['s/frame'] * 1e9, 'ns')} ({fmt(r.get('msgs/s'), 'msgs/s')})",
                      f"1460-byte arrivals: {fmt(r1460['s/frame'] * 1e9, 'ns')}")
    large, copy = t.b("BM_ReaderLargeFrames"), t.b("BM_MemcpyLargeFrames")
    if large and copy:
        t.at_least("Receive path, 64 KiB frames", "≥ 0.5× a memcpy of the same bytes",
                   large["bytes_per_second"], copy["bytes_per_second"], 0.5,
                   fmt(large["bytes_per_second"], "B/s"),
                   f"memcpy: {fmt(copy['bytes_per_second'], 'B/s')}")
    whole = t.b("BM_Reader/0")
    once = t.b("BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1")
    if whole and once:
        t.at_least("Receive path, one 16 MiB arrival: speed-up over the naive reader", "≥ 20×",
                   seconds(once), seconds(whole), 20, fmt(seconds(whole) * 1e3, "ms"),
                   f"naive reader: {fmt(seconds(once), 's')}")
    trend = [(mib, t.b(f"BM_BaselineReader/{mib << 20}/0")) for mib in (1, 2, 4)] + [(16, once)]
    trend = [(mib, x) for mib, x in trend if x]
    if trend and whole:
        t.info("One arrival: cost per frame by stream size (naive: grows with the stream)",
               f"{fmt(whole['s/frame'] * 1e9, 'ns')} at 16 MiB",
               ", ".join(f"{mib} MiB: {fmt(x['s/frame'] * 1e6, 'µs')}" for mib, x in trend))


def control_rows(t):
    cfg = t.b("BM_Config2TenThousandBuddies")
    if cfg:
        t.info("CONFIG2 of 10,000 buddies, parsed to LoggedIn", fmt(seconds(cfg) * 1e3, "ms"))
    small, big = t.b("BM_RemoveHtml/204800"), t.b("BM_RemoveHtml/2097152")
    naive = t.b("BM_RemoveHtmlBaseline/204800")
    if big and naive:
        t.at_least("RemoveHtml, 2 MB with 200,000 tags", "≥ 100× the rescanning loop's rate",
                   big["bytes_per_second"], naive["bytes_per_second"], 100,
                   fmt(big["bytes_per_second"], "B/s"),
                   f"rescanning loop: {fmt(naive['bytes_per_second'], 'B/s')} on 200 KB")
    if small and big:
        t.at_most("RemoveHtml, cost per byte: 2 MB ÷ 200 KB", "≤ 1.5 (linear)",
                  small["bytes_per_second"], big["bytes_per_second"], 1.5,
                  fmt(big["bytes_per_second"], "B/s"),
                  f"200 KB: {fmt(small['bytes_per_second'], 'B/s')}")
    commands = [v for k, v in t.bench.items() if k.startswith("BM_Commands/")]
    if commands:
        ns = sorted(seconds(c) * 1e9 for c in commands)
        t.info(f"Command line built and framed ({len(commands)} commands)",
               f"median {fmt(ns[len(ns) // 2], 'ns')}, slowest {fmt(ns[-1], 'ns')}")


def program_rows(t):
    rss, empty = t.fig("console.peak_rss_signed_on_1000_buddies"), t.fig("empty_cpp_program.peak_rss")
    t.at_most("Console, peak resident signed on (1,000 buddies)", "≤ 1.6× an empty C++ program",
              rss, empty, 1.6, fmt(rss, "MiB"), f"empty C++ program: {fmt(empty, 'MiB')}")
    cpu, wakeups = t.fig("console.cpu_idle_10s"), t.fig("console.wakeups_idle_10s")
    if cpu is not None:
        # Nothing at all is the one target that is not a ratio: no machine
        # makes a program without timers wake up.
        t.rows.append(("Console, CPU over 10 idle seconds signed on", "none (no timers, no polling)",
                       f"{fmt(cpu, 'ms')}, {wakeups:.0f} wake-ups", "", "",
                       "met" if cpu == 0 and wakeups == 0 else "MISSED"))
    per = t.fig("console_100_accounts.rss_per_extra_account_100_buddies")
    if per is not None:
        # Absolute, as the wake-ups: what one more account costs is memory
        # the console itself adds, with nothing of the machine in it.
        idle = t.fig("console_100_accounts.wakeups_idle_10s")
        t.rows.append(("Console, resident added by each account beyond the first "
                       "(100 accounts of 100 buddies)", "≤ 0.25 MiB", fmt(per, "MiB"), "", "",
                       "met" if per <= 0.25 else "MISSED"))
        t.rows.append(("Console, wake-ups over 10 idle seconds, 100 accounts", "none",
                       f"{idle:.0f}", "", "", "met" if idle == 0 else "MISSED"))
    start = t.fig("console.start_to_signed_on_1000_buddies")
    if start is not None:
        t.info("Console, start to LoggedIn (1,000 buddies, local server)", fmt(start, "ms"))
    shown, bare = t.fig("window.start_to_shown"), t.fig("window.bare_start_to_shown")
    t.at_most("Window, start to shown (offscreen)", "≤ 2× a bare Qt window's", shown, bare, 2,
              fmt(shown, "ms"), f"bare Qt window: {fmt(bare, 'ms')}")
    mem = t.fig("window.rss_shown")
    if mem is not None:
        anon, file = t.fig("window.rss_anon_shown"), t.fig("window.rss_file_shown")
        parts = f" ({fmt(anon, 'MiB')} private, {fmt(file, 'MiB')} shared libraries)" if anon else ""
        t.info("Window, resident when shown", fmt(mem, "MiB") + parts)


def server_rows(t):
    idle = t.fig("server.rss_idle")
    for n in (1000, 10000):
        rss = t.fig(f"server.rss_{n}_sessions")
        if rss is not None:
            t.info(f"Server, resident with {n:,} sessions signed on", fmt(rss, "MiB"),
                   f"no sessions: {fmt(idle, 'MiB')}")
    few, many = t.fig("server.kib_per_session_1000_clients"), t.fig("server.kib_per_session_10000_clients")
    t.at_most("Server, memory per session with 10,000 signed on", "≤ 1.5× that with 1,000",
              many, few, 1.5, fmt(many, "KiB"), f"1,000 sessions: {fmt(few, 'KiB')}")
    for m in (100, 1000):
        line, echo = t.fig(f"server.room_{m}_fanout"), t.fig(f"echo.room_{m}_fanout")
        p99, echo99 = t.fig(f"server.room_{m}_fanout_p99"), t.fig(f"echo.room_{m}_fanout_p99")
        t.at_most(f"Server, one line to a {m:,}-member room, until all have it",
                  f"median ≤ 2× the echo's {m} sends", line, echo, 2,
                  fmt(line, "ms") + (f" (99th percentile {fmt(p99, 'ms')})" if p99 else ""),
                  f"echo: {fmt(echo, 'ms')}" + (f" ({fmt(echo99, 'ms')})" if echo99 else ""))
        cpu, echo_cpu = t.fig(f"server.room_{m}_line_server_cpu"), t.fig(f"echo.room_{m}_line_server_cpu")
        if cpu is not None:
            t.info(f"Server, its own CPU time per line to a {m:,}-member room", fmt(cpu, "ms"),
                   f"echo: {fmt(echo_cpu, 'ms')}" if echo_cpu is not None else "")
    rate, echo = t.fig("server.room_100_deliveries_per_second"), t.fig("echo.room_100_deliveries_per_second")
    if rate is not None:
        t.info("Server, room lines delivered (100 members)", fmt(rate, "/s"),
               f"echo: {fmt(echo, '/s')}" if echo else "")
    ims, echo = t.fig("server.ims_per_second_1000_clients"), t.fig("echo.ims_per_second_1000_clients")
    t.at_least("Server, instant messages relayed (1,000 clients)", "≥ 0.5× the echo's",
               ims, echo, 0.5, fmt(ims, "/s"), f"echo: {fmt(echo, '/s')}")
    # A message behind a flood waits on a busy server, as a room line does:
    # both tails are the same machine's scheduling. Without the flood it
    # waits on an idle one, which wakes at once.
    for n in (1000, 10000):
        p99, median = t.fig(f"server.im_under_attack_p99_{n}_clients"), t.fig(f"server.im_under_attack_{n}_clients")
        line99, quiet = t.fig(f"server.room_100_fanout_p99_{n}_clients"), t.fig(f"server.im_quiet_{n}_clients")
        t.at_most(f"Server, an instant message while one client floods its costliest commands "
                  f"({n:,} clients)", "99th percentile ≤ 10× that of a line to 100 members",
                  p99, line99, 10, f"median {fmt(median, 'ms')}, 99th percentile {fmt(p99, 'ms')}",
                  f"line to 100: {fmt(line99, 'ms')}; without the flood: {fmt(quiet, 'ms')}")
    signons = t.fig("server.sign_ons_per_second_1000_clients")
    if signons is not None:
        t.info("Server, sign-ons", fmt(signons, "/s"))


def store_rows(t):
    # (figure, reference, row, target, most (True) or least, limit, unit, reference's label)
    for name, ref, label, target, most, limit, unit, ref_label in [
        ("store.burst_10000_seconds", "store.plain_10000_seconds",
         "Server database, 10,000 buddies added and removed by one client, all acknowledged",
         "≤ 5× as many commands that store nothing", True, 5, "s", "storing nothing"),
        ("store.burst_longest_wait", "store.plain_longest_wait",
         "Server database, longest wait of an instant message during that burst",
         "≤ 10× that while storing nothing", True, 10, "ms", "storing nothing"),
        ("store.start_10000x200", "store.start_empty",
         "Server database, start to listening with 10,000 accounts × 200 buddies",
         "≤ 25× a start on an empty database", True, 25, "ms", "empty database"),
        ("store.registered_sign_ons_per_second", "store.password_checks_per_second",
         "Server database, registered sign-ons while a guesser tries another name",
         "≥ 0.5× one core's password checks", False, 0.5, "/s", "password checks on one core"),
    ]:
        value, reference = t.fig(name), t.fig(ref)
        check = t.at_most if most else t.at_least
        check(label, target, value, reference, limit, fmt(value, unit),
              f"{ref_label}: {fmt(reference, unit)}")


def tls_rows(t):
    # Over TLS (bench_server --tls, bench_console --tls), beside the same
    # figures in plain taken in the same run.
    for suffix, label, unit in [
            ("sign_ons_per_second_1000_clients", "sign-ons with a full handshake (ECDSA P-256)", "/s"),
            ("ims_per_second_1000_clients", "instant messages relayed (1,000 clients)", "/s")]:
        tls, plain = t.fig("server_tls." + suffix), t.fig("server." + suffix)
        if tls is not None:
            t.info(f"Server over TLS, {label}", fmt(tls, unit), f"plain: {fmt(plain, unit)}")
    # Memory is counted in bytes, the same on any machine: absolute bounds.
    value = t.fig("server_tls.rss_10000_sessions")
    if value is not None:
        t.rows.append(("Server over TLS, resident with 10,000 idle sessions", "≤ 256 MiB",
                       fmt(value, "MiB"), "", "", "met" if value <= 256 else "MISSED"))
    # The console's own memory over TLS against plain; OpenSSL's shared code
    # pages are shown, not bounded (docs/decisions.md).
    tls, plain = (t.fig(f"console{kind}.rss_anon_signed_on_1000_buddies") for kind in ("_tls", ""))
    if tls is not None and plain is not None:
        t.rows.append(("Console over TLS, own memory signed on (1,000 buddies)",
                       "≤ 1 MiB above plain", fmt(tls, "MiB"), f"plain: {fmt(plain, 'MiB')}",
                       "", "met" if tls - plain <= 1 else "MISSED"))
    value = t.fig("console_tls.peak_rss_signed_on_1000_buddies")
    if value is not None:
        t.info("Console over TLS, peak resident signed on (1,000 buddies)", fmt(value, "MiB"))


def offline_rows(t):
    # Messages kept for accounts that are not signed on (bench_offline).
    lost = t.figures.get("offline.kill9_10000_lost")
    if lost is not None:
        total = sum(lost["samples"])
        twice = t.fig("offline.kill9_10000_acknowledged_twice") or 0
        # A count, not a speed: no machine makes a lost message right.
        t.rows.append((f"Server, IMs kept across kill -9: lost of 10,000 sent to 100 accounts "
                       f"({len(lost['samples'])} runs)", "0",
                       f"{total:.0f} lost, {twice:.0f} acknowledged ones twice", "", "",
                       "met" if total == 0 and twice == 0 else "MISSED"))
    deliver = t.fig("offline.deliver_500")
    if deliver is not None:
        t.info("Server, 500 kept IMs delivered after the configuration", fmt(deliver, "ms"))
    t.at_most("Server, sign-on with 500 kept IMs", "≤ 2× a sign-on with none",
              t.fig("offline.sign_on_500"), t.fig("offline.sign_on_none"), 2,
              fmt(t.fig("offline.sign_on_500"), "ms"),
              f"none kept: {fmt(t.fig('offline.sign_on_none'), 'ms')}")


def live_ops_rows(t):
    # A running server's operation: metrics served, an online backup, an
    # account added through the control socket (bench_server, bench_store).
    for n in (1000, 10000):
        wakeups = t.fig(f"server.idle_wakeups_{n}_sessions")
        if wakeups is not None:
            # Nothing at all, as for the console: no machine makes a server
            # without timers wake up.
            cpu = t.fig(f"server.idle_cpu_{n}_sessions")
            t.rows.append((f"Server, wake-ups over 10 idle seconds, metrics served, no scrape "
                           f"({n:,} sessions)", "0", f"{wakeups:.0f} (CPU {fmt(cpu, 'ms')})", "", "",
                           "met" if wakeups == 0 else "MISSED"))
    scrape, few = t.fig("server.scrape_cpu_10000_sessions"), t.fig("server.scrape_cpu_1000_sessions")
    if scrape is not None or few is not None:
        t.info("Server, its own CPU time for one scrape of /metrics (10,000 sessions)",
               fmt(scrape, "ms"), f"1,000 sessions: {fmt(few, 'ms')}")
    wait, plain = t.fig("store.backup_longest_wait"), t.fig("store.plain_longest_wait")
    t.at_most("Server database, longest wait of an instant message during an online backup of "
              "10,000 accounts × 200 buddies", "≤ 10× that while storing nothing", wait, plain, 10,
              fmt(wait, "ms"), f"storing nothing: {fmt(plain, 'ms')}")
    backup = t.fig("store.backup_10000x200_seconds")
    if backup is not None:
        t.info("Server database, that online backup, start to copy in place", fmt(backup, "s"))
    added, checks = t.fig("store.live_add_to_sign_on_longest"), t.fig("store.password_checks_per_second")
    if added is not None:
        t.info("Server database, an account added through the control socket: its command's "
               "return to its sign-on accepted (slowest of 20)", fmt(added, "ms"),
               f"one password check: {fmt(1e3 / checks, 'ms')}" if checks else "")


def peer_lines(figures):
    """Reposa-server beside each IRC daemon measured: the figure, and how many
    times better ours is (above 1: ahead)."""
    present = [(key, label) for key, label in PEERS
               if any(name.startswith(key + ".") for name in figures)]
    if not present:
        return []
    shapes = [("ims_per_second_1000_clients", "Messages relayed, 1,000 clients", "/s", True),
              ("room_100_fanout", "One line to 100 members", "ms", False),
              ("room_1000_fanout", "One line to 1,000 members", "ms", False),
              ("kib_per_session_1000_clients", "Memory per session", "KiB", False)]
    head = "| Figure | Reposa |" + "".join(f" {label} | Reposa ahead |" for _, label in present) + " |"
    out = [head, "|" + " --- |" * (2 + 2 * len(present) + 1)]
    for suffix, label, unit, higher in shapes:
        ours = figures.get("server." + suffix)
        if ours is None:
            continue
        ours = ours["median"]
        cells, ratios = [], []
        for key, _ in present:
            theirs = figures.get(f"{key}.{suffix}")
            if theirs is None or not ours or not theirs["median"]:
                cells += ["not measured", ""]
                continue
            theirs = theirs["median"]
            ratios.append(ours / theirs if higher else theirs / ours)
            cells += [fmt(theirs, unit), times(ratios[-1])]
        if ratios:
            verdict = "ahead" if min(ratios) >= 1 else "BEHIND"
            out.append(f"| {label} | {fmt(ours, unit)} | " + " | ".join(cells) + f" | {verdict} |")
    return out


def value_of(name, bench, figures):
    """A benchmark's CPU time per iteration in ms, or a driver figure."""
    if name in bench:
        return seconds(bench[name]) * 1e3
    return figures[name]["median"] if name in figures else None


def compare(folder, labels):
    """Each figure of each label's runs (the median over the rounds), and its
    ratio to the first label's: the median of the rounds' own ratios, each
    round's runs having been taken one right after the other."""
    rounds = []  # per label: {round: (bench, figures)}
    for label in labels:
        by_round = {}
        for path in pathlib.Path(folder, label).glob("*.json"):
            number = path.stem.rsplit(".", 1)[-1]
            by_round.setdefault(number, []).append(path)
        per = {}
        for number, paths in by_round.items():
            with tempfile.TemporaryDirectory() as one:
                for path in paths:
                    shutil.copy(path, one)
                per[number] = load(one)
        rounds.append(per)
    loaded = [load(pathlib.Path(folder, label)) for label in labels]
    names = sorted({n for bench, _ in loaded for n in bench} | {n for _, f in loaded for n in f})
    head = f"| Figure | {labels[0]} |" + "".join(f" {l} | {labels[0]} ÷ {l} |" for l in labels[1:])
    out = [head, "|" + " --- |" * (2 * len(labels))]
    for name in names:
        unit = "ms" if any(name in bench for bench, _ in loaded) else ""
        cells = [fmt(value_of(name, *loaded[0]), unit)]
        for i in range(1, len(labels)):
            ratios = []
            for number, (bench, figures) in rounds[0].items():
                mine = value_of(name, bench, figures)
                theirs = value_of(name, *rounds[i][number]) if number in rounds[i] else None
                if mine and theirs:
                    ratios.append(mine / theirs)
            ratio = f"{statistics.median(ratios):.2f}" if ratios else ""
            cells += [fmt(value_of(name, *loaded[i]), unit), ratio]
        out.append(f"| {name} | " + " | ".join(cells) + " |")
    return out


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--compare":
        print("\n".join(compare(sys.argv[2], sys.argv[3:])))
        print("\nBenchmarks: CPU time per iteration; driver figures in their own units. The"
              " ratios are medians of each round's ratio (runs of one round follow each other).")
        return
    results = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench/results")
    bench, figures = load(results)
    t = Table(bench, figures)
    for rows in (receive_rows, control_rows, program_rows, server_rows, store_rows, offline_rows,
                 tls_rows, live_ops_rows):
        rows(t)
    print("\n".join(t.lines()))
    peers = peer_lines(figures)
    if peers:
        print("\nBeside IRC daemons, with the same driver and shapes:\n")
        print("\n".join(peers))
    missed = [r[0] for r in t.rows if r[5] == "MISSED"]
    if missed:
        print("\nMissed: " + "; ".join(missed))


if __name__ == "__main__":
    main()
