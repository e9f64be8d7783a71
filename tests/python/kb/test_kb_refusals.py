"""Files that are not a knowledge base this version opens are refused with SchemaError, left
byte for byte as they were; bases of the previous schema migrate in one transaction; a
failed statement or commit leaves the base usable."""

from __future__ import annotations

import hashlib
import json
import os
import sqlite3
from pathlib import Path

import pytest
from kb_helpers import write_files

from revuradova.errors import RevuradovaError
from revuradova.kb import KnowledgeBase, SchemaError


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def other_application(path: Path) -> None:
    with sqlite3.connect(path) as db:
        db.execute("PRAGMA application_id = 1234")
        db.execute("CREATE TABLE meta (name TEXT, value TEXT)")
        db.execute("CREATE TABLE passages (x)")
        db.execute("INSERT INTO meta VALUES ('schema', '2')")


def plain_sqlite(path: Path) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE t (x)")
        db.execute("INSERT INTO t VALUES (1)")


def ours_then(change: str):
    def make(path: Path) -> None:
        KnowledgeBase.open(path).close()
        db = sqlite3.connect(path, isolation_level=None)
        db.execute(change)
        db.execute("PRAGMA journal_mode = DELETE")  # everything in the one file
        db.close()

    return make


CASES = {
    "text file": (lambda p: p.write_text("hello, I am notes\n" * 20), "not an SQLite database"),
    "random bytes": (lambda p: p.write_bytes(os.urandom(4096)), "not an SQLite database"),
    "another application's database": (other_application, "another application"),
    "an unrelated SQLite database": (plain_sqlite, "not a knowledge base"),
    "a garbage schema value": (
        ours_then("UPDATE meta SET value = 'x1' WHERE name = 'schema'"), "schema version 'x1'"),
    "a newer schema": (
        ours_then("UPDATE meta SET value = '99' WHERE name = 'schema'"), "newer revuradova"),
}  # fmt: skip


@pytest.mark.parametrize("case", CASES)
def test_refusals_name_the_file_and_touch_nothing(tmp_path: Path, case: str) -> None:
    make, reason = CASES[case]
    path = tmp_path / "base.sqlite"
    make(path)
    before = digest(path)
    with pytest.raises(SchemaError, match=reason) as caught:
        KnowledgeBase.open(path)
    assert str(path) in str(caught.value)
    assert isinstance(caught.value, (RevuradovaError, ValueError))
    assert digest(path) == before
    assert not Path(f"{path}-wal").exists()


SCHEMA_1 = """
CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE roots (root TEXT PRIMARY KEY, options TEXT NOT NULL);
CREATE TABLE files (path TEXT PRIMARY KEY, root TEXT NOT NULL, size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL, sha256 TEXT NOT NULL);
CREATE TABLE passages (key TEXT PRIMARY KEY, file TEXT NOT NULL REFERENCES files(path)
    ON DELETE CASCADE, number INTEGER NOT NULL, source_type TEXT NOT NULL,
    knowledge_type TEXT NOT NULL, domain TEXT NOT NULL, headings TEXT NOT NULL,
    body TEXT NOT NULL, position TEXT NOT NULL, path TEXT NOT NULL);
CREATE INDEX passages_by_file ON passages(file);
INSERT INTO meta VALUES ('schema', '1');
"""


def test_a_base_of_the_previous_schema_migrates(tmp_path: Path) -> None:
    docs = write_files(tmp_path / "docs", {"a.md": "# Title\n\nreceipts here\n"})
    path = tmp_path / "old.sqlite"
    file = str(docs / "a.md")
    stat = os.stat(file)
    position = json.dumps(
        {"start": 0, "end": 13, "page": None, "sheet": None, "rows": None, "pointer": None}
    )
    with sqlite3.connect(path) as db:
        db.executescript(SCHEMA_1)
        db.execute("INSERT INTO roots VALUES (?, '{}')", (str(docs),))
        db.execute("INSERT INTO files VALUES (?, ?, ?, ?, 'x')",
                   (file, str(docs), stat.st_size, stat.st_mtime_ns))  # fmt: skip
        db.execute(
            "INSERT INTO passages VALUES (?, ?, 0, 'markdown', 'reference', 'general', ?, "
            "'receipts here', ?, ?)",
            (f"{file}#0", file, json.dumps(["Title"]), position, file),
        )
    with KnowledgeBase.open(path) as kb:
        (hit,) = kb.search("receipts")
        assert (hit.key, hit.headings, hit.position.end) == (f"{file}#0", ("Title",), 13)
        assert kb.refresh().files_unchanged == 1  # the migrated fingerprints are used
        (docs / "a.md").write_text("# Title\n\nnew words\n")
        assert kb.refresh().files_read == 1
        assert kb.search("receipts") == [] and len(kb.search("new")) == 1


def test_failed_statements_and_commits_leave_the_base_usable(tmp_path: Path) -> None:
    docs = write_files(tmp_path / "docs", {"a.txt": "alpha\n", "b.txt": "beta\n"})
    path = tmp_path / "kb.sqlite"
    kb = KnowledgeBase.open(path)
    kb.add(docs / "a.txt")
    with sqlite3.connect(path) as db:  # a statement fails in the middle of a change
        db.execute(
            "CREATE TRIGGER refuse BEFORE INSERT ON passages WHEN NEW.body LIKE '%beta%' "
            "BEGIN SELECT RAISE(ABORT, 'refused by a trigger'); END"
        )
    with pytest.raises(sqlite3.IntegrityError, match="refused by a trigger"):
        kb.add(docs / "b.txt")
    assert len(kb) == 1 and kb.search("beta") == []
    with sqlite3.connect(path) as db:  # now the commit itself fails
        db.execute("DROP TRIGGER refuse")
        db.execute("CREATE TABLE parent (y INTEGER PRIMARY KEY)")
        db.execute("CREATE TABLE guard (x REFERENCES parent(y) DEFERRABLE INITIALLY DEFERRED)")
        db.execute(
            "CREATE TRIGGER late AFTER INSERT ON passages WHEN NEW.body LIKE '%beta%' "
            "BEGIN INSERT INTO guard VALUES (1); END"
        )
    kb._db.execute("PRAGMA foreign_keys = ON")
    with pytest.raises(sqlite3.IntegrityError, match="FOREIGN KEY"):
        kb.add(docs / "b.txt")
    assert not kb._db.in_transaction and len(kb) == 1
    with sqlite3.connect(path) as db:
        db.execute("DROP TRIGGER late")
    kb.add(docs / "b.txt")  # the next change works
    assert len(kb) == 2 and len(kb.search("beta")) == 1
    kb.close()
