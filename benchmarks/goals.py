"""The performance goals, measured side by side with each peer in its best configuration,
and a verdict per goal, corpus and query class.

Search: every query runs on every system in turn (a warm-up pass, then the minimum of 3
timed passes per query); classes are short (1-3 terms), long (8-15 terms) and no match.
Peers: bm25s with its numba backend (same formula, fed our token ids, so it does no
tokenizing) and tantivy with frequency-only postings (queries parsed outside the timer, no
document fetched). Indexing and memory: each system builds alone in a fresh process, from
texts already in memory, and the peak RSS growth is what the build added. The filtered
road: PyRetrievalOrchestrator.search over 100,000 passed documents, against the release
before this work and against one C memchr pass over the same contents.

    python -m benchmarks goals            # wide 10k/100k/1M, Zipf 100k, paragraphs, boilerplate,
                                          # the knowledge base's passages
    python -m benchmarks goals --quick    # without the 100k and 1M synthetic corpora

Writes benchmarks/results/goals.json and goals.md and refreshes the goals section of
benchmarks/README.md.
"""

import argparse
import gc
import statistics
import time

import corpora
import filtered_road
import report
import verdicts
from goal_corpora import (
    CLASSES,
    boilerplate_corpus,
    kb_passage_corpus,
    paragraph_corpus,
    wide_corpus,
    zipf_corpus,
)
from measure import build_measured, in_child, percentile, timed
from systems import Revuradova, Tantivy, make

# The peers of every goal, in their best configurations.
PEERS = ["bm25s numba", "tantivy freq"]

# Filled before forking, so that every measuring child shares them.
CORPUS: dict = {}


def build_child(system, connection):
    """Builds one system over CORPUS alone: its time and peak memory growth."""
    corpus = CORPUS["corpus"]
    if system == "ours":  # as a caller streaming documents would: no position map
        built = Revuradova(positions=False)
    elif system == "tantivy small heap":
        built = Tantivy(index_option="freq", stored=False, heap_bytes=100_000_000)
    else:
        built = make(system)
    build_s, growth = build_measured(built, corpus.texts)
    out = {"build_s": build_s, "peak_growth_bytes": growth}
    if system == "ours":
        out["inside_s"] = built.inside_s
    connection.send(out)
    connection.close()


def search_child(connection):
    connection.send(search_side_by_side(CORPUS["corpus"]))
    connection.close()


def search_side_by_side(corpus):
    """Builds ours and the peers over `corpus` and times every query on each in turn
    (queries prepared outside the timer): {class: {system: {mean_ms, p50_ms, p99_ms, qps}}}."""
    systems = {"ours": Revuradova(positions=False)} | {name: make(name) for name in PEERS}
    runners = {}
    for name, system in systems.items():
        system.build(corpus.texts, (corpus.token_ids, corpus.vocabulary))
        prepared = {q: system.prepare(q) for q in corpus.queries}
        runners[name] = lambda q, run=system.run, prepared=prepared: run(prepared[q])
    gc.collect()

    for run in runners.values():  # warm-up
        for q in corpus.queries:
            run(q)
    times = {name: [] for name in runners}
    for q in corpus.queries:
        for name, run in runners.items():
            times[name].append(timed(lambda run=run, q=q: run(q)))

    out = {}
    for cls in CLASSES:
        picked = [i for i, c in enumerate(corpus.classes) if c == cls]
        out[cls] = {}
        for name in runners:
            values = [times[name][i] for i in picked]
            out[cls][name] = {
                "mean_ms": statistics.fmean(values) * 1e3,
                "p50_ms": percentile(values, 0.50) * 1e3,
                "p99_ms": percentile(values, 0.99) * 1e3,
                "qps": 1 / statistics.fmean(values),
            }
    return out


def plot(results, path):
    """Mean latency per corpus and class, ours beside each peer, on a log scale."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [
        (f"{corpus}\n{cls}", systems)
        for corpus, search in results["search"].items()
        for cls, systems in search.items()
        if cls != "no match"
    ]
    fig, ax = plt.subplots(figsize=(10, 0.45 * len(rows) + 1.5))
    height = 0.8 / len(results["systems"])
    for k, name in enumerate(results["systems"]):
        ax.barh(
            [i + k * height for i in range(len(rows))],
            [systems[name]["mean_ms"] for _, systems in rows],
            height=height,
            label=name,
        )
    ax.set_yticks([i + height for i in range(len(rows))], [label for label, _ in rows], fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("mean search latency, ms (log scale; shorter is better)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def corpus_plan(quick):
    yield lambda: wide_corpus(10_000, 10)
    if not quick:
        yield lambda: wide_corpus(100_000, 20)
        yield lambda: zipf_corpus(100_000, 2)
        yield lambda: wide_corpus(1_000_000, 30)
    yield lambda: paragraph_corpus(40)
    yield lambda: boilerplate_corpus(50)
    yield lambda: kb_passage_corpus(60)


def measure_corpus(corpus, quick, rows, results):
    """Search on every corpus; indexing and memory on the 1M and paragraph corpora (all
    but the boilerplate one with --quick)."""
    print(f"== {corpus.name}: {corpus.tokens:,} tokens, {corpus.postings:,} postings", flush=True)
    if hasattr(corpus, "sources"):
        results["paragraph_sources"] = corpus.sources
    if hasattr(corpus, "boilerplate_sources"):
        results["boilerplate_sources"] = corpus.boilerplate_sources
    search = in_child(search_child)
    if "error" in search:
        print(f"  search: {search['error']}")
    else:
        results["search"][corpus.name] = search
        verdicts.search_verdicts(rows, corpus.name, search)
        for cls in CLASSES:
            cells = "".join(
                f"  {n} {s['mean_ms']:.3f}/{s['p50_ms']:.3f}/{s['p99_ms']:.3f}"
                for n, s in search[cls].items()
            )
            print(f"  {cls:9}{cells}", flush=True)
    builds_here = corpus.name.startswith(("wide synthetic 1,000,000", "docstring"))
    if builds_here or (quick and not corpus.name.startswith(("package docs", "knowledge-base"))):
        systems = ["ours", "tantivy freq", "tantivy small heap"]
        builds = {system: in_child(build_child, system) for system in systems}
        results["builds"][corpus.name] = builds
        for system, b in builds.items():
            print(
                f"  build {system:18} {b['build_s']:7.2f} s, "
                f"peak +{b['peak_growth_bytes'] / 1e6:8.1f} MB "
                f"({b['peak_growth_bytes'] / corpus.postings:5.1f} B/posting)",
                flush=True,
            )
        verdicts.build_verdicts(rows, corpus, builds)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    started = time.time()
    rows = []
    results = {"date": report.today(), "machine": report.machine(), "quick": args.quick,
               "systems": ["ours", *PEERS], "verdicts": rows, "search": {}, "builds": {}}  # fmt: skip
    for build in corpus_plan(args.quick):
        CORPUS["corpus"] = build()
        measure_corpus(CORPUS["corpus"], args.quick, rows, results)
        CORPUS.clear()
        gc.collect()

    road = results["filtered_road"] = in_child(
        filtered_road.child, corpora.random_vocabulary(20_000, seed=5), 100_000
    )
    verdicts.road_verdicts(rows, road)
    print(
        f"== filtered road: {road['revuradova_ms']:.2f} ms/search, memchr {road['memchr_ms']:.2f} ms",
        flush=True,
    )
    results["elapsed_s"] = time.time() - started
    table = verdicts.markdown(results)
    report.write("goals", results, table, plot, None if args.quick else "goals")
    print()
    print(table)


if __name__ == "__main__":
    main()
