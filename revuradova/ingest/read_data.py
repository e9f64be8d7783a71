"""Readers of data formats: CSV (one section per row), JSON and YAML (one per container)."""

from __future__ import annotations

import csv
import io
import json
import os
import re
from typing import Any

from revuradova.ingest.model import Limits, MissingExtra, ReadError, Section
from revuradova.ingest.sections import Read, Sections, Source, rows_to_sections
from revuradova.ingest.source import split_gz


def sniff_delimiter(text: str) -> str:
    """The delimiter among , ; tab | that splits the first lines most consistently (the
    standard library's sniffer weighs every character and costs milliseconds a file)."""
    lines = [line for line in text[:8192].splitlines()[:20] if line.strip()]
    if len(text) > 8192 and len(lines) > 1:
        lines = lines[:-1]  # the last line may be cut
    best, best_score = ",", (0, 0)
    for delimiter in ",\t;|":
        counts = [line.count(delimiter) for line in lines]
        if not counts or max(counts) == 0:
            continue
        # The count most lines share, and how many lines share it.
        lines_with: dict[int, int] = {}
        for count in counts:
            lines_with[count] = lines_with.get(count, 0) + 1
        score = (0, 0)
        for count, share in lines_with.items():
            if count > 0 and (share, count) > score:
                score = (share, count)
        if score > best_score:
            best, best_score = delimiter, score
    return best


_SNIFFED = 1024  # the sniffer tries every character on every line: time grows with the sample


def _csv(
    text: str, limits: Limits, headings: tuple[str, ...], tab: bool = False
) -> tuple[Section, ...]:
    """Rows under the first row as header, after the leading comment lines ("#"). The
    dialect is sniffed on the first lines (tab first for a .tsv, as `tab` says)."""
    out = Sections(limits)
    text = _without_leading_comments(text)
    try:
        rows = csv.reader(io.StringIO(text, newline=""), dialect=sniff_dialect(text, tab))
        rows_to_sections(out, rows, headings)
    except csv.Error as error:
        raise ReadError(f"malformed CSV: {error}") from None
    return out.done()


def _without_leading_comments(text: str) -> str:
    """The text from its first line that is neither blank nor a "#" comment."""
    position = 0
    while position < len(text):
        end = text.find("\n", position)
        end = len(text) if end < 0 else end + 1
        line = text[position:end].strip()
        if line and not line.startswith("#"):
            break
        position = end
    return text[position:]


def sniff_dialect(text: str, tab: bool = False) -> type[csv.Dialect] | csv.Dialect:
    """The standard library's sniffer on the first lines, among , ; tab |; when it cannot
    tell, the delimiter that splits those lines most consistently (tab for a .tsv whose
    lines hold tabs)."""
    sample = text[:_SNIFFED]
    if len(text) > _SNIFFED and "\n" in sample:
        sample = sample[: sample.rindex("\n")]  # the last line may be cut
    if tab and "\t" in sample:
        return csv.excel_tab
    try:
        dialect = csv.Sniffer().sniff(sample, delimiters=",;\t|")
        if dialect.delimiter in ",;\t|":
            dialect.doublequote = True  # the sniffer guesses escaping from too few quotes
            return dialect
    except csv.Error:
        pass
    delimiter = sniff_delimiter(text)
    return csv.excel_tab if delimiter == "\t" else _with_delimiter(delimiter)


def _with_delimiter(delimiter: str) -> type[csv.Dialect]:
    class Sniffed(csv.excel):
        pass

    Sniffed.delimiter = delimiter
    return Sniffed


def _json(text: str, limits: Limits, headings: tuple[str, ...]) -> tuple[Section, ...]:
    _count_json_values(text, limits)
    try:
        value = json.loads(text)
    except RecursionError:
        raise ReadError("JSON nested too deeply") from None
    except ValueError as error:
        raise ReadError(f"malformed JSON: {error}") from None
    out = Sections(limits)
    tree_to_sections(out, value, headings, limits)
    return out.done()


_JSON_STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


def _count_json_values(text: str, limits: Limits) -> None:
    """Refuses a JSON text holding more than limits.max_nodes values before the parser
    builds them (two bytes make an empty list: 64 MiB of them would take gigabytes)."""
    # Every value but the first follows a comma or opens a non-empty container: an upper
    # bound, exact once the strings (which may hold those characters) are set aside.
    if _values_at_most(text) <= limits.max_nodes:
        return
    if _values_at_most(_JSON_STRING.sub('""', text)) > limits.max_nodes:
        raise ReadError(f"too many values: over the node limit of {limits.max_nodes}")


def _values_at_most(text: str) -> int:
    opened = text.count("[") + text.count("{") - text.count("[]") - text.count("{}")
    return 1 + text.count(",") + opened


def _yaml(text: str, limits: Limits, headings: tuple[str, ...]) -> tuple[Section, ...]:
    """Safe loading only: tags that construct objects are errors, never run."""
    try:
        import yaml
    except ImportError:
        raise MissingExtra("yaml", "PyYAML", "yaml") from None
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    out = Sections(limits)
    try:
        if len(text) > _YAML_COUNTED_FROM:
            # A line can hold a value: count the parser's events before building the tree.
            events = 0
            values = (yaml.ScalarEvent, yaml.SequenceStartEvent, yaml.MappingStartEvent,
                      yaml.AliasEvent)  # fmt: skip
            for event in yaml.parse(text, Loader=loader):
                if isinstance(event, values):
                    events += 1
                    if events > limits.max_nodes:
                        raise ReadError(
                            f"too many values: over the node limit of {limits.max_nodes}"
                        )
        documents = list(yaml.load_all(text, Loader=loader))
    except RecursionError:
        raise ReadError("YAML nested too deeply") from None
    except yaml.YAMLError as error:
        raise ReadError(f"malformed or unsafe YAML: {error}".splitlines()[0]) from None
    budget = _Budget(limits)
    for index, document in enumerate(documents):
        root = f"/{index}" if len(documents) > 1 else ""
        tree_to_sections(out, document, headings, limits, root, budget)
    return out.done()


_YAML_COUNTED_FROM = 64 * 1024


class _Budget:
    """Counts the values a walk visits. YAML aliases make a small file a huge tree (or a
    cycle): every visit counts, so such a file fails instead of exhausting memory."""

    def __init__(self, limits: Limits) -> None:
        self.left = limits.max_nodes

    def spend(self, count: int) -> None:
        self.left -= count
        if self.left < 0:
            raise ReadError("too many values (YAML aliases or a huge tree): over the node limit")


def _escape(key: str) -> str:
    return key.replace("~", "~0").replace("/", "~1")


def _scalar(value: object) -> str:
    if value is None:
        return "null"
    if value is True or value is False:
        return "true" if value else "false"
    return str(value)


def tree_to_sections(
    out: Sections,
    value: object,
    headings: tuple[str, ...],
    limits: Limits,
    pointer: str = "",
    budget: _Budget | None = None,
) -> None:
    """One section per object or array that holds scalars: its "key: value" lines, the keys
    that lead to it as heading path, and its JSON pointer. Iterative, bounded in depth; a
    child's label and pointer are made only when it is reached, and every string is counted
    before it is built (a key repeated over many elements, or a YAML alias, makes a small
    file a large text)."""
    budget = budget or _Budget(limits)
    # (node, parent's heading path, parent's pointer, key in the parent or None, depth,
    #  whether the parent is a list)
    stack: list[tuple[Any, tuple[str, ...], str, str | None, int, bool]] = [
        (value, headings, pointer, None, 0, False)
    ]
    while stack:
        node, path, where, key, depth, in_list = stack.pop()
        if key is not None:
            out.charge(len(where) + len(key) + (len(path[-1]) if in_list and path else 0) + 3)
            label = f"{path[-1] if path else ''}[{key}]" if in_list else key
            path = (*path, label)
            where = f"{where}/{_escape(key)}"
        if depth > limits.max_depth:
            raise ReadError(f"nested deeper than the limit of {limits.max_depth}")
        if isinstance(node, dict):
            items = [(str(k), v) for k, v in node.items()]
        elif isinstance(node, list):
            items = [(str(i), v) for i, v in enumerate(node)]
        else:
            budget.spend(1)
            out.add(path, _scalar(node), "record", pointer=where or "")
            continue
        budget.spend(len(items) + 1)
        is_dict = isinstance(node, dict)
        scalars = [(k, _scalar(v)) for k, v in items if not isinstance(v, (dict, list))]
        out.charge(sum([len(k) + len(v) + 3 for k, v in scalars]))
        if is_dict:
            lines = [f"{k}: {v}" for k, v in scalars]
        else:
            lines = [v for _, v in scalars]
        children = [
            (child, path, where, k, depth + 1, not is_dict)
            for k, child in items
            if isinstance(child, (dict, list))
        ]
        out.add(path, "\n".join(lines), "record", pointer=where or "")
        stack.extend(reversed(children))


def read_csv(source: Source) -> Read:
    stem = os.path.basename(split_gz(source.name)[0])
    tab = stem.lower().endswith(".tsv")
    return _csv(source.text(), source.limits, (stem,), tab=tab), None


def read_json(source: Source) -> Read:
    return _json(source.text(), source.limits, ()), None


def read_yaml(source: Source) -> Read:
    return _yaml(source.text(), source.limits, ()), None
