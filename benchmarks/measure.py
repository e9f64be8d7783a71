"""Small timing and memory helpers for the benchmarks."""

import ctypes
import gc
import multiprocessing
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
    """The one percentile of every benchmark: the value at rank floor(fraction * n) of the
    sorted values (no interpolation), so p50 and p99 are measured values."""
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


def timed(call, passes=3):
    """The fastest of `passes` runs of call(), in seconds (the warm-up is the caller's)."""
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def build_measured(system, texts, tokens=None):
    """Builds `system` over `texts`: (seconds, peak memory growth in bytes). Meant for a
    fresh child (in_child), so that the growth is the build's alone."""
    # Reading the texts writes their reference counts, which copies the parent's pages into
    # the child: done before the base is taken, so that no system pays for it.
    for _text in texts:
        pass
    gc.collect()
    restart_peak_rss()
    base = rss_kib("VmRSS")
    start = time.perf_counter()
    system.build(texts, tokens)
    seconds = time.perf_counter() - start
    return seconds, (rss_kib("VmHWM") - base) * 1024


def summary(values):
    return {
        "p50_ms": percentile(values, 0.50) * 1e3,
        "p99_ms": percentile(values, 0.99) * 1e3,
        "mean_ms": statistics.fmean(values) * 1e3,
    }


def in_child(target, *args):
    """target(*args, connection) in a forked process; what it sends, or an error record."""
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    process = context.Process(target=target, args=(*args, sender))
    process.start()
    sender.close()
    try:
        result = receiver.recv()
    except EOFError:
        result = {"error": "the measuring process died"}
    process.join()
    return result


def rss_kib(field):
    """A field of /proc/self/status in KiB: VmRSS now, VmHWM the peak."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def restart_peak_rss():
    """Makes VmHWM start again from the current RSS (Linux). Memory the C heap holds free is
    given back to the system first: a forked child that reused it would grow without its RSS
    showing it."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
