"""Imports the installed package and runs one search on each road (used by make wheel-check)."""

import revuradova
from revuradova import PyBM25Indexer, PyKnowledgeObject, PyRetrievalOrchestrator

docs = [
    PyKnowledgeObject(
        "markdown", "a.md", "procedure", "finance", "How to submit an expense report"
    ),
    PyKnowledgeObject("pdf", "b.pdf", "policy", "hr compliance", "Travel policy and receipts"),
]
index = PyBM25Indexer()
for doc in docs:
    index.index_document(doc)
assert [d for d, _ in index.search("expense report", 5)] == [docs[0].id]
ids, summary = PyRetrievalOrchestrator(False, False, False, False, True, 5).search(
    "How do I submit an expense report?", docs
)
assert ids == [docs[0].id], (ids, summary)
print(f"revuradova {revuradova.__version__} from {revuradova.__file__}: ok")
