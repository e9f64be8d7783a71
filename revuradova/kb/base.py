"""A knowledge base: passages of files read, indexed with BM25, kept in SQLite."""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor
from typing import Any, cast

from revuradova._core import PyKnowledgeObject, PyQueryUnderstanding, PyRetrievalOrchestrator
from revuradova._postings import CorruptPostings
from revuradova.errors import BusyError, ClosedError, NotAddedError, PassageNotFound
from revuradova.ingest.model import Limits, Passage
from revuradova.ingest.names import path_text
from revuradova.kb import codec, schema
from revuradova.kb.files import Reading, Transaction, absolute, read_root, under
from revuradova.kb.index import FORMAT, Analysis, Index
from revuradova.kb.merge import merge_as_needed
from revuradova.kb.options import Assigner, Options
from revuradova.kb.results import Answer, Change, Hit, Status, Where
from revuradova.kb.snippets import Finder

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Paths = PathArg | Sequence[PathArg]
Progress = Callable[[int, int, str], None] | bool | None


class KnowledgeBase:
    """Passages of files, searchable with BM25 and askable through both roads.

    ``KnowledgeBase()`` lives in memory; ``KnowledgeBase.open("kb.sqlite")`` keeps it in a
    file, where each add, refresh and remove is one transaction: it happens whole or not at
    all, a killed process included, and other processes see it at their next call. Calls
    from several threads run one at a time.

    ``analysis`` (a new base only) says how text becomes terms; it is recorded in the base.
    ``timeout`` is how long a change waits for another process's change to finish before
    raising BusyError.

    ``intent_window`` is how many of BM25's best passages ask() lets the question's intent
    reorder.
    """

    intent_window = 3

    def __init__(
        self, path: PathArg = ":memory:", *, analysis: Analysis | None = None,
        timeout: float = 10.0,
    ) -> None:  # fmt: skip
        self._path = os.fsdecode(path) if not isinstance(path, str) else path
        if self._path != ":memory:":
            self._path = os.path.abspath(self._path)
        self._lock = threading.RLock()
        self._closed = False
        # Functions given as knowledge_type or domain, by root id: a base cannot store them.
        self._functions: dict[int, dict[str, Callable[[Passage], str]]] = {}
        db, version = schema.open_connection(self._path, timeout)
        self._db = db
        try:
            self._index = Index(db, self._prepare(version, analysis))
        except BaseException:
            db.close()
            raise

    @classmethod
    def open(
        cls, path: PathArg, *, analysis: Analysis | None = None, timeout: float = 10.0
    ) -> KnowledgeBase:
        """The knowledge base in the file at `path`, made when missing. Raises SchemaError,
        leaving the file as it was, for a file that is not one."""
        return cls(path, analysis=analysis, timeout=timeout)

    def _prepare(self, version: int | None, analysis: Analysis | None) -> Analysis:
        """Creates or migrates the base as needed; the analysis it is indexed with."""
        db = self._db
        wanted = analysis or Analysis()
        if version is None or version < schema.SCHEMA_VERSION:
            with self._write():
                current = db.execute(
                    "SELECT value FROM meta WHERE name = 'schema'"
                ).fetchone() if _has_table(db, "meta") else None  # fmt: skip
                if current is None:
                    schema.create(db, wanted.to_json())
                elif int(current[0]) < schema.SCHEMA_VERSION:
                    schema.migrate_from_1(db, wanted.to_json())
                    Index(db, wanted).rebuild()
        (text,) = db.execute("SELECT value FROM meta WHERE name = 'analysis'").fetchone()
        recorded, postings_format = Analysis.from_json(text)
        if analysis is not None and analysis != recorded:
            raise ValueError(
                f"{self._path} is indexed with {recorded}, not {analysis}: open it without "
                "analysis=, or call reindex(analysis) to index it again"
            )
        index = Index(db, recorded)
        if postings_format != FORMAT:
            self._rebuild(index, "its index was made by another version")
        elif not index.consistent():
            self._rebuild(index, "its index is missing or disagrees with its passages")
        return recorded

    def _rebuild(self, index: Index, why: str) -> None:
        warnings.warn(f"{self._path}: {why}; indexing its passages again", stacklevel=3)
        self._index_anew(index)

    def _index_anew(self, index: Index) -> None:
        """Every passage indexed again by `index`, whose analysis is recorded: one write."""
        with self._write():
            self._db.execute(
                "UPDATE meta SET value = ? WHERE name = 'analysis'", (index.analysis.to_json(),)
            )
            index.rebuild()

    def reindex(self, analysis: Analysis | None = None) -> None:
        """Indexes every passage again, with `analysis` (recorded from then on) or the
        base's own."""
        with self._lock:
            self._check_open()
            index = Index(self._db, analysis or self._index.analysis)
            self._index_anew(index)
            self._index = index

    @property
    def path(self) -> str:
        return self._path

    @property
    def analysis(self) -> Analysis:
        return self._index.analysis

    def close(self) -> None:
        with self._lock:
            if not self._closed:
                self._closed = True
                self._db.close()

    def __enter__(self) -> KnowledgeBase:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __len__(self) -> int:
        with self._lock, self._reading():
            return int(self._db.execute("SELECT docs FROM index_stats").fetchone()[0])

    # --- writing -------------------------------------------------------------------------

    def add(
        self,
        paths: Paths,
        *,
        knowledge_type: Assigner = None,
        domain: Assigner = None,
        include: str | Sequence[str] = ("*",),
        exclude: str | Sequence[str] = (),
        follow_symlinks: bool = False,
        limits: Limits | None = None,
        max_words: int | None = None,
        workers: int | None = None,
        executor: Executor | None = None,
        progress: Progress = None,
    ) -> Change:
        """Reads files and folders and stores their passages, replacing those of files added
        before. A file path is that file alone; `include`/`exclude` are globs over paths
        under a folder. knowledge_type and domain: a constant, a mapping of globs over the
        path under the folder (first match wins), or a function of the passage (kept for
        this process only: a refresh elsewhere must be given it again). The options are
        kept with each path and a refresh reads it with them. `max_words` bounds a passage
        (300 words when not given). `workers` reads files in
        parallel; `progress` is a callable (done, total, path), True for a bar on a
        terminal, False for none. Raises FileNotFoundError for a path that does not exist;
        files that cannot be read are in the change's `skipped`."""
        options = Options.checked(
            knowledge_type=knowledge_type, domain=domain, include=include, exclude=exclude,
            follow_symlinks=follow_symlinks, limits=limits, max_words=max_words,
        )  # fmt: skip
        reading = _reading_options(workers, executor, progress)
        roots = [absolute(p) for p in _paths(paths)]
        for root in roots:
            if not os.path.lexists(root):
                raise FileNotFoundError(f"no such file or folder: {path_text(root)!r}")
        functions = {
            name: value
            for name in ("knowledge_type", "domain")
            if callable(value := getattr(options, name))
        }
        with self._lock, self._transaction() as tx:
            for root in roots:
                root_id = self._db.execute(
                    "INSERT INTO roots (path, shown, options) VALUES (?, ?, ?) ON CONFLICT (path) "
                    "DO UPDATE SET options = excluded.options RETURNING id",
                    (root, path_text(root), options.to_json()),
                ).fetchone()[0]
                read_root(tx, root_id, root, options, reading, only_changed=False)
                self._functions.pop(root_id, None)
                if functions:
                    self._functions[root_id] = functions
            return tx.change

    def refresh(
        self,
        paths: Paths | None = None,
        *,
        knowledge_type: Callable[[Passage], str] | None = None,
        domain: Callable[[Passage], str] | None = None,
        workers: int | None = None,
        executor: Executor | None = None,
        progress: Progress = None,
    ) -> Change:
        """Reads again, with the options it was added with, every file whose size,
        modification time and content changed, under every root or under `paths` (any
        path under a root); drops the passages of files deleted. A root added with a
        function as knowledge_type or domain needs it given again here, unless this
        process added it."""
        given = {n: f for n, f in (("knowledge_type", knowledge_type), ("domain", domain)) if f}
        for name, function in given.items():
            if not callable(function):
                raise TypeError(f"{name} must be a function of the passage, not {function!r}")
        reading = _reading_options(workers, executor, progress)
        wanted = None if paths is None else [absolute(p) for p in _paths(paths)]
        with self._lock, self._transaction() as tx:
            roots = self._db.execute("SELECT id, path, options FROM roots ORDER BY path").fetchall()
            for root_id, root, stored in roots:
                parts = _parts_of(root, wanted)
                if parts is not None and not parts:
                    continue
                functions = {**self._functions.get(root_id, {}), **given}
                options = Options.from_json(stored, functions)
                if not os.path.lexists(root):
                    gone = [fid for (fid,) in self._db.execute(
                        "SELECT id FROM files WHERE root = ?", (root_id,))]  # fmt: skip
                    tx.forget_files(gone)
                    continue
                read_root(tx, root_id, root, options, reading, only_changed=True, parts=parts)
            if wanted is not None:
                for path in wanted:
                    if not any(under(path, root) or under(root, path) for _, root, _ in roots):
                        raise NotAddedError(f"nothing added under {path_text(path)!r}")
            return tx.change

    def remove(self, paths: Paths) -> Change:
        """Drops the passages of files, or of every file under folders, and forgets the
        roots removed; a part of a root stays out of its later refreshes. One transaction
        however many paths are given. Raises NotAddedError (a FileNotFoundError), changing
        nothing, when a path holds nothing added."""
        targets = [absolute(p) for p in _paths(paths)]
        with self._lock, self._transaction() as tx:
            db = self._db
            for path in targets:
                low, high = path.rstrip(b"/") + b"/", path.rstrip(b"/") + b"0"
                files = [fid for (fid,) in db.execute(
                    "SELECT id FROM files WHERE path = ? OR (path >= ? AND path < ?)",
                    (path, low, high))]  # fmt: skip
                roots = db.execute(
                    "SELECT id, path, options FROM roots WHERE path = ? OR (path >= ? AND path < ?)",
                    (path, low, high),
                ).fetchall()
                if not files and not roots:
                    raise NotAddedError(f"nothing added under {path_text(path)!r}")
                tx.forget_files(files)
                for root_id, _, _ in roots:
                    db.execute("DELETE FROM roots WHERE id = ?", (root_id,))
                    self._functions.pop(root_id, None)
                # A part of a larger root stays removed when that root is refreshed.
                for root_id, root, stored in db.execute(
                    "SELECT id, path, options FROM roots"
                ).fetchall():
                    if under(path, root) and path != root:
                        relative = path_text(os.path.relpath(path, root))
                        options = Options.from_json(stored, _ANY_FUNCTION).with_excluded(relative)
                        db.execute(
                            "UPDATE roots SET options = ? WHERE id = ?",
                            (_keep_functions(stored, options.to_json()), root_id),
                        )
            return tx.change

    # --- reading -------------------------------------------------------------------------

    def search(self, query: str, limit: int = 10, *, where: Where | None = None) -> list[Hit]:
        """The best `limit` passages by BM25 among those `where` accepts (exact: the index is
        asked for more until `limit` accepted hits are found or it has no more)."""
        _check_query(query, limit)
        with self._lock, self._reading():
            find = self._finder(query)
            return [Hit(p, score, find) for p, score in self._ranked(query, limit, where)]

    def search_many(
        self, queries: Sequence[str], limit: int = 10, *, where: Where | None = None
    ) -> list[list[Hit]]:
        return [self.search(query, limit, where=where) for query in queries]

    def ask(self, question: str, limit: int = 5, *, where: Where | None = None) -> Answer:
        """BM25's best passages, with the first `intent_window` of them reordered by the
        question's intent: those the progressive road keeps for it come first, then the
        others, each group in BM25's order; BM25's order continues after the window. The
        answer is empty only when BM25 finds nothing."""
        _check_query(question, limit)
        with self._lock, self._reading():
            size = max(1, self.intent_window)
            ranked = self._ranked(question, max(limit, size), where)
            if not ranked or limit <= 0:
                return Answer([], "none", _intent(question), "")
            # The progressive road sees the window's candidates (its limit is their number,
            # so that its last stage drops none) and keeps those that fit the intent.
            window = ranked[:size]
            objects = [
                PyKnowledgeObject(
                    cast(Any, p.source_type), p.key, cast(Any, p.knowledge_type), p.domain, p.text
                )
                for p, _ in window
            ]
            road = PyRetrievalOrchestrator(False, False, False, False, True, len(objects))
            kept_ids, summary = road.search(question, objects)
            kept = set(kept_ids)
            inside = [obj.id in kept for obj in objects]
            first = [pair for pair, k in zip(window, inside, strict=True) if k]
            rest = [pair for pair, k in zip(window, inside, strict=True) if not k]
            chosen = (first + rest + ranked[size:])[:limit]
            how = "intent" if len(first) == len(window) else ("intent+bm25" if first else "bm25")
            find = self._finder(question)
            hits = [Hit(p, score, find) for p, score in chosen]
            return Answer(hits, how, _intent(question), summary)

    def passage(self, key: str) -> Passage:
        """The passage of this key (as hits show it), whole. Raises PassageNotFound (a
        KeyError)."""
        with self._lock, self._reading():
            found = codec.split_key(key) if isinstance(key, str) else None
            row = None
            if found is not None:
                row = self._db.execute(
                    f"SELECT {codec.READ} FROM {codec.FROM} WHERE f.shown = ? AND p.number = ?",
                    found,
                ).fetchone()
            if row is None:
                raise PassageNotFound(f"no passage {key!r} in {self._path}")
            return codec.decode(row)

    def passages(self) -> Iterator[Passage]:
        """Every passage held, in file then passage order."""
        with self._lock, self._reading():
            rows = self._db.execute(
                f"SELECT {codec.READ} FROM {codec.FROM} ORDER BY f.shown, p.number"
            ).fetchall()
        return (codec.decode(row) for row in rows)

    def status(self) -> Status:
        """What the base holds, its size on disk and its last change."""
        with self._lock, self._reading():
            db = self._db
            roots = [shown for (shown,) in db.execute("SELECT shown FROM roots ORDER BY shown")]
            (files,) = db.execute("SELECT count(*) FROM files").fetchone()
            types = {
                kind: count
                for kind, count in db.execute(
                    "SELECT source_type, sum(passages) FROM files GROUP BY 1 ORDER BY 1"
                )
                if count
            }
            docs, _, segments = self._index.stats()
            (changed,) = db.execute("SELECT value FROM meta WHERE name = 'changed_ns'").fetchone()
        size = 0
        if self._path != ":memory:":
            for suffix in ("", "-wal", "-shm"):
                with contextlib.suppress(OSError):
                    size += os.path.getsize(self._path + suffix)
        analysis = {"min_bytes": self.analysis.min_bytes, "stemmer": self.analysis.stemmer}
        return Status(self._path, roots, files, docs, types, size, int(changed), segments,
                      analysis)  # fmt: skip

    # --- inside --------------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedError(f"the knowledge base {self._path} is closed")

    @contextlib.contextmanager
    def _write(self) -> Iterator[sqlite3.Connection]:
        """A write transaction, committed at the end or rolled back whole when anything
        fails (the commit itself included)."""
        self._check_open()
        db = self._db
        try:
            db.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError as error:
            if "locked" in str(error) or "busy" in str(error):
                raise BusyError(
                    f"{self._path} is being changed by another process (waited for it)"
                ) from error
            raise
        try:
            yield db
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    db.execute("ROLLBACK")
            raise

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[Transaction]:
        """One change of files and passages: indexed, merged as the policy says and
        recorded, all in one write transaction."""
        with self._write() as db:
            tx = Transaction(db, self._index)
            yield tx
            tx.flush()
            merge_as_needed(db)
            self._index.committed()
            schema.touch(db)

    @contextlib.contextmanager
    def _reading(self) -> Iterator[None]:
        """A read transaction: every statement of a call sees the same committed state."""
        self._check_open()
        db = self._db
        if db.in_transaction:
            yield
            return
        db.execute("BEGIN")
        try:
            yield
        finally:
            with contextlib.suppress(sqlite3.Error):
                db.execute("COMMIT")

    def _search_ids(self, query: str, limit: int) -> list[tuple[int, float]]:
        try:
            return self._index.search(query, limit)
        except CorruptPostings as error:
            # Out of the read transaction, into a write one, and back.
            self._db.execute("COMMIT")
            try:
                self._rebuild(self._index, f"its index is damaged ({error})")
            finally:
                self._db.execute("BEGIN")
            return self._index.search(query, limit)

    def _ranked(self, query: str, limit: int, where: Where | None) -> list[tuple[Passage, float]]:
        """The best `limit` (passage, score) pairs that `where` accepts."""
        if limit <= 0:
            return []
        fetch = limit if where is None else max(4 * limit, 32)
        while True:
            ranked = self._search_ids(query, fetch)
            passages = self._fetch([i for i, _ in ranked])
            pairs = [(passages[i], s) for i, s in ranked if i in passages]
            if where is not None:
                pairs = [(p, s) for p, s in pairs if where(p)]
            if where is None or len(pairs) >= limit or len(ranked) < fetch:
                return pairs[:limit]
            fetch *= 4

    def _fetch(self, ids: list[int]) -> dict[int, Passage]:
        if not ids:
            return {}
        rows = self._db.execute(
            f"SELECT p.id, {codec.READ} FROM {codec.FROM} WHERE p.id IN "
            "(SELECT value FROM json_each(?))",
            (json.dumps(ids),),
        )
        return {row[0]: codec.decode(row[1:]) for row in rows}

    def _finder(self, query: str) -> Finder | None:
        return self._index.analysis.finder(query)


class _AnyFunction(dict[str, Any]):
    """Stands for any function when only the stored form of options matters."""

    def __contains__(self, key: object) -> bool:
        return True

    def __getitem__(self, key: str) -> Any:
        return _placeholder


def _placeholder(passage: Passage) -> str:
    raise AssertionError("a placeholder function is never called")


_ANY_FUNCTION = _AnyFunction()


def _keep_functions(stored: str, rewritten: str) -> str:
    """`rewritten` with the function records of `stored` as they were."""
    old, new = json.loads(stored), json.loads(rewritten)
    for name in ("knowledge_type", "domain"):
        if isinstance(old.get(name), dict) and set(old[name]) == {"function"}:
            new[name] = old[name]
    return json.dumps(new, ensure_ascii=False, sort_keys=True)


def _has_table(db: sqlite3.Connection, name: str) -> bool:
    return db.execute("SELECT 1 FROM sqlite_master WHERE name = ?", (name,)).fetchone() is not None


def _parts_of(root: bytes, wanted: list[bytes] | None) -> list[bytes] | None:
    """The parts of `root` a refresh of `wanted` reads: None for all of it, [] for none."""
    if wanted is None or any(under(root, w) for w in wanted):
        return None
    return [w for w in wanted if under(w, root)]


def _paths(paths: Paths) -> list[PathArg]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [paths]
    if not isinstance(paths, Sequence):
        raise TypeError(f"paths must be a path or a list of paths, not {type(paths).__name__}")
    listed: list[PathArg] = []
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"not a path: {path!r}")
        listed.append(path)
    return listed


def _reading_options(workers: int | None, executor: Executor | None, progress: Progress) -> Reading:
    if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if executor is not None and not isinstance(executor, Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor, not {executor!r}")
    if progress is not None and not isinstance(progress, bool) and not callable(progress):
        raise TypeError("progress must be True, False or a function (done, total, path)")
    return Reading(workers, executor, progress)


def _check_query(query: str, limit: int) -> None:
    if not isinstance(query, str):
        raise TypeError(f"the query must be a str, not {type(query).__name__}")
    if not isinstance(limit, int) or isinstance(limit, bool):
        raise TypeError(f"limit must be an int, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must be 0 or more, not {limit}")


def _intent(question: str) -> str:
    """The question's intent by name ("ProcedureGuidance", ...)."""
    return str(PyQueryUnderstanding.understand(question)[0])
