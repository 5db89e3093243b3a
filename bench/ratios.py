#!/usr/bin/env python3
"""Runs the analysis benchmarks and prints the ratios of medians measured in one run.

usage: bench/ratios.py build/bench/analysis_bench [repetitions] [cpu|real]

The repetitions are interleaved at random, so a load that comes and goes on a shared
machine falls on all benchmarks alike. Times are CPU time by default: on a machine whose
cores are shared, the wall time also counts the turns the benchmark waits for a core.
"""
import sys

from medians import medians

binary = sys.argv[1]
repetitions = sys.argv[2] if len(sys.argv) > 2 else "7"
clock = (sys.argv[3] if len(sys.argv) > 3 else "cpu") + "_time"
median = {}
for b in medians(binary, repetitions):
    name, w, h = b["run_name"].split("/")
    median[(name, f"{w}x{h}")] = b[clock]

sizes = sorted({s for _, s in median}, key=lambda s: int(s.split("x")[0]))
print(f"{clock}, medians of {repetitions}; floor: reading the bytes a kernel must read and writing those it must write "
      "(gray: colour in, gray out), nothing else")
print(f"{'size':>10} {'gray us':>8} {'cvtColor':>8} {'ratio':>6} {'floor':>6} {'/floor':>7} {'AVX2':>6} "
      f"{'compare us':>11} {'OpenCV':>8} {'ratio':>6} {'/floor':>7}")
for s in sizes:
    g, cv, fg = median[("ToGrayscaleFast", s)], median[("OpenCvCvtColor", s)], median[("FloorGrayFrame", s)]
    c, cvc, fc = median[("CompareFramesFast", s)], median[("OpenCvCountsAndCentres", s)], median[("FloorCompareFrames", s)]
    avx2 = median.get(("ToGrayscaleAvx2", s))
    avx2_ratio = f"{avx2 / cv:6.2f}" if avx2 else f"{'-':>6}"
    print(f"{s:>10} {g:8.0f} {cv:8.0f} {g/cv:6.2f} {fg:6.0f} {g/fg:7.2f} {avx2_ratio} "
          f"{c:11.0f} {cvc:8.0f} {c/cvc:6.2f} {c/fc:7.2f}")
print("portable/fast: gray %.1fx, compare %.1fx at 1920x1080" % (
    median[("ToGrayscalePortable", "1920x1080")] / median[("ToGrayscaleFast", "1920x1080")],
    median[("CompareFramesPortable", "1920x1080")] / median[("CompareFramesFast", "1920x1080")]))
print("extended reference/fast: gray %.0fx at 1920x1080" % (
    median[("ToGrayscaleReference", "1920x1080")] / median[("ToGrayscaleFast", "1920x1080")]))
