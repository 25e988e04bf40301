#!/usr/bin/env python3
"""Prints each trace statement's time as a ratio to the bare vsnprintf of the same line
(benchmarks named LINE/bare, LINE/open and LINE/closed), from trace_bench's JSON output:
medians when the run has repetitions, else the single runs."""
import json
import statistics
import sys
from collections import defaultdict

with open(sys.argv[1]) as f:
    benchmarks = json.load(f)["benchmarks"]
times = defaultdict(list)
for b in benchmarks:
    if b.get("run_type", "iteration") == "iteration":
        times[b["name"]].append(b["cpu_time"])
medians = {name: statistics.median(values) for name, values in times.items()}
for name in sorted(medians):
    line, kind = name.rsplit("/", 1)
    if kind == "bare":
        continue
    base = medians[f"{line}/bare"]
    print(f"{name:16s} {medians[name]:8.2f} ns  {medians[name] / base:5.3f}x bare vsnprintf ({base:.1f} ns)")
