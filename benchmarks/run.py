"""Compares revuradova with the BM25 libraries a user would pick instead, and checks its
scores against bm25s. Writes benchmarks/results/latest.json, a markdown table and a
latency chart, and refreshes the results section of benchmarks/README.md.

    python -m benchmarks compare            # real corpus, 10k, 100k and 1M synthetic documents
    python benchmarks/run.py --quick    # real corpus and 10k only
"""

import argparse
import json
import multiprocessing
import platform
import sys
import time
from pathlib import Path

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
import filtered_road  # noqa: E402
from measure import in_child, percentile, rss_kib  # noqa: E402
from systems import SYSTEMS, RankBm25  # noqa: E402

RESULTS = HERE / "results"
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


def measure_system(system_class, queries, connection):
    """Runs in a forked child: build, then time every query; report through `connection`."""
    # Reading the texts writes their reference counts, which copies the parent's pages into
    # this child; do it before the clock starts so that no system pays for it.
    for _text in TEXTS:
        pass
    try:
        Path("/proc/self/clear_refs").write_text("5")  # restart the peak-RSS counter
    except OSError:
        pass
    base_kib = rss_kib("VmRSS")
    system = system_class()
    start = time.perf_counter()
    system.build(TEXTS)
    build_s = time.perf_counter() - start
    peak_kib = rss_kib("VmHWM")
    latencies = []
    for q in queries:
        t = time.perf_counter()
        system.search(q)
        latencies.append(time.perf_counter() - t)
    connection.send(
        {
            "build_s": build_s,
            "peak_rss_growth_mb": (peak_kib - base_kib) * 1024 / 1e6,
            "p50_ms": percentile(latencies, 0.5) * 1e3,
            "p99_ms": percentile(latencies, 0.99) * 1e3,
            "queries": len(queries),
        }
    )
    connection.close()


def filtered_road_child(vocabulary, size, connection):
    connection.send(filtered_road.run(vocabulary, size))
    connection.close()


def oracle(queries, connection):
    """Our scores and top 10 against bm25s fed our own token lists."""
    import bm25s

    from revuradova import PyBM25Indexer, PyKnowledgeObject

    index = PyBM25Indexer()
    position = {}
    for i, text in enumerate(TEXTS):
        obj = PyKnowledgeObject("markdown", str(i), "reference", "bench", text)
        position[obj.id] = i
        index.index_document(obj)
    token_lists = [corpora.tokenize(t) for t in TEXTS]
    retriever = bm25s.BM25(method="atire", idf_method="lucene", k1=1.5, b=0.75)
    retriever.index(token_lists, show_progress=False)
    reference = Float32Reference(token_lists)

    score_mismatches, order_mismatches, examples = 0, 0, []
    explained = 0  # mismatches where ours equals the 32-bit formula computed independently
    for q in queries:
        ours = [(position[d], s) for d, s in index.search(q, 10)]
        query_tokens = corpora.tokenize(q)
        theirs_all = retriever.get_scores(query_tokens)
        for doc, score in ours:
            if abs(float(theirs_all[doc]) - score) > 1e-5 * abs(score):
                score_mismatches += 1
                expected32 = reference.score(query_tokens, doc)
                explained += abs(expected32 - score) <= 2e-7 * abs(score)
                if len(examples) < 5:
                    examples.append(
                        {
                            "query": q,
                            "doc": doc,
                            "ours": score,
                            "bm25s": float(theirs_all[doc]),
                            "float32_reference": expected32,
                            "smallest_idf64": reference.smallest_idf64(query_tokens, doc),
                        }
                    )
        order = sorted(((-float(s), i) for i, s in enumerate(theirs_all) if s > 0))[:10]
        theirs = [(i, -negative) for negative, i in order]
        if len(theirs) != len(ours):
            order_mismatches += 1
            continue
        for (our_doc, our_score), (their_doc, their_score) in zip(ours, theirs, strict=False):
            # Different documents at a rank are fine only where the scores tie.
            if our_doc != their_doc and abs(our_score - their_score) > 1e-5 * abs(our_score):
                order_mismatches += 1
                break
    connection.send(
        {
            "queries": len(queries),
            "score_mismatches": score_mismatches,
            "score_mismatches_equal_to_float32_reference": explained,
            "top10_mismatches": order_mismatches,
            "examples": examples,
        }
    )
    connection.close()


class Float32Reference:
    """Our BM25 formula evaluated independently with NumPy float32 operations in the same
    order, to tell a 32-bit rounding difference from a scoring fault."""

    def __init__(self, token_lists):
        import collections

        import numpy as np

        self.np = np
        self.n = len(token_lists)
        self.df = collections.Counter(t for tokens in token_lists for t in set(tokens))
        self.tf = [collections.Counter(tokens) for tokens in token_lists]
        self.lengths = [len(tokens) for tokens in token_lists]
        f32 = np.float32
        self.avgdl = f32(sum(self.lengths)) / f32(self.n)

    def idf32(self, term):
        f32 = self.np.float32
        n, df = f32(self.n), f32(self.df[term])
        return self.np.log(((n - df) + f32(0.5)) / (df + f32(0.5)) + f32(1.0))

    def smallest_idf64(self, tokens, doc):
        import math

        idfs = [
            math.log((self.n - self.df[t] + 0.5) / (self.df[t] + 0.5) + 1.0)
            for t in tokens
            if self.tf[doc][t]
        ]
        return min(idfs) if idfs else None

    def score(self, tokens, doc):
        f32 = self.np.float32
        k = ((f32(self.lengths[doc]) / self.avgdl) * f32(0.75) + f32(0.25)) * f32(1.5)
        total = f32(0.0)
        for t in tokens:
            if self.df[t] == 0:
                continue
            tf = f32(self.tf[doc][t])
            total = total + ((tf * f32(2.5)) / (k + tf)) * self.idf32(t)
        return float(total)


def bench_corpus(name, texts, vocabulary, seed, check_oracle, skip_rank_bm25):
    global TEXTS, QUERIES
    TEXTS = texts
    QUERIES = corpora.queries(vocabulary, QUERY_COUNT, seed)
    content_mb = sum(len(t.encode()) for t in texts) / 1e6
    print(f"\n== {name}: {len(texts):,} documents, {content_mb:.1f} MB ==", flush=True)
    entry = {"corpus": name, "documents": len(texts), "content_mb": content_mb, "systems": {}}
    for system in SYSTEMS:
        if system is RankBm25 and skip_rank_bm25:
            entry["systems"][system.name] = {
                "skipped": "projected beyond 10 minutes or half the free memory"
            }
            print(
                f"  {system.name:<38} skipped (projected beyond {RANK_BM25_BUDGET_S // 60} minutes "
                "or half the free memory)"
            )
            continue
        queries = QUERIES[:RANK_BM25_QUERIES] if system is RankBm25 else QUERIES
        r = in_child(measure_system, system, queries)
        if "error" not in r:
            r["docs_per_s"] = len(texts) / r["build_s"]
            r["mb_per_s"] = content_mb / r["build_s"]
        entry["systems"][system.name] = r
        if "error" in r:
            print(f"  {system.name:<38} {r['error']}")
        else:
            print(
                f"  {system.name:<38} index {r['build_s']:8.2f} s {r['docs_per_s']:>11,.0f} docs/s "
                f"{r['mb_per_s']:7.1f} MB/s  peak +{r['peak_rss_growth_mb']:7.1f} MB  "
                f"search p50 {r['p50_ms']:8.3f} ms p99 {r['p99_ms']:8.3f} ms",
                flush=True,
            )
    if check_oracle:
        o = in_child(oracle, QUERIES)
        entry["oracle"] = o
        print(
            f"  oracle vs bm25s: {o.get('score_mismatches')} score and {o.get('top10_mismatches')} "
            f"top-10 mismatches over {o.get('queries')} queries; "
            f"{o.get('score_mismatches_equal_to_float32_reference')} of the score mismatches equal "
            f"the independent 32-bit computation",
            flush=True,
        )
    return entry


def ratios(entry):
    s = entry["systems"]
    ours = s.get("revuradova PyBM25Indexer", {})
    out = {}
    if "p50_ms" in s.get("bm25s", {}) and "p50_ms" in ours:
        out["search_p50_vs_bm25s"] = ours["p50_ms"] / s["bm25s"]["p50_ms"]
        out["indexing_speedup_vs_bm25s"] = s["bm25s"]["build_s"] / ours["build_s"]
        out["peak_memory_vs_bm25s"] = ours["peak_rss_growth_mb"] / max(
            s["bm25s"]["peak_rss_growth_mb"], 1e-9
        )
    if "p50_ms" in s.get("rank_bm25", {}) and "p50_ms" in ours:
        out["search_speedup_vs_rank_bm25"] = s["rank_bm25"]["p50_ms"] / ours["p50_ms"]
    if "p50_ms" in s.get("tantivy", {}) and "p50_ms" in ours:
        out["search_p50_vs_tantivy"] = ours["p50_ms"] / s["tantivy"]["p50_ms"]
    return out


def write_outputs(results):
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps(results, indent=2) + "\n")
    table = markdown_table(results)
    (RESULTS / "latest.md").write_text(table)
    chart = RESULTS / "latency.png"
    try:
        plot(results, chart)
    except ImportError:
        chart = None
    readme = HERE / "README.md"
    text = readme.read_text() if readme.exists() else ""
    begin, end = "<!-- results:begin -->", "<!-- results:end -->"
    section = f"{begin}\n{table}\n{'![latency](results/latency.png)' if chart else ''}\n{end}"
    if begin in text and end in text:
        text = text[: text.index(begin)] + section + text[text.index(end) + len(end) :]
    else:
        text += "\n" + section + "\n"
    readme.write_text(text)


def markdown_table(results):
    m = results["machine"]
    lines = [
        f"Run of {results['date']} on {m['cpu']} ({m['cores']} cores), Python {m['python']}.",
        "",
    ]
    lines += [
        "| corpus | system | docs/s | MB/s | peak MB | p50 ms | p99 ms |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for entry in results["corpora"]:
        for name, r in entry["systems"].items():
            if "p50_ms" not in r:
                lines.append(
                    f"| {entry['corpus']} | {name} | {r.get('skipped', r.get('error'))} | | | | |"
                )
                continue
            lines.append(
                f"| {entry['corpus']} | {name} | {r['docs_per_s']:,.0f} | {r['mb_per_s']:.1f} | "
                f"{r['peak_rss_growth_mb']:.0f} | {r['p50_ms']:.3f} | {r['p99_ms']:.3f} |"
            )
    lines += ["", "| corpus | ratio | value |", "|---|---|---:|"]
    for entry in results["corpora"]:
        for key, value in entry["ratios"].items():
            lines.append(f"| {entry['corpus']} | {key} | {value:.3f} |")
        if "oracle" in entry:
            o = entry["oracle"]
            lines.append(
                f"| {entry['corpus']} | oracle score / top-10 mismatches vs bm25s | "
                f"{o.get('score_mismatches')} / {o.get('top10_mismatches')} of {o.get('queries')} |"
            )
    if results.get("filtered_road"):
        lines += [
            "",
            "| filtered road | docs | MB | ms/search | searches/s | MB/s | pure Python ms | × pure Python | yardstick ms | × yardstick |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for r in results["filtered_road"]:
            lines.append(
                f"| PyRetrievalOrchestrator | {r['documents']:,} | {r['content_mb']:.0f} | {r['revuradova_ms']:.2f} | "
                f"{r['revuradova_searches_per_s']:.1f} | {r['revuradova_mb_per_s']:.0f} | {r['pure_python_ms']:.1f} | "
                f"{r['speedup_vs_pure_python']:.1f} | {r['yardstick_ms']:.1f} | {r['speedup_vs_yardstick']:.2f} |"
            )
    return "\n".join(lines) + "\n"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    synthetic = [e for e in results["corpora"] if e["corpus"].startswith("synthetic")]
    if not synthetic:
        return
    fig, ax = plt.subplots(figsize=(7, 4.5))
    names = list(synthetic[0]["systems"])
    for name in names:
        points = [
            (e["documents"], e["systems"][name]["p50_ms"])
            for e in synthetic
            if "p50_ms" in e["systems"].get(name, {})
        ]
        if points:
            ax.plot(*zip(*points, strict=True), marker="o", label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("documents")
    ax.set_ylabel("search latency p50 (ms, top 10)")
    ax.set_title("Query latency against corpus size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


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
        "date": time.strftime("%Y-%m-%d"),
        "machine": {
            "cpu": platform.processor() or platform.machine(),
            "cores": multiprocessing.cpu_count(),
            "python": platform.python_version(),
            "platform": platform.platform(),
        },
        "real_corpus": {
            "docstrings": len(real_texts),
            "vocabulary": len(vocabulary),
            "with_combining_marks": marks,
        },
        "corpora": [],
    }
    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        None,
    )
    if cpu:
        results["machine"]["cpu"] = cpu

    # The filtered road first, each size in a fresh child so that its objects never
    # fragment the heap that later memory measurements start from.
    print("\n== filtered road ==")
    results["filtered_road"] = []
    for size in [s for s in sizes if s <= 100_000]:
        r = in_child(filtered_road_child, vocabulary, size)
        results["filtered_road"].append(r)
        print(
            f"  {size:>9,} docs {r['content_mb']:6.1f} MB: {r['revuradova_ms']:8.2f} ms/search "
            f"({r['revuradova_mb_per_s']:,.0f} MB/s), pure Python {r['pure_python_ms']:9.1f} ms "
            f"(x{r['speedup_vs_pure_python']:.1f}, agree {r['pure_python_agreement']}), "
            f"yardstick {r['yardstick_ms']:8.2f} ms (x{r['speedup_vs_yardstick']:.2f})",
            flush=True,
        )

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

    # rank_bm25's time and memory per document, from the last corpus it ran on.
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
            check_oracle=size == 100_000 or (args.quick and size == sizes[0]),
            skip_rank_bm25=projected_s > RANK_BM25_BUDGET_S or projected_mb > 0.5 * available_mb(),
        )
        r = entry["systems"].get("rank_bm25", {})
        if "build_s" in r:
            rank_bm25_rate = (r["build_s"] + r["p50_ms"] / 1e3 * RANK_BM25_QUERIES) / size
            rank_bm25_bytes = r["peak_rss_growth_mb"] / size
        entry["ratios"] = ratios(entry)
        results["corpora"].append(entry)

    results["elapsed_s"] = time.time() - started
    write_outputs(results)
    print(
        f"\nwrote {RESULTS / 'latest.json'} and benchmarks/README.md in {results['elapsed_s']:.0f} s"
    )


if __name__ == "__main__":
    main()
