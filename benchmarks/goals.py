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

    python -m benchmarks goals            # wide synthetic 10k/100k/1M, Zipf 100k, paragraphs
    python -m benchmarks goals --quick    # wide synthetic 10k and the paragraphs only

Writes benchmarks/results/goals.json and goals.md and refreshes the goals section of
benchmarks/README.md.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
import filtered_road  # noqa: E402
import numpy as np  # noqa: E402
from measure import in_child, percentile, restart_peak_rss, rss_kib  # noqa: E402

RESULTS = HERE / "results"
README = HERE / "README.md"
TOP = 10
QUERIES = 300
CLASSES = ["short", "long", "no match"]

# The filtered road of the release before this work (commit fad427f), measured on the
# machine of the README with `python benchmarks/filtered_road.py --docs 100000`.
FILTERED_ROAD_BASELINE_MS = 78.4

# Filled before forking, so that every measuring child shares them.
CORPUS: dict = {}


class Corpus:
    """Texts, the word numbers of every text (for bm25s), the queries and their classes."""

    def __init__(self, name, texts, token_ids, vocabulary, queries):
        self.name = name
        self.texts = texts
        self.token_ids = token_ids
        self.vocabulary = vocabulary
        self.queries = queries
        self.classes = [query_class(i) for i in range(len(queries))]
        self.tokens = int(sum(len(ids) for ids in token_ids))
        self.postings = int(sum(len(np.unique(ids)) for ids in token_ids))


def query_class(i):
    if i % 10 == 9:
        return "no match"
    return "short" if i % 2 == 0 else "long"


def wide_corpus(count, seed):
    texts, token_ids, vocabulary, weights = corpora.wide_synthetic(count, seed)
    queries = corpora.weighted_queries(vocabulary, weights, QUERIES, seed + 1)
    return Corpus(f"wide synthetic {count:,}", texts, token_ids, vocabulary, queries)


def tokenized_corpus(name, texts, query_vocabulary, seed):
    vocabulary = {}
    token_ids = [
        np.array([vocabulary.setdefault(t, len(vocabulary)) for t in corpora.tokenize(text)])
        for text in texts
    ]
    words = sorted(vocabulary, key=vocabulary.get)
    queries = corpora.queries(query_vocabulary, QUERIES, seed)
    return Corpus(name, texts, token_ids, words, queries)


def zipf_corpus(count, seed):
    vocabulary = corpora.random_vocabulary(50_000)
    texts = corpora.synthetic_documents(vocabulary, count, seed=seed)
    return tokenized_corpus(f"Zipf synthetic {count:,} (former generator)", texts, vocabulary, seed)


def real_corpus(name, paragraphs, seed):
    """A corpus of real paragraphs, queried over their own vocabulary ranked by frequency."""
    tokens = [corpora.tokenize(p) for p in paragraphs]
    return tokenized_corpus(
        f"{name} {len(paragraphs):,}", paragraphs, corpora.ranked_vocabulary(tokens), seed
    )


def paragraph_corpus(seed):
    paragraphs, sources = corpora.docstring_paragraphs()
    corpus = real_corpus("docstring paragraphs", paragraphs, seed)
    corpus.sources = sources
    return corpus


def boilerplate_corpus(seed):
    paragraphs, sources = corpora.boilerplate_paragraphs()
    corpus = real_corpus("package docs, boilerplate", paragraphs, seed)
    corpus.boilerplate_sources = sources
    return corpus


# -- the systems ----------------------------------------------------------------------


def build_ours(texts):
    """Creates each knowledge object, indexes it and lets it go, as a caller streaming
    documents would. Returns the index, the total seconds and the seconds spent inside
    index_document."""
    from revuradova import PyBM25Indexer, PyKnowledgeObject

    index = PyBM25Indexer()
    inside = 0.0
    clock = time.perf_counter
    start = clock()
    for i, text in enumerate(texts):
        obj = PyKnowledgeObject("markdown", str(i), "reference", "bench", text)
        t = clock()
        index.index_document(obj)
        inside += clock() - t
    return index, clock() - start, inside


def build_bm25s(corpus):
    import bm25s

    vocab = {word: i for i, word in enumerate(corpus.vocabulary)}
    retriever = bm25s.BM25(method="atire", idf_method="lucene", k1=1.5, b=0.75, backend="numba")
    start = time.perf_counter()
    retriever.index(
        bm25s.tokenization.Tokenized(ids=corpus.token_ids, vocab=vocab), show_progress=False
    )
    return (retriever, vocab), time.perf_counter() - start


def build_tantivy(texts, heap_bytes):
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False, index_option="freq")
    index = tantivy.Index(builder.build())
    start = time.perf_counter()
    writer = index.writer(heap_size=heap_bytes, num_threads=1)
    for text in texts:
        writer.add_document(tantivy.Document(body=text))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    return (index, index.searcher()), time.perf_counter() - start


def build_child(system, connection):
    """Builds one system over CORPUS alone and reports its time and peak memory growth."""
    corpus = CORPUS["corpus"]
    for _text in corpus.texts:  # touch the shared pages before the memory base is taken
        pass
    gc.collect()
    restart_peak_rss()
    base = rss_kib("VmRSS")
    out = {}
    if system == "ours":
        _, out["build_s"], out["inside_s"] = build_ours(corpus.texts)
    elif system == "tantivy":
        _, out["build_s"] = build_tantivy(corpus.texts, 1_000_000_000)
    elif system == "tantivy small heap":
        _, out["build_s"] = build_tantivy(corpus.texts, 100_000_000)
    out["peak_growth_bytes"] = (rss_kib("VmHWM") - base) * 1024
    connection.send(out)
    connection.close()


def timed(call, passes=3):
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def search_child(connection):
    connection.send(search_side_by_side(CORPUS["corpus"]))
    connection.close()


def search_side_by_side(corpus):
    """Builds the three systems over `corpus` and times every query on each in turn:
    {class: {system: {mean_ms, p50_ms, p99_ms, qps}}}."""
    ours, _, _ = build_ours(corpus.texts)
    runners = {"ours": lambda q: ours.search(q, TOP)}
    (retriever, vocab), _ = build_bm25s(corpus)
    prepared = {}
    for q in corpus.queries:
        prepared[q] = [vocab[t] for t in corpora.tokenize(q) if t in vocab]

    def bm25s_search(ids):
        if ids:
            retriever.retrieve(
                [ids], k=TOP, show_progress=False, n_threads=1, backend_selection="numba"
            )

    runners["bm25s numba"] = lambda q: bm25s_search(prepared[q])
    (tindex, searcher), _ = build_tantivy(corpus.texts, 1_000_000_000)
    parsed = {q: tindex.parse_query(q, ["body"]) for q in corpus.queries}
    runners["tantivy freq"] = lambda q: searcher.search(parsed[q], TOP)
    gc.collect()

    for run in runners.values():  # warm-up (numba compiles here)
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
            p50, p99 = percentile(values, 0.50), percentile(values, 0.99)
            out[cls][name] = {
                "mean_ms": statistics.fmean(values) * 1e3,
                "p50_ms": p50 * 1e3,
                "p99_ms": p99 * 1e3,
                "qps": 1 / statistics.fmean(values),
            }
    return out


def filtered_road_child(connection):
    vocabulary = corpora.random_vocabulary(20_000, seed=5)
    connection.send(filtered_road.run(vocabulary, 100_000))
    connection.close()


# -- verdicts -------------------------------------------------------------------------


def verdict(rows, goal, corpus, cls, measure, ours, peer_name, peer, target, higher_is_better):
    ratio = ours / peer if peer else float("inf")
    met = bool(ratio >= target if higher_is_better else ratio <= target)
    rows.append(
        {
            "goal": goal,
            "corpus": corpus,
            "class": cls,
            "measure": measure,
            "ours": ours,
            "peer": peer_name,
            "peer_value": peer,
            "ratio": ratio,
            "target": f"{'>=' if higher_is_better else '<='} {target:g}",
            "met": met,
        }
    )


def search_verdicts(rows, corpus_name, search):
    for cls in ["short", "long"]:
        for stat, target in [("mean_ms", 0.5), ("p50_ms", 0.5), ("p99_ms", 1.0)]:
            peers = {n: v[stat] for n, v in search[cls].items() if n != "ours"}
            best = min(peers, key=peers.get)
            verdict(
                rows,
                "search",
                corpus_name,
                cls,
                stat.replace("_ms", " ms"),
                search[cls]["ours"][stat],
                best,
                peers[best],
                target,
                higher_is_better=False,
            )


def build_verdicts(rows, corpus, builds):
    ours, tantivy = builds["ours"], builds["tantivy"]
    docs = len(corpus.texts)
    verdict(
        rows,
        "indexing",
        corpus.name,
        "",
        "docs/s (objects and tokens included)",
        docs / ours["build_s"],
        "tantivy freq",
        docs / tantivy["build_s"],
        2.0,
        higher_is_better=True,
    )
    rows.append(
        {
            "goal": "indexing",
            "corpus": corpus.name,
            "class": "",
            "measure": "ns per token inside index_document",
            "ours": ours["inside_s"] / corpus.tokens * 1e9,
            "peer": "",
            "peer_value": None,
            "ratio": None,
            "target": "<= 40",
            "met": bool(ours["inside_s"] / corpus.tokens * 1e9 <= 40),
        }
    )
    leanest = min(
        (name for name in builds if name.startswith("tantivy")),
        key=lambda name: builds[name]["peak_growth_bytes"],
    )
    verdict(
        rows,
        "memory",
        corpus.name,
        "",
        "peak growth bytes per posting",
        ours["peak_growth_bytes"] / corpus.postings,
        leanest,
        builds[leanest]["peak_growth_bytes"] / corpus.postings,
        1.0,
        higher_is_better=False,
    )


def road_verdicts(rows, road):
    yardsticks = [
        ("release before (fad427f)", FILTERED_ROAD_BASELINE_MS, 0.25),
        ("C memchr pass", road["memchr_ms"], 3.0),
    ]
    for name, value, target in yardsticks:
        verdict(
            rows,
            "filtered road",
            "100,000 passed documents",
            "",
            "ms per search",
            road["revuradova_ms"],
            name,
            value,
            target,
            higher_is_better=False,
        )


def number(value):
    if value is None:
        return ""
    if value >= 1000:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def markdown(results):
    lines = [
        f"Measured {results['date']} on {results['machine']} with Python {results['python']}, "
        f"in {results['elapsed_s'] / 60:.0f} minutes (`python -m benchmarks goals"
        f"{' --quick' if results['quick'] else ''}`).",
        "",
        "| goal | corpus | class | measure | ours | peer | peer's | ratio | target | met |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results["verdicts"]:
        ratio = "" if r["ratio"] is None else f"{r['ratio']:.2f}"
        lines.append(
            f"| {r['goal']} | {r['corpus']} | {r['class']} | {r['measure']} | "
            f"{number(r['ours'])} | {r['peer']} | {number(r['peer_value'])} | {ratio} | "
            f"{r['target']} | {'yes' if r['met'] else '**no**'} |"
        )
    held = sum(r["met"] for r in results["verdicts"])
    lines += ["", f"{held} of {len(results['verdicts'])} goals hold."]
    lines += ["", "Search latency per class (mean / p50 / p99 ms):", ""]
    lines += ["| corpus | class | " + " | ".join(results["systems"]) + " |"]
    lines += ["|---|---|" + "---|" * len(results["systems"])]
    for name, search in results["search"].items():
        for cls in CLASSES:
            cells = [
                f"{s['mean_ms']:.3f} / {s['p50_ms']:.3f} / {s['p99_ms']:.3f}"
                for s in search[cls].values()
            ]
            lines.append(f"| {name} | {cls} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


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


def refresh_readme(table):
    begin, end = "<!-- goals:begin -->", "<!-- goals:end -->"
    text = README.read_text()
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        _, tail = rest.split(end, 1)
        README.write_text(f"{head}{begin}\n{table}{end}{tail}")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    started = time.time()

    def corpus_plan():
        yield lambda: wide_corpus(10_000, 10)
        if not args.quick:
            yield lambda: wide_corpus(100_000, 20)
            yield lambda: zipf_corpus(100_000, 2)
            yield lambda: wide_corpus(1_000_000, 30)
        yield lambda: paragraph_corpus(40)
        yield lambda: boilerplate_corpus(50)

    rows, search_tables, builds_by_corpus, extra = [], {}, {}, {}
    for make in corpus_plan():
        corpus = make()
        CORPUS["corpus"] = corpus
        print(
            f"== {corpus.name}: {corpus.tokens:,} tokens, {corpus.postings:,} postings",
            flush=True,
        )
        if hasattr(corpus, "sources"):
            extra["paragraph_sources"] = corpus.sources
        if hasattr(corpus, "boilerplate_sources"):
            extra["boilerplate_sources"] = corpus.boilerplate_sources
        search = in_child(search_child)
        if "error" in search:
            print(f"  search: {search['error']}")
        else:
            search_tables[corpus.name] = search
            search_verdicts(rows, corpus.name, search)
            for cls in CLASSES:
                print(
                    f"  {cls:9}"
                    + "".join(
                        f"  {n} {s['mean_ms']:.3f}/{s['p50_ms']:.3f}/{s['p99_ms']:.3f}"
                        for n, s in search[cls].items()
                    ),
                    flush=True,
                )
        builds_here = corpus.name.startswith(("wide synthetic 1,000,000", "docstring"))
        if builds_here or (args.quick and not corpus.name.startswith("package docs")):
            builds = {
                system: in_child(build_child, system)
                for system in ["ours", "tantivy", "tantivy small heap"]
            }
            builds_by_corpus[corpus.name] = builds
            for system, b in builds.items():
                print(
                    f"  build {system:18} {b['build_s']:7.2f} s, "
                    f"peak +{b['peak_growth_bytes'] / 1e6:8.1f} MB "
                    f"({b['peak_growth_bytes'] / corpus.postings:5.1f} B/posting)",
                    flush=True,
                )
            build_verdicts(rows, corpus, builds)
        CORPUS.clear()
        del corpus
        gc.collect()

    road = in_child(filtered_road_child)
    road_verdicts(rows, road)
    print(
        f"== filtered road: {road['revuradova_ms']:.2f} ms/search, memchr {road['memchr_ms']:.2f} ms",
        flush=True,
    )

    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        platform.machine(),
    )
    results = {
        "date": time.strftime("%Y-%m-%d"),
        "machine": f"{cpu}, {len(os.sched_getaffinity(0))} cores",
        "python": platform.python_version(),
        "quick": args.quick,
        "systems": ["ours", "bm25s numba", "tantivy freq"],
        "verdicts": rows,
        "search": search_tables,
        "builds": builds_by_corpus,
        "filtered_road": road,
        **extra,
        "elapsed_s": time.time() - started,
    }
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "goals.json").write_text(json.dumps(results, indent=2) + "\n")
    plot(results, RESULTS / "goals.png")
    table = markdown(results)
    (RESULTS / "goals.md").write_text(table + "\n![mean search latency](goals.png)\n")
    if not args.quick:
        refresh_readme(table + "\n![mean search latency](results/goals.png)\n")
    print()
    print(table)


if __name__ == "__main__":
    main()
