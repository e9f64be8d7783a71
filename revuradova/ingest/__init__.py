"""Reading company documents into passages ready to become knowledge objects.

    from revuradova.ingest import read_folder, to_knowledge_objects

    walk = read_folder("handbook/", exclude=["*.tmp"], workers=2)
    catalogue = to_knowledge_objects(walk)
    print(walk.report)

Readers: plain text (``local_file``, with ``.gz`` read transparently), ``markdown``,
``html``, ``csv``, ``json`` and ``yaml``, ``pdf``, ``docx`` and ``xlsx``. Parsers are
optional extras (``pip install "revuradova[all]"``); a missing one is named in the error.

    from revuradova.ingest import list_files, read_files

    files, skipped = list_files("handbook/")          # a file root gives that file alone
    for found, outcome in read_files(files, workers=2):  # FileRead, or the reason skipped
        ...

Files are read in worker processes limited in memory and time; names keep their bytes
(path_text / path_bytes give the reversible text form).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# Where each public name lives. They are imported when first used, so that importing the
# package (as the knowledge base does to open a base) does not import every reader and the
# worker machinery.
_SOURCES = {
    "FileRead": "revuradova.ingest.files",
    "read_files": "revuradova.ingest.files",
    "FoundFile": "revuradova.ingest.listing",
    "list_files": "revuradova.ingest.listing",
    "KNOWLEDGE_TYPES": "revuradova.ingest.model",
    "SOURCE_TYPES": "revuradova.ingest.model",
    "Document": "revuradova.ingest.model",
    "Limits": "revuradova.ingest.model",
    "MissingExtra": "revuradova.ingest.model",
    "Passage": "revuradova.ingest.model",
    "Position": "revuradova.ingest.model",
    "ReadError": "revuradova.ingest.model",
    "Section": "revuradova.ingest.model",
    "path_bytes": "revuradova.ingest.names",
    "path_text": "revuradova.ingest.names",
    "Catalogue": "revuradova.ingest.objects",
    "to_knowledge_objects": "revuradova.ingest.objects",
    "DEFAULT_WORDS": "revuradova.ingest.model",
    "cut": "revuradova.ingest.passages",
    "document_passages": "revuradova.ingest.passages",
    "DEFAULT_LIMITS": "revuradova.ingest.reading",
    "read_bytes": "revuradova.ingest.reading",
    "read_file": "revuradova.ingest.reading",
    "FolderReader": "revuradova.ingest.walk",
    "FolderReport": "revuradova.ingest.walk",
    "read_folder": "revuradova.ingest.walk",
}

if TYPE_CHECKING:
    from revuradova.ingest.files import FileRead, read_files
    from revuradova.ingest.listing import FoundFile, list_files
    from revuradova.ingest.model import (
        DEFAULT_WORDS,
        KNOWLEDGE_TYPES,
        SOURCE_TYPES,
        Document,
        Limits,
        MissingExtra,
        Passage,
        Position,
        ReadError,
        Section,
    )
    from revuradova.ingest.names import path_bytes, path_text
    from revuradova.ingest.objects import Catalogue, to_knowledge_objects
    from revuradova.ingest.passages import cut, document_passages
    from revuradova.ingest.reading import DEFAULT_LIMITS, read_bytes, read_file
    from revuradova.ingest.walk import FolderReader, FolderReport, read_folder


def __getattr__(name: str) -> Any:
    module = _SOURCES.get(name)
    if module is None:
        raise AttributeError(f"module 'revuradova.ingest' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_SOURCES))


__all__ = [
    "KNOWLEDGE_TYPES",
    "SOURCE_TYPES",
    "DEFAULT_WORDS",
    "DEFAULT_LIMITS",
    "Catalogue",
    "Document",
    "FileRead",
    "FoundFile",
    "FolderReader",
    "FolderReport",
    "Limits",
    "MissingExtra",
    "Passage",
    "Position",
    "ReadError",
    "Section",
    "cut",
    "document_passages",
    "read_bytes",
    "read_file",
    "read_folder",
    "list_files",
    "read_files",
    "path_text",
    "path_bytes",
    "to_knowledge_objects",
]
