"""Hash flooding: index and search tokens crafted to collide under an unkeyed hash.

The crafted tokens are eight lower-case letters whose hash under the index's former
unkeyed function (a multiply-xorshift over 8-byte words, reproduced below with NumPy) falls
in a band of low bits sixteen times narrower than their number, so in a linear-probing
table of up to 2**20 buckets they all pile into one probe run. With a keyed hash they behave like any other tokens; with the old
one indexing and searching them became quadratic. The same number of random tokens of the
same shape is the yardstick.

Run: python -m benchmarks flooding [--tokens N]
"""

import argparse
import time

import numpy as np

from revuradova import PyBM25Indexer, PyKnowledgeObject

MASK = (1 << 64) - 1
MIX = np.uint64(0xD6E8FEB86659FD93)


def _mix(x):
    x ^= x >> np.uint64(32)
    x *= MIX
    x ^= x >> np.uint64(32)
    x *= MIX
    x ^= x >> np.uint64(32)
    return x


def unkeyed_hash_of_8_byte_words(words):
    """The former hash of 8-byte texts, vectorised over little-endian uint64 words."""
    with np.errstate(over="ignore"):
        h = np.full(words.shape, (8 * 0x9E3779B97F4A7C15) & MASK, dtype=np.uint64)
        h = _mix(h ^ words)
        return _mix(h ^ np.uint64(0x5851F42D4C957F2D))


def random_tokens(count, rng):
    letters = rng.integers(ord("a"), ord("z") + 1, size=(count, 8), dtype=np.uint8)
    return letters


def crafted_tokens(count, rng, band_bits=20):
    """`count` distinct tokens whose unkeyed hash has its low `band_bits` bits below
    count / 16: every table of up to 2**band_bits buckets starts them in one narrow band."""
    found = {}
    while len(found) < count:
        letters = random_tokens(1 << 22, rng)
        words = letters.view("<u8").ravel()
        low = unkeyed_hash_of_8_byte_words(words) & np.uint64((1 << band_bits) - 1)
        for row in np.nonzero(low < np.uint64(max(1, count // 16)))[0]:
            found.setdefault(letters[row].tobytes().decode(), None)
    return list(found)[:count]


def as_documents(tokens, per_document=100):
    return [
        PyKnowledgeObject(
            "markdown", f"d{i}", "reference", "bench", " ".join(tokens[i : i + per_document])
        )
        for i in range(0, len(tokens), per_document)
    ]


def measure(tokens):
    documents = as_documents(tokens)
    index = PyBM25Indexer()
    start = time.perf_counter()
    for document in documents:
        index.index_document(document)
    indexing = time.perf_counter() - start
    queries = [" ".join(tokens[i : i + 3]) for i in range(0, len(tokens), 7)]
    start = time.perf_counter()
    for query in queries:
        index.search(query, 10)
    searching = time.perf_counter() - start
    return indexing / len(tokens) * 1e9, searching / len(queries) * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tokens", type=int, default=20_000)
    args = parser.parse_args()
    rng = np.random.default_rng(5)
    crafted = crafted_tokens(args.tokens, rng)
    plain = ["".join(chr(c) for c in row) for row in random_tokens(args.tokens, rng)]
    for name, tokens in (("random", plain), ("crafted", crafted)):
        ns_per_token, us_per_query = measure(tokens)
        print(
            f"{name:8} {len(tokens):,} tokens: indexing {ns_per_token:,.0f} ns/token, "
            f"search {us_per_query:,.1f} us/query"
        )


if __name__ == "__main__":
    main()
