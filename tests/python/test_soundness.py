"""Hostile and unlucky use: nothing crashes the interpreter, a failure changes nothing,
and output does not depend on the process's locale or on how strings were passed."""

import gc
import locale
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from revuradova import (
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryIntent,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)

CLASSES = [
    PyKnowledgeObject,
    PyBM25Indexer,
    PyQueryIntent,
    PyRetrievalOrchestrator,
    PyQueryUnderstanding,
]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_immutable(cls):
    with pytest.raises(TypeError):
        cls.__new__ = lambda c: object.__new__(c)
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        object.__new__(cls)


def test_members_cannot_be_deleted_or_replaced():
    with pytest.raises(TypeError):
        del PyKnowledgeObject.id
    with pytest.raises(TypeError):
        PyBM25Indexer.search = None
    with pytest.raises(TypeError):
        del PyRetrievalOrchestrator.index_document
    # The class still works afterwards.
    doc = PyKnowledgeObject("markdown", "a.md", "reference", "general", "alpha beta")
    index = PyBM25Indexer()
    index.index_document(doc)
    assert [d for d, _ in index.search("alpha", 5)] == [doc.id]


def test_summary_ignores_the_process_locale(make_object):
    wanted = "de_DE.UTF-8"
    try:
        previous = locale.setlocale(locale.LC_ALL)
        locale.setlocale(locale.LC_ALL, wanted)
    except locale.Error:
        pytest.skip(f"locale {wanted} is not installed")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        docs = [make_object("how to submit a report", knowledge_type="procedure")]
        docs += [make_object(f"other text {i}") for i in range(15)]
        orchestrator = PyRetrievalOrchestrator(False, False, False, False, True, 5)
        _, summary = orchestrator.search("How do I submit a report?", docs)
    finally:
        locale.setlocale(locale.LC_ALL, previous)
    assert "(6.2%)" in summary
    assert summary.endswith("Cost: $0.000100")


class _OddModule:
    pass


_OddModule.__module__ = ("numpy",)


def _numpy_named(name, module):
    return type(name, (), {"__module__": module})()


@pytest.mark.parametrize(
    "flag",
    [_OddModule(), _numpy_named("bool", ("numpy",)), _numpy_named("bool", 3), 1, None],
    ids=["tuple-module", "bool-with-tuple-module", "bool-with-int-module", "int", "none"],
)
def test_flag_reads_only_what_it_checked(flag):
    with pytest.raises(TypeError, match="enable_bm25"):
        PyRetrievalOrchestrator(flag, False, False, False, True, 5)


def test_flag_from_a_fake_numpy_bool_that_raises():
    class Raising:
        def __bool__(self):
            raise ValueError("no truth here")

    Raising.__module__ = "numpy"
    Raising.__name__ = "bool"
    with pytest.raises(ValueError, match="no truth here"):
        PyRetrievalOrchestrator(Raising(), False, False, False, True, 5)


@pytest.mark.parametrize("name", ["\ud800", "qu\udfffery", "limit\x00"])
def test_odd_keyword_names_are_type_errors(name):
    index = PyBM25Indexer()
    with pytest.raises(TypeError, match="unexpected keyword"):
        index.search("query", 5, **{name: 1})
    with pytest.raises(TypeError, match="unexpected keyword"):
        PyKnowledgeObject("markdown", "a", "reference", "d", "c", **{name: 1})


def test_large_non_ascii_text_leaves_no_utf8_copy_behind(make_object):
    content = "é" * 4_000_000  # one byte a character in memory, two in UTF-8
    query = "ñ" * 100_000
    index = PyBM25Indexer()
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        doc = make_object(content)
        index.search(query, 5)
        del doc
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert growth < 200_000, f"{growth} bytes still held"
    # Small and ASCII strings are read in place and give the same results.
    index.index_document(make_object("é" * 10 + " café"))
    assert len(index.search("CAFÉ", 5)) == 1


# Under AddressSanitizer the address space is mostly shadow memory: a limit on it cannot
# model running out of memory there.
needs_plain_build = pytest.mark.skipif(
    os.environ.get("REVURADOVA_SANITIZED") == "1", reason="address-space limits under ASan"
)


def _run_isolated(script):
    """Runs `script` in a fresh interpreter (memory limits must not touch this one)."""
    prelude = textwrap.dedent(
        """
        import ctypes
        import resource
        from revuradova import *

        # Every block of 64 KiB or more gets its own mapping, so an address-space limit
        # bites at the first large allocation instead of being absorbed by freed heap.
        # One arena for every thread, so a thread's allocations are limited too.
        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 64 << 10)  # M_MMAP_THRESHOLD
        libc.mallopt(-8, 1)  # M_ARENA_MAX

        def address_space():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * resource.getpagesize()

        def limited(extra, call):
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))
            try:
                call()
                return False
            except MemoryError:
                return True
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

        def obj(id_hint, content):
            return PyKnowledgeObject("markdown", id_hint, "reference", "d", content)
        """
    )
    result = subprocess.run(
        [sys.executable, "-P", "-c", prelude + textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout


@needs_plain_build
@pytest.mark.parametrize("owner", ["indexer", "orchestrator"])
def test_memory_error_while_indexing_changes_nothing(owner):
    out = _run_isolated(
        f"""
        if "{owner}" == "indexer":
            index = PyBM25Indexer()
            add, stats = index.index_document, index.stats
            search = lambda q: index.search(q, 10)
        else:
            orch = PyRetrievalOrchestrator(True, False, False, False, False, 10)
            add, stats = orch.index_document, lambda: None
            search = lambda q: orch.search(q, [])[0]
        a, b = obj("a", "alpha beta beta"), obj("b", "beta gamma delta epsilon")
        add(a)
        add(b)
        before = (stats(), search("beta gamma"), search("t0000001"))
        big = obj("big", " ".join(f"t{{i:07d}}" for i in range(2_000_000)))
        failed = limited(48 << 20, lambda: add(big))
        assert failed, "the limit did not bite"
        assert (stats(), search("beta gamma"), search("t0000001")) == before
        # Still fully usable: later documents keep every term.
        c = obj("c", "gamma zeta zeta alpha t0000001")
        add(c)
        for query in ("zeta", "t0000001"):
            hits = search(query)
            assert len(hits) == 1 and c.id in hits[0], (query, hits)
        if "{owner}" == "indexer":
            assert stats() == (3, 7, 4), stats()
        add(big)
        assert len(search("t0000001 t1999999")) == 2
        print("ok")
        """
    )
    assert out.strip() == "ok"


@needs_plain_build
def test_memory_error_inside_search_leaves_the_next_search_sound():
    out = _run_isolated(
        """
        index = PyBM25Indexer()
        orch = PyRetrievalOrchestrator(True, False, False, False, False, 10)
        import threading

        docs = [obj(str(i), f"common word{i % 1000} filler{i % 7}") for i in range(150_000)]
        for d in docs:
            index.index_document(d)
            orch.index_document(d)
        # A search allocates little now (no scratch proportional to the index), so the limit
        # may not bite; whether it does or not, the next search must be sound.
        limited(0, lambda: orch.search("common word7", []))
        want = [doc_id for doc_id, _ in index.search("common word7", 10)]
        assert orch.search("common word7", [])[0] == want

        outcomes = []
        kept = []  # nothing is freed between attempts, so no free block absorbs a request

        def attempt(index_copy, extra, query):
            # A thread of its own, so that no earlier search on this thread has sized any
            # per-thread scratch: the limited search is the first to allocate.
            failed = limited(extra, lambda: index_copy.search(query, 10))
            outcomes.append((failed, index_copy.search(query, 10) == index.search(query, 10)))

        for extra in (0, 700 << 10, 1000 << 10, 1300 << 10, 1600 << 10):
            # A dense query (most documents) and a sparse one (a few hundred).
            for query in ("common filler3", "word7 word8"):
                fresh = PyBM25Indexer()
                for d in docs:
                    fresh.index_document(d)
                kept.append(fresh)
                worker = threading.Thread(target=attempt, args=(fresh, extra, query))
                worker.start()
                worker.join()
        assert len(outcomes) == 10 and all(same for _, same in outcomes), outcomes
        print("ok")
        """
    )
    assert out.strip() == "ok"


RECURSING_SEQUENCE = """
import collections.abc, sys, threading
from revuradova import PyKnowledgeObject, PyRetrievalOrchestrator

orchestrator = PyRetrievalOrchestrator(False, False, False, False, True, 5)
doc = PyKnowledgeObject("markdown", "a.md", "procedure", "hr", "how do I apply")

class Recursing(collections.abc.Sequence):
    def __len__(self):
        return 1
    def __getitem__(self, index):
        if index > 0:
            raise IndexError(index)
        orchestrator.search("how do I apply", self)
        return doc

outcome = []
def body():
    try:
        orchestrator.search("how do I apply", Recursing())
    except RecursionError:
        outcome.append("RecursionError")

sys.setrecursionlimit(10**6)
threading.stack_size(int(sys.argv[1]) << 20)
thread = threading.Thread(target=body)
thread.start()
thread.join()
print(outcome)
"""


def test_recursion_through_a_sequence_stops_cleanly():
    # A sequence whose items search the same orchestrator again recurses through the module;
    # the interpreter's recursion limit must stop it before the thread's stack (4 MiB)
    # runs out. AddressSanitizer's frames are many times larger: 512 MiB there.
    stack_mib = "512" if os.environ.get("REVURADOVA_SANITIZED") == "1" else "4"
    child = subprocess.run(
        [sys.executable, "-P", "-c", RECURSING_SEQUENCE, stack_mib], capture_output=True, text=True
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == "['RecursionError']"


def test_failure_while_inspecting_a_flag_propagates():
    np = pytest.importorskip("numpy")
    _testcapi = pytest.importorskip("_testcapi")
    if os.environ.get("REVURADOVA_SANITIZED") == "1":
        pytest.skip("the sanitized run uses the system allocator directly")
    # The first allocation of the call is the one that reads the flag's type name.
    _testcapi.set_nomemory(1, 2)
    try:
        PyRetrievalOrchestrator(np.True_, False, False, False, True, 5)
        error = None
    except BaseException as raised:  # noqa: B036
        error = raised
    finally:
        _testcapi.remove_mem_hooks()
    assert isinstance(error, MemoryError), repr(error)
