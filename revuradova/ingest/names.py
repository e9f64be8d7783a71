"""File names as text that is valid UTF-8, injective and reversible.

A POSIX name is bytes; SQLite and JSON want valid UTF-8. A byte that is not part of valid
UTF-8 is written ``\\xNN`` (two lower-case hex digits), and a literal backslash that would
read as such an escape (followed by ``x`` and two hex digits) is written ``\\x5c``, so two
names never share a text and the text always gives the bytes back.
"""

from __future__ import annotations

import os
import re

# A backslash the reverse would take for an escape: one followed by x and two hex digits.
_LOOKS_ESCAPED = re.compile(r"\\(?=x[0-9a-fA-F]{2})")
_UNDECODABLE = re.compile("[\udc80-\udcff]")
_ESCAPE = re.compile(r"\\x([0-9a-fA-F]{2})")


def path_text(raw: bytes) -> str:
    """The text form of a name or relative path: valid UTF-8 kept, other bytes as ``\\xNN``."""
    if not isinstance(raw, bytes):
        raise TypeError(f"path_text takes bytes, got {type(raw).__name__}")
    text = raw.decode("utf-8", "surrogateescape")
    if "\\" in text:
        text = _LOOKS_ESCAPED.sub(r"\\x5c", text)
    if not text.isascii() and _UNDECODABLE.search(text):
        text = _UNDECODABLE.sub(lambda m: f"\\x{ord(m.group()) - 0xDC00:02x}", text)
    return text


def path_bytes(text: str) -> bytes:
    """The bytes path_text(raw) came from: path_bytes(path_text(raw)) == raw."""
    if not isinstance(text, str):
        raise TypeError(f"path_bytes takes str, got {type(text).__name__}")
    out = bytearray()
    position = 0
    for match in _ESCAPE.finditer(text):
        out += _utf8(text[position : match.start()])
        out.append(int(match.group(1), 16))
        position = match.end()
    out += _utf8(text[position:])
    return bytes(out)


def _utf8(text: str) -> bytes:
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(
            f"not a path text (holds a lone surrogate): {text!r}; path_text() gives valid ones"
        ) from None


def raw_path(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bytes:
    """A caller's path (str, bytes or os.PathLike) as the bytes the system uses."""
    value = os.fspath(path)
    if isinstance(value, str):
        return os.fsencode(value)
    if isinstance(value, bytes):
        return value
    raise TypeError(f"a path must be str, bytes or os.PathLike, got {type(path).__name__}")
