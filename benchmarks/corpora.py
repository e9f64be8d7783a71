"""Corpora and queries for the comparison benchmark, built locally and deterministically.

* real: every docstring of the running interpreter's standard library (modules, classes,
  functions, methods), read with `ast` from the source files in sorted order, so nothing
  is imported or executed;
* synthetic: seeded documents of 50-400 tokens drawn from a Zipf distribution over the
  real corpus's vocabulary (ranked by frequency);
* queries: seeded, short (1-3 terms) and long (8-15 terms), half of the terms Zipf-drawn
  and half uniform over the vocabulary, plus a few made of words that match nothing.
"""

import ast
import collections
import itertools
import random
import string
import sysconfig
import unicodedata
from pathlib import Path


def tokenize(text):
    """The package's tokenizer in Python: full lower-casing, split at every character that is
    neither alphabetic nor numeric, keep pieces of at least 3 UTF-8 bytes. Exact for text
    without combining marks (Python's isalpha() lacks Unicode's Other_Alphabetic marks)."""
    tokens, piece = [], []
    for ch in text.lower():
        if ch.isalnum():
            piece.append(ch)
        elif piece:
            word = "".join(piece)
            if len(word.encode()) >= 3:
                tokens.append(word)
            piece = []
    if piece:
        word = "".join(piece)
        if len(word.encode()) >= 3:
            tokens.append(word)
    return tokens


def has_combining_marks(text):
    return any(unicodedata.category(ch) in ("Mn", "Mc") for ch in text if ord(ch) > 0x7F)


def stdlib_docstrings():
    """(location, docstring) for every docstring of the standard library's Python sources."""
    root = Path(sysconfig.get_paths()["stdlib"])
    skip = {"site-packages", "test", "tests", "idle_test", "__pycache__"}
    out = []
    for path in sorted(root.rglob("*.py")):
        if skip & set(path.relative_to(root).parts):
            continue
        try:
            tree = ast.parse(path.read_text(encoding="utf-8", errors="replace"))
        except (SyntaxError, ValueError):
            continue
        rel = str(path.relative_to(root))
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node, clean=True)
                if doc:
                    name = getattr(node, "name", "<module>")
                    out.append((f"{rel}:{name}", doc))
    return out


def random_vocabulary(size, seed=1):
    """`size` distinct made-up lower-case words of 3 to 10 letters."""
    rng = random.Random(seed)
    words, seen = [], set()
    while len(words) < size:
        word = "".join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 10)))
        if word not in seen:
            seen.add(word)
            words.append(word)
    return words


def ranked_vocabulary(token_lists):
    counts = collections.Counter(itertools.chain.from_iterable(token_lists))
    return [word for word, _ in counts.most_common()]


def zipf_cumulative(size, exponent=1.0):
    return list(itertools.accumulate(1.0 / (rank**exponent) for rank in range(1, size + 1)))


def synthetic_documents(vocabulary, count, seed, min_tokens=50, max_tokens=400):
    """`count` texts of min_tokens to max_tokens words drawn Zipf-wise from `vocabulary`."""
    rng = random.Random(seed)
    cumulative = zipf_cumulative(len(vocabulary))
    return [
        " ".join(
            rng.choices(vocabulary, cum_weights=cumulative, k=rng.randint(min_tokens, max_tokens))
        )
        for _ in range(count)
    ]


def zipf_queries(vocabulary, count, min_terms, max_terms, seed):
    """Queries drawn from the same Zipf distribution as the documents."""
    return synthetic_documents(vocabulary, count, seed, min_terms, max_terms)


def queries(vocabulary, count, seed):
    """`count` query texts: 45% short, 45% long, 10% with words that match nothing."""
    rng = random.Random(seed)
    cumulative = zipf_cumulative(len(vocabulary))
    out = []
    for i in range(count):
        if i % 10 == 9:
            words = [f"zzq{rng.randrange(10**6)}x" for _ in range(rng.randint(1, 3))]
        else:
            n = rng.randint(1, 3) if i % 2 == 0 else rng.randint(8, 15)
            words = [
                rng.choices(vocabulary, cum_weights=cumulative)[0]
                if rng.random() < 0.5
                else rng.choice(vocabulary)
                for _ in range(n)
            ]
        out.append(" ".join(words))
    return out
