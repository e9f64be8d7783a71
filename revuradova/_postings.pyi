"""Postings blobs of the knowledge base's stored BM25 index: analysis, encoding, merging and
exact top-k search.

A blob is one term's postings in one segment: a checksummed header (the count; per block of
up to 64 postings its id range, size and a bound of its BM25 weights), then the blocks, each
checksummed, of (id gap, tf, length) varints, ids strictly ascending (src/postings/README.md);
b"" stands for no postings. `deleted` arguments are signed 64-bit little-endian ids, strictly ascending, as
`array("q", sorted(ids)).tobytes()` gives them.
"""

from collections.abc import Buffer, Collection, Sequence

__all__ = ["CorruptPostings", "terms", "spans", "segment", "merge", "search", "decode", "nearest"]

class CorruptPostings(ValueError):
    """A postings blob that is not well-formed; the message starts with 'corrupt postings: '."""

def terms(text: str, min_bytes: int, stemmer: str) -> list[str]:
    """The analysed terms of text, in order, repeats kept.

    Tokens are the index's (full Unicode lower-casing, a split at every character neither
    alphabetic nor numeric) of at least min_bytes UTF-8 bytes (>= 1); stemmer is "" (none)
    or "english" (the Snowball English stemmer, on tokens of ASCII letters and digits).
    """

def spans(
    text: str, wanted: Collection[str], min_bytes: int, stemmer: str
) -> list[tuple[int, int]]:
    """(start, end) code-point offsets of every token of text whose term is in wanted, in
    order."""

def segment(
    ids: Sequence[int], texts: Sequence[str], min_bytes: int, stemmer: str
) -> tuple[list[tuple[str, int, bytes]], list[int]]:
    """(term, df, blob) for every distinct term of the texts, sorted by the terms' UTF-8
    bytes, and each text's length in terms.

    ids: strictly ascending, in [0, 2**63), as many as texts (ValueError otherwise).
    """

def merge(blobs: Sequence[Buffer], deleted: Buffer) -> tuple[int, bytes]:
    """(df, blob) of one term's postings from several segments (any order, disjoint ids,
    else CorruptPostings), without the deleted ids; (0, b"") when none survives."""

def search(
    postings: Sequence[Sequence[Buffer]],
    dfs: Sequence[int],
    doc_count: int,
    total_length: int,
    deleted: Buffer,
    limit: int,
) -> list[tuple[int, float]]:
    """The limit best live documents as (id, score), score descending, ties by id ascending.

    postings[i]: the blobs of query term i (one per segment, any order); dfs[i]: its document
    frequency over the live documents (at most doc_count, else ValueError). A score is the
    32-bit BM25 sum over the terms in the given order, with avgdl = total_length / doc_count;
    the same postings give the same bits however they are split into segments.
    """

def decode(blob: Buffer) -> list[tuple[int, int, int]]:
    """(id, tf, length) of every posting of blob."""

def nearest(codes: Buffer, scales: Buffer, query: Buffer, limit: int) -> list[tuple[int, float]]:
    """The limit best rows of the int8 codes (rows of len(query) bytes) as (row, score),
    score = scale[row] * dot(codes[row], query), descending, ties by row."""
