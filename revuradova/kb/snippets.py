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


def query_terms(query: str) -> re.Pattern | None:
    """A pattern matching the query's index terms as whole words, case-insensitively (the
    index's own rules: split at every character neither alphabetic nor numeric, pieces of
    at least 3 bytes), or None for a query without terms."""
    terms = sorted(
        {word.lower() for word in _TOKEN.findall(query) if len(word.lower().encode()) >= 3},
        key=len,
        reverse=True,
    )
    if not terms:
        return None
    alternatives = "|".join(re.escape(term) for term in terms)
    return re.compile(rf"(?<![^\W_])(?:{alternatives})(?![^\W_])", re.IGNORECASE)


def make_snippet(text: str, terms: re.Pattern | None, width: int = 240) -> Snippet:
    # One line for display: every white-space character becomes a space (same length, so
    # offsets hold).
    text = re.sub(r"\s", " ", text)
    matches = [m.span() for m in terms.finditer(text)] if terms is not None else []
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
