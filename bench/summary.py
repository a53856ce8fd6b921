#!/usr/bin/env python3
"""Reads what bench/run measured (build/bench/results/*.json) and prints the
table of figures against their targets, as docs/performance.md holds it.

    bench/summary.py build/bench/results
"""

import json
import pathlib
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(results):
    """Google Benchmark medians by run name, and driver figures by name."""
    bench, figures = {}, {}
    for path in sorted(results.glob("*.json")):
        data = json.loads(path.read_text())
        if "benchmarks" in data:
            for b in data["benchmarks"]:
                name = b.get("run_name", b["name"])
                # The median of repetitions; a single run stands for itself.
                if b.get("aggregate_name") == "median" or (
                    b.get("run_type") == "iteration" and name not in bench
                ):
                    bench[name] = b
        for f in data.get("figures", []):
            figures[f["name"]] = f
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


def main():
    results = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench/results")
    bench, figures = load(results)
    rows = []  # (figure, target, measured, baseline, verdict)

    def b(name):
        return bench.get(name)

    def fig(name):
        f = figures.get(name)
        return None if f is None else f["median"]

    def row(figure, target, measured, baseline="", ok=None):
        verdict = "" if ok is None else ("met" if ok else "MISSED")
        rows.append((figure, target, measured, baseline, verdict))

    # Receive path.
    base1460 = b("BM_BaselineReader/16777216/1460")
    for arrival, label in [
        (1, "1-byte arrivals"),
        (7, "7-byte arrivals"),
        (1460, "1460-byte arrivals"),
        (65536, "64 KiB arrivals"),
        (0, "one 16 MiB arrival"),
    ]:
        r = b(f"BM_Reader/{arrival}")
        if not r:
            continue
        rate = r.get("msgs/s")
        target = "≥ 2 M/s" if arrival >= 1460 or arrival == 0 else "(per-arrival cost dominates)"
        baseline = ""
        if arrival == 1460 and base1460:
            baseline = fmt(base1460.get("msgs/s"), "/s")
        row(
            f"Receive path, {label}: messages dispatched",
            target,
            fmt(rate, "/s") + f" ({fmt(r.get('bytes_per_second'), 'B/s')})",
            baseline,
            (rate >= 2e6) if (arrival >= 1460 or arrival == 0) else None,
        )
    large = b("BM_ReaderLargeFrames")
    if large:
        rate = large.get("bytes_per_second")
        row("Receive path, 64 KiB frames", "≥ 2 GB/s", fmt(rate, "B/s"), "", rate >= 2e9)
    whole, r1460 = b("BM_Reader/0"), b("BM_Reader/1460")
    if whole and r1460:
        ratio = whole["s/frame"] / r1460["s/frame"]
        row(
            "Receive path, cost per frame: one 16 MiB arrival ÷ 1460-byte arrivals",
            "≤ 1.5",
            f"{ratio:.2f} ({fmt(whole['s/frame'] * 1e9, 'ns')} vs {fmt(r1460['s/frame'] * 1e9, 'ns')})",
            "",
            ratio <= 1.5,
        )
    once = b("BM_BaselineReaderOnce/16777216/0/iterations:1/repeats:1")
    if whole and once:
        speedup = seconds(once) / seconds(whole)
        row(
            "Receive path, one 16 MiB arrival: speed-up over the naive reader",
            "≥ 20×",
            f"{speedup:,.0f}× ({fmt(seconds(whole) * 1e3, 'ms')})",
            fmt(seconds(once), "s") + f" ({fmt(once.get('msgs/s'), 'messages/s')})",
            speedup >= 20,
        )
    trend = [(mib, b(f"BM_BaselineReader/{mib << 20}/0")) for mib in (1, 2, 4)]
    trend += [(16, once)]
    trend = [(mib, t) for mib, t in trend if t]
    if trend:
        here = f"{fmt(whole['s/frame'] * 1e9, 'ns')} at 16 MiB" if whole else ""
        row(
            "One arrival: cost per frame by stream size",
            "(naive: grows with the stream)",
            here,
            ", ".join(f"{mib} MiB: {fmt(t['s/frame'] * 1e6, 'µs')}" for mib, t in trend),
        )

    # Configuration, tags, commands.
    cfg = b("BM_Config2TenThousandBuddies")
    if cfg:
        row("CONFIG2 of 10,000 buddies, parsed to LoggedIn", "", fmt(seconds(cfg) * 1e3, "ms"))
    small, big = b("BM_RemoveHtml/204800"), b("BM_RemoveHtml/2097152")
    base_html = b("BM_RemoveHtmlBaseline/204800")
    if big:
        rate = big["bytes_per_second"]
        row(
            "RemoveHtml, 2 MB with 200,000 tags",
            "≥ 200 MB/s",
            fmt(rate, "B/s"),
            (fmt(base_html["bytes_per_second"], "B/s") + " on 200 KB") if base_html else "",
            rate >= 200e6,
        )
    if small and big:
        ratio = small["bytes_per_second"] / big["bytes_per_second"]
        row(
            "RemoveHtml, cost per byte: 2 MB ÷ 200 KB",
            "≤ 1.5 (linear)",
            f"{ratio:.2f}",
            (f"naive loop: {fmt(seconds(base_html) * 1e3, 'ms')} for 200 KB, "
             f"{small and fmt(seconds(small) * 1e3, 'ms')} here") if base_html else "",
            ratio <= 1.5,
        )
    commands = [v for k, v in bench.items() if k.startswith("BM_Commands/")]
    if commands:
        times = sorted(seconds(c) * 1e9 for c in commands)
        row(
            f"Command line built and framed ({len(commands)} commands)",
            "",
            f"median {fmt(times[len(times) // 2], 'ns')}, slowest {fmt(times[-1], 'ns')}",
        )

    # The programs.
    rss = fig("console.peak_rss_signed_on_1000_buddies")
    empty = fig("empty_cpp_program.peak_rss")
    if rss is not None:
        row(
            "Console, peak resident signed on (1,000 buddies)",
            "≤ 5 MiB",
            fmt(rss, "MiB"),
            f"empty C++ program: {fmt(empty, 'MiB')}" if empty is not None else "",
            rss <= 5,
        )
    cpu = fig("console.cpu_idle_10s")
    wakeups = fig("console.wakeups_idle_10s")
    if cpu is not None:
        row(
            "Console, CPU over 10 idle seconds signed on",
            "none (no timers, no polling)",
            f"{fmt(cpu, 'ms')}, {wakeups:.0f} wake-ups",
            "",
            cpu == 0 and wakeups == 0,
        )
    t = fig("console.start_to_signed_on_1000_buddies")
    if t is not None:
        row("Console, start to LoggedIn (1,000 buddies, local server)", "", fmt(t, "ms"))
    t = fig("window.start_to_shown")
    if t is not None:
        row("Window, start to shown (offscreen)", "≤ 250 ms", fmt(t, "ms"), "", t <= 250)
    t = fig("window.rss_shown")
    if t is not None:
        anon, file = fig("window.rss_anon_shown"), fig("window.rss_file_shown")
        parts = f" ({fmt(anon, 'MiB')} private, {fmt(file, 'MiB')} shared libraries)" if anon else ""
        row("Window, resident when shown", "", fmt(t, "MiB") + parts)
    for n, limit in [(1000, 64), (10000, 128)]:
        t = fig(f"server.rss_{n}_sessions")
        if t is not None:
            idle = fig("server.rss_idle")
            row(
                f"Server, resident with {n:,} sessions signed on",
                f"< {limit} MiB",
                fmt(t, "MiB"),
                f"no sessions: {fmt(idle, 'MiB')}" if idle is not None else "",
                t < limit,
            )
    t = fig("server.kib_per_session_1000_clients")
    if t is not None:
        row("Server, memory per session", "", fmt(t, "KiB"))
    for m, target, limit, p99_limit in [(100, "median ≤ 0.5 ms, 99th percentile ≤ 2 ms", 0.5, 2),
                                        (1000, "median ≤ 5 ms", 5, None)]:
        t = fig(f"server.room_{m}_fanout")
        if t is not None:
            p99 = fig(f"server.room_{m}_fanout_p99")
            row(
                f"Server, one line to a {m:,}-member room, until all have it",
                target,
                fmt(t, "ms") + (f" (99th percentile {fmt(p99, 'ms')})" if p99 is not None else ""),
                "",
                t <= limit and (p99_limit is None or (p99 is not None and p99 <= p99_limit)),
            )
    for m in (100, 1000):
        t = fig(f"server.room_{m}_line_server_cpu")
        if t is not None:
            row(f"Server, its own CPU time per line to a {m:,}-member room", "", fmt(t, "ms"))
    t = fig("server.room_100_deliveries_per_second")
    if t is not None:
        row("Server, room lines delivered (100 members)", "", fmt(t, "/s"))
    t = fig("server.ims_per_second_1000_clients")
    if t is not None:
        row("Server, instant messages relayed (1,000 clients)", "≥ 250 k/s", fmt(t, "/s"), "",
            t >= 250e3)
    for n in (1000, 10000):
        t = fig(f"server.im_under_attack_p99_{n}_clients")
        if t is not None:
            median = fig(f"server.im_under_attack_{n}_clients")
            row(
                f"Server, an instant message while one client floods its costliest commands "
                f"({n:,} clients)",
                "99th percentile ≤ 100 ms",
                f"median {fmt(median, 'ms')}, 99th percentile {fmt(t, 'ms')}",
                "",
                t <= 100,
            )
    t = fig("server.sign_ons_per_second_1000_clients")
    if t is not None:
        row("Server, sign-ons", "", fmt(t, "/s"))
    # Over TLS (bench_server --tls, bench_console --tls).
    for name, label, target, ok in [
        ("server_tls.sign_ons_per_second_1000_clients",
         "Server over TLS, sign-ons with a full handshake (ECDSA P-256)", "≥ 1,000/s",
         lambda t: t >= 1000),
        ("server_tls.ims_per_second_1000_clients",
         "Server over TLS, instant messages relayed (1,000 clients)", "≥ 150 k/s",
         lambda t: t >= 150e3),
        ("server_tls.rss_10000_sessions",
         "Server over TLS, resident with 10,000 idle sessions", "< 256 MiB", lambda t: t < 256),
        ("console_tls.peak_rss_signed_on_1000_buddies",
         "Console over TLS, peak resident signed on (1,000 buddies)", "≤ 6 MiB",
         lambda t: t <= 6),
    ]:
        t = fig(name)
        if t is not None:
            row(label, target, fmt(t, "MiB" if "rss" in name else "/s"), "", ok(t))

    # The server's database (bench_store).
    for name, label, target, limit, unit in [
        ("store.burst_10000_seconds",
         "Server database, 10,000 buddies added and removed by one client, all acknowledged",
         "≤ 2 s", 2.0, "s"),
        ("store.burst_longest_wait",
         "Server database, longest wait of an instant message during that burst",
         "≤ 50 ms", 50.0, "ms"),
        ("store.start_10000x200",
         "Server database, start to listening with 10,000 accounts × 200 buddies",
         "≤ 1 s", 1000.0, "ms"),
    ]:
        t = fig(name)
        if t is not None:
            row(label, target, fmt(t, unit), "", t <= limit)
    t = fig("store.registered_sign_ons_per_second")
    if t is not None:
        row("Server database, registered sign-ons while a guesser tries another name",
            "≥ 200 /s", fmt(t, "/s"), "", t >= 200)

    lines = [
        "| Figure | Target | Measured (median) | Baseline | |",
        "| --- | --- | --- | --- | --- |",
    ]
    lines += [f"| {' | '.join(r)} |" for r in rows]
    print("\n".join(lines))
    missed = [r[0] for r in rows if r[4] == "MISSED"]
    if missed:
        print("\nMissed: " + "; ".join(missed))


if __name__ == "__main__":
    main()
