"""Readers of text formats: plain text (local_file), Markdown and HTML."""

from __future__ import annotations

import importlib
import re
from typing import Any

from revuradova.ingest.model import Limits, MissingExtra, ReadError, Section, SectionKind
from revuradova.ingest.sections import Outline, Read, Sections, Source
from revuradova.ingest.source import is_code_name


def _plain(text: str, limits: Limits, kind: SectionKind = "text") -> tuple[Section, ...]:
    """Prose starts a section at every underlined title (reStructuredText and setext style);
    code, and text without such titles, is one section."""
    if kind == "code":
        out = Sections(limits)
        out.add((), text, kind)
        return out.done()
    outline = Outline(limits)
    styles: list[tuple[str, bool]] = []  # a title's level is its style's order of first use
    lines = text.split("\n")
    body: list[str] = []
    i = 0
    while i < len(lines):
        title = _underlined_title(lines, i)
        if title is None:
            body.append(lines[i])
            i += 1
            continue
        text_of_title, style, used = title
        if style not in styles:
            styles.append(style)
        outline.paragraph("\n".join(body))
        body.clear()
        outline.heading(styles.index(style) + 1, text_of_title)
        i += used
    outline.paragraph("\n".join(body))
    return outline.done()


_RULE = re.compile(r"([=\-~^\"'`*+#_:.])\1{2,}[ \t]*")


def _underlined_title(lines: list[str], i: int) -> tuple[str, tuple[str, bool], int] | None:
    """The title starting at line i, its style (rule character, overlined) and the number of
    lines it takes; None when line i starts no title. A title is one unindented line after a
    blank line (or the start), under a rule of one repeated punctuation character at least
    as long as it, with an optional equal rule above."""
    if i > 0 and lines[i - 1].strip():
        return None
    over = _RULE.fullmatch(lines[i])
    start = i + 1 if over else i
    if start + 1 >= len(lines):
        return None
    title = lines[start].rstrip()
    if not title.strip() or len(title) > 200 or _RULE.fullmatch(title):
        return None
    if not over and title[0] in " \t":
        return None
    under = _RULE.fullmatch(lines[start + 1])
    if under is None or len(lines[start + 1].rstrip()) < len(title):
        return None
    if over and (over.group(1) != under.group(1)):
        return None
    return title.strip(), (under.group(1), bool(over)), start + 2 - i


# Block elements whose start or end ends the inline text gathered so far (a paragraph, a
# list item's text, a table cell): each such run is one paragraph of the section.
_INLINE_BOUNDS = frozenset(
    "Paragraph Item TableCell BlockQuote List Table TableHead TableRow FootnoteDefinition"
    " DefinitionList DefinitionListTitle DefinitionListDefinition".split()
)


# Set by isolate.serve in a worker process: there a native parser that fails (pyromark's
# bindings abort the process when an allocation fails) costs one file, not the caller's
# process, so the Markdown reader uses it; in the caller's process it uses markdown-it-py
# (pure Python, MemoryError like any other code) when installed. Both give the same
# sections but for lazy continuation lines in nested block quotes, where pulldown-cmark
# follows the CommonMark reference implementation and markdown-it-py does not.
IN_WORKER = False


def _markdown(text: str, limits: Limits) -> tuple[Section, ...]:
    """ATX and setext headings start sections; fenced and indented code are code sections.

    A heading's text is its title, a code block's its code, an HTML block's its text without
    tags; images give their alternative text, inline HTML nothing; each paragraph, list
    item's text and table cell is one paragraph of its section."""
    for name in ("pyromark", "markdown_it") if IN_WORKER else ("markdown_it", "pyromark"):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        if name == "pyromark":
            return _read_pulldown(text, limits, module)
        return _read_markdown_it(text, limits, module.MarkdownIt)
    raise MissingExtra("markdown", "pyromark", "markdown")


def _read_pulldown(text: str, limits: Limits, pyromark: Any) -> tuple[Section, ...]:
    """Sections from pulldown-cmark's events (pyromark), which arrive one by one."""
    outline = Outline(limits)
    parts: list[str] = []
    level = 0
    in_html = False
    for event in pyromark.events(text, options=pyromark.Options.ENABLE_TABLES):
        if type(event) is str:  # SoftBreak, HardBreak, Rule
            if event in ("SoftBreak", "HardBreak"):
                parts.append("\n")
            continue
        ((kind, value),) = event.items()
        if kind == "Text" or kind == "Code":
            parts.append(value)
        elif kind == "Html":
            if in_html:
                parts.append(value)
        elif kind == "Start":
            name = value if type(value) is str else next(iter(value))
            if name == "Heading":
                _gathered(outline, parts)
                level = int(value["Heading"]["level"][1:])
            elif name in ("CodeBlock", "HtmlBlock") or name in _INLINE_BOUNDS:
                _gathered(outline, parts)
                in_html = name == "HtmlBlock"
        elif kind == "End":
            name = value if type(value) is str else next(iter(value))
            if name == "Heading":
                outline.heading(level, "".join(parts).strip())
                parts.clear()
            elif name == "CodeBlock":
                outline.block("".join(parts), "code")
                parts.clear()
            elif name == "HtmlBlock":
                outline.paragraph(_strip_tags("".join(parts)))
                parts.clear()
                in_html = False
            elif name in _INLINE_BOUNDS:
                _gathered(outline, parts)
    _gathered(outline, parts)
    return outline.done()


def _read_markdown_it(text: str, limits: Limits, MarkdownIt: Any) -> tuple[Section, ...]:
    """The same sections from markdown-it-py's tokens (pure Python)."""
    try:
        tokens = MarkdownIt("commonmark").enable("table").parse(text)
    except RecursionError:
        raise ReadError("markdown nested too deeply") from None
    outline = Outline(limits)
    i = 0
    while i < len(tokens):
        token = tokens[i]
        if token.type == "heading_open":
            title = _inline_text(tokens[i + 1]) if i + 1 < len(tokens) else ""
            outline.heading(int(token.tag[1:]), title.strip())
            i += 3
            continue
        if token.type in ("fence", "code_block"):
            outline.block(token.content, "code")
        elif token.type == "inline":
            inline = _inline_text(token)
            if inline:  # an empty table cell adds no blank paragraph
                outline.paragraph(inline)
        elif token.type == "html_block":
            outline.paragraph(_strip_tags(token.content))
        i += 1
    return outline.done()


def _inline_text(token: Any) -> str:
    parts = []
    for child in token.children or ():
        if child.type in ("text", "code_inline", "html_inline"):
            parts.append(child.content if child.type != "html_inline" else "")
        elif child.type in ("softbreak", "hardbreak"):
            parts.append("\n")
        elif child.type == "image":
            parts.append(child.content)
    return "".join(parts)


def _gathered(outline: Outline, parts: list[str]) -> None:
    """The inline text gathered so far, as one paragraph."""
    if parts:
        outline.paragraph("".join(parts))
        parts.clear()


def _strip_tags(html: str) -> str:
    return re.sub(r"<[^>]*>", " ", html).strip()


def read_plain(source: Source) -> Read:
    """Plain text: sections under underlined titles; a code file whole, as code."""
    kind: SectionKind = "code" if is_code_name(source.name) else "text"
    return _plain(source.text(), source.limits, kind), None


def read_markdown(source: Source) -> Read:
    return _markdown(source.text(), source.limits), None
