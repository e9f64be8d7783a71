"""What every reader builds its sections with, and the one shape of a reader.

A reader is a function `read(source: Source) -> Read`: the bytes of one file with its name
and limits in, its sections and title (or None) out. revuradova.ingest.reading maps each
source type to its reader; cutting, classifying and fingerprinting happen after it, the same
for every type. The readers are siblings: each imports this module, the records and the
byte-level helpers, never another reader.
"""

from __future__ import annotations

import datetime
import re
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from revuradova.ingest.model import Limits, Position, ReadError, Section, SectionKind

Read = tuple[tuple[Section, ...], str | None]


@dataclass(frozen=True, slots=True)
class Source:
    """One file as a reader gets it: its name (whose extension gave the type), its bytes
    (a .gz already inflated) and the limits to read it under."""

    name: str
    data: bytes
    limits: Limits

    def text(self) -> str:
        """The bytes decoded (UTF-8, else the detected encoding), within limits.max_chars."""
        from revuradova.ingest.source import decode_text

        text = decode_text(self.data)
        if len(text) > self.limits.max_chars:
            raise ReadError(f"{len(text)} characters, over the limit of {self.limits.max_chars}")
        return text


Reader = Callable[[Source], Read]


_SURROGATE = re.compile("[\ud800-\udfff]")


def valid_text(text: str) -> str:
    """The text with lone surrogates (JSON's "\\ud800", a PDF's broken UTF-16) as U+FFFD:
    what is stored and indexed must encode as UTF-8."""
    if text.isascii():
        return text
    return _SURROGATE.sub("\ufffd", text)


class Sections:
    """Collects a file's sections in order and gives each its character offsets into the
    file's extracted text (the sections' texts, each followed by a blank line)."""

    def __init__(self, limits: Limits) -> None:
        self._limits = limits
        self._items: list[Section] = []
        self._offset = 0
        self._produced = 0

    def charge(self, characters: int) -> None:
        """Counts characters about to be produced; fails before they are made when the
        file's total (texts, heading paths and pointers) would pass limits.max_chars."""
        self._produced += characters
        if self._produced > self._limits.max_chars:
            raise ReadError(f"extracts more than the limit of {self._limits.max_chars} characters")

    def add(
        self, headings: tuple[str, ...], text: str, kind: SectionKind = "text", **where: Any
    ) -> None:
        text = text.strip("\n")
        if not text.strip():
            return
        # Heading paths are repeated in every passage's indexed text, so they count too.
        self.charge(len(text) + sum([len(h) for h in headings]) + len(where.get("pointer") or ""))
        end = self._offset + len(text)
        if "pointer" in where:
            where["pointer"] = valid_text(where["pointer"])
        headings = tuple([valid_text(h) for h in headings])
        position = Position(start=self._offset, end=end, **where)
        self._items.append(Section(headings, valid_text(text), position, kind))
        self._offset = end + 2

    def done(self) -> tuple[Section, ...]:
        return tuple(self._items)


class Headings:
    """The heading path: a heading of level n replaces those of level n and deeper.

    (The readers build lists rather than pass generator expressions: CPython 3.13 can crash
    when allocating a generator's frame fails, and a list comprehension makes none.)"""

    def __init__(self) -> None:
        self._levels: list[tuple[int, str]] = []

    def push(self, level: int, title: str) -> None:
        while self._levels and self._levels[-1][0] >= level:
            self._levels.pop()
        self._levels.append((level, title))

    @property
    def path(self) -> tuple[str, ...]:
        return tuple([title for _, title in self._levels])


class Outline:
    """Paragraphs gathered under the heading path in force: a heading, a code block or the
    end closes the paragraphs gathered so far into one section."""

    def __init__(self, limits: Limits, join: Callable[[list[str]], str] = "\n\n".join) -> None:
        self.sections = Sections(limits)
        self.headings = Headings()
        self._join = join
        self._pending: list[str] = []

    def close(self) -> None:
        """Ends the paragraphs gathered so far as one section."""
        self.sections.add(self.headings.path, self._join(self._pending))
        self._pending.clear()

    def heading(self, level: int, title: str) -> None:
        self.close()
        self.headings.push(level, title)

    def paragraph(self, text: str) -> None:
        self._pending.append(text)

    def block(self, text: str, kind: SectionKind) -> None:
        self.close()
        self.sections.add(self.headings.path, text, kind)

    def done(self) -> tuple[Section, ...]:
        self.close()
        return self.sections.done()


def cell_text(cell: object) -> str:
    """A cell's value as a person reads it: whole numbers without ".0" (spreadsheets store
    every number as a float), others to the 15 digits a spreadsheet shows, dates as ISO
    dates (a time only when there is one)."""
    if cell is None:
        return ""
    if isinstance(cell, float):
        if cell.is_integer() and abs(cell) < 1e15:
            return str(int(cell))
        return f"{cell:.15g}"
    if isinstance(cell, datetime.datetime):
        if cell.time() == datetime.time(0):
            return cell.date().isoformat()
        return cell.isoformat(sep=" ", timespec="seconds" if cell.second else "minutes")
    if isinstance(cell, (datetime.date, datetime.time)):
        return cell.isoformat()
    return str(cell).strip()


def rows_to_sections(
    out: Sections,
    rows: Iterable[Sequence[object]],
    headings: tuple[str, ...],
    sheet: str | None = None,
) -> None:
    """A header row then data rows, each row one section of "column: value" lines. Row
    numbers count the data rows from 1 (the header is row 0); blank rows keep their number."""
    header: list[str] | None = None
    number = 0
    for row in rows:
        cells = [cell_text(cell) for cell in row]
        if header is None:
            if not any(cells):
                continue
            header = [c or f"column {i + 1}" for i, c in enumerate(cells)]
            continue
        number += 1
        if not any(cells):
            continue
        names = header + [f"column {i + 1}" for i in range(len(header), len(cells))]
        lines = [f"{name}: {value}" for name, value in zip(names, cells, strict=False) if value]
        out.add(headings, "\n".join(lines), "table", sheet=sheet, rows=(number, number + 1))
