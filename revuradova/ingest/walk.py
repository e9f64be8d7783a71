"""A folder walked into passages: files listed, read in isolated workers, reported."""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any

from revuradova.ingest.files import Progress, read_files
from revuradova.ingest.listing import list_files
from revuradova.ingest.model import DEFAULT_WORDS, Limits, Passage
from revuradova.ingest.passages import Assigner, assign
from revuradova.ingest.reading import DEFAULT_LIMITS


@dataclass
class FolderReport:
    """What a walk did: files read per source type, passages made, files skipped and why."""

    files: Counter[str] = field(default_factory=Counter)
    passages: int = 0
    skipped: list[tuple[str, str]] = field(default_factory=list)

    def __str__(self) -> str:
        kinds = ", ".join(f"{kind} {count}" for kind, count in sorted(self.files.items()))
        lines = [
            f"read {sum(self.files.values())} files ({kinds or 'none'}): {self.passages} passages"
        ]
        lines += [f"skipped {path}: {reason}" for path, reason in self.skipped]
        return "\n".join(lines)


class FolderReader:
    """Iterating gives the folder's passages in path order; `report` is complete at the end.

    Files are listed by list_files and read by read_files: in isolated worker processes,
    under `limits`, opened only if still the files listed."""

    def __init__(
        self,
        root: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        include: Sequence[str] = ("*",),
        exclude: Sequence[str] = (),
        knowledge_type: Assigner = None,
        domain: Assigner = None,
        workers: int | None = None,
        executor: Executor | None = None,
        limits: Limits = DEFAULT_LIMITS,
        max_words: int = DEFAULT_WORDS,
        follow_symlinks: bool = False,
        progress: Progress | bool | None = None,
    ) -> None:
        self.root = os.fspath(root)
        if not os.path.isdir(self.root):
            raise NotADirectoryError(f"not a folder: {self.root!r}")
        self.report = FolderReport()
        self._options = (tuple(include), tuple(exclude), follow_symlinks)
        self._assigners = (knowledge_type, domain)
        self._workers, self._executor = workers, executor
        self._limits, self._max_words, self._progress = limits, max_words, progress

    def __iter__(self) -> Iterator[Passage]:
        include, exclude, follow = self._options
        files, skipped = list_files(
            self.root, include=include, exclude=exclude, follow_symlinks=follow
        )
        self.report.skipped += skipped
        outcomes = read_files(
            files,
            limits=self._limits,
            max_words=self._max_words,
            workers=self._workers,
            executor=self._executor,
            progress=self._progress,
        )
        for found, outcome in outcomes:
            if isinstance(outcome, str):
                self.report.skipped.append((found.relative, outcome))
                continue
            self.report.files[outcome.source_type] += 1
            for passage in outcome.passages:
                passage = assign(passage, "knowledge_type", self._assigners[0])
                passage = assign(passage, "domain", self._assigners[1])
                self.report.passages += 1
                yield passage


def read_folder(
    root: str | bytes | os.PathLike[str] | os.PathLike[bytes], **options: Any
) -> FolderReader:
    """The passages of every file under `root`; see FolderReader for the options."""
    return FolderReader(root, **options)
