"""The records of reading: sections of one file, passages cut from them, limits, errors."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Literal

SourceType = Literal["local_file", "pdf", "docx", "xlsx", "csv", "json", "yaml", "markdown", "html"]
KnowledgeType = Literal[
    "procedure", "policy", "definition", "data", "code", "discussion", "reference"
]
SOURCE_TYPES: tuple[str, ...] = (
    "local_file", "pdf", "docx", "xlsx", "csv", "json", "yaml", "markdown", "html",
)  # fmt: skip
KNOWLEDGE_TYPES: tuple[str, ...] = (
    "procedure", "policy", "definition", "data", "code", "discussion", "reference",
)  # fmt: skip

# What a section is, for the default classifier and for display.
SectionKind = Literal["text", "code", "table", "record"]


@dataclass(frozen=True, slots=True)
class Position:
    """Where a section came from inside its file. Fields that do not apply are None.

    ``start``/``end`` are character offsets into the text the reader extracted from the whole
    file (the concatenation of its sections' texts, each followed by a blank line); ``page``
    counts from 1; ``rows`` is a half-open range of 1-based data rows (the header is row 0);
    ``pointer`` is a JSON pointer (RFC 6901) for JSON and YAML: a passage of several
    elements of one array has the array's pointer, and ``rows`` the elements' range,
    counted from 1.
    """

    start: int = 0
    end: int = 0
    page: int | None = None
    sheet: str | None = None
    rows: tuple[int, int] | None = None
    pointer: str | None = None


@dataclass(frozen=True, slots=True)
class Section:
    """An ordered piece of one file: its heading path, its text and where it came from."""

    headings: tuple[str, ...]
    text: str
    position: Position
    kind: SectionKind = "text"


@dataclass(frozen=True, slots=True)
class Document:
    """What a reader made of one file."""

    path: str
    source_type: str
    sections: tuple[Section, ...]
    size: int
    mtime_ns: int = 0
    title: str | None = None


@dataclass(frozen=True, slots=True)
class Passage:
    """A bounded piece of a section, ready to index.

    ``key`` is stable across runs: the file's path relative to the root walked, ``#`` and the
    passage's number in the file. ``text`` is what gets indexed: the heading path, a blank
    line, then the passage's own words (``body``).
    """

    key: str
    path: str
    number: int
    source_type: str
    knowledge_type: str
    domain: str
    headings: tuple[str, ...]
    body: str
    position: Position
    kind: SectionKind = "text"
    metadata: dict[str, str] = field(default_factory=dict)

    @property
    def text(self) -> str:
        if not self.headings:
            return self.body
        return " > ".join(self.headings) + "\n\n" + self.body


# Words a passage holds at most unless told otherwise.
DEFAULT_WORDS = 300


@dataclass(frozen=True, slots=True)
class Limits:
    """Per-file bounds that keep a hostile or huge file from exhausting the machine.

    max_bytes: bytes read from a file (also the bound on a .gz's decompressed size and on
    the uncompressed size of a docx/xlsx archive); max_chars: characters extracted;
    max_depth: nesting of JSON/YAML; max_nodes: values in a JSON/YAML tree (counted before
    it is built; YAML aliases count every time they are reached); max_cells: the cells of a
    worksheet's used rectangle (its first to last row, times first to last column);
    seconds: wall-clock time for one file, and max_memory: address space in bytes of the
    worker process that reads it (read_files and folder walks read in such workers and
    replace one that dies or overruns; read_bytes and read_file, in the caller's process,
    apply every other limit).
    """

    max_bytes: int = 64 * 1024 * 1024
    max_chars: int = 16 * 1024 * 1024
    max_depth: int = 200
    max_nodes: int = 2_000_000
    seconds: float = 60.0
    max_cells: int = 8 * 1024 * 1024
    max_memory: int = 2 * 1024 * 1024 * 1024


class ReadError(Exception):
    """A file that cannot be read; the message says why. Folder walks report and skip it."""


class MissingExtra(ReadError, ImportError):
    """A parser this file needs is not installed; the message names the extra to install."""

    def __init__(self, source_type: str, module: str, extra: str) -> None:
        super().__init__(
            f'reading {source_type} needs the {module!r} package: pip install "revuradova[{extra}]"'
        )
        self.extra = extra
