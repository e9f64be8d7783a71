"""The filtered road, three ways over the same documents and questions:

* revuradova: PyRetrievalOrchestrator.search with progressive filtering;
* pure Python: the same four stages written plainly, as a user would without the package;
* yardstick: merely lower-casing every content and scanning it once (bytes.lower + find);
* roof: one C memchr pass over all the contents, for a byte none holds: reading the bytes
  a search must read, and nothing else.
"""

import argparse
import ctypes
import random
import sys
import time
from pathlib import Path

from corpora import random_vocabulary, zipf_cumulative

# The plain four stages live with the tests' oracles, written once.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import plain_models  # noqa: E402

from revuradova import PyQueryUnderstanding  # noqa: E402

KNOWLEDGE_TYPES = ["procedure", "policy", "definition", "data", "code", "discussion", "reference"]
DOMAINS = ["finance", "hr compliance", "engineering", "sales"]
TEMPLATES = [
    "How do I {} the {}?",
    "What is {} {}?",
    "Is this {} compliant with {}?",
    "{} {} {}?",
    "Compare {} and {}",
    "{} {} trend",
]


def memchr_pass_s(contents, passes=5):
    """Seconds for the fastest of `passes` C memchr scans over the concatenated contents."""
    memchr = ctypes.CDLL(None).memchr
    memchr.restype = ctypes.c_void_p
    memchr.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t]
    blob = b"".join(contents)
    assert b"\0" not in blob
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        memchr(blob, 0, len(blob))
        best = min(best, time.perf_counter() - start)
    return best


def make_records(vocabulary, count, seed=11):
    """(knowledge type, domain, content) with contents of 200 to 2,000 bytes."""
    rng = random.Random(seed)
    cumulative = zipf_cumulative(len(vocabulary))
    records = []
    for _ in range(count):
        target = rng.randint(200, 2000)
        words = rng.choices(vocabulary, cum_weights=cumulative, k=target // 4)
        text = " ".join(words)[:target]
        records.append(
            (rng.choice(KNOWLEDGE_TYPES), rng.choice(DOMAINS), text[0].upper() + text[1:])
        )
    return records


def make_questions(vocabulary, count, seed=12):
    rng = random.Random(seed)
    head = vocabulary[:5000]
    return [
        t.format(*rng.choices(head, k=t.count("{}")))
        for t in (rng.choice(TEMPLATES) for _ in range(count))
    ]


def pure_python_search(query, records, ids, max_results):
    """The four stages in plain Python over (type, domain, content) records."""
    intent = PyQueryUnderstanding.understand(query)[0]
    rows = [(doc_id, *record) for doc_id, record in zip(ids, records, strict=True)]
    return plain_models.progressive_search(intent, query, rows, max_results, exact=False)


def run(vocabulary, doc_count, question_count=200, max_results=10):
    from revuradova import PyKnowledgeObject, PyRetrievalOrchestrator

    records = make_records(vocabulary, doc_count)
    questions = make_questions(vocabulary, question_count)
    objects = [
        PyKnowledgeObject("markdown", f"d{i}", t, d, c) for i, (t, d, c) in enumerate(records)
    ]
    ids = [o.id for o in objects]
    contents = [c.encode() for _, _, c in records]
    content_mb = sum(len(c) for c in contents) / 1e6

    orchestrator = PyRetrievalOrchestrator(False, False, False, False, True, max_results)
    start = time.perf_counter()
    ours = [orchestrator.search(q, objects)[0] for q in questions]
    ours_s = (time.perf_counter() - start) / len(questions)

    sample = questions[: max(5, question_count // 10)]
    start = time.perf_counter()
    python = [pure_python_search(q, records, ids, max_results) for q in sample]
    python_s = (time.perf_counter() - start) / len(sample)
    agree = sum(a == b for a, b in zip(ours, python, strict=False))

    probes = [q.split()[1].lower().encode() for q in sample]
    start = time.perf_counter()
    for probe in probes:
        for c in contents:
            c.lower().find(probe)
    yardstick_s = (time.perf_counter() - start) / len(probes)
    roof_s = memchr_pass_s(contents)

    return {
        "documents": doc_count,
        "content_mb": content_mb,
        "questions": question_count,
        "revuradova_ms": ours_s * 1e3,
        "revuradova_searches_per_s": 1 / ours_s,
        "revuradova_mb_per_s": content_mb / ours_s,
        "pure_python_ms": python_s * 1e3,
        "pure_python_agreement": f"{agree}/{len(sample)}",
        "yardstick_ms": yardstick_s * 1e3,
        "yardstick_mb_per_s": content_mb / yardstick_s,
        "speedup_vs_pure_python": python_s / ours_s,
        "speedup_vs_yardstick": yardstick_s / ours_s,
        "memchr_ms": roof_s * 1e3,
        "memchr_mb_per_s": content_mb / roof_s,
        "times_memchr": ours_s / roof_s,
    }


def child(vocabulary, doc_count, connection):
    """run() in a forked child (measure.in_child), so that its objects leave with it."""
    connection.send(run(vocabulary, doc_count))
    connection.close()


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--docs", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--questions", type=int, default=200)
    args = parser.parse_args()
    vocabulary = random_vocabulary(20_000, seed=5)
    for count in args.docs:
        r = run(vocabulary, count, args.questions)
        print(
            f"{r['documents']:>9,} docs {r['content_mb']:6.1f} MB: {r['revuradova_ms']:8.2f} ms/search "
            f"({r['revuradova_searches_per_s']:,.1f}/s, {r['revuradova_mb_per_s']:,.0f} MB/s); "
            f"pure Python {r['pure_python_ms']:.1f} ms (x{r['speedup_vs_pure_python']:.1f}, "
            f"same ids {r['pure_python_agreement']}); yardstick {r['yardstick_ms']:.2f} ms "
            f"(x{r['speedup_vs_yardstick']:.2f}); memchr roof {r['memchr_ms']:.3f} ms "
            f"({r['memchr_mb_per_s']:,.0f} MB/s, ours {r['times_memchr']:.1f}x it)"
        )


if __name__ == "__main__":
    main()
