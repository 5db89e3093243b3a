"""Runs a Google Benchmark program with its repetitions interleaved at random, so a load
that comes and goes on a shared machine falls on all benchmarks alike, and gives the
median of each benchmark that ran without an error."""
import json
import subprocess


def medians(binary, repetitions, only=None):
    """`only`: a regular expression naming the benchmarks to run (all by default)."""
    out = subprocess.run(
        [binary, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
         "--benchmark_enable_random_interleaving=true", "--benchmark_report_aggregates_only=true",
         "--benchmark_min_time=0.2"] + ([f"--benchmark_filter={only}"] if only else []),
        check=True, capture_output=True, text=True).stdout
    return [b for b in json.loads(out)["benchmarks"]
            if b.get("aggregate_name") == "median" and not b.get("error_occurred")]
