"""The module against plain models written from the documented rules (plain_models.py):
BM25 scores bit for bit in 32-bit floats, the progressive road, and the tokenizer."""

import collections
import random
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from plain_models import Bm25, progressive_search, tokenize

from revuradova import (
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)

COMMON = ["alpha", "beta", "gamma", "delta", "epsilon", "report", "expense"]
RARE = [f"rare{i:03d}" for i in range(200)]


def make(content, knowledge_type="reference", domain="general"):
    return PyKnowledgeObject("markdown", "x.md", knowledge_type, domain, content)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), size=st.integers(50, 500))
def test_bm25_matches_the_plain_scan(seed, size):
    rng = random.Random(seed)
    objects = []
    index, model = PyBM25Indexer(), Bm25()
    for _ in range(size):
        words = rng.choices(COMMON, k=rng.randint(0, 6)) + rng.choices(RARE, k=rng.randint(0, 3))
        rng.shuffle(words)
        if objects and rng.random() < 0.1:
            # From Python an identifier comes back only with its own object: indexing it
            # again must change nothing.
            doc = rng.choice(objects)
        else:
            doc = make(" ".join(words))
            objects.append(doc)
        index.index_document(doc)
        model.index(doc.id, doc.content)
    assert index.stats() == model.stats()
    for _ in range(20):
        query = " ".join(rng.choices(COMMON + RARE, k=rng.randint(1, 4)))
        limit = rng.randint(1, 5)
        assert index.search(query, limit) == model.search(query, limit), query


QUESTIONS = [
    "How do I file the {} {}?",
    "What is {} {}",
    "Is this {} compliant?",
    "{} {} trend",
    "{} and {}",
    "define {}",
]
TYPES = ["procedure", "policy", "definition", "data", "code", "discussion", "reference"]
DOMAINS = ["finance", "hr compliance", "Compliance", "engineering"]


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), size=st.integers(0, 300), limit=st.integers(0, 12))
def test_progressive_road_matches_the_plain_stages(seed, size, limit):
    rng = random.Random(seed)
    vocabulary = COMMON + ["Café", "CAFÉ", "naïve", "Straße", "ΟΔΟΣ"] + RARE[:20]
    objects, records = [], []
    for _ in range(size):
        content = " ".join(rng.choices(vocabulary, k=rng.randint(0, 12)))
        kind, domain = rng.choice(TYPES), rng.choice(DOMAINS)
        obj = make(content, kind, domain)
        objects.append(obj)
        records.append((obj.id, kind, domain, content))
        if rng.random() < 0.05:  # the same object passed twice
            objects.append(obj)
            records.append(records[-1])
    orchestrator = PyRetrievalOrchestrator(False, False, False, False, True, limit)
    # Lists, tuples and other sequences, searched again: later searches use the digests of
    # the contents that the first made.
    passed = [objects, tuple(objects), collections.UserList(objects)]
    for i in range(6):
        template = rng.choice(QUESTIONS)
        query = template.format(*rng.choices(vocabulary, k=template.count("{}")))
        intent = PyQueryUnderstanding.understand(query)[0]
        ids, _ = orchestrator.search(query, passed[i % 3])
        assert ids == progressive_search(intent, query, records, limit), query


def _plain_text_alphabet():
    """Characters whose lower-case forms the plain tokenizer can judge from unicodedata:
    no combining marks or other symbols (where Other_Alphabetic hides), and nothing
    assigned after Unicode 15.0, the version of the module's tables."""
    import unicodedata

    def allowed(cp):
        ch = chr(cp)
        if 0x2EBF0 <= cp <= 0x2EE5D or cp in (0x31EF, 0x2FFC, 0x2FFD, 0x2FFE, 0x2FFF):
            return False
        return all(unicodedata.category(c)[0] not in "MCS" for c in ch + ch.lower())

    return st.characters(codec="utf-8").filter(lambda ch: allowed(ord(ch)))


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=_plain_text_alphabet(), max_size=60))
def test_tokenizer_matches_unicodedata(text):
    index = PyBM25Indexer()
    doc = make(text)
    index.index_document(doc)
    tokens = tokenize(text)
    assert index.stats()[0] == 1
    assert index.stats()[1] == len(set(tokens))
    for token in set(tokens):
        assert [d for d, _ in index.search(token, 1)] == [doc.id], token


def test_plain_models_are_importable_by_the_benchmark():
    # The benchmark's plain road imports this module by path; keep it free of test imports.
    assert "pytest" not in sys.modules["plain_models"].__dict__
