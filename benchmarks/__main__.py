"""One entry point for the benchmarks: python -m benchmarks SUITE [ARGS...]

    python -m benchmarks list           the suites and what each measures
    python -m benchmarks goals --quick  one suite, its own arguments after its name
    python -m benchmarks all            every suite of `make bench`, in order

Each suite runs in a child interpreter started with -P (the installed package, never the
checkout's sources) from this folder, so its memory figures are its own.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# name: (script, what it measures); `make bench` runs them in this order.
SUITES = {
    "index": ("bench_bm25.py", "the BM25 index alone: indexing rate, latency, memory"),
    "goals": ("goals.py", "the performance goals against each peer at its best, with verdicts"),
    "compare": ("run.py", "every peer in its default and best configurations, with an oracle"),
    "road": ("filtered_road.py", "the filtered road alone (in goals; not in all)"),
    "ingest": ("ingest.py", "reading speed per file type against the bare parsers"),
    "classifier": ("classifier.py", "the default knowledge-type classifier on a judged sample"),
    "kb": ("kb.py", "the knowledge base at 100,000 passages: add, open, refresh, search"),
    "quality": ("quality.py", "answer quality on held-out questions: ours and every peer"),
    "quality-django": ("quality_django.py", "the older Django question set (not in all)"),
    "side-by-side": ("side_by_side.py", "the goals' search comparison alone (not in all)"),
    "flooding": ("hash_flooding.py", "colliding tokens against random ones (not in all)"),
    "dense": ("dense.py", "the dense road: encoding speed, quality by mode, 100,000 vectors"),
}
NOT_IN_ALL = {"road", "side-by-side", "flooding", "dense", "quality-django"}


def run(name: str, args: list[str]) -> int:
    script, _ = SUITES[name]
    print(f"== {name}: {script} {' '.join(args)}".rstrip(), flush=True)
    started = time.monotonic()
    # -P keeps the checkout's sources off the path; the suites' shared modules are put back.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
    code = subprocess.call([sys.executable, "-P", str(HERE / script), *args], env=env)
    print(f"== {name}: exit {code} after {time.monotonic() - started:.0f} s", flush=True)
    return code


def main(argv: list[str]) -> int:
    if not argv or argv[0] in ("-h", "--help", "list"):
        print(__doc__.strip())
        print()
        for name, (script, what) in SUITES.items():
            print(f"  {name:13} {script:18} {what}")
        return 0
    name, args = argv[0], argv[1:]
    if name == "all":
        failed = [n for n in SUITES if n not in NOT_IN_ALL and run(n, []) != 0]
        if failed:
            print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1 if failed else 0
    if name not in SUITES:
        print(f"unknown suite {name!r}; the suites: {', '.join(SUITES)}, all", file=sys.stderr)
        return 2
    return run(name, args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
