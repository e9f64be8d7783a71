"""PyRetrievalOrchestrator: flags, both roads, summaries, document handling, reentrancy."""

import re

import pytest

from revuradova import PyRetrievalOrchestrator

ARROW = "\u2192"
SUMMARY = re.compile(
    rf"^Query: '(?P<query>.*)' \| Filtered: (?P<initial>\d+) {ARROW} (?P<final>\d+) "
    r"\((?P<percent>\d+\.\d)%\) \| Time: (?P<time>\d+)ms \| Cost: \$(?P<cost>\d+\.\d{6})$",
    re.S,
)


def orchestrator(
    bm25=True, progressive=True, max_results=10, graph=False, topics=False, vector=False
):
    return PyRetrievalOrchestrator(bm25, graph, topics, vector, progressive, max_results)


def parse(summary):
    match = SUMMARY.match(summary)
    assert match, summary
    return match.groupdict()


@pytest.fixture
def corpus(make_object):
    return [
        make_object("How to reset the router: unplug it", knowledge_type="procedure", domain="it"),
        make_object("Reset your password in the portal", knowledge_type="procedure", domain="it"),
        make_object("Leave policy: thirty days", knowledge_type="policy", domain="hr"),
        make_object(
            "Churn: customers who cancel",
            knowledge_type="definition",
            domain="analytics compliance",
        ),
        make_object("Q3 sales rose in Europe", knowledge_type="data", domain="sales"),
    ]


def test_stats_and_signature():
    o = PyRetrievalOrchestrator(True, False, False, False, True, 5)
    assert (
        o.stats()
        == "BM25: true, EntityGraph: false, Topics: false, Vector: false, Progressive: true"
    )
    o = PyRetrievalOrchestrator(
        enable_bm25=False,
        enable_entity_graph=True,
        enable_topics=True,
        enable_vector_search=True,
        enable_progressive_filtering=False,
        max_results=0,
    )
    assert (
        o.stats()
        == "BM25: false, EntityGraph: true, Topics: true, Vector: true, Progressive: false"
    )
    assert PyRetrievalOrchestrator.__text_signature__ == (
        "(enable_bm25, enable_entity_graph, enable_topics, enable_vector_search, "
        "enable_progressive_filtering, max_results)"
    )
    assert PyRetrievalOrchestrator.search.__text_signature__ == "($self, query, documents)"


@pytest.mark.parametrize("bad", [1, 0, None, "True", 1.0])
def test_flags_must_be_bool(bad):
    with pytest.raises(TypeError, match="^argument 'enable_topics': "):
        PyRetrievalOrchestrator(True, False, bad, False, True, 5)


def test_constructor_errors():
    with pytest.raises(TypeError, match="missing required argument 'max_results'"):
        PyRetrievalOrchestrator(True, False, False, False, True)
    with pytest.raises(OverflowError):
        PyRetrievalOrchestrator(True, False, False, False, True, -1)
    with pytest.raises(OverflowError):
        PyRetrievalOrchestrator(True, False, False, False, True, 2**64)
    with pytest.raises(TypeError):
        PyRetrievalOrchestrator(True, False, False, False, True, 5, 6)


def test_numpy_bools_are_flags():
    np = pytest.importorskip("numpy")
    o = PyRetrievalOrchestrator(np.True_, np.False_, False, False, np.bool_(True), np.int64(3))
    assert o.stats().startswith("BM25: true, EntityGraph: false")


def test_without_bm25_everything_is_dropped(corpus):
    o = orchestrator(bm25=False, progressive=False)
    for doc in corpus:
        assert o.index_document(doc) is None
    ids, summary = o.search("reset", corpus)
    assert ids == []
    assert parse(summary) == {
        "query": "reset",
        "initial": "0",
        "final": "0",
        "percent": "0.0",
        "time": "0",
        "cost": "0.000000",
    }


def test_bm25_road(corpus, make_object):
    o = orchestrator(progressive=False, max_results=3)
    for doc in corpus:
        o.index_document(doc)
    ids, summary = o.search("reset the password portal router", [])
    assert ids[:2] == [corpus[1].id, corpus[0].id]
    # Passed documents are only counted on this road.
    unrelated = [make_object("reset reset reset")]
    assert o.search("reset the password portal router", unrelated)[0] == ids
    many = [o.index_document(make_object(f"word{i} common")) for i in range(5)]
    assert many == [None] * 5
    ids, summary = o.search("common", [])
    assert len(ids) == 3
    fields = parse(summary)
    assert (fields["initial"], fields["final"], fields["percent"], fields["time"]) == (
        "0",
        "3",
        "0.0",
        "0",
    )
    assert fields["cost"] == "0.000300"


def test_progressive_road(corpus):
    o = orchestrator(max_results=10)
    ids, summary = o.search("How do I reset my password", corpus)
    assert ids == [corpus[1].id, corpus[0].id]
    fields = parse(summary)
    assert (fields["initial"], fields["final"], fields["percent"]) == ("5", "2", "40.0")
    assert fields["cost"] == "0.000200"
    assert fields["query"] == "How do I reset my password"

    # Compliance: policy documents and domains containing "compliance".
    ids, _ = o.search("Is this policy current", corpus)
    assert ids == [corpus[2].id, corpus[3].id]

    # "?" is a query word of its own here and matches nothing; "sales" and "rose" match.
    ids, summary = o.search("sales rose ?", corpus)
    assert ids[0] == corpus[4].id and len(ids) == 5
    assert parse(summary)["percent"] == "100.0"


def test_progressive_limits_and_empty(corpus):
    o = orchestrator(max_results=2)
    ids, summary = o.search("where?", corpus)
    assert len(ids) == 2
    assert parse(summary)["percent"] == "40.0"
    ids, summary = o.search("anything", [])
    assert ids == []
    assert parse(summary) == {
        "query": "anything",
        "initial": "0",
        "final": "0",
        "percent": "0.0",
        "time": "0",
        "cost": "0.000000",
    }
    ids, summary = orchestrator(max_results=0).search("where?", corpus)
    assert ids == [] and parse(summary)["final"] == "0"


def test_progressive_ignores_bm25_index(corpus):
    o = orchestrator()
    for doc in corpus:
        o.index_document(doc)
    assert o.search("reset", [])[0] == []


def test_duplicates_and_tuples(corpus):
    o = orchestrator(max_results=10)
    doc = corpus[4]
    ids, summary = o.search("sales?", [doc, doc])
    assert ids == [doc.id, doc.id]
    assert parse(summary)["initial"] == "2"
    assert o.search("sales?", tuple(corpus))[0] == o.search("sales?", list(corpus))[0]


def test_sixteenth_rounds_to_even(make_object):
    docs = [make_object("alpha", knowledge_type="procedure")] + [
        make_object("beta", knowledge_type="data") for _ in range(15)
    ]
    _, summary = orchestrator().search("how do I alpha", docs)
    assert parse(summary)["percent"] == "6.2"


def test_query_text_is_verbatim(corpus):
    query = "it's a 'quoted' question?\n"
    _, summary = orchestrator().search(query, corpus)
    assert parse(summary)["query"] == query


@pytest.mark.parametrize(
    "documents, message",
    [
        ("abc", "^argument 'documents': Can't extract `str` to `Vec`$"),
        ({1, 2}, "^argument 'documents': "),
        ({"a": 1}, "^argument 'documents': "),
        ((x for x in []), "^argument 'documents': "),
        ([1], "^argument 'documents': "),
        (None, "^argument 'documents': "),
    ],
)
def test_documents_errors(documents, message, corpus):
    with pytest.raises(TypeError, match=message):
        orchestrator().search("q", documents)


def test_other_argument_errors(corpus):
    o = orchestrator()
    with pytest.raises(TypeError, match="^argument 'query': "):
        o.search(None, corpus)
    with pytest.raises(TypeError, match="^argument 'doc': "):
        o.index_document("text")
    with pytest.raises(TypeError):
        o.search("q")
    assert o.search(documents=corpus, query="where?")[0]


def test_sequence_exceptions_pass_through(corpus):
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            raise KeyError("from the sequence")

    with pytest.raises(KeyError, match="from the sequence"):
        orchestrator().search("q", Broken())

    class BadIter(list):
        def __iter__(self):
            raise TypeError("iterator refused")

    with pytest.raises(TypeError, match="^iterator refused$"):
        orchestrator().search("q", BadIter(corpus))


def test_custom_sequence_uses_iteration(corpus):
    class Seq:
        def __len__(self):
            return len(corpus)

        def __getitem__(self, index):
            return corpus[index]

    assert orchestrator().search("where?", Seq())[0] == orchestrator().search("where?", corpus)[0]


def test_reentrant_index_document_is_refused(corpus, make_object):
    o = orchestrator(progressive=False)
    errors = []
    intruder = make_object("intruder words")

    class Sneaky(list):
        def __iter__(self):
            try:
                o.index_document(intruder)
            except RuntimeError as error:
                errors.append(error)
            return super().__iter__()

    ids, _ = o.search("intruder", Sneaky(corpus))
    assert len(errors) == 1
    assert ids == []  # the index is unchanged
    o.index_document(intruder)
    assert o.search("intruder", [])[0] == [intruder.id]


def test_objects_reusable_after_search(corpus):
    contents = [d.content for d in corpus]
    o = orchestrator()
    first = o.search("where?", corpus)
    second = o.search("where?", corpus)
    assert first[0] == second[0]
    assert [d.content for d in corpus] == contents
    for doc in corpus:
        o.index_document(doc)


def test_rerank_uses_full_unicode_lowercasing(make_object):
    plain = make_object("nothing to see here")
    kelvin = make_object("\u212aey facts")  # KELVIN SIGN lower-cases to "k"
    sigma = make_object("ΟΔΟΣ και " + "x" * 40)  # final sigma: "οδος"
    ids, _ = orchestrator().search("key ?", [plain, kelvin])
    assert ids == [kelvin.id, plain.id]
    ids, _ = orchestrator().search("οδος ?", [plain, sigma])
    assert ids == [sigma.id, plain.id]
    ids, _ = orchestrator().search("οδοσ ?", [plain, sigma])
    assert ids == [plain.id, sigma.id]  # both score 0: passed order
