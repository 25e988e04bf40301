#!/usr/bin/env python3
"""Prints scripts/bench.sh's table: each figure beside its floor from the same run, the
ratio of their medians, p50/p95/max of each, the goal and whether it was met.

    bench_table.py RESULTS_DIR IDLE_SECONDS

RESULTS_DIR holds what bench.sh wrote: trace.json (trace_bench, every repetition),
rounds.txt ("ROW WHO ROUND MS"), idle.txt ("WHO TID NAME OWNER TICKS SWITCHES") and
memory.txt ("WHO VIEW PRIVATE_BYTES WORKING_SET_BYTES"); any of them may be missing."""
import json
import math
import os
import sys
from collections import defaultdict


def percentile(values, p):
    """Nearest-rank percentile: a value that was measured."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


def stats(values):
    return percentile(values, 50), percentile(values, 95), max(values)


rows = []  # (figure, unit, n, figure stats, floor stats, ratio, goal, verdict)


def add(figure, unit, values, floor, goal, check):
    """check(figure_stats, floor_stats) -> (met, detail); None for an explanatory row."""
    f = stats(values)
    g = stats(floor)
    ratio = f[0] / g[0] if g[0] else float("inf")
    if check is None:
        verdict = "(explains)"
    else:
        met, detail = check(f, g)
        verdict = ("met" if met else "NOT MET") + (f" {detail}" if detail else "")
    rows.append((figure, unit, f"{len(values)}/{len(floor)}", f, g, ratio, goal, verdict))


def ratio_at_most(limit):
    def check(f, g):
        return f[0] / g[0] <= limit, ""
    return check


def latency_within(p50_extra, p95_extra):
    def check(f, g):
        d50, d95 = f[0] - g[0], f[1] - g[1]
        return d50 <= p50_extra and d95 <= p95_extra, f"(p50 {d50:+.1f}, p95 {d95:+.1f} ms)"
    return check


def p50_within(extra):
    def check(f, g):
        d50 = f[0] - g[0]
        return d50 <= extra, f"(p50 {d50:+.1f} ms)"
    return check


results = sys.argv[1]
idle_seconds = sys.argv[2] if len(sys.argv) > 2 else "60"


def path(name):
    p = os.path.join(results, name)
    return p if os.path.exists(p) else None


if path("trace.json"):
    with open(path("trace.json")) as f:
        runs = defaultdict(list)
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type", "iteration") == "iteration":
                runs[b["name"]].append(b["cpu_time"])
    for line in ("typical", "wide", "cut"):
        bare = runs.get(f"{line}/bare")
        if not bare:
            continue
        add(f"trace statement, gate open, {line} line", "ns", runs[f"{line}/open"], bare,
            "<= 1.10x bare vsnprintf", ratio_at_most(1.10))
        add(f"trace statement, gate closed, {line} line", "ns", runs[f"{line}/closed"], bare,
            "<= 0.05x bare vsnprintf", ratio_at_most(0.05))

LATENCY = "p50 <= floor+2, p95 <= floor+5 ms"
LATENCY_ROWS = [
    ("eject-4g", "eject 4G: menu command to AT payload", LATENCY, latency_within(2, 5)),
    ("eject-5g", "eject 5G: menu command to AT payload", LATENCY, latency_within(2, 5)),
    ("decision-4g", "decision 4G: account event to window message, -500", LATENCY, latency_within(2, 5)),
    ("decision-5g", "decision 5G: account event to window message, -500", LATENCY, latency_within(2, 5)),
    ("startup", "start-up: process start to icon shown", "p50 <= floor+30 ms", p50_within(30)),
    ("eject-during-hide-last-icon", "eject 700 ms after an eject, last icon in tray", "-", None),
    ("eject-during-hide-icon-kept", "eject 700 ms after an eject, another icon kept", "-", None),
]
if path("rounds.txt"):
    rounds = defaultdict(lambda: defaultdict(list))
    with open(path("rounds.txt")) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 4:
                rounds[parts[0]][parts[1]].append(float(parts[3]))
    for key, figure, goal, check in LATENCY_ROWS:
        if key in rounds and rounds[key]["program"] and rounds[key]["floor"]:
            add(figure, "ms", rounds[key]["program"], rounds[key]["floor"], goal, check)

memory_notes = []
if path("memory.txt"):
    # "WHO OWNER KIND NAME BYTES" lines and "WHO total private|rss BYTES" (memory_owners.py).
    totals = defaultdict(dict)
    owned = defaultdict(lambda: defaultdict(int))
    items = defaultdict(list)
    with open(path("memory.txt")) as f:
        for line in f:
            parts = line.split()
            if parts[1] == "total":
                totals[parts[0]][parts[2]] = int(parts[3])
            else:
                who, owner, kind, name, size = parts[0], parts[1], parts[2], parts[3], int(parts[4])
                owned[who][owner] += size
                items[(who, owner)].append((size, f"{kind} {name}"))
    if "program" in totals and "floor" in totals:
        mib = 2**20
        program, floor = totals["program"], totals["floor"]
        own = program["private"] - owned["program"]["emulator"]
        for label, value, base in (
                ("private bytes, whole process", program["private"], floor["private"]),
                ("private bytes, less the emulator's facades", own, floor["private"]),
                ("working set", program["rss"], floor["rss"])):
            add(f"memory after {idle_seconds} s idle: {label}", "MiB", [value / mib], [base / mib],
                "<= 2.0x minimal tray program", ratio_at_most(2.0))
        for who in ("program", "floor"):
            parts = []
            for owner in ("program", "emulator", "wine", "unattributed"):
                if owned[who][owner]:
                    top = sorted(items[(who, owner)], reverse=True)[:4]
                    listed = ", ".join(f"{name} {size / mib:.2f}" for size, name in top if size >= 64 * 1024)
                    parts.append(f"{owner} {owned[who][owner] / mib:.1f} MiB ({listed})")
            memory_notes.append(f"  {'QuarnVelmora' if who == 'program' else 'minimal tray'}: " + "; ".join(parts))

idle_table = []
if path("idle.txt"):
    usage = defaultdict(lambda: [0, 0, []])
    with open(path("idle.txt")) as f:
        for line in f:
            who, tid, name, owner, ticks, switches = line.split()
            entry = usage[(who, owner)]
            entry[0] += int(ticks)
            entry[1] += int(switches)
            entry[2].append(f"{name}({tid}):{ticks}/{switches}")
    floor = usage.get(("floor", "program"), [0, 0, []])
    program = usage.get(("program", "program"), [0, 0, []])
    idle_table.append((f"idle {idle_seconds} s, program's own threads (ticks/switches)", program, floor,
                       "0 ticks, 0 switches", program[0] == 0 and program[1] == 0))
    for owner, label in (("emulator", "emulator facades' threads in the program"), ("other", "other (Wine) threads")):
        if ("program", owner) in usage:
            idle_table.append((f"idle {idle_seconds} s, {label}", usage[("program", owner)], [0, 0, []], "-", None))


def fmt(value, unit):
    if unit == "ns":
        return f"{value:.2f}"
    if unit == "MiB":
        return f"{value:.1f}"
    return f"{value:.1f}"


header = ("figure", "unit", "rounds", "p50", "p95", "max", "floor p50", "floor p95", "floor max", "ratio", "goal",
          "result")
table = [header]
for figure, unit, n, f, g, ratio, goal, verdict in rows:
    single = n == "1/1"  # one measurement: no spread to show
    table.append((figure, unit, n, fmt(f[0], unit), "" if single else fmt(f[1], unit), "" if single else fmt(f[2], unit),
                  fmt(g[0], unit), "" if single else fmt(g[1], unit), "" if single else fmt(g[2], unit),
                  f"{ratio:.3f}", goal, verdict))
for figure, program, floor, goal, met in idle_table:
    table.append((figure, "ticks/sw", "1/1", f"{program[0]}/{program[1]}", "", "", f"{floor[0]}/{floor[1]}", "", "",
                  "", goal, "-" if met is None else ("met" if met else "NOT MET")))
widths = [max(len(str(row[i])) for row in table) for i in range(len(header))]
for i, row in enumerate(table):
    print("  ".join(str(cell).ljust(widths[j]) if j in (0, 1, 2, 10, 11) else str(cell).rjust(widths[j])
                    for j, cell in enumerate(row)).rstrip())
    if i == 0:
        print("  ".join("-" * w for w in widths))

if memory_notes:
    print()
    print("private memory by owner (MiB; the largest items):")
    for note in memory_notes:
        print(note)

if idle_table and path("idle.txt"):
    print()
    print("threads in the idle interval (name(tid):ticks/switches):")
    with open(path("idle.txt")) as f:
        by_owner = defaultdict(list)
        for line in f:
            who, tid, name, owner, ticks, switches = line.split()
            by_owner[(who, owner)].append(f"{name}({tid}) {ticks}/{switches}")
    for (who, owner), threads in sorted(by_owner.items()):
        whose = {"program": "its own", "emulator": "emulator facades'", "other": "Wine's"}[owner]
        print(f"  {'QuarnVelmora' if who == 'program' else 'minimal tray'}, {whose}: {', '.join(threads)}")
