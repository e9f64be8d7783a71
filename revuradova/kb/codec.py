"""A passage as the store keeps it: the one encoding of a Passage into a row and back.

A passage's row holds what is its own; its path and source type are its file's (a
knowledge base's passage keys are always the file's path, "#" and the passage's number, so
the key is not stored either). Headings are a JSON list, metadata a JSON object or NULL
when empty, the position one column per field. The schema version in `meta` names this
encoding.
"""

from __future__ import annotations

import json
from typing import Any

from revuradova.ingest.model import Passage, Position

# The columns a passage is written to, after its id and file, in the order encode() gives.
WRITTEN = (
    "number, knowledge_type, domain, kind, headings, body, pos_start, pos_end, page, sheet, "
    "rows_first, rows_last, pointer, metadata"
)
# What decode() reads: a SELECT over passages `p` joined to their files `f`.
READ = (
    "f.shown, p.number, f.source_type, p.knowledge_type, p.domain, p.kind, p.headings, p.body, "
    "p.pos_start, p.pos_end, p.page, p.sheet, p.rows_first, p.rows_last, p.pointer, p.metadata"
)
FROM = "passages p JOIN files f ON f.id = p.file"

_dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def encode(p: Passage) -> tuple[Any, ...]:
    """The passage's columns, in the order of WRITTEN."""
    where = p.position
    rows = where.rows or (None, None)
    return (
        p.number, p.knowledge_type, p.domain, p.kind,
        _dumps(list(p.headings)) if p.headings else "[]", p.body,
        where.start, where.end, where.page, where.sheet, rows[0], rows[1], where.pointer,
        _dumps(dict(p.metadata)) if p.metadata else None,
    )  # fmt: skip


def decode(row: tuple[Any, ...]) -> Passage:
    """The passage of a row read with READ."""
    path, number, source_type, knowledge_type, domain, kind, headings, body = row[:8]
    start, end, page, sheet, first, last, pointer, metadata = row[8:16]
    position = Position(start, end, page, sheet, None if first is None else (first, last), pointer)
    return Passage(
        f"{path}#{number}", path, number, source_type, knowledge_type, domain,
        tuple(json.loads(headings)) if headings != "[]" else (), body, position, kind,
        json.loads(metadata) if metadata else {},
    )  # fmt: skip


def split_key(key: str) -> tuple[str, int] | None:
    """(file path, number) of a passage key, or None for text that is no key."""
    path, mark, number = key.rpartition("#")
    if not mark or not number.isdigit() or not number.isascii() or len(number) > 18:
        return None
    return path, int(number)


def indexed_text(headings: str, body: str) -> str:
    """What the index reads of a stored passage: Passage.text from its stored columns."""
    if headings == "[]":
        return body
    return " > ".join(json.loads(headings)) + "\n\n" + body
