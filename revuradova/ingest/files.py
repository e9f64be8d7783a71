"""Listed files read into passages, each in an isolated worker, results in the given order."""

from __future__ import annotations

import os
import sys
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from dataclasses import dataclass, replace

from revuradova.ingest.boilerplate import without_repeated
from revuradova.ingest.isolate import Job, Packed, read_isolated, unpack
from revuradova.ingest.listing import FoundFile
from revuradova.ingest.model import DEFAULT_WORDS, Limits, Passage
from revuradova.ingest.reading import DEFAULT_LIMITS

Progress = Callable[[int, int, str], None]

# Small files travel together: one round trip to a worker for several of them. A batch
# closes at this many files or bytes.
BATCH_FILES = 16
BATCH_BYTES = 1 << 20


@dataclass(frozen=True, slots=True)
class FileRead:
    """What one file gave: its source type, its passages (default knowledge types and
    domain, keys f"{key_path}#{n}") and the SHA-256 (hex) of the exact bytes parsed."""

    source_type: str
    passages: list[Passage]
    sha256: str


def default_domain(relative: str) -> str:
    """The first folder of a path under the root; "general" for a file at the root."""
    return relative.split("/", 1)[0] if "/" in relative else "general"


def read_files(
    files: Sequence[FoundFile],
    *,
    key_paths: Sequence[str] | None = None,
    domains: Sequence[str] | None = None,
    limits: Limits = DEFAULT_LIMITS,
    max_words: int = DEFAULT_WORDS,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: Progress | bool | None = None,
) -> Iterator[tuple[FoundFile, FileRead | str]]:
    """Each file read (in the order given) with its passages, or the reason it was skipped.

    key_paths[i] names file i in its passages' keys (default: files[i].relative);
    domains[i] is the default domain of its passages (default: the first folder of
    .relative, "general" at the root). A file is opened only if it is still the regular
    file listed (same device and inode, no link in its place); limits are enforced while
    reading; parsing runs in worker processes limited to limits.max_memory of address space
    and limits.seconds per file (a worker that dies or overruns is replaced and only its
    file skipped, with the reason). workers=N reads N files at once; executor= runs the
    batches on any concurrent.futures.Executor (each task drives workers of its own
    process, so the same limits hold). The result order is the given order either way.
    progress: a callable (done, total, relative), True/None for a tqdm bar on a terminal,
    False for none. Blocks that HTML pages of one folder repeat (menus, footers) are left
    out of their passages (boilerplate.py): the passages of a file depend on the other
    files given with it.
    """
    files = list(files)
    for name, given in (("key_paths", key_paths), ("domains", domains)):
        if given is not None and len(given) != len(files):
            raise ValueError(f"{name} has {len(given)} entries for {len(files)} files")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if max_words < 1:
        raise ValueError(f"max_words must be at least 1, got {max_words}")
    jobs: list[Job] = []
    for i, found in enumerate(files):
        if not isinstance(found, FoundFile):
            raise TypeError(f"files[{i}] is a {type(found).__name__}, not a FoundFile")
        key = key_paths[i] if key_paths is not None else found.relative
        domain = domains[i] if domains is not None else default_domain(found.relative)
        jobs.append((found.path, found.device, found.inode, found.relative, key, domain))
    tick = _ticker(progress, len(files))

    def unpacked() -> Iterator[FileRead | str]:
        outcomes = _outcomes(files, jobs, limits, max_words, workers, executor)
        for found, packed in zip(files, outcomes, strict=True):
            tick(found.relative)
            if isinstance(packed, str):
                yield packed
            else:
                source_type, passages, digest = packed
                yield FileRead(source_type, [unpack(p) for p in passages], digest)

    yield from without_repeated(files, unpacked(), _passages_of, _with_passages)
    tick(None)


def _passages_of(outcome: FileRead | str) -> list[Passage] | None:
    return outcome.passages if isinstance(outcome, FileRead) else None


def _with_passages(outcome: FileRead | str, passages: list[Passage]) -> FileRead | str:
    return replace(outcome, passages=passages) if isinstance(outcome, FileRead) else outcome


def _batches(files: list[FoundFile], jobs: list[Job]) -> list[list[Job]]:
    batches: list[list[Job]] = []
    current: list[Job] = []
    size = 0
    for found, job in zip(files, jobs, strict=True):
        if current and (len(current) >= BATCH_FILES or size + found.size > BATCH_BYTES):
            batches.append(current)
            current, size = [], 0
        current.append(job)
        size += found.size
    if current:
        batches.append(current)
    return batches


def _outcomes(
    files: list[FoundFile],
    jobs: list[Job],
    limits: Limits,
    max_words: int,
    workers: int | None,
    executor: Executor | None,
) -> Iterator[Packed]:
    """Each job's packed outcome, in order; a bounded number of batches in flight."""
    batches = _batches(files, jobs)
    own = None
    if executor is None:
        # Threads only wait on their workers' pipes: the reading is in the workers. Even
        # with one worker a thread keeps it busy while the caller uses what came back.
        workers = workers or 1
        executor = own = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="ingest")
    try:
        window = 2 * (workers or os.cpu_count() or 2)
        in_flight: deque[tuple[Future[list[Packed]], int]] = deque()
        queue = iter(batches)

        def submit() -> None:
            for batch in queue:
                future = executor.submit(read_isolated, batch, limits, max_words)
                in_flight.append((future, len(batch)))
                return

        for _ in range(window):
            submit()
        while in_flight:
            future, size = in_flight.popleft()
            try:
                outcomes = future.result()
            except Exception as error:  # noqa: BLE001 - a lost task skips its files
                outcomes = [f"worker failed: {type(error).__name__}: {error}"] * size
            yield from outcomes
            submit()
    finally:
        if own is not None:
            # A caller that stops early does not wait: batches under way finish in their
            # threads and give their workers back to the pool.
            own.shutdown(wait=False, cancel_futures=True)


def _ticker(progress: Progress | bool | None, total: int) -> Callable[[str | None], None]:
    if callable(progress):
        done = [0]
        report = progress

        def tick(path: str | None) -> None:
            if path is not None:
                done[0] += 1
                report(done[0], total, path)

        return tick
    if progress is False or (progress is None and not sys.stderr.isatty()):
        return lambda path: None
    try:
        from tqdm import tqdm
    except ImportError:
        return lambda path: None
    bar = tqdm(total=total, unit="file", desc="reading")
    return lambda path: bar.update(1) if path is not None else bar.close()
