"""A knowledge base's files: read into the store when new or changed, dropped when gone.

Each function works inside the caller's transaction and records what it did in a Change
and an Edit (the files whose passages the in-memory contents must drop or replace).
"""

from __future__ import annotations

import hashlib
import json
import os
import sqlite3

from revuradova.ingest import DEFAULT_WORDS, Passage
from revuradova.ingest.passages import assign
from revuradova.ingest.reading import DEFAULT_LIMITS
from revuradova.ingest.walk import FolderReport, extract, find_files
from revuradova.kb import store
from revuradova.kb.results import Change
from revuradova.kb.store import Stored


class Edit:
    """The files a change drops, and those it read again (their records and texts)."""

    def __init__(self) -> None:
        self.dropped: set[str] = set()
        self.read: dict[str, list[tuple[Stored, str]]] = {}

    def __bool__(self) -> bool:
        return bool(self.dropped or self.read)


def store_file(
    db: sqlite3.Connection, file_row: tuple, passages: list, options: dict, change: Change,
    edit: Edit,
) -> int:  # fmt: skip
    """Replaces the stored passages of one file read (its `files` row: path, root, size,
    modification time, hash) and counts the change; returns the number of passages."""
    path = file_row[0]
    rows = [(Stored.of(p, path), p.text) for p in (assigned(p, options) for p in passages)]
    removed = db.execute("DELETE FROM passages WHERE file = ?", (path,)).rowcount
    change.passages_removed += max(removed, 0)
    db.execute("INSERT OR REPLACE INTO files VALUES (?, ?, ?, ?, ?)", file_row)
    store.insert_passages(db, (record for record, _ in rows))
    edit.read[path] = rows
    change.files_read += 1
    change.passages_added += len(rows)
    return len(rows)


def read_root(
    db: sqlite3.Connection,
    root: str,
    options: dict,
    change: Change,
    edit: Edit,
    only_changed: bool,
) -> None:
    """Reads the files under `root` (or the file `root`) into the store. With
    `only_changed`, a file whose size and modification time are as stored is not
    opened, and one whose content hash is as stored is not read again."""
    known = {
        path: (size, mtime, digest)
        for path, size, mtime, digest in db.execute(
            "SELECT path, size, mtime_ns, sha256 FROM files WHERE root = ?", (root,)
        )
    }
    report = FolderReport()
    folder = os.path.isdir(root)
    base = root if folder else os.path.dirname(root) or "."
    include = options.get("include", ("*",)) if folder else (os.path.basename(root),)
    files = find_files(
        base, include, options.get("exclude", ()), options.get("follow_symlinks", False),
        report,
    )  # fmt: skip
    limits = options.get("limits", DEFAULT_LIMITS)
    words = options.get("max_words", DEFAULT_WORDS)
    seen: set[str] = set()
    for real, shown in files:
        path = os.path.abspath(real)
        seen.add(path)
        try:
            info = os.stat(path)
            old = known.get(path)
            if only_changed and old and (info.st_size, info.st_mtime_ns) == old[:2]:
                change.files_unchanged += 1
                continue
            digest = sha256(path)
        except OSError as error:
            report.skipped.append((shown, f"{type(error).__name__}: {error.strerror}"))
            continue
        if only_changed and old and old[2] == digest:
            change.files_unchanged += 1
            db.execute(
                "UPDATE files SET size = ?, mtime_ns = ? WHERE path = ?",
                (info.st_size, info.st_mtime_ns, path),
            )
            continue
        key_path = os.path.join(root, shown) if folder else root
        outcome = extract(real, shown, limits, words, key_path)
        if isinstance(outcome, str):
            report.skipped.append((shown, outcome))
            continue
        source_type, passages = outcome
        report.files[source_type] += 1
        file_row = (path, root, info.st_size, info.st_mtime_ns, digest)
        stored = store_file(db, file_row, passages, options, change, edit)
        report.passages += stored
    change.reports.append(report)
    for path in set(known) - seen:
        change.files_removed += drop_files(db, path, change, edit, exact=True)


def drop_files(
    db: sqlite3.Connection, path: str, change: Change, edit: Edit, exact: bool = False
) -> int:
    if exact:
        files = [path]
    else:
        prefix = path.rstrip(os.sep) + os.sep
        files = [
            f for (f,) in db.execute("SELECT path FROM files") if f == path or f.startswith(prefix)
        ]
    for file in files:
        removed = db.execute("DELETE FROM passages WHERE file = ?", (file,)).rowcount
        change.passages_removed += max(removed, 0)
        db.execute("DELETE FROM files WHERE path = ?", (file,))
        edit.dropped.add(file)
        edit.read.pop(file, None)
    return len(files)


def assigned(passage: Passage, options: dict) -> Passage:
    passage = assign(passage, "knowledge_type", options.get("knowledge_type"))
    return assign(passage, "domain", options.get("domain"))


def sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def storable(options: dict) -> dict:
    """The options a later refresh reads the same root with (those JSON can hold)."""
    out = {}
    for name, value in options.items():
        try:
            json.dumps(value)
        except TypeError:
            continue
        out[name] = value
    return out
