"""Snippets: a short window of a passage around its best run of query terms, terms marked."""

from __future__ import annotations

import re
from dataclasses import dataclass

_TOKEN = re.compile(r"[^\W_]+", re.UNICODE)


@dataclass(frozen=True, slots=True)
class Snippet:
    """``text`` with the matched terms between « and »; ``spans`` are (start, end) offsets
    of those terms in ``plain`` (the same window unmarked), for a UI to highlight."""

    text: str
    plain: str
    spans: tuple[tuple[int, int], ...]


def query_terms(query: str) -> frozenset[str]:
    """The query's index terms, by the index's own tokenizer rules (lower-cased, split at
    every character that is neither alphabetic nor numeric, at least 3 bytes)."""
    return frozenset(
        word.lower() for word in _TOKEN.findall(query) if len(word.lower().encode()) >= 3
    )


def make_snippet(text: str, terms: frozenset[str], width: int = 240) -> Snippet:
    # One line for display: every white-space character becomes a space (same length, so
    # offsets hold).
    text = re.sub(r"\s", " ", text)
    matches = [(m.start(), m.end()) for m in _TOKEN.finditer(text) if m.group().lower() in terms]
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
