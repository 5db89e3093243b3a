#!/usr/bin/env python3
"""Runs the analysis benchmarks and prints the ratios of medians measured in one run.

usage: bench/ratios.py build/bench/analysis_bench [repetitions]
"""
import json
import subprocess
import sys

binary = sys.argv[1]
repetitions = sys.argv[2] if len(sys.argv) > 2 else "7"
out = subprocess.run(
    [binary, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
     "--benchmark_enable_random_interleaving=true", "--benchmark_report_aggregates_only=true",
     "--benchmark_min_time=0.2"],
    check=True, capture_output=True, text=True).stdout
median = {}
for b in json.loads(out)["benchmarks"]:
    if b.get("aggregate_name") == "median":
        name, w, h = b["run_name"].split("/")
        median[(name, f"{w}x{h}")] = b["real_time"]

sizes = sorted({s for _, s in median}, key=lambda s: int(s.split("x")[0]))
print(f"{'size':>10} {'gray us':>9} {'cvtColor':>9} {'ratio':>6} {'/memcpy':>8} {'compare us':>11} {'OpenCV':>9} {'ratio':>6} {'/memcpy':>8}")
for s in sizes:
    g, cv, mg = median[("ToGrayscaleFast", s)], median[("OpenCvCvtColor", s)], median[("MemcpyGrayFrame", s)]
    c, cvc, mc = median[("CompareFramesFast", s)], median[("OpenCvCountsAndCentres", s)], median[("MemcpyCompareFrames", s)]
    print(f"{s:>10} {g:9.0f} {cv:9.0f} {g/cv:6.2f} {g/mg:8.2f} {c:11.0f} {cvc:9.0f} {c/cvc:6.2f} {c/mc:8.2f}")
print("portable/fast: gray %.1fx, compare %.1fx at 1920x1080" % (
    median[("ToGrayscalePortable", "1920x1080")] / median[("ToGrayscaleFast", "1920x1080")],
    median[("CompareFramesPortable", "1920x1080")] / median[("CompareFramesFast", "1920x1080")]))
print("extended reference/fast: gray %.0fx at 1920x1080" % (
    median[("ToGrayscaleReference", "1920x1080")] / median[("ToGrayscaleFast", "1920x1080")]))
