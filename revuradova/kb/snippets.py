"""Snippets: a short window of a passage around its best run of query terms, terms marked."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

_SPACE = re.compile(r"\s")

# Where the query's terms occur in a text: (start, end) offsets, in order.
Finder = Callable[[str], list[tuple[int, int]]]


@dataclass(frozen=True, slots=True)
class Snippet:
    """``text`` with the matched terms between « and »; ``spans`` are (start, end) offsets
    of those terms in ``plain`` (the same window unmarked), for a UI to highlight."""

    text: str
    plain: str
    spans: tuple[tuple[int, int], ...]


def make_snippet(text: str, find: Finder | None, width: int = 240) -> Snippet:
    """The window of `width` characters of `text` holding the most of the terms `find`
    locates (the index's own analysis: a stemmed base marks "installing" for "install")."""
    # One line for display: every white-space character becomes a space (same length, so
    # offsets hold).
    text = _SPACE.sub(" ", text)
    matches = find(text) if find is not None else []
    if not matches:
        plain = text[:width]
        return Snippet(plain + ("…" if len(text) > width else ""), plain, ())
    # The window of `width` characters holding the most matches (two pointers).
    best_start, best_count, right = matches[0][0], 0, 0
    for left, (start, _) in enumerate(matches):
        right = max(right, left)
        while right + 1 < len(matches) and matches[right + 1][1] - start <= width:
            right += 1
        if right - left + 1 > best_count:
            best_start, best_count = start, right - left + 1
    begin = max(0, best_start - width // 4)
    space = text.rfind(" ", 0, begin) if begin else -1
    begin = space + 1 if space >= 0 and begin - space < 20 else begin
    end = min(len(text), begin + width)
    plain = text[begin:end]
    spans = tuple((s - begin, e - begin) for s, e in matches if s >= begin and e <= end)
    marked, last = [], 0
    for s, e in spans:
        marked += [plain[last:s], "«", plain[s:e], "»"]
        last = e
    marked.append(plain[last:])
    prefix = "…" if begin > 0 else ""
    suffix = "…" if end < len(text) else ""
    return Snippet(prefix + "".join(marked) + suffix, plain, spans)
