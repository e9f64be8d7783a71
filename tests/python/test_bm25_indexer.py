"""PyBM25Indexer: statistics, ranking, scores and argument handling."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from revuradova import PyBM25Indexer


def test_fresh_index(make_object):
    index = PyBM25Indexer()
    assert index.stats() == (0, 0, 0)
    assert index.search("anything at all", 10) == []
    assert index.search("", 2**64 - 1) == []


def test_worked_example(make_object):
    index = PyBM25Indexer()
    first, second = make_object("alpha beta beta"), make_object("beta gamma delta epsilon")
    index.index_document(first)
    index.index_document(doc=second)
    assert index.stats() == (2, 5, 3)
    hits = index.search("beta gamma", 10)
    assert [doc_id for doc_id, _ in hits] == [second.id, first.id]
    assert hits[0][1] == pytest.approx(0.82259, abs=1e-5)
    assert hits[1][1] == pytest.approx(0.27299, abs=1e-5)
    # Scores are 32-bit floats widened exactly.
    for _, score in hits:
        assert type(score) is float
        assert float.fromhex(score.hex()) == score
        assert math.isclose(score, float(f"{score:.9g}"))
    assert hits[0][1] == 0.8225880861282349


def test_single_document_score(make_object):
    index = PyBM25Indexer()
    index.index_document(make_object("alpha beta beta"))
    [(_, score)] = index.search(query="beta", limit=5)
    assert score == pytest.approx(0.41097, abs=1e-5)


def test_repeat_doubles_and_limits(make_object):
    index = PyBM25Indexer()
    docs = [make_object(text) for text in ("alpha beta beta", "beta gamma delta epsilon")]
    for doc in docs:
        index.index_document(doc)
    once = dict(index.search("beta", 10))
    twice = dict(index.search("beta beta", 10))
    assert twice == {key: value * 2 for key, value in once.items()}
    assert index.search("beta", 0) == []
    assert len(index.search("beta", 1)) == 1
    assert len(index.search("beta", 2**64 - 1)) == 2


def test_case_and_tokenisation(make_object):
    index = PyBM25Indexer()
    data = make_object("Data DATA data")
    cafe = make_object("e-mail don't local_file 42 2024 Café")
    index.index_document(data)
    index.index_document(cafe)
    assert [d for d, _ in index.search("DaTa", 10)] == [data.id]
    for query in ("mail", "don", "local", "file", "2024", "CAFÉ"):
        assert [d for d, _ in index.search(query, 10)] == [cafe.id], query
    for query in ("e", "t", "42", "a an of", "cafe"):
        assert index.search(query, 10) == [], query


def test_final_sigma_through_search(make_object):
    index = PyBM25Indexer()
    doc = make_object("ΟΔΟΣ")
    index.index_document(doc)
    assert [d for d, _ in index.search("οδος", 10)] == [doc.id]
    assert index.search("οδοσ", 10) == []


def test_reindexing_same_object_changes_nothing(make_object):
    index = PyBM25Indexer()
    doc = make_object("apple banana cherry apple")
    other = make_object("banana split with cherry on top of the banana")
    index.index_document(doc)
    index.index_document(other)
    before = (index.stats(), index.search("apple banana", 10))
    assert before[0] == (2, 7, 5)
    for _ in range(3):
        index.index_document(doc)
    assert (index.stats(), index.search("apple banana", 10)) == before


def test_identical_contents_both_returned(make_object):
    index = PyBM25Indexer()
    a, b, c = make_object("same text"), make_object("same text"), make_object("other words")
    for doc in (a, b, c):
        index.index_document(doc)
    hits = index.search("same", 10)
    assert {d for d, _ in hits} == {a.id, b.id}
    assert hits[0][1] == hits[1][1]
    # Ties come in order of first indexing.
    assert [d for d, _ in hits] == [a.id, b.id]


def test_average_truncates(make_object):
    index = PyBM25Indexer()
    for text in ("one two three", "one two three four", "one two three four five"):
        index.index_document(make_object(text))
    assert index.stats() == (3, 5, 4)
    index2 = PyBM25Indexer()
    index2.index_document(make_object("xx"))
    index2.index_document(make_object("word"))
    assert index2.stats() == (2, 1, 0)


def test_argument_errors(make_object):
    index = PyBM25Indexer()
    with pytest.raises(TypeError, match="^argument 'doc': "):
        index.index_document("not a knowledge object")
    with pytest.raises(TypeError, match="^argument 'doc': "):
        index.index_document(index)
    with pytest.raises(OverflowError):
        index.search("x", -1)
    with pytest.raises(OverflowError):
        index.search("x", 2**64)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        index.search("x", None)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        index.search("x", 1.5)
    with pytest.raises(TypeError, match="^argument 'query': "):
        index.search(b"x", 1)
    with pytest.raises(UnicodeEncodeError):
        index.search("\ud800", 1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'k'"):
        index.search("x", 1, k=2)
    with pytest.raises(TypeError, match="missing required argument 'limit'"):
        index.search(query="x")
    with pytest.raises(TypeError):
        index.stats(1)
    with pytest.raises(TypeError):
        PyBM25Indexer(1)
    with pytest.raises(TypeError):
        PyBM25Indexer.search(make_object("x"), "x", 1)


def test_index_protocol_limit(make_object):
    class Two:
        def __index__(self):
            return 2

    index = PyBM25Indexer()
    for _ in range(3):
        index.index_document(make_object("word"))
    assert len(index.search("word", Two())) == 2
    assert len(index.search("word", True)) == 1


def test_signatures():
    assert PyBM25Indexer.__text_signature__ == "()"
    assert PyBM25Indexer.__doc__ == "Python binding for BM25Indexer"
    assert PyBM25Indexer.search.__text_signature__ == "($self, query, limit)"
    assert PyBM25Indexer.search.__doc__ is None
    assert PyBM25Indexer.index_document.__text_signature__ == "($self, doc)"
    assert PyBM25Indexer.stats.__text_signature__ == "($self)"


WORDS = st.sampled_from(["alpha", "beta", "gamma", "delta", "omega", "x", "Beta", "ÉTÉ"])


@settings(max_examples=60, deadline=None)
@given(
    contents=st.lists(st.lists(WORDS, max_size=8).map(" ".join), min_size=1, max_size=12),
    query=st.lists(WORDS, min_size=1, max_size=4).map(" ".join),
)
def test_scores_positive_sorted_and_bounded(contents, query):
    from revuradova import PyKnowledgeObject

    index = PyBM25Indexer()
    docs = [PyKnowledgeObject("csv", "", "data", "", c) for c in contents]
    for doc in docs:
        index.index_document(doc)
    hits = index.search(query, 5)
    assert len(hits) <= 5
    scores = [s for _, s in hits]
    assert all(s > 0 for s in scores)
    assert scores == sorted(scores, reverse=True)
    assert len({d for d, _ in hits}) == len(hits)
    full = index.search(query, 100)
    assert full[: len(hits)] == hits
