"""One file (or its bytes) into a Document: the source type, confirmed, and its reader."""

from __future__ import annotations

import os

from revuradova.ingest.model import SOURCE_TYPES, Document, Limits, ReadError, Section
from revuradova.ingest.read_data import read_csv, read_json, read_yaml
from revuradova.ingest.read_html import read_html
from revuradova.ingest.read_office import read_docx, read_xlsx
from revuradova.ingest.read_pdf import read_pdf
from revuradova.ingest.read_text import read_markdown, read_plain
from revuradova.ingest.source import (
    confirm_type,
    decode_text,
    gunzip_limited,
    is_code_name,
    read_bytes_limited,
    split_gz,
    type_from_name,
)

DEFAULT_LIMITS = Limits()


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
    sections, title = _dispatch(data, name, source_type, limits)
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


def _dispatch(
    data: bytes, name: str, source_type: str, limits: Limits
) -> tuple[tuple[Section, ...], str | None]:
    if source_type == "pdf":
        return read_pdf(data, limits)
    if source_type == "docx":
        return read_docx(data, limits)
    if source_type == "xlsx":
        return read_xlsx(data, limits), None
    text = decode_text(data)
    if len(text) > limits.max_chars:
        raise ReadError(f"{len(text)} characters, over the limit of {limits.max_chars}")
    if source_type == "html":
        return read_html(text, limits)
    if source_type == "markdown":
        return read_markdown(text, limits), None
    stem = os.path.basename(split_gz(name)[0])
    if source_type == "csv":
        return read_csv(text, limits, (stem,), tab=stem.lower().endswith(".tsv")), None
    if source_type == "json":
        return read_json(text, limits, ()), None
    if source_type == "yaml":
        return read_yaml(text, limits, ()), None
    return read_plain(text, limits, "code" if is_code_name(name) else "text"), None
