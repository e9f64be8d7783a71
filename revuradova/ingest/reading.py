"""One file (or its bytes) into a Document: the source type, confirmed, and its reader."""

from __future__ import annotations

import os

from revuradova.ingest import read_data, read_html, read_office, read_pdf, read_text
from revuradova.ingest.model import SOURCE_TYPES, Document, Limits, ReadError
from revuradova.ingest.sections import Reader, Source
from revuradova.ingest.source import (
    confirm_type,
    gunzip_limited,
    read_bytes_limited,
    split_gz,
    type_from_name,
)

DEFAULT_LIMITS = Limits()

# Each source type's reader, all of one signature (revuradova.ingest.sections.Reader); the
# parser each needs is an extra, named by the MissingExtra it raises when not installed:
# markdown, html, yaml, pdf, office (docx and xlsx); plain text and CSV and JSON need none.
READERS: dict[str, Reader] = {
    "local_file": read_text.read_plain,
    "markdown": read_text.read_markdown,
    "html": read_html.read_html,
    "csv": read_data.read_csv,
    "json": read_data.read_json,
    "yaml": read_data.read_yaml,
    "pdf": read_pdf.read_pdf,
    "docx": read_office.read_docx,
    "xlsx": read_office.read_xlsx,
}


def read_bytes(
    data: bytes,
    name: str,
    source_type: str | None = None,
    limits: Limits = DEFAULT_LIMITS,
) -> Document:
    """Reads `data` as the file called `name` (whose extension gives the source type unless
    `source_type` does). Raises ReadError (MissingExtra for a parser not installed)."""
    if source_type is None:
        source_type = type_from_name(name)
    elif source_type not in SOURCE_TYPES:
        raise ValueError(
            f"unknown source type {source_type!r}; accepted: {', '.join(SOURCE_TYPES)}"
        )
    if len(data) > limits.max_bytes:
        raise ReadError(f"{len(data)} bytes, over the limit of {limits.max_bytes}")
    if split_gz(name)[1]:
        data = gunzip_limited(data, limits)
    size = len(data)
    if size == 0:
        raise ReadError("empty file")
    confirm_type(source_type, data)
    sections, title = READERS[source_type](Source(name, data, limits))
    return Document(name, source_type, sections, size, title=title)


def read_file(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    source_type: str | None = None,
    limits: Limits = DEFAULT_LIMITS,
) -> Document:
    """Reads the file at `path`; see read_bytes."""
    path = os.fspath(path)
    data = read_bytes_limited(path, limits)
    name = os.fsdecode(path)
    return read_bytes(data, name, source_type, limits)
