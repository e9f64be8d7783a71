"""The systems under comparison, each behind the same three calls: build, search, close.

Every system indexes raw document texts (its tokenisation is part of indexing) and answers
a query text with its top 10 document positions.
"""

import numpy as np
from corpora import tokenize

TOP = 10


class Revuradova:
    name = "revuradova PyBM25Indexer"

    def new_index(self):
        from revuradova import PyBM25Indexer

        return PyBM25Indexer()

    def build(self, texts):
        from revuradova import PyKnowledgeObject

        self.index = self.new_index()
        self.position = {}
        for i, text in enumerate(texts):
            obj = PyKnowledgeObject("markdown", str(i), "reference", "bench", text)
            self.position[obj.id] = i
            self.index.index_document(obj)

    def search(self, query):
        return [self.position[doc_id] for doc_id, _ in self.index.search(query, TOP)]


class RevuradovaOrchestrator(Revuradova):
    name = "revuradova orchestrator (BM25 road)"

    def new_index(self):
        from revuradova import PyRetrievalOrchestrator

        return PyRetrievalOrchestrator(True, False, False, False, False, TOP)

    def search(self, query):
        ids, _ = self.index.search(query, [])
        return [self.position[doc_id] for doc_id in ids]


class Bm25s:
    """bm25s with our formula (ATIRE term weight, Lucene idf, k1 1.5, b 0.75), its own
    tokenizer for timing (no stop words, no stemming)."""

    name = "bm25s"

    def build(self, texts):
        import bm25s

        self.bm25s = bm25s
        tokens = bm25s.tokenize(texts, stopwords=None, show_progress=False)
        self.retriever = bm25s.BM25(method="atire", idf_method="lucene", k1=1.5, b=0.75)
        self.retriever.index(tokens, show_progress=False)
        self.vocab = tokens.vocab

    def search(self, query):
        ids = [self.vocab[t] for t in tokenize(query) if t in self.vocab]
        if not ids:
            return []
        docs, scores = self.retriever.retrieve([ids], k=TOP, show_progress=False, n_threads=1)
        return [int(d) for d, s in zip(docs[0], scores[0], strict=True) if s > 0]


class Bm25sNumba(Bm25s):
    """bm25s in its fastest configuration: the numba backend, compiled before timing."""

    name = "bm25s numba"

    def build(self, texts):
        import bm25s

        self.bm25s = bm25s
        tokens = bm25s.tokenize(texts, stopwords=None, show_progress=False)
        self.retriever = bm25s.BM25(
            method="atire", idf_method="lucene", k1=1.5, b=0.75, backend="numba"
        )
        self.retriever.index(tokens, show_progress=False)
        self.vocab = tokens.vocab
        self.k = min(TOP, len(texts))
        self.search(" ".join(list(self.vocab)[:3]))  # numba compiles on the first search

    def search(self, query):
        ids = [self.vocab[t] for t in tokenize(query) if t in self.vocab]
        if not ids:
            return []
        docs, scores = self.retriever.retrieve(
            [ids], k=self.k, show_progress=False, n_threads=1, backend_selection="numba"
        )
        return [int(d) for d, s in zip(docs[0], scores[0], strict=True) if s > 0]


class RankBm25:
    name = "rank_bm25"

    def build(self, texts):
        from rank_bm25 import BM25Okapi

        self.bm25 = BM25Okapi([tokenize(t) for t in texts], k1=1.5, b=0.75)

    def search(self, query):
        scores = self.bm25.get_scores(tokenize(query))
        if len(scores) <= TOP:
            top = np.argsort(-scores)
        else:
            top = np.argpartition(-scores, TOP)[:TOP]
            top = top[np.argsort(-scores[top])]
        return [int(i) for i in top if scores[i] > 0]


class Tantivy:
    """tantivy's default tokenizer; speed only, its scoring is its own."""

    name = "tantivy"

    def build(self, texts):
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        builder.add_integer_field("pos", stored=True, fast=True)
        self.index = tantivy.Index(builder.build())
        writer = self.index.writer(heap_size=512_000_000, num_threads=1)
        for i, text in enumerate(texts):
            writer.add_document(tantivy.Document(body=text, pos=i))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def search(self, query):
        parsed = self.index.parse_query(query, ["body"])
        hits = self.searcher.search(parsed, TOP).hits
        return [self.searcher.doc(address)["pos"][0] for _, address in hits]


class TantivyFreq:
    """tantivy with frequency-only postings and nothing stored; queries return addresses
    (no document fetched)."""

    name = "tantivy freq"

    def build(self, texts):
        from goals import build_tantivy

        (self.index, self.searcher), _ = build_tantivy(texts, 1_000_000_000)

    def search(self, query):
        parsed = self.index.parse_query(query, ["body"])
        return [address.doc for _, address in self.searcher.search(parsed, TOP).hits]


SYSTEMS = [
    Revuradova,
    RevuradovaOrchestrator,
    Bm25s,
    Bm25sNumba,
    RankBm25,
    Tantivy,
    TantivyFreq,
]
