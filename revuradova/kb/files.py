"""A knowledge base's files: read into the store when new or changed, dropped when gone.

Everything here runs inside the caller's write transaction (a Transaction) and reads files
only through revuradova.ingest's public functions.
"""

from __future__ import annotations

import dataclasses
import os
import sqlite3
from collections.abc import Callable, Iterable
from concurrent.futures import Executor
from dataclasses import dataclass, field
from fnmatch import fnmatchcase
from typing import Any

from revuradova.ingest.listing import FoundFile, list_files
from revuradova.ingest.model import Passage
from revuradova.ingest.names import path_bytes, path_text
from revuradova.kb import codec
from revuradova.kb.index import SEGMENT_PASSAGES, Index
from revuradova.kb.options import Options
from revuradova.kb.results import Change


@dataclass
class Reading:
    """How files are read in one change (not stored: a refresh may read differently)."""

    workers: int | None = None
    executor: Executor | None = None
    progress: Callable[[int, int, str], None] | bool | None = None


@dataclass
class Transaction:
    """One change under way: the connection inside its transaction, the index, the new
    passages waiting to be indexed as one segment, and the account of the change."""

    db: sqlite3.Connection
    index: Index
    change: Change = field(default_factory=Change)
    # A hybrid base's: embeds new passages and stores their vectors (ids, indexed texts).
    embed: Callable[[list[int], list[str]], None] | None = None
    # Whether the base has a vectors table, whose rows go with their passages.
    vectors: bool = False
    _next_id: int = 0
    _pending: list[tuple[int, int, tuple[Any, ...], str]] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._next_id = self.index.next_id()

    def add_passages(self, file_id: int, passages: Iterable[Passage]) -> None:
        count = 0
        for passage in passages:
            self._pending.append((self._next_id, file_id, codec.encode(passage), passage.text))
            self._next_id += 1
            count += 1
        self.change.passages_added += count
        self.db.execute("UPDATE files SET passages = ? WHERE id = ?", (count, file_id))
        if len(self._pending) >= SEGMENT_PASSAGES:
            self.flush()

    def flush(self) -> None:
        """Indexes the pending passages as one segment and stores them."""
        pending, self._pending = self._pending, []
        if not pending:
            return
        lengths = self.index.add([p[0] for p in pending], [p[3] for p in pending])
        self.db.executemany(
            f"INSERT INTO passages (id, file, length, {codec.WRITTEN}) "
            f"VALUES ({', '.join('?' * 17)})",
            [
                (pid, file_id, length, *row)
                for (pid, file_id, row, _), length in zip(pending, lengths, strict=True)
            ],
        )
        if self.embed is not None:
            self.embed([p[0] for p in pending], [p[3] for p in pending])

    def drop_files(self, file_ids: list[int]) -> None:
        """Takes every passage of the files out of the index and the store, and the files."""
        if not file_ids:
            return
        self.flush()
        marks = ",".join("?" * len(file_ids))
        removed = [
            (pid, codec.indexed_text(headings, body), length)
            for pid, headings, body, length in self.db.execute(
                f"SELECT id, headings, body, length FROM passages WHERE file IN ({marks})",
                file_ids,
            )
        ]
        self.index.remove(removed)
        if self.vectors:
            self.db.execute(
                f"DELETE FROM vectors WHERE id IN (SELECT id FROM passages WHERE file IN ({marks}))",
                file_ids,
            )
        self.db.execute(f"DELETE FROM passages WHERE file IN ({marks})", file_ids)
        self.change.passages_removed += len(removed)

    def forget_files(self, file_ids: list[int]) -> None:
        """drop_files, and the files' rows."""
        self.drop_files(file_ids)
        marks = ",".join("?" * len(file_ids))
        self.db.execute(f"DELETE FROM files WHERE id IN ({marks})", file_ids)
        self.change.files_removed += len(file_ids)


def absolute(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bytes:
    """A path as the store keeps it: absolute (from the current folder), the name's bytes."""
    return os.path.abspath(os.fsencode(path))


def read_root(
    tx: Transaction,
    root_id: int,
    root: bytes,
    options: Options,
    reading: Reading,
    only_changed: bool,
    parts: list[bytes] | None = None,
) -> None:
    """Reads the files under `root` (or the file `root`) into the store. With
    `only_changed`, a file whose size and modification time are as stored is not read, and
    one whose content is as stored keeps its passages; files of this root that are gone
    lose theirs. A file another root read last belongs to that root and is left to it by a
    refresh. `parts` (paths under the root) limits all of this to the files under them."""
    db, change = tx.db, tx.change
    is_folder = os.path.isdir(root)
    found, skipped = _listing(root, options, parts if is_folder else None)
    change.skipped.extend((_shown(root, relative), why) for relative, why in skipped)
    found = [f for f in found if not options.is_excluded(f.relative)]
    # The files this root holds (under the parts only, each part a range of the path
    # index: refreshing one file of a large root reads one row).
    query = "SELECT id, path, size, mtime_ns, sha256 FROM files WHERE root = ?"
    if parts is None:
        rows = db.execute(query, (root_id,)).fetchall()
    else:
        rows = []
        for part in parts:
            low, high = part.rstrip(b"/") + b"/", part.rstrip(b"/") + b"0"
            rows += db.execute(
                query + " AND (path = ? OR (path >= ? AND path < ?))", (root_id, part, low, high)
            ).fetchall()
    known = {path: (fid, size, mtime, digest) for fid, path, size, mtime, digest in rows}
    to_read: list[FoundFile] = []
    for file in found:
        old = known.get(file.path)
        if old is None:
            owner = db.execute("SELECT root FROM files WHERE path = ?", (file.path,)).fetchone()
            if owner is not None and only_changed:
                continue  # read last through another root
        elif only_changed and (file.size, file.mtime_ns) == old[1:3]:
            change.files_unchanged += 1
            continue
        to_read.append(file)
    listed = {f.path for f in found}
    gone = [(path, old[0]) for path, old in known.items() if path not in listed]
    # A file this root no longer reads may still be under another root (one added inside
    # it, say): that root takes it over as it is; the others are forgotten.
    others = [(rid, path) for rid, path in db.execute("SELECT id, path FROM roots WHERE id != ?",
                                                      (root_id,))]  # fmt: skip
    kept = []
    for path, file_id in gone:
        owners = [rid for rid, other in others if under(path, other)]
        if owners:
            db.execute("UPDATE files SET root = ? WHERE id = ?", (owners[0], file_id))
        else:
            kept.append(file_id)
    tx.forget_files(kept)

    from revuradova.ingest.files import read_files  # the readers, when there is reading to do

    outcomes = read_files(
        to_read, key_paths=[path_text(f.path) for f in to_read],
        limits=options.limits,
        max_words=options.max_words, workers=reading.workers, executor=reading.executor,
        progress=reading.progress,
    )  # fmt: skip
    for file, outcome in outcomes:
        shown = path_text(file.path)
        if isinstance(outcome, str):
            change.skipped.append((shown, outcome))
            continue
        old = known.get(file.path)
        if old is None:
            row = db.execute("SELECT id, sha256 FROM files WHERE path = ?", (file.path,)).fetchone()
            old = (row[0], -1, -1, row[1]) if row else None
        if old is not None and only_changed and old[3] == outcome.sha256:
            db.execute(
                "UPDATE files SET size = ?, mtime_ns = ? WHERE id = ?",
                (file.size, file.mtime_ns, old[0]),
            )
            change.files_unchanged += 1
            continue
        values = (root_id, shown, outcome.source_type, file.size, file.mtime_ns, outcome.sha256)
        if old is not None:
            tx.drop_files([old[0]])
            db.execute(
                "UPDATE files SET root = ?, shown = ?, source_type = ?, size = ?, mtime_ns = ?, "
                "sha256 = ? WHERE id = ?",
                (*values, old[0]),
            )
            file_id = old[0]
        else:
            file_id = db.execute(
                "INSERT INTO files (root, shown, source_type, size, mtime_ns, sha256, path) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)",
                (*values, file.path),
            ).lastrowid
        change.files_read += 1
        tx.add_passages(file_id, (options.assigned(p, file.relative) for p in outcome.passages))


def _listing(
    root: bytes, options: Options, parts: list[bytes] | None
) -> tuple[list[FoundFile], list[tuple[str, str]]]:
    """The files of `root` (or of its `parts` only) with their paths as the store keeps
    them (the root as given, then the path under it) and relative to the root, and the
    (relative, reason) of those skipped. Listing a part lists nothing else."""
    if parts is None:
        found, skipped = list_files(
            root, include=options.include, exclude=options.exclude,
            follow_symlinks=options.follow_symlinks,
        )  # fmt: skip
        return [_rooted(root, f, f.relative) for f in found], skipped
    found, skipped = [], []
    real_root = os.path.realpath(root)
    for part in parts:
        if not os.path.lexists(part):
            continue
        inside = path_text(os.path.relpath(part, root))
        prefix = "" if inside == "." else inside + "/"
        # A part reached through a symbolic link is read only when links are followed,
        # and then only inside the root, as a walk of the whole root would.
        real = os.path.realpath(part)
        through_link = real != os.path.normpath(
            os.path.join(real_root, os.path.relpath(part, root))
        )
        if through_link and (
            not options.follow_symlinks or os.path.commonpath([real, real_root]) != real_root
        ):
            why = "symbolic link (not followed)" if not options.follow_symlinks else (
                "symbolic link out of the folder")  # fmt: skip
            skipped.append((inside, why))
            continue
        listed, missed = list_files(part, follow_symlinks=options.follow_symlinks)
        if not os.path.isdir(part):
            listed = [dataclasses.replace(f, relative="") for f in listed]
        for file in listed:
            relative = (prefix + file.relative).rstrip("/")
            if _wanted(relative, options):
                found.append(_rooted(root, file, relative))
        skipped += [(prefix + r, why) for r, why in missed]
    return found, skipped


def _wanted(relative: str, options: Options) -> bool:
    """Whether a folder walk of the root with these options would take this file."""
    folders = relative.split("/")[:-1]
    if any(
        fnmatchcase("/".join(folders[: i + 1]) + "/", p)
        for i in range(len(folders))
        for p in options.exclude
    ):
        return False
    return any(fnmatchcase(relative, p) for p in options.include) and not any(
        fnmatchcase(relative, p) for p in options.exclude
    )


def _rooted(root: bytes, file: FoundFile, relative: str) -> FoundFile:
    if os.path.isdir(root):
        path = root.rstrip(b"/") + b"/" + path_bytes(relative)
    else:
        path = root
    return dataclasses.replace(file, path=path, relative=relative)


def under(path: bytes, root: bytes) -> bool:
    """Whether `path` is `root` or inside it."""
    root = root.rstrip(b"/")
    return path == root or path.startswith(root + b"/")


def _shown(root: bytes, relative: str) -> str:
    text = path_text(root)
    if not os.path.isdir(root) or relative in ("", "."):
        return text
    return text.rstrip("/") + "/" + relative
