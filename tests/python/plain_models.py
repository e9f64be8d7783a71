"""Plain models written from the documented rules, for the oracle tests and the benchmark's
plain-Python road. They share nothing with the module but the intent classifier.

With ``exact=True`` every score is computed in 32-bit floats in the documented order of
operations (the logarithm is the C library's logf, as in the module), so results compare
bit for bit; with ``exact=False`` plain Python floats keep the benchmark honest about what
a user would write.
"""

import collections
import ctypes
import ctypes.util
import unicodedata

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]

f32 = np.float32
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)


def logf(x):
    return f32(_libm.logf(float(x)))


def is_token_char(ch):
    """Alphabetic or numeric by general category. The Other_Alphabetic marks are not in
    unicodedata; callers keep to text without combining marks or other symbols."""
    category = unicodedata.category(ch)
    return category[0] == "L" or category in ("Nd", "Nl", "No")


def tokenize(text):
    tokens, piece = [], []
    for ch in text.lower() + " ":
        if is_token_char(ch):
            piece.append(ch)
            continue
        token = "".join(piece)
        if len(token.encode()) >= 3:
            tokens.append(token)
        piece = []
    return tokens


def split_white_space(text):
    words, piece = [], []
    for ch in text + " ":
        if ch in WHITE_SPACE:
            if piece:
                words.append("".join(piece))
            piece = []
        else:
            piece.append(ch)
    return words


class Bm25:
    """BM25 as a scan of every stored document against every query token."""

    def __init__(self):
        self.docs = {}  # id -> tokens, in order of first indexing
        self._statistics = None  # (df, term counts per id, average length), until a change

    def index(self, doc_id, content):
        self.index_tokens(doc_id, tokenize(content))

    def index_tokens(self, doc_id, tokens):
        self.docs[doc_id] = list(tokens)
        self._statistics = None

    def doc_freqs(self):
        return self._stats()[0]

    def _stats(self):
        if self._statistics is None:
            df, counts = {}, {}
            for doc_id, tokens in self.docs.items():
                counts[doc_id] = collections.Counter(tokens)
                for token in counts[doc_id]:
                    df[token] = df.get(token, 0) + 1
            total = sum(len(t) for t in self.docs.values())
            average = f32(total) / f32(len(self.docs)) if self.docs else f32(0)
            self._statistics = (df, counts, average)
        return self._statistics

    def stats(self):
        return len(self.docs), len(self.doc_freqs()), int(self._stats()[2])

    def score(self, query_tokens, doc_id):
        """The document's score for the query tokens, in 32-bit floats."""
        df, counts, avgdl = self._stats()
        n = f32(len(self.docs))
        k = ((f32(len(self.docs[doc_id])) / avgdl) * f32(0.75) + f32(0.25)) * f32(1.5)
        score = f32(0)
        for t in query_tokens:
            if t not in df:
                continue
            d = f32(df[t])
            idf = logf(((n - d) + f32(0.5)) / (d + f32(0.5)) + f32(1.0))
            tf = f32(counts[doc_id][t])
            score = score + ((tf * f32(2.5)) / (k + tf)) * idf
        return score

    def search(self, query, limit):
        q = tokenize(query)
        hits = []
        for doc_id in self.docs:
            score = self.score(q, doc_id)
            if score > 0:
                hits.append((doc_id, float(score)))
        hits.sort(key=lambda hit: -hit[1])  # stable: ties keep first-indexing order
        return hits[:limit]


def progressive_search(intent, query, records, max_results, exact=True):
    """The four stages over records (id, knowledge type, domain, content) as understood from
    the query alone (no criteria, no validity windows): the final identifiers."""
    if intent == "ProcedureGuidance":
        kept = [r for r in records if r[1] == "procedure"]
    elif intent == "ComplianceCheck":
        kept = [r for r in records if r[1] == "policy" or "compliance" in r[2]]
    elif intent == "Definition":
        kept = [r for r in records if r[1] == "definition"]
    else:
        kept = list(records)
    if not kept:
        return []
    first = {}
    for r in records:
        first.setdefault(r[0], r)
    terms = [t.lower() for t in split_white_space(query)]
    one = f32(1) if exact else 1.0
    scored = []
    for r in kept:
        content = first[r[0]][3]
        lowered = content.lower()
        score = f32(0) if exact else 0.0
        for t in terms:
            if t in lowered:
                score = score + one
        if content:
            length = len(content.encode())
            score = score / (np.sqrt(f32(length)) if exact else length**0.5)
        scored.append((score, r[0]))
    scored.sort(key=lambda pair: -pair[0])
    return [doc_id for _, doc_id in scored[:max_results]]
