"""The knowledge base's speed: add, open, refresh, search and ask at scale.

    python -m benchmarks kb [--passages N] [--files F]

A folder of F text files holding N passages in all, written from the standard library's
docstrings; then: add (read, store, index), open of the stored base (index rebuilt from
SQLite), refresh of the unchanged folder (fingerprints only), search and ask p50/p99 over
300 queries drawn from the passages' own words, resident memory per passage, and removal
of one file and of 100 files in one call.
Writes results/kb.json and results/kb.md.
"""

from __future__ import annotations

import argparse
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import report  # noqa: E402
from corpora import stdlib_docstrings  # noqa: E402
from measure import current_rss_bytes, percentile  # noqa: E402

from revuradova.kb import KnowledgeBase  # noqa: E402


def timed(function):
    start = time.perf_counter()
    value = function()
    return value, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--passages", type=int, default=100_000)
    parser.add_argument("--files", type=int, default=2_000)
    args = parser.parse_args()
    paragraphs = [" ".join(p.split()) for _, d in stdlib_docstrings() for p in d.split("\n\n")]
    paragraphs = [p for p in paragraphs if len(p.split()) >= 5]
    per_file = max(1, args.passages // args.files)
    rng = random.Random(5)
    with tempfile.TemporaryDirectory() as work:
        root = Path(work, "docs")
        for f in range(args.files):
            folder = root / f"team{f % 20}"
            folder.mkdir(parents=True, exist_ok=True)
            # One section, so one passage, per paragraph.
            body = "".join(f"## Part {i}\n\n{rng.choice(paragraphs)}\n\n" for i in range(per_file))
            (folder / f"doc{f}.md").write_text(f"# Document {f}\n\n{body}")
        store = Path(work, "kb.sqlite")
        base_rss = current_rss_bytes()
        kb = KnowledgeBase.open(store)
        change, add_s = timed(lambda: kb.add(root))
        rss = current_rss_bytes() - base_rss
        count = len(kb)
        words = [w for p in rng.sample(paragraphs, 300) for w in p.split()[:3]]
        queries = [" ".join(rng.sample(words, 3)) for _ in range(300)]
        search = [timed(lambda q=q: kb.search(q, 10))[1] for q in queries]
        ask = [timed(lambda q=q: kb.ask(f"How do I {q}?", 5))[1] for q in queries]
        kb.close()
        reopened, open_s = timed(lambda: KnowledgeBase.open(store))
        _, refresh_s = timed(reopened.refresh)
        # Removal rebuilds the index from the kept objects: once per call, however many
        # files it drops.
        _, remove_one_s = timed(lambda: reopened.remove(root / "team0" / "doc0.md"))
        batch = [root / f"team{f % 20}" / f"doc{f}.md" for f in range(1, 101)]
        _, remove_batch_s = timed(lambda: reopened.remove(batch))
        reopened.close()
    result = {
        "files": args.files,
        "passages": count,
        "add_s": add_s,
        "open_s": open_s,
        "refresh_unchanged_s": refresh_s,
        "remove_one_file_s": remove_one_s,
        "remove_100_files_one_call_s": remove_batch_s,
        "rss_bytes_per_passage": rss / max(count, 1),
        "search_ms": {"p50": percentile(search, 0.5) * 1e3, "p99": percentile(search, 0.99) * 1e3},
        "ask_ms": {"p50": percentile(ask, 0.5) * 1e3, "p99": percentile(ask, 0.99) * 1e3},
        "files_read": change.files_read,
    }
    lines = [
        f"{count:,} passages in {args.files:,} files: add {add_s:.1f} s, open {open_s:.2f} s "
        f"(index rebuilt), refresh of the unchanged folder {refresh_s:.2f} s, "
        f"{result['rss_bytes_per_passage']:,.0f} bytes of memory per passage.",
        f"search p50 / p99: {result['search_ms']['p50']:.2f} / {result['search_ms']['p99']:.2f} "
        f"ms; ask: {result['ask_ms']['p50']:.2f} / {result['ask_ms']['p99']:.2f} ms.",
        f"remove one file {remove_one_s:.2f} s; 100 files in one call {remove_batch_s:.2f} s "
        f"(one index rebuild each).",
    ]
    report.write("kb", result, "\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
