"""Small timing and memory helpers for the benchmarks."""

import resource
import statistics
import time


def peak_rss_bytes():
    """Peak resident set size of this process so far (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss_bytes():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * resource.getpagesize()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def latencies(function, inputs):
    """Seconds per call of function(x) for every x."""
    out = []
    for x in inputs:
        start = time.perf_counter()
        function(x)
        out.append(time.perf_counter() - start)
    return out


def summary(values):
    return {
        "p50_ms": percentile(values, 0.50) * 1e3,
        "p99_ms": percentile(values, 0.99) * 1e3,
        "mean_ms": statistics.fmean(values) * 1e3,
    }
