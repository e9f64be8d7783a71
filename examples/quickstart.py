"""A tour of revuradova on a small sample of company documents.

Run it with `make demo`.
"""

import json
from pathlib import Path

from revuradova import (
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)

DATA = Path(__file__).parent / "data" / "corpus.json"

QUESTIONS = [
    "How do I submit an expense report?",
    "Is this travel booking compliant with the policy?",
    "What is churn rate?",
    "What is the difference between the annual and the monthly plan?",
    "Are support tickets growing?",
    "Which team owns the billing-api?",
    "budget 2027",
]


def load_corpus():
    """Turns every sample document into a knowledge object."""
    records = json.loads(DATA.read_text(encoding="utf-8"))
    return [
        PyKnowledgeObject(
            r["source_type"], r["source_location"], r["knowledge_type"], r["domain"], r["content"]
        )
        for r in records
    ]


def main():
    documents = load_corpus()
    print(f"== {len(documents)} knowledge objects ==")
    for doc in documents:
        print(doc)

    print("\n== BM25 full-text search ==")
    index = PyBM25Indexer()
    for doc in documents:
        index.index_document(doc)
    count, terms, avg_length = index.stats()
    print(f"{count} documents, {terms} distinct terms, about {avg_length} tokens each")
    by_id = {doc.id: doc for doc in documents}
    for query in ("expense receipts", "customer data retention", "churn", "Europe sales quarter"):
        print(f"\nsearch {query!r}:")
        for doc_id, score in index.search(query, 3):
            print(f"  {score:7.4f}  {doc_id}  {by_id[doc_id].source_location}")

    print("\n== Query understanding ==")
    for question in QUESTIONS:
        intent, _ = PyQueryUnderstanding.understand(question)
        print(f"  {intent:<18} {question}")

    print("\n== Orchestrated retrieval: progressive road ==")
    # Flags: bm25, entity graph, topics, vector search, progressive filtering; then max results.
    progressive = PyRetrievalOrchestrator(False, False, False, False, True, 3)
    for question in (QUESTIONS[0], QUESTIONS[1], QUESTIONS[2], QUESTIONS[5]):
        intent, _ = PyQueryUnderstanding.understand(question)
        ids, summary = progressive.search(question, documents)
        print(f"\n{question}  [{intent}]")
        for doc_id in ids:
            print(f"  -> {by_id[doc_id].source_location}")
        print(f"  {summary}")

    print("\n== Orchestrated retrieval: BM25 road ==")
    ranked = PyRetrievalOrchestrator(True, False, False, False, False, 3)
    for doc in documents:
        ranked.index_document(doc)
    print(ranked.stats())
    for question in ("expense receipts approval", "budget 2027"):
        ids, summary = ranked.search(question, [])
        print(f"\n{question}")
        for doc_id in ids:
            print(f"  -> {by_id[doc_id].source_location}")
        print(f"  {summary}")


if __name__ == "__main__":
    main()
