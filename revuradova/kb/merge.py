"""The merge policy: which segments of the index are rewritten together, and the rewrite.

Segments are kept in id order, each covering one run of passage ids that no other segment
overlaps; only neighbours are merged, so that this stays true. A segment's level is the
number of decimal digits of its live passages beyond the third (under 1,000 is level 0,
under 10,000 level 1, ...). After each change:

- a segment whose passages are all removed is dropped;
- a run of MERGE_FACTOR or more neighbouring segments of one level is merged into one;
- a segment more than MAX_DELETED_SHARE removed is rewritten without them.

Each passage is therefore rewritten about once per level, a logarithmic number of times,
and removed passages cost at most a constant share of the index; a change costs in
proportion to its own size, amortised.
"""

from __future__ import annotations

import json
import sqlite3
from itertools import groupby

from revuradova import _postings
from revuradova.kb.index import pack_ids

MERGE_FACTOR = 8
MAX_DELETED_SHARE = 0.25

Segment = tuple[int, int, int, int, int]  # id, first, last, docs, deleted


def level(live: int) -> int:
    return max(0, len(str(max(live, 1))) - 3)


def plan(segments: list[Segment]) -> list[list[int]] | None:
    """The next merges to make (lists of segment ids, each list neighbours), or None."""
    dead = [s[0] for s in segments if s[4] >= s[3]]
    if dead:
        return [[s] for s in dead]
    worn = [s[0] for s in segments if s[4] > 0 and s[4] > MAX_DELETED_SHARE * s[3]]
    if worn:
        return [[s] for s in worn]
    runs = [list(run) for _, run in groupby(segments, key=lambda s: level(s[3] - s[4]))]
    for run in reversed(runs):
        if len(run) >= MERGE_FACTOR:
            return [[s[0] for s in run]]
    return None


def merge_as_needed(db: sqlite3.Connection) -> int:
    """Applies the policy until it asks for nothing more; returns the merges made. Runs
    inside the caller's transaction."""
    made = 0
    while True:
        segments = db.execute(
            "SELECT id, first, last, docs, deleted FROM segments ORDER BY first"
        ).fetchall()
        merges = plan(segments)
        if not merges:
            return made
        for ids in merges:
            merge(db, ids)
            made += 1


def merge(db: sqlite3.Connection, ids: list[int]) -> None:
    """Rewrites the segments `ids` (neighbours) as one, without their removed passages."""
    marks = ",".join("?" * len(ids))
    covered = db.execute(
        f"SELECT min(first), max(last), sum(docs - deleted) FROM segments WHERE id IN ({marks})",
        ids,
    ).fetchone()
    deleted = pack_ids(
        i for (i,) in db.execute(f"SELECT id FROM deleted WHERE segment IN ({marks})", ids)
    )
    rows = db.execute(
        f"SELECT term, blob FROM postings WHERE segment IN ({marks}) ORDER BY term", ids
    ).fetchall()
    db.execute(f"DELETE FROM postings WHERE segment IN ({marks})", ids)
    db.execute(f"DELETE FROM deleted WHERE segment IN ({marks})", ids)
    db.execute(f"DELETE FROM segments WHERE id IN ({marks})", ids)
    first, last, live = covered
    emptied: list[int] = []
    if live:
        segment = db.execute(
            "INSERT INTO segments (first, last, docs, deleted) VALUES (?, ?, ?, 0)",
            (first, last, live),
        ).lastrowid
        merged = []
        for term, group in groupby(rows, key=lambda row: row[0]):
            df, blob = _postings.merge([row[1] for row in group], deleted)
            if df:
                merged.append((term, segment, blob))
            else:
                emptied.append(term)
        db.executemany("INSERT INTO postings VALUES (?, ?, ?)", merged)
    else:
        emptied = sorted({row[0] for row in rows})
    # Terms no live passage holds any more, and no segment lists, leave the dictionary.
    db.execute(
        "DELETE FROM terms WHERE id IN (SELECT value FROM json_each(?)) AND df = 0 "
        "AND NOT EXISTS (SELECT 1 FROM postings WHERE postings.term = terms.id)",
        (json.dumps(emptied),),
    )
