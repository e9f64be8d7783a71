"""Search latency side by side with each peer in its best configuration.

Every query runs on every system in turn (a warm-up pass, then the minimum of 3 timed passes
per query), and the report is per query class: short (1-3 terms), long (8-15 terms) and
no match. Peers: bm25s with its numba backend (same formula, fed our tokens) and tantivy
with frequency-only postings (query parsed outside the timer, no document fetch).

    python benchmarks/side_by_side.py --docs 100000 [--vocabulary 50000] [--queries 300]
"""

import argparse
import gc
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import numpy as np  # noqa: E402
from corpora import queries, random_vocabulary, synthetic_documents, tokenize  # noqa: E402

from revuradova import PyBM25Indexer, PyKnowledgeObject  # noqa: E402

TOP = 10


def build_ours(texts):
    index = PyBM25Indexer()
    start = time.perf_counter()
    for i, text in enumerate(texts):
        index.index_document(PyKnowledgeObject("markdown", str(i), "reference", "b", text))
    return index, time.perf_counter() - start


def build_bm25s(token_lists):
    import bm25s

    vocab = {}
    ids = [[vocab.setdefault(t, len(vocab)) for t in tokens] for tokens in token_lists]
    retriever = bm25s.BM25(method="atire", idf_method="lucene", k1=1.5, b=0.75, backend="numba")
    start = time.perf_counter()
    retriever.index(bm25s.tokenization.Tokenized(ids=ids, vocab=vocab), show_progress=False)
    return (retriever, vocab), time.perf_counter() - start


def build_tantivy(texts):
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False, index_option="freq")
    index = tantivy.Index(builder.build())
    start = time.perf_counter()
    writer = index.writer(heap_size=1_000_000_000, num_threads=1)
    for text in texts:
        writer.add_document(tantivy.Document(body=text))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    return (index, index.searcher()), time.perf_counter() - start


def timed(call, passes=3):
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--vocabulary", type=int, default=50_000)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--systems", default="ours,bm25s,tantivy")
    args = parser.parse_args()
    systems = args.systems.split(",")

    vocabulary = random_vocabulary(args.vocabulary)
    texts = synthetic_documents(vocabulary, args.docs, seed=2)
    query_texts = queries(vocabulary, args.queries, seed=3)
    classes = ["short" if i % 2 == 0 else "long" for i in range(len(query_texts))]
    for i in range(9, len(classes), 10):
        classes[i] = "no match"

    ours, ours_s = build_ours(texts)
    print(f"{args.docs:,} docs, vocabulary {args.vocabulary:,}: ours indexed in {ours_s:.2f} s")
    runners = {"ours": lambda q: ours.search(q, TOP)}
    if "bm25s" in systems:
        (retriever, vocab), s = build_bm25s([tokenize(t) for t in texts])
        print(f"  bm25s (numba) indexed in {s:.2f} s (tokens given)")

        def bm25s_search(ids):
            if ids:
                retriever.retrieve(
                    [ids], k=TOP, show_progress=False, n_threads=1, backend_selection="numba"
                )

        prepared = {q: [vocab[t] for t in tokenize(q) if t in vocab] for q in query_texts}
        runners["bm25s"] = lambda q: bm25s_search(prepared[q])
    if "tantivy" in systems:
        (tindex, searcher), s = build_tantivy(texts)
        print(f"  tantivy (freq only) indexed in {s:.2f} s")
        parsed = {q: tindex.parse_query(q, ["body"]) for q in query_texts}
        runners["tantivy"] = lambda q: searcher.search(parsed[q], TOP)
    gc.collect()

    for run in runners.values():  # warm-up (numba compiles here)
        for q in query_texts:
            run(q)
    times = {name: [] for name in runners}
    for q in query_texts:
        for name, run in runners.items():
            times[name].append(timed(lambda run=run, q=q: run(q)))

    print(f"{'class':9} {'system':8} {'mean ms':>9} {'p50 ms':>9} {'p99 ms':>9} {'QPS':>9}")
    for cls in ["short", "long", "no match"]:
        picked = [i for i, c in enumerate(classes) if c == cls]
        for name in runners:
            values = [times[name][i] for i in picked]
            mean = statistics.fmean(values)
            p50, p99 = np.percentile(values, [50, 99])
            print(
                f"{cls:9} {name:8} {mean * 1e3:9.3f} {p50 * 1e3:9.3f} {p99 * 1e3:9.3f} "
                f"{1 / mean:9,.0f}"
            )


if __name__ == "__main__":
    main()
