"""Compares revuradova with the BM25 libraries a user would pick instead, and checks its
scores against bm25s. Writes benchmarks/results/latest.json, a markdown table and a
latency chart, and refreshes the results section of benchmarks/README.md.

    python -m benchmarks compare            # real corpus, 10k, 100k and 1M synthetic documents
    python benchmarks/run.py --quick    # real corpus and 10k only
"""

import argparse
import platform
import time
from pathlib import Path

import corpora
import filtered_road
import report
from compare_report import markdown_table, plot, ratios
from measure import build_measured, in_child, percentile
from oracle import oracle
from systems import SYSTEMS, make

QUERY_COUNT = 1_000
RANK_BM25_QUERIES = 100  # it scores every document in Python per query term
RANK_BM25_BUDGET_S = 600

# Filled before forking, so that every measuring child shares them.
TEXTS: list[str] = []
QUERIES: list[str] = []


def available_mb():
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemAvailable:"):
            return int(line.split()[1]) / 1024
    return float("inf")


def measure_system(name, queries, connection):
    """Runs in a forked child: build, then time every query; report through `connection`."""
    system = make(name)
    build_s, growth = build_measured(system, TEXTS)
    latencies = []
    for q in queries:
        t = time.perf_counter()
        system.search(q)
        latencies.append(time.perf_counter() - t)
    connection.send(
        {
            "build_s": build_s,
            "peak_rss_growth_mb": growth / 1e6,
            "p50_ms": percentile(latencies, 0.5) * 1e3,
            "p99_ms": percentile(latencies, 0.99) * 1e3,
            "queries": len(queries),
        }
    )
    connection.close()


def bench_corpus(name, texts, vocabulary, seed, check_oracle, skip_rank_bm25):
    global TEXTS, QUERIES
    TEXTS = texts
    QUERIES = corpora.queries(vocabulary, QUERY_COUNT, seed)
    content_mb = sum(len(t.encode()) for t in texts) / 1e6
    print(f"\n== {name}: {len(texts):,} documents, {content_mb:.1f} MB ==", flush=True)
    entry = {"corpus": name, "documents": len(texts), "content_mb": content_mb, "systems": {}}
    for name in SYSTEMS:
        if name == "rank_bm25" and skip_rank_bm25:
            entry["systems"][name] = {
                "skipped": "projected beyond 10 minutes or half the free memory"
            }
            print(
                f"  {name:<38} skipped (projected beyond {RANK_BM25_BUDGET_S // 60} minutes "
                "or half the free memory)"
            )
            continue
        queries = QUERIES[:RANK_BM25_QUERIES] if name == "rank_bm25" else QUERIES
        r = in_child(measure_system, name, queries)
        if "error" not in r:
            r["docs_per_s"] = len(texts) / r["build_s"]
            r["mb_per_s"] = content_mb / r["build_s"]
        entry["systems"][name] = r
        if "error" in r:
            print(f"  {name:<38} {r['error']}")
        else:
            print(
                f"  {name:<38} index {r['build_s']:8.2f} s {r['docs_per_s']:>11,.0f} docs/s "
                f"{r['mb_per_s']:7.1f} MB/s  peak +{r['peak_rss_growth_mb']:7.1f} MB  "
                f"search p50 {r['p50_ms']:8.3f} ms p99 {r['p99_ms']:8.3f} ms",
                flush=True,
            )
    if check_oracle:
        o = in_child(oracle, TEXTS, QUERIES)
        entry["oracle"] = o
        print(
            f"  oracle vs bm25s: {o.get('score_mismatches')} score and {o.get('top10_mismatches')} "
            f"top-10 mismatches over {o.get('queries')} queries; "
            f"{o.get('score_mismatches_equal_to_float32_reference')} of the score mismatches equal "
            f"the independent 32-bit computation",
            flush=True,
        )
    return entry


def filtered_roads(vocabulary, sizes):
    """The filtered road first, each size in a fresh child so that its objects never
    fragment the heap that later memory measurements start from."""
    print("\n== filtered road ==")
    roads = []
    for size in [s for s in sizes if s <= 100_000]:
        r = in_child(filtered_road.child, vocabulary, size)
        roads.append(r)
        print(
            f"  {size:>9,} docs {r['content_mb']:6.1f} MB: {r['revuradova_ms']:8.2f} ms/search "
            f"({r['revuradova_mb_per_s']:,.0f} MB/s), pure Python {r['pure_python_ms']:9.1f} ms "
            f"(x{r['speedup_vs_pure_python']:.1f}, agree {r['pure_python_agreement']}), "
            f"yardstick {r['yardstick_ms']:8.2f} ms (x{r['speedup_vs_yardstick']:.2f})",
            flush=True,
        )
    return roads


def synthetic_corpora(vocabulary, sizes, quick):
    """The synthetic corpora, each size in turn; rank_bm25 is skipped where its time or
    memory, projected from its last corpus, would run past the budget."""
    entries = []
    rank_bm25_rate = rank_bm25_bytes = None
    for size in sizes:
        texts = corpora.synthetic_documents(vocabulary, size, seed=size)
        projected_s = rank_bm25_rate * size if rank_bm25_rate else 0
        projected_mb = rank_bm25_bytes * size if rank_bm25_bytes else 0
        entry = bench_corpus(
            f"synthetic {size:,}",
            texts,
            vocabulary,
            seed=size + 1,
            check_oracle=size == 100_000 or (quick and size == sizes[0]),
            skip_rank_bm25=projected_s > RANK_BM25_BUDGET_S or projected_mb > 0.5 * available_mb(),
        )
        r = entry["systems"].get("rank_bm25", {})
        if "build_s" in r:
            rank_bm25_rate = (r["build_s"] + r["p50_ms"] / 1e3 * RANK_BM25_QUERIES) / size
            rank_bm25_bytes = r["peak_rss_growth_mb"] / size
        entry["ratios"] = ratios(entry)
        entries.append(entry)
    return entries


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--quick", action="store_true", help="real corpus and 10,000 documents only"
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=None)
    args = parser.parse_args()
    sizes = args.sizes or ([10_000] if args.quick else [10_000, 100_000, 1_000_000])

    started = time.time()
    docstrings = corpora.stdlib_docstrings()
    real_texts = [doc for _, doc in docstrings]
    real_tokens = [corpora.tokenize(t) for t in real_texts]
    vocabulary = corpora.ranked_vocabulary(real_tokens)
    marks = sum(corpora.has_combining_marks(t) for t in real_texts)
    print(
        f"real corpus: {len(real_texts):,} docstrings of Python {platform.python_version()}, "
        f"{len(vocabulary):,} distinct terms, {marks} with combining marks"
    )

    results = {
        "date": report.today(),
        "machine": report.machine(),
        "real_corpus": {
            "docstrings": len(real_texts),
            "vocabulary": len(vocabulary),
            "with_combining_marks": marks,
        },
        "corpora": [],
    }

    results["filtered_road"] = filtered_roads(vocabulary, sizes)

    entry = bench_corpus(
        "stdlib docstrings",
        real_texts,
        vocabulary,
        seed=100,
        check_oracle=True,
        skip_rank_bm25=False,
    )
    entry["ratios"] = ratios(entry)
    results["corpora"].append(entry)

    results["corpora"] += synthetic_corpora(vocabulary, sizes, args.quick)

    results["elapsed_s"] = time.time() - started
    report.write("latest", results, markdown_table(results), plot, "results")
    print(
        f"\nwrote {report.RESULTS / 'latest.json'} and benchmarks/README.md in {results['elapsed_s']:.0f} s"
    )


if __name__ == "__main__":
    main()
