"""A passage as the store keeps it: the one encoding of a Passage into a row and back.

The columns are those of the `passages` table after its id and file; the schema version in
`meta` names this encoding. Headings, position and metadata are compact JSON; a position
keeps only the fields that are set.
"""

from __future__ import annotations

import json
from typing import Any

from revuradova.ingest import Passage, Position

# The columns a passage is read from, in the order decode() takes them.
COLUMNS = (
    "key, path, number, source_type, knowledge_type, domain, kind, headings, body, position, "
    "metadata"
)

Row = tuple[str, str, int, str, str, str, str, str, str, str, str]

_dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def encode(p: Passage) -> Row:
    """The passage's columns, in the order of COLUMNS."""
    where = p.position
    position: dict[str, Any] = {"start": where.start, "end": where.end}
    for name in ("page", "sheet", "pointer"):
        value = getattr(where, name)
        if value is not None:
            position[name] = value
    if where.rows is not None:
        position["rows"] = list(where.rows)
    return (
        p.key, p.path, p.number, p.source_type, p.knowledge_type, p.domain, p.kind,
        _dumps(list(p.headings)), p.body, _dumps(position), _dumps(dict(p.metadata)),
    )  # fmt: skip


def decode(row: tuple[Any, ...]) -> Passage:
    """The passage of a row read with COLUMNS."""
    key, path, number, source_type, knowledge_type, domain, kind, headings, body = row[:9]
    where = json.loads(row[9])
    rows = where.get("rows")
    position = Position(
        where.get("start", 0), where.get("end", 0), where.get("page"), where.get("sheet"),
        tuple(rows) if rows else None, where.get("pointer"),
    )  # fmt: skip
    return Passage(
        key, path, number, source_type, knowledge_type, domain, tuple(json.loads(headings)),
        body, position, kind, json.loads(row[10]),
    )  # fmt: skip


def indexed_text(headings: str, body: str) -> str:
    """What the index reads of a stored passage: Passage.text from its stored columns."""
    if headings == "[]":
        return body
    return " > ".join(json.loads(headings)) + "\n\n" + body
