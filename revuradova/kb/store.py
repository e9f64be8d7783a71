"""The SQLite store of a knowledge base: files with their fingerprints, and passages."""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Iterable, Iterator
from typing import NamedTuple

from revuradova.ingest import Passage, Position

SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS roots (root TEXT PRIMARY KEY, options TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS files (
    path TEXT PRIMARY KEY,           -- absolute path, as the file system spells it
    root TEXT NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    sha256 TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS passages (
    key TEXT PRIMARY KEY,
    file TEXT NOT NULL REFERENCES files(path) ON DELETE CASCADE,
    number INTEGER NOT NULL,
    source_type TEXT NOT NULL,
    knowledge_type TEXT NOT NULL,
    domain TEXT NOT NULL,
    headings TEXT NOT NULL,          -- JSON list
    body TEXT NOT NULL,
    position TEXT NOT NULL,          -- JSON object
    path TEXT NOT NULL               -- the passage's path as shown (relative to its root)
);
CREATE INDEX IF NOT EXISTS passages_by_file ON passages(file);
"""


class SchemaError(RuntimeError):
    """The database was written by a newer version of revuradova, or is not a knowledge base."""


def connect(path: str) -> sqlite3.Connection:
    connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
    connection.execute("PRAGMA foreign_keys = ON")
    if path != ":memory:":
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA synchronous = NORMAL")
    try:
        tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master")}
    except sqlite3.DatabaseError as error:
        connection.close()
        raise SchemaError(f"{path}: not a knowledge base ({error})") from None
    if "meta" in tables:
        row = connection.execute("SELECT value FROM meta WHERE name = 'schema'").fetchone()
        version = int(row[0]) if row else 0
        if version > SCHEMA_VERSION:
            connection.close()
            raise SchemaError(
                f"{path} was written by a newer revuradova (schema {version}; this one "
                f"reads {SCHEMA_VERSION}): upgrade revuradova to open it"
            )
    elif tables:
        connection.close()
        raise SchemaError(f"{path}: an SQLite database, but not a knowledge base")
    connection.executescript(_SCHEMA)
    connection.execute("INSERT OR IGNORE INTO meta VALUES ('schema', ?)", (str(SCHEMA_VERSION),))
    return connection


class Stored(NamedTuple):
    """A stored passage as kept in memory: the fields filters read, and the rest as stored,
    decoded into a Passage only for the passages shown."""

    key: str
    path: str
    number: int
    source_type: str
    knowledge_type: str
    domain: str
    headings: str  # JSON list
    body: str
    position: str  # JSON object
    file: str

    def passage(self) -> Passage:
        where = json.loads(self.position)
        rows = tuple(where["rows"]) if where["rows"] else None
        return Passage(
            self.key, self.path, self.number, self.source_type, self.knowledge_type,
            self.domain, tuple(json.loads(self.headings)), self.body,
            Position(where["start"], where["end"], where["page"], where["sheet"], rows,
                     where["pointer"]),
        )  # fmt: skip

    @classmethod
    def of(cls, passage: Passage, file: str) -> Stored:
        p = passage
        return cls(
            p.key, p.path, p.number, p.source_type, p.knowledge_type, p.domain,
            json.dumps(list(p.headings)), p.body, position_json(p.position), file,
        )  # fmt: skip


def position_json(position: Position) -> str:
    return json.dumps(
        {
            "start": position.start,
            "end": position.end,
            "page": position.page,
            "sheet": position.sheet,
            "rows": list(position.rows) if position.rows else None,
            "pointer": position.pointer,
        }
    )


def insert_passages(db: sqlite3.Connection, records: Iterable[Stored]) -> None:
    db.executemany(
        "INSERT OR REPLACE INTO passages (key, path, number, source_type, knowledge_type, "
        "domain, headings, body, position, file) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        records,
    )


# The indexed text, as Passage.text makes it: the heading path joined by " > ", a blank
# line, then the body; computed here so that opening a base decodes no JSON.
_TEXT = """CASE headings WHEN '[]' THEN body ELSE
    (SELECT group_concat(value, ' > ') FROM (SELECT value FROM json_each(headings) ORDER BY key))
    || char(10, 10) || body END"""


def load_records(db: sqlite3.Connection) -> Iterator[tuple[Stored, str]]:
    """Every stored passage with its indexed text, in file then passage order."""
    rows = db.execute(
        "SELECT key, path, number, source_type, knowledge_type, domain, headings, body, "
        f"position, file, {_TEXT} FROM passages ORDER BY file, number"
    )
    make = Stored._make
    for row in rows:
        yield make(row[:10]), row[10]
