"""The default knowledge type of a passage, from its kind, its file's name and its wording.

In order: table rows and records are `data`; code files and code blocks `code`; changelogs,
news, mail and minutes `discussion`; then, by the passage's own words, `procedure` (how-to
headings, numbered steps, instructions), `policy` (policy and compliance wording),
`definition` (glossaries, "X is a ..." openings, definition lists); `reference` otherwise.
"""

from __future__ import annotations

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
_DEFINITION_LINE = re.compile(r"\s*\w[\w\- ]{0,40}\s*(:|—| - )\s+\S")


def default_knowledge_type(passage: Passage) -> str:
    if passage.kind in ("table", "record"):
        return "data"
    if passage.kind == "code" or is_code_name(passage.path):
        return "code"
    base = os.path.basename(split_gz(passage.path)[0])
    stem, extension = os.path.splitext(base)
    if extension.lower() in _DISCUSSION_EXTENSIONS or _DISCUSSION_NAMES.search(stem):
        return "discussion"
    heading = passage.headings[-1] if passage.headings else ""
    body = passage.body
    # Per-line and per-word tests: one pass each, no regex scanning every position.
    body_lines = body.split("\n")
    lines = len(body_lines)
    steps = len(_STEP_LINE.findall(body)) + sum(
        1
        for line in body_lines
        if (m := _LEADING_WORD.match(line)) and m.group(1).lower() in _IMPERATIVES
    )
    if _HOWTO_HEADING.search(heading) and (steps or len(body) < 2000):
        return "procedure"
    if steps >= 3 and steps * 3 >= lines:
        return "procedure"
    words = max(1, len(body.split()))
    policy_hits = sum(1 for word in _WORDS.findall(body.lower()) if word in _POLICY_WORDS)
    if _POLICY_HEADING.search(heading) and policy_hits:
        return "policy"
    if policy_hits >= 3 and policy_hits * 40 >= words:
        return "policy"
    if _DEFINITION_HEADING.search(heading):
        return "definition"
    if words <= 120 and _DEFINITION_OPENING.match(body):
        return "definition"
    definition_lines = sum(1 for line in body_lines if _DEFINITION_LINE.match(line))
    if definition_lines >= 3 and definition_lines * 2 >= lines:
        return "definition"
    return "reference"
