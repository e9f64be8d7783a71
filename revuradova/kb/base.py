"""A knowledge base: passages of files read, indexed with BM25, kept in SQLite."""

from __future__ import annotations

import contextlib
import json
import os
import threading
from collections.abc import Iterable, Sequence

from revuradova._core import PyQueryUnderstanding, PyRetrievalOrchestrator
from revuradova.ingest import Passage
from revuradova.kb import files, store
from revuradova.kb.contents import Contents
from revuradova.kb.results import Answer, Change, ClosedError, Hit, Where
from revuradova.kb.snippets import make_snippet, query_terms

Paths = str | os.PathLike | Iterable[str | os.PathLike]


class KnowledgeBase:
    """Passages of files, searchable with BM25 and askable through both roads.

    ``KnowledgeBase()`` lives in memory; ``KnowledgeBase.open("kb.sqlite")`` keeps it in a
    file (each add, refresh and remove is one transaction). Reading calls may come from
    several threads; writes are serialised.

    ``intent_window`` is how many of BM25's best passages ask() lets the question's intent
    reorder (3: on labelled questions over real documentation, reordering deeper lost more
    answers to passages merely labelled with the intent's type than it gained).
    """

    intent_window = 3

    def __init__(self, path: str = ":memory:") -> None:
        self._db = store.connect(os.fspath(path))
        self._lock = threading.RLock()
        self._closed = False
        try:
            self._contents = Contents.load(store.load_records(self._db))
        except BaseException:
            self._db.close()
            raise

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
            return len(self._contents)

    # --- writing -------------------------------------------------------------------------

    def add(self, paths: Paths, **options) -> Change:
        """Reads files and folders and stores their passages, replacing those of files added
        before. Options as read_folder's: knowledge_type, domain (a constant, a mapping of
        globs, or a function, which a later refresh in another process cannot reuse),
        include, exclude, follow_symlinks, limits, max_words. Raises FileNotFoundError for a
        path that does not exist; files that cannot be read are in the change's `skipped`."""
        paths = _paths(paths)
        for path in paths:
            if not os.path.exists(path):
                raise FileNotFoundError(f"no such file or folder: {path!r}")
        with self._lock, self._change() as (change, edit):
            for path in paths:
                self._db.execute(
                    "INSERT OR REPLACE INTO roots VALUES (?, ?)",
                    (path, json.dumps(files.storable(options))),
                )
                files.read_root(self._db, path, options, change, edit, only_changed=False)
            return change

    def refresh(self) -> Change:
        """Reads again the files of every root added whose size, modification time or
        content changed, drops the passages of changed and deleted files, keeps the rest."""
        with self._lock, self._change() as (change, edit):
            for root, options in self._db.execute("SELECT root, options FROM roots").fetchall():
                if not os.path.exists(root):
                    change.files_removed += files.drop_files(self._db, root, change, edit)
                    continue
                files.read_root(
                    self._db, root, json.loads(options), change, edit, only_changed=True
                )
            return change

    def remove(self, paths: Paths) -> Change:
        """Drops the passages of files, or of every file under folders added: one
        transaction and one rebuild of the index however many paths are given. Raises
        FileNotFoundError, changing nothing, when a path holds nothing added."""
        paths = _paths(paths)
        with self._lock, self._change() as (change, edit):
            for path in paths:
                removed = files.drop_files(self._db, path, change, edit)
                self._db.execute("DELETE FROM roots WHERE root = ?", (path,))
                if not removed:
                    raise FileNotFoundError(f"nothing added under {path!r}")
                change.files_removed += removed
            return change

    # --- reading -------------------------------------------------------------------------

    def search(self, query: str, limit: int = 10, where: Where | None = None) -> list[Hit]:
        """The best `limit` passages by BM25 among those `where` accepts (exact: the index is
        asked for more until `limit` accepted hits are found or it has no more)."""
        with self._lock:
            self._check_open()
            contents = self._contents
            terms = query_terms(query)
            ranked = _ranked(contents, query, limit, where)
            return [_hit(contents, i, s, terms) for i, s in ranked]

    def passages(self) -> list[Passage]:
        """Every passage held, in file then passage order."""
        with self._lock:
            self._check_open()
            by_file = self._contents.files
            return [record.passage() for file in sorted(by_file) for record, _ in by_file[file]]

    def search_many(self, queries: Sequence[str], limit: int = 10, where: Where | None = None):
        return [self.search(query, limit, where) for query in queries]

    def ask(self, question: str, limit: int = 5, where: Where | None = None) -> Answer:
        """BM25's best passages, with the first `intent_window` of them reordered by the
        question's intent: those the progressive road keeps for it come first, then the
        others, each group in BM25's order; BM25's order continues after the window. The
        answer is empty only when BM25 finds nothing."""
        with self._lock:
            self._check_open()
            contents = self._contents
            size = max(1, self.intent_window)
            ranked = _ranked(contents, question, max(limit, size), where)
            if not ranked or limit <= 0:
                return Answer([], "none", _intent(question), "")
            # The progressive road sees the window's candidates (its limit is their number,
            # so that its last stage drops none) and keeps those that fit the intent.
            window = ranked[:size]
            objects = [contents.objects[object_id] for object_id, _ in window]
            road = PyRetrievalOrchestrator(False, False, False, False, True, len(objects))
            kept_ids, summary = road.search(question, objects)
            kept = set(kept_ids)
            first = [(i, s) for i, s in window if i in kept]
            rest = [(i, s) for i, s in window if i not in kept] + ranked[size:]
            chosen = (first + rest)[:limit]
            how = "intent" if len(first) == len(window) else ("intent+bm25" if first else "bm25")
            terms = query_terms(question)
            hits = [_hit(contents, i, score, terms) for i, score in chosen]
            return Answer(hits, how, _intent(question), summary)

    # --- inside --------------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedError("this knowledge base is closed")

    @contextlib.contextmanager
    def _change(self):
        """One change: a transaction, and the files it drops or reads again. The new
        contents are built before the commit, so that a failure anywhere (MemoryError
        included) rolls the store back and leaves the contents in memory as they were."""
        self._check_open()
        change = Change()
        edit = files.Edit()
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield change, edit
            if edit:
                contents = self._contents.changed(edit.dropped, edit.read)
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")
        if edit:
            self._contents = contents


def _ranked(contents: Contents, query: str, limit: int, where: Where | None):
    """The best `limit` (object id, score) pairs that `where` accepts."""
    if limit <= 0:
        return []
    fetch = limit if where is None else max(4 * limit, 32)
    while True:
        ranked = contents.index.search(query, fetch)
        if where is None:
            return ranked[:limit]
        kept = [(i, s) for i, s in ranked if where.accepts(contents.records[i])]
        if len(kept) >= limit or len(ranked) < fetch:
            return kept[:limit]
        fetch *= 4


def _hit(contents: Contents, object_id: str, score: float | None, terms) -> Hit:
    r = contents.records[object_id]
    p = r.passage()
    return Hit(
        p.key, p.path, p.source_type, p.knowledge_type, p.domain, p.headings, p.position,
        score, make_snippet(p.body, terms), object_id,
    )  # fmt: skip


def _paths(paths: Paths) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.fspath(p) for p in paths]


def _intent(question: str) -> str:
    """The question's intent by name ("ProcedureGuidance", ...)."""
    return PyQueryUnderstanding.understand(question)[0]
