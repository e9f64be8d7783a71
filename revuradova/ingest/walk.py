"""A folder walked into passages: files listed, read in isolated workers, reported.

find_files and extract are the walk of earlier versions (a file read in the caller's
process, names shown with U+FFFD), kept for callers not yet on list_files/read_files."""

from __future__ import annotations

import os
import signal
import stat
import threading
from collections import Counter
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from fnmatch import fnmatchcase
from typing import Any

from revuradova.ingest.files import Progress, read_files
from revuradova.ingest.listing import list_files
from revuradova.ingest.model import Limits, Passage, ReadError
from revuradova.ingest.passages import DEFAULT_WORDS, Assigner, assign, document_passages
from revuradova.ingest.reading import DEFAULT_LIMITS, read_file


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


def display_path(path: str) -> str:
    """A file name as valid text: bytes that are not UTF-8 shown as U+FFFD."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def find_files(
    root: str,
    include: Sequence[str],
    exclude: Sequence[str],
    follow_symlinks: bool,
    report: FolderReport,
) -> list[tuple[str, str]]:
    """(absolute path, path relative to root) of the files to read, sorted. Symbolic links
    are skipped unless followed; followed ones must stay inside the root, and a directory
    already visited (a loop) is not entered again."""
    real_root = os.path.realpath(root)
    found = []
    seen_dirs: set[tuple[int, int]] = set()
    pending = [real_root]
    while pending:
        directory = pending.pop()
        try:
            info = os.stat(directory)
            if (info.st_dev, info.st_ino) in seen_dirs:
                continue
            seen_dirs.add((info.st_dev, info.st_ino))
            entries = sorted(os.scandir(directory), key=lambda e: e.name)
        except OSError as error:
            report.skipped.append(
                (display_path(os.path.relpath(directory, real_root)), _why(error))
            )
            continue
        for entry in entries:
            relative = os.path.relpath(entry.path, real_root)
            shown = display_path(relative)
            try:
                if entry.is_symlink():
                    if not follow_symlinks:
                        report.skipped.append((shown, "symbolic link (not followed)"))
                        continue
                    target = os.path.realpath(entry.path)
                    if os.path.commonpath([target, real_root]) != real_root:
                        report.skipped.append((shown, "symbolic link out of the folder"))
                        continue
                mode = os.stat(entry.path).st_mode
            except OSError as error:
                report.skipped.append((shown, _why(error)))
                continue
            if stat.S_ISDIR(mode):
                if not any(fnmatchcase(shown + "/", p) for p in exclude):
                    pending.append(entry.path)
                continue
            if not stat.S_ISREG(mode):
                continue
            if any(fnmatchcase(shown, p) for p in include) and not any(
                fnmatchcase(shown, p) for p in exclude
            ):
                found.append((entry.path, shown))
    found.sort(key=lambda item: item[1])
    return found


def _why(error: OSError) -> str:
    if isinstance(error, FileNotFoundError):
        return "vanished during the walk"
    if isinstance(error, PermissionError):
        return "not readable (permission denied)"
    return f"{type(error).__name__}: {error.strerror or error}"


class _Timeout(Exception):
    pass


def _on_alarm(signum: int, frame: object) -> None:
    raise _Timeout


def extract(
    path: str, shown: str, limits: Limits, max_words: int, key_path: str | None = None
) -> tuple[str, list[Passage]] | str:
    """Reads one file into its source type and passages (default types and domain), or the
    reason it was skipped. A pure function of the file, run in worker processes; a file that
    takes over limits.seconds is given up (the alarm can only be set on a process's main
    thread)."""
    alarm = threading.current_thread() is threading.main_thread() and limits.seconds > 0
    if alarm:
        previous = signal.signal(signal.SIGALRM, _on_alarm)
        signal.setitimer(signal.ITIMER_REAL, limits.seconds)
    try:
        before = os.stat(path)
        document = read_file(path, limits=limits)
        after = os.stat(path)
        if (before.st_size, before.st_mtime_ns) != (after.st_size, after.st_mtime_ns):
            return "changed while being read"
        # The default domain is the first folder under the root walked; keys name the file
        # by `key_path` when given, else by its path under the root.
        top = shown.split("/", 1)[0] if "/" in shown else "general"
        passages = document_passages(document, key_path or shown, top, max_words)
        return document.source_type, list(passages)
    except _Timeout:
        return f"took longer than the limit of {limits.seconds} s"
    except ReadError as error:
        return str(error)
    except OSError as error:
        return _why(error)
    except MemoryError:
        return "ran out of memory while reading"
    except RecursionError:
        return "nested too deeply"
    finally:
        if alarm:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


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
