#!/usr/bin/env python3
"""Runs the evaluation benchmark and prints the whole cycle against its two kernels,
and each step's share, as ratios of medians measured in one run (process CPU time, so
that the painting threads count, and wall time).

usage: bench/cycle_ratios.py build/bench/evaluation_bench [repetitions]
"""
import sys

from medians import medians

binary = sys.argv[1]
repetitions = sys.argv[2] if len(sys.argv) > 2 else "7"
median = {}
for b in medians(binary, repetitions):
    name, w, h = b["run_name"].split("/")[:3]
    median[(name, f"{w}x{h}")] = (b["cpu_time"], b["real_time"])

steps = ["StepClipboardIntake", "StepGray", "StepCompare", "StepDisplay"]
print(f"{'size':>10} {'cycle us':>9} {'kernels':>8} {'ratio':>6} {'wall':>6}  " + " ".join(f"{s[4:]:>14}" for s in steps))
for size in sorted({s for _, s in median}, key=lambda s: int(s.split("x")[0])):
    (cycle, cycle_wall), (kernels, kernels_wall) = median[("WholeCycle", size)], median[("BothKernels", size)]
    shares = " ".join(f"{median[(s, size)][0]:8.0f} {median[(s, size)][0] / cycle:4.0%}" for s in steps)
    print(f"{size:>10} {cycle:9.0f} {kernels:8.0f} {cycle / kernels:6.2f} {cycle_wall / kernels_wall:6.2f}  {shares}")
