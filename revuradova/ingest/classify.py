"""The default knowledge type of a passage, from its kind, its file's name and its wording.

In order: table rows and records are `data`; code files and code blocks `code`; changelogs,
news, mail and minutes (by file or folder name, or a release-notes title) `discussion`;
then, by the passage's own words: `procedure` (how-to headings, shell blocks, numbered
steps, instructions, any section of a document titled "How to ..."), `code` (fenced or code-shaped lines),
`discussion` (change notes: "[component] Fixed ...", version lines, issue numbers),
`definition` ('"Term" shall mean'), `policy` (policy, compliance and licence wording),
`data` or `definition` (lines of "field: value", short values or long), `definition`
(glossary headings, "X is a ..." openings); `reference` otherwise.
"""

from __future__ import annotations

import functools
import os
import re

from revuradova.ingest.model import Passage
from revuradova.ingest.source import is_code_name, split_gz

_DISCUSSION_NAMES = re.compile(
    r"(change[s_-]?log|changes|news|history|release[s_-]?notes|whatsnew|minutes|meeting|"
    r"discussion|thread)",
    re.IGNORECASE,
)
_DISCUSSION_EXTENSIONS = frozenset({".eml", ".mbox", ".msg"})
_DISCUSSION_FOLDERS = re.compile(
    r"(change[s_-]?logs?|releases?|release[s_-]?notes|news|minutes|meetings)", re.IGNORECASE
)
_DISCUSSION_TITLE = re.compile(r"\b(release notes|change ?log|what'?s new)\b", re.IGNORECASE)
# The title of a document that is a procedure as a whole: every section of it is a step.
_HOWTO_TITLE = re.compile(r"^\W*(how to|how-to|tutorial|installing|getting started)\b", re.I)

_HOWTO_HEADING = re.compile(
    r"\b(how (to|do|can)|steps?|install(ing|ation)?|set(ting)? ?up|getting started|quick ?start|"
    r"tutorial|usage|procedure|guide|configur(e|ing|ation)|upgrad(e|ing)|build(ing)?)\b",
    re.IGNORECASE,
)
_STEP_LINE = re.compile(r"^\s*(\d+[.)]|step \d+)\s+\S", re.IGNORECASE | re.MULTILINE)
_IMPERATIVES = frozenset(
    "run open click select install create type enter go navigate add set copy download "
    "submit choose press restart edit remove use".split()
)
_LEADING_WORD = re.compile(r"\s*(?:[-*]\s+)?([A-Za-z]+)")

_POLICY_HEADING = re.compile(
    r"\b(polic(y|ies)|compliance|code of conduct|terms|licen[cs]e|security|privacy|"
    r"governance|regulation|rules)\b",
    re.IGNORECASE,
)
_POLICY_WORDS = frozenset(
    "must shall prohibited required permitted compliance compliant policy policies "
    "obligation obligations violation violations warranty warranties liable liability".split()
)
_WORDS = re.compile(r"[a-z]+")

_DEFINITION_HEADING = re.compile(
    r"\b(glossary|definitions?|terminology|terms|what is|what are|concepts?|overview of terms)\b",
    re.IGNORECASE,
)
_DEFINITION_OPENING = re.compile(
    r"^\s*(an?|the)?\s*[\w\- ]{1,40}?\s+(is|are|refers to|means|denotes)\s+(an?|the|any)\b",
    re.IGNORECASE,
)
_HOWTO_BODY = re.compile(r"\bhow (do|can|should) (i|you|we)\b|\bhow to\b", re.IGNORECASE)
_TERM_COLON = re.compile(r"\s*[\w][\w\- ]{0,40}:\s+(the|an?|any)\s", re.IGNORECASE)
_DEFINITION_LINE = re.compile(r"\s*\w[\w\- ]{0,40}\s*(:|—| - )\s+\S")


_CODE_FENCE = re.compile(r"^\s*(```|~~~)\s*([\w+-]*)\s*$", re.MULTILINE)
_SHELL_FENCES = frozenset({"sh", "bash", "shell", "console", "zsh", "powershell", "bat", "cmd"})
_CODE_LINE = re.compile(
    r"\s*(>>> |def \w+\(|class \w+[(:]|import \w|from [\w.]+ import |return\b|"
    r"if __name__|#include\b)"
)
_CHANGE_WORDS = frozenset(
    "fixed fix fixes added add removed remove changed deprecated dropped bumped regression "
    "regressions released breaking renamed improved".split()
)
_ISSUE_REFERENCE = re.compile(r"(#\d{2,}|\bgh-\d+|\bpr ?#?\d+)", re.IGNORECASE)
_CHANGE_LINE = re.compile(r"\s*([-*]\s+)?(\[[\w.\-/| ]+\]|#{2,4} (added|fixed|changed|removed))")
_VERSION_LINE = re.compile(r"^\s*v?\d+\.\d+(\.\d+)*\s*(\(|-|—|released|$)", re.MULTILINE)
_LICENCE_WORDS = frozenset(
    "copyright license licence licensed licensee licensor licenses permission warranty "
    "warranties liability liable infringement redistribution redistributions conditions "
    "notice patent patents indemnity indemnification rights granted grant grants terms "
    "merchantability damages".split()
)
_QUOTED_TERM = re.compile(r'["“][^"”]{1,60}["”]\s+(shall mean|means|refers to|is defined as)\b')
_FIELD_LINE = re.compile(r"\s*\w[\w.\- ]{0,30}:\s+(\S.*)$")


@functools.lru_cache(maxsize=256)
def _type_from_path(path: str) -> str | None:
    """The type that a file's name or folders decide (the same for all its passages)."""
    if is_code_name(path):
        return "code"
    base = os.path.basename(split_gz(path)[0])
    stem, extension = os.path.splitext(base)
    if extension.lower() in _DISCUSSION_EXTENSIONS or _DISCUSSION_NAMES.search(stem):
        return "discussion"
    folders = os.path.dirname(path).replace(os.sep, "/").split("/")
    if any(_DISCUSSION_FOLDERS.fullmatch(f) for f in folders):
        return "discussion"
    return None


def _type_from_place(kind: str, path: str, title: str) -> str | None:
    """The type that the passage's kind, file name, folders or document title decide."""
    if kind in ("table", "record"):
        return "data"
    if kind == "code":
        return "code"
    placed = _type_from_path(path)
    if placed is None and _DISCUSSION_TITLE.search(title):
        return "discussion"
    return placed


def default_knowledge_type(passage: Passage) -> str:
    return knowledge_type_of(passage.kind, passage.path, passage.headings, passage.body)


def knowledge_type_of(kind: str, path: str, headings: tuple[str, ...], body: str) -> str:
    """default_knowledge_type of a passage given by its fields (no Passage made)."""
    title = headings[0] if headings else ""
    placed = _type_from_place(kind, path, title)
    if placed is not None:
        return placed
    heading = headings[-1] if headings else ""
    # Per-line and per-word tests: one pass each, no regex scanning every position.
    body_lines = [line for line in body.split("\n") if line.strip()]
    lines = max(1, len(body_lines))
    words_lower = _WORDS.findall(body.lower())
    words = max(1, len(words_lower))
    fences = _CODE_FENCE.findall(body)
    code_lines = sum(1 for line in body_lines if _CODE_LINE.match(line))
    steps = len(_STEP_LINE.findall(body)) + sum(
        1
        for line in body_lines
        if (m := _LEADING_WORD.match(line)) and m.group(1).lower() in _IMPERATIVES
    )
    fields = [m.group(1) for line in body_lines if (m := _FIELD_LINE.match(line))]
    if len(fields) >= 3 and len(fields) * 2 >= lines:
        # Short values are a record's fields; long ones explain terms.
        short = sum(1 for value in fields if len(value) < 60)
        return "data" if short * 2 >= len(fields) else "definition"
    if _HOWTO_HEADING.search(heading) and (steps or len(body) < 2000):
        return "procedure"
    if _HOWTO_BODY.search(body[:300]):
        return "procedure"
    if any(language.lower() in _SHELL_FENCES for _, language in fences):
        return "procedure"
    if steps >= 2 and steps * 3 >= lines:
        return "procedure"
    mostly_code = code_lines >= 2 and code_lines * 3 >= lines
    if _HOWTO_TITLE.match(title) and not mostly_code:
        return "procedure"
    if fences or mostly_code:
        return "code"
    change_words = sum(1 for word in words_lower if word in _CHANGE_WORDS)
    change_lines = sum(1 for line in body_lines if _CHANGE_LINE.match(line))
    references = len(_ISSUE_REFERENCE.findall(body))
    if change_lines >= 2 or _VERSION_LINE.search(body) and change_words:
        return "discussion"
    if references >= 2 and change_words >= 2:
        return "discussion"
    if _QUOTED_TERM.search(body):
        return "definition"
    policy_hits = sum(1 for word in words_lower if word in _POLICY_WORDS)
    licence_hits = sum(1 for word in words_lower if word in _LICENCE_WORDS)
    if _POLICY_HEADING.search(heading) and policy_hits:
        return "policy"
    if policy_hits >= 3 and policy_hits * 40 >= words:
        return "policy"
    if licence_hits + policy_hits >= 3 and (licence_hits + policy_hits) * 25 >= words:
        return "policy"
    if _DEFINITION_HEADING.search(heading):
        return "definition"
    if words <= 120 and (_DEFINITION_OPENING.match(body) or _TERM_COLON.match(body)):
        return "definition"
    return "reference"
