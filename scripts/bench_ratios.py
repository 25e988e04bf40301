#!/usr/bin/env python3
"""Prints the trace benchmark's times as ratios to the bare vsnprintf of the same line."""
import json
import sys

with open(sys.argv[1]) as f:
    runs = {b["name"]: b["cpu_time"] for b in json.load(f)["benchmarks"]}
base = runs["BM_BareVsnprintf"]
for name, cpu in runs.items():
    print(f"{name:20s} {cpu:8.1f} ns  {cpu / base:5.2f}x bare vsnprintf")
