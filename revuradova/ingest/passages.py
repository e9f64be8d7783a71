"""Sections cut into passages of bounded size; table rows grouped; types and domains given."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator, Mapping
from dataclasses import replace
from fnmatch import fnmatchcase

from revuradova.ingest.classify import knowledge_type_of
from revuradova.ingest.model import DEFAULT_WORDS, KNOWLEDGE_TYPES, Document, Passage, Section

# What a caller gives for the knowledge type or the domain: a constant, a mapping from glob
# patterns (matched against the path relative to the root, first match wins) or a function
# of the passage (whose knowledge_type and domain hold the defaults).
Assigner = str | Mapping[str, str] | Callable[[Passage], str] | None

_PARAGRAPH = re.compile(r"\n\s*\n")
_SENTENCE = re.compile(r"(?<=[.!?])\s+(?=\S)")
_WORD = re.compile(r"\S+")


def cut(text: str, max_words: int) -> Iterator[tuple[int, int]]:
    """Spans [start, end) of `text` holding at most `max_words` words each: whole paragraphs
    where they fit, else whole sentences, else runs of words. Spans never split a character
    and cover every word once, in order."""
    pieces = _split(text, 0, len(text), max_words, 0)
    start: int | None = None
    end = 0
    words = 0
    for piece_start, piece_end, count in pieces:
        if start is not None and words + count > max_words:
            yield start, end
            start = None
        if start is None:
            start, words = piece_start, 0
        end = piece_end
        words += count
    if start is not None:
        yield start, end


def _split(
    text: str, start: int, stop: int, max_words: int, level: int
) -> Iterator[tuple[int, int, int]]:
    """(start, end, words) of the paragraphs of text[start:stop] (level 0), each split into
    sentences (level 1), then into runs of words, when it alone holds more than max_words."""
    separators = (_PARAGRAPH, _SENTENCE)
    if level == len(separators):
        words = [m.span() for m in _WORD.finditer(text, start, stop)]
        for i in range(0, len(words), max_words):
            chunk = words[i : i + max_words]
            yield chunk[0][0], chunk[-1][1], len(chunk)
        return
    position = start
    bounds = []
    for match in separators[level].finditer(text, start, stop):
        bounds.append((position, match.start()))
        position = match.end()
    bounds.append((position, stop))
    for piece_start, piece_end in bounds:
        count = len(text[piece_start:piece_end].split())
        if count == 0:
            continue
        if count <= max_words:
            piece = text[piece_start:piece_end]
            yield (
                piece_start + len(piece) - len(piece.lstrip()),
                piece_start + len(piece.rstrip()),
                count,
            )
        else:
            yield from _split(text, piece_start, piece_end, max_words, level + 1)


def _group_key(section: Section) -> tuple[object, ...] | None:
    """What consecutive sections must share to be grouped: table rows under one heading
    path of one sheet; records that are elements of one array."""
    if section.kind == "table":
        return ("table", section.headings, section.position.sheet)
    pointer = section.position.pointer
    if section.kind == "record" and pointer and section.headings:
        parent, _, index = pointer.rpartition("/")
        if index.isdigit():
            return ("record", section.headings[:-1], parent)
    return None


def _merged(group: list[Section]) -> Section:
    first, last = group[0], group[-1]
    if len(group) == 1 and first.kind == "record":
        return first
    text = "\n\n".join([s.text for s in group])
    if first.kind == "record":
        # The array's heading path and pointer; rows: its elements, counted from 1.
        parent, _, index = (first.position.pointer or "").rpartition("/")
        last_index = int((last.position.pointer or "").rpartition("/")[2])
        position = replace(
            first.position, end=last.position.end, pointer=parent,
            rows=(int(index) + 1, last_index + 2),
        )  # fmt: skip
        return Section(first.headings[:-1], text, position, "record")
    rows = None
    if first.position.rows and last.position.rows:
        rows = (first.position.rows[0], last.position.rows[1])
    position = replace(first.position, end=last.position.end, rows=rows)
    return Section(first.headings, text, position, "table")


def _group_rows(sections: tuple[Section, ...], max_words: int) -> Iterator[Section]:
    """Consecutive table rows under one heading path, and consecutive records that are
    elements of one array, become one section of several, up to max_words words."""
    group: list[Section] = []
    key: tuple[object, ...] | None = None
    words = 0
    for section in sections:
        count = len(section.text.split())
        section_key = _group_key(section)
        fits = group and section_key == key and words + count <= max_words
        if group and not fits:
            yield _merged(group)
            group, words = [], 0
        if section_key is not None:
            group.append(section)
            key = section_key
            words += count
        else:
            yield section
    if group:
        yield _merged(group)


def document_passages(
    document: Document,
    key_path: str,
    domain: str,
    max_words: int = DEFAULT_WORDS,
) -> Iterator[Passage]:
    """The passages of one document, numbered from 0, with default types and domain."""
    number = 0
    for section in _group_rows(document.sections, max_words):
        spans = [(0, len(section.text))] if section.kind == "table" else None
        for start, end in spans or cut(section.text, max_words):
            body = section.text[start:end]
            position = replace(
                section.position,
                start=section.position.start + start,
                end=section.position.start + end,
            )
            yield Passage(
                key=f"{key_path}#{number}",
                path=key_path,
                number=number,
                source_type=document.source_type,
                knowledge_type=knowledge_type_of(section.kind, key_path, section.headings, body),
                domain=domain,
                headings=section.headings,
                body=body,
                position=position,
                kind=section.kind,
            )
            number += 1


def assign(passage: Passage, field: str, given: Assigner) -> Passage:
    """The passage with `field` (knowledge_type or domain) as the caller gives it."""
    if given is None:
        return passage
    if isinstance(given, str):
        value = given
    elif isinstance(given, Mapping):
        value = next(
            (v for pattern, v in given.items() if fnmatchcase(passage.path, pattern)),
            getattr(passage, field),
        )
    elif callable(given):
        value = given(passage)
    else:
        raise TypeError(f"{field} must be a str, a mapping of globs or a function")
    if not isinstance(value, str):
        raise TypeError(f"{field} for {passage.key!r} must be a str, got {type(value).__name__}")
    if field == "knowledge_type" and value not in KNOWLEDGE_TYPES:
        raise ValueError(
            f"unknown knowledge type {value!r}; accepted: {', '.join(KNOWLEDGE_TYPES)}"
        )
    if field == "knowledge_type":
        return replace(passage, knowledge_type=value)
    return replace(passage, domain=value)
