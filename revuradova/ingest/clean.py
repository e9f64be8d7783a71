"""Text cleaning shared by the readers: what typesetting adds to words, page furniture."""

from __future__ import annotations

import re

# Marks PDFium and typesetters leave where a word was hyphenated at a line's end: PDFium's
# own U+0002 (U+FFFE in its UCS-2 view), and the soft hyphen.
_BREAK_MARK = re.compile("[\x02\u00ad\ufffe][ \t]*\n?[ \t]*")
# A hyphen at a line's end between letters: joined when the next line goes on in lower
# case ("de-\nfault"); kept before a capital ("Jean-\nPierre", a name).
_LINE_HYPHEN = re.compile(r"(?<=[^\W\d_])-[ \t]*\n[ \t]*(?=[^\W\d_])")
# Control characters but tab and newline, and the two noncharacters.
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ufffe\uffff]")
_DIGITS = re.compile(r"\d+")
_BLANKS = re.compile(r"\s+")
_PAGE_NUMBER = re.compile(
    r"[\W_]*(?:page|p\.|seite|página|pagina)?\s*(?:\d{1,5}|[ivxlcdm]{1,7})"
    r"(?:\s*(?:of|/|von|de|di)\s*\d{1,5})?[\W_]*",
    re.IGNORECASE,
)


def clean_line_breaks(text: str) -> str:
    """Words hyphenated at line ends joined, control characters removed ("\\n" stays)."""
    text = _BREAK_MARK.sub("", text)
    if "-" in text:
        text = _LINE_HYPHEN.sub(_joined, text)
    return _CONTROL.sub("", text)


def continues(line: str, following: str) -> bool:
    """Whether a line ends in a word hyphenated at the break that the next line ends."""
    line = line.rstrip()
    if line[-1:] in ("\x02", "\u00ad", "\ufffe"):
        return True
    following = following.lstrip()
    return line[-1:] == "-" and line[-2:-1].isalpha() and following[:1].islower()


def _joined(match: re.Match[str]) -> str:
    following = match.string[match.end() : match.end() + 1]
    return "" if following.islower() else match.group()


def furniture_key(line: str) -> str:
    """A line as running headers and footers repeat it: numbers, case and spacing aside."""
    return _BLANKS.sub(" ", _DIGITS.sub("#", line)).strip().casefold()


def is_page_number(line: str) -> bool:
    """Whether a line is only a page number ("12", "- 12 -", "Page 3 of 9", "xiv")."""
    line = line.strip()
    return bool(line) and len(line) <= 24 and _PAGE_NUMBER.fullmatch(line) is not None
