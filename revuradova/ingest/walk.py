"""A folder walked into passages: files found, read in worker processes, reported."""

from __future__ import annotations

import os
import signal
import stat
import sys
import threading
from collections import Counter, deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from fnmatch import fnmatchcase

from revuradova.ingest.model import Limits, Passage, Position, ReadError
from revuradova.ingest.passages import DEFAULT_WORDS, Assigner, assign, document_passages
from revuradova.ingest.reading import DEFAULT_LIMITS, read_file

Progress = Callable[[int, int, str], None]


@dataclass
class FolderReport:
    """What a walk did: files read per source type, passages made, files skipped and why."""

    files: Counter = field(default_factory=Counter)
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


def _on_alarm(signum, frame):
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
    """Iterating gives the folder's passages in path order; `report` is complete at the end."""

    def __init__(
        self,
        root: str | os.PathLike,
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
        files = find_files(self.root, include, exclude, follow, self.report)
        tick = self._ticker(len(files))
        for (_, shown), outcome in zip(files, self._extracted(files), strict=True):
            tick(shown)
            if isinstance(outcome, str):
                self.report.skipped.append((shown, outcome))
                continue
            source_type, passages = outcome
            self.report.files[source_type] += 1
            for passage in passages:
                passage = assign(passage, "knowledge_type", self._assigners[0])
                passage = assign(passage, "domain", self._assigners[1])
                self.report.passages += 1
                yield passage
        tick(None)

    def _extracted(self, files: list[tuple[str, str]]) -> Iterator[tuple[str, list] | str]:
        """Each file's outcome, in order; with workers, a bounded number in flight."""
        executor = self._executor
        own = None
        if executor is None and (self._workers or 1) > 1:
            executor = own = ProcessPoolExecutor(max_workers=self._workers)
        if executor is None:
            for path, shown in files:
                yield extract(path, shown, self._limits, self._max_words)
            return
        try:
            # Files go out in batches (one task, one round trip, for several small files) and
            # passages come back as plain tuples, which unpickle several times faster.
            batches = [files[i : i + _BATCH] for i in range(0, len(files), _BATCH)]
            in_flight: deque[tuple[Future, int]] = deque()
            window = 2 * (self._workers or os.cpu_count() or 2)
            job = (self._limits, self._max_words)
            queue = iter(batches)
            for batch in queue:
                in_flight.append((executor.submit(_extract_packed, batch, *job), len(batch)))
                if len(in_flight) >= window:
                    break
            while in_flight:
                future, size = in_flight.popleft()
                yield from _unpacked(future, size)
                for batch in queue:
                    in_flight.append((executor.submit(_extract_packed, batch, *job), len(batch)))
                    break
        finally:
            if own is not None:
                own.shutdown(cancel_futures=True)

    def _ticker(self, total: int) -> Callable[[str | None], None]:
        progress = self._progress
        if callable(progress):
            done = [0]

            def tick(path: str | None) -> None:
                if path is not None:
                    done[0] += 1
                    progress(done[0], total, path)

            return tick
        if progress is False or (progress is None and not sys.stderr.isatty()):
            return lambda path: None
        try:
            from tqdm import tqdm
        except ImportError:
            return lambda path: None
        bar = tqdm(total=total, unit="file", desc="reading")
        return lambda path: bar.update(1) if path is not None else bar.close()


_BATCH = 8


def _extract_packed(batch: list[tuple[str, str]], limits: Limits, max_words: int) -> list:
    out = []
    for path, shown in batch:
        outcome = extract(path, shown, limits, max_words)
        if not isinstance(outcome, str):
            source_type, passages = outcome
            outcome = (source_type, [_pack(p) for p in passages])
        out.append(outcome)
    return out


def _pack(p: Passage) -> tuple:
    q = p.position
    where = (q.start, q.end, q.page, q.sheet, q.rows, q.pointer)
    return (p.key, p.path, p.number, p.source_type, p.knowledge_type, p.domain, p.headings,
            p.body, where, p.kind)  # fmt: skip


def _unpacked(future: Future, size: int) -> Iterator[tuple[str, list[Passage]] | str]:
    try:
        outcomes = future.result()
    except Exception as error:  # noqa: BLE001 - a worker that died skips its batch's files
        yield from [f"worker failed: {type(error).__name__}: {error}"] * size
        return
    for outcome in outcomes:
        if isinstance(outcome, str):
            yield outcome
            continue
        source_type, packed = outcome
        passages = [Passage(*fields[:8], Position(*fields[8]), fields[9], {}) for fields in packed]
        yield source_type, passages


def read_folder(root: str | os.PathLike, **options) -> FolderReader:
    """The passages of every file under `root`; see FolderReader for the options."""
    return FolderReader(root, **options)
