"""The BM25 index of a knowledge base, kept in the store's own tables.

A *segment* is the postings of one run of passages added together: for each term, one blob
of (passage id, term frequency, passage length) in id order, CRC-checked, in `postings`
under (term id, segment). Removing a passage leaves its postings in place and lists its id
in `deleted`; document frequencies and the base's totals are updated at once, so scores are
exactly those of an index built fresh over the passages that remain. The merge policy
(revuradova.kb.merge) rewrites runs of small segments and segments with many removals.

Every write happens inside the knowledge base's transaction on the same SQLite database
as the passages: a change, a merge or a rebuild is committed with the passages it
concerns or not at all, and other processes see it at their next call.

The blobs are encoded, merged and scored by the native module revuradova._postings.
"""

from __future__ import annotations

import json
import sqlite3
from array import array
from bisect import bisect_right
from collections.abc import Callable, Iterable, Sequence
from dataclasses import asdict, dataclass
from functools import cache

from revuradova import _postings
from revuradova.kb.snippets import Finder

# Words a snippet does not mark and phrasing leaves aside (they are indexed and searched like
# any other).
UNMARKED = frozenset(
    "a an and are as at be by can could do does for from has have how i if in is it its me my "
    "of on or our should that the this to was we were what when where which who why will "
    "with would you your".split()
)

# Passages analysed into one segment at most: bounds the memory of a large add.
SEGMENT_PASSAGES = 50_000
# The postings format; a base whose index was written in another is indexed again.
FORMAT = 2


@dataclass(frozen=True, slots=True)
class Analysis:
    """How a knowledge base turns text into terms: lower-cased words (split at every
    character neither alphabetic nor numeric) of at least `min_bytes` UTF-8 bytes, stemmed
    by `stemmer` ("" for none, "english")."""

    min_bytes: int = 2
    stemmer: str = "english"

    def __post_init__(self) -> None:
        if not isinstance(self.min_bytes, int) or isinstance(self.min_bytes, bool):
            raise TypeError(f"min_bytes must be an int, not {type(self.min_bytes).__name__}")
        if self.min_bytes < 1:
            raise ValueError(f"min_bytes must be at least 1, not {self.min_bytes}")
        if self.stemmer not in ("", "english"):
            raise ValueError(f"unknown stemmer {self.stemmer!r}; accepted: '' (none), 'english'")

    def to_json(self) -> str:
        return json.dumps({"format": FORMAT, **asdict(self)}, sort_keys=True)

    @classmethod
    def from_json(cls, text: str) -> tuple[Analysis, int]:
        """The analysis recorded in a base, and the postings format it was indexed in."""
        try:
            fields = json.loads(text)
            return cls(fields["min_bytes"], fields["stemmer"]), fields.get("format", 0)
        except (ValueError, TypeError, KeyError):
            return cls(), -1  # not readable: indexed again with the default

    def terms(self, text: str) -> list[str]:
        """The distinct terms of `text`, in order of first occurrence."""
        return list(dict.fromkeys(_postings.terms(text, self.min_bytes, self.stemmer)))

    def finder(self, query: str) -> Finder | None:
        """What finds the query's terms in a text, for snippets; None without terms. The
        commonest English function words are searched but not marked (a question's "how
        do I" would light up every line), unless the query has nothing else."""
        every = frozenset(self.terms(query))
        terms = every - UNMARKED or every
        if not terms:
            return None
        return lambda text: _postings.spans(text, terms, self.min_bytes, self.stemmer)

    def phrasing(self, query: str) -> Callable[[str], float] | None:
        """What measures how much of the query's phrasing a text keeps: the share of the
        query's neighbouring pairs of content terms (function words aside) that are
        neighbours in the text too, from 0.0 to 1.0. None when the query has no such pair."""
        pairs = self._pairs(query)
        if not pairs:
            return None
        return lambda text: len(pairs & self._pairs(text)) / len(pairs)

    def _pairs(self, text: str) -> set[tuple[str, str]]:
        unmarked = _unmarked_terms(self.min_bytes, self.stemmer)
        content = [t for t in _postings.terms(text, self.min_bytes, self.stemmer)
                   if t not in unmarked]  # fmt: skip
        return {(a, b) for a, b in zip(content, content[1:], strict=False) if a != b}


@cache
def _unmarked_terms(min_bytes: int, stemmer: str) -> frozenset[str]:
    return frozenset(t for word in UNMARKED for t in _postings.terms(word, min_bytes, stemmer))


def pack_ids(ids: Iterable[int]) -> bytes:
    return array("q", sorted(ids)).tobytes()


class Index:
    """The index tables of one connection. Writing methods run inside the caller's
    transaction; search() reads the committed state (or the caller's transaction)."""

    def __init__(self, db: sqlite3.Connection, analysis: Analysis) -> None:
        self.db = db
        self.analysis = analysis
        self._deleted: tuple[int, bytes] = (-1, b"")  # (generation, packed ids)

    # --- reading ---------------------------------------------------------------------------

    def search(self, query: str, limit: int) -> list[tuple[int, float]]:
        """The best `limit` (passage id, score) pairs, score descending, ties by id."""
        terms = self.analysis.terms(query)
        if not terms or limit <= 0:
            return []
        db = self.db
        docs, length, generation = db.execute(
            "SELECT docs, length, generation FROM index_stats"
        ).fetchone()
        if docs == 0:
            return []
        found: dict[str, tuple[int, list[bytes]]] = {}
        marks = ",".join("?" * len(terms))
        for term, df, blob in db.execute(
            "SELECT t.term, t.df, p.blob FROM terms t JOIN postings p ON p.term = t.id "
            f"WHERE t.term IN ({marks}) AND t.df > 0",
            terms,
        ):
            found.setdefault(term, (df, []))[1].append(blob)
        present = [found[t] for t in terms if t in found]
        if not present:
            return []
        return _postings.search(
            [blobs for _, blobs in present], [df for df, _ in present], docs, length,
            self._deleted_ids(generation), limit,
        )  # fmt: skip

    def _deleted_ids(self, generation: int) -> bytes:
        cached_generation, packed = self._deleted
        if cached_generation != generation:
            packed = array(
                "q", [i for (i,) in self.db.execute("SELECT id FROM deleted ORDER BY id")]
            ).tobytes()
            self._deleted = (generation, packed)
        return packed

    def stats(self) -> tuple[int, int, int]:
        """(live passages, total length, segments)."""
        docs, length = self.db.execute("SELECT docs, length FROM index_stats").fetchone()
        (segments,) = self.db.execute("SELECT count(*) FROM segments").fetchone()
        return docs, length, segments

    # --- writing ---------------------------------------------------------------------------

    def next_id(self) -> int:
        """The id the next passage added gets."""
        row = self.db.execute("SELECT seq FROM sqlite_sequence WHERE name = 'passages'").fetchone()
        (largest,) = self.db.execute("SELECT coalesce(max(id), 0) FROM passages").fetchone()
        return int(max(row[0] if row else 0, largest)) + 1

    def add(self, ids: Sequence[int], texts: Sequence[str]) -> list[int]:
        """Indexes passages (ids ascending, above every id indexed before) as one new
        segment; returns their lengths."""
        if not ids:
            return []
        a = self.analysis
        postings, lengths = _postings.segment(ids, texts, a.min_bytes, a.stemmer)
        db = self.db
        db.executemany(
            "INSERT INTO terms (term, df) VALUES (?, ?) "
            "ON CONFLICT (term) DO UPDATE SET df = df + excluded.df",
            [(term, df) for term, df, _ in postings],
        )
        term_ids = self._term_ids([term for term, _, _ in postings])
        cursor = db.execute(
            "INSERT INTO segments (first, last, docs, deleted) VALUES (?, ?, ?, 0)",
            (ids[0], ids[-1], len(ids)),
        )
        segment = cursor.lastrowid
        db.executemany(
            "INSERT INTO postings VALUES (?, ?, ?)",
            [(term_ids[term], segment, blob) for term, _, blob in postings],
        )
        db.execute(
            "UPDATE index_stats SET docs = docs + ?, length = length + ?",
            (len(ids), sum(lengths)),
        )
        return lengths

    def _term_ids(self, terms: list[str]) -> dict[str, int]:
        return dict(
            self.db.execute(
                "SELECT t.term, t.id FROM json_each(?) j JOIN terms t ON t.term = j.value",
                (json.dumps(terms, ensure_ascii=False),),
            )
        )

    def remove(self, passages: Sequence[tuple[int, str, int]]) -> None:
        """Takes passages (id, indexed text, length) out of the index; their rows are
        deleted by the caller in the same transaction."""
        if not passages:
            return
        db = self.db
        a = self.analysis
        ids = [p[0] for p in passages]
        order = sorted(range(len(ids)), key=ids.__getitem__)
        postings, _ = _postings.segment(
            [ids[i] for i in order], [passages[i][1] for i in order], a.min_bytes, a.stemmer
        )
        db.executemany(
            "UPDATE terms SET df = df - ? WHERE term = ?", [(df, term) for term, df, _ in postings]
        )
        db.execute(
            "UPDATE index_stats SET docs = docs - ?, length = length - ?",
            (len(passages), sum(p[2] for p in passages)),
        )
        segments = db.execute("SELECT id, first, last FROM segments ORDER BY first").fetchall()
        firsts = [s[1] for s in segments]
        counts: dict[int, int] = {}
        rows = []
        for passage_id in ids:
            at = bisect_right(firsts, passage_id) - 1
            if at < 0 or segments[at][2] < passage_id:
                continue  # a passage without terms is in no segment
            segment = segments[at][0]
            rows.append((passage_id, segment))
            counts[segment] = counts.get(segment, 0) + 1
        db.executemany("INSERT INTO deleted VALUES (?, ?)", rows)
        db.executemany(
            "UPDATE segments SET deleted = deleted + ? WHERE id = ?",
            [(n, s) for s, n in counts.items()],
        )

    def committed(self) -> None:
        """Marks the index changed; inside the transaction of the change."""
        self.db.execute("UPDATE index_stats SET generation = generation + 1")

    def rebuild(self) -> None:
        """Indexes every stored passage again, from the passages table alone, in index
        tables made anew."""
        from revuradova.kb.codec import indexed_text
        from revuradova.kb.schema import remake_index_tables

        remake_index_tables(self.db)
        db = self.db
        last = 0
        while True:
            rows = db.execute(
                "SELECT id, headings, body FROM passages WHERE id > ? ORDER BY id LIMIT ?",
                (last, SEGMENT_PASSAGES),
            ).fetchall()
            if not rows:
                break
            ids = [r[0] for r in rows]
            lengths = self.add(ids, [indexed_text(r[1], r[2]) for r in rows])
            db.executemany(
                "UPDATE passages SET length = ? WHERE id = ?", list(zip(lengths, ids, strict=True))
            )
            last = ids[-1]
        self.committed()

    def consistent(self) -> bool:
        """Whether the index is there and its totals agree with its manifest (a check cheap
        enough for every open: the passages and the index change in one transaction, and
        the postings themselves are checked as they are read)."""
        db = self.db
        try:
            (docs,) = db.execute("SELECT docs FROM index_stats").fetchone()
            (live,) = db.execute("SELECT total(docs - deleted) FROM segments").fetchone()
            (pending,) = db.execute("SELECT count(*) FROM deleted").fetchone()
            (marked,) = db.execute("SELECT total(deleted) FROM segments").fetchone()
            (length,) = db.execute("SELECT length FROM index_stats").fetchone()
            postings = db.execute("SELECT term, segment, blob FROM postings LIMIT 1").fetchall()
            terms = db.execute("SELECT id, term, df FROM terms LIMIT 1").fetchall()
        except (sqlite3.Error, TypeError):  # a table or the totals' row missing
            return False
        indexed = bool(postings and terms) or length == 0
        return bool(docs == live and pending == marked and indexed)
