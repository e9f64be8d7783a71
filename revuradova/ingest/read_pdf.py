"""The PDF reader (PDFium via pypdfium2): page text cleaned of what typesetting adds.

Per document, lines are freed of line-break hyphens and control characters; the running
headers and footers (a line in the first or last lines of most pages, numbers aside) and
page numbers are left out. Sections follow the outline (bookmarks) where the PDF has one,
split at the line that carries a bookmark's title; else lines set clearly larger than the
body text are headings, levels by size; else a page is a section under the PDF's title.
"""

from __future__ import annotations

import math
import re
from collections import Counter
from typing import Any

from revuradova.ingest.clean import clean_line_breaks, continues, furniture_key, is_page_number
from revuradova.ingest.model import Limits, MissingExtra, ReadError, Section
from revuradova.ingest.sections import Headings, Read, Sections, Source

# Lines at each end of a page where running headers and footers are looked for.
_ZONE = 3
# A line there is furniture when it recurs on at least this share of the pages (and on
# three of them): facing pages often alternate two running headers.
_FURNITURE_SHARE = 0.4
# A line is a heading when set at least this much larger than the body text, and short.
_HEADING_RATIO = 1.15
# Running headers and footers are short.
_FURNITURE_WORDS = 12
_HEADING_WORDS = 15
_BLANKS = re.compile(r"\s+")
_MARKS_SEARCHED = 200
_LINE_BREAK = re.compile(r"\r\n|\r|\n")
_SECTION_NUMBER = re.compile(r"(?:(?:chapter|appendix|part|section)\s+)?(?:[\w]{1,3}[.)]?)*\s*")
# A running header that names the chapter and the page ("Chapter 2: Parsing 17") recurs
# on the chapter's pages only: two pages suffice when a page number is at an end.
_NUMBERED = re.compile(r"\s*(?:\d+\s+\S+\s+\S+\s+\S.*|.*\S\s+\S+\s+\S+\s+\d+)\s*")

Line = tuple[str, float]  # text and font size (0 when PDFium gives none)


def _pdf(data: bytes, limits: Limits) -> tuple[tuple[Section, ...], str | None]:
    """Sections of the cleaned page text, under the outline or the headings set large."""
    try:
        import pypdfium2 as pdfium
    except ImportError:
        raise MissingExtra("pdf", "pypdfium2", "pdf") from None
    try:
        document = pdfium.PdfDocument(data)
    except pdfium.PdfiumError as error:
        reason = str(error)
        if "password" in reason.lower():
            raise ReadError("encrypted PDF (needs a password)") from None
        raise ReadError(f"corrupt or unreadable PDF: {reason}") from None
    try:
        title = (document.get_metadata_value("Title") or "").strip() or None
        marks = _bookmarks(document)
        pages = _pages(document, limits)
    except pdfium.PdfiumError as error:
        raise ReadError(f"corrupt PDF: {error}") from None
    finally:
        document.close()
    titles = {_key(t) for _, _, t in marks}
    pages = _without_furniture(pages, titles, _body_size(pages))
    out = Sections(limits)
    if marks:
        _by_outline(out, pages, marks)
    elif not _by_font_size(out, pages):
        out = Sections(limits)
        for number, lines in enumerate(pages, 1):
            out.add((title,) if title else (), "\n".join([t for t, _ in lines]), page=number)
    return out.done(), title


def _pages(document: Any, limits: Limits) -> list[list[Line]]:
    """Each page's lines, cleaned, with the font size at each line's start."""
    import pypdfium2.raw as raw

    pages: list[list[Line]] = []
    extracted = 0
    for index in range(len(document)):
        page = document[index]
        textpage = page.get_textpage()
        try:
            text = textpage.get_text_bounded()
            extracted += len(text)
            if extracted > limits.max_chars:
                raise ReadError(f"extracts more than the limit of {limits.max_chars} characters")
            lines = _raw_lines(text)
            sizes = _line_sizes(textpage, raw, text, lines)
        finally:
            textpage.close()
            page.close()
        pages.append(_joined([(line, size) for (_, line), size in zip(lines, sizes, strict=True)]))
    return pages


def _raw_lines(text: str) -> list[tuple[int, str]]:
    """(offset, text) of each line of a page's text."""
    lines = []
    position = 0
    for match in _LINE_BREAK.finditer(text):
        lines.append((position, text[position : match.start()]))
        position = match.end()
    lines.append((position, text[position:]))
    return lines


def _line_sizes(textpage: Any, raw: Any, text: str, lines: list[tuple[int, str]]) -> list[float]:
    """The font size at the first character of each line, as PDFium reports it (0 where
    it reports none)."""
    sizes = [0.0] * len(lines)
    try:
        # Text indices count characters as this view of the text does; where it differs
        # in length from the full text, offsets do not carry over.
        if len(textpage.get_text_range()) != len(text):
            return sizes
        for i, (start, line) in enumerate(lines):
            if not line.strip():
                continue
            char = raw.FPDFText_GetCharIndexFromTextIndex(
                textpage, start + len(line) - len(line.lstrip())
            )
            size = float(raw.FPDFText_GetFontSize(textpage, char)) if char >= 0 else 0.0
            sizes[i] = size if math.isfinite(size) and size > 0 else 0.0
    except Exception:  # noqa: BLE001 - sizes are a refinement; text without them is fine
        return [0.0] * len(lines)
    return sizes


def _joined(lines: list[Line]) -> list[Line]:
    """Lines with a word hyphenated at the break joined to the next, control characters
    removed; a joined line has its first part's font size."""
    out: list[Line] = []
    for text, size in lines:
        if out and continues(out[-1][0], text):
            previous, first_size = out[-1]
            out[-1] = (previous.rstrip()[:-1] + text.lstrip(), first_size)
        else:
            out.append((text, size))
    return [(clean_line_breaks(text), size) for text, size in out]


def _key(text: str) -> str:
    return _BLANKS.sub(" ", text).strip().casefold()


def _body_size(pages: list[list[Line]]) -> float:
    """The font size most of the text is set in (0 when PDFium gives none)."""
    weights: Counter[float] = Counter()
    for lines in pages:
        for text, size in lines:
            if size > 0:
                weights[round(size * 2) / 2] += len(text)
    return weights.most_common(1)[0][0] if weights else 0.0


def _without_furniture(pages: list[list[Line]], keep: set[str], body: float) -> list[list[Line]]:
    """Pages without their running headers and footers and page numbers. Bookmark titles
    and lines set as headings stay: a chapter's first page may open with "Chapter 3"."""
    zones = []
    for lines in pages:
        filled = [
            i
            for i, (text, size) in enumerate(lines)
            if text.strip()
            and len(text.split()) <= _FURNITURE_WORDS
            and _key(text) not in keep
            and not (body and _is_heading(text, size, body))
        ]
        zones.append(set(filled[:_ZONE] + filled[-_ZONE:]))
    counts: Counter[str] = Counter()
    if len(pages) >= 3:
        for lines, zone in zip(pages, zones, strict=True):
            counts.update({furniture_key(lines[i][0]) for i in zone})
    least = max(3, math.ceil(_FURNITURE_SHARE * len(pages)))
    cleaned = []
    for lines, zone in zip(pages, zones, strict=True):
        kept = []
        for i, (text, size) in enumerate(lines):
            if i in zone and (
                is_page_number(text)
                or counts[furniture_key(text)] >= (2 if _NUMBERED.fullmatch(text) else least)
            ):
                continue
            kept.append((text, size))
        cleaned.append(kept)
    return cleaned


class _Emitter:
    """Lines gathered under the heading path in force, a section per page and heading."""

    def __init__(self, out: Sections) -> None:
        self.out = out
        self.headings = Headings()
        self._lines: list[str] = []
        self._page = 1

    def flush(self) -> None:
        self.out.add(self.headings.path, "\n".join(self._lines), page=self._page)
        self._lines.clear()

    def page(self, number: int) -> None:
        self.flush()
        self._page = number

    def heading(self, level: int, title: str) -> None:
        self.flush()
        self.headings.push(level, title)

    def line(self, text: str) -> None:
        self._lines.append(text)


def _by_outline(out: Sections, pages: list[list[Line]], marks: list[tuple[int, int, str]]) -> None:
    """Each bookmark starts a section at the line of its page that carries its title (at
    the page's top when no line does)."""
    emit = _Emitter(out)
    by_page: dict[int, list[tuple[int, str]]] = {}
    for page, level, title in marks:
        by_page.setdefault(page, []).append((level, title))
    for number, lines in enumerate(pages):
        emit.page(number + 1)
        splits: dict[int, list[tuple[int, str]]] = {}
        at = 0
        on_page = by_page.get(number, [])
        # Each title is looked for in the lines after the last one found: a page of
        # thousands of bookmarks (a hostile outline) has them at its top.
        keys = [_key(text) for text, _ in lines] if len(on_page) <= _MARKS_SEARCHED else []
        for level, title in on_page:
            key = _key(title)
            found = next((i for i in range(at, len(keys)) if _carries(keys[i], key)), None)
            if found is not None:
                at = found
            splits.setdefault(at, []).append((level, title))
            if found is not None:
                splits[at].append((-1, ""))  # the title's own line is not body text
        for i, (text, _) in enumerate(lines):
            skip = False
            for level, title in splits.get(i, []):
                if level < 0:
                    skip = True
                else:
                    emit.heading(level, title)
            if not skip:
                emit.line(text)
        for level, title in splits.get(len(lines), []):
            if level >= 0:
                emit.heading(level, title)
    emit.flush()


def _carries(line: str, title: str) -> bool:
    """Whether a line (as _key gives it) is a bookmark's title, perhaps after its number
    ("2.1 Syntax")."""
    if not title or not line.endswith(title):
        return False
    return _SECTION_NUMBER.fullmatch(line[: len(line) - len(title)]) is not None


def _by_font_size(out: Sections, pages: list[list[Line]]) -> bool:
    """Sections under the lines set larger than the body text; False when the sizes do not
    single out a few short lines as headings."""
    body = _body_size(pages)
    if not body:
        return False
    heading_lines = [
        (text, round(size * 2) / 2)
        for lines in pages
        for text, size in lines
        if _is_heading(text, size, body)
    ]
    total = sum([len(lines) for lines in pages])
    if not heading_lines or len(heading_lines) > 0.3 * total:
        return False
    levels = sorted({size for _, size in heading_lines}, reverse=True)
    emit = _Emitter(out)
    for number, lines in enumerate(pages):
        emit.page(number + 1)
        title: list[str] = []
        title_size = 0.0
        for text, size in [*lines, ("", 0.0)]:
            rounded = round(size * 2) / 2
            if _is_heading(text, size, body) and (not title or rounded == title_size):
                title.append(text.strip())
                title_size = rounded
                continue
            if title:
                emit.heading(min(levels.index(title_size) + 1, 6), " ".join(title))
                title = []
            if text or size:
                emit.line(text)
    emit.flush()
    return True


def _is_heading(text: str, size: float, body: float) -> bool:
    words = text.split()
    return (
        size >= body * _HEADING_RATIO
        and 0 < len(words) <= _HEADING_WORDS
        and any(c.isalpha() for c in text)
    )


def _bookmarks(document: Any) -> list[tuple[int, int, str]]:
    """(page index, level, title) of each bookmark with a page, in outline order."""
    marks = []
    try:
        for item in document.get_toc(max_depth=8):
            page, title = _bookmark(item)
            title = _BLANKS.sub(" ", title or "").strip()
            if page is None or not 0 <= page < len(document) or not title:
                continue
            marks.append((page, item.level, title))
    except MemoryError:
        raise
    except Exception:  # noqa: BLE001 - a broken outline only loses headings
        return []
    marks.sort(key=lambda mark: mark[0])  # stable: outline order within a page
    return marks


def _bookmark(item: Any) -> tuple[int | None, str | None]:
    """A bookmark's page index and title, in pypdfium2 5's API or 4's."""
    if hasattr(item, "get_dest"):
        dest = item.get_dest()
        return (dest.get_index() if dest is not None else None), item.get_title()
    return item.page_index, item.title


def read_pdf(source: Source) -> Read:
    return _pdf(source.data, source.limits)
