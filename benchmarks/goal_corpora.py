"""The corpora of the goals: texts, the word numbers of every text (fed to bm25s, so that
it does no tokenizing), and queries in three classes (short, long, no match)."""

import corpora
import numpy as np

QUERIES = 300
CLASSES = ["short", "long", "no match"]


class Corpus:
    """Texts, the word numbers of every text (for bm25s), the queries and their classes."""

    def __init__(self, name, texts, token_ids, vocabulary, queries):
        self.name = name
        self.texts = texts
        self.token_ids = token_ids
        self.vocabulary = vocabulary
        self.queries = queries
        self.classes = [query_class(i) for i in range(len(queries))]
        self.tokens = int(sum(len(ids) for ids in token_ids))
        self.postings = int(sum(len(np.unique(ids)) for ids in token_ids))


def query_class(i):
    if i % 10 == 9:
        return "no match"
    return "short" if i % 2 == 0 else "long"


def wide_corpus(count, seed):
    texts, token_ids, vocabulary, weights = corpora.wide_synthetic(count, seed)
    queries = corpora.weighted_queries(vocabulary, weights, QUERIES, seed + 1)
    return Corpus(f"wide synthetic {count:,}", texts, token_ids, vocabulary, queries)


def tokenized_corpus(name, texts, query_vocabulary, seed):
    vocabulary = {}
    token_ids = [
        np.array([vocabulary.setdefault(t, len(vocabulary)) for t in corpora.tokenize(text)])
        for text in texts
    ]
    words = sorted(vocabulary, key=vocabulary.get)
    queries = corpora.queries(query_vocabulary, QUERIES, seed)
    return Corpus(name, texts, token_ids, words, queries)


def zipf_corpus(count, seed):
    vocabulary = corpora.random_vocabulary(50_000)
    texts = corpora.synthetic_documents(vocabulary, count, seed=seed)
    return tokenized_corpus(f"Zipf synthetic {count:,} (former generator)", texts, vocabulary, seed)


def real_corpus(name, paragraphs, seed):
    """A corpus of real paragraphs, queried over their own vocabulary ranked by frequency."""
    tokens = [corpora.tokenize(p) for p in paragraphs]
    return tokenized_corpus(
        f"{name} {len(paragraphs):,}", paragraphs, corpora.ranked_vocabulary(tokens), seed
    )


def paragraph_corpus(seed):
    paragraphs, sources = corpora.docstring_paragraphs()
    corpus = real_corpus("docstring paragraphs", paragraphs, seed)
    corpus.sources = sources
    return corpus


def boilerplate_corpus(seed):
    paragraphs, sources = corpora.boilerplate_paragraphs()
    corpus = real_corpus("package docs, boilerplate", paragraphs, seed)
    corpus.boilerplate_sources = sources
    return corpus


def kb_passage_corpus(seed):
    """The passages a knowledge base holds of the Django documentation (the quality
    benchmark's documents), as it indexes them: headings and body."""
    import documents

    from revuradova.ingest import read_folder

    docs = documents.django_docs()
    reader = read_folder(docs, include=documents.INCLUDE, exclude=documents.EXCLUDE)
    return real_corpus("knowledge-base passages (Django docs)", [p.text for p in reader], seed)
