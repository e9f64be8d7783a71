"""Many calls and many threads: reference counts, memory and index contents stay exact."""

import gc
import os
import sys
import threading
import tracemalloc

import pytest

from revuradova import (
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryIntent,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)


def make(content, kind="procedure"):
    return PyKnowledgeObject("markdown", "a.md", kind, "finance", content)


def _every_call(docs, index, orchestrator, query, bad):
    """One round of every public call and of every kind of error path."""
    obj = make(query)
    _ = (obj.id, obj.content, obj.domain, obj.source_location, repr(obj))
    index.index_document(docs[0])
    index.search(query, 5)
    index.stats()
    orchestrator.index_document(docs[1])
    orchestrator.search(query, docs)
    orchestrator.search(query, tuple(docs))
    orchestrator.stats()
    PyQueryUnderstanding.understand(query)
    repr(PyQueryUnderstanding.infer_intent(query))
    repr(PyQueryIntent.definition())
    for call in (
        lambda: index.search(bad, 5),
        lambda: index.search(query, -1),
        lambda: index.index_document(bad),
        lambda: orchestrator.search(query, bad),
        lambda: orchestrator.search(query, [docs[0], bad]),
        lambda: PyKnowledgeObject("nope", "a", "procedure", "d", query),
        lambda: PyKnowledgeObject("pdf", "a", "procedure", "d", "\ud800"),
        lambda: PyRetrievalOrchestrator(1, False, False, False, True, 5),
        lambda: index.search(query=query, limit=1, extra=bad),
        lambda: PyQueryIntent(),
    ):
        try:
            call()
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
            pass


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _run_rounds(rounds):
    docs = [make("how to submit expense reports"), make("travel policy", "policy")]
    index = PyBM25Indexer()
    orchestrator = PyRetrievalOrchestrator(True, False, False, False, True, 3)
    query = "How do I submit an expense report? café"
    bad = object()
    watched = [docs[0], docs[1], query, bad, index, orchestrator]
    _every_call(docs, index, orchestrator, query, bad)  # warm every cache first
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    try:
        for _ in range(rounds // 10):
            _every_call(docs, index, orchestrator, query, bad)
        gc.collect()
        base_traced = tracemalloc.get_traced_memory()[0]
        base_rss = _resident_bytes()
        for _ in range(rounds):
            _every_call(docs, index, orchestrator, query, bad)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - base_traced
    finally:
        tracemalloc.stop()
    rss_growth = _resident_bytes() - base_rss
    assert [sys.getrefcount(x) for x in watched] == counts
    assert traced_growth < 64 * 1024, traced_growth
    # AddressSanitizer holds freed memory in quarantine: resident size says nothing there.
    if os.environ.get("REVURADOVA_SANITIZED") != "1":
        assert rss_growth < 8 * 1024 * 1024, rss_growth


def test_calls_leave_references_and_memory_flat():
    _run_rounds(2_000)


@pytest.mark.slow
def test_calls_leave_references_and_memory_flat_at_length():
    _run_rounds(100_000)


def test_threads_sharing_an_index_and_an_orchestrator():
    index = PyBM25Indexer()
    orchestrator = PyRetrievalOrchestrator(True, False, False, False, False, 10)
    order_lock = threading.Lock()
    indexed = []  # documents in the order their indexing completed
    errors = []

    def worker(number):
        try:
            for i in range(300):
                doc = make(f"thread{number} item{i} shared words {i % 7}")
                with order_lock:
                    index.index_document(doc)
                    orchestrator.index_document(doc)
                    indexed.append(doc)
                index.search(f"shared item{i} words", 5)
                orchestrator.search("shared words", [doc])
                index.stats()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []

    rebuilt = PyBM25Indexer()
    for doc in indexed:
        rebuilt.index_document(doc)
    assert index.stats() == rebuilt.stats() == (1200, 4 + 300 + 2, 4)
    for query in ["shared words", "item3 thread2", "words 5", "item299"]:
        assert index.search(query, 20) == rebuilt.search(query, 20)
        assert orchestrator.search(query, [])[0] == [d for d, _ in rebuilt.search(query, 10)]
