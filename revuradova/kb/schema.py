"""Opening a knowledge base file: what is checked before anything is written, the tables,
and the migration of bases written by earlier versions.

A file is ours when SQLite's header carries our application id (bases of schema 1 had none:
their `meta` table says so). A file without it is inspected through a read-only connection;
ours, by its header, has its schema read on the connection before anything is written. So
a refusal (another application's database, a newer schema) leaves the file byte for byte
as it was; journal mode and the tables are set only on a file known to be ours (or new).
"""

from __future__ import annotations

import json
import os
import pathlib
import sqlite3
import time

from revuradova.errors import SchemaError

SCHEMA_VERSION = 2
# "RvKb" in the header's application id field.
APPLICATION_ID = 0x52764B62
_SQLITE_MAGIC = b"SQLite format 3\x00"

# Invariants:
# - passages.id only grows (AUTOINCREMENT): a passage added later has a larger id, so ids
#   order passages by age and a segment holds one run of ids.
# - every live passage's terms are in exactly one live segment's postings; a removed
#   passage's id is in `deleted` until the merge that drops it from its segment's postings.
# - terms.df counts the live passages holding the term; index_stats holds the number of live
#   passages and their total length in tokens. All of it changes in the transaction that
#   changes the passages, so the index can never disagree with them.
TABLES = """
CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE roots (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,       -- absolute, the exact bytes of the name
    shown TEXT NOT NULL,             -- the same as text (undecodable bytes escaped)
    options TEXT NOT NULL            -- JSON: how it was added
);
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    root INTEGER NOT NULL REFERENCES roots(id),
    path BLOB NOT NULL UNIQUE,
    shown TEXT NOT NULL,
    source_type TEXT NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    passages INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX files_by_root ON files(root);
CREATE TABLE passages (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    file INTEGER NOT NULL REFERENCES files(id),
    number INTEGER NOT NULL,         -- in its file (the key: the file's path, "#", number)
    knowledge_type TEXT NOT NULL,
    domain TEXT NOT NULL,
    kind TEXT NOT NULL,
    headings TEXT NOT NULL,          -- JSON list
    body TEXT NOT NULL,
    pos_start INTEGER NOT NULL,      -- the position: character offsets into the file's text,
    pos_end INTEGER NOT NULL,        -- page, sheet, rows [first, last) and JSON pointer
    page INTEGER,
    sheet TEXT,
    rows_first INTEGER,
    rows_last INTEGER,
    pointer TEXT,
    metadata TEXT,                   -- JSON object, NULL when empty
    length INTEGER NOT NULL          -- tokens indexed
);
CREATE UNIQUE INDEX passages_by_file ON passages(file, number);
CREATE INDEX files_by_shown ON files(shown);
"""

# The index's own tables: made again from the passages whenever found missing or damaged.
INDEX_TABLES = """
CREATE TABLE terms (id INTEGER PRIMARY KEY, term TEXT NOT NULL UNIQUE, df INTEGER NOT NULL);
CREATE TABLE postings (
    term INTEGER NOT NULL,
    segment INTEGER NOT NULL,
    blob BLOB NOT NULL,
    PRIMARY KEY (term, segment)
) WITHOUT ROWID;
CREATE INDEX postings_by_segment ON postings(segment);
CREATE TABLE segments (
    id INTEGER PRIMARY KEY,
    first INTEGER NOT NULL,          -- smallest and largest passage id it covers
    last INTEGER NOT NULL,
    docs INTEGER NOT NULL,           -- passages whose postings it holds, removed ones included
    deleted INTEGER NOT NULL         -- of those, removed since
);
CREATE TABLE deleted (id INTEGER PRIMARY KEY, segment INTEGER NOT NULL);
CREATE TABLE index_stats (
    one INTEGER PRIMARY KEY CHECK (one = 0),
    docs INTEGER NOT NULL,
    length INTEGER NOT NULL,
    generation INTEGER NOT NULL      -- grows with every change of the index
);
INSERT INTO index_stats VALUES (0, 0, 0, 0);
"""


def open_connection(path: str, timeout: float) -> tuple[sqlite3.Connection, int | None]:
    """A connection to the knowledge base at `path` (":memory:" for one in memory), with the
    schema version found there (None for a new base, which the caller creates). Raises
    SchemaError, writing nothing, for a file that is not a knowledge base this version
    opens; FileNotFoundError for a missing folder."""
    if path == ":memory:":
        return _configured(sqlite3.connect(path, check_same_thread=False), timeout, False), None
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"no such folder for the knowledge base: {folder!r}")
    version = None
    ours = False
    if _has_content(path):
        ours = _application_id(path) == APPLICATION_ID
        if not ours:  # a base of schema 1, or no base at all: asked without a writer
            version = _inspect(path)
    db = sqlite3.connect(path, check_same_thread=False, isolation_level=None, timeout=timeout)
    try:
        if ours:  # ours by its header: its schema is read before anything is written
            version = _schema_version(db, path)
        return _configured(db, timeout, True), version
    except BaseException:
        db.close()
        raise


def _configured(db: sqlite3.Connection, timeout: float, on_disk: bool) -> sqlite3.Connection:
    db.isolation_level = None  # transactions are begun and ended explicitly
    db.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
    if on_disk:
        db.execute("PRAGMA journal_mode = WAL")
        # WAL with NORMAL: a committed change survives a killed process; only a power cut
        # can lose the last commits, never the database.
        db.execute("PRAGMA synchronous = NORMAL")
    return db


def _has_content(path: str) -> bool:
    try:
        return os.path.getsize(path) > 0
    except FileNotFoundError:
        return False


def _application_id(path: str) -> int:
    """The application id in the SQLite header of `path`; SchemaError for a file that is no
    SQLite database or is another application's."""
    try:
        with open(path, "rb") as stream:
            header = stream.read(100)
    except IsADirectoryError:
        raise SchemaError(f"{path}: a folder, not a knowledge base file") from None
    if len(header) < 100 or not header.startswith(_SQLITE_MAGIC):
        raise SchemaError(f"{path}: not a knowledge base (not an SQLite database)")
    application_id = int.from_bytes(header[68:72], "big")
    if application_id not in (0, APPLICATION_ID):
        raise SchemaError(
            f"{path}: not a knowledge base (an SQLite database of another application, "
            f"application id {application_id:#x})"
        )
    return application_id


def _inspect(path: str) -> int:
    """The schema version of the knowledge base at `path`, read through a connection that
    cannot write."""
    uri = pathlib.Path(os.path.abspath(path)).as_uri() + "?mode=ro"
    try:
        db = sqlite3.connect(uri, uri=True)
    except sqlite3.Error as error:
        raise SchemaError(f"{path}: cannot be opened as a knowledge base ({error})") from None
    try:
        return _schema_version(db, path)
    finally:
        db.close()


def _schema_version(db: sqlite3.Connection, path: str) -> int:
    """The schema version a base records; SchemaError for one this version cannot open."""
    try:
        tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master")}
        if "meta" not in tables or "passages" not in tables:
            raise SchemaError(f"{path}: an SQLite database, but not a knowledge base")
        row = db.execute("SELECT value FROM meta WHERE name = 'schema'").fetchone()
    except sqlite3.Error as error:
        raise SchemaError(f"{path}: not a knowledge base, or damaged ({error})") from None
    text = row[0] if row else None
    if not isinstance(text, str) or not text.isdigit() or not 1 <= int(text) < 1_000_000:
        raise SchemaError(f"{path}: not a knowledge base (schema version {text!r})")
    version = int(text)
    if version > SCHEMA_VERSION:
        raise SchemaError(
            f"{path} was written by a newer revuradova (schema {version}; this one reads "
            f"{SCHEMA_VERSION} and older): upgrade revuradova to open it"
        )
    return version


def create(db: sqlite3.Connection, analysis: str) -> None:
    """The tables of a new base; inside the caller's transaction."""
    db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    _run(db, TABLES)
    _run(db, INDEX_TABLES)
    db.executemany(
        "INSERT INTO meta VALUES (?, ?)",
        [("schema", str(SCHEMA_VERSION)), ("analysis", analysis), ("changed_ns", "0")],
    )


def remake_index_tables(db: sqlite3.Connection) -> None:
    """The index's tables, empty, in place of whatever holds their names; inside the
    caller's transaction."""
    try:
        (generation,) = db.execute("SELECT generation FROM index_stats").fetchone()
        generation = int(generation)
    except (sqlite3.Error, TypeError, ValueError):
        generation = 0
    for table in ("terms", "postings", "segments", "deleted", "index_stats"):
        db.execute(f"DROP TABLE IF EXISTS {table}")
    _run(db, INDEX_TABLES)
    # Generations only grow: what a reader cached for one can never pass for a later state.
    db.execute("UPDATE index_stats SET generation = ?", (generation + 1,))


def _run(db: sqlite3.Connection, script: str) -> None:
    for statement in script.split(";"):
        if statement.strip():
            db.execute(statement)


def migrate_from_1(db: sqlite3.Connection, analysis: str) -> None:
    """A base of schema 1 (roots and files by their text paths, passages without kind,
    metadata or index) in the tables of this schema; inside the caller's transaction. The
    index is built afterwards from the passages."""
    for table in ("meta", "roots", "files", "passages"):
        db.execute(f"ALTER TABLE {table} RENAME TO old_{table}")
    db.execute("DROP INDEX IF EXISTS passages_by_file")
    create(db, analysis)
    for root, options in db.execute("SELECT root, options FROM old_roots").fetchall():
        path = os.fsencode(os.path.abspath(root))
        db.execute(
            "INSERT OR REPLACE INTO roots (path, shown, options) VALUES (?, ?, ?)",
            (path, os.fsdecode(path).encode("utf-8", "surrogateescape").decode("utf-8", "replace"),
             options),
        )  # fmt: skip
    # A file belongs to the root it was read under; roots were stored as typed, so they are
    # matched by their absolute form.
    roots = {shown: rid for rid, shown in db.execute("SELECT id, shown FROM roots")}
    for row in db.execute(
        "SELECT f.path, f.root, f.size, f.mtime_ns, f.sha256, "
        "(SELECT source_type FROM old_passages p WHERE p.file = f.path LIMIT 1) FROM old_files f"
    ).fetchall():
        path, root, size, mtime, digest, source_type = row
        root_id = roots.get(os.path.abspath(root))
        if root_id is None:
            continue
        db.execute(
            "INSERT INTO files (root, path, shown, source_type, size, mtime_ns, sha256) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            (root_id, os.fsencode(path), path, source_type or "local_file", size, mtime, digest),
        )
    rows = db.execute(
        "SELECT f.id, p.number, p.knowledge_type, p.domain, p.headings, p.body, p.position "
        "FROM old_passages p JOIN files f ON f.shown = p.file ORDER BY p.file, p.number"
    ).fetchall()
    for file_id, number, knowledge_type, domain, headings, body, position in rows:
        where = json.loads(position)
        first, last = where.get("rows") or (None, None)
        db.execute(
            "INSERT INTO passages (file, number, knowledge_type, domain, kind, headings, body, "
            "pos_start, pos_end, page, sheet, rows_first, rows_last, pointer, metadata, length) "
            "VALUES (?, ?, ?, ?, 'text', ?, ?, ?, ?, ?, ?, ?, ?, ?, NULL, 0)",
            (file_id, number, knowledge_type, domain, headings, body, where.get("start", 0),
             where.get("end", 0), where.get("page"), where.get("sheet"), first, last,
             where.get("pointer")),
        )  # fmt: skip
    db.execute(
        "UPDATE files SET passages = (SELECT count(*) FROM passages WHERE passages.file = files.id)"
    )
    for table in ("passages", "files", "roots", "meta"):
        db.execute(f"DROP TABLE old_{table}")


def touch(db: sqlite3.Connection) -> None:
    """Records the time of a change; inside its transaction."""
    db.execute("UPDATE meta SET value = ? WHERE name = 'changed_ns'", (str(time.time_ns()),))
