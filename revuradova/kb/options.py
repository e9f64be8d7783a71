"""How a root is read: the options of add(), checked once and kept with the root, so that
refresh() reads it exactly as it was added."""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from revuradova.errors import OptionError, SchemaError
from revuradova.ingest.model import DEFAULT_WORDS, KNOWLEDGE_TYPES, Limits, Passage

Assigner = str | Mapping[str, str] | Callable[[Passage], str] | None


@dataclass(frozen=True)
class Options:
    """The options a root was added with. `excluded` lists paths under the root removed
    since (remove() of a part of a root), which a refresh must not read again."""

    knowledge_type: Assigner = None
    domain: Assigner = None
    include: tuple[str, ...] = ("*",)
    exclude: tuple[str, ...] = ()
    follow_symlinks: bool = False
    limits: Limits = Limits()
    max_words: int = DEFAULT_WORDS
    excluded: tuple[str, ...] = ()

    @classmethod
    def checked(
        cls,
        *,
        knowledge_type: Assigner,
        domain: Assigner,
        include: str | Sequence[str],
        exclude: str | Sequence[str],
        follow_symlinks: bool,
        limits: Limits | None,
        max_words: int | None,
    ) -> Options:
        """Options from add()'s arguments, each checked: TypeError for a wrong type,
        ValueError for a wrong value, naming the argument and what it accepts."""
        _assigner("knowledge_type", knowledge_type)
        if isinstance(knowledge_type, str) and knowledge_type not in KNOWLEDGE_TYPES:
            raise ValueError(
                f"unknown knowledge type {knowledge_type!r}; accepted: {', '.join(KNOWLEDGE_TYPES)}"
            )
        if isinstance(knowledge_type, Mapping):
            for value in knowledge_type.values():
                if value not in KNOWLEDGE_TYPES:
                    raise ValueError(
                        f"unknown knowledge type {value!r} in knowledge_type; accepted: "
                        f"{', '.join(KNOWLEDGE_TYPES)}"
                    )
        _assigner("domain", domain)
        if not isinstance(follow_symlinks, bool):
            raise TypeError(f"follow_symlinks must be True or False, not {follow_symlinks!r}")
        if limits is None:
            limits = Limits()
        elif not isinstance(limits, Limits):
            raise TypeError(
                f"limits must be a revuradova.ingest.Limits, not {type(limits).__name__}"
            )
        if max_words is None:
            max_words = DEFAULT_WORDS
        if not isinstance(max_words, int) or isinstance(max_words, bool):
            raise TypeError(f"max_words must be an int, not {type(max_words).__name__}")
        if max_words < 1:
            raise ValueError(f"max_words must be at least 1, not {max_words}")
        return cls(
            knowledge_type if not isinstance(knowledge_type, Mapping) else dict(knowledge_type),
            domain if not isinstance(domain, Mapping) else dict(domain),
            _patterns("include", include),
            _patterns("exclude", exclude),
            follow_symlinks,
            limits,
            max_words,
        )

    def has_function(self) -> bool:
        return callable(self.knowledge_type) or callable(self.domain)

    def to_json(self) -> str:
        """The options as stored; a function is recorded as such, to be given again."""
        fields: dict[str, Any] = {}
        for name in ("knowledge_type", "domain"):
            value = getattr(self, name)
            fields[name] = {"function": _name(value)} if callable(value) else value
        fields.update(
            include=list(self.include), exclude=list(self.exclude),
            follow_symlinks=self.follow_symlinks, limits=dataclasses.asdict(self.limits),
            max_words=self.max_words, excluded=list(self.excluded),
        )  # fmt: skip
        return json.dumps(fields, ensure_ascii=False, sort_keys=True)

    @classmethod
    def from_json(cls, text: str, functions: Mapping[str, Callable[[Passage], str]]) -> Options:
        """Stored options; `functions` gives the functions recorded, by option name."""
        fields = _stored_fields(text)
        assigners: dict[str, Assigner] = {}
        for name in ("knowledge_type", "domain"):
            value = fields.get(name)
            if isinstance(value, dict) and set(value) == {"function"}:
                if name not in functions:
                    raise OptionError(
                        f"{name} of this root was the function {value['function']}, which a "
                        f"knowledge base cannot keep: give it again, refresh({name}=...)"
                    )
                value = functions[name]
            assigners[name] = value
        return cls(
            assigners["knowledge_type"], assigners["domain"], tuple(fields.get("include", ["*"])),
            tuple(fields.get("exclude", [])), bool(fields.get("follow_symlinks", False)),
            Limits(**fields["limits"]) if "limits" in fields else Limits(),
            int(fields.get("max_words", DEFAULT_WORDS)), tuple(fields.get("excluded", [])),
        )  # fmt: skip

    @staticmethod
    def excludes(stored: str, relative: str) -> bool:
        """Whether stored options keep `relative` (a path under the root) out already."""
        return _excluded(_stored_fields(stored).get("excluded", []), relative)

    @staticmethod
    def with_excluded_json(stored: str, relative: str) -> str:
        """Stored options with `relative` (a path under the root) kept out from now on."""
        fields = _stored_fields(stored)
        excluded = list(fields.get("excluded", []))
        if relative not in excluded:
            excluded.append(relative)
        fields["excluded"] = excluded
        return json.dumps(fields, ensure_ascii=False, sort_keys=True)

    def is_excluded(self, relative: str) -> bool:
        return _excluded(self.excluded, relative)

    def assigned(self, passage: Passage, relative: str) -> Passage:
        """The passage with the knowledge type and domain these options give it; a mapping's
        glob matches the file's path under its root or its whole path."""
        changes: dict[str, Any] = {}
        for name in ("knowledge_type", "domain"):
            given = getattr(self, name)
            if given is None:
                continue
            if isinstance(given, str):
                value = given
            elif isinstance(given, Mapping):
                from fnmatch import fnmatchcase

                value = next(
                    (
                        v
                        for pattern, v in given.items()
                        if fnmatchcase(relative, pattern) or fnmatchcase(passage.path, pattern)
                    ),
                    getattr(passage, name),
                )
            else:
                value = given(passage)
                if not isinstance(value, str):
                    raise TypeError(
                        f"{name} for {passage.key!r} must be a str, got {type(value).__name__}"
                    )
                if name == "knowledge_type" and value not in KNOWLEDGE_TYPES:
                    raise ValueError(
                        f"unknown knowledge type {value!r} for {passage.key!r}; accepted: "
                        f"{', '.join(KNOWLEDGE_TYPES)}"
                    )
            changes[name] = value
        return dataclasses.replace(passage, **changes) if changes else passage


def _excluded(excluded: Sequence[str], relative: str) -> bool:
    return any(relative == e or relative.startswith(e + "/") for e in excluded)


def _stored_fields(text: str) -> dict[str, Any]:
    """A root's stored options as a JSON object; SchemaError when they are not one."""
    try:
        fields = json.loads(text)
    except ValueError:
        fields = None
    if not isinstance(fields, dict):
        raise SchemaError(f"a root's stored options are damaged: {text[:80]!r}")
    return fields


def _assigner(name: str, value: object) -> None:
    if value is None or isinstance(value, str) or callable(value):
        return
    if isinstance(value, Mapping):
        for pattern, given in value.items():
            if not isinstance(pattern, str) or not isinstance(given, str):
                raise TypeError(f"{name}: a mapping must map glob patterns (str) to str values")
        return
    raise TypeError(
        f"{name} must be a str, a mapping of path globs to str, or a function of the passage; "
        f"not {type(value).__name__}"
    )


def _patterns(name: str, value: str | Sequence[str]) -> tuple[str, ...]:
    patterns = (value,) if isinstance(value, str) else value
    if not isinstance(patterns, Sequence) or not all(isinstance(p, str) for p in patterns):
        raise TypeError(f"{name} must be a glob pattern or a list of them (str)")
    return tuple(patterns)


def _name(function: Callable[..., Any]) -> str:
    module = getattr(function, "__module__", None) or "?"
    return f"{module}.{getattr(function, '__qualname__', repr(function))}"
