"""A knowledge base: passages of files read, indexed with BM25, kept in SQLite."""

from __future__ import annotations

import fnmatch
import hashlib
import json
import os
import threading
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field

from revuradova._core import (
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)
from revuradova.ingest import DEFAULT_WORDS, Passage, Position
from revuradova.ingest.passages import assign
from revuradova.ingest.reading import DEFAULT_LIMITS
from revuradova.ingest.walk import FolderReport, extract, find_files
from revuradova.kb import store
from revuradova.kb.snippets import Snippet, make_snippet, query_terms

# How many BM25 candidates ask() hands to the progressive road.
ASK_CANDIDATES = 100


@dataclass(frozen=True, slots=True)
class Hit:
    """One passage found: what a user shows, and where it came from."""

    key: str
    path: str
    source_type: str
    knowledge_type: str
    domain: str
    headings: tuple[str, ...]
    position: Position
    score: float | None
    snippet: Snippet
    object_id: str


@dataclass(frozen=True, slots=True)
class Answer:
    """The hits of ask(), and how they were chosen: ``how`` is "intent" (every hit is one the
    progressive road kept for the question's intent), "intent+bm25" (it kept fewer than
    `limit`; BM25's order filled in), "bm25" (it kept none) or "none" (BM25 found nothing).
    ``summary`` is the progressive road's line over the candidates."""

    hits: list[Hit]
    how: str
    intent: str
    summary: str


@dataclass
class Where:
    """Exact filters; every given field must match. Globs match the passage's path."""

    source_type: str | Sequence[str] | None = None
    knowledge_type: str | Sequence[str] | None = None
    domain: str | Sequence[str] | None = None
    path: str | None = None
    test: Callable[[Passage], bool] | None = None

    def __call__(self, p: Passage) -> bool:
        for name in ("source_type", "knowledge_type", "domain"):
            wanted = getattr(self, name)
            if wanted is not None:
                allowed = (wanted,) if isinstance(wanted, str) else tuple(wanted)
                if getattr(p, name) not in allowed:
                    return False
        if self.path is not None and not fnmatch.fnmatchcase(p.path, self.path):
            return False
        return self.test is None or bool(self.test(p))


@dataclass
class Change:
    """What add(), refresh() or remove() did."""

    files_read: int = 0
    files_unchanged: int = 0
    files_removed: int = 0
    passages_added: int = 0
    passages_removed: int = 0
    reports: list[FolderReport] = field(default_factory=list)

    @property
    def skipped(self) -> list[tuple[str, str]]:
        return [item for report in self.reports for item in report.skipped]


class ClosedError(RuntimeError):
    """The knowledge base was closed."""


class KnowledgeBase:
    """Passages of files, searchable with BM25 and askable through both roads.

    ``KnowledgeBase()`` lives in memory; ``KnowledgeBase.open("kb.sqlite")`` keeps it in a
    file (each add, refresh and remove is one transaction). Reading calls may come from
    several threads; writes are serialised.
    """

    def __init__(self, path: str = ":memory:") -> None:
        self._db = store.connect(os.fspath(path))
        self._lock = threading.RLock()
        self._closed = False
        self._install(self._load())

    @classmethod
    def open(cls, path: str | os.PathLike) -> KnowledgeBase:
        return cls(os.fspath(path))

    def close(self) -> None:
        with self._lock:
            if not self._closed:
                self._closed = True
                self._db.close()

    def __enter__(self) -> KnowledgeBase:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __len__(self) -> int:
        with self._lock:
            self._check_open()
            return len(self._passages)

    # --- writing -------------------------------------------------------------------------

    def add(self, paths: str | os.PathLike | Iterable[str | os.PathLike], **options) -> Change:
        """Reads files and folders and stores their passages, replacing those of files added
        before. Options as read_folder's: knowledge_type, domain (a constant, a mapping of
        globs, or a function, which a later refresh in another process cannot reuse),
        include, exclude, follow_symlinks, limits, max_words. Raises FileNotFoundError for a
        path that does not exist; files that cannot be read are in the change's `skipped`."""
        if isinstance(paths, (str, os.PathLike)):
            paths = [paths]
        paths = [os.fspath(p) for p in paths]
        for path in paths:
            if not os.path.exists(path):
                raise FileNotFoundError(f"no such file or folder: {path!r}")
        with self._lock:
            self._check_open()
            change = Change()
            with self._transaction():
                for path in paths:
                    self._db.execute(
                        "INSERT OR REPLACE INTO roots VALUES (?, ?)",
                        (path, json.dumps(_storable(options))),
                    )
                    self._read_root(path, options, change, only_changed=False)
                state = self._load()
            self._install(state)
            return change

    def refresh(self) -> Change:
        """Reads again the files of every root added whose size, modification time or
        content changed, drops the passages of changed and deleted files, keeps the rest."""
        with self._lock:
            self._check_open()
            change = Change()
            with self._transaction():
                for root, options in self._db.execute("SELECT root, options FROM roots").fetchall():
                    if not os.path.exists(root):
                        change.files_removed += self._drop_files(root, change)
                        continue
                    self._read_root(root, json.loads(options), change, only_changed=True)
                state = self._load() if change.files_read or change.files_removed else None
            if state is not None:
                self._install(state)
            return change

    def remove(self, path: str | os.PathLike) -> Change:
        """Drops a file's passages, or those of every file under a folder added."""
        path = os.fspath(path)
        with self._lock:
            self._check_open()
            change = Change()
            with self._transaction():
                change.files_removed = self._drop_files(path, change)
                self._db.execute("DELETE FROM roots WHERE root = ?", (path,))
                if not change.files_removed:
                    raise FileNotFoundError(f"nothing added under {path!r}")
                state = self._load()
            self._install(state)
            return change

    # --- reading -------------------------------------------------------------------------

    def search(self, query: str, limit: int = 10, where: Where | None = None) -> list[Hit]:
        """The best `limit` passages by BM25 among those `where` accepts (exact: the index is
        asked for more until `limit` accepted hits are found or it has no more)."""
        with self._lock:
            self._check_open()
            terms = query_terms(query)
            return [self._hit(i, s, terms) for i, s in self._ranked(query, limit, where)]

    def search_many(self, queries: Sequence[str], limit: int = 10, where: Where | None = None):
        return [self.search(query, limit, where) for query in queries]

    def ask(self, question: str, limit: int = 5, where: Where | None = None) -> Answer:
        """BM25 finds up to 100 candidates; those the progressive road keeps for the
        question's intent come first, then the others, each group in BM25's order. The
        answer is empty only when BM25 finds nothing."""
        with self._lock:
            self._check_open()
            ranked = self._ranked(question, max(ASK_CANDIDATES, limit), where)
            if not ranked:
                return Answer([], "none", _intent(question), "")
            # The progressive road keeps the candidates that fit the question's intent (its
            # limit is the number of candidates, so that its last stage drops none); the
            # kept ones come first, in BM25's order, and BM25's order fills in after them.
            objects = [self._objects[object_id] for object_id, _ in ranked]
            road = PyRetrievalOrchestrator(False, False, False, False, True, len(objects))
            kept_ids, summary = road.search(question, objects)
            kept = set(kept_ids)
            first = [(i, s) for i, s in ranked if i in kept]
            chosen = (first + [(i, s) for i, s in ranked if i not in kept])[:limit]
            intent_hits = min(len(first), limit)
            how = "intent" if intent_hits >= limit else ("intent+bm25" if intent_hits else "bm25")
            terms = query_terms(question)
            hits = [self._hit(i, score, terms) for i, score in chosen]
            return Answer(hits, how, _intent(question), summary)

    # --- inside --------------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedError("this knowledge base is closed")

    def _transaction(self):
        return _Transaction(self._db)

    def _read_root(self, root: str, options: dict, change: Change, only_changed: bool) -> None:
        """Reads the files under `root` (or the file `root`) into the store. With
        `only_changed`, a file whose size and modification time are as stored is not
        opened, and one whose content hash is as stored is not read again."""
        known = {
            path: (size, mtime, digest)
            for path, size, mtime, digest in self._db.execute(
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
                digest = _sha256(path)
            except OSError as error:
                report.skipped.append((shown, f"{type(error).__name__}: {error.strerror}"))
                continue
            if only_changed and old and old[2] == digest:
                change.files_unchanged += 1
                self._db.execute(
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
            passages = [self._assigned(p, options) for p in passages]
            removed = self._db.execute("DELETE FROM passages WHERE file = ?", (path,)).rowcount
            change.passages_removed += max(removed, 0)
            self._db.execute(
                "INSERT OR REPLACE INTO files VALUES (?, ?, ?, ?, ?)",
                (path, root, info.st_size, info.st_mtime_ns, digest),
            )
            store.insert_passages(self._db, path, passages)
            report.passages += len(passages)
            change.files_read += 1
            change.passages_added += len(passages)
        change.reports.append(report)
        for path in set(known) - seen:
            change.files_removed += self._drop_files(path, change, exact=True)

    @staticmethod
    def _assigned(passage: Passage, options: dict) -> Passage:
        passage = assign(passage, "knowledge_type", options.get("knowledge_type"))
        return assign(passage, "domain", options.get("domain"))

    def _drop_files(self, path: str, change: Change, exact: bool = False) -> int:
        if exact:
            files = [path]
        else:
            prefix = path.rstrip(os.sep) + os.sep
            files = [
                f
                for (f,) in self._db.execute("SELECT path FROM files")
                if f == path or f.startswith(prefix)
            ]
        for file in files:
            removed = self._db.execute("DELETE FROM passages WHERE file = ?", (file,)).rowcount
            change.passages_removed += max(removed, 0)
            self._db.execute("DELETE FROM files WHERE path = ?", (file,))
        return len(files)

    def _load(self) -> tuple:
        """The passages, objects and index of the stored passages. The core index only
        grows, so after any change it is built again; this runs inside the change's
        transaction, so that a failure here (MemoryError) rolls the store back too and the
        knowledge base stays as it was."""
        passages: dict[str, Passage] = {}
        objects: dict[str, PyKnowledgeObject] = {}
        index = PyBM25Indexer()
        for passage in store.load_passages(self._db):
            obj = PyKnowledgeObject(
                passage.source_type, passage.key, passage.knowledge_type, passage.domain,
                passage.text,
            )  # fmt: skip
            index.index_document(obj)
            passages[obj.id] = passage
            objects[obj.id] = obj
        return passages, objects, index

    def _install(self, state: tuple) -> None:
        self._passages, self._objects, self._index = state

    def _ranked(self, query: str, limit: int, where: Where | None) -> list[tuple[str, float]]:
        if limit <= 0:
            return []
        fetch = limit if where is None else max(4 * limit, 32)
        while True:
            ranked = self._index.search(query, fetch)
            kept = [(i, s) for i, s in ranked if where is None or where(self._passages[i])]
            if len(kept) >= limit or len(ranked) < fetch:
                return kept[:limit]
            fetch *= 4

    def _hit(self, object_id: str, score: float | None, terms) -> Hit:
        p = self._passages[object_id]
        return Hit(
            p.key, p.path, p.source_type, p.knowledge_type, p.domain, p.headings, p.position,
            score, make_snippet(p.body, terms), object_id,
        )  # fmt: skip


class _Transaction:
    def __init__(self, db) -> None:
        self._db = db

    def __enter__(self) -> None:
        self._db.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind, error, tb) -> None:
        self._db.execute("COMMIT" if kind is None else "ROLLBACK")


def _sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _storable(options: dict) -> dict:
    """The options a later refresh reads the same root with (those JSON can hold)."""
    out = {}
    for name, value in options.items():
        try:
            json.dumps(value)
        except TypeError:
            continue
        out[name] = value
    return out


def _intent(question: str) -> str:
    """The question's intent by name ("ProcedureGuidance", ...)."""
    return PyQueryUnderstanding.understand(question)[0]
