"""A knowledge base: passages of files read, indexed with BM25, kept in SQLite."""

from __future__ import annotations

import contextlib
import json
import math
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
from revuradova.kb import dense as hybrid
from revuradova.kb.dense import DenseUnavailable, Encoder
from revuradova.kb.files import Reading, Transaction, absolute, read_root, under
from revuradova.kb.index import FORMAT, Analysis, Index
from revuradova.kb.merge import merge_as_needed
from revuradova.kb.options import Assigner, Options
from revuradova.kb.results import Answer, Change, Hit, Status, Where
from revuradova.kb.snippets import Finder

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Dense = bool | str | Encoder | None
MODES = ("hybrid", "bm25", "dense")
# ask() looks again at this many of the best candidates and raises those that keep the
# question's phrasing (its neighbouring content words, neighbours in the passage too) by up
# to this share of the best score. Chosen on the git documentation's judged questions.
PHRASING_DEPTH = 50
PHRASING_WEIGHT = 0.3
# How many of the best candidates ask() lets each intent reorder. Measured per intent on the
# same questions: the progressive road's order helped definitions (3 questions: 1 more
# answer first), cost procedures answers at the top (23 questions: 1 fewer first) and left
# the other intents' rankings as they were. An intent not listed is left to the ranking.
INTENT_WINDOWS = {"Definition": 3}
Paths = PathArg | Sequence[PathArg]
Progress = Callable[[int, int, str], None] | bool | None


# Files read at once when add() or refresh() is not told (each reader process takes 25 to
# 110 MB).
DEFAULT_WORKERS = 4

# The most hits one call returns (kb.passages() gives every passage).
MAX_LIMIT = 1_000_000


class KnowledgeBase:
    """Passages of files, searchable with BM25 and askable through both roads.

    ``KnowledgeBase()`` lives in memory; ``KnowledgeBase.open("kb.sqlite")`` keeps it in a
    file, where each add, refresh and remove is one transaction: it happens whole or not at
    all, a killed process included, and other processes see it at their next call. Calls
    from several threads run one at a time.

    ``analysis`` (a new base only) says how text becomes terms; it is recorded in the base.
    ``timeout`` is how long a change waits for another process's change to finish before
    raising BusyError.

    ``dense`` (a new base only; needs the extra revuradova[dense]) makes a hybrid base:
    True for the packaged all-MiniLM-L6-v2, a model folder's path, or an Encoder. Its
    passages' vectors are stored beside them, in the transaction that stores them, and
    search() and ask() fuse BM25 with the vectors' cosine unless told otherwise. An
    existing base is made hybrid by enable_dense().

    ``intent_window``, when set, is how many of the best passages ask() lets the
    question's intent reorder, whatever the intent; None (the default) uses each intent's
    measured window (INTENT_WINDOWS).
    """

    intent_window: int | None = None

    def __init__(
        self, path: PathArg = ":memory:", *, analysis: Analysis | None = None,
        timeout: float = 10.0, dense: Dense = None,
    ) -> None:  # fmt: skip
        self._path = os.fsdecode(path) if not isinstance(path, str) else path
        if self._path != ":memory:":
            self._path = os.path.abspath(self._path)
        self._lock = threading.RLock()
        self._closed = False
        # Functions given as knowledge_type or domain, by root id: a base cannot store them.
        self._functions: dict[int, dict[str, Callable[[Passage], str]]] = {}
        # The model given, or loaded when first needed; None while not needed or missing.
        self._encoder: Encoder | None = None
        self._vectors: hybrid.Vectors | None = None
        if dense is not None and dense is not False:
            self._encoder = _load(dense)
        db, version = schema.open_connection(self._path, timeout)
        self._db = db
        try:
            self._index = Index(db, self._prepare(version, analysis))
            self._record = self._prepare_dense(version is None)
        except BaseException:
            db.close()
            raise

    @classmethod
    def open(
        cls, path: PathArg, *, analysis: Analysis | None = None, timeout: float = 10.0,
        dense: Dense = None,
    ) -> KnowledgeBase:  # fmt: skip
        """The knowledge base in the file at `path`, made when missing. Raises SchemaError,
        leaving the file as it was, for a file that is not one."""
        return cls(path, analysis=analysis, timeout=timeout, dense=dense)

    def _prepare_dense(self, new: bool) -> hybrid.Record | None:
        """The base's dense record, made for a new base given a model."""
        record = hybrid.read_record(self._db) if _has_table(self._db, "vectors") else None
        encoder = self._encoder
        if encoder is None:
            return record
        if record is None:
            if not new:
                raise ValueError(
                    f"{self._path} has no vectors: open it without dense=, or call "
                    "enable_dense() to embed its passages"
                )
            return self._enable(encoder)
        if record.model != encoder.name or record.dim != encoder.dim:
            raise ValueError(
                f"{self._path} is embedded with {record.model!r}, not {encoder.name!r}: open "
                "it without dense=, or call enable_dense(model) to embed it again"
            )
        return record

    def enable_dense(
        self,
        model: bool | str | Encoder = True,
        progress: Callable[[int, int], None] | None = None,
    ) -> None:
        """Makes the base hybrid: embeds every passage with `model` (True for the packaged
        all-MiniLM-L6-v2, a model folder's path, or an Encoder) and stores the vectors, in
        one transaction. A base embedded with another model is embedded again.
        `progress(done, total)` is told of every batch of passages embedded."""
        with self._lock:
            self._check_open()
            encoder = _load(model)
            self._record = self._enable(encoder, progress)
            self._encoder = encoder

    def _enable(
        self, encoder: Encoder, progress: Callable[[int, int], None] | None = None
    ) -> hybrid.Record:
        record = hybrid.Record(encoder.name, encoder.dim)
        with self._write() as db:
            db.execute(hybrid.VECTORS_TABLE)
            if hybrid.read_record(db) != record:
                db.execute("DELETE FROM vectors")
            db.execute("INSERT OR REPLACE INTO meta VALUES ('dense', ?)", (record.to_json(),))
            _embed_missing(db, encoder, progress)
            self._index.committed()
            schema.touch(db)
        self._vectors = None
        return record

    @property
    def dense_model(self) -> str | None:
        """The model the base's passages are embedded with; None for a BM25-only base."""
        return self._record.model if self._record else None

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
        (300 words when not given). `workers` reads files in parallel (default: the cores
        there are, at most 4); `progress` is a callable (done, total, path), True for a bar
        on a terminal, False for none. Raises FileNotFoundError for a path that does not
        exist; files that cannot be read are in the change's `skipped`."""
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
        added: list[int] = []
        with self._lock:
            with self._transaction() as tx:
                for root in roots:
                    root_id = self._db.execute(
                        "INSERT INTO roots (path, shown, options) VALUES (?, ?, ?) "
                        "ON CONFLICT (path) DO UPDATE SET options = excluded.options RETURNING id",
                        (root, path_text(root), options.to_json()),
                    ).fetchone()[0]
                    read_root(tx, root_id, root, options, reading, only_changed=False)
                    added.append(root_id)
            # The functions are the process's own record: changed only once committed.
            for root_id in added:
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
            for path in wanted or ():
                if not any(under(path, root) or under(root, path) for _, root, _ in roots):
                    raise NotAddedError(f"nothing added under {path_text(path)!r}")
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
            return tx.change

    def remove(self, paths: Paths) -> Change:
        """Drops the passages of files, or of every file under folders, and forgets the
        roots removed; a part of a root stays out of its later refreshes. One transaction
        however many paths are given. Raises NotAddedError (a FileNotFoundError), changing
        nothing, when a path holds nothing added."""
        targets = [absolute(p) for p in _paths(paths)]
        forgotten: list[int] = []
        with self._lock:
            with self._transaction() as tx:
                self._remove(tx, targets, forgotten)
            for root_id in forgotten:
                self._functions.pop(root_id, None)
            return tx.change

    def _remove(self, tx: Transaction, targets: list[bytes], forgotten: list[int]) -> None:
        """remove()'s work inside its transaction; the roots it forgets go in `forgotten`."""
        db = self._db
        for path in targets:
            low, high = path.rstrip(b"/") + b"/", path.rstrip(b"/") + b"0"
            inside = "path = ? OR (path >= ? AND path < ?)"
            files = [fid for (fid,) in db.execute(f"SELECT id FROM files WHERE {inside}",
                                                  (path, low, high))]  # fmt: skip
            roots = [rid for (rid,) in db.execute(f"SELECT id FROM roots WHERE {inside}",
                                                  (path, low, high))]  # fmt: skip
            # A part of a root that exists but holds nothing stored yet can be removed too.
            containing = [
                (root_id, root, stored)
                for root_id, root, stored in db.execute("SELECT id, path, options FROM roots")
                if under(path, root)
                and path != root
                and (files or os.path.lexists(path))
                and not Options.excludes(stored, path_text(os.path.relpath(path, root)))
            ]
            if not files and not roots and not containing:
                raise NotAddedError(f"nothing added under {path_text(path)!r}")
            tx.forget_files(files)
            for root_id in roots:
                db.execute("DELETE FROM roots WHERE id = ?", (root_id,))
                forgotten.append(root_id)
            # A part of a larger root stays removed when that root is refreshed.
            for root_id, root, stored in containing:
                relative = path_text(os.path.relpath(path, root))
                db.execute(
                    "UPDATE roots SET options = ? WHERE id = ?",
                    (Options.with_excluded_json(stored, relative), root_id),
                )

    # --- reading -------------------------------------------------------------------------

    def search(
        self, query: str, limit: int = 10, *, where: Where | None = None, mode: str | None = None
    ) -> list[Hit]:
        """The best `limit` passages among those `where` accepts (exact: the index is
        asked for more until `limit` accepted hits are found or it has no more). `mode`:
        "bm25" (scores are BM25's), "dense" (cosines to the query's vector) or "hybrid"
        (both rankings fused by reciprocal rank, scores the fused ones); a hybrid base
        searches "hybrid" unless told, any other "bm25". Raises DenseUnavailable for
        "dense" or "hybrid" on a base without vectors or without the extra installed."""
        _check_query(query, limit)
        with self._lock, self._reading():
            find = self._finder(query)
            ranked = self._ranked(query, limit, where, self._mode(mode))
            return [Hit(p, score, find) for p, score in ranked]

    def search_many(
        self, queries: Sequence[str], limit: int = 10, *, where: Where | None = None,
        mode: str | None = None,
    ) -> list[list[Hit]]:  # fmt: skip
        return [self.search(query, limit, where=where, mode=mode) for query in queries]

    def ask(
        self, question: str, limit: int = 5, *, where: Where | None = None,
        mode: str | None = None,
    ) -> Answer:  # fmt: skip
        """The passages that answer the question best. The search's best candidates (of
        `mode`, as for search()) are looked at again: a passage that keeps the question's
        phrasing (its neighbouring content words, neighbours in the passage too) rises, its
        score raised by up to PHRASING_WEIGHT of the best score (a hit's score is that
        raised one). Then, for an intent where it was measured to help (INTENT_WINDOWS, or
        `intent_window` for every intent when set), the first few are reordered by the
        question's intent: those the progressive road keeps for it come first, then the
        others, each group in that order. The answer is empty only when the search finds
        nothing."""
        _check_query(question, limit)
        with self._lock, self._reading():
            intent = _intent(question)
            chosen_mode = self._mode(mode)
            size = self.intent_window
            if size is None:
                size = INTENT_WINDOWS.get(intent, 0)
            size = max(0, int(size))
            ranked = self._ranked(question, max(limit, size, PHRASING_DEPTH), where, chosen_mode)
            if not ranked or limit <= 0:
                return Answer([], "none", intent, "")
            ranked = _by_phrasing(ranked, self._index.analysis.phrasing(question))
            window = ranked[:size]
            how, summary = chosen_mode, ""
            if window:
                # The progressive road sees the window's candidates (its limit is their
                # number, so that its last stage drops none) and keeps those that fit the
                # intent.
                objects = [
                    PyKnowledgeObject(cast(Any, p.source_type), p.key,
                                      cast(Any, p.knowledge_type), p.domain, p.text)
                    for p, _ in window
                ]  # fmt: skip
                road = PyRetrievalOrchestrator(False, False, False, False, True, len(objects))
                kept_ids, summary = road.search(question, objects)
                kept = set(kept_ids)
                inside = [obj.id in kept for obj in objects]
                first = [pair for pair, k in zip(window, inside, strict=True) if k]
                rest = [pair for pair, k in zip(window, inside, strict=True) if not k]
                ranked = first + rest + ranked[size:]
                if first:
                    how = "intent" if len(first) == len(window) else f"intent+{chosen_mode}"
            find = self._finder(question)
            hits = [Hit(p, score, find) for p, score in ranked[:limit]]
            return Answer(hits, how, intent, summary)

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
        model = self._record.model if self._record is not None else None
        return Status(self._path, roots, files, docs, types, size, int(changed), segments,
                      analysis, model)  # fmt: skip

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
            record = self._record = hybrid.read_record(db) if _has_table(db, "vectors") else None
            encoder = self._writing_encoder(record)
            embed = None
            if encoder is not None:

                def embed(ids: list[int], texts: list[str]) -> None:
                    hybrid.store(db, encoder, ids, texts)

            tx = Transaction(db, self._index, embed=embed, vectors=record is not None)
            yield tx
            tx.flush()
            if encoder is not None:
                _embed_missing(db, encoder)
            merge_as_needed(db)
            self._index.committed()
            schema.touch(db)

    def _writing_encoder(self, record: hybrid.Record | None) -> Encoder | None:
        """The encoder a change of a hybrid base embeds its new passages with; None for a
        base without vectors, or when the model cannot be loaded here: the change is then
        made without vectors, and the next change made with the model embeds its passages."""
        if record is None:
            return None
        if self._encoder is not None and self._encoder.name == record.model:
            return self._encoder
        try:
            self._encoder = _load(record.model)
        except DenseUnavailable as error:
            warnings.warn(
                f"{self._path}: passages stored without vectors ({error}); a later change "
                "made with the model embeds them",
                stacklevel=4,
            )
            return None
        return self._encoder

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

    def _mode(self, mode: str | None) -> str:
        if mode is None:
            return "hybrid" if self._record is not None else "bm25"
        if mode not in MODES:
            raise ValueError(f"unknown mode {mode!r}; accepted: {', '.join(MODES)}")
        if mode != "bm25" and self._record is None:
            raise DenseUnavailable(
                f"{self._path} has no vectors for a {mode} search: call enable_dense() first"
            )
        return mode

    def _dense_ids(self, query: str, limit: int) -> list[tuple[int, float]]:
        record = self._record
        assert record is not None
        if self._encoder is None:
            try:
                self._encoder = _load(record.model)
            except DenseUnavailable as error:
                raise DenseUnavailable(
                    f"{self._path} is a hybrid base embedded with {record.model!r}, which "
                    f"cannot be loaded here ({error}); search it with mode='bm25'"
                ) from error
        if self._encoder.dim != record.dim:
            raise DenseUnavailable(
                f"{self._path} holds vectors of {record.dim} dimensions; the model "
                f"{self._encoder.name!r} makes {self._encoder.dim}: call enable_dense() to "
                "embed it again, or search it with mode='bm25'"
            )
        if self._vectors is None:
            self._vectors = hybrid.Vectors(self._db, record.dim)
        vector = self._encoder.encode([query])[0]
        (generation,) = self._db.execute("SELECT generation FROM index_stats").fetchone()
        return self._vectors.ranked(vector, int(generation), limit)

    def _candidates(
        self, query: str, fetch: int, mode: str
    ) -> tuple[list[tuple[int, float]], bool]:
        """The best `fetch` (id, score) pairs of the mode, and whether there may be more."""
        if mode == "bm25":
            ranked = self._search_ids(query, fetch)
            return ranked, len(ranked) >= fetch
        if mode == "dense":
            ranked = self._dense_ids(query, fetch)
            return ranked, len(ranked) >= fetch
        # Each road's best, a few times more than asked, so that a passage one road ranks
        # low and the other high still meets the fusion.
        depth = max(fetch, 50)
        lexical = self._search_ids(query, depth)
        semantic = self._dense_ids(query, depth)
        fused = hybrid.fuse([i for i, _ in lexical], [i for i, _ in semantic])
        more = len(lexical) >= depth or len(semantic) >= depth
        return fused[:fetch], more or len(fused) > fetch

    def _ranked(
        self, query: str, limit: int, where: Where | None, mode: str = "bm25"
    ) -> list[tuple[Passage, float]]:
        """The best `limit` (passage, score) pairs that `where` accepts."""
        if limit <= 0:
            return []
        fetch = limit if where is None else max(4 * limit, 32)
        while True:
            ranked, more = self._candidates(query, fetch, mode)
            passages = self._fetch([i for i, _ in ranked])
            pairs = [(passages[i], s) for i, s in ranked if i in passages]
            if where is not None:
                pairs = [(p, s) for p, s in pairs if where(p)]
            if where is None or len(pairs) >= limit or not more:
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


def _by_phrasing(
    ranked: list[tuple[Passage, float]], phrasing: Callable[[str], float] | None
) -> list[tuple[Passage, float]]:
    """The candidates again, each score raised by PHRASING_WEIGHT of the best score for
    the share of the question's phrasing its passage keeps (a stable sort: ties keep the
    order they had)."""
    if phrasing is None or not ranked or not 0 < ranked[0][1] < math.inf:
        return ranked
    bonus = PHRASING_WEIGHT * ranked[0][1]
    rescored = [(p, s + bonus * phrasing(p.text)) for p, s in ranked]
    return sorted(rescored, key=lambda pair: -pair[1])


def _load(model: bool | str | Encoder) -> Encoder:
    if isinstance(model, bool) and not model:
        raise TypeError("dense=False means no model; give True, a model's name or folder")
    return hybrid.load_encoder(model)


def _embed_missing(
    db: sqlite3.Connection, encoder: Encoder, progress: Callable[[int, int], None] | None = None
) -> None:
    """Embeds the passages that have no vector (added by a process without the model, or
    all of them when the base is made hybrid) and drops vectors whose passage is gone
    (removed by a version that kept none); inside the caller's transaction. `progress` is
    told (done, total) after every batch."""
    (vectors,) = db.execute("SELECT count(*) FROM vectors").fetchone()
    (passages,) = db.execute("SELECT count(*) FROM passages").fetchone()
    if (
        vectors == passages
        and not db.execute(
            "SELECT 1 FROM vectors v LEFT JOIN passages p ON p.id = v.id WHERE p.id IS NULL LIMIT 1"
        ).fetchone()
    ):
        return
    db.execute("DELETE FROM vectors WHERE id NOT IN (SELECT id FROM passages)")
    missing = 0  # counted only for a caller told of progress: a scan of every passage
    if progress is not None:
        (missing,) = db.execute(
            "SELECT count(*) FROM passages p LEFT JOIN vectors v ON v.id = p.id WHERE v.id IS NULL"
        ).fetchone()
    done = 0

    def stored(count: int) -> None:
        nonlocal done
        done += count
        if progress is not None:
            progress(done, missing)

    last = 0
    while True:
        rows = db.execute(
            "SELECT p.id, p.headings, p.body FROM passages p LEFT JOIN vectors v ON v.id = p.id "
            "WHERE v.id IS NULL AND p.id > ? ORDER BY p.id LIMIT 4096",
            (last,),
        ).fetchall()
        if not rows:
            return
        hybrid.store(
            db, encoder, [r[0] for r in rows], [codec.indexed_text(r[1], r[2]) for r in rows],
            stored,
        )  # fmt: skip
        last = rows[-1][0]


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
    if workers is None and executor is None:
        # Reading is most of a large add: by default it takes the cores there are (the
        # main process indexes and stores meanwhile), at most DEFAULT_WORKERS.
        workers = max(1, min(DEFAULT_WORKERS, len(os.sched_getaffinity(0))))
    return Reading(workers, executor, progress)


def _check_query(query: str, limit: int) -> None:
    if not isinstance(query, str):
        raise TypeError(f"the query must be a str, not {type(query).__name__}")
    if not isinstance(limit, int) or isinstance(limit, bool):
        raise TypeError(f"limit must be an int, not {type(limit).__name__}")
    if not 0 <= limit <= MAX_LIMIT:
        raise ValueError(f"limit must be from 0 to {MAX_LIMIT:,}, not {limit}")


def _intent(question: str) -> str:
    """The question's intent by name ("ProcedureGuidance", ...)."""
    return str(PyQueryUnderstanding.understand(question)[0])
