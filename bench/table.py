#!/usr/bin/env python3
"""Prints the medians of a Google Benchmark JSON file as a Markdown table:
nanoseconds per line (per call for the clock and dropped cases) and the
ratio to the floor with the same number of threads."""
import json
import re
import sys


def main(path):
    with open(path) as f:
        data = json.load(f)
    ctx = data["context"]
    rows = {}
    errors = []
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            errors.append(f"{b['name']}: {b.get('error_message')}")
            continue
        if b.get("aggregate_name") != "median":
            continue
        m = re.match(r"BM_(\w+?)(?:/(\d+))?/real_time/threads:(\d+)", b["run_name"])
        if not m:
            continue
        case, arg, threads = m.group(1), m.group(2), int(m.group(3))
        if arg is not None:
            case += "/" + ("rotating" if arg == "1" else "plain")
        ips = b.get("items_per_second", 0.0)
        ns = 1e9 / ips if ips else b["real_time"]
        rows[(case, threads)] = (ns, b)
    print(f"Machine: {ctx.get('num_cpus')} CPUs at {ctx.get('mhz_per_cpu')} MHz, "
          f"{ctx.get('host_name')}, {ctx.get('date')}; medians of "
          f"{data['benchmarks'][0].get('repetitions', '?')} repetitions.")
    print()
    print("| case | threads | ns per line | vs floor_append | extra |")
    print("|---|---|---|---|---|")
    for (case, threads), (ns, b) in sorted(rows.items(), key=lambda kv: (kv[0][1], order(kv[0][0]))):
        floor = rows.get(("floor_append", threads))
        ratio = f"{ns / floor[0]:.2f}x" if floor else "-"
        extra = ", ".join(f"{k} {b[k]:.1f}" for k in ("max_us", "p999_us") if k in b)
        print(f"| {case} | {threads} | {ns:.0f} | {ratio} | {extra} |")
    pairs = [
        ("qellog_all_prefix", "floor_append", "all-prefix line vs floor"),
        ("qellog_rotating", "qellog_all_prefix", "rotating vs no flush thread"),
        ("qellog_api", "qellog_all_prefix", "API vs CQel_Log::writelog"),
        ("qellog_dropped", "gettimeofday", "dropped vs bare gettimeofday"),
        ("qellog_all_prefix", "spdlog_flush_each_line", "qellog vs spdlog flush-per-line"),
    ]
    print()
    print("| ratio | 1 thread | 2 threads |")
    print("|---|---|---|")
    for a, b, label in pairs:
        cells = []
        for t in (1, 2):
            if (a, t) in rows and (b, t) in rows:
                cells.append(f"{rows[(a, t)][0] / rows[(b, t)][0]:.2f}x")
            else:
                cells.append("-")
        print(f"| {label} | {cells[0]} | {cells[1]} |")
    if errors:
        print()
        print("FAILED runs:")
        for e in errors:
            print("  " + e)
        sys.exit(1)


def order(case):
    names = ["floor_append", "floor_lseek_append", "gettimeofday", "ref_getpid_gettid",
             "ref_localtime_r", "qellog_all_prefix",
             "qellog_all_prefix_fsync", "qellog_no_prefix", "qellog_dropped", "qellog_rotating",
             "qellog_api"]
    return (names.index(case) if case in names else len(names), case)


if __name__ == "__main__":
    main(sys.argv[1])
