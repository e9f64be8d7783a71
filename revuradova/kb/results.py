"""What the knowledge base hands back: hits, answers, filters and accounts of changes."""

from __future__ import annotations

import fnmatch
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from revuradova.ingest import Passage, Position
from revuradova.ingest.walk import FolderReport
from revuradova.kb.snippets import Snippet


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
    """The hits of ask(), and how they were ordered: ``how`` is "intent" (the progressive road
    kept every passage of the window that the intent reorders: see
    KnowledgeBase.intent_window), "intent+bm25" (it kept some of them; those come first),
    "bm25" (it kept none: BM25's order) or "none" (BM25 found nothing). ``summary`` is the
    progressive road's line over the window's passages."""

    hits: list[Hit]
    how: str
    intent: str
    summary: str


@dataclass
class Where:
    """Exact filters; every given field must match. Globs match the passage's path; `test`
    is called with the passage itself."""

    source_type: str | Sequence[str] | None = None
    knowledge_type: str | Sequence[str] | None = None
    domain: str | Sequence[str] | None = None
    path: str | None = None
    test: Callable[[Passage], bool] | None = None

    def accepts(self, record) -> bool:
        """Whether a stored passage (with the fields above and a passage() method) matches."""
        return self._match(record, record.passage)

    def __call__(self, passage: Passage) -> bool:
        return self._match(passage, lambda: passage)

    def _match(self, item, passage: Callable[[], Passage]) -> bool:
        for name in ("source_type", "knowledge_type", "domain"):
            wanted = getattr(self, name)
            if wanted is not None:
                allowed = (wanted,) if isinstance(wanted, str) else tuple(wanted)
                if getattr(item, name) not in allowed:
                    return False
        if self.path is not None and not fnmatch.fnmatchcase(item.path, self.path):
            return False
        return self.test is None or bool(self.test(passage()))


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
