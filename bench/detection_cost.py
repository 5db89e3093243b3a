#!/usr/bin/env python3
"""Runs the detection benchmarks and prints the stage's cost as ratios of medians measured in one run
(processor time of the thread, which a busy shared machine disturbs less than the clock).

usage: bench/detection_cost.py build/bench/detection_bench [repetitions]
"""
import sys

from medians import medians

binary = sys.argv[1]
repetitions = sys.argv[2] if len(sys.argv) > 2 else "7"
median, memory = {}, {}
for b in medians(binary, repetitions):
    name, w, h = b["run_name"].split("/")
    median[(name, f"{w}x{h}")] = b["cpu_time"]
    if "state_bytes_per_pixel" in b:
        memory[f"{w}x{h}"] = b["state_bytes_per_pixel"]

ok = True
print(f"{'size':>10} {'compare us':>11} {'stage us':>9} {'light change':>13} {'MOG2 us':>9} "
      f"{'stage/compare':>14} {'stage/MOG2':>11} {'bytes/pixel':>12}")
for s in sorted({s for _, s in median}, key=lambda s: int(s.split("x")[0])):
    c, mog2 = median[("CompareFramesAlone", s)], median[("OpenCvMog2", s)]
    steady, change = median[("DetectionSteadyLight", s)], median[("DetectionLightChange", s)]
    worst = max(steady, change)
    ok = ok and worst <= 0.5 * c and worst <= 0.5 * mog2 and memory[s] <= 2
    print(f"{s:>10} {c:11.0f} {steady:9.0f} {change:13.0f} {mog2:9.0f} {worst / c:14.2f} {worst / mog2:11.3f} "
          f"{memory[s]:12.2f}")
print("goals (the stage at most 0.5 x CompareFrames and 0.5 x MOG2, at most 2 bytes a pixel):",
      "met" if ok else "NOT met")
sys.exit(0 if ok else 1)
