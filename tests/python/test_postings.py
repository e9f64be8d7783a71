"""revuradova._postings: analysis, postings blobs, merging and exact search."""

import ctypes
import ctypes.util
import pathlib
import random
import sysconfig
import zlib
from array import array

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from revuradova import _postings as P

F = np.float32
# std::log(float) is the C library's logf, which is not always correctly rounded: the
# oracle calls the same function rather than rounding a double logarithm.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]


def deleted_bytes(ids):
    return array("q", sorted(ids)).tobytes()


def oracle(docs, query, limit):
    """BM25 in float32, term by term in query order. docs: {id: list of terms}, all live."""
    doc_count = len(docs)
    if doc_count == 0 or limit == 0:
        return []
    total_length = sum(len(terms) for terms in docs.values())
    avgdl = F(total_length) / F(doc_count)
    scores = {}
    for word in query:
        df = sum(1 for terms in docs.values() if word in terms)
        x = ((F(doc_count) - F(df)) + F(0.5)) / (F(df) + F(0.5)) + F(1.0)
        idf = F(_libm.logf(float(x)))
        for doc_id, terms in docs.items():
            tf = terms.count(word)
            if tf == 0:
                continue
            k = ((F(len(terms)) / avgdl) * F(0.75) + F(0.25)) * F(1.5)
            weight = ((F(tf) * F(2.5)) / (k + F(tf))) * idf
            scores[doc_id] = scores.get(doc_id, F(0.0)) + weight
    ranked = sorted(scores.items(), key=lambda item: (-item[1], item[0]))
    return [(doc_id, float(score)) for doc_id, score in ranked[:limit]]


def blobs_by_term(terms_out):
    return {term: blob for term, _df, blob in terms_out}


# The two-document example of the C++ tests: scores worked out by hand there.
EXAMPLE_IDS = [1, 2, 5]
EXAMPLE_TEXTS = ["The cat sat on the mat", "the dog", "a b"]


class TestAnalysis:
    def test_terms_follow_the_index_tokenizer_with_a_chosen_minimum(self):
        assert P.terms("Ünïcode, ÉTÉ x1 ab 42x", 3, "") == ["ünïcode", "été", "42x"]
        assert P.terms("a-b  C", 1, "") == ["a", "b", "c"]
        assert P.terms("ab abc", 3, "") == ["abc"]
        assert P.terms("", 1, "") == []
        # Full lower-casing: the German sharp s's capital lowers to itself, İ splits.
        assert P.terms("STRASSE x\u0130y", 1, "") == ["strasse", "xi", "y"]

    def test_spans_are_code_point_offsets(self):
        text = "Ünï ÉTÉ, cat-été CAT 🐈cat"
        found = P.spans(text, {"été", "cat"}, 3, "")
        assert found == [(4, 7), (9, 12), (13, 16), (17, 20), (22, 25)]
        assert [text[a:b].lower() for a, b in found] == ["été", "cat", "été", "cat", "cat"]
        assert P.spans(text, frozenset(), 3, "") == []
        assert P.spans("x\u0130y", ["xi"], 1, "") == [(0, 2)]

    def test_options_are_checked(self):
        with pytest.raises(ValueError, match="min_bytes"):
            P.terms("abc", 0, "")
        with pytest.raises(ValueError, match="accepted are '' \\(none\\) and 'english'"):
            P.terms("abc", 3, "porter")
        with pytest.raises(OverflowError):
            P.terms("abc", -1, "")
        with pytest.raises(TypeError, match="argument 'stemmer'"):
            P.terms("abc", 3, None)
        with pytest.raises(TypeError, match="argument 'wanted'"):
            P.spans("abc", "abc", 3, "")
        with pytest.raises(TypeError, match="argument 'wanted'"):
            P.spans("abc", {b"abc"}, 3, "")
        assert P.terms(text="abc", min_bytes=3, stemmer="") == ["abc"]
        with pytest.raises(TypeError, match="missing required argument 'stemmer'"):
            P.terms("abc", 3)


class TestSegmentAndCodec:
    def test_two_document_segment(self):
        terms_out, lengths = P.segment(EXAMPLE_IDS, EXAMPLE_TEXTS, 3, "")
        assert lengths == [5, 2, 0]
        assert [(term, df) for term, df, _ in terms_out] == [
            ("cat", 1),
            ("dog", 1),
            ("mat", 1),
            ("sat", 1),
            ("the", 2),
        ]
        blobs = blobs_by_term(terms_out)
        # A header (count; per block first id, span, size, max tf, length bound) and one
        # block (tf and length of its first posting, then id gap, tf, length), each after
        # zlib's CRC-32 of it.
        header, block = bytes([1, 1, 0, 6, 1, 5]), bytes([1, 5])
        assert blobs["cat"] == checked_blob(header) + checked_blob(block)
        # Document 2's length over tf (2) bounds the block's: floor(2 * 2 / 1) = 4.
        header, block = bytes([2, 1, 1, 9, 2, 4]), bytes([2, 5, 1, 1, 2])
        assert blobs["the"] == checked_blob(header) + checked_blob(block)
        assert P.decode(blobs["the"]) == [(1, 2, 5), (2, 1, 2)]
        assert P.decode(b"") == []

    def test_terms_sorted_by_utf8_bytes(self):
        terms_out, _ = P.segment([0], ["zebra Ähre apple ﬃx 𝔘nicode"], 1, "")
        names = [term for term, _, _ in terms_out]
        assert names == sorted(names, key=lambda t: t.encode())

    def test_large_ids_and_counts(self):
        top = 2**63 - 1
        terms_out, lengths = P.segment([0, top], ["word " * 300, "word"], 3, "")
        assert lengths == [300, 1]
        assert P.decode(terms_out[0][2]) == [(0, 300, 300), (top, 1, 1)]

    @pytest.mark.parametrize(
        ("ids", "texts", "error"),
        [
            ([2, 1], ["a", "b"], ValueError),
            ([1, 1], ["a", "b"], ValueError),
            ([-1], ["a"], ValueError),
            ([2**63], ["a"], ValueError),
            ([1, 2], ["a"], ValueError),
            ([1], [b"a"], TypeError),
            ([1.0], ["a"], TypeError),
            ("12", ["a", "b"], TypeError),
        ],
    )
    def test_segment_refuses_bad_batches(self, ids, texts, error):
        with pytest.raises(error):
            P.segment(ids, texts, 3, "")


class TestMerge:
    def test_merge_drops_deleted_in_any_order(self):
        first = blobs_by_term(P.segment([1, 4], ["red fox", "red"], 3, "")[0])
        second = blobs_by_term(P.segment([2, 9], ["red fox", "red"], 3, "")[0])
        df, blob = P.merge([second["red"], first["red"]], deleted_bytes([2, 3]))
        assert df == 3
        assert P.decode(blob) == [(1, 1, 2), (4, 1, 1), (9, 1, 1)]
        # Any bytes-like is read: bytearray, memoryview, array.
        again = P.merge([bytearray(second["red"]), memoryview(first["red"])], array("q", [2, 3]))
        assert again == (df, blob)
        assert P.merge([first["red"], second["red"]], deleted_bytes([1, 2, 4, 9])) == (0, b"")
        assert P.merge([], b"") == (0, b"")
        assert P.merge([b"", first["fox"]], b"") == (1, first["fox"])

    def test_merge_refuses_overlap_and_bad_deleted(self):
        first = blobs_by_term(P.segment([1, 4], ["red fox", "red"], 3, "")[0])
        with pytest.raises(P.CorruptPostings, match="^corrupt postings: .*two segments"):
            P.merge([first["red"], first["fox"]], b"")
        with pytest.raises(ValueError, match="8 bytes"):
            P.merge([first["red"]], b"\x00" * 7)
        with pytest.raises(ValueError, match="ascending"):
            P.merge([first["red"]], deleted_bytes([3]) + deleted_bytes([1]))
        with pytest.raises(ValueError, match="ascending"):
            P.merge([first["red"]], deleted_bytes([3, 3]))
        with pytest.raises(TypeError, match="argument 'deleted'"):
            P.merge([first["red"]], "")
        with pytest.raises(TypeError, match="argument 'blobs'"):
            P.merge([1], b"")


class TestSearch:
    def test_two_document_golden_scores(self):
        blobs = blobs_by_term(P.segment(EXAMPLE_IDS[:2], EXAMPLE_TEXTS[:2], 3, "")[0])
        hits = P.search([[blobs["the"]], [blobs["cat"]]], [2, 1], 2, 7, b"", 10)
        assert [doc_id for doc_id, _ in hits] == [1, 2]
        assert hits[0][1] == pytest.approx(0.810005, abs=1e-6)
        assert hits[1][1] == pytest.approx(0.225885, abs=1e-6)
        # Scores are 32-bit floats widened exactly.
        assert all(float(F(score)) == score for _, score in hits)
        docs = {1: ["the", "cat", "sat", "the", "mat"], 2: ["the", "dog"]}
        assert hits == oracle(docs, ["the", "cat"], 10)
        assert P.search([[blobs["cat"]]], [1], 2, 7, b"", 10) == oracle(docs, ["cat"], 10)
        assert hits[0][1] == pytest.approx(0.581081 + 0.228924, abs=1e-6)

    def test_empty_cases(self):
        blobs = blobs_by_term(P.segment(EXAMPLE_IDS, EXAMPLE_TEXTS, 3, "")[0])
        assert P.search([[blobs["the"]]], [2], 0, 0, b"", 10) == []
        assert P.search([[blobs["the"]]], [2], 3, 7, b"", 0) == []
        assert P.search([], [], 3, 7, b"", 10) == []
        assert P.search([[]], [0], 3, 7, b"", 10) == []
        assert P.search([[blobs["the"]]], [1], 1, 5, deleted_bytes([1, 2]), 10) == []

    def test_ties_by_id_and_limit(self):
        terms_out, _ = P.segment(range(20), ["same words here"] * 20, 3, "")
        blobs = blobs_by_term(terms_out)
        hits = P.search([[blobs["same"]]], [20], 20, 60, b"", 5)
        assert [doc_id for doc_id, _ in hits] == [0, 1, 2, 3, 4]
        assert len({score for _, score in hits}) == 1

    def test_argument_errors(self):
        blobs = blobs_by_term(P.segment(EXAMPLE_IDS, EXAMPLE_TEXTS, 3, "")[0])
        with pytest.raises(ValueError, match="differ in length"):
            P.search([[blobs["the"]]], [2, 1], 3, 7, b"", 10)
        with pytest.raises(ValueError, match="above the document count"):
            P.search([[blobs["the"]]], [4], 3, 7, b"", 10)
        with pytest.raises(OverflowError):
            P.search([[blobs["the"]]], [2], 3, 7, b"", -1)
        with pytest.raises(ValueError, match="8 bytes"):
            P.search([[blobs["the"]]], [2], 3, 7, b"\x01", 10)
        with pytest.raises(TypeError, match="argument 'postings'"):
            P.search([blobs["the"]], [2], 3, 7, b"", 10)
        with pytest.raises(P.CorruptPostings):
            P.search([[blobs["the"], blobs["the"]]], [2], 3, 7, b"", 10)
        with pytest.raises(P.CorruptPostings, match="^corrupt postings: "):
            P.search([[blobs["the"][:-1]]], [2], 3, 7, b"", 10)


WORDS = ["alpha", "beta", "gamma", "delta", "omega", "sigma"]


@st.composite
def bases(draw):
    count = draw(st.integers(0, 25))
    ids = sorted(
        draw(
            st.sets(st.integers(0, 2**63 - 1) | st.integers(0, 60), min_size=count, max_size=count)
        )
    )
    texts = [draw(st.lists(st.sampled_from(WORDS), max_size=12)) for _ in ids]
    deleted = draw(st.sets(st.sampled_from(ids) | st.integers(0, 60))) if ids else set()
    segment_of = [draw(st.integers(0, 3)) for _ in ids]
    merged = draw(st.lists(st.booleans(), min_size=len(WORDS), max_size=len(WORDS)))
    query = draw(st.lists(st.sampled_from([*WORDS, "absent"]), min_size=1, max_size=4))
    limit = draw(st.integers(1, 12))
    return ids, texts, deleted, segment_of, merged, query, limit


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(bases())
def test_search_over_split_segments_equals_the_oracle(base):
    ids, texts, deleted, segment_of, merged, query, limit = base
    live = {i: t for i, t in zip(ids, texts, strict=True) if i not in deleted}
    dead = deleted_bytes(deleted)
    # Each segment analysed apart; a term's blobs shuffled, some merged ahead of the query.
    segment_blobs = {word: [] for word in WORDS}
    for s in range(4):
        members = [k for k in range(len(ids)) if segment_of[k] == s]
        terms_out, lengths = P.segment(
            [ids[k] for k in members], [" ".join(texts[k]) for k in members], 3, ""
        )
        assert lengths == [len(texts[k]) for k in members]
        for term, df, blob in terms_out:
            assert df == sum(1 for k in members if term in texts[k])
            segment_blobs[term].append(blob)
    for w, word in enumerate(WORDS):
        segment_blobs[word].reverse()
        if merged[w] and segment_blobs[word]:
            df, blob = P.merge(segment_blobs[word], dead)
            assert df == sum(1 for t in live.values() if word in t)
            segment_blobs[word] = [blob] if blob else []
    dfs = [sum(1 for t in live.values() if word in t) for word in query]
    doc_count = len(live)
    total_length = sum(len(t) for t in live.values())
    postings = [segment_blobs.get(word, []) for word in query]
    hits = P.search(postings, dfs, doc_count, total_length, dead, limit)
    assert hits == oracle(live, query, limit)
    # The same as one fresh segment of the survivors.
    fresh = blobs_by_term(P.segment(list(live), [" ".join(t) for t in live.values()], 3, "")[0])
    single = [[fresh[word]] if word in fresh else [] for word in query]
    assert P.search(single, dfs, doc_count, total_length, b"", limit) == hits


@st.composite
def large_bases(draw):
    """Hundreds of passages, so that terms span many blocks: a few passages repeated (equal
    scores, ties by id), bursts of one word, deletions, segments over separate id ranges."""
    rng = random.Random(draw(st.integers(0, 2**32)))
    count = draw(st.integers(60, 600))
    ids = sorted(rng.sample(range(count * draw(st.integers(1, 3)) + 5), count))
    templates = [[rng.choice(WORDS) for _ in range(rng.randint(1, 8))] for _ in range(4)]
    texts = []
    for k in range(count):
        if rng.random() < draw(st.sampled_from([0.0, 0.3, 0.9])):
            texts.append(list(rng.choice(templates)))
        else:
            burst = WORDS[(k // 90) % len(WORDS)]
            words = [rng.choice(WORDS) for _ in range(rng.randint(0, 12))]
            texts.append(words + [burst] * rng.randint(0, 6))
    deleted = set(rng.sample(ids, rng.randint(0, count // 4)))
    cuts = sorted(rng.sample(range(1, count), draw(st.integers(0, 4))))
    query = draw(st.lists(st.sampled_from([*WORDS, "absent"]), min_size=1, max_size=4))
    limit = draw(st.integers(1, 40))
    return ids, texts, deleted, cuts, query, limit


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(large_bases())
def test_block_skipping_search_equals_the_oracle(base):
    ids, texts, deleted, cuts, query, limit = base
    live = {i: t for i, t in zip(ids, texts, strict=True) if i not in deleted}
    dead = deleted_bytes(deleted)
    segment_blobs = {}
    for start, end in zip([0, *cuts], [*cuts, len(ids)], strict=True):
        terms_out, _ = P.segment(ids[start:end], [" ".join(t) for t in texts[start:end]], 3, "")
        for term, _df, blob in terms_out:
            segment_blobs.setdefault(term, []).insert(0, blob)
    dfs = [sum(1 for t in live.values() if word in t) for word in query]
    total_length = sum(len(t) for t in live.values())
    postings = [segment_blobs.get(word, []) for word in query]
    hits = P.search(postings, dfs, len(live), total_length, dead, limit)
    assert hits == oracle(live, query, limit)


def test_damage_to_a_skipped_block_changes_nothing():
    # The five best passages first, then 1,000 weaker ones: a top 5 needs the first block only.
    texts = ["abc abc abc abc"] * 5 + ["abc " + "filler " * 30] * 1000
    ids = list(range(len(texts)))
    blob = blobs_by_term(P.segment(ids, texts, 3, "")[0])["abc"]
    total_length = 5 * 4 + 1000 * 31
    expected = P.search([[blob]], [len(ids)], len(ids), total_length, b"", 5)
    assert [doc_id for doc_id, _ in expected] == [0, 1, 2, 3, 4]
    damaged = bytearray(blob)
    damaged[-3] ^= 0x10  # in the last block
    with pytest.raises(P.CorruptPostings):
        P.decode(bytes(damaged))
    assert P.search([[bytes(damaged)]], [len(ids)], len(ids), total_length, b"", 5) == expected
    with pytest.raises(P.CorruptPostings):
        P.search([[bytes(damaged)]], [len(ids)], len(ids), total_length, b"", 2000)


def checked_blob(payload):
    return zlib.crc32(payload).to_bytes(4, "little") + payload


@settings(max_examples=500, deadline=None)
@given(st.binary(max_size=64) | st.binary(max_size=40).map(checked_blob))
def test_hostile_blobs_never_crash(blob):
    try:
        postings = P.decode(blob)
    except P.CorruptPostings as error:
        assert str(error).startswith("corrupt postings: ")
        postings = None
    if postings is not None:
        ids = [doc_id for doc_id, _, _ in postings]
        assert ids == sorted(set(ids)) and all(0 <= i < 2**63 for i in ids)
        assert all(1 <= tf <= length < 2**32 for _, tf, length in postings)
    for call in (
        lambda: P.merge([blob], b""),
        lambda: P.search([[blob]], [1], 10, 100, b"", 5),
    ):
        try:
            call()
        except P.CorruptPostings:
            assert postings is None
        except ValueError:
            pass


def test_every_truncation_and_flip_is_rejected():
    # Three blocks: 64, 64 and 2 postings.
    ids = [3 + 7 * k for k in range(130)]
    texts = ["abc " * (1 + k % 3) + "x" * (k % 5) for k in range(130)]
    blob = blobs_by_term(P.segment(ids, texts, 3, "")[0])["abc"]
    assert len(P.decode(blob)) == 130
    for size in range(1, len(blob)):
        with pytest.raises(P.CorruptPostings):
            P.decode(blob[:size])
    for at in range(len(blob)):
        for bit in range(8):
            flipped = bytearray(blob)
            flipped[at] ^= 1 << bit
            with pytest.raises(P.CorruptPostings):
                P.decode(bytes(flipped))
    assert issubclass(P.CorruptPostings, ValueError)


class TestEnglishStemmer:
    def test_stems_each_kept_token(self):
        assert P.terms("Running ÉTÉs dogs, it is", 3, "english") == ["run", "étés", "dog"]
        assert P.terms("it is", 1, "english") == ["it", "is"]
        text = "The runners were running; RUNS."
        assert P.spans(text, {"run"}, 3, "english") == [(17, 24), (26, 30)]
        terms_out, lengths = P.segment(
            [1, 2], ["connected connections", "connecting"], 3, "english"
        )
        assert [(term, df) for term, df, _ in terms_out] == [("connect", 2)]
        assert lengths == [2, 1]
        assert P.decode(terms_out[0][2]) == [(1, 2, 2), (2, 1, 1)]

    def test_equals_snowball_over_large_word_lists(self):
        snowball = pytest.importorskip("snowballstemmer").stemmer("english")
        # Every token of the standard library's sources (docstrings, comments, names) and of
        # the system dictionary when there is one: tens of thousands of real words.
        texts = [
            path.read_text(errors="ignore")
            for path in pathlib.Path(sysconfig.get_paths()["stdlib"]).glob("**/*.py")
        ]
        dictionary = pathlib.Path("/usr/share/dict/words")
        if dictionary.exists():
            texts.append(dictionary.read_text(errors="ignore"))
        words = sorted(
            {token for text in texts for token in P.terms(text, 1, "") if token.isascii()}
        )
        assert len(words) > 20_000
        ours = P.terms(" ".join(words), 1, "english")
        theirs = snowball.stemWords(words)
        differences = [(w, a, b) for w, a, b in zip(words, ours, theirs, strict=True) if a != b]
        assert differences == []


def test_nearest_ranks_int8_rows_exactly_from_any_buffer():
    rng = np.random.default_rng(3)
    codes = rng.integers(-127, 128, size=(500, 48), dtype=np.int8)
    scales = rng.random(500, dtype=np.float32) + F(0.5)
    query = rng.integers(-127, 128, size=48, dtype=np.int8)
    exact = scales * (codes.astype(np.int32) @ query.astype(np.int32)).astype(np.float32)
    order = sorted(range(500), key=lambda r: (-exact[r], r))[:20]
    found = P.nearest(codes, scales, query, 20)
    assert [r for r, _ in found] == order
    assert [s for _, s in found] == [float(exact[r]) for r in order]
    # bytes, a bytearray, and scales at an odd address read the same.
    unaligned = bytearray(b"x" + scales.tobytes())
    assert P.nearest(bytes(codes), memoryview(unaligned)[1:], bytearray(query), 20) == found
    assert (
        P.nearest(codes, scales, query, 0) == []
        and len(P.nearest(codes, scales, query, 10**6)) == 500
    )


@pytest.mark.parametrize(
    "codes, scales, query, message",
    [
        (b"\x01" * 5, array("f", [1.0, 1.0]).tobytes(), b"\x01\x01", "codes hold 5 bytes"),
        (b"\x01" * 4, b"\x00" * 7, b"\x01\x01", "whole number of float32"),
        (b"\x01" * 4, array("f", [1.0, 1.0]).tobytes(), b"", "query vector is empty"),
    ],
)
def test_nearest_refuses_sizes_that_disagree(codes, scales, query, message):
    with pytest.raises(ValueError, match=message):
        P.nearest(codes, scales, query, 3)
    with pytest.raises(TypeError):
        P.nearest("text", scales, query, 3)
    with pytest.raises((ValueError, OverflowError)):
        P.nearest(codes, scales, query, -1)
