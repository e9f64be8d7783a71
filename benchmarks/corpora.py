"""Corpora and queries for the comparison benchmark, built locally and deterministically.

* real: every docstring of the running interpreter's standard library (modules, classes,
  functions, methods), read with `ast` from the source files in sorted order, so nothing
  is imported or executed;
* paragraphs: the paragraphs of the docstrings of the standard library and of the large
  packages the bench extra installs (over 100,000 distinct paragraphs of 5 tokens or more);
* synthetic: seeded documents of 50-400 tokens drawn from a Zipf distribution over the
  real corpus's vocabulary (ranked by frequency);
* wide synthetic: seeded documents of 50-400 tokens drawn with NumPy over a million made-up
  words, weights 1 / (rank + 100), so that even the most common word is in about a fifth
  of the documents (with plain Zipf weights it is in nearly all of them);
* boilerplate: the paragraphs of the machine's package documentation (every
  /usr/share/doc/*/copyright and Debian changelog, and the licence files of the installed
  Python distributions), repeats kept: licence texts recur across hundreds of files and
  common words are in most paragraphs;
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
    return [
        (f"{path.relative_to(root)}:{getattr(node, 'name', '<module>')}", doc)
        for path, node, doc in docstrings_under(root)
    ]


# Packages whose docstrings the paragraph corpus reads besides the standard library; all
# come with the bench extra.
PARAGRAPH_PACKAGES = [
    "numpy",
    "scipy",
    "matplotlib",
    "fontTools",
    "numba",
    "sympy",
    "pandas",
    "networkx",
]


def docstrings_under(root):
    """Every docstring of the Python sources under `root`, tests left out, in path order."""
    skip = {"site-packages", "test", "tests", "idle_test", "__pycache__"}
    for path in sorted(root.rglob("*.py")):
        if skip & set(path.relative_to(root).parts):
            continue
        try:
            tree = ast.parse(path.read_text(encoding="utf-8", errors="replace"))
        except (SyntaxError, ValueError):
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node, clean=True)
                if doc:
                    yield path, node, doc


def docstring_paragraphs():
    """(paragraphs, sources): the distinct blank-line-separated paragraphs, whitespace
    collapsed, of 5 tokens or more, and the package versions they came from."""
    import importlib.metadata

    roots = [("python", Path(sysconfig.get_paths()["stdlib"]))]
    for name in PARAGRAPH_PACKAGES:
        try:
            module = __import__(name)
        except ImportError:
            continue
        roots.append((name, Path(module.__file__).parent))
    seen, paragraphs, sources = set(), [], {}
    for name, root in roots:
        before = len(paragraphs)
        for _, _, doc in docstrings_under(root):
            for paragraph in doc.split("\n\n"):
                paragraph = " ".join(paragraph.split())
                if paragraph not in seen and len(tokenize(paragraph)) >= 5:
                    seen.add(paragraph)
                    paragraphs.append(paragraph)
        try:
            version = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            version = sysconfig.get_python_version()
        sources[f"{name} {version}"] = len(paragraphs) - before
    return paragraphs, sources


def boilerplate_paragraphs(minimum=100_000, maximum=150_000):
    """(paragraphs, sources): the blank-line-separated paragraphs of 5 tokens or more of the
    system's package documentation, in sorted file order, repeats kept, up to `maximum`;
    the docstring paragraphs are added after them if that gives fewer than `minimum`."""
    import gzip

    docs = Path("/usr/share/doc")
    files = sorted(docs.glob("*/copyright"))
    files += sorted(Path(sysconfig.get_paths()["purelib"]).glob("*.dist-info/LICEN[CS]E*"))
    files += sorted(docs.glob("*/changelog.Debian.gz"))
    paragraphs, sources = [], collections.Counter()
    for path in files:
        try:
            data = path.read_bytes()
            if path.suffix == ".gz":
                data = gzip.decompress(data)
        except (OSError, EOFError, gzip.BadGzipFile):
            continue
        kind = (
            "copyright"
            if path.name == "copyright"
            else ("changelog" if "changelog" in path.name else "python licences")
        )
        for paragraph in data.decode("utf-8", "replace").split("\n\n"):
            paragraph = " ".join(paragraph.split())
            if len(tokenize(paragraph)) >= 5 and len(paragraphs) < maximum:
                paragraphs.append(paragraph)
                sources[kind] += 1
    if len(paragraphs) < minimum:
        extra, _ = docstring_paragraphs()
        paragraphs += extra[: minimum - len(paragraphs)]
        sources["docstrings"] = min(len(extra), minimum - sum(sources.values()))
    return paragraphs, dict(sources)


def wide_synthetic(
    count, seed, vocabulary_size=1_000_000, shift=100, min_tokens=50, max_tokens=400
):
    """(texts, token_ids, vocabulary, weights): `count` documents over a wide vocabulary,
    with each document's word numbers kept (so peers need not tokenize a million texts)."""
    import numpy as np

    vocabulary = random_vocabulary(vocabulary_size, seed=seed + 7)
    weights = 1.0 / (np.arange(vocabulary_size, dtype=np.float64) + 1 + shift)
    weights /= weights.sum()
    rng = np.random.default_rng(seed)
    lengths = rng.integers(min_tokens, max_tokens + 1, size=count)
    ids = rng.choice(vocabulary_size, size=int(lengths.sum()), p=weights).astype(np.int32)
    token_ids = np.split(ids, np.cumsum(lengths)[:-1])
    words = np.array(vocabulary, dtype=object)
    texts = [" ".join(words[row]) for row in token_ids]
    return texts, token_ids, vocabulary, weights


def weighted_queries(vocabulary, weights, count, seed):
    """Like queries(), drawing the common half of the terms by `weights` instead of Zipf."""
    import numpy as np

    rng = np.random.default_rng(seed)
    out = []
    for i in range(count):
        if i % 10 == 9:
            words = [f"zzq{rng.integers(10**6)}x" for _ in range(rng.integers(1, 4))]
        else:
            n = int(rng.integers(1, 4) if i % 2 == 0 else rng.integers(8, 16))
            common = rng.choice(len(vocabulary), size=n, p=weights)
            uniform = rng.integers(len(vocabulary), size=n)
            picks = rng.random(n) < 0.5
            words = [
                vocabulary[int(c if p else u)]
                for c, u, p in zip(common, uniform, picks, strict=True)
            ]
        out.append(" ".join(words))
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
