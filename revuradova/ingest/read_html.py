"""The HTML reader (lexbor via selectolax): a page's text without its site furniture.

What a page shares with the rest of its site is left out by structure: navigation,
banners and footers (elements, ARIA roles, and class or id names that say so), permalink
anchors beside headings. Repetition across a site's pages is the folder walk's to find
(boilerplate.py). Data tables become rows under their header, as CSV rows are.
"""

from __future__ import annotations

import re
from dataclasses import replace
from typing import Any

from revuradova.ingest.model import Limits, MissingExtra, Section
from revuradova.ingest.sections import Outline, Read, Source, rows_to_sections

# Elements whose text is dropped wherever they are: code that runs, styling, navigation.
_DROPPED = (
    "script, style, noscript, template, nav, svg, iframe, [hidden], [role=navigation],"
    " [role=banner], [role=contentinfo], [role=search], [aria-hidden=true]"
)
# Page furniture outside the page's main content (inside an <article> a <header> holds
# the article's own title).
_OUTSIDE_CONTENT = frozenset({"header", "footer", "aside"})
_CONTENT = frozenset({"main", "article"})
# Class and id names of furniture: a name made of these words ("site-menu", "nav_bar")...
_FURNITURE_WORDS = frozenset(
    "menu menubar nav navbar navigation sidebar breadcrumb breadcrumbs footer toc skip"
    " skiplink related pagination pager banner masthead cookie cookies headerlink permalink"
    " anchorlink".split()
)
# ... or holding these ("sphinxsidebar", "navfooter", "toctree-wrapper") ...
_FURNITURE_PARTS = ("sidebar", "breadcrumb", "navbar", "navheader", "navfooter", "footer",
                    "skiplink", "toctree", "headerlink")  # fmt: skip
# ... unless a word says it wraps the content ("wy-nav-content", "main-with-sidebar").
_CONTENT_WORDS = frozenset(
    "content contents main body article document documentwrapper bodywrapper page wrap"
    " wrapper container inner".split()
)
_NAME_WORDS = re.compile(r"[^a-z0-9]+")
# What a permalink anchor beside a heading shows.
_PERMALINK_TEXT = frozenset({"¶", "#", "§", "🔗", "∞", "link", "permalink"})
_PAGE_RELATIONS = frozenset({"next", "prev", "previous", "up"})
_BLOCKS = frozenset(
    "p div li ul ol dl dt dd tr table thead tbody section article main aside header footer "
    "blockquote pre br hr form figure figcaption td th caption details summary address".split()
)
_HEADINGS = {f"h{n}": n for n in range(1, 7)}
_SPACES = re.compile(r"[ \t\r\f\v]+")


def _tidy(text: str) -> str:
    lines = [_SPACES.sub(" ", line).strip() for line in text.split("\n")]
    return re.sub(r"\n{3,}", "\n\n", "\n".join(lines)).strip()


def _html(text: str, limits: Limits) -> tuple[tuple[Section, ...], str | None]:
    """The page's title and its sections: h1-h6 start sections, <pre> is code, a data
    table is one section per row."""
    try:
        from selectolax.lexbor import LexborHTMLParser
    except ImportError:
        raise MissingExtra("html", "selectolax", "html") from None
    tree = LexborHTMLParser(text)
    title_node = tree.css_first("title")
    title = _tidy(title_node.text()) if title_node is not None else None
    for node in tree.css(_DROPPED):
        node.decompose()
    root = tree.body or tree.root
    outline = Outline(limits, join=lambda parts: _tidy("".join(parts)))
    # Depth-first in document order with an explicit stack: a page nested 100,000 deep
    # must not exhaust the interpreter's recursion. Furniture is skipped whole, never
    # searched.
    stack = [(root, False, False)] if root is not None else []
    while stack:
        node, leaving, in_content = stack.pop()
        tag = node.tag or ""
        if leaving:
            outline.paragraph("\n")
            continue
        if tag == "-text":
            outline.paragraph(node.text_content or "")
            continue
        if _is_furniture(node, tag, in_content):
            continue
        if tag in _HEADINGS:
            outline.heading(_HEADINGS[tag], _tidy(_text_without_permalinks(node)))
            continue
        if tag == "pre":
            outline.block(node.text(deep=True), "code")
            continue
        if tag == "table":
            rows = _data_table(node)
            if rows is not None:
                outline.close()
                rows_to_sections(outline.sections, rows, outline.headings.path)
                continue
        if tag in _BLOCKS:
            outline.paragraph("\n")
            stack.append((node, True, in_content))
        in_content = in_content or tag in _CONTENT or _attribute(node, "role") == "main"
        children = list(node.iter(include_text=True))
        stack.extend([(child, False, in_content) for child in reversed(children)])
    sections = outline.done()
    if title:
        # Text before the first heading has the page's title as its heading path.
        sections = tuple([replace(s, headings=s.headings or (title,)) for s in sections])
    return sections, title


def _attribute(node: Any, name: str) -> str:
    attributes = node.attributes
    value = attributes.get(name) if attributes else None
    return value.lower() if isinstance(value, str) else ""


def _is_furniture(node: Any, tag: str, in_content: bool) -> bool:
    if tag in ("html", "body", "main", "article") or tag.startswith("-"):
        return False
    if tag in _OUTSIDE_CONTENT and not in_content:
        return True
    if tag == "a" and (node.text(deep=True) or "").strip().lower() in _PERMALINK_TEXT:
        return True
    if furniture_name(_attribute(node, "class")) or furniture_name(_attribute(node, "id")):
        return True
    return tag in ("p", "div", "td", "li") and _links_pages(node)


def _links_pages(node: Any) -> bool:
    """Whether a block's own links go to the next, previous or parent page ("Next: Usage,
    Previous: Intro, Up: Top", as documentation generators write above every node).
    Only its children are looked at, so a walk stays linear in the page."""
    for child in node.iter():
        if child.tag == "a" and _attribute(child, "rel") in _PAGE_RELATIONS:
            return True
    return False


def furniture_name(value: str) -> bool:
    """Whether a class or id attribute names page furniture (see _FURNITURE_WORDS)."""
    if not value:
        return False
    words = set(_NAME_WORDS.split(value.lower()))
    if words & _CONTENT_WORDS:
        return False
    if words & _FURNITURE_WORDS:
        return True
    return any([part in value for part in _FURNITURE_PARTS])


def _text_without_permalinks(heading: Any) -> str:
    """A heading's text without the anchors beside it ("Install¶")."""
    parts: list[str] = []
    stack = [heading]
    while stack:
        node = stack.pop()
        if node.tag == "-text":
            parts.append(node.text_content or "")
            continue
        if node is not heading and _is_furniture(node, node.tag or "", True):
            continue
        stack.extend(reversed(list(node.iter(include_text=True))))
    return "".join(parts)


def _data_table(table: Any) -> list[list[str]] | None:
    """The rows of a table that holds data (two rows and two columns at least, no table
    or heading inside), each a list of its cells' texts; None for a layout table."""
    if table.css_first("table table, h1, h2, h3, h4, h5, h6") is not None:
        return None
    rows: list[list[str]] = []
    for row in table.css("tr"):
        cells = [
            _tidy(cell.text(deep=True)).replace("\n", " ")
            for cell in row.iter()
            if cell.tag in ("td", "th")
        ]
        if cells:
            rows.append(cells)
    if len(rows) < 2 or max([len(r) for r in rows]) < 2:
        return None
    return rows


def read_html(source: Source) -> Read:
    return _html(source.text(), source.limits)
