"""Readers of binary document formats: PDF (PDFium), Word (python-docx), Excel (calamine)."""

from __future__ import annotations

import io
import re
from collections import Counter

from revuradova.ingest.model import Limits, MissingExtra, ReadError, Section
from revuradova.ingest.sections import Outline, Read, Sections, Source, rows_to_sections
from revuradova.ingest.source import inflate_archive, stored_archive


def _docx(data: bytes, limits: Limits) -> tuple[tuple[Section, ...], str | None]:
    """Heading styles (and Title) start sections; each table row is a "column: value" row."""
    try:
        import docx
        from docx.table import Table
    except ImportError:
        raise MissingExtra("docx", "python-docx", "office") from None
    members = inflate_archive(data, limits, "word/document.xml")
    try:
        document = docx.Document(io.BytesIO(stored_archive(members)))
    except MemoryError:
        raise
    except Exception as error:  # noqa: BLE001 - python-docx raises many kinds on bad input
        raise ReadError(f"corrupt Word document: {type(error).__name__}: {error}") from None
    title = (document.core_properties.title or "").strip() or None
    outline = Outline(limits)
    for block in document.iter_inner_content():
        if isinstance(block, Table):
            outline.close()
            rows = ([cell.text for cell in row.cells] for row in block.rows)
            rows_to_sections(outline.sections, rows, outline.headings.path)
            continue
        text = block.text.strip()
        if not text:
            continue
        level = _heading_level(block.style.name if block.style is not None else "")
        if level is not None:
            outline.heading(level, text)
        else:
            outline.paragraph(text)
    return outline.done(), title


def _heading_level(style: str) -> int | None:
    if style == "Title":
        return 0
    if style.startswith("Heading "):
        number = style[len("Heading ") :]
        if number.isdigit():
            return int(number)
    return None


def _xlsx(data: bytes, limits: Limits) -> tuple[Section, ...]:
    """Each sheet: its first non-empty row is the header, every other row a section."""
    try:
        from python_calamine import CalamineWorkbook
    except ImportError:
        raise MissingExtra("xlsx", "python-calamine", "office") from None
    members = inflate_archive(data, limits, "xl/workbook.xml")
    check_worksheets(members, limits)
    try:
        workbook = CalamineWorkbook.from_filelike(io.BytesIO(stored_archive(members)))
        out = Sections(limits)
        for name in workbook.sheet_names:
            sheet = workbook.get_sheet_by_name(name)
            rows_to_sections(out, sheet.iter_rows(), (name,), sheet=name)
        return out.done()
    except (ReadError, MemoryError):
        raise
    except Exception as error:  # noqa: BLE001 - calamine raises its own kinds on bad input
        raise ReadError(f"corrupt workbook: {type(error).__name__}: {error}") from None


# Worksheet XML scanned before calamine builds anything: calamine allocates every cell of a
# sheet's used rectangle, and copies a shared string into each cell that refers to it. The
# patterns for cells written as every common writer writes them (r first, no namespace
# prefix) are several times faster; any other form is scanned with the general ones.
_NS = rb"(?:[A-Za-z_][\w.-]*:)?"
_CELL_REF = re.compile(rb"<" + _NS + rb"c\s[^>]*?\br=\"([A-Z]{1,3})([0-9]{1,7})\"")
_PLAIN_CELL_REF = re.compile(rb'<c r="([A-Z]{1,3})([0-9]{1,7})"')
_CELL = re.compile(rb"<" + _NS + rb"c[\s>/]")
_SHARED_CELL = re.compile(
    rb"<" + _NS + rb"c\s[^>]*?\bt=\"s\"[^>]*>\s*<" + _NS + rb"v>\s*([0-9]{1,10})\s*<"
)
_PLAIN_SHARED_CELL = re.compile(
    rb'<c r="[A-Z]{1,3}[0-9]{1,7}"(?: s="[0-9]+")? t="s"><v>([0-9]{1,10})</v>'
)
_STRING_ITEM = re.compile(rb"<" + _NS + rb"si[\s>/]")
_SHEET = re.compile(r"xl/worksheets/[^/]+\.xml")


def _column(letters: bytes) -> int:
    number = 0
    for letter in letters:
        number = number * 26 + letter - 64
    return number


def _cell_refs(body: bytes) -> tuple[list[tuple[bytes, bytes]], int]:
    """The (column, row) of each cell that names its place, and the number of cells."""
    if b":c" in body:  # namespace prefixes: the general patterns
        return _CELL_REF.findall(body), len(_CELL.findall(body))
    cells = body.count(b"<c ") + body.count(b"<c>") + body.count(b"<c/")
    refs: list[tuple[bytes, bytes]] = _PLAIN_CELL_REF.findall(body)
    if len(refs) == cells:
        return refs, cells
    return _CELL_REF.findall(body), cells


def check_worksheets(members: dict[str, bytes], limits: Limits) -> None:
    """Refuses a workbook whose sheets would make calamine allocate past the limits: a used
    rectangle over limits.max_cells cells, or shared strings that, copied into every cell
    that refers to them, exceed limits.max_chars characters."""
    # A shared string's length in characters is at most its item's length in bytes.
    lengths: list[int] = []
    for name, body in members.items():
        if name.lower().endswith("sharedstrings.xml"):
            starts = [m.start() for m in _STRING_ITEM.finditer(body)]
            lengths += [b - a for a, b in zip(starts, [*starts[1:], len(body)], strict=True)]
    longest = max(lengths, default=0)
    for name, body in members.items():
        if not _SHEET.fullmatch(name):
            continue
        sheet = name.rsplit("/", 1)[1]
        refs, cells = _cell_refs(body)
        if refs:
            columns = [_column(c) for c in {c for c, _ in refs}]
            rows = [int(r) for r in {r for _, r in refs}]
            spanned = (max(rows) - min(rows) + 1) * (max(columns) - min(columns) + 1)
            if spanned > limits.max_cells:
                raise ReadError(
                    f"worksheet {sheet} spans {spanned:,} cells, over the limit of"
                    f" {limits.max_cells:,}"
                )
        # Counted only when the longest string in every cell could pass the limit.
        if longest * cells <= limits.max_chars:
            continue
        shared = _PLAIN_SHARED_CELL.findall(body)
        if len(shared) != body.count(b't="s"') or b":c" in body:
            shared = _SHARED_CELL.findall(body)
        chars = sum(
            [
                count * lengths[int(i)]
                for i, count in Counter(shared).items()
                if int(i) < len(lengths)
            ]
        )
        if chars > limits.max_chars:
            raise ReadError(
                f"worksheet {sheet}'s shared strings expand to {chars:,} characters, over"
                f" the limit of {limits.max_chars:,}"
            )


def read_docx(source: Source) -> Read:
    return _docx(source.data, source.limits)


def read_xlsx(source: Source) -> Read:
    return _xlsx(source.data, source.limits), None
