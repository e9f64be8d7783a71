"""The systems under comparison: each peer once, its configuration as arguments.

Every system indexes raw document texts (its tokenisation is part of indexing) and answers
with its top 10. `prepare(query)` does what a caller can do once per query text (parse it,
map its tokens to ids), `run(prepared)` the search itself, and `positions(raw)` turns what
`run` returned into document positions; `search(query)` is the three in a row. The goals
time `run` alone, the comparison `search`.

SYSTEMS names every configuration measured; `make(name)` builds a fresh one.
"""

import time

import numpy as np
from corpora import tokenize

TOP = 10


class System:
    """What every system shares: a search is prepare, run and positions in a row."""

    def search(self, query):
        return self.positions(self.run(self.prepare(query)))


class Revuradova(System):
    """PyBM25Indexer, or the orchestrator's BM25 road (road=True). With positions=False
    no map from identifiers to positions is kept (its memory is the caller's)."""

    def __init__(self, road=False, positions=True):
        self.road, self.keep_positions = road, positions
        self.inside_s = 0.0  # seconds spent inside index_document during build

    def build(self, texts, tokens=None):
        import revuradova

        if self.road:
            self.index = revuradova.PyRetrievalOrchestrator(True, False, False, False, False, TOP)
        else:
            self.index = revuradova.PyBM25Indexer()
        self.position = {}
        clock = time.perf_counter
        for i, text in enumerate(texts):
            obj = revuradova.PyKnowledgeObject("markdown", str(i), "reference", "bench", text)
            if self.keep_positions:
                self.position[obj.id] = i
            start = clock()
            self.index.index_document(obj)
            self.inside_s += clock() - start

    def prepare(self, query):
        return query

    def run(self, query):
        if self.road:
            return self.index.search(query, [])[0]
        return self.index.search(query, TOP)

    def positions(self, raw):
        return [self.position[hit if self.road else hit[0]] for hit in raw]


class Bm25s(System):
    """bm25s with our formula (ATIRE term weight, Lucene idf, k1 1.5, b 0.75), no stop
    words or stemming; backend "numba" is its fastest (compiled before timing). `tokens`,
    (token id lists, vocabulary), skips its tokenizer when the caller has them."""

    def __init__(self, backend="numpy"):
        self.backend = backend

    def build(self, texts, tokens=None):
        import bm25s

        if tokens is None:
            tokenized = bm25s.tokenize(texts, stopwords=None, show_progress=False)
        else:
            ids, vocabulary = tokens
            vocab = {word: i for i, word in enumerate(vocabulary)}
            tokenized = bm25s.tokenization.Tokenized(ids=ids, vocab=vocab)
        self.retriever = bm25s.BM25(
            method="atire", idf_method="lucene", k1=1.5, b=0.75, backend=self.backend
        )
        self.retriever.index(tokenized, show_progress=False)
        self.vocab = tokenized.vocab
        self.k = min(TOP, len(texts))
        if self.backend == "numba":
            self.search(" ".join(list(self.vocab)[:3]))  # numba compiles on the first search

    def prepare(self, query):
        return [self.vocab[t] for t in tokenize(query) if t in self.vocab]

    def run(self, ids):
        if not ids:
            return [], []
        options = {"backend_selection": "numba"} if self.backend == "numba" else {}
        docs, scores = self.retriever.retrieve(
            [ids], k=self.k, show_progress=False, n_threads=1, **options
        )
        return docs[0], scores[0]

    def positions(self, raw):
        docs, scores = raw
        return [int(d) for d, s in zip(docs, scores, strict=True) if s > 0]


class RankBm25(System):
    """rank_bm25's BM25Okapi, k1 1.5, b 0.75: every document scored in Python."""

    def build(self, texts, tokens=None):
        from rank_bm25 import BM25Okapi

        self.bm25 = BM25Okapi([tokenize(t) for t in texts], k1=1.5, b=0.75)

    def prepare(self, query):
        return tokenize(query)

    def run(self, tokens):
        scores = self.bm25.get_scores(tokens)
        if len(scores) <= TOP:
            top = np.argsort(-scores)
        else:
            top = np.argpartition(-scores, TOP)[:TOP]
            top = top[np.argsort(-scores[top])]
        return [(int(i), scores[i]) for i in top]

    def positions(self, raw):
        return [i for i, score in raw if score > 0]


class Tantivy(System):
    """tantivy's default tokenizer (speed only: its scoring is its own). index_option
    "freq" keeps frequencies without positions; stored=False stores nothing, and hits are
    read as addresses (one segment, so in insertion order)."""

    def __init__(self, index_option="position", stored=True, heap_bytes=512_000_000):
        self.index_option, self.stored, self.heap_bytes = index_option, stored, heap_bytes

    def build(self, texts, tokens=None):
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False, index_option=self.index_option)
        if self.stored:
            builder.add_integer_field("pos", stored=True, fast=True)
        self.index = tantivy.Index(builder.build())
        writer = self.index.writer(heap_size=self.heap_bytes, num_threads=1)
        for i, text in enumerate(texts):
            fields = {"body": text, "pos": i} if self.stored else {"body": text}
            writer.add_document(tantivy.Document(**fields))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def prepare(self, query):
        return self.index.parse_query(query, ["body"])

    def run(self, parsed):
        return self.searcher.search(parsed, TOP).hits

    def positions(self, raw):
        if self.stored:
            return [self.searcher.doc(address)["pos"][0] for _, address in raw]
        return [address.doc for _, address in raw]


SYSTEMS = {
    "revuradova PyBM25Indexer": lambda: Revuradova(),
    "revuradova orchestrator (BM25 road)": lambda: Revuradova(road=True),
    "bm25s": lambda: Bm25s(),
    "bm25s numba": lambda: Bm25s(backend="numba"),
    "rank_bm25": lambda: RankBm25(),
    "tantivy": lambda: Tantivy(),
    "tantivy freq": lambda: Tantivy(index_option="freq", stored=False, heap_bytes=1_000_000_000),
}


def make(name):
    return SYSTEMS[name]()
