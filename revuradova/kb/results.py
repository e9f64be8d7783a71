"""What the knowledge base hands back: hits, answers, filters and accounts of changes."""

from __future__ import annotations

import fnmatch
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from revuradova.errors import ClosedError
from revuradova.ingest.model import Passage, Position
from revuradova.kb.snippets import Finder, Snippet, make_snippet

__all__ = ["Answer", "Change", "ClosedError", "Hit", "Status", "Where"]


class Hit:
    """One passage found: the passage itself (every field, its whole text), its score and a
    snippet to show, made when first asked for. The passage's fields read through:
    ``hit.key``, ``hit.headings``..."""

    __slots__ = ("passage", "score", "_find", "_snippet")

    def __init__(self, passage: Passage, score: float | None, find: Finder | None) -> None:
        self.passage = passage
        self.score = score
        self._find = find
        self._snippet: Snippet | None = None

    @property
    def snippet(self) -> Snippet:
        """Up to 240 characters of the body around its densest run of the query's terms."""
        if self._snippet is None:
            self._snippet = make_snippet(self.passage.body, self._find)
        return self._snippet

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Hit):
            return NotImplemented
        return (self.passage, self.score) == (other.passage, other.score)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Hit(key={self.key!r}, score={self.score!r})"

    @property
    def key(self) -> str:
        return self.passage.key

    @property
    def path(self) -> str:
        return self.passage.path

    @property
    def source_type(self) -> str:
        return self.passage.source_type

    @property
    def knowledge_type(self) -> str:
        return self.passage.knowledge_type

    @property
    def domain(self) -> str:
        return self.passage.domain

    @property
    def kind(self) -> str:
        return self.passage.kind

    @property
    def headings(self) -> tuple[str, ...]:
        return self.passage.headings

    @property
    def position(self) -> Position:
        return self.passage.position

    @property
    def text(self) -> str:
        """The passage's whole indexed text: heading path, blank line, body."""
        return self.passage.text


@dataclass(frozen=True, slots=True)
class Answer:
    """The hits of ask(), and how they were ordered: ``how`` is "intent" (the progressive road
    kept every passage of the window that the intent reorders: see
    KnowledgeBase.intent_window), "intent+bm25" (it kept some of them; those come first;
    "intent+hybrid" or "intent+dense" on those roads), "bm25" (the search's order: the
    intent reordered nothing, or has no window; "hybrid" or "dense" on those roads) or
    "none" (the search found nothing). ``summary`` is the progressive road's line over the
    window's passages, "" when there was no window."""

    hits: list[Hit]
    how: str
    intent: str
    summary: str


@dataclass(frozen=True)
class Where:
    """Exact filters; every given field must match. ``path`` is a glob over the passage's
    path; ``kind`` one of "text", "code", "table", "record"; ``test`` is called with the
    passage itself."""

    source_type: str | Sequence[str] | None = None
    knowledge_type: str | Sequence[str] | None = None
    domain: str | Sequence[str] | None = None
    kind: str | Sequence[str] | None = None
    path: str | None = None
    test: Callable[[Passage], bool] | None = None

    def __call__(self, passage: Passage) -> bool:
        for name in ("source_type", "knowledge_type", "domain", "kind"):
            wanted = getattr(self, name)
            if wanted is not None:
                allowed = (wanted,) if isinstance(wanted, str) else tuple(wanted)
                if getattr(passage, name) not in allowed:
                    return False
        if self.path is not None and not fnmatch.fnmatchcase(passage.path, self.path):
            return False
        return self.test is None or bool(self.test(passage))


@dataclass
class Change:
    """What add(), refresh() or remove() did; ``skipped`` lists (path, reason) of the files
    that could not be read."""

    files_read: int = 0
    files_unchanged: int = 0
    files_removed: int = 0
    passages_added: int = 0
    passages_removed: int = 0
    skipped: list[tuple[str, str]] = field(default_factory=list)


@dataclass(frozen=True)
class Status:
    """What a knowledge base holds: its roots, files and passages (per source type), the
    size of its files on disk in bytes, the time of its last change (ns since the epoch, 0
    for never), its index's segments, its analysis, and the model its passages are embedded
    with (None for a base without vectors)."""

    path: str
    roots: list[str]
    files: int
    passages: int
    source_types: dict[str, int]
    size_on_disk: int
    changed_ns: int
    segments: int
    analysis: dict[str, object]
    dense_model: str | None = None
