"""Blocks a site repeats on its pages, left out of the passages of a files' reading.

A page's menu, "Prev / Next" bar or copyright line is often marked by nothing but its
recurring on every page. Each file is read alone (in a worker process), so repetition is
found here, where the outcomes come back: the files of one type (HTML) in one folder form
a group; a block (a paragraph of a passage's body, compared with spacing and case aside)
found in at least REPEATED_SHARE of the group's files read, and in REPEATED_FILES of them,
is left out of all of them. A passage left with nothing is dropped and the file's passages
are numbered again from 0.

Outcomes are given on in the order of the files. A group's files are held until its last
one is read; when more than HELD_CHARS characters of passages are held, the oldest group
is decided on its files read so far and its later files are filtered by that decision at
once. Either way the result depends only on the files and their order: the same folder
gives the same passages.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
from collections import Counter, deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field, replace

from revuradova.ingest.classify import default_knowledge_type
from revuradova.ingest.listing import FoundFile
from revuradova.ingest.model import Passage
from revuradova.ingest.source import type_from_name

REPEATED_SHARE = 0.5
REPEATED_FILES = 3
HELD_CHARS = 64 * 1024 * 1024
GROUPED_TYPES = frozenset({"html"})

_PARAGRAPH = re.compile(r"\n\s*\n")


def paragraphs(body: str) -> list[tuple[int, int]]:
    """Spans [start, end) of the paragraphs of a passage's body."""
    spans = []
    position = 0
    for match in _PARAGRAPH.finditer(body):
        spans.append((position, match.start()))
        position = match.end()
    spans.append((position, len(body)))
    return [(a, b) for a, b in spans if body[a:b].strip()]


def fingerprint(block: str) -> bytes:
    return hashlib.blake2b(" ".join(block.split()).casefold().encode(), digest_size=8).digest()


def _prints(passages: Iterable[Passage]) -> set[bytes]:
    return {
        fingerprint(p.body[a:b])
        for p in passages
        if p.kind in ("text", "table")
        for a, b in paragraphs(p.body)
    }


def without_blocks(passages: list[Passage], repeated: set[bytes]) -> list[Passage]:
    """The passages without the repeated blocks, numbered again; offsets narrowed to the
    blocks kept (a block left out between two kept ones stays inside the span)."""
    kept: list[Passage] = []
    for passage in passages:
        spans = paragraphs(passage.body) if passage.kind in ("text", "table") else []
        keep = [(a, b) for a, b in spans if fingerprint(passage.body[a:b]) not in repeated]
        if len(keep) == len(spans):
            changed = passage
        elif not keep:
            continue
        else:
            body = "\n\n".join([passage.body[a:b] for a, b in keep])
            start = passage.position.start
            position = replace(passage.position, start=start + keep[0][0], end=start + keep[-1][1])
            changed = replace(passage, body=body, position=position)
            changed = replace(changed, knowledge_type=default_knowledge_type(changed))
        number = len(kept)
        if changed.number != number:
            changed = replace(changed, number=number, key=f"{changed.path}#{number}")
        kept.append(changed)
    return kept


@dataclass
class _Group:
    left: int  # files of the group not yet read
    prints: list[set[bytes]] = field(default_factory=list)
    repeated: set[bytes] | None = None  # once decided

    def decide(self) -> set[bytes]:
        if self.repeated is None:
            counts: Counter[bytes] = Counter()
            for prints in self.prints:
                counts.update(prints)
            least = max(REPEATED_FILES, math.ceil(REPEATED_SHARE * len(self.prints)))
            self.repeated = {p for p, n in counts.items() if n >= least}
            self.prints.clear()
        return self.repeated


def without_repeated[Outcome](
    files: Sequence[FoundFile],
    outcomes: Iterable[Outcome],
    passages_of: Callable[[Outcome], list[Passage] | None],
    rebuilt: Callable[[Outcome, list[Passage]], Outcome],
) -> Iterator[tuple[FoundFile, Outcome]]:
    """Each file with its outcome, in order. passages_of(outcome) gives a file's passages
    (None for a file skipped); rebuilt(outcome, passages) the outcome with others: that of
    a grouped file has its group's repeated blocks left out."""
    groups: dict[tuple[bytes, str], _Group] = {}
    group_of: list[_Group | None] = []
    for found in files:
        source_type = type_from_name(found.relative)
        if source_type not in GROUPED_TYPES:
            group_of.append(None)
            continue
        key = (os.path.dirname(found.path), source_type)
        new = groups.setdefault(key, _Group(0))
        new.left += 1
        group_of.append(new)
    held: deque[tuple[Outcome, int]] = deque()
    held_chars = 0
    released = 0
    for index, outcome in enumerate(outcomes):
        arrived = group_of[index]
        passages = passages_of(outcome)
        if arrived is not None:
            arrived.left -= 1
            if passages is not None and arrived.repeated is None:
                arrived.prints.append(_prints(passages))
            if arrived.left == 0:
                arrived.decide()
        size = sum([len(p.body) for p in passages or ()])
        held.append((outcome, size))
        held_chars += size
        while held:
            group = group_of[released]
            if group is not None and group.repeated is None and held_chars <= HELD_CHARS:
                break
            first, size = held.popleft()
            held_chars -= size
            passages = passages_of(first)
            if group is not None and passages is not None:
                first = rebuilt(first, without_blocks(passages, group.decide()))
            yield files[released], first
            released += 1
