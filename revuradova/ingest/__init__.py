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

from revuradova.ingest.files import FileRead, read_files
from revuradova.ingest.listing import FoundFile, list_files
from revuradova.ingest.model import (
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
from revuradova.ingest.passages import DEFAULT_WORDS, cut, document_passages
from revuradova.ingest.reading import DEFAULT_LIMITS, read_bytes, read_file
from revuradova.ingest.walk import FolderReader, FolderReport, read_folder

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
