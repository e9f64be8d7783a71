"""BM25 index speed on a synthetic corpus: indexing rate, query latency, memory.

Run with `make bench` (or `python -m benchmarks index [--docs N]`).
"""

import argparse
import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from corpora import random_vocabulary, synthetic_documents, zipf_queries  # noqa: E402
from measure import current_rss_bytes, latencies, summary  # noqa: E402

from revuradova import PyBM25Indexer, PyKnowledgeObject  # noqa: E402


def run(doc_count=100_000, vocabulary_size=50_000, query_count=1_000, limit=10):
    vocabulary = random_vocabulary(vocabulary_size)
    texts = synthetic_documents(vocabulary, doc_count, seed=2)
    queries = zipf_queries(vocabulary, query_count, 1, 5, seed=3)
    objects = [
        PyKnowledgeObject("markdown", f"doc{i}", "reference", "bench", t)
        for i, t in enumerate(texts)
    ]
    tokens = sum(len(t.split()) for t in texts)
    content_bytes = sum(len(t.encode()) for t in texts)

    gc.collect()
    rss_before = current_rss_bytes()
    index = PyBM25Indexer()
    start = time.perf_counter()
    for obj in objects:
        index.index_document(obj)
    indexing_s = time.perf_counter() - start
    rss_growth = current_rss_bytes() - rss_before

    search_times = latencies(lambda q: index.search(q, limit), queries)

    # Ingesting while serving: every search follows the insertion of one new document.
    extra = iter(
        PyKnowledgeObject("markdown", f"late{i}", "reference", "bench", t)
        for i, t in enumerate(synthetic_documents(vocabulary, len(queries), seed=4))
    )

    def insert_then_search(query):
        index.index_document(next(extra))
        start = time.perf_counter()
        index.search(query, limit)
        return time.perf_counter() - start

    after_insert_times = [insert_then_search(q) for q in queries]
    result = {
        "documents": doc_count,
        "tokens": tokens,
        "content_mb": content_bytes / 1e6,
        "indexing_s": indexing_s,
        "docs_per_s": doc_count / indexing_s,
        "mb_per_s": content_bytes / 1e6 / indexing_s,
        "ns_per_token": indexing_s / tokens * 1e9,
        "index_rss_mb": rss_growth / 1e6,
        "rss_bytes_per_token": rss_growth / tokens,
        "search": summary(search_times),
        "search_after_insert": summary(after_insert_times),
        "stats": index.stats(),
    }
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1_000)
    args = parser.parse_args()
    r = run(args.docs, query_count=args.queries)
    print(
        f"BM25 index: {r['documents']:,} documents, {r['tokens']:,} tokens, {r['content_mb']:.1f} MB"
    )
    print(
        f"  indexing   {r['indexing_s']:.2f} s  {r['docs_per_s']:,.0f} docs/s  "
        f"{r['mb_per_s']:.1f} MB/s  {r['ns_per_token']:.1f} ns/token"
    )
    print(
        f"  memory     {r['index_rss_mb']:.1f} MB resident growth, "
        f"{r['rss_bytes_per_token']:.2f} bytes per stored token"
    )
    s = r["search"]
    print(
        f"  search     p50 {s['p50_ms']:.3f} ms  p99 {s['p99_ms']:.3f} ms  mean {s['mean_ms']:.3f} ms"
    )
    s = r["search_after_insert"]
    print(
        f"  after an insert  p50 {s['p50_ms']:.3f} ms  p99 {s['p99_ms']:.3f} ms  "
        f"mean {s['mean_ms']:.3f} ms (search timed alone)"
    )
    print(f"  stats      {r['stats']}")


if __name__ == "__main__":
    main()
