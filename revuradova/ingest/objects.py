"""Passages into knowledge objects, each kept beside its passage."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import cast

from revuradova._core import PyKnowledgeObject
from revuradova.ingest.model import KnowledgeType, Passage, SourceType


class Catalogue:
    """Knowledge objects made from passages, in order, with each object's passage.

    ``objects`` is what the core's search roads take; ``passage(id)`` maps an identifier
    that a search returns back to the passage it came from.
    """

    def __init__(self, passages: Iterable[Passage]) -> None:
        self.objects: list[PyKnowledgeObject] = []
        self._passages: dict[str, Passage] = {}
        for passage in passages:
            # The readers make only known source types, and assign() admits only known
            # knowledge types; the core checks both again.
            obj = PyKnowledgeObject(
                cast(SourceType, passage.source_type),
                passage.key,
                cast(KnowledgeType, passage.knowledge_type),
                passage.domain,
                passage.text,
            )
            self.objects.append(obj)
            self._passages[obj.id] = passage

    def passage(self, object_id: str) -> Passage:
        return self._passages[object_id]

    def __len__(self) -> int:
        return len(self.objects)

    def __iter__(self) -> Iterator[tuple[PyKnowledgeObject, Passage]]:
        return ((obj, self._passages[obj.id]) for obj in self.objects)


def to_knowledge_objects(passages: Iterable[Passage]) -> Catalogue:
    """One knowledge object per passage: source type, key as source location, knowledge
    type, domain, and the indexed text (heading path and body)."""
    return Catalogue(passages)
