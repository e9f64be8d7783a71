"""The filtered road: whole PyRetrievalOrchestrator.search calls with progressive filtering.

Reports searches per second and content MB/s through a whole search, against the yardstick
of lower-casing and scanning the same bytes once in Python (bytes.lower() + bytes.find).
Run with `make bench` (or `python benchmarks/bench_filter.py [--docs 10000 100000]`).
"""

import argparse
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from corpus import make_vocabulary, zipf_weights  # noqa: E402

from revuradova import PyKnowledgeObject, PyRetrievalOrchestrator  # noqa: E402

KNOWLEDGE_TYPES = ["procedure", "policy", "definition", "data", "code", "discussion", "reference"]
TEMPLATES = [
    "How do I {} the {}?",
    "What is {} {}?",
    "Is this {} compliant with {}?",
    "{} {} {}?",
    "Compare {} and {}",
    "{} {} trend",
]


def make_filter_corpus(count, vocabulary, seed=11):
    """Documents of 200 to 2,000 bytes with random knowledge types and domains."""
    rng = random.Random(seed)
    cumulative = zipf_weights(len(vocabulary))
    docs = []
    for i in range(count):
        target = rng.randint(200, 2000)
        words = rng.choices(vocabulary, cum_weights=cumulative, k=target // 5)
        text = " ".join(words)[:target]
        text = text[0].upper() + text[1:]
        docs.append(PyKnowledgeObject(
            "markdown", f"docs/{i}.md", rng.choice(KNOWLEDGE_TYPES),
            rng.choice(["finance", "hr compliance", "engineering", "sales"]), text,
        ))
    return docs


def make_questions(count, vocabulary, seed=12):
    rng = random.Random(seed)
    cumulative = zipf_weights(len(vocabulary))
    questions = []
    for _ in range(count):
        template = rng.choice(TEMPLATES)
        words = rng.choices(vocabulary[:5000], cum_weights=cumulative[:5000], k=template.count("{}"))
        questions.append(template.format(*words))
    return questions


def run(doc_count, question_count=200, max_results=10):
    vocabulary = make_vocabulary(20_000, seed=5)
    docs = make_filter_corpus(doc_count, vocabulary)
    questions = make_questions(question_count, vocabulary)
    contents = [d.content.encode() for d in docs]
    content_mb = sum(len(c) for c in contents) / 1e6

    orchestrator = PyRetrievalOrchestrator(False, False, False, False, True, max_results)
    orchestrator.search(questions[0], docs)  # warm up
    start = time.perf_counter()
    for q in questions:
        orchestrator.search(q, docs)
    search_s = (time.perf_counter() - start) / len(questions)

    # Yardstick: lower-case every content once and look for one word of the question.
    probes = [q.split()[1].lower().encode() for q in questions[:20]]
    start = time.perf_counter()
    for probe in probes:
        for c in contents:
            c.lower().find(probe)
    yardstick_s = (time.perf_counter() - start) / len(probes)

    return {
        "documents": doc_count,
        "content_mb": content_mb,
        "search_ms": search_s * 1e3,
        "searches_per_s": 1 / search_s,
        "search_mb_per_s": content_mb / search_s,
        "yardstick_ms": yardstick_s * 1e3,
        "yardstick_mb_per_s": content_mb / yardstick_s,
        "speedup_vs_yardstick": yardstick_s / search_s,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--docs", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--questions", type=int, default=200)
    args = parser.parse_args()
    for count in args.docs:
        r = run(count, args.questions)
        print(f"Filtered road: {r['documents']:,} documents, {r['content_mb']:.1f} MB of content")
        print(f"  search     {r['search_ms']:.2f} ms/search  {r['searches_per_s']:,.1f} searches/s  "
              f"{r['search_mb_per_s']:,.0f} MB/s")
        print(f"  yardstick  {r['yardstick_ms']:.2f} ms to lower() + find() the same bytes  "
              f"{r['yardstick_mb_per_s']:,.0f} MB/s  -> search is {r['speedup_vs_yardstick']:.2f}x that")


if __name__ == "__main__":
    main()
