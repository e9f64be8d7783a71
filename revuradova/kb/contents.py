"""What a knowledge base holds in memory: its stored passages, their knowledge objects and
the BM25 index over them.

A Contents is never changed once built. The core index only grows, so a change (passages
of some files replaced or dropped) builds new Contents from the old: the knowledge objects
of untouched files are kept, and only the index is built again, over every object in file
then passage order, the order in which opening the store builds it. Several files'
changes therefore cost one rebuild; the knowledge base installs the new Contents only
once its transaction is ready to commit.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from revuradova._core import PyBM25Indexer, PyKnowledgeObject
from revuradova.kb.store import Stored

Entry = tuple[Stored, PyKnowledgeObject]


def knowledge_object(record: Stored, text: str) -> PyKnowledgeObject:
    return PyKnowledgeObject(
        record.source_type, record.key, record.knowledge_type, record.domain, text
    )


class Contents:
    __slots__ = ("files", "records", "objects", "index")

    def __init__(self, files: dict[str, list[Entry]]) -> None:
        self.files = files
        self.records: dict[str, Stored] = {}
        self.objects: dict[str, PyKnowledgeObject] = {}
        self.index = PyBM25Indexer()
        for file in sorted(files):
            for record, obj in files[file]:
                self.index.index_document(obj)
                self.records[obj.id] = record
                self.objects[obj.id] = obj

    @classmethod
    def load(cls, rows: Iterable[tuple[Stored, str]]) -> Contents:
        """Contents of stored rows (a record and its indexed text each)."""
        files: dict[str, list[Entry]] = {}
        for record, text in rows:
            files.setdefault(record.file, []).append((record, knowledge_object(record, text)))
        return cls(files)

    def changed(self, dropped: Iterable[str], read: Mapping[str, list[tuple[Stored, str]]]):
        """New Contents without the files `dropped`, and with the files `read` (each file's
        records and texts) in place of what they held."""
        files = dict(self.files)
        for file in dropped:
            files.pop(file, None)
        for file, rows in read.items():
            files[file] = [(record, knowledge_object(record, text)) for record, text in rows]
        return Contents(files)

    def __len__(self) -> int:
        return len(self.records)
