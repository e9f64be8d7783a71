"""Seeded synthetic corpora and queries shared by the benchmarks."""

import itertools
import random
import string


def make_vocabulary(size, seed=1):
    """`size` distinct lower-case words of 3 to 10 letters."""
    rng = random.Random(seed)
    words, seen = [], set()
    while len(words) < size:
        word = "".join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 10)))
        if word not in seen:
            seen.add(word)
            words.append(word)
    return words


def zipf_weights(size, exponent=1.0):
    return list(itertools.accumulate(1.0 / (rank**exponent) for rank in range(1, size + 1)))


def make_documents(vocabulary, count, min_tokens, max_tokens, seed=2):
    """`count` texts whose words follow a Zipf distribution over `vocabulary`."""
    rng = random.Random(seed)
    cumulative = zipf_weights(len(vocabulary))
    return [
        " ".join(rng.choices(vocabulary, cum_weights=cumulative, k=rng.randint(min_tokens, max_tokens)))
        for _ in range(count)
    ]


def make_queries(vocabulary, count, min_terms, max_terms, seed=3):
    """Queries drawn from the same distribution as the documents."""
    rng = random.Random(seed)
    cumulative = zipf_weights(len(vocabulary))
    return [
        " ".join(rng.choices(vocabulary, cum_weights=cumulative, k=rng.randint(min_terms, max_terms)))
        for _ in range(count)
    ]
