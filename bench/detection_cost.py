#!/usr/bin/env python3
"""Runs the detection benchmarks and prints the stage's cost as ratios of medians measured in one run
(processor time of the thread, which a busy shared machine disturbs less than the clock).

usage: bench/detection_cost.py build/bench/detection_bench [repetitions] [--mechanisms]

With --mechanisms it prints instead where the stage's time goes: the stage with one mechanism
on, in a still scene, a moving one and a moving one whose light changes, as shares of CompareFrames.
"""
import sys

from medians import medians

args = [a for a in sys.argv[1:] if not a.startswith("--")]
binary = args[0]
repetitions = args[1] if len(args) > 1 else "7"

if "--mechanisms" in sys.argv:
    median = {}
    for b in medians(binary, repetitions, "^(CompareFramesAlone|DetectionMechanism)/"):
        parts = b["run_name"].split("/")
        values = [p.split(":")[-1] for p in parts[1:]]
        median[(parts[0], *values)] = b["cpu_time"]
    mechanisms, scenes = ["light", "noise", "specks", "mask", "all"], ["still", "moves", "moves, light"]
    for w, h in [("640", "480"), ("1920", "1080")]:
        c = median[("CompareFramesAlone", w, h)]
        print(f"{w}x{h}: CompareFrames {c:.0f} us; the stage in us (share of CompareFrames)")
        print(f"{'mechanism':>10} " + " ".join(f"{s:>18}" for s in scenes))
        for m, name in enumerate(mechanisms):
            cells = [median[("DetectionMechanism", w, h, str(m), str(s))] for s in range(len(scenes))]
            print(f"{name:>10} " + " ".join(f"{t:>10.0f} ({t / c:4.2f})" for t in cells))
    sys.exit(0)

median, memory = {}, {}
for b in medians(binary, repetitions, "^(CompareFramesAlone|DetectionSteadyLight|DetectionLightChange|OpenCvMog2)/"):
    name, w, h, *ceiling = b["run_name"].split("/")
    size = f"{w}x{h}" + (" AVX2" if ceiling == ["1"] else "")
    median[(name, size)] = b["cpu_time"]
    if "state_bytes_per_pixel" in b:
        memory[size] = b["state_bytes_per_pixel"]

ok = True
print(f"{'size':>14} {'compare us':>11} {'stage us':>9} {'light change':>13} {'MOG2 us':>9} "
      f"{'stage/compare':>14} {'stage/MOG2':>11} {'bytes/pixel':>12}")
for s in sorted({s for n, s in median if n == "CompareFramesAlone"}, key=lambda s: (int(s.split("x")[0]), s)):
    c, mog2 = median[("CompareFramesAlone", s)], median[("OpenCvMog2", s.split()[0])]
    steady, change = median[("DetectionSteadyLight", s)], median[("DetectionLightChange", s)]
    worst = max(steady, change)
    ok = ok and worst <= 0.5 * c and worst <= 0.5 * mog2 and memory[s] <= 4
    print(f"{s:>14} {c:11.0f} {steady:9.0f} {change:13.0f} {mog2:9.0f} {worst / c:14.2f} {worst / mog2:11.3f} "
          f"{memory[s]:12.2f}")
print("AVX2: at most AVX2 on this processor, as an AVX2-only machine runs.")
print("goals (the stage at most 0.5 x CompareFrames and 0.5 x MOG2, at most 4 bytes a pixel):",
      "met" if ok else "NOT met")
sys.exit(0 if ok else 1)
